// Loads an arbitrary variables document and substitutes arbitrary text with it.
// Input: two bytes giving the document's length (the low bit of the first also picks whether
// the leading "$" is stripped), the document, then the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "u_Variables.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(data[0] | data[1] << 8), size - 2);
  std::string text(reinterpret_cast<const char*>(data) + 2, length);
  std::string subject(reinterpret_cast<const char*>(data) + 2 + length, size - 2 - length);
  try {
    TVariables variables(text, data[0] & 1);
    std::string out = variables.Substitute(subject);
    // Text without a "%" comes back as it was.
    if (std::memchr(subject.data(), '%', subject.size()) == nullptr && out != subject) std::abort();
    std::string inPlace = subject;
    variables.SubstituteInPlace(inPlace);
    if (inPlace != out) std::abort();
  } catch (const Exception&) {
  }
  return 0;
}
