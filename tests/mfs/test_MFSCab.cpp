#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "test_util.h"

#include <isa-l/igzip_lib.h>

#include "mfs/cab_test_util.h"
#include "u_BookCheck.h"
#include "u_ImageSource.h"
#include "u_MFSCab.h"

using namespace cab_test;

namespace {

// A scratch image holding one cabinet at \in\book.cab.
class CabReaderTest : public ::testing::Test {
protected:
  void Put(const std::string& cab) {
    S->ForceFolders("\\in");
    S->CreateFile("\\in\\book.cab", 0, true)->Data = cab;
  }
  TMFS FMFS;
  TMFSSession* S = FMFS.Session();
};

TEST_F(CabReaderTest, ExtractsTheRequestedMemberIgnoringCaseWithItsDateAndAttributes) {
  Put(Cab({{"other.txt", "skip me", 0x5A2C6000, 0x20}, {"INFO.MFS", "the image", 0x4A215C8E, 0x21}}));
  TMFSCabReader reader(S, "in/book.cab");
  EXPECT_EQ(reader.CabinetPath(), "\\in\\book.cab");
  reader.Extract("info.mfs", "out/deeper/info.mfs");
  TMFSFile* target = S->GetFile("\\out\\deeper\\info.mfs");
  EXPECT_EQ(target->Data, "the image");
  EXPECT_EQ(target->DateTime, 0x4A215C8Eu);
  EXPECT_EQ(target->Attributes, 0x21u);
  EXPECT_EQ(reader.TargetPath(), "\\out\\deeper\\info.mfs");
  EXPECT_FALSE(S->Exists("\\out\\deeper\\other.txt"));
  EXPECT_FALSE(S->Exists("\\other.txt"));
}

TEST_F(CabReaderTest, MissingMemberExtractsNothingAndIsNoError) {
  Put(Cab({{"readme.txt", "x", 0x5A2C6000, 0x20}}));
  TMFSCabReader reader(S, "\\in\\book.cab");
  reader.Extract("info.mfs", "\\out\\info.mfs");
  EXPECT_FALSE(S->Exists("\\out"));
}

TEST_F(CabReaderTest, ReusedTargetHoldsExactlyTheMember) {
  Put(Cab({{"info.mfs", "short", 0x5A2C6000, 0x20}}));
  S->CreateFile("\\t.mfs", 0, false)->Data = "a much longer older content";
  TMFSFile* before = S->GetFile("\\t.mfs");
  TMFSCabReader(S, "\\in\\book.cab").Extract("info.mfs", "\\t.mfs");
  EXPECT_EQ(S->GetFile("\\t.mfs"), before);
  EXPECT_EQ(before->Data, "short");
}

TEST_F(CabReaderTest, LargeMemberSpanningManyBlocks) {
  std::string big;
  for (unsigned i = 0; i < 300000; ++i) big += static_cast<char>((i * 7919u) >> 3);
  Put(Cab({{"info.mfs", big, 0x5A2C6000, 0x20}}));
  TMFSCabReader(S, "\\in\\book.cab").Extract("info.mfs", "\\x");
  EXPECT_EQ(S->GetFile("\\x")->Data, big);
}

TEST_F(CabReaderTest, NotACabinetAndMissingFile) {
  for (const std::string& data : {std::string(), std::string("MSCF"), std::string("PK\3\4 this is a zip file, not a cabinet at all")}) {
    Put(data);
    EXPECT_EQ(MessageOf([&] { TMFSCabReader(S, "in/book.cab"); }), "File \"in/book.cab\" is not a cabinet");
  }
  EXPECT_EQ(MessageOf([&] { TMFSCabReader(S, "in/none.cab"); }), "File \"\\in\\none.cab\" not found");
  EXPECT_THROW(TMFSCabReader(S, "in/book.cab"), EMFSCabReaderError);
}

TEST_F(CabReaderTest, SpannedCabinetIsRefused) {
  Put(Spanned(Cab({{"info.mfs", "x", 0x5A2C6000, 0x20}})));
  TMFSCabReader reader(S, "\\in\\book.cab");
  EXPECT_EQ(MessageOf([&] { reader.Extract("info.mfs", "\\o"); }),
            "FDI aborted [0x000B].\r\nSpanned cabinets are unsupported now");
  try {
    reader.Extract("info.mfs", "\\o");
  } catch (const EMFSCabSystemError& e) {
    EXPECT_EQ(e.ErrorCode(), 11);
    EXPECT_EQ(e.ErrorType(), -1);
    EXPECT_TRUE(e.ErrorPresent());
    EXPECT_FALSE(e.Compressing());
  }
}

TEST_F(CabReaderTest, DamagedCabinetsGiveTheirMessagesNeverACrash) {
  std::string member(100000, '\0');
  for (std::size_t i = 0; i < member.size(); ++i) member[i] = static_cast<char>(i * 31 % 251);
  const std::string good = Cab({{"info.mfs", member, 0x5A2C6000, 0x20}});
  auto extract = [&](const std::string& cab) {
    Put(cab);
    return MessageOf([&] { TMFSCabReader(S, "\\in\\book.cab").Extract("info.mfs", "\\o"); });
  };
  EXPECT_EQ(extract(good), "<no exception>");

  std::string unknown = good;
  PutU16(unknown, 42, 0x000F);
  EXPECT_EQ(extract(unknown), "Unknown compression type in a cabinet folder [0x0006]");

  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 0x55;
  EXPECT_EQ(extract(flipped), "Cabinet file is corrupt [0x0004]");

  EXPECT_EQ(extract(good.substr(0, good.size() / 2)), "Cabinet file is corrupt [0x0004]");

  std::string badData = good;
  PutU32(badData, 36, 0x7FFFFFF0);  // the folder's data lies beyond the end
  EXPECT_EQ(extract(badData), "Cabinet file is corrupt [0x0004]");

  std::string badMagic = good;
  badMagic[1] = 'Z';
  EXPECT_EQ(extract(badMagic), "File \"\\in\\book.cab\" is not a cabinet");

  // Every single-byte change in the header and the first folder and file entries.
  for (std::size_t at = 0; at < 80; ++at) {
    std::string damaged = good;
    damaged[at] = static_cast<char>(damaged[at] ^ 0xA5);
    std::string m = extract(damaged);
    EXPECT_TRUE(m == "<no exception>" || m.find("cabinet") != std::string::npos || m.find("[0x") != std::string::npos)
        << at << ": " << m;
  }
}

// One Cabinet with the folders of two single-folder Cabinets (libgcab writes one folder only).
std::string TwoFolders(const std::string& a, const std::string& b) {
  auto files = [](const std::string& cab) { return cab.substr(U32(cab, 16), U32(cab, 36) - U32(cab, 16)); };
  auto data = [](const std::string& cab) { return cab.substr(U32(cab, 36)); };
  std::string filesB = files(b);
  for (std::size_t at = 0; at < filesB.size(); at = filesB.find('\0', at + 16) + 1) PutU16(filesB, at + 8, 1);
  const std::string entries = files(a) + filesB;
  std::string cab = a.substr(0, 36) + a.substr(36, 8) + b.substr(36, 8) + entries + data(a) + data(b);
  PutU16(cab, 26, 2);
  PutU16(cab, 28, static_cast<std::uint16_t>(U16(a, 28) + U16(b, 28)));
  PutU32(cab, 16, 52);
  PutU32(cab, 36, static_cast<std::uint32_t>(52 + entries.size()));
  PutU32(cab, 44, static_cast<std::uint32_t>(52 + entries.size() + data(a).size()));
  PutU32(cab, 8, static_cast<std::uint32_t>(cab.size()));
  return cab;
}

// The MSZIP fast path (ISA-L) and libmspack agree on every Cabinet: the same bytes, or the same
// message.
TEST_F(CabReaderTest, MszipFastPathGivesLibmspacksBytesAndMessages) {
  auto bytes = [](std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * seed + i / 7) % 253);
    return s;
  };
  std::string where;
  auto expected = [](const std::string& out) {
    return "<no exception>|" + (out.size() < 64 ? out : std::to_string(out.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(out)));
  };
  auto both = [&](const std::string& cab, const std::string& member) {
    std::string results[2];
    for (int fast = 0; fast < 2; ++fast) {
      SetMszipFastPath(fast == 1);
      Put(cab);
      S->CreateFile("\\o", 0, true)->Data = "stale";
      const std::string message = MessageOf([&] { TMFSCabReader(S, "\\in\\book.cab").Extract(member, "\\o"); });
      const std::string& out = S->GetFile("\\o")->Data;
      results[fast] = message + "|" + (out.size() < 64 ? out : std::to_string(out.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(out)));
    }
    SetMszipFastPath(true);
    EXPECT_EQ(results[1], results[0]) << where;
    return results[1];
  };
  // Blocks of every size up to a whole one, a member of zero bytes, members crossing blocks, a
  // member behind another in its folder, and several folders.
  for (std::size_t size : {0u, 1u, 100u, 32767u, 32768u, 32769u, 65536u + 4097u, 200000u})
    EXPECT_EQ(both(Cab({{"info.mfs", bytes(size, 31), 0x5A2C6000, 0x20}}), "info.mfs"), expected(bytes(size, 31)));
  const std::string folders = TwoFolders(Cab({{"a", bytes(40000, 7), 0, 0x20}}),
                                         Cab({{"info.mfs", bytes(70000, 13), 0, 0x20}, {"b", bytes(5, 3), 0, 0x20}}));
  EXPECT_EQ(both(folders, "info.mfs"), expected(bytes(70000, 13)));
  EXPECT_EQ(both(folders, "b"), expected(bytes(5, 3)));
  EXPECT_EQ(both(folders, "a"), expected(bytes(40000, 7)));
  // Damage anywhere: the header, the entries, the blocks' headers and their data.
  const std::string good = Cab({{"info.mfs", bytes(100000, 31), 0x5A2C6000, 0x20}});
  for (std::size_t at = 0; at < good.size(); at += at < 200 ? 1 : 331) {
    std::string damaged = good;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
    where = "byte " + std::to_string(at) + " of " + std::to_string(good.size());
    both(damaged, "info.mfs");
  }
  both(good.substr(0, good.size() - 100), "info.mfs");
}

