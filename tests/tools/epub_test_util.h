// EPUBs written in the tests with libzip, from the files given.
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

// "mimetype" first and stored; the members named in `bzip2` compressed with bzip2.
inline void WriteEpub(const std::filesystem::path& file, const std::vector<std::pair<std::string, std::string>>& files,
                      const std::set<std::string>& bzip2 = {}) {
  int error = 0;
  zip_t* zip = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(zip, nullptr);
  for (const auto& [name, data] : files) {
    zip_source_t* source = zip_source_buffer(zip, data.data(), data.size(), 0);
    const zip_int64_t index = zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    ASSERT_GE(index, 0);
    if (name == "mimetype") zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    if (bzip2.count(name)) ASSERT_EQ(zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_BZIP2, 0), 0);
  }
  ASSERT_EQ(zip_close(zip), 0);
}

inline const char* const EpubContainerXml =
    "<?xml version=\"1.0\"?><container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">"
    "<rootfiles><rootfile full-path=\"OPS/book.opf\" media-type=\"application/oebps-package+xml\"/></rootfiles></container>";

// An XHTML content document: the head's extra, then the body.
inline std::string EpubPage(const std::string& title, const std::string& body, const std::string& head = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\">"
         "<head><title>" + title + "</title>" + head + "</head><body>" + body + "</body></html>";
}
