// End to end: real executables packed by quirelle-pack and started as their own processes, and
// cabinets exchanged with Debian's gcab command.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <tuple>

#include <zip.h>

#include "mfs/cab_test_util.h"
#include "mfs/pe_test_util.h"
#include "u_CabWriter.h"
#include "u_DataBlocks.h"
#include "u_DiskFolder.h"
#include "u_Epub.h"
#include "tools/epub_test_util.h"
#include "u_ImageSource.h"
#include "u_Variables.h"
#include "u_WebExport.h"
#include "u_EpubExport.h"
#include "u_Book.h"

using namespace cab_test;
namespace fs = std::filesystem;

namespace {

const std::string Pack = QUIRELLE_PACK;
const std::string Probe = QUIRELLE_PROBE;
const std::string Gcab = QUIRELLE_GCAB;
const fs::path Sample = fs::path(QUIRELLE_SOURCE_DIR) / "examples" / "sample-book";

// Packs the two sources into the probe (or another viewer); the packer's status, its output in out.
// Forced, a book that is not one a reader could open (its images swapped) is packed unchecked.
int PackBook(const fs::path& system, const fs::path& content, const fs::path& book, std::string& out,
             const std::string& viewer = Probe, bool force = false) {
  return Shell(Quote(Pack) + " --viewer " + Quote(viewer) + (force ? " --force" : "") + " --system " + Quote(system) +
                   " --content " + Quote(content) + " -o " + Quote(book), &out);
}

// The root folder of an image carries the time the image was made, which differs between two
// images made a second apart; everything below it must match exactly.
std::string ImageOfFolder(const fs::path& folder) {
  TMFS mfs;
  ImportFolder(folder, mfs.Root());
  mfs.Root()->DateTime = 0;
  return mfs.SaveToString();
}

std::string ImageOfBlock(const fs::path& book, const char* name) {
  TMFS mfs;
  LoadCabImage(mfs, ReadDataBlock(book.string(), "RCDATA", name));
  mfs.Root()->DateTime = 0;
  return mfs.SaveToString();
}

TEST(PackedBook, ProbeFindsBothImagesInItsOwnExecutable) {
  TTempDir dir;
  fs::path book = dir.Path() / "book";
  std::string out;
  ASSERT_EQ(PackBook(Sample / "system", Sample / "content", book, out), 0) << out;
  ASSERT_EQ(Shell(Quote(book), &out), 0) << out;
  EXPECT_NE(out.find("SYSTEM_MFS:"), std::string::npos);
  EXPECT_NE(out.find("\\Story.xml"), std::string::npos);
  EXPECT_NE(out.find("\\pages\\intro.htm"), std::string::npos);
  EXPECT_NE(out.find("\\pictures\\river.jpg"), std::string::npos);
  // The unpacked probe has no blocks: loading fails cleanly.
  EXPECT_EQ(Shell(Quote(Probe), &out), 1);
  EXPECT_EQ(out, "File \"\\info.cab\" is not a cabinet\n");
}

TEST(PackedBook, ListAndExtractGiveTheFoldersBackExactly) {
  TTempDir dir;
  fs::path book = dir.Path() / "book";
  std::string out;
  ASSERT_EQ(PackBook(Sample / "system", Sample / "content", book, out), 0) << out;
  ASSERT_EQ(Shell(Quote(Pack) + " --list " + Quote(book), &out), 0) << out;
  EXPECT_NE(out.find("FILES_MFS:"), std::string::npos);
  ASSERT_EQ(Shell(Quote(Pack) + " --extract " + Quote(book) + " " + Quote(dir.Path() / "out"), &out), 0) << out;
  // Names, contents and DOS dates survive: the images made from the extracted folders are the
  // images in the book, and those are the images of the source folders.
  EXPECT_EQ(ImageOfFolder(dir.Path() / "out" / "system"), ImageOfBlock(book, "SYSTEM_MFS"));
  EXPECT_EQ(ImageOfFolder(dir.Path() / "out" / "content"), ImageOfBlock(book, "FILES_MFS"));
  EXPECT_EQ(ImageOfFolder(Sample / "content"), ImageOfBlock(book, "FILES_MFS"));
  // Packing an already packed book replaces its blocks instead of stacking them.
  fs::path again = dir.Path() / "again";
  ASSERT_EQ(PackBook(dir.Path() / "out" / "content", Sample / "system", again, out, book.string(), true), 0) << out;
  EXPECT_EQ(ReadDataBlockIndex(again.string()).ProgramSize, fs::file_size(Probe));
  EXPECT_EQ(ImageOfBlock(again, "FILES_MFS"), ImageOfFolder(Sample / "system"));
  ASSERT_EQ(Shell(Quote(again), &out), 0) << out;
}

TEST(PackedBook, ReadyMadeCabinetsAreEmbeddedUnchanged) {
  TTempDir dir;
  std::string sys = Cab({{"INFO.MFS", ImageOfFolder(Sample / "system"), 0x5A2C6000, 0x20}});
  std::string content = Cab({{"info.mfs", ImageOfFolder(Sample / "content"), 0x5A2C6000, 0x20}, {"extra", "x", 0, 0x20}});
  WriteFile(dir.Path() / "s.cab", sys);
  WriteFile(dir.Path() / "c.cab", content);
  std::string out;
  fs::path book = dir.Path() / "book";
  ASSERT_EQ(PackBook(dir.Path() / "s.cab", dir.Path() / "c.cab", book, out), 0) << out;
  EXPECT_EQ(ReadDataBlock(book.string(), "RCDATA", "SYSTEM_MFS"), sys);
  EXPECT_EQ(ReadDataBlock(book.string(), "RCDATA", "FILES_MFS"), content);
  ASSERT_EQ(Shell(Quote(book), &out), 0) << out;
}

// Any kind of book goes in and any comes out: a Windows-format book repacked as a document and
// that as an executable book keeps both images byte for byte, and every kind lists and checks.
TEST(PackedBook, FromRepacksEveryKindByteForByte) {
  TTempDir dir;
  std::string out;
  const fs::path packed = dir.Path() / "packed", win = dir.Path() / "book.exe", doc = dir.Path() / "book.qbook", again = dir.Path() / "again";
  ASSERT_EQ(PackBook(Sample / "system", Sample / "content", packed, out), 0) << out;
  const std::string sys = ReadDataBlock(packed.string(), "RCDATA", "SYSTEM_MFS"), content = ReadDataBlock(packed.string(), "RCDATA", "FILES_MFS");
  ASSERT_TRUE(pe_test::MakeWindowsExecutable(win, {{std::string("RCDATA"), std::string("SYSTEM_MFS"), sys},
                                                   {std::string("RCDATA"), std::string("FILES_MFS"), content}}, "x86_64", &out)) << out;
  ASSERT_EQ(Shell(Quote(Pack) + " --document --from " + Quote(win) + " -o " + Quote(doc), &out), 0) << out;
  EXPECT_EQ(ReadFile(doc).compare(0, 10, "\x89QBOOK\r\n\x1A\n"), 0);
  EXPECT_LT(fs::file_size(doc), sys.size() + content.size() + 200);  // the two Cabinets and an index
  EXPECT_EQ(fs::status(doc).permissions() & fs::perms::owner_exec, fs::perms::none);
  ASSERT_EQ(Shell(Quote(Pack) + " --viewer " + Quote(Probe) + " --from " + Quote(doc) + " -o " + Quote(again), &out), 0) << out;
  EXPECT_EQ(ReadDataBlock(again.string(), "RCDATA", "SYSTEM_MFS"), sys);
  EXPECT_EQ(ReadDataBlock(again.string(), "RCDATA", "FILES_MFS"), content);
  ASSERT_EQ(Shell(Quote(again), &out), 0) << out;
  for (const fs::path& book : {win, doc}) {
    ASSERT_EQ(Shell(Quote(Pack) + " --list " + Quote(book), &out), 0) << out;
    EXPECT_NE(out.find("\\pages\\intro.htm"), std::string::npos) << out;
    ASSERT_EQ(Shell(Quote(Pack) + " --check " + Quote(book), &out), 0) << out;
    EXPECT_NE(out.find("0 errors"), std::string::npos) << out;
  }
  // What is no book is refused with a reason, and nothing is written.
  EXPECT_NE(Shell(Quote(Pack) + " --document --from " + Quote(Probe) + " -o " + Quote(dir.Path() / "none"), &out), 0);
  EXPECT_NE(out.find("not a book"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.Path() / "none"));
}

// The story a new book was given: "page" lines, and "[chapter" / "]" around chapters.
std::vector<std::string> StoryOf(const fs::path& system) {
  const std::string story = ReadFile(system / "Story.xml");
  std::vector<std::string> out;
  std::regex entry(R"re(<item Page="([^"]*)"|<item Pagename="([^"]*)">|</item>)re");
  for (std::sregex_iterator it(story.begin(), story.end(), entry), end; it != end; ++it)
    out.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].matched ? "[" + (*it)[2].str() : "]");
  return out;
}

