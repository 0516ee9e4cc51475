// The main window on the real engine: start-up, the story moves through the dispatcher and
// through page scripts, the tracking of links, the keyboard and context-menu rules, font size.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QLineEdit>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QPrintPreviewDialog>
#include <QProcess>
#include <QToolButton>
#include <QToolBar>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlSchemeHandler>
#include <filesystem>
#include <map>
#include <memory>

#include <QAccessible>
#include <QTreeWidget>

#include "frm_UserForm.h"
#include "u_ContentsPane.h"
#include "viewer/viewer_test_util.h"
#include "mfs/pe_test_util.h"
#include "u_Book.h"
#include "u_DataBlocks.h"
#include "u_DiskFolder.h"

using namespace gui_test;

namespace {

namespace fs = std::filesystem;
using namespace viewer_test;

// Ten pages in three chapters: p1 | c1: p2 p3 p4 | c2: p5 p6 p7 | c3: p8 p9 p10. Page 3 forbids
// the context menu and copying; page 2 links to page 7.
TFiles StoryBook() {
  TFiles content;
  for (int n = 1; n <= 10; ++n) content["\\p" + std::to_string(n) + ".htm"] = Page(n);
  content["\\p2.htm"] = Page(2, "<a id=link href='p7.htm'>to seven</a>");
  content["\\outside.htm"] = Page(99);
  return content;
}

const char* const StoryXml =
    "<Story><item page=\"\\p1.htm\"/>"
    "<c><item page=\"\\p2.htm\"/><item page=\"\\p3.htm\" rightclick=False/><item page=\"\\p4.htm\"/></c>"
    "<c><item page=\"\\p5.htm\"/><item page=\"\\p6.htm\"/><item page=\"\\p7.htm\"/></c>"
    "<c><item page=\"\\p8.htm\"/><item page=\"\\p9.htm\"/><item page=\"\\p10.htm\"/></c></Story>";

// A toolbar of the kinds the tests click, in this order; kind 99 is no kind at all.
const char* const StoryToolbar =
    "<ToolButtons><Buttons><b Kind=3 Caption=\"First\"/><b Kind=4 Caption=\"Prior\"/><b Kind=5 Caption=\"Next\"/>"
    "<b Kind=6 Caption=\"Last\"/><b Kind=7 Caption=\"Prior Chapter\"/><b Kind=8 Caption=\"Next Chapter\"/>"
    "<b Kind=9 Caption=\"About\"/><b Kind=1 Caption=\"Back\"/><b Kind=17 Caption=\"Home\"/><b Kind=99 Caption=\"Nothing\"/>"
    "<b Kind=2 Caption=\"Forward\"/><b Kind=16 Caption=\"Refresh\"/><b Kind=15 Caption=\"Copy\"/><b Kind=10 Caption=\"Exit\"/>"
    "</Buttons></ToolButtons>";

class ViewerTest : public ViewerFixture {
protected:
  TfrmMain& OpenStory() {
    return Open({{"\\System.xml", "<System Story=\"Story.xml\" ToolButtons=\"tb.xml\"/>"}, {"\\Story.xml", StoryXml},
                 {"\\tb.xml", StoryToolbar}},
                StoryBook());
  }
};

enum { First, Prior, Next, Last, PriorChapter, NextChapter, About, Back, Home, Unknown, Forward, Refresh, Copy, Exit };

TEST_F(ViewerTest, BookWithOnlyAStoryGetsTheDefaults) {
  TfrmMain& f = Open({{"\\System.xml", "<System Story=\"s.xml\"/>"}, {"\\s.xml", "<S><i page=\"\\a.htm\"/></S>"}},
                     {{"\\a.htm", Page(1)}});
  EXPECT_FALSE(f.CreateFailed());
  EXPECT_EQ(ApplicationTitle(), "Quirelle Viewer");
  EXPECT_EQ(f.windowTitle(), "QuirelleViewer");
  EXPECT_FALSE(f.tbrMain()->isVisible());
  EXPECT_EQ(f.size(), QSize(800, 600));
  EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(f.minimumSize(), f.maximumSize());
  EXPECT_EQ(Shown(), "Page 1");
  EXPECT_TRUE(Messages.isEmpty());
}

TEST_F(ViewerTest, TitleCaptionAndPagesUseVariables) {
  TfrmMain& f = Open({{"\\System.xml", "<System Story=\"s.xml\" Variables=\"v.xml\" ApplicationTitle=\"%{T} viewer\" "
                                       "MainFormCaption=\"Reading %{T}\" Width=640 Height=500 ResizableWindow=True/>"},
                      {"\\s.xml", "<S><i page=\"\\a.htm\"/></S>"},
                      {"\\v.xml", "<v><var name=\"T\">$Field Guide</var></v>"}},
                     {{"\\a.htm", "<html><body><p id=t>%{T}</p></body></html>"}});
  EXPECT_EQ(ApplicationTitle(), "Field Guide viewer");
  EXPECT_EQ(f.windowTitle(), "Reading Field Guide");
  EXPECT_EQ(f.size(), QSize(640, 500));
  EXPECT_NE(f.minimumSize(), f.maximumSize());
  EXPECT_EQ(Shown(), "Field Guide");
}

// Each failure keeps the system's message and says which part of the book it was reading.
TEST_F(ViewerTest, StartUpFailuresSayWhatIsDamagedAndStopTheViewer) {
  auto failure = [&](TBookSource source) {
    Form.reset();
    Messages.clear();
    Form = std::make_unique<TfrmMain>(std::move(source));
    if (!Form->CreateFailed()) {
      // The content image is read on a worker: it fails when the first page is asked for, and
      // no page of the book is shown.
      bool failed = false;
      int pages = 0;
      auto f = QObject::connect(Form.get(), &TfrmMain::startUpFailed, [&] { failed = true; });
      auto d = QObject::connect(Form->webMain(), &TMXWebBrowser::documentComplete,
                                [&](const QUrl& url) { pages += url.scheme() == "mfs"; });
      Form->show();
      EXPECT_TRUE(WaitFor([&] { return failed && !Form->isVisible(); }));
      EXPECT_EQ(pages, 0);
      QObject::disconnect(f);
      QObject::disconnect(d);
    }
    EXPECT_TRUE(Form->CreateFailed());
    return Messages.value(0);
  };
  const std::string story = CabOf({{"\\a.htm", "x"}});
  auto system = [](const std::string& xml, TFiles more = {}) {
    more["\\System.xml"] = xml;
    more["\\s.xml"] = "<S><i page=\"\\a.htm\"/></S>";
    return CabOf(more);
  };
  EXPECT_EQ(failure({system("<System Story=\"missing.xml\"/>"), story}), "File \"missing.xml\" not found\n\nIn missing.xml.");
  EXPECT_EQ(failure({system("<System"), story}), "Error in XML\n\nIn System.xml, line 1.");
  EXPECT_EQ(failure({system("<System Story=\"s.xml\" Variables=\"v.xml\"/>", {{"\\v.xml", "<v><var"}}), story}),
            "Error in XML\n\nIn v.xml, line 1.");
  EXPECT_EQ(failure({std::string("not a cabinet"), story}),
            "File \"\\info.cab\" is not a cabinet\n\nIn the book's system image (SYSTEM_MFS).");
  EXPECT_EQ(failure({system("<System Story=\"s.xml\"/>"), story.substr(0, story.size() / 2)}).section("\n\n", 1),
            "In the book's content image (FILES_MFS).");
  EXPECT_EQ(failure({system("<System Story=\"s.xml\" Width=\"abc\"/>"), story}),
            "Could not convert variant of type (String) into type (Integer)\n\nIn System.xml, key Width.");
  EXPECT_EQ(failure({system("<System Story=\"s.xml\"><toolbar ToolbarBtnW=\"wide\"/></System>"), story}).section("\n\n", 1),
            "In System.xml, element toolbar, key ToolbarBtnW.");
}

TEST_F(ViewerTest, NextAndPriorAtBothEndsWithStickyFlags) {
  OpenStory();
  EXPECT_EQ(Shown(), "Page 1");
  Click(Prior);  // the first Prior at the start sets the flag and shows the same page
  EXPECT_EQ(Shown(), "Page 1");
  EXPECT_TRUE(Form->Story().Bof());
  Click(Prior);
  EXPECT_EQ(Shown(), "Page 1");
  Click(Next);
  EXPECT_EQ(Shown(), "Page 2");
  Click(Last);
  EXPECT_EQ(Shown(), "Page 10");
  Click(Next);
  EXPECT_TRUE(Form->Story().Eof());
  EXPECT_EQ(Shown(), "Page 10");
  Click(Next);
  EXPECT_EQ(Shown(), "Page 10");
  Click(Prior);
  EXPECT_EQ(Shown(), "Page 9");
  Click(Unknown);
  EXPECT_EQ(Shown(), "Page 9");
  EXPECT_TRUE(Messages.isEmpty());
}

TEST_F(ViewerTest, ChapterMoves) {
  OpenStory();
  Click(NextChapter);
  EXPECT_EQ(Shown(), "Page 2");
  Click(NextChapter);
  EXPECT_EQ(Shown(), "Page 5");
  Click(Next);
  Click(PriorChapter);
  EXPECT_EQ(Shown(), "Page 2");
  Click(First);
  EXPECT_EQ(Shown(), "Page 1");
}

TEST_F(ViewerTest, LinksMoveTheCursorAndPagesOutsideTheStoryDoNot) {
  OpenStory();
  Click(Next);
  ASSERT_EQ(Shown(), "Page 2");
  ASSERT_TRUE(Loads([&] { Run("document.getElementById('link').click(); 1"); }, "Page 7"));
  Click(Next);
  EXPECT_EQ(Shown(), "Page 8");
  ASSERT_TRUE(Load(*Form->webMain(), std::string("mfs:\\outside.htm")));
  EXPECT_EQ(Shown(), "Page 99");
  Click(Next);
  EXPECT_EQ(Shown(), "Page 9");
  Click(Back);
  EXPECT_EQ(Shown(), "Page 99");
  Click(Home);  // the story's first page, not a blank one
  EXPECT_EQ(Shown(), "Page 1");
  EXPECT_EQ(Form->webMain()->LocationURL(), QUrl("mfs:/p1.htm"));
}

TEST_F(ViewerTest, HistoryRefreshCopyAndExitButtons) {
  OpenStory();
  EXPECT_EQ(Button(Next)->toolTip(), "Next (Ctrl+PgDown)");
  Click(Next);
  Click(Back);
  EXPECT_EQ(Shown(), "Page 1");
  Click(Forward);
  EXPECT_EQ(Shown(), "Page 2");
  Run("window.marker = 1; 1");
  Button(Refresh)->click();
  EXPECT_TRUE(WaitFor([&] { return Run("typeof window.marker") == "undefined"; }));
  EXPECT_EQ(Shown(), "Page 2");
  Form->activateWindow();
  Form->webMain()->setFocus();
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
  QGuiApplication::clipboard()->setText("before");
  Run("document.execCommand('selectAll'); 1");
  Button(Copy)->click();
  EXPECT_TRUE(WaitFor([&] { return QGuiApplication::clipboard()->text().contains("Page 2"); }));
  Button(Exit)->click();
  EXPECT_TRUE(WaitFor([&] { return !Form->isVisible(); }));
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("\n").toStdString();
}

TEST_F(ViewerTest, PageScriptsDriveTheStoryAndSeeTheSystemsErrors) {
  OpenStory();
  EXPECT_EQ(Run("window.external.Story.Current"), "\\p1.htm");
  EXPECT_EQ(Run("String(window.external.Story.Bof)"), "false");
  EXPECT_EQ(Run("window.external.story.next(); 'ok'"), "ok");  // member names ignore case
  WaitFor([&] { return Shown() == "Page 2"; });
  EXPECT_EQ(Shown(), "Page 2");
  EXPECT_EQ(Run("window.external.Story === window.external.Story ? 'same' : 'two'"), "same");
  EXPECT_EQ(Run("try { window.external.UserForm; 'no error' } catch (e) { e.message }"), "There is no active form");
  EXPECT_EQ(Run("try { window.external.ShowUserForm('Help'); 'no error' } catch (e) { e.message }"), "Form \"Help\" not found");
  EXPECT_EQ(Run("try { window.external.Story.NextChapter(0); 'no error' } catch (e) { e.message }"), "Catastrophic failure");
  // Every load is waited for: a script run while a page is being replaced may run in either.
  int loads = 0;
  auto c = QObject::connect(Form->webMain(), &TMXWebBrowser::documentComplete, [&](const QUrl&) { ++loads; });
  Form->Story().Last();
  Form->NavigateToCurrentPage();
  ASSERT_TRUE(WaitFor([&] { return loads == 1; }));
  EXPECT_EQ(Shown(), "Page 10");
  // The first Next at the end sets the flag and shows the last page again.
  EXPECT_EQ(Run("window.external.Story.Next(); String(window.external.Story.Eof)"), "true");
  EXPECT_TRUE(WaitFor([&] { return loads == 2; }));
  QObject::disconnect(c);
  EXPECT_EQ(Run("try { window.external.Story.Next(); 'no error' } catch (e) { e.message }"), "Catastrophic failure");
}

TEST_F(ViewerTest, KeysReachTheViewerAfterAScriptMovedTheStory) {
  OpenStory();
  Form->activateWindow();
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
  Run("window.external.Story.Next(); 1");
  ASSERT_TRUE(WaitFor([&] { return Shown() == "Page 2"; }));
  EXPECT_TRUE(Form->webMain()->isAncestorOf(QApplication::focusWidget()) || QApplication::focusWidget() == Form->webMain());
  // Even with nothing focused the keys still reach the viewer's rules.
  if (QApplication::focusWidget()) QApplication::focusWidget()->clearFocus();
  Key(Qt::Key_Escape);
  EXPECT_TRUE(WaitFor([&] { return !Form->isVisible(); }));
}

// A story of relative pages: the browser reports them absolute, and the cursor still follows.
TEST_F(ViewerTest, RelativeStoryPagesFollowLinksAndHistory) {
  TFiles content;
  for (int n = 1; n <= 4; ++n) content["\\r" + std::to_string(n) + ".htm"] = Page(n);
  content["\\r1.htm"] = Page(1, "<a id=link href='r3.htm'>three</a>");
  Open({{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\"/>"},
        {"\\s.xml", "<S><i page=\"r1.htm\"/><i page=\"r2.htm\"/><i page=\"r3.htm\"/><i page=\"r4.htm\"/></S>"},
        {"\\tb.xml", StoryToolbar}},
       content);
  ASSERT_TRUE(Loads([&] { Run("document.getElementById('link').click(); 1"); }, "Page 3"));
  EXPECT_EQ(Form->Story().CurrentPage(), "r3.htm");  // the story keeps its own text
  Click(Next);
  EXPECT_EQ(Shown(), "Page 4");
  Click(Back);
  EXPECT_EQ(Shown(), "Page 3");
  Click(Prior);
  EXPECT_EQ(Shown(), "Page 2");
}

TEST_F(ViewerTest, BookAddressesWithADoubledPrefixOrAQuery) {
  OpenStory();
  ASSERT_TRUE(Load(*Form->webMain(), std::string("mfs:mfs:\\p5.htm")));
  EXPECT_EQ(Shown(), "Page 5");
  ASSERT_TRUE(Load(*Form->webMain(), QUrl("mfs:/p6.htm?html=1")));  // once the route of HTML texts
  EXPECT_EQ(Shown(), "Page 6");
  EXPECT_EQ(Form->Story().CurrentPage(), "\\p6.htm");
}

TEST_F(ViewerTest, WebBrowserMembersForPageScripts) {
  OpenStory();
  EXPECT_EQ(Run("window.external.WebBrowser.LocationURL"), "mfs:/p1.htm");
  EXPECT_EQ(Run("String(window.external.webbrowser.readystate) + ' ' + window.external.WebBrowser.Busy"), "4 false");
  Run("document.title = 'First page'; 1");
  EXPECT_EQ(Run("window.external.WebBrowser.LocationName"), "First page");
  Run("window.external.WebBrowser.Navigate('mfs:\\\\p3.htm'); 1");
  ASSERT_TRUE(WaitFor([&] { return Shown() == "Page 3"; }));
  EXPECT_EQ(Form->Story().CurrentPage(), "\\p3.htm");
  Run("window.external.WebBrowser.GoBack(); 1");
  ASSERT_TRUE(WaitFor([&] { return Shown() == "Page 1"; }));
  Run("window.external.WebBrowser.goforward(); 1");
  ASSERT_TRUE(WaitFor([&] { return Shown() == "Page 3"; }));
  Run("window.marker = 1; window.external.WebBrowser.Refresh(); 1");
  EXPECT_TRUE(WaitFor([&] { return Run("typeof window.marker") == "undefined" && Shown() == "Page 3"; }));
  EXPECT_EQ(Run("window.external.WebBrowser.Stop(); 'stopped'"), "stopped");
  EXPECT_EQ(Run("try { window.external.WebBrowser.Document; 'no error' } catch (e) { e.message }"), "Unknown name.");
  Run("window.external.WebBrowser.GoHome(); 1");  // the story's first page
  EXPECT_TRUE(WaitFor([&] { return Form->webMain()->LocationURL() == QUrl("mfs:/p1.htm"); }));
}

// A scheme whose requests are held until the test lets them go: a page that is interactive long
// before it has finished loading.
class HeldRequests : public QWebEngineUrlSchemeHandler {
public:
  void requestStarted(QWebEngineUrlRequestJob* job) override { Jobs << job; }
  void Release() {
    for (QWebEngineUrlRequestJob* job : Jobs)
      if (job) job->fail(QWebEngineUrlRequestJob::UrlNotFound);
    Jobs.clear();
  }
  QList<QPointer<QWebEngineUrlRequestJob>> Jobs;
};

TEST_F(ViewerTest, CommandsWaitOnlyUntilThePageIsInteractive) {
  HeldRequests held;
  QWebEngineProfile::defaultProfile()->installUrlSchemeHandler("held", &held);
  TFiles content = StoryBook();
  content["\\p1.htm"] = Page(1, "<img src='held:/slow.png'>");
  Form = std::make_unique<TfrmMain>(TBookSource{
      CabOf({{"\\System.xml", "<System Story=\"Story.xml\" ToolButtons=\"tb.xml\"/>"}, {"\\Story.xml", StoryXml},
             {"\\tb.xml", StoryToolbar}}),
      CabOf(content)});
  Form->show();
  ASSERT_TRUE(WaitFor([&] { return !held.Jobs.isEmpty() && Form->webMain()->ReadyState() == rsInteractive; }))
      << Form->webMain()->ReadyState();
  EXPECT_EQ(Shown(), "Page 1");
  Click(Next);  // at once, while the picture is still on its way
  EXPECT_EQ(Shown(), "Page 2");
  held.Release();
  QWebEngineProfile::defaultProfile()->removeUrlSchemeHandler(&held);
}

// Clicks the button from the event loop and, once its command waits for the page, runs
// `during` from inside that wait. True when the click has returned.
bool ClickAndDuringTheWait(QAbstractButton* button, const std::function<void()>& during) {
  bool started = false, returned = false, done = false;
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (started && !returned && !done) {
      done = true;
      during();
    }
  });
  poll.start();
  QTimer::singleShot(0, button, [&, button] {
    started = true;
    button->click();
    returned = true;
  });
  return WaitFor([&] { return returned; }) && done;
}

