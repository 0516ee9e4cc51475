// The book's toolbar on the real engine: pictures of every kind with their transparent colours,
// buttons in file order, the logo panel's rules, placement, start-up failures and bookmarks.
#include <gtest/gtest.h>

#include <QImageReader>
#include <filesystem>

#include <QAction>
#include <QBuffer>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QToolBar>
#include <QToolButton>
#include <QTimer>
#include <QKeyEvent>

#include "u_DataBlocks.h"
#include "u_Pictures.h"
#include "viewer/viewer_test_util.h"

using namespace gui_test;
using namespace viewer_test;

namespace {

namespace fs = std::filesystem;

std::string Encoded(const QImage& image, const char* format) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  EXPECT_TRUE(image.save(&buffer, format)) << format;
  return bytes.toStdString();
}

// A picture with a magenta background and a black square in its middle.
QImage Square(int w, int h) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(QColor(255, 0, 255));
  QPainter(&image).fillRect(w / 4, h / 4, w / 2, h / 2, Qt::black);
  return image;
}

// A WMF or EMF picture made by libuemf, its line drawn that many times.
std::string Metafile(const char* kind, int size, int lines = 1) {
  cab_test::TTempDir dir;
  const auto path = dir.Path() / (std::string("m.") + kind);
  std::string out;
  EXPECT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_MAKE_METAFILE) + " " + kind + " " + cab_test::Quote(path) + " " +
                                std::to_string(size) + " " + std::to_string(lines), &out), 0) << out;
  return cab_test::ReadFile(path);
}

std::string Bmp(int w, int h) { return Encoded(Square(w, h), "BMP"); }

QImage IconOf(QAbstractButton* b, int size = 24) { return b->icon().pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32); }

const char* const OnePage = "<S><i page=\"\\a.htm\"/><i page=\"\\b.htm\"/></S>";

class ToolbarTest : public ViewerFixture {
protected:
  TfrmMain& OpenWith(const std::string& systemXml, TFiles system, TFiles content = {}) {
    system["\\System.xml"] = systemXml;
    system["\\s.xml"] = OnePage;
    if (content.empty()) content = {{"\\a.htm", Page(1)}, {"\\b.htm", Page(2)}};
    return Open(system, content);
  }
  // The failure message of a book whose toolbar file is `buttons`, with one picture file.
  QString FailureOf(const std::string& buttons, const std::string& picturePath, const std::string& picture) {
    Form.reset();
    Messages.clear();
    Open({{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\"/>"}, {"\\s.xml", OnePage},
          {"\\tb.xml", buttons}, {picturePath, picture}},
         {{"\\a.htm", Page(1)}}, false);
    EXPECT_TRUE(Form->CreateFailed());
    // Every picture these books name is p with some extension.
    EXPECT_TRUE(Messages.value(0).contains("\n\nIn tb.xml, picture p.")) << Messages.value(0).toStdString();
    return Messages.value(0).section("\n\n", 0, 0);
  }
};

