// The author's check on hostile pages and style sheets: every link found stands on a line of
// the text, and a link resolved into the book names an absolute path with no "." or ".."
// segment left (the engine would have worked them out).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "u_BookCheck.h"
#include "u_CodePage.h"

namespace {

void CheckResolved(std::string_view reference) {
  const TResolvedLink to = ResolveBookLink("mfs", "\\pages\\deep\\page.htm", reference);
  if (to.Kind != TResolvedLink::Book || to.Scheme != "mfs") return;
  if (to.Path.empty() || to.Path.front() != '\\') std::abort();
  std::size_t start = 1;
  while (start <= to.Path.size()) {
    std::size_t end = std::min(to.Path.find('\\', start), to.Path.size());
    const std::string_view segment = std::string_view(to.Path).substr(start, end - start);
    if (segment == "." || segment == "..") std::abort();
    start = end + 1;
  }
}

void CheckLinks(const std::vector<TLinkRef>& links, std::string_view text) {
  // "\n", "\r\n" and a lone "\r" each end a line.
  std::int32_t lines = 1;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) ++lines;
  for (const TLinkRef& link : links) {
    if (link.Line < 1 || link.Line > lines) std::abort();
    CheckResolved(link.Target);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    SetBookCodePage(1252);
    return true;
  }();
  (void)ready;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckLinks(PageLinks(text), text);
  const std::vector<TLinkRef> sheet = StyleSheetLinks(text);
  CheckLinks(sheet, text);
  // A reference's place in the style sheet holds it, so that it can be rewritten there.
  for (const TLinkRef& link : sheet)
    if (link.Begin >= link.End || link.End > text.size() || text.substr(link.Begin, link.End - link.Begin).find(link.Target.substr(0, 1)) == std::string_view::npos)
      std::abort();
  CheckResolved(text.substr(0, 300));
  // Every level of nesting is opened by a tag of its own.
  if (PageNesting(text) > static_cast<std::size_t>(std::count(text.begin(), text.end(), '<'))) std::abort();
  return 0;
}