// A close while a command waits for the page (the reader's Escape, a page script's Terminate,
// Exit clicked as the waiting command) ends the wait; the command then does nothing, and the
// window is still there for the caller that waited.
TEST_F(ViewerTest, ACloseWhileACommandWaitsEndsTheWaitAndTheCommand) {
  HeldRequests held;
  QWebEngineProfile::defaultProfile()->installUrlSchemeHandler("held", &held);
  TFiles content = StoryBook();
  content["\\p2.htm"] = Page(2, "<script src='held:/slow.js'></script>");  // never interactive meanwhile
  const std::vector<std::pair<int, std::function<void()>>> cases = {
      {Next, [this] { Key(Qt::Key_Escape); }},
      {Next, [this] { Form->webMain()->page()->runJavaScript("window.external.Terminate()"); }},
      {Exit, [this] { Key(Qt::Key_Escape); }},
  };
  for (const auto& [tag, close] : cases) {
    Open({{"\\System.xml", "<System Story=\"Story.xml\" ToolButtons=\"tb.xml\"/>"}, {"\\Story.xml", StoryXml},
          {"\\tb.xml", StoryToolbar}},
         content);
    Form->ReadyTimeoutMs = 60 * 1000;  // far beyond what the close takes to end the wait
    Form->activateWindow();
    ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
    Button(Next)->click();
    ASSERT_TRUE(WaitFor([&] { return !held.Jobs.isEmpty(); }));
    EXPECT_TRUE(ClickAndDuringTheWait(Button(tag), [&, close = close] {
      Form->activateWindow();
      close();
    })) << tag;
    EXPECT_TRUE(WaitFor([&] { return !Form->isVisible(); })) << tag;
    EXPECT_TRUE(Form->Closing());
    EXPECT_EQ(Form->Story().CurrentPage(), "\\p2.htm") << tag;  // the waiting Next never acted
    held.Release();
  }
  QWebEngineProfile::defaultProfile()->removeUrlSchemeHandler(&held);
}

