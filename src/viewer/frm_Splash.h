// Splash screens: the book greets the reader at start-up and says goodbye at the close, with a
// message box or with a picture of its system image ("SplashS.bmp", "SplashE.bmp").
#pragma once

#include <QTimer>
#include <QWidget>

#include "u_DisplayOptions.h"

class QLabel;
class TMFSFile;

// Set false when a splash starts, true when a splash window closes; shared by the start and the
// end window, so that either closing ends the end splash's wait.
extern bool SplashClosed;

class TfrmSplash : public QWidget {
  Q_OBJECT
public:
  TfrmSplash();

  // Loads the picture and arms the timer; a picture that cannot be read leaves Loaded false.
  void Prepare(const TMFSFile& file, int seconds, bool closeOnClick);
  // The caller is done with the window: it closes when its time is up, or now when it has none.
  void Finish();

  bool Loaded() const { return FLoaded; }
  QLabel* imgSplash() const { return FimgSplash; }
  QTimer& tmrSplash() { return FtmrSplash; }

  void tmrSplashTimer();
  void FormClick();

protected:
  void mousePressEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void Release();
  QLabel* FimgSplash;
  QTimer FtmrSplash;
  bool FLoaded = false;
  bool FCloseRequested = false;
  bool FCloseOnClick = false;
};

// Shows the start (atStart) or end splash the options describe. An end splash returns only
// when its window has gone; idle is false meanwhile. No options: nothing.
void ShowSplash(const TSplashOptions* options, bool atStart, class TMFS& systemImage, QWidget* parent, bool& idle);
