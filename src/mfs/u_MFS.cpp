#include "u_MFS.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <system_error>

#include "u_Address.h"
#include "u_CodePage.h"

// ---------------------------------------------------------------- checksum, dates

namespace {


}  // namespace


void TImageChecksum::Add(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  while (FPendingCount > 0 && FPendingCount < 4 && left > 0) {
    FPending[FPendingCount++] = *p++;
    --left;
  }
  if (FPendingCount == 4) {
    FSum = std::rotl(FSum + LittleEndian32(FPending), 1);
    FPendingCount = 0;
  }
  std::uint32_t r = FSum;
  for (std::size_t n = left / 4; n--; p += 4) r = std::rotl(r + LittleEndian32(p), 1);
  FSum = r;
  for (left %= 4; left--;) FPending[FPendingCount++] = *p++;
}

std::uint32_t TImageChecksum::Result() const {
  if (FPendingCount == 0) return FSum;
  unsigned char last[4] = {' ', ' ', ' ', ' '};
  std::memcpy(last, FPending, FPendingCount);
  return std::rotl(FSum + LittleEndian32(last), 1);
}

std::uint32_t ImageChecksum(std::string_view body) {
  TImageChecksum sum;
  sum.Add(body);
  return sum.Result();
}

std::uint32_t DosDateTimeOf(const std::tm& t) {
  int year = std::clamp(t.tm_year + 1900, 1980, 2107);
  auto date = static_cast<std::uint32_t>((year - 1980) << 9 | ((t.tm_mon + 1) & 15) << 5 | (t.tm_mday & 31));
  auto time = static_cast<std::uint32_t>((t.tm_hour & 31) << 11 | (t.tm_min & 63) << 5 | (t.tm_sec / 2 & 31));
  return date << 16 | time;
}

std::uint32_t DosDateTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  return DosDateTimeOf(t);
}

namespace {

std::string HexDigits(std::uint32_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, v >>= 4) s[static_cast<std::size_t>(i)] = digits[v & 0xF];
  return s;
}

// Names that cannot become entries or disk files: they would alias "." and "..", or be
// unreachable through paths.
bool IsBadEntryName(std::string_view name) { return name.empty() || name == "." || name == ".."; }

bool IsUnsafeDiskName(std::string_view name) {
  return IsBadEntryName(name) || name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos;
}


void WriteDiskFile(const std::filesystem::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw EMFSError(Format(SMFSCannotCreateFile, {path.string(), std::strerror(errno)}));
}

void MakeDiskFolder(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw EMFSError(Format(SMFSCannotCreateFolder, {path.string(), ec.message()}));
}

}  // namespace

std::filesystem::path DiskChild(const std::filesystem::path& folder, const std::string& name) {
  if (IsUnsafeDiskName(name)) throw EMFSError(Format(SMFSFileNameIncorrect, {name}));
  return folder / std::filesystem::path(ToUtf8(name));
}

// ---------------------------------------------------------------- TMFSItem

TMFSItem::TMFSItem(std::string name, TMFS* owner, TMFSFolder* parent, std::uint32_t attributes)
    : DateTime(DosDateTimeNow()), Attributes(attributes), FName(std::move(name)), FOwner(owner), FParent(parent) {}

TMFSItem::~TMFSItem() {
  // Leave the parent's items unless a namesake has already taken the place.
  if (FParent && FParent->Items.Find(FName) == this) FParent->Items.Extract(FName);
}

TMFSFolder* TMFSItem::AsFolder() { return IsFolder() ? static_cast<TMFSFolder*>(this) : nullptr; }
TMFSFile* TMFSItem::AsFile() { return IsFolder() ? nullptr : static_cast<TMFSFile*>(this); }

void TMFSItem::SaveCommon(TStream& stream) const {
  stream.WriteInt32(static_cast<std::int32_t>(FName.size()));
  stream.WriteBuffer(FName);
  stream.WriteUInt32(DateTime);
  stream.WriteUInt32(Attributes);
}

void TMFSItem::LoadCommon(TStream& stream) {
  std::int32_t n = stream.ReadInt32();
  stream.ReadBytes(FName, n);
  DateTime = stream.ReadUInt32();
  Attributes = stream.ReadUInt32();
}

// ---------------------------------------------------------------- TMFSFile

