#include "frm_Print.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantMap>

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "c_MXWebBrowser.h"
#include "obj_HostExternal.h"
#include "u_BookText.h"
#include "u_Dialogs.h"
#include "u_Errors.h"
#include "u_InternetProtocolSupport.h"

namespace {

bool IsDiv(const QVariantMap& element) {
  return element.value(QStringLiteral("tagName")).toString().compare(QLatin1String("div"), Qt::CaseInsensitive) == 0;
}

}  // namespace

// The pictures live in a static library: register them before the first window needs them.
static void InitResources() { Q_INIT_RESOURCE(viewer); }

TfrmPrint::TfrmPrint(QWidget* parent) : QDialog(parent) {
  InitResources();
  setWindowTitle(QStringLiteral("Print page"));
  setSizeGripEnabled(true);
  FtbrPrint = new QToolBar(this);
  FtbtnPrint = new QToolButton(FtbrPrint);
  FtbtnPrint->setIcon(QIcon(QStringLiteral(":/viewer/print.png")));
  FtbtnPrint->setToolTip(QStringLiteral("Print"));
  FtbtnPrint->setAccessibleName(QStringLiteral("Print"));
  FtbtnPreview = new QToolButton(FtbrPrint);
  FtbtnPreview->setIcon(QIcon(QStringLiteral(":/viewer/preview.png")));
  FtbtnPreview->setToolTip(QStringLiteral("Preview"));
  FtbtnPreview->setAccessibleName(QStringLiteral("Preview"));
  FtbrPrint->addWidget(FtbtnPrint);
  FtbrPrint->addWidget(FtbtnPreview);
  FwebPrint = new TMXWebBrowser(this);
  FwebPrint->SetDownloadOptions(DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS);
  FwebPrint->SetUserInterfaceOptions(0);
  FwebPrint->OnShowContextMenu = [](std::uint32_t, const QPoint&) { return HOST_S_OK; };  // no context menu here
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(FtbrPrint);
  layout->addWidget(FwebPrint, 1);
  resize(688, 446);
  connect(FtbtnPrint, &QToolButton::clicked, this, &TfrmPrint::tbtnPrintClick);
  connect(FtbtnPreview, &QToolButton::clicked, this, &TfrmPrint::tbtnPreviewClick);
}

void TfrmPrint::Exec(int command) {
  try {
    if (!FwebPrint->ExecCommand(command)) throw EOleSysError(SUnspecifiedError, E_FAIL_STATUS);
  } catch (const Exception& e) {
    ShowErrorMessage(this, FromBook(e.Message()));
  }
}

void TfrmPrint::tbtnPrintClick() { Exec(cmdPrint); }
void TfrmPrint::tbtnPreviewClick() { Exec(cmdPrintPreview); }

QByteArray SectionDocument(const QString& innerHTML, const QString& base) {
  return QByteArrayLiteral("<html><head> <base href=\"") + base.toHtmlEscaped().toUtf8() + QByteArrayLiteral("\">  </head><body>") +
         innerHTML.toUtf8() + QByteArrayLiteral("</body></html>");
}

void FillPrintMenu(TMXWebBrowser& browser, QMenu& popPrint, const std::function<void()>& done) {
  QPointer<QMenu> menu(&popPrint);
  QPointer<TMXWebBrowser> web(&browser);
  // Only the divisions whose id ends in "PAGE" come back: the scan runs on every document
  // completed, and a page may hold millions of elements.
  browser.ElementsWithIdSuffix(QStringLiteral("div"), QStringLiteral("PAGE"),
      [menu, web, done](const QVariantList& elements) {
        if (!menu || !web) return;
        // Documents can complete faster than their lists arrive: the last list is the menu.
        menu->clear();
        for (const QVariant& item : elements) {
          const QVariantMap element = item.toMap();
          if (!IsDiv(element)) continue;
          const QString id = element.value(QStringLiteral("id")).toString();
          if (!id.endsWith(QLatin1String("PAGE"), Qt::CaseInsensitive)) continue;
          QAction* action = menu->addAction(id);
          action->setToolTip(id);
          QObject::connect(action, &QAction::triggered, web, [web, action] {
            if (web) PrintSectionClick(*web, action);
          });
        }
        if (done) done();
      },
      false);
}

void PrintSectionClick(TMXWebBrowser& browser, QObject* sender) {
  auto* action = qobject_cast<QAction*>(sender);
  if (!action) return;
  const QString wanted = action->toolTip();
  QPointer<TMXWebBrowser> web(&browser);
  browser.ElementsWithIdSuffix(QStringLiteral("div"), wanted, [web, wanted](const QVariantList& elements) {
    if (!web) return;
    for (const QVariant& item : elements) {
      const QVariantMap element = item.toMap();
      if (IsDiv(element) && element.value(QStringLiteral("id")).toString().compare(wanted, Qt::CaseInsensitive) == 0) {
        // A section of a web page (a link or a bookmark led there) is the web's content, not
        // the book's: it must not run as the book.
        const QUrl page = web->url();
        const bool fromBook = !page.scheme().isEmpty() && InternetProtocolSession().FindProtocol(page.scheme().toStdString());
        const QByteArray html = SectionDocument(element.value(QStringLiteral("innerHTML")).toString(),
                                                fromBook ? QStringLiteral("mfs:\\") : page.toString(QUrl::FullyEncoded));
        // Out of the engine's callback before the window's own loop runs.
        QTimer::singleShot(0, web, [web, html, fromBook] { ShowPrintWindow(web->window(), html, fromBook); });
        return;
      }
    }
    ShowMessage(web->window(), QStringLiteral("Can not find page"));
  });
}

void ShowPrintWindow(QWidget* owner, const QByteArray& html, bool fromBook) {
  TfrmPrint window(owner);
  if (!fromBook)
    window.webPrint()->SetDownloadOptions(window.webPrint()->DownloadControlFlags() | DLCTL_NO_SCRIPTS | DLCTL_NO_JAVA |
                                          DLCTL_NO_RUNACTIVEXCTLS);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    window.move(screen->availableGeometry().center() - window.rect().center());
  window.webPrint()->LoadHTMLText(html);
  if (!window.webPrint()->WaitsCancelled()) window.exec();
  if (owner) owner->activateWindow();  // the keys go back to the main window
}
