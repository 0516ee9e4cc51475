#include "frm_Main.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include "u_CodePage.h"
#include "u_Dialogs.h"
#include "u_ImageSource.h"
#include "u_InternetProtocolEngine.h"
#include "u_Pictures.h"
#include "u_Toolbar.h"

namespace {

TfrmMain* GMainForm = nullptr;

QString FromBook(const std::string& s) { return QString::fromStdString(ToUtf8(s)); }

const char* const FontSizeCaptions[] = {"Extra Small", "Small", "Medium", "Large", "Extra Large"};

}  // namespace

TfrmMain* MainForm() { return GMainForm; }

TfrmMain::TfrmMain(const TBookSource& source) {
  GMainForm = this;
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
  for (int tag = 0; tag < 5; ++tag) {
    QAction* item = FpopFontSize->addAction(QString::fromLatin1(FontSizeCaptions[tag]));
    item->setProperty("tag", tag);
    connect(item, &QAction::triggered, this, [this, item] { mnuFS_Click(item); });
  }
  qApp->installEventFilter(this);
  try {
    StartUp(source);
  } catch (const EInvalidOperation&) {
    FCreateFailed = true;
    ShowErrorMessage(this, QString::fromLatin1(SInvalidToolbarImageSize));
    FormDestroy();
  } catch (const Exception& e) {
    FCreateFailed = true;
    ShowErrorMessage(this, FromBook(e.Message()));
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
  if (GMainForm == this) GMainForm = nullptr;
}

std::string TfrmMain::SystemFileText(const std::string& name, bool& exists) {
  exists = !name.empty() && FSystemImage->Session()->Exists(name) &&
           !TMFS::ExtractFileName(TMFS::ConvertSlashes(name)).empty();
  if (!exists) return {};
  try {
    return FSystemImage->Session()->GetFile(name)->Data;
  } catch (const EMFSError&) {
    exists = false;  // a folder of that name
    return {};
  }
}

TXMLValue TfrmMain::SystemKey(const char* name, const TXMLValue& def) const {
  return FSystemDescription->Root()->Attributes.ValueOf(name, def);
}

void TfrmMain::StartUp(const TBookSource& source) {
  FFontSize = 2;
  FCreated = false;
  FContentImage = std::make_unique<TMFS>();
  FSystemImage = std::make_unique<TMFS>();
  if (source.SystemCab) LoadCabImage(*FSystemImage, *source.SystemCab);
  else LoadSystemImage(*FSystemImage);

  FSystemImage->Session()->ChangeFolder("\\");
  FSystemDescription = std::make_unique<TXMLParser>();
  FSystemDescription->Parse(FSystemImage->Session()->GetFile("System.xml")->Data);
  const TXMLValue noText = TXMLValue::Text(std::string());

  // User forms come with their own issue; the list is empty until then.
  FSystemImage->Session()->ChangeFolder("\\");
  FHostObject = std::make_unique<THostExternal>(*this);

  FStory = std::make_unique<TStory>(*FSystemImage, SystemKey("Story", noText).AsText());

  bool exists = false;
  std::string variablesText = SystemFileText(SystemKey("Variables", noText).AsText(), exists);
  FVariables = std::make_unique<TVariables>(exists ? std::optional<std::string>(variablesText) : std::nullopt, true);

  std::string title = SystemKey("ApplicationTitle", noText).AsText();
  if (!title.empty()) SetApplicationTitle(FromBook(FVariables->Substitute(title)));
  std::string caption = SystemKey("MainFormCaption", noText).AsText();
  if (!caption.empty()) setWindowTitle(FromBook(FVariables->Substitute(caption)));

  if (source.ContentCab) LoadCabImage(*FContentImage, *source.ContentCab);
  else LoadContentImage(*FContentImage);

  auto filter = [this](TMFSInternetProtocol&, const std::string&, std::string& data) { ExpandVariablesFilter(data); };
  FContentProtocol = std::make_unique<TMFSInternetProtocol>("mfs", FContentImage.get());
  FContentProtocol->OnAfterGetData = filter;
  FSystemProtocol = std::make_unique<TMFSInternetProtocol>("system", FSystemImage.get());
  FSystemProtocol->OnAfterGetData = filter;

  FToolbarOptions.Load(FSystemDescription->Root()->Nodes.FindNode("toolbar"));
  ApplyToolbarOptions();
  FSplashOptions.Load(FSystemDescription->Root()->Nodes.FindNode("splash"));

  resize(640, 480);
  TToolbarHandlers handlers;
  handlers.ToolButtonClick = [this](QObject* sender) { ToolButtonClick(sender); };
  handlers.mnuSearchClick = [this] { mnuSearchClick(); };
  handlers.BookMarkClick = [this](const TBookMarkItems& items, QObject* sender) {
    if (FwebMain) BookMarkClick(items, sender, *FwebMain);
  };
  FToolbar->BuildToolbar(*FSystemImage, SystemKey("ToolButtons", noText).AsText(), handlers);
  const int width = SystemKey("Width", TXMLValue::Integer(800)).AsInteger();
  const int height = SystemKey("Height", TXMLValue::Integer(600)).AsInteger();
  resize(width, height);
  const bool maximized = SystemKey("RunMaximized", TXMLValue::Boolean(false)).AsBoolean();
  if (!SystemKey("ResizableWindow", TXMLValue::Boolean(false)).AsBoolean()) {
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    if (!maximized) setFixedSize(width, height);
  }
  if (maximized) {
    setWindowState(windowState() | Qt::WindowMaximized);
  } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }

  FwebMain->OnShowContextMenu = [this](std::uint32_t, const QPoint&) {
    return webMain2ShowContextMenu() ? HOST_S_OK : HOST_S_FALSE;
  };
  FwebMain->OnGetExternal = [this](TMXWebBrowser::TExternalCall& external) {
    if (!FHostObject) return HOST_S_FALSE;
    external = [this](const QString& request) { return FHostObject->Dispatch(request); };
    return HOST_S_OK;
  };
  connect(FwebMain, &TMXWebBrowser::navigateComplete, this, [this](const QUrl&) {
    if (FStory) SyncStoryWithBrowser();
  });
  // The engine keeps no zoom across documents of these schemes: apply the chosen size again.
  connect(FwebMain, &TMXWebBrowser::documentComplete, this, [this](const QUrl&) {
    if (FwebMain) FwebMain->ExecCommand(cmdZoom, FFontSize);
    webMain2DocumentComplete();
  });
  FCreated = true;
}

