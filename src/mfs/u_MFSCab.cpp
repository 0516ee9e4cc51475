#include "u_MFSCab.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <isa-l/igzip_lib.h>
#include <mspack.h>
#include <sched.h>

#include "u_CodePage.h"
#include "u_Stream.h"

namespace {

// Serialises every reader's work, as the library's state and ours are shared per reader only
// through the session, which has no locking of its own.
std::mutex GCabLock;

constexpr std::uint32_t FlagNormal = 0x80;
constexpr std::uint32_t FlagSequential = 0x08000000;

bool GMszipFastPath = true;


// The Cabinet checksum of a data block: its bytes as little-endian words, the last partial word
// taken from its first byte upwards, XORed onto the seed.
std::uint32_t CabChecksum(const unsigned char* data, std::size_t bytes, std::uint32_t sum) {
  for (std::size_t n = bytes / 4; n--; data += 4)
    sum ^= LittleEndian32(data);
  std::uint32_t last = 0;
  switch (bytes & 3) {
    case 3: last |= static_cast<std::uint32_t>(*data++) << 16; [[fallthrough]];
    case 2: last |= static_cast<std::uint32_t>(*data++) << 8; [[fallthrough]];
    case 1: last |= *data; break;
    default: break;
  }
  return sum ^ last;
}

constexpr std::size_t MszipFrame = 32768;

// A thread that takes only the processor time nothing else wants (a book's worker while the
// first page is laid out) takes no second processor either.
bool TakesIdleTimeOnly() {
#ifdef __linux__
  return sched_getscheduler(0) == SCHED_IDLE;
#else
  return false;
#endif
}

// A raw deflate stream that must fill `out` exactly and end where its input does; with a
// dictionary, or without one (then a stream that reaches back before its start fails).
bool InflateBlock(inflate_state& state, std::string_view in, std::string& out, std::string_view dictionary) {
  isal_inflate_init(&state);
  state.crc_flag = ISAL_DEFLATE;
  if (!dictionary.empty() && isal_inflate_set_dict(&state, reinterpret_cast<std::uint8_t*>(const_cast<char*>(dictionary.data())),
                                                   static_cast<std::uint32_t>(dictionary.size())) != COMP_OK)
    return false;
  state.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
  state.avail_in = static_cast<std::uint32_t>(in.size());
  state.next_out = reinterpret_cast<std::uint8_t*>(out.data());
  state.avail_out = static_cast<std::uint32_t>(out.size());
  return isal_inflate(&state) == ISAL_DECOMP_OK && state.block_state == ISAL_BLOCK_FINISH && state.avail_in == 0 &&
         state.avail_out == 0;
}

// Blocks inflated on a thread of their own, each without the block before it: encoders that
// start every block afresh (ours, gcab's) give blocks that come out the same that way, so two
// cores share a folder's blocks. The first block that reaches back ends the run; it and the rest
// are inflated again in order. Only the inflating is done there; headers and checksums are
// judged in order as always.
// Everything is allocated on the inflater's own thread: freed there too, memory taken by another
// thread would stay with that thread's heap.
struct TBlocksAhead {
  std::size_t First = 0;                 // the folder's block number of the first
  std::vector<std::size_t> DataAt;       // where each block's stream starts ("CK" skipped)
  std::vector<std::uint16_t> Packed;
  std::vector<std::string> Out;          // each block's room, its size as its header says
  inflate_state State{};
  std::future<std::size_t> Good;         // how many blocks came out alone, in order
  std::optional<std::size_t> Taken;
};

// The first `length` bytes of MSZIP folder `folderIndex`, block by block: every data block is
// "CK" and a raw deflate stream whose dictionary is the folder's previous 32 KiB. Any block that
// is not exactly what it says (checksum, signature, sizes, a stream that does not end where the
// block does) makes the inflater give up, and the caller leaves the member to libmspack.
class TMszipInflater {
public:
  // False when the folder is not one the fast path serves. With `need`, the Cabinet's bytes
  // arrive as they are needed: need(n) reads on until n are in and says how many are.
  bool Open(std::string_view cab, std::uint16_t folderIndex, std::size_t length,
            std::function<std::size_t(std::size_t)> need = {}) {
    FCab = cab;
    FLength = length;
    FNeed = std::move(need);
    FReady = FNeed ? FNeed(0) : cab.size();
    if (!Has(36)) return false;
    const std::uint16_t folders = LittleEndian16At(cab, 26);
    const std::uint16_t flags = LittleEndian16At(cab, 30);
    if (flags & 3) return false;  // parts of a set
    std::size_t at = 36;
    std::size_t folderReserve = 0;
    if (flags & 4) {
      if (!Has(40)) return false;
      folderReserve = static_cast<unsigned char>(cab[38]);
      FDataReserve = static_cast<unsigned char>(cab[39]);
      at = 40 + LittleEndian16At(cab, 36);
    }
    if (folderIndex >= folders) return false;
    // Members continued from or into another Cabinet make libmspack read folders differently.
    std::size_t entry = LittleEndian32At(cab, 16);
    for (std::uint16_t i = LittleEndian16At(cab, 28); i > 0; --i) {
      if (entry > cab.size() || cab.size() - entry < 17 || !Has(entry + 17) || LittleEndian16At(cab, entry + 8) >= 0xFFFD)
        return false;
      // A name has 256 bytes at most.
      Has(std::min(cab.size(), entry + 16 + 257));
      const std::size_t nameEnd = cab.substr(0, FReady).find('\0', entry + 16);
      if (nameEnd == std::string_view::npos) return false;
      entry = nameEnd + 1;
    }
    const std::size_t folderAt = at + folderIndex * (8 + folderReserve);
    if (folderAt + 8 > cab.size() || !Has(folderAt + 8)) return false;
    FBlockAt = LittleEndian32At(cab, folderAt);
    FBlocks = LittleEndian16At(cab, folderAt + 4);
    return (LittleEndian16At(cab, folderAt + 6) & 0x0F) == 1 && length != 0 && length <= FBlocks * MszipFrame;
  }

