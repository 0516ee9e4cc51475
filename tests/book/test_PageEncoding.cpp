// A page's encoding as the engine decides it: byte order marks, declarations, the book's code
// page; and the html5lib project's prescan cases.
#include <gtest/gtest.h>

#include "book/html5lib_cases.h"
#include "u_CodePage.h"
#include "u_PageEncoding.h"

namespace {

TEST(PageEncoding, MarksThenDeclarationsThenTheBooksCodePage) {
  SetBookCodePage(1252);
  EXPECT_EQ(PageEncoding("\xEF\xBB\xBF<meta charset=windows-1251><p>k\xC3\xB6nig</p>"), "utf-8");  // the mark wins
  EXPECT_EQ(PageEncoding("\xFF\xFE<\0p\0>\0"), "utf-16le");
  EXPECT_EQ(PageEncoding("<html><head><META CharSet='UTF-8'></head>"), "utf-8");
  EXPECT_EQ(PageEncoding("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"), "utf-8");
  EXPECT_EQ(PageEncoding("<meta content=\"text/html; charset=koi8-r\">"), "windows-1252");  // no http-equiv: no pragma
  EXPECT_EQ(PageEncoding("<meta charset=utf-16>"), "utf-8");                          // read as UTF-8 by the engine too
  EXPECT_EQ(PageEncoding("<meta charset=\"latin1\"><meta charset=\"utf-8\">"), "windows-1252");  // the first one decides
  EXPECT_EQ(PageEncoding("<meta charset=\"bogus\"><meta charset=\"iso-8859-7\">"), "iso-8859-7");  // unknown: on to the next
  EXPECT_EQ(PageEncoding("<!-- <meta charset=\"utf-8\"> --><p>caf\xE9</p>"), "windows-1252");
  EXPECT_EQ(PageEncoding("<p title=\"<meta charset=utf-8>\">"), "windows-1252");  // inside an attribute
  EXPECT_EQ(PageEncoding("<metadata charset=\"utf-8\">"), "windows-1252");
  // Beyond the first 1,024 bytes only while the page is still in its head.
  EXPECT_EQ(PageEncoding("<body>" + std::string(1024, ' ') + "<meta charset=\"utf-8\">"), "windows-1252");
  EXPECT_EQ(PageEncoding("<head><title>t</title><!--" + std::string(3000, '-') + "--><script>var a = '<meta charset=koi8-r>';</script>"
                         "<meta charset=\"utf-8\">"), "utf-8");
  // The head ends at </head>: a declaration after it, beyond the first 1,024 bytes, is not read;
  // one inside the head within them is.
  EXPECT_EQ(PageEncoding("<html><head><title>t</title></head>" + std::string(1100, ' ') + "<meta charset=\"utf-8\">"), "windows-1252");
  EXPECT_EQ(PageEncoding("<html><head><title>t</title>" + std::string(900, ' ') + "<meta charset=\"utf-8\"></head>"), "utf-8");
  EXPECT_EQ(PageEncoding("<meta charset="), "windows-1252");
  EXPECT_EQ(PageEncoding(""), "windows-1252");
  EXPECT_EQ(PageEncoding("<p>x</p>", "utf-8"), "utf-8");  // a text the viewer built says what it is
  SetBookCodePage(1251);
  EXPECT_EQ(PageEncoding("<p>\xF6\xE0\xF0\xFC</p>"), "windows-1251");
  SetBookCodePage(CodePageUtf8);
  EXPECT_EQ(PageEncoding("<p>x</p>"), "utf-8");
  SetBookCodePage(1252);

  EXPECT_EQ(PageToUtf8("\xEF\xBB\xBFk\xC3\xB6nig", "utf-8"), "k\xC3\xB6nig");
  EXPECT_EQ(PageToUtf8("\xF6\xE0\xF0\xFC", "windows-1251"), "\xD1\x86\xD0\xB0\xD1\x80\xD1\x8C");
  EXPECT_EQ(PageToUtf8(std::string("\xFF\xFEk\0\xF6\0", 6), "utf-16le"), "k\xC3\xB6");
  EXPECT_EQ(PageToUtf8("a\xFF" "b", "utf-8"), "a\xEF\xBF\xBD" "b");
}

// Every case of the html5lib suite, with Windows-1252 as the default a browser in a Western
// locale has. Where the engine decides otherwise than the suite, the engine's answer stands:
// it reads no tags in the text of script and style elements (tests1.dat 55 to 57).
TEST(PageEncoding, Html5libPrescanCases) {
  SetBookCodePage(1252);
  const auto cases = html5lib::EncodingCases(std::filesystem::path(QUIRELLE_SOURCE_DIR) / "tests" / "data" / "html5lib-encoding");
  ASSERT_EQ(cases.size(), 82u);
  for (const html5lib::TCase& c : cases) {
    const bool engineDiffers = c.File == "tests1.dat" && c.Number >= 55 && c.Number <= 57;
    EXPECT_EQ(PageEncoding(c.Data), engineDiffers ? std::string("windows-1252") : c.Encoding) << c.File << " case " << c.Number << ":\n" << c.Data;
  }
}

}  // namespace
