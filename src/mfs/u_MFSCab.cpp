#include "u_MFSCab.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

#include <mspack.h>

#include "u_CodePage.h"

namespace {

// Serialises every reader's work, as the library's state and ours are shared per reader only
// through the session, which has no locking of its own.
std::mutex GCabLock;

constexpr std::uint32_t FlagNormal = 0x80;
constexpr std::uint32_t FlagSequential = 0x08000000;

}  // namespace

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
      // Made (or found) here rather than by the library's open, to give it room for the whole
      // member at once.
      FSession->CreateFile(FTargetPath, FlagNormal, true)->Data.reserve(PlausibleLength(file, cabinetSize));
    } catch (const Exception& e) {
      CallbackFailed(e.Message());
      Fail(FDIERROR_USER_ABORT);
    }
    FCallbackStatus = 0;
    int error = FDecompressor->extract(FDecompressor, file, FTargetPath.c_str());
    if (error != MSPACK_ERR_OK) Fail(FDIErrorOfExtract(error, FCallbackStatus != 0));
    TMFSFile* target = FSession->GetFile(FTargetPath);
    target->DateTime = DosDateTimeOfMember(file);
    target->Attributes = static_cast<std::uint32_t>(file->attribs) & 0x3F;
  }
}
