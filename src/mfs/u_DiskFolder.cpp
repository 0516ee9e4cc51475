#include "u_DiskFolder.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>
#include <map>
#include <vector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "u_CodePage.h"

namespace fs = std::filesystem;

std::string ReadDiskFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EToolError(path.string() + ": cannot open the file");
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw EToolError(path.string() + ": read error");
  return ss.str();
}

void RefuseOverwritingInputs(const fs::path& target, const std::vector<TRunInput>& inputs) {
  // The target as named (made absolute) and after following links; "out/" names the folder out.
  std::vector<fs::path> selves;
  std::error_code ec;
  for (fs::path p : {fs::absolute(target, ec).lexically_normal(), fs::weakly_canonical(target, ec)}) {
    if (!p.empty() && !p.has_filename() && p.has_relative_path()) p = p.parent_path();
    if (!p.empty()) selves.push_back(p);
  }
  for (const TRunInput& input : inputs) {
    if (input.Path.empty()) continue;
    const fs::path real = fs::weakly_canonical(input.Path, ec);
    const bool folder = fs::is_directory(input.Path, ec);
    // Compared by name and by device and inode (a hard link, a bind mount).
    auto isInput = [&](const fs::path& p) { return (!real.empty() && p == real) || fs::equivalent(p, input.Path, ec); };
    for (const fs::path& self : selves) {
      if (isInput(self))
        throw EToolError(target.string() + ": this is " + input.Role + " \"" + input.Path.string() +
                         "\", which this run reads; nothing was written. Name another file or folder.");
      if (!folder) continue;  // only a folder holds the target below it
      for (fs::path p = self.parent_path(); p.has_relative_path(); p = p.parent_path())
        if (isInput(p))
          throw EToolError(target.string() + ": this lies inside " + input.Role + " \"" + input.Path.string() +
                           "\", which this run reads; nothing was written. Name a place outside the book's folders.");
    }
  }
}

fs::perms UsualPermissions(bool folder) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<fs::perms>((folder ? 0777 : 0666) & ~mask);
}

void WriteDiskFileAtomically(const fs::path& path, std::initializer_list<std::string_view> parts, fs::perms permissions,
                             const std::function<void(const fs::path& written)>& beforeRename) {
  // A new file of our own beside the target (never an existing name, never through a link),
  // renamed over the target once it is whole.
  std::string pattern = path.string() + ".XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw EToolError(path.string() + ": cannot create a file beside it: " + std::strerror(errno));
  const fs::path temp = pattern;
  auto fail = [&](const std::string& why) {
    ::close(fd);
    std::error_code ec;
    fs::remove(temp, ec);
    throw EToolError(path.string() + ": " + why);
  };
  for (std::string_view data : parts)
    for (std::size_t done = 0; done < data.size();) {
      const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail(std::string("cannot write the file: ") + std::strerror(errno));
      done += static_cast<std::size_t>(n);
    }
  if (::fchmod(fd, static_cast<mode_t>(permissions)) != 0) fail(std::string("cannot set its permissions: ") + std::strerror(errno));
  if (::close(fd) != 0) {
    std::error_code ec;
    fs::remove(temp, ec);
    throw EToolError(path.string() + ": cannot write the file: " + std::strerror(errno));
  }
  std::error_code ec;
  if (beforeRename) {
    try {
      beforeRename(temp);
    } catch (...) {
      fs::remove(temp, ec);
      throw;
    }
  }
  fs::rename(temp, path, ec);
  if (ec) {
    fs::remove(temp, ec);
    throw EToolError(path.string() + ": " + ec.message());
  }
}

std::uint32_t DosDateTimeOfFileTime(fs::file_time_type t) {
  std::time_t tt = std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(t));
  std::tm tm{};
  localtime_r(&tt, &tm);
  return DosDateTimeOf(tm);
}

fs::file_time_type FileTimeOfDosDateTime(std::uint32_t d) {
  std::tm tm{};
  tm.tm_year = static_cast<int>((d >> 25) + 80);
  tm.tm_mon = static_cast<int>((d >> 21) & 15) - 1;
  tm.tm_mday = static_cast<int>((d >> 16) & 31);
  tm.tm_hour = static_cast<int>((d >> 11) & 31);
  tm.tm_min = static_cast<int>((d >> 5) & 63);
  tm.tm_sec = static_cast<int>((d & 31) * 2);
  tm.tm_isdst = -1;
  std::time_t tt = std::mktime(&tm);
  return std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(tt));
}

