// The author's check: quirelle-pack --check reads a book by the viewer's own start-up steps and
// reports every problem with file and line; packing refuses a book with errors unless --force.
// Neither needs a display, a web engine or a viewer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "u_BookCheck.h"
#include "mfs/cab_test_util.h"

namespace fs = std::filesystem;
using cab_test::Quote;
using cab_test::Shell;
using cab_test::WriteFile;

namespace {

const fs::path Sample = fs::path(QUIRELLE_SOURCE_DIR) / "examples" / "sample-book";

int Check(const std::string& sources, std::string& out) {
  return Shell("env -u DISPLAY -u WAYLAND_DISPLAY " + Quote(QUIRELLE_PACK) + " --check " + sources, &out);
}

// A picture made by ImageMagick: a plain square, in the format the name's extension gives.
void WritePicture(const fs::path& file, int w, int h) {
  fs::create_directories(file.parent_path());
  const std::string format = file.extension() == ".bmp" ? "BMP3:" : "";
  std::string out;
  ASSERT_EQ(Shell("convert -size " + std::to_string(w) + "x" + std::to_string(h) + " xc:#3060c0 " + Quote(format + file.string()), &out), 0)
      << out;
}

std::string Sources(const fs::path& system, const fs::path& content) {
  return "--system " + Quote(system) + " --content " + Quote(content);
}

// A book with one fault of each kind the check knows, each on a line of its own.
void WriteFaultyBook(const fs::path& dir) {
  const fs::path sys = dir / "system", content = dir / "content";
  WriteFile(sys / "System.xml",
            "<System ApplicationTitle=\"%{TITLE}\" Story=\"Story.xml\" Variables=\"Vars.xml\"\n"
            "        ToolButtons=\"tb\\Buttons.xml\" Forms=\"Forms.xml\"\n"
            "        Width=\"wide\" Height=600>\n"
            "  <toolbar ToolbarPlacement=\"tpLeft\" ToolbarShowCaption=True\n"
            "           LogoDisplay=True ToolbarImgW=24 ToolbarImgH=24/>\n"
            "  <splash SplashTypeS=\"vsSplash\" Interval=2/>\n"
            "</System>");
  WriteFile(sys / "Story.xml",
            "<Story path=\"\\pages\">\n"
            "  <item page=\"a.htm\" pagename=\"A\"/>\n"
            "  <item page=\"missing.htm\" pagename=\"Missing\"/>\n"
            "  <item page=\"a.htm\" pagename=\"A again\"/>\n"
            "  <item page=\"b.htm\" pagename=\"B\">\n"
            "    <item page=\"c.htm\" pagename=\"C\"/>\n"
            "  </item>\n"
            "</Story>");
  WriteFile(sys / "Vars.xml",
            "<Variables>\n"
            "  <Var Name=\"TITLE\">Faulty</Var>\n"
            "  <Var Name=\"X\">%{Y}</Var>\n"
            "  <Var Name=\"Y\">%{X}</Var>\n"
            "</Variables>");
  WritePicture(sys / "tb" / "ok.bmp", 24, 24);
  WritePicture(sys / "tb" / "small.bmp", 10, 10);
  WriteFile(sys / "tb" / "broken.bmp", "BM not a picture at all");
  WriteFile(sys / "tb" / "Buttons.xml",
            "<Buttons>\n"
            "  <Images>\n"
            "    <Image Name=\"ok\" Path=\"ok.bmp\"/>\n"
            "    <Image Name=\"gone\" Path=\"gone.bmp\"/>\n"
            "    <Image Name=\"odd\" Path=\"ok.xyz\"/>\n"
            "    <Image Name=\"small\" Path=\"small.bmp\"/>\n"
            "    <Image Name=\"broken\" Path=\"broken.bmp\"/>\n"
            "  </Images>\n"
            "  <Buttons>\n"
            "    <Button Kind=1 Caption=\"Back\" Image=\"ok\"/>\n"
            "    <Button Kind=13 Caption=\"Marks\"><item caption=\"Home\" url=\"mfs:\\pages\\a.htm\"/></Button>\n"
            "    <Button Kind=13 Caption=\"More marks\"><item caption=\"Nowhere\" url=\"a.htm\"/></Button>\n"
            "    <Button Kind=18 Caption=\"Odd\" Image=\"nameless\"/>\n"
            "    <Button Kind=2 Caption=\"Far\" ImageIndex=9/>\n"
            "  </Buttons>\n"
            "</Buttons>");
  WriteFile(sys / "Forms.xml",
            "<Forms>\n"
            "  <Form Name=\"About\" Path=\"\\forms\\about.htm\"/>\n"
            "</Forms>");
  WriteFile(content / "pages" / "a.htm",
            "<html><head><link rel=stylesheet href=\"../css/style.css\"></head><body>\n"
            "<p>%{TITLE}</p>\n"
            "<p>%{NOPE}</p>\n"
            "<a href=\"b.htm\">b</a> <a href=\"https://www.example.org/\">web</a> <a href=\"#top\">top</a>\n"
            "<a href=\"nowhere.htm\">x</a>\n"
            "<img src=\"..\\pictures\\gone.png\">\n"
            "<p style=\"background: url('missing.gif')\">styled</p>\n"
            "<a href=\"system:\\Vars.xml\">a system file, named as the engine cannot</a>\n"
            "</body></html>");
  WriteFile(content / "pages" / "b.htm", "<html><body><img src=\"../pictures/here.png\"></body></html>");
  WritePicture(content / "pictures" / "here.png", 4, 4);
  WriteFile(content / "pages" / "c.htm", "<html><body>C</body></html>");
  WriteFile(content / "pages" / "lonely.htm", "<html><body>nobody links here</body></html>");
  WriteFile(content / "css" / "style.css",
            "@import \"base.css\";\n"
            "/* url(commented-out.png) */\n"
            "h1 { background: url(../pictures/h1.png); content: \"url(in-a-string.png)\"; }\n");
  WriteFile(content / "css" / "base.css", "body { color: black; }\n");
}

}  // namespace

