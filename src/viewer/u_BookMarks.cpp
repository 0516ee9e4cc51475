#include "u_BookMarks.h"

#include <QDesktopServices>
#include <QObject>
#include <QUrl>
#include <QVariant>

#include "c_MXWebBrowser.h"
#include "u_BookText.h"

void BookMarkClick(const TBookMarkItems& items, const QObject* sender, TMXWebBrowser& web) {
  bool ok = false;
  const int tag = sender ? sender->property("tag").toInt(&ok) : -1;
  if (!ok || tag < 0 || tag >= static_cast<int>(items.size())) return;
  const TBookMarkItem& item = items[static_cast<std::size_t>(tag)];
  if (item.NewWindow) ShellOpen(item.URL);
  else web.Navigate(item.URL);  // a story page moves the cursor when the navigation completes
}

void ShellOpen(const std::string& address) {
  QUrl url = QUrl::fromUserInput(FromBook(address));
  if (url.isValid()) QDesktopServices::openUrl(url);
}
