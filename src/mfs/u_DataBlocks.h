// Named data blocks carried at the end of an executable. The blocks follow the program's own
// bytes, then an index, then a fixed trailer that points at the index:
//   index:   per block  u32 type length, type, u32 name length, name, u64 offset, u64 size
//   trailer: u64 index offset, u64 index size, the 8 bytes "QRLBLK01"
// Offsets count from the start of the file. A file without the trailer has no blocks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "u_Errors.h"

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
TBookFileKind BookFileKind(const std::string& fileName);
// The bytes of the book's block of type "RCDATA" with that name, whatever kind of file carries
// it; empty bytes when the file has no such block. A file that cannot be read, or whose index or
// resource directory is damaged, raises EDataBlockError naming the file.
std::string ReadBookBlock(const std::string& fileName, const std::string& name);
// Whether the file carries a book, whole or damaged: a plain viewer carries none.
bool CarriesBook(const std::string& fileName);

// Why a packed book's block cannot be what it should be, in plain words, or empty when the file
// looks whole: a book cut short loses the index at its end, and its blocks then seem absent.
// Blocks follow the program (an ELF file) and each begins with its Cabinet's own size, so the
// block that was cut can be named.
std::string BookFileDamage(const std::string& fileName);

// What keeps the file from being a book, in words a reader can act on, naming the file: it does
// not exist, is a folder, cannot be read, is empty, was changed in transfer, is cut short or is
// not a book at all. Empty for a book, also one whose block is damaged inside (the block's own
// failure says more there).
std::string BookFileProblem(const std::string& fileName);

// Path of the running executable.
std::string OwnExecutablePath();
