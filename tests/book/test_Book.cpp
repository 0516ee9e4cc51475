// The book is read by one set of steps in two modes: the viewer's stops at the first failure, the
// author's check reports it and reads on. Each row breaks one step; both modes must meet the same
// failure, so that what the check says is what a reader would meet.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "u_Book.h"
#include "u_BookCheck.h"
#include "mfs/cab_test_util.h"

namespace {

std::string ImageCab(const std::map<std::string, std::string>& files) {
  TMFS mfs;
  for (const auto& [path, data] : files) {
    mfs.Session()->ForceFolders(TMFS::ExtractFilePath(path));
    mfs.Session()->CreateFile(path, 0, false)->Data = data;
  }
  return cab_test::Cab({{"info.mfs", mfs.SaveToString()}});
}

TBookSource SourceOf(const std::map<std::string, std::string>& system) {
  TBookSource source;
  source.SystemCab = ImageCab(system);
  source.ContentCab = ImageCab({{"\\a.htm", "<p>A</p>"}});
  return source;
}

std::string Printed(const TBookReport& report) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  report.Print(out);
  std::fclose(out);
  std::string printed(text, size);
  std::free(text);
  return printed;
}

struct TRow {
  const char* name;
  std::map<std::string, std::string> system;
  const char* message;  // what the viewer raises
};

TEST(Book, ViewerAndCheckMeetTheSameFailureAndTheCheckReadsOn) {
  const std::string story = "<Story><item page=\"a.htm\"/></Story>";
  const TRow rows[] = {
      {"System.xml does not parse", {{"\\System.xml", "<System Width=640"}}, ""},
      {"a key that is no number", {{"\\System.xml", "<System Width=\"wide\" Height=500/>"}}, ""},
      {"a toolbar option", {{"\\System.xml", "<System Height=500><toolbar ToolbarBtnW=\"x\"/></System>"}}, ""},
      {"a splash option", {{"\\System.xml", "<System Height=500><splash Interval=\"soon\"/></System>"}}, ""},
      {"the story", {{"\\System.xml", "<System Story=\"S.xml\" Height=500/>"}, {"\\S.xml", "<Story><item page="}}, ""},
      {"the variables",
       {{"\\System.xml", "<System Variables=\"V.xml\" Height=500/>"},
        {"\\V.xml", "<vars><var name=\"A\">$%{B}</var><var name=\"B\">$%{A}</var></vars>"}},
       ""},
      {"the forms", {{"\\System.xml", "<System Forms=\"F.xml\" Height=500/>"}, {"\\F.xml", "<Forms><Form"}}, ""},
      {"a toolbar picture",
       {{"\\System.xml", "<System ToolButtons=\"T.xml\" Height=500/>"},
        {"\\T.xml", "<T><Images><Image Name=\"i\" Path=\"i.png\"/></Images><Buttons/></T>"}},
       "Unknown picture file extension (.png)"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.name);
    std::map<std::string, std::string> system = row.system;
    system.emplace("\\Story.xml", story);
    // The viewer reads the story on a thread of its own while it starts: a story that fails
    // there is read again by its step, which says why.
    std::string raised, raisedPrepared;
    for (std::string* said : {&raised, &raisedPrepared}) {
      TBookSource source = SourceOf(system);
      if (said == &raisedPrepared) ApplyCodePageRecord(source), PrepareStory(source);
      try {
        TBook viewer(std::move(source));
        viewer.Load();
      } catch (const Exception& e) {
        *said = e.Message();
      }
    }
    ASSERT_FALSE(raised.empty()) << "the viewer read a broken book without a word";
    EXPECT_EQ(raisedPrepared, raised);
    if (*row.message) EXPECT_EQ(raised, row.message);

    TBookReport report;
    TBook check(SourceOf(system), nullptr, &report);
    ASSERT_NO_THROW(check.Load());
    EXPECT_EQ(report.ErrorCount(), 1u);
    // The report gives a syntax error's line its own place and joins its alternatives on one line.
    const std::string said = raised.substr(0, raised.find_first_of("\r\n"));
    EXPECT_NE(Printed(report).find(said), std::string::npos) << Printed(report) << "\nshould say: " << said;
    // The steps after the failure ran: the window keys are read last.
    if (system.at("\\System.xml").find("Height=500") != std::string::npos) EXPECT_EQ(check.Loaded().Height, 500);
  }
}

// The story read on its own thread is the story the steps would read.
TEST(Book, AStoryReadWhileTheViewerStartsIsTheOneItsStepReads) {
  const std::map<std::string, std::string> system{
      {"\\System.xml", "<System Story=\"S.xml\"/>"},
      {"\\S.xml", "<Story Path=\"p\"><item page=\"a.htm\"/><item page=\"\\b.htm\"/></Story>"}};
  std::string pages[2];
  for (int prepared = 0; prepared < 2; ++prepared) {
    TBookSource source = SourceOf(system);
    ApplyCodePageRecord(source);
    if (prepared) PrepareStory(source);
    EXPECT_EQ(source.PreparedStory.valid(), prepared == 1);
    TBook book(std::move(source));
    book.Load();
    ASSERT_NE(book.Story(), nullptr);
    pages[prepared] = book.Story()->CurrentPage();
    book.Story()->Next();
    pages[prepared] += "|" + book.Story()->CurrentPage();
  }
  EXPECT_EQ(pages[1], pages[0]);
  EXPECT_EQ(pages[0], "\\p\\a.htm|\\b.htm");
}

}  // namespace
