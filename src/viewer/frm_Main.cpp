#include "frm_Main.h"

#include <utility>

#include <QAbstractButton>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWindow>
#include <algorithm>

#include "frm_Print.h"
#include "frm_Search.h"
#include "frm_Splash.h"
#include "frm_UserForm.h"
#include "u_BookServing.h"
#include "u_BookText.h"
#include "u_CodePage.h"
#include "u_Dialogs.h"
#include "u_EpubReading.h"
#include "u_InternetProtocolEngine.h"
#include "u_Pictures.h"
#include "u_ContentsPane.h"
#include "u_Toolbar.h"

namespace {
const char* const FontSizeCaptions[] = {"Extra Small", "Small", "Medium", "Large", "Extra Large"};

// Whether the object is one of the application's windows. Compared by address only: the engine
// hands key events to objects of its own whose types we must not call into.
bool IsWindowSystemWindow(const QObject* object) {
  const QWindowList windows = QGuiApplication::allWindows();
  return std::any_of(windows.begin(), windows.end(), [object](const QWindow* w) { return w == object; });
}

}  // namespace

TfrmMain::TfrmMain(TBookSource source, bool splashes) : FSplashes(splashes) {
  setWindowTitle(QStringLiteral("QuirelleViewer"));
  auto* client = new QWidget(this);
  FClientLayout = new QVBoxLayout(client);
  FClientLayout->setContentsMargins(0, 0, 0, 0);
  FClientLayout->setSpacing(0);
  setCentralWidget(client);
  FwebMain = new TMXWebBrowser(client);
  FpopFontSize = new QMenu(this);
  FToolbar = new TToolbar(client, FpopFontSize);
  FToolbar->imgLogo()->installEventFilter(this);
  FClientLayout->addWidget(FToolbar->pnlToolbarCommon());
  FClientLayout->addWidget(FwebMain, 1);
  FContentsPane = new TContentsPane(this);
  addDockWidget(Qt::LeftDockWidgetArea, FContentsPane);
  FContentsPane->hide();
  // An entry shows its page, and the story moves there as for a link.
  FContentsPane->OnActivate = [this](std::int32_t position) {
    if (!FBook || !FBook->Story()) return;
    FBook->Story()->LocatePosition(position);
    NavigateToCurrentPage();
  };
  // The size in use is marked.
  auto* sizes = new QActionGroup(FpopFontSize);
  for (int tag = 0; tag < 5; ++tag) {
    QAction* item = FpopFontSize->addAction(QString::fromLatin1(FontSizeCaptions[tag]));
    item->setProperty("tag", tag);
    item->setCheckable(true);
    item->setChecked(tag == FFontSize);
    sizes->addAction(item);
    connect(item, &QAction::triggered, this, [this, item] { mnuFS_Click(item); });
  }
  MakeCommands();
  qApp->installEventFilter(this);
  const TMetafileEscape escape;
  FStartingUp = true;
  struct TStarted {
    bool& Flag;
    ~TStarted() { Flag = false; }
  } started{FStartingUp};
  try {
    StartUp(source);
  } catch (const EPicturesCancelled&) {
    FCreateFailed = true;
    FCancelled = true;
    FormDestroy();
  } catch (const EInvalidOperation& e) {
    FCreateFailed = true;
    ShowErrorMessage(this, DescribedFailure(QString::fromLatin1(SInvalidToolbarImageSize), e));
    FormDestroy();
  } catch (const Exception& e) {
    FCreateFailed = true;
    ShowErrorMessage(this, DescribedFailure(FromBook(e.Message()), e));
    FormDestroy();
  } catch (const std::exception& e) {
    FCreateFailed = true;
    ShowErrorMessage(this, QString::fromUtf8(e.what()));
    FormDestroy();
  }
}

TfrmMain::~TfrmMain() {
  qApp->removeEventFilter(this);
  FormDestroy();
}

