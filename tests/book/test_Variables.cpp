#include <gtest/gtest.h>

#include "test_util.h"

#include <string>

#include "u_Variables.h"

namespace {

const std::string Guide =
    "<vars>\n"
    "<var name=\"TITLE\">$Field Guide</var>\n"
    "<var name=\"EDITION\">$%{TITLE}, 2nd edition</var>\n"
    "<var name=\"Broken\">$%{NOPE} and %{title}</var>\n"
    "</vars>";

TEST(VariablesSubstitute, ReferencesIgnoreCaseAndExpandAtLoad) {
  TVariables v(Guide, true);
  EXPECT_EQ(v.Substitute("About %{edition}"), "About Field Guide, 2nd edition");
  EXPECT_EQ(v.Substitute("100%{TITLE}"), "100Field Guide");
  EXPECT_EQ(v.Substitute("100%%{TITLE}"), "100%%{TITLE}");
  EXPECT_EQ(v.Substitute("%{NOPE} and %{TITLE}"), "%{NOPE} and Field Guide");
  EXPECT_EQ(v.Substitute("%{broken}"), "%{NOPE} and Field Guide");
  EXPECT_EQ(v.Substitute("%a%{TITLE}%"), "%aField Guide%");
  EXPECT_EQ(v.Substitute("open %{TITLE"), "open %{TITLE");
  EXPECT_EQ(v.Substitute("%{}%{ TITLE}%{TITLE}"), "%{}%{ TITLE}Field Guide");
  EXPECT_EQ(v.Substitute(std::string("a\0%{title}\0b", 12)), std::string("a\0Field Guide\0b", 15));
  EXPECT_EQ(v.Substitute(""), "");
  std::string css = "width: 100%; height: 50%";
  std::string before = css;
  v.SubstituteInPlace(css);
  EXPECT_EQ(css, before);
}

TEST(VariablesSubstitute, InsertedValuesAreNotScannedAgain) {
  // A value that ends in "%" next to a "{NAME}" in the text makes no new reference.
  TVariables v("<v><var name=\"P\">$50%</var><var name=\"T\">$x</var><var name=\"L\">$%{T</var></v>", true);
  EXPECT_EQ(v.Substitute("%{P}{T}"), "50%{T}");
  EXPECT_EQ(v.Substitute("%{L}}"), "%{T}");
  TVariables w("<v><var name=\"A\">$%{B}{C}</var><var name=\"B\">$%</var><var name=\"C\">$c</var></v>", true);
  EXPECT_EQ(w.Substitute("%{A}"), "%{C}");
}

TEST(VariablesLoad, DollarRuleNamesAndFirstDefinitionWins) {
  TVariables v("<v><var name=\"e\">$</var><var name=\"d\">$$</var><var>$unnamed</var><var name=\"\">$x</var>"
               "<var name=\"title\">$first</var><var name=\"TITLE\">$second</var><var name=\"nl\">\n$keep</var>"
               "<var name=\"plain\">no dollar</var></v>",
               true);
  EXPECT_EQ(v.Values().GetKeys(), (std::vector<std::string>{"d", "e", "nl", "plain", "title"}));
  EXPECT_EQ(v.Substitute("%{e}|%{d}|%{TITLE}|%{nl}|%{plain}"), "|$|first|\n$keep|no dollar");
  TVariables raw("<v><var name=\"d\">$x</var></v>", false);
  EXPECT_EQ(raw.Substitute("%{d}"), "$x");
}

TEST(VariablesLoad, NoFileMeansNoVariables) {
  TVariables v(std::nullopt, true);
  EXPECT_EQ(v.Values().Count(), 0);
  EXPECT_EQ(v.Substitute("%{TITLE} 100%"), "%{TITLE} 100%");
  TVariables empty(std::string(), true);
  EXPECT_EQ(empty.Values().Count(), 0);
}

TEST(VariablesLoad, CyclesFailNamingTheVariableEnteredTwice) {
  EXPECT_EQ(MessageOf([] { TVariables("<v><var name=\"A\">$%{B}</var><var name=\"B\">$%{a}</var></v>", true); }),
            "Cycling reference encountered during loading variable \"a\"");
  EXPECT_EQ(MessageOf([] { TVariables("<v><var name=\"self\">$x%{SELF}</var></v>", true); }),
            "Cycling reference encountered during loading variable \"SELF\"");
  EXPECT_THROW(TVariables("<v><var name=\"x\">$<", true), EParserError);
}

TEST(VariablesLimits, LongChainsExpandWithoutRecursion) {
  const int n = 100000;
  std::string text = "<v>\n";
  for (int i = 0; i < n; ++i)
    text += "<var name=\"v" + std::to_string(i) + "\">$" + (i + 1 < n ? "%{v" + std::to_string(i + 1) + "}" : "end") + "</var>\n";
  text += "</v>";
  TVariables v(text, true);
  EXPECT_EQ(v.Substitute("%{v0}|%{v99999}"), "end|end");
}

TEST(VariablesLimits, ExpansionThatWouldExplodeIsRefused) {
  // Each variable uses the next one twice: 40 levels would make a terabyte.
  std::string text = "<v>\n";
  for (int i = 0; i < 40; ++i)
    text += "<var name=\"v" + std::to_string(i) + "\">$%{v" + std::to_string(i + 1) + "}%{v" + std::to_string(i + 1) + "}</var>\n";
  text += "<var name=\"v40\">$ab</var></v>";
  EXPECT_EQ(MessageOf([&] { TVariables(text, true); }), "Variable \"v16\" expands to more than 16777216 bytes");
  // A served text of a hundred references to a 1 MiB variable stops at 64 MiB, naming the file.
  std::string mebibyte;
  for (int i = 0; i < 1024; ++i) mebibyte += std::string(1023, 'x') + "\n";  // the reader's lines are short
  TVariables big("<v><var name=\"BIG\">$" + mebibyte + "</var></v>", true);
  std::string page;
  for (int i = 0; i < 100; ++i) page += "%{BIG}";
  EXPECT_EQ(MessageOf([&] { big.SubstituteInPlace(page, "\\p.htm"); }), "\"\\p.htm\" expands to more than 67108864 bytes");
  EXPECT_EQ(big.Substitute(page.substr(0, 6 * 64)).size(), 64u << 20);  // up to the limit it expands
}

}  // namespace