  // The next block's bytes (cut at the member's end), or false to give up. After the last
  // needed block, the folder's remaining blocks must be sound too: libmspack reads compressed
  // input ahead in gulps of kilobytes, across blocks, and checks each block it reads.
  bool Next(std::string_view& piece) {
    if (FProduced >= FLength || FBlock >= FBlocks) return false;
    std::uint16_t packed = 0, unpacked = 0;
    std::size_t dataAt = 0;
    // Only the folder's last block may be short.
    if (!Sound(FBlockAt, packed, unpacked, dataAt) || (FBlock + 1 < FBlocks && unpacked != MszipFrame) ||
        FCab[dataAt] != 'C' || FCab[dataAt + 1] != 'K')
      return false;
    SendAhead(dataAt + packed);
    if (!TakeAhead(unpacked)) {
      FCurrent.resize(unpacked);
      // The dictionary is the previous block's output, which is a whole frame.
      if (!InflateBlock(FState, FCab.substr(dataAt + 2, packed - 2u), FCurrent, FProduced > 0 ? std::string_view(FPrevious) : std::string_view()))
        return false;
    }
    if (LittleEndian32At(FCab, FBlockAt) == 0) FVerified = false;  // a block without a checksum: sound only as far as inflating goes
    FBlockAt = dataAt + packed;
    ++FBlock;
    const std::size_t before = FProduced;
    FProduced += unpacked;
    if (FProduced >= FLength) {
      // Done with: the Cabinet's bytes may go back to the system, which the other thread must
      // not be reading then.
      FAhead.reset();
      for (std::uint16_t b = FBlock; b < FBlocks; ++b) {
        if (!Sound(FBlockAt, packed, unpacked, dataAt)) return false;
        FBlockAt = dataAt + packed;
      }
    } else if (FBlock >= FBlocks) {
      return false;  // the folder ends before the member
    }
    FPrevious.swap(FCurrent);
    piece = std::string_view(FPrevious).substr(0, std::min<std::size_t>(FPrevious.size(), FLength - before));
    return true;
  }

