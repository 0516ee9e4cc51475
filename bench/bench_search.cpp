// Search without an index: the scan of a generated story of 5,000 pages (about 50 MB) and of
// 50,000 pages, for a word on every tenth page, beside grep -rliF over the same pages written to
// /dev/shm, in the same run. Goal: no slower than grep, and linear in the pages. Then a story of
// 5,000 pages in UTF-8, mostly German, Russian and Greek words, searched for "ZAUNKÖNIG" (the
// pages say "Zaunkönig") beside grep -rli of the same word under LC_ALL=C.UTF-8.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_util.h"
#include "u_CodePage.h"
#include "u_MFS.h"
#include "u_PageSearch.h"
#include "u_Story.h"

namespace fs = std::filesystem;

namespace {

struct TResult {
  double Scan = 0, Grep = 0;
  std::size_t Hits = 0;
  double Megabytes = 0;
};

// One word of the UTF-8 pages: letters of one of three alphabets.
std::string Utf8Word(std::uint32_t& seed) {
  static const char* const alphabets[][8] = {
      {"a", "e", "n", "r", "\xC3\xA4", "\xC3\xB6", "\xC3\xBC", "\xC3\x9F"},
      {"\xD0\xB0", "\xD0\xB1", "\xD0\xB2", "\xD0\xB3", "\xD0\xB4", "\xD0\xB5", "\xD0\x96", "\xD1\x8F"},
      {"\xCE\xB1", "\xCE\xB2", "\xCE\xB3", "\xCE\xB4", "\xCE\xB5", "\xCF\x83", "\xCF\x82", "\xCE\xA9"}};
  seed = seed * 1664525u + 1013904223u;
  const auto* alphabet = alphabets[(seed >> 20) % 3];
  const int length = 3 + static_cast<int>((seed >> 24) % 7);
  std::string word;
  for (int c = 0; c < length; ++c) {
    seed = seed * 1664525u + 1013904223u;
    word += alphabet[(seed >> 24) % 8];
  }
  return word;
}

// One word of the Windows-1252 pages: ASCII letters.
std::string AsciiWord(std::uint32_t& seed) {
  seed = seed * 1664525u + 1013904223u;
  const int length = 3 + static_cast<int>((seed >> 20) % 7);
  std::string word;
  for (int c = 0; c < length; ++c) {
    seed = seed * 1664525u + 1013904223u;
    word += static_cast<char>('a' + (seed >> 24) % 26);
  }
  return word;
}

// A story of pages of about 10 KB of words, the sentence on every tenth page, searched for typed
// by the scan and by the grep command given (the pages' folder appended), best of 3 each.
TResult Measure(int pages, const std::string& head, std::string (*word)(std::uint32_t&), const std::string& sentence,
                const std::string& typed, const std::string& grep) {
  const fs::path dir = fs::path("/dev/shm") / ("quirelle-search-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  TMFS content;
  std::string storyXml = "<S>";
  std::uint32_t seed = 11;
  std::size_t bytes = 0;
  for (int i = 0; i < pages; ++i) {
    std::string page = "<html><head>" + head + "<title>Page " + std::to_string(i) + "</title></head><body>";
    while (page.size() < 10000) {
      page += "<p class=\"text\">";
      for (int w = 0; w < 12; ++w) page += word(seed) + ' ';
      page += "</p>\n";
    }
    if (i % 10 == 0) page += "<p>" + sentence + "</p>";
    page += "</body></html>";
    const std::string name = "p" + std::to_string(i) + ".htm";
    content.Session()->CreateFile("\\" + name, 0, false)->Data = page;
    std::ofstream(dir / name, std::ios::binary) << page;
    storyXml += "<i page=\"\\" + name + "\"/>\n";
    bytes += page.size();
  }
  storyXml += "</S>";
  TStory story(storyXml);
  TResult r;
  r.Megabytes = static_cast<double>(bytes) / 1e6;
  r.Scan = BestSeconds(3, [&] {
    r.Hits = 0;
    SearchStory(story, content, typed, [&](const TSearchHit&) { ++r.Hits; });
  });
  const std::string command = grep + " '" + dir.string() + "' > /dev/null";
  r.Grep = BestSeconds(3, [&] {
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "grep failed\n");
  });
  fs::remove_all(dir);
  return r;
}

TResult Measure(int pages) {
  return Measure(pages, "", AsciiWord, "The Quirellewort grows here.", "QUIRELLEWORT", "grep -rliF QUIRELLEWORT");
}

TResult MeasureUtf8(int pages) {
  return Measure(pages, "<meta charset=\"utf-8\">", Utf8Word, "Der Zaunk\xC3\xB6nig singt hier.", "ZAUNK\xC3\x96NIG",
                 "LC_ALL=C.UTF-8 grep -rli 'ZAUNK\xC3\x96NIG'");
}

}  // namespace

int main() {
  SetBookCodePage(1252);
  std::printf("Search of a story, best of 3, in-memory scan vs grep -rliF on /dev/shm\n");
  const TResult small = Measure(5000), large = Measure(50000);
  for (const auto& [pages, r] : {std::pair{5000, small}, std::pair{50000, large}})
    std::printf("  %6d pages, %6.1f MB, %5zu hits: scan %7.3f s, grep %7.3f s, ratio %.2f\n", pages, r.Megabytes, r.Hits,
                r.Scan, r.Grep, r.Scan / r.Grep);
  std::printf("  growth 50,000 / 5,000 pages: scan %.1f times (linear: 10)\n", large.Scan / small.Scan);
  const TResult utf8 = MeasureUtf8(5000);
  std::printf("UTF-8 pages, ZAUNK\xC3\x96NIG, in-memory scan vs LC_ALL=C.UTF-8 grep -rli on /dev/shm\n");
  std::printf("  %6d pages, %6.1f MB, %5zu hits: scan %7.3f s, grep %7.3f s, ratio %.2f\n", 5000, utf8.Megabytes, utf8.Hits,
              utf8.Scan, utf8.Grep, utf8.Scan / utf8.Grep);
  return 0;
}