TMFSFile::TMFSFile(std::string name, TMFS* owner, TMFSFolder* parent)
    : TMFSItem(std::move(name), owner, parent, faArchive) {
  if (parent) parent->Adopt(this);
}

TMFSFile::~TMFSFile() {
  for (TMFSFileStream* s : FStreams) s->FFile = nullptr;
}

void TMFSFile::SaveToStream(TStream& stream) const {
  SaveCommon(stream);
  stream.WriteInt32(static_cast<std::int32_t>(Data.size()));
  stream.WriteBuffer(Data);
}

void TMFSFile::LoadFromStream(TStream& stream) {
  LoadCommon(stream);
  std::int32_t m = stream.ReadInt32();
  stream.ReadBytes(Data, m);
}

void TMFSFile::SaveToDisk(const std::filesystem::path& path) const {
  if (path.has_parent_path()) MakeDiskFolder(path.parent_path());
  WriteDiskFile(path, Data);
}

std::unique_ptr<TMFSFileStream> TMFSFile::CreateStream() { return std::make_unique<TMFSFileStream>(this); }

// ---------------------------------------------------------------- TMFSFolder

TMFSFolder::TMFSFolder(std::string name, TMFS* owner, TMFSFolder* parent)
    : TMFSItem(std::move(name), owner, parent, faDirectory) {
  if (parent) parent->Adopt(this);
}

TMFSFolder::~TMFSFolder() { ClearItems(); }

void TMFSFolder::ClearItems() {
  // Detach before freeing, a level at a time, so freeing never recurses into the subtree.
  std::vector<TMFSItem*> pending = Items.ExtractAll();
  for (TMFSItem* item : pending) item->FParent = nullptr;
  while (!pending.empty()) {
    TMFSItem* item = pending.back();
    pending.pop_back();
    if (TMFSFolder* folder = item->AsFolder()) {
      for (TMFSItem* child : folder->Items.ExtractAll()) {
        child->FParent = nullptr;
        pending.push_back(child);
      }
    }
    delete item;
  }
}

void TMFSFolder::Adopt(TMFSItem* item) {
  item->FParent = this;
  Items.Set_Item(item->FName, item);
}

TMFSItem* TMFSFolder::FindChild(std::string_view name) const {
  if (name == ".") return const_cast<TMFSFolder*>(this);
  if (name == "..") return Parent();
  return Items.Find(name);
}

void TMFSFolder::SaveTree(TStream& stream, const TMFSSaveOrder& order) const {
  struct TFrame {
    std::vector<TMFSItem*> Children;
    std::size_t Next;
    std::string Path;  // with its trailing backslash
  };
  std::vector<TFrame> frames;
  auto open = [&](const TMFSFolder* folder, std::string path) {
    folder->SaveCommon(stream);
    stream.WriteInt32(folder->Items.Count());
    std::vector<TMFSItem*> children = folder->Items.GetValues();
    if (order) {
      std::vector<std::pair<std::size_t, TMFSItem*>> ranked;
      for (TMFSItem* child : children) ranked.emplace_back(order(path + child->Name()), child);
      std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      for (std::size_t i = 0; i < ranked.size(); ++i) children[i] = ranked[i].second;
    }
    frames.push_back({std::move(children), 0, std::move(path)});
  };
  open(this, "\\");
  while (!frames.empty()) {
    TFrame& top = frames.back();
    if (top.Next == top.Children.size()) {
      frames.pop_back();
      continue;
    }
    TMFSItem* child = top.Children[top.Next++];
    if (TMFSFolder* folder = child->AsFolder()) {
      stream.WriteByte(MFSFolderRecord);
      open(folder, top.Path + folder->Name() + "\\");  // may reallocate frames: top is not used after this
    } else {
      stream.WriteByte(MFSFileRecord);
      child->SaveToStream(stream);
    }
  }
}

