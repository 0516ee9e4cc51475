// The browser control every window of the viewer embeds: Qt WebEngine's view with the
// operations the viewer relies on (navigation, location, ready state, history, commands, the
// document's elements, HTML text) and the host hooks a window decides through events. A hook
// without a handler gives its default answer. docs/browser-control.md maps each hook and option
// onto the engine.
#pragma once

#include <QPointer>
#include <QUrl>
#include <QVariant>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QKeyEvent;
class QWebEngineProfile;
class QPrinter;

// Chooses where the print command prints: unset, the system's default printer. Scripted runs
// and tests print to a file through the same path.
using TPrinterSetup = std::function<void(QPrinter& printer)>;

// A script the viewer adds to pages, in the page's own world.
QWebEngineScript PageScript(const char* name, QWebEngineScript::InjectionPoint point, bool subFrames, const QString& source);
void SetPrinterSetup(TPrinterSetup setup);

using THostResult = std::int32_t;
inline constexpr THostResult HOST_S_OK = 0;
inline constexpr THostResult HOST_S_FALSE = 1;

// Download-control options (values of the published DLCTL_ constants).
enum TDownloadControlOption : std::uint32_t {
  DLCTL_DLIMAGES = 0x10, DLCTL_VIDEOS = 0x20, DLCTL_BGSOUNDS = 0x40, DLCTL_NO_SCRIPTS = 0x80,
  DLCTL_NO_JAVA = 0x100, DLCTL_NO_RUNACTIVEXCTLS = 0x200, DLCTL_NO_DLACTIVEXCTLS = 0x400,
  DLCTL_DOWNLOADONLY = 0x800, DLCTL_NO_FRAMEDOWNLOAD = 0x1000, DLCTL_RESYNCHRONIZE = 0x2000,
  DLCTL_PRAGMA_NO_CACHE = 0x4000, DLCTL_NO_BEHAVIORS = 0x8000, DLCTL_NO_METACHARSET = 0x10000,
  DLCTL_URL_ENCODING_DISABLE_UTF8 = 0x20000, DLCTL_URL_ENCODING_ENABLE_UTF8 = 0x40000,
  DLCTL_FORCEOFFLINE = 0x10000000, DLCTL_NO_CLIENTPULL = 0x20000000, DLCTL_SILENT = 0x40000000,
  DLCTL_OFFLINE = 0x80000000,
};

// User-interface options (values of the published DOCHOSTUIFLAG_ constants).
enum TUserInterfaceOption : std::uint32_t {
  DOCHOSTUIFLAG_DIALOG = 0x1, DOCHOSTUIFLAG_DISABLE_HELP_MENU = 0x2, DOCHOSTUIFLAG_NO3DBORDER = 0x4,
  DOCHOSTUIFLAG_SCROLL_NO = 0x8, DOCHOSTUIFLAG_DISABLE_SCRIPT_INACTIVE = 0x10, DOCHOSTUIFLAG_OPENNEWWIN = 0x20,
  DOCHOSTUIFLAG_DISABLE_OFFSCREEN = 0x40, DOCHOSTUIFLAG_FLAT_SCROLLBAR = 0x80, DOCHOSTUIFLAG_DIV_BLOCKDEFAULT = 0x100,
  DOCHOSTUIFLAG_ACTIVATE_CLIENTHIT_ONLY = 0x200, DOCHOSTUIFLAG_OVERRIDEBEHAVIORFACTORY = 0x400,
  DOCHOSTUIFLAG_CODEPAGELINKEDFONTS = 0x800, DOCHOSTUIFLAG_URL_ENCODING_DISABLE_UTF8 = 0x1000,
  DOCHOSTUIFLAG_URL_ENCODING_ENABLE_UTF8 = 0x2000, DOCHOSTUIFLAG_ENABLE_FORMS_AUTOCOMPLETE = 0x4000,
  DOCHOSTUIFLAG_ENABLE_INPLACE_NAVIGATION = 0x10000, DOCHOSTUIFLAG_IME_ENABLE_RECONVERSION = 0x20000,
  DOCHOSTUIFLAG_THEME = 0x40000, DOCHOSTUIFLAG_NOTHEME = 0x80000, DOCHOSTUIFLAG_NOPICS = 0x100000,
  DOCHOSTUIFLAG_NO3DOUTERBORDER = 0x200000,
};

// The execute-command operations the viewer uses.
enum TBrowserCommand : int { cmdPrint = 6, cmdPrintPreview = 7, cmdCopy = 12, cmdZoom = 19, cmdRefresh = 22 };

// Ready states: uninitialised, loading, loaded, interactive, complete.
enum TReadyState : int { rsUninitialized = 0, rsLoading = 1, rsLoaded = 2, rsInteractive = 3, rsComplete = 4 };

class TMXWebBrowser;

