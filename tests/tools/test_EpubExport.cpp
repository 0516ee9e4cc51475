// quirelle-pack --to-epub, judged by Debian's epubcheck: every kind of book becomes an EPUB that
// passes without a message, the story is the spine, the variables read as the viewer shows them,
// and non-ASCII text and names survive, also taken EPUB -> book -> EPUB.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "mfs/cab_test_util.h"
#include "mfs/pe_test_util.h"
#include "u_DataBlocks.h"
#include "u_Epub.h"

using namespace cab_test;
namespace fs = std::filesystem;

namespace {

const std::string Pack = QUIRELLE_PACK;
const fs::path Source = QUIRELLE_SOURCE_DIR;

std::vector<std::string> Labels(const std::vector<TEpubTocEntry>& toc) {
  std::vector<std::string> out;
  for (const TEpubTocEntry& e : toc) {
    out.push_back(e.Title);
    for (const std::string& child : Labels(e.Children)) out.push_back("  " + child);
  }
  return out;
}

// The spine by file name, without the folders and extensions each side gives it.
std::vector<std::string> SpineNames(const TEpub& epub) {
  std::vector<std::string> out;
  for (const std::string& path : epub.Spine) out.push_back(fs::path(path).stem().string());
  return out;
}

std::string FileOf(const TEpub& epub, const std::string& suffix) {
  for (const auto& [path, data] : epub.Files)
    if (path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) return data;
  return {};
}

TEST(EpubExport, EveryKindOfBookPassesEpubcheckAndKeepsItsStory) {
  TTempDir dir;
  const fs::path d = dir.Path();
  std::string out;
  const fs::path sample = Source / "examples" / "sample-book";
  auto toEpub = [&](const std::string& from, const fs::path& epub) {
    EXPECT_EQ(Shell(Quote(Pack) + " --to-epub " + from + " -o " + Quote(epub), &out), 0) << out;
  };
  std::vector<fs::path> exports;

  // The sample book from its folders and as a book document.
  toEpub("--system " + Quote(sample / "system") + " --content " + Quote(sample / "content"), d / "sample.epub");
  ASSERT_EQ(Shell(Quote(Pack) + " --document --system " + Quote(sample / "system") + " --content " + Quote(sample / "content") + " -o " +
                      Quote(d / "sample.qbook"),
                  &out),
            0)
      << out;
  toEpub(Quote(d / "sample.qbook"), d / "document.epub");
  EXPECT_NE(out.find("note: The book's toolbar is not carried"), std::string::npos) << out;
  exports.insert(exports.end(), {d / "sample.epub", d / "document.epub"});

  // A book started with --new from a folder of pages.
  // Its style sheet names a Windows picture (converted to PNG) and a file it lacks.
  WriteFile(d / "pages" / "one.htm", "<html><head><title>One</title><link rel=stylesheet href=\"s.css\"></head><body>"
                                     "<p style=\"background: url(bg.bmp)\">1 <a href=\"two.htm#x\">two</a></p></body></html>");
  WriteFile(d / "pages" / "s.css", "body { background: url(bg.bmp) } p { background: url('gone.png') }");
  ASSERT_EQ(Shell("convert -size 4x4 xc:red BMP3:" + Quote(d / "pages" / "bg.bmp"), &out), 0) << out;
  WriteFile(d / "pages" / "two.htm", "<html><head><title>Two</title></head><body><p id=x>2</p><img src=\"gone.png\" alt=\"gone\"></body></html>");
  // Pages nested deep: written without recursion, and past what XML parsers take, said so.
  std::string deep, deeper;
  for (int i = 0; i < 900; ++i) deep += "<div>";
  for (int i = 0; i < 1200; ++i) deeper += "<div>";
  WriteFile(d / "pages" / "three.htm", "<html><head><title>Three</title></head><body>" + deep + "3</body></html>");
  WriteFile(d / "pages" / "four.htm", "<html><head><title>Four</title></head><body>" + deeper + "4</body></html>");
  ASSERT_EQ(Shell(Quote(Pack) + " --new " + Quote(d / "new") + " --content " + Quote(d / "pages"), &out), 0) << out;
  toEpub("--system " + Quote(d / "new" / "system") + " --content " + Quote(d / "pages"), d / "new.epub");
  EXPECT_NE(out.find("four.htm nests its elements more than 1000 deep"), std::string::npos) << out;
  exports.push_back(d / "new.epub");

  // A book in windows-1251: Cyrillic file names and text, packed, then as a Windows-format book.
  const std::string river = "\xD0\xA0\xD0\xB5\xD0\xBA\xD0\xB0";  // "Река" in UTF-8
  const std::string river1251 = "\xD0\xE5\xEA\xE0";
  WriteFile(d / "ru" / "system" / "System.xml", "<System ApplicationTitle=\"%{T}\" Story=\"Story.xml\" Variables=\"V.xml\"/>");
  WriteFile(d / "ru" / "system" / "V.xml", "<vars><var name=\"T\">$" + river1251 + "</var><var name=\"LANGUAGE\">$ru</var></vars>");
  WriteFile(d / "ru" / "system" / "Story.xml", "<Story><item page=\"" + river1251 + ".htm\" pagename=\"" + river1251 + "\"/></Story>");
  WriteFile(d / "ru" / "content" / (river + ".htm"),
            "<html><head><meta charset=windows-1251><title>%{T}</title></head><body><font color=red><center>" + river1251 +
                " %{T}</center></font><a name=top></a></body></html>");
  ASSERT_EQ(Shell(Quote(Pack) + " --document --code-page 1251 --system " + Quote(d / "ru" / "system") + " --content " +
                      Quote(d / "ru" / "content") + " -o " + Quote(d / "ru.qbook"),
                  &out),
            0)
      << out;
  toEpub(Quote(d / "ru.qbook"), d / "ru.epub");
  const fs::path exe = d / "ru.exe";
  ASSERT_TRUE(pe_test::MakeWindowsExecutable(exe, {{std::string("RCDATA"), std::string("SYSTEM_MFS"), ReadBookBlock((d / "ru.qbook").string(), "SYSTEM_MFS")},
                                                   {std::string("RCDATA"), std::string("FILES_MFS"), ReadBookBlock((d / "ru.qbook").string(), "FILES_MFS")}},
                                             "x86_64", &out))
      << out;
  toEpub(Quote(exe), d / "windows.epub");
  exports.insert(exports.end(), {d / "ru.epub", d / "windows.epub"});

  const TEpub fresh = ReadEpub(ReadFile(d / "new.epub"));
  EXPECT_EQ(FileOf(fresh, "s.css"), "body { background: url(\"bg.png\") } p { background: url(\"data:,\") }");
  EXPECT_NE(FileOf(fresh, "one.xhtml").find("style=\"background: url(&quot;bg.png&quot;)\""), std::string::npos) << FileOf(fresh, "one.xhtml");
  EXPECT_EQ(FileOf(fresh, "bg.png").compare(1, 3, "PNG"), 0);

  // The W3C's samples, EPUB -> book -> EPUB.
  const std::vector<std::string> samples = {"childrens-literature", "internallinks", "wasteland"};
  for (const std::string& name : samples) {
    const fs::path original = Source / "tests" / "data" / "epub3-samples" / (name + ".epub");
    ASSERT_EQ(Shell(Quote(Pack) + " --new " + Quote(d / name) + " --epub " + Quote(original), &out), 0) << out;
    toEpub("--system " + Quote(d / name / "system") + " --content " + Quote(d / name / "content"), d / (name + ".epub"));
    exports.push_back(d / (name + ".epub"));
  }

  // epubcheck on every export at once.
  std::string jobs;
  for (const fs::path& epub : exports)
    jobs += "java -jar /usr/share/java/epubcheck.jar " + Quote(epub) + " > " + Quote(epub.string() + ".log") + " 2>&1 & ";
  ASSERT_EQ(Shell(jobs + "wait"), 0);
  for (const fs::path& epub : exports) {
    const std::string log = ReadFile(epub.string() + ".log");
    EXPECT_NE(log.find("No errors or warnings detected."), std::string::npos) << epub << "\n" << log;
  }

  // What the reader sees: variables substituted, the story as the spine and the contents.
  const TEpub exported = ReadEpub(ReadFile(d / "sample.epub"));
  EXPECT_EQ(exported.Title, "A Walk by the River");
  EXPECT_EQ(exported.Author, "The Quirelle team");
  const std::string intro = FileOf(exported, "pages/intro.xhtml");
  EXPECT_NE(intro.find("<h1>A Walk by the River</h1>"), std::string::npos) << intro;
  EXPECT_EQ(intro.find("%{"), std::string::npos);
  EXPECT_EQ(SpineNames(exported).front(), "intro");
  EXPECT_EQ(Labels(exported.Toc).front(), "Welcome");
  EXPECT_EQ(Labels(exported.Toc).at(1), "Part one: the river");
  EXPECT_EQ(Labels(exported.Toc).at(2), "  The river");

  const TEpub ru = ReadEpub(ReadFile(d / "windows.epub"));
  EXPECT_EQ(ru.Title, river);
  ASSERT_EQ(ru.Spine.size(), 1u);
  EXPECT_EQ(ru.Spine[0], "OEBPS/" + river + ".xhtml");
  const std::string page = FileOf(ru, river + ".xhtml");
  EXPECT_NE(page.find("<div style=\"color:red;\"><div style=\"text-align:center;\">" + river + " " + river + "</div></div>"), std::string::npos) << page;
  EXPECT_NE(page.find("<a id=\"top\"></a>"), std::string::npos) << page;
  EXPECT_EQ(Labels(ru.Toc), std::vector<std::string>{river});

  for (const std::string& name : samples) {
    SCOPED_TRACE(name);
    const TEpub original = ReadEpub(ReadFile(Source / "tests" / "data" / "epub3-samples" / (name + ".epub")));
    const TEpub again = ReadEpub(ReadFile(d / (name + ".epub")));
    EXPECT_EQ(SpineNames(again), SpineNames(original));
    EXPECT_EQ(again.Title, original.Title);
    // A book's story holds each page once: entries that only point into a page already listed
    // (fragments) are not carried; the others keep their labels and order, and spine items the
    // contents did not list are named by the title.
    std::vector<std::string> kept = Labels(again.Toc), all = Labels(original.Toc);
    for (std::string& label : kept) label.erase(0, label.find_first_not_of(' '));
    for (std::string& label : all) label.erase(0, label.find_first_not_of(' '));
    EXPECT_NE(std::find(kept.begin(), kept.end(), all.front()), kept.end());
    auto at = all.begin();
    for (const std::string& label : kept) {
      if (label == original.Title) continue;
      at = std::find(at, all.end(), label);
      EXPECT_NE(at, all.end()) << label << " is not among the original's labels in that order";
    }
  }
}

// A run that cannot finish leaves nothing behind and never touches its input.
TEST(EpubExport, AFailedRunLeavesNoHalfEpub) {
  TTempDir dir;
  std::string out;
  WriteFile(dir.Path() / "system" / "System.xml", "<System Story=\"Story.xml\"/>");
  WriteFile(dir.Path() / "system" / "Story.xml", "<Story><item page=\"missing.htm\"/></Story>");
  WriteFile(dir.Path() / "content" / "a.htm", "<p>A</p>");
  WriteFile(dir.Path() / "old.epub", "the old one");
  EXPECT_EQ(Shell(Quote(Pack) + " --to-epub --system " + Quote(dir.Path() / "system") + " --content " + Quote(dir.Path() / "content") +
                      " -o " + Quote(dir.Path() / "old.epub"),
                  &out),
            1);
  EXPECT_NE(out.find("The book has no page to put in the EPUB"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(dir.Path() / "old.epub"), "the old one");
  EXPECT_FALSE(fs::exists(dir.Path() / "old.epub.partial"));
  // A book that exports is still not written over one of its own files.
  WriteFile(dir.Path() / "system" / "Story.xml", "<Story><item page=\"a.htm\"/></Story>");
  EXPECT_EQ(Shell(Quote(Pack) + " --to-epub --system " + Quote(dir.Path() / "system") + " --content " + Quote(dir.Path() / "content") +
                      " -o " + Quote(dir.Path() / "content" / "a.htm"),
                  &out),
            1);
  EXPECT_EQ(ReadFile(dir.Path() / "content" / "a.htm"), "<p>A</p>");
}

}  // namespace