// The same for the loops of the print preview and of a modal form: they end, their callers
// return, and the window goes only after.
TEST_F(ViewerTest, ACloseDuringThePreviewOrAModalFormEndsThem) {
  const TFiles system = {{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\" Forms=\"f.xml\"/>"},
                         {"\\s.xml", "<S><i page=\"\\a.htm\"/></S>"},
                         {"\\f.xml", "<F><Form Name=\"About\" Path=\"\\about.htm\"/></F>"},
                         {"\\tb.xml", "<T><Buttons><b Kind=14 Caption=\"Print\"/><b Kind=9 Caption=\"About\"/></Buttons></T>"}};
  const TFiles content = {{"\\a.htm", Page(1)}, {"\\about.htm", Page(2)}};
  Open(system, content);
  bool returned = false;
  EXPECT_TRUE(WhenShown<QPrintPreviewDialog>([&] { Button(0)->click(); returned = true; }, [&](QPrintPreviewDialog&) {
    Form->close();
  }));
  EXPECT_TRUE(returned);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

  Open(system, content);
  returned = false;
  EXPECT_TRUE(WhenShown<TfrmUserForm>([&] { Button(1)->click(); returned = true; }, [&](TfrmUserForm& form) {
    QPointer<TfrmUserForm> w(&form);
    Form->close();
    EXPECT_TRUE(!w || !w->isVisible());
  }));
  EXPECT_TRUE(returned);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("; ").toStdString();
}

// Escape meant for an open drop-down closes the menu only; the menus mark the font size in use
// and leave their button drawn up.
TEST_F(ViewerTest, EscapeOnAnOpenDropDownClosesOnlyTheMenu) {
  Open({{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\"/>"},
        {"\\s.xml", "<S><i page=\"\\a.htm\"/></S>"},
        {"\\tb.xml", "<T><Buttons><b Kind=11 Caption=\"Size\"/>"
                      "<b Kind=13 Caption=\"Marks\"><i caption=\"Home\" url=\"mfs:\\a.htm\"/></b></Buttons></T>"}},
       {{"\\a.htm", Page(1)}});
  Form->activateWindow();
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
  QList<QAction*> sizes = Form->popFontSize()->actions();
  ASSERT_EQ(sizes.size(), 5);
  EXPECT_TRUE(sizes[2]->isChecked());
  for (int tag : {0, 1}) {
    auto* button = qobject_cast<QToolButton*>(Button(tag));
    bool escaped = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      QWidget* popup = QApplication::activePopupWidget();
      if (!popup || escaped) return;
      escaped = true;
      QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QCoreApplication::sendEvent(popup->windowHandle(), &press);
    });
    poll.start();
    QTimer::singleShot(0, button, [button] { button->click(); });
    ASSERT_TRUE(WaitFor([&] { return escaped && !QApplication::activePopupWidget(); })) << tag;
    poll.stop();
    EXPECT_EQ(Run("'still here'"), "still here");  // any close asked for would have run by now
    EXPECT_TRUE(Form->isVisible()) << tag;
    EXPECT_FALSE(button->isDown()) << tag;
  }
  sizes[4]->trigger();
  EXPECT_TRUE(sizes[4]->isChecked());
  EXPECT_FALSE(sizes[2]->isChecked());
}

TEST_F(ViewerTest, WebPagesGetNoWindowExternal) {
  OpenStory();
  ASSERT_TRUE(Load(*Form->webMain(), QUrl("data:text/html,<p id=t>web</p>")));
  EXPECT_EQ(Run("typeof window.external"), "undefined");
  EXPECT_EQ(Form->GetCurrentPage(), "data:text/html,%3Cp id=t%3Eweb%3C/p%3E");  // any other location comes back whole
}

TEST_F(ViewerTest, TerminateReturnsBeforeTheWindowCloses) {
  OpenStory();
  EXPECT_EQ(Run("window.external.Terminate(); 'returned'"), "returned");
  EXPECT_TRUE(WaitFor([&] { return !Form->isVisible(); }));
}

TEST_F(ViewerTest, EscapeClosesTheMainWindow) {
  OpenStory();
  Form->activateWindow();
  Form->webMain()->setFocus();
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
  Key(Qt::Key_Escape);
  EXPECT_TRUE(WaitFor([&] { return !Form->isVisible(); }));
}

