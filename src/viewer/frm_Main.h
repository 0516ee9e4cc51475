// The main window: start-up from the book's images, the main browser, the reader's commands,
// the keyboard filter and the rules that keep the story cursor in step with the browser.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "c_MXWebBrowser.h"
#include "obj_HostExternal.h"
#include "u_DisplayOptions.h"
#include "u_MFS.h"
#include "u_MFSInternetProtocol.h"
#include "u_SpaceXMLParser.h"
#include "u_Story.h"
#include "u_Variables.h"

class QMenu;
class QToolBar;
class QVBoxLayout;
class TToolbar;
class TUserForms;
class TBookReport;

// The content image being unpacked on a worker thread; nothing reaches the image before the
// worker is joined.
class TContentImageLoad {
public:
  // Calls f once the worker has finished: at once when it has, else on the worker's thread as
  // it finishes.
  void WhenFinished(std::function<void()> f);
  void Finished();  // the worker's last word, failed or not
  // Whether the worker has said its last word; joining it then waits no longer than it takes
  // to return.
  bool IsFinished();

private:
  // Declared before Done: they outlive the wait in Done's destruction.
  std::mutex FLock;
  bool FFinished = false;
  std::function<void()> FWhenFinished;

public:
  std::unique_ptr<TMFS> Image = std::make_unique<TMFS>();
  std::future<void> Done;
};
// Starts unpacking the content image: from the Cabinet given, or from the data block of a
// packed book (the running executable when none is named). The viewer starts it first thing, so
// that it overlaps all the rest of start-up.
std::shared_ptr<TContentImageLoad> StartContentImageLoad(std::optional<std::string> cab = std::nullopt,
                                                         std::string bookFile = {});

// Where the book's two Cabinets come from: the running executable's data blocks, or bytes
// given directly; or a content image whose unpacking has started already.
struct TBookSource {
  std::optional<std::string> SystemCab;
  std::optional<std::string> ContentCab;
  std::shared_ptr<TContentImageLoad> ContentLoad = nullptr;
  // The book file the Cabinets were read from, when not the running executable: a failure then
  // says what happened to it.
  std::string BookFile = {};
};

// Button kinds of the toolbar.
enum TButtonKind : std::uint8_t {
  bkSeparator = 0, bkBack, bkForward, bkFirst, bkPrior, bkNext, bkLast, bkPriorChapter, bkNextChapter,
  bkAbout, bkExit, bkFontSize, bkSearch, bkBookmarks, bkPrint, bkCopy, bkRefresh, bkHome,
};

class TfrmMain : public QMainWindow, public IHostViewer {
  Q_OBJECT
public:
  // Runs the whole start-up; a failure is shown and leaves CreateFailed set.
  // With a report, start-up is the author's check: no window is shown, and every failure is
  // reported there while start-up goes on as far as it can.
  explicit TfrmMain(TBookSource source = {}, TBookReport* report = nullptr);
  ~TfrmMain() override;

  bool CreateFailed() const { return FCreateFailed; }
  // The window has closed or is closing: a command that was waiting must not act any more.
  bool Closing() const { return FClosing; }
  // Asks for the story's first page; the window asks when first shown, unless asked already.
  // The viewer asks before showing it, so the engine loads while the window is mapped.
  void OpenFirstPage();
  // The rest of the author's check, after a start-up with a report: the content image, the
  // story's pages, the forms' pages, variable references and links.
  void CheckBook();
  TMXWebBrowser* webMain() const { return FwebMain; }
  THostExternal* HostObject() const { return FHostObject.get(); }
  int FontSize() const { return FFontSize; }
  QMenu* popFontSize() const { return FpopFontSize; }
  QToolBar* tbrMain() const;
  TToolbar& Toolbar() const { return *FToolbar; }
  const TToolbarOptions& ToolbarOptions() const { return FToolbarOptions; }
  const TSplashOptions* SplashOptions() const { return FSplashOptions.get(); }
  TVariables* Variables() const { return FVariables.get(); }
  TMFS* SystemImage() const { return FSystemImage.get(); }
  // The content image, once its worker is done; none when it failed.
  TMFS* ContentImage();
  TUserForms* UserForms() const { return FUserForms.get(); }
  bool SplashIdle() const { return FSplashIdle; }

