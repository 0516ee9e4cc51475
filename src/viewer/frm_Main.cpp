#include "frm_Main.h"

#include <QAction>
#include <QActionGroup>
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
#include <QWebEnginePage>
#include <QWindow>
#include <algorithm>
#include <chrono>

#include "frm_Print.h"
#include "frm_Search.h"
#include "frm_Splash.h"
#include "frm_UserForm.h"
#include "u_BookCheck.h"
#include "u_BookText.h"
#include "u_CodePage.h"
#include "u_Dialogs.h"
#include "u_ImageSource.h"
#include "u_InternetProtocolEngine.h"
#include "u_Pictures.h"
#include "u_Toolbar.h"

namespace {

TfrmMain* GMainForm = nullptr;


const char* const FontSizeCaptions[] = {"Extra Small", "Small", "Medium", "Large", "Extra Large"};

// Runs one step of the start-up; a failure says which part of the book it was reading.
template <class F>
auto In(const std::string& where, F&& step) {
  try {
    return step();
  } catch (Exception& e) {
    if (!where.empty()) e.AddWhere(where);
    throw;
  }
}

// Whether the object is one of the application's windows. Compared by address only: the engine
// hands key events to objects of its own whose types we must not call into.
bool IsWindowSystemWindow(const QObject* object) {
  const QWindowList windows = QGuiApplication::allWindows();
  return std::any_of(windows.begin(), windows.end(), [object](const QWindow* w) { return w == object; });
}

// The start-up failure as the reader sees it: the system's message, then where it happened.
QString Described(const QString& message, const Exception& e) {
  QString text = message;
  if (!e.Cause().empty()) {
    QString cause = FromBook(e.Cause());
    cause[0] = cause[0].toUpper();
    text += QStringLiteral("\n\n") + cause + QStringLiteral(".");
  }
  return e.Where().empty() ? text : text + QStringLiteral("\n\nIn ") + FromBook(e.Where()) + QStringLiteral(".");
}

}  // namespace

TfrmMain* MainForm() { return GMainForm; }

void TContentImageLoad::WhenFinished(std::function<void()> f) {
  std::unique_lock<std::mutex> lock(FLock);
  if (!FFinished) {
    FWhenFinished = std::move(f);
    return;
  }
  lock.unlock();
  f();
}

bool TContentImageLoad::IsFinished() {
  std::lock_guard<std::mutex> lock(FLock);
  return FFinished;
}

void TContentImageLoad::Finished() {
  std::function<void()> f;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FFinished = true;
    f = std::move(FWhenFinished);
  }
  if (f) f();
}

std::shared_ptr<TContentImageLoad> StartContentImageLoad(std::optional<std::string> cab, std::string bookFile) {
  auto load = std::make_shared<TContentImageLoad>();
  // The worker holds the load by address: it lives until the worker is done (whoever owns it
  // waits for Done first).
  // The image itself is held by address too: its owner may change (the window takes it).
  load->Done = std::async(std::launch::async, [load = load.get(), image = load->Image.get(), cab = std::move(cab),
                                               book = std::move(bookFile)]() mutable {
    struct TLastWord {
      TContentImageLoad* Load;
      ~TLastWord() { Load->Finished(); }
    } lastWord{load};
    if (cab) LoadCabImage(*image, std::move(*cab));
    else LoadContentImage(*image, book);
  });
  return load;
}

