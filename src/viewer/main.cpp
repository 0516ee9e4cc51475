// The program entry of the viewer.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "frm_Main.h"
#include "u_DataBlocks.h"
#include "u_ImageSource.h"
#include "u_Book.h"
#include "u_CodePage.h"
#include "u_Dialogs.h"
#include "u_DiskFolder.h"
#include "u_EpubReading.h"
#include "u_LiveBook.h"
#include "u_StoryPrint.h"
#include "u_Pictures.h"
#include "u_InternetProtocolEngine.h"
#include "u_InternetProtocolSupport.h"

namespace {

// The automation switches, "-" or "/" and a name, letter case ignored.
bool IsSwitch(const char* a, const char* name) {
  return (a[0] == '-' || a[0] == '/') && QString::fromLocal8Bit(a + 1).compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

bool HasSwitch(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i)
    if (IsSwitch(argv[i], name)) return true;
  return false;
}

// The book file named on the command line: the first argument that is neither a switch of ours
// nor an option of Qt's (with its value), or empty. Read before Qt starts, so that the book is
// unpacked while it does.
std::string BookFileArgument(int argc, char** argv) {
  static const char* const valueOptions[] = {"system", "content", "print-story", "page-size", "margins", "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                               "qwindowicon", "qwindowtitle", "display", "geometry", "style", "stylesheet",
                                               "session", "title", "name", "visual"};
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--") == 0) return i + 1 < argc ? argv[i + 1] : "";
    if (a[0] == '-') {
      const char* option = a[1] == '-' ? a + 2 : a + 1;
      for (const char* o : valueOptions)
        if (std::strcmp(option, o) == 0) ++i;
      continue;
    }
    if (IsSwitch(a, "AUTOMATION") || IsSwitch(a, "EMBEDDING")) continue;
    return a;
  }
  return {};
}

// The two folders of a book read straight from them: --system S --content C, or a folder that
// holds both (as --new writes them). None for a book file.
struct TFolders {
  std::filesystem::path System, Content;
};
std::optional<TFolders> FolderArguments(int argc, char** argv, const std::string& book) {
  TFolders folders;
  for (int i = 1; i + 1 < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--system") == 0) folders.System = argv[++i];
    else if (std::strcmp(argv[i], "--content") == 0) folders.Content = argv[++i];
  }
  if (folders.System.empty() && folders.Content.empty() && !book.empty() && std::filesystem::is_directory(book) &&
      std::filesystem::is_directory(std::filesystem::path(book) / "system") && std::filesystem::is_directory(std::filesystem::path(book) / "content"))
    folders = {std::filesystem::path(book) / "system", std::filesystem::path(book) / "content"};
  if (folders.System.empty() && folders.Content.empty()) return std::nullopt;
  return folders;
}

// A book's images start unpacking at once, the content image on a worker thread.
void StartBook(TBookSource& source, const std::string& bookFile) {
  source.BookFile = bookFile;
  ApplyCodePageRecord(source);
  source.ContentLoad = StartContentImageLoad(std::nullopt, bookFile);
  PrepareStory(source);
}

bool OwnBlocks() {
  try {
    return CarriesBook(OwnExecutablePath());
  } catch (const Exception&) {
    return true;  // not knowing our own file, we let the book's load say what fails
  }
}

const char* const Usage =
    "Usage: quirelle-viewer [BOOK]\n"
    "       quirelle-viewer --system SYSTEM --content CONTENT | FOLDER\n"
    "Shows the book in the file BOOK: a book document (NAME.qbook), a packed book or a\n"
    "Windows-format book, or an EPUB, read as it is. Without BOOK, a viewer that carries a\n"
    "book of its own shows it; else it asks for one in the \"Open book\" dialog.\n"
    "The second form reads a book straight from its folders (FOLDER holding system/ and\n"
    "content/, as quirelle-pack --new writes them) and shows each edit at once; F5 reads the\n"
    "folders again, and a pane shows what quirelle-pack --check finds.\n"
    "  --help      shows this text\n"
    "  --version   shows the version\n"
    "Keys: F9 the contents, Escape closes the book; Ctrl+F, Ctrl+P, Alt+Left, Alt+Right,\n"
    "Ctrl+PgDown, Ctrl+PgUp, Ctrl+Plus, Ctrl+Minus, Ctrl+0 and Alt+Home where the book's\n"
    "toolbar has the button.\n"
    "Environment: QUIRELLE_CHECK=1 prints the title, caption and first page and ends.\n"
    "See man quirelle-viewer.\n";

// --help and --version answer on standard output before anything starts: no display needed.
bool AnswerInformationSwitch(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(Usage, stdout);
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("quirelle-viewer " QUIRELLE_VERSION);
      return true;
    }
  }
  return false;
}

