#include "u_Toolbar.h"

#include "u_BookCheck.h"

#include <QAction>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QToolBar>
#include <QToolButton>

#include "u_BookCheck.h"
#include "u_BookText.h"
#include "u_CodePage.h"
#include "u_MFS.h"
#include "u_Pictures.h"
#include "u_SpaceXMLParser.h"
#include "u_Variables.h"

namespace {


// Colours are stored with red in the lowest byte.
QColor ColourOf(std::uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

void Paint(QWidget* w, QPalette::ColorRole role, const QColor& colour) {
  QPalette palette = w->palette();
  palette.setColor(role, colour);
  w->setPalette(palette);
}

// Makes every pixel of that colour transparent.
void MakeTransparent(QImage& image, QRgb colour) {
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if ((line[x] & 0xFFFFFF) == (colour & 0xFFFFFF)) line[x] = 0;
  }
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

TToolbar::TToolbar(QWidget* parent, QMenu* popFontSize) : QObject(parent), FpopFontSize(popFontSize) {
  FpnlToolbarCommon = new QWidget(parent);
  FpnlToolbarCommon->setObjectName(QStringLiteral("pnlToolbarCommon"));
  FpnlToolbarCommon->setAutoFillBackground(true);
  FpnlToolbarCommon->setFixedHeight(40);
  auto* row = new QHBoxLayout(FpnlToolbarCommon);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  FtbrMain = new QToolBar(QStringLiteral("tbrMain"), FpnlToolbarCommon);
  FtbrMain->setMovable(false);
  FtbrMain->setFloatable(false);
  FtbrMain->setAutoFillBackground(true);
  row->addWidget(FtbrMain, 1);
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
  logoLayout->addWidget(FimgLogo);
  // At the right edge also when the toolbar is hidden and the logo is all the row holds.
  row->addWidget(FpnlLogo, 0, Qt::AlignRight);
  FpopPrint = new QMenu(parent);
}

TToolbar::~TToolbar() = default;

void TToolbar::ApplyToolbarOptions(const TToolbarOptions& options, TMFS& systemImage, TVariables& variables) {
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
  if (!options.LogoDisplay) return;
  FimgLogo->setToolTip(FromBook(variables.Substitute(options.LogoText)));
  if (!systemImage.Session()->Exists("\\Logo.bmp")) {
    FLogo = QPixmap();
    FimgLogo->clear();
    FpnlLogo->hide();
    return;
  }
  try {
    FLogo = QPixmap::fromImage(LoadPicture(pkBitmap, systemImage.Session()->GetFile("\\Logo.bmp")->Data));
  } catch (Exception& e) {
    e.AddWhere("\\Logo.bmp");
    throw;
  }
  if (FLogo.width() > MaxLogoWidth) {
    FimgLogo->setPixmap(FLogo.scaledToWidth(MaxLogoWidth, Qt::SmoothTransformation));
    FpnlLogo->setFixedWidth(MaxLogoWidth);
  } else {
    FimgLogo->setPixmap(FLogo);
    FpnlLogo->setFixedWidth(FLogo.width());
  }
}

void TToolbar::AddPicture(const std::string& path, const std::string& bytes, int xMask, int yMask,
                          std::optional<std::int32_t> maskColor) {
  const QSize size(FOptions.ToolbarImgW, FOptions.ToolbarImgH);
  const TPictureKind kind = PictureKindOf(path);
  QImage picture = LoadPicture(kind, bytes, size);
  if (picture.width() < size.width() || picture.height() < size.height()) throw EInvalidOperation(SInvalidToolbarImageSize);
  if (kind == pkIcon) {
    // Icons carry their own transparency and are drawn at the list's size.
    if (picture.size() != size) picture = picture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  } else {
    // The transparent colour: MaskColor, or the pixel at (XMask, YMask); a pixel outside the
    // picture gives none, and so does a colour of -1.
    std::int64_t mask = -1;
    if (maskColor) mask = *maskColor;
    else if (picture.valid(xMask, yMask)) {
      const QRgb p = picture.pixel(xMask, yMask);
      mask = qRed(p) | qGreen(p) << 8 | qBlue(p) << 16;
    }
    // A larger picture gives the list its top left cell, as the platform's list would show it
    // as the first image of a strip; one entry per picture keeps later positions right.
    if (picture.size() != size) picture = picture.copy(QRect(QPoint(0, 0), size));
    if (mask >= 0 && mask <= 0xFFFFFF) {
      const auto m = static_cast<std::uint32_t>(mask);
      MakeTransparent(picture, qRgb(static_cast<int>(m & 0xFF), static_cast<int>((m >> 8) & 0xFF), static_cast<int>((m >> 16) & 0xFF)));
    }
  }
  FimglToolbar.push_back(QPixmap::fromImage(picture));
}

QToolButton* TToolbar::AddButton(int tag) {
  auto* button = new QToolButton(FtbrMain);
  button->setProperty("tag", tag);
  button->setAutoRaise(FOptions.ToolbarFlat);
  button->setToolButtonStyle(FtbrMain->toolButtonStyle());
  button->setIconSize(FtbrMain->iconSize());
  button->setMinimumSize(FOptions.ToolbarBtnW, FOptions.ToolbarBtnH);
  return button;
}

void TToolbar::BuildToolbar(TMFS& systemImage, const std::string& toolButtons, const std::optional<std::string>& text,
                            const TToolbarHandlers& handlers) {
  TMFSSession& session = *systemImage.Session();
  session.ChangeFolder("\\");
  if (!text) {
    FtbrMain->hide();
    return;
  }
  TXMLParser description;
  description.Parse(*text);
  const std::string folder = TMFS::ExtractFilePath(TMFS::ConvertSlashes(toolButtons));
  if (!folder.empty()) session.ChangeFolder(folder);
  FtbrMain->show();

  if (const TXMLNode* images = description.Root()->Nodes.FindNode("Images")) {
    // Metafiles are drawn by a helper process: started now, it comes up while the other
    // pictures are decoded. A book without metafiles never starts it.
    for (std::int32_t i = 0; i < images->Nodes.Count(); ++i) {
      try {
        if (PictureKindOf(images->Nodes.Items(i).Attributes.ValueOf("Path", TXMLValue::Text("")).AsText()) == pkMetafile) {
          StartMetafileHelper();
          break;
        }
      } catch (const Exception&) {
      }
    }
    for (std::int32_t i = 0; i < images->Nodes.Count(); ++i) {
      const TXMLAttributes& a = images->Nodes.Items(i).Attributes;
      const std::string name = a.ValueOf("Name", TXMLValue::Text("")).AsText();
      if (!name.empty()) ImageIndexByName.Set_Item(name, i);
      const std::string path = a.ValueOf("Path", TXMLValue::Text("")).AsText();
      try {
        PictureKindOf(path);  // an unknown extension is reported before the file is looked for
        const std::string& bytes = session.GetFile(path)->Data;
        const int xMask = a.ValueOf("XMask", TXMLValue::Integer(0)).AsInteger();
        const int yMask = a.ValueOf("YMask", TXMLValue::Integer(0)).AsInteger();
        std::optional<std::int32_t> maskColor;
        if (a.Find("MaskColor")) maskColor = a.ValueOf("MaskColor", TXMLValue::Integer(-1)).AsInteger();
        AddPicture(path, bytes, xMask, yMask, maskColor);
      } catch (Exception& e) {
        if (Report) {
          const bool size = dynamic_cast<const EInvalidOperation*>(&e) != nullptr;
          Report->Error(toolButtons, images->Nodes.Items(i).Line,
                        "The picture \"" + path + "\": " + (size ? std::string(SInvalidToolbarImageSize) : e.Message()));
          FimglToolbar.emplace_back();  // the pictures after it keep their places
          continue;
        }
        e.AddWhere("picture " + path);
        throw;
      }
    }
  }

  const TXMLNode* buttons = description.Root()->Nodes.FindNode("Buttons");
  if (!buttons) return;
  const std::int32_t n = buttons->Nodes.Count();
  ButtonOnClickNames.assign(static_cast<std::size_t>(n), std::string());
  ButtonKinds.assign(static_cast<std::size_t>(n), 0);
  FButtons.assign(static_cast<std::size_t>(n), nullptr);
  // Last button first, each placed before the ones made so far: the toolbar reads in file order.
  QAction* before = nullptr;
  for (std::int32_t i = n - 1; i >= 0; --i) {
    const TXMLNode& element = buttons->Nodes.Items(i);
    const TXMLAttributes& a = element.Attributes;
    const std::int32_t kindValue = a.ValueOf("Kind", TXMLValue::Integer(0)).AsInteger();
    const auto kind = static_cast<std::uint8_t>(kindValue);
    if (Report && (kindValue < 0 || kindValue > 17))
      Report->Note(toolButtons, element.Line, "The button Kind " + std::to_string(kindValue) + " is none the viewer knows (0 to 17): the button does nothing");
    ButtonKinds[static_cast<std::size_t>(i)] = kind;
    a.ValueOf("Name", TXMLValue::Text("")).AsText();
    const QString caption = FromBook(a.ValueOf("Caption", TXMLValue::Text("")).AsText());
    ButtonOnClickNames[static_cast<std::size_t>(i)] = a.ValueOf("OnClick", TXMLValue::Text("")).AsText();

    QWidget* widget = nullptr;
    if (kind == 0) {
      auto* separator = new QFrame(FtbrMain);
      separator->setFrameShape(QFrame::VLine);
      separator->setFrameShadow(QFrame::Sunken);
      separator->setFixedWidth(8);
      separator->setProperty("tag", i);
      widget = separator;
    } else {
      QToolButton* button = AddButton(i);
      button->setText(caption);
      button->setToolTip(caption);
      int index = a.ValueOf("ImageIndex", TXMLValue::Integer(-1)).AsInteger();
      if (a.Find("Image")) {
        const std::string name = a.ValueOf("Image", TXMLValue::Text("")).AsText();
        index = static_cast<int>(ImageIndexByName.GetItemDef(name, -1));
        if (Report && index < 0)
          Report->Note(toolButtons, element.Line, "No picture is named \"" + name + "\": the button shows none");
      } else if (Report && (index < -1 || index >= static_cast<int>(FimglToolbar.size()))) {
        Report->Note(toolButtons, element.Line, "ImageIndex " + std::to_string(index) + " is beyond the " +
                                                    std::to_string(FimglToolbar.size()) + " pictures: the button shows none");
      }
      if (index >= 0 && index < static_cast<int>(FimglToolbar.size()))
        button->setIcon(QIcon(FimglToolbar[static_cast<std::size_t>(index)]));
      button->setProperty("imageIndex", index);
      switch (kind) {
        case 11:
          button->setMenu(FpopFontSize);
          button->setPopupMode(QToolButton::InstantPopup);
          ReleaseWhenMenuCloses(button, FpopFontSize);
          break;
        case 12:
          connect(button, &QToolButton::clicked, this, [h = handlers.mnuSearchClick] { if (h) h(); });
          break;
        case 13: {
          if (Report && !Bookmarks.empty())
            Report->Note(toolButtons, element.Line, "More than one Bookmarks button: each shows only its own bookmarks");
          auto menu = std::make_unique<TBookMarkMenu>();
          menu->popBookMarks = new QMenu(FtbrMain);
          TBookMarkMenu* list = menu.get();
          try {
            for (std::int32_t j = 0; j < element.Nodes.Count(); ++j) {
              const TXMLAttributes& item = element.Nodes.Items(j).Attributes;
              TBookMarkItem bookmark;
              const std::string itemCaption = item.ValueOf("caption", TXMLValue::Text("Description")).AsText();
              bookmark.URL = item.ValueOf("url", TXMLValue::Text("URL")).AsText();
              if (Report && bookmark.URL.find(':') == std::string::npos)
                Report->Note(toolButtons, element.Nodes.Items(j).Line, "The bookmark address \"" + bookmark.URL +
                                                                           "\" has no scheme (such as mfs: or https:): it shows a blank page");
              bookmark.NewWindow = item.ValueOf("NewWindow", TXMLValue::Boolean(false)).AsBoolean();
              QAction* action = list->popBookMarks->addAction(FromBook(itemCaption));
              action->setToolTip(FromBook(bookmark.URL));
              action->setProperty("tag", j);
              list->BookmarkItems.push_back(bookmark);
              connect(action, &QAction::triggered, this, [list, action, h = handlers.BookMarkClick] {
                if (h) h(list->BookmarkItems, action);
              });
            }
          } catch (const Exception&) {
            // A damaged bookmark ends the list; the ones before it stay.
          }
          list->popBookMarks->setToolTipsVisible(true);
          button->setMenu(list->popBookMarks);
          button->setPopupMode(QToolButton::InstantPopup);
          ReleaseWhenMenuCloses(button, list->popBookMarks);
          Bookmarks.insert(Bookmarks.begin(), std::move(menu));
          break;
        }
        case 14:
          FPrintButton = button;
          [[fallthrough]];
        default:
          connect(button, &QToolButton::clicked, this, [button, h = handlers.ToolButtonClick] { if (h) h(button); });
          break;
      }
      widget = button;
    }
    FButtons[static_cast<std::size_t>(i)] = widget;
    before = before ? FtbrMain->insertWidget(before, widget) : FtbrMain->addWidget(widget);
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

void TToolbar::AdjustHeight() {
  const int toolbarHeight = FtbrMain->sizeHint().height();
  if (FOptions.LogoDisplay && !FLogo.isNull() && FLogo.height() >= toolbarHeight)
    FpnlToolbarCommon->setFixedHeight(FLogo.height());
  else
    FpnlToolbarCommon->setFixedHeight(toolbarHeight);
}
