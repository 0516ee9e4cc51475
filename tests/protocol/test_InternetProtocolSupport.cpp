#include <gtest/gtest.h>

#include "test_util.h"

#include <memory>
#include <vector>

#include "u_InternetProtocolSupport.h"

namespace {

// Records what the framework asks of the engine.
class RecordingLayer : public TURLLayer {
public:
  std::vector<std::string> Log;
  void Open() override { Log.push_back("open"); }
  void Close() override { Log.push_back("close"); }
  void RegisterNameSpace(const std::string& s) override { Log.push_back("+" + s); }
  void UnregisterNameSpace(const std::string& s) override { Log.push_back("-" + s); }
};

class ProtocolTest : public ::testing::Test {
protected:
  void SetUp() override { InternetProtocolSession().SetURLLayer(&Layer); }
  void TearDown() override { InternetProtocolSession().SetURLLayer(nullptr); }
  // A scheme whose data callback echoes the path it was asked for.
  std::unique_ptr<TInternetProtocolSupport> Echo(const std::string& name) {
    auto s = std::make_unique<TInternetProtocolSupport>();
    s->SetProtocol(name);
    s->OnGetData = [](TInternetProtocolSupport&, const std::string& path, std::string& data) { data = "[" + path + "]"; };
    s->OnCombineURL = [](TInternetProtocolSupport&, const std::string& b, const std::string& r, std::string& out) {
      out = b + "+" + r;
    };
    s->SetActive(true);
    return s;
  }
  RecordingLayer Layer;
};

TEST_F(ProtocolTest, RegistryOpensOnFirstSchemeAndClosesAfterLast) {
  auto a = Echo("mfs");
  auto b = Echo("system");
  EXPECT_EQ(InternetProtocolSession().FindProtocol("MFS"), a.get());
  b.reset();
  a->SetActive(false);
  EXPECT_FALSE(a->Active());
  EXPECT_EQ(Layer.Log, (std::vector<std::string>{"open", "+mfs", "+system", "-system", "-mfs", "close"}));
  EXPECT_EQ(InternetProtocolSession().FindProtocol("mfs"), nullptr);
}

TEST_F(ProtocolTest, RegistrationErrorsReachTheCallerAndLeaveTheSchemeInactive) {
  TInternetProtocolSupport unnamed;
  EXPECT_EQ(MessageOf([&] { unnamed.SetActive(true); }), "Protocol not set");
  EXPECT_FALSE(unnamed.Active());
  auto first = Echo("mfs");
  TInternetProtocolSupport second;
  second.SetProtocol("MFS");
  EXPECT_EQ(MessageOf([&] { second.SetActive(true); }), "TDictionary.Add - element \"MFS\" is already in collection");
  EXPECT_FALSE(second.Active());
  EXPECT_EQ(InternetProtocolSession().FindProtocol("mfs"), first.get());
  // Renaming deactivates and does not activate again.
  first->SetProtocol("other");
  EXPECT_FALSE(first->Active());
  EXPECT_EQ(InternetProtocolSession().Count(), 0);
}

TEST_F(ProtocolTest, RequestsDecodeBlanksOnlyAndCutLongPaths) {
  auto s = Echo("mfs");
  EXPECT_EQ(StartRequest("mfs:\\a%20b.htm").Data, "[\\a b.htm]");
  EXPECT_EQ(StartRequest("mfs:\\a%41.htm").Data, "[\\a%41.htm]");
  EXPECT_EQ(StartRequest("MFS:x").Data, "[x]");
  EXPECT_EQ(StartRequest("mfs:mfs:\\x:y").Data, "[mfs:\\x:y]");
  std::string longPath(300, 'p');
  EXPECT_EQ(StartRequest("mfs:" + longPath).Data, "[" + longPath.substr(0, 255) + "]");
  EXPECT_FALSE(StartRequest("nobody:\\a.htm").Found);
  EXPECT_FALSE(StartRequest("no colon at all").Found);
}

TEST_F(ProtocolTest, EmptyDataBecomesOneBlankAndFailuresTheEscapedErrorPage) {
  auto s = Echo("mfs");
  s->OnGetData = [](TInternetProtocolSupport&, const std::string& path, std::string& data) {
    if (path == "empty") return;
    data = "never";
    throw Exception("Bad <b>thing</b> & more");
  };
  EXPECT_EQ(StartRequest("mfs:empty").Data, " ");
  TProtocolResponse r = StartRequest("mfs:\\<script>alert(1)</script>");
  EXPECT_TRUE(r.Found);
  EXPECT_TRUE(r.ErrorPage);
  EXPECT_EQ(r.Data,
            "<html><pre><p>An exception occured during attempt to get data</p><p>URL: <b>\\&lt;script&gt;alert(1)"
            "&lt;/script&gt;</b></p><p>Exception: <b>Bad &lt;b&gt;thing&lt;/b&gt; &amp; more</b></p></html>");
  s->OnGetData = nullptr;
  EXPECT_NE(StartRequest("mfs:x").Data.find("Property OnGetData not assigned"), std::string::npos);
}

TEST_F(ProtocolTest, CombineAndCompare) {
  auto s = Echo("mfs");
  EXPECT_EQ(CombineUrl("mfs:\\pages\\a.htm", "img/b.gif"), "mfs:\\pages\\a.htm+img/b.gif");
  EXPECT_EQ(CombineUrl("mfs:\\pages\\a.htm", "http://x/y"), "http://x/y");
  EXPECT_EQ(CombineUrl("MFS:\\a.htm", "mfs:b"), "MFS:\\a.htm+b");
  EXPECT_EQ(CombineUrl("other:\\a.htm", "b"), "b");
  s->OnCombineURL = nullptr;
  EXPECT_EQ(MessageOf([&] { CombineUrl("mfs:a", "b"); }), "Property OnCombineURL not assigned");
  EXPECT_TRUE(CompareUrl("mfs:\\A\\B.htm", "MFS:/a/b.HTM", true));
  EXPECT_FALSE(CompareUrl("mfs:\\A\\B.htm", "mfs:/a/b.htm", false));
  EXPECT_FALSE(CompareUrl("mfs:a", "system:a", true));
  EXPECT_FALSE(CompareUrl("none:a", "none:a", true));
  s->OnCompareURL = [](TInternetProtocolSupport&, const std::string&, const std::string&, bool, bool& equal) { equal = true; };
  EXPECT_TRUE(CompareUrl("mfs:a", "mfs:zzz", false));
}

}  // namespace