// An EPUB becomes a book: its files the content, its spine the story, its table of contents the
// chapters and names; made by pandoc, by hand (EPUB 2, an NCX of nested chapters), and by others.
// --new writes titles that look like references so that they read as written, and makes both
// of its folders or neither.
TEST(NewBook, TitlesReadAsWrittenAndBothFoldersOrNeither) {
  TTempDir dir;
  std::string out;
  // An EPUB whose title and author hold what reads as references.
  const std::string title = "Save 50%{X} now: %{BOOKTITLE}, %%{Y} and 100%", author = "%{AUTHOR} Smith";
  WriteEpub(dir.Path() / "odd.epub",
            {{"mimetype", "application/epub+zip"},
             {"META-INF/container.xml", "<?xml version=\"1.0\"?><container xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">"
                                        "<rootfiles><rootfile full-path=\"book.opf\"/></rootfiles></container>"},
             {"book.opf", "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"2.0\"><metadata "
                          "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>" + title + "</dc:title><dc:creator>" + author +
                          "</dc:creator></metadata><manifest><item id=\"a\" href=\"a.xhtml\" media-type=\"application/xhtml+xml\"/>"
                          "</manifest><spine><itemref idref=\"a\"/></spine></package>"},
             {"a.xhtml", "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>A</title></head><body><p>a</p></body></html>"}});
  ASSERT_EQ(Shell(Quote(Pack) + " --new " + Quote(dir.Path() / "book") + " --epub " + Quote(dir.Path() / "odd.epub"), &out), 0) << out;
  EXPECT_EQ(Shell(Quote(Pack) + " --check --system " + Quote(dir.Path() / "book" / "system") + " --content " + Quote(dir.Path() / "book" / "content"),
                  &out), 0)
      << out;
  EXPECT_EQ(out, "0 errors, 0 notes\n");
  const TVariables variables(ReadFile(dir.Path() / "book" / "system" / "Variables.xml"), true);
  EXPECT_EQ(variables.Substitute("%{BOOKTITLE} by %{AUTHOR}"), title + " by " + author);

  // OUT/system is a file: refused before anything is kept, and OUT/content is not left behind.
  const std::string epub = (fs::path(QUIRELLE_SOURCE_DIR) / "tests" / "data" / "epub3-samples" / "wasteland.epub").string();
  WriteFile(dir.Path() / "out" / "system", "");
  EXPECT_EQ(Shell(Quote(Pack) + " --new " + Quote(dir.Path() / "out") + " --epub " + Quote(epub), &out), 1);
  EXPECT_NE(out.find((dir.Path() / "out" / "system").string() + ": exists and is not a folder"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.Path() / "out" / "content"));
  fs::remove(dir.Path() / "out" / "system");
  EXPECT_EQ(Shell(Quote(Pack) + " --new " + Quote(dir.Path() / "out") + " --epub " + Quote(epub), &out), 0) << out;
  EXPECT_TRUE(fs::is_directory(dir.Path() / "out" / "content") && fs::is_directory(dir.Path() / "out" / "system"));
}

