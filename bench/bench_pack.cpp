// Packing memory: quirelle-pack packs a book of about 200 MB of content (pages of text that
// compresses poorly, like a book with many pictures) as its own process; its peak memory is
// printed against the content's size. Run: build/release/bench/bench_pack BUILD_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_util.h"

namespace fs = std::filesystem;


int main(int argc, char** argv) {
  const fs::path build = argc > 1 ? fs::path(argv[1]) : fs::path("build/release");
  const fs::path work = fs::path("/dev/shm") / ("quirelle-pack-bench-" + std::to_string(::getpid()));
  fs::create_directories(work / "system");
  fs::create_directories(work / "content");
  std::ofstream(work / "system" / "System.xml") << "<System Story=\"Story.xml\"/>";
  std::ofstream(work / "system" / "Story.xml") << "<S><i page=\"\\p0.htm\"/></S>";
  // 2,000 pages of 100 KB of letters from a simple generator: 200 MB that deflate shrinks by a
  // quarter only.
  std::uint64_t content = 0;
  std::uint32_t seed = 7;
  for (int i = 0; i < 2000; ++i) {
    const std::string page = NoisyPage(seed, 100000, 'A', 58);
    std::ofstream(work / "content" / ("p" + std::to_string(i) + ".htm"), std::ios::binary) << page;
    content += page.size();
  }
  const TChildRun run = RunChild({(build / "tools" / "quirelle-pack").string(), "--viewer", (build / "quirelle-viewer").string(),
                                  "--system", (work / "system").string(), "--content", (work / "content").string(), "-o",
                                  (work / "book").string()});
  const bool ok = run.Ok;
  const long peak = run.PeakKiB;
  const double seconds = run.Ms / 1e3;
  std::printf("Packing a book of %.1f MB of content (%s)\n", static_cast<double>(content) / 1e6, ok ? "packed" : "FAILED");
  std::printf("  %-36s %8.1f MB\n", "peak memory of quirelle-pack", static_cast<double>(peak) * 1024 / 1e6);
  std::printf("  %-36s %8.2f (goal: about 2)\n", "ratio peak / content", static_cast<double>(peak) * 1024 / static_cast<double>(content));
  std::printf("  %-36s %8.1f s\n", "wall time", seconds);
  fs::remove_all(work);
  return ok ? 0 : 1;
}
