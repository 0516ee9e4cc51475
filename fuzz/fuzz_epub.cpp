// An EPUB from hostile bytes: the container, its package document, navigation document and NCX.
// Reading gives a book or a clean error; every path it gives stays inside the container.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "u_Epub.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The style rewriting takes any text and never grows it by more than its declarations' names.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (StandardCssInPage(text).size() > size * 2 + 16 || StandardCss(text).size() > size * 2 + 16) std::abort();
  try {
    const TEpub epub = ReadEpub(std::string_view(reinterpret_cast<const char*>(data), size));
    if (epub.Spine.empty()) std::abort();
    for (const auto& [path, bytes] : epub.Files)
      if (path.empty() || path.front() == '/' || path.find("..") != std::string_view::npos) std::abort();
  } catch (const EEpubError&) {
  }
  return 0;
}