// Hostile EPUBs: entity declarations (a few bytes that expand to gigabytes as text is read) are
// refused in every document read; a title or label is cut at 1,000 characters with a note; a
// manifest of 200,000 items, half of them naming one file again, is read once per file.
TEST(NewBook, HostileEpubsAreRefusedOrBounded) {
  TTempDir dir;
  const std::string container = "<?xml version=\"1.0\"?><container xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">"
                                "<rootfiles><rootfile full-path=\"book.opf\"/></rootfiles></container>";
  // One flat entity, no nesting: libxml2's own guard lets it pass, yet a thousand references to it
  // in an attribute cost time quadratic in their number when the attribute is read.
  const std::string bomb = "<!DOCTYPE x [<!ENTITY e \"" + std::string(200, 'e') + "\">]>";
  std::string refs;
  for (int i = 0; i < 1000; ++i) refs += "&e;";
  auto opf = [](const std::string& doctype, const std::string& title, const std::string& items, const std::string& attribute = "x") {
    return "<?xml version=\"1.0\"?>" + doctype + "<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\"><metadata "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>" + title + "</dc:title></metadata><manifest>"
           "<item id=\"nav\" href=\"nav.xhtml\" properties=\"nav\" media-type=\"application/xhtml+xml\"/>"
           "<item id=\"a\" href=\"a.xhtml\" media-type=\"application/xhtml+xml\" title=\"" + attribute + "\"/>" + items +
           "</manifest><spine><itemref idref=\"a\"/></spine></package>";
  };
  auto nav = [](const std::string& doctype, const std::string& label) {
    return "<?xml version=\"1.0\"?>" + doctype + "<html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\">"
           "<body><nav epub:type=\"toc\"><ol><li><a href=\"a.xhtml\">" + label + "</a></li></ol></nav></body></html>";
  };
  auto read = [&](const std::string& packageDocument, const std::string& navDocument) {
    WriteEpub(dir.Path() / "x.epub", {{"mimetype", "application/epub+zip"}, {"META-INF/container.xml", container}, {"book.opf", packageDocument},
                                      {"nav.xhtml", navDocument}, {"a.xhtml", "<html xmlns=\"http://www.w3.org/1999/xhtml\"><body>a</body></html>"}});
    return ReadEpub(ReadFile(dir.Path() / "x.epub"));
  };
  for (const auto& [name, package, navigation] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"an attribute", opf(bomb, "t", "", refs), nav("", "A")},
           {"the title", opf(bomb, refs, ""), nav("", "A")},
           {"the navigation document", opf("", "t", ""), nav(bomb, refs)}}) {
    try {
      read(package, navigation);
      ADD_FAILURE() << name << ": read";
    } catch (const EEpubError& e) {
      EXPECT_NE(e.Message().find("declares entities in its DTD, which an EPUB may not"), std::string::npos) << name << ": " << e.Message();
    }
  }
  std::string label;
  for (int i = 0; i < 700; ++i) label += "\xC3\xA9t";  // 1,400 characters, 2,100 bytes
  TEpub epub = read(opf("", label, ""), nav("", label));
  EXPECT_EQ(epub.Title.size(), 1500u);  // 500 two-byte letters and 500 t: 1,000 characters, none split
  ASSERT_EQ(epub.Toc.size(), 1u);
  EXPECT_EQ(epub.Toc[0].Title, epub.Title);
  ASSERT_EQ(epub.Notes.size(), 1u);
  EXPECT_EQ(epub.Notes[0], "2 titles or labels of the EPUB held more than 1000 characters: cut to the first 1000");

  std::string items;
  for (int i = 0; i < 200000; ++i) items += "<item id=\"i" + std::to_string(i) + "\" href=\"f" + std::to_string(i % 100000) + ".png\"/>";
  epub = read(opf("", "t", items), nav("", "A"));
  EXPECT_EQ(epub.Files.size(), 2u);  // the files the container has: the rest are named only
  EXPECT_EQ(epub.Spine, std::vector<std::string>{"a.xhtml"});
}