// The book's steps in start-up order, each followed by what the window makes of it.
void TfrmMain::StartUp(TBookSource& source) {
  FBook = std::make_unique<TBook>(std::move(source), FToolbar);
  TBook& book = *FBook;
  book.LoadSystemImage();
  book.LoadSystemDescription();
  book.LoadForms();
  FHostObject = std::make_unique<THostExternal>(*this);
  book.LoadStory();
  book.LoadVariables();
  book.LoadTitles();
  ApplyTitles();
  FServing = std::make_unique<TBookServing>(book, this, [this] { return JoinContentImage(); }, [this] { return FCreateFailed; });
  book.LoadToolbarOptions();
  ApplyToolbarOptions();
  book.LoadLogo();
  // Task bars show the book's logo for its window.
  if (!FToolbar->LogoBitmap().isNull()) setWindowIcon(QIcon(FToolbar->LogoBitmap()));
  book.LoadSplashOptions();
  FEndSplashDue = FSplashes;
  if (FSplashes) ShowSplash(&book.Loaded().SplashOptions, true, book.SystemImage(), this, FSplashIdle);
  resize(640, 480);
  book.LoadToolButtons();
  BuildToolbar();
  book.LoadWindowKeys();
  ApplyWindowKeys();
  ConnectBrowser();
  if (book.Loaded().FromEpub) ReadAsEpub(*FwebMain, this), FContentsPane->SetHeading(EpubHeading(book));
  FContentsPane->SetStory(book.Story());
  // Home is the story's first page, not a blank one.
  if (book.Story()) FwebMain->HomeURL = EngineURLOfBookURL("mfs:" + book.Story()->CurrentPage());
  FCreated = true;
}

void TfrmMain::ApplyTitles() {
  if (FBook->Loaded().ApplicationTitle) SetApplicationTitle(FromBook(*FBook->Loaded().ApplicationTitle));
  if (FBook->Loaded().MainFormCaption) setWindowTitle(FromBook(*FBook->Loaded().MainFormCaption));
}

void TfrmMain::ApplyToolbarOptions() {
  FClientLayout->removeWidget(FToolbar->pnlToolbarCommon());
  FClientLayout->insertWidget(FBook->Loaded().ToolbarOptions.ToolbarPlacement == tpBottom ? 1 : 0, FToolbar->pnlToolbarCommon());
  FToolbar->ApplyToolbarOptions(FBook->Loaded().ToolbarOptions, *FBook->Variables());
}

void TfrmMain::BuildToolbar() {
  TToolbarHandlers handlers;
  handlers.ToolButtonClick = [this](QObject* sender) { ToolButtonClick(sender); };
  handlers.mnuSearchClick = [this] { mnuSearchClick(); };
  handlers.BookMarkClick = [this](const TBookMarkItems& items, QObject* sender) {
    if (FwebMain) BookMarkClick(items, sender, *FwebMain);
  };
  FToolbar->BuildButtons(FBook->Loaded().Toolbar, handlers);
}

void TfrmMain::ApplyWindowKeys() {
  // The book's size, but never beyond the screen: a window of 20000 pixels a side takes
  // gigabytes in the graphics driver.
  int width = FBook->Loaded().Width;
  int height = FBook->Loaded().Height;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QSize room = screen->availableGeometry().size();
    width = std::clamp(width, 1, std::max(1, room.width()));
    height = std::clamp(height, 1, std::max(1, room.height()));
  }
  resize(width, height);
  FOuterSize = QSize(width, height);
  const bool maximized = FBook->Loaded().RunMaximized;
  FFixedSize = !FBook->Loaded().ResizableWindow;
  if (FFixedSize) {
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    if (!maximized) setFixedSize(width, height);
  }
  if (maximized) {
    setWindowState(windowState() | Qt::WindowMaximized);
  } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void TfrmMain::ConnectBrowser() {
  FwebMain->OnShowContextMenu = [this](std::uint32_t, const QPoint&) {
    return webMain2ShowContextMenu() ? HOST_S_OK : HOST_S_FALSE;
  };
  FwebMain->OnGetExternal = [this](TMXWebBrowser::TExternalCall& external) {
    if (!FHostObject) return HOST_S_FALSE;
    external = [this](const QString& request) { return FHostObject->Dispatch(request); };
    return HOST_S_OK;
  };
  connect(FwebMain->page(), &QWebEnginePage::renderProcessTerminated, this,
          [this](QWebEnginePage::RenderProcessTerminationStatus status, int) {
            if (status != QWebEnginePage::NormalTerminationStatus) QTimer::singleShot(0, FwebMain, [this] { FwebMain->ShowStoppedPage(); });
          });
  connect(FwebMain, &TMXWebBrowser::navigateComplete, this, [this](const QUrl&) {
    if (FBook && FBook->Story()) SyncStoryWithBrowser();
    FContentsPane->FollowStory();
  });
  // The engine keeps no zoom across documents of these schemes: apply the chosen size again.
  connect(FwebMain, &TMXWebBrowser::documentComplete, this, [this](const QUrl&) {
    if (FBook) FBook->HurryContentImage();  // the first page is up: the rest of the book may unpack at full speed
    if (FwebMain) FwebMain->ExecCommand(cmdZoom, FFontSize);
    webMain2DocumentComplete();
  });
}

