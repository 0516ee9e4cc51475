// Feeds arbitrary bytes through the whole image source path: Cabinet, member, MFS image.
#include <cstddef>
#include <cstdint>
#include <string>

#include "u_ImageSource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TMFS mfs;
  try {
    LoadCabImage(mfs, std::string(reinterpret_cast<const char*>(data), size));
  } catch (const Exception&) {
  }
  return 0;
}
