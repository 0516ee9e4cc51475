#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "u_Story.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/allocator_interface.h>
#define QUIRELLE_ALLOCATED() __sanitizer_get_current_allocated_bytes()
#endif
#endif
#ifndef QUIRELLE_ALLOCATED
#include <malloc.h>
#define QUIRELLE_ALLOCATED() mallinfo2().uordblks
#endif

namespace {

std::vector<std::string> Walk(TStory& s) {
  std::vector<std::string> pages;
  s.First();
  while (!s.Eof()) {
    pages.push_back(s.CurrentPage());
    s.Next();
  }
  return pages;
}

std::string PageOf(const TStoryLine& lines, const std::string& name) {
  for (std::int32_t i = 0; i < lines.Count(); ++i)
    if (lines.Entry(i)->Attributes.ValueOf("id", TXMLValue()).AsText() == name) return lines.Page(i);
  return "<none>";
}

TEST(StoryLoad, BasePathsResolveAndAreWrittenBack) {
  TStoryLine rel("<Story path=\"book\"><item page=\"intro.htm\" id=\"a\"/><item page=\"\\abs.htm\" id=\"b\"/>"
                 "<item path=\"part1\"><item page=\"x.htm\" id=\"c\"/></item>"
                 "<item><item page=\"y.htm\" id=\"d\"/></item>"
                 "<item path=\"\\other\\\" page=\"own.htm\" id=\"e\"><item page=\"z.htm\" id=\"f\"/></item></Story>");
  EXPECT_EQ(PageOf(rel, "a"), "\\book\\intro.htm");
  EXPECT_EQ(PageOf(rel, "b"), "\\abs.htm");
  EXPECT_EQ(PageOf(rel, "c"), "\\book\\part1\\x.htm");
  EXPECT_EQ(PageOf(rel, "d"), "y.htm");  // a chapter without Path gives an empty base
  EXPECT_EQ(PageOf(rel, "e"), "\\book\\own.htm");
  EXPECT_EQ(PageOf(rel, "f"), "\\other\\z.htm");
  EXPECT_EQ(rel.Entry(0)->Attributes.Find("page")->Value, TXMLValue::Text("\\book\\intro.htm"));

  TStoryLine trailing("<Story path=\"\\book\\\"><item page=\"intro.htm\" id=\"a\"/></Story>");
  EXPECT_EQ(PageOf(trailing, "a"), "\\book\\intro.htm");
  TStoryLine none("<Story><item page=\"intro.htm\" id=\"a\"/></Story>");
  EXPECT_EQ(PageOf(none, "a"), "intro.htm");
}

TEST(StoryLoad, FromTheImageWithDefaultNameAndErrorsPropagate) {
  TMFS image;
  image.Session()->CreateFile("\\Story.xml", 0, false)->Data = "<s><i page=\"a.htm\"/></s>";
  image.Session()->CreateFile("\\bad.xml", 0, false)->Data = "<s><i page=></s>";
  TStory story(image, "");
  EXPECT_EQ(story.CurrentPage(), "a.htm");
  EXPECT_THROW(TStory(image, "\\missing.xml"), EMFSError);
  EXPECT_THROW(TStory(image, "\\bad.xml"), EParserError);
  EXPECT_THROW(TStory("<s><i page=null/></s>"), EVariantTypeCastError);
}

TEST(StoryEmpty, NoPagesMeansBothFlagsAndFailingMoves) {
  for (const char* text : {"", "<Story/>", "<Story><chapter><sub/></chapter></Story>"}) {
    TStory s(text);
    EXPECT_EQ(s.CurrentEntry(), nullptr);
    EXPECT_TRUE(s.Bof());
    EXPECT_TRUE(s.Eof());
    EXPECT_EQ(s.Next(), STORY_E_UNEXPECTED);
    EXPECT_EQ(s.Prior(), STORY_E_UNEXPECTED);
    EXPECT_EQ(s.NextChapter(1), STORY_E_UNEXPECTED);
    EXPECT_EQ(s.CurrentPage(), "");
    EXPECT_EQ(s.PageName(), "");
    EXPECT_TRUE(s.Searchable());
    EXPECT_TRUE(s.RightClickDisabled());
    s.Last();
    EXPECT_TRUE(s.Eof());
  }
}

TEST(StoryMoves, StickyFlagsAsInTheTwoPageExample) {
  TStory s("<Story><i page=\"A\"/><i page=\"B\"/></Story>");
  EXPECT_EQ(s.CurrentPage(), "A");
  EXPECT_FALSE(s.Bof());
  EXPECT_EQ(s.Next(), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "B");
  EXPECT_EQ(s.Next(), STORY_S_OK);
  EXPECT_TRUE(s.Eof());
  EXPECT_EQ(s.CurrentPage(), "B");
  EXPECT_EQ(s.Next(), STORY_E_UNEXPECTED);
  EXPECT_EQ(s.Prior(), STORY_S_OK);
  EXPECT_FALSE(s.Eof());
  EXPECT_EQ(s.CurrentPage(), "A");
  EXPECT_EQ(s.Prior(), STORY_S_OK);
  EXPECT_TRUE(s.Bof());
  EXPECT_EQ(s.Prior(), STORY_E_UNEXPECTED);
  s.Last();
  EXPECT_EQ(s.CurrentPage(), "B");
  EXPECT_FALSE(s.Bof());
  EXPECT_FALSE(s.Eof());
}

// A move from a later occurrence of a repeated page starts from its first occurrence: the page
// after the first "A" is "B", and nothing comes before it.
TEST(StoryMoves, AMoveFromARepeatedPageStartsAtItsFirstOccurrence) {
  TStory s("<Story><i page=\"A\"/><i page=\"B\"/><i page=\"A\"/></Story>");
  s.Last();
  EXPECT_EQ(s.Next(), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "B");
  EXPECT_FALSE(s.Bof());
  EXPECT_FALSE(s.Eof());
  EXPECT_EQ(s.Next(), STORY_S_OK);  // onto the later "A" again, the last entry
  EXPECT_EQ(s.Next(), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "B");
  s.Last();
  EXPECT_EQ(s.Prior(), STORY_S_OK);  // from the first "A": nothing before it
  EXPECT_EQ(s.CurrentPage(), "A");
  EXPECT_TRUE(s.Bof());
  EXPECT_FALSE(s.Eof());
  EXPECT_EQ(s.Prior(), STORY_E_UNEXPECTED);
}

TEST(StoryMoves, ReadingOrderIsPreOrderAndChaptersAreSkipped) {
  TStory s("<S><c><c><p page=\"1\"/></c><p page=\"2\"><p page=\"3\"/><c/></p></c><c/><p page=\"4\"><c><c/></c></p></S>");
  EXPECT_EQ(Walk(s), (std::vector<std::string>{"1", "2", "3", "4"}));
  s.Last();
  EXPECT_EQ(s.CurrentPage(), "4");
  std::vector<std::string> back;
  while (!s.Bof()) {
    back.push_back(s.CurrentPage());
    s.Prior();
  }
  EXPECT_EQ(back, (std::vector<std::string>{"4", "3", "2", "1"}));
}

TEST(StoryChapters, OnePagePerTopLevelChapter) {
  TStory s("<S><c><p page=\"A\"/></c><c><p page=\"B\"/></c><c><p page=\"C\"/></c></S>");
  EXPECT_EQ(s.NextChapter(1), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "B");
  s.Locate("C");
  EXPECT_EQ(s.NextChapter(1), STORY_S_OK);
  EXPECT_TRUE(s.Eof());
  EXPECT_EQ(s.CurrentPage(), "C");
  s.Locate("c");
  EXPECT_TRUE(s.Eof());  // Locate onto the current entry changes nothing
  EXPECT_EQ(s.PriorChapter(1), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "B");
  EXPECT_FALSE(s.Eof());
}

TEST(StoryChapters, TwoChaptersOfTwoPages) {
  TStory s("<S><X><p page=\"X1\"/><p page=\"X2\"/></X><Y><p page=\"Y1\"/><p page=\"Y2\"/></Y></S>");
  s.Locate("X2");
  EXPECT_EQ(s.NextChapter(1), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "Y1");
  s.Locate("Y2");
  EXPECT_EQ(s.PriorChapter(1), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "X1");
  EXPECT_EQ(s.PriorChapter(1), STORY_S_OK);
  EXPECT_TRUE(s.Bof());
  EXPECT_EQ(s.CurrentPage(), "X1");
  s.First();
  EXPECT_EQ(s.NextChapter(2), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "X2");
  // A page shallower than the requested level just moves on.
  TStory flat("<S><p page=\"a\"/><p page=\"b\"/></S>");
  EXPECT_EQ(flat.NextChapter(3), STORY_S_OK);
  EXPECT_EQ(flat.CurrentPage(), "b");
}

// A top-level page is a chapter of its own: from it, the next chapter passes over its sub-pages.
TEST(StoryChapters, FromAPageWithSubPagesTheNextChapterIsTheNextTopLevelEntry) {
  TStory s("<S><p page=\"A\"><p page=\"A1\"/><p page=\"A2\"/></p><p page=\"B\"><p page=\"B1\"/></p></S>");
  EXPECT_EQ(s.NextChapter(1), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "B");
  s.First();
  EXPECT_EQ(s.NextChapter(2), STORY_S_OK);  // one level down, its sub-page is the next chapter
  EXPECT_EQ(s.CurrentPage(), "A1");
}

TEST(StoryChapters, LevelOutOfRangeUnlessTheFlagFailsFirst) {
  TStory s("<S><p page=\"a\"/><p page=\"b\"/></S>");
  EXPECT_EQ(s.NextChapter(0), STORY_E_UNEXPECTED);
  EXPECT_EQ(s.PriorChapter(-1), STORY_E_UNEXPECTED);
  EXPECT_EQ(s.CurrentPage(), "a");
  EXPECT_FALSE(s.Bof());  // the failed moves changed nothing
}

TEST(StoryLocate, IgnoresCaseAndUnknownPathsAndResynchronises) {
  TStory s("<S><p page=\"\\A.htm\"/><p page=\"\\dup.htm\"/><p page=\"\\B.htm\"/><p page=\"\\DUP.htm\"/><p page=\"\\C.htm\"/></S>");
  s.Locate("\\b.HTM");
  EXPECT_EQ(s.CurrentPage(), "\\B.htm");
  s.Locate("\\nothing.htm");
  EXPECT_EQ(s.CurrentPage(), "\\B.htm");
  s.Locate("");
  EXPECT_EQ(s.CurrentPage(), "\\B.htm");
  // Next from the second occurrence continues after the first one.
  s.Last();
  s.Prior();
  EXPECT_EQ(s.CurrentPage(), "\\DUP.htm");
  EXPECT_EQ(s.Next(), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "\\B.htm");
}

TEST(StoryLocate, RelativePagesAreFoundAtTheAddressTheBrowserReports) {
  TStory s("<S><p page=\"intro.htm\"/><p page=\"sub/./two.htm\"/><p page=\"x\\..\\..\\three.htm\"/>"
           "<p page=\"\\Intro.htm\"/><p page=\"dir\\\"/></S>");
  s.Locate("\\three.htm");  // the story's own text is what Locate compares
  EXPECT_EQ(s.CurrentPage(), "intro.htm");
  s.LocateAddress("\\THREE.htm");
  EXPECT_EQ(s.CurrentPage(), "x\\..\\..\\three.htm");  // the page keeps its own text
  EXPECT_EQ(s.Next(), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage(), "\\Intro.htm");
  s.LocateAddress("\\sub\\two.htm");
  EXPECT_EQ(s.CurrentPage(), "sub/./two.htm");
  s.LocateAddress("\\intro.htm");  // the first entry at that address
  EXPECT_EQ(s.CurrentPage(), "intro.htm");
  s.LocateAddress("\\elsewhere.htm");
  EXPECT_EQ(s.CurrentPage(), "intro.htm");
}

TEST(StoryAttributes, NameSearchableAndRightClick) {
  TStory s("<S><p page=\"a\" pagename=\"Intro\" rightclick=False searchable=false/><p page=\"b\" RightClick=True/>"
           "<p page=\"c\"/><p page=\"d\" rightclick=0/></S>");
  EXPECT_EQ(s.PageName(), "Intro");
  EXPECT_FALSE(s.Searchable());
  EXPECT_TRUE(s.RightClickDisabled());
  s.Next();
  EXPECT_FALSE(s.RightClickDisabled());
  EXPECT_TRUE(s.Searchable());
  s.Next();
  EXPECT_FALSE(s.RightClickDisabled());
  EXPECT_EQ(s.PageName(), "");
  s.Next();
  EXPECT_TRUE(s.RightClickDisabled());  // integer 0 negated bitwise is -1
}

TEST(StoryLimits, DeepNestingAndLongStoriesWithoutRecursion) {
  const int depth = 100000;
  std::string text = "<S>\n";
  for (int i = 0; i < depth; ++i) text += "<c page=\"p" + std::to_string(i) + "\">\n";
  for (int i = 0; i < depth; ++i) text += "</c>\n";
  text += "</S>";
  TStory s(text);
  EXPECT_EQ(s.CurrentPage(), "p0");
  s.Last();
  EXPECT_EQ(s.CurrentPage(), "p99999");
  EXPECT_EQ(s.PriorChapter(1), STORY_S_OK);
  EXPECT_TRUE(s.Bof());
  s.Locate("p50000");
  EXPECT_EQ(s.NextChapter(1), STORY_S_OK);
  EXPECT_TRUE(s.Eof());
  EXPECT_EQ(s.NextChapter(1), STORY_E_UNEXPECTED);
  s.First();
  s.Locate("p50000");
  EXPECT_EQ(s.NextChapter(50002), STORY_S_OK);  // deeper than the page: the next page
  EXPECT_EQ(s.CurrentPage(), "p50001");
}

// Every level adds to the base of the next: the joined paths grow with the depth, so holding
// each of them would take memory with the square of the depth (20 GB here).
TEST(StoryLimits, DeepBasePathsCostMemoryInProportionToTheStory) {
  const int depth = 100000;
  std::string text = "<S path=\"\\r\">\n";
  for (int i = 0; i < depth; ++i) text += "<c path=\"d\" page=\"p" + std::to_string(i) + "\">\n";
  for (int i = 0; i < depth; ++i) text += "</c>\n";
  text += "</S>";
  const std::size_t before = QUIRELLE_ALLOCATED();
  TStory s(text);
  const std::size_t held = QUIRELLE_ALLOCATED() - before;
  RecordProperty("held_bytes", static_cast<int>(held));
  EXPECT_LT(held, std::size_t{300} << 20) << held;
  std::string deepest = "\\r";
  for (int i = 0; i < depth - 1; ++i) deepest += "\\d";
  deepest += "\\p99999";
  s.Last();
  EXPECT_EQ(s.CurrentPage(), deepest);
  EXPECT_EQ(s.Prior(), STORY_S_OK);
  EXPECT_EQ(s.CurrentPage().substr(s.CurrentPage().size() - 7), "\\p99998");
  s.First();
  s.Locate(deepest);  // found by its text, letter case ignored
  EXPECT_EQ(s.CurrentPage(), deepest);
  s.Locate("\\R\\D\\p1");
  EXPECT_EQ(s.CurrentPage(), "\\r\\d\\p1");
  EXPECT_EQ(s.Lines().FindPage("\\r\\d\\d\\p2"), 2);
  EXPECT_EQ(s.Lines().FindPage("\\r\\d\\d\\p3"), TStoryLine::None);
}

}  // namespace