TfrmMain::TfrmMain(TBookSource source, TBookReport* report) : FReport(report) {
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
  qApp->installEventFilter(this);
  try {
    StartUp(source);
  } catch (const EInvalidOperation& e) {
    FCreateFailed = true;
    ShowErrorMessage(this, Described(QString::fromLatin1(SInvalidToolbarImageSize), e));
    FormDestroy();
  } catch (const Exception& e) {
    FCreateFailed = true;
    if (FReport) FReport->Failure({}, 0, e);  // what the rest of the check needs is missing
    else ShowErrorMessage(this, Described(FromBook(e.Message()), e));
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

// A key of System.xml; for the check, one that does not convert is reported and the default
// stands.
template <class T, class F>
T TfrmMain::SystemValue(const char* name, T def, F&& read) const {
  try {
    return In(std::string("System.xml, key ") + name, read);
  } catch (const Exception& e) {
    if (!FReport) throw;
    const TXMLAttribute* a = FSystemDescription->Root()->Attributes.Find(name);
    FReport->Failure("System.xml", a ? a->Line : 0, e);
    return def;
  }
}

std::string TfrmMain::SystemText(const char* name) const {
  return SystemValue(name, std::string(), [&] { return SystemKey(name, TXMLValue::Text(std::string())).AsText(); });
}
std::int32_t TfrmMain::SystemInteger(const char* name, std::int32_t def) const {
  return SystemValue(name, def, [&] { return SystemKey(name, TXMLValue::Integer(def)).AsInteger(); });
}
bool TfrmMain::SystemBoolean(const char* name, bool def) const {
  return SystemValue(name, def, [&] { return SystemKey(name, TXMLValue::Boolean(def)).AsBoolean(); });
}

template <class F>
bool TfrmMain::Step(const std::string& file, F&& step, const std::function<std::int32_t(const Exception&)>& lineOf) {
  if (!FReport) {
    step();
    return true;
  }
  try {
    step();
    return true;
  } catch (const Exception& e) {
    FReport->Failure(file, lineOf ? lineOf(e) : 0, e);
    return false;
  }
}

void TfrmMain::StartUp(TBookSource& source) {
  FFontSize = 2;
  FCreated = false;
  FSplashIdle = true;
  // Unpacked on a worker while the rest starts up; nothing here touches it until
  // JoinContentImage, before the first request is served.
  std::shared_ptr<TContentImageLoad> load =
      source.ContentLoad ? std::move(source.ContentLoad) : StartContentImageLoad(std::move(source.ContentCab));
  FContentImage = std::move(load->Image);
  FContentLoad = std::move(load->Done);
  FContentLoadState = std::move(load);
  FSystemImage = std::make_unique<TMFS>();
  In("the book's system image (SYSTEM_MFS)", [&] {
    try {
      if (source.SystemCab) LoadCabImage(*FSystemImage, std::move(*source.SystemCab));
      else LoadSystemImage(*FSystemImage);
    } catch (Exception& e) {
      if (!source.BookFile.empty()) AddBlockCause(e, source.BookFile, "SYSTEM_MFS");
      throw;
    }
  });

  FSystemImage->Session()->ChangeFolder("\\");
  FSystemDescription = std::make_unique<TXMLParser>();
  // For the check, a System.xml that does not parse is reported and the rest of the book is
  // still looked at, as far as it can be without the names it would give.
  if (!Step("System.xml", [&] { In("System.xml", [&] {
        FSystemDescription->Parse(FSystemImage->Session()->GetFile("System.xml")->Data);
      }); })) {
    FSystemDescriptionFailed = true;
    FSystemDescription = std::make_unique<TXMLParser>();
    FSystemDescription->Parse("<System/>");
  }

  const std::string formsName = SystemText("Forms");
  FFormsFile = formsName;
  bool hasForms = false;
  const std::string formsText = SystemFileText(formsName, hasForms);
  if (!Step(formsName, [&] { In(formsName, [&] {
    if (hasForms) {
      const std::string folder = TMFS::ExtractFilePath(TMFS::ConvertSlashes(formsName));
      if (!folder.empty()) FSystemImage->Session()->ChangeFolder(folder);
      FUserForms = std::make_unique<TUserForms>(FSystemImage->Session(), &formsText);
    } else {
      FUserForms = std::make_unique<TUserForms>(nullptr, nullptr);
    }
  }); }))
    FUserForms = std::make_unique<TUserForms>(nullptr, nullptr);
  FSystemImage->Session()->ChangeFolder("\\");
  FHostObject = std::make_unique<THostExternal>(*this);

  const std::string storyName = SystemText("Story");
  FStoryFile = storyName.empty() ? std::string("\\Story.xml") : storyName;
  if (!FSystemDescriptionFailed)
    Step(FStoryFile, [&] { In(FStoryFile, [&] { FStory = std::make_unique<TStory>(*FSystemImage, storyName); }); });

  bool exists = false;
  const std::string variablesName = SystemText("Variables");
  FVariablesFile = variablesName;
  std::string variablesText = SystemFileText(variablesName, exists);
  // A cycle or a value beyond the limits names its variable: the report gives its line.
  auto variableLine = [&](const Exception& e) { return VariableLine(variablesText, e.Message()); };
  if (!Step(variablesName, [&] { In(variablesName, [&] {
        FVariables = std::make_unique<TVariables>(exists ? std::optional<std::string>(variablesText) : std::nullopt, true);
      }); }, variableLine)) {
    FVariablesFailed = true;  // the check then leaves references alone: the file itself is at fault
    FVariables = std::make_unique<TVariables>(std::nullopt, true);
  }

  Step("System.xml", [&] {
    std::string title = SystemText("ApplicationTitle");
    if (!title.empty()) SetApplicationTitle(FromBook(FVariables->Substitute(title)));
    std::string caption = SystemText("MainFormCaption");
    if (!caption.empty()) setWindowTitle(FromBook(FVariables->Substitute(caption)));
  });

  auto filter = [this](TMFSInternetProtocol&, const std::string& path, std::string& data) {
    ExpandVariablesFilter(data, path);
  };
  // A request that comes while the worker still unpacks waits without holding up the event
  // loop, so the engine goes on starting meanwhile; the worker's end lets it through.
  if (TEngineURLLayer* layer = TEngineURLLayer::Instance()) layer->BeforeRequest = [this] {
      using TGate = TEngineURLLayer::TGate;
      // Asked by the worker's own flag, not the future's: the worker says its last word just
      // before the future is ready, and a request resumed in between must not wait again.
      if (FContentLoad.valid() && FContentLoadState && !FContentLoadState->IsFinished()) {
        FContentLoadState->WhenFinished([this] {
          QMetaObject::invokeMethod(this, [] {
              if (TEngineURLLayer* l = TEngineURLLayer::Instance()) l->ResumeDeferred();
            }, Qt::QueuedConnection);
        });
        return TGate::Later;
      }
      return JoinContentImage() ? TGate::Serve : TGate::Fail;
    };
  FContentProtocol = std::make_unique<TMFSInternetProtocol>("mfs", FContentImage.get());
  FContentProtocol->OnAfterGetData = filter;
  FSystemProtocol = std::make_unique<TMFSInternetProtocol>("system", FSystemImage.get());
  FSystemProtocol->OnAfterGetData = filter;

  In("System.xml, element toolbar", [&] { FToolbarOptions.Load(FSystemDescription->Root()->Nodes.FindNode("toolbar"), FReport); });
  Step("\\Logo.bmp", [&] { ApplyToolbarOptions(); });
  FSplashOptions = std::make_unique<TSplashOptions>();
  In("System.xml, element splash", [&] { FSplashOptions->Load(FSystemDescription->Root()->Nodes.FindNode("splash"), FReport); });
  if (!FReport) ShowSplash(FSplashOptions.get(), true, *FSystemImage, this, FSplashIdle);

  resize(640, 480);
  TToolbarHandlers handlers;
  handlers.ToolButtonClick = [this](QObject* sender) { ToolButtonClick(sender); };
  handlers.mnuSearchClick = [this] { mnuSearchClick(); };
  handlers.BookMarkClick = [this](const TBookMarkItems& items, QObject* sender) {
    if (FwebMain) BookMarkClick(items, sender, *FwebMain);
  };
  const std::string toolButtons = SystemText("ToolButtons");
  FToolButtonsFile = toolButtons;
  FSystemImage->Session()->ChangeFolder("\\");
  bool hasToolButtons = false;
  std::string toolButtonsText = SystemFileText(toolButtons, hasToolButtons);
  FToolbar->Report = FReport;
  Step(toolButtons, [&] { In(toolButtons, [&] {
    FToolbar->BuildToolbar(*FSystemImage, toolButtons,
                           hasToolButtons ? std::optional<std::string>(std::move(toolButtonsText)) : std::nullopt, handlers);
  }); });
  // The book's size, but never beyond the screen: a window of 20000 pixels a side takes
  // gigabytes in the graphics driver.
  int width = SystemInteger("Width", 800);
  int height = SystemInteger("Height", 600);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QSize room = screen->availableGeometry().size();
    width = std::clamp(width, 1, std::max(1, room.width()));
    height = std::clamp(height, 1, std::max(1, room.height()));
  }
  resize(width, height);
  FOuterSize = QSize(width, height);
  const bool maximized = SystemBoolean("RunMaximized", false);
  FFixedSize = !SystemBoolean("ResizableWindow", false);
  if (FFixedSize) {
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
  connect(FwebMain->page(), &QWebEnginePage::renderProcessTerminated, this,
          [this](QWebEnginePage::RenderProcessTerminationStatus status, int) {
            if (status != QWebEnginePage::NormalTerminationStatus) QTimer::singleShot(0, this, [this] { ShowStoppedPage(); });
          });
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
  if (!FContentLoad.valid()) return !FCreateFailed;
  try {
    In("the book's content image (FILES_MFS)", [&] { FContentLoad.get(); });
    return true;
  } catch (const Exception& e) {
    StartUpFailedLate(Described(FromBook(e.Message()), e));
  } catch (const std::exception& e) {
    StartUpFailedLate(QString::fromUtf8(e.what()));
  }
  return false;
}

// The content image failed after the window was up: nothing of the book is shown, the reader
// gets the message, and the viewer ends as after any failed start-up.
void TfrmMain::StartUpFailedLate(const QString& message) {
  FCreateFailed = true;
  if (FwebMain) FwebMain->stop();
  QTimer::singleShot(0, this, [this, message] {
    ShowErrorMessage(this, message);
    FormDestroy();
    emit startUpFailed();
    close();
  });
}

void TfrmMain::CheckBook() {
  if (!FReport || FCreateFailed) return;
  TBookReport& report = *FReport;
  if (FContentLoad.valid()) {
    try {
      In("the book's content image (FILES_MFS)", [&] { FContentLoad.get(); });
    } catch (const Exception& e) {
      report.Failure({}, 0, e);
      return;
    }
  }
  CheckSystemFiles(*FSystemDescription->Root(), *FSystemImage, report);
  const TXMLNode* toolbar = FSystemDescription->Root()->Nodes.FindNode("toolbar");
  if (FToolbarOptions.ToolbarPlacement != tpNoToolbar && FToolbarOptions.ToolbarShowCaption && !FToolbar->Buttons().empty() &&
      FToolbarOptions.ToolbarTextColor == FToolbarOptions.ToolbarBackColor)
    report.Note("System.xml", toolbar ? toolbar->Line : 0,
                "ToolbarTextColor is the same as ToolbarBackColor (" + std::to_string(FToolbarOptions.ToolbarBackColor) +
                    "): the button captions cannot be seen");
  TReachedFiles reached;
  if (FStory) CheckStory(FStory->Lines(), FStoryFile, *FContentImage, report, reached);
  if (FUserForms) FUserForms->ForEach([&](const std::string& name, const TUserForm& form) {
      if (FindBookFile(*FContentImage, form.Path)) reached.insert(form.Path);
      else report.Error(FFormsFile, form.Line, "The page \"" + form.Path + "\" of the form \"" + name + "\" is not in the content image");
    });
  // Bookmarks and the logo's link that open pages of the book reach them too.
  std::vector<std::string> links{FToolbarOptions.LogoLink};
  for (const auto& menu : FToolbar->Bookmarks)
    for (const TBookMarkItem& item : menu->BookmarkItems) links.push_back(item.URL);
  for (const std::string& link : links) {
    // A bookmark without a scheme opens nothing of the book (noted with the toolbar).
    if (link.empty() || (&link != &links.front() && link.find(':') == std::string::npos)) continue;
    const TResolvedLink to = ResolveBookLink("mfs", "\\", link);
    if (to.Kind != TResolvedLink::Book || to.Scheme != "mfs") continue;
    if (FindBookFile(*FContentImage, to.Path)) reached.insert(to.Path);
    else report.Error(link == links.front() ? std::string("System.xml") : FToolButtonsFile, 0, MissingLink(link, to));
  }
  // Variables whose values do not expand are reported already; their names still count.
  std::function<bool(std::string_view)> defined = [this](std::string_view name) { return FVariables->Values().Exists(name); };
  bool namesKnown = true;
  if (FVariablesFailed) {
    bool exists = false;
    FSystemImage->Session()->ChangeFolder("\\");  // named from the root, as start-up read it
    const std::string text = SystemFileText(FVariablesFile, exists);
    try {
      defined = VariableNames(text);
    } catch (const Exception&) {
      namesKnown = false;  // the file does not parse: reported already
    }
  }
  if (namesKnown) {
    CheckVariableReferences(defined, *FSystemImage, "system", report);
    CheckVariableReferences(defined, *FContentImage, "mfs", report);
  }
  // Without the story, every file would look unreached.
  CheckLinks(*FContentImage, *FSystemImage, report, reached, !FSystemDescriptionFailed);
}

TMFS* TfrmMain::ContentImage() {
  return JoinContentImage() ? FContentImage.get() : nullptr;
}

void TfrmMain::FormDestroy() {
  // A worker still unpacking the content image writes into it: wait for it first.
  if (FContentLoad.valid()) FContentLoad.wait();
  if (TEngineURLLayer* layer = TEngineURLLayer::Instance()) layer->BeforeRequest = nullptr;
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
  FUserForms.reset();
  FSplashOptions.reset();
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
  if (FSplashOptions && FSystemImage) {
    try {
      ShowSplash(FSplashOptions.get(), false, *FSystemImage, this, FSplashIdle);
    } catch (const Exception& e) {
      FSplashIdle = true;
      ShowErrorMessage(this, FromBook(e.Message()));
      event->ignore();
      return;
    }
    FSplashOptions.reset();  // shown once, whatever closes the window later
  }
  FContentProtocol.reset();
  FSystemProtocol.reset();
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
  if (!FwebMain || !FStory) return;
  ApplyFontSize(2);
  QCoreApplication::processEvents();
  FwebMain->Navigate("mfs:" + FStory->CurrentPage());
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
  if (!FStory) return;
  const std::string page = GetCurrentPage();
  const std::int32_t before = FStory->Lines().FindPage(page);
  if (before != TStoryLine::None) FStory->Locate(page);
  else FStory->LocateAddress(page);
}

// A page whose renderer died (a crash, a script that ate all memory) leaves a dead view; show
// what happened and a way back, as a browser does. The toolbar, the keys and the story go on.
void TfrmMain::ShowStoppedPage() {
  if (!FwebMain) return;
  const QString page = FwebMain->LocationURL().toString(QUrl::FullyEncoded).toHtmlEscaped();
  FwebMain->LoadHTMLText(QStringLiteral("<html><head><title>The page stopped</title></head><body style='font-family:sans-serif;margin:2em'>"
                                        "<h2>This page stopped working</h2><p>The page could not go on and was closed.</p>"
                                        "<p><a id=reload href='%1'>Show the page again</a></p></body></html>")
                             .arg(page)
                             .toUtf8());
}

void TfrmMain::PostCloseRequest() { QTimer::singleShot(0, this, &QWidget::close); }

bool TfrmMain::HasUserForm(const std::string& name) { return FUserForms && FUserForms->FindForm(name); }

QUrl TfrmMain::QueueUserForm(const std::string& name) {
  TEngineURLLayer* layer = TEngineURLLayer::Instance();
  const QUrl waiter = layer ? layer->AddWaiter() : QUrl();
  auto release = [waiter] {
    if (TEngineURLLayer* l = TEngineURLLayer::Instance(); l && !waiter.isEmpty()) l->ReleaseWaiter(waiter);
  };
  // Shown from the loop, once the script's synchronous call has returned; the script then waits
  // on the address until the form has closed.
  QTimer::singleShot(0, this, [this, name, release] {
    if (!FUserForms || !FHostObject || FClosing) {
      release();
      return;
    }
    try {
      OpenUserForm(*FUserForms, *FHostObject, name, this, release);
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

void TfrmMain::ExpandVariablesFilter(std::string& content, const std::string& name) {
  if (FVariables) FVariables->SubstituteInPlace(content, name);
}

bool TfrmMain::webMain2ShowContextMenu() { return FStory && FStory->RightClickDisabled(); }

void TfrmMain::ToolButtonClick(QObject* sender) {
  // Commands act on a page that can be used; a page that never gets there must not hang us.
  if (FwebMain) FwebMain->WaitUntilReady(ReadyTimeoutMs);
  if (FClosing) return;  // closed while the command waited
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
      try {
        ::ShowUserForm(*FUserForms, *FHostObject, "About", this);
      } catch (...) {
        ApplyFontSize(FFontSize);
        throw;
      }
      ApplyFontSize(FFontSize);
      break;
    case bkExit: FHostObject->Terminate(); break;
    case bkPrint: Exec(cmdPrintPreview); break;
    case bkCopy: Exec(cmdCopy); break;
    case bkRefresh: Exec(cmdRefresh); break;
    case bkHome: FwebMain->GoHome(); break;
    default: break;  // separators, drop-down buttons and unknown kinds do nothing here
  }
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
  if (FStory && ContentImage()) ShowSearchWindow(*this);
}

void TfrmMain::ShowFoundPage(const std::string& page, const QString& highlight) {
  if (!FStory || !FwebMain) return;
  FStory->Locate(page);
  FPendingHighlight = highlight;
  NavigateToCurrentPage();
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
    if (key->key() == Qt::Key_Escape && !popupOpen) {
      if (auto* print = qobject_cast<TfrmPrint*>(QApplication::activeWindow())) {
        QTimer::singleShot(0, print, &QDialog::reject);
        handled = true;
      }
    }
    // No copying from a protected page with the keyboard: whatever came before, Control with C
    // or Insert is swallowed and the clipboard emptied.
    if ((key->key() == Qt::Key_C || key->key() == Qt::Key_Insert) && (key->modifiers() & Qt::ControlModifier) &&
        FStory && FStory->RightClickDisabled()) {
      QGuiApplication::clipboard()->clear();
      handled = true;
    }
    if (handled) return true;
  }
  return QMainWindow::eventFilter(watched, event);
}