  // The Cabinet's bytes before this offset are needed no more (the last block's are, for the
  // dictionary: it is a copy).
  std::size_t BytesDone() const { return FProduced >= FLength ? FCab.size() : FBlockAt; }
  // Whether every block given so far carried a checksum that held.
  bool Verified() const { return FVerified; }

  // Blocks per share of the work: one share is inflated in order here while the next is
  // inflated on its own thread.
  static constexpr std::uint16_t AheadBlocks = 64;

private:
  // At the start of a share of our own (the block just judged ends at `next`), the next share
  // goes to its own thread, once its bytes are in and its headers make sense.
  void SendAhead(std::size_t next) {
    // Not when the folder or the member ends in our own share.
    if (FBlock % (2 * AheadBlocks) != 0 || FBlocks - FBlock <= AheadBlocks ||
        FLength - FProduced <= std::size_t{AheadBlocks} * MszipFrame || TakesIdleTimeOnly())
      return;
    std::size_t at = next;
    for (std::uint16_t b = 1; b < AheadBlocks; ++b) {  // the rest of our own share
      std::uint16_t packed = 0, unpacked = 0;
      std::size_t dataAt = 0;
      if (!Walk(at, packed, unpacked, dataAt)) return;
      at = dataAt + packed;
    }
    auto ahead = std::make_unique<TBlocksAhead>();
    ahead->First = FBlock + AheadBlocks;
    const std::size_t count = std::min<std::size_t>(AheadBlocks, FBlocks - ahead->First);
    for (std::size_t b = 0; b < count; ++b) {
      std::uint16_t packed = 0, unpacked = 0;
      std::size_t dataAt = 0;
      if (!Walk(at, packed, unpacked, dataAt)) break;
      ahead->DataAt.push_back(dataAt + 2);
      ahead->Packed.push_back(packed);
      ahead->Out.emplace_back(unpacked, '\0');
      at = dataAt + packed;
    }
    if (ahead->DataAt.empty()) return;
    try {
      ahead->Good = std::async(std::launch::async, [cab = FCab, a = ahead.get()] {
        std::size_t good = 0;
        while (good < a->DataAt.size() && InflateBlock(a->State, cab.substr(a->DataAt[good], a->Packed[good] - 2u), a->Out[good], {}))
          ++good;
        return good;
      });
    } catch (const std::system_error&) {
      return;  // no thread to be had: all in order
    }
    FAhead = std::move(ahead);
  }

  // The block FBlock from the other thread, into FCurrent; false when it must be inflated here.
  bool TakeAhead(std::uint16_t unpacked) {
    if (!FAhead || FBlock < FAhead->First) return false;
    if (!FAhead->Taken) FAhead->Taken = FAhead->Good.get();
    const std::size_t index = FBlock - FAhead->First;
    const bool taken = index < *FAhead->Taken && FAhead->Out[index].size() == unpacked;
    if (taken) FCurrent.swap(FAhead->Out[index]);
    if (!taken || index + 1 >= FAhead->DataAt.size()) FAhead.reset();
    return taken;
  }

  // A block's header and size limits, its bytes read in, without its checksum: the data starts
  // at dataAt, the next block at dataAt + packed.
  bool Walk(std::size_t at, std::uint16_t& packed, std::uint16_t& unpacked, std::size_t& dataAt) {
    if (at > FCab.size() || FCab.size() - at < 8 + FDataReserve || !Has(at + 8 + FDataReserve)) return false;
    packed = LittleEndian16At(FCab, at + 4);
    unpacked = LittleEndian16At(FCab, at + 6);
    dataAt = at + 8 + FDataReserve;
    // No sane encoder needs more than a stored block's few bytes over 32 KiB.
    return FCab.size() - dataAt >= packed && packed >= 2 && packed <= MszipFrame + 1024 && unpacked <= MszipFrame &&
           Has(dataAt + packed);
  }

  // The same, and its checksum.
  bool Sound(std::size_t at, std::uint16_t& packed, std::uint16_t& unpacked, std::size_t& dataAt) {
    if (!Walk(at, packed, unpacked, dataAt)) return false;
    const std::uint32_t checksum = LittleEndian32At(FCab, at);
    return checksum == 0 || checksum == CabChecksum(reinterpret_cast<const unsigned char*>(FCab.data() + at + 4), 4,
                                                    CabChecksum(reinterpret_cast<const unsigned char*>(FCab.data() + dataAt), packed, 0));
  }

