// User forms and splash screens on the real engine: forms opened from page scripts with the look
// the book gives, window.external.UserForm from both pages, and the start and end splash.
#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QScreen>
#include <QToolButton>
#include <QWebEngineSettings>

#include "frm_Splash.h"
#include "frm_UserForm.h"
#include "viewer/viewer_test_util.h"

using namespace gui_test;
using namespace viewer_test;

namespace {

TfrmSplash* VisibleSplash() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* s = qobject_cast<TfrmSplash*>(w); s && s->isVisible()) return s;
  return nullptr;
}

QString Value(TMXWebBrowser& b, const QString& script) { return Eval(b, script).toString(); }

std::string Bitmap(int w, int h) { return Picture(w, h, "BMP"); }

const char* const Forms =
    "<Forms>"
    "<Form Name=\"About\" Path=\"about.htm\" Caption=\"First\"/>"
    "<Form Name=\"about\" Path=\"about.htm\" Caption=\"About this book\" Width=400 Height=300 Left=50 Top=60 "
    "SystemMenu=True Minimize=True/>"
    "<Form Name=\"Quiz\" Path=\"/forms/quiz.htm\" HideBorder=True Sizable=True Center=True Width=300 HideScrollBar=True/>"
    "<Form Name=\"Gone\" Path=\"nowhere.htm\"/>"
    "<Other Name=\"Quiz2\"/>"
    "</Forms>";