// One MSZIP folder whose blocks reach back into the block before them, as encoders that keep
// their window across blocks write them (checksums left out, which the format allows).
std::string ReachingBackCabinet(const std::string& member) {
  std::string blocks;
  std::uint16_t count = 0;
  for (std::size_t at = 0; at < member.size(); at += 32768, ++count) {
    const std::string_view frame = std::string_view(member).substr(at, 32768);
    isal_zstream stream;
    isal_deflate_init(&stream);
    if (at > 0) isal_deflate_set_dict(&stream, reinterpret_cast<std::uint8_t*>(const_cast<char*>(member.data() + at - 32768)), 32768);
    stream.end_of_stream = 1;
    stream.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(frame.data()));
    stream.avail_in = static_cast<std::uint32_t>(frame.size());
    std::string packed(65536, '\0');
    stream.next_out = reinterpret_cast<std::uint8_t*>(packed.data());
    stream.avail_out = static_cast<std::uint32_t>(packed.size());
    EXPECT_EQ(isal_deflate(&stream), COMP_OK);
    EXPECT_EQ(stream.internal_state.state, ZSTATE_END);
    packed.resize(stream.total_out);
    std::string block(8, '\0');
    PutU16(block, 4, static_cast<std::uint16_t>(packed.size() + 2));
    PutU16(block, 6, static_cast<std::uint16_t>(frame.size()));
    blocks += block + "CK" + packed;
  }
  const std::string name = "info.mfs";
  std::string cab(36 + 8 + 16, '\0');
  cab.replace(0, 4, "MSCF");
  PutU32(cab, 16, 44);
  cab[24] = 3, cab[25] = 1;
  PutU16(cab, 26, 1), PutU16(cab, 28, 1);
  PutU32(cab, 36, static_cast<std::uint32_t>(60 + name.size() + 1));
  PutU16(cab, 40, count), PutU16(cab, 42, 1);
  PutU32(cab, 44, static_cast<std::uint32_t>(member.size()));
  PutU16(cab, 58, 0x20);
  cab += name + std::string(1, '\0') + blocks;
  PutU32(cab, 8, static_cast<std::uint32_t>(cab.size()));
  return cab;
}

