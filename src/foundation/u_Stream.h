// Byte streams: the small interface that MFS file streams and memory streams implement.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "u_Errors.h"

enum class TSeekOrigin : int { Beginning = 0, Current = 1, End = 2 };

// Positions are clamped to 0..Size. Seeking from the end counts the offset back from the end,
// so Seek(1, End) lands one byte before the last.
class TStream {
public:
  virtual ~TStream() = default;
  // Copies at most count bytes; returns how many were copied.
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // Origin values outside 0..2 leave the position where it is.
  virtual std::int64_t Seek(std::int64_t offset, int origin) = 0;
  virtual std::int64_t Size() const = 0;
  virtual void SetSize(std::int64_t newSize) = 0;

  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) { return Seek(offset, static_cast<int>(origin)); }
  std::int64_t Position() { return Seek(0, TSeekOrigin::Current); }
  void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::Beginning); }
  std::int64_t Remaining() { return Size() - Position(); }

  // Exactly count bytes, or EReadError "Stream read error" (also for a negative count).
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  void WriteBuffer(std::string_view bytes) { WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size())); }
  // Replaces dst by the next count bytes. Checks what remains before allocating, so a length
  // field from untrusted data cannot make it allocate more than the stream holds.
  virtual void ReadBytes(std::string& dst, std::int64_t count);
  // Little-endian 32-bit integers.
  std::int32_t ReadInt32();
  std::uint32_t ReadUInt32() { return static_cast<std::uint32_t>(ReadInt32()); }
  std::uint8_t ReadByte();
  void WriteInt32(std::int32_t value);
  void WriteUInt32(std::uint32_t value) { WriteInt32(static_cast<std::int32_t>(value)); }
  void WriteByte(std::uint8_t value) { WriteBuffer(&value, 1); }
};

// Reading and seeking over bytes held in memory.
class TCustomMemoryStream : public TStream {
public:
  using TStream::Seek;
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, int origin) override;
  std::int64_t Size() const override { return static_cast<std::int64_t>(Bytes().size()); }
  // A single copy straight from memory.
  void ReadBytes(std::string& dst, std::int64_t count) override;

protected:
  virtual std::string_view Bytes() const = 0;
  std::int64_t FPosition = 0;
};

// A stream over bytes it owns.
class TMemoryStream : public TCustomMemoryStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : FData(std::move(data)) {}
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  void SetSize(std::int64_t newSize) override;

  const std::string& Data() const { return FData; }
  std::string TakeData() { FPosition = 0; return std::move(FData); }

protected:
  std::string_view Bytes() const override { return FData; }

private:
  std::string FData;
};

// A read-only stream over bytes owned elsewhere, which must outlive it.
class TReadOnlyMemoryStream : public TCustomMemoryStream {
public:
  explicit TReadOnlyMemoryStream(std::string_view data) : FData(data) {}
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  void SetSize(std::int64_t newSize) override;

protected:
  std::string_view Bytes() const override { return FData; }

private:
  std::string_view FData;
};

// The source behind a stream gave up: nothing read from the stream counts, and the caller
// reads the data another way.
class EStreamAborted : public Exception { using Exception::Exception; };

// Reads front to back through bytes that a producer makes on demand, piece by piece, so that
// large data (an image being unpacked) never has to be whole in memory. The size is known
// beforehand. A producer that fails throws EStreamAborted; one that runs dry early is a read
// error. Only the current position can be asked for; it cannot move back.
class TPulledStream : public TStream {
public:
  // Sets the next piece; false when there is none.
  using TProducer = std::function<bool(std::string_view& piece)>;
  TPulledStream(std::int64_t size, TProducer producer) : FSize(size), FProducer(std::move(producer)) {}

  using TStream::Seek;
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  // Forward from the current position only (what it skips is still read).
  std::int64_t Seek(std::int64_t offset, int origin) override;
  std::int64_t Size() const override { return FSize; }
  void SetSize(std::int64_t newSize) override;
  // Reads into the string without first clearing it.
  void ReadBytes(std::string& dst, std::int64_t count) override;

private:
  std::int64_t FSize;
  std::int64_t FPosition = 0;
  TProducer FProducer;
  std::string_view FPiece;
};

// Reserves room for a large buffer that is written once (an unpacked image, a block read from
// the executable), asking the system for huge pages: tens of megabytes then take a page fault
// per 2 MiB instead of per 4 KiB, the largest single cost of opening a big book.
void ReserveLarge(std::string& buffer, std::size_t size);
// The same hint for room taken otherwise.
void AdviseHugePages(char* data, std::size_t size);

// Gives the system back the whole huge pages of the buffer's first `upTo` bytes; their content
// is lost (they read as zeros). For a large buffer read once from front to back whose bytes can
// be had again should they be needed.
void ReleaseLargeFront(std::string& buffer, std::size_t upTo);
void ReleaseLargeFront(char* data, std::size_t size, std::size_t upTo);

// The seek rule every stream here shares.
std::int64_t SeekPosition(std::int64_t position, std::int64_t size, std::int64_t offset, int origin);

// Little-endian numbers inside bytes held whole (file headers, records): `width` bytes at `at`,
// which the caller has checked lie inside the bytes.
inline std::uint64_t LittleEndianAt(std::string_view bytes, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return v;
}
inline std::uint16_t LittleEndian16At(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(LittleEndianAt(bytes, at, 2));
}
inline std::uint32_t LittleEndian32At(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint32_t>(LittleEndianAt(bytes, at, 4));
}
// The same for a word in a hot loop over bytes the caller walks itself.
inline std::uint32_t LittleEndian32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}
inline void AppendLittleEndian(std::string& out, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
