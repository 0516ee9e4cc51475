#include "u_Stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

std::int64_t SeekPosition(std::int64_t position, std::int64_t size, std::int64_t offset, int origin) {
  switch (origin) {
    case 0: position = offset; break;
    case 1: position += offset; break;
    case 2: position = size - offset; break;
    default: break;
  }
  return std::clamp<std::int64_t>(position, 0, size);
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count == 0) return;
  if (count < 0 || Read(buffer, count) != count) throw EReadError(SReadError);
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count == 0) return;
  if (count < 0 || Write(buffer, count) != count) throw EWriteError(SWriteError);
}

void TStream::ReadBytes(std::string& dst, std::int64_t count) {
  if (count < 0 || count > Remaining()) throw EReadError(SReadError);
  dst.resize(static_cast<std::size_t>(count));
  ReadBuffer(dst.data(), count);
}

std::int32_t TStream::ReadInt32() {
  unsigned char b[4];
  ReadBuffer(b, 4);
  return static_cast<std::int32_t>(LittleEndian32(b));
}

std::uint8_t TStream::ReadByte() {
  std::uint8_t b;
  ReadBuffer(&b, 1);
  return b;
}

void TStream::WriteInt32(std::int32_t value) {
  auto u = static_cast<std::uint32_t>(value);
  unsigned char b[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                        static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
  WriteBuffer(b, 4);
}

// --- memory streams

std::int64_t TCustomMemoryStream::Read(void* buffer, std::int64_t count) {
  std::string_view bytes = Bytes();
  std::int64_t n = std::clamp<std::int64_t>(Size() - FPosition, 0, std::max<std::int64_t>(count, 0));
  if (n > 0) std::memcpy(buffer, bytes.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TCustomMemoryStream::Seek(std::int64_t offset, int origin) {
  return FPosition = SeekPosition(FPosition, Size(), offset, origin);
}

void TCustomMemoryStream::ReadBytes(std::string& dst, std::int64_t count) {
  if (count < 0 || count > Size() - FPosition) throw EReadError(SReadError);
  dst.assign(Bytes().substr(static_cast<std::size_t>(FPosition), static_cast<std::size_t>(count)));
  FPosition += count;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  if (FPosition + count > Size()) FData.resize(static_cast<std::size_t>(FPosition + count));
  std::memcpy(FData.data() + FPosition, buffer, static_cast<std::size_t>(count));
  FPosition += count;
  return count;
}

void TMemoryStream::SetSize(std::int64_t newSize) {
  FData.resize(static_cast<std::size_t>(std::max<std::int64_t>(newSize, 0)));
  FPosition = std::min(FPosition, Size());
}

std::int64_t TReadOnlyMemoryStream::Write(const void*, std::int64_t) { return 0; }

void TReadOnlyMemoryStream::SetSize(std::int64_t) { throw EWriteError(SWriteError); }

void ReleaseLargeFront(std::string& buffer, std::size_t upTo) { ReleaseLargeFront(buffer.data(), buffer.size(), upTo); }

void ReleaseLargeFront(char* data, std::size_t size, std::size_t upTo) {
#if defined(__linux__)
  const auto page = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const auto from = (start + page - 1) & ~(page - 1);
  const auto to = (start + std::min(upTo, size)) & ~(page - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
#else
  (void)data;
  (void)size;
  (void)upTo;
#endif
}

// --- pulled streams

std::int64_t TPulledStream::Read(void* buffer, std::int64_t count) {
  auto* out = static_cast<char*>(buffer);
  std::int64_t done = 0;
  count = std::clamp<std::int64_t>(FSize - FPosition, 0, std::max<std::int64_t>(count, 0));
  while (done < count) {
    if (FPiece.empty() && !FProducer(FPiece)) break;
    const std::size_t n = std::min(FPiece.size(), static_cast<std::size_t>(count - done));
    std::memcpy(out + done, FPiece.data(), n);
    FPiece.remove_prefix(n);
    done += static_cast<std::int64_t>(n);
  }
  FPosition += done;
  return done;
}

std::int64_t TPulledStream::Write(const void*, std::int64_t) { throw EWriteError(SWriteError); }

void TPulledStream::SetSize(std::int64_t) { throw EWriteError(SWriteError); }

std::int64_t TPulledStream::Seek(std::int64_t offset, int origin) {
  const std::int64_t target = SeekPosition(FPosition, FSize, offset, origin);
  char skipped[4096];
  while (FPosition < target)
    if (Read(skipped, std::min<std::int64_t>(target - FPosition, sizeof skipped)) == 0) break;
  return FPosition;
}

void TPulledStream::ReadBytes(std::string& dst, std::int64_t count) {
  if (count < 0 || count > FSize - FPosition) throw EReadError(SReadError);
  // Appended piece by piece: no zero-filling of a buffer that is overwritten at once.
  dst.clear();
  dst.reserve(static_cast<std::size_t>(count));
  while (static_cast<std::int64_t>(dst.size()) < count) {
    if (FPiece.empty() && !FProducer(FPiece)) throw EReadError(SReadError);
    const std::size_t n = std::min(FPiece.size(), static_cast<std::size_t>(count) - dst.size());
    dst.append(FPiece.data(), n);
    FPiece.remove_prefix(n);
    FPosition += static_cast<std::int64_t>(n);
  }
}

void ReserveLarge(std::string& buffer, std::size_t size) {
  buffer.reserve(size);
  AdviseHugePages(buffer.data(), size);
}

void AdviseHugePages(char* data, std::size_t size) {
#if defined(__linux__)
  // Only the huge pages wholly inside the buffer; a hint, so any failure changes nothing.
  const auto page = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const auto from = (start + page - 1) & ~(page - 1);
  const auto to = (start + size) & ~(page - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}