TEST_F(ViewerTest, CopyAndContextMenuFollowThePagesRightClickFlag) {
  OpenStory();
  Form->activateWindow();
  Form->webMain()->setFocus();
  WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000);
  Click(Next);  // page 2 allows copying
  EXPECT_EQ(Form->webMain()->OnShowContextMenu(0, QPoint()), HOST_S_FALSE);
  // A right click on the page, as the window system delivers it: the menu offers only what works.
  {
    const QPoint at = Form->webMain()->mapTo(Form.get(), QPoint(30, 30));
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
      QMouseEvent e(type, at, Form->mapToGlobal(at), Qt::RightButton, type == QEvent::MouseButtonPress ? Qt::RightButton : Qt::NoButton,
                    Qt::NoModifier);
      QCoreApplication::sendEvent(Form->windowHandle(), &e);
    }
    QMenu* menu = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) != nullptr; }, 10000));
    QStringList offered;
    for (QAction* action : menu->actions())
      if (!action->isSeparator()) offered << action->text();
    EXPECT_FALSE(offered.isEmpty());
    for (auto dead : {QWebEnginePage::SavePage, QWebEnginePage::ViewSource, QWebEnginePage::InspectElement})
      EXPECT_FALSE(menu->actions().contains(Form->webMain()->pageAction(dead))) << offered.join(", ").toStdString();
    EXPECT_FALSE(menu->actions().first()->isSeparator());
    EXPECT_FALSE(menu->actions().last()->isSeparator());
    menu->close();
  }
  QGuiApplication::clipboard()->setText("before");
  Run("document.execCommand('selectAll'); 1");
  Key(Qt::Key_Control, Qt::ControlModifier);
  Key(Qt::Key_C, Qt::ControlModifier);
  EXPECT_TRUE(WaitFor([&] { return QGuiApplication::clipboard()->text().contains("Page 2"); }, 5000));
  Click(Next);  // page 3 forbids it
  ASSERT_EQ(Shown(), "Page 3");
  EXPECT_EQ(Form->webMain()->OnShowContextMenu(0, QPoint()), HOST_S_OK);
  QGuiApplication::clipboard()->setText("before");
  Run("document.execCommand('selectAll'); 1");
  Key(Qt::Key_Control, Qt::ControlModifier);
  Key(Qt::Key_C, Qt::ControlModifier);
  QCoreApplication::processEvents();
  EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
  // Control still held, C again; and Control with Insert: swallowed each time.
  for (int key : {Qt::Key_C, Qt::Key_Insert}) {
    QGuiApplication::clipboard()->setText("before");
    Key(key, Qt::ControlModifier);
    EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty()) << key;
  }
}

TEST_F(ViewerTest, CopyRuleHoldsInOtherWindowsToo) {
  OpenStory();
  Click(Next);
  Click(Next);  // page 3 forbids copying
  ASSERT_EQ(Shown(), "Page 3");
  QLineEdit other;
  other.setText("text in another window");
  other.show();
  other.activateWindow();
  other.setFocus();
  ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == &other; }, 5000));
  other.selectAll();
  QGuiApplication::clipboard()->setText("before");
  Key(Qt::Key_Control, Qt::ControlModifier);
  Key(Qt::Key_C, Qt::ControlModifier);
  EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
}

TEST_F(ViewerTest, LogoLinkIsExpandedAndHandedToTheDesktop) {
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("https", &catcher, "open");
  TfrmMain& f = Open({{"\\System.xml", "<System Story=\"s.xml\" Variables=\"v.xml\" RunMaximized=True>"
                                       "<toolbar LogoDisplay=True LogoLink=\"https://%{SITE}/books\"/></System>"},
                      {"\\s.xml", "<S><i page=\"\\a.htm\"/></S>"},
                      {"\\v.xml", "<v><var name=\"SITE\">$www.example.org</var></v>"}},
                     {{"\\a.htm", Page(1)}});
  f.imgLogoClick();
  QDesktopServices::unsetUrlHandler("https");
  ASSERT_EQ(catcher.Opened.size(), 1);
  EXPECT_EQ(catcher.Opened[0], QUrl("https://www.example.org/books"));
  // Maximised, and still without a maximise button when the window is not resizable.
  EXPECT_TRUE(f.windowState() & Qt::WindowMaximized);
  EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(ViewerTest, FontSizeIsKeptAcrossPages) {
  OpenStory();
  QAction* extraLarge = Form->popFontSize()->actions().at(4);
  EXPECT_EQ(extraLarge->text(), "Extra Large");
  extraLarge->trigger();
  EXPECT_EQ(Form->FontSize(), 4);
  Click(Next);
  EXPECT_EQ(Shown(), "Page 2");
  EXPECT_DOUBLE_EQ(Form->webMain()->zoomFactor(), 1.5);
}

TEST_F(ViewerTest, AboutWithoutSuchFormShowsTheError) {
  OpenStory();
  Click(About);
  EXPECT_EQ(Messages.value(0), "Form \"About\" not found");
  EXPECT_TRUE(Form->isVisible());
}

// Packed viewers started as their own processes.
class PackedViewer : public ::testing::Test {
protected:
  cab_test::TTempDir Dir;
  int Start(const std::string& book, std::string& out) {
    return cab_test::Shell("QUIRELLE_CHECK=1 QTWEBENGINE_DISABLE_SANDBOX=1 " + cab_test::Quote(book), &out);
  }
  // The viewer given a book file, as a reader opens one.
  int Open(const std::string& file, std::string& out) { return Start(QUIRELLE_VIEWER + std::string("' '") + file, out); }
  // Packs Dir/sys and Dir/content (or the content given) into Dir/book; empty when packing failed.
  std::string PackBook(const fs::path& content = {}, const std::string& options = {}) {
    std::string out;
    const std::string book = (Dir.Path() / "book").string();
    const int rc = cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + options + " --viewer " + cab_test::Quote(QUIRELLE_VIEWER) + " --system " +
                                       cab_test::Quote(Dir.Path() / "sys") + " --content " +
                                       cab_test::Quote(content.empty() ? Dir.Path() / "content" : content) + " -o " + cab_test::Quote(book), &out);
    EXPECT_EQ(rc, 0) << out;
    return rc == 0 ? book : std::string();
  }
  // Starts the book as a reader does, and finds its window on the X server by its caption.
  QString Launch(QProcess& viewer, const std::string& book, const QString& caption, const QStringList& args = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
    viewer.setProcessEnvironment(env);
    viewer.setProcessChannelMode(QProcess::MergedChannels);
    viewer.start(QString::fromStdString(book), args);
    if (!viewer.waitForStarted()) return {};
    QString window;
    WaitFor([&] { return !(window = Command("xdotool search --onlyvisible --name '" + caption + "' | head -1")).isEmpty(); });
    return window;
  }
  static QString Command(const QString& command) {
    QProcess p;
    p.start("sh", {"-c", command});
    p.waitForFinished();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
  }
  static bool Shows(const QString& window, const char* colour) {
    return WaitFor([&] { return Command("import -window " + window + " -crop 1x1+200+200 -depth 8 txt:- 2>&1").contains(colour); });
  }
};