// The engine's set-up before the application object exists.
void PrepareEngine() {
  // The engine describes its GL set-up at every start; the reader's terminal stays quiet unless
  // someone asks for logging.
  if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES")) QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
  // Screen readers get the page's headings, paragraphs and links, not an empty document: the
  // engine builds its tree only when an assistive technology asks for it.
  if (!qEnvironmentVariableIsSet("QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY")) qputenv("QTWEBENGINE_ENABLE_LINUX_ACCESSIBILITY", "1");
  RegisterEngineSchemes({"mfs", "system", FrameScheme});
}

void DressApplication() {
  // Task bars group the viewer's windows under its desktop entry.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.quirelle.Viewer"));
  // The icon of the installed theme, else our own; a book's logo still marks its own window.
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("quirelle"), QIcon(QStringLiteral(":/viewer/quirelle.png"))));
}

// An EPUB converted in memory; one that cannot be is said so.
bool OpenEpub(TBookSource& source, const std::string& file) {
  try {
    source = EpubBookSource(file);
    return true;
  } catch (const Exception& e) {
    ShowErrorMessage(nullptr, QString::fromStdString(e.Message()));
    return false;
  }
}

// The "Open book" dialog until the reader picks a book or cancels (false): a file chosen that is
// no book, or a damaged one, is said so, and the reader chooses again.
bool ChooseBook(TBookSource& source) {
  for (;;) {
    const QString chosen = AskForBookFile();
    if (chosen.isEmpty()) return false;
    const std::string file = QFile::encodeName(chosen).toStdString();
    if (IsEpubFile(file)) {
      if (OpenEpub(source, file)) return true;
      continue;
    }
    StartBook(source, file);
    if (source.SystemImage) return true;
    try {
      TMFS system;
      LoadSystemImage(system, file);
      return true;  // read this time: the book's own steps go on from here
    } catch (const Exception& e) {
      ShowErrorMessage(nullptr, DescribedFailure(QFile::decodeName(e.Message().c_str()), e));
    }
    source = TBookSource();
  }
}

// Scripted checks of a book (QUIRELLE_CHECK): messages go to standard error, and once the first
// page has loaded the title, caption, page and time since start are printed and the viewer ends.
class TCheckMode {
public:
  TCheckMode(int& exitCode, const QElapsedTimer& sinceStart) : FExitCode(exitCode), FSinceStart(sinceStart) {
    SetMessageHandler([this](QWidget*, const QString& title, const QString& text) {
      std::fprintf(stderr, "%s: %s\n", title.toUtf8().constData(), text.toUtf8().constData());
      FExitCode = 1;
    });
  }

  void Watch(TfrmMain* frmMain) {
    QObject::connect(frmMain->webMain(), &TMXWebBrowser::documentComplete, frmMain, [this, frmMain](const QUrl&) { FirstPage(frmMain); });
  }

private:
  void FirstPage(TfrmMain* frmMain) {
    if (frmMain->CreateFailed()) return;  // the load that a failed content image aborted
    std::printf("title=%s\ncaption=%s\npage=%s\nms=%lld\n", ApplicationTitle().toUtf8().constData(),
                frmMain->windowTitle().toUtf8().constData(), ToUtf8(frmMain->GetCurrentPage()).c_str(),
                static_cast<long long>(FSinceStart.elapsed()));
    // The first page must be a page of the book, not the error page that stands for it.
    if (StartRequest("mfs:" + frmMain->GetCurrentPage()).ErrorPage) {
      std::fprintf(stderr, "The first page of the book could not be shown\n");
      FExitCode = 1;
    }
    std::fflush(stdout);
    // The first page may come before the rest of the book is unpacked: the check is of the
    // whole book, and a failure there ends the run with its message.
    if (!frmMain->ContentImage()) return;
    const QString shot = qEnvironmentVariable("QUIRELLE_CHECK_SCREENSHOT");
    // Pictures are drawn a moment after the load finished.
    QTimer::singleShot(shot.isEmpty() ? 0 : 1500, frmMain, [frmMain, shot] {
      if (!shot.isEmpty()) frmMain->grab().save(shot);
      frmMain->close();
    });
  }

  int& FExitCode;
  const QElapsedTimer& FSinceStart;
};

// A start-up that failed or was given up: a failure met in a loop that start-up ran (a splash, a
// picture) is shown now that start-up has returned.
int EndFailedStart(TfrmMain* frmMain) {
  if (frmMain->Cancelled()) return 0;  // the reader gave up waiting
  // Shown here, start-up having returned, and not from a loop: the window's own report of it
  // may be queued too, and a quit queued behind it would close its box at once.
  frmMain->ReportPendingFailure();
  return 1;
}

