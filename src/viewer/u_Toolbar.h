// The main window's toolbar area as the book describes it: the toolbar options from System.xml
// (placement, sizes, colours, the logo) and the buttons, pictures and bookmark menus of the
// ToolButtons file.
#pragma once

#include <QObject>
#include <QKeyEvent>
#include <QKeySequence>
#include <QList>
#include <QPixmap>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "u_Book.h"
#include "u_BookMarks.h"
#include "u_DisplayOptions.h"

class QLabel;
class QMenu;
class QToolBar;
class QToolButton;
class QWidget;
class TVariables;

// The width the logo panel never exceeds; a wider logo is scaled down to it.
inline constexpr int MaxLogoWidth = 113;

// The usual keys for the command of a kind of button (none for most kinds): a book offers the
// key only with the button.
QList<QKeySequence> KeysOfKind(std::uint8_t kind);
// What a kind of button does, in words: the name a button without a caption goes by.
QString NameOfKind(std::uint8_t kind);

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

// Decodes the book's toolbar pictures and the logo as the book's steps read them.
class TToolbar : public QObject, public IBookPictures {
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
  // The reader's key for a button (KeysOfKind) presses it, from the event loop as a click does;
  // for the font size, Control with plus, minus or 0 steps through the sizes from fontSize.
  // False for a key no button takes.
  bool PressForKey(const QKeyEvent& key, int fontSize);
  // The image list: one picture per Images entry, each exactly the image size.
  const std::vector<QPixmap>& imglToolbar() const { return FimglToolbar; }
  const QPixmap& LogoBitmap() const { return FLogo; }
  std::uint32_t ToolbarTextColor() const { return FToolbarTextColor; }

  std::vector<std::unique_ptr<TBookMarkMenu>> Bookmarks;
  // The buttons as the book describes them; a button's tag is its position here.
  const TToolbarDescription& Description() const { return FDescription; }

  // Sizes, colours and the logo's panel from the options; the logo's tool tip is expanded with
  // the variables. The logo itself comes with Logo.
  void ApplyToolbarOptions(const TToolbarOptions& options, TVariables& variables);
  // The buttons and bookmark menus of the description (not present: the toolbar is hidden).
  void BuildButtons(const TToolbarDescription& description, const TToolbarHandlers& handlers);
  // The height rule: the logo's height when it is the taller, else the toolbar's.
  void AdjustHeight();
  // The Print button drops its section menu only when the menu has items.
  void UpdatePrintButton();
  // The toolbar's "››" button, shown when the buttons do not all fit: its list holds each button
  // the width hides, with its picture and caption, doing what the button does (a drop-down's
  // list as a submenu). Filled as it opens.
  QToolButton* OverflowButton() const { return FOverflowButton; }
  QMenu* popOverflow() const { return FpopOverflow; }
  void FillOverflow();
  void ShowOverflow();

  // IBookPictures: the image list, one picture per Images entry, each exactly the image size
  // (the transparent colour from MaskColor, else the pixel at XMask, YMask; -1 for none); the
  // logo, whose absence hides its panel.
  void BeginToolbarPictures(const std::vector<TToolbarPicture>& pictures) override;
  void AddToolbarPicture(const TToolbarPicture& picture, const std::string& bytes, int width, int height) override;
  void AddNoPicture() override { FimglToolbar.emplace_back(); }
  void Logo(const std::string* bytes) override;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  QToolButton* AddButton(int tag, const TToolButton& description);
  QWidget* AddSeparator(int tag);
  void AddBookmarks(QToolButton* button, const TToolButton& description, const TToolbarHandlers& handlers);
  QWidget* FpnlToolbarCommon;
  QToolBar* FtbrMain;
  QWidget* FpnlLogo;
  QLabel* FimgLogo;
  QMenu* FpopFontSize;
  QMenu* FpopPrint;
  QToolButton* FPrintButton = nullptr;
  QToolButton* FOverflowButton = nullptr;
  QMenu* FpopOverflow = nullptr;
  std::vector<QWidget*> FButtons;
  std::vector<QPixmap> FimglToolbar;
  QPixmap FLogo;
  TToolbarOptions FOptions;
  TToolbarDescription FDescription;
  std::uint32_t FToolbarTextColor = 0;
};