void TfrmMain::webMain2DocumentComplete() {
  if (!FPendingHighlight.isEmpty() && FwebMain) {
    FwebMain->findText(FPendingHighlight);
    FPendingHighlight.clear();
  }
  if (!FToolbar->PrintButton() || !FwebMain) return;
  FToolbar->popPrint()->clear();
  FToolbar->UpdatePrintButton();
  FillPrintMenu(*FwebMain, *FToolbar->popPrint(), [this] { FToolbar->UpdatePrintButton(); });
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (FCreated) FToolbar->AdjustHeight();
}

QToolBar* TfrmMain::tbrMain() const { return FToolbar->tbrMain(); }

bool TfrmMain::JoinContentImage() {
  if (!FBook || FBook->ContentJoined()) return !FCreateFailed;
  try {
    FBook->JoinContentImage();
    return true;
  } catch (const Exception& e) {
    StartUpFailedLate(DescribedFailure(FromBook(e.Message()), e));
  } catch (const std::exception& e) {
    StartUpFailedLate(QString::fromUtf8(e.what()));
  }
  return false;
}

// The content image failed after the window was up: nothing of the book is shown, the reader
// gets the message, and the viewer ends as after any failed start-up.
void TfrmMain::StartUpFailedLate(const QString& message) {
  FCreateFailed = true;
  if (FPendingFailure.isNull()) FPendingFailure = message;
  if (FwebMain) FwebMain->stop();
  // Shown from the loop, not from whatever met the failure (a request, a nested loop); should
  // the loop end first, the viewer shows it on its way out.
  QTimer::singleShot(0, this, [this] {
    // Not from a loop that start-up itself runs (a splash's, the pictures' wait): the viewer
    // shows it once start-up has returned.
    if (FStartingUp) return;
    if (ReportPendingFailure()) close();
  });
}

bool TfrmMain::ReportPendingFailure() {
  if (FPendingFailure.isNull()) return false;
  const QString message = std::exchange(FPendingFailure, QString());
  ShowErrorMessage(this, message);
  FormDestroy();
  emit startUpFailed();
  return true;
}

TMFS* TfrmMain::ContentImage() {
  return FBook && JoinContentImage() ? &FBook->ContentImage() : nullptr;
}

void TfrmMain::FormDestroy() {
  // A worker still unpacking the content image writes into it: wait for it first.
  if (FBook) FBook->WaitForContentImage();
  FServing.reset();  // before the images it serves
  FBook.reset();
  FEndSplashDue = false;
  FHostObject.reset();
}

// Width and Height are the window's outer size, frame included. The frame is known only once
// the window manager has framed the window, after it is shown: then the client area gives way.
void TfrmMain::ApplyOuterSize() {
  if (FOuterSizeApplied || !windowHandle() || (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) return;
  const QMargins frame = windowHandle()->frameMargins();
  if (frame.isNull()) return;
  FOuterSizeApplied = true;
  const QSize client(std::max(1, FOuterSize.width() - frame.left() - frame.right()),
                     std::max(1, FOuterSize.height() - frame.top() - frame.bottom()));
  if (FFixedSize) setFixedSize(client);
  else resize(client);
}

void TfrmMain::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  ApplyOuterSize();
}

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  ApplyOuterSize();
  if (FShown) return;
  FShown = true;
  if (FCreateFailed) {
    QTimer::singleShot(0, this, &QWidget::close);
    return;
  }
  OpenFirstPage();
}

void TfrmMain::OpenFirstPage() {
  if (FCreateFailed || FFirstPageAsked) return;
  FFirstPageAsked = true;
  // The content image is joined by the first request, so the engine starts while the worker
  // still unpacks: the image now goes straight into its tree, and the two together stay within
  // the memory the unpacking alone took before (docs/design-book-images.md).
  NavigateToCurrentPage();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // The end splash holds the close until it is gone. A close asked for meanwhile (the reader
  // pressing Escape again) is left to the one already running.
  if (!FSplashIdle) {
    event->ignore();
    return;
  }
  if (FEndSplashDue && FBook) {
    try {
      ShowSplash(&FBook->Loaded().SplashOptions, false, FBook->SystemImage(), this, FSplashIdle);
    } catch (const Exception& e) {
      FSplashIdle = true;
      ShowErrorMessage(this, FromBook(e.Message()));
      event->ignore();
      return;
    }
    FEndSplashDue = false;  // shown once, whatever closes the window later
  }
  FServing.reset();
  if (FwebMain) FwebMain->OnGetExternal = nullptr;
  event->accept();
  EndNestedLoops();
}

