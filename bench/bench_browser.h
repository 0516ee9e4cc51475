// For the benchmarks that drive the browser control: the time a navigation takes until the
// document has completed.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUrl>

#include "c_MXWebBrowser.h"

inline double LoadMs(TMXWebBrowser& browser, const QUrl& url) {
  bool done = false;
  auto c = QObject::connect(&browser, &TMXWebBrowser::documentComplete, [&](const QUrl&) { done = true; });
  QElapsedTimer timer;
  timer.start();
  browser.Navigate(url);
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
  QObject::disconnect(c);
  return ms;
}
