#include <gtest/gtest.h>

#include "test_util.h"

#include <functional>
#include <future>
#include <sched.h>
#include <thread>

#include "mfs/cab_test_util.h"
#include "mfs/pe_test_util.h"
#include "u_DataBlocks.h"
#include "u_ImageSource.h"
#include "u_MFSCab.h"

using namespace cab_test;
namespace fs = std::filesystem;

namespace {

TEST(LoadCabImage, LoadsTheInfoMemberWhateverItsCaseAndIgnoresOthers) {
  const std::string image = SampleImage();
  for (const char* name : {"info.mfs", "INFO.MFS"}) {
    TMFS mfs;
    LoadCabImage(mfs, Cab({{"a.txt", "first", 0x5A2C6000, 0x20}, {name, image, 0x5A2C6000, 0x20}, {"z", "", 0, 0x20}}));
    EXPECT_EQ(mfs.SaveToString(), image) << name;
  }
}

TEST(LoadCabImage, FailuresKeepTheTargetTree) {
  TMFS mfs;
  mfs.LoadFromString(SampleImage());
  EXPECT_EQ(MessageOf([&] { LoadCabImage(mfs, ""); }), "File \"\\info.cab\" is not a cabinet");
  EXPECT_EQ(MessageOf([&] { LoadCabImage(mfs, "not a cabinet at all, just some text here"); }),
            "File \"\\info.cab\" is not a cabinet");
  EXPECT_EQ(MessageOf([&] { LoadCabImage(mfs, Cab({{"other.mfs", SampleImage(), 0, 0x20}})); }),
            "File \"\\info.mfs\" not found");
  EXPECT_EQ(MessageOf([&] { LoadCabImage(mfs, Cab({{"info.mfs", "MFS0000000X", 0, 0x20}})); }),
            "Incorrect serialized format");
  EXPECT_EQ(MessageOf([&] { LoadCabImage(mfs, Spanned(Cab({{"info.mfs", SampleImage(), 0, 0x20}}))); }),
            "FDI aborted [0x000B].\r\nSpanned cabinets are unsupported now");
  EXPECT_NE(mfs.Root()->FindChild("System.xml"), nullptr);
  // A cut image fails while the tree is read: what was read so far replaces the tree.
  std::string cut = SampleImage().substr(11, 20);
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", ImageChecksum(cut));
  EXPECT_EQ(MessageOf([&] { LoadCabImage(mfs, Cab({{"info.mfs", "MFS" + std::string(digits) + cut, 0, 0x20}})); }),
            "Stream read error");
  EXPECT_EQ(mfs.Root()->FindChild("System.xml"), nullptr);
}

// The worker that unpacks the content image takes only idle processor time until it is hurried
// (the first page is shown, or someone waits for a file or the image): then its full share.
// Hurried before it starts, it never idles.
TEST(ContentImageLoad, TheWorkerIdlesUntilHurried) {
  for (const bool waitForAFile : {false, true}) {
    TContentImageLoad load;
    std::promise<int> before, after;
    std::promise<void> hurried;
    std::thread worker([&] {
      load.WorkerStarted();
      before.set_value(sched_getscheduler(0));
      hurried.get_future().wait();
      after.set_value(sched_getscheduler(0));
    });
    EXPECT_EQ(before.get_future().get(), SCHED_IDLE);
    if (waitForAFile) load.WhenProgress([] {});
    else load.Hurry();
    hurried.set_value();
    EXPECT_EQ(after.get_future().get(), SCHED_OTHER) << waitForAFile;
    worker.join();
    load.Finished();
  }

  TContentImageLoad early;
  early.Hurry();
  int policy = -1;
  std::thread([&] {
    early.WorkerStarted();
    policy = sched_getscheduler(0);
  }).join();
  EXPECT_EQ(policy, SCHED_OTHER);
}

// The content image is read from the book file only as far as the inflater has got: the first
// file is told while most of the block is still unread, and a file that shrinks meanwhile fails
// the load with the book's own message instead of giving what its unread room held.
TEST(ContentImageLoad, ReadsTheBookFileAsFarAsTheInflaterHasGot) {
  TMFS image;
  image.Session()->CreateFile("\\first.htm", 0, false)->Data = "<p>first";
  std::string noise(6 << 20, '\0');
  std::uint32_t seed = 12345;
  for (char& c : noise) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);  // does not compress
  image.Session()->CreateFile("\\rest.bin", 0, false)->Data = noise;
  const std::string content = image.SaveToString();
  TTempDir dir;
  const fs::path book = dir.Path() / "book.qbook";
  const std::string blocks = BuildDataBlocks({{"RCDATA", "FILES_MFS", Cab({{"info.mfs", content, 0, 0x20}})}}, BookDocumentHeaderSize);
  WriteFile(book, BookDocumentHeader() + blocks);

