#include "u_Toolbar.h"

#include <QAction>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QToolBar>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <utility>

#include "u_BookText.h"
#include "u_Pictures.h"
#include "u_Variables.h"

namespace {


// Colours are stored with red in the lowest byte.
QColor ColourOf(std::uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

void Paint(QWidget* w, QPalette::ColorRole role, const QColor& colour) {
  QPalette palette = w->palette();
  palette.setColor(role, colour);
  w->setPalette(palette);
}

// A drop-down button is drawn up again as soon as its menu has gone, also when the menu's
// command ran a loop of its own first.
void ReleaseWhenMenuCloses(QToolButton* button, QMenu* menu) {
  QObject::connect(menu, &QMenu::aboutToHide, button, [button] {
    button->setDown(false);
    button->update();
  });
}

}  // namespace

QList<QKeySequence> KeysOfKind(std::uint8_t kind) {
  switch (kind) {
    case bkSearch: return {QKeySequence(Qt::CTRL | Qt::Key_F)};
    case bkPrint: return {QKeySequence(Qt::CTRL | Qt::Key_P)};
    case bkBack: return {QKeySequence(Qt::ALT | Qt::Key_Left)};
    case bkForward: return {QKeySequence(Qt::ALT | Qt::Key_Right)};
    case bkNext: return {QKeySequence(Qt::CTRL | Qt::Key_PageDown)};
    case bkPrior: return {QKeySequence(Qt::CTRL | Qt::Key_PageUp)};
    case bkHome: return {QKeySequence(Qt::ALT | Qt::Key_Home)};
    case bkFontSize: return {QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Minus), QKeySequence(Qt::CTRL | Qt::Key_0)};
    default: return {};
  }
}

QString NameOfKind(std::uint8_t kind) {
  static const char* const names[] = {"Separator", "Back", "Forward", "First page", "Previous page", "Next page", "Last page",
                                      "Previous chapter", "Next chapter", "About", "Exit", "Font size", "Search", "Bookmarks",
                                      "Print", "Copy", "Refresh", "Home"};
  return kind < std::size(names) ? QString::fromLatin1(names[kind]) : QStringLiteral("Button");
}

TToolbar::TToolbar(QWidget* parent, QMenu* popFontSize) : QObject(parent), FpopFontSize(popFontSize) {
  FpnlToolbarCommon = new QWidget(parent);
  FpnlToolbarCommon->setObjectName(QStringLiteral("pnlToolbarCommon"));
  FpnlToolbarCommon->setAutoFillBackground(true);
  FpnlToolbarCommon->setFixedHeight(40);
  auto* row = new QHBoxLayout(FpnlToolbarCommon);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  FtbrMain = new QToolBar(QStringLiteral("Toolbar"), FpnlToolbarCommon);
  FtbrMain->setObjectName(QStringLiteral("tbrMain"));
  FtbrMain->setMovable(false);
  FtbrMain->setFloatable(false);
  FtbrMain->setAccessibleName(QStringLiteral("Toolbar"));
  FtbrMain->setAutoFillBackground(true);
  row->addWidget(FtbrMain, 1);
  // Qt's own "››" only widens a toolbar docked in a main window; ours sits in a panel, so the
  // button lists the hidden buttons instead.
  FpopOverflow = new QMenu(FtbrMain);
  FOverflowButton = FtbrMain->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button"));
  if (FOverflowButton) {
    QObject::disconnect(FOverflowButton, &QAbstractButton::clicked, nullptr, nullptr);
    FOverflowButton->setCheckable(false);
    FOverflowButton->setAccessibleName(QStringLiteral("More buttons"));
    FOverflowButton->setToolTip(QStringLiteral("More buttons"));
    // Pressed (or Space, Enter), it opens the list below itself; the toolbar's layout never sees
    // the press, so it never tries to widen.
    FOverflowButton->installEventFilter(this);
  }
  FpnlLogo = new QWidget(FpnlToolbarCommon);
  FpnlLogo->setObjectName(QStringLiteral("pnlLogo"));
  FpnlLogo->setAutoFillBackground(true);
  FpnlLogo->setFixedWidth(100);
  auto* logoLayout = new QHBoxLayout(FpnlLogo);
  logoLayout->setContentsMargins(0, 0, 0, 0);
  FimgLogo = new QLabel(FpnlLogo);
  FimgLogo->setObjectName(QStringLiteral("imgLogo"));
  FimgLogo->setAlignment(Qt::AlignCenter);
  FimgLogo->setAttribute(Qt::WA_TranslucentBackground);
  FimgLogo->setCursor(Qt::PointingHandCursor);
  FimgLogo->setAccessibleName(QStringLiteral("Logo"));
  logoLayout->addWidget(FimgLogo);
  // At the right edge also when the toolbar is hidden and the logo is all the row holds.
  row->addWidget(FpnlLogo, 0, Qt::AlignRight);
  FpopPrint = new QMenu(parent);
}