  // Whether the first upTo bytes can be read.
  bool Has(std::size_t upTo) {
    if (upTo > FReady && FNeed) FReady = FNeed(upTo);
    return upTo <= FReady;
  }

  std::string_view FCab;
  std::function<std::size_t(std::size_t)> FNeed;
  std::size_t FReady = 0;
  std::size_t FLength = 0;
  std::size_t FDataReserve = 0;
  std::size_t FBlockAt = 0;
  std::uint16_t FBlocks = 0;
  std::uint16_t FBlock = 0;
  std::size_t FProduced = 0;
  bool FVerified = true;
  inflate_state FState{};
  std::string FPrevious, FCurrent;
  std::unique_ptr<TBlocksAhead> FAhead;  // last: its thread is joined before the rest goes
};

// The whole member at once, for extraction into a file.
bool InflateMszipFolder(std::string_view cab, std::uint16_t folderIndex, std::size_t length, std::string& out) {
  auto inflater = std::make_unique<TMszipInflater>();
  if (!inflater->Open(cab, folderIndex, length)) return false;
  out.clear();
  ReserveLarge(out, length);
  for (std::string_view piece; out.size() < length;) {
    if (!inflater->Next(piece)) return false;
    out.append(piece);
  }
  return true;
}

}  // namespace

void SetMszipFastPath(bool on) { GMszipFastPath = on; }
bool MszipFastPath() { return GMszipFastPath; }

// ---------------------------------------------------------------- EMFSCabSystemError

std::string EMFSCabSystemError::BuildMessage(const TFDIErrorRecord& record, const std::string& callbackMessage) {
  if (!record.ErrorPresent) return SCabFDIError;
  constexpr int known = static_cast<int>(sizeof SCabFDIMessages / sizeof SCabFDIMessages[0]);
  std::string message = record.ErrorCode >= 0 && record.ErrorCode < known ? SCabFDIMessages[record.ErrorCode] : SCabFDIError;
  char code[32];
  std::snprintf(code, sizeof code, " [0x%04X]", static_cast<unsigned>(record.ErrorCode));
  message += code;
  if (record.ErrorType != 0) message += ".\r\n" + callbackMessage;
  return message;
}

EMFSCabSystemError::EMFSCabSystemError(const TFDIErrorRecord& record, const std::string& callbackMessage, bool compressing)
    : EMFSCabError(BuildMessage(record, callbackMessage)), FRecord(record), FCompressing(compressing) {}

// ---------------------------------------------------------------- library callbacks

// The library's system interface, with the reader it works for.
struct TMFSCabReader::TSystem {
  mspack_system Sys;  // first, so the library's pointer is ours
  TMFSCabReader* Reader;
};

struct TMFSCabReader::TFile {
  TMFSCabReader* Reader;
  std::unique_ptr<TMFSFileStream> Stream;
  bool Writing;
};

namespace {

using TFile = TMFSCabReader::TFile;

TFile* AsFile(mspack_file* f) { return reinterpret_cast<TFile*>(f); }

}  // namespace

void TMFSCabReader::CallbackFailed(const std::string& message) {
  FLastErrorMessage = message;
  FCallbackStatus = -1;
}