TEST_F(ToolbarTest, PicturesOfEveryKindAndButtonsInFileOrder) {
  QImage icon = Square(24, 24).convertToFormat(QImage::Format_ARGB32);
  icon.setPixelColor(0, 0, Qt::transparent);
  TfrmMain& f = OpenWith(
      "<System Story=\"s.xml\" ToolButtons=\"bar\\tb.xml\"><toolbar ToolbarTextColor=255 ToolbarBackColor=13160660 "
      "ToolbarBtnW=50 ToolbarBtnH=44 ToolbarFlat=True/></System>",
      {{"\\bar\\tb.xml",
        "<ToolButtons><Images>"
        "<Img Name=\"Magenta\" Path=\"pics\\sq.bmp\"/>"                 // 0: the pixel at (0, 0) is magenta
        "<Img Name=\"Black\" Path=\"pics\\sq.bmp\" MaskColor=0/>"       // 1: black is transparent instead
        "<Img Name=\"Star\" Path=\"\\bar\\pics\\big.bmp\" XMask=99/>"  // 2: larger, no mask pixel
        "<Img Path=\"pics\\i.ico\"/>"                               // 3
        "<Img Name=\"Photo\" Path=\"pics\\p.JPG\" MaskColor=-1/>"       // 4
        "<Img Name=\"W\" Path=\"pics\\m.wmf\" XMask=23 YMask=6/>"       // 5: white becomes transparent
        "<Img Name=\"E\" Path=\"pics\\m.emf\" XMask=23 YMask=6/>"       // 6
        "<Img Name=\"star\" Path=\"pics\\sq.bmp\"/>"                    // 7: the later Star wins
        "</Images><Buttons>"
        "<b Kind=3 Caption=\"First\" ImageIndex=0/><b Kind=0/><b Kind=5 Caption=\"Next\" Image=\"Black\"/>"
        "<b Kind=11 Caption=\"Size\" Image=\"STAR\"/><b Kind=13 Caption=\"Marks\" ImageIndex=3/><b Kind=14 Caption=\"Print\" Image=\"Photo\"/>"
        "<b Kind=6 Caption=\"Last\" Image=\"w\"/><b Kind=4 Caption=\"Prior\" Image=\"e\"/><b Kind=8 ImageIndex=3 Image=\"Nowhere\"/>"
        "<b Kind=7 ImageIndex=42 OnClick=\"Whatever\"/>"
        "</Buttons></ToolButtons>"},
       {"\\bar\\pics\\sq.bmp", Bmp(24, 24)},
       {"\\bar\\pics\\big.bmp", Bmp(48, 30)},
       {"\\bar\\pics\\i.ico", Encoded(icon, "ICO")},
       {"\\bar\\pics\\p.JPG", Encoded(Square(24, 24), "JPEG")},
       {"\\bar\\pics\\m.wmf", Metafile("wmf", 24)},
       {"\\bar\\pics\\m.emf", Metafile("emf", 24)}});
  ASSERT_FALSE(f.CreateFailed()) << Messages.join("\n").toStdString();
  TToolbar& t = f.Toolbar();
  EXPECT_TRUE(f.tbrMain()->isVisible());
  std::vector<std::uint8_t> kinds;
  for (const TToolButton& button : t.Description().Buttons) kinds.push_back(button.Kind);
  EXPECT_EQ(kinds, (std::vector<std::uint8_t>{3, 0, 5, 11, 13, 14, 6, 4, 8, 7}));
  EXPECT_EQ(t.Description().Buttons.at(9).OnClick, "Whatever");
  EXPECT_EQ(f.SystemImage()->Session()->CurrentFolder()->Name(), "bar");  // left in the toolbar file's folder

  // Left to right in file order, each tagged with its position, with caption and tool tip.
  int x = -1;
  for (int i = 0; i < 10; ++i) {
    QWidget* w = t.Buttons().at(static_cast<std::size_t>(i));
    EXPECT_EQ(w->property("tag").toInt(), i);
    EXPECT_GT(w->x(), x) << i;
    x = w->x();
  }
  EXPECT_EQ(t.Buttons()[1]->width(), 8);
  EXPECT_EQ(Button(2)->text(), "Next");
  EXPECT_EQ(Button(2)->toolTip(), "Next (Ctrl+PgDown)");
  EXPECT_GE(Button(2)->width(), 50);
  EXPECT_GE(Button(2)->height(), 44);
  EXPECT_TRUE(qobject_cast<QToolButton*>(Button(2))->autoRaise());
  EXPECT_EQ(Button(2)->palette().color(QPalette::ButtonText), QColor(255, 0, 0));
  EXPECT_EQ(f.tbrMain()->palette().color(QPalette::Window), QColor(212, 208, 200));

  // One list entry per picture, each exactly the image size.
  ASSERT_EQ(t.imglToolbar().size(), 8u);
  for (const QPixmap& p : t.imglToolbar()) EXPECT_EQ(p.size(), QSize(24, 24));
  auto pixel = [&](int index, int x, int y) { return t.imglToolbar()[static_cast<std::size_t>(index)].toImage().pixelColor(x, y); };
  EXPECT_EQ(pixel(0, 1, 1).alpha(), 0);          // magenta gone
  EXPECT_EQ(pixel(0, 12, 12), QColor(Qt::black));
  EXPECT_EQ(pixel(1, 12, 12).alpha(), 0);        // black gone
  EXPECT_EQ(pixel(1, 1, 1), QColor(255, 0, 255));
  EXPECT_EQ(pixel(2, 1, 1), QColor(255, 0, 255)); // the top left cell, nothing transparent
  EXPECT_EQ(pixel(2, 12, 12), QColor(Qt::black));
  EXPECT_EQ(pixel(3, 0, 0).alpha(), 0);          // the icon's own transparency
  EXPECT_EQ(pixel(4, 1, 1).alpha(), 255);        // -1: no transparent colour
  for (int m : {5, 6}) {                         // the metafiles' shapes, their white gone
    EXPECT_EQ(pixel(m, 4, 16), QColor(Qt::blue)) << m;
    EXPECT_EQ(pixel(m, 20, 20), QColor(Qt::red)) << m;
    EXPECT_EQ(pixel(m, 17, 2).alpha(), 0) << m;
  }

  // Buttons show the picture their index or name gives.
  EXPECT_EQ(IconOf(Button(2)).pixelColor(12, 12).alpha(), 0);
  EXPECT_EQ(IconOf(Button(2)).pixelColor(1, 1), QColor(255, 0, 255));
  EXPECT_EQ(Button(3)->property("imageIndex").toInt(), 7);
  EXPECT_EQ(Button(6)->property("imageIndex").toInt(), 5);
  EXPECT_TRUE(Button(8)->icon().isNull());  // a name not found wins over ImageIndex
  EXPECT_TRUE(Button(9)->icon().isNull());  // an index past the list

  // Drop-downs: the font sizes, the bookmarks; Print stays plain while the page has no sections.
  auto* size = qobject_cast<QToolButton*>(Button(3));
  EXPECT_EQ(size->menu(), f.popFontSize());
  EXPECT_EQ(size->popupMode(), QToolButton::InstantPopup);
  EXPECT_NE(qobject_cast<QToolButton*>(Button(4))->menu(), nullptr);
  EXPECT_EQ(t.PrintButton(), Button(5));
  EXPECT_EQ(t.PrintButton()->menu(), nullptr);

  // Clicking a picture button acts by its kind.
  Click(2);
  EXPECT_EQ(Shown(), "Page 2");
  Click(0);
  EXPECT_EQ(Shown(), "Page 1");
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("\n").toStdString();
}