TToolbar::~TToolbar() = default;

void TToolbar::ApplyToolbarOptions(const TToolbarOptions& options, TVariables& variables) {
  FOptions = options;
  FpnlToolbarCommon->setVisible(options.ToolbarPlacement != tpNoToolbar);
  FtbrMain->setToolButtonStyle(options.ToolbarShowCaption ? Qt::ToolButtonTextUnderIcon : Qt::ToolButtonIconOnly);
  FtbrMain->setIconSize(QSize(options.ToolbarImgW, options.ToolbarImgH));
  const QColor back = ColourOf(options.ToolbarBackColor);
  Paint(FtbrMain, QPalette::Window, back);
  Paint(FtbrMain, QPalette::Button, back);
  Paint(FpnlToolbarCommon, QPalette::Window, back);
  Paint(FpnlLogo, QPalette::Window, back);
  FToolbarTextColor = options.ToolbarTextColor;
  Paint(FtbrMain, QPalette::ButtonText, ColourOf(FToolbarTextColor));
  FpnlLogo->setVisible(options.LogoDisplay);
  if (options.LogoDisplay) {
    FimgLogo->setToolTip(FromBook(variables.Substitute(options.LogoText)));
    if (!FimgLogo->toolTip().isEmpty()) FimgLogo->setAccessibleName(FimgLogo->toolTip());
  }
}

void TToolbar::Logo(const std::string* bytes) {
  if (!bytes) {
    FLogo = QPixmap();
    FimgLogo->clear();
    FpnlLogo->hide();
    return;
  }
  FLogo = QPixmap::fromImage(LoadPicture(pkBitmap, *bytes));
  if (FLogo.width() > MaxLogoWidth) {
    FimgLogo->setPixmap(FLogo.scaledToWidth(MaxLogoWidth, Qt::SmoothTransformation));
    FpnlLogo->setFixedWidth(MaxLogoWidth);
  } else {
    FimgLogo->setPixmap(FLogo);
    FpnlLogo->setFixedWidth(FLogo.width());
  }
}

void TToolbar::BeginToolbarPictures(const std::vector<TToolbarPicture>& pictures) { StartMetafileHelperFor(pictures); }

void TToolbar::AddToolbarPicture(const TToolbarPicture& description, const std::string& bytes, int width, int height) {
  FimglToolbar.push_back(QPixmap::fromImage(ToolbarImage(description, bytes, QSize(width, height))));
}

