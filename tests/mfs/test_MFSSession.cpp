#include <gtest/gtest.h>

#include "test_util.h"

#include "mfs_test_util.h"
#include "u_MFS.h"

using namespace mfs_test;

namespace {

// index.htm, pages/a.htm, pages/img/b.gif and an empty folder.
class SessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    FMFS.LoadFromString(RootImage({FileRec("index.htm", "I"),
                                   FolderRec("pages", {FileRec("a.htm", "A"), FolderRec("img", {FileRec("b.gif", "B")})}),
                                   FolderRec("empty", {})}));
    S = FMFS.Session();
  }
  TMFS FMFS;
  TMFSSession* S = nullptr;
};

TEST_F(SessionTest, AbsoluteRelativeDotsAndSlashes) {
  EXPECT_EQ(S->GetFile("pages\\..\\index.htm")->Data, "I");
  EXPECT_EQ(S->GetFile("/pages/img/B.GIF")->Data, "B");
  EXPECT_EQ(S->GetFile("pages\\.\\img\\..\\a.htm")->Data, "A");
  S->ChangeFolder("pages/img");
  EXPECT_EQ(S->CurrentFolder()->Name(), "img");
  EXPECT_EQ(S->GetFile("b.gif")->Data, "B");
  EXPECT_EQ(S->GetFile("..\\a.htm")->Data, "A");
  EXPECT_EQ(S->GetFile("\\index.htm")->Data, "I");
  S->ChangeFolder("");
  EXPECT_EQ(S->CurrentFolder()->Name(), "img");
  S->ChangeFolder("\\");
  EXPECT_EQ(S->CurrentFolder(), FMFS.Root());
}

TEST_F(SessionTest, ExistsForFoldersFilesAndTrailingBackslash) {
  EXPECT_TRUE(S->Exists(""));
  EXPECT_TRUE(S->Exists("pages"));
  EXPECT_TRUE(S->Exists("pages\\"));
  EXPECT_TRUE(S->Exists("\\pages\\a.htm"));
  EXPECT_FALSE(S->Exists("\\pages\\a.htm\\"));
  EXPECT_FALSE(S->Exists("\\nothing"));
  EXPECT_FALSE(S->Exists("pages\\\\a.htm"));  // empty component
  EXPECT_FALSE(S->Exists(".."));
}

TEST_F(SessionTest, NotFoundMessagesNameThePathAsGivenAtEachStep) {
  EXPECT_EQ(MessageOf([&] { S->GetFile("pages"); }), "File \"pages\" not found");
  EXPECT_EQ(MessageOf([&] { S->GetFile("pages/nope.htm"); }), "File \"pages/nope.htm\" not found");
  EXPECT_EQ(MessageOf([&] { S->GetFile("nope/a.htm"); }), "Path \"nope\\\" not found");
  EXPECT_EQ(MessageOf([&] { S->GetFile("index.htm\\x"); }), "Path \"index.htm\\\" not found");
  EXPECT_EQ(MessageOf([&] { S->ChangeFolder("index.htm"); }), "Path \"index.htm\\\" not found");
  EXPECT_EQ(S->CurrentFolder(), FMFS.Root());
}

TEST_F(SessionTest, ExpandPathNormalises) {
  EXPECT_EQ(S->ExpandPath(""), "\\");
  EXPECT_EQ(S->ExpandPath("a/./b/../c"), "\\a\\c");
  EXPECT_EQ(S->ExpandPath("x\\"), "\\x\\");
  EXPECT_EQ(S->ExpandPath("x\\..\\"), "\\");
  EXPECT_EQ(MessageOf([&] { S->ExpandPath(".."); }), "File name \"\\..\" is incorrect");
  S->ChangeFolder("pages\\img");
  EXPECT_EQ(S->ExpandPath("..\\a.htm"), "\\pages\\a.htm");
  EXPECT_EQ(S->ExpandPath("\\abs"), "\\abs");
  EXPECT_EQ(TMFS::NormalizePath("\\a\\\\b"), "\\a\\\\b");
}

TEST(MFSPathFunctions, PureStringFunctions) {
  EXPECT_EQ(TMFS::ConvertSlashes("a/b\\c/"), "a\\b\\c\\");
  EXPECT_EQ(TMFS::IncludeTrailingBackslash(""), "");
  EXPECT_EQ(TMFS::IncludeTrailingBackslash("a"), "a\\");
  EXPECT_EQ(TMFS::IncludeTrailingBackslash("a\\"), "a\\");
  EXPECT_EQ(TMFS::ExcludeTrailingBackslash("a\\"), "a");
  EXPECT_EQ(TMFS::ExtractFilePath("\\a\\b.htm"), "\\a\\");
  EXPECT_EQ(TMFS::ExtractFilePath("b.htm"), "");
  EXPECT_EQ(TMFS::ExtractFileName("\\a\\b.htm"), "b.htm");
  EXPECT_EQ(TMFS::ExtractFileName("b.htm"), "b.htm");
  EXPECT_EQ(TMFS::ExtractFileExt("\\a.dir\\b.tar.gz"), ".gz");
  EXPECT_EQ(TMFS::ExtractFileExt("\\a.dir\\b"), "");
}