TEST_F(ViewerFixture, UserFormsOpenFromScriptsWithTheLookTheBookGives) {
  Open({{"\\System.xml", "<System Story=\"s.xml\" Forms=\"forms\\forms.xml\" ToolButtons=\"tb.xml\"/>"},
        {"\\s.xml", "<S><i page=\"\\a.htm\"/></S>"},
        {"\\tb.xml", "<T><Buttons><b Kind=9 Caption=\"About\"/></Buttons></T>"},
        {"\\forms\\forms.xml", Forms}},
       {{"\\a.htm", Page(1)},
        {"\\forms\\about.htm", "<html><body><p id=t>About %{Who}</p></body></html>"},
        {"\\forms\\quiz.htm", "<html><body><p id=t>Quiz</p></body></html>"}});
  TfrmMain& f = *Form;
  TMXWebBrowser& main = *f.webMain();
  ASSERT_EQ(f.UserForms()->Count(), 3);

  // The script waits until the form has closed, as a modal form holds its caller, and then sees
  // it closed; the viewer meanwhile goes on. The second "about" replaced the first; its size and
  // position are the outer ones.
  bool shown = WhenShown<TfrmUserForm>([&] {
    main.page()->runJavaScript("window.external.ShowUserForm('ABOUT'); var r; try { window.external.UserForm; r = 'still open' }"
                               " catch (e) { r = e.message } document.title = 'after: ' + r;");
  }, [&](TfrmUserForm& form) {
    QPointer<TfrmUserForm> w(&form);
    EXPECT_TRUE(w->isModal());
    EXPECT_EQ(w->windowTitle(), "About this book");
    EXPECT_EQ(w->frameGeometry(), QRect(50, 60, 400, 300));
    const Qt::WindowFlags flags = w->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w->minimumSize(), w->maximumSize());  // a single border is not sizeable
    TMXWebBrowser& page = *w->webUserForm();
    EXPECT_TRUE(WaitFor([&] { return Value(page, "document.getElementById('t') && document.getElementById('t').textContent") == "About %{Who}"; }));
    EXPECT_EQ(page.LocationURL(), QUrl("mfs:/forms/about.htm"));
    // The form's page runs in a renderer of its own while the caller waits.
    EXPECT_NE(page.page()->profile(), main.page()->profile());
    EXPECT_EQ(Value(page, "window.external.UserForm.Caption"), "About this book");
    Value(page, "window.external.UserForm.Caption = 'Changed'; 1");
    EXPECT_EQ(w->windowTitle(), "Changed");
    EXPECT_EQ(Value(page, "String(window.external.UserForm.Width)"), "400");
    Value(page, "window.external.UserForm.Left = 70; 1");
    EXPECT_EQ(w->frameGeometry().left(), 70);
    EXPECT_EQ(Value(page, "window.external.Story.Current"), "\\a.htm");
    EXPECT_FALSE(main.title().startsWith("after"));  // the caller still waits
    Value(page, "window.external.UserForm.Close(); 1");
    EXPECT_TRUE(WaitFor([&] { return !w || !w->isVisible(); }));
  });
  ASSERT_TRUE(shown);
  EXPECT_TRUE(WaitFor([&] { return main.title() == "after: There is no active form"; })) << main.title().toStdString();
  EXPECT_TRUE(WaitFor([&] { return !QApplication::activeModalWidget(); }));
  EXPECT_EQ(Run("try { window.external.ShowUserForm('Nope'); 'none' } catch (e) { e.message }"), "Form \"Nope\" not found");

  // Borderless (Sizable ignored), centred, closed by its own page's window.close().
  shown = WhenShown<TfrmUserForm>([&] { Run("window.external.ShowUserForm('quiz')"); }, [&](TfrmUserForm& w) {
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w.frameGeometry().width(), 300);
    EXPECT_EQ(w.frameGeometry().height(), 453);  // the window's own height
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((w.frameGeometry().center() - screen.center()).manhattanLength(), 2);
    TMXWebBrowser& page = *w.webUserForm();
    EXPECT_TRUE(WaitFor([&] { return Value(page, "document.getElementById('t') ? 'Quiz' : ''") == "Quiz"; }));
    EXPECT_FALSE(page.settings()->testAttribute(QWebEngineSettings::ShowScrollBars));
    QPointer<TfrmUserForm> gone(&w);
    Value(page, "window.close(); 1");
    EXPECT_TRUE(WaitFor([&] { return !gone || !gone->isVisible(); }));
  });
  ASSERT_TRUE(shown);

  // The form's page is missing from the content image: the form shows the error page.
  shown = WhenShown<TfrmUserForm>([&] { Run("window.external.ShowUserForm('Gone')"); }, [&](TfrmUserForm& w) {
    EXPECT_TRUE(WaitFor([&] { return Value(*w.webUserForm(), "document.body ? document.body.textContent : ''").contains("not found"); }));
    EXPECT_FALSE(w.windowFlags() & Qt::WindowCloseButtonHint);  // no SystemMenu: no close button
    QPointer<TfrmUserForm> gone(&w);
    Value(*w.webUserForm(), "window.external.UserForm.Close(); 1");
    EXPECT_TRUE(WaitFor([&] { return !gone || !gone->isVisible(); }));
  });
  ASSERT_TRUE(shown);

  // The About button opens the book's About form.
  shown = WhenShown<TfrmUserForm>([&] { Button(0)->click(); }, [&](TfrmUserForm& w) {
    EXPECT_EQ(w.windowTitle(), "About this book");
    w.Close();
  });
  EXPECT_TRUE(shown);
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("; ").toStdString();
}

// A form whose page opens itself: the nesting stops at the limit with the system's message, and
// every form then closes back down to the book.
TEST_F(ViewerFixture, AFormThatOpensItselfStopsAtTheDepthLimit) {
  Open({{"\\System.xml", "<System Story=\"s.xml\" Forms=\"f.xml\"/>"}, {"\\s.xml", "<S><i page=\"\\a.htm\"/></S>"},
        {"\\f.xml", "<Forms><Form Name=\"Self\" Path=\"\\self.htm\" Width=200 Height=150/></Forms>"}},
       {{"\\a.htm", Page(1)},
        {"\\self.htm", "<html><body><script>setTimeout(function () { window.external.ShowUserForm('Self'); }, 0);</script></body></html>"}});
  Form->webMain()->page()->runJavaScript("window.external.ShowUserForm('Self')");
  auto forms = [] {
    QList<TfrmUserForm*> open;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* form = qobject_cast<TfrmUserForm*>(w); form && form->isVisible()) open << form;
    return open;
  };
  // The ninth is refused with the system's message; eight stay open.
  ASSERT_TRUE(WaitFor([&] { return !Messages.isEmpty(); })) << forms().size();
  EXPECT_EQ(Messages, QStringList{"Too many forms are open one inside another (at most 8): the form \"Self\" is not shown"});
  EXPECT_EQ(forms().size(), MaxFormDepth);
  Messages.clear();
  // Closed from the deepest out, each returns to the one that showed it.
  for (int left = MaxFormDepth; left > 0; --left) {
    auto* top = qobject_cast<TfrmUserForm*>(QApplication::activeModalWidget());
    ASSERT_NE(top, nullptr) << left;
    QPointer<TfrmUserForm> gone(top);
    top->Close();
    ASSERT_TRUE(WaitFor([&] { return !gone || !gone->isVisible(); })) << left;
  }
  EXPECT_TRUE(WaitFor([&] { return forms().isEmpty() && !QApplication::activeModalWidget(); }));
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("; ").toStdString();
}