QToolButton* TToolbar::AddButton(int tag, const TToolButton& description) {
  auto* button = new QToolButton(FtbrMain);
  button->setProperty("tag", tag);
  button->setAutoRaise(FOptions.ToolbarFlat);
  button->setToolButtonStyle(FtbrMain->toolButtonStyle());
  button->setIconSize(FtbrMain->iconSize());
  button->setMinimumSize(FOptions.ToolbarBtnW, FOptions.ToolbarBtnH);
  const QString caption = FromBook(description.Caption);
  button->setText(caption);
  // The tool tip names the keys that do the same ("Next (Ctrl+PgDown)").
  QStringList keys;
  for (const QKeySequence& key : KeysOfKind(description.Kind)) keys << key.toString(QKeySequence::NativeText);
  const QString name = caption.isEmpty() ? NameOfKind(description.Kind) : caption;
  button->setToolTip(keys.isEmpty() ? caption : name + QStringLiteral(" (") + keys.join(QStringLiteral(", ")) + QStringLiteral(")"));
  button->setAccessibleName(name);
  const std::int32_t index = description.ImageIndex;
  if (index >= 0 && index < static_cast<std::int32_t>(FimglToolbar.size()))
    button->setIcon(QIcon(FimglToolbar[static_cast<std::size_t>(index)]));
  button->setProperty("imageIndex", index);
  return button;
}

QWidget* TToolbar::AddSeparator(int tag) {
  auto* separator = new QFrame(FtbrMain);
  separator->setFrameShape(QFrame::VLine);
  separator->setFrameShadow(QFrame::Sunken);
  separator->setFixedWidth(8);
  separator->setProperty("tag", tag);
  return separator;
}

void TToolbar::AddBookmarks(QToolButton* button, const TToolButton& description, const TToolbarHandlers& handlers) {
  auto menu = std::make_unique<TBookMarkMenu>();
  menu->popBookMarks = new QMenu(FtbrMain);
  menu->BookmarkItems = description.Bookmarks;
  TBookMarkMenu* list = menu.get();
  for (std::size_t j = 0; j < list->BookmarkItems.size(); ++j) {
    const TBookMarkItem& item = list->BookmarkItems[j];
    QAction* action = list->popBookMarks->addAction(FromBook(item.Caption));
    action->setToolTip(FromBook(item.URL));
    action->setProperty("tag", static_cast<int>(j));
    connect(action, &QAction::triggered, this, [list, action, h = handlers.BookMarkClick] {
      if (h) h(list->BookmarkItems, action);
    });
  }
  list->popBookMarks->setToolTipsVisible(true);
  button->setMenu(list->popBookMarks);
  button->setPopupMode(QToolButton::InstantPopup);
  ReleaseWhenMenuCloses(button, list->popBookMarks);
  Bookmarks.push_back(std::move(menu));
}

void TToolbar::BuildButtons(const TToolbarDescription& description, const TToolbarHandlers& handlers) {
  FDescription = description;
  FtbrMain->setVisible(description.Present);
  const std::size_t n = description.Buttons.size();
  FButtons.assign(n, nullptr);
  for (std::size_t i = 0; i < n; ++i) {
    const TToolButton& d = description.Buttons[i];
    const int tag = static_cast<int>(i);
    if (d.Kind == bkSeparator) {
      FButtons[i] = AddSeparator(tag);
      FtbrMain->addWidget(FButtons[i]);
      continue;
    }
    QToolButton* button = AddButton(tag, d);
    switch (d.Kind) {
      case bkFontSize:
        button->setMenu(FpopFontSize);
        button->setPopupMode(QToolButton::InstantPopup);
        ReleaseWhenMenuCloses(button, FpopFontSize);
        break;
      case bkSearch:
        connect(button, &QToolButton::clicked, this, [h = handlers.mnuSearchClick] { if (h) h(); });
        break;
      case bkBookmarks: AddBookmarks(button, d, handlers); break;
      case bkPrint:
        FPrintButton = button;
        [[fallthrough]];
      default:
        connect(button, &QToolButton::clicked, this, [button, h = handlers.ToolButtonClick] { if (h) h(button); });
        break;
    }
    FButtons[i] = button;
    FtbrMain->addWidget(button);
  }
  UpdatePrintButton();
}

void TToolbar::UpdatePrintButton() {
  if (!FPrintButton) return;
  if (FpopPrint->isEmpty()) {
    FPrintButton->setMenu(nullptr);
    FPrintButton->setPopupMode(QToolButton::DelayedPopup);
  } else {
    FPrintButton->setMenu(FpopPrint);
    FPrintButton->setPopupMode(QToolButton::MenuButtonPopup);
  }
}

