// A program of ours that reads its own data blocks, for tests of packed executables: prints
// the trees of its system and content images, or the error that loading them raised.
#include <cstdio>

#include "u_DataBlocks.h"
#include "u_DiskFolder.h"
#include "u_ImageSource.h"
#include "u_MFSCab.h"

int main() {
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