// Long folders are inflated a share at a time on two threads, each block of the other share on
// its own: blocks that reach back into the one before, damage in a share the other thread
// inflated, and a folder cut there all come out as libmspack has them.
TEST_F(CabReaderTest, FoldersInflatedOnTwoThreadsComeOutAsInOrder) {
  std::string text;
  for (int line = 0; text.size() < 12u << 20; ++line) text += "Line " + std::to_string(line % 977) + " of a text that says the same again.\n";
  auto extracted = [&](const std::string& cab, bool fast) {
    SetMszipFastPath(fast);
    Put(cab);
    const std::string message = MessageOf([&] { TMFSCabReader(S, "\\in\\book.cab").Extract("info.mfs", "\\o"); });
    SetMszipFastPath(true);
    return message + "|" + (S->Exists("\\o") ? std::to_string(std::hash<std::string>()(S->GetFile("\\o")->Data)) : "none");
  };
  const std::string expected = "<no exception>|" + std::to_string(std::hash<std::string>()(text));
  const std::string reachingBack = ReachingBackCabinet(text);
  EXPECT_EQ(extracted(reachingBack, true), expected);
  EXPECT_EQ(extracted(reachingBack, false), expected);
  // The blocks do reach back: one inflated alone fails.
  const std::size_t second = 69 + 8 + U16(reachingBack, 69 + 4);
  std::string alone(32768, '\0');
  inflate_state state;
  isal_inflate_init(&state);
  state.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(reachingBack.data() + second + 10));
  state.avail_in = U16(reachingBack, second + 4) - 2u;
  state.next_out = reinterpret_cast<std::uint8_t*>(alone.data());
  state.avail_out = 32768;
  const bool whole = isal_inflate(&state) == ISAL_DECOMP_OK && state.avail_out == 0 && alone == text.substr(32768, 32768);
  EXPECT_FALSE(whole);

  const std::string ours = Cab({{"info.mfs", text, 0x5A2C6000, 0x20}});
  EXPECT_EQ(extracted(ours, true), expected);
  // Damage in the 100th block, which the other thread inflates, and a cut there.
  std::size_t at = U32(ours, 36);
  for (int block = 0; block < 100; ++block) at += 8 + U16(ours, at + 4);
  std::string damaged = ours;
  damaged[at + 8 + 100] ^= 0x21;
  EXPECT_EQ(extracted(damaged, true), extracted(damaged, false));
  EXPECT_EQ(extracted(ours.substr(0, at + 50), true), extracted(ours.substr(0, at + 50), false));
}

