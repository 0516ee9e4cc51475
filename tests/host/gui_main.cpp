// One process for every test of the real engine: the schemes are declared before the
// application exists, as the engine requires.
#include <gtest/gtest.h>

#include <QApplication>
#include <QWebEngineUrlScheme>

#include "u_InternetProtocolEngine.h"

int main(int argc, char** argv) {
  qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  RegisterEngineSchemes({"mfs", "system", "mfs-frame"});
  // A scheme whose answers the tests hold back, for pages that stay loading.
  QWebEngineUrlScheme held("held");
  held.setSyntax(QWebEngineUrlScheme::Syntax::Path);
  held.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::CorsEnabled);
  QWebEngineUrlScheme::registerScheme(held);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