TEST_F(PackedViewer, GoodBookShowsItsFirstPageAndTitle) {
  std::string out;
  std::string book = (Dir.Path() / "book").string();
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --viewer " + cab_test::Quote(QUIRELLE_VIEWER) +
                                " --system " + cab_test::Quote(std::string(QUIRELLE_SOURCE_DIR) + "/examples/sample-book/system") +
                                " --content " + cab_test::Quote(std::string(QUIRELLE_SOURCE_DIR) + "/examples/sample-book/content") +
                                " -o " + cab_test::Quote(book), &out), 0) << out;
  EXPECT_EQ(Start(book, out), 0) << out;
  EXPECT_NE(out.find("title=A Walk by the River\n"), std::string::npos) << out;
  EXPECT_NE(out.find("caption=A Walk by the River - sample edition, 2026\n"), std::string::npos) << out;
  EXPECT_NE(out.find("page=\\pages\\intro.htm\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("qt.webenginecontext"), std::string::npos) << out;  // the reader's terminal stays quiet
}

// As a reader meets it: a page script turns the page, and Escape, typed on the keyboard of the
// X server, still closes the book.
TEST_F(PackedViewer, EscapeWorksAfterAPageScriptTurnedThePage) {
  cab_test::WriteFile(Dir.Path() / "sys" / "System.xml", "<System Story=\"Story.xml\" MainFormCaption=\"Keys after a script\"/>");
  cab_test::WriteFile(Dir.Path() / "sys" / "Story.xml", "<S><i page=\"\\one.htm\"/><i page=\"\\two.htm\"/></S>");
  cab_test::WriteFile(Dir.Path() / "content" / "one.htm",
                      "<body><script>setTimeout(function () { window.external.Story.Next(); }, 0);</script></body>");
  cab_test::WriteFile(Dir.Path() / "content" / "two.htm", "<body style='background: #ff0000'>two</body>");
  const std::string book = PackBook();
  ASSERT_FALSE(book.empty());
  QProcess viewer;
  const QString window = Launch(viewer, book, "Keys after a script");
  ASSERT_FALSE(window.isEmpty());
  EXPECT_TRUE(Shows(window, "#FF0000"));  // the second page: the script has turned the page
  Command("xdotool windowfocus --sync " + window + " key Escape");
  EXPECT_TRUE(viewer.waitForFinished(20000));
  EXPECT_EQ(viewer.exitCode(), 0);
  if (viewer.state() != QProcess::NotRunning) viewer.kill(), viewer.waitForFinished();
}

// As a reader met it: Next, and Next again while the new page keeps its renderer busy (the
// second click waits for it), then Escape. The window must go only after the waiting click has
// returned: the run ends at once and cleanly, with no crash and no wait for the renderer.
TEST_F(PackedViewer, EscapeWhileAClickWaitsForABusyPageEndsCleanly) {
  cab_test::WriteFile(Dir.Path() / "sys" / "System.xml", "<System Story=\"Story.xml\" ToolButtons=\"tb.xml\" MainFormCaption=\"Busy page\"/>");
  cab_test::WriteFile(Dir.Path() / "sys" / "tb.xml", "<T><Buttons><b Kind=5 Caption=\"Next\"/></Buttons></T>");
  cab_test::WriteFile(Dir.Path() / "sys" / "Story.xml", "<S><i page=\"\\one.htm\"/><i page=\"\\busy.htm\"/><i page=\"\\three.htm\"/></S>");
  cab_test::WriteFile(Dir.Path() / "content" / "one.htm", "<body style='background: #ff0000'>one</body>");
  // Parsing stops in the script for far longer than any test runs: never interactive meanwhile.
  cab_test::WriteFile(Dir.Path() / "content" / "busy.htm",
                      "<body>busy<script>var t = Date.now(); while (Date.now() - t < 600000) {}</script></body>");
  cab_test::WriteFile(Dir.Path() / "content" / "three.htm", "<body>three</body>");
  const std::string book = PackBook();
  ASSERT_FALSE(book.empty());
  QProcess viewer;
  const QString window = Launch(viewer, book, "Busy page");
  ASSERT_FALSE(window.isEmpty());
  EXPECT_TRUE(Shows(window, "#FF0000"));  // the first page is up, so the first click acts at once
  // The X server hands the events over in this order: the second click is waiting when
  // Escape arrives.
  Command("xdotool windowfocus --sync " + window + " mousemove --window " + window + " 12 12 click --repeat 2 --delay 200 1 key Escape");
  EXPECT_TRUE(viewer.waitForFinished(20000));
  EXPECT_EQ(viewer.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(viewer.exitCode(), 0) << viewer.readAll().toStdString();
  if (viewer.state() != QProcess::NotRunning) viewer.kill(), viewer.waitForFinished();
}

// A book cut short (a download that did not finish) loses the index at its end: the reader is
// told the file is incomplete and where it ends, after the system's own message. An image
// damaged inside its block is said to be damaged.
TEST_F(PackedViewer, ACutOrDamagedBookSaysWhatHappened) {
  cab_test::WriteFile(Dir.Path() / "sys" / "System.xml", "<System Story=\"Story.xml\"/>");
  cab_test::WriteFile(Dir.Path() / "sys" / "Story.xml", "<S><i page=\"\\a.htm\"/></S>");
  cab_test::WriteFile(Dir.Path() / "content" / "a.htm", std::string(20000, 'a'));
  const std::string book = PackBook();
  ASSERT_FALSE(book.empty());
  const std::string whole = cab_test::ReadFile(book);
  const std::size_t program = static_cast<std::size_t>(fs::file_size(QUIRELLE_VIEWER));
  ASSERT_EQ(whole.compare(program, 4, "MSCF"), 0);
  const std::size_t system = static_cast<unsigned char>(whole[program + 8]) | static_cast<unsigned char>(whole[program + 9]) << 8 |
                             static_cast<unsigned char>(whole[program + 10]) << 16;
  const std::string cut = (Dir.Path() / "cut").string();
  for (const auto& [end, says] : std::vector<std::pair<std::size_t, std::string>>{
           {program + 100, "it ends inside the data block SYSTEM_MFS, 100 of its " + std::to_string(system) + " bytes there"},
           {program + system + 100, "it ends inside the data block FILES_MFS"},
           {whole.size() - 30, "it ends before the index of its data blocks"}}) {
    cab_test::WriteFile(cut, whole.substr(0, end));
    fs::permissions(cut, fs::perms::owner_all);
    std::string out;
    EXPECT_EQ(Start(cut, out), 1);
    // The reader's words first, and no place in the book: the file as a whole is the fault.
    EXPECT_NE(out.find("Quirelle Viewer: The book file \"" + cut + "\" is incomplete: " + says), std::string::npos) << out;
    EXPECT_NE(out.find(" (it was cut short)\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("In the book's"), std::string::npos) << out;
  }
  // The system Cabinet holds no image at all.
  cab_test::WriteFile(Dir.Path() / "junk.cab", BuildCabinet({{"info.mfs", std::string(300, 'j'), DosDateTimeNow(), 0x20}}));
  std::string out;
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --viewer " + cab_test::Quote(QUIRELLE_VIEWER) + " --system " +
                                cab_test::Quote(Dir.Path() / "junk.cab") + " --content " + cab_test::Quote(Dir.Path() / "content") +
                                " --force -o " + cab_test::Quote(book), &out), 0) << out;
  EXPECT_EQ(Start(book, out), 1);
  EXPECT_NE(out.find("The image inside the data block SYSTEM_MFS is damaged.\n\nIn the book's system image (SYSTEM_MFS)."),
            std::string::npos) << out;
}

// The same book carried four ways opens the same: packed, as a document, and made for Windows in
// either word size; a Windows book whose blocks have only the numeric type, or whose resource
// directory is cut, fails with a message.
TEST_F(PackedViewer, EveryKindOfBookOpensTheSame) {
  std::string out;
  const std::string sample = std::string(QUIRELLE_SOURCE_DIR) + "/examples/sample-book/";
  const fs::path packed = Dir.Path() / "book", doc = Dir.Path() / "book.qbook";
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --viewer " + cab_test::Quote(QUIRELLE_VIEWER) + " --system " +
                                cab_test::Quote(sample + "system") + " --content " + cab_test::Quote(sample + "content") + " -o " +
                                cab_test::Quote(packed), &out), 0) << out;
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --document --from " + cab_test::Quote(packed) + " -o " + cab_test::Quote(doc), &out), 0)
      << out;
  const std::string sys = ReadBookBlock(packed.string(), "SYSTEM_MFS"), content = ReadBookBlock(packed.string(), "FILES_MFS");
  auto shown = [&](int rc) {  // what the check prints, less the time it took
    return std::to_string(rc) + " " + out.substr(out.find("title="), out.find("ms=") - out.find("title="));
  };
  const std::string expected = "0 title=A Walk by the River\ncaption=A Walk by the River - sample edition, 2026\npage=\\pages\\intro.htm\n";
  EXPECT_EQ(shown(Start(packed.string(), out)), expected) << out;
  EXPECT_EQ(shown(Open(doc.string(), out)), expected) << out;
  for (const char* arch : {"x86_64", "i686"}) {
    const fs::path win = Dir.Path() / (std::string(arch) + ".exe");
    ASSERT_TRUE(pe_test::MakeWindowsExecutable(win, {{std::string("RCDATA"), std::string("SYSTEM_MFS"), sys},
                                                     {std::string("RCDATA"), std::string("FILES_MFS"), content}}, arch, &out)) << out;
    EXPECT_EQ(shown(Open(win.string(), out)), expected) << arch << out;
  }
  const fs::path numeric = Dir.Path() / "numeric.exe";
  ASSERT_TRUE(pe_test::MakeWindowsExecutable(numeric, {{std::uint16_t{10}, std::string("SYSTEM_MFS"), sys},
                                                       {std::uint16_t{10}, std::string("FILES_MFS"), content}}, "x86_64", &out)) << out;
  EXPECT_EQ(Open(numeric.string(), out), 1);
  EXPECT_NE(out.find("\"" + numeric.string() + "\" is not a book: a Windows program without the resource SYSTEM_MFS of the type named \"RCDATA\"\n"),
            std::string::npos) << out;
  // The resource is there, but holds no Cabinet: a damaged book, said as such.
  const fs::path junk = Dir.Path() / "junk.exe";
  ASSERT_TRUE(pe_test::MakeWindowsExecutable(junk, {{std::string("RCDATA"), std::string("SYSTEM_MFS"), std::string(64, 'j')},
                                                    {std::string("RCDATA"), std::string("FILES_MFS"), content}}, "x86_64", &out)) << out;
  EXPECT_EQ(Open(junk.string(), out), 1);
  EXPECT_NE(out.find("The resource SYSTEM_MFS of the Windows-format book is not a Cabinet: the book is damaged.\n\nIn the book's system image (SYSTEM_MFS)."),
            std::string::npos) << out;
  const std::string whole = cab_test::ReadFile(numeric);
  cab_test::WriteFile(numeric, whole.substr(0, pe_test::ResourceSectionOffset(whole) + 20));
  EXPECT_EQ(Open(numeric.string(), out), 1);
  EXPECT_NE(out.find("The book file \"" + numeric.string() + "\" is damaged: a resource directory lies beyond the end of the file"),
            std::string::npos) << out;
}

