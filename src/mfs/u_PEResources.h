// The resources of a Windows executable (PE32 or PE32+), read as data: books made for Windows
// carry their blocks there. Nothing in the file is ever run or trusted: every offset, size and
// count is checked against the file before it is used.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "u_Errors.h"

class EPEResourceError : public Exception { using Exception::Exception; };

// Reads `size` bytes at `offset` of the file; the caller has checked that they lie inside it.
using TReadAt = std::function<std::string(std::uint64_t offset, std::size_t size)>;

struct TFileRange {
  std::uint64_t Offset = 0;
  std::uint64_t Size = 0;
};

// Whether the file's first bytes are those of a DOS or Windows executable ("MZ").
bool IsPEFile(std::string_view head);

// Where the data of the resource with the type named by the string `type` and the name `name`
// lies in the file: the first language present; letter case of ASCII names ignored. A numeric
// type or name never matches a string. Nothing when there is no such resource; a file whose
// headers or resource directory do not hold together raises EPEResourceError saying why
// ("its resource directories loop").
std::optional<TFileRange> FindNamedPEResource(std::uint64_t fileSize, const TReadAt& readAt, std::string_view type,
                                              std::string_view name);
