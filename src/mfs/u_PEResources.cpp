#include "u_PEResources.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "u_Stream.h"

namespace {

constexpr std::uint32_t HighBit = 0x80000000u;
constexpr std::uint64_t SectionHeaderSize = 40;
constexpr std::uint64_t DirectoryHeaderSize = 16;
constexpr std::uint64_t DirectoryEntrySize = 8;
constexpr int ResourceDirectoryIndex = 2;
constexpr std::uint64_t MaxPESections = 96;

EPEResourceError Damaged(const std::string& why) { return EPEResourceError(why); }

struct TSection {
  std::uint64_t Address = 0, RawSize = 0, RawPointer = 0;
};

class TPEReader {
public:
  TPEReader(std::uint64_t fileSize, const TReadAt& readAt) : FFileSize(fileSize), FReadAt(readAt) {}

  // False when the file has no resource directory at all.
  bool ReadHeaders();
  std::optional<TFileRange> Find(std::string_view type, std::string_view name);

private:
  std::string Read(std::uint64_t offset, std::uint64_t size, const char* what) const {
    if (offset > FFileSize || size > FFileSize - offset) throw Damaged(std::string(what) + " lies beyond the end of the file");
    return FReadAt(offset, static_cast<std::size_t>(size));
  }
  // Where `size` bytes at the address lie in the file: within the file bytes of one section.
  std::uint64_t FileOffset(std::uint64_t address, std::uint64_t size, const char* what) const {
    for (const TSection& s : FSections)
      if (address >= s.Address && address - s.Address < s.RawSize && size <= s.RawSize - (address - s.Address))
        return s.RawPointer + (address - s.Address);
    throw Damaged(std::string(what) + " lies outside the sections of the file");
  }
  // Bytes at an offset from the start of the resource directory.
  std::string ReadResource(std::uint64_t offset, std::uint64_t size, const char* what) const {
    return Read(FileOffset(FResources + offset, size, what), size, what);
  }
  bool NameIs(std::uint32_t field, std::string_view wanted) const;

  std::uint64_t FFileSize;
  const TReadAt& FReadAt;
  std::vector<TSection> FSections;
  std::uint64_t FResources = 0;
};

bool TPEReader::ReadHeaders() {
  const std::string dos = Read(0, 64, "the DOS header");
  const std::uint64_t pe = LittleEndianAt(dos, 0x3C, 4);
  const std::string coff = Read(pe, 24, "the PE header");
  if (coff.compare(0, 4, std::string("PE\0\0", 4)) != 0) throw Damaged("it has no PE header");
  const std::uint64_t sectionCount = LittleEndianAt(coff, 6, 2);
  // Every address is looked up in the section table: a table of thousands makes each name of a
  // hostile directory cost thousands of comparisons. Windows loads no more than this many.
  if (sectionCount > MaxPESections)
    throw Damaged("it has " + std::to_string(sectionCount) + " sections, more than Windows loads (" + std::to_string(MaxPESections) + ")");
  const std::uint64_t optionalSize = LittleEndianAt(coff, 20, 2);
  const std::string optional = Read(pe + 24, optionalSize, "the optional header");
  if (optional.size() < 2) throw Damaged("its optional header is missing");
  const std::uint64_t magic = LittleEndianAt(optional, 0, 2);
  std::size_t countAt = 0;
  if (magic == 0x10B) countAt = 92;  // PE32
  else if (magic == 0x20B) countAt = 108;  // PE32+
  else throw Damaged("its optional header is neither PE32 nor PE32+");
  const std::size_t directoriesAt = countAt + 4;
  const std::size_t resourceAt = directoriesAt + ResourceDirectoryIndex * 8;
  if (optional.size() < resourceAt + 8 || LittleEndianAt(optional, countAt, 4) <= ResourceDirectoryIndex) return false;
  FResources = LittleEndianAt(optional, resourceAt, 4);
  if (FResources == 0) return false;
  const std::string sections = Read(pe + 24 + optionalSize, sectionCount * SectionHeaderSize, "the section table");
  for (std::size_t at = 0; at < sections.size(); at += SectionHeaderSize)
    FSections.push_back({LittleEndianAt(sections, at + 12, 4), LittleEndianAt(sections, at + 16, 4), LittleEndianAt(sections, at + 20, 4)});
  return true;
}

// A directory entry's name is a string (length, then UTF-16 letters) when its high bit is set.
bool TPEReader::NameIs(std::uint32_t field, std::string_view wanted) const {
  if (!(field & HighBit)) return false;
  const std::uint64_t at = field & ~HighBit;
  const std::uint64_t length = LittleEndianAt(ReadResource(at, 2, "a resource name"), 0, 2);
  if (length != wanted.size()) return false;
  const std::string letters = ReadResource(at + 2, length * 2, "a resource name");
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    const std::uint64_t c = LittleEndianAt(letters, i * 2, 2);
    if (c >= 0x80 || std::tolower(static_cast<int>(c)) != std::tolower(static_cast<unsigned char>(wanted[i]))) return false;
  }
  return true;
}

// The three levels are type, name and language; a level beyond them, or a directory that is
// its own ancestor, is damage (a loader that followed it would never end).
std::optional<TFileRange> TPEReader::Find(std::string_view type, std::string_view name) {
  const std::string_view wanted[2] = {type, name};
  std::vector<std::uint64_t> path{0};
  for (int level = 0;; ++level) {
    const std::string head = ReadResource(path.back(), DirectoryHeaderSize, "a resource directory");
    const std::uint64_t count = LittleEndianAt(head, 12, 2) + LittleEndianAt(head, 14, 2);
    const std::string entries = ReadResource(path.back() + DirectoryHeaderSize, count * DirectoryEntrySize, "a resource directory");
    std::optional<std::uint64_t> target;
    for (std::size_t at = 0; at < entries.size() && !target; at += DirectoryEntrySize) {
      // Any language will do.
      if (level == 2 || NameIs(static_cast<std::uint32_t>(LittleEndianAt(entries, at, 4)), wanted[level]))
        target = LittleEndianAt(entries, at + 4, 4);
    }
    if (!target) return std::nullopt;
    const bool directory = (*target & HighBit) != 0;
    const std::uint64_t offset = *target & ~HighBit;
    if (level < 2) {
      if (!directory) throw Damaged("a resource " + std::string(level == 0 ? "type" : "name") + " leads to data, not to a directory");
      if (std::find(path.begin(), path.end(), offset) != path.end()) throw Damaged("its resource directories loop");
      path.push_back(offset);
      continue;
    }
    if (directory) throw Damaged("its resource directories nest deeper than type, name and language");
    const std::string data = ReadResource(offset, 16, "a resource's data entry");
    const std::uint64_t size = LittleEndianAt(data, 4, 4);
    const std::uint64_t at = FileOffset(LittleEndianAt(data, 0, 4), size, "a resource's data");
    if (at > FFileSize || size > FFileSize - at) throw Damaged("a resource's data lies beyond the end of the file");
    return TFileRange{at, size};
  }
}

}  // namespace

bool IsPEFile(std::string_view head) { return head.size() >= 2 && head[0] == 'M' && head[1] == 'Z'; }

std::optional<TFileRange> FindNamedPEResource(std::uint64_t fileSize, const TReadAt& readAt, std::string_view type,
                                              std::string_view name) {
  TPEReader reader(fileSize, readAt);
  if (!reader.ReadHeaders()) return std::nullopt;
  return reader.Find(type, name);
}
