// The search scan on hostile pages: the page text is what the three-state table gives, byte by
// byte, and the fast match agrees with a plain search over the folded texts. Read as UTF-8, the
// text folded run by run is the whole text folded, and folding it again changes nothing; the
// page's encoding and the whole match, whatever the page declares, end without a fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "u_CodePage.h"
#include "u_PageEncoding.h"
#include "u_PageSearch.h"

namespace {

// The table itself, one byte at a time: the fast scan skips runs with memchr.
std::string ReferenceText(const std::string& html) {
  std::string text;
  enum { sText, sTag, sQuoted } state = sText;
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < html.size(); ++i) {
    const char c = html[i];
    if (state == sText && c == '<') {
      text.append(html, runStart, i - runStart);
      text += ' ';
      state = sTag;
    } else if (state == sTag && c == '"') {
      state = sQuoted;
    } else if (state == sTag && c == '>') {
      runStart = i + 1;
      state = sText;
    } else if (state == sQuoted && c == '"') {
      state = sTag;
    }
  }
  if (state == sText) text.append(html, runStart, std::string::npos);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t needleSize = std::min<std::size_t>(data[0] % 16, size - 1);
  const std::string needle(reinterpret_cast<const char*>(data + 1), needleSize);
  const std::string html(reinterpret_cast<const char*>(data + 1 + needleSize), size - 1 - needleSize);
  const std::string text = ExtractPageText(html);
  if (text != ReferenceText(html)) std::abort();
  std::string foldedText = text, foldedNeedle = needle;
  FoldTextInPlace(foldedText);
  FoldTextInPlace(foldedNeedle);
  const bool expected = !needle.empty() && std::search(foldedText.begin(), foldedText.end(), foldedNeedle.begin(),
                                                       foldedNeedle.end()) != foldedText.end();
  if (TPageMatcher(needle).Matches(text) != expected) std::abort();
  const std::string folded = ExtractFoldedUtf8Text(html);
  if (folded != FoldUtf8(text) || FoldUtf8(folded) != folded) std::abort();
  PageEncoding(html);
  std::string buffer;
  TSearchText(needle).Matches(html, buffer);
  return 0;
}
