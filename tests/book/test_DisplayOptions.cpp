#include <gtest/gtest.h>

#include "u_DisplayOptions.h"

namespace {

struct TSystemXml {
  explicit TSystemXml(const std::string& text) { Parser.Parse(text); }
  const TXMLNode* Find(const char* name) const { return Parser.Root()->Nodes.FindNode(name); }
  TXMLParser Parser;
};

TEST(SplashOptions, MissingElementKeepsCreationValues) {
  TSystemXml x("<System/>");
  TSplashOptions o;
  o.Load(x.Find("splash"));
  EXPECT_EQ(o.SplashTypeS, vsNone);
  EXPECT_EQ(o.SplashTypeE, vsNone);
  EXPECT_EQ(o.PopUpTextS, "Starting pop-up text...");
  EXPECT_EQ(o.PopUpTextE, "Ending pop-up text...");
  EXPECT_EQ(o.Interval, 3);
  EXPECT_FALSE(o.CloseOnClick);
}

TEST(SplashOptions, PresentElementResetsAbsentAttributes) {
  TSystemXml x("<System><SPLASH SplashTypeS=\"vsPopUp\" interval=$A CloseOnClick=True/></System>");
  TSplashOptions o;
  o.Load(x.Find("splash"));
  EXPECT_EQ(o.SplashTypeS, vsPopUp);
  EXPECT_EQ(o.SplashTypeE, vsNone);
  EXPECT_EQ(o.PopUpTextS, "");
  EXPECT_EQ(o.PopUpTextE, "");
  EXPECT_EQ(o.Interval, 10);
  EXPECT_TRUE(o.CloseOnClick);
}

TEST(SplashOptions, EnumerationNamesIgnoreAsciiCaseOnly) {
  EXPECT_EQ(SplashTypeOf("vssplash"), vsSplash);
  EXPECT_EQ(SplashTypeOf("VSSPLASH"), vsSplash);
  EXPECT_EQ(SplashTypeOf("vsSplash "), vsNone);
  EXPECT_EQ(SplashTypeOf("1"), vsNone);
  EXPECT_EQ(SplashTypeOf(""), vsNone);
  EXPECT_EQ(ToolbarPlacementOf("tpNoToolbar"), tpNoToolbar);
  EXPECT_EQ(ToolbarPlacementOf("tpbottom"), tpBottom);
  TSystemXml x("<S><splash SplashTypeE=2/></S>");  // a number is no value name
  TSplashOptions o;
  o.Load(x.Find("splash"));
  EXPECT_EQ(o.SplashTypeE, vsNone);
}

TEST(ToolbarOptions, EmptyElementGivesAbsentDefaults) {
  TSystemXml x("<System><toolbar/></System>");
  TToolbarOptions o;
  o.Load(x.Find("toolbar"));
  EXPECT_EQ(o.ToolbarPlacement, tpTop);
  EXPECT_EQ(o.ToolbarBtnW, 32);
  EXPECT_EQ(o.ToolbarBtnH, 32);
  EXPECT_EQ(o.ToolbarImgW, 24);
  EXPECT_EQ(o.ToolbarImgH, 24);
  EXPECT_TRUE(o.ToolbarShowCaption);
  EXPECT_FALSE(o.ToolbarFlat);
  EXPECT_EQ(o.ToolbarTextColor, 0u);
  EXPECT_FALSE(o.LogoDisplay);
  TToolbarOptions missing;
  missing.Load(x.Find("nothing"));
  EXPECT_FALSE(missing.ToolbarShowCaption);
}

TEST(ToolbarOptions, ValuesAndConversionErrors) {
  TSystemXml x("<System><toolbar ToolbarPlacement=\"tpbottom\" ToolbarBackColor=13160660 ToolbarTextColor=$FF "
               "ToolbarFlat=True LogoDisplay=true LogoLink=\"http://%{SITE}/\" LogoText='Our ''book''' "
               "ToolbarBtnW=\"48\"/></System>");
  TToolbarOptions o;
  o.Load(x.Find("toolbar"));
  EXPECT_EQ(o.ToolbarPlacement, tpBottom);
  EXPECT_EQ(o.ToolbarBackColor, 13160660u);
  EXPECT_EQ(o.ToolbarBackColor & 0xFF, 212u);
  EXPECT_EQ(o.ToolbarTextColor, 0xFFu);
  EXPECT_TRUE(o.ToolbarFlat);
  EXPECT_TRUE(o.LogoDisplay);
  EXPECT_EQ(o.LogoLink, "http://%{SITE}/");
  EXPECT_EQ(o.LogoText, "Our 'book'");
  EXPECT_EQ(o.ToolbarBtnW, 48);
  TSystemXml bad("<System><toolbar ToolbarBtnW=\"wide\"/><splash Interval=null/></System>");
  EXPECT_THROW(TToolbarOptions().Load(bad.Find("toolbar")), EVariantTypeCastError);
  EXPECT_THROW(TSplashOptions().Load(bad.Find("splash")), EVariantTypeCastError);
}

}  // namespace
