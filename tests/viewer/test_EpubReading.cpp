// An EPUB opened directly, read on the real engine as reading systems read it: what its scripts
// are offered, what its frames may touch, its MathML, its reading order, links out of it and
// requests to the network.
#include <QDesktopServices>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTreeWidget>

#include "tools/epub_test_util.h"
#include "frm_UserForm.h"
#include "u_ContentsPane.h"
#include "u_EpubReading.h"
#include "viewer_test_util.h"

using gui_test::Eval;
using gui_test::WaitFor;
using namespace viewer_test;
namespace fs = std::filesystem;

namespace {

std::string Opf(const std::string& metadata, const std::string& items, const std::string& spine) {
  return "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" unique-identifier=\"uid\">"
         "<metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:identifier id=\"uid\">urn:uuid:1</dc:identifier>" + metadata +
         "</metadata><manifest>" + items + "</manifest><spine>" + spine + "</spine></package>";
}

std::string Item(const std::string& id, const std::string& href, const std::string& type = "application/xhtml+xml") {
  return "<item id=\"" + id + "\" href=\"" + href + "\" media-type=\"" + type + "\"/>";
}

class EpubReadingTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!TEngineURLLayer::Instance()) FLayer = std::make_unique<TEngineURLLayer>();
    SetMessageHandler([this](QWidget*, const QString&, const QString& text) { Messages << text; });
  }
  void TearDown() override {
    Form.reset();
    SetMessageHandler(nullptr);
    SetQuestionHandler(nullptr);
  }
  // The EPUB opened as the viewer opens one given on the command line; its first page loaded.
  TfrmMain& Open(const std::vector<std::pair<std::string, std::string>>& files) {
    WriteEpub(Dir.Path() / "book.epub", files);
    // An EPUB by its first member, whatever its name; another ZIP is none.
    fs::copy_file(Dir.Path() / "book.epub", Dir.Path() / "book.bin", fs::copy_options::overwrite_existing);
    EXPECT_TRUE(IsEpubFile((Dir.Path() / "book.bin").string()));
    WriteEpub(Dir.Path() / "other.bin", {{"readme.txt", "text"}});
    EXPECT_FALSE(IsEpubFile((Dir.Path() / "other.bin").string()));
    Form.reset();
    Form = std::make_unique<TfrmMain>(EpubBookSource((Dir.Path() / "book.epub").string()));
    EXPECT_FALSE(Form->CreateFailed()) << Messages.join("; ").toStdString();
    bool loaded = false;
    auto c = QObject::connect(Form->webMain(), &TMXWebBrowser::documentComplete, [&](const QUrl&) { loaded = true; });
    Form->OpenFirstPage();
    Form->show();
    EXPECT_TRUE(WaitFor([&] { return loaded; }));
    QObject::disconnect(c);
    return *Form;
  }
  QVariant Js(const QString& script) { return Eval(*Form->webMain(), script); }

  cab_test::TTempDir Dir;
  std::unique_ptr<TEngineURLLayer> FLayer;
  std::unique_ptr<TfrmMain> Form;
  QStringList Messages;
};

}  // namespace

