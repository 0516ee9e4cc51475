#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <vector>
#include <string>

#include "u_CodePage.h"

namespace {

// Restores the code page and locale variables a test changes.
class CodePageTest : public ::testing::Test {
protected:
  void SetUp() override {
    FSaved = BookCodePage();
    for (const char* v : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* s = std::getenv(v);
      FEnv.emplace_back(v, s ? std::optional<std::string>(s) : std::nullopt);
    }
  }
  void TearDown() override {
    SetBookCodePage(FSaved);
    for (auto& [name, value] : FEnv) {
      if (value) setenv(name, value->c_str(), 1);
      else unsetenv(name);
    }
  }
  static void Locale(const char* all, const char* ctype, const char* lang) {
    auto set = [](const char* n, const char* v) { v ? setenv(n, v, 1) : unsetenv(n); };
    set("LC_ALL", all);
    set("LC_CTYPE", ctype);
    set("LANG", lang);
  }

private:
  int FSaved = 1252;
  std::vector<std::pair<const char*, std::optional<std::string>>> FEnv;
};

TEST_F(CodePageTest, WesternLettersCompareWithoutCase) {
  ASSERT_TRUE(SetBookCodePage(1252));
  EXPECT_TRUE(SameText("CAF\xC9", "caf\xE9"));     // É é
  EXPECT_TRUE(SameText("\x8A\x8C\x8E", "\x9A\x9C\x9E"));  // Š Œ Ž
  EXPECT_TRUE(SameText("\x9F", "\xFF"));           // Ÿ ÿ
  EXPECT_FALSE(SameText("\xD7", "\xF7"));          // × and ÷ are not a letter pair
  EXPECT_FALSE(SameText("a", "a "));
  EXPECT_LT(CompareText("a_", "AB"), 0);           // punctuation before letters
  EXPECT_EQ(CompareText("abc", "ABD"), -1);
  EXPECT_EQ(CompareText("abd", "ABC"), 1);
}

TEST_F(CodePageTest, CyrillicAndGreekLettersFoldInTheirCodePages) {
  ASSERT_TRUE(SetBookCodePage(1251));
  EXPECT_TRUE(SameText("\xC0\xC1\xA8", "\xE0\xE1\xB8"));  // А Б Ё / а б ё
  ASSERT_TRUE(SetBookCodePage(1253));
  EXPECT_TRUE(SameText("\xC1\xD3", "\xE1\xF3"));  // Α Σ / α σ
}

TEST_F(CodePageTest, DoubleByteTrailBytesAreNeverFolded) {
  ASSERT_TRUE(SetBookCodePage(932));
  // 0x83 0x41 and 0x83 0x61 are two different katakana; single A and a still match.
  EXPECT_FALSE(SameText("\x83\x41", "\x83\x61"));
  EXPECT_TRUE(SameText("x\x83\x41Y", "X\x83\x41y"));
}

TEST_F(CodePageTest, UnknownCodePageIsRefusedAndCurrentOneKept) {
  ASSERT_TRUE(SetBookCodePage(1250));
  EXPECT_FALSE(SetBookCodePage(99999));
  EXPECT_EQ(BookCodePage(), 1250);
}

TEST_F(CodePageTest, DefaultFollowsTheLocaleVariables) {
  Locale(nullptr, nullptr, "ru_RU.UTF-8");
  EXPECT_EQ(DefaultBookCodePage(), 1251);
  Locale("pl_PL.UTF-8", nullptr, "ru_RU.UTF-8");
  EXPECT_EQ(DefaultBookCodePage(), 1250);
  Locale(nullptr, "el_GR.UTF-8", "de_DE.UTF-8");
  EXPECT_EQ(DefaultBookCodePage(), 1253);
  Locale(nullptr, nullptr, "zh_TW.UTF-8");
  EXPECT_EQ(DefaultBookCodePage(), 950);
  Locale(nullptr, nullptr, "zh_CN.UTF-8");
  EXPECT_EQ(DefaultBookCodePage(), 936);
  Locale(nullptr, nullptr, "sr_RS.UTF-8@latin");
  EXPECT_EQ(DefaultBookCodePage(), 1250);
  Locale(nullptr, nullptr, "C.UTF-8");
  EXPECT_EQ(DefaultBookCodePage(), 1252);
  Locale(nullptr, nullptr, nullptr);
  EXPECT_EQ(DefaultBookCodePage(), 1252);
}

TEST_F(CodePageTest, ConversionsRoundTripAndRefuseWhatTheCodePageCannotHold) {
  ASSERT_TRUE(SetBookCodePage(1252));
  EXPECT_EQ(ToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
  std::string back;
  ASSERT_TRUE(FromUtf8("caf\xC3\xA9 \xE2\x82\xAC", back));
  EXPECT_EQ(back, "caf\xE9 \x80");
  EXPECT_FALSE(FromUtf8("\xE4\xB8\xAD", back));  // a Chinese character
  EXPECT_EQ(ToUtf8("a\x81" "b"), "a\xEF\xBF\xBD" "b");  // undefined byte
  EXPECT_EQ(ToUtf16("A\xE9"), (std::u16string{u'A', u'\u00E9'}));
  EXPECT_EQ(FromUtf16Lossy(u"x\u4E2Dy"), "x?y");
  ASSERT_TRUE(SetBookCodePage(1251));
  ASSERT_TRUE(FromUtf16(u"\u0416", back));
  EXPECT_EQ(back, "\xC6");
}

}  // namespace