void TfrmMain::ApplyToolbarOptions() {
  FClientLayout->removeWidget(FToolbar->pnlToolbarCommon());
  FClientLayout->insertWidget(FToolbarOptions.ToolbarPlacement == tpBottom ? 1 : 0, FToolbar->pnlToolbarCommon());
  FToolbar->ApplyToolbarOptions(FToolbarOptions, *FSystemImage, *FVariables);
}

void TfrmMain::webMain2DocumentComplete() {
  if (!FToolbar->PrintButton()) return;
  // The print sections of the page are listed by the printing window's code; until then the
  // menu is empty and the button plain.
  FToolbar->popPrint()->clear();
  FToolbar->UpdatePrintButton();
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (FCreated) FToolbar->AdjustHeight();
}

QToolBar* TfrmMain::tbrMain() const { return FToolbar->tbrMain(); }

void TfrmMain::FormDestroy() {
  // Each only if present; the protocols go before the images they serve.
  FVariables.reset();
  FSystemDescription.reset();
  FStory.reset();
  FToolbar->ButtonKinds.clear();
  FToolbar->ButtonOnClickNames.clear();
  FContentProtocol.reset();
  FSystemProtocol.reset();
  FContentImage.reset();
  FSystemImage.reset();
  FHostObject.reset();
}

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (FShown) return;
  FShown = true;
  if (FCreateFailed) {
    QTimer::singleShot(0, this, &QWidget::close);
    return;
  }
  NavigateToCurrentPage();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // The end splash comes with its own issue; then the protocols and the browser go.
  FContentProtocol.reset();
  FSystemProtocol.reset();
  if (FwebMain) FwebMain->OnGetExternal = nullptr;
  event->accept();
}

void TfrmMain::NavigateToCurrentPage() {
  if (!FwebMain || !FStory) return;
  ApplyFontSize(2);
  QCoreApplication::processEvents();
  FwebMain->Navigate("mfs:" + FStory->CurrentPage());
  ApplyFontSize(FFontSize);
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
  if (FStory) FStory->Locate(GetCurrentPage());
}