TEST_F(SessionTest, CreateFileRules) {
  TMFSFile* f = S->CreateFile("pages/img/new.png", 0xFF, false);
  EXPECT_EQ(f->Name(), "new.png");
  EXPECT_EQ(f->Parent()->Name(), "img");
  EXPECT_EQ(f->Attributes, 0x3Fu | 0x20u);
  f->Data = "keep";
  EXPECT_EQ(S->CreateFile("PAGES\\IMG\\NEW.PNG", 1, true), f);
  EXPECT_EQ(f->Data, "keep");
  EXPECT_EQ(f->Attributes, 0x3Fu);
  EXPECT_EQ(MessageOf([&] { S->CreateFile("pages/IMG/new.png", 0, false); }), "File \"pages/IMG/new.png\" already exists");
  EXPECT_EQ(MessageOf([&] { S->CreateFile("pages/img", 0, true); }), "Folder \"pages/img\" already exists");
  EXPECT_EQ(MessageOf([&] { S->CreateFile("missing/x", 0, true); }), "Path \"missing\\\" not found");
  EXPECT_EQ(MessageOf([&] { S->CreateFile("pages/", 0, true); }), "File name \"pages/\" is incorrect");
}

TEST_F(SessionTest, ForceFoldersCreatesTheWayAndStopsAtFiles) {
  TMFSFolder* deep = S->ForceFolders("pages/x/y/z\\");
  EXPECT_EQ(S->ExpandPath("pages\\x\\y\\z\\"), "\\pages\\x\\y\\z\\");
  EXPECT_EQ(S->GetFile("pages\\x\\y\\z\\..\\..\\..\\a.htm")->Data, "A");
  EXPECT_EQ(S->ForceFolders("\\PAGES\\X\\Y\\Z"), deep);
  EXPECT_EQ(S->ForceFolders(""), FMFS.Root());
  EXPECT_EQ(S->ForceFolders("\\"), FMFS.Root());
  EXPECT_EQ(MessageOf([&] { S->ForceFolders("index.htm\\sub"); }), "File \"index.htm\\\" already exists");
  EXPECT_EQ(MessageOf([&] { S->ForceFolders("new\\index.htm\\..\\..\\index.htm"); }),
            "File \"new\\index.htm\\..\\..\\index.htm\" already exists");
  // Folders made before the failure stay.
  EXPECT_TRUE(S->Exists("new\\index.htm\\"));
  EXPECT_EQ(MessageOf([&] { S->ForceFolders("\\..\\x"); }), "File name \"\\..\\\" is incorrect");
  EXPECT_FALSE(S->Exists("\\x"));
}

TEST_F(SessionTest, StreamDispositions) {
  EXPECT_EQ(MessageOf([&] { S->CreateFileStream("index.htm", 1, 0); }), "File \"index.htm\" already exists");
  {
    auto keep = S->CreateFileStream("index.htm", 4, 0);
    EXPECT_EQ(keep->Position(), 0);
    EXPECT_EQ(keep->Size(), 1);
  }
  S->CreateFileStream("index.htm", 2, 0);
  EXPECT_EQ(S->GetFile("index.htm")->Data, "");
  S->GetFile("pages\\a.htm")->Data = "AAA";
  S->CreateFileStream("pages\\a.htm", 5, 0);
  EXPECT_EQ(S->GetFile("pages\\a.htm")->Data, "");
  EXPECT_EQ(MessageOf([&] { S->CreateFileStream("none.htm", 3, 0); }), "File \"none.htm\" not found");
  EXPECT_EQ(MessageOf([&] { S->CreateFileStream("none.htm", 5, 0); }), "File \"none.htm\" not found");
  auto made = S->CreateFileStream("made.bin", 1, 0x21);
  EXPECT_EQ(S->GetFile("made.bin")->Attributes, 0x21u);
  for (int bad : {0, 6, -1})
    EXPECT_EQ(MessageOf([&] { S->CreateFileStream("x", bad, 0); }),
              "Incorrect parameters in method \"TMFSSession.CreateFileStream\"");
}