TEST_F(EpubReadingTest, ScriptsFramesMathAndLinksBehaveAsInAReadingSystem) {
  QTcpServer network;
  ASSERT_TRUE(network.listen(QHostAddress::LocalHost));
  const std::string remote = "http://127.0.0.1:" + std::to_string(network.serverPort()) + "/x.png";
  // The page is green once the reading system is offered to it and to its frame, and the frame
  // has tried, and failed, to change it.
  const std::string a = EpubPage("A",
      "<p id=\"t\">A</p><a id=\"out\" href=\"https://example.org/away\">out</a><img src=\"" + remote + "\" alt=\"\"/>"
      "<iframe id=\"f\" src=\"frame.xhtml\"></iframe>",
      "<link rel=\"stylesheet\" href=\"style.css\"/><script>//<![CDATA[\n"
      "addEventListener('message', (e) => {\n"
      "  const rs = navigator.epubReadingSystem;\n"
      "  const offered = rs && rs.name === 'Quirelle' && rs.hasFeature('dom-manipulation') === true && rs.hasFeature('touch-events') === false && rs.hasFeature('no-such-feature') === undefined;\n"
      "  if (e.data.frame) document.body.dataset.why = JSON.stringify([!!rs, rs && rs.name, rs && rs.hasFeature('dom-manipulation'), e.data]);\n"
      "  if (e.data.frame) document.body.style.backgroundColor = offered && e.data.frame === 'Quirelle' && !e.data.touched ? 'rgb(0, 128, 0)' : 'rgb(255, 0, 0)';\n"
      "});\n//]]></script>");
  const std::string frame = EpubPage("F", "<p>frame</p>",
      "<script>//<![CDATA[\n"
      "let touched = false;\n"
      "for (const w of [window.parent, window.top]) { try { w.document.body.dataset.touched = '1'; touched = true; } catch (e) {} }\n"
      "window.parent.postMessage({frame: navigator.epubReadingSystem ? navigator.epubReadingSystem.name : 'none', touched}, '*');\n"

      "//]]></script>");
  const std::string math = EpubPage("B", "<p id=\"t\">B</p><math xmlns=\"http://www.w3.org/1998/Math/MathML\"><mfrac><mi>x</mi><mn>2</mn></mfrac></math>");
  // Links out are allowed, files from the internet not.
  QStringList asked;
  SetQuestionHandler([&](const QString& text) {
    asked << text;
    return text.contains("leads out of the book");
  });
  const std::vector<std::pair<std::string, std::string>> book{
                      {"mimetype", "application/epub+zip"},
                      {"META-INF/container.xml", EpubContainerXml},
                      {"OPS/book.opf", Opf("<dc:title>Reading</dc:title><dc:creator>50% Writer</dc:creator>",
                                           Item("a", "a.xhtml") + Item("f", "frame.xhtml") + Item("n", "notes.xhtml") + Item("b", "b.xhtml") +
                                               Item("css", "style.css", "text/css"),
                                           "<itemref idref=\"a\"/><itemref idref=\"n\" linear=\"no\"/><itemref idref=\"b\"/>")},
                      {"OPS/a.xhtml", a},
                      {"OPS/frame.xhtml", frame},
                      {"OPS/notes.xhtml", EpubPage("N", "<p id=\"t\">N</p>")},
                      {"OPS/b.xhtml", math},
                      {"OPS/style.css", "#t { -epub-text-combine: horizontal }"}};
  TfrmMain& w = Open(book);
  EXPECT_TRUE(WaitFor([&] { return Js("getComputedStyle(document.body).backgroundColor").toString() == "rgb(0, 128, 0)"; }))
      << Js("JSON.stringify([document.body.dataset.why, !!navigator.epubReadingSystem, document.getElementById('f').src, document.getElementById('f').contentWindow ? 1 : 0, location.href])").toString().toStdString();
  EXPECT_EQ(Js("document.body.dataset.touched === undefined").toBool(), true);
  EXPECT_EQ(Js("getComputedStyle(document.getElementById('t')).textCombineUpright").toString(), "all");
  // The picture from the network was not fetched: the reader was asked, once, and said no.
  EXPECT_TRUE(WaitFor([&] { return asked.size() == 1; }));
  EXPECT_TRUE(asked.value(0).contains(QString::fromStdString(remote))) << asked.value(0).toStdString();
  EXPECT_FALSE(network.hasPendingConnections());
  // The contents pane and the About form name the creator.
  EXPECT_EQ(w.ContentsPane()->tvContents()->headerItem()->text(0), QString::fromUtf8("Reading \u2014 50% Writer"));
  QAbstractButton* about = nullptr;
  for (QWidget* b : w.Toolbar().Buttons())
    if (auto* button = qobject_cast<QAbstractButton*>(b); button && button->text() == "About") about = button;
  ASSERT_NE(about, nullptr);
  EXPECT_TRUE(WhenShown<TfrmUserForm>([&] { about->click(); }, [&](TfrmUserForm& form) {
    EXPECT_TRUE(WaitFor([&] {
      return Eval(*form.webUserForm(), "document.getElementById('creators') ? document.getElementById('creators').textContent : ''").toString() ==
             "By 50% Writer";
    }));
  }));

  // A link out of the book: asked, then handed to the desktop's browser; the book stays.
  UrlCatcher browser;
  QDesktopServices::setUrlHandler("https", &browser, "open");
  Js("document.getElementById('out').click()");
  EXPECT_TRUE(WaitFor([&] { return browser.Opened.size() == 1; }));
  SetQuestionHandler([](const QString&) { return false; });
  Js("document.getElementById('out').click()");
  QDesktopServices::unsetUrlHandler("https");
  EXPECT_EQ(browser.Opened.value(0), QUrl("https://example.org/away"));
  EXPECT_EQ(browser.Opened.size(), 1);
  EXPECT_EQ(Js("document.getElementById('t').textContent").toString(), "A");

  // Next skips the page set aside; the MathML there is laid out.
  EXPECT_EQ(w.Story().Lines().Count(), 2);
  w.HostObject()->Story().Next();
  ASSERT_TRUE(WaitFor([&] { return Js("document.getElementById('t') ? document.getElementById('t').textContent : ''").toString() == "B"; }));
  EXPECT_TRUE(WaitFor([&] { return Js("document.querySelector('.mjx-chtml') !== null").toBool(); }));
  // At the last page, Next goes nowhere.
  w.HostObject()->Story().Next();
  EXPECT_TRUE(w.HostObject()->Story().Eof());
  EXPECT_EQ(w.HostObject()->Story().Current(), "\\OPS\\b.xhtml");
}

