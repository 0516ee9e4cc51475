// A book file from hostile bytes, of whatever kind (packed book, book document, Windows
// executable): the index of its data blocks, a block read through it, and the diagnosis of a
// book cut short. Reading either gives bytes or a clean error; the diagnosis never fails.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "u_DataBlocks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The readers take a file name: the input is written to a file of this process's own.
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/quirelle-fuzz-book-" + std::to_string(::getpid());
  }();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    const TDataBlockIndex index = ReadDataBlockIndex(path);
    if (index.ProgramSize > size) std::abort();
    for (const TDataBlockEntry& e : index.Entries)
      if (e.Offset + e.Size > size) std::abort();
  } catch (const EDataBlockError&) {
  }
  try {
    if (ReadBookBlock(path, "SYSTEM_MFS").size() > size) std::abort();
  } catch (const EDataBlockError&) {
  }
  CarriesBook(path);
  BookFileDamage(path);
  BookFileProblem(path);
  return 0;
}
