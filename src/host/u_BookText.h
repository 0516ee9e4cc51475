// Book text (the book's 8-bit code page) to and from Qt's strings, for the windows and the
// script bridge.
#pragma once

#include <QString>
#include <string>

#include "u_CodePage.h"

inline QString FromBook(const std::string& s) { return QString::fromStdString(ToUtf8(s)); }

// Text the code page cannot hold loses those characters.
inline std::string ToBook(const QString& s) {
  std::string out;
  if (!FromUtf8(s.toStdString(), out)) out = FromUtf16Lossy(s.toStdU16String());
  return out;
}