extern "C" {

static mspack_file* CabOpen(mspack_system* self, const char* filename, int mode) {
  TMFSCabReader* reader = reinterpret_cast<TMFSCabReader::TSystem*>(self)->Reader;
  try {
    bool writing = mode == MSPACK_SYS_OPEN_WRITE || mode == MSPACK_SYS_OPEN_APPEND;
    // Targets are created when missing and reused from position 0 when present.
    int disposition = writing ? 4 : 3;
    std::uint32_t flags = FlagNormal | (writing ? FlagSequential : 0);
    auto stream = reader->Session()->CreateFileStream(filename, disposition, flags);
    if (mode == MSPACK_SYS_OPEN_APPEND) stream->Seek(0, TSeekOrigin::End);
    auto* file = new TFile{reader, std::move(stream), mode == MSPACK_SYS_OPEN_WRITE};
    return reinterpret_cast<mspack_file*>(file);
  } catch (const Exception& e) {
    reader->CallbackFailed(e.Message());
  } catch (const std::exception& e) {
    reader->CallbackFailed(e.what());
  }
  return nullptr;
}

static void CabClose(mspack_file* f) {
  if (!f) return;
  std::unique_ptr<TFile> file(AsFile(f));
  // A reused target keeps no bytes of its older, longer content.
  if (file->Writing && file->Stream->File()) file->Stream->SetSize(file->Stream->Position());
}

static int CabRead(mspack_file* f, void* buffer, int bytes) {
  if (bytes < 0) return -1;
  return static_cast<int>(AsFile(f)->Stream->Read(buffer, bytes));
}

static int CabWrite(mspack_file* f, void* buffer, int bytes) {
  TFile* file = AsFile(f);
  if (bytes < 0) return -1;
  if (file->Stream->Write(buffer, bytes) != bytes) {
    file->Reader->CallbackFailed(SWriteError);
    return -1;
  }
  return bytes;
}

static int CabSeek(mspack_file* f, off_t offset, int mode) {
  TMFSFileStream& s = *AsFile(f)->Stream;
  std::int64_t target = offset;
  if (mode == MSPACK_SYS_SEEK_CUR) target += s.Position();
  else if (mode == MSPACK_SYS_SEEK_END) target += s.Size();
  else if (mode != MSPACK_SYS_SEEK_START) return -1;
  if (target < 0 || target > s.Size()) return -1;
  s.SetPosition(target);
  return 0;
}

static off_t CabTell(mspack_file* f) { return static_cast<off_t>(AsFile(f)->Stream->Position()); }

// The library's warnings are not for readers; failures come back as error codes.
static void CabMessage(mspack_file*, const char*, ...) {}

static void* CabAlloc(mspack_system*, size_t bytes) { return std::calloc(1, bytes ? bytes : 1); }
static void CabFree(void* p) { std::free(p); }
static void CabCopy(void* src, void* dest, size_t bytes) { std::memmove(dest, src, bytes); }

}  // extern "C"

// ---------------------------------------------------------------- TMFSCabReader

namespace {

int FDIErrorOfOpen(int error) {
  switch (error) {
    case MSPACK_ERR_SIGNATURE: return FDIERROR_NOT_A_CABINET;
    case MSPACK_ERR_NOMEMORY: return FDIERROR_ALLOC_FAIL;
    case MSPACK_ERR_OPEN: return FDIERROR_CABINET_NOT_FOUND;
    default: return FDIERROR_CORRUPT_CABINET;
  }
}

int FDIErrorOfExtract(int error, bool callbackFailed) {
  switch (error) {
    case MSPACK_ERR_DECRUNCH: return FDIERROR_MDI_FAIL;
    case MSPACK_ERR_NOMEMORY: return FDIERROR_ALLOC_FAIL;
    case MSPACK_ERR_WRITE: return FDIERROR_TARGET_FILE;
    // The target could not be opened: the copy was abandoned.
    case MSPACK_ERR_OPEN: return callbackFailed ? FDIERROR_USER_ABORT : FDIERROR_CABINET_NOT_FOUND;
    default: return FDIERROR_CORRUPT_CABINET;
  }
}

// Name of a member in the book's code page.
std::string MemberNameOf(const mscabd_file* file) {
  std::string name = file->filename ? file->filename : "";
  std::string converted;
  if ((file->attribs & MSCAB_ATTRIB_UTF_NAME) && FromUtf8(name, converted)) return converted;
  return name;
}

std::uint32_t DosDateTimeOfMember(const mscabd_file* f) {
  std::tm t{};
  t.tm_year = f->date_y - 1900;
  t.tm_mon = f->date_m - 1;
  t.tm_mday = f->date_d;
  t.tm_hour = f->time_h;
  t.tm_min = f->time_m;
  t.tm_sec = f->time_s;
  return DosDateTimeOf(t);
}

// The member's length as far as the Cabinet can back it: the header's claim, but never more than
// its folder's blocks (32 KiB each) or the Cabinet's own bytes inflated at deflate's best ratio
// could produce.
std::size_t PlausibleLength(const mscabd_file* file, std::int64_t cabinetSize) {
  std::uint64_t claim = file->length;
  std::uint64_t blocks = file->folder ? file->folder->num_blocks : 0;
  std::uint64_t bound = std::min<std::uint64_t>(blocks * 32768, static_cast<std::uint64_t>(cabinetSize) * 1032);
  return static_cast<std::size_t>(std::min(claim, bound));
}

// The folder's position in the Cabinet's list, as the folder entries are numbered.
std::uint16_t FolderIndexOf(const mscabd_cabinet* cab, const mscabd_folder* folder) {
  std::uint16_t index = 0;
  for (const mscabd_folder* f = cab->folders; f && f != folder; f = f->next) ++index;
  return index;
}

}  // namespace

