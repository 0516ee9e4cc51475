// Hostile books and pages on the real engine: web content and opaque frames get neither
// window.external nor the book's files, and the window and the served files stay bounded.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <csignal>
#include <sys/types.h>

#include "viewer/viewer_test_util.h"

using namespace gui_test;
using namespace viewer_test;

namespace {

// Python's web server on 127.0.0.1, serving a folder of the test, on a port the system picks.
class TWebServer {
public:
  explicit TWebServer(const std::map<QString, QString>& files) {
    for (const auto& [name, text] : files) {
      QFile f(FDir.filePath(name));
      f.open(QIODevice::WriteOnly);
      f.write(text.toUtf8());
    }
    FProcess.setProcessChannelMode(QProcess::MergedChannels);
    FProcess.start("python3", {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", FDir.path()});
    QRegularExpression serving("port (\\d+)");
    WaitFor([&] {
      FOutput += QString::fromUtf8(FProcess.readAll());
      auto m = serving.match(FOutput);
      if (m.hasMatch()) Port = m.captured(1).toInt();
      return Port != 0 || FProcess.state() == QProcess::NotRunning;
    });
  }
  ~TWebServer() {
    FProcess.kill();
    FProcess.waitForFinished();
  }
  QString Url(const QString& name) const { return QStringLiteral("http://127.0.0.1:%1/%2").arg(Port).arg(name); }
  int Port = 0;

private:
  QTemporaryDir FDir;
  QProcess FProcess;
  QString FOutput;
};

const char* const Collector =
    "<script>window.results = []; addEventListener('message', function (e) { results.push(e.data); });</script>";

class HostileTest : public ViewerFixture {
protected:
  // The results the page and its frames posted, sorted, once there are `count` of them.
  QString Results(int count) {
    EXPECT_TRUE(WaitFor([&] { return Run("String(window.results ? results.length : 0)").toInt() >= count; }))
        << Run("JSON.stringify(window.results)").toStdString();
    return Run("results.sort().join(' ')");
  }
};

TEST_F(HostileTest, OnlyTheBooksOwnDocumentsGetWindowExternal) {
  // Each frame tells what it got and, when it got something, tries to turn the page.
  const QString report = "<script>var r = typeof window.external; try { if (r != 'object') window.external.Story.Next(); } catch (e) {}"
                         "top.postMessage('%1:' + r, '*');</script>";
  TWebServer web({{"web.htm", report.arg("web") + "<iframe src=\"data:text/html," + QString(report.arg("webdata")).toHtmlEscaped() + "\"></iframe>"}});
  ASSERT_NE(web.Port, 0);
  const std::string page =
      std::string(Collector) + "<p id=t>Page 1</p>" +
      "<iframe src=\"data:text/html," + QString(report.arg("data")).toHtmlEscaped().toStdString() + "\"></iframe>" +
      "<iframe sandbox=\"allow-scripts allow-modals\" src=\"child.htm\"></iframe>" +
      "<iframe srcdoc=\"" + QString(report.arg("srcdoc")).toHtmlEscaped().toStdString() + "\"></iframe>" +
      "<iframe src=\"" + web.Url("web.htm").toStdString() + "\"></iframe>";
  Open({{"\\System.xml", "<System Story=\"s.xml\"/>"},
        {"\\s.xml", "<S><i page=\"\\p1.htm\"/><i page=\"\\p2.htm\"/><i page=\"\\p3.htm\"/><i page=\"\\p4.htm\"/><i page=\"\\p5.htm\"/></S>"}},
       {{"\\p1.htm", page}, {"\\child.htm", report.arg("sandboxed").toStdString()}, {"\\p2.htm", Page(2)}});
  EXPECT_EQ(Results(5), "data:undefined sandboxed:undefined srcdoc:object web:undefined webdata:undefined");
  // Only the srcdoc frame, whose origin is the book page's, may drive the book.
  EXPECT_EQ(Run("var f = document.querySelector('iframe[srcdoc]').contentWindow; typeof f.external.Story.Next"), "function");
  EXPECT_EQ(Shown(), "Page 1");
  EXPECT_EQ(Form->Story().CurrentPage(), "\\p1.htm");
  EXPECT_TRUE(Form->isVisible());
}

TEST_F(HostileTest, WebPagesCannotReadTheBook) {
  const QString reader =
      "<script>function read(u) { return new Promise(function (done) { var x = new XMLHttpRequest();"
      "x.onload = function () { done(x.status == 200 ? 'read ' + x.responseText : 'refused'); };"
      "x.onerror = function () { done('refused'); }; x.open('GET', u); x.send(); }); }"
      "Promise.all([read('mfs:/secret.htm'), read('system:/Variables.xml')]).then(function (a) {"
      "  top.postMessage('%1 ' + a.join(' / '), '*'); document.title = a.join(' / '); });</script>";
  TWebServer web({{"reader.htm", reader.arg("web frame")}, {"top.htm", reader.arg("web page")}});
  ASSERT_NE(web.Port, 0);
  Open({{"\\System.xml", "<System Story=\"s.xml\" Variables=\"Variables.xml\"/>"}, {"\\s.xml", "<S><i page=\"\\p1.htm\"/></S>"},
        {"\\Variables.xml", "<v><var name=\"KEY\">$hidden</var></v>"}},
       {{"\\p1.htm", std::string(Collector) + "<p id=t>Page 1</p><iframe src=\"" + web.Url("reader.htm").toStdString() + "\"></iframe>" +
                         reader.arg("book page").toStdString()},
        {"\\secret.htm", "secret"}});
  // A book page reads its own files; system: is another origin to it, and nothing has CORS.
  EXPECT_EQ(Results(2), "book page read secret / refused web frame refused / refused");
  // A web page the reader went to.
  ASSERT_TRUE(Load(*Form->webMain(), QUrl(web.Url("top.htm"))));
  EXPECT_TRUE(WaitFor([&] { return Form->webMain()->title() == "refused / refused"; })) << Form->webMain()->title().toStdString();
}

TEST_F(HostileTest, WindowAndServedFilesStayBounded) {
  // A window larger than the screen is made to fit it.
  TfrmMain& f = Open({{"\\System.xml", "<System Story=\"s.xml\" Width=20000 Height=16777215 ResizableWindow=True/>"},
                      {"\\s.xml", "<S><i page=\"\\p1.htm\"/><i page=\"\\big.htm\"/></S>"},
                      {"\\v.xml", ""}},
                     {{"\\p1.htm", Page(1)}});
  const QSize room = QGuiApplication::primaryScreen()->availableGeometry().size();
  EXPECT_LE(f.width(), room.width());
  EXPECT_LE(f.height(), room.height());
  EXPECT_GT(f.width(), 0);

  // A small page that would expand to gigabytes gets the error page naming it.
  std::string mebibyte;
  for (int i = 0; i < 1024; ++i) mebibyte += std::string(1023, 'x') + "\n";
  std::string page = "<p id=t>";
  for (int i = 0; i < 100; ++i) page += "%{BIG}";
  Open({{"\\System.xml", "<System Story=\"s.xml\" Variables=\"v.xml\"/>"}, {"\\s.xml", "<S><i page=\"\\big.htm\"/></S>"},
        {"\\v.xml", "<v><var name=\"BIG\">$" + mebibyte + "</var></v>"}},
       {{"\\big.htm", page}});
  EXPECT_TRUE(Run("document.body.innerText").contains("\"\\big.htm\" expands to more than 67108864 bytes"))
      << Run("document.body.innerText").left(300).toStdString();
}

TEST_F(HostileTest, ADeadRendererLeavesAViewerThatStillWorks) {
  TFiles content;
  for (int n = 1; n <= 3; ++n) content["\\p" + std::to_string(n) + ".htm"] = Page(n);
  Open({{"\\System.xml", "<System Story=\"s.xml\" ToolButtons=\"tb.xml\"/>"},
        {"\\s.xml", "<S><i page=\"\\p1.htm\"/><i page=\"\\p2.htm\"/><i page=\"\\p3.htm\"/></S>"},
        {"\\tb.xml", "<T><Buttons><b Kind=5 Caption=\"Next\"/></Buttons></T>"}},
       content);
  Click(0);
  ASSERT_EQ(Shown(), "Page 2");
  const qint64 pid = Form->webMain()->page()->renderProcessPid();
  ASSERT_GT(pid, 0);
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  ASSERT_TRUE(WaitFor([&] { return Form->webMain()->title() == "The page stopped"; })) << Form->webMain()->title().toStdString();
  EXPECT_EQ(Run("document.getElementById('reload').getAttribute('href')"), "mfs:/p2.htm");
  Run("document.getElementById('reload').click(); 1");
  ASSERT_TRUE(WaitFor([&] { return Shown() == "Page 2"; }));
  Click(0);  // the story goes on from the page that stopped
  EXPECT_EQ(Shown(), "Page 3");
  ::kill(static_cast<pid_t>(Form->webMain()->page()->renderProcessPid()), SIGKILL);
  ASSERT_TRUE(WaitFor([&] { return Form->webMain()->title() == "The page stopped"; }));
  Form->activateWindow();
  ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == Form.get(); }, 5000));
  Key(Qt::Key_Escape);
  EXPECT_TRUE(WaitFor([&] { return !Form->isVisible(); }));
  EXPECT_TRUE(Messages.isEmpty()) << Messages.join("\n").toStdString();
}

}  // namespace