void ImportFolder(const fs::path& disk, TMFSFolder* target) {
  std::error_code ec;
  const fs::path root = fs::canonical(disk, ec);
  if (ec) throw EToolError(disk.string() + ": " + ec.message());
  std::set<fs::path> visited{root};
  std::uint64_t total = 0;
  std::vector<std::pair<fs::path, TMFSFolder*>> pending{{disk, target}};
  while (!pending.empty()) {
    auto [dir, folder] = pending.back();
    pending.pop_back();
    std::vector<fs::directory_entry> entries{fs::directory_iterator(dir), fs::directory_iterator()};
    std::sort(entries.begin(), entries.end());
    for (const fs::directory_entry& e : entries) {
      const std::string diskName = e.path().filename().string();
      std::string name;
      if (!FromUtf8(diskName, name))
        throw EToolError(e.path().string() + ": the name cannot be written in code page " + std::to_string(BookCodePage()));
      // Inside a book a backslash separates folders; a name holding one could never be read back.
      if (name.find('\\') != std::string::npos) throw EToolError(e.path().string() + ": a backslash in a name cannot be packed");
      if (folder->FindChild(name))
        throw EToolError(e.path().string() + ": another entry has the same name up to letter case");
      // A link is followed only when it stays inside the source folder.
      if (e.is_symlink()) {
        const fs::path target = fs::canonical(e.path(), ec);
        const auto [rootEnd, at] = std::mismatch(root.begin(), root.end(), target.begin(), target.end());
        if (ec || rootEnd != root.end())
          throw EToolError(e.path().string() + ": a link that leads outside the source folder cannot be packed");
      }
      if (e.is_directory()) {
        if (!visited.insert(fs::canonical(e.path(), ec)).second)
          throw EToolError(e.path().string() + ": a link that leads back into the folder tree cannot be packed");
        auto* sub = new TMFSFolder(name, folder->Owner(), folder);
        sub->DateTime = DosDateTimeOfFileTime(e.last_write_time());
        pending.emplace_back(e.path(), sub);
      } else if (e.is_regular_file()) {
        // Sizes in an image are 32-bit and a Cabinet folder holds less than 2 GiB: refuse before
        // reading what the book could never carry.
        const std::uint64_t size = e.file_size();
        total += size;
        if (size > MaxImageBytes || total > MaxImageBytes)
          throw EToolError(e.path().string() + ": a book image holds at most " + std::to_string(MaxImageBytes) +
                           " bytes of files; this file would bring it to " + std::to_string(total));
        auto* file = new TMFSFile(name, folder->Owner(), folder);
        file->Data = ReadDiskFile(e.path());
        file->DateTime = DosDateTimeOfFileTime(e.last_write_time());
      } else {
        throw EToolError(e.path().string() + ": neither a file nor a folder");
      }
    }
  }
}

void ImportFiles(const std::vector<std::pair<std::string, std::string>>& files, TMFSFolder* target) {
  std::uint64_t total = 0;
  for (const auto& [path, bytes] : files) {
    TMFSFolder* folder = target;
    for (std::size_t from = 0; from < path.size();) {
      const std::size_t slash = std::min(path.find('/', from), path.size());
      const std::string utf8 = path.substr(from, slash - from);
      from = slash + 1;
      std::string name;
      if (!FromUtf8(utf8, name)) throw EToolError(path + ": the name cannot be written in code page " + std::to_string(BookCodePage()));
      if (name.empty() || name == "." || name == ".." || name.find('\\') != std::string::npos)
        throw EToolError(path + ": a name no book can hold");
      TMFSItem* child = folder->FindChild(name);
      if (slash < path.size()) {
        if (child && !child->IsFolder()) throw EToolError(path + ": a file has the name of this folder");
        folder = child ? static_cast<TMFSFolder*>(child) : new TMFSFolder(name, folder->Owner(), folder);
        continue;
      }
      if (child) throw EToolError(path + ": another entry has the same name up to letter case");
      total += bytes.size();
      if (bytes.size() > MaxImageBytes || total > MaxImageBytes)
        throw EToolError(path + ": a book image holds at most " + std::to_string(MaxImageBytes) + " bytes of files");
      auto* file = new TMFSFile(name, folder->Owner(), folder);
      file->Data = bytes;
      file->DateTime = DosDateTimeNow();
    }
  }
}

namespace {

// A name for a message: as UTF-8, or with its bytes shown when the code page leaves some undefined.
std::string ShownName(const std::string& name) {
  const std::string utf8 = ToUtf8(name);
  if (utf8.find("\xEF\xBF\xBD") == std::string::npos) return utf8;
  std::string shown;
  for (unsigned char c : name) {
    char hex[5];
    if (c < 0x80) shown += static_cast<char>(c);
    else std::snprintf(hex, sizeof hex, "\\x%02X", c), shown += hex;
  }
  return shown;
}

}  // namespace

