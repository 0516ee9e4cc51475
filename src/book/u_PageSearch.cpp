#include "u_PageSearch.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
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
// none (it folds to itself) or the place of its folded text in Folds, each padded to a fixed
// size, so that it is copied with one fixed-size move.
struct TFold {
  std::uint8_t Length = 0;
  char Bytes[15] = {};
};

struct TFoldTable {
  std::vector<std::uint16_t> Entry = std::vector<std::uint16_t>(0x10000, 0);
  std::vector<TFold> Folds = std::vector<TFold>(1);  // Folds[0] stands for none
  // Characters below U+0800 (one or two bytes, the letters of most alphabets) with their folded
  // bytes, themselves or not: copied without a branch on whether they fold.
  std::vector<std::uint64_t> SmallBytes = std::vector<std::uint64_t>(0x800, 0);
  std::vector<std::uint8_t> SmallLength = std::vector<std::uint8_t>(0x800, 0);
};

const TFoldTable& FoldTable() {
  static TFoldTable table;
  static std::once_flag built;
  std::call_once(built, [] {
    for (std::uint32_t c = 0; c < 0x80; ++c) {
      table.SmallBytes[c] = c >= 'A' && c <= 'Z' ? c + 32 : c;
      table.SmallLength[c] = 1;
    }
    for (std::uint32_t c = 0x80; c < 0x10000; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      std::string self;
      AppendUtf8(self, c);
      const std::string folded = FoldedByIcu(c);
      if (c < 0x800 && folded.size() <= 8) {
        std::memcpy(&table.SmallBytes[c], folded.data(), folded.size());
        table.SmallLength[c] = static_cast<std::uint8_t>(folded.size());
      }
      if (folded == self || folded.size() > sizeof(TFold::Bytes)) continue;
      TFold fold;
      fold.Length = static_cast<std::uint8_t>(folded.size());
      std::memcpy(fold.Bytes, folded.data(), folded.size());
      table.Entry[c] = static_cast<std::uint16_t>(table.Folds.size());
      table.Folds.push_back(fold);
    }
  });
  return table;
}

// Slack at the end of an output buffer for the fixed-size moves.
constexpr std::size_t FoldSlack = 16;

// Writes the folded form of UTF-8 text at dst, which has room for three times its bytes plus
// FoldSlack (no character folds to more); returns the end. A byte that does not start a
// well-formed character becomes U+FFFD.
char* FoldUtf8Run(const TFoldTable& table, char* dst, const char* text, std::size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const TFold* const folds = table.Folds.data();
  const std::uint16_t* const entry = table.Entry.data();
  const std::uint64_t* const smallBytes = table.SmallBytes.data();
  const std::uint8_t* const smallLength = table.SmallLength.data();
  std::size_t i = 0;
  while (i < size) {
    const unsigned b = p[i];
    // One or two bytes, mixed at random in most text: taken without a branch between them.
    const unsigned next = i + 1 < size ? p[i + 1] : 0u;
    const bool ascii = b < 0x80;
    const bool two = b >= 0xC2 && b <= 0xDF && (next & 0xC0u) == 0x80;
    if (ascii || two) {
      const unsigned c = ascii ? b : (b & 0x1Fu) << 6 | (next & 0x3Fu);
      std::memcpy(dst, &smallBytes[c], 8);
      dst += smallLength[c];
      i += ascii ? 1 : 2;
      continue;
    }
    // One well-formed character: lead byte, continuation bytes, no overlong form, no surrogate.
    std::uint32_t c = 0;
    std::size_t length = 0;
    if (b >= 0xE0 && b <= 0xEF) {
      if (i + 2 < size && (p[i + 1] & 0xC0) == 0x80 && (p[i + 2] & 0xC0) == 0x80) {
        c = (b & 0x0Fu) << 12 | (p[i + 1] & 0x3Fu) << 6 | (p[i + 2] & 0x3Fu);
        if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) length = 3;
      }
    } else if (b >= 0xF0 && b <= 0xF4) {
      if (i + 3 < size && (p[i + 1] & 0xC0) == 0x80 && (p[i + 2] & 0xC0) == 0x80 && (p[i + 3] & 0xC0) == 0x80) {
        c = (b & 0x07u) << 18 | (p[i + 1] & 0x3Fu) << 12 | (p[i + 2] & 0x3Fu) << 6 | (p[i + 3] & 0x3Fu);
        if (c >= 0x10000 && c <= 0x10FFFF) length = 4;
      }
    }
    if (length == 0) {
      std::memcpy(dst, "\xEF\xBF\xBD", 3);
      dst += 3;
      ++i;
      continue;
    }
    if (length == 4) {
      const std::string folded = FoldedByIcu(c);
      const std::size_t n = std::min<std::size_t>(folded.size(), 12);
      std::memcpy(dst, folded.data(), n);
      dst += n;
    } else if (const std::uint16_t e = entry[c]; e != 0) {
      std::memcpy(dst, folds[e].Bytes, sizeof(TFold::Bytes));
      dst += folds[e].Length;
    } else {
      dst[0] = static_cast<char>(p[i]);
      dst[1] = static_cast<char>(p[i + 1]);
      if (length == 3) dst[2] = static_cast<char>(p[i + 2]);
      dst += length;
    }
    i += length;
  }
  return dst;
}

