#include <gtest/gtest.h>

#include "test_util.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "mfs_test_util.h"
#include "u_CodePage.h"
#include "u_MFS.h"

using namespace mfs_test;

namespace {

std::vector<std::string> Names(const TMFSFolder* f) { return f->Items.GetKeys(); }

TEST(ImageChecksum, WorkedExamplesAndPadding) {
  EXPECT_EQ(ImageChecksum(""), 0u);
  EXPECT_EQ(ImageChecksum("abc"), 0x40C6C4C2u);
  EXPECT_EQ(ImageChecksum("abc "), 0x40C6C4C2u);  // padding is spaces
  EXPECT_EQ(ImageChecksum("abcdefgh"), 0x625C564Eu);
  EXPECT_NE(ImageChecksum("abcdefg"), ImageChecksum(std::string_view("abcdefg\0", 8)));
}

TEST(ImageHeader, BadMagicAndChecksumAreRejectedAndLeaveTheTree) {
  TMFS mfs;
  mfs.LoadFromString(RootImage({FileRec("keep.txt", "x")}));
  std::string good = RootImage({FileRec("a", "1")});
  std::string lower = good;
  for (std::size_t i = 3; i < 11; ++i) lower[i] = static_cast<char>(std::tolower(lower[i]));
  ASSERT_NE(lower, good) << "checksum needs a letter digit for this test";
  std::string badMagic = good;
  badMagic[0] = 'm';
  std::string flipped = good;
  flipped.back() ^= 1;
  for (const std::string& bad : {lower, badMagic, flipped, std::string("MFS"), std::string("MFS0000000"), std::string()}) {
    EXPECT_EQ(MessageOf([&] { mfs.LoadFromString(bad); }), "Incorrect serialized format");
    EXPECT_NE(mfs.Root()->FindChild("keep.txt"), nullptr);
  }
}

TEST(ImageHeader, ElevenByteImageWithZeroChecksumFailsReadingTheRoot) {
  TMFS mfs;
  EXPECT_EQ(MessageOf([&] { mfs.LoadFromString("MFS00000000"); }), "Stream read error");
}

TEST(ImageLoad, TreeDatesAttributesAndContent) {
  TMFS mfs;
  mfs.LoadFromString(RootImage({FolderRec("pages", {FileRec("a.htm", "<p>A</p>", 0x12345678), FileRec("empty", "")}),
                                FileRec("System.xml", "<System/>")}));
  TMFSFolder* root = mfs.Root();
  EXPECT_EQ(Names(root), (std::vector<std::string>{"pages", "System.xml"}));
  TMFSFolder* pages = root->FindChild("PAGES")->AsFolder();
  ASSERT_NE(pages, nullptr);
  EXPECT_EQ(pages->Parent(), root);
  TMFSFile* a = pages->FindChild("A.HTM")->AsFile();
  EXPECT_EQ(a->Data, "<p>A</p>");
  EXPECT_EQ(a->DateTime, 0x12345678u);
  EXPECT_EQ(a->Attributes, 0x20u);
  EXPECT_EQ(pages->FindChild("empty")->AsFile()->Data, "");
  EXPECT_EQ(pages->FindChild("."), pages);
  EXPECT_EQ(pages->FindChild(".."), root);
  EXPECT_EQ(root->FindChild(".."), nullptr);
}

TEST(ImageLoad, LaterSiblingReplacesNamesakeAndNegativeCountIsEmpty) {
  TMFS mfs;
  std::string negative = "D" + Common("neg", 0, 0x10) + Int32(-3);
  mfs.LoadFromString(RootImage({FolderRec("Dup", {FileRec("old", "1")}), FileRec("dup", "new"), negative}));
  ASSERT_EQ(mfs.Root()->Items.Count(), 2);
  TMFSItem* dup = mfs.Root()->FindChild("DUP");
  EXPECT_EQ(dup->Name(), "dup");
  EXPECT_EQ(dup->AsFile()->Data, "new");
  EXPECT_EQ(mfs.Root()->FindChild("neg")->AsFolder()->Items.Count(), 0);
}

TEST(ImageLoad, TypeByteDecidesTheClassAndAttributesAreKept) {
  TMFS mfs;
  std::string weird = "F" + Common("f", 1, 0x10) + Int32(1) + "z";
  // Bytes after the root record are ignored, though the checksum covers them.
  mfs.LoadFromString(Image(FolderRec("", {weird}, false) + "trailing bytes"));
  TMFSItem* f = mfs.Root()->FindChild("f");
  EXPECT_FALSE(f->IsFolder());
  EXPECT_EQ(f->Attributes, 0x10u);
}

TEST(ImageLoad, BadRecordsFailWithFormatOrReadErrors) {
  TMFS mfs;
  EXPECT_EQ(MessageOf([&] { mfs.LoadFromString(RootImage({"X" + Common("x", 0, 0)})); }), "Incorrect serialized format");
  std::string cut = FolderRec("", {FileRec("a", "0123456789")}, false);
  cut.resize(cut.size() - 3);
  EXPECT_EQ(MessageOf([&] { mfs.LoadFromString(Image(cut)); }), "Stream read error");
  EXPECT_EQ(MessageOf([&] { mfs.LoadFromString(Image(FolderRec("", {"F" + Int32(-1)}, false))); }), "Stream read error");
}

TEST(ImageLoad, LengthFieldsBeyondTheDataFailWithoutAllocating) {
  // Tiny images claiming a 2 GB name, a 2 GB file and 2 billion children.
  TMFS mfs;
  EXPECT_EQ(MessageOf([&] { mfs.LoadFromString(Image(Int32(0x7FFFFFF0) + "abc")); }), "Stream read error");
  std::string big = "F" + Common("big", 0, 0x20) + Int32(0x7FFFFFFF) + "tiny";
  EXPECT_EQ(MessageOf([&] { mfs.LoadFromString(Image(FolderRec("", {big}, false))); }), "Stream read error");
  EXPECT_EQ(MessageOf([&] { mfs.LoadFromString(Image(FolderRec("", {}, false).substr(0, 12) + Int32(0x7FFFFFFF))); }),
            "Stream read error");
}

TEST(ImageLoad, FailureMidwayKeepsTheCompletedChildrenOnly) {
  TMFS mfs;
  std::string body = FolderRec("", {FileRec("first", "1"), FolderRec("half", {FileRec("inner", "2")})}, false);
  body.resize(body.size() - 2);  // cut inside "inner"
  EXPECT_EQ(MessageOf([&] { mfs.LoadFromString(Image(body)); }), "Stream read error");
  EXPECT_EQ(Names(mfs.Root()), std::vector<std::string>{"first"});
}

TEST(ImageRoundTrip, WriterReproducesLoadedImagesByteForByte) {
  // Children in name order, as the writer lists them.
  std::string image = RootImage({FileRec("A.txt", "text", 0x11223344),
                                 FolderRec("b", {FolderRec("sub", {}), FileRec("x", std::string("\0\1\2", 3))}),
                                 FileRec("c", "")});
  TMFS mfs;
  mfs.LoadFromString(image);
  EXPECT_EQ(mfs.SaveToString(), image);
  TMemoryStream out;
  mfs.SaveToStream(out);
  EXPECT_EQ(out.Data(), image);
}

TEST(ImageRoundTrip, BuiltTreeSavesInNameOrderAndLoadsBack) {
  TMFS built;
  TMFSSession* s = built.Session();
  s->CreateFile("\\z.htm", 0, false)->Data = "zz";
  s->ForceFolders("\\Pics\\Small")->DateTime = 0x01020304;
  s->CreateFile("\\pics\\a.gif", 0, false)->Data = std::string(1000, 'g');
  s->CreateFile("\\B.css", 0, false);
  std::string image = built.SaveToString();
  TMFS loaded;
  loaded.LoadFromString(image);
  EXPECT_EQ(Names(loaded.Root()), (std::vector<std::string>{"B.css", "Pics", "z.htm"}));
  EXPECT_EQ(loaded.Session()->GetFile("pics/a.gif")->Data, std::string(1000, 'g'));
  EXPECT_EQ(loaded.Session()->ForceFolders("\\pics\\small")->DateTime, 0x01020304u);
  EXPECT_EQ(loaded.SaveToString(), image);
}

TEST(ImageLimits, DeepFoldersLoadSaveAndFreeWithoutRecursion) {
  const int depth = 100000;
  std::string body;
  for (int i = 0; i < depth; ++i) body += (i ? "D" : "") + Common(i ? "d" : "", 0, 0x10) + Int32(1);
  body += FileRec("leaf", "L");
  auto mfs = std::make_unique<TMFS>();
  mfs->LoadFromString(Image(body));
  const TMFSFolder* f = mfs->Root();
  int levels = 0;
  while (f->FindChild("d")) {
    f = f->FindChild("d")->AsFolder();
    ++levels;
  }
  EXPECT_EQ(levels, depth - 1);
  EXPECT_EQ(mfs->SaveToString(), Image(body));
  mfs.reset();
  // And a deep image cut short: the open folders are freed without recursion.
  TMFS again;
  EXPECT_EQ(MessageOf([&] { again.LoadFromString(Image(body.substr(0, body.size() - 5))); }), "Stream read error");
}

class SaveToDiskTest : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() /
           ("quirelle-mfs-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(FDir);
  }
  void TearDown() override { std::filesystem::remove_all(FDir); }
  static std::string Slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::filesystem::path FDir;
};

