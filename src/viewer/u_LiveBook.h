// The author's loop: a book read straight from its two folders and watched while it is open. An
// edit in the content folder reloads the page in place (the engine keeps its scroll position); an
// edit in the system folder builds the window again from the new description files, on the story
// position it showed. A description that does not read keeps the last good book on screen and
// says why. The author's check runs on open and after each edit, on a worker; its findings show
// in a pane the author can hide (F9 is the contents; the pane has its own close button).
#pragma once

#include <QDockWidget>
#include <QFileSystemWatcher>
#include <QListWidget>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <filesystem>
#include <future>
#include <map>
#include <utility>
#include <memory>
#include <vector>

#include "u_BookCheck.h"

class TfrmMain;

class TLiveBook : public QObject {
  Q_OBJECT
public:
  // printFindings: the check's findings also go to standard error (the check mode).
  TLiveBook(std::filesystem::path system, std::filesystem::path content, bool printFindings = false);
  ~TLiveBook() override;

  // Reads the book and builds its window (not shown); false when the book does not start, its
  // message shown.
  bool Open();
  TfrmMain* Window() const { return FWindow.get(); }
  QListWidget* Findings() const { return FFindings; }
  // Reads the folders again: the content alone, or the whole book.
  void Reload(bool descriptions);
  // Waits for a check that is still running and shows its findings (the check mode, at its end).
  void FinishCheck();

signals:
  // The check's findings are in the pane.
  void checked();
  // An edit was taken in: the page reloaded, or the window built again (or kept, with the error).
  void reloaded();

private:
  void Adopt(std::unique_ptr<TfrmMain> window);
  void Watch();
  void Changed(const QString& path);
  void Settled();
  void StartCheck();
  void CheckDone();
  void ShowFindings();

  std::filesystem::path FSystem, FContent;
  bool FPrintFindings;
  std::unique_ptr<TfrmMain> FWindow;
  QFileSystemWatcher FWatcher;
  // What each watched path was when last taken in (modified, size): reading a file or listing a
  // folder changes its access time, which the watcher reports too, and is no edit.
  std::map<QString, std::pair<std::filesystem::file_time_type, std::uintmax_t>> FStamps;
  static std::pair<std::filesystem::file_time_type, std::uintmax_t> StampOf(const QString& path);
  QTimer FSettle;  // edits come in bursts (an editor's save is several): taken in once they stop
  bool FDescriptionsChanged = false;
  std::future<std::shared_ptr<TBookReport>> FCheck;
  bool FCheckAgain = false;
  std::vector<TBookProblem> FProblems;
  QString FReadError;  // why the last edit was not taken in
  QPointer<QDockWidget> FPane;
  bool FPaneClosed = false, FSettingPane = false;
  QPointer<QListWidget> FFindings;
};
