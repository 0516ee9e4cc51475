#include "u_DataBlocks.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "u_CodePage.h"
#include "u_PEResources.h"
#include "u_Stream.h"

namespace {

constexpr std::uint64_t MaxIndexSize = 1 << 20;

std::uint64_t ReadU64(TStream& s) {
  std::uint64_t lo = s.ReadUInt32();
  std::uint64_t hi = s.ReadUInt32();
  return hi << 32 | lo;
}

void WriteU64(TStream& s, std::uint64_t v) {
  s.WriteUInt32(static_cast<std::uint32_t>(v));
  s.WriteUInt32(static_cast<std::uint32_t>(v >> 32));
}

std::string ReadAt(std::ifstream& in, std::uint64_t offset, std::uint64_t size) {
  std::string bytes;
  ReserveLarge(bytes, static_cast<std::size_t>(size));
  bytes.resize(static_cast<std::size_t>(size));
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  if (!in) throw EDataBlockError("Cannot read the data blocks");
  return bytes;
}

}  // namespace

TDataBlockIndex ReadDataBlockIndex(const std::string& fileName) {
  TDataBlockIndex index;
  std::ifstream in(fileName, std::ios::binary | std::ios::ate);
  if (!in) throw EDataBlockError("Cannot open \"" + fileName + "\"");
  auto fileSize = static_cast<std::uint64_t>(in.tellg());
  index.ProgramSize = fileSize;
  if (fileSize < DataBlockTrailerSize) return index;
  TMemoryStream trailer(ReadAt(in, fileSize - DataBlockTrailerSize, DataBlockTrailerSize));
  if (trailer.Data().compare(16, 8, DataBlockMagic) != 0) return index;
  std::uint64_t indexOffset = ReadU64(trailer);
  std::uint64_t indexSize = ReadU64(trailer);
  std::uint64_t indexEnd = fileSize - DataBlockTrailerSize;
  if (indexSize > MaxIndexSize || indexOffset > indexEnd || indexSize != indexEnd - indexOffset)
    throw EDataBlockError("The data block index is damaged");
  TMemoryStream s(ReadAt(in, indexOffset, indexSize));
  index.ProgramSize = indexOffset;
  try {
    while (s.Remaining() > 0) {
      TDataBlockEntry e;
      s.ReadBytes(e.Type, s.ReadInt32());
      s.ReadBytes(e.Name, s.ReadInt32());
      e.Offset = ReadU64(s);
      e.Size = ReadU64(s);
      if (e.Offset > indexOffset || e.Size > indexOffset - e.Offset)
        throw EDataBlockError("The data block index is damaged");
      index.ProgramSize = std::min(index.ProgramSize, e.Offset);
      index.Entries.push_back(std::move(e));
    }
  } catch (const EReadError&) {
    throw EDataBlockError("The data block index is damaged");
  }
  return index;
}

namespace {

std::string BlockOf(const std::string& fileName, const TDataBlockIndex& index, const std::string& type, const std::string& name) {
  for (const TDataBlockEntry& e : index.Entries) {
    if (!SameText(e.Type, type) || !SameText(e.Name, name)) continue;
    std::ifstream in(fileName, std::ios::binary);
    return ReadAt(in, e.Offset, e.Size);
  }
  return {};
}

bool IsBookDocument(std::string_view head) { return head.substr(0, BookDocumentSignature.size()) == BookDocumentSignature; }


}  // namespace

std::string ReadDataBlock(const std::string& fileName, const std::string& type, const std::string& name) {
  return BlockOf(fileName, ReadDataBlockIndex(fileName), type, name);
}

std::string BookDocumentHeader() {
  std::string header(BookDocumentSignature);
  AppendLittleEndian(header, 1, 2);
  header.resize(BookDocumentHeaderSize, '\0');
  return header;
}

std::string DataBlockIndex(const std::vector<TDataBlock>& blocks, std::uint64_t programSize) {
  TMemoryStream index;
  std::uint64_t offset = programSize;
  for (const TDataBlock& b : blocks) {
    index.WriteInt32(static_cast<std::int32_t>(b.Type.size()));
    index.WriteBuffer(b.Type);
    index.WriteInt32(static_cast<std::int32_t>(b.Name.size()));
    index.WriteBuffer(b.Name);
    WriteU64(index, offset);
    WriteU64(index, b.Data.size());
    offset += b.Data.size();
  }
  const std::uint64_t indexSize = index.Data().size();
  WriteU64(index, offset);
  WriteU64(index, indexSize);
  index.WriteBuffer(DataBlockMagic);
  return index.TakeData();
}

