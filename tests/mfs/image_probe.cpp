// A program of ours that reads its own data blocks, for tests of packed executables: prints
// the trees of its system and content images, or the error that loading them raised. It stands
// in for the viewer when the packer checks a book: "--check-book BOOK" (or SYSTEM CONTENT, the
// two Cabinets) loads both images and reports, as the viewer would, whether they load.
#include <cstdio>
#include <cstring>

#include "u_DataBlocks.h"
#include "u_DiskFolder.h"
#include "u_ImageSource.h"
#include "u_MFSCab.h"

int main(int argc, char** argv) {
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--check-book") == 0) {
    try {
      for (int i = 0; i < 2; ++i) {
        TMFS image;
        LoadCabImage(image, argc == 4 ? ReadDiskFile(argv[2 + i]) : ReadDataBlock(argv[2], "RCDATA", i ? "FILES_MFS" : "SYSTEM_MFS"));
      }
      std::printf("0 errors, 0 notes\n");
      return 0;
    } catch (const Exception& e) {
      std::printf("(book): error: %s\n1 error, 0 notes\n", e.Message().c_str());
      return 1;
    }
  }
  try {
    TMFS system, content;
    LoadSystemImage(system);
    LoadContentImage(content);
    std::printf("SYSTEM_MFS:\n");
    ListTree(system, stdout);
    std::printf("FILES_MFS:\n");
    ListTree(content, stdout);
    return 0;
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", e.Message().c_str());
  }
  return 1;
}
