#include "u_StoryPrint.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocale>
#include <QPageSize>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <cstdio>
#include <fstream>

#include "frm_Main.h"
#include "u_Book.h"
#include "u_CodePage.h"
#include "u_EpubReading.h"
#include "u_InternetProtocolEngine.h"
#include "u_InternetProtocolSupport.h"
#include "u_Story.h"

QPageLayout StoryPageLayout(const QString& size, double marginsMm) {
  QPageSize::PageSizeId id = QLocale::system().measurementSystem() == QLocale::ImperialUSSystem ? QPageSize::Letter : QPageSize::A4;
  if (size.compare(QLatin1String("A4"), Qt::CaseInsensitive) == 0) id = QPageSize::A4;
  else if (size.compare(QLatin1String("Letter"), Qt::CaseInsensitive) == 0) id = QPageSize::Letter;
  else if (size.compare(QLatin1String("Legal"), Qt::CaseInsensitive) == 0) id = QPageSize::Legal;
  else if (size.compare(QLatin1String("A5"), Qt::CaseInsensitive) == 0) id = QPageSize::A5;
  return QPageLayout(QPageSize(id), QPageLayout::Portrait, QMarginsF(marginsMm, marginsMm, marginsMm, marginsMm), QPageLayout::Millimeter);
}

bool PrintStory(TfrmMain& window, const std::filesystem::path& folder, const QPageLayout& layout, QString& error) {
  TBook* book = window.Book();
  if (!book || !book->Story()) {
    error = QStringLiteral("The book has no story to print");
    return false;
  }
  // Every page is read from the whole content image.
  if (!window.JoinContentImage()) {
    error = QStringLiteral("The book's content cannot be read");
    return false;
  }
  const TStoryLine& lines = book->Story()->Lines();
  QWebEnginePage page(QWebEngineProfile::defaultProfile());
  // A book from an EPUB prints its mathematics laid out, as it shows it.
  const bool math = book->Loaded().FromEpub && LayOutMathML(page);
  QEventLoop loop;
  bool ok = false;
  QObject::connect(&page, &QWebEnginePage::loadFinished, &loop, [&](bool finished) {
    ok = finished;
    loop.quit();
  });
  QObject::connect(&page, &QWebEnginePage::pdfPrintingFinished, &loop, [&](const QString&, bool printed) {
    ok = printed;
    loop.quit();
  });
  std::ofstream list(folder / StoryPrintList, std::ios::binary);
  int printed = 0;
  for (std::int32_t i = 0; i < lines.Count(); ++i) {
    std::string file;
    if (lines.IsPage(i)) {
      char name[16];
      std::snprintf(name, sizeof name, "%04d.pdf", ++printed);
      file = name;
      const std::string address = "mfs:" + lines.Page(i);
      // The error page that stands for a missing page is no page of the book.
      if (StartRequest(address).ErrorPage) {
        error = QStringLiteral("The page %1 of the story is not in the book").arg(QString::fromStdString(ToUtf8(lines.Page(i))));
        return false;
      }
      page.load(EngineURLOfBookURL(address));
      loop.exec();
      if (!ok) {
        error = QStringLiteral("The page %1 of the story does not load").arg(QString::fromStdString(ToUtf8(lines.Page(i))));
        return false;
      }
      // MathJax lays out after the load: asked again as the event loop runs, until it has (a
      // page it cannot finish is printed as it stands after a while).
      QElapsedTimer waited;
      waited.start();
      for (bool ready = !math; !ready && waited.elapsed() < 20000;) {
        bool answered = false;
        page.runJavaScript(QString::fromLatin1(MathLaidOutScript), [&](const QVariant& result) {
          ready = result.toBool();
          answered = true;
        });
        QElapsedTimer asked;
        asked.start();
        while (!answered || (!ready && asked.elapsed() < 50)) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
      }
      page.printToPdf(QString::fromStdString((folder / file).string()), layout);
      loop.exec();
      if (!ok) {
        error = QStringLiteral("The page %1 of the story cannot be printed").arg(QString::fromStdString(ToUtf8(lines.Page(i))));
        return false;
      }
    }
    std::string name = ToUtf8(lines.Name(i));
    for (char& c : name)
      if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    list << lines.Level(i) << '\t' << file << '\t' << name << '\n';
  }
  list.close();
  if (!list) {
    error = QStringLiteral("The list of the story's pages cannot be written");
    return false;
  }
  return true;
}
