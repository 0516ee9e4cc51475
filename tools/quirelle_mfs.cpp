// quirelle-mfs: builds, lists and extracts MFS images.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "u_DiskFolder.h"
#include "u_MFS.h"

namespace fs = std::filesystem;

namespace {

const char* const Usage =
    "Usage: quirelle-mfs list IMAGE\n"
    "       quirelle-mfs build FOLDER IMAGE\n"
    "       quirelle-mfs extract IMAGE FOLDER\n"
    "\n"
    "  list     print the folder tree of an MFS image\n"
    "  build    make an MFS image of a disk folder (names in the book's code page)\n"
    "  extract  write the files of an MFS image into a disk folder\n";

int Run(const std::vector<std::string>& args) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(Usage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  const std::string& command = args[0];
  if (command == "list" && args.size() == 2) {
    TMFS mfs;
    mfs.LoadFromString(ReadDiskFile(args[1]));
    ListTree(mfs, stdout);
    return 0;
  }
  if (command == "build" && args.size() == 3) {
    if (!fs::is_directory(args[1])) throw EToolError(args[1] + ": not a folder");
    TMFS mfs;
    ImportFolder(args[1], mfs.Root());
    WriteDiskFileAtomically(args[2], mfs.SaveToString());
    return 0;
  }
  if (command == "extract" && args.size() == 3) {
    TMFS mfs;
    mfs.LoadFromString(ReadDiskFile(args[1]));
    ExportFolder(mfs.Root(), args[2]);
    return 0;
  }
  std::fputs(Usage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const Exception& e) {
    std::fprintf(stderr, "quirelle-mfs: %s\n", e.Message().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quirelle-mfs: %s\n", e.what());
  }
  return 1;
}
