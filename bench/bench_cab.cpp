// Unpacking a book image: LoadCabImage against Debian's gcab -x of the same Cabinet into a
// memory file system (/dev/shm), measured in the same run. Prints a table; best of several runs.
#include <chrono>
#include "bench_util.h"
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>

#include "u_CabWriter.h"
#include "u_DiskFolder.h"
#include "u_ImageSource.h"
#include "u_MFSCab.h"

namespace fs = std::filesystem;

namespace {

// Pages of varied HTML text, about totalBytes in all.
void MakeContentFolder(const fs::path& root, int pages, std::size_t totalBytes) {
  const char* words[] = {"the ", "reader ", "turns ", "a ", "page ", "of ", "this ", "book ", "and ", "finds ",
                         "chapter ", "<b>light</b> ", "quiet ", "river ", "stone ", "\n<p>"};
  std::uint32_t seed = 7;
  std::size_t perPage = totalBytes / static_cast<std::size_t>(pages);
  for (int i = 0; i < pages; ++i) {
    fs::path dir = root / ("part" + std::to_string(i / 100));
    fs::create_directories(dir);
    std::string page = "<html><body><h1>Page " + std::to_string(i) + "</h1>\n<p>";
    while (page.size() < perPage) {
      seed = seed * 1103515245u + 12345u;
      page += words[(seed >> 16) % 16];
    }
    page += "</body></html>\n";
    std::ofstream(dir / ("page" + std::to_string(i) + ".htm"), std::ios::binary) << page;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  fs::path work = fs::path("/dev/shm") / ("quirelle-bench-" + std::to_string(::getpid()));
  fs::remove_all(work);
  MakeContentFolder(work / "content", 5000, 50'000'000);

  TMFS source;
  ImportFolder(work / "content", source.Root());
  std::string image = source.SaveToString();
  std::string cab = BuildCabinet({{"info.mfs", image, DosDateTimeNow(), 0x20}});
  fs::path cabFile = work / "content.cab";
  std::ofstream(cabFile, std::ios::binary).write(cab.data(), static_cast<std::streamsize>(cab.size()));

  double ours = BestSeconds(runs, [&] {
    TMFS mfs;
    LoadCabImage(mfs, cab);
  });
  // The same with every block through libmspack, as before ISA-L: the baseline of this run.
  SetMszipFastPath(false);
  double mspack = BestSeconds(runs, [&] {
    TMFS mfs;
    LoadCabImage(mfs, cab);
  });
  SetMszipFastPath(true);
  fs::path out = work / "x";
  std::string command = "cd '" + out.string() + "' && gcab -x '" + cabFile.string() + "'";
  double gcab = BestSeconds(runs, [&] {
    fs::remove_all(out);
    fs::create_directories(out);
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "gcab -x failed\n");
  });
  std::printf("Cabinet unpacking, 5000 pages (best of %d runs)\n\n", runs);
  std::printf("image %.1f MB, cabinet %.1f MB\n", static_cast<double>(image.size()) / 1e6, static_cast<double>(cab.size()) / 1e6);
  std::printf("%-40s %10.1f ms\n", "LoadCabImage (unpack + load tree)", ours * 1e3);
  std::printf("%-40s %10.1f ms\n", "LoadCabImage, libmspack inflating", mspack * 1e3);
  std::printf("%-40s %10.1f ms\n", "gcab -x into /dev/shm", gcab * 1e3);
  std::printf("%-40s %10.2f\n", "ratio LoadCabImage / gcab -x", ours / gcab);
  std::printf("%-40s %10.2f\n", "ratio libmspack only / gcab -x", mspack / gcab);
  fs::remove_all(work);
  return 0;
}