// Hears of the files of an image as they are read.
struct TLoadRecorder final : IMFSLoadObserver {
  std::vector<std::string> Loaded;
  bool Abandoned = false;
  void FileLoaded(const std::string& path, const TMFSFile& file) override { Loaded.push_back(path + ":" + std::to_string(file.Data.size())); }
  void LoadAbandoned() override { Abandoned = true; }
};

// A book image inflated straight into its tree (the fast path streaming into the parser) ends
// exactly as one extracted whole by libmspack and then loaded: the same tree, or the same
// message with the tree as it was. Damage anywhere in the Cabinet, an image whose checksum does
// not hold, and one whose body fails to parse behind a sound checksum. The image is stored in
// an order of its own (a packer's reading order): files are heard of in that order, and a load
// that fails takes back every file it told of.
TEST(CabImageLoad, StreamedIntoTheTreeAsFromLibmspack) {
  TMFS source;
  for (int i = 0; i < 12; ++i) {
    std::string data(static_cast<std::size_t>(5000 + i * 9000), '\0');
    for (std::size_t j = 0; j < data.size(); ++j) data[j] = static_cast<char>((j * (i + 3) + j / 11) % 251);
    source.Session()->ForceFolders("\\f" + std::to_string(i % 3));
    source.Session()->CreateFile("\\f" + std::to_string(i % 3) + "\\p" + std::to_string(i) + ".htm", 0, false)->Data = data;
  }
  const std::string image = source.SaveToString([](const std::string& path) -> std::size_t {
    return path == "\\f2" || path.find("p11") != std::string::npos ? 0 : path == "\\f0" ? 2 : 1;
  });
  TLoadRecorder recorder;
  auto outcome = [&recorder](const std::string& cab, bool fast) {
    SetMszipFastPath(fast);
    TMFS target;
    target.Session()->CreateFile("\\before", 0, false)->Data = "the tree as it was";
    std::string result;
    if (fast) recorder = TLoadRecorder();
    try {
      LoadCabImage(target, cab, {}, fast ? &recorder : nullptr);
      result = "loaded";
    } catch (const Exception& e) {
      result = "error: " + e.Message();
    }
    SetMszipFastPath(true);
    for (const auto& [path, file] : BookFiles(target))
      result += "|" + path + ":" + std::to_string(file->Data.size()) + ":" + std::to_string(std::hash<std::string>()(file->Data));
    return result;
  };
  std::string where;
  auto same = [&](const std::string& cab) {
    const std::string fast = outcome(cab, true);
    EXPECT_TRUE(fast.rfind("loaded", 0) == 0 ? !recorder.Abandoned : recorder.Abandoned || recorder.Loaded.empty()) << where;
    EXPECT_EQ(fast, outcome(cab, false)) << where;
    return fast;
  };
  const std::string good = Cab({{"info.mfs", image, 0x5A2C6000, 0x20}});
  EXPECT_EQ(same(good).substr(0, 10), "loaded|\\f0");
  SetMszipFastPath(true);
  outcome(good, true);
  ASSERT_EQ(recorder.Loaded.size(), 12u);
  EXPECT_EQ(recorder.Loaded.front(), "\\f2\\p11.htm:104000");
  EXPECT_EQ(recorder.Loaded[4], "\\f1\\p1.htm:14000");
  EXPECT_EQ(recorder.Loaded.back(), "\\f0\\p9.htm:86000");
  // A block whose checksum field is 0 cannot be verified: nothing from it or after it is told of
  // early (the image's own checksum still checks it all at the end, and the load succeeds).
  std::vector<std::size_t> blocks;
  for (std::size_t at = U32(good, 36), n = U16(good, 40); n > 0; --n, at += 8 + U16(good, at + 4)) blocks.push_back(at);
  ASSERT_GT(blocks.size(), 6u);
  for (const std::size_t unsummed : {blocks[0], blocks[blocks.size() - 3]}) {
    std::string cab = good;
    PutU32(cab, unsummed, 0);
    EXPECT_EQ(outcome(cab, true).substr(0, 10), "loaded|\\f0");
    EXPECT_FALSE(recorder.Abandoned);
    if (unsummed == blocks[0]) EXPECT_TRUE(recorder.Loaded.empty());
    else EXPECT_TRUE(!recorder.Loaded.empty() && recorder.Loaded.size() < 12u) << recorder.Loaded.size();
  }
  for (std::size_t at = 0; at < good.size(); at += at < 200 ? 1 : 977) {
    std::string damaged = good;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
    where = "byte " + std::to_string(at) + " of " + std::to_string(good.size());
    same(damaged);
  }
  where.clear();
  std::string badSum = image;
  badSum[image.size() / 2] ^= 1;
  EXPECT_EQ(same(Cab({{"info.mfs", badSum, 0, 0x20}})), "error: Incorrect serialized format|\\before:18:" +
                                                              std::to_string(std::hash<std::string>()("the tree as it was")));
  // A body cut short with its checksum made to match: what was read so far stands.
  std::string cut = image.substr(0, image.size() - 3000);
  cut.replace(3, 8, [&] {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", ImageChecksum(std::string_view(cut).substr(11)));
    return std::string(hex);
  }());
  const std::string partial = same(Cab({{"info.mfs", cut, 0, 0x20}}));
  EXPECT_EQ(partial.rfind("error: Stream read error|\\f1\\p1.htm:14000", 0), 0u) << partial;  // \f0 came last
  EXPECT_TRUE(recorder.Abandoned);
  EXPECT_EQ(same(Cab({{"other", image, 0, 0x20}})).rfind("error: ", 0), 0u);
  // Not an image at all, and a block far behind its start damaged: libmspack's word on the
  // block, not the format's, though the format fails first.
  std::string notAnImage = image;
  notAnImage[0] = 'X';
  std::string damagedLate = Cab({{"info.mfs", notAnImage, 0, 0x20}});
  damagedLate[damagedLate.size() - 40] ^= 0x5A;
  EXPECT_EQ(same(damagedLate).find("Incorrect serialized format"), std::string::npos);

  // A Cabinet given back to the system as it is inflated (megabytes of it, on huge pages), then
  // found damaged near its end: libmspack gets the bytes read again, and says what it says of
  // the damaged Cabinet.
  TMFS large;
  std::uint32_t x = 12345;
  std::string noise(6u << 20, '\0');
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  large.Session()->CreateFile("\\noise.bin", 0, false)->Data = noise;
  std::string bigCab = Cab({{"info.mfs", large.SaveToString(), 0, 0x20}});
  bigCab[bigCab.size() - 100] ^= 0x5A;
  std::string expected = outcome(bigCab, false);
  std::string given;
  ReserveLarge(given, bigCab.size());
  given = bigCab;
  TMFS target;
  int readAgain = 0;
  try {
    LoadCabImage(target, std::move(given), [&] {
      ++readAgain;
      return bigCab;
    });
    ADD_FAILURE() << "a damaged Cabinet loaded";
  } catch (const Exception& e) {
    EXPECT_EQ("error: " + e.Message(), expected.substr(0, expected.find('|')));
  }
  EXPECT_EQ(readAgain, 1);
}

