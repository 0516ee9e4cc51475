// The main window's toolbar area as the book describes it: the toolbar options from System.xml
// (placement, sizes, colours, the logo) and the buttons, pictures and bookmark menus of the
// ToolButtons file.
#pragma once

#include <QObject>
#include <QPixmap>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "u_BookMarks.h"
#include "u_Dictionary.h"
#include "u_DisplayOptions.h"
#include "u_Errors.h"

class QLabel;
class QMenu;
class QToolBar;
class QToolButton;
class QWidget;
class TMFS;
class TVariables;
class TBookReport;

// The image list refuses a picture smaller than its image size.
class EInvalidOperation : public Exception { using Exception::Exception; };
inline constexpr const char* SInvalidToolbarImageSize = "Invalid toolbar image size";

// The width the logo panel never exceeds; a wider logo is scaled down to it.
inline constexpr int MaxLogoWidth = 113;

// What the buttons call; the main window supplies them.
struct TToolbarHandlers {
  std::function<void(QObject* sender)> ToolButtonClick;
  std::function<void()> mnuSearchClick;
  std::function<void(const TBookMarkItems& items, QObject* sender)> BookMarkClick;
};

// One Bookmarks button: its menu and its own items.
struct TBookMarkMenu {
  QMenu* popBookMarks = nullptr;
  TBookMarkItems BookmarkItems;
};

class TToolbar : public QObject {
  Q_OBJECT
public:
  // Creates the toolbar area (hidden buttons, no pictures) as a child of `parent`.
  TToolbar(QWidget* parent, QMenu* popFontSize);
  ~TToolbar() override;

  // pnlToolbarCommon holds tbrMain and, at its right, pnlLogo with imgLogo.
  QWidget* pnlToolbarCommon() const { return FpnlToolbarCommon; }
  QToolBar* tbrMain() const { return FtbrMain; }
  QWidget* pnlLogo() const { return FpnlLogo; }
  QLabel* imgLogo() const { return FimgLogo; }
  QMenu* popPrint() const { return FpopPrint; }
  QToolButton* PrintButton() const { return FPrintButton; }
  // The buttons in toolbar order (separators included), each tagged with its position.
  const std::vector<QWidget*>& Buttons() const { return FButtons; }
  // The image list: one picture per Images entry, each exactly the image size.
  const std::vector<QPixmap>& imglToolbar() const { return FimglToolbar; }
  const QPixmap& LogoBitmap() const { return FLogo; }
  std::uint32_t ToolbarTextColor() const { return FToolbarTextColor; }

  TDictionary ImageIndexByName{true, true};
  std::vector<std::uint8_t> ButtonKinds;
  std::vector<std::string> ButtonOnClickNames;
  std::vector<std::unique_ptr<TBookMarkMenu>> Bookmarks;
  // For the author's check: picture failures are reported here and the build goes on.
  TBookReport* Report = nullptr;

  // Sizes, colours and the logo from the options. The logo's tool tip is expanded with the
  // variables; "\Logo.bmp" missing from the system image hides the logo panel.
  void ApplyToolbarOptions(const TToolbarOptions& options, TMFS& systemImage, TVariables& variables);
  // Builds pictures, buttons and bookmark menus from the ToolButtons file of that name and text
  // (no text: the book has none, and the toolbar is hidden). The system image's current folder
  // is left in the file's folder. Failures but those of bookmark items propagate.
  void BuildToolbar(TMFS& systemImage, const std::string& toolButtons, const std::optional<std::string>& text,
                    const TToolbarHandlers& handlers);
  // The height rule: the logo's height when it is the taller, else the toolbar's.
  void AdjustHeight();
  // The Print button drops its section menu only when the menu has items.
  void UpdatePrintButton();

  // Adds a picture to the image list (the transparent colour from the pixel at xMask, yMask, or
  // maskColor when given; -1 for none). Exposed for the tests of the mask and size rules.
  void AddPicture(const std::string& path, const std::string& bytes, int xMask, int yMask,
                  std::optional<std::int32_t> maskColor);

private:
  QToolButton* AddButton(int tag);
  QWidget* FpnlToolbarCommon;
  QToolBar* FtbrMain;
  QWidget* FpnlLogo;
  QLabel* FimgLogo;
  QMenu* FpopFontSize;
  QMenu* FpopPrint;
  QToolButton* FPrintButton = nullptr;
  std::vector<QWidget*> FButtons;
  std::vector<QPixmap> FimglToolbar;
  QPixmap FLogo;
  TToolbarOptions FOptions;
  std::uint32_t FToolbarTextColor = 0;
};
