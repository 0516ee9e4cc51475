// Feeds arbitrary bytes to the MFS image loader. With the first byte even, the rest is taken as
// an image body and given a correct header, so the fuzzer reaches past the checksum.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "u_MFS.h"

static std::string Header(std::string_view body) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", ImageChecksum(body));
  return std::string("MFS") + digits;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string image = (data[0] & 1) ? std::string(rest) : Header(rest) + std::string(rest);
  TMFS mfs;
  try {
    mfs.LoadFromString(image);
  } catch (const Exception&) {
    return 0;
  }
  // What loads must save and load again to the same image.
  std::string saved = mfs.SaveToString();
  TMFS again;
  again.LoadFromString(saved);
  if (again.SaveToString() != saved) std::abort();
  // Walk some paths through the loaded tree.
  TMFSSession* session = mfs.Session();
  mfs.Root()->Items.ForEach([&](const std::string& name, TMFSItem*) {
    try {
      session->Exists(name);
      session->ExpandPath(name + "\\..\\.\\" + name);
      session->GetFile("\\" + name);
    } catch (const Exception&) {
    }
  });
  return 0;
}