std::string BuildDataBlocks(const std::vector<TDataBlock>& blocks, std::uint64_t programSize) {
  const std::string index = DataBlockIndex(blocks, programSize);
  std::size_t size = index.size();
  for (const TDataBlock& b : blocks) size += b.Data.size();
  std::string out;
  out.reserve(size);
  for (const TDataBlock& b : blocks) out += b.Data;
  out += index;
  return out;
}

// ---------------------------------------------------------------- the three kinds of container

TBookContainer::TBookContainer(std::string fileName, TBookFileKind kind, std::ifstream in, std::uint64_t size, std::string head)
    : FFileName(std::move(fileName)), FKind(kind), FIn(std::move(in)), FSize(size), FHead(std::move(head)) {}

std::string TBookContainer::ReadBlock(const std::string& name) {
  const std::optional<TFileRange> range = BlockRange(name);
  return range ? ReadAt(range->Offset, range->Size) : std::string();
}

std::string TBookContainer::ReadAt(std::uint64_t offset, std::uint64_t size) {
  FIn.clear();
  return ::ReadAt(FIn, offset, size);
}

namespace {

// A Windows executable: the blocks are resources of the type named "RCDATA".
class TWindowsBook final : public TBookContainer {
 public:
  using TBookContainer::TBookContainer;
  bool HasBlock(const std::string& name) override { return BlockRange(name).has_value(); }
  std::optional<TFileRange> BlockRange(const std::string& name) override {
    try {
      return FindNamedPEResource(FSize, [&](std::uint64_t offset, std::size_t size) { return ReadAt(offset, size); }, "RCDATA", name);
    } catch (const EPEResourceError& e) {
      throw EDataBlockError("The book file \"" + FFileName + "\" is damaged: " + e.Message());
    }
  }
};

// Blocks with an index at the end, after what the kind puts first.
class TBlocksBook : public TBookContainer {
 public:
  using TBookContainer::TBookContainer;
  bool HasBlock(const std::string& name) override {
    const TDataBlockIndex& index = Index();
    return std::any_of(index.Entries.begin(), index.Entries.end(),
                       [&](const TDataBlockEntry& e) { return SameText(e.Type, "RCDATA") && SameText(e.Name, name); });
  }
  std::optional<TFileRange> BlockRange(const std::string& name) override {
    for (const TDataBlockEntry& e : Index().Entries)
      if (SameText(e.Type, "RCDATA") && SameText(e.Name, name)) return TFileRange{e.Offset, e.Size};
    return std::nullopt;
  }
  std::string Damage() override;

 protected:
  // Where the first block begins: 0 when the file shows no place for blocks at all.
  virtual std::uint64_t BlocksStart() = 0;
  const TDataBlockIndex& Index() {
    if (!FIndex) FIndex = ReadDataBlockIndex(FFileName);
    return *FIndex;
  }

 private:
  std::optional<TDataBlockIndex> FIndex;
};

// A packed book: blocks after the viewer's program (an ELF file), or a plain program without any.
class TPackedBook final : public TBlocksBook {
 public:
  using TBlocksBook::TBlocksBook;

 private:
  std::uint64_t BlocksStart() override;
};

// A book document: blocks after a fixed header, whose version must be one this viewer reads.
class TDocumentBook final : public TBlocksBook {
 public:
  using TBlocksBook::TBlocksBook;
  std::optional<TFileRange> BlockRange(const std::string& name) override {
    if (FHead.size() < BookDocumentHeaderSize)
      throw EBookFileError("The book document \"" + FFileName + "\" is incomplete: it ends inside its header (it was cut short)");
    if (LittleEndianAt(FHead, BookDocumentSignature.size(), 2) != 1)
      throw EBookFileError("The book document \"" + FFileName + "\" is of a later format than this viewer reads");
    if (Index().ProgramSize < BookDocumentHeaderSize) throw EDataBlockError("The data block index is damaged");
    return TBlocksBook::BlockRange(name);
  }