TEST(NewBook, FromEpubsOfEveryMaker) {
  TTempDir dir;
  std::string out;
  auto newBook = [&](const fs::path& epub, const std::string& name) {
    const int rc = Shell(Quote(Pack) + " --new " + Quote(dir.Path() / name) + " --epub " + Quote(epub), &out);
    if (rc != 0) return rc;
    return Shell(Quote(Pack) + " --check --system " + Quote(dir.Path() / name / "system") + " --content " + Quote(dir.Path() / name / "content"), &out);
  };
  WriteFile(dir.Path() / "book.md", "---\ntitle: Der Zaunkönig\nauthor: Ada Example\n---\n\n# Erster Teil\n\nSiehe [Teil zwei](#zwei).\n\n"
                                    "## Am Ufer\n\nEin Vogel.\n\n# Zweiter Teil {#zwei}\n\nDie Wiese.\n\n## Die Blumen\n\nZurück zum [Anfang](#erster-teil).\n\n"
                                    "# Dritter Teil\n\nEnde.\n");
  ASSERT_EQ(Shell("pandoc --epub-chapter-level=2 " + Quote(dir.Path() / "book.md") + " -o " + Quote(dir.Path() / "pandoc.epub"), &out), 0) << out;
  ASSERT_EQ(newBook(dir.Path() / "pandoc.epub", "pandoc"), 0) << out;
  EXPECT_NE(("\n" + out).find("\n0 errors,"), std::string::npos) << out;
  EXPECT_EQ(StoryOf(dir.Path() / "pandoc" / "system"),
            (std::vector<std::string>{"\\EPUB\\text\\title_page.xhtml", "[Erster Teil", "\\EPUB\\text\\ch001.xhtml", "\\EPUB\\text\\ch002.xhtml", "]",
                                      "[Zweiter Teil", "\\EPUB\\text\\ch003.xhtml", "\\EPUB\\text\\ch004.xhtml", "]", "\\EPUB\\text\\ch005.xhtml"}));
  EXPECT_NE(ReadFile(dir.Path() / "pandoc" / "system" / "Variables.xml").find("$Ada Example<"), std::string::npos);
  EXPECT_NE(ReadFile(dir.Path() / "pandoc" / "system" / "Story.xml").find("Pagename=\"Die Blumen\""), std::string::npos);

  const std::string container = "<?xml version=\"1.0\"?><container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">"
                                "<rootfiles><rootfile full-path=\"OPS/book.opf\" media-type=\"application/oebps-package+xml\"/></rootfiles></container>";
  auto doc = [](const std::string& title, const std::string& body) {
    return "<?xml version=\"1.0\"?><html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>" + title + "</title></head><body>" + body + "</body></html>";
  };
  const std::string opf =
      "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"2.0\"><metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
      "<dc:title>By hand</dc:title><dc:creator>Me</dc:creator></metadata><manifest>"
      "<item id=\"ncx\" href=\"toc.ncx\" media-type=\"application/x-dtbncx+xml\"/>"
      "<item id=\"a\" href=\"text/a.xhtml\" media-type=\"application/xhtml+xml\"/><item id=\"b\" href=\"text/part%201/b.xhtml\" media-type=\"application/xhtml+xml\"/>"
      "<item id=\"c\" href=\"text/part%201/c.xhtml\" media-type=\"application/xhtml+xml\"/><item id=\"d\" href=\"text/d.xhtml\" media-type=\"application/xhtml+xml\"/>"
      "<item id=\"css\" href=\"style.css\" media-type=\"text/css\"/></manifest><spine toc=\"ncx\"><itemref idref=\"a\"/><itemref idref=\"b\"/>"
      "<itemref idref=\"c\"/><itemref idref=\"d\"/></spine></package>";
  auto point = [](const std::string& label, const std::string& src, const std::string& inner = "") {
    return "<navPoint><navLabel><text>" + label + "</text></navLabel><content src=\"" + src + "\"/>" + inner + "</navPoint>";
  };
  const std::string ncx = "<?xml version=\"1.0\"?><ncx xmlns=\"http://www.daisy.org/z3986/2005/ncx/\"><navMap>" + point("Opening", "text/a.xhtml") +
                          point("Part one", "text/part%201/b.xhtml", point("Be", "text/part%201/b.xhtml#x") + point("Sea", "text/part%201/c.xhtml")) +
                          point("Closing", "text/d.xhtml") + "</navMap></ncx>";
  std::vector<std::pair<std::string, std::string>> files{
      {"mimetype", "application/epub+zip"}, {"META-INF/container.xml", container}, {"OPS/book.opf", opf}, {"OPS/toc.ncx", ncx},
      {"OPS/style.css", "p { margin: 0 }"},
      {"OPS/text/a.xhtml", doc("a", "<link rel=\"stylesheet\" href=\"../style.css\"/><a href=\"part%201/c.xhtml#top\">c</a>")},
      {"OPS/text/part 1/b.xhtml", doc("b", "<p id=\"x\">b</p>")}, {"OPS/text/part 1/c.xhtml", doc("c", "<a href=\"../d.xhtml\">d</a>")},
      {"OPS/text/d.xhtml", doc("d", "<a href=\"a.xhtml\">a</a>")}};
  WriteEpub(dir.Path() / "hand.epub", files);
  ASSERT_EQ(newBook(dir.Path() / "hand.epub", "hand"), 0) << out;
  EXPECT_EQ(out, "mfs:\\OPS\\toc.ncx: note: No page, story entry or form reaches this file\n0 errors, 1 note\n");
  EXPECT_EQ(StoryOf(dir.Path() / "hand" / "system"),
            (std::vector<std::string>{"\\OPS\\text\\a.xhtml", "[Part one", "\\OPS\\text\\part 1\\b.xhtml", "\\OPS\\text\\part 1\\c.xhtml", "]",
                                      "\\OPS\\text\\d.xhtml"}));
  EXPECT_NE(ReadFile(dir.Path() / "hand" / "system" / "Story.xml").find("Pagename=\"Sea\""), std::string::npos);

  for (const char* sample : {"childrens-literature", "wasteland", "internallinks"}) {
    EXPECT_EQ(newBook(fs::path(QUIRELLE_SOURCE_DIR) / "tests" / "data" / "epub3-samples" / (std::string(sample) + ".epub"), sample), 0) << sample << out;
    EXPECT_NE(("\n" + out).find("\n0 errors,"), std::string::npos) << sample << out;
  }

  // Damage names the part at fault, and leaves no folder behind.
  auto damaged = [&](const std::vector<std::pair<std::string, std::string>>& with, const std::string& says) {
    WriteEpub(dir.Path() / "bad.epub", with);
    fs::remove_all(dir.Path() / "bad");
    EXPECT_EQ(Shell(Quote(Pack) + " --new " + Quote(dir.Path() / "bad") + " --epub " + Quote(dir.Path() / "bad.epub"), &out), 1);
    EXPECT_NE(out.find(says), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(dir.Path() / "bad" / "content")) << says;
  };
  damaged({{"mimetype", "application/epub+zip"}}, "The EPUB's container lacks \"META-INF/container.xml\"");
  damaged({files[0], files[1], {"OPS/book.opf", opf.substr(0, 200)}}, "The EPUB's package document OPS/book.opf is damaged: it is not well-formed XML");
  std::string lost = opf;
  lost.replace(lost.find("idref=\"d\""), 9, "idref=\"z\"");
  damaged({files[0], files[1], {"OPS/book.opf", lost}}, "its spine names an item the manifest lacks");
  WriteFile(dir.Path() / "bad.epub", "PK not a zip at all");
  EXPECT_EQ(Shell(Quote(Pack) + " --new " + Quote(dir.Path() / "bad") + " --epub " + Quote(dir.Path() / "bad.epub"), &out), 1);
  EXPECT_NE(out.find("bad.epub: The EPUB's container is damaged: it is no ZIP archive"), std::string::npos) << out;
}