  struct TCutAtFirstFile final : IMFSLoadObserver {
    fs::path Book;
    bool Cut = false;
    std::vector<std::string> Told;
    void FileLoaded(const std::string& path, const TMFSFile&) override {
      Told.push_back(path);
      if (Cut && Told.size() == 1) fs::resize_file(Book, BookDocumentHeaderSize + (2 << 20));
    }
    void LoadAbandoned() override {}
  };
  TCutAtFirstFile whole;
  whole.Book = book;
  TMFS loaded;
  LoadContentImage(loaded, book.string(), &whole);
  EXPECT_EQ(loaded.SaveToString(), content);
  EXPECT_EQ(whole.Told, (std::vector<std::string>{"\\first.htm", "\\rest.bin"}));

  TCutAtFirstFile cut;
  cut.Book = book;
  cut.Cut = true;
  TMFS damaged;
  const std::string message = MessageOf([&] { LoadContentImage(damaged, book.string(), &cut); });
  EXPECT_NE(message.find("is incomplete"), std::string::npos) << message;
  EXPECT_EQ(cut.Told, std::vector<std::string>{"\\first.htm"});
}

TEST(DataBlocks, FoundByTypeAndNameAndMissingOnesReadEmpty) {
  TTempDir dir;
  std::string program = "#!/bin/sh\nexit 0\n";
  std::string file = program + BuildDataBlocks({{"RCDATA", "SYSTEM_MFS", "sys"}, {"#10", "FILES_MFS", "numeric type"},
                                                {"rcdata", "Files_MFS", "content"}},
                                               program.size());
  WriteFile(dir.Path() / "exe", file);
  std::string path = (dir.Path() / "exe").string();
  EXPECT_EQ(ReadDataBlock(path, "RCDATA", "SYSTEM_MFS"), "sys");
  EXPECT_EQ(ReadDataBlock(path, "RCDATA", "FILES_MFS"), "content");
  EXPECT_EQ(ReadDataBlock(path, "RCDATA", "OTHER"), "");
  EXPECT_EQ(ReadDataBlockIndex(path).ProgramSize, program.size());
  WriteFile(dir.Path() / "plain", program);
  EXPECT_EQ(ReadDataBlock((dir.Path() / "plain").string(), "RCDATA", "SYSTEM_MFS"), "");
  EXPECT_EQ(ReadDataBlockIndex((dir.Path() / "plain").string()).ProgramSize, program.size());
}

TEST(DataBlocks, BlockUnderTheNumericTypeOnlyIsNotACabinet) {
  // The book's block must be of the type named "RCDATA"; another type reads as missing.
  TTempDir dir;
  std::string cab = Cab({{"info.mfs", SampleImage(), 0, 0x20}});
  WriteFile(dir.Path() / "exe", "prog" + BuildDataBlocks({{"#10", "SYSTEM_MFS", cab}}, 4));
  TMFS mfs;
  EXPECT_EQ(MessageOf([&] { LoadCabImage(mfs, ReadDataBlock((dir.Path() / "exe").string(), "RCDATA", "SYSTEM_MFS")); }),
            "File \"\\info.cab\" is not a cabinet");
}