void TMFSFolder::LoadTree(TStream& stream, IMFSLoadObserver* observer) {
  // Folders still being read are not yet in their parent; on failure they are freed with what
  // they hold, and this folder keeps the children it had completed.
  struct TFrame {
    TMFSFolder* Folder;
    std::unique_ptr<TMFSFolder> Pending;  // none for this folder itself
    std::int32_t Remaining;
    std::string Path;  // with its trailing backslash, when an observer wants paths
  };
  ClearItems();
  LoadCommon(stream);
  std::vector<TFrame> frames;
  frames.push_back({this, nullptr, stream.ReadInt32(), "\\"});
  while (!frames.empty()) {
    TFrame& top = frames.back();
    if (top.Remaining <= 0) {
      std::unique_ptr<TMFSFolder> done = std::move(top.Pending);
      frames.pop_back();
      if (done) frames.back().Folder->Adopt(done.release());
      continue;
    }
    --top.Remaining;
    std::uint8_t type = stream.ReadByte();
    if (type == MFSFileRecord) {
      auto file = std::make_unique<TMFSFile>(std::string(), Owner(), nullptr);
      file->LoadFromStream(stream);
      const TMFSFile& loaded = *file;
      top.Folder->Adopt(file.release());
      if (observer) observer->FileLoaded(top.Path + loaded.Name(), loaded);
    } else if (type == MFSFolderRecord) {
      auto folder = std::make_unique<TMFSFolder>(std::string(), Owner(), nullptr);
      folder->LoadCommon(stream);
      std::int32_t count = stream.ReadInt32();
      TMFSFolder* raw = folder.get();
      std::string path = observer ? top.Path + raw->Name() + "\\" : std::string();
      frames.push_back({raw, std::move(folder), count, std::move(path)});
    } else {
      throw EMFSError(SMFSIncorrectFormat);
    }
  }
}

void TMFSFolder::SaveToDisk(const std::filesystem::path& path) const {
  std::vector<std::pair<const TMFSFolder*, std::filesystem::path>> pending{{this, path}};
  while (!pending.empty()) {
    const TMFSFolder* folder = pending.back().first;
    std::filesystem::path where = std::move(pending.back().second);
    pending.pop_back();
    MakeDiskFolder(where);
    folder->Items.ForEach([&](const std::string&, TMFSItem* item) {
      std::filesystem::path target = DiskChild(where, item->Name());
      if (const TMFSFolder* sub = item->AsFolder())
        pending.emplace_back(sub, std::move(target));
      else
        WriteDiskFile(target, item->AsFile()->Data);
    });
  }
}

// ---------------------------------------------------------------- TMFS

TMFS::TMFS() : FRoot(std::make_unique<TMFSFolder>(std::string(), this, nullptr)) {}

TMFS::~TMFS() {
  FSession.reset();
  FRoot.reset();
}

TMFSSession* TMFS::Session() {
  if (!FSession) FSession = std::make_unique<TMFSSession>(this, FRoot.get());
  return FSession.get();
}

std::unique_ptr<TMFSSession> TMFS::CreateSession(TMFSFolder* folder) {
  return std::make_unique<TMFSSession>(this, folder ? folder : FRoot.get());
}

void TMFS::LoadFromString(std::string_view image) {
  if (image.substr(0, 3) != "MFS") throw EMFSError(SMFSIncorrectFormat);
  std::string_view body = image.size() > 11 ? image.substr(11) : std::string_view();
  if (image.substr(3, 8) != HexDigits(ImageChecksum(body))) throw EMFSError(SMFSIncorrectFormat);
  FRoot = std::make_unique<TMFSFolder>(std::string(), this, nullptr);
  if (FSession) FSession->FCurrentFolder = FRoot.get();
  TReadOnlyMemoryStream stream(body);
  FRoot->LoadFromStream(stream);
}

namespace {

// The body of an image read through from a stream, summed as it goes.
class TSummedBody : public TStream {
public:
  explicit TSummedBody(TStream& image) : FImage(image), FStart(image.Position()) {}
  using TStream::Seek;
  std::int64_t Read(void* buffer, std::int64_t count) override {
    const std::int64_t n = FImage.Read(buffer, count);
    FSum.Add(std::string_view(static_cast<const char*>(buffer), static_cast<std::size_t>(std::max<std::int64_t>(n, 0))));
    return n;
  }
  void ReadBytes(std::string& dst, std::int64_t count) override {
    FImage.ReadBytes(dst, count);
    FSum.Add(dst);
  }
  std::int64_t Write(const void*, std::int64_t) override { throw EWriteError(SWriteError); }
  void SetSize(std::int64_t) override { throw EWriteError(SWriteError); }
  // The body is only ever read forward, and only its position asked for.
  std::int64_t Seek(std::int64_t, int) override { return FImage.Position() - FStart; }
  std::int64_t Size() const override { return FImage.Size() - FStart; }
  // The rest of the body, which the checksum covers whatever the tree made of it.
  std::uint32_t Drain() {
    char rest[65536];
    while (Read(rest, sizeof rest) > 0) {
    }
    return FSum.Result();
  }

private:
  TStream& FImage;
  const std::int64_t FStart;
  TImageChecksum FSum;
};

}  // namespace

