#include <gtest/gtest.h>

#include "test_util.h"

#include <cstring>
#include <string>

#include "u_SpaceXMLParser.h"

namespace {

std::string ParseError(const std::string& text) {
  TXMLParser p;
  return MessageOf([&] { p.Parse(text); });
}

TXMLValue Attr(const std::string& literal) {
  TXMLParser p;
  p.Parse("<a v=" + literal + "/>");
  return p.Root()->Attributes.ValueOf("v", TXMLValue::Text("<absent>"));
}

TEST(XMLDocument, EmptyOrBlankDocumentGivesNamelessRoot) {
  for (std::string_view text : {std::string_view(""), std::string_view("  \r\n\t \n"), std::string_view("\0<a/>", 5)}) {
    TXMLParser p;
    p.Parse(text);
    ASSERT_NE(p.Root(), nullptr);
    EXPECT_EQ(p.Root()->Name, "");
    EXPECT_EQ(p.Root()->Nodes.Count(), 0);
    EXPECT_EQ(p.Root()->Attributes.Count(), 0);
  }
}

TEST(XMLDocument, TreeShapeIndexLevelAndParents) {
  TXMLParser p;
  p.Parse("<Story>\r\n <item a=1><x/><y/><z k=2/></item>\r\n <item/>\r\n</STORY>\r\n");
  TXMLNode* root = p.Root();
  EXPECT_EQ(root->Name, "Story");
  ASSERT_EQ(root->Nodes.Count(), 2);
  TXMLNode& third = root->Nodes.Items(0).Nodes.Items(2);
  EXPECT_EQ(third.Name, "z");
  EXPECT_EQ(third.Index, 2);
  EXPECT_EQ(third.Level, 2);
  EXPECT_EQ(third.ParentNodes->Owner(), &root->Nodes.Items(0));
  EXPECT_EQ(third.ParentNodes->Owner()->ParentNodes->Owner(), root);
  EXPECT_EQ(root->ParentNodes, nullptr);
  EXPECT_EQ(root->Nodes.Items(1).Index, 1);
  EXPECT_EQ(root->Text, "\r\n \r\n \r\n");
  EXPECT_EQ(MessageOf([&] { root->Nodes.Items(2); }), "List index out of bounds (2)");
  EXPECT_EQ(root->Nodes.FindNode("ITEM"), &root->Nodes.Items(0));
  EXPECT_EQ(root->Nodes.FindNode("none"), nullptr);
}

TEST(XMLDocument, ContentTextExcludesChildrenAndHonoursBackslash) {
  TXMLParser p;
  p.Parse("<a>x<b>inner</b>y</a>");
  EXPECT_EQ(p.Root()->Text, "xy");
  p.Parse("<var>$abc</var>");
  EXPECT_EQ(p.Root()->Text, "$abc");
  p.Parse("<a>1 \\< 2 \\\\ &lt; \\\n</a>");
  EXPECT_EQ(p.Root()->Text, "1 < 2 \\ &lt; \n");
}

TEST(XMLValues, BareWordsAreTypedAndOthersRejected) {
  EXPECT_EQ(Attr("True"), TXMLValue::Boolean(true));
  EXPECT_EQ(Attr("true"), TXMLValue::Boolean(true));
  EXPECT_EQ(Attr("TRUE"), TXMLValue::Boolean(true));
  EXPECT_EQ(Attr("fAlse"), TXMLValue::Boolean(false));
  EXPECT_EQ(Attr("NULL").Kind(), TXMLValueKind::Null);
  EXPECT_EQ(Attr("Empty").Kind(), TXMLValueKind::Empty);
  EXPECT_EQ(Attr("\"True\""), TXMLValue::Text("True"));
  EXPECT_EQ(ParseError("<a Flag=Yes/>"), "Attribute type not supported");
}

TEST(XMLValues, NumbersDecimalHexNegativeWrappedAndFloating) {
  EXPECT_EQ(Attr("800"), TXMLValue::Integer(800));
  EXPECT_EQ(Attr("$320"), TXMLValue::Integer(800));
  EXPECT_EQ(Attr("-5"), TXMLValue::Integer(-5));
  EXPECT_EQ(Attr("4294967295"), TXMLValue::Integer(-1));
  EXPECT_EQ(Attr("$FFFFFFFF"), TXMLValue::Integer(-1));
  EXPECT_EQ(Attr("1.5"), TXMLValue::Floating(1.5));
  EXPECT_EQ(Attr("3d"), TXMLValue::Floating(3));
  EXPECT_EQ(Attr("2.5e2"), TXMLValue::Floating(250));
  EXPECT_EQ(ParseError("<a v=1.2.3/>"), "'1.2.3' is not a valid floating point value");
  EXPECT_EQ(ParseError("<a v=1-2/>"), "'1-2' is not a valid floating point value");
  EXPECT_EQ(ParseError("<a v=-/>"), "'-' is not a valid integer value");
  EXPECT_EQ(ParseError("<a v=$/>"), "'$' is not a valid integer value");
  EXPECT_EQ(ParseError("<a v=99999999999999999999/>"), "'99999999999999999999' is not a valid integer value");
}

TEST(XMLValues, QuotedTextDoublingCodesAndLineBreaks) {
  EXPECT_EQ(Attr("\"say \"\"hi\"\"\""), TXMLValue::Text("say \"hi\""));
  EXPECT_EQ(Attr("'it''s'"), TXMLValue::Text("it's"));
  EXPECT_EQ(Attr("'a'#13#10'b'"), TXMLValue::Text("a\r\nb"));
  EXPECT_EQ(Attr("#65#"), TXMLValue::Text(std::string("A\0", 2)));
  EXPECT_EQ(Attr("'x'#8364"), TXMLValue::WideText(u"x\u20AC"));
  EXPECT_EQ(Attr("\"line1\r\nline2\r\nline3\""), TXMLValue::Text("line1\r\nline2\r\nline3"));
  // Line breaks inside the value count for later errors.
  EXPECT_EQ(ParseError("<a v=\"1\n2\n3\" w>"), "''='' expected on line 3");
}

TEST(XMLValues, AttributesIgnoreCaseLastWinsAndDefaultsOnlyWhenAbsent) {
  TXMLParser p;
  p.Parse("<a Page=1 page=2 b = 3x=4 e=empty n=null/>");
  const TXMLAttributes& at = p.Root()->Attributes;
  EXPECT_EQ(at.Count(), 5);
  EXPECT_EQ(at.Find("PAGE")->Name, "Page");
  EXPECT_EQ(at.ValueOf("page", TXMLValue::Integer(0)), TXMLValue::Integer(2));
  EXPECT_EQ(at.ValueOf("b", TXMLValue()), TXMLValue::Integer(3));
  EXPECT_EQ(at.ValueOf("x", TXMLValue()), TXMLValue::Integer(4));
  EXPECT_EQ(at.ValueOf("missing", TXMLValue::Boolean(true)), TXMLValue::Boolean(true));
  EXPECT_EQ(at.ValueOf("e", TXMLValue::Boolean(true)).Kind(), TXMLValueKind::Empty);
  EXPECT_EQ(at.ValueOf("n", TXMLValue::Boolean(true)).Kind(), TXMLValueKind::Null);
}

TEST(XMLConversions, AsTextAsIntegerAsBoolean) {
  EXPECT_EQ(TXMLValue::Integer(-42).AsText(), "-42");
  EXPECT_EQ(TXMLValue().AsText(), "");
  EXPECT_EQ(TXMLValue::Floating(1.5).AsText(), "1.5");
  EXPECT_EQ(TXMLValue::Boolean(true).AsText(), "True");
  EXPECT_EQ(MessageOf([] { TXMLValue::Null().AsText(); }), "Could not convert variant of type (Null) into type (String)");

  EXPECT_EQ(TXMLValue::Boolean(true).AsInteger(), -1);
  EXPECT_EQ(TXMLValue().AsInteger(), 0);
  EXPECT_EQ(TXMLValue::Floating(2.5).AsInteger(), 2);
  EXPECT_EQ(TXMLValue::Floating(3.5).AsInteger(), 4);
  EXPECT_EQ(TXMLValue::Text("$10").AsInteger(), 16);
  EXPECT_EQ(TXMLValue::Text(" -7 ").AsInteger(), -7);
  EXPECT_EQ(MessageOf([] { TXMLValue::Text("abc").AsInteger(); }), "Could not convert variant of type (String) into type (Integer)");
  EXPECT_THROW(TXMLValue::Floating(1e12).AsInteger(), EVariantOverflowError);

  EXPECT_TRUE(TXMLValue::Text("tRUE").AsBoolean());
  EXPECT_FALSE(TXMLValue::Text("False").AsBoolean());
  EXPECT_TRUE(TXMLValue::Text("2").AsBoolean());
  EXPECT_FALSE(TXMLValue::Text("0").AsBoolean());
  EXPECT_FALSE(TXMLValue().AsBoolean());
  EXPECT_TRUE(TXMLValue::Integer(-3).AsBoolean());
  EXPECT_EQ(MessageOf([] { TXMLValue::Text("Yes").AsBoolean(); }), "Could not convert variant of type (String) into type (Boolean)");
  EXPECT_EQ(MessageOf([] { TXMLValue::Null().AsBoolean(); }), "Could not convert variant of type (Null) into type (Boolean)");
}

TEST(XMLConversions, NegatedWorksInTheValuesOwnKind) {
  EXPECT_EQ(TXMLValue::Boolean(true).Negated(), TXMLValue::Boolean(false));
  EXPECT_EQ(TXMLValue::Integer(0).Negated(), TXMLValue::Integer(-1));
  EXPECT_EQ(TXMLValue::Integer(1).Negated(), TXMLValue::Integer(-2));
  // An integer flag of 1 stays true after negation: bitwise, not logical.
  EXPECT_TRUE(TXMLValue::Integer(1).Negated().AsBoolean());
  EXPECT_FALSE(TXMLValue::Integer(-1).Negated().AsBoolean());
  EXPECT_EQ(TXMLValue::Text("True").Negated(), TXMLValue::Boolean(false));
}

TEST(XMLErrors, StructuralAndTokenMessagesWithLineNumbers) {
  EXPECT_EQ(ParseError("hello"), "''<'' expected on line 1");
  EXPECT_EQ(ParseError("<?xml version=\"1.0\"?><a/>"), "Identifier expected on line 1");
  EXPECT_EQ(ParseError("<a\nb/>"), "''='' expected on line 2");
  EXPECT_EQ(ParseError("<a b=<c/>"),
            "String expected\r\nor String expected\r\nor Number expected\r\nor Number expected\r\nor Identifier expected on line 1");
  EXPECT_EQ(ParseError("<a !>"), "Error in XML");
  EXPECT_EQ(ParseError("<a /x>"), "''>'' expected on line 1");
  EXPECT_EQ(ParseError("<a>\n<!-- c --></a>"), "Identifier expected\r\nor ''/'' expected on line 2");
  EXPECT_EQ(ParseError("<a></b>"), "a expected on line 1");
  EXPECT_EQ(ParseError("<a></a x>"), "''>'' expected on line 1");
  EXPECT_EQ(ParseError("<a/>\n\n<b/>"), "''toEOF'' expected on line 3");
  EXPECT_EQ(ParseError("<a>"), "Error in XML");
  EXPECT_EQ(ParseError("<a b"), "''='' expected on line 1");
  EXPECT_EQ(ParseError("<a b=\"open\n"), "Invalid string constant on line 2");
  EXPECT_EQ(ParseError("<a b='x"), "Invalid string constant on line 1");
  EXPECT_EQ(ParseError("<a>\\"), "Error in XML");
  // Unicode files say what they are.
  for (const auto& [bom, name] : {std::pair<std::string, std::string>{"\xEF\xBB\xBF", "UTF-8 with a byte order mark"},
                                  {"\xFF\xFE", "UTF-16 (little-endian)"}, {"\xFE\xFF", "UTF-16 (big-endian)"}})
    EXPECT_EQ(ParseError(bom + "<a/>"), "The file is " + name + "; a description file must be 8-bit text (save it in the "
                                        "book's code page, without a byte order mark) on line 1");
  TXMLParser p;
  p.Parse("<a></A>  \r\n ");
  EXPECT_EQ(p.Root()->Name, "a");
}

TEST(XMLErrors, ZeroByteEndsTheInput) {
  EXPECT_EQ(ParseError(std::string("<a>text\0</a>", 12)), "Error in XML");
  TXMLParser p;
  p.Parse(std::string("<a/>\0garbage", 12));
  EXPECT_EQ(p.Root()->Name, "a");
}

TEST(XMLErrors, LineTooLongAtTheReadingWindowSize) {
  std::string line(TSpaceParser::WindowSize - 20, 'x');
  TXMLParser p;
  EXPECT_NO_THROW(p.Parse("<a v=\"" + line + "\"\nw=\"" + line + "\"/>"));  // long, but no line too long
  std::string text = "<a>\n\n" + std::string(TSpaceParser::WindowSize, 'y') + "</a>";
  EXPECT_EQ(ParseError(text), "Line too long on line 3");
}

TEST(XMLLimits, DeepNestingParsesAndFreesWithoutRecursion) {
  const int depth = 100000;
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<e>\n";
  for (int i = 0; i < depth; ++i) text += "</e>\n";
  auto p = std::make_unique<TXMLParser>();
  p->Parse(text);
  const TXMLNode* n = p->Root();
  int levels = 0;
  while (n->Nodes.Count() == 1) {
    n = &n->Nodes.Items(0);
    ++levels;
  }
  EXPECT_EQ(levels, depth - 1);
  EXPECT_EQ(n->Level, depth - 1);
  p.reset();  // must not overflow the stack
  // A failed deep parse keeps the partial tree, which must free as safely.
  TXMLParser broken;
  EXPECT_EQ(MessageOf([&] { broken.Parse(text.substr(0, text.size() - 5)); }), "Error in XML");
}

TEST(XMLTokens, TokenKindsTextAndWords) {
  TSpaceParser t("  Name_1 \"q\"\"x\" 12 3.5s $ff - ; 'w'#300\n<");
  EXPECT_EQ(t.Kind(), TSpaceParser::toSymbol);
  EXPECT_TRUE(t.IsWord("NAME_1"));
  EXPECT_EQ(t.Advance(), TSpaceParser::toString);
  EXPECT_EQ(t.TokenText(), "q\"x");
  EXPECT_EQ(t.Advance(), TSpaceParser::toInteger);
  EXPECT_EQ(t.IntegerValue(), 12);
  EXPECT_EQ(t.Advance(), TSpaceParser::toFloat);
  EXPECT_EQ(t.FloatType(), 's');
  EXPECT_EQ(t.TokenText(), "3.5s");
  EXPECT_DOUBLE_EQ(t.FloatValue(), 3.5);
  EXPECT_EQ(t.Advance(), TSpaceParser::toInteger);
  EXPECT_EQ(t.IntegerValue(), 255);
  EXPECT_EQ(t.Advance(), TSpaceParser::toInteger);
  EXPECT_EQ(t.TokenText(), "-");
  EXPECT_EQ(t.Advance(), ';');
  EXPECT_EQ(MessageOf([&] { t.ExpectWord("begin"); }), "begin expected on line 1");
  EXPECT_EQ(t.Advance(), TSpaceParser::toWString);
  EXPECT_EQ(t.WideTokenText(), u"w\u012C");
  EXPECT_EQ(t.TokenText(), "'w'#300");
  EXPECT_EQ(t.Advance(), '<');
  EXPECT_EQ(t.Line(), 2);
  EXPECT_EQ(t.Advance(), TSpaceParser::toEOF);
  EXPECT_EQ(t.Advance(), TSpaceParser::toEOF);
  EXPECT_EQ(MessageOf([&] { t.Expect('>'); }), "''>'' expected on line 2");
}

TEST(XMLTokens, CharacterModeDeliversEveryByte) {
  TSpaceParser t("< a\n");
  EXPECT_EQ(t.Kind(), '<');
  t.SetCharacterMode(true);
  EXPECT_EQ(t.Advance(), ' ');
  EXPECT_EQ(t.Advance(), 'a');
  EXPECT_EQ(t.Advance(), '\n');
  EXPECT_EQ(t.Line(), 2);
  EXPECT_EQ(t.Advance(), TSpaceParser::toEOF);
}

}  // namespace