 private:
  std::uint64_t BlocksStart() override { return BookDocumentHeaderSize; }
};

// Where an ELF file's own bytes end: its header tables, which the linker writes last. 0 when the
// bytes are no ELF file of ours.
std::uint64_t ElfEnd(const std::string& head) {
  if (head.size() < 64 || head.compare(0, 4, "\x7F" "ELF") != 0 || head[5] != 1) return 0;  // little-endian only
  if (head[4] == 2) {  // 64-bit
    const std::uint64_t ph = LittleEndianAt(head, 0x20, 8) + LittleEndianAt(head, 0x36, 2) * LittleEndianAt(head, 0x38, 2);
    const std::uint64_t sh = LittleEndianAt(head, 0x28, 8) + LittleEndianAt(head, 0x3A, 2) * LittleEndianAt(head, 0x3C, 2);
    return std::max(ph, sh);
  }
  if (head[4] == 1) {  // 32-bit
    const std::uint64_t ph = LittleEndianAt(head, 0x1C, 4) + LittleEndianAt(head, 0x2A, 2) * LittleEndianAt(head, 0x2C, 2);
    const std::uint64_t sh = LittleEndianAt(head, 0x20, 4) + LittleEndianAt(head, 0x2E, 2) * LittleEndianAt(head, 0x30, 2);
    return std::max(ph, sh);
  }
  return 0;
}

std::uint64_t TPackedBook::BlocksStart() { return ElfEnd(FHead); }

std::string TBlocksBook::Damage() {
  try {
    if (!Index().Entries.empty()) return {};  // an index that holds: the file is whole
  } catch (const EDataBlockError&) {
    return "the book file is damaged: the index of its data blocks does not fit the file";
  }
  // Blocks follow the program (an ELF file) and each begins with its Cabinet's own size, so the
  // block that was cut can be named.
  const std::uint64_t programEnd = BlocksStart();
  if (programEnd == 0 || FSize <= programEnd) return {};  // no book data at all: a plain viewer
  // The blocks as the packer writes them: SYSTEM_MFS, then FILES_MFS, each a Cabinet whose header
  // gives its size; then the index.
  std::uint64_t at = programEnd;
  for (const char* block : {"SYSTEM_MFS", "FILES_MFS"}) {
    if (FSize - at < 12) return std::string("the book file is incomplete: it ends inside the data block ") + block + " (it was cut short)";
    const std::string head = ReadAt(at, 12);
    if (head.compare(0, 4, "MSCF") != 0) return {};
    const std::uint64_t size = LittleEndianAt(head, 8, 4);
    if (size > FSize - at)
      return std::string("the book file is incomplete: it ends inside the data block ") + block + ", " +
             std::to_string(FSize - at) + " of its " + std::to_string(size) + " bytes there (it was cut short)";
    at += size;
  }
  return "the book file is incomplete: it ends before the index of its data blocks (it was cut short)";
}

}  // namespace

std::unique_ptr<TBookContainer> OpenBookContainer(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary | std::ios::ate);
  if (!in) throw EDataBlockError("Cannot open \"" + fileName + "\": " + std::strerror(errno));
  const auto size = static_cast<std::uint64_t>(in.tellg());
  std::string head = ReadAt(in, 0, std::min<std::uint64_t>(size, 64));
  if (IsPEFile(head)) return std::make_unique<TWindowsBook>(fileName, TBookFileKind::Windows, std::move(in), size, std::move(head));
  if (IsBookDocument(head)) return std::make_unique<TDocumentBook>(fileName, TBookFileKind::Document, std::move(in), size, std::move(head));
  TBookFileKind kind;
  try {
    kind = ReadDataBlockIndex(fileName).Entries.empty() ? TBookFileKind::None : TBookFileKind::Packed;
  } catch (const EDataBlockError&) {
    kind = TBookFileKind::Packed;  // its index is damaged, but it has one
  }
  return std::make_unique<TPackedBook>(fileName, kind, std::move(in), size, std::move(head));
}

TBookFileKind BookFileKind(const std::string& fileName) {
  try {
    return OpenBookContainer(fileName)->Kind();
  } catch (const EDataBlockError&) {
    return TBookFileKind::None;
  }
}