// The author's way in: both programs installed into a prefix, the packer finding the viewer
// beside it.
TEST(BookCheck, InstalledProgramsCheckTheSampleBook) {
  cab_test::TTempDir dir;
  std::string out;
  ASSERT_EQ(Shell("cmake --install " + Quote(QUIRELLE_BINARY_DIR) + " --prefix " + Quote(dir.Path()), &out), 0) << out;
  for (const char* program : {"quirelle-viewer", "quirelle-pack", "quirelle-mfs"})
    EXPECT_TRUE(fs::exists(dir.Path() / "bin" / program)) << program;
  EXPECT_EQ(Shell(Quote(dir.Path() / "bin" / "quirelle-pack") + " --check " + Sources(Sample / "system", Sample / "content"), &out), 0) << out;
  EXPECT_EQ(out, "0 errors, 0 notes\n");
}

TEST(BookCheck, TheSampleBookIsClean) {
  std::string out;
  EXPECT_EQ(Check(Sources(Sample / "system", Sample / "content"), out), 0) << out;
  EXPECT_EQ(out, "0 errors, 0 notes\n");
}

TEST(BookCheck, EveryFaultIsReportedWithFileAndLineAndPackingRefusesUnlessForced) {
  cab_test::TTempDir dir;
  WriteFaultyBook(dir.Path());
  const std::string sources = Sources(dir.Path() / "system", dir.Path() / "content");
  std::string out;
  EXPECT_EQ(Check(sources, out), 1) << out;
  const std::vector<std::string> expected = {
      "System.xml:3: error: Could not convert variant of type (String) into type (Integer) (key Width)\n",
      "System.xml:4: error: Key ToolbarPlacement: \"tpLeft\" is none of tpTop, tpBottom, tpNoToolbar; tpTop is used\n",
      "System.xml:5: error: The logo picture \"Logo.bmp\" is not in the system image\n",
      "System.xml:6: error: The splash picture \"SplashS.bmp\" is not in the system image\n",
      "Story.xml:3: error: The page \"\\pages\\missing.htm\" is not in the content image\n",
      "Story.xml:4: error: The page \"\\pages\\a.htm\" is listed twice (first on line 2)\n",
      "Story.xml:6: error: The page \"c.htm\" is not in the content image\n",
      "Story.xml:6: note: The entry on line 5 gives no Path, so the Path of the entries above it does not apply to this page\n",
      "System.xml:4: note: ToolbarTextColor is the same as ToolbarBackColor (0): the button captions cannot be seen\n",
      "tb\\Buttons.xml:12: note: The bookmark address \"a.htm\" has no scheme (such as mfs: or https:): it shows a blank page\n",
      "tb\\Buttons.xml:13: note: The button Kind 18 is none the viewer knows (0 to 17): the button does nothing\n",
      "tb\\Buttons.xml:13: note: No picture is named \"nameless\": the button shows none\n",
      "tb\\Buttons.xml:14: note: ImageIndex 9 is beyond the 5 pictures: the button shows none\n",
      "Vars.xml:3: error: Cycling reference encountered during loading variable \"X\"\n",
      "tb\\Buttons.xml:4: error: The picture \"gone.bmp\": File \"gone.bmp\" not found\n",
      "tb\\Buttons.xml:5: error: The picture \"ok.xyz\": Unknown picture file extension (.xyz); the toolbar takes BMP, ICO, JPEG, WMF and EMF pictures\n",
      "tb\\Buttons.xml:6: error: The picture \"small.bmp\": Invalid toolbar image size: it is 10 x 10, the toolbar's pictures are 24 x 24 (ToolbarImgW, ToolbarImgH)\n",
      "tb\\Buttons.xml:7: error: The picture \"broken.bmp\": ",
      "tb\\Buttons.xml:11: note: More than one Bookmarks button",
      "Forms.xml:2: error: The page \"\\forms\\about.htm\" of the form \"About\" is not in the content image\n",
      "mfs:\\pages\\a.htm:3: error: Unknown variable \"NOPE\": the reference stays as written\n",
      "mfs:\\pages\\a.htm:5: error: The link \"nowhere.htm\" leads to \"mfs:\\pages\\nowhere.htm\", which is not in the book\n",
      "mfs:\\pages\\a.htm:6: error: The link \"..\\pictures\\gone.png\" leads to \"mfs:\\pictures\\gone.png\"",
      "mfs:\\pages\\a.htm:7: error: The link \"missing.gif\" leads to \"mfs:\\pages\\missing.gif\"",
      "mfs:\\pages\\a.htm:8: error: The link \"system:\\Vars.xml\" leads to \"system:%5CVars.xml\"",
      "mfs:\\css\\style.css:3: error: The link \"../pictures/h1.png\" leads to \"mfs:\\pictures\\h1.png\"",
      "mfs:\\pages\\lonely.htm: note: No page, story entry or form reaches this file\n",
      "mfs:\\pages\\c.htm: note: No page, story entry or form reaches this file\n",
      "19 errors, 9 notes\n"};
  for (const std::string& line : expected) EXPECT_NE(out.find(line), std::string::npos) << line << "\nin:\n" << out;
  // Nothing reported twice, nothing about what is sound (the web, strings, comments, @import).
  for (const char* sound : {"example.org", "commented-out", "in-a-string", "base.css", "here.png", "TITLE", "b.htm\""})
    EXPECT_EQ(out.find(sound), std::string::npos) << sound << "\nin:\n" << out;

  // Packing runs the same check: refused, nothing written; forced, packed, and the packed book
  // checks the same.
  const fs::path book = dir.Path() / "book";
  const std::string pack = Quote(QUIRELLE_PACK) + " --viewer " + Quote(QUIRELLE_PROBE) + " " + sources + " -o " + Quote(book);
  std::string packed;
  EXPECT_EQ(Shell(pack, &packed), 1) << packed;
  EXPECT_NE(packed.find("19 errors, 9 notes\n"), std::string::npos) << packed;
  EXPECT_NE(packed.find("not written, as the book has errors"), std::string::npos) << packed;
  EXPECT_FALSE(fs::exists(book));
  ASSERT_EQ(Shell(pack + " --force", &packed), 0) << packed;
  ASSERT_TRUE(fs::exists(book));
  std::string again;
  EXPECT_EQ(Check(Quote(book), again), 1) << again;
  EXPECT_EQ(again, out);
}

