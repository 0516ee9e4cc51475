// Unpacking a member of a Cabinet (MS-CAB) that lies in an MFS file into another MFS file,
// entirely in memory, with libmspack reading and writing through MFS file streams.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "CabConsts.h"
#include "u_Errors.h"
#include "u_MFS.h"

struct mscab_decompressor;

class EMFSCabError : public Exception { using Exception::Exception; };
class EMFSCabReaderError : public EMFSCabError { using EMFSCabError::EMFSCabError; };

// What the decompression library reported.
struct TFDIErrorRecord {
  std::int32_t ErrorCode = 0;  // TFDIError
  std::int32_t ErrorType = 0;  // -1 when one of our callbacks failed
  bool ErrorPresent = false;
};

class EMFSCabSystemError : public EMFSCabError {
public:
  EMFSCabSystemError(const TFDIErrorRecord& record, const std::string& callbackMessage, bool compressing = false);
  std::int32_t ErrorCode() const { return FRecord.ErrorCode; }
  std::int32_t ErrorType() const { return FRecord.ErrorType; }
  bool ErrorPresent() const { return FRecord.ErrorPresent; }
  bool Compressing() const { return FCompressing; }
  static std::string BuildMessage(const TFDIErrorRecord& record, const std::string& callbackMessage);

private:
  TFDIErrorRecord FRecord;
  bool FCompressing;
};

// MSZIP members are inflated by ISA-L (several times faster than libmspack's inflate); anything
// that path does not handle exactly as libmspack would goes to libmspack, whose result and
// messages stand. Switched off only to compare the two.
void SetMszipFastPath(bool on);
bool MszipFastPath();

class TMFSCabBase {
public:
  virtual ~TMFSCabBase() = default;
  TMFSSession* Session() const { return FSession; }
  const std::string& CabinetPath() const { return FCabinetPath; }
  const TFDIErrorRecord& ErrorRecord() const { return FErrorRecord; }
  const std::string& LastErrorMessage() const { return FLastErrorMessage; }

protected:
  explicit TMFSCabBase(TMFSSession* session) : FSession(session) {}
  TMFSSession* FSession;
  TFDIErrorRecord FErrorRecord;
  std::string FLastErrorMessage;
  std::string FCabinetPath;
};

// A Cabinet whose bytes arrive as they are needed (a block read from its file step by step):
// need(n) reads on until n bytes are in and says how many are.
struct TCabinetBytes {
  std::string_view All;
  std::function<std::size_t(std::size_t)> Need;
};

class TMFSCabReader : public TMFSCabBase {
public:
  // Refuses a file that is not a Cabinet; a missing file fails with the session's error.
  TMFSCabReader(TMFSSession* session, const std::string& cabinetPath);
  ~TMFSCabReader() override;
  TMFSCabReader(const TMFSCabReader&) = delete;
  TMFSCabReader& operator=(const TMFSCabReader&) = delete;

  // Writes the member named memberName (ignoring letter case) into the MFS file targetPath,
  // creating its missing folders. A Cabinet without the member extracts nothing.
  void Extract(const std::string& memberName, const std::string& targetPath);
  // Hands the member's bytes to `consume` as a stream that inflates them as they are read, so
  // they are never whole in memory; only for the one member of that name when the fast path
  // serves it (MSZIP, at the start of its folder). False when it cannot, or when the fast path
  // gave up while `consume` read: the caller then extracts the member as usual. Failures of
  // `consume` itself propagate.
  // `consumed` hears how far into the Cabinet's bytes the inflater is done with them, and
  // whether every block so far carried a checksum that held, before `consume` gets its bytes.
  // With `arriving`, the member is inflated from those bytes; the Cabinet file need hold only
  // its head, for the library to find the member.
  bool ReadMember(const std::string& memberName, const std::function<void(TStream& member)>& consume,
                  const std::function<void(std::size_t cabinetBytesDone, bool verified)>& consumed = {},
                  const TCabinetBytes* arriving = nullptr);

  const std::string& MemberName() const { return FMemberName; }
  const std::string& TargetPath() const { return FTargetPath; }
  int CallbackStatus() const { return FCallbackStatus; }

  // Glue for the library's callbacks.
  struct TSystem;
  struct TFile;
  void CallbackFailed(const std::string& message);

private:
  [[noreturn]] void Fail(int fdiError);

  TSystem* FSystem = nullptr;
  mscab_decompressor* FDecompressor = nullptr;
  std::string FMemberName;
  std::string FTargetPath;
  int FCallbackStatus = 0;
};
