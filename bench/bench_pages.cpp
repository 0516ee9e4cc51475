// A page with 50 pictures loaded through mfs: and, in the same engine and run, the same files
// through file:// from disk. Prints both times (best of several loads) and their ratio.
// Run it under a display, for example: xvfb-run -a build/release/bench/bench_pages
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QWebEngineProfile>
#include <cstdio>

#include "bench_browser.h"
#include "c_MXWebBrowser.h"
#include "u_InternetProtocolEngine.h"
#include "u_MFSInternetProtocol.h"

namespace {

QByteArray Picture(int i) {
  QImage image(200, 150, QImage::Format_RGB32);
  image.fill(QColor::fromHsv(i * 7 % 360, 200, 200));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  RegisterEngineSchemes({"mfs", "system"});
  QApplication app(argc, argv);
  int runs = argc > 1 ? std::atoi(argv[1]) : 7;
  QWebEngineProfile::defaultProfile()->setHttpCacheType(QWebEngineProfile::NoCache);

  TEngineURLLayer layer;
  TMFS content;
  TMFSInternetProtocol mfs("mfs", &content);
  QTemporaryDir dir;
  QDir(dir.path()).mkpath("pics");
  QByteArray page = "<html><body>\n";
  content.Session()->ForceFolders("\\pics");
  for (int i = 0; i < 50; ++i) {
    QByteArray name = "pics/p" + QByteArray::number(i) + ".png";
    QByteArray bytes = Picture(i);
    content.Session()->CreateFile(name.toStdString(), 0, false)->Data = bytes.toStdString();
    QFile f(dir.filePath(QString::fromLatin1(name)));
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    page += "<img src='" + name + "'>\n";
  }
  page += "</body></html>\n";
  content.Session()->CreateFile("\\page.htm", 0, false)->Data = page.toStdString();
  QFile f(dir.filePath("page.htm"));
  f.open(QIODevice::WriteOnly);
  f.write(page);
  f.close();

  TMXWebBrowser browser;
  browser.resize(1000, 800);
  browser.show();
  const QUrl viaMfs("mfs:/page.htm");
  const QUrl viaFile = QUrl::fromLocalFile(dir.filePath("page.htm"));
  double bestMfs = 1e30, bestFile = 1e30;
  LoadMs(browser, viaMfs);  // warm up the renderer
  LoadMs(browser, viaFile);
  for (int i = 0; i < runs; ++i) {
    bestMfs = std::min(bestMfs, LoadMs(browser, viaMfs));
    bestFile = std::min(bestFile, LoadMs(browser, viaFile));
  }
  std::printf("Page with 50 pictures (200x150 PNG), best of %d loads\n", runs);
  std::printf("  %-28s %8.1f ms\n", "mfs: from the MFS image", bestMfs);
  std::printf("  %-28s %8.1f ms\n", "file:// from disk", bestFile);
  std::printf("  %-28s %8.2f\n", "ratio mfs: / file://", bestMfs / bestFile);
  return 0;
}