TEST_F(ViewerFixture, FormsOutsideTheRootStopStartUp) {
  Open({{"\\System.xml", "<System Story=\"s.xml\" Forms=\"f.xml\"/>"},
        {"\\s.xml", "<S><i page=\"\\a.htm\"/></S>"},
        {"\\f.xml", "<F><Form Name=\"x\" Path=\"..\\x.htm\"/></F>"}},
       {{"\\a.htm", Page(1)}}, false);
  EXPECT_TRUE(Form->CreateFailed());
  ASSERT_EQ(Messages.size(), 1);
  EXPECT_TRUE(Messages[0].endsWith("\n\nIn f.xml.")) << Messages[0].toStdString();
}

class SplashTest : public ViewerFixture {
protected:
  void SetUp() override {
    ViewerFixture::SetUp();
    SetMessageHandler([this](QWidget*, const QString& title, const QString& text) { Messages << title + ": " + text; });
  }
  TfrmMain& OpenWith(const std::string& splash, TFiles system, bool show = true) {
    // The toolbar leaves the current folder in its own: the pictures are still found at the root.
    system["\\System.xml"] = "<System Story=\"s.xml\" ToolButtons=\"bar\\tb.xml\">" + splash + "</System>";
    system["\\bar\\tb.xml"] = "<T><Buttons><b Kind=5 Caption=\"Next\"/></Buttons></T>";
    system["\\s.xml"] = "<S><i page=\"\\a.htm\"/></S>";
    return Open(system, {{"\\a.htm", Page(1)}}, show);
  }
};

TEST_F(SplashTest, PicturesGreetTheReaderAndHoldTheClose) {
  // Looked at before the loop runs again: the picture is there while start-up goes on. It is
  // borderless, on top, the picture's size and centred; a click takes it away.
  OpenWith("<splash SplashTypeS=\"vsSplash\" SplashTypeE=\"vsSplash\" Interval=10 CloseOnClick=True/>",
           {{"\\SplashS.bmp", Bitmap(120, 80)}, {"\\SplashE.bmp", Bitmap(90, 70)}}, false);
  TfrmSplash* start = VisibleSplash();
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->size(), QSize(120, 80));
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(start->pos(), QPoint((screen.width() - 120) / 2, (screen.height() - 80) / 2));
  EXPECT_TRUE(start->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(start->windowFlags() & Qt::WindowStaysOnTopHint);
  Form->show();
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(start, &press);
  EXPECT_TRUE(WaitFor([&] { return !VisibleSplash(); }));

  // The end picture holds the close until a click takes it away.
  bool clicked = WhenShown<TfrmSplash>([&] { Form->close(); }, [&](TfrmSplash& s) {
    EXPECT_EQ(s.size(), QSize(90, 70));
    EXPECT_TRUE(Form->isVisible());
    EXPECT_FALSE(Form->SplashIdle());
    QCoreApplication::sendEvent(&s, &press);
  });
  EXPECT_TRUE(clicked);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(Form->SplashIdle());
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("; ").toStdString();
}