// The value of an option of ours ("--page-size A4"), or empty.
std::string OptionValue(int argc, char** argv, const char* option) {
  for (int i = 1; i + 1 < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (std::strcmp(argv[i], option) == 0) return argv[i + 1];
  return {};
}

// For quirelle-pack --to-pdf: the book's story printed page by page into a folder, no window shown,
// failures on standard error.
int PrintStoryMode(TBookSource source, const std::optional<TFolders>& folders, const std::string& folder, int argc, char** argv) {
  int exitCode = 0;
  SetMessageHandler([&exitCode](QWidget*, const QString&, const QString& text) {
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    exitCode = 1;
  });
  try {
    if (folders) source = FolderBookSource(folders->System, folders->Content);
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", e.Message().c_str());
    return 1;
  }
  TfrmMain window(std::move(source), false);
  QString error;
  if (window.CreateFailed() || exitCode) {
    window.ReportPendingFailure();
    return 1;
  }
  const std::string margins = OptionValue(argc, argv, "--margins");
  const QPageLayout layout = StoryPageLayout(QString::fromStdString(OptionValue(argc, argv, "--page-size")), margins.empty() ? 15 : std::atof(margins.c_str()));
  if (PrintStory(window, folder, layout, error)) return exitCode;
  std::fprintf(stderr, "%s\n", error.toUtf8().constData());
  return 1;
}

// The author's loop: the book read from its folders, each edit shown as it is saved.
int RunFromFolders(QApplication& app, const TFolders& folders, std::optional<TCheckMode>& checkMode, int& exitCode) {
  TLiveBook live(folders.System, folders.Content, checkMode.has_value());
  if (!live.Open()) return 1;
  QObject::connect(live.Window(), &TfrmMain::startUpFailed, [&] { exitCode = 1; });
  if (checkMode) checkMode->Watch(live.Window());
  live.Window()->OpenFirstPage();
  live.Window()->show();
  const int rc = app.exec();
  live.FinishCheck();
  return exitCode ? exitCode : rc;
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer sinceStart;
  sinceStart.start();
  if (AnswerInformationSwitch(argc, argv)) return 0;
  // There is no registry to write here: registering and unregistering end at once.
  if (HasSwitch(argc, argv, "REGSERVER") || HasSwitch(argc, argv, "UNREGSERVER")) return 0;
  // Metafiles are drawn by a child process of our own, which a hostile picture cannot take down
  // with the viewer.
  try {
    SetMetafileHelper(OwnExecutablePath());
  } catch (const Exception&) {
  }
  if (argc == 2 && std::strcmp(argv[1], "--draw-metafiles") == 0) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);  // fonts for the text of EMF pictures
    return RunMetafileHelper();
  }
  // The book's content is unpacked while everything else starts: it needs nothing of Qt.
  // Its names compare in the code page the book records, which the small system image says first.
  // A book file named wins over the viewer's own blocks; with neither, the reader is asked.
  const bool check = qEnvironmentVariableIsSet("QUIRELLE_CHECK");
  const std::string bookFile = BookFileArgument(argc, argv);
  const std::optional<TFolders> folders = FolderArguments(argc, argv, bookFile);
  TBookSource source;
  const bool epub = !folders && !bookFile.empty() && IsEpubFile(bookFile);
  if (folders) SetBookCodePage(ChosenCodePage(folders->System, folders->Content));
  else if (!epub && (!bookFile.empty() || check || OwnBlocks())) StartBook(source, bookFile);

  PrepareEngine();
  QApplication app(argc, argv);
  DressApplication();
  if (source.SystemImage) StartMetafileHelperForImage(*source.SystemImage);
  TEngineURLLayer urlLayer;
  int exitCode = 0;
  std::optional<TCheckMode> checkMode;
  if (check) checkMode.emplace(exitCode, sinceStart);
  if (epub && !OpenEpub(source, bookFile)) return 1;
  if (const std::string print = OptionValue(argc, argv, "--print-story"); !print.empty()) return PrintStoryMode(std::move(source), folders, print, argc, argv);
  if (folders) return RunFromFolders(app, *folders, checkMode, exitCode);
  if (!source.ContentLoad && !ChooseBook(source)) return 0;

  // Freed only once the loop has ended: a close can come while commands wait in nested loops
  // on the window's own stack, and those return first.
  auto owner = std::make_unique<TfrmMain>(std::move(source));
  TfrmMain* frmMain = owner.get();
  if (frmMain->CreateFailed()) return EndFailedStart(frmMain);
  // The content image is read while the window comes up; when it fails, so does the run.
  QObject::connect(frmMain, &TfrmMain::startUpFailed, [&] { exitCode = 1; });
  if (checkMode) checkMode->Watch(frmMain);
  frmMain->OpenFirstPage();
  frmMain->show();
  int rc = app.exec();
  // A failure met in a nested loop may have been scheduled when the loop ended: the reader
  // still gets its message.
  frmMain->ReportPendingFailure();
  owner.reset();
  return exitCode ? exitCode : rc;
}
