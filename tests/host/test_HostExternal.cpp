// How page scripts reach the story, the forms and the browser through window.external: the bridge's
// requests answered by THostExternal against a viewer that is a plain object, without the engine.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <string>
#include <vector>

#include "obj_HostExternal.h"
#include "u_Story.h"

namespace {

class TFakeViewer : public IHostViewer {
public:
  TStory StoryLines{"<Story><c><i page=\"\\a.htm\"/><i page=\"\\b.htm\"/></c><c><i page=\"\\c.htm\"/></c></Story>"};
  std::vector<std::string> Shown;
  int Syncs = 0, CloseRequests = 0;
  std::vector<std::string> Queued;

  TStory& Story() override { return StoryLines; }
  void NavigateToCurrentPage() override { Shown.push_back(StoryLines.CurrentPage()); }
  std::string GetCurrentPage() override { return Shown.empty() ? std::string() : Shown.back(); }
  void SyncStoryWithBrowser() override { ++Syncs; }
  void PostCloseRequest() override { ++CloseRequests; }
  bool HasUserForm(const std::string& name) override { return name == "About"; }
  QUrl QueueUserForm(const std::string& name) override {
    Queued.push_back(name);
    return QUrl(QStringLiteral("mfs:/wait-1"));
  }
  TMXWebBrowser* WebBrowser() override { return nullptr; }
};

class TFakeForm : public IUserFormWindow {
public:
  int L = 10, T = 20, W = 300, H = 200;
  QString Title = QStringLiteral("Form");
  bool Closed = false;
  TMXWebBrowser* WebBrowser() override { return nullptr; }
  void Close() override { Closed = true; }
  int Left() override { return L; }
  int Top() override { return T; }
  int Width() override { return W; }
  int Height() override { return H; }
  QString Caption() override { return Title; }
  void SetLeft(int value) override { L = value; }
  void SetTop(int value) override { T = value; }
  void SetWidth(int value) override { W = value; }
  void SetHeight(int value) override { H = value; }
  void SetCaption(const QString& value) override { Title = value; }
};

// One request as the page's script sends it; the answer as it reads it.
QJsonObject Ask(THostExternal& host, const char* op, const QStringList& path, const QJsonArray& args = {},
                const QJsonValue& value = {}) {
  QJsonObject request{{"op", op}, {"path", QJsonArray::fromStringList(path)}, {"args", args}};
  if (!value.isUndefined()) request.insert("value", value);
  return QJsonDocument::fromJson(host.Dispatch(QString::fromUtf8(QJsonDocument(request).toJson())).toUtf8()).object();
}

}  // namespace

TEST(HostExternal, ScriptsMoveTheStoryOpenFormsAndReachTheActiveForm) {
  TFakeViewer viewer;
  THostExternal host(viewer);
  EXPECT_EQ(Ask(host, "hello", {})["kind"], "object");
  EXPECT_EQ(Ask(host, "get", {"story"})["kind"], "object");  // names ignore case
  EXPECT_EQ(Ask(host, "get", {"Story", "NextChapter"})["kind"], "method");

  // The story: moves show the page they reach, a refused move is the platform's failure and
  // shows nothing, the ends are read after the story follows the browser.
  Ask(host, "call", {"Story", "First"});
  Ask(host, "call", {"Story", "Next"});
  Ask(host, "call", {"Story", "NextChapter"}, {1});
  EXPECT_EQ(viewer.Shown, (std::vector<std::string>{"\\a.htm", "\\b.htm", "\\c.htm"}));
  EXPECT_EQ(Ask(host, "get", {"Story", "Current"})["value"], "\\c.htm");
  EXPECT_EQ(Ask(host, "get", {"Story", "Eof"})["value"], false);
  Ask(host, "call", {"Story", "Next"});  // onto the end: the last page stays
  EXPECT_EQ(Ask(host, "get", {"Story", "Eof"})["value"], true);
  EXPECT_GT(viewer.Syncs, 0);
  EXPECT_EQ(Ask(host, "call", {"Story", "Next"})["error"], SUnexpectedFailure);
  EXPECT_EQ(Ask(host, "call", {"Story", "PriorChapter"})["error"], "Invalid number of parameters.");
  EXPECT_EQ(viewer.Shown.size(), 4u);
  EXPECT_EQ(viewer.Shown.back(), "\\c.htm");
  EXPECT_EQ(Ask(host, "call", {"Story", "Current"})["value"], "\\c.htm");  // a read written as a call

  // Forms: a known one is queued and the script gets the address to wait on.
  EXPECT_EQ(Ask(host, "call", {"ShowUserForm"}, {"Nope"})["error"], "Form \"Nope\" not found");
  const QJsonObject shown = Ask(host, "call", {"ShowUserForm"}, {"About"});
  EXPECT_EQ(shown["wait"], "mfs:/wait-1");
  EXPECT_EQ(viewer.Queued, std::vector<std::string>{"About"});
  EXPECT_EQ(Ask(host, "get", {"UserForm", "Width"})["error"], SNoActiveForm);
  TFakeForm form;
  host.SetActiveUserForm(&form);
  EXPECT_EQ(Ask(host, "get", {"UserForm", "Caption"})["value"], "Form");
  Ask(host, "set", {"UserForm", "width"}, {}, 640);
  Ask(host, "set", {"UserForm", "Caption"}, {}, "K\u00F6nigin");
  EXPECT_EQ(Ask(host, "get", {"UserForm", "Width"})["value"], 640);
  EXPECT_EQ(form.Title, QString::fromUtf8("K\xC3\xB6nigin"));
  Ask(host, "call", {"UserForm", "Close"});
  EXPECT_TRUE(form.Closed);

  // Without a browser its methods are still named, but cannot be called; unknown names and
  // operations are the platform's error; Terminate asks the window to close.
  EXPECT_EQ(Ask(host, "get", {"WebBrowser", "GoBack"})["kind"], "method");
  EXPECT_EQ(Ask(host, "call", {"WebBrowser", "GoBack"})["error"], SUnknownName);
  EXPECT_EQ(Ask(host, "get", {"Nothing"})["error"], SUnknownName);
  EXPECT_EQ(Ask(host, "remove", {"Story"})["error"], SUnknownName);
  Ask(host, "call", {"Terminate"});
  EXPECT_EQ(viewer.CloseRequests, 1);
}