TEST_F(CabReaderTest, MemberLengthClaimsDoNotDecideAllocations) {
  // Found by fuzzing: a member claiming 4 GiB in a cabinet of 174 bytes.
  std::string cab = Cab({{"info.mfs", "tiny content", 0x5A2C6000, 0x20}});
  std::size_t entry = U32(cab, 16);
  PutU32(cab, entry, 0xFFFFFFFF);  // the file entry's uncompressed size
  Put(cab);
  TMFSCabReader reader(S, "\\in\\book.cab");
  EXPECT_THROW(reader.Extract("info.mfs", "\\o"), EMFSCabSystemError);
  EXPECT_LT(S->GetFile("\\o")->Data.capacity(), 1u << 20);
}

// What the fuzzers found, replayed from their saved inputs with the outcome each must have: a
// clean error, the same with the fast path on and off, and no allocation the bytes do not justify.
TEST(FuzzFinds, CabinetsTheFuzzersFoundFailCleanlyAndAlike) {
  const std::filesystem::path corpus = std::filesystem::path(QUIRELLE_SOURCE_DIR) / "fuzz" / "corpus";
  struct TFind { const char* file; const char* outcome; };
  for (const TFind& f : {TFind{"fuzz_cab_load/regression-oom-member-length", "Cabinet file is corrupt [0x0004] | 0 files"},
                         TFind{"fuzz_cab_mszip/crash-1b62d45a4119d4cff5048ccc82366fb8eaa309ce", "Cabinet file is corrupt [0x0004] | 0 files"},
                         TFind{"fuzz_cab_mszip/crash-c64d01f52cc871f085a8cb5cdf6189b8ad142963", "Cabinet file is corrupt [0x0004] | 0 files"}}) {
    const std::string cab = cab_test::ReadFile(corpus / f.file);
    ASSERT_FALSE(cab.empty()) << f.file;
    std::string outcome[2];
    for (int fast = 0; fast < 2; ++fast) {
      SetMszipFastPath(fast == 1);
      TMFS mfs;
      outcome[fast] = MessageOf([&] { LoadCabImage(mfs, cab); }) + " | " + std::to_string(BookFiles(mfs).size()) + " files";
      // The member extracted on its own, as the reader does: the same message, nothing large.
      mfs.Session()->CreateFile("\\c.cab", 0, true)->Data = cab;
      EXPECT_EQ(MessageOf([&] { TMFSCabReader(mfs.Session(), "\\c.cab").Extract("info.mfs", "\\o"); }) + " | 0 files", outcome[fast])
          << f.file;
      if (mfs.Session()->Exists("\\o")) EXPECT_LT(mfs.Session()->GetFile("\\o")->Data.capacity(), 1u << 20) << f.file;
    }
    SetMszipFastPath(true);
    EXPECT_EQ(outcome[1], outcome[0]) << f.file;
    EXPECT_EQ(outcome[1], f.outcome) << f.file;
  }
}