void TMFS::LoadFromImageStream(TStream& image, IMFSLoadObserver* observer) {
  std::string header(static_cast<std::size_t>(std::clamp<std::int64_t>(image.Size() - image.Position(), 0, 11)), '\0');
  image.ReadBuffer(header.data(), static_cast<std::int64_t>(header.size()));
  if (header.substr(0, 3) != "MFS") throw EMFSError(SMFSIncorrectFormat);
  TSummedBody body(image);
  auto root = std::make_unique<TMFSFolder>(std::string(), this, nullptr);
  // Declared after the root, so that the observer lets go of its files before they are freed.
  struct TAbandon {
    IMFSLoadObserver* Observer;
    ~TAbandon() {
      if (Observer) Observer->LoadAbandoned();
    }
  } abandon{observer};
  std::exception_ptr failure;
  try {
    root->LoadTree(body, observer);
  } catch (const EStreamAborted&) {
    throw;
  } catch (const Exception&) {
    failure = std::current_exception();  // it counts only if the checksum holds
  }
  if (header.substr(3, 8) != HexDigits(body.Drain())) throw EMFSError(SMFSIncorrectFormat);
  FRoot = std::move(root);
  if (FSession) FSession->FCurrentFolder = FRoot.get();
  if (failure) std::rethrow_exception(failure);
  abandon.Observer = nullptr;  // the files it heard of are this image's now
}

void TMFS::SaveToStream(TStream& stream) const {
  TMemoryStream body;
  FRoot->SaveToStream(body);
  stream.WriteBuffer("MFS");
  stream.WriteBuffer(HexDigits(ImageChecksum(body.Data())));
  stream.WriteBuffer(body.Data());
}

std::string TMFS::SaveToString(const TMFSSaveOrder& order) const {
  // The header goes first as a placeholder and is filled in once the body is known, so a large
  // image is built once, in place, never copied behind its header.
  // Room for the whole image from the start: growing by doubling would hold the old and the new
  // buffer at once, three times the book's size.
  std::uint64_t room = 64;
  std::vector<const TMFSFolder*> pending{FRoot.get()};
  while (!pending.empty()) {
    const TMFSFolder* folder = pending.back();
    pending.pop_back();
    folder->Items.ForEach([&](const std::string&, TMFSItem* item) {
      room += item->Name().size() + 64;
      if (const TMFSFolder* sub = item->AsFolder()) pending.push_back(sub);
      else room += item->AsFile()->Data.size();
    });
  }
  TMemoryStream stream;
  stream.SetSize(static_cast<std::int64_t>(room));
  const std::string placeholder = "MFS" + HexDigits(0);
  stream.Write(placeholder.data(), static_cast<std::int64_t>(placeholder.size()));
  FRoot->SaveTree(stream, order);
  stream.SetSize(stream.Position());
  std::string image = stream.TakeData();
  const std::string header = "MFS" + HexDigits(ImageChecksum(std::string_view(image).substr(placeholder.size())));
  image.replace(0, header.size(), header);
  return image;
}

std::string TMFS::ConvertSlashes(std::string_view s) {
  std::string r(s);
  std::replace(r.begin(), r.end(), '/', '\\');
  return r;
}

std::string TMFS::IncludeTrailingBackslash(std::string_view s) {
  std::string r(s);
  if (!r.empty() && r.back() != '\\') r += '\\';
  return r;
}

std::string TMFS::ExcludeTrailingBackslash(std::string_view s) {
  if (!s.empty() && s.back() == '\\') s.remove_suffix(1);
  return std::string(s);
}

std::string TMFS::ExtractFilePath(std::string_view s) {
  auto p = s.rfind('\\');
  return p == std::string_view::npos ? std::string() : std::string(s.substr(0, p + 1));
}

std::string TMFS::ExtractFileName(std::string_view s) {
  auto p = s.rfind('\\');
  return std::string(p == std::string_view::npos ? s : s.substr(p + 1));
}