bool TToolbar::eventFilter(QObject* watched, QEvent* event) {
  if (watched != FOverflowButton) return QObject::eventFilter(watched, event);
  const auto* key = event->type() == QEvent::KeyPress ? static_cast<QKeyEvent*>(event) : nullptr;
  const auto* mouse = event->type() == QEvent::MouseButtonPress ? static_cast<QMouseEvent*>(event) : nullptr;
  if ((mouse && mouse->button() == Qt::LeftButton) ||
      (key && (key->key() == Qt::Key_Space || key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter))) {
    ShowOverflow();
    return true;
  }
  // The release of that press must not reach Qt's own handling of the button either.
  return event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::MouseButtonDblClick;
}

void TToolbar::ShowOverflow() {
  FillOverflow();
  if (FpopOverflow->isEmpty()) return;
  FpopOverflow->popup(FOverflowButton->mapToGlobal(QPoint(0, FOverflowButton->height())));
}

void TToolbar::FillOverflow() {
  FpopOverflow->clear();
  bool separate = false;  // a separator goes between buttons only
  for (QWidget* widget : FButtons) {
    if (!widget || !widget->isHidden()) continue;  // the toolbar hides what does not fit
    auto* button = qobject_cast<QToolButton*>(widget);
    if (!button) {
      separate = !FpopOverflow->isEmpty();
      continue;
    }
    if (std::exchange(separate, false)) FpopOverflow->addSeparator();
    const QString caption = button->accessibleName();  // the caption, or the kind's name without one
    QMenu* list = button->menu();
    if (!list || button->popupMode() != QToolButton::InstantPopup) {
      QAction* action = FpopOverflow->addAction(button->icon(), caption);
      action->setEnabled(button->isEnabled());
      action->setToolTip(button->toolTip());
      connect(action, &QAction::triggered, button, [button] { button->click(); });
    }
    // A drop-down's own list (font sizes, bookmarks, print sections) as a submenu.
    if (list) {
      QAction* sub = FpopOverflow->addMenu(list);
      sub->setIcon(button->icon());
      sub->setText(button->popupMode() == QToolButton::InstantPopup ? caption : caption + QStringLiteral(": sections"));
      sub->setEnabled(button->isEnabled());
    }
  }
}

void TToolbar::AdjustHeight() {
  const int toolbarHeight = FtbrMain->sizeHint().height();
  if (FOptions.LogoDisplay && !FLogo.isNull() && FLogo.height() >= toolbarHeight)
    FpnlToolbarCommon->setFixedHeight(FLogo.height());
  else
    FpnlToolbarCommon->setFixedHeight(toolbarHeight);
}

bool TToolbar::PressForKey(const QKeyEvent& key, int fontSize) {
  const QKeySequence pressed(key.keyCombination());
  const Qt::KeyboardModifiers mods = key.modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
  const std::vector<TToolButton>& buttons = FDescription.Buttons;
  for (std::size_t i = 0; i < buttons.size() && i < FButtons.size(); ++i) {
    const std::uint8_t kind = buttons[i].Kind;
    if (kind == bkFontSize && mods == Qt::ControlModifier &&
        (key.key() == Qt::Key_Plus || key.key() == Qt::Key_Equal || key.key() == Qt::Key_Minus || key.key() == Qt::Key_0)) {
      // Through the five sizes; 0 gives Medium.
      const int level = key.key() == Qt::Key_0 ? 2 : std::clamp(fontSize + (key.key() == Qt::Key_Minus ? -1 : 1), 0, 4);
      QTimer::singleShot(0, FpopFontSize->actions().at(level), &QAction::trigger);
      return true;
    }
    for (const QKeySequence& sequence : KeysOfKind(kind)) {
      if (sequence != pressed) continue;
      // As a click: the command runs from the loop, never inside the key's delivery.
      if (auto* button = qobject_cast<QAbstractButton*>(FButtons[i])) QTimer::singleShot(0, button, &QAbstractButton::click);
      return true;
    }
  }
  return false;
}
