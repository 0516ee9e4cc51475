#include "c_MXWebBrowser.h"

#include <QChildEvent>
#include <QCoreApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QPaintEngine>
#include <QMenu>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTimer>
#include <QWebEngineHistory>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>

#include "u_InternetProtocolEngine.h"

namespace {

TPrinterSetup GPrinterSetup;

// Where the engine must draw a sheet as a picture (a printer), finer than 600 dpi only makes
// the job larger: text stays sharp at 600.
void LimitResolution(QPrinter& printer) {
  if (printer.resolution() > 600 && !printer.paintingActive()) printer.setResolution(600);
}

// Zoom steps 0..4, smallest to largest text.
const double ZoomFactors[] = {0.6, 0.8, 1.0, 1.25, 1.5};

const QString BridgeMarker = QStringLiteral("\x01quirelle-external\x01");
// Said by a script of our own, apart from the page's, once the document can be used.
const QString InteractiveMarker = QStringLiteral("\x01quirelle-interactive\x01");

// window.external for page scripts, answered synchronously through a prompt the host catches.
// Reading a member asks the host what it is: a value comes back at once, an object becomes a
// further proxy, a method a function whose call goes to the host; failures become exceptions.
const char* const BridgeScript = R"JS(
(function () {
  var marker = '\u0001quirelle-external\u0001';
  function ask(request) {
    var answer = window.prompt(marker + JSON.stringify(request), '');
    if (answer === null || answer === undefined) return { kind: 'none' };
    answer = JSON.parse(answer);
    if (answer.error !== undefined) throw new Error(answer.error);
    return answer;
  }
  function member(path) {
    var a = ask({ op: 'get', path: path });
    if (a.kind === 'object') return node(path);
    if (a.kind === 'method') return function () {
      var r = ask({ op: 'call', path: path, args: Array.prototype.slice.call(arguments) });
      // The call goes on in the viewer (a form being shown): wait for its end in a request the
      // viewer answers then, which holds this page's script but not the viewer.
      if (r.wait) {
        try {
          var x = new XMLHttpRequest();
          x.open('GET', r.wait, false);
          x.send();
        } catch (e) {}
      }
      return unwrap(r, path);
    };
    return a.value;
  }
  function unwrap(a, path) { return a.kind === 'object' ? node(a.path || path) : a.value; }
  var nodes = {};
  // One proxy per member path, so that the same object compares equal to itself.
  function node(path) {
    var key = JSON.stringify(path);
    if (nodes[key] === undefined) nodes[key] = makeNode(path);
    return nodes[key];
  }
  function makeNode(path) {
    return new Proxy({}, {
      get: function (t, name) {
        if (typeof name !== 'string' || name === 'then' || name === 'toJSON') return undefined;
        return member(path.concat([name]));
      },
      set: function (t, name, value) { ask({ op: 'set', path: path.concat([name]), value: value }); return true; },
      has: function () { return true; }
    });
  }
  var root;
  // A refusal is not remembered: the host may not have been ready for this document yet.
  Object.defineProperty(window, 'external', {
    configurable: false,
    get: function () {
      if (root === undefined && ask({ op: 'hello' }).kind === 'object') root = node([]);
      return root;
    }
  });
})();
)JS";

}  // namespace

// ---------------------------------------------------------------- TMXWebPage

TMXWebPage::TMXWebPage(TMXWebBrowser* browser, QWebEngineProfile* profile)
    : QWebEnginePage(profile ? profile : QWebEngineProfile::defaultProfile(), browser), FBrowser(browser) {
  connect(this, &QWebEnginePage::windowCloseRequested, browser, [browser] { browser->PageCloseRequested(); });
}

void TMXWebPage::javaScriptAlert(const QUrl& securityOrigin, const QString& msg) {
  std::int32_t result = 0;
  if (FBrowser->OnShowMessage && FBrowser->OnShowMessage(msg, title(), result) == HOST_S_OK) return;
  QWebEnginePage::javaScriptAlert(securityOrigin, msg);
}

bool TMXWebPage::javaScriptPrompt(const QUrl& securityOrigin, const QString& msg, const QString& defaultValue,
                                  QString* result) {
  if (msg.startsWith(BridgeMarker)) {
    // Only documents whose own origin is the book's get window.external: a web page, a frame of
    // one, and any frame with an opaque origin (data:, sandboxed) must neither close the viewer
    // nor drive the book. about:blank and srcdoc frames of a book page inherit its origin.
    const QString scheme = securityOrigin.scheme();
    if (scheme.isEmpty() || !InternetProtocolSession().FindProtocol(scheme.toStdString())) {
      *result = QStringLiteral("{\"kind\":\"none\"}");
      return true;
    }
    return FBrowser->ExternalCall(msg.mid(BridgeMarker.size()), result);
  }
  return QWebEnginePage::javaScriptPrompt(securityOrigin, msg, defaultValue, result);
}

void TMXWebPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int lineNumber,
                                          const QString& sourceID) {
  if (message == InteractiveMarker) {
    // The document reached "interactive" before its pictures and frames finished loading.
    if (FBrowser->FReadyState < rsInteractive) FBrowser->FReadyState = rsInteractive;
    return;
  }
  QWebEnginePage::javaScriptConsoleMessage(level, message, lineNumber, sourceID);
}

bool TMXWebPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
  if (FBrowser->OnNavigationRequest && !FBrowser->OnNavigationRequest(url, type, isMainFrame)) return false;
  if (FBrowser->OnTranslateUrl && isMainFrame) {
    QUrl translated = url;
    if (FBrowser->OnTranslateUrl(url, translated) == HOST_S_OK && translated != url) {
      QTimer::singleShot(0, FBrowser, [b = QPointer<TMXWebBrowser>(FBrowser), translated] {
        if (b) b->Navigate(translated);
      });
      return false;
    }
  }
  return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
}

// ---------------------------------------------------------------- TMXWebBrowser

TMXWebBrowser::TMXWebBrowser(QWidget* parent, QWebEngineProfile* profile) : QWebEngineView(parent) {
  setPage(new TMXWebPage(this, profile));
  connect(this, &QWebEngineView::loadStarted, this, [this] { FReadyState = rsLoading; });
  connect(this, &QWebEngineView::urlChanged, this, [this](const QUrl& u) { emit navigateComplete(u); });
  connect(this, &QWebEngineView::loadFinished, this, [this](bool) {
    FReadyState = rsComplete;
    if (!FHTMLTextURL.isEmpty() && url() != FHTMLTextURL && TEngineURLLayer::Instance()) {
      TEngineURLLayer::Instance()->RemoveHTMLText(FHTMLTextURL);
      FHTMLTextURL.clear();
    }
    emit documentComplete(url());
  });
  InstallExternalBridge();
  InstallReadyStateReport();
  SetDownloadOptions(DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS);
  SetUserInterfaceOptions(0);
}

TMXWebBrowser::~TMXWebBrowser() {
  *FAlive = false;
  if (!FHTMLTextURL.isEmpty() && TEngineURLLayer::Instance()) TEngineURLLayer::Instance()->RemoveHTMLText(FHTMLTextURL);
}

QWebEngineScript PageScript(const char* name, QWebEngineScript::InjectionPoint point, bool subFrames, const QString& source) {
  QWebEngineScript script;
  script.setName(QString::fromLatin1(name));
  script.setInjectionPoint(point);
  script.setWorldId(QWebEngineScript::MainWorld);
  script.setRunsOnSubFrames(subFrames);
  script.setSourceCode(source);
  return script;
}

void TMXWebBrowser::InstallExternalBridge() {
  page()->scripts().insert(PageScript("quirelle-external", QWebEngineScript::DocumentCreation, true, QString::fromUtf8(BridgeScript)));
}

void TMXWebBrowser::InstallReadyStateReport() {
  // In the page's own world: the engine reports console messages of that world only. A page that
  // says the same early only makes commands act on it sooner.
  page()->scripts().insert(PageScript("quirelle-ready-state", QWebEngineScript::DocumentReady, false,
                                      QStringLiteral("console.log('\\u0001quirelle-interactive\\u0001');")));
}

bool TMXWebBrowser::ExternalCall(const QString& request, QString* answer) {
  TExternalCall external;
  if (!OnGetExternal || OnGetExternal(external) != HOST_S_OK || !external) {
    *answer = QStringLiteral("{\"kind\":\"none\"}");
    return true;
  }
  *answer = external(request);
  return true;
}

void TMXWebBrowser::SetDownloadOptions(std::uint32_t flags) {
  FDownloadControlFlags = flags;
  QWebEngineSettings* s = settings();
  s->setAttribute(QWebEngineSettings::AutoLoadImages,
                  (flags & DLCTL_DLIMAGES) != 0 && (FHostUIFlags & DOCHOSTUIFLAG_NOPICS) == 0);
  s->setAttribute(QWebEngineSettings::JavascriptEnabled, (flags & DLCTL_NO_SCRIPTS) == 0);
  s->setAttribute(QWebEngineSettings::PluginsEnabled, (flags & (DLCTL_NO_JAVA | DLCTL_NO_RUNACTIVEXCTLS)) == 0);
  s->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, (flags & (DLCTL_VIDEOS | DLCTL_BGSOUNDS)) == 0);
}

