// Helpers for tests that run the real web engine (under Xvfb).
#pragma once

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QTimer>
#include <QVariant>
#include <memory>
#include <string>

#include "c_MXWebBrowser.h"

namespace gui_test {

// Processes events until the condition holds or the time runs out.
template <class F>
bool WaitFor(F&& condition, int timeoutMs = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Navigates (to an engine URL or a book URL) and waits for the document to finish loading.
template <class TTarget>
bool Load(TMXWebBrowser& b, const TTarget& target) {
  bool done = false;
  auto c = QObject::connect(&b, &TMXWebBrowser::documentComplete, [&](const QUrl&) { done = true; });
  b.Navigate(target);
  bool ok = WaitFor([&] { return done; });
  QObject::disconnect(c);
  return ok;
}

// The value of a script expression in the page.
// A page whose renderer died answers only when the page goes, after this has returned.
inline QVariant Eval(TMXWebBrowser& b, const QString& script, int timeoutMs = 20000) {
  struct TAnswer {
    QVariant Result;
    bool Done = false;
  };
  auto answer = std::make_shared<TAnswer>();
  b.page()->runJavaScript(script, [answer](const QVariant& v) {
    answer->Result = v;
    answer->Done = true;
  });
  WaitFor([&] { return answer->Done; }, timeoutMs);
  return answer->Result;
}

// A picture of the given size in one colour, as the bytes of a file of that format.
inline std::string Picture(int w, int h, const char* format = "PNG") {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(Qt::darkCyan);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, format);
  return bytes.toStdString();
}
inline std::string Png(int w, int h) { return Picture(w, h); }

}  // namespace gui_test