std::string TMFS::ExtractFileExt(std::string_view s) {
  auto dot = s.rfind('.');
  auto slash = s.rfind('\\');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return std::string(s.substr(dot));
}

std::string TMFS::NormalizePath(std::string_view s) {
  // A script names a file here rather than following a link: a climb above the root is an error.
  bool climbed = false;
  std::string path = ResolvePath("", s, BookPathStyle, &climbed);
  if (climbed) throw EMFSError(Format(SMFSFileNameIncorrect, {s}));
  return path;
}

// ---------------------------------------------------------------- TMFSSession

TMFSSession::TMFSSession(TMFS* mfs, TMFSFolder* folder) : FMFS(mfs), FCurrentFolder(folder) {}

TMFSItem* TMFSSession::Resolve(const std::string& path) const {
  if (path.empty()) return FCurrentFolder;
  TMFSFolder* folder = FCurrentFolder;
  std::string_view rest = path;
  if (rest.front() == '\\') {
    folder = FMFS->Root();
    rest.remove_prefix(1);
  }
  bool trailing = !rest.empty() && rest.back() == '\\';
  while (!rest.empty()) {
    auto p = rest.find('\\');
    std::string_view part = rest.substr(0, p);
    rest = p == std::string_view::npos ? std::string_view() : rest.substr(p + 1);
    TMFSItem* item = folder->FindChild(part);
    if (item && item->IsFolder()) {
      folder = item->AsFolder();
      continue;
    }
    if (item && rest.empty() && !trailing) return item;
    throw EMFSError(Format(SMFSPathNotFound, {path}));
  }
  return folder;
}

TMFSFolder* TMFSSession::ResolveFolder(const std::string& path) const {
  // A path ending in a backslash (or empty) resolves to a folder or fails.
  return Resolve(path)->AsFolder();
}

void TMFSSession::ChangeFolder(const std::string& path) {
  if (path.empty()) return;
  FCurrentFolder = ResolveFolder(TMFS::IncludeTrailingBackslash(TMFS::ConvertSlashes(path)));
}

TMFSFile* TMFSSession::GetFile(const std::string& path) {
  std::string converted = TMFS::ConvertSlashes(path);
  TMFSFolder* folder = ResolveFolder(TMFS::IncludeTrailingBackslash(TMFS::ExtractFilePath(converted)));
  TMFSItem* item = folder->FindChild(TMFS::ExtractFileName(converted));
  if (!item || item->IsFolder()) throw EMFSError(Format(SMFSFileNotFound, {path}));
  return item->AsFile();
}

bool TMFSSession::Exists(const std::string& path) {
  try {
    Resolve(TMFS::ConvertSlashes(path));
    return true;
  } catch (const EMFSError&) {
    return false;
  }
}

TMFSFile* TMFSSession::CreateFile(const std::string& path, std::uint32_t attributes, bool allowExisting) {
  std::string converted = TMFS::ConvertSlashes(path);
  TMFSFolder* folder = ResolveFolder(TMFS::IncludeTrailingBackslash(TMFS::ExtractFilePath(converted)));
  std::string name = TMFS::ExtractFileName(converted);
  if (TMFSItem* item = folder->FindChild(name)) {
    if (item->IsFolder()) throw EMFSError(Format(SMFSFolderExists, {path}));
    if (!allowExisting) throw EMFSError(Format(SMFSFileExists, {path}));
    return item->AsFile();
  }
  if (IsBadEntryName(name)) throw EMFSError(Format(SMFSFileNameIncorrect, {path}));
  auto* file = new TMFSFile(name, FMFS, folder);
  file->Attributes = faArchive | (attributes & 0x3F);
  return file;
}

TMFSFolder* TMFSSession::ForceFolders(const std::string& path) {
  if (path.empty()) return FCurrentFolder;
  // Walk up to the first folder that needs no forcing, then create downwards; no recursion.
  std::vector<std::string> levels;
  std::string current = TMFS::ConvertSlashes(path);
  TMFSFolder* folder = FCurrentFolder;
  for (;;) {
    if (current.empty()) break;
    if (current == "\\") {
      folder = FMFS->Root();
      break;
    }
    std::string parent = TMFS::ExtractFilePath(TMFS::ExcludeTrailingBackslash(current));
    levels.push_back(std::move(current));
    current = std::move(parent);
  }
  for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
    const std::string& shown = level + 1 == levels.rend() ? path : *level;
    std::string name = TMFS::ExtractFileName(TMFS::ExcludeTrailingBackslash(*level));
    TMFSItem* item = folder->FindChild(name);
    if (!item) {
      if (IsBadEntryName(name)) throw EMFSError(Format(SMFSFileNameIncorrect, {shown}));
      folder = new TMFSFolder(name, FMFS, folder);
    } else if (item->IsFolder()) {
      folder = item->AsFolder();
    } else {
      throw EMFSError(Format(SMFSFileExists, {shown}));
    }
  }
  return folder;
}

