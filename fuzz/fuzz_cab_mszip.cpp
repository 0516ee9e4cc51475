// The MSZIP fast path against libmspack: for any Cabinet, extracting "info.mfs" gives the same
// bytes, or fails with the same message, with the fast path on and off; and loading the book
// image from it (inflated straight into the tree when the fast path is on) gives the same tree
// or the same message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "u_BookCheck.h"
#include "u_ImageSource.h"
#include "u_MFSCab.h"

namespace {

std::string Extracted(const std::string& cabinet, bool fast) {
  SetMszipFastPath(fast);
  TMFS mfs;
  mfs.Session()->CreateFile("\\c.cab", 0, false)->Data = cabinet;
  try {
    TMFSCabReader reader(mfs.Session(), "\\c.cab");
    reader.Extract("info.mfs", "\\out");
    return mfs.Session()->Exists("\\out") ? "bytes:" + mfs.Session()->GetFile("\\out")->Data : "none";
  } catch (const Exception& e) {
    return "error:" + e.Message();
  }
}

std::string Loaded(const std::string& cabinet, bool fast) {
  SetMszipFastPath(fast);
  TMFS mfs;
  std::string result;
  try {
    LoadCabImage(mfs, cabinet);
    result = "loaded";
  } catch (const Exception& e) {
    result = "error:" + e.Message();
  }
  for (const auto& [path, file] : BookFiles(mfs)) result += "|" + path + ":" + file->Data;
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string cabinet(reinterpret_cast<const char*>(data), size);
  const std::string slow = Extracted(cabinet, false);
  const std::string fast = Extracted(cabinet, true);
  if (fast != slow) std::abort();
  if (Loaded(cabinet, true) != Loaded(cabinet, false)) std::abort();
  return 0;
}