// A file that is no book is said to be none in the reader's words, naming the file, with no
// place in a book after it; a whole header of a later version keeps its own message.
TEST_F(PackedViewer, FilesThatAreNoBookSaySoInTheReadersWords) {
  std::string out;
  const fs::path d = Dir.Path();
  cab_test::WriteFile(d / "notes.txt", "Dear reader,\n");
  cab_test::WriteFile(d / "empty.qbook", "");
  fs::create_directories(d / "a folder");
  ASSERT_TRUE(pe_test::MakeWindowsExecutable(d / "setup.exe", {{std::string("RCDATA"), std::string("SETUP"), std::string("x")}}, "x86_64", &out)) << out;
  const std::string header(BookDocumentSignature);
  cab_test::WriteFile(d / "mailed.qbook", "\x89QBOOK\n\x1A\n" + std::string(40, '\0'));  // CR LF became LF
  cab_test::WriteFile(d / "cut.qbook", header + "\x01");
  cab_test::WriteFile(d / "later.qbook", header + std::string("\x02\0\0\0\0\0", 6) + std::string(40, '\0'));
  for (const auto& [file, says] : std::vector<std::pair<fs::path, std::string>>{
           {d / "notes.txt", "\"" + (d / "notes.txt").string() + "\" is not a book: neither a book document, a packed book nor a Windows-format book"},
           {d / "empty.qbook", "The file \"" + (d / "empty.qbook").string() + "\" is empty: it is not a book"},
           {d / "a folder", "\"" + (d / "a folder").string() + "\" is a folder, not a book"},
           {d / "missing.qbook", "The file \"" + (d / "missing.qbook").string() + "\" does not exist"},
           {d / "setup.exe", "\"" + (d / "setup.exe").string() + "\" is not a book: a Windows program without the resource SYSTEM_MFS"},
           {d / "mailed.qbook", "The book document \"" + (d / "mailed.qbook").string() + "\" was changed in transfer"},
           {d / "cut.qbook", "The book document \"" + (d / "cut.qbook").string() + "\" is incomplete: it ends inside its header"},
           {d / "later.qbook", "The book document \"" + (d / "later.qbook").string() + "\" is of a later format than this viewer reads"}}) {
    EXPECT_EQ(Open(file.string(), out), 1) << file;
    EXPECT_NE(out.find("Quirelle Viewer: " + says), std::string::npos) << out;
    EXPECT_EQ(out.find("cabinet"), std::string::npos) << out;
    EXPECT_EQ(out.find("In the book's"), std::string::npos) << out;
    // The author's check of a book file says the same.
    cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --check " + cab_test::Quote(file), &out);
    EXPECT_NE(out.find(says.substr(says.find('"'))), std::string::npos) << out;
  }
  // Asked for help or the version, the viewer answers without a display and opens no window.
  EXPECT_EQ(cab_test::Shell("env -u DISPLAY -u WAYLAND_DISPLAY " + cab_test::Quote(QUIRELLE_VIEWER) + " --help 2>/dev/null", &out), 0);
  EXPECT_EQ(out.rfind("Usage: quirelle-viewer [BOOK]\n", 0), 0u) << out;
  EXPECT_EQ(cab_test::Shell("env -u DISPLAY " + cab_test::Quote(QUIRELLE_VIEWER) + " --version 2>/dev/null", &out), 0);
  EXPECT_EQ(out, "quirelle-viewer " QUIRELLE_VERSION "\n");
  EXPECT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --version", &out), 0);
  EXPECT_EQ(out, "quirelle-pack " QUIRELLE_VERSION "\n");
}

// A viewer without a book of its own and none named asks for one; cancelled, it ends quietly;
// given a file that is no book, it says so and asks again.
TEST_F(PackedViewer, WithoutABookTheReaderIsAskedForOne) {
  std::string out;
  const std::string sample = std::string(QUIRELLE_SOURCE_DIR) + "/examples/sample-book/";
  const fs::path doc = Dir.Path() / "book.qbook";
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --document --system " + cab_test::Quote(sample + "system") +
                                " --content " + cab_test::Quote(sample + "content") + " -o " + cab_test::Quote(doc), &out), 0) << out;
  const fs::path notes = Dir.Path() / "notes.txt";
  cab_test::WriteFile(notes, "not a book");
  for (const bool choose : {true, false}) {
    QProcess viewer;
    const QString dialog = Launch(viewer, QUIRELLE_VIEWER, "Open book");
    ASSERT_FALSE(dialog.isEmpty());
    if (choose) {
      // A file that is no book: the message, then the dialog again.
      Command("xdotool windowfocus --sync " + dialog + " type '" + QString::fromStdString(notes.string()) + "'");
      Command("xdotool windowfocus --sync " + dialog + " key Return");
      QString message;
      ASSERT_TRUE(WaitFor([&] { return !(message = Command("xdotool search --onlyvisible --name '^Quirelle Viewer$' | head -1")).isEmpty(); }));
      Command("xdotool windowfocus --sync " + message + " key Return");
      QString again;
      ASSERT_TRUE(WaitFor([&] { return !(again = Command("xdotool search --onlyvisible --name 'Open book' | head -1")).isEmpty(); }));
      ASSERT_EQ(viewer.state(), QProcess::Running);
      Command("xdotool windowfocus --sync " + again + " key ctrl+a type '" + QString::fromStdString(doc.string()) + "'");
      Command("xdotool windowfocus --sync " + again + " key Return");
      Command("xdotool windowfocus --sync " + dialog + " key Return");
      QString window;
      ASSERT_TRUE(WaitFor([&] { return !(window = Command("xdotool search --onlyvisible --name 'A Walk by the River' | head -1")).isEmpty(); }));
      Command("xdotool windowfocus --sync " + window + " key Escape");
    } else {
      Command("xdotool windowfocus --sync " + dialog + " key Escape");
    }
    EXPECT_TRUE(viewer.waitForFinished(20000));
    EXPECT_EQ(viewer.exitCode(), 0) << viewer.readAll().toStdString();
    if (viewer.state() != QProcess::NotRunning) viewer.kill(), viewer.waitForFinished();
  }
}

// The first page comes while the rest of the content unpacks. A book damaged after the first
// page still ends with the message of a damaged book: a damaged Cabinet block (found before any
// file is served), and an image whose own checksum fails at its very end (found after the first
// page may have been shown). A book whose content Cabinet gcab made (name order) opens as any other.
TEST_F(PackedViewer, DamageAfterTheFirstPageStillEndsTheRunAndGcabBooksOpen) {
  cab_test::WriteFile(Dir.Path() / "sys" / "System.xml", "<System Story=\"Story.xml\"/>");
  std::string story = "<S><i page=\"\\zz-first.htm\"/>";
  cab_test::WriteFile(Dir.Path() / "content" / "zz-first.htm", "<p>first</p>");
  std::uint32_t x = 7;
  for (int i = 0; i < 40; ++i) {
    std::string noise(20000, ' ');
    for (char& c : noise) c = static_cast<char>('a' + (x = x * 1103515245u + 12345u) % 26);
    cab_test::WriteFile(Dir.Path() / "content" / ("p" + std::to_string(i) + ".htm"), noise);
    story += "\n<i page=\"\\p" + std::to_string(i) + ".htm\"/>";
  }
  cab_test::WriteFile(Dir.Path() / "sys" / "Story.xml", story + "</S>");
  const std::string book = PackBook();
  ASSERT_FALSE(book.empty());
  std::string out;
  ASSERT_EQ(Start(book, out), 0) << out;
  EXPECT_NE(out.find("page=\\zz-first.htm\n"), std::string::npos) << out;
  // A byte late in the content Cabinet, far behind the first page (stored first).
  const TDataBlockIndex index = ReadDataBlockIndex(book);
  const auto content = std::find_if(index.Entries.begin(), index.Entries.end(), [](const TDataBlockEntry& e) { return e.Name == "FILES_MFS"; });
  ASSERT_NE(content, index.Entries.end());
  std::string bytes = cab_test::ReadFile(book);
  bytes[content->Offset + content->Size * 9 / 10] ^= 0x55;
  cab_test::WriteFile(book, bytes);
  fs::permissions(book, fs::perms::owner_all);
  EXPECT_EQ(Start(book, out), 1);
  EXPECT_NE(out.find("Cabinet file is corrupt [0x0004]\n\nIn the book's content image (FILES_MFS)."), std::string::npos) << out;
  // Sound blocks, but the image's own checksum fails: known only once the last file is read.
  TMFS system, image;
  ImportFolder(Dir.Path() / "sys", system.Root());
  ImportFolder(Dir.Path() / "content", image.Root());
  std::string stored = image.SaveToString(ContentOrder(system, image));
  EXPECT_LT(stored.find("<p>first</p>"), 200u);  // the first page is stored first
  stored[stored.size() - 10] ^= 0x01;
  cab_test::WriteFile(Dir.Path() / "late.cab", BuildCabinet({{"info.mfs", stored, DosDateTimeNow(), 0x20}}));
  ASSERT_EQ(PackBook(Dir.Path() / "late.cab", " --force"), book);
  EXPECT_EQ(Start(book, out), 1);
  EXPECT_NE(out.find("Incorrect serialized format\n\nThe image inside the data block FILES_MFS is damaged.\n\nIn the book's content image (FILES_MFS)."),
            std::string::npos) << out;

  // gcab's Cabinet of an image in name order.
  TMFS nameOrder;
  ImportFolder(Dir.Path() / "content", nameOrder.Root());
  cab_test::WriteFile(Dir.Path() / "gcab" / "info.mfs", nameOrder.SaveToString());
  ASSERT_EQ(cab_test::Shell("cd " + cab_test::Quote(Dir.Path() / "gcab") + " && gcab -c -z content.cab info.mfs", &out), 0) << out;
  ASSERT_EQ(PackBook(Dir.Path() / "gcab" / "content.cab"), book);
  EXPECT_EQ(Start(book, out), 0) << out;
  EXPECT_NE(out.find("page=\\zz-first.htm\n"), std::string::npos) << out;
}