void TfrmMain::EndNestedLoops() {
  FClosing = true;
  // The viewer has one main window: every other window of the process is one of its own.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    for (TMXWebBrowser* browser : window->findChildren<TMXWebBrowser*>()) browser->CancelWaits();
    if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isVisible()) dialog->reject();
  }
  if (FwebMain) FwebMain->CancelWaits();
}

void TfrmMain::NavigateToCurrentPage() {
  if (!FwebMain || !FBook || !FBook->Story()) return;
  ApplyFontSize(2);
  QCoreApplication::processEvents();
  FwebMain->Navigate("mfs:" + FBook->Story()->CurrentPage());
  ApplyFontSize(FFontSize);
  // The reader's keys go to the page again, as after following a link.
  if (isActiveWindow()) FwebMain->setFocus();
}

std::string TfrmMain::GetCurrentPage() {
  if (!FwebMain) return {};
  QUrl location = FwebMain->LocationURL();
  if (location.scheme().compare(QLatin1String("mfs"), Qt::CaseInsensitive) == 0) return MFSPathOfEngineURL(location);
  std::string whole;
  if (!FromUtf8(location.toString().toStdString(), whole)) whole = FromUtf16Lossy(location.toString().toStdU16String());
  return whole;
}

void TfrmMain::SyncStoryWithBrowser() {
  // The browser reports every book page absolute; a story may list its pages relative.
  TStory* story = FBook ? FBook->Story() : nullptr;
  if (!story) return;
  const std::string page = GetCurrentPage();
  const std::int32_t before = story->Lines().FindPage(page);
  if (before != TStoryLine::None) story->Locate(page);
  else story->LocateAddress(page);
}

void TfrmMain::PostCloseRequest() { QTimer::singleShot(0, this, &QWidget::close); }

bool TfrmMain::HasUserForm(const std::string& name) { return UserForms() && UserForms()->FindForm(name); }

QUrl TfrmMain::QueueUserForm(const std::string& name) {
  TEngineURLLayer* layer = TEngineURLLayer::Instance();
  const QUrl waiter = layer ? layer->AddWaiter() : QUrl();
  auto release = [waiter] {
    if (TEngineURLLayer* l = TEngineURLLayer::Instance(); l && !waiter.isEmpty()) l->ReleaseWaiter(waiter);
  };
  // Shown from the loop, once the script's synchronous call has returned; the script then waits
  // on the address until the form has closed.
  QTimer::singleShot(0, this, [this, name, release] {
    if (!UserForms() || !FHostObject || FClosing) {
      release();
      return;
    }
    try {
      OpenUserForm(*UserForms(), *FHostObject, name, this, release);
    } catch (const Exception& e) {
      release();
      ShowErrorMessage(this, FromBook(e.Message()));
    }
  });
  return waiter;
}

void TfrmMain::ApplyFontSize(int level) {
  if (level < 0 || level > 4 || !FwebMain) return;
  FwebMain->ExecCommand(cmdZoom, level);
}

bool TfrmMain::webMain2ShowContextMenu() { return FBook && FBook->Story() && FBook->Story()->RightClickDisabled(); }

void TfrmMain::ToolButtonClick(QObject* sender) {
  // Commands act on a page that can be used; a page that never gets there must not hang us.
  if (FwebMain) FwebMain->WaitUntilReady(ReadyTimeoutMs);
  if (FClosing) return;  // closed while the command waited
  bool ok = false;
  const int tag = sender ? sender->property("tag").toInt(&ok) : -1;
  const std::vector<TToolButton>& buttons = FToolbar->Description().Buttons;
  if (!ok || tag < 0 || tag >= static_cast<int>(buttons.size())) return;
  try {
    Act(buttons[static_cast<std::size_t>(tag)].Kind);
  } catch (const Exception& e) {
    ShowErrorMessage(this, FromBook(e.Message()));
  }
}

void TfrmMain::Act(std::uint8_t kind) {
  // Separators, drop-down buttons and unknown kinds do nothing here.
  const auto command = FCommands.find(kind);
  if (command != FCommands.end() && FHostObject) command->second();
}