// What the packer must never do to the author's files, each shown by the packer as its own process.
TEST(PackerSafety, NeverLosesOrDamagesTheAuthorsFiles) {
  TTempDir dir;
  const fs::path book = dir.Path() / "book";
  std::string out;
  WriteFile(dir.Path() / "sys" / "System.xml", "<System Story=\"Story.xml\"/>");
  WriteFile(dir.Path() / "sys" / "Story.xml", "<S><i page=\"\\a.htm\"/></S>");
  WriteFile(dir.Path() / "content" / "a.htm", "<p>a</p>");

  // An existing BOOK.part link is neither written through nor reused.
  WriteFile(dir.Path() / "precious", "keep me");
  fs::create_symlink(dir.Path() / "precious", dir.Path() / "book.part");
  ASSERT_EQ(PackBook(dir.Path() / "sys", dir.Path() / "content", book, out), 0) << out;
  EXPECT_EQ(ReadFile(dir.Path() / "precious"), "keep me");
  EXPECT_EQ(fs::status(dir.Path() / "precious").permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_FALSE(fs::is_symlink(book));
  EXPECT_NE(fs::status(book).permissions() & fs::perms::owner_exec, fs::perms::none);

  // --extract leaves an existing out.part folder alone.
  WriteFile(dir.Path() / "out.part" / "mine.txt", "mine");
  ASSERT_EQ(Shell(Quote(Pack) + " --extract " + Quote(book) + " " + Quote(dir.Path() / "out"), &out), 0) << out;
  EXPECT_EQ(ReadFile(dir.Path() / "out.part" / "mine.txt"), "mine");
  EXPECT_EQ(ReadFile(dir.Path() / "out" / "content" / "a.htm"), "<p>a</p>");

  // A backslash in a file name is refused at packing time, naming the file.
  WriteFile(dir.Path() / "bad" / "a\\b.htm", "x");
  EXPECT_EQ(PackBook(dir.Path() / "sys", dir.Path() / "bad", dir.Path() / "b2", out), 1);
  EXPECT_NE(out.find("a\\b.htm: a backslash in a name cannot be packed"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.Path() / "b2"));

  // Links are followed inside the source folder only.
  fs::create_directories(dir.Path() / "linked");
  WriteFile(dir.Path() / "linked" / "a.htm", "<p>a</p>");
  fs::create_symlink("a.htm", dir.Path() / "linked" / "same.htm");
  ASSERT_EQ(PackBook(dir.Path() / "sys", dir.Path() / "linked", dir.Path() / "b3", out), 0) << out;
  fs::create_symlink("/proc/self/environ", dir.Path() / "linked" / "env.htm");
  EXPECT_EQ(PackBook(dir.Path() / "sys", dir.Path() / "linked", dir.Path() / "b4", out), 1);
  EXPECT_NE(out.find("env.htm: a link that leads outside the source folder cannot be packed"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.Path() / "b4"));

  // More than an image can hold is refused before anything is read or written (a sparse file).
  fs::create_directories(dir.Path() / "huge");
  { std::ofstream(dir.Path() / "huge" / "big.bin"); }
  fs::resize_file(dir.Path() / "huge" / "big.bin", std::uintmax_t{0x80000000});
  EXPECT_EQ(PackBook(dir.Path() / "sys", dir.Path() / "huge", dir.Path() / "b5", out), 1);
  EXPECT_NE(out.find("big.bin: a book image holds at most 2147450880 bytes"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.Path() / "b5"));
}

// No output lands on what the run reads: not an input file, not a file inside an input folder,
// whether named directly, through a link, or as a hard link; nothing is touched.
TEST(PackerSafety, OutputNeverOverwritesWhatTheRunReads) {
  TTempDir dir;
  const fs::path b = dir.Path() / "b", p = dir.Path() / "p";
  WriteFile(b / "system" / "System.xml", "<System Story=\"Story.xml\"/>");
  WriteFile(b / "system" / "Story.xml", "<S><i page=\"\\index.htm\"/></S>");
  WriteFile(p / "index.htm", "<p>mine</p>");
  fs::create_symlink(p / "index.htm", dir.Path() / "link.htm");
  fs::create_symlink(p, dir.Path() / "pages");
  auto before = [&] { return ReadFile(p / "index.htm") + ReadFile(b / "system" / "System.xml") + ReadFile(b / "system" / "Story.xml"); };
  const std::string original = before();
  std::string out;
  const std::string pack = Quote(Pack) + " --document --system " + Quote(b / "system") + " --content " + Quote(p) + " -o ";
  struct TCase { const char* name; fs::path output; const char* says; };
  for (const TCase& c : {TCase{"a page", p / "index.htm", "inside the content folder"},
                         TCase{"System.xml", b / "system" / "System.xml", "inside the system folder"},
                         TCase{"a new file in a source folder", p / "new.qbook", "inside the content folder"},
                         TCase{"the content folder itself", p, "is the content folder"},
                         TCase{"a link to a page", dir.Path() / "link.htm", "inside the content folder"},
                         TCase{"through a linked folder", dir.Path() / "pages" / "x.qbook", "inside the content folder"},
                         TCase{"with dot segments", p / ".." / "p" / "index.htm", "inside the content folder"}}) {
    EXPECT_EQ(Shell(pack + Quote(c.output), &out), 1) << c.name;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.name << ": " << out;
    EXPECT_NE(out.find(c.output.string() + ": "), std::string::npos) << c.name << ": " << out;  // names both
    EXPECT_NE(out.find((c.output.string().find("system") != std::string::npos ? b / "system" : p).string() + "\""), std::string::npos)
        << c.name << ": " << out;
    EXPECT_EQ(before(), original) << c.name;
  }
  EXPECT_TRUE(fs::is_symlink(dir.Path() / "link.htm"));
  EXPECT_FALSE(fs::exists(p / "new.qbook"));
  ASSERT_EQ(Shell(pack + Quote(dir.Path() / "book.qbook"), &out), 0) << out;

  // --from: the output is never the book read.
  EXPECT_EQ(Shell(Quote(Pack) + " --document --from " + Quote(dir.Path() / "book.qbook") + " -o " + Quote(dir.Path() / "book.qbook"), &out), 1);
  EXPECT_NE(out.find("is the book named by --from"), std::string::npos) << out;
  fs::create_hard_link(dir.Path() / "book.qbook", dir.Path() / "hard.qbook");
  EXPECT_EQ(Shell(Quote(Pack) + " --document --from " + Quote(dir.Path() / "book.qbook") + " -o " + Quote(dir.Path() / "hard.qbook"), &out), 1);
  EXPECT_NE(out.find("is the book named by --from"), std::string::npos) << out;
  // --extract and --new never write inside what they read.
  EXPECT_EQ(Shell(Quote(Pack) + " --extract " + Quote(dir.Path() / "book.qbook") + " " + Quote(dir.Path() / "book.qbook"), &out), 1);
  EXPECT_NE(out.find("is the book"), std::string::npos) << out;
  EXPECT_EQ(Shell(Quote(Pack) + " --new " + Quote(p) + " --content " + Quote(p), &out), 1);
  EXPECT_NE(out.find("inside the folder of pages"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(p / "system"));
  EXPECT_EQ(before(), original);
}

TEST(PackerSafety, ExtractRefusesNamesThatWouldLandOnOneDiskName) {
  TTempDir dir;
  std::string out;
  // 0x81 and 0x8D are undefined in Windows-1252: both names become U+FFFD on disk.
  TMFS content;
  content.Session()->CreateFile("\\x\x81.htm", 0, false)->Data = "first";
  content.Session()->CreateFile("\\x\x8D.htm", 0, false)->Data = "second";
  const std::string cab = BuildCabinet({{"info.mfs", content.SaveToString(), DosDateTimeNow(), 0x20}});
  WriteFile(dir.Path() / "content.cab", cab);
  WriteFile(dir.Path() / "sys" / "System.xml", "<System/>");
  WriteFile(dir.Path() / "sys" / "Story.xml", "<Story/>");
  ASSERT_EQ(PackBook(dir.Path() / "sys", dir.Path() / "content.cab", dir.Path() / "book", out), 0) << out;
  EXPECT_EQ(Shell("LC_ALL=C.UTF-8 " + Quote(Pack) + " --extract " + Quote(dir.Path() / "book") + " " + Quote(dir.Path() / "out"), &out), 1);
  EXPECT_NE(out.find("\"content\\x\\x81.htm\" and \"content\\x\\x8D.htm\" would both be written as \"x\xEF\xBF\xBD.htm\""), std::string::npos)
      << out;
  EXPECT_FALSE(fs::exists(dir.Path() / "out"));
}

TEST(PackedBook, ErrorsNameTheFileAndLeaveNoOutput) {
  TTempDir dir;
  std::string out;
  fs::path book = dir.Path() / "book";
  WriteFile(dir.Path() / "not.cab", "hello");
  EXPECT_NE(PackBook(dir.Path() / "not.cab", Sample / "content", book, out), 0);
  EXPECT_NE(out.find("not.cab: not a Cabinet file"), std::string::npos) << out;
  EXPECT_NE(PackBook(dir.Path() / "missing", Sample / "content", book, out), 0);
  EXPECT_NE(out.find("missing: no such folder or file"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(book));
  EXPECT_FALSE(fs::exists(book.string() + ".part"));
  // A name the code page named cannot hold.
  WriteFile(dir.Path() / "src" / "\xE4\xB8\xAD.htm", "x");
  EXPECT_NE(Shell("LANG=C " + Quote(Pack) + " --code-page 1252 --viewer " + Quote(Probe) + " --system " + Quote(dir.Path() / "src") +
                    " --content " + Quote(dir.Path() / "src") + " -o " + Quote(book), &out), 0);
  EXPECT_NE(out.find(".htm: the name cannot be written in code page 1252"), std::string::npos) << out;
  // The output never replaces an input.
  fs::copy_file(Probe, dir.Path() / "viewer");
  EXPECT_NE(PackBook(Sample / "system", Sample / "content", dir.Path() / "viewer", out, (dir.Path() / "viewer").string()), 0);
  EXPECT_EQ(ReadFile(dir.Path() / "viewer"), ReadFile(Probe));
  EXPECT_EQ(Shell(Quote(Pack) + " --help", &out), 0);
  EXPECT_NE(Shell(Quote(Pack) + " --bogus", &out), 0);
}

class GcabInterop : public ::testing::Test {
protected:
  // A cabinet made by gcab -c -z of the named files, each holding the given bytes.
  std::string GcabCabinet(const std::vector<std::pair<std::string, std::string>>& files) {
    fs::path src = FDir.Path() / "src";
    fs::remove_all(src);
    std::string names;
    for (const auto& [name, data] : files) {
      WriteFile(src / name, data);
      names += " " + Quote(name);
    }
    std::string out;
    fs::path cab = FDir.Path() / "made.cab";
    fs::remove(cab);
    EXPECT_EQ(Shell("cd " + Quote(src) + " && " + Quote(Gcab) + " -c -z " + Quote(cab) + names, &out), 0) << out;
    return ReadFile(cab);
  }
  TTempDir FDir;
};

TEST_F(GcabInterop, CabinetsMadeByGcabLoadOrFailAsTheyShould) {
  const std::string image = ImageOfFolder(Sample / "content");
  for (const char* name : {"info.mfs", "INFO.MFS"}) {
    TMFS mfs;
    LoadCabImage(mfs, GcabCabinet({{name, image}}));
    EXPECT_EQ(mfs.SaveToString(), image) << name;
  }
  TMFS mfs;
  LoadCabImage(mfs, GcabCabinet({{"aaa.txt", "before"}, {"info.mfs", image}, {"zzz.bin", std::string(70000, 'z')}}));
  EXPECT_EQ(mfs.SaveToString(), image);
  EXPECT_THROW(LoadCabImage(mfs, GcabCabinet({{"readme.txt", "no image here"}})), EMFSError);
}

TEST_F(GcabInterop, GcabExtractsOurCabinetsByteForByte) {
  std::string big;
  for (int i = 0; i < 200000; ++i) big += static_cast<char>(i % 253);
  WriteFile(FDir.Path() / "ours.cab", Cab({{"info.mfs", big, 0x5A2C6000, 0x20}, {"second.txt", "two", 0x5A2C6000, 0x20}}));
  fs::create_directories(FDir.Path() / "x");
  std::string out;
  ASSERT_EQ(Shell("cd " + Quote(FDir.Path() / "x") + " && " + Quote(Gcab) + " -x " + Quote(FDir.Path() / "ours.cab"), &out), 0)
      << out;
  EXPECT_EQ(ReadFile(FDir.Path() / "x" / "info.mfs"), big);
  EXPECT_EQ(ReadFile(FDir.Path() / "x" / "second.txt"), "two");
}

}  // namespace

// A book in code page 1251 as a web book: each page declares the encoding it is read in, rooted
// references become relative, variables are substituted, the search index holds the text as
// UTF-8; the output never goes into a folder the run reads, nor over a folder that holds files.
TEST(WebBook, PagesKeepTheirEncodingTheirLinksAndTheirVariables) {
  TTempDir dir;
  WriteFile(dir.Path() / "system" / "System.xml", "<System Story=\"Story.xml\" Variables=\"Variables.xml\" ApplicationTitle=\"%{TITLE}\"/>");
  WriteFile(dir.Path() / "system" / "Story.xml", "<Story><item page=\"a.htm\" pagename=\"A\"/><item page=\"sub\\b.htm\" pagename=\"B\"/></Story>");
  WriteFile(dir.Path() / "system" / "Variables.xml", "<vars><var Name=\"TITLE\">$Book</var></vars>");
  // "Привет" in code page 1251, and no declaration of it.
  WriteFile(dir.Path() / "content" / "a.htm", "<html><head><title>a</title></head><body>\xCF\xF0\xE8\xE2\xE5\xF2 %{TITLE}</body></html>");
  WriteFile(dir.Path() / "content" / "sub" / "b.htm", "<html><body><img src=\"/pics/p.png\"><a href='mfs:\\a.htm#top'>a</a></body></html>");
  WriteFile(dir.Path() / "content" / "pics" / "p.png", "png");
  std::string out;
  const std::string run = Quote(QUIRELLE_PACK) + " --to-web --code-page 1251 --system " + Quote(dir.Path() / "system") + " --content " +
                          Quote(dir.Path() / "content") + " -o ";
  ASSERT_EQ(Shell(run + Quote(dir.Path() / "site"), &out), 0) << out;
  const std::string a = ReadFile(dir.Path() / "site" / "book" / "a.htm");
  EXPECT_EQ(a.rfind("<html><head><meta charset=\"windows-1251\"><script src=\"../quirelle/book.js\">", 0), 0u) << a;
  EXPECT_NE(a.find("\xCF\xF0\xE8\xE2\xE5\xF2 Book</body>"), std::string::npos) << a;
  const std::string b = ReadFile(dir.Path() / "site" / "book" / "sub" / "b.htm");
  EXPECT_NE(b.find("<img src=\"../pics/p.png\"><a href='../a.htm#top'>"), std::string::npos) << b;
  EXPECT_NE(ReadFile(dir.Path() / "site" / "quirelle" / "search.js").find("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 Book"), std::string::npos);
  const std::string book = ReadFile(dir.Path() / "site" / "quirelle" / "book.js");
  EXPECT_NE(book.find("title: \"Book\""), std::string::npos) << book;
  EXPECT_NE(book.find("{name: \"B\", parent: -1, page: \"book/sub/b.htm\", path: \"\\\\sub\\\\b.htm\"}"), std::string::npos) << book;
  // Refused: into the content folder, and over the site just written.
  EXPECT_NE(Shell(run + Quote(dir.Path() / "content" / "site"), &out), 0);
  EXPECT_NE(out.find("content"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.Path() / "content" / "site"));
  EXPECT_NE(Shell(run + Quote(dir.Path() / "site"), &out), 0);
  EXPECT_NE(out.find("exists and is not empty"), std::string::npos) << out;
}

// A hostile book whose content names a file "../../evil.png" (a name may hold "/"): the web
// export refuses it, as --extract does, and writes nothing outside its folder; the EPUB names it
// inside its own.
TEST(WebBook, ANameThatWouldLeaveTheFolderIsRefused) {
  TTempDir dir;
  auto cab = [](const std::vector<std::pair<std::string, std::string>>& files) {
    TMFS mfs;
    for (const auto& [name, data] : files) (new TMFSFile(name, &mfs, mfs.Root()))->Data = data;
    return BuildCabinet({{"info.mfs", mfs.SaveToString(), DosDateTimeNow(), 0x20}});
  };
  TBook book(TBookSource{cab({{"System.xml", "<System Story=\"Story.xml\"/>"}, {"Story.xml", "<Story><item page=\"a.htm\"/></Story>"}}),
                         cab({{"a.htm", "<p>a</p>"}, {"../../evil.png", "evil"}})});
  book.Load();
  book.JoinContentImage();
  fs::create_directories(dir.Path() / "out" / "site");
  std::vector<std::string> notes;
  try {
    ExportWeb(book, {}, dir.Path() / "out" / "site", notes);
    ADD_FAILURE() << "exported";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "File name \"../../evil.png\" is incorrect");
  }
  EXPECT_FALSE(fs::exists(dir.Path() / "evil.png"));
  EXPECT_FALSE(fs::exists(dir.Path() / "out" / "evil.png"));
  // The EPUB of the same book names it as a member of its own folder.
  ExportEpub(book, {}, dir.Path() / "out.epub", notes);
  int error = 0;
  zip_t* zip = zip_open((dir.Path() / "out.epub").c_str(), ZIP_RDONLY, &error);
  ASSERT_NE(zip, nullptr);
  bool named = false;
  for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
    const std::string name = zip_get_name(zip, static_cast<zip_uint64_t>(i), 0);
    EXPECT_EQ(name.find("../"), std::string::npos) << name;
    named = named || name.find(".._.._evil.png") != std::string::npos;
  }
  EXPECT_TRUE(named);
  zip_discard(zip);
}