namespace {

// Pages in UTF-8 link to files with letters beyond ASCII; the engine reads them as UTF-8 because
// they say so, and so does the check. Relative story pages under a root without Path are found
// where the viewer finds them. Clean, in a Western and in a Cyrillic locale.
TEST(BookCheck, Utf8PagesAndRelativeStoryPagesAreCheckedAsTheViewerReadsThem) {
  struct TCase {
    const char* Locale;
    std::string Name, Story;  // the file name in UTF-8, as the story names it in the code page
  };
  for (const TCase& c : {TCase{"de_DE.UTF-8", "k\xC3\xB6nigin", "k\xF6nigin"}, TCase{"ru_RU.UTF-8", "\xD1\x86\xD0\xB0\xD1\x80\xD1\x8C", "\xF6\xE0\xF0\xFC"}}) {
    cab_test::TTempDir dir;
    const fs::path sys = dir.Path() / "system", content = dir.Path() / "content";
    WriteFile(sys / "System.xml", "<System Story=\"Story.xml\"><toolbar ToolbarPlacement=\"tpNoToolbar\"/></System>");  // none, as meant
    WriteFile(sys / "Story.xml", "<Story><item Path=\"book\"><item Path=\"part1\">\n"
                                 "<item page=\"intro.htm\"/><item page=\"" + c.Story + ".htm\"/></item></item></Story>");
    WriteFile(content / "book" / "part1" / "intro.htm",
              "<html><head><meta charset=\"UTF-8\"></head><body><a href=\"" + c.Name + ".htm\">on</a></body></html>");
    WriteFile(content / "book" / "part1" / (c.Name + ".htm"),
              "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"></head>"
              "<body><a href=\"intro.htm\">back</a><img src=\"bilder/" + c.Name + ".png\"></body></html>");
    WritePicture(content / "book" / "part1" / "bilder" / (c.Name + ".png"), 4, 4);
    std::string out;
    EXPECT_EQ(Shell(std::string("LC_ALL=") + c.Locale + " " + Quote(QUIRELLE_PACK) + " --check " + Sources(sys, content), &out), 0)
        << c.Locale << "\n" << out;
    EXPECT_EQ(out, "0 errors, 0 notes\n") << c.Locale;
  }
}

// A description file that does not parse is reported at its line, and the check goes on: the
// pages' links are still looked at. A packer alone on the system checks all the same, and says
// where it looked for a viewer only when asked to pack.
TEST(BookCheck, SyntaxErrorsHaveTheirLineAndTheCheckGoesOn) {
  cab_test::TTempDir dir;
  const fs::path sys = dir.Path() / "system", content = dir.Path() / "content";
  WriteFile(sys / "System.xml", "<System Story=\"Story.xml\"\n  Height=600\n  Width=1000px>\n</System>");
  WriteFile(sys / "Story.xml", "<Story><item page=\"\\a.htm\"/></Story>");
  WriteFile(content / "a.htm", "<html><body>\n<a href=\"gone.htm\">x</a></body></html>");
  std::string out;
  const std::string expected = "System.xml:3: error: ''='' expected\n"
                               "mfs:\\a.htm:2: error: The link \"gone.htm\" leads to \"mfs:\\gone.htm\", which is not in the book\n"
                               "2 errors, 0 notes\n";
  EXPECT_EQ(Check(Sources(sys, content), out), 1) << out;
  EXPECT_EQ(out, expected);

  const fs::path lonely = dir.Path() / "bin" / "quirelle-pack";
  fs::create_directories(lonely.parent_path());
  fs::copy_file(QUIRELLE_PACK, lonely);
  EXPECT_EQ(Shell("env -u DISPLAY " + Quote(lonely) + " --check " + Sources(sys, content), &out), 1);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(Shell(Quote(lonely) + " " + Sources(sys, content) + " -o " + Quote(dir.Path() / "book") + " 2>&1", &out), 1);
  EXPECT_NE(out.find("the viewer program quirelle-viewer was not found; looked for " + (lonely.parent_path() / "quirelle-viewer").string()),
            std::string::npos) << out;
  EXPECT_NE(out.find("--viewer VIEWER"), std::string::npos) << out;

  // CR LF line ends count one line each, in pages as in description files.
  WriteFile(sys / "System.xml", "<System Story=\"Story.xml\"/>");
  WriteFile(content / "a.htm", "<html><body>\r\n<p style=\"background: url('gone.gif')\">%{NOPE}</p>\r\n</body></html>");
  EXPECT_EQ(Check(Sources(sys, content), out), 1);
  EXPECT_NE(out.find("mfs:\\a.htm:2: error: Unknown variable \"NOPE\""), std::string::npos) << out;
  EXPECT_NE(out.find("mfs:\\a.htm:2: error: The link \"gone.gif\""), std::string::npos) << out;

  // XML habits: one problem, one line, saying the dialect has neither (CR LF line ends too).
  WriteFile(sys / "System.xml", "<?xml version=\"1.0\"?>\r\n<System Story=\"Story.xml\"/>");
  WriteFile(sys / "Story.xml", "<Story>\r\n<!-- the pages -->\r\n<item page=\"\\a.htm\"/></Story>");
  const std::string habit = ": description files have no comments (<!-- -->) and no <?xml ?> line: remove it\n";
  EXPECT_EQ(Check(Sources(sys, content), out), 1);
  EXPECT_NE(out.find("System.xml:1: error: Identifier expected" + habit), std::string::npos) << out;
  WriteFile(sys / "System.xml", "<System Story=\"Story.xml\"/>");
  EXPECT_EQ(Check(Sources(sys, content), out), 1);
  EXPECT_NE(out.find("Story.xml:2: error: Identifier expected or ''/'' expected" + habit), std::string::npos) << out;
}

}  // namespace