TArrivingBlock::TArrivingBlock(const std::string& fileName, TFileRange range)
    : FIn(fileName, std::ios::binary), FOffset(range.Offset), FSize(static_cast<std::size_t>(range.Size)) {
  if (!FIn) throw EDataBlockError("Cannot open \"" + fileName + "\"");
  // Not initialised: untouched room costs nothing until its bytes arrive.
  FData.reset(new char[std::max<std::size_t>(FSize, 1)]);
  AdviseHugePages(FData.get(), FSize);
}

std::size_t TArrivingBlock::Need(std::size_t upTo) {
  if (upTo <= FReady || FFailed) return FReady;
  // In steps of a megabyte at least: few reads, and little read ahead of the reader.
  constexpr std::size_t step = std::size_t{1} << 20;
  const std::size_t want = std::min(FSize, std::max(upTo, FReady + step)) - FReady;
  FIn.clear();
  FIn.seekg(static_cast<std::streamoff>(FOffset + FReady));
  FIn.read(FData.get() + FReady, static_cast<std::streamsize>(want));
  const auto got = static_cast<std::size_t>(std::max<std::streamsize>(FIn.gcount(), 0));
  FReady += got;
  FFailed = got < want;
  return FReady;
}

void TArrivingBlock::Release(std::size_t upTo) { ReleaseLargeFront(FData.get(), FSize, std::min(upTo, FReady)); }

std::string ReadBookBlock(const std::string& fileName, const std::string& name) {
  return OpenBookContainer(fileName)->ReadBlock(name);
}

bool CarriesBook(const std::string& fileName) {
  const std::unique_ptr<TBookContainer> book = OpenBookContainer(fileName);
  return book->Kind() != TBookFileKind::None || !book->Damage().empty();
}

std::string BookFileDamage(const std::string& fileName) {
  try {
    return OpenBookContainer(fileName)->Damage();
  } catch (const EDataBlockError&) {
    return {};
  }
}

std::string BookFileProblem(const std::string& fileName) {
  const std::string named = "\"" + fileName + "\"";
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0)
    return errno == ENOENT || errno == ENOTDIR ? "The file " + named + " does not exist"
                                               : "The file " + named + " cannot be read: " + std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return named + " is a folder, not a book: choose the book file inside it";
  if (!S_ISREG(st.st_mode)) return named + " is not a book: it is not a file";
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return "The file " + named + " cannot be read: " + std::strerror(errno);
  if (st.st_size == 0) return "The file " + named + " is empty: it is not a book";
  const std::string head = ReadAt(in, 0, std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), 64));
  // The signature's bytes exist to show what a transfer in text mode does: line ends turned
  // (CR LF to LF or back), the top bit cleared.
  if (!IsBookDocument(head) && head.size() >= 6 && head.compare(1, 5, "QBOOK") == 0)
    return "The book document " + named + " was changed in transfer (its line ends or 8-bit bytes were converted, as a transfer "
           "in text mode does): transfer it again as a binary file";
  if (IsBookDocument(head) && static_cast<std::uint64_t>(st.st_size) <= BookDocumentHeaderSize)
    return "The book document " + named + " is incomplete: it ends " + (head.size() < BookDocumentHeaderSize ? "inside" : "after") +
           " its header (it was cut short)";
  if (IsBookDocument(head) && LittleEndianAt(head, BookDocumentSignature.size(), 2) != 1)
    return "The book document " + named + " is of a later format than this viewer reads";
  const std::unique_ptr<TBookContainer> book = OpenBookContainer(fileName);
  if (std::string damage = book->Damage(); !damage.empty())
    return "The book file " + named + damage.substr(std::string_view("the book file").size());
  switch (book->Kind()) {
    case TBookFileKind::None:
      return named + " is not a book: neither a book document, a packed book nor a Windows-format book";
    case TBookFileKind::Windows:
      try {
        if (!book->HasBlock("SYSTEM_MFS"))
          return named + " is not a book: a Windows program without the resource SYSTEM_MFS of the type named \"RCDATA\"";
      } catch (const EDataBlockError& e) {
        return e.Message();  // its resource directory is damaged: that message names the file
      }
      return {};
    default: return {};
  }
}

std::string OwnExecutablePath() {
  std::string path(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) throw EDataBlockError("Cannot find the program's own file");
  path.resize(static_cast<std::size_t>(n));
  return path;
}