TEST_F(SaveToDiskTest, WritesFoldersAndFilesWithUtf8Names) {
  int saved = BookCodePage();
  SetBookCodePage(1252);
  TMFS mfs;
  mfs.LoadFromString(RootImage({FolderRec("d\xE9j\xE0", {FileRec("a.htm", "A")}), FileRec("b", std::string("\0b", 2))}));
  mfs.Root()->SaveToDisk(FDir);
  EXPECT_EQ(Slurp(FDir / "d\xC3\xA9j\xC3\xA0" / "a.htm"), "A");
  EXPECT_EQ(Slurp(FDir / "b"), std::string("\0b", 2));
  // A single file creates its missing folders and replaces what is there.
  mfs.Root()->FindChild("b")->SaveToDisk(FDir / "x" / "y" / "b2");
  mfs.Root()->FindChild("b")->SaveToDisk(FDir / "x" / "y" / "b2");
  EXPECT_EQ(Slurp(FDir / "x" / "y" / "b2"), std::string("\0b", 2));
  // A later entry of the same name in other letters replaces the earlier under its own name.
  TMFS twice;
  twice.LoadFromString(RootImage({FileRec("Page.htm", "first"), FileRec("PAGE.htm", "second")}));
  twice.Root()->SaveToDisk(FDir / "twice");
  EXPECT_EQ(std::filesystem::directory_iterator(FDir / "twice")->path().filename(), "PAGE.htm");
  EXPECT_EQ(Slurp(FDir / "twice" / "PAGE.htm"), "second");
  SetBookCodePage(saved);
}

TEST_F(SaveToDiskTest, RefusesNamesThatWouldLeaveTheTargetFolder) {
  for (const std::string& evil : {std::string(".."), std::string("a/../../x"), std::string("a\\b"), std::string("")}) {
    TMFS mfs;
    mfs.LoadFromString(RootImage({FolderRec("ok", {FileRec(evil, "pwned")})}));
    EXPECT_THROW(mfs.Root()->SaveToDisk(FDir / "out"), EMFSError) << evil;
    EXPECT_FALSE(std::filesystem::exists(FDir / "x"));
    EXPECT_FALSE(std::filesystem::exists(FDir / "pwned"));
  }
}

}  // namespace
