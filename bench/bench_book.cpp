// Story walks and variable substitution: First then Next until Eof over stories of 5,000 and
// 50,000 pages, and Substitute over 100 MB of text beside a plain copy of the same bytes.
// Prints a table; best of several runs.
#include <chrono>
#include "bench_util.h"
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "u_Story.h"
#include "u_Variables.h"

namespace {

// Parts of 10 chapters of 10 sections, pages spread over the sections.
std::string SyntheticStory(int pages) {
  std::string s = "<Story path=\"\\book\">\n";
  int page = 0;
  for (int part = 0; page < pages; ++part) {
    s += "<item pagename=\"Part " + std::to_string(part) + "\" path=\"part" + std::to_string(part) + "\">\n";
    for (int chapter = 0; chapter < 10 && page < pages; ++chapter) {
      s += " <item pagename=\"Chapter\" path=\"ch" + std::to_string(chapter) + "\">\n";
      for (int section = 0; section < 10 && page < pages; ++section) {
        s += "  <item pagename=\"Section\">\n";
        for (int k = 0; k < 5 && page < pages; ++k, ++page)
          s += "   <item page=\"p" + std::to_string(page) + ".htm\" pagename=\"Page " + std::to_string(page) + "\"/>\n";
        s += "  </item>\n";
      }
      s += " </item>\n";
    }
    s += "</item>\n";
  }
  return s + "</Story>\n";
}

double WalkSeconds(int pages, int runs) {
  TStory story(SyntheticStory(pages));
  volatile int visited = 0;
  return BestSeconds(runs, [&] {
    int n = 0;
    story.First();
    while (!story.Eof()) {
      ++n;
      story.Next();
    }
    visited = n;
  });
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  std::printf("Story walk: First, then Next until Eof (best of %d runs)\n", runs);
  double small = WalkSeconds(5000, runs);
  double large = WalkSeconds(50000, runs);
  std::printf("  %6d pages %10.3f ms\n  %6d pages %10.3f ms\n  ratio 50,000 / 5,000: %.1f (linear: 10)\n\n", 5000,
              small * 1e3, 50000, large * 1e3, large / small);

  TVariables variables(std::string("<vars><var name=\"TITLE\">$Field Guide</var><var name=\"ED\">$2nd</var></vars>"), true);
  const std::size_t size = 100'000'000;
  std::string plain;
  plain.reserve(size);
  while (plain.size() < size) plain += "The quick brown fox jumps over the lazy dog; width 100 percent. ";
  std::string refs;
  refs.reserve(size + 100);
  while (refs.size() < size) refs += std::string(89, 'x') + "%{TITLE}\n";
  volatile std::size_t sink = 0;
  double copy = BestSeconds(runs, [&] {
    std::string c = plain;
    sink = sink + c.size();
  });
  double none = BestSeconds(runs, [&] { sink = sink + variables.Substitute(plain).size(); });
  double some = BestSeconds(runs, [&] { sink = sink + variables.Substitute(refs).size(); });
  double mb = static_cast<double>(size) / 1e6;
  std::printf("Substitute over %.0f MB (best of %d runs)\n", mb, runs);
  std::printf("  %-36s %8.0f MB/s\n", "plain copy of the text", mb / copy);
  std::printf("  %-36s %8.0f MB/s  (%.2f x copy time)\n", "no references", mb / none, none / copy);
  std::printf("  %-36s %8.0f MB/s  (%.2f x copy time)\n", "a reference every 100 bytes", mb / some, some / copy);
  return 0;
}
