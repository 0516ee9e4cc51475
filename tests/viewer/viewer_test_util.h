// A main window started on a book made in the test, on the real engine; message boxes and the
// desktop's "open" are caught instead of shown.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QKeyEvent>
#include <QList>
#include <QPointer>
#include <QUrl>
#include <QWindow>
#include <functional>
#include <map>
#include <ostream>
#include <memory>
#include <string>

#include "frm_Main.h"
#include "host/gui_test_util.h"
#include "mfs/cab_test_util.h"
#include "u_CabWriter.h"
#include "u_CodePage.h"
#include "u_Dialogs.h"
#include "u_InternetProtocolEngine.h"
#include "u_Toolbar.h"

// Readable QStrings in the test's failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE

namespace viewer_test {

using TFiles = std::map<std::string, std::string>;

inline std::string CabOf(const TFiles& files) {
  TMFS mfs;
  for (const auto& [path, data] : files) {
    mfs.Session()->ForceFolders(TMFS::ExtractFilePath(path).empty() ? "\\" : TMFS::ExtractFilePath(path));
    mfs.Session()->CreateFile(path, 0, false)->Data = data;
  }
  return BuildCabinet({{"info.mfs", mfs.SaveToString(), DosDateTimeNow(), 0x20}});
}

inline std::string Page(int n, const std::string& extra = "") {
  return "<html><body><p id=t>Page " + std::to_string(n) + "</p>" + extra + "</body></html>";
}

// Receives what the viewer hands to the desktop to open.
class UrlCatcher : public QObject {
  Q_OBJECT
public:
  QList<QUrl> Opened;
public slots:
  void open(const QUrl& url) { Opened << url; }
};

// Runs steps once a window of type W is up, from inside whatever loop runs then (a modal
// window's own, the end splash's wait), and closes it if it is a dialog the steps left open.
// start() may show the window itself or cause it to be shown later.
template <class W>
bool WhenShown(const std::function<void()>& start, const std::function<void(W&)>& steps) {
  bool ran = false;
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* window = qobject_cast<W*>(w);
      if (!window || !window->isVisible()) continue;
      poll.stop();
      QPointer<QWidget> alive(w);  // a window deleted on close may go during the steps
      steps(*window);
      if (auto* dialog = qobject_cast<QDialog*>(alive.data()); dialog && dialog->isVisible()) dialog->reject();
      ran = true;
      return;
    }
  });
  poll.start();
  start();
  return gui_test::WaitFor([&] { return ran; });
}

class ViewerFixture : public ::testing::Test {
protected:
  void SetUp() override {
    SetBookCodePage(1252);
    if (!TEngineURLLayer::Instance()) FLayer = std::make_unique<TEngineURLLayer>();
    SetApplicationTitle("Quirelle Viewer");
    SetMessageHandler([this](QWidget*, const QString&, const QString& text) { Messages << text; });
  }
  void TearDown() override {
    Form.reset();
    SetMessageHandler(nullptr);
  }

  // Starts a viewer on the book and waits until its first page (a book page) has loaded.
  TfrmMain& Open(const TFiles& system, const TFiles& content, bool show = true) {
    TBookSource source{CabOf(system), CabOf(content)};
    Form.reset();  // one viewer at a time: each registers the book's schemes
    Form = std::make_unique<TfrmMain>(std::move(source));
    if (show && Form->CreateFailed()) ADD_FAILURE() << "start-up failed: " << Messages.join("; ").toStdString();
    if (show && !Form->CreateFailed()) {
      bool loaded = false;
      auto c = QObject::connect(Form->webMain(), &TMXWebBrowser::documentComplete,
                                [&](const QUrl& url) { loaded = loaded || url.scheme() == "mfs"; });
      Form->show();
      EXPECT_TRUE(gui_test::WaitFor([&] { return loaded; }));
      QObject::disconnect(c);
    }
    return *Form;
  }
  // Runs an action that loads a document and waits until the load completed and the page shows
  // `page` (the text of its element t).
  bool Loads(const std::function<void()>& action, const QString& page) {
    bool loaded = false;
    auto c = QObject::connect(Form->webMain(), &TMXWebBrowser::documentComplete, [&](const QUrl&) { loaded = true; });
    action();
    const bool ok = gui_test::WaitFor([&] { return loaded && Shown() == page; });
    QObject::disconnect(c);
    return ok;
  }
  // The toolbar button at that position.
  QAbstractButton* Button(int tag) {
    return qobject_cast<QAbstractButton*>(Form->Toolbar().Buttons().at(static_cast<std::size_t>(tag)));
  }
  // Clicks the toolbar button at that position and waits for the page to settle: a click that
  // loads a page, until that page has loaded, however busy the machine; one that loads nothing
  // (the end of the story, a command) has a moment to start a load.
  void Click(int tag) {
    bool started = false, done = false;
    auto start = QObject::connect(Form->webMain(), &QWebEngineView::loadStarted, [&] {
      started = true;
      done = false;
    });
    auto complete = QObject::connect(Form->webMain(), &TMXWebBrowser::documentComplete, [&](const QUrl&) { done = started; });
    Button(tag)->click();
    if (gui_test::WaitFor([&] { return started; }, 1500)) gui_test::WaitFor([&] { return done; });
    gui_test::WaitFor([&] { return Form->webMain()->ReadyState() >= rsComplete; });
    QObject::disconnect(start);
    QObject::disconnect(complete);
  }
  QString Shown() {
    return gui_test::Eval(*Form->webMain(), "document.getElementById('t') ? document.getElementById('t').textContent : ''").toString();
  }
  QString Run(const QString& script) { return gui_test::Eval(*Form->webMain(), script).toString(); }
  // A key as the window system delivers it: to the active window, which hands it on.
  void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* window = QApplication::activeWindow() ? QApplication::activeWindow() : Form.get();
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QCoreApplication::sendEvent(window->windowHandle(), &press);
    QCoreApplication::sendEvent(window->windowHandle(), &release);
  }

  std::unique_ptr<TEngineURLLayer> FLayer;
  std::unique_ptr<TfrmMain> Form;
  QStringList Messages;
};

}  // namespace viewer_test
