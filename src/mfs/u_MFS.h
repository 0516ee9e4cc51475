// MFS: the in-memory file system that holds a book. An image is a byte string that serialises a
// folder tree behind a checksummed header; sessions resolve backslash paths in the tree, and
// file streams read and write a file's content in place.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "u_Dictionary.h"
#include "u_Errors.h"
#include "u_Stream.h"

class EMFSError : public Exception { using Exception::Exception; };

inline constexpr const char* SMFSIncorrectFormat = "Incorrect serialized format";
inline constexpr const char* SMFSPathNotFound = "Path \"%s\" not found";
inline constexpr const char* SMFSFileNotFound = "File \"%s\" not found";
inline constexpr const char* SMFSFileExists = "File \"%s\" already exists";
inline constexpr const char* SMFSFolderExists = "Folder \"%s\" already exists";
inline constexpr const char* SMFSFileNameIncorrect = "File name \"%s\" is incorrect";
inline constexpr const char* SMFSIncorrectParameters = "Incorrect parameters in method \"%s\"";
// The disk path of an entry of that name in a disk folder; a name that would leave the folder or
// name another entry ("..", a "/" or "\\" in it) raises "File name "%s" is incorrect".
std::filesystem::path DiskChild(const std::filesystem::path& folder, const std::string& name);

inline constexpr const char* SMFSCannotCreateFile = "Cannot create file \"%s\". %s";
inline constexpr const char* SMFSCannotCreateFolder = "Cannot create folder \"%s\". %s";

inline constexpr std::uint32_t faDirectory = 0x10;
inline constexpr std::uint32_t faArchive = 0x20;
inline constexpr std::uint8_t MFSFolderRecord = 0x44;  // 'D'
inline constexpr std::uint8_t MFSFileRecord = 0x46;    // 'F'
inline constexpr std::uint32_t MFSDeleteOnCloseFlag = 0x04000000;

class TMFS;
class TMFSFile;
class TMFSFolder;
class TMFSFileStream;

// 32-bit rotate-and-add checksum of an image body, padded with spaces to a multiple of 4.
std::uint32_t ImageChecksum(std::string_view body);
// The same over a body that arrives in pieces.
class TImageChecksum {
public:
  void Add(std::string_view bytes);
  std::uint32_t Result() const;

private:
  std::uint32_t FSum = 0;
  unsigned char FPending[4] = {};
  std::size_t FPendingCount = 0;
};
// A broken-down time as an MS-DOS date-time (date in the high 16 bits, years clamped to
// 1980..2107), and the local time now as one.
std::uint32_t DosDateTimeOf(const std::tm& t);
std::uint32_t DosDateTimeNow();

class TMFSItem {
public:
  virtual ~TMFSItem();
  TMFSItem(const TMFSItem&) = delete;
  TMFSItem& operator=(const TMFSItem&) = delete;

  const std::string& Name() const { return FName; }
  TMFSFolder* Parent() const { return FParent; }
  TMFS* Owner() const { return FOwner; }
  virtual bool IsFolder() const = 0;
  TMFSFolder* AsFolder();
  TMFSFile* AsFile();

  // Writes the entry's record; a folder writes its whole subtree.
  virtual void SaveToStream(TStream& stream) const = 0;
  // Reads the entry's record; a folder reads its whole subtree.
  virtual void LoadFromStream(TStream& stream) = 0;
  // Writes the entry out as real files under a disk path (names become UTF-8).
  virtual void SaveToDisk(const std::filesystem::path& path) const = 0;

  std::uint32_t DateTime;
  std::uint32_t Attributes;

protected:
  // Enters the parent's items when a parent is given, replacing a child of the same name.
  TMFSItem(std::string name, TMFS* owner, TMFSFolder* parent, std::uint32_t attributes);
  void SaveCommon(TStream& stream) const;
  void LoadCommon(TStream& stream);

private:
  friend class TMFSFolder;
  std::string FName;
  TMFS* FOwner;
  TMFSFolder* FParent;
};

class TMFSFile : public TMFSItem {
public:
  TMFSFile(std::string name, TMFS* owner, TMFSFolder* parent);
  ~TMFSFile() override;
  bool IsFolder() const override { return false; }
  void SaveToStream(TStream& stream) const override;
  void LoadFromStream(TStream& stream) override;
  void SaveToDisk(const std::filesystem::path& path) const override;

  // A new stream at position 0; the caller owns it.
  std::unique_ptr<TMFSFileStream> CreateStream();
  std::size_t OpenStreamCount() const { return FStreams.size(); }

  std::string Data;
  bool DeleteOnClose = false;

private:
  friend class TMFSFileStream;
  std::vector<TMFSFileStream*> FStreams;
};

// Where an entry goes in a saved image: entries of a folder are written by rising rank, ties in
// name order. Given each entry's absolute path ("\pages\a.htm"). Loaders take any order.
using TMFSSaveOrder = std::function<std::size_t(const std::string& path)>;

