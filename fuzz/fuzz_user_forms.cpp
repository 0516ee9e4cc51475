// Reads an arbitrary forms file as start-up does, from a folder below the root, so that paths
// with ".." and every attribute's conversion are exercised.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "u_UserForms.h"
#include "u_MFS.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TMFS image;
  image.Session()->ForceFolders("\\forms\\inner");
  image.Session()->ChangeFolder("\\forms\\inner");
  try {
    TUserForms forms(image.Session(), &text);
    if (const TUserForm* form = forms.FindForm("About"); form && form->Path.empty()) std::abort();
  } catch (const Exception&) {
    // Start-up shows these and stops.
  }
  return 0;
}
