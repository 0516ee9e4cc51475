// The author's loop on the real engine: a book read from its folders follows each edit on disk,
// and a description that does not read leaves the last good book on screen with the reason.
#include "viewer/viewer_test_util.h"

#include "u_LiveBook.h"

namespace viewer_test {
namespace {

using gui_test::Eval;
using gui_test::WaitFor;
using cab_test::WriteFile;

class LiveBookTest : public ViewerFixture {
protected:
  QString Background(TfrmMain& w) { return Eval(*w.webMain(), "getComputedStyle(document.body).backgroundColor").toString(); }
  QString Text(TfrmMain& w) { return Eval(*w.webMain(), "document.getElementById('t').textContent").toString(); }
};

TEST_F(LiveBookTest, EditsToAStyleSheetTheStoryAndSystemXmlShowWithoutARestart) {
  cab_test::TTempDir dir;
  const std::filesystem::path system = dir.Path() / "system", content = dir.Path() / "content";
  WriteFile(system / "System.xml", "<System Story=\"Story.xml\" Width=500 Height=400/>");
  WriteFile(system / "Story.xml", "<Story><item page=\"a.htm\"/></Story>");
  const std::string head = "<html><head><link rel=stylesheet href=\"s.css\"></head><body>";
  WriteFile(content / "a.htm", head + "<p id=t>A</p><div style=\"height:5000px\"></div></body></html>");
  WriteFile(content / "b.htm", head + "<p id=t>B</p></body></html>");
  WriteFile(content / "s.css", "body { background: rgb(1, 2, 3) }");

  TLiveBook live(system, content);
  int reloads = 0, checks = 0;
  QObject::connect(&live, &TLiveBook::reloaded, [&] { ++reloads; });
  QObject::connect(&live, &TLiveBook::checked, [&] { ++checks; });
  ASSERT_TRUE(live.Open()) << Messages.join("; ").toStdString();
  live.Window()->OpenFirstPage();
  live.Window()->show();
  ASSERT_TRUE(WaitFor([&] { return Text(*live.Window()) == "A"; }));
  EXPECT_TRUE(live.Window()->windowTitle().contains("read from folders"));
  // The check ran on open: b.htm is reached by nothing yet.
  auto said = [&](const char* text) {
    for (int i = 0; i < live.Findings()->count(); ++i)
      if (live.Findings()->item(i)->text().contains(QString::fromUtf8(text))) return true;
    return false;
  };
  ASSERT_TRUE(WaitFor([&] { return checks >= 1; }));
  EXPECT_TRUE(said("b.htm: note: No page, story entry or form reaches this file"));

  // A style sheet the page uses: the page shown takes it in place, where the reader was.
  EXPECT_EQ(Background(*live.Window()), "rgb(1, 2, 3)");
  Eval(*live.Window()->webMain(), "window.scrollTo(0, 700)");
  ASSERT_TRUE(WaitFor([&] { return Eval(*live.Window()->webMain(), "window.scrollY").toInt() == 700; }));
  WriteFile(content / "s.css", "body { background: rgb(4, 5, 6) }");
  EXPECT_TRUE(WaitFor([&] { return Background(*live.Window()) == "rgb(4, 5, 6)"; }));
  EXPECT_TRUE(WaitFor([&] { return Eval(*live.Window()->webMain(), "window.scrollY").toInt() == 700; }));

  // The story: Next follows it once it lists the second page.
  const int before = reloads;
  WriteFile(system / "Story.xml", "<Story><item page=\"a.htm\"/><item page=\"b.htm\"/></Story>");
  ASSERT_TRUE(WaitFor([&] { return reloads > before && live.Window() && Text(*live.Window()) == "A"; }));
  ASSERT_EQ(live.Window()->Book()->Story()->Next(), STORY_S_OK);
  live.Window()->NavigateToCurrentPage();
  ASSERT_TRUE(WaitFor([&] { return Text(*live.Window()) == "B"; }));
  ASSERT_TRUE(WaitFor([&] { return checks >= 2 && !said("b.htm"); }));

  // A System.xml that does not parse: the window and its page stay, and the pane says why.
  TfrmMain* shown = live.Window();
  WriteFile(system / "System.xml", "<System Story=\"Story.xml\"");
  ASSERT_TRUE(WaitFor([&] { return said("The last edit was not taken in: "); }));
  EXPECT_EQ(live.Window(), shown);
  EXPECT_EQ(Text(*live.Window()), "B");
  EXPECT_TRUE(live.Findings()->isVisible());
}

}  // namespace
}  // namespace viewer_test