TEST_F(ToolbarTest, LogoPanelPlacementAndHeight) {
  auto logo = [](int w, int h) { return Encoded(QImage(w, h, QImage::Format_RGB32), "BMP"); };
  const std::string tb = "<T><Buttons><b Kind=5 Caption=\"Next\"/></Buttons></T>";
  TfrmMain& wide = OpenWith("<System Story=\"s.xml\" Variables=\"v.xml\" ToolButtons=\"tb.xml\" ResizableWindow=True>"
                            "<toolbar LogoDisplay=True LogoText=\"%{Who}'s book\" ToolbarPlacement=\"tpBottom\"/></System>",
                            {{"\\Logo.bmp", logo(200, 100)}, {"\\tb.xml", tb}, {"\\v.xml", "<v><var name=\"Who\">$Ann</var></v>"}});
  TToolbar& t = wide.Toolbar();
  EXPECT_EQ(t.pnlLogo()->width(), 113);
  EXPECT_EQ(t.imgLogo()->pixmap().size(), QSize(113, 56));
  EXPECT_EQ(t.imgLogo()->toolTip(), "Ann's book");
  // Below the page, as tall as the logo, which is taller than the toolbar.
  EXPECT_GT(t.pnlToolbarCommon()->y(), wide.webMain()->y());
  EXPECT_EQ(t.pnlToolbarCommon()->height(), 100);
  wide.resize(700, 500);
  EXPECT_TRUE(WaitFor([&] { return wide.width() == 700; }, 5000));
  EXPECT_EQ(t.pnlToolbarCommon()->height(), 100);

  TfrmMain& narrow = OpenWith("<System Story=\"s.xml\"><toolbar LogoDisplay=True/></System>", {{"\\Logo.bmp", logo(90, 10)}});
  EXPECT_EQ(narrow.Toolbar().pnlLogo()->width(), 90);
  EXPECT_EQ(narrow.Toolbar().imgLogo()->pixmap().size(), QSize(90, 10));
  EXPECT_TRUE(narrow.Toolbar().pnlLogo()->isVisible());  // without a toolbar file too
  EXPECT_FALSE(narrow.tbrMain()->isVisible());
  EXPECT_LT(narrow.Toolbar().pnlToolbarCommon()->y(), narrow.webMain()->y());
  EXPECT_EQ(narrow.Toolbar().pnlToolbarCommon()->height(), narrow.tbrMain()->sizeHint().height());
  // The logo keeps to the right edge when it is all the row holds.
  EXPECT_TRUE(WaitFor([&] { return narrow.Toolbar().pnlLogo()->geometry().right() == narrow.Toolbar().pnlToolbarCommon()->width() - 1; }, 5000))
      << narrow.Toolbar().pnlLogo()->geometry().right() << " of " << narrow.Toolbar().pnlToolbarCommon()->width();

  TfrmMain& noLogo = OpenWith("<System Story=\"s.xml\" ToolButtons=\"tb.xml\"><toolbar LogoDisplay=True/></System>", {{"\\tb.xml", tb}});
  EXPECT_FALSE(noLogo.Toolbar().pnlLogo()->isVisible());
  EXPECT_TRUE(noLogo.tbrMain()->isVisible());

  TfrmMain& none = OpenWith("<System Story=\"s.xml\" ToolButtons=\"tb.xml\"><toolbar LogoDisplay=True ToolbarPlacement=\"tpNoToolbar\"/></System>",
                            {{"\\Logo.bmp", logo(90, 10)}, {"\\tb.xml", tb}});
  EXPECT_FALSE(none.Toolbar().pnlToolbarCommon()->isVisible());
  EXPECT_FALSE(none.Toolbar().pnlLogo()->isVisible());
  EXPECT_EQ(Shown(), "Page 1");
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("\n").toStdString();
}

