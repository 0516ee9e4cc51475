// Full-text search over the story's pages, as the search window runs it: the text of a page is
// its bytes with every tag replaced by a blank, and a page matches when the search text occurs
// in it without regard to letter case. A page in the book's 8-bit code page is compared byte by
// byte with the code page's letter case; any other page (UTF-8, or another encoding it declares)
// is compared by characters, both sides with Unicode's full case folding ("STRASSE" finds
// "Straße"). No index: every search reads the pages anew.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

class TMFS;
class TStory;

// The page text: every tag (a "<" up to the ">" that ends it outside double quotes) becomes one
// blank; the text between tags stays as it is, character references included.
std::string ExtractPageText(std::string_view html);

// A search text, folded once, tested against many page texts.
class TPageMatcher {
public:
  explicit TPageMatcher(std::string_view text);
  // Whether the text occurs in the page text ignoring letter case; an empty text never does.
  bool Matches(std::string_view pageText) const;
  // The same for a page text already folded with FoldTextInPlace.
  bool MatchesFolded(std::string_view folded) const;

private:
  std::string FFolded;
};

// Unicode's full case folding of UTF-8 text; bytes that are not UTF-8 become U+FFFD.
std::string FoldUtf8(std::string_view utf8);
// The page text of UTF-8 html, folded so.
std::string ExtractFoldedUtf8Text(std::string_view html);

// What the reader typed (UTF-8), folded once for each way pages are read.
class TSearchText {
public:
  explicit TSearchText(std::string_view typed);
  // Whether a page's html holds the text; buffer is reused from page to page.
  bool Matches(std::string_view html, std::string& buffer) const;

private:
  std::string FUtf8;
  std::optional<TPageMatcher> FCodePage;  // none when the code page cannot hold the text
};

struct TSearchHit {
  std::string PageName;
  std::string Page;  // the story's CurrentPage
};

// Walks the story from First until Eof (leaving the cursor there), reading each page's raw
// content from the content image, and reports every searchable page whose text holds typed (in
// UTF-8), in story order. A story page missing from the image raises the image's "File "%s" not found"
// after the hits found before it were reported.
void SearchStory(TStory& story, TMFS& content, std::string_view typed, const std::function<void(const TSearchHit&)>& hit);
