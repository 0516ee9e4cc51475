#include "u_PageSearch.h"

#include <cstring>

#include "u_CodePage.h"
#include "u_MFS.h"
#include "u_Story.h"

namespace {

// The page text of html, into a buffer that is reused from page to page; with a fold table,
// folded on the way (one pass over the page instead of two).
void ExtractPageTextInto(std::string_view html, std::string& text, const unsigned char* fold = nullptr) {
  text.clear();
  auto append = [&](std::size_t from, std::size_t to) {
    if (!fold) {
      text.append(html, from, to - from);
      return;
    }
    const std::size_t at = text.size();
    text.resize(at + (to - from));
    for (std::size_t i = from; i < to; ++i) text[at + (i - from)] = static_cast<char>(fold[static_cast<unsigned char>(html[i])]);
  };
  // The three states of the scan; text and quoted values are skipped with memchr, a run at a time.
  enum { sText, sTag, sQuoted } state = sText;
  std::size_t runStart = 0;
  const char* const begin = html.data();
  const std::size_t size = html.size();
  std::size_t i = 0;
  while (i < size) {
    switch (state) {
      case sText: {
        const void* lt = std::memchr(begin + i, '<', size - i);
        if (!lt) {
          i = size;
          break;
        }
        i = static_cast<std::size_t>(static_cast<const char*>(lt) - begin);
        append(runStart, i);
        text += ' ';
        state = sTag;
        ++i;
        break;
      }
      case sTag: {
        const char c = begin[i++];
        if (c == '"') state = sQuoted;
        else if (c == '>') {
          runStart = i;
          state = sText;
        }
        break;
      }
      case sQuoted: {
        const void* quote = std::memchr(begin + i, '"', size - i);
        i = quote ? static_cast<std::size_t>(static_cast<const char*>(quote) - begin) + 1 : size;
        if (quote) state = sTag;
        break;
      }
    }
  }
  if (state == sText) append(runStart, html.size());
}

}  // namespace

std::string ExtractPageText(std::string_view html) {
  std::string text;
  ExtractPageTextInto(html, text);
  return text;
}

TPageMatcher::TPageMatcher(std::string_view text) : FFolded(text) { FoldTextInPlace(FFolded); }

bool TPageMatcher::Matches(std::string_view pageText) const {
  std::string folded(pageText);
  FoldTextInPlace(folded);
  return MatchesFolded(folded);
}

bool TPageMatcher::MatchesFolded(std::string_view folded) const {
  if (FFolded.empty() || folded.size() < FFolded.size()) return false;
  return ::memmem(folded.data(), folded.size(), FFolded.data(), FFolded.size()) != nullptr;
}

void SearchStory(TStory& story, TMFS& content, std::string_view text, const std::function<void(const TSearchHit&)>& hit) {
  const TPageMatcher matcher(text);
  std::string pageText;
  story.First();
  while (!story.Eof()) {
    const std::string page = story.CurrentPage();
    const std::string& html = content.Session()->GetFile(page)->Data;
    if (story.Searchable()) {
      // Double-byte text is folded afterwards: whether a byte folds depends on the one before.
      const bool doubleByte = CodePageIsDoubleByte();
      ExtractPageTextInto(html, pageText, doubleByte ? nullptr : CaseFoldTable());
      if (doubleByte) FoldTextInPlace(pageText);
      if (matcher.MatchesFolded(pageText)) hit({story.PageName(), page});
    }
    story.Next();
  }
}
