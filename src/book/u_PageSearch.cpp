#include "u_PageSearch.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "u_CodePage.h"
#include "u_MFS.h"
#include "u_PageEncoding.h"
#include "u_Story.h"

namespace {

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// ICU's full case folding of one character, in UTF-8.
std::string FoldedByIcu(std::uint32_t c) {
  UChar in[2];
  int32_t inLength = 0;
  U16_APPEND_UNSAFE(in, inLength, c);
  UChar folded[16];
  UErrorCode error = U_ZERO_ERROR;
  const int32_t length = u_strFoldCase(folded, 16, in, inLength, U_FOLD_CASE_DEFAULT, &error);
  std::string out;
  if (U_FAILURE(error) || length > 16) {
    AppendUtf8(out, c);
    return out;
  }
  for (int32_t i = 0; i < length;) {
    UChar32 f;
    U16_NEXT_UNSAFE(folded, i, f);
    AppendUtf8(out, static_cast<std::uint32_t>(f));
  }
  return out;
}

// The folding of every character of the Basic Multilingual Plane, asked of ICU once: for each,
// none (it folds to itself) or where its folded text lies in one buffer (offset << 4 | length).
struct TFoldTable {
  std::vector<std::uint32_t> Entry = std::vector<std::uint32_t>(0x10000, 0);
  std::string Texts;
};

const TFoldTable& FoldTable() {
  static TFoldTable table;
  static std::once_flag built;
  std::call_once(built, [] {
    for (std::uint32_t c = 0x80; c < 0x10000; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      std::string self;
      AppendUtf8(self, c);
      const std::string folded = FoldedByIcu(c);
      if (folded == self) continue;
      table.Entry[c] = static_cast<std::uint32_t>(table.Texts.size() << 4 | folded.size());
      table.Texts += folded;
    }
  });
  return table;
}

// Appends the folded form of UTF-8 text; a byte that does not start a well-formed character
// becomes U+FFFD.
void AppendFoldedUtf8(std::string& out, const char* text, std::size_t size) {
  const TFoldTable& table = FoldTable();
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < size) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out += static_cast<char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
      ++i;
      continue;
    }
    // One well-formed character: lead byte, continuation bytes, no overlong form, no surrogate.
    std::uint32_t c = 0;
    std::size_t length = 0;
    if (b >= 0xC2 && b <= 0xDF) length = 2, c = b & 0x1F;
    else if (b >= 0xE0 && b <= 0xEF) length = 3, c = b & 0x0F;
    else if (b >= 0xF0 && b <= 0xF4) length = 4, c = b & 0x07;
    bool ok = length != 0 && i + length <= size;
    for (std::size_t k = 1; ok && k < length; ++k) {
      ok = (p[i + k] & 0xC0) == 0x80;
      c = c << 6 | (p[i + k] & 0x3F);
    }
    ok = ok && !(length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) && !(length == 4 && (c < 0x10000 || c > 0x10FFFF));
    if (!ok) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (c >= 0x10000) out += FoldedByIcu(c);
    else if (const std::uint32_t e = table.Entry[c]; e != 0) out.append(table.Texts, e >> 4, e & 0xF);
    else out.append(text + i, length);
    i += length;
  }
}

// The page text of html, into a buffer that is reused from page to page; with a fold table,
// folded on the way (one pass over the page instead of two); with utf8, folded as UTF-8.
void ExtractPageTextInto(std::string_view html, std::string& text, const unsigned char* fold = nullptr, bool utf8 = false) {
  text.clear();
  auto append = [&](std::size_t from, std::size_t to) {
    if (utf8) return AppendFoldedUtf8(text, html.data() + from, to - from);
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

std::string FoldUtf8(std::string_view utf8) {
  std::string folded;
  folded.reserve(utf8.size());
  AppendFoldedUtf8(folded, utf8.data(), utf8.size());
  return folded;
}

std::string ExtractFoldedUtf8Text(std::string_view html) {
  std::string text;
  ExtractPageTextInto(html, text, nullptr, true);
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

TSearchText::TSearchText(std::string_view typed) : FUtf8(FoldUtf8(typed)) {
  std::string bookText;
  if (FromUtf8(typed, bookText)) FCodePage.emplace(bookText);
}

bool TSearchText::Matches(std::string_view html, std::string& buffer) const {
  const std::string encoding = PageEncoding(html);
  // A page in the book's 8-bit code page is compared byte by byte, as the search always did.
  if (encoding != "utf-8" && encoding == BookEncoding()) {
    if (!FCodePage) return false;  // the page cannot hold what was typed
    // Double-byte text is folded afterwards: whether a byte folds depends on the one before.
    const bool doubleByte = CodePageIsDoubleByte();
    ExtractPageTextInto(html, buffer, doubleByte ? nullptr : CaseFoldTable());
    if (doubleByte) FoldTextInPlace(buffer);
    return FCodePage->MatchesFolded(buffer);
  }
  if (FUtf8.empty()) return false;
  if (encoding == "utf-8") {
    ExtractPageTextInto(html.substr(html.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0), buffer, nullptr, true);
  } else {
    ExtractPageTextInto(PageToUtf8(html, encoding), buffer, nullptr, true);
  }
  return buffer.size() >= FUtf8.size() && ::memmem(buffer.data(), buffer.size(), FUtf8.data(), FUtf8.size()) != nullptr;
}

void SearchStory(TStory& story, TMFS& content, std::string_view typed, const std::function<void(const TSearchHit&)>& hit) {
  const TSearchText text(typed);
  std::string buffer;
  story.First();
  while (!story.Eof()) {
    const std::string page = story.CurrentPage();
    const std::string& html = content.Session()->GetFile(page)->Data;
    if (story.Searchable() && text.Matches(html, buffer)) hit({story.PageName(), page});
    story.Next();
  }
}
