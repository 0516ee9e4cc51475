// EPUB export time: quirelle-pack --to-epub of a book of 5,000 pages (48 MB) read from its
// folders, against zip -r of the same content folder, both as their own processes in one run.
// Run: build/release/bench/bench_epub BUILD_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_util.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const fs::path build = argc > 1 ? fs::path(argv[1]) : fs::path("build/release");
  const fs::path work = fs::path("/dev/shm") / ("quirelle-epub-bench-" + std::to_string(::getpid()));
  fs::create_directories(work / "system");
  fs::create_directories(work / "content");
  std::ofstream(work / "system" / "System.xml") << "<System Story=\"Story.xml\"/>";
  std::ofstream story(work / "system" / "Story.xml");
  story << "<Story>";
  // 5,000 pages of about 9.6 KB, each linking to the next: 48 MB.
  std::uint64_t content = 0;
  std::uint32_t seed = 11;
  for (int i = 0; i < 5000; ++i) {
    std::string page = NoisyPage(seed, 9600, 'a', 26);
    page.insert(page.size() - std::string_view("</pre></body></html>").size(), "<a href=\"p" + std::to_string(i + 1) + ".htm\">next</a>");
    std::ofstream(work / "content" / ("p" + std::to_string(i) + ".htm"), std::ios::binary) << page;
    story << "<item page=\"p" << i << ".htm\" pagename=\"Page " << i << "\"/>";
    content += page.size();
  }
  story << "</Story>";
  story.close();
  const TChildRun epub = RunChild({(build / "tools" / "quirelle-pack").string(), "--to-epub", "--system", (work / "system").string(),
                                   "--content", (work / "content").string(), "-o", (work / "book.epub").string()});
  const TChildRun zip = RunChild({"/usr/bin/zip", "-qr", (work / "content.zip").string(), (work / "content").string()});
  std::printf("EPUB export of a book of %.1f MB of content (%s)\n", static_cast<double>(content) / 1e6,
              epub.Ok && zip.Ok ? "written" : "FAILED");
  std::printf("  %-36s %8.2f s\n", "quirelle-pack --to-epub", epub.Ms / 1e3);
  std::printf("  %-36s %8.2f s\n", "zip -r of the content folder", zip.Ms / 1e3);
  std::printf("  %-36s %8.2f\n", "ratio", epub.Ms / zip.Ms);
  std::printf("  %-36s %8.1f MB\n", "peak memory of quirelle-pack", static_cast<double>(epub.PeakKiB) * 1024 / 1e6);
  fs::remove_all(work);
  return epub.Ok && zip.Ok ? 0 : 1;
}
