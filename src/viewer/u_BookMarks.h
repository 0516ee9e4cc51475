// The author's bookmarks: the drop-down menu of a Bookmarks button. A bookmark opens its address
// in the main browser, or hands it to the desktop to open outside the viewer.
#pragma once

#include <string>

#include "u_Book.h"

class QObject;
class TMXWebBrowser;

// Opens the chosen bookmark; a sender whose tag is out of range does nothing.
void BookMarkClick(const TBookMarkItems& items, const QObject* sender, TMXWebBrowser& web);

// Hands an address (text in the book's code page) to the desktop's default program for it.
// Failures are not reported: the desktop shows its own.
void ShellOpen(const std::string& address);