TEST_F(ToolbarTest, PictureFailuresStopStartUp) {
  const std::string one = "<T><Images><i Path=\"p.bmp\"/></Images></T>";
  EXPECT_EQ(FailureOf(one, "\\p.bmp", Bmp(16, 16)), "Invalid toolbar image size");
  EXPECT_EQ(FailureOf("<T><Images><i Path=\"p.ico\"/></Images></T>", "\\p.ico", Encoded(Square(16, 16), "ICO")),
            "Invalid toolbar image size");
  EXPECT_EQ(FailureOf("<T><Images><i Path=\"p.GIF\"/></Images></T>", "\\p.GIF", Bmp(24, 24)),
            "Unknown picture file extension (.GIF)");
  EXPECT_EQ(FailureOf(one, "\\other.bmp", Bmp(24, 24)), "File \"p.bmp\" not found");
  EXPECT_EQ(FailureOf(one, "\\p.bmp", "BM not really"), "Bitmap image is not valid");
  // Pictures whose data ends early: the rows or blocks they do not hold are never shown.
  const std::string bmp = Bmp(24, 24);
  ASSERT_EQ(bmp.size(), 1782u);
  EXPECT_EQ(FailureOf(one, "\\p.bmp", bmp.substr(0, 700)), "Bitmap image is not valid: its data ends early");
  const std::string jpeg = Encoded(Square(64, 64), "JPEG");
  EXPECT_EQ(FailureOf("<T><Images><i Path=\"p.jpg\"/></Images></T>", "\\p.jpg", jpeg.substr(0, jpeg.size() / 2)),
            "JPEG image is not valid: its data ends early");
  EXPECT_EQ(FailureOf("<T><Images><i Path=\"p.wmf\"/></Images></T>", "\\p.wmf", Metafile("emf", 24).substr(0, 60)),
            "Metafile is not valid");
  // A header that claims a record of 4 GB is refused before the metafile library allocates it.
  std::string greedy = Metafile("wmf", 24);
  greedy.replace(22 + 12, 4, "\xFF\xFF\xFF\x7F");
  EXPECT_EQ(FailureOf("<T><Images><i Path=\"p.wmf\"/></Images></T>", "\\p.wmf", greedy), "Metafile is not valid");
  EXPECT_EQ(FailureOf("<T><Images><i Path=\"p.emf\"/></Images></T>", "\\p.emf", Metafile("wmf", 9000)),
            "Metafile has an unusable size (9000 x 9000)");
}

