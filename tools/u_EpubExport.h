// Any book as an EPUB 3: its pages as the viewer serves them (variables substituted, decoded
// from their encoding) written as XHTML in UTF-8, its story as the reading order and the table of
// contents, its pictures and style sheets byte for byte.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "u_Errors.h"

class TBook;

class EEpubExportError : public Exception { using Exception::Exception; };

struct TEpubExportOptions {
  // The title when the book gives none (its file or folder name).
  std::string FallbackTitle;
  // A picture of the system image (its path, its bytes) as PNG bytes, or empty when it does not
  // decode; none leaves the EPUB without a cover.
  std::function<std::string(const std::string& path, const std::string& bytes)> ToPng;
};

// Writes the loaded book to `output`, beside it first and renamed when whole. What an EPUB cannot
// carry, and what was left out, is added to `notes` (one line each).
void ExportEpub(TBook& book, const TEpubExportOptions& options, const std::filesystem::path& output, std::vector<std::string>& notes);