void TMFSCabReader::Fail(int fdiError) {
  FErrorRecord.ErrorCode = fdiError;
  FErrorRecord.ErrorType = FCallbackStatus;
  FErrorRecord.ErrorPresent = true;
  throw EMFSCabSystemError(FErrorRecord, FLastErrorMessage);
}

TMFSCabReader::TMFSCabReader(TMFSSession* session, const std::string& cabinetPath) : TMFSCabBase(session) {
  FCabinetPath = session->ExpandPath(cabinetPath);
  std::lock_guard<std::mutex> guard(GCabLock);
  FSystem = new TSystem{{CabOpen, CabClose, CabRead, CabWrite, CabSeek, CabTell, CabMessage, CabAlloc, CabFree,
                         CabCopy, nullptr},
                        this};
  FDecompressor = mspack_create_cab_decompressor(&FSystem->Sys);
  try {
    if (!FDecompressor) {
      FErrorRecord = {FDIERROR_ALLOC_FAIL, 0, true};
      throw EMFSCabSystemError(FErrorRecord, FLastErrorMessage);
    }
    // A Cabinet starts with its signature and a header of 36 bytes.
    auto stream = session->CreateFileStream(FCabinetPath, 3, FlagNormal);
    char header[36];
    if (stream->Read(header, sizeof header) != sizeof header || std::memcmp(header, "MSCF", 4) != 0)
      throw EMFSCabReaderError(Format(SCabNotACabinet, {cabinetPath}));
  } catch (...) {
    if (FDecompressor) mspack_destroy_cab_decompressor(FDecompressor);
    delete FSystem;
    throw;
  }
}

TMFSCabReader::~TMFSCabReader() {
  std::lock_guard<std::mutex> guard(GCabLock);
  mspack_destroy_cab_decompressor(FDecompressor);
  delete FSystem;
}

bool TMFSCabReader::ReadMember(const std::string& memberName, const std::function<void(TStream& member)>& consume,
                               const std::function<void(std::size_t cabinetBytesDone, bool verified)>& consumed,
                               const TCabinetBytes* arriving) {
  if (!GMszipFastPath) return false;
  std::uint16_t folderIndex = 0;
  std::size_t length = 0;
  {
    // The library only finds the member; inflating needs no lock.
    std::lock_guard<std::mutex> guard(GCabLock);
    mscabd_cabinet* cab = FDecompressor->open(FDecompressor, FCabinetPath.c_str());
    if (!cab) return false;
    std::unique_ptr<mscabd_cabinet, std::function<void(mscabd_cabinet*)>> closer(
        cab, [this](mscabd_cabinet* c) { FDecompressor->close(FDecompressor, c); });
    if (cab->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB)) return false;
    const mscabd_file* member = nullptr;
    for (const mscabd_file* file = cab->files; file; file = file->next) {
      if (!SameText(MemberNameOf(file), memberName)) continue;
      if (member) return false;  // several of that name: extraction decides which stands
      member = file;
    }
    if (!member || !member->folder || (member->folder->comp_type & 0x0F) != MSCAB_COMP_MSZIP || member->offset != 0)
      return false;
    folderIndex = FolderIndexOf(cab, member->folder);
    length = member->length;
  }
  auto inflater = std::make_unique<TMszipInflater>();
  if (!(arriving ? inflater->Open(arriving->All, folderIndex, length, arriving->Need)
                 : inflater->Open(FSession->GetFile(FCabinetPath)->Data, folderIndex, length)))
    return false;
  TPulledStream stream(static_cast<std::int64_t>(length), [&](std::string_view& piece) {
    if (!inflater->Next(piece)) throw EStreamAborted("the fast path gave up");
    if (consumed) consumed(inflater->BytesDone(), inflater->Verified());
    return true;
  });
  std::exception_ptr failure;
  try {
    consume(stream);
  } catch (const EStreamAborted&) {
    return false;
  } catch (...) {
    failure = std::current_exception();
  }
  // What consume made of the bytes counts only once every block has been found sound:
  // otherwise libmspack's word on a damaged block would come first.
  try {
    stream.Seek(0, TSeekOrigin::End);
  } catch (const EStreamAborted&) {
    return false;
  }
  if (failure) std::rethrow_exception(failure);
  return true;
}

