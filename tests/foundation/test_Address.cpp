// Every caller of the one address rule, in one table: a story page, a link the check follows
// (as the engine would), a path a page script gives the file system, and an href inside an EPUB.
// Rows that share a case show the callers agreeing on the file it names.
#include <gtest/gtest.h>

#include <string>

#include "u_Address.h"
#include "u_BookCheck.h"
#include "u_Errors.h"
#include "u_Epub.h"
#include "u_MFS.h"
#include "u_Story.h"

namespace {

enum class TCaller { StoryPage, Link, ScriptPath, EpubHref };

std::string Resolve(TCaller caller, const std::string& base, const std::string& reference) {
  switch (caller) {
    case TCaller::StoryPage:
      return AddressOfPage(reference);
    case TCaller::Link: {
      const TResolvedLink link = ResolveBookLink("mfs", base, reference);
      return link.Kind == TResolvedLink::Book ? link.Path : link.Kind == TResolvedLink::SamePage ? "same page" : "outside";
    }
    case TCaller::ScriptPath:
      try {
        return TMFS::NormalizePath(reference);
      } catch (const Exception& e) {
        return "error: " + e.Message();
      }
    case TCaller::EpubHref:
      return ResolveEpubPath(base, reference);
  }
  return {};
}

struct TRow {
  const char* name;
  TCaller caller;
  const char* base;
  const char* reference;
  const char* expected;
};

using enum TCaller;
const TRow Rows[] = {
    // Dot segments, and both separators.
    {"story: dot segments", StoryPage, "", "sub/./x\\..\\two.htm", "\\sub\\two.htm"},
    {"link: dot segments", Link, "\\p\\a.htm", "./x/../two.htm", "\\p\\two.htm"},
    {"script: dot segments", ScriptPath, "", "\\p\\.\\x\\..\\two.htm", "\\p\\two.htm"},
    {"epub: dot segments", EpubHref, "a/b/nav.xhtml", "./../c/./d.png", "a/c/d.png"},
    {"link: backslash separates", Link, "\\p\\a.htm", "x\\..\\..\\b.htm", "\\b.htm"},
    {"epub: backslash separates", EpubHref, "a/b/nav.xhtml", "..\\c.png", "a/c.png"},
    // A climb above the root stops there; the file system a script uses refuses it instead.
    {"story: climb stops at the root", StoryPage, "", "x\\..\\..\\three.htm", "\\three.htm"},
    {"link: climb stops at the root", Link, "\\p\\a.htm", "../../../b.htm", "\\b.htm"},
    {"epub: climb stops at the root", EpubHref, "OEBPS/t/c.xhtml", "../../../img/x.png", "img/x.png"},
    {"script: climb is an error", ScriptPath, "", "\\..\\x", "error: File name \"\\..\\x\" is incorrect"},
    // From the root.
    {"link: from the root", Link, "\\p\\q\\a.htm", "/b.htm", "\\b.htm"},
    {"epub: from the root", EpubHref, "a/b/nav.xhtml", "/img/x.png", "img/x.png"},
    {"epub: relative", EpubHref, "OEBPS/content.opf", "text/ch1.xhtml", "OEBPS/text/ch1.xhtml"},
    // Folders: a trailing separator or dot segment; the root is one separator.
    {"story: a folder", StoryPage, "", "dir\\", "\\dir\\"},
    {"story: the root", StoryPage, "", "", "\\"},
    {"story: ends in a dot segment", StoryPage, "", "a/b/..", "\\a\\"},
    {"link: ends in a dot segment", Link, "\\p\\a.htm", "..", "\\"},
    {"script: trailing backslash of the root", ScriptPath, "", "\\x\\..\\", "\\"},
    {"script: empty segments stay", ScriptPath, "", "\\a\\\\b", "\\a\\\\b"},
    // Percent-escapes: a link decodes unreserved ones (escaped dots are dot segments), an EPUB
    // href all of them; names of files are literal.
    {"link: escaped dots", Link, "\\p\\q\\a.htm", "%2e%2E/b.htm", "\\p\\b.htm"},
    {"epub: escapes", EpubHref, "OEBPS/content.opf", "my%20ch%61p.xhtml", "OEBPS/my chap.xhtml"},
    {"epub: escape in the last three characters", EpubHref, "OEBPS/content.opf", "text/ch%31", "OEBPS/text/ch1"},
    {"epub: a lone percent stays", EpubHref, "a/b.opf", "50%", "a/50%"},
    {"story: a name is literal", StoryPage, "", "50%2e.htm", "\\50%2e.htm"},
    // Case is kept (names compare without case when looked up).
    {"story: case kept", StoryPage, "", "Sub\\Two.HTM", "\\Sub\\Two.HTM"},
    {"epub: case kept", EpubHref, "Text/a.xhtml", "B.xhtml", "Text/B.xhtml"},
    // What is not a path in the book.
    {"link: fragment only", Link, "\\a.htm", "#top", "same page"},
    {"link: the web", Link, "\\a.htm", "https://example.org/x", "outside"},
    {"epub: fragment and query dropped", EpubHref, "a/nav.xhtml", "c.xhtml#s2?x", "a/c.xhtml"},
    {"epub: another scheme", EpubHref, "a/nav.xhtml", "https://example.org/x", ""},
};

TEST(Address, EveryCallerFollowsTheOneRule) {
  for (const TRow& r : Rows) EXPECT_EQ(Resolve(r.caller, r.base, r.reference), r.expected) << r.name;
}

// The rule itself, for what no caller above reaches: each style's root, and a base without folders.
TEST(Address, StylesAndBases) {
  bool climbed = false;
  EXPECT_EQ(ResolvePath("a/b.htm", "..", ZipPathStyle, &climbed), "");
  EXPECT_FALSE(climbed);
  EXPECT_EQ(ResolvePath("b.htm", "../c", UrlPathStyle, &climbed), "/c");
  EXPECT_TRUE(climbed);
  EXPECT_EQ(ResolvePath("/x/y/", "z", BookPathStyle), "\\x\\y\\z");
  EXPECT_EQ(ResolvePath("x/../../y/b.htm", "c", UrlPathStyle, &climbed), "/y/c");
  EXPECT_TRUE(climbed);
}

}  // namespace
