// Windows-format books made as Windows tools make them: a resource file (.res) written here,
// turned into an object by binutils' windres and linked into a PE32 or PE32+ executable by ld.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "mfs/cab_test_util.h"

namespace pe_test {

// A type or name: a string, or a number (RT_RCDATA is 10).
using TResourceId = std::variant<std::string, std::uint16_t>;

struct TResource {
  TResourceId Type, Name;
  std::string Data;
  std::uint16_t Language = 0x409;
};

inline void AppendU16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8 & 0xFF);
}
inline void AppendU32(std::string& out, std::uint32_t v) {
  AppendU16(out, v & 0xFFFF);
  AppendU16(out, v >> 16);
}

inline void AppendId(std::string& out, const TResourceId& id) {
  if (const auto* number = std::get_if<std::uint16_t>(&id)) {
    AppendU16(out, 0xFFFF);
    AppendU16(out, *number);
    return;
  }
  for (char c : std::get<std::string>(id)) AppendU16(out, static_cast<unsigned char>(c));
  AppendU16(out, 0);
}

// The .res format: an empty entry first, then per resource a header (sizes, type, name, flags,
// language) and the data, each padded to 4 bytes.
inline std::string ResFile(const std::vector<TResource>& resources) {
  std::string res;
  AppendU32(res, 0);
  AppendU32(res, 32);
  AppendU32(res, 0xFFFF);
  AppendU32(res, 0xFFFF);
  res.append(16, '\0');
  for (const TResource& r : resources) {
    std::string header;
    AppendId(header, r.Type);
    AppendId(header, r.Name);
    header.append((4 - header.size() % 4) % 4, '\0');
    AppendU32(header, 0);  // data version
    AppendU16(header, 0x30);  // memory flags
    AppendU16(header, r.Language);
    AppendU32(header, 0);  // version
    AppendU32(header, 0);  // characteristics
    AppendU32(res, static_cast<std::uint32_t>(r.Data.size()));
    AppendU32(res, static_cast<std::uint32_t>(8 + header.size()));
    res += header;
    res += r.Data;
    res.append((4 - r.Data.size() % 4) % 4, '\0');
  }
  return res;
}

// Links the resources into `exe` with the tools for `arch` ("x86_64": PE32+, "i686": PE32).
inline bool MakeWindowsExecutable(const std::filesystem::path& exe, const std::vector<TResource>& resources,
                                  const std::string& arch, std::string* out) {
  const std::filesystem::path res = exe.string() + ".res", object = exe.string() + ".o";
  cab_test::WriteFile(res, ResFile(resources));
  const std::string tools = arch + "-w64-mingw32-";
  return cab_test::Shell(tools + "windres -J res -O coff -i " + cab_test::Quote(res) + " -o " + cab_test::Quote(object) + " && " + tools +
                             "ld -o " + cab_test::Quote(exe) + " " + cab_test::Quote(object),
                         out) == 0;
}

// Where the resource directory of a PE made here starts in the file: the section ".rsrc".
inline std::size_t ResourceSectionOffset(const std::string& exe) {
  const std::size_t pe = cab_test::U32(exe, 0x3C);
  const std::size_t sections = pe + 24 + cab_test::U16(exe, pe + 20);
  for (std::size_t i = 0; i < cab_test::U16(exe, pe + 6); ++i)
    if (exe.compare(sections + i * 40, 6, ".rsrc\0", 6) == 0) return cab_test::U32(exe, sections + i * 40 + 20);
  return 0;
}

}  // namespace pe_test