TEST(CabReaderThreads, ReadersOnSeveralThreadsDoNotDisturbEachOther) {
  std::string member;
  for (unsigned i = 0; i < 100000; ++i) member += static_cast<char>((i * 2654435761u) >> 27);
  const std::string cab = Cab({{"info.mfs", member, 0x5A2C6000, 0x20}});
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int round = 0; round < 10; ++round) {
        TMFS mfs;
        mfs.Session()->CreateFile("\\c.cab", 0, false)->Data = cab;
        TMFSCabReader(mfs.Session(), "\\c.cab").Extract("info.mfs", "\\out");
        if (mfs.Session()->GetFile("\\out")->Data == member) ++good;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, 40);
}

TEST(CabSystemError, MessageFromTheRecord) {
  EXPECT_EQ(EMFSCabSystemError::BuildMessage({7, 0, true}, "ignored"), "Failure decompressing data from a cabinet file [0x0007]");
  EXPECT_EQ(EMFSCabSystemError::BuildMessage({8, -1, true}, "disk full"), "Failure writing to target file [0x0008].\r\ndisk full");
  EXPECT_EQ(EMFSCabSystemError::BuildMessage({42, 0, true}, ""), "FDI error [0x002A]");
  EXPECT_EQ(EMFSCabSystemError::BuildMessage({3, 0, false}, ""), "FDI error");
}

}  // namespace