namespace {

// A hostile book's millions of broken links make a report of a few hundred lines: each file's
// problems beyond the first hundred are counted, and a quoted megabyte is cut.
TEST(BookReport, ProblemsPerFileAreCappedAndLongMessagesCut) {
  TBookReport report;
  for (int i = 0; i < 250; ++i) report.Error("mfs:\\a.htm", i + 1, "The link \"" + std::string(5000, 'x') + "\" is broken");
  report.Note("mfs:\\a.htm", 300, "one more note");
  report.Error("mfs:\\b.htm", 1, "short");
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  report.Print(out);
  std::fclose(out);
  const std::string printed(text, size);
  std::free(text);
  EXPECT_EQ(report.ErrorCount(), 251u);
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 100 + 1 + 1 + 1);
  EXPECT_NE(printed.find("mfs:\\a.htm:1: error: The link \"" + std::string(TBookReport::MaxMessageSize - 10, 'x') + "...\n"),
            std::string::npos);
  EXPECT_NE(printed.find("mfs:\\b.htm:1: error: short\n"), std::string::npos);
  EXPECT_NE(printed.find("mfs:\\a.htm: note: 151 more problems (150 errors, 1 notes) are not listed\n"), std::string::npos);
  EXPECT_TRUE(printed.size() < 100 * (TBookReport::MaxMessageSize + 40) + 300) << printed.size();
  EXPECT_EQ(printed.substr(printed.rfind('\n', printed.size() - 2) + 1), "251 errors, 1 note\n");
}

}  // namespace

