// Packing memory: quirelle-pack packs a book of about 200 MB of content (pages of text that
// compresses poorly, like a book with many pictures) as its own process; its peak memory is
// printed against the content's size. Run: build/release/bench/bench_pack BUILD_DIR
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Peak resident memory (KiB) and wall time of one packer run.
bool RunPacker(const std::string& packer, const std::vector<std::string>& args, long& peakKiB, double& seconds) {
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(packer.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(packer.c_str(), argv.data());
    std::_Exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return false;
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  peakKiB = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

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
    std::string page = "<html><body><pre>";
    while (page.size() < 100000) {
      seed = seed * 1664525u + 1013904223u;
      page += static_cast<char>('A' + (seed >> 24) % 58);
    }
    page += "</pre></body></html>";
    std::ofstream(work / "content" / ("p" + std::to_string(i) + ".htm"), std::ios::binary) << page;
    content += page.size();
  }
  long peak = 0;
  double seconds = 0;
  const bool ok = RunPacker((build / "tools" / "quirelle-pack").string(),
                            {"--viewer", (build / "quirelle-viewer").string(), "--system", (work / "system").string(),
                             "--content", (work / "content").string(), "-o", (work / "book").string()},
                            peak, seconds);
  std::printf("Packing a book of %.1f MB of content (%s)\n", static_cast<double>(content) / 1e6, ok ? "packed" : "FAILED");
  std::printf("  %-36s %8.1f MB\n", "peak memory of quirelle-pack", static_cast<double>(peak) * 1024 / 1e6);
  std::printf("  %-36s %8.2f (goal: about 2)\n", "ratio peak / content", static_cast<double>(peak) * 1024 / static_cast<double>(content));
  std::printf("  %-36s %8.1f s\n", "wall time", seconds);
  fs::remove_all(work);
  return ok ? 0 : 1;
}
