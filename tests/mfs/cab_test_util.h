// Cabinets for tests: made by our writer, by Debian's gcab command, and damaged on purpose.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "u_CabWriter.h"
#include "u_MFS.h"

namespace cab_test {

inline std::string SampleImage() {
  TMFS mfs;
  TMFSSession* s = mfs.Session();
  s->CreateFile("\\System.xml", 0, false)->Data = "<System Title=\"T\"/>";
  s->ForceFolders("\\pages");
  s->CreateFile("\\pages\\a.htm", 0, false)->Data = std::string(5000, 'a');
  return mfs.SaveToString();
}

inline std::string Cab(const std::vector<TCabMember>& members) { return BuildCabinet(members); }

inline std::uint16_t U16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}
inline std::uint32_t U32(const std::string& s, std::size_t at) {
  return static_cast<std::uint32_t>(U16(s, at)) | static_cast<std::uint32_t>(U16(s, at + 2)) << 16;
}
inline void PutU16(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v);
  s[at + 1] = static_cast<char>(v >> 8);
}
inline void PutU32(std::string& s, std::size_t at, std::uint32_t v) {
  PutU16(s, at, static_cast<std::uint16_t>(v));
  PutU16(s, at + 2, static_cast<std::uint16_t>(v >> 16));
}

// Marks a single-folder cabinet as continuing a previous one, with the names that requires.
inline std::string Spanned(std::string cab) {
  const std::string names = std::string("prev.cab\0disk1\0", 15);
  std::uint32_t shift = static_cast<std::uint32_t>(names.size());
  PutU16(cab, 30, U16(cab, 30) | 0x0001);
  PutU32(cab, 8, U32(cab, 8) + shift);
  PutU32(cab, 16, U32(cab, 16) + shift);
  std::size_t header = 36;
  PutU32(cab, header, U32(cab, header) + shift);  // the folder's first data block
  cab.insert(header, names);
  return cab;
}

class TTempDir {
public:
  TTempDir() {
    static int counter = 0;
    FPath = std::filesystem::temp_directory_path() /
            ("quirelle-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    std::filesystem::remove_all(FPath);
    std::filesystem::create_directories(FPath);
  }
  ~TTempDir() { std::filesystem::remove_all(FPath); }
  const std::filesystem::path& Path() const { return FPath; }

private:
  std::filesystem::path FPath;
};

inline void WriteFile(const std::filesystem::path& p, const std::string& data) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs a shell command; its exit status, with standard output in *out.
inline int Shell(const std::string& command, std::string* out = nullptr) {
  std::string full = command + " 2>&1";
  FILE* p = ::popen(full.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = ::pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Quote(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

}  // namespace cab_test
