// MFS image figures: checksum throughput, load time against one plain copy of the same bytes,
// and how load time grows with image size. Prints a table; takes the best of several runs.
#include <chrono>
#include "bench_util.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "u_MFS.h"

namespace {

using Clock = std::chrono::steady_clock;

// files spread over folders of 100, with sizes varying around total/files.
std::string SyntheticImage(int files, std::size_t totalBytes) {
  TMFS mfs;
  TMFSSession* s = mfs.Session();
  std::size_t average = totalBytes / static_cast<std::size_t>(files);
  std::uint32_t seed = 12345;
  for (int i = 0; i < files; ++i) {
    seed = seed * 1103515245u + 12345u;
    std::size_t size = average / 2 + seed % (average + 1);
    std::string path = "\\book\\part" + std::to_string(i / 100) + "\\page" + std::to_string(i) + ".htm";
    s->ForceFolders(TMFS::ExtractFilePath(path));
    TMFSFile* f = s->CreateFile(path, 0, false);
    f->Data.assign(size, static_cast<char>('a' + i % 26));
  }
  return mfs.SaveToString();
}

struct TFigures {
  double MB, LoadSeconds, CopySeconds, ChecksumSeconds;
};

TFigures Measure(int files, std::size_t bytes, int runs) {
  std::string image = SyntheticImage(files, bytes);
  TFigures r{};
  r.MB = static_cast<double>(image.size()) / 1e6;
  volatile std::uint32_t sink = 0;
  r.ChecksumSeconds = BestSeconds(runs, [&] { sink = sink + ImageChecksum(image); });
  r.LoadSeconds = BestSeconds(runs, [&] {
    TMFS mfs;
    mfs.LoadFromString(image);
    sink = sink + static_cast<std::uint32_t>(mfs.Root()->Items.Count());
  });
  r.CopySeconds = BestSeconds(runs, [&] {
    std::string copy = image;
    sink = sink + static_cast<std::uint32_t>(copy[copy.size() / 2]);
  });
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  std::printf("MFS image benchmark (best of %d runs)\n\n", runs);
  std::printf("%8s %8s %14s %10s %10s %10s\n", "files", "MB", "checksum MB/s", "load ms", "copy ms", "load/copy");
  std::vector<TFigures> all;
  for (auto [files, bytes] : {std::pair{5000, std::size_t{50'000'000}}, std::pair{20000, std::size_t{200'000'000}}}) {
    TFigures f = Measure(files, bytes, runs);
    all.push_back(f);
    std::printf("%8d %8.1f %14.0f %10.1f %10.1f %10.2f\n", files, f.MB, f.MB / f.ChecksumSeconds, f.LoadSeconds * 1e3,
                f.CopySeconds * 1e3, f.LoadSeconds / f.CopySeconds);
  }
  double sizeRatio = all[1].MB / all[0].MB;
  double timeRatio = all[1].LoadSeconds / all[0].LoadSeconds;
  std::printf("\nsize x%.2f -> load time x%.2f (linear would be x%.2f)\n", sizeRatio, timeRatio, sizeRatio);
  return 0;
}
