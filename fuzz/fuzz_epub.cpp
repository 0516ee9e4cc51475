// An EPUB from hostile bytes: the container, its package document, navigation document and NCX.
// Reading gives a book or a clean error; every path it gives stays inside the container.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "u_Epub.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const TEpub epub = ReadEpub(std::string_view(reinterpret_cast<const char*>(data), size));
    if (epub.Spine.empty()) std::abort();
    for (const auto& [path, bytes] : epub.Files)
      if (path.empty() || path.front() == '/' || path.find("..") != std::string_view::npos) std::abort();
  } catch (const EEpubError&) {
  }
  return 0;
}