TEST(DataBlocks, DamagedIndexIsAnErrorNotACrash) {
  TTempDir dir;
  std::string good = "prog" + BuildDataBlocks({{"RCDATA", "A", "aaaa"}}, 4);
  std::string bigOffset = good;
  PutU32(bigOffset, bigOffset.size() - 24, 0xFFFFFF00);
  std::string bigIndex = good;
  PutU32(bigIndex, bigIndex.size() - 16, 0x7FFFFFFF);
  std::string badEntry = good;
  PutU32(badEntry, 4 + 4 + 4 + 6 + 4 + 1 + 8, 0x7FFFFFFF);  // size field of the entry
  std::string shortName = good;
  PutU32(shortName, 4 + 4, 0x7FFFFFFF);  // type length
  // One byte too many: the block would take the index's first byte as its own.
  std::string intoIndex = good;
  PutU32(intoIndex, 4 + 4 + 4 + 6 + 4 + 1 + 8, 5);
  WriteFile(dir.Path() / "exe", good);
  EXPECT_EQ(ReadDataBlock((dir.Path() / "exe").string(), "RCDATA", "A"), "aaaa");
  for (const std::string& bad : {bigOffset, bigIndex, badEntry, shortName, intoIndex}) {
    WriteFile(dir.Path() / "exe", bad);
    EXPECT_THROW(ReadDataBlock((dir.Path() / "exe").string(), "RCDATA", "A"), EDataBlockError);
  }
}

}  // namespace

namespace {

using pe_test::TResource;

std::string CauseOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message() + " | " + e.Cause();
  }
  return "<no exception>";
}

// Books made for Windows, linked by binutils: the blocks are found under the type named
// "RCDATA" in either word size, any language, beside other resources, letter case ignored.
TEST(WindowsBook, BlocksAreFoundInTheResourcesOfPE32AndPE32Plus) {
  TTempDir dir;
  const std::string sys = Cab({{"info.mfs", SampleImage(), 0, 0x20}}), content = "content bytes, odd length";
  for (const char* arch : {"x86_64", "i686"}) {
    const fs::path exe = dir.Path() / (std::string(arch) + ".exe");
    const std::string type = arch == std::string("i686") ? "RcData" : "RCDATA";
    std::string out;
    ASSERT_TRUE(pe_test::MakeWindowsExecutable(exe,
                                               {{std::uint16_t{10}, std::string("SYSTEM_MFS"), "numeric type"},
                                                {type, std::string("SYSTEM_MFS"), sys},
                                                {type, std::string("files_mfs"), content, 0x407},
                                                {std::string("OTHER"), std::uint16_t{1}, "other"}},
                                               arch, &out))
        << out;
    EXPECT_EQ(BookFileKind(exe.string()), TBookFileKind::Windows);
    EXPECT_EQ(ReadBookBlock(exe.string(), "SYSTEM_MFS"), sys) << arch;
    EXPECT_EQ(ReadBookBlock(exe.string(), "FILES_MFS"), content) << arch;
    EXPECT_EQ(ReadBookBlock(exe.string(), "OTHER"), "");
    TMFS mfs;
    LoadSystemImage(mfs, exe.string());
    EXPECT_EQ(mfs.SaveToString(), SampleImage());
  }
  // Under the numeric data type only, the blocks are not the book's.
  const fs::path numeric = dir.Path() / "numeric.exe";
  std::string out;
  ASSERT_TRUE(pe_test::MakeWindowsExecutable(numeric, {{std::uint16_t{10}, std::string("SYSTEM_MFS"), sys}}, "x86_64", &out)) << out;
  TMFS mfs;
  EXPECT_EQ(CauseOf([&] { LoadSystemImage(mfs, numeric.string()); }),
            "\"" + numeric.string() + "\" is not a book: a Windows program without the resource SYSTEM_MFS of the type named \"RCDATA\" | ");
}

