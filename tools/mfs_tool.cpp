// quirelle-mfs: builds, lists and extracts MFS images.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "u_CodePage.h"
#include "u_MFS.h"

namespace fs = std::filesystem;

namespace {

const char* const Usage =
    "Usage: quirelle-mfs list IMAGE\n"
    "       quirelle-mfs build FOLDER IMAGE\n"
    "       quirelle-mfs extract IMAGE FOLDER\n"
    "\n"
    "  list     print the folder tree of an MFS image\n"
    "  build    make an MFS image of a disk folder (names in the book's code page)\n"
    "  extract  write the files of an MFS image into a disk folder\n";

class EToolError : public Exception { using Exception::Exception; };

std::string ReadDiskFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EToolError(path.string() + ": cannot open the file");
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw EToolError(path.string() + ": read error");
  return ss.str();
}

// Written beside the target and renamed, so the output appears whole or not at all.
void WriteDiskFileAtomically(const fs::path& path, const std::string& data) {
  fs::path temp = path;
  temp += ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw EToolError(temp.string() + ": cannot write the file");
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    fs::remove(temp, ec);
    throw EToolError(path.string() + ": " + ec.message());
  }
}

std::uint32_t DosDateTimeOf(const fs::file_time_type& t) {
  auto sys = std::chrono::file_clock::to_sys(t);
  std::time_t tt = std::chrono::system_clock::to_time_t(sys);
  std::tm tm{};
  localtime_r(&tt, &tm);
  int year = std::clamp(tm.tm_year + 1900, 1980, 2107);
  return static_cast<std::uint32_t>((year - 1980) << 25 | (tm.tm_mon + 1) << 21 | tm.tm_mday << 16 |
                                    tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
}

std::string BookName(const fs::path& path) {
  std::string name;
  if (!FromUtf8(path.filename().string(), name))
    throw EToolError(path.string() + ": the name cannot be written in code page " + std::to_string(BookCodePage()));
  return name;
}

void ImportFolder(const fs::path& disk, TMFSFolder* target, TMFS* mfs) {
  std::vector<std::pair<fs::path, TMFSFolder*>> pending{{disk, target}};
  while (!pending.empty()) {
    auto [dir, folder] = pending.back();
    pending.pop_back();
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
      std::string name = BookName(e.path());
      if (folder->FindChild(name))
        throw EToolError(e.path().string() + ": another entry has the same name up to letter case");
      if (e.is_directory()) {
        auto* sub = new TMFSFolder(name, mfs, folder);
        sub->DateTime = DosDateTimeOf(e.last_write_time());
        pending.emplace_back(e.path(), sub);
      } else if (e.is_regular_file()) {
        auto* file = new TMFSFile(name, mfs, folder);
        file->Data = ReadDiskFile(e.path());
        file->DateTime = DosDateTimeOf(e.last_write_time());
      }
    }
  }
}

std::string DosDateTimeText(std::uint32_t dt) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", (dt >> 25) + 1980, (dt >> 21) & 15, (dt >> 16) & 31,
                (dt >> 11) & 31, (dt >> 5) & 63, (dt & 31) * 2);
  return buf;
}

// Pre-order: each folder is followed by what it holds.
void List(const TMFS& mfs) {
  std::size_t files = 0, folders = 0, bytes = 0;
  std::vector<std::pair<TMFSItem*, std::string>> pending;
  auto pushChildren = [&](const TMFSFolder* folder, const std::string& path) {
    std::vector<std::pair<TMFSItem*, std::string>> children;
    folder->Items.ForEach([&](const std::string& name, TMFSItem* item) { children.emplace_back(item, path + name); });
    pending.insert(pending.end(), children.rbegin(), children.rend());
  };
  pushChildren(mfs.Root(), "\\");
  while (!pending.empty()) {
    auto [item, path] = pending.back();
    pending.pop_back();
    std::string when = DosDateTimeText(item->DateTime);
    if (TMFSFolder* folder = item->AsFolder()) {
      ++folders;
      std::printf("%s  %10s  %s\\\n", when.c_str(), "<DIR>", ToUtf8(path).c_str());
      pushChildren(folder, path + "\\");
    } else {
      ++files;
      bytes += item->AsFile()->Data.size();
      std::printf("%s  %10zu  %s\n", when.c_str(), item->AsFile()->Data.size(), ToUtf8(path).c_str());
    }
  }
  std::printf("%zu files, %zu folders, %zu bytes\n", files, folders, bytes);
}

int Run(const std::vector<std::string>& args) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(Usage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  const std::string& command = args[0];
  if (command == "list" && args.size() == 2) {
    TMFS mfs;
    mfs.LoadFromString(ReadDiskFile(args[1]));
    List(mfs);
    return 0;
  }
  if (command == "build" && args.size() == 3) {
    if (!fs::is_directory(args[1])) throw EToolError(args[1] + ": not a folder");
    if (fs::exists(args[2]) && fs::equivalent(args[1], args[2])) throw EToolError(args[2] + ": would replace the input");
    TMFS mfs;
    ImportFolder(args[1], mfs.Root(), &mfs);
    WriteDiskFileAtomically(args[2], mfs.SaveToString());
    return 0;
  }
  if (command == "extract" && args.size() == 3) {
    TMFS mfs;
    mfs.LoadFromString(ReadDiskFile(args[1]));
    mfs.Root()->SaveToDisk(args[2]);
    return 0;
  }
  std::fputs(Usage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return Run(args);
  } catch (const Exception& e) {
    std::fprintf(stderr, "quirelle-mfs: %s\n", e.Message().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quirelle-mfs: %s\n", e.what());
  }
  return 1;
}