TEST_F(SessionTest, StreamReadWriteSeekAndSetSize) {
  auto s = S->CreateFileStream("f.bin", 1, 0);
  EXPECT_EQ(s->Write("hello", 5), 5);
  char buf[8] = {};
  EXPECT_EQ(s->Read(buf, 8), 0);  // at the end
  EXPECT_EQ(s->Seek(1, TSeekOrigin::End), 4);
  EXPECT_EQ(s->Read(buf, 8), 1);
  EXPECT_EQ(buf[0], 'o');
  EXPECT_EQ(s->Seek(0, TSeekOrigin::End), 5);
  EXPECT_EQ(s->Seek(-10, TSeekOrigin::Current), 0);
  EXPECT_EQ(s->Seek(99, TSeekOrigin::Beginning), 5);
  EXPECT_EQ(s->Seek(-3, TSeekOrigin::End), 5);
  EXPECT_EQ(s->Seek(2, 0), 2);
  EXPECT_EQ(s->Seek(100, 7), 2);  // unknown origin
  EXPECT_EQ(s->Write("LLOW", 4), 4);
  EXPECT_EQ(S->GetFile("f.bin")->Data, "heLLOW");
  s->SetSize(3);
  EXPECT_EQ(s->Position(), 3);
  EXPECT_EQ(S->GetFile("f.bin")->Data, "heL");
  s->SetSize(5);
  EXPECT_EQ(s->Size(), 5);
  EXPECT_EQ(s->Position(), 3);
}

TEST_F(SessionTest, StreamsShareContentButNotPosition) {
  auto a = S->CreateFileStream("pages\\a.htm", 3, 0);
  auto b = S->CreateFileStream("pages\\a.htm", 3, 0);
  a->Seek(0, TSeekOrigin::End);
  a->Write("xyz", 3);
  EXPECT_EQ(b->Position(), 0);
  std::string all(4, '\0');
  EXPECT_EQ(b->Read(all.data(), 4), 4);
  EXPECT_EQ(all, "Axyz");
  b->SetSize(1);
  EXPECT_EQ(a->Read(all.data(), 4), 0);  // a lies beyond the new end
  a->Seek(0, TSeekOrigin::Current);
  EXPECT_EQ(a->Position(), 1);
}

TEST_F(SessionTest, DeleteOnCloseGoesWithTheLastStream) {
  auto a = S->CreateFileStream("pages\\..\\t.tmp", 1, MFSDeleteOnCloseFlag);
  auto b = S->GetFile("t.tmp")->CreateStream();
  EXPECT_TRUE(S->GetFile("t.tmp")->DeleteOnClose);
  a.reset();
  EXPECT_TRUE(S->Exists("t.tmp"));
  b.reset();
  EXPECT_FALSE(S->Exists("t.tmp"));
  // The flag also applies to an existing file.
  S->CreateFileStream("index.htm", 3, MFSDeleteOnCloseFlag);
  EXPECT_FALSE(S->Exists("index.htm"));
}

TEST_F(SessionTest, StreamOutlivingItsFileIsHarmless) {
  auto s = S->CreateFileStream("pages\\a.htm", 3, 0);
  S->CreateFile("other", 0, false);
  FMFS.Root()->FindChild("pages")->AsFolder()->ClearItems();
  EXPECT_EQ(s->File(), nullptr);
  char c;
  EXPECT_EQ(s->Read(&c, 1), 0);
  EXPECT_EQ(s->Write("x", 1), 0);
  EXPECT_THROW(s->WriteBuffer("x", 1), EWriteError);
  EXPECT_EQ(s->Size(), 0);
}

TEST_F(SessionTest, ReplacingAnEntryFreesTheOldOne) {
  auto* replacement = new TMFSFile("PAGES", &FMFS, FMFS.Root());
  EXPECT_EQ(FMFS.Root()->FindChild("pages"), replacement);
  // The listing keeps the first spelling of the key; the entry has its own name.
  EXPECT_EQ(FMFS.Root()->Items.GetKeys(), (std::vector<std::string>{"empty", "index.htm", "pages"}));
  EXPECT_EQ(FMFS.Root()->FindChild("pages")->Name(), "PAGES");
  EXPECT_FALSE(S->Exists("pages\\a.htm"));
  delete replacement;  // leaves its folder
  EXPECT_EQ(FMFS.Root()->FindChild("pages"), nullptr);
}

TEST_F(SessionTest, SessionsKeepTheirOwnFolder) {
  auto other = FMFS.CreateSession(FMFS.Root()->FindChild("pages")->AsFolder());
  EXPECT_EQ(other->GetFile("a.htm")->Data, "A");
  EXPECT_FALSE(S->Exists("a.htm"));
  auto atRoot = FMFS.CreateSession();
  EXPECT_EQ(atRoot->CurrentFolder(), FMFS.Root());
}

}  // namespace