namespace {

// The HTML parser's time grows with the square of the nesting: a page nested deeper than the
// check follows is noted, not parsed, and the rest of the book is still checked.
TEST(BookCheck, DeeplyNestedPagesAreNotedAndTheRestChecked) {
  EXPECT_EQ(PageNesting("<div><span><b>x</b></span></div>"), 3u);
  EXPECT_EQ(PageNesting("<p>a<p>b<li>c<br><img src='>'><hr/><div/>"), 0u);  // closed by the parser, void, self-closed
  EXPECT_EQ(PageNesting("<!-- <div><div> --><script>var s = '<div><div><div>';</SCRIPT ><div title='<div>'>"), 1u);
  EXPECT_EQ(PageNesting("<div></div><div></div>"), 1u);
  const std::size_t deep = 200000;
  std::string page = "<html><body>";
  for (std::size_t i = 0; i < deep; ++i) page += "<div>";
  page += "<a href=\"nowhere.htm\">x</a>";
  EXPECT_EQ(PageNesting(page), deep + 1);  // the link inside

  cab_test::TTempDir dir;
  const fs::path sys = dir.Path() / "system", content = dir.Path() / "content";
  WriteFile(sys / "System.xml", "<System Story=\"Story.xml\"/>");
  WriteFile(sys / "Story.xml", "<S><i page=\"\\deep.htm\"/><i page=\"\\flat.htm\"/></S>");
  WriteFile(content / "deep.htm", page);
  WriteFile(content / "flat.htm", "<a href=\"gone.htm\">x</a>");
  std::string out;
  EXPECT_EQ(Check(Sources(sys, content), out), 1) << out;
  EXPECT_EQ(out, "System.xml:1: note: The book has no toolbar: System.xml names no ToolButtons file, so readers move only by the pages' links "
                 "(quirelle-pack --new writes a toolbar of the usual buttons into a new book's system folder, to copy from)\n"
                 "mfs:\\deep.htm: note: The page nests its elements more than 5000 deep: its links are not checked\n"
                 "mfs:\\flat.htm:1: error: The link \"gone.htm\" leads to \"mfs:\\gone.htm\", which is not in the book\n"
                 "1 error, 2 notes\n");
}

}  // namespace

