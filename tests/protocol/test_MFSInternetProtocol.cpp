#include <gtest/gtest.h>

#include "u_MFSInternetProtocol.h"
#include "u_Variables.h"

namespace {

class MFSProtocolTest : public ::testing::Test {
protected:
  void SetUp() override {
    TMFSSession* s = Image.Session();
    s->ForceFolders("\\pages\\img");
    s->CreateFile("\\pages\\a.htm", 0, false)->Data = "<p>%{TITLE} %{NOPE}</p>";
    s->CreateFile("\\top.htm", 0, false)->Data = "top";
  }
  TMFS Image;
};

TEST_F(MFSProtocolTest, ServesFilesThroughTheDefaultSession) {
  TMFSInternetProtocol mfs("mfs", &Image);
  EXPECT_EQ(StartRequest("mfs:\\top.htm").Data, "top");
  EXPECT_EQ(StartRequest("mfs:top.htm").Data, "top");
  EXPECT_EQ(StartRequest("mfs:mfs:\\top.htm").Data, "top");
  EXPECT_EQ(StartRequest("MFS:MFS:/pages/../top.htm").Data, "top");
  TProtocolResponse folder = StartRequest("mfs:\\pages");
  EXPECT_TRUE(folder.ErrorPage);
  EXPECT_NE(folder.Data.find("File &quot;\\pages&quot; not found"), std::string::npos);
  EXPECT_NE(StartRequest("mfs:\\pages\\").Data.find("not found"), std::string::npos);
}

TEST_F(MFSProtocolTest, AfterReadHookSubstitutesVariables) {
  TVariables variables(std::string("<v><var name=\"title\">$Field Guide</var></v>"), true);
  TMFSInternetProtocol mfs("mfs", &Image);
  std::string seenPath;
  mfs.OnAfterGetData = [&](TMFSInternetProtocol&, const std::string& path, std::string& data) {
    seenPath = path;
    variables.SubstituteInPlace(data);
  };
  EXPECT_EQ(StartRequest("mfs:mfs:/pages/a.htm").Data, "<p>Field Guide %{NOPE}</p>");
  EXPECT_EQ(seenPath, "/pages/a.htm");
}

TEST_F(MFSProtocolTest, CombineFollowsTheBaseFolder) {
  TMFSInternetProtocol mfs("mfs", &Image);
  EXPECT_EQ(TMFSInternetProtocol::Combine("\\pages\\a.htm", "img/b.gif"), "\\pages\\img\\b.gif");
  EXPECT_EQ(TMFSInternetProtocol::Combine("\\pages\\a.htm", "/img/b.gif"), "\\img\\b.gif");
  EXPECT_EQ(TMFSInternetProtocol::Combine("a.htm", "b.gif"), "b.gif");
  EXPECT_EQ(CombineUrl("mfs:\\pages\\a.htm", "img/b.gif"), "mfs:\\pages\\img\\b.gif");
}

TEST_F(MFSProtocolTest, TwoImagesUnderTwoSchemesAndUnregisteredOnDestruction) {
  TMFS system;
  system.Session()->CreateFile("\\System.xml", 0, false)->Data = "<System/>";
  {
    TMFSInternetProtocol mfs("mfs", &Image);
    TMFSInternetProtocol sys("system", &system);
    EXPECT_EQ(StartRequest("system:\\System.xml").Data, "<System/>");
    EXPECT_TRUE(StartRequest("system:\\top.htm").ErrorPage);
    EXPECT_THROW(TMFSInternetProtocol("MFS", &system), EDictionaryError);
  }
  EXPECT_FALSE(StartRequest("mfs:\\top.htm").Found);
}

}  // namespace
