// An EPUB read as reading systems read it: what the package says about fallbacks, obfuscated
// fonts, the reading order, its creators and its flow reaches the book, checked from what the
// conversion gives and from what --new --epub writes.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "mfs/cab_test_util.h"
#include "tools/epub_test_util.h"
#include "u_Epub.h"

using namespace cab_test;
namespace fs = std::filesystem;

namespace {

const std::string Uid = "urn:uuid:0b2ee2b4-6f25-4ef0-a6a5-c5a4fcfb7c5e";

// A font of zeros as each algorithm obfuscates it: its key over the first bytes.
std::string Obfuscated(const std::string& key, std::size_t length) {
  std::string font(1100, '\0');
  for (std::size_t i = 0; i < length; ++i) font[i] = key[i % key.size()];
  return font;
}

std::string Hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::vector<std::pair<std::string, std::string>> Book(const std::string& metadata, const std::string& spine) {
  const std::string opf =
      "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" unique-identifier=\"uid\" xml:lang=\"en\">"
      "<metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:identifier id=\"uid\">\n  " + Uid + " </dc:identifier>"
      "<dc:identifier>isbn-other</dc:identifier>" + metadata + "</metadata><manifest>"
      "<item id=\"nav\" href=\"nav.xhtml\" media-type=\"application/xhtml+xml\" properties=\"nav\"/>"
      "<item id=\"a\" href=\"a.xhtml\" media-type=\"application/xhtml+xml\"/>"
      "<item id=\"b\" href=\"text/b.xhtml\" media-type=\"application/xhtml+xml\"/>"
      "<item id=\"notes\" href=\"notes.xhtml\" media-type=\"application/xhtml+xml\"/>"
      "<item id=\"json\" href=\"data.json\" media-type=\"application/json\" fallback=\"xml\"/>"
      "<item id=\"xml\" href=\"data.xml\" media-type=\"application/xml\" fallback=\"shown\"/>"
      "<item id=\"shown\" href=\"data.xhtml\" media-type=\"application/xhtml+xml\"/>"
      "<item id=\"raw\" href=\"raw.xml\" media-type=\"application/xml\" fallback=\"loop\"/>"
      "<item id=\"loop\" href=\"loop.xml\" media-type=\"application/xml\" fallback=\"raw\"/>"
      "<item id=\"css\" href=\"style.css\" media-type=\"text/css\"/>"
      "<item id=\"f1\" href=\"fonts/idpf.otf\" media-type=\"font/otf\"/>"
      "<item id=\"f2\" href=\"fonts/adobe.otf\" media-type=\"font/otf\"/>"
      "<item id=\"pic\" href=\"pic.png\" media-type=\"image/png\"/>"
      "</manifest><spine>" + spine + "</spine></package>";
  const std::string nav = EpubPage("Contents",
      "<nav epub:type=\"toc\"><ol><li><a href=\"a.xhtml\"><img src=\"pic.png\" alt=\"Opening\"/></a></li>"
      "<li><a href=\"text/b.xhtml\"><img src=\"pic.png\" title=\"Second\"/></a></li></ol></nav>");
  const std::string encryption =
      "<?xml version=\"1.0\"?><encryption xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\" xmlns:enc=\"http://www.w3.org/2001/04/xmlenc#\">"
      "<enc:EncryptedData><enc:EncryptionMethod Algorithm=\"http://www.idpf.org/2008/embedding\"/>"
      "<enc:CipherData><enc:CipherReference URI=\"OPS/fonts/idpf.otf\"/></enc:CipherData></enc:EncryptedData>"
      "<enc:EncryptedData><enc:EncryptionMethod Algorithm=\"http://ns.adobe.com/pdf/enc#RC\"/>"
      "<enc:CipherData><enc:CipherReference URI=\"OPS/fonts/adobe.otf\"/></enc:CipherData></enc:EncryptedData></encryption>";
  return {{"mimetype", "application/epub+zip"},
          {"META-INF/container.xml", EpubContainerXml},
          {"META-INF/encryption.xml", encryption},
          {"OPS/book.opf", opf},
          {"OPS/nav.xhtml", nav},
          {"OPS/a.xhtml", EpubPage("A", "<p style=\"-epub-text-combine: horizontal\">a -epub-writing-mode: x</p>", "<link rel=\"stylesheet\" href=\"style.css\"/>")},
          {"OPS/text/b.xhtml", EpubPage("B", "<p>b</p>")},
          {"OPS/notes.xhtml", EpubPage("Notes", "<p>notes</p>")},
          {"OPS/data.json", "{\"a\": 1}"},
          {"OPS/data.xml", "<data/>"},
          {"OPS/data.xhtml", EpubPage("Data", "<p>data</p>")},
          {"OPS/raw.xml", "<raw/>"},
          {"OPS/loop.xml", "<loop/>"},
          {"OPS/style.css", "body { -epub-writing-mode: vertical-rl; -epub-hyphens:auto }\np { -epub-text-orientation : vertical-right }"},
          {"OPS/fonts/idpf.otf", Obfuscated(Hex("4f61e3c26bb1a2979650cea4377d2eb02c77915a"), 1040)},
          {"OPS/fonts/adobe.otf", Obfuscated(Hex("0b2ee2b46f254ef0a6a5c5a4fcfb7c5e"), 1024)},
          {"OPS/pic.png", "png"}};
}

TEpub Read(const std::vector<std::pair<std::string, std::string>>& files, const std::set<std::string>& bzip2 = {}) {
  TTempDir dir;
  WriteEpub(dir.Path() / "x.epub", files, bzip2);
  return ReadEpub(ReadFile(dir.Path() / "x.epub"));
}

}  // namespace