// Metafiles drawn by the viewer's helper process give the same picture as drawn here, and the
// helper's own refusals. A helper that never answers costs the picture after the time limit,
// one that dies costs the picture at once; the next picture gets a new helper.
TEST(PictureBounds, MetafilesDrawnInTheHelperProcess) {
  const std::string emf = Metafile("emf", 40), wmf = Metafile("wmf", 40);
  const QImage emfHere = LoadPicture(pkMetafile, emf), wmfHere = LoadPicture(pkMetafile, wmf);
  auto failure = [](const std::string& bytes) -> std::string {
    try {
      LoadPicture(pkMetafile, bytes);
      return "drawn";
    } catch (const EPictureError& e) {
      return e.Message();
    }
  };
  cab_test::TTempDir dir;
  const auto script = [&](const char* name, const char* body) {
    const auto path = dir.Path() / name;
    cab_test::WriteFile(path, std::string("#!/bin/sh\n") + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  };
  SetMetafileHelper(QUIRELLE_VIEWER);
  ResetMetafileBudget();  // what earlier books' toolbars spent is not this one's
  EXPECT_EQ(LoadPicture(pkMetafile, emf), emfHere);
  EXPECT_EQ(failure(wmf.substr(0, 30)), "Metafile is not valid");  // the helper's own answer
  SetMetafileHelper(script("silent", "exec sleep 600"));
  EXPECT_EQ(failure(wmf), "Metafile is not valid: drawing it took longer than 3 seconds");
  ResetMetafileBudget();
  SetMetafileHelper(script("dying", "exit 3"));
  EXPECT_EQ(failure(wmf), "Metafile is not valid: its drawing library failed on it");
  SetMetafileHelper(QUIRELLE_VIEWER);
  EXPECT_EQ(LoadPicture(pkMetafile, wmf), wmfHere);

  // A helper that answers each picture just inside the limit: the book's pictures share one
  // budget, and once it is spent every further metafile fails at once.
  const auto slow = dir.Path() / "slow";
  cab_test::WriteFile(slow, "#!/usr/bin/python3\nimport struct, sys, time\n"
                            "while True:\n"
                            "    head = sys.stdin.buffer.read(4)\n"
                            "    if len(head) < 4: break\n"
                            "    sys.stdin.buffer.read(struct.unpack('<I', head)[0])\n"
                            "    time.sleep(2.2)\n"
                            "    sys.stdout.buffer.write(b'\\0' + struct.pack('<II', 1, 1) + b'\\xff' * 4)\n"
                            "    sys.stdout.buffer.flush()\n");
  fs::permissions(slow, fs::perms::owner_all);
  SetMetafileHelper(slow.string());
  ResetMetafileBudget();
  QStringList outcomes;
  for (int i = 0; i < 4; ++i) outcomes << QString::fromStdString(failure(wmf));
  const QString spent = "Metafile is not valid: drawing the book's metafiles took longer than 6 seconds in all";
  EXPECT_EQ(outcomes, (QStringList{"drawn", "drawn", spent, spent})) << outcomes.join(" | ").toStdString();
  SetMetafileHelper({});
}

// What one picture may cost is bounded: a small file must not hold the viewer for long or take
// gigabytes, and a picture too large for Qt says so rather than that it is damaged.
TEST(PictureBounds, IconsMetafilesAndLargeBitmaps) {
  // An icon whose entries all point at one large PNG.
  const std::string png = gui_test::Png(3000, 3000);
  auto icon = [&](int entries, std::uint32_t offset = 0) {
    std::string ico{'\0', '\0', '\1', '\0', static_cast<char>(entries & 0xFF), static_cast<char>(entries >> 8)};
    if (offset == 0) offset = static_cast<std::uint32_t>(6 + 16 * entries);
    const std::uint32_t size = static_cast<std::uint32_t>(png.size());
    for (int i = 0; i < entries; ++i) {
      ico += std::string{'\0', '\0', '\0', '\0', '\1', '\0', ' ', '\0'};
      for (std::uint32_t v : {size, offset})
        for (int b = 0; b < 4; ++b) ico += static_cast<char>((v >> (8 * b)) & 0xFF);
    }
    return ico + png;
  };
  auto failure = [](TPictureKind kind, const std::string& bytes) -> std::string {
    try {
      LoadPicture(kind, bytes, QSize(24, 24));
      return "decoded";
    } catch (const EPictureError& e) {
      return e.Message();
    }
  };
  EXPECT_EQ(failure(pkIcon, icon(1)), "decoded");
  // Entries that point past the file: Qt's reader complains of each, but not on the reader's
  // terminal.
  static QStringList said;
  said.clear();
  const QtMessageHandler before = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { said << text; });
  const std::string pastTheEnd = icon(200, 50'000'000);
  EXPECT_EQ(failure(pkIcon, pastTheEnd.substr(0, 6 + 16 * 200)), "Icon image is not valid");
  qWarning("after the picture");
  qInstallMessageHandler(before);
  EXPECT_EQ(said.join(" | ").left(300).toStdString(), "after the picture");
  EXPECT_EQ(failure(pkIcon, icon(2000)), "Icon image is not valid: it has 2000 images, more than the 256 a picture may have");
  EXPECT_EQ(failure(pkIcon, icon(200)), "Icon image is not valid: its images hold more than 64 million pixels in all");
  // Metafiles of many records, either kind.
  EXPECT_EQ(failure(pkMetafile, Metafile("emf", 24, 1000)), "decoded");
  EXPECT_EQ(failure(pkMetafile, Metafile("emf", 24, 30000)), "Metafile is too complex: it has more than 50000 records");
  EXPECT_EQ(failure(pkMetafile, Metafile("wmf", 24, 30000)), "Metafile is too complex: it has more than 50000 records");
  // A whole 8000 x 8000 bitmap: sound, but beyond what Qt lets one picture allocate.
  QImage mono(8000, 8000, QImage::Format_Mono);
  mono.fill(1);
  EXPECT_EQ(failure(pkBitmap, Encoded(mono, "BMP")),
            "Picture is too large (8000 x 8000): it needs 245 MB, more than the " +
                std::to_string(QImageReader::allocationLimit()) + " MB a picture may take");
}