void TMXWebBrowser::SetUserInterfaceOptions(std::uint32_t flags) {
  FHostUIFlags = flags;
  settings()->setAttribute(QWebEngineSettings::ShowScrollBars, (flags & DOCHOSTUIFLAG_SCROLL_NO) == 0);
  SetDownloadOptions(FDownloadControlFlags);  // NOPICS works through the picture setting
}

void TMXWebBrowser::Navigate(const std::string& url) { Navigate(EngineURLOfBookURL(url)); }

void TMXWebBrowser::Navigate(const QUrl& target) {
  FReadyState = rsLoading;
  load(target);
}

bool TMXWebBrowser::WaitUntilReady(int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (FReadyState < rsInteractive && !FWaitsCancelled && timer.elapsed() < timeoutMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
  return FReadyState >= rsInteractive && !FWaitsCancelled;
}

bool TMXWebBrowser::GoBack() {
  if (!history()->canGoBack()) return false;
  back();
  return true;
}

bool TMXWebBrowser::GoForward() {
  if (!history()->canGoForward()) return false;
  forward();
  return true;
}

void TMXWebBrowser::GoHome() { Navigate(HomeURL); }

bool TMXWebBrowser::ExecCommand(int command, int input, bool dontPrompt) {
  switch (command) {
    case cmdZoom:
      if (input < 0 || input > 4) return false;
      FZoomStep = input;
      setZoomFactor(ZoomFactors[input]);
      return true;
    case cmdPrint: {
      (void)dontPrompt;  // printing never prompts here
      QPrinter printer(QPrinter::HighResolution);
      LimitResolution(printer);
      if (GPrinterSetup) GPrinterSetup(printer);
      else if (QPrinterInfo::defaultPrinter().isNull()) return false;  // nowhere to print
      // The printer must outlive the engine's work on it: wait for the end.
      bool finished = false;
      bool ok = false;
      QEventLoop wait;
      auto done = [&](bool success) {
        finished = true;
        ok = success;
        wait.quit();
      };
      QMetaObject::Connection c;
      if (printer.outputFormat() == QPrinter::PdfFormat && !printer.outputFileName().isEmpty()) {
        // A file: the engine writes the PDF itself, text and pictures as they are, where
        // printing through the printer would turn each sheet into one picture.
        c = connect(page(), &QWebEnginePage::pdfPrintingFinished, &wait, [&](const QString&, bool success) { done(success); });
        page()->printToPdf(printer.outputFileName(), printer.pageLayout());
      } else {
        c = connect(this, &QWebEngineView::printFinished, &wait, done);
        print(&printer);
      }
      if (!finished) wait.exec();
      while (!finished) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
      disconnect(c);
      return ok;
    }
    case cmdPrintPreview: {
      QPrinter printer(QPrinter::HighResolution);
      LimitResolution(printer);
      QPrintPreviewDialog preview(&printer, this);
      connect(&preview, &QPrintPreviewDialog::paintRequested, this, [this](QPrinter* p) {
        // The engine paints into the printer when its data comes: the printer, owned by this
        // frame, must not go before. A quitting application ends every loop at once, so the
        // wait goes on by hand until the engine is done with it.
        bool finished = false;
        QEventLoop wait;
        QMetaObject::Connection c;
        if (p->paintEngine() && p->paintEngine()->type() == QPaintEngine::Pdf && !p->outputFileName().isEmpty()) {
          // Printed from the preview to a PDF file (the preview itself paints pictures of the
          // sheets): the engine writes the file, its text kept as text, with the page set-up's
          // paper and margins.
          c = connect(page(), &QWebEnginePage::pdfPrintingFinished, &wait, [&](const QString&, bool) {
            finished = true;
            wait.quit();
          });
          page()->printToPdf(p->outputFileName(), p->pageLayout());
        } else {
          LimitResolution(*p);
          c = connect(this, &QWebEngineView::printFinished, &wait, [&] {
            finished = true;
            wait.quit();
          });
          print(p);
        }
        if (!finished) wait.exec();
        while (!finished) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        disconnect(c);
      });
      preview.exec();
      return true;
    }
    case cmdCopy: triggerPageAction(QWebEnginePage::Copy); return true;
    case cmdRefresh: triggerPageAction(QWebEnginePage::Reload); return true;
    default: return false;
  }
}

void TMXWebBrowser::AllElements(const std::function<void(const QVariantList& elements)>& callback, bool innerHTML) {
  ElementsWithIdSuffix(QStringLiteral("*"), QString(), callback, innerHTML);
}

void TMXWebBrowser::ElementsWithIdSuffix(const QString& tagName, const QString& idSuffix,
                                         const std::function<void(const QVariantList& elements)>& callback, bool innerHTML) {
  // Names go in as JSON strings: nothing of them is read as script.
  const auto json = [](const QString& text) {
    return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
  };
  page()->runJavaScript(
      QStringLiteral("(function () { var suffix = %2.toLowerCase(); var out = [];"
                     " var all = document.getElementsByTagName(%1);"
                     " for (var i = 0; i < all.length; ++i) { var e = all[i]; var id = String(e.id);"
                     "  if (suffix && id.toLowerCase().slice(-suffix.length) !== suffix) continue;"
                     "  out.push({ tagName: String(e.tagName), id: id%3 }); }"
                     " return out; })()")
          .arg(json(tagName), json(idSuffix), innerHTML ? QStringLiteral(", innerHTML: e.innerHTML") : QString()),
      // The page answers pending calls when it goes, after this control is gone: drop them then.
      QWebEngineScript::ApplicationWorld, [callback, alive = FAlive](const QVariant& result) {
        if (*alive) callback(result.toList());
      });
}

void SetPrinterSetup(TPrinterSetup setup) { GPrinterSetup = std::move(setup); }

bool TMXWebBrowser::LoadHTMLText(const QByteArray& html, int timeoutMs) {
  TEngineURLLayer* layer = TEngineURLLayer::Instance();
  if (!layer) return false;
  if (!FHTMLTextURL.isEmpty()) layer->RemoveHTMLText(FHTMLTextURL);
  FHTMLTextURL = layer->AddHTMLText(html);
  Navigate(FHTMLTextURL);
  return WaitUntilReady(timeoutMs);
}

void TMXWebBrowser::PageCloseRequested() {
  bool canClose = true;
  if (OnCloseQuery) OnCloseQuery(*this, canClose);
  if (!canClose) return;
  close();
  emit closed();
}

void TMXWebBrowser::contextMenuEvent(QContextMenuEvent* event) {
  if (OnShowContextMenu && OnShowContextMenu(0, event->globalPos()) == HOST_S_OK) {
    event->accept();
    return;
  }
  // Only what works here: saving or showing the source would hand out the book's files, and
  // there are no new windows, downloads or developer tools.
  QMenu* menu = createStandardContextMenu();
  for (QWebEnginePage::WebAction dead :
       {QWebEnginePage::SavePage, QWebEnginePage::ViewSource, QWebEnginePage::OpenLinkInNewWindow, QWebEnginePage::OpenLinkInNewTab,
        QWebEnginePage::OpenLinkInNewBackgroundTab, QWebEnginePage::DownloadLinkToDisk, QWebEnginePage::DownloadImageToDisk,
        QWebEnginePage::DownloadMediaToDisk, QWebEnginePage::InspectElement})
    menu->removeAction(pageAction(dead));
  // No separator at either end or next to another.
  QAction* previous = nullptr;
  for (QAction* action : menu->actions()) {
    if (action->isSeparator() && (!previous || previous->isSeparator())) menu->removeAction(action);
    else previous = action;
  }
  if (previous && previous->isSeparator()) menu->removeAction(previous);
  if (menu->isEmpty()) {
    delete menu;
    return;
  }
  menu->setAttribute(Qt::WA_DeleteOnClose, true);
  menu->popup(event->globalPos());
}

void TMXWebBrowser::childEvent(QChildEvent* event) {
  // Keys reach the engine's render widget, a child created by the engine: watch it there.
  if (event->type() == QEvent::ChildAdded && event->child()->isWidgetType()) event->child()->installEventFilter(this);
  QWebEngineView::childEvent(event);
}

bool TMXWebBrowser::eventFilter(QObject* watched, QEvent* event) {
  if ((event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) && OnTranslateAccelerator &&
      OnTranslateAccelerator(*static_cast<QKeyEvent*>(event)) == HOST_S_OK) {
    event->accept();
    return true;
  }
  return QWebEngineView::eventFilter(watched, event);
}

void TMXWebBrowser::ShowStoppedPage() {
  const QString page = LocationURL().toString(QUrl::FullyEncoded).toHtmlEscaped();
  LoadHTMLText(QStringLiteral("<html><head><title>The page stopped</title></head><body style='font-family:sans-serif;margin:2em'>"
                              "<h2>This page stopped working</h2><p>The page could not go on and was closed.</p>"
                              "<p><a id=reload href='%1'>Show the page again</a></p></body></html>")
                   .arg(page)
                   .toUtf8());
}