void TfrmMain::PostCloseRequest() { QTimer::singleShot(0, this, &QWidget::close); }

bool TfrmMain::HasUserForm(const std::string&) { return false; }

void TfrmMain::QueueUserForm(const std::string&) {}

void TfrmMain::ApplyFontSize(int level) {
  if (level < 0 || level > 4 || !FwebMain) return;
  FwebMain->ExecCommand(cmdZoom, level);
}

void TfrmMain::ExpandVariablesFilter(std::string& content) {
  if (FVariables) FVariables->SubstituteInPlace(content);
}

bool TfrmMain::webMain2ShowContextMenu() { return FStory && FStory->RightClickDisabled(); }

void TfrmMain::ToolButtonClick(QObject* sender) {
  // Commands act on a page that can be used; a page that never gets there must not hang us.
  if (FwebMain) FwebMain->WaitUntilReady(ReadyTimeoutMs);
  bool ok = false;
  int tag = sender ? sender->property("tag").toInt(&ok) : -1;
  if (!ok || tag < 0 || tag >= static_cast<int>(FToolbar->ButtonOnClickNames.size()) ||
      tag >= static_cast<int>(FToolbar->ButtonKinds.size()))
    return;
  std::uint8_t kind = FToolbar->ButtonKinds[static_cast<std::size_t>(tag)];
  try {
    Act(kind);
  } catch (const Exception& e) {
    ShowErrorMessage(this, FromBook(e.Message()));
  }
}

void TfrmMain::Act(std::uint8_t kind) {
  TExternalStory& story = FHostObject->Story();
  switch (kind) {
    case bkBack: FwebMain->GoBack(); break;
    case bkForward: FwebMain->GoForward(); break;
    case bkFirst: story.First(); break;
    case bkPrior: if (!story.Bof()) story.Prior(); break;
    case bkNext: if (!story.Eof()) story.Next(); break;
    case bkLast: story.Last(); break;
    case bkPriorChapter: if (!story.Bof()) story.PriorChapter(1); break;
    case bkNextChapter: if (!story.Eof()) story.NextChapter(1); break;
    case bkAbout:
      ApplyFontSize(2);
      FHostObject->ShowUserForm("About");
      ApplyFontSize(FFontSize);
      break;
    case bkExit: FHostObject->Terminate(); break;
    case bkPrint: FwebMain->ExecCommand(cmdPrintPreview); break;
    case bkCopy: FwebMain->ExecCommand(cmdCopy); break;
    case bkRefresh: FwebMain->ExecCommand(cmdRefresh); break;
    case bkHome: FwebMain->GoHome(); break;
    default: break;  // separators, drop-down buttons and unknown kinds do nothing here
  }
}

void TfrmMain::mnuFS_Click(QObject* sender) {
  FFontSize = sender->property("tag").toInt();
  if (FFontSize >= 0 && FFontSize <= 4 && !FwebMain->ExecCommand(cmdZoom, FFontSize))
    ShowErrorMessage(this, QStringLiteral("Zoom failed"));
}

void TfrmMain::mnuSearchClick() {
  // The search window arrives with its own unit.
}

void TfrmMain::imgLogoClick() {
  if (!FVariables) return;
  std::string link = FVariables->Substitute(FToolbarOptions.LogoLink);
  if (!link.empty()) ShellOpen(link);
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FToolbar->imgLogo() && event->type() == QEvent::MouseButtonRelease) {
    imgLogoClick();
    return true;
  }
  // The keyboard rules hold in every window of the viewer; each key press is seen once, on
  // its way to the focused widget.
  if (event->type() == QEvent::KeyPress && watched == QApplication::focusWidget()) {
    auto* key = static_cast<QKeyEvent*>(event);
    bool handled = false;
    if (key->key() == Qt::Key_Escape && QApplication::activeWindow() == this) {
      QTimer::singleShot(0, this, &QWidget::close);
      handled = true;
    }
    if (key->key() == Qt::Key_C && FLastKeyWasControl && FStory && FStory->RightClickDisabled()) {
      QGuiApplication::clipboard()->clear();
      handled = true;
    }
    FLastKeyWasControl = key->key() == Qt::Key_Control;
    if (handled) return true;
  }
  return QMainWindow::eventFilter(watched, event);
}
