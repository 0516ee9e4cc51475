// The search scan: page text, letter case, searchable pages, story order, the cursor, missing pages.
#include <gtest/gtest.h>

#include <vector>

#include "u_CodePage.h"
#include "u_MFS.h"
#include "u_PageSearch.h"
#include "u_Story.h"

namespace {

TEST(PageText, TagsBecomeBlanksAndTheRestStaysAsWritten) {
  EXPECT_EQ(ExtractPageText("<p class=\"a>b\">Hi</p>"), " Hi ");        // a quoted ">" does not end the tag
  EXPECT_EQ(ExtractPageText("<a title='x>y'>z"), " y'>z");               // single quotes are ordinary
  EXPECT_EQ(ExtractPageText("A &amp; B<!-- note --><script>f(1)</script>"), "A &amp; B  f(1) ");
  EXPECT_EQ(ExtractPageText("plain"), "plain");
  EXPECT_EQ(ExtractPageText("text<unclosed"), "text ");                   // an open tag appends nothing more
  EXPECT_EQ(ExtractPageText("x<a href=\"open>y"), "x ");
  EXPECT_EQ(ExtractPageText(""), "");
}

TEST(PageSearch, FindsStoryPagesIgnoringCaseInStoryOrder) {
  SetBookCodePage(1252);
  TMFS content;
  auto page = [&](const char* name, const std::string& html) { content.Session()->CreateFile(name, 0, false)->Data = html; };
  page("\\p1.htm", "<html><title>One</title><body>The River runs</body></html>");
  page("\\p2.htm", "<p>two RIVERS</p>");
  page("\\p3.htm", "<p>a <b>riverside</b> walk</p>");
  page("\\p4.htm", "<p>a river, but not searchable</p>");
  page("\\p5.htm", "<p><b>word</b>joined &amp; more</p>");
  page("\\p6.htm", "<p>\xC9t\xE9 au bord de l'eau</p>");  // Windows-1252 letters fold too
  TStory story("<S><i page=\"\\p1.htm\" pagename=\"One\"/><c><i page=\"\\p2.htm\" pagename=\"Two\"/>"
               "<i page=\"\\p3.htm\"/></c><i page=\"\\p4.htm\" searchable=False/><i page=\"\\p5.htm\"/>"
               "<i page=\"\\p6.htm\"/></S>");
  auto search = [&](const std::string& text) {  // typed in the code page, given as the window gives it
    std::vector<std::string> pages;
    SearchStory(story, content, ToUtf8(text), [&](const TSearchHit& h) { pages.push_back(h.PageName + "@" + h.Page); });
    return pages;
  };
  EXPECT_EQ(search("river"), (std::vector<std::string>{"One@\\p1.htm", "Two@\\p2.htm", "@\\p3.htm"}));
  EXPECT_TRUE(story.Eof());  // the cursor stays on the last page with the end flag set
  EXPECT_EQ(story.CurrentPage(), "\\p6.htm");
  EXPECT_EQ(search("word joined"), (std::vector<std::string>{"@\\p5.htm"}));
  EXPECT_TRUE(search("wordjoined").empty());
  EXPECT_EQ(search("&AMP;"), (std::vector<std::string>{"@\\p5.htm"}));
  EXPECT_TRUE(search("& more").empty());  // entities are not decoded
  EXPECT_EQ(search("\xE9T\xC9"), (std::vector<std::string>{"@\\p6.htm"}));
  EXPECT_TRUE(search("").empty());

  // A story page missing from the content image stops the search after the hits before it.
  TStory broken("<S><i page=\"\\p1.htm\"/><i page=\"\\gone.htm\"/><i page=\"\\p2.htm\"/></S>");
  std::vector<std::string> found;
  try {
    SearchStory(broken, content, "river", [&](const TSearchHit& h) { found.push_back(h.Page); });
    ADD_FAILURE() << "no error";
  } catch (const EMFSError& e) {
    EXPECT_EQ(e.Message(), "File \"\\gone.htm\" not found");
  }
  EXPECT_EQ(found, (std::vector<std::string>{"\\p1.htm"}));
}

}  // namespace

namespace {

// What the reader types against pages in UTF-8, in another declared encoding and in the book's
// code page (Windows-1252), in one table: letter case by characters with full folding in the
// first two kinds, the code page's byte table in the last.
TEST(PageSearch, PagesAreReadInTheirOwnEncoding) {
  SetBookCodePage(1252);
  TMFS content;
  auto page = [&](const char* name, const std::string& html) { content.Session()->CreateFile(name, 0, false)->Data = html; };
  const std::string utf8 = "<html><head><meta charset=\"utf-8\"></head><body>";
  page("\\de.htm", utf8 + "Der Zaunk\xC3\xB6nig singt in der Stra\xC3\x9F" "e. Tom &amp; Jerry</body></html>");
  page("\\ru.htm", utf8 + "\xD0\xA6\xD0\xB0\xD1\x80\xD1\x8C \xD0\xB8 \xD1\x86\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0</body></html>");
  page("\\el.htm", "\xEF\xBB\xBF<p>\xCE\xA3\xCF\x89\xCE\xBA\xCF\x81\xCE\xAC\xCF\x84\xCE\xB7\xCF\x82</p>");  // mark, no meta
  page("\\split.htm", utf8 + "K<b>\xC3\xB6</b>nig</body></html>");
  page("\\cp1251.htm", "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\"><p>\xD6\xE0\xF0\xFC</p>");
  page("\\cp1252.htm", "<p>Schwalbenk\xF6nig in der Stra\xDF" "e</p>");
  TStory story("<S><i page=\"\\de.htm\"/><i page=\"\\ru.htm\"/><i page=\"\\el.htm\"/><i page=\"\\split.htm\"/>"
               "<i page=\"\\cp1251.htm\"/><i page=\"\\cp1252.htm\"/></S>");
  auto search = [&](const std::string& typed) {
    std::string pages;
    SearchStory(story, content, typed, [&](const TSearchHit& h) { pages += h.Page.substr(1) + " "; });
    return pages;
  };
  const std::pair<const char*, const char*> table[] = {
      {"K\xC3\x96NIG", "de.htm cp1252.htm "},                                    // KÖNIG: both kinds
      {"zaunk\xC3\xB6nig", "de.htm "},
      {"STRASSE", "de.htm "},                                                 // ß is ss by characters, not in the byte table
      {"stra\xC3\x9F" "e", "de.htm cp1252.htm "},
      {"\xD0\xA6\xD0\x90\xD0\xA0\xD0\x98\xD0\xA6\xD0\x90", "ru.htm "},         // ЦАРИЦА: no Windows-1252 page can hold it
      {"\xD1\x86\xD0\xB0\xD1\x80\xD1\x8C", "ru.htm cp1251.htm "},              // царь, also decoded from Windows-1251
      {"\xCE\xA3\xCE\xA9\xCE\x9A\xCE\xA1\xCE\x86\xCE\xA4\xCE\x97\xCE\xA3", "el.htm "},  // ΣΩΚΡΆΤΗΣ: final sigma folds too
      {"k \xC3\xB6 nig", "split.htm "},                                       // tags are blanks
      {"k\xC3\xB6nig", "de.htm cp1252.htm "},
      {"&AMP; jerry", "de.htm "},                                             // entities stay as written
      {"& Jerry", ""},
      {"", ""},
  };
  for (const auto& [typed, expected] : table) EXPECT_EQ(search(typed), expected) << typed;
}

}  // namespace