namespace {

// The author's guide names every key the viewer reads: the keys are taken from the calls that
// read them in the book model and the contents pane, so a key added there without a word in
// docs/authoring.md fails here.
TEST(AuthorsGuide, NamesEveryKeyTheViewerReads) {
  const std::filesystem::path source = QUIRELLE_SOURCE_DIR;
  std::string guide = cab_test::ReadFile(source / "docs" / "authoring.md");
  std::transform(guide.begin(), guide.end(), guide.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::regex read(R"re((?:SystemText|SystemInteger|SystemBoolean|ValueOf|Find|TextOf|AttributeText|Text|Boolean|Integer|Enumeration<\w+>)\((?:[^,";]*,\s*)?"([A-Za-z]+)")re");
  std::set<std::string> keys;
  for (const auto& file : std::filesystem::directory_iterator(source / "src" / "book")) {
    if (file.path().extension() != ".cpp") continue;
    const std::string text = cab_test::ReadFile(file.path());
    for (std::sregex_iterator it(text.begin(), text.end(), read), end; it != end; ++it) keys.insert((*it)[1]);
  }
  EXPECT_GT(keys.size(), 50u);  // the scan still finds the readers
  for (std::string key : keys) {
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_TRUE(std::regex_search(guide, std::regex("\\b" + key + "\\b"))) << key << " is not in docs/authoring.md";
  }
}

}  // namespace
