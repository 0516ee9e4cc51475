#include <gtest/gtest.h>

#include "test_util.h"

#include "mfs/cab_test_util.h"
#include "u_DataBlocks.h"
#include "u_ImageSource.h"
#include "u_MFSCab.h"

using namespace cab_test;

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
  for (const std::string& bad : {bigOffset, bigIndex, badEntry, shortName}) {
    WriteFile(dir.Path() / "exe", bad);
    EXPECT_THROW(ReadDataBlock((dir.Path() / "exe").string(), "RCDATA", "A"), EDataBlockError);
  }
}

}  // namespace