// The page text of html, into a buffer that is reused from page to page; with a fold table,
// folded on the way (one pass over the page instead of two); with utf8, folded as UTF-8.
void ExtractPageTextInto(std::string_view html, std::string& text, const unsigned char* fold = nullptr, bool utf8 = false) {
  text.clear();
  // Folded UTF-8 is written straight into a buffer large enough for the whole page.
  const TFoldTable* table = utf8 ? &FoldTable() : nullptr;
  char* dst = nullptr;
  if (utf8) {
    text.resize(3 * html.size() + FoldSlack);
    dst = text.data();
  }
  auto append = [&](std::size_t from, std::size_t to) {
    if (utf8) {
      dst = FoldUtf8Run(*table, dst, html.data() + from, to - from);
      return;
    }
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
        if (utf8) *dst++ = ' ';
        else text += ' ';
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
  if (utf8) text.resize(static_cast<std::size_t>(dst - text.data()));
}

}  // namespace

std::string ExtractPageText(std::string_view html) {
  std::string text;
  ExtractPageTextInto(html, text);
  return text;
}

std::string FoldUtf8(std::string_view utf8) {
  std::string folded(3 * utf8.size() + FoldSlack, '\0');
  folded.resize(static_cast<std::size_t>(FoldUtf8Run(FoldTable(), folded.data(), utf8.data(), utf8.size()) - folded.data()));
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
  struct TPage {
    TSearchHit Hit;
    const std::string* Html = nullptr;  // none: not searchable
  };
  // The story's pages in order; a page missing from the image ends the list, and the search
  // reports it once the hits before it are reported.
  std::vector<TPage> pages;
  std::exception_ptr missing;
  story.First();
  while (!story.Eof()) {
    const std::string page = story.CurrentPage();
    try {
      const std::string* html = &content.Session()->GetFile(page)->Data;
      pages.push_back({{story.PageName(), page}, story.Searchable() ? html : nullptr});
    } catch (...) {
      missing = std::current_exception();
      break;
    }
    story.Next();
  }
  // Every core reads its share of the pages: they are independent, and reading is the time.
  const TSearchText text(typed);
  std::vector<char> found(pages.size(), 0);
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    std::string buffer;
    for (std::size_t i; (i = next.fetch_add(1)) < pages.size();)
      found[i] = pages[i].Html && text.Matches(*pages[i].Html, buffer);
  };
  const unsigned helpers = std::min<unsigned>(std::max(1u, std::thread::hardware_concurrency()), 8) - 1;
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < helpers && pages.size() > 64; ++t) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  for (std::size_t i = 0; i < pages.size(); ++i)
    if (found[i]) hit(pages[i].Hit);
  if (missing) std::rethrow_exception(missing);
}