TEST(Epub, ThePackageDecidesWhatEachSpineItemShowsAndInWhichOrder) {
  const TEpub epub = Read(Book(
      "<dc:title dir=\"rtl\" xml:lang=\"ar\">كتاب</dc:title><dc:creator>First Writer</dc:creator><dc:creator>Second Writer</dc:creator>",
      "<itemref idref=\"a\"/><itemref idref=\"notes\" linear=\"no\"/><itemref idref=\"json\"/><itemref idref=\"b\"/>"
      "<itemref idref=\"raw\"/><itemref idref=\"a\"/>"));
  std::map<std::string, std::string> files(epub.Files.begin(), epub.Files.end());
  // Foreign types by their fallback; a chain with none a page that says so; a second place a copy.
  EXPECT_EQ(epub.Spine, (std::vector<std::string>{"OPS/a.xhtml", "OPS/data.xhtml", "OPS/text/b.xhtml", "OPS/raw-2.xhtml", "OPS/a-2.xhtml"}));
  EXPECT_EQ(epub.NonLinear, std::vector<std::string>{"OPS/notes.xhtml"});
  EXPECT_NE(files["OPS/raw-2.xhtml"].find("is of a type (application/xml) that cannot be shown"), std::string::npos);
  EXPECT_EQ(files["OPS/a-2.xhtml"], files["OPS/a.xhtml"]);
  ASSERT_EQ(epub.Notes.size(), 1u);
  EXPECT_NE(epub.Notes[0].find("\"OPS/raw.xml\" (application/xml) of the spine"), std::string::npos) << epub.Notes[0];
  // Both algorithms give the font back.
  EXPECT_EQ(files["OPS/fonts/idpf.otf"], std::string(1100, '\0'));
  EXPECT_EQ(files["OPS/fonts/adobe.otf"], std::string(1100, '\0'));
  // Standard properties in style sheets and pages; text that only looks like one stays.
  EXPECT_EQ(files["OPS/style.css"], "body { writing-mode: vertical-rl; hyphens:auto }\np { text-orientation : mixed }");
  EXPECT_NE(files["OPS/a.xhtml"].find("<p style=\"text-combine-upright: all\">a -epub-writing-mode: x</p>"), std::string::npos);
  // Labels that are pictures, by their alternative text, else their title.
  ASSERT_EQ(epub.Toc.size(), 2u);
  EXPECT_EQ(epub.Toc[0].Title, "Opening");
  EXPECT_EQ(epub.Toc[1].Title, "Second");
  EXPECT_EQ(epub.Title, "كتاب");
  EXPECT_EQ(epub.TitleDirection, "rtl");
  EXPECT_EQ(epub.TitleLanguage, "ar");
  EXPECT_EQ(epub.Author, "First Writer, Second Writer");
  EXPECT_FALSE(epub.Continuous);
}

