// A Windows executable from hostile bytes: its headers, sections and resource directory. A
// resource found lies inside the file; anything else is a clean error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "u_PEResources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  const TReadAt readAt = [&](std::uint64_t offset, std::size_t n) {
    if (offset > file.size() || n > file.size() - offset) std::abort();  // the reader checks before it reads
    return file.substr(static_cast<std::size_t>(offset), n);
  };
  if (!IsPEFile(file)) return 0;
  for (const char* name : {"SYSTEM_MFS", "FILES_MFS"}) {
    try {
      if (const auto range = FindNamedPEResource(file.size(), readAt, "RCDATA", name))
        if (range->Offset > file.size() || range->Size > file.size() - range->Offset) std::abort();
    } catch (const EPEResourceError&) {
    }
  }
  return 0;
}