// The page of a TMXWebBrowser: script dialogs and window closing reach the control's hooks.
class TMXWebPage : public QWebEnginePage {
  Q_OBJECT
public:
  TMXWebPage(TMXWebBrowser* browser, QWebEngineProfile* profile);

protected:
  void javaScriptAlert(const QUrl& securityOrigin, const QString& msg) override;
  bool javaScriptPrompt(const QUrl& securityOrigin, const QString& msg, const QString& defaultValue,
                        QString* result) override;
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int lineNumber,
                                const QString& sourceID) override;

private:
  TMXWebBrowser* FBrowser;
};

class TMXWebBrowser : public QWebEngineView {
  Q_OBJECT
public:
  using TCloseQueryEvent = std::function<void(TMXWebBrowser& sender, bool& canClose)>;
  using TShowContextMenuEvent = std::function<THostResult(std::uint32_t dwID, const QPoint& pt)>;
  using TTranslateAcceleratorEvent = std::function<THostResult(const QKeyEvent& key)>;
  using TShowMessageEvent = std::function<THostResult(const QString& text, const QString& caption, std::int32_t& result)>;
  using TTranslateUrlEvent = std::function<THostResult(const QUrl& urlIn, QUrl& urlOut)>;
  // Answers a page script's synchronous call on window.external: the request text in, the
  // answer out. Without a handler (or when it answers S_FALSE) the page has no window.external.
  using TExternalCall = std::function<QString(const QString& request)>;
  using TGetExternalEvent = std::function<THostResult(TExternalCall& external)>;

  // Pages load in the profile given (the default profile when none).
  explicit TMXWebBrowser(QWidget* parent = nullptr, QWebEngineProfile* profile = nullptr);
  ~TMXWebBrowser() override;

  // Options as the sums of their flag values.
  std::uint32_t DownloadControlFlags() const { return FDownloadControlFlags; }
  void SetDownloadOptions(std::uint32_t flags);
  std::uint32_t HostUIFlags() const { return FHostUIFlags; }
  void SetUserInterfaceOptions(std::uint32_t flags);

  // Navigation. Book URLs ("mfs:\a.htm") are put in the engine's canonical form first.
  void Navigate(const std::string& url);
  void Navigate(const QUrl& url);
  QUrl LocationURL() const { return url(); }
  TReadyState ReadyState() const { return FReadyState; }
  // Processes events until the ready state reaches interactive, or the time runs out, or the
  // waits are cancelled.
  bool WaitUntilReady(int timeoutMs = 30000);
  // Ends every wait of this control, now and later: its window is closing, and a caller waiting
  // on it must return to let the close complete.
  void CancelWaits() { FWaitsCancelled = true; }
  bool WaitsCancelled() const { return FWaitsCancelled; }
  bool GoBack();
  bool GoForward();
  void GoHome();
  QUrl HomeURL = QUrl("about:blank");

  // Zoom takes 0 to 4 (smallest to largest text). Print prints at once, without a dialog, and
  // returns when the printer has the document; print preview shows the preview dialog. Returns
  // false when the command failed.
  bool ExecCommand(int command, int input = 0, bool dontPrompt = true);
  int ZoomStep() const { return FZoomStep; }

  // The document's elements in document order (tag name, id and, when asked, inner HTML of
  // each), delivered asynchronously. Read apart from the page's scripts, so that a page cannot
  // change what the viewer sees.
  void AllElements(const std::function<void(const QVariantList& elements)>& callback, bool innerHTML = true);
  // The same for the elements of one tag name whose id ends with the suffix (letter case
  // ignored): a page of millions of elements hands over only those, not a list of millions.
  void ElementsWithIdSuffix(const QString& tagName, const QString& idSuffix,
                            const std::function<void(const QVariantList& elements)>& callback, bool innerHTML = true);
  // Shows HTML text with base mfs:/ and waits until it is loaded.
  bool LoadHTMLText(const QByteArray& html, int timeoutMs = 30000);
  // A page whose renderer died (a crash, a script that ate all memory) leaves a dead view: this
  // shows what happened and a way back, as a browser does.
  void ShowStoppedPage();

  TCloseQueryEvent OnCloseQuery;
  TShowContextMenuEvent OnShowContextMenu;
  TTranslateAcceleratorEvent OnTranslateAccelerator;
  TShowMessageEvent OnShowMessage;
  TTranslateUrlEvent OnTranslateUrl;
  TGetExternalEvent OnGetExternal;
  // Asked before any frame navigates: false keeps the frame where it is.
  std::function<bool(const QUrl& url, QWebEnginePage::NavigationType type, bool isMainFrame)> OnNavigationRequest;

signals:
  void navigateComplete(const QUrl& url);
  void documentComplete(const QUrl& url);
  // The control granted a page's request to close its window.
  void closed();

protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void childEvent(QChildEvent* event) override;

private:
  friend class TMXWebPage;
  void PageCloseRequested();
  bool ExternalCall(const QString& request, QString* answer);
  void InstallExternalBridge();
  void InstallReadyStateReport();

  std::uint32_t FDownloadControlFlags = 0;
  std::uint32_t FHostUIFlags = 0;
  TReadyState FReadyState = rsUninitialized;
  int FZoomStep = 2;
  bool FWaitsCancelled = false;
  QUrl FHTMLTextURL;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};
