// The author's bookmarks: the drop-down menu of a Bookmarks button. A bookmark opens its address
// in the main browser, or hands it to the desktop to open outside the viewer.
#pragma once

#include <string>
#include <vector>

class QObject;
class TMXWebBrowser;

struct TBookMarkItem {
  std::string URL = "URL";
  bool NewWindow = false;
};

// One Bookmarks button's list, in menu order; a menu item's "tag" is its position here.
using TBookMarkItems = std::vector<TBookMarkItem>;

// Opens the chosen bookmark; a sender whose tag is out of range does nothing.
void BookMarkClick(const TBookMarkItems& items, const QObject* sender, TMXWebBrowser& web);

// Hands an address (text in the book's code page) to the desktop's default program for it.
// Failures are not reported: the desktop shows its own.
void ShellOpen(const std::string& address);
