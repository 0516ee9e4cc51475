// The main window: start-up from the book's images, the main browser, the reader's commands,
// the keyboard filter and the rules that keep the story cursor in step with the browser.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "c_MXWebBrowser.h"
#include "obj_HostExternal.h"
#include "u_Book.h"
#include "u_MFSInternetProtocol.h"

class QKeyEvent;
class QMenu;
class QToolBar;
class QVBoxLayout;
class TBookServing;
class TToolbar;
class TContentsPane;

class TfrmMain : public QMainWindow, public IHostViewer {
  Q_OBJECT
public:
  // Runs the whole start-up; a failure is shown and leaves CreateFailed set. Without splashes,
  // neither splash screen is shown (a book shown again after an edit).
  explicit TfrmMain(TBookSource source = {}, bool splashes = true);
  ~TfrmMain() override;

  bool CreateFailed() const { return FCreateFailed; }
  // A late start-up failure not yet shown to the reader: shown now (and startUpFailed emitted).
  // The viewer calls it once its loop has ended, whatever ended it first.
  bool ReportPendingFailure();
  // Start-up was given up by the reader (Escape while the pictures were drawn): no message.
  bool Cancelled() const { return FCancelled; }
  // The window has closed or is closing: a command that was waiting must not act any more.
  bool Closing() const { return FClosing; }
  // Asks for the story's first page; the window asks when first shown, unless asked already.
  // The viewer asks before showing it, so the engine loads while the window is mapped.
  void OpenFirstPage();
  TMXWebBrowser* webMain() const { return FwebMain; }
  THostExternal* HostObject() const { return FHostObject.get(); }
  int FontSize() const { return FFontSize; }
  QMenu* popFontSize() const { return FpopFontSize; }
  QToolBar* tbrMain() const;
  TToolbar& Toolbar() const { return *FToolbar; }
  TContentsPane* ContentsPane() const { return FContentsPane; }
  // The book, once start-up has read it; none after a failed start-up.
  TBook* Book() const { return FBook.get(); }
  TVariables* Variables() const { return FBook ? FBook->Variables() : nullptr; }
  TMFS* SystemImage() const { return FBook ? &FBook->SystemImage() : nullptr; }
  // The content image, once its worker is done; none when it failed.
  TMFS* ContentImage();
  TUserForms* UserForms() const { return FBook ? FBook->UserForms() : nullptr; }
  bool SplashIdle() const { return FSplashIdle; }

  // IHostViewer
  TStory& Story() override { return *FBook->Story(); }
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

  // The command dispatcher for a toolbar button (its "tag" property is its position).
  void ToolButtonClick(QObject* sender);
  void mnuFS_Click(QObject* sender);
  void mnuSearchClick();
  // Shows a page the search found, its text highlighted once the page is there.
  void ShowFoundPage(const std::string& page, const QString& highlight);
  void imgLogoClick();
  // What F5 does, before any button's key: reading the book again, in the folder mode.
  std::function<void()> OnReloadKey;
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
  void ApplyTitles();
  void ApplyToolbarOptions();
  void BuildToolbar();
  void ApplyWindowKeys();
  void ConnectBrowser();
  void MakeCommands();
  // The usual keys of the commands the toolbar offers, and F9 for the contents pane; true when
  // the key was one of them.
  bool CommandKey(const QKeyEvent& key);
  void FormDestroy();
  void Act(std::uint8_t kind);
  void ApplyOuterSize();
  void StartUpFailedLate(const QString& message);
  // A close granted while commands wait in nested loops (the ready wait, a modal window, the
  // print preview): every such loop is ended, and the callers return before the window goes.
  void EndNestedLoops();
  void Exec(int command);
  bool webMain2ShowContextMenu();
  void webMain2DocumentComplete();

  bool FSplashes;
  bool FCreateFailed = false;
  QString FPendingFailure;
  bool FCancelled = false;
  bool FStartingUp = false;
  bool FCreated = false;
  bool FShown = false;
  bool FFirstPageAsked = false;
  QSize FOuterSize;
  bool FFixedSize = false;
  bool FOuterSizeApplied = false;
  int FFontSize = 2;
  bool FClosing = false;
  bool FEndSplashDue = false;
  std::unique_ptr<TBook> FBook;
  std::unique_ptr<THostExternal> FHostObject;
  std::unique_ptr<TBookServing> FServing;
  // What each kind of toolbar button does.
  std::map<std::uint8_t, std::function<void()>> FCommands;
  bool FSplashIdle = true;
  QPointer<TMXWebBrowser> FwebMain;
  TToolbar* FToolbar = nullptr;
  TContentsPane* FContentsPane = nullptr;
  QVBoxLayout* FClientLayout = nullptr;
  QMenu* FpopFontSize = nullptr;
  QString FPendingHighlight;
};
