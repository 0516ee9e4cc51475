#include "u_LiveBook.h"

#include <QApplication>
#include <QDockWidget>
#include <QFile>
#include <QListWidget>
#include <QWebEnginePage>
#include <cstdio>

#include "frm_Main.h"
#include "u_Book.h"
#include "u_BookText.h"
#include "u_CodePage.h"
#include "u_Dialogs.h"
#include "u_DiskFolder.h"
#include "u_ImageSource.h"

namespace fs = std::filesystem;

namespace {

QString FromPath(const fs::path& path) { return QFile::decodeName(path.string().c_str()); }

}  // namespace

TLiveBook::TLiveBook(fs::path system, fs::path content, bool printFindings)
    : FSystem(fs::weakly_canonical(system)), FContent(fs::weakly_canonical(content)), FPrintFindings(printFindings) {
  FSettle.setSingleShot(true);
  FSettle.setInterval(150);
  connect(&FSettle, &QTimer::timeout, this, &TLiveBook::Settled);
  connect(&FWatcher, &QFileSystemWatcher::fileChanged, this, &TLiveBook::Changed);
  connect(&FWatcher, &QFileSystemWatcher::directoryChanged, this, &TLiveBook::Changed);
}

TLiveBook::~TLiveBook() {
  if (FCheck.valid()) FCheck.wait();
}

bool TLiveBook::Open() {
  std::unique_ptr<TfrmMain> window;
  try {
    window = std::make_unique<TfrmMain>(FolderBookSource(FSystem, FContent));
  } catch (const Exception& e) {
    ShowErrorMessage(nullptr, FromBook(e.Message()));
    return false;
  }
  if (window->CreateFailed()) return false;  // the window said why
  Adopt(std::move(window));
  Watch();
  StartCheck();
  return true;
}

void TLiveBook::Adopt(std::unique_ptr<TfrmMain> window) {
  FWindow = std::move(window);
  // Said in the title bar, where a packed book shows its caption alone; the check mode prints
  // the book's own caption.
  if (!FPrintFindings) FWindow->setWindowTitle(FWindow->windowTitle() + QStringLiteral(" (read from folders)"));
  FWindow->OnReloadKey = [this] {
    FDescriptionsChanged = true;
    QTimer::singleShot(0, this, &TLiveBook::Settled);
  };
  FPane = new QDockWidget(QStringLiteral("Check"), FWindow.get());
  FPane->setObjectName(QStringLiteral("pnlCheck"));
  FFindings = new QListWidget(FPane);
  FFindings->setAccessibleName(QStringLiteral("Check findings"));
  FPane->setWidget(FFindings);
  FWindow->addDockWidget(Qt::BottomDockWidgetArea, FPane);
  connect(FPane, &QDockWidget::visibilityChanged, this, [this](bool visible) {
    if (!FSettingPane && !visible && FWindow && FWindow->isVisible()) FPaneClosed = true;
  });
  // A finding in a file of the content image opens it.
  connect(FFindings, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    const QString file = item->data(Qt::UserRole).toString();
    if (FWindow && FWindow->webMain() && file.startsWith(QLatin1String("mfs:"))) FWindow->webMain()->Navigate(ToBook(file));
  });
  ShowFindings();
}

void TLiveBook::Watch() {
  if (!FWatcher.files().isEmpty()) FWatcher.removePaths(FWatcher.files());
  if (!FWatcher.directories().isEmpty()) FWatcher.removePaths(FWatcher.directories());
  QStringList paths;
  for (const fs::path& root : {FSystem, FContent}) {
    paths << FromPath(root);
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) paths << FromPath(it->path());
  }
  FWatcher.addPaths(paths);
  FStamps.clear();
  for (const QString& path : paths) FStamps[path] = StampOf(path);
}

std::pair<fs::file_time_type, std::uintmax_t> TLiveBook::StampOf(const QString& path) {
  std::error_code ec;
  const fs::path file(QFile::encodeName(path).toStdString());
  const fs::file_time_type modified = fs::last_write_time(file, ec);
  const std::uintmax_t size = fs::is_regular_file(file, ec) ? fs::file_size(file, ec) : 0;
  return {ec ? fs::file_time_type::min() : modified, size};
}

void TLiveBook::Changed(const QString& path) {
  if (const auto stamp = FStamps.find(path); stamp != FStamps.end() && stamp->second == StampOf(path)) return;  // read, not edited
  const std::string changed = QFile::encodeName(path).toStdString(), system = FSystem.string();
  if (changed.compare(0, system.size(), system) == 0 && (changed.size() == system.size() || changed[system.size()] == '/'))
    FDescriptionsChanged = true;
  FSettle.start();
}