TEST_F(ToolbarTest, BookmarksInsideAndOutsideTheStory) {
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("https", &catcher, "open");
  TFiles content;
  for (int n = 1; n <= 7; ++n) content["\\p" + std::to_string(n) + ".htm"] = Page(n);
  content["\\extra.htm"] = Page(50);
  TfrmMain& f = Open(
      {{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\"/>"},
       {"\\s.xml", "<S><i page=\"\\p1.htm\"/><i page=\"\\p2.htm\"/><i page=\"\\p3.htm\"/><i page=\"\\p4.htm\"/>"
                   "<i page=\"\\p5.htm\"/><i page=\"\\p6.htm\"/><i page=\"\\p7.htm\"/></S>"},
       {"\\tb.xml", "<T><Buttons><b Kind=13 Caption=\"Marks\">"
                    "<item caption=\"Fifth page\" url=\"mfs:\\p5.htm\"/><item caption=\"Extra\" url=\"mfs:\\extra.htm\"/>"
                    "<item caption=\"Web\" url=\"https://example.org/a\" NewWindow=True/><item/>"
                    "<item caption=\"Broken\" NewWindow=\"perhaps\"/><item caption=\"After the broken one\"/>"
                    "</b><b Kind=5 Caption=\"Next\"/>"
                    "<b Kind=13 Caption=\"More\"><item caption=\"Seventh\" url=\"mfs:\\p7.htm\"/></b></Buttons></T>"}},
      content);
  ASSERT_FALSE(f.CreateFailed()) << Messages.join("\n").toStdString();
  ASSERT_EQ(f.Toolbar().Bookmarks.size(), 2u);
  QMenu* first = qobject_cast<QToolButton*>(Button(0))->menu();
  QMenu* second = qobject_cast<QToolButton*>(Button(2))->menu();
  ASSERT_NE(first, second);
  QList<QAction*> items = first->actions();
  ASSERT_EQ(items.size(), 4);  // the broken item ends the list
  EXPECT_EQ(items[3]->text(), "Description");
  EXPECT_EQ(items[3]->toolTip(), "URL");
  EXPECT_EQ(items[0]->toolTip(), "mfs:\\p5.htm");

  auto choose = [&](QAction* item, const QString& page) { EXPECT_TRUE(Loads([&] { item->trigger(); }, page)); };
  choose(items[0], "Page 5");
  Click(1);
  EXPECT_EQ(Shown(), "Page 6");
  choose(items[1], "Page 50");  // outside the story: the cursor stays on page 6
  Click(1);
  EXPECT_EQ(Shown(), "Page 7");
  items[2]->trigger();
  ASSERT_EQ(catcher.Opened.size(), 1);
  EXPECT_EQ(catcher.Opened[0], QUrl("https://example.org/a"));
  EXPECT_EQ(Shown(), "Page 7");  // the viewer keeps its page
  choose(items[0], "Page 5");
  choose(second->actions().at(0), "Page 7");  // each button its own list
  QDesktopServices::unsetUrlHandler("https");
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("\n").toStdString();
}

