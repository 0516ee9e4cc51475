// Hand-built MFS records for tests, written independently of the image writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "u_MFS.h"

namespace mfs_test {

inline std::string Int32(std::int32_t v) {
  auto u = static_cast<std::uint32_t>(v);
  return {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16), static_cast<char>(u >> 24)};
}

inline std::string Common(const std::string& name, std::uint32_t dateTime, std::uint32_t attributes) {
  return Int32(static_cast<std::int32_t>(name.size())) + name + Int32(static_cast<std::int32_t>(dateTime)) +
         Int32(static_cast<std::int32_t>(attributes));
}

// A file record with its type byte.
inline std::string FileRec(const std::string& name, const std::string& data, std::uint32_t dt = 0x5A2C6000) {
  return "F" + Common(name, dt, 0x20) + Int32(static_cast<std::int32_t>(data.size())) + data;
}

// A folder record; with typeByte false, the root's record.
inline std::string FolderRec(const std::string& name, const std::vector<std::string>& children, bool typeByte = true,
                             std::uint32_t dt = 0x5A2C6000) {
  std::string r = (typeByte ? "D" : "") + Common(name, dt, 0x10) + Int32(static_cast<std::int32_t>(children.size()));
  for (const auto& c : children) r += c;
  return r;
}

inline std::string Image(const std::string& body) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", ImageChecksum(body));
  return "MFS" + std::string(digits) + body;
}

inline std::string RootImage(const std::vector<std::string>& children) { return Image(FolderRec("", children, false)); }

}  // namespace mfs_test