TEST_F(EpubReadingTest, FilesFromTheInternetComeOnceTheReaderAllowsThem) {
  QTcpServer network;
  ASSERT_TRUE(network.listen(QHostAddress::LocalHost));
  const std::string remote = "http://127.0.0.1:" + std::to_string(network.serverPort()) + "/allowed.png";
  int connections = 0;
  QObject::connect(&network, &QTcpServer::newConnection, [&] {
    while (QTcpSocket* socket = network.nextPendingConnection()) {
      ++connections;
      socket->write("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
      socket->disconnectFromHost();
    }
  });
  int asked = 0;
  SetQuestionHandler([&](const QString&) { return ++asked > 0; });
  Open({{"mimetype", "application/epub+zip"},
        {"META-INF/container.xml", EpubContainerXml},
        {"OPS/book.opf", Opf("<dc:title>Net</dc:title>", Item("a", "a.xhtml"), "<itemref idref=\"a\"/>")},
        {"OPS/a.xhtml", EpubPage("A", "<img src=\"" + remote + "\" alt=\"\"/><img src=\"" + remote + "?second\" alt=\"\"/>")}});
  EXPECT_TRUE(WaitFor([&] { return connections >= 2; }));
  EXPECT_EQ(asked, 1);
}

TEST_F(EpubReadingTest, AScrolledContinuousBookShowsEachDocumentAtItsFullHeight) {
  Open({{"mimetype", "application/epub+zip"},
        {"META-INF/container.xml", EpubContainerXml},
        {"OPS/book.opf", Opf("<dc:title>Scroll</dc:title><meta property=\"rendition:flow\">scrolled-continuous</meta>",
                             Item("a", "a.xhtml") + Item("b", "b.xhtml"), "<itemref idref=\"a\"/><itemref idref=\"b\"/>")},
        {"OPS/a.xhtml", EpubPage("A", "<div style=\"height: 3000px\">tall</div>")},
        {"OPS/b.xhtml", EpubPage("B", "<p>short</p>")}});
  EXPECT_TRUE(WaitFor([&] { return Js("parseInt(document.querySelectorAll('iframe')[0].style.height)").toInt() >= 3000; }));
  EXPECT_TRUE(WaitFor([&] { return Js("document.documentElement.scrollHeight").toInt() > 3000; }));
}

// The viewer given an EPUB on its command line, as a reader starts it.
TEST_F(EpubReadingTest, TheViewerOpensAnEpubFileAndSaysWhatIsWrongWithABrokenOne) {
  WriteEpub(Dir.Path() / "rtl.epub", {{"mimetype", "application/epub+zip"},
                                      {"META-INF/container.xml", EpubContainerXml},
                                      {"OPS/book.opf", Opf("<dc:title dir=\"rtl\">\u05e1\u05e4\u05e8</dc:title>", Item("a", "a.xhtml"), "<itemref idref=\"a\"/>")},
                                      {"OPS/a.xhtml", EpubPage("A", "<p>a</p>")}});
  WriteEpub(Dir.Path() / "broken.epub", {{"mimetype", "application/epub+zip"}, {"META-INF/container.xml", "<container/>"}});
  auto run = [&](const char* name, QString& out, QString& err) {
    QProcess viewer;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUIRELLE_CHECK", "1");
    viewer.setProcessEnvironment(env);
    viewer.start(QUIRELLE_VIEWER, {QString::fromStdString((Dir.Path() / name).string())});
    EXPECT_TRUE(viewer.waitForFinished(120000));
    out = QString::fromUtf8(viewer.readAllStandardOutput());
    err = QString::fromUtf8(viewer.readAllStandardError());
    return viewer.exitCode();
  };
  QString out, err;
  EXPECT_EQ(run("rtl.epub", out, err), 0) << err.toStdString();
  // The title keeps its direction in the title bar.
  EXPECT_TRUE(out.contains(QString::fromUtf8("caption=\u2067\u05e1\u05e4\u05e8\u2069\n"))) << out.toStdString();
  EXPECT_TRUE(out.contains("page=\\OPS\\a.xhtml")) << out.toStdString();
  EXPECT_EQ(run("broken.epub", out, err), 1);
  EXPECT_TRUE(err.contains("broken.epub: The EPUB's META-INF/container.xml names no package document")) << err.toStdString();
}