std::unique_ptr<TMFSFileStream> TMFSSession::CreateFileStream(const std::string& path, int disposition,
                                                              std::uint32_t flags) {
  TMFSFile* file = nullptr;
  switch (disposition) {
    case 1: file = CreateFile(path, flags, false); break;
    case 2: file = CreateFile(path, flags, true); file->Data.clear(); break;
    case 3: file = GetFile(path); break;
    case 4: file = CreateFile(path, flags, true); break;
    case 5: file = GetFile(path); file->Data.clear(); break;
    default:
      throw EMFSError(Format(SMFSIncorrectParameters, {"TMFSSession.CreateFileStream"}));
  }
  if (flags & MFSDeleteOnCloseFlag) file->DeleteOnClose = true;
  return file->CreateStream();
}

std::string TMFSSession::ExpandPath(const std::string& path) const {
  std::string converted = TMFS::ConvertSlashes(path);
  if (converted.empty() || converted.front() != '\\') {
    // The root stands for the leading backslash whatever name an image gave it.
    std::vector<const TMFSFolder*> chain;
    for (const TMFSFolder* f = FCurrentFolder; f && f->Parent(); f = f->Parent()) chain.push_back(f);
    std::string prefix = "\\";
    for (auto f = chain.rbegin(); f != chain.rend(); ++f) {
      prefix += (*f)->Name();
      prefix += '\\';
    }
    converted = prefix + converted;
  }
  return TMFS::NormalizePath(converted);
}

// ---------------------------------------------------------------- TMFSFileStream

TMFSFileStream::TMFSFileStream(TMFSFile* file) : FFile(file) { file->FStreams.push_back(this); }

TMFSFileStream::~TMFSFileStream() {
  if (!FFile) return;
  auto& streams = FFile->FStreams;
  streams.erase(std::find(streams.begin(), streams.end(), this));
  if (streams.empty() && FFile->DeleteOnClose && FFile->Parent()) delete FFile;
}

std::int64_t TMFSFileStream::Size() const { return FFile ? static_cast<std::int64_t>(FFile->Data.size()) : 0; }

std::int64_t TMFSFileStream::Read(void* buffer, std::int64_t count) {
  std::int64_t n = std::clamp<std::int64_t>(Size() - FPosition, 0, std::max<std::int64_t>(count, 0));
  if (n > 0) std::memcpy(buffer, FFile->Data.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TMFSFileStream::Write(const void* buffer, std::int64_t count) {
  if (!FFile || count <= 0) return 0;
  std::string& data = FFile->Data;
  if (FPosition == Size()) {
    data.append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));  // no zero fill first
  } else {
    if (FPosition + count > Size()) data.resize(static_cast<std::size_t>(FPosition + count));
    std::memcpy(data.data() + FPosition, buffer, static_cast<std::size_t>(count));
  }
  FPosition += count;
  return count;
}

std::int64_t TMFSFileStream::Seek(std::int64_t offset, int origin) {
  return FPosition = SeekPosition(FPosition, Size(), offset, origin);
}

void TMFSFileStream::SetSize(std::int64_t newSize) {
  if (!FFile) throw EWriteError(SWriteError);
  FFile->Data.resize(static_cast<std::size_t>(std::max<std::int64_t>(newSize, 0)));
  FPosition = std::min(FPosition, Size());
}

void TMFSFileStream::ReadBytes(std::string& dst, std::int64_t count) {
  if (count < 0 || count > Size() - FPosition) throw EReadError(SReadError);
  if (count == 0) {
    dst.clear();
    return;
  }
  dst.assign(FFile->Data, static_cast<std::size_t>(FPosition), static_cast<std::size_t>(count));
  FPosition += count;
}