void CheckDiskNames(const TMFSFolder* folder, const std::string& where) {
  // Two entries whose names convert to the same disk name (bytes the code page leaves undefined
  // all become U+FFFD) would overwrite each other.
  std::vector<std::pair<const TMFSFolder*, std::string>> pending{{folder, where}};
  while (!pending.empty()) {
    const TMFSFolder* f = pending.back().first;
    const std::string path = pending.back().second;
    pending.pop_back();
    std::map<std::string, std::string> seen;
    f->Items.ForEach([&](const std::string&, TMFSItem* item) {
      const std::string mfsPath = path + "\\" + item->Name();
      auto [it, added] = seen.emplace(ToUtf8(item->Name()), mfsPath);
      if (!added)
        throw EToolError("\"" + ShownName(it->second) + "\" and \"" + ShownName(mfsPath) + "\" would both be written as \"" +
                         it->first + "\"");
      if (const TMFSFolder* sub = item->AsFolder()) pending.emplace_back(sub, mfsPath);
    });
  }
}

void ExportFolder(const TMFSFolder* folder, const fs::path& disk) {
  CheckDiskNames(folder, "");
  folder->SaveToDisk(disk);
  // Dates afterwards, deepest first, since writing into a folder changes its time.
  std::vector<std::pair<const TMFSItem*, fs::path>> order;
  std::vector<std::pair<const TMFSFolder*, fs::path>> pending{{folder, disk}};
  while (!pending.empty()) {
    const TMFSFolder* f = pending.back().first;
    fs::path where = pending.back().second;
    pending.pop_back();
    f->Items.ForEach([&](const std::string&, TMFSItem* item) {
      fs::path target = where / fs::path(ToUtf8(item->Name()));
      order.emplace_back(item, target);
      if (const TMFSFolder* sub = item->AsFolder()) pending.emplace_back(sub, target);
    });
  }
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    std::error_code ec;
    fs::last_write_time(it->second, FileTimeOfDosDateTime(it->first->DateTime), ec);
    if (ec) throw EToolError(it->second.string() + ": " + ec.message());
  }
}

namespace {

std::string DosDateTimeText(std::uint32_t dt) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", (dt >> 25) + 1980, (dt >> 21) & 15, (dt >> 16) & 31,
                (dt >> 11) & 31, (dt >> 5) & 63, (dt & 31) * 2);
  return buf;
}

}  // namespace

void ListTree(const TMFS& mfs, std::FILE* out) {
  std::size_t files = 0, folders = 0, bytes = 0;
  std::vector<std::pair<TMFSItem*, std::string>> pending;
  auto pushChildren = [&](const TMFSFolder* folder, const std::string& path) {
    std::vector<std::pair<TMFSItem*, std::string>> children;
    folder->Items.ForEach([&](const std::string&, TMFSItem* item) { children.emplace_back(item, path + item->Name()); });
    pending.insert(pending.end(), children.rbegin(), children.rend());
  };
  pushChildren(mfs.Root(), "\\");
  while (!pending.empty()) {
    TMFSItem* item = pending.back().first;
    std::string path = pending.back().second;
    pending.pop_back();
    std::string when = DosDateTimeText(item->DateTime);
    if (TMFSFolder* folder = item->AsFolder()) {
      ++folders;
      std::fprintf(out, "%s  %10s  %s\\\n", when.c_str(), "<DIR>", ToUtf8(path).c_str());
      pushChildren(folder, path + "\\");
    } else {
      ++files;
      bytes += item->AsFile()->Data.size();
      std::fprintf(out, "%s  %10zu  %s\n", when.c_str(), item->AsFile()->Data.size(), ToUtf8(path).c_str());
    }
  }
  std::fprintf(out, "%zu files, %zu folders, %zu bytes\n", files, folders, bytes);
}

namespace {

// Whether every name below the folder can be written in the code page in effect.
bool NamesFit(const fs::path& folder) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name;
    if (!FromUtf8(it->path().filename().string(), name)) return false;
  }
  return true;
}

}  // namespace

// The code page a book is packed in when the author names none: UTF-8 when the description
// files say so (UTF-8 with letters beyond ASCII), or when they are plain ASCII and a name needs
// it; else the code page of the author's locale. Files in an 8-bit code page are seldom also
// well-formed UTF-8 with such letters.
int ChosenCodePage(const fs::path& system, const fs::path& content) {
  const int locale = DefaultBookCodePage();
  if (!fs::is_directory(system)) return locale;
  bool beyondAscii = false;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(system, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file() || !SameText(it->path().extension().string(), ".xml") || SameText(it->path().filename().string(), "Quirelle.xml"))
      continue;
    const std::string text = ReadDiskFile(it->path());
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) continue;
    if (!IsUtf8(text)) return locale;
    beyondAscii = true;
  }
  if (beyondAscii) return CodePageUtf8;
  SetBookCodePage(locale);
  const bool fit = NamesFit(system) && (!fs::is_directory(content) || NamesFit(content));
  return fit ? locale : CodePageUtf8;
}