void TLiveBook::Settled() {
  // Not while a modal window or a menu runs its own loop on the window's stack: the window may
  // be replaced. Taken in once it is closed.
  if (QApplication::activeModalWidget() || QApplication::activePopupWidget()) {
    FSettle.start();
    return;
  }
  Watch();  // an editor that saves by renaming leaves a new file to watch
  Reload(std::exchange(FDescriptionsChanged, false));
}

void TLiveBook::Reload(bool descriptions) {
  if (!FWindow) return;
  FReadError.clear();
  try {
    if (!descriptions) {
      // Read whole before the image shown is touched: a folder that does not read keeps the page.
      TMFS fresh;
      ImportFolder(FContent, fresh.Root());
      if (TMFS* image = FWindow->ContentImage()) {
        image->Root()->ClearItems();
        ImportFolder(FContent, image->Root());
        // Past the engine's memory cache, which would keep the old style sheets and pictures.
        FWindow->webMain()->page()->triggerAction(QWebEnginePage::ReloadAndBypassCache);
      }
    } else {
      // The book's own steps first, as the viewer takes them, on the new system image: a
      // description that does not read leaves the window as it is.
      TBookSource source = FolderBookSource(FSystem, FContent);
      {
        TBookSource trial;
        trial.SystemImage = source.SystemImage;
        trial.ContentLoad = std::make_shared<TContentImageLoad>();
        trial.ContentLoad->Finished();
        TBook(std::move(trial)).Load();
      }
      const std::string page = FWindow->GetCurrentPage();
      const QPoint at = FWindow->pos();
      // One window at a time serves the book's schemes: the old one goes first. Meanwhile no
      // window is shown, which must not end the viewer.
      const bool quitOnClose = QGuiApplication::quitOnLastWindowClosed();
      QGuiApplication::setQuitOnLastWindowClosed(false);
      FWindow.reset();
      auto next = std::make_unique<TfrmMain>(std::move(source), false);
      QGuiApplication::setQuitOnLastWindowClosed(quitOnClose);
      if (next->CreateFailed()) {  // said already; nothing is left to show
        QCoreApplication::quit();
        return;
      }
      if (TStory* story = next->Book()->Story()) story->LocateAddress(page);
      Adopt(std::move(next));
      FWindow->OpenFirstPage();
      FWindow->move(at);
      FWindow->show();
    }
  } catch (const Exception& e) {
    FReadError = FromBook(e.Where().empty() ? e.Message() : e.Message() + " (" + e.Where() + ")");
    ShowFindings();
  }
  StartCheck();
  emit reloaded();
}

void TLiveBook::StartCheck() {
  if (FCheck.valid()) {
    FCheckAgain = true;  // one check at a time: the newest edit is checked once this one ends
    return;
  }
  FCheck = std::async(std::launch::async, [this, system = FSystem, content = FContent] {
    auto report = std::make_shared<TBookReport>();
    try {
      TBook book(FolderBookSource(system, content), nullptr, report.get());
      CheckBook(book, *report);
    } catch (const Exception& e) {
      report->Failure({}, 0, e);
    } catch (const std::exception& e) {
      report->Error({}, 0, e.what());  // out of memory, say: the check says so and the viewer goes on
    }
    QMetaObject::invokeMethod(this, [this] { CheckDone(); }, Qt::QueuedConnection);
    return report;
  });
}

void TLiveBook::FinishCheck() {
  FCheckAgain = false;
  CheckDone();
}

void TLiveBook::CheckDone() {
  if (!FCheck.valid()) return;  // taken in already by FinishCheck
  const std::shared_ptr<TBookReport> report = FCheck.get();
  FProblems = report->Problems();
  if (FPrintFindings) {
    for (const TBookProblem& p : FProblems) std::fprintf(stderr, "%s\n", TBookReport::Describe(p).c_str());
    std::fflush(stderr);
  }
  ShowFindings();
  emit checked();
  if (std::exchange(FCheckAgain, false)) StartCheck();
}

void TLiveBook::ShowFindings() {
  if (!FFindings) return;
  FFindings->clear();
  if (!FReadError.isEmpty()) FFindings->addItem(QStringLiteral("The last edit was not taken in: ") + FReadError);
  for (const TBookProblem& p : FProblems) {
    auto* item = new QListWidgetItem(QString::fromStdString(TBookReport::Describe(p)), FFindings);
    item->setData(Qt::UserRole, FromBook(p.File));
  }
  // Shown when there is something to say, unless the author closed it.
  if (FPane && !FPaneClosed) {
    const bool settingUp = std::exchange(FSettingPane, true);
    FPane->setVisible(FFindings->count() > 0);
    FSettingPane = settingUp;
  }
}