  // IHostViewer
  TStory& Story() override { return *FStory; }
  void NavigateToCurrentPage() override;
  std::string GetCurrentPage() override;
  void SyncStoryWithBrowser() override;
  void PostCloseRequest() override;
  bool HasUserForm(const std::string& name) override;
  QUrl QueueUserForm(const std::string& name) override;
  TMXWebBrowser* WebBrowser() override { return FwebMain; }

  void ApplyFontSize(int level);
  // Waits for the content image's worker; a failure ends the viewer as a failed start-up.
  bool JoinContentImage();
  // Expands the variables in a served file; name is the file, for the message of one that would
  // grow beyond the limit.
  void ExpandVariablesFilter(std::string& content, const std::string& name = {});

  // The command dispatcher for a toolbar button (its "tag" property is its position).
  void ToolButtonClick(QObject* sender);
  void mnuFS_Click(QObject* sender);
  void mnuSearchClick();
  // Shows a page the search found, its text highlighted once the page is there.
  void ShowFoundPage(const std::string& page, const QString& highlight);
  void imgLogoClick();
  // Longest wait for the page to become interactive before a command runs.
  int ReadyTimeoutMs = 10000;

signals:
  // Start-up failed after the window was shown (the content image could not be read).
  void startUpFailed();

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

private:
  void StartUp(TBookSource& source);
  // Runs one step of the start-up: for a reader a failure stops it, for the check it is
  // reported and start-up goes on without what the step would have made.
  template <class F>
  bool Step(const std::string& file, F&& step, const std::function<std::int32_t(const Exception&)>& lineOf = {});
  void ApplyToolbarOptions();
  void FormDestroy();
  std::string SystemFileText(const std::string& name, bool& exists);
  TXMLValue SystemKey(const char* name, const TXMLValue& def) const;
  // Keys of System.xml; a value that does not convert names its key.
  std::string SystemText(const char* name) const;
  std::int32_t SystemInteger(const char* name, std::int32_t def) const;
  bool SystemBoolean(const char* name, bool def) const;
  template <class T, class F>
  T SystemValue(const char* name, T def, F&& read) const;
  void Act(std::uint8_t kind);
  void ApplyOuterSize();
  void ShowStoppedPage();
  void StartUpFailedLate(const QString& message);
  // A close granted while commands wait in nested loops (the ready wait, a modal window, the
  // print preview): every such loop is ended, and the callers return before the window goes.
  void EndNestedLoops();
  void Exec(int command);
  bool webMain2ShowContextMenu();
  void webMain2DocumentComplete();

  TBookReport* FReport = nullptr;
  bool FVariablesFailed = false;
  bool FSystemDescriptionFailed = false;
  std::string FStoryFile, FFormsFile, FToolButtonsFile, FVariablesFile;
  bool FCreateFailed = false;
  bool FCreated = false;
  bool FShown = false;
  bool FFirstPageAsked = false;
  QSize FOuterSize;
  bool FFixedSize = false;
  bool FOuterSizeApplied = false;
  int FFontSize = 2;
  bool FClosing = false;
  std::unique_ptr<TMFS> FContentImage;
  std::future<void> FContentLoad;
  std::shared_ptr<TContentImageLoad> FContentLoadState;
  std::unique_ptr<TMFS> FSystemImage;
  std::unique_ptr<THostExternal> FHostObject;
  std::unique_ptr<TMFSInternetProtocol> FContentProtocol;
  std::unique_ptr<TMFSInternetProtocol> FSystemProtocol;
  std::unique_ptr<TStory> FStory;
  std::unique_ptr<TXMLParser> FSystemDescription;
  std::unique_ptr<TVariables> FVariables;
  std::unique_ptr<TUserForms> FUserForms;
  std::unique_ptr<TSplashOptions> FSplashOptions;
  bool FSplashIdle = true;
  TToolbarOptions FToolbarOptions;
  QPointer<TMXWebBrowser> FwebMain;
  TToolbar* FToolbar = nullptr;
  QVBoxLayout* FClientLayout = nullptr;
  QMenu* FpopFontSize = nullptr;
  QString FPendingHighlight;
};

// The one main window of the process, or none.
TfrmMain* MainForm();