// Every offset of the directory is checked: damage is a message naming the file.
TEST(WindowsBook, DamagedResourceDirectoriesAreErrorsNamingTheFile) {
  TTempDir dir;
  const fs::path exe = dir.Path() / "book.exe";
  std::string out;
  ASSERT_TRUE(pe_test::MakeWindowsExecutable(exe, {{std::string("RCDATA"), std::string("SYSTEM_MFS"), "data"}}, "i686", &out)) << out;
  const std::string good = ReadFile(exe);
  const std::size_t rsrc = pe_test::ResourceSectionOffset(good);
  ASSERT_EQ(U32(good, rsrc + 0x70 + 4), 4u);  // the one data entry, where binutils puts it
  struct TCase {
    std::size_t At;
    std::uint32_t Value;
    const char* Why;
  } cases[] = {
      {rsrc + 0x2C, 0x80000018, "its resource directories loop"},
      {rsrc + 0x44, 0x80000030, "its resource directories nest deeper than type, name and language"},
      {rsrc + 0x10, 0x80FFFFF0, "a resource name lies outside the sections of the file"},
      {rsrc + 0x74, 0x7FFFFFFF, "a resource's data lies outside the sections of the file"},
      {rsrc + 0x14, 0x00000018, "a resource type leads to data, not to a directory"},
  };
  for (const TCase& c : cases) {
    std::string bad = good;
    PutU32(bad, c.At, c.Value);
    WriteFile(exe, bad);
    EXPECT_EQ(MessageOf([&] { ReadBookBlock(exe.string(), "SYSTEM_MFS"); }), "The book file \"" + exe.string() + "\" is damaged: " + c.Why);
  }
  WriteFile(exe, good.substr(0, rsrc + 0x50));  // cut inside the directory
  EXPECT_EQ(MessageOf([&] { ReadBookBlock(exe.string(), "SYSTEM_MFS"); }),
            "The book file \"" + exe.string() + "\" is damaged: a resource name lies beyond the end of the file");
  WriteFile(exe, "MZ");
  EXPECT_EQ(MessageOf([&] { ReadBookBlock(exe.string(), "SYSTEM_MFS"); }),
            "The book file \"" + exe.string() + "\" is damaged: the DOS header lies beyond the end of the file");
  // A section table of tens of thousands (each name of a hostile directory would be looked up in
  // all of them) is more than Windows loads.
  std::string many = good;
  PutU16(many, U32(good, 0x3C) + 6, 65535);
  many.append(65535 * 40, '\0');
  WriteFile(exe, many);
  EXPECT_EQ(MessageOf([&] { ReadBookBlock(exe.string(), "SYSTEM_MFS"); }),
            "The book file \"" + exe.string() + "\" is damaged: it has 65535 sections, more than Windows loads (96)");
}

// A book document: a header instead of a program; cut short, it says so as a packed book does.
TEST(BookDocument, ReadsItsBlocksAndSaysWhatIsWrongWithIt) {
  TTempDir dir;
  const std::string sys = Cab({{"info.mfs", SampleImage(), 0, 0x20}});
  const std::string header = BookDocumentHeader();
  const std::string document = header + BuildDataBlocks({{"RCDATA", "SYSTEM_MFS", sys}, {"RCDATA", "FILES_MFS", sys}}, header.size());
  const fs::path file = dir.Path() / "book.qbook";
  WriteFile(file, document);
  EXPECT_EQ(document.compare(0, 10, "\x89QBOOK\r\n\x1A\n"), 0);
  EXPECT_EQ(BookFileKind(file.string()), TBookFileKind::Document);
  EXPECT_EQ(ReadBookBlock(file.string(), "FILES_MFS"), sys);
  EXPECT_TRUE(CarriesBook(file.string()));
  WriteFile(file, document.substr(0, header.size() + 100));
  TMFS mfs;
  EXPECT_EQ(CauseOf([&] { LoadSystemImage(mfs, file.string()); }),
            "The book file \"" + file.string() + "\" is incomplete: it ends inside the data block SYSTEM_MFS, 100 of its " +
                std::to_string(sys.size()) + " bytes there (it was cut short) | ");
  std::string later = document;
  later[10] = 2;
  WriteFile(file, later);
  EXPECT_EQ(MessageOf([&] { ReadBookBlock(file.string(), "FILES_MFS"); }),
            "The book document \"" + file.string() + "\" is of a later format than this viewer reads");
  // Anything else named as a book says it is none.
  WriteFile(file, "just some text");
  EXPECT_FALSE(CarriesBook(file.string()));
  EXPECT_EQ(CauseOf([&] { LoadSystemImage(mfs, file.string()); }),
            "\"" + file.string() + "\" is not a book: neither a book document, a packed book nor a Windows-format book | ");
}

}  // namespace
