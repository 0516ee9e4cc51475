// The program entry of the viewer.
#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frm_Main.h"
#include "u_DataBlocks.h"
#include "u_ImageSource.h"
#include "u_CodePage.h"
#include "u_Dialogs.h"
#include "u_Pictures.h"
#include "u_InternetProtocolEngine.h"
#include "u_InternetProtocolSupport.h"

namespace {

// The automation switches, "-" or "/" and a name, letter case ignored.
bool HasSwitch(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if ((a[0] == '-' || a[0] == '/') && QString::fromLocal8Bit(a + 1).compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
      return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer sinceStart;
  sinceStart.start();
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
  TBookSource source;
  ApplyCodePageRecord(source);
  source.ContentLoad = StartContentImageLoad();

  // The engine describes its GL set-up at every start; the reader's terminal stays quiet unless
  // someone asks for logging.
  if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES")) QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
  RegisterEngineSchemes({"mfs", "system"});
  QApplication app(argc, argv);
  // Task bars group the viewer's windows under its desktop entry.
  QGuiApplication::setDesktopFileName(QStringLiteral("quirelle-viewer"));
  TEngineURLLayer urlLayer;

  // For scripted checks of a packed book: messages go to standard error, and once the first page
  // has loaded the caption, the page and the time since start are printed and the viewer ends.
  const bool check = qEnvironmentVariableIsSet("QUIRELLE_CHECK");
  int exitCode = 0;
  if (check) SetMessageHandler([&](QWidget*, const QString& title, const QString& text) {
      std::fprintf(stderr, "%s: %s\n", title.toUtf8().constData(), text.toUtf8().constData());
      exitCode = 1;
    });

  // Freed only once the loop has ended: a close can come while commands wait in nested loops
  // on the window's own stack, and those return first.
  auto owner = std::make_unique<TfrmMain>(std::move(source));
  TfrmMain* frmMain = owner.get();
  if (frmMain->CreateFailed()) return 1;
  // The content image is read while the window comes up; when it fails, so does the run.
  QObject::connect(frmMain, &TfrmMain::startUpFailed, [&] { exitCode = 1; });
  if (check) {
    QObject::connect(frmMain->webMain(), &TMXWebBrowser::documentComplete, frmMain, [&, frmMain](const QUrl&) {
      if (frmMain->CreateFailed()) return;  // the load that a failed content image aborted
      std::printf("title=%s\ncaption=%s\npage=%s\nms=%lld\n", ApplicationTitle().toUtf8().constData(),
                  frmMain->windowTitle().toUtf8().constData(), ToUtf8(frmMain->GetCurrentPage()).c_str(),
                  static_cast<long long>(sinceStart.elapsed()));
      // The first page must be a page of the book, not the error page that stands for it.
      if (StartRequest("mfs:" + frmMain->GetCurrentPage()).ErrorPage) {
        std::fprintf(stderr, "The first page of the book could not be shown\n");
        exitCode = 1;
      }
      std::fflush(stdout);
      const QString shot = qEnvironmentVariable("QUIRELLE_CHECK_SCREENSHOT");
      // Pictures are drawn a moment after the load finished.
      QTimer::singleShot(shot.isEmpty() ? 0 : 1500, frmMain, [frmMain, shot] {
        if (!shot.isEmpty()) frmMain->grab().save(shot);
        frmMain->close();
      });
    });
  }
  frmMain->OpenFirstPage();
  frmMain->show();
  int rc = app.exec();
  owner.reset();
  return exitCode ? exitCode : rc;
}
