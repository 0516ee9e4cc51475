#include "frm_Splash.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QWindow>
#include <algorithm>

#include "u_BookText.h"
#include "u_Dialogs.h"
#include "u_MFS.h"
#include "u_Pictures.h"

bool SplashClosed = false;

TfrmSplash::TfrmSplash() : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setAttribute(Qt::WA_DeleteOnClose);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  FimgSplash = new QLabel(this);
  FimgSplash->setAttribute(Qt::WA_TransparentForMouseEvents);  // a click on the picture is the window's
  resize(307, 313);
  FtmrSplash.setSingleShot(true);
  FtmrSplash.setInterval(1500);
  connect(&FtmrSplash, &QTimer::timeout, this, &TfrmSplash::tmrSplashTimer);
  // Above every window: also where no window manager keeps it there, the windows shown after it.
  qApp->installEventFilter(this);
}

bool TfrmSplash::eventFilter(QObject* watched, QEvent* event) {
  // Another window came on the screen. Compared by address only: the engine's own objects pass
  // through here too.
  if (event->type() == QEvent::Expose && isVisible() && watched != windowHandle()) {
    const QWindowList windows = QGuiApplication::allWindows();
    if (std::find(windows.begin(), windows.end(), watched) != windows.end()) raise();
  }
  return QWidget::eventFilter(watched, event);
}

void TfrmSplash::Prepare(const TMFSFile& file, int seconds, bool closeOnClick) {
  // An interval of 0 would keep the picture for ever and hold the book's closing with it: the
  // shortest interval is one second.
  seconds = std::clamp(seconds, 1, 10);
  FtmrSplash.setInterval(seconds * 1000);
  FCloseOnClick = closeOnClick;
  try {
    const QImage picture = LoadPicture(PictureKindOf(file.Name()), file.Data);
    if (picture.isNull()) return;
    FimgSplash->setPixmap(QPixmap::fromImage(picture));
    FimgSplash->resize(picture.size());
    setFixedSize(picture.size());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect room = screen->geometry();
      move(room.left() + (room.width() - width()) / 2, room.top() + (room.height() - height()) / 2);
    }
    FLoaded = true;
    FtmrSplash.start();
  } catch (const Exception&) {
    // A picture that cannot be shown is no reason to stop the book.
  }
}

void TfrmSplash::Finish() {
  if (FtmrSplash.isActive()) FCloseRequested = true;
  else Release();
}

void TfrmSplash::Release() {
  SplashClosed = true;
  if (isVisible()) close();  // deletes itself on close
  else deleteLater();
}

void TfrmSplash::tmrSplashTimer() {
  FtmrSplash.stop();
  if (FCloseRequested) Release();
}

void TfrmSplash::FormClick() {
  if (!FCloseOnClick) return;
  Finish();
  tmrSplashTimer();
}

void TfrmSplash::mousePressEvent(QMouseEvent* event) {
  event->accept();
  FormClick();
}

void ShowSplash(const TSplashOptions* options, bool atStart, TMFS& systemImage, QWidget* parent, bool& idle) {
  if (!options) return;
  SplashClosed = false;
  // At the root of the system image, wherever the toolbar left the current folder.
  const char* const name = atStart ? "\\SplashS.bmp" : "\\SplashE.bmp";
  const TSplashType kind = atStart ? options->SplashTypeS : options->SplashTypeE;
  const std::string& text = atStart ? options->PopUpTextS : options->PopUpTextE;
  if (kind == vsPopUp) {
    ShowMessage(parent, FromBook(text), QStringLiteral("Information"));
    return;
  }
  if (kind != vsSplash || !systemImage.Session()->Exists(name)) return;
  const TMFSFile* file = nullptr;
  try {
    file = systemImage.Session()->GetFile(name);
  } catch (const Exception&) {
    return;  // a folder of that name
  }
  // The window may go while events are handled below (a click on it): watch it.
  QPointer<TfrmSplash> window = new TfrmSplash();
  if (!atStart) idle = false;
  window->Prepare(*file, options->Interval, options->CloseOnClick);
  if (window->Loaded()) {
    window->show();
    // Painted now, so the picture is there while start-up goes on without returning to the loop.
    QElapsedTimer bound;
    bound.start();
    while (window && window->windowHandle() && !window->windowHandle()->isExposed() && bound.elapsed() < 500)
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
    if (window) {
      window->repaint();
      // The interval counts from the moment the picture is on the screen; restarted before it
      // could have run out (it is a second at least), so it cannot end before Finish.
      window->tmrSplash().start();
    }
  }
  if (window) window->Finish();
  if (atStart) return;
  while (!SplashClosed) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  idle = true;
}
