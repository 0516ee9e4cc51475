// Search without an index: the scan of a generated story of 5,000 pages (about 50 MB) and of
// 50,000 pages, for a word on every tenth page, beside grep -rliF over the same pages written to
// /dev/shm, in the same run. Goal: no slower than grep, and linear in the pages.
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

TResult Measure(int pages) {
  const fs::path dir = fs::path("/dev/shm") / ("quirelle-search-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  TMFS content;
  std::string storyXml = "<S>";
  std::uint32_t seed = 11;
  std::size_t bytes = 0;
  for (int i = 0; i < pages; ++i) {
    std::string page = "<html><head><title>Page " + std::to_string(i) + "</title></head><body>";
    while (page.size() < 10000) {
      page += "<p class=\"text\">";
      for (int w = 0; w < 12; ++w) {
        seed = seed * 1664525u + 1013904223u;
        const int length = 3 + static_cast<int>((seed >> 20) % 7);
        for (int c = 0; c < length; ++c) {
          seed = seed * 1664525u + 1013904223u;
          page += static_cast<char>('a' + (seed >> 24) % 26);
        }
        page += ' ';
      }
      page += "</p>\n";
    }
    if (i % 10 == 0) page += "<p>The Quirellewort grows here.</p>";
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
    SearchStory(story, content, "QUIRELLEWORT", [&](const TSearchHit&) { ++r.Hits; });
  });
  const std::string grep = "grep -rliF QUIRELLEWORT '" + dir.string() + "' > /dev/null";
  r.Grep = BestSeconds(3, [&] {
    if (std::system(grep.c_str()) != 0) std::fprintf(stderr, "grep failed\n");
  });
  fs::remove_all(dir);
  return r;
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
  return 0;
}