// What --new --epub writes of the same EPUB: the files as converted, the story in the reading
// order, the record of its origin that the packer keeps, and an About form naming the creators.
TEST(Epub, NewBookWritesTheConvertedFilesAndTheirStory) {
  TTempDir dir;
  WriteEpub(dir.Path() / "x.epub", Book("<dc:title>Two</dc:title><dc:creator>First Writer</dc:creator>",
                                        "<itemref idref=\"a\"/><itemref idref=\"notes\" linear=\"no\"/><itemref idref=\"json\"/><itemref idref=\"a\"/>"));
  std::string out;
  ASSERT_EQ(Shell(Quote(QUIRELLE_PACK) + " --new " + Quote(dir.Path() / "book") + " --epub " + Quote(dir.Path() / "x.epub"), &out), 0) << out;
  EXPECT_NE(out.find("3 pages, 0 chapters, a toolbar of 14 buttons"), std::string::npos) << out;
  const fs::path content = dir.Path() / "book" / "content", system = dir.Path() / "book" / "system";
  EXPECT_EQ(ReadFile(content / "OPS" / "fonts" / "idpf.otf"), std::string(1100, '\0'));
  EXPECT_EQ(ReadFile(content / "OPS" / "a-2.xhtml"), ReadFile(content / "OPS" / "a.xhtml"));
  const std::string story = ReadFile(system / "Story.xml");
  EXPECT_LT(story.find("\\OPS\\a.xhtml"), story.find("\\OPS\\data.xhtml"));
  EXPECT_LT(story.find("\\OPS\\data.xhtml"), story.find("\\OPS\\a-2.xhtml"));
  EXPECT_EQ(story.find("notes.xhtml"), std::string::npos);
  EXPECT_NE(ReadFile(content / "quirelle-about.xhtml").find("<p id=\"creators\">By First Writer</p>"), std::string::npos);
  // Packed, the book still says where it came from; it checks clean.
  ASSERT_EQ(Shell(Quote(QUIRELLE_PACK) + " --document --system " + Quote(system) + " --content " + Quote(content) + " -o " +
                      Quote(dir.Path() / "two.qbook"), &out), 0) << out;
  ASSERT_EQ(Shell(Quote(QUIRELLE_PACK) + " --extract " + Quote(dir.Path() / "two.qbook") + " " + Quote(dir.Path() / "back"), &out), 0) << out;
  EXPECT_NE(ReadFile(dir.Path() / "back" / "system" / "Quirelle.xml").find(" Origin=\"epub\"/>"), std::string::npos);
}

TEST(Epub, AScrolledContinuousBookIsOnePageOfItsDocuments) {
  const TEpub epub = Read(Book("<dc:title>T</dc:title><meta property=\"rendition:flow\">scrolled-continuous</meta>",
                               "<itemref idref=\"a\"/><itemref idref=\"b\"/>"));
  ASSERT_TRUE(epub.Continuous);
  ASSERT_EQ(epub.Spine, std::vector<std::string>{"continuous-2.xhtml"});
  EXPECT_EQ(epub.NonLinear, (std::vector<std::string>{"OPS/a.xhtml", "OPS/text/b.xhtml"}));
  std::map<std::string, std::string> files(epub.Files.begin(), epub.Files.end());
  const std::string& page = files["continuous-2.xhtml"];
  EXPECT_LT(page.find("<iframe scrolling=\"no\" src=\"OPS/a.xhtml\">"), page.find("<iframe scrolling=\"no\" src=\"OPS/text/b.xhtml\">"));
}

TEST(Epub, AMemberCompressedOtherwiseThanEpubAllowsIsRefusedByName) {
  try {
    Read(Book("<dc:title>T</dc:title>", "<itemref idref=\"a\"/>"), {"OPS/text/b.xhtml"});
    FAIL() << "read";
  } catch (const EEpubError& e) {
    EXPECT_EQ(e.Message(), "The EPUB's container is damaged: \"OPS/text/b.xhtml\" is compressed with bzip2, which an EPUB may not use (only stored or Deflate)");
  }
}
