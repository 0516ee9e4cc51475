// A page of many elements (300,000 tags by default, the first argument to change it): the time to
// load it, and the time the print menu's scan adds once it has loaded, asked as the viewer asks
// now (the divisions whose id ends in "PAGE") and as it asked before (every element).
// Run it under a display: xvfb-run -a build/release/bench/bench_big_page [TAGS] [RUNS]
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QUrl>
#include <QWebEngineProfile>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "bench_browser.h"
#include "c_MXWebBrowser.h"

namespace {

double Ms(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

// The time until the scan's answer has arrived, and how many elements it held.
double ScanMs(const std::function<void(const std::function<void(const QVariantList&)>&)>& scan, qsizetype& count) {
  bool done = false;
  QElapsedTimer timer;
  timer.start();
  scan([&](const QVariantList& elements) {
    count = elements.size();
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  return Ms(timer);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
  QApplication app(argc, argv);
  const long tags = argc > 1 ? std::atol(argv[1]) : 300000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  QWebEngineProfile::defaultProfile()->setHttpCacheType(QWebEngineProfile::NoCache);
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("big.htm"));
  {
    QByteArray page = "<html><body>";
    for (long i = 0; i < tags / 3; ++i) {
      page += "<p><span>w</span><b>";
      page += (i % 10000 == 0) ? "<div id=\"s" + QByteArray::number(static_cast<qlonglong>(i)) + "PAGE\">x</div>" : "x";
      page += "</b></p>";
    }
    page += "</body></html>";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return 1;
    file.write(page);
  }
  TMXWebBrowser browser;
  browser.resize(900, 700);
  browser.show();
  double load = 1e30, sections = 1e30, all = 1e30;
  qsizetype sectionCount = 0, allCount = 0;
  for (int run = 0; run < runs; ++run) {
    load = std::min(load, LoadMs(browser, QUrl::fromLocalFile(path)));
    sections = std::min(sections, ScanMs([&](auto done) { browser.ElementsWithIdSuffix("div", "PAGE", done, false); }, sectionCount));
    all = std::min(all, ScanMs([&](auto done) { browser.AllElements(done, false); }, allCount));
  }
  std::printf("A page of %ld tags (best of %d)\n", tags, runs);
  std::printf("  load to document complete              %8.0f ms\n", load);
  std::printf("  print sections asked for (%5lld found)  %8.0f ms  ratio (load + scan) / load %.3f\n",
              static_cast<long long>(sectionCount), sections, (load + sections) / load);
  std::printf("  every element asked for (%7lld found) %8.0f ms  ratio (load + scan) / load %.3f\n",
              static_cast<long long>(allCount), all, (load + all) / load);
  return 0;
}
