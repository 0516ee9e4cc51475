#include <gtest/gtest.h>

#include "u_Stream.h"

namespace {

TEST(MemoryStream, IntegersBuffersAndShortReads) {
  TMemoryStream s;
  s.WriteInt32(-2);
  s.WriteUInt32(0x11223344);
  s.WriteByte(0x7F);
  s.WriteBuffer("tail");
  EXPECT_EQ(s.Data(), std::string("\xFE\xFF\xFF\xFF\x44\x33\x22\x11\x7Ftail", 13));
  s.SetPosition(0);
  EXPECT_EQ(s.ReadInt32(), -2);
  EXPECT_EQ(s.ReadUInt32(), 0x11223344u);
  EXPECT_EQ(s.ReadByte(), 0x7F);
  std::string rest;
  EXPECT_THROW(s.ReadBytes(rest, 5), EReadError);
  EXPECT_EQ(s.Position(), 9);  // a refused read moves nothing
  s.ReadBytes(rest, 4);
  EXPECT_EQ(rest, "tail");
  char c;
  EXPECT_THROW(s.ReadBuffer(&c, 1), EReadError);
  EXPECT_THROW(s.ReadBytes(rest, -1), EReadError);
}

TEST(MemoryStream, ReadOnlyViewReadsAndRefusesWrites) {
  std::string bytes = "abcdef";
  TReadOnlyMemoryStream s(bytes);
  EXPECT_EQ(s.Seek(2, TSeekOrigin::End), 4);
  std::string out;
  s.ReadBytes(out, 2);
  EXPECT_EQ(out, "ef");
  EXPECT_THROW(s.WriteBuffer("x", 1), EWriteError);
  EXPECT_THROW(s.SetSize(0), EWriteError);
  EXPECT_EQ(bytes, "abcdef");
}

TEST(MemoryStream, SetSizeAndSeekClamp) {
  TMemoryStream s(std::string("0123456789"));
  s.Seek(8, TSeekOrigin::Beginning);
  s.SetSize(4);
  EXPECT_EQ(s.Position(), 4);
  EXPECT_EQ(s.Seek(-100, TSeekOrigin::Current), 0);
  EXPECT_EQ(s.TakeData(), "0123");
}

}  // namespace
