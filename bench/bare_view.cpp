// The baseline for the start-up benchmark: a bare QWebEngineView that shows one page from disk,
// prints the time since its start when the page has loaded, and ends.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWebEngineView>
#include <cstdio>

int main(int argc, char** argv) {
  QElapsedTimer sinceStart;
  sinceStart.start();
  QApplication app(argc, argv);
  if (argc < 2) return 2;
  QWebEngineView view;
  QObject::connect(&view, &QWebEngineView::loadFinished, [&](bool) {
    std::printf("ms=%lld\n", static_cast<long long>(sinceStart.elapsed()));
    std::fflush(stdout);
    QTimer::singleShot(0, &view, &QWidget::close);
  });
  view.resize(900, 700);
  view.load(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])));
  view.show();
  return app.exec();
}