void TfrmMain::MakeCommands() {
  auto story = [this]() -> TExternalStory& { return FHostObject->Story(); };
  FCommands = {
      {bkBack, [this] { FwebMain->GoBack(); }},
      {bkForward, [this] { FwebMain->GoForward(); }},
      {bkFirst, [story] { story().First(); }},
      {bkPrior, [story] { if (!story().Bof()) story().Prior(); }},
      {bkNext, [story] { if (!story().Eof()) story().Next(); }},
      {bkLast, [story] { story().Last(); }},
      {bkPriorChapter, [story] { if (!story().Bof()) story().PriorChapter(1); }},
      {bkNextChapter, [story] { if (!story().Eof()) story().NextChapter(1); }},
      {bkAbout, [this] {
         ApplyFontSize(2);
         try {
           ::ShowUserForm(*UserForms(), *FHostObject, "About", this);
         } catch (...) {
           ApplyFontSize(FFontSize);
           throw;
         }
         ApplyFontSize(FFontSize);
       }},
      {bkExit, [this] { FHostObject->Terminate(); }},
      {bkPrint, [this] { Exec(cmdPrintPreview); }},
      {bkCopy, [this] { Exec(cmdCopy); }},
      {bkRefresh, [this] { Exec(cmdRefresh); }},
      {bkHome, [this] { FwebMain->GoHome(); }},
  };
}

void TfrmMain::Exec(int command) {
  // A browser command that fails is reported as the platform reports E_FAIL.
  if (!FwebMain || !FwebMain->ExecCommand(command)) throw EOleSysError(SUnspecifiedError, E_FAIL_STATUS);
}

void TfrmMain::mnuFS_Click(QObject* sender) {
  FFontSize = sender->property("tag").toInt();
  if (auto* item = qobject_cast<QAction*>(sender)) item->setChecked(true);
  if (FFontSize >= 0 && FFontSize <= 4 && !FwebMain->ExecCommand(cmdZoom, FFontSize))
    ShowErrorMessage(this, QStringLiteral("Zoom failed"));
}

void TfrmMain::mnuSearchClick() {
  if (FBook && FBook->Story() && ContentImage()) ShowSearchWindow(*this);
}

void TfrmMain::ShowFoundPage(const std::string& page, const QString& highlight) {
  if (!FBook || !FBook->Story() || !FwebMain) return;
  FBook->Story()->Locate(page);
  FPendingHighlight = highlight;
  NavigateToCurrentPage();
}

void TfrmMain::imgLogoClick() {
  if (!Variables()) return;
  std::string link = Variables()->Substitute(FBook->Loaded().ToolbarOptions.LogoLink);
  if (!link.empty()) ShellOpen(link);
}

bool TfrmMain::CommandKey(const QKeyEvent& key) {
  if (key.key() == Qt::Key_F9 && key.modifiers() == Qt::NoModifier) {
    FContentsPane->Toggle();
    return true;
  }
  if (key.key() == Qt::Key_F5 && key.modifiers() == Qt::NoModifier && OnReloadKey) {
    QTimer::singleShot(0, this, OnReloadKey);
    return true;
  }
  return FToolbar->PressForKey(key, FFontSize);
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FToolbar->imgLogo() && event->type() == QEvent::MouseButtonRelease) {
    imgLogoClick();
    return true;
  }
  // The keyboard rules hold in every window of the viewer. Every key press reaches the window
  // system's window first, whatever has the focus (nothing, after a page script moved the
  // story), and only then the focused widget: looking at it there sees each press exactly once.
  if (event->type() == QEvent::KeyPress && IsWindowSystemWindow(watched)) {
    auto* key = static_cast<QKeyEvent*>(event);
    bool handled = false;
    // Escape meant for an open menu, a list or any other pop-up belongs to that pop-up.
    const bool popupOpen = QApplication::activePopupWidget() != nullptr;
    if (key->key() == Qt::Key_Escape && !popupOpen && watched == windowHandle() && QApplication::activeWindow() == this) {
      QTimer::singleShot(0, this, &QWidget::close);
      handled = true;
    }
    if (!handled && !popupOpen && watched == windowHandle() && QApplication::activeWindow() == this) handled = CommandKey(*key);
    if (key->key() == Qt::Key_Escape && !popupOpen) {
      if (auto* print = qobject_cast<TfrmPrint*>(QApplication::activeWindow())) {
        QTimer::singleShot(0, print, &QDialog::reject);
        handled = true;
      }
    }
    // No copying from a protected page with the keyboard: whatever came before, Control with C
    // or Insert is swallowed and the clipboard emptied.
    if ((key->key() == Qt::Key_C || key->key() == Qt::Key_Insert) && (key->modifiers() & Qt::ControlModifier) &&
        webMain2ShowContextMenu()) {
      QGuiApplication::clipboard()->clear();
      handled = true;
    }
    if (handled) return true;
  }
  return QMainWindow::eventFilter(watched, event);
}