// Escape while the book's metafiles are being drawn gives up the start at once, without a
// message; the reader's other input meanwhile reaches nothing.
TEST_F(ToolbarTest, EscapeWhileTheMetafilesAreDrawnGivesUpTheStart) {
  cab_test::TTempDir dir;
  const auto silent = dir.Path() / "silent";
  cab_test::WriteFile(silent, "#!/bin/sh\nexec sleep 600\n");
  fs::permissions(silent, fs::perms::owner_all);
  SetMetafileHelper(silent.string());
  // Escape is pressed again and again: whenever the wait begins, it is there.
  QWidget somewhere;
  QTimer presses;
  QObject::connect(&presses, &QTimer::timeout, [&] {
    QCoreApplication::postEvent(&somewhere, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
  });
  presses.start(50);
  Open({{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\"/>"}, {"\\s.xml", OnePage},
        {"\\tb.xml", "<T><Images><i Path=\"p.wmf\"/></Images><Buttons><b Kind=5 ImageIndex=0/></Buttons></T>"},
        {"\\p.wmf", Metafile("wmf", 24)}},
       {{"\\a.htm", Page(1)}, {"\\b.htm", Page(2)}}, false);
  presses.stop();
  SetMetafileHelper({});
  EXPECT_TRUE(Form->CreateFailed());
  EXPECT_TRUE(Form->Cancelled());
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("; ").toStdString();  // not "took longer than 3 seconds"
}

// What the picture fuzzer found, replayed from the saved inputs (the first byte picks the kind):
// each decodes within the bounds or fails with its message.
TEST(FuzzFinds, PicturesTheFuzzerFoundDecodeOrFailCleanly) {
  const fs::path corpus = fs::path(QUIRELLE_SOURCE_DIR) / "fuzz" / "corpus" / "fuzz_picture";
  const TPictureKind kinds[] = {pkBitmap, pkIcon, pkJPEG, pkMetafile};
  struct TFind { const char* file; const char* outcome; };
  for (const TFind& f : {TFind{"regress-bmp-short-header", "Bitmap image is not valid"},
                         TFind{"regress-emf-description-outside-header", "Metafile is not valid"},
                         TFind{"regress-wmf-short-thick-line", "Metafile has an unusable size (6984 x 72)"},
                         TFind{"regress-wmf-wide-canvas", "Metafile has an unusable size (5485 x 3073)"}}) {
    const std::string bytes = cab_test::ReadFile(corpus / f.file);
    ASSERT_FALSE(bytes.empty()) << f.file;
    std::string outcome;
    try {
      const QImage image = LoadPicture(kinds[static_cast<unsigned char>(bytes[0]) % 4], bytes.substr(1), QSize(24, 24));
      outcome = std::to_string(image.width()) + " x " + std::to_string(image.height());
    } catch (const EPictureError& e) {
      outcome = e.Message();
    }
    EXPECT_EQ(outcome, f.outcome) << f.file;
  }
}

// A toolbar wider than the window: every button stays reachable. The "››" list holds exactly the
// buttons the width hides, in order, with picture and caption (a kind's name without one), each
// doing what its button does; drop-downs bring their own lists.
TEST_F(ToolbarTest, ButtonsBeyondTheWindowsWidthAreInTheOverflowList) {
  std::string buttons = "<b Kind=3 Caption=\"First\" ImageIndex=0/>";
  for (int i = 0; i < 5; ++i) buttons += "<b Kind=9 Caption=\"About " + std::to_string(i) + "\" ImageIndex=0/><b Kind=0/>";
  buttons += "<b Kind=11 Caption=\"Size\" ImageIndex=0/><b Kind=13 Caption=\"Marks\"><item caption=\"Second\" url=\"mfs:\\b.htm\"/></b>"
             "<b Kind=5 ImageIndex=0/>";
  TfrmMain& f = OpenWith("<System Story=\"s.xml\" ToolButtons=\"tb.xml\" Width=400 ResizableWindow=True><toolbar ToolbarBtnW=90/></System>",
                         {{"\\tb.xml", "<T><Images><Img Path=\"p.bmp\"/></Images><Buttons>" + buttons + "</Buttons></T>"},
                          {"\\p.bmp", Bmp(24, 24)}});
  ASSERT_FALSE(f.CreateFailed()) << Messages.join("\n").toStdString();
  QToolButton* more = f.Toolbar().OverflowButton();
  ASSERT_NE(more, nullptr);
  ASSERT_TRUE(WaitFor([&] { return more->isVisible(); }));
  EXPECT_EQ(more->accessibleName(), "More buttons");
  QStringList hidden;
  for (QWidget* w : f.Toolbar().Buttons())
    if (auto* b = qobject_cast<QToolButton*>(w); b && b->isHidden()) hidden << b->accessibleName();
  ASSERT_TRUE(hidden.contains("Next page"));  // the last button, without a caption
  ASSERT_TRUE(hidden.contains("Size"));
  // Pressed as the window system delivers a click, the list opens below the button.
  const QPoint at = more->mapTo(&f, more->rect().center());
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent e(type, at, f.mapToGlobal(at), Qt::LeftButton, type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                  Qt::NoModifier);
    QCoreApplication::sendEvent(f.windowHandle(), &e);
  }
  ASSERT_TRUE(WaitFor([&] { return f.Toolbar().popOverflow()->isVisible(); }));
  QStringList listed;
  QAction* next = nullptr;
  QAction* size = nullptr;
  QAction* marks = nullptr;
  for (QAction* a : f.Toolbar().popOverflow()->actions()) {
    if (a->isSeparator()) continue;
    listed << a->text();
    EXPECT_FALSE(a->icon().isNull() && a->text() != "Marks") << a->text().toStdString();
    if (a->text() == "Next page") next = a;
    if (a->text() == "Size") size = a;
    if (a->text() == "Marks") marks = a;
  }
  EXPECT_EQ(listed, hidden);
  EXPECT_FALSE(f.Toolbar().popOverflow()->actions().first()->isSeparator());
  EXPECT_FALSE(f.Toolbar().popOverflow()->actions().last()->isSeparator());
  ASSERT_TRUE(next && size && marks);
  ASSERT_NE(size->menu(), nullptr);
  EXPECT_EQ(size->menu()->actions().size(), 5);  // the five font sizes
  ASSERT_NE(marks->menu(), nullptr);
  f.Toolbar().popOverflow()->close();
  EXPECT_TRUE(Loads([&] { next->trigger(); }, "Page 2"));
  EXPECT_TRUE(Loads([&] { qobject_cast<QToolButton*>(f.Toolbar().Buttons().front())->click(); }, "Page 1"));
  EXPECT_TRUE(Loads([&] { marks->menu()->actions().at(0)->trigger(); }, "Page 2"));
  // Wide enough, nothing is hidden and there is no list.
  f.resize(1250, 400);
  EXPECT_TRUE(WaitFor([&] { return !more->isVisible(); }));
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("\n").toStdString();
}