// Told of each file of an image as soon as it is read whole, with its absolute path, while the
// rest is still being read; and told when the tree being read will not become the image (a
// failure), before its files are freed. Called on the loading thread.
class IMFSLoadObserver {
public:
  virtual void FileLoaded(const std::string& path, const TMFSFile& file) = 0;
  virtual void LoadAbandoned() = 0;

protected:
  ~IMFSLoadObserver() = default;
};

class TMFSFolder : public TMFSItem {
public:
  TMFSFolder(std::string name, TMFS* owner, TMFSFolder* parent);
  // Frees the subtree without recursion, so any depth is safe.
  ~TMFSFolder() override;
  bool IsFolder() const override { return true; }
  void SaveToStream(TStream& stream) const override { SaveTree(stream, {}); }
  void LoadFromStream(TStream& stream) override { LoadTree(stream, nullptr); }
  void SaveToDisk(const std::filesystem::path& path) const override;
  void SaveTree(TStream& stream, const TMFSSaveOrder& order) const;
  void LoadTree(TStream& stream, IMFSLoadObserver* observer);

  // "." is the folder, ".." its parent (none at the root), else the child of that name ignoring case.
  TMFSItem* FindChild(std::string_view name) const;
  // Frees every child.
  void ClearItems();

  // Children by name, ignoring letter case, listed in name order; owned.
  TObjectDictionary<TMFSItem> Items{true, true, true};

private:
  friend class TMFSItem;
  friend class TMFSFile;
  // Makes an entry read without a parent a child of this folder (replacing a namesake).
  void Adopt(TMFSItem* item);
};

class TMFSSession;

class TMFS {
public:
  TMFS();
  ~TMFS();
  TMFS(const TMFS&) = delete;
  TMFS& operator=(const TMFS&) = delete;

  TMFSFolder* Root() const { return FRoot.get(); }
  // The default session, created on first use at the root.
  TMFSSession* Session();
  // A new session at the folder (the root when none); the caller owns it.
  std::unique_ptr<TMFSSession> CreateSession(TMFSFolder* folder = nullptr);

  // Replaces the tree by the one the image describes. Bad magic or checksum leave the tree as it
  // was; a failure while reading the body leaves what was read so far.
  void LoadFromString(std::string_view image);
  // The same for an image read front to back from a stream of exactly its size, so that the
  // image need never be whole in memory: the body is read into a tree of its own, and only a
  // matching checksum (known once the last byte is read) lets it replace this one.
  // EStreamAborted from the stream leaves the tree as it was.
  // An observer hears of each file as it is read (see IMFSLoadObserver).
  void LoadFromImageStream(TStream& image, IMFSLoadObserver* observer = nullptr);
  // Writes a whole image: "MFS", the checksum, the body.
  void SaveToStream(TStream& stream) const;
  std::string SaveToString(const TMFSSaveOrder& order = {}) const;

  // Path functions (pure string functions).
  static std::string ConvertSlashes(std::string_view s);
  static std::string IncludeTrailingBackslash(std::string_view s);
  static std::string ExcludeTrailingBackslash(std::string_view s);
  static std::string ExtractFilePath(std::string_view s);
  static std::string ExtractFileName(std::string_view s);
  static std::string ExtractFileExt(std::string_view s);
  static std::string NormalizePath(std::string_view s);

private:
  std::unique_ptr<TMFSSession> FSession;
  std::unique_ptr<TMFSFolder> FRoot;
};

// Path resolution from a current folder, file creation and streams.
class TMFSSession {
public:
  TMFSSession(TMFS* mfs, TMFSFolder* folder);

  TMFSFolder* CurrentFolder() const { return FCurrentFolder; }
  void ChangeFolder(const std::string& path);
  TMFSFile* GetFile(const std::string& path);
  bool Exists(const std::string& path);
  TMFSFile* CreateFile(const std::string& path, std::uint32_t attributes, bool allowExisting);
  TMFSFolder* ForceFolders(const std::string& path);
  std::unique_ptr<TMFSFileStream> CreateFileStream(const std::string& path, int disposition, std::uint32_t flags);
  std::string ExpandPath(const std::string& path) const;

private:
  // The entry a slash-converted path names; the message names the path as given here.
  TMFSItem* Resolve(const std::string& path) const;
  TMFSFolder* ResolveFolder(const std::string& path) const;

  friend class TMFS;
  TMFS* FMFS;
  TMFSFolder* FCurrentFolder;
};

// Reads and writes a file's content in place. Each stream has its own position.
class TMFSFileStream : public TStream {
public:
  explicit TMFSFileStream(TMFSFile* file);
  // Destroys a delete-on-close file when this was its last stream.
  ~TMFSFileStream() override;
  TMFSFileStream(const TMFSFileStream&) = delete;
  TMFSFileStream& operator=(const TMFSFileStream&) = delete;

  using TStream::Seek;
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, int origin) override;
  std::int64_t Size() const override;
  void SetSize(std::int64_t newSize) override;
  void ReadBytes(std::string& dst, std::int64_t count) override;

  // None once the file has been destroyed under the stream; reads then give nothing and
  // writes fail.
  TMFSFile* File() const { return FFile; }

private:
  friend class TMFSFile;
  TMFSFile* FFile;
  std::int64_t FPosition = 0;
};
