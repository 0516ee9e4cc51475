// A book published as one PDF with quirelle-pack --to-pdf, judged by poppler's pdfinfo and
// pdftotext and by qpdf's own reading of the outline.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <string>

#include "mfs/cab_test_util.h"

using namespace cab_test;
namespace fs = std::filesystem;

namespace {

// The outline as "title@page" entries, children in brackets.
std::string Outline(const QJsonArray& items) {
  std::string out;
  for (const QJsonValue& item : items) {
    const QJsonObject o = item.toObject();
    out += o["title"].toString().toStdString() + "@" + std::to_string(o["destpageposfrom1"].toInt());
    if (!o["kids"].toArray().isEmpty()) out += "[" + Outline(o["kids"].toArray()) + "]";
    out += ";";
  }
  return out;
}

}  // namespace

// 100 pages in four chapters of 25, the first page of each chapter holding a second page under it.
TEST(Publish, AStoryOfAHundredPagesIsOnePdfInReadingOrderWithItsOutlineAndItsText) {
  TTempDir dir;
  std::string story = "<Story>\n";
  for (int chapter = 0; chapter < 4; ++chapter) {
    story += "<item Pagename=\"Chapter " + std::to_string(chapter + 1) + "\">\n";
    for (int i = 1; i <= 25; ++i) {
      const int n = chapter * 25 + i;
      WriteFile(dir.Path() / "content" / ("p" + std::to_string(n) + ".htm"),
                "<html><head><title>P</title></head><body><p>Page " + std::to_string(n) + " says word" + std::to_string(n) + "</p></body></html>");
      story += "<item Page=\"p" + std::to_string(n) + ".htm\" Pagename=\"Page " + std::to_string(n) + "\"" + (i == 1 ? ">" : "/>") + "\n";
      if (i == 2) story += "</item>\n";
    }
    story += "</item>\n";
  }
  WriteFile(dir.Path() / "system" / "System.xml", "<System Story=\"Story.xml\"/>");
  WriteFile(dir.Path() / "system" / "Story.xml", story + "</Story>\n");
  std::string out;
  const std::string env = "ASAN_OPTIONS=detect_leaks=0:new_delete_type_mismatch=0 QTWEBENGINE_DISABLE_SANDBOX=1 ";
  ASSERT_EQ(Shell(env + Quote(QUIRELLE_PACK) + " --to-pdf --page-size Letter --system " + Quote(dir.Path() / "system") + " --content " +
                      Quote(dir.Path() / "content") + " -o " + Quote(dir.Path() / "book.pdf"), &out), 0) << out;
  EXPECT_NE(out.find("book.pdf: 100 pages"), std::string::npos) << out;

  ASSERT_EQ(Shell("pdfinfo " + Quote(dir.Path() / "book.pdf"), &out), 0) << out;
  EXPECT_NE(out.find("Pages:           100\n"), std::string::npos) << out;
  EXPECT_NE(out.find("(letter)"), std::string::npos) << out;
  // Text stays text, in the story's order.
  ASSERT_EQ(Shell("pdftotext " + Quote(dir.Path() / "book.pdf") + " -", &out), 0);
  std::size_t at = 0;
  for (int n = 1; n <= 100; ++n) {
    const std::size_t found = out.find("Page " + std::to_string(n) + " says word" + std::to_string(n) + "\n", at);
    ASSERT_NE(found, std::string::npos) << "page " << n;
    at = found;
  }
  // The outline is the story: chapters, pages, and a page's own pages under it.
  ASSERT_EQ(Shell("qpdf --json --json-key=outlines " + Quote(dir.Path() / "book.pdf"), &out), 0) << out;
  const std::string outline = Outline(QJsonDocument::fromJson(QByteArray::fromStdString(out)).object()["outlines"].toArray());
  EXPECT_EQ(outline.substr(0, outline.find("Page 4@")), "Chapter 1@1[Page 1@1[Page 2@2;];Page 3@3;");
  EXPECT_NE(outline.find("Chapter 4@76[Page 76@76[Page 77@77;];"), std::string::npos) << outline;
  EXPECT_EQ(outline.substr(outline.size() - 15), "Page 100@100;];");

  // What does not print says why, and nothing is written.
  WriteFile(dir.Path() / "system" / "Story.xml", "<Story><item Page=\"p1.htm\"/><item Page=\"gone.htm\"/></Story>");
  EXPECT_NE(Shell(env + Quote(QUIRELLE_PACK) + " --to-pdf --system " + Quote(dir.Path() / "system") + " --content " +
                      Quote(dir.Path() / "content") + " -o " + Quote(dir.Path() / "bad.pdf"), &out), 0);
  EXPECT_NE(out.find("The page gone.htm of the story is not in the book"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.Path() / "bad.pdf"));
}

// A book from an EPUB prints its MathML laid out by MathJax, as the viewer shows it: the TeX that
// the markup carries beside it for other programs is not printed.
TEST(Publish, ABookFromAnEpubPrintsItsMathematicsLaidOut) {
  TTempDir dir;
  WriteFile(dir.Path() / "system" / "System.xml", "<System Story=\"Story.xml\"/>");
  WriteFile(dir.Path() / "system" / "Story.xml", "<Story><item Page=\"m.xhtml\"/></Story>");
  WriteFile(dir.Path() / "system" / "Quirelle.xml", "<Quirelle Origin=\"epub\"/>");
  WriteFile(dir.Path() / "content" / "m.xhtml",
            "<?xml version=\"1.0\"?><html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>M</title></head><body><p>Before</p>"
            "<math xmlns=\"http://www.w3.org/1998/Math/MathML\"><semantics><mfrac><mi>y</mi><mn>3</mn></mfrac>"
            "<annotation encoding=\"application/x-tex\">RAWTEX</annotation></semantics></math><p>After</p></body></html>");
  std::string out;
  ASSERT_EQ(Shell("ASAN_OPTIONS=detect_leaks=0:new_delete_type_mismatch=0 QTWEBENGINE_DISABLE_SANDBOX=1 " + Quote(QUIRELLE_PACK) +
                      " --to-pdf --system " + Quote(dir.Path() / "system") + " --content " + Quote(dir.Path() / "content") + " -o " +
                      Quote(dir.Path() / "m.pdf"), &out), 0) << out;
  ASSERT_EQ(Shell("pdftotext " + Quote(dir.Path() / "m.pdf") + " -", &out), 0);
  EXPECT_NE(out.find("Before"), std::string::npos) << out;
  EXPECT_NE(out.find("After"), std::string::npos) << out;
  EXPECT_EQ(out.find("RAWTEX"), std::string::npos) << out;
}