TEST_F(SplashTest, SplashesGoByThemselvesAndNeverHoldTheCloseForEver) {
  // Interval 0 without CloseOnClick: each picture still goes by itself, after a second.
  OpenWith("<splash SplashTypeS=\"vsSplash\" SplashTypeE=\"vsSplash\" Interval=0/>",
           {{"\\SplashS.bmp", Bitmap(40, 40)}, {"\\SplashE.bmp", Bitmap(50, 50)}}, false);
  ASSERT_NE(VisibleSplash(), nullptr);
  Form->show();
  EXPECT_TRUE(WaitFor([&] { return !VisibleSplash(); }));
  Form->close();
  EXPECT_FALSE(Form->isVisible());
  EXPECT_EQ(VisibleSplash(), nullptr);

  // A damaged picture: no window, no message, the book closes at once.
  OpenWith("<splash SplashTypeS=\"vsSplash\" SplashTypeE=\"vsSplash\"/>",
           {{"\\SplashS.bmp", "not a bitmap"}, {"\\SplashE.bmp", "BM not a bitmap either"}});
  EXPECT_EQ(VisibleSplash(), nullptr);
  Form->close();
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("; ").toStdString();
}

TEST_F(SplashTest, PopUpsShowTheirTextAtStartAndClose) {
  OpenWith("<splash SplashTypeS=\"vsPopUp\" SplashTypeE=\"vsPopUp\" PopUpTextS=\"Welcome,\nreader\" PopUpTextE=\"\"/>", {});
  EXPECT_EQ(Messages, QStringList{"Information: Welcome,\nreader"});
  Form->close();
  EXPECT_EQ(Messages, (QStringList{"Information: Welcome,\nreader", "Information: "}));
  EXPECT_FALSE(Form->isVisible());
}

}  // namespace

namespace {

// The forms file as the list reads it, without windows.
TEST(UserFormsFile, DescriptionsPathsAndDefaults) {
  TMFS image;
  image.Session()->ForceFolders("\\forms");
  image.Session()->ChangeFolder("\\forms");
  const std::string text =
      "<F><form Name=\"Plain\"/><FORM Path=\"a/b.htm\" Sizeable=True Width=300/>"
      "<Form Name=\"Bare\" HideBorder=True Sizable=True Maximize=True/><Form Name=\"Up\" Path=\"..\\Forms\\About.html\"/>"
      "<Other Name=\"Ignored\"/></F>";
  TUserForms forms(image.Session(), &text);
  EXPECT_EQ(forms.Count(), 4);
  const TUserForm* plain = forms.FindForm("PLAIN");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->Path, "\\forms\\");  // no Path: the forms file's folder, which is not served
  EXPECT_EQ(plain->BorderStyle, bsSingle);
  EXPECT_EQ(plain->BorderIcons, 0);
  EXPECT_EQ(plain->Width, -1);
  const TUserForm* unnamed = forms.FindForm("");
  ASSERT_NE(unnamed, nullptr);
  EXPECT_EQ(unnamed->Path, "\\forms\\a\\b.htm");
  EXPECT_EQ(unnamed->BorderStyle, bsSingle);  // "Sizeable" is not "Sizable"
  EXPECT_EQ(unnamed->Width, 300);
  EXPECT_EQ(unnamed->Height, -1);
  EXPECT_EQ(forms.FindForm("bare")->BorderStyle, bsNone);
  EXPECT_EQ(forms.FindForm("bare")->BorderIcons, biMaximize);
  EXPECT_EQ(forms.FindForm("up")->Path, "\\Forms\\About.html");
  EXPECT_EQ(forms.FindForm("Ignored"), nullptr);
  EXPECT_EQ(TUserForms(nullptr, nullptr).Count(), 0);
  const std::string none = "<F><Page Name=\"x\"/></F>";
  EXPECT_EQ(TUserForms(image.Session(), &none).Count(), 0);
  // Blanks are an empty list; bytes the reader stops at before any element are junk.
  const std::string blank = " \r\n\t";
  EXPECT_EQ(TUserForms(image.Session(), &blank).Count(), 0);
  const std::string junk = std::string("\n") + '\0' + "\x01<Form Name=\"x\"/>";
  try {
    TUserForms forms(image.Session(), &junk);
    ADD_FAILURE() << "junk accepted";
  } catch (const EUserFormsError& e) {
    EXPECT_EQ(e.Message(), "Element expected on line 2");
  }
}

}  // namespace