void TMFSCabReader::Extract(const std::string& memberName, const std::string& targetPath) {
  std::lock_guard<std::mutex> guard(GCabLock);
  FMemberName = memberName;
  FTargetPath = FSession->ExpandPath(targetPath);
  FErrorRecord = {};
  FLastErrorMessage.clear();
  FCallbackStatus = 0;

  mscabd_cabinet* cab = FDecompressor->open(FDecompressor, FCabinetPath.c_str());
  if (!cab) Fail(FDIErrorOfOpen(FDecompressor->last_error(FDecompressor)));
  std::unique_ptr<mscabd_cabinet, std::function<void(mscabd_cabinet*)>> closer(
      cab, [this](mscabd_cabinet* c) { FDecompressor->close(FDecompressor, c); });

  std::int64_t cabinetSize = static_cast<std::int64_t>(FSession->GetFile(FCabinetPath)->Data.size());
  if (cab->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB)) {
    CallbackFailed(SCabSpannedUnsupported);
    Fail(FDIERROR_USER_ABORT);
  }
  for (mscabd_file* file = cab->files; file; file = file->next) {
    if (!SameText(MemberNameOf(file), FMemberName)) continue;
    int compression = file->folder ? file->folder->comp_type & 0x0F : -1;
    if (compression < MSCAB_COMP_NONE || compression > MSCAB_COMP_LZX) Fail(FDIERROR_BAD_COMPR_TYPE);
    try {
      FSession->ForceFolders(TMFS::ExtractFilePath(FTargetPath));
      // Made (or found) here rather than by the library's open, to give it room below.
      FSession->CreateFile(FTargetPath, FlagNormal, true);
    } catch (const Exception& e) {
      CallbackFailed(e.Message());
      Fail(FDIERROR_USER_ABORT);
    }
    FCallbackStatus = 0;
    TMFSFile* target = FSession->GetFile(FTargetPath);
    // Inflated aside and swapped in: a path that gives up leaves the target as libmspack finds it.
    std::string inflated;
    if (compression == MSCAB_COMP_MSZIP && GMszipFastPath && file->offset == 0 &&
        InflateMszipFolder(FSession->GetFile(FCabinetPath)->Data, FolderIndexOf(cab, file->folder), file->length, inflated)) {
      target->Data.swap(inflated);
    } else {
      inflated = std::string();
      // Room for the whole member at once, as far as the Cabinet can back it.
      target->Data.reserve(PlausibleLength(file, cabinetSize));
      int error = FDecompressor->extract(FDecompressor, file, FTargetPath.c_str());
      if (error != MSPACK_ERR_OK) Fail(FDIErrorOfExtract(error, FCallbackStatus != 0));
      target = FSession->GetFile(FTargetPath);
    }
    target->DateTime = DosDateTimeOfMember(file);
    target->Attributes = static_cast<std::uint32_t>(file->attribs) & 0x3F;
  }
}
