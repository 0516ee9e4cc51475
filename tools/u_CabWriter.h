// Writing Cabinet files (authoring side): one folder, MSZIP, through libgcab.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "u_Errors.h"

class ECabWriterError : public Exception { using Exception::Exception; };

struct TCabMember {
  std::string Name;  // in the book's code page
  std::string Data;
  std::uint32_t DosDateTime = 0;
  std::uint32_t Attributes = 0x20;
};

std::string BuildCabinet(const std::vector<TCabMember>& members);
