// Named data blocks carried at the end of an executable. The blocks follow the program's own
// bytes, then an index, then a fixed trailer that points at the index:
//   index:   per block  u32 type length, type, u32 name length, name, u64 offset, u64 size
//   trailer: u64 index offset, u64 index size, the 8 bytes "QRLBLK01"
// Offsets count from the start of the file. A file without the trailer has no blocks.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "u_Errors.h"
#include "u_PEResources.h"

class EDataBlockError : public Exception { using Exception::Exception; };
// The file as a whole is no book a reader can open (missing, a folder, empty, not a book, cut
// short): its message says so in the reader's words and needs no place in the book after it.
class EBookFileError : public EDataBlockError { using EDataBlockError::EDataBlockError; };

struct TDataBlock {
  std::string Type;  // "RCDATA" for the book's blocks
  std::string Name;
  std::string Data;
};

struct TDataBlockEntry {
  std::string Type;
  std::string Name;
  std::uint64_t Offset = 0;
  std::uint64_t Size = 0;
};

inline constexpr const char* DataBlockMagic = "QRLBLK01";
inline constexpr std::size_t DataBlockTrailerSize = 24;

// The index of a file's blocks, and where the program's own bytes end (the file size when there
// are no blocks). A damaged index raises EDataBlockError.
struct TDataBlockIndex {
  std::vector<TDataBlockEntry> Entries;
  std::uint64_t ProgramSize = 0;
};
TDataBlockIndex ReadDataBlockIndex(const std::string& fileName);

// The bytes of the block of that type and name (names and types ignore letter case), or empty
// bytes when the file has no such block.
std::string ReadDataBlock(const std::string& fileName, const std::string& type, const std::string& name);

// Blocks and index to append to the program's own bytes (which end at programSize).
std::string BuildDataBlocks(const std::vector<TDataBlock>& blocks, std::uint64_t programSize);
// Only what follows the blocks' data: the index and the trailer. Writers that send the program
// and each block's data on their own append this last, without joining everything in memory.
std::string DataBlockIndex(const std::vector<TDataBlock>& blocks, std::uint64_t programSize);

// A book document: the blocks and their index as above, after a fixed header instead of a
// program, so that desktops know the file by its first bytes and nothing takes it for a program.
// The header is the signature, then the format's version (16 bits), then 4 bytes kept zero.
inline constexpr std::string_view BookDocumentSignature{"\x89QBOOK\r\n\x1A\n", 10};
inline constexpr std::size_t BookDocumentHeaderSize = 16;
std::string BookDocumentHeader();

// What carries a book: blocks after a program (a packed book), a book document, or the
// resources of a Windows executable (a Windows-format book). None for anything else, such as the
// viewer's own program without blocks.
enum class TBookFileKind { None, Packed, Document, Windows };

// A file that may carry a book, its kind chosen once from its first bytes (and, after a
// program, its block index). Each kind finds, reads and judges its blocks its own way; the rest
// of the viewer and the tools ask only this.
class TBookContainer {
 public:
  virtual ~TBookContainer() = default;
  TBookFileKind Kind() const { return FKind; }
  const std::string& FileName() const { return FFileName; }
  // Whether the book has a block of type "RCDATA" with that name, without reading it.
  virtual bool HasBlock(const std::string& name) = 0;
  // Where that block's bytes lie in the file, or nothing when there is none. A damaged index
  // or resource directory raises EDataBlockError naming the file.
  virtual std::optional<TFileRange> BlockRange(const std::string& name) = 0;
  // The bytes of that block, or empty bytes when there is none.
  std::string ReadBlock(const std::string& name);
  // Why a block cannot be what it should be, in plain words, or empty when the file looks whole:
  // a book cut short loses the index at its end, and its blocks then seem absent.
  virtual std::string Damage() { return {}; }

  // For the kinds; OpenBookContainer chooses which.
  TBookContainer(std::string fileName, TBookFileKind kind, std::ifstream in, std::uint64_t size, std::string head);

 protected:
  std::string ReadAt(std::uint64_t offset, std::uint64_t size);
  std::string FFileName;
  TBookFileKind FKind;
  std::ifstream FIn;
  std::uint64_t FSize;
  std::string FHead;  // the first bytes, as many as any kind's header takes
};

// A block read from its file only as far as its reader has got: its room is taken at once and
// its bytes come in steps, so that a reader of the first bytes (a book's first page) need not
// wait for the rest, nor share the processor with reading it.
class TArrivingBlock {
 public:
  // Raises EDataBlockError when the file cannot be opened.
  TArrivingBlock(const std::string& fileName, TFileRange range);
  // All of the block's room; only the first Ready() bytes have been read.
  std::string_view Bytes() const { return {FData.get(), FSize}; }
  std::size_t Ready() const { return FReady; }
  // Reads on until at least upTo bytes (or all) are in, and says how many are: fewer when the
  // file no longer holds them.
  std::size_t Need(std::size_t upTo);
  // The bytes before upTo are needed no more: their memory goes back to the system.
  void Release(std::size_t upTo);

 private:
  std::ifstream FIn;
  std::uint64_t FOffset;
  std::size_t FSize;
  std::size_t FReady = 0;
  bool FFailed = false;
  std::unique_ptr<char[]> FData;
};

// The container of the file; one that cannot be opened raises EDataBlockError naming it.
std::unique_ptr<TBookContainer> OpenBookContainer(const std::string& fileName);

// Shorthands over OpenBookContainer for one question each.
TBookFileKind BookFileKind(const std::string& fileName);  // None also when the file cannot be opened
std::string ReadBookBlock(const std::string& fileName, const std::string& name);
// Whether the file carries a book, whole or damaged: a plain viewer carries none.
bool CarriesBook(const std::string& fileName);
std::string BookFileDamage(const std::string& fileName);  // empty also when the file cannot be opened

// What keeps the file from being a book, in words a reader can act on, naming the file: it does
// not exist, is a folder, cannot be read, is empty, was changed in transfer, is cut short or is
// not a book at all. Empty for a book, also one whose block is damaged inside (the block's own
// failure says more there).
std::string BookFileProblem(const std::string& fileName);

// Path of the running executable.
std::string OwnExecutablePath();