// Damage made here, block by block, to the sample book (a start splash, metafile pictures): every
// damaged book says so before the viewer ends, whichever loop start-up was in when the content
// image failed (the splash's, the metafile helper's, the main loop), in check mode and on screen.
TEST_F(PackedViewer, EveryDamagedBookSaysSoBeforeTheViewerEnds) {
  const std::string sample = std::string(QUIRELLE_SOURCE_DIR) + "/examples/sample-book/";
  std::string out;
  const fs::path book = Dir.Path() / "book";
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --viewer " + cab_test::Quote(QUIRELLE_VIEWER) + " --system " +
                                cab_test::Quote(sample + "system") + " --content " + cab_test::Quote(sample + "content") + " -o " +
                                cab_test::Quote(book), &out), 0) << out;
  const std::string whole = cab_test::ReadFile(book);
  const TDataBlockIndex index = ReadDataBlockIndex(book.string());
  struct TDamage { const char* name; const char* block; double at; std::size_t length; };
  for (const TDamage& d : {TDamage{"content all junk", "FILES_MFS", 0, 0}, TDamage{"content header", "FILES_MFS", 0, 40},
                           TDamage{"content early", "FILES_MFS", 0.1, 64}, TDamage{"content middle", "FILES_MFS", 0.5, 64},
                           TDamage{"content late", "FILES_MFS", 0.95, 64}, TDamage{"system all junk", "SYSTEM_MFS", 0, 0},
                           TDamage{"system middle", "SYSTEM_MFS", 0.5, 64}}) {
    const auto block = std::find_if(index.Entries.begin(), index.Entries.end(), [&](const TDataBlockEntry& e) { return e.Name == d.block; });
    ASSERT_NE(block, index.Entries.end());
    std::string bytes = whole;
    const std::size_t from = block->Offset + static_cast<std::size_t>(static_cast<double>(block->Size) * d.at);
    const std::size_t length = d.length ? d.length : block->Size;
    for (std::size_t i = from; i < from + length && i < block->Offset + block->Size; ++i) bytes[i] = 'J';
    const fs::path damaged = Dir.Path() / "damaged";
    cab_test::WriteFile(damaged, bytes);
    fs::permissions(damaged, fs::perms::owner_all);
    EXPECT_EQ(Start(damaged.string(), out), 1) << d.name << ": " << out;
    EXPECT_NE(out.find(std::string("In the book's ") + (d.block[0] == 'F' ? "content image (FILES_MFS)." : "system image (SYSTEM_MFS).")),
              std::string::npos) << d.name << ": " << out;
    // A book whose system image or content does not open shows no page; damage further into the
    // content may be met after the first page has loaded (its files come first), and still ends
    // the run with its message.
    if (d.at == 0 || d.block[0] == 'S') EXPECT_EQ(out.find("page="), std::string::npos) << d.name << ": " << out;
    if (d.at == 0 && d.length == 0 && d.block[0] == 'F') fs::copy_file(damaged, Dir.Path() / "junk", fs::copy_options::overwrite_existing);
  }
  // On screen: the message box (titled as the book), and the viewer waits for the reader to
  // close it. The splash may carry the same title: Return goes to each such window until the
  // viewer ends.
  QProcess viewer;
  const QString box = Launch(viewer, (Dir.Path() / "junk").string(), "^A Walk by the River$");
  ASSERT_FALSE(box.isEmpty());
  EXPECT_EQ(viewer.state(), QProcess::Running);
  EXPECT_TRUE(WaitFor([&] {
    Command("for w in $(xdotool search --onlyvisible --name '^A Walk by the River$'); do xdotool windowfocus --sync $w key Return; done");
    return viewer.waitForFinished(100);
  }));
  EXPECT_EQ(viewer.exitCode(), 1);
  if (viewer.state() != QProcess::NotRunning) viewer.kill(), viewer.waitForFinished();
}

// The metafile helper goes with the viewer: killed while its helper is busy, the viewer takes the
// helper with it.
TEST_F(PackedViewer, TheMetafileHelperDiesWithTheViewer) {
  const std::string slow = cab_test::ReadFile(fs::path(QUIRELLE_SOURCE_DIR) / "fuzz" / "corpus" / "fuzz_picture" / "regress-wmf-short-thick-line");
  ASSERT_GT(slow.size(), 1u);
  cab_test::WriteFile(Dir.Path() / "sys" / "System.xml", "<System Story=\"Story.xml\" ToolButtons=\"tb.xml\" MainFormCaption=\"Slow picture\"/>");
  cab_test::WriteFile(Dir.Path() / "sys" / "Story.xml", "<S><i page=\"\\a.htm\"/></S>");
  cab_test::WriteFile(Dir.Path() / "sys" / "tb.xml", "<T><Images><i Path=\"slow.wmf\"/></Images><Buttons><b Kind=5 ImageIndex=0/></Buttons></T>");
  cab_test::WriteFile(Dir.Path() / "sys" / "slow.wmf", slow.substr(1));  // the fuzz input's first byte picks the kind
  cab_test::WriteFile(Dir.Path() / "content" / "a.htm", "<p>a</p>");
  const std::string book = PackBook({}, " --force");
  ASSERT_FALSE(book.empty());
  QProcess viewer;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
  viewer.setProcessEnvironment(env);
  viewer.start(QString::fromStdString(book), {});
  ASSERT_TRUE(viewer.waitForStarted());
  // The helper: a child of the viewer that draws metafiles.
  const QString parent = QString::number(viewer.processId());
  QString helper;
  ASSERT_TRUE(WaitFor([&] {
    helper = Command("for p in /proc/[0-9]*; do [ \"$(awk '{print $4}' $p/stat 2>/dev/null)\" = " + parent +
                     " ] && tr '\\0' ' ' < $p/cmdline 2>/dev/null | grep -q -- --draw-metafiles && basename $p; done | head -1");
    return !helper.isEmpty();
  }));
  // Held where it is (as a drawing that never ends would hold it: it would read no end of its
  // input), then the viewer is killed: the helper must go with it, not stay behind.
  Command("kill -STOP " + helper);
  viewer.kill();
  viewer.waitForFinished();
  EXPECT_TRUE(WaitFor([&] { return Command("awk '{print $3}' /proc/" + helper + "/stat 2>/dev/null").remove('Z').isEmpty(); }, 5000))
      << "helper " << helper.toStdString() << " stayed behind";
  Command("kill -9 " + helper + " 2>/dev/null");
}

TEST_F(PackedViewer, CheckFailsWhenTheFirstPageIsTheErrorPage) {
  std::string out;
  cab_test::WriteFile(Dir.Path() / "content" / "a.htm", "<p>a</p>");
  for (const char* story : {"<S/>", "<S><i page=\"\\missing.htm\"/></S>"}) {
    cab_test::WriteFile(Dir.Path() / "sys" / "System.xml", "<System Story=\"Story.xml\"/>");
    cab_test::WriteFile(Dir.Path() / "sys" / "Story.xml", story);
    std::string book = (Dir.Path() / "book").string();
    ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --viewer " + cab_test::Quote(QUIRELLE_VIEWER) +
                                  " --system " + cab_test::Quote(Dir.Path() / "sys") + " --content " +
                                  cab_test::Quote(Dir.Path() / "content") + " --force -o " + cab_test::Quote(book), &out), 0) << out;
    EXPECT_EQ(Start(book, out), 1) << story << out;
    EXPECT_NE(out.find("The first page of the book could not be shown"), std::string::npos) << out;
  }
}

