// The search scan on hostile pages: the page text never grows beyond the page, and the fast
// match agrees with a plain search over the folded texts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "u_CodePage.h"
#include "u_PageSearch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t needleSize = std::min<std::size_t>(data[0] % 16, size - 1);
  const std::string needle(reinterpret_cast<const char*>(data + 1), needleSize);
  const std::string html(reinterpret_cast<const char*>(data + 1 + needleSize), size - 1 - needleSize);
  const std::string text = ExtractPageText(html);
  if (text.size() > html.size() + 1) std::abort();
  std::string foldedText = text, foldedNeedle = needle;
  FoldTextInPlace(foldedText);
  FoldTextInPlace(foldedNeedle);
  const bool expected = !needle.empty() && std::search(foldedText.begin(), foldedText.end(), foldedNeedle.begin(),
                                                       foldedNeedle.end()) != foldedText.end();
  if (TPageMatcher(needle).Matches(text) != expected) std::abort();
  return 0;
}