// A book started by quirelle-pack --new from a folder of 20 pages in three subfolders: it checks
// clean, shows thirteen buttons with readable captions, and Next walks the pages in the order of
// the contents page's links, then file order, each folder a chapter.
TEST_F(ToolbarTest, ANewBookFromAFolderOfPagesReadsInOrder) {
  cab_test::TTempDir dir;
  const fs::path pages = dir.Path() / "pages";
  auto page = [](const std::string& name) {
    return "<html><head><title>Page " + name + "</title></head><body><p id=t>" + name + "</p></body></html>";
  };
  std::vector<std::string> files;
  for (const char* folder : {"a-intro", "b-middle", "c-end"})
    for (int i = 1; i <= (folder[0] == 'c' ? 7 : 6); ++i) files.push_back(std::string(folder) + "/p" + std::to_string(i));
  for (const std::string& file : files) cab_test::WriteFile(pages / (file + ".htm"), page(file));
  // The contents page takes the middle part first, its third page before its first.
  cab_test::WriteFile(pages / "index.htm", "<html><head><title>My book</title></head><body><p id=t>contents</p>"
                                           "<a href='b-middle/p3.htm'>x</a> <a href='b-middle/p1.htm'>y</a> <a href='c-end/p10.htm'>gone</a></body></html>");
  std::string out;
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --new " + cab_test::Quote(dir.Path() / "book") + " --content " + cab_test::Quote(pages), &out), 0)
      << out;
  EXPECT_NE(out.find("Started \"My book\""), std::string::npos) << out;
  EXPECT_NE(out.find("20 pages, 3 chapters"), std::string::npos) << out;
  EXPECT_NE(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --new " + cab_test::Quote(dir.Path() / "book") + " --content " + cab_test::Quote(pages), &out), 0);
  EXPECT_NE(out.find("exists and is not empty"), std::string::npos) << out;
  const fs::path doc = dir.Path() / "book.qbook";
  EXPECT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --check --system " + cab_test::Quote(dir.Path() / "book" / "system") +
                                " --content " + cab_test::Quote(pages), &out), 1);
  EXPECT_NE(out.find("\n1 error, 0 notes"), std::string::npos) << out;  // the contents page's broken link, and nothing else

  cab_test::WriteFile(pages / "index.htm", "<html><head><title>My book</title></head><body><p id=t>contents</p>"
                                           "<a href='b-middle/p3.htm'>x</a> <a href='b-middle/p1.htm'>y</a></body></html>");
  ASSERT_EQ(cab_test::Shell(cab_test::Quote(QUIRELLE_PACK) + " --document --system " + cab_test::Quote(dir.Path() / "book" / "system") +
                                " --content " + cab_test::Quote(pages) + " -o " + cab_test::Quote(doc), &out), 0)
      << out;
  EXPECT_EQ(out, "0 errors, 0 notes\n");
  Form = std::make_unique<TfrmMain>(TBookSource{ReadBookBlock(doc.string(), "SYSTEM_MFS"), ReadBookBlock(doc.string(), "FILES_MFS")});
  ASSERT_FALSE(Form->CreateFailed()) << Messages.join("; ").toStdString();
  ASSERT_TRUE(Loads([&] { Form->show(); }, "contents"));
  EXPECT_EQ(Form->windowTitle(), "My book");
  int buttons = 0, next = -1;
  for (std::size_t i = 0; i < Form->Toolbar().Buttons().size(); ++i) {
    auto* button = qobject_cast<QAbstractButton*>(Form->Toolbar().Buttons()[i]);
    if (!button || button->text().isEmpty()) continue;
    ++buttons;
    EXPECT_FALSE(button->icon().isNull()) << button->text().toStdString();
    EXPECT_NE(button->palette().color(QPalette::ButtonText), Form->tbrMain()->palette().color(QPalette::Window));
    if (button->text() == "Next") next = static_cast<int>(i);
  }
  EXPECT_EQ(buttons, 13);
  ASSERT_GE(next, 0);
  QStringList walked;
  for (std::size_t i = 0; i < files.size(); ++i) {
    Click(next);
    walked << Shown();
  }
  QStringList expected{"b-middle/p3", "b-middle/p1", "b-middle/p2", "b-middle/p4", "b-middle/p5", "b-middle/p6"};
  for (const std::string& file : files)
    if (!expected.contains(QString::fromStdString(file))) expected << QString::fromStdString(file);
  EXPECT_EQ(walked, expected);
  // The Home button a new book starts with: Alt+Home goes back to the first page.
  Form->activateWindow();
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
  EXPECT_TRUE(Loads([&] { Key(Qt::Key_Home, Qt::AltModifier); }, "contents")) << Shown().toStdString();
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("\n").toStdString();
}

}  // namespace