TEST_F(PackedViewer, DamagedOrMissingBookShowsItsMessageAndFails) {
  std::string out;
  EXPECT_EQ(Start(QUIRELLE_VIEWER, out), 1);
  EXPECT_NE(out.find("Quirelle Viewer: File \"\\info.cab\" is not a cabinet"), std::string::npos) << out;
  EXPECT_EQ(out.find("page="), std::string::npos);
  cab_test::WriteFile(Dir.Path() / "sys" / "System.xml", "<System Story=\"Story.xml\">");
  cab_test::WriteFile(Dir.Path() / "sys" / "Story.xml", "<S/>");
  std::string book = (Dir.Path() / "book").string();
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --viewer " + cab_test::Quote(QUIRELLE_VIEWER) +
                                " --system " + cab_test::Quote(Dir.Path() / "sys") + " --content " +
                                cab_test::Quote(Dir.Path() / "sys") + " --force -o " + cab_test::Quote(book), &out), 0) << out;
  EXPECT_EQ(Start(book, out), 1);
  EXPECT_NE(out.find("Error in XML"), std::string::npos) << out;
  // A damaged content Cabinet: it is read while the window comes up, and still ends the run.
  cab_test::WriteFile(Dir.Path() / "sys" / "System.xml", "<System Story=\"Story.xml\"/>");
  cab_test::WriteFile(Dir.Path() / "sys" / "Story.xml", "<S><i page=\"\\a.htm\"/></S>");
  const std::string content = CabOf({{"\\a.htm", std::string(100000, 'x')}});
  cab_test::WriteFile(Dir.Path() / "damaged.cab", content.substr(0, content.size() / 2));
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --viewer " + cab_test::Quote(QUIRELLE_VIEWER) +
                                " --system " + cab_test::Quote(Dir.Path() / "sys") + " --content " +
                                cab_test::Quote(Dir.Path() / "damaged.cab") + " --force -o " + cab_test::Quote(book), &out), 0) << out;
  EXPECT_EQ(Start(book, out), 1);
  EXPECT_NE(out.find("In the book's content image (FILES_MFS)."), std::string::npos) << out;
  EXPECT_EQ(out.find("page="), std::string::npos) << out;
  EXPECT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_VIEWER) + " /REGSERVER", &out), 0);
  EXPECT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_VIEWER) + " -unregserver", &out), 0);
}

}  // namespace


namespace {

// The contents pane: hidden at start, F9 shows it with the current page selected; it follows a
// link, a toolbar move and a search hit; an entry chosen with the keyboard shows its page.
TEST_F(ViewerTest, TheContentsPaneFollowsTheStoryAndShowsAnEntrysPage) {
  OpenStory();
  TContentsPane& pane = *Form->ContentsPane();
  EXPECT_FALSE(pane.isVisible());
  Form->activateWindow();
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
  Key(Qt::Key_F9);
  ASSERT_TRUE(pane.isVisible());
  QTreeWidget& tree = *pane.tvContents();
  ASSERT_EQ(tree.topLevelItemCount(), 4);  // p1 and three chapters
  EXPECT_EQ(tree.topLevelItem(1)->childCount(), 3);
  auto current = [&] { return tree.currentItem() ? tree.currentItem()->text(0) : QString(); };
  EXPECT_EQ(current(), "\\p1.htm");  // no page names: the pages' paths
  Click(Next);
  EXPECT_TRUE(WaitFor([&] { return current() == "\\p2.htm"; }));
  ASSERT_TRUE(Loads([&] { Run("document.getElementById('link').click(); 1"); }, "Page 7"));
  EXPECT_TRUE(WaitFor([&] { return current() == "\\p7.htm"; }));
  Form->ShowFoundPage("\\p9.htm", "Page");
  EXPECT_TRUE(WaitFor([&] { return current() == "\\p9.htm"; }));
  // The keyboard: down to the next entry and Enter.
  tree.setFocus();
  QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier), enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QCoreApplication::sendEvent(&tree, &down);
  ASSERT_TRUE(Loads([&] { QCoreApplication::sendEvent(&tree, &enter); }, "Page 10"));
  EXPECT_EQ(Form->Story().CurrentPage(), "\\p10.htm");
  Key(Qt::Key_F9);
  EXPECT_FALSE(pane.isVisible());
}

// The usual keys act as the buttons of the book's toolbar, and only where the book has the
// button; the buttons' tool tips name them.
TEST_F(ViewerTest, TheUsualKeysActForTheButtonsTheBookHas) {
  OpenStory();
  Form->activateWindow();
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
  auto press = [&](int key, Qt::KeyboardModifiers modifiers, const QString& page) {
    return Loads([&] { Key(key, modifiers); }, page);
  };
  EXPECT_TRUE(press(Qt::Key_PageDown, Qt::ControlModifier, "Page 2"));
  EXPECT_TRUE(press(Qt::Key_PageDown, Qt::ControlModifier, "Page 3"));
  EXPECT_TRUE(press(Qt::Key_PageUp, Qt::ControlModifier, "Page 2"));
  EXPECT_TRUE(press(Qt::Key_Left, Qt::AltModifier, "Page 3"));   // Back
  EXPECT_TRUE(press(Qt::Key_Right, Qt::AltModifier, "Page 2"));  // Forward
  EXPECT_TRUE(press(Qt::Key_Home, Qt::AltModifier, "Page 1"));
  EXPECT_EQ(Button(Home)->toolTip(), "Home (Alt+Home)");
  EXPECT_EQ(Button(Back)->toolTip(), "Back (Alt+Left)");

  // A book whose toolbar has Next and the font size but no Prior: Ctrl+PgUp does nothing.
  Open({{"\\System.xml", "<System Story=\"Story.xml\" ToolButtons=\"tb.xml\"/>"}, {"\\Story.xml", StoryXml},
        {"\\tb.xml", "<T><Buttons><b Kind=5/><b Kind=11 Caption=\"Size\"/></Buttons></T>"}},
       StoryBook());
  Form->activateWindow();
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
  EXPECT_TRUE(press(Qt::Key_PageDown, Qt::ControlModifier, "Page 2"));
  // Had Prior or Back acted, the next Next would land on page 2 again.
  Key(Qt::Key_PageUp, Qt::ControlModifier);
  Key(Qt::Key_Left, Qt::AltModifier);
  EXPECT_TRUE(press(Qt::Key_PageDown, Qt::ControlModifier, "Page 3"));
  EXPECT_EQ(Form->FontSize(), 2);
  Key(Qt::Key_Plus, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(WaitFor([&] { return Form->FontSize() == 3; }));
  Key(Qt::Key_Plus, Qt::ControlModifier);
  Key(Qt::Key_Plus, Qt::ControlModifier);
  EXPECT_TRUE(WaitFor([&] { return Form->FontSize() == 4; }));  // the largest of the five stays
  Key(Qt::Key_0, Qt::ControlModifier);
  EXPECT_TRUE(WaitFor([&] { return Form->FontSize() == 2; }));
  EXPECT_EQ(Button(0)->toolTip(), "Next page (Ctrl+PgDown)");  // no caption: the kind's name
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("\n").toStdString();
}

// Every control of the main window a screen reader reaches has a name: the toolbar's buttons
// (the caption, else what the kind does), the logo, the contents pane.
TEST_F(ViewerTest, EveryControlHasAnAccessibleName) {
  Open({{"\\System.xml", "<System Story=\"Story.xml\" ToolButtons=\"tb.xml\"><toolbar LogoDisplay=True LogoText=\"Field Guide\"/></System>"},
        {"\\Logo.bmp", Picture(30, 20, "BMP")}, {"\\Story.xml", StoryXml},
        {"\\tb.xml", "<T><Buttons><b Kind=5/><b Kind=3 Caption=\"Start\"/><b Kind=11/><b Kind=13><i caption=\"One\" url=\"mfs:\\p1.htm\"/></b>"
                      "<b Kind=0/><b Kind=12/></Buttons></T>"}},
       StoryBook());
  Form->ContentsPane()->Toggle();
  QStringList unnamed, names;
  std::vector<QAccessibleInterface*> pending{QAccessible::queryAccessibleInterface(Form.get())};
  while (!pending.empty()) {
    QAccessibleInterface* a = pending.back();
    pending.pop_back();
    if (!a || !a->isValid() || a->state().invisible) continue;
    const QAccessible::Role role = a->role();
    const QString name = a->text(QAccessible::Name);
    const bool control = role == QAccessible::PushButton || role == QAccessible::ButtonMenu || role == QAccessible::ButtonDropDown ||
                         role == QAccessible::Graphic || role == QAccessible::Tree;
    if (control && name.isEmpty()) unnamed << QString::number(role);
    if (control) names << name;
    // The page's own content is the engine's to name.
    if (a->object() == Form->webMain()) continue;
    for (int i = 0; i < a->childCount(); ++i) pending.push_back(a->child(i));
  }
  EXPECT_TRUE(unnamed.isEmpty()) << unnamed.join(", ").toStdString() << " among " << names.join(", ").toStdString();
  for (const char* name : {"Next page", "Start", "Font size", "Bookmarks", "Search", "Field Guide", "Contents"})
    EXPECT_TRUE(names.contains(name)) << name << " among " << names.join(", ").toStdString();
}

}  // namespace
