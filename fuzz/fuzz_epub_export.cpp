// --to-epub on a hostile page: the export ends with an EPUB or a clean error, and the page it
// writes is well-formed XML (what every reading system parses it as).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <libxml/parser.h>
#include <unistd.h>
#include <zip.h>

#include "u_Book.h"
#include "u_EpubExport.h"
#include "u_ImageSource.h"

namespace {

std::string Member(const std::string& epub, const char* name) {
  int error = 0;
  zip_t* zip = zip_open(epub.c_str(), ZIP_RDONLY, &error);
  if (!zip) std::abort();
  zip_stat_t stat;
  std::string data;
  if (zip_stat(zip, name, 0, &stat) == 0) {
    data.resize(static_cast<std::size_t>(stat.size));
    zip_file_t* file = zip_fopen(zip, name, 0);
    if (!file || zip_fread(file, data.data(), stat.size) != static_cast<zip_int64_t>(stat.size)) std::abort();
    zip_fclose(file);
  }
  zip_discard(zip);
  return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TBookSource source;
  source.SystemImage = std::make_shared<TMFS>();
  TMFSSession& system = *source.SystemImage->Session();
  system.CreateFile("\\System.xml", 0, false)->Data = "<System Story=\"Story.xml\"/>";
  system.CreateFile("\\Story.xml", 0, false)->Data = "<Story><item page=\"p.htm\" pagename=\"P\"/></Story>";
  auto load = std::make_shared<TContentImageLoad>();
  load->Image->Session()->CreateFile("\\p.htm", 0, false)->Data.assign(reinterpret_cast<const char*>(data), size);
  load->Image->Session()->CreateFile("\\s.css", 0, false)->Data = "p { color: red }";
  load->Finished();
  source.ContentLoad = load;
  const std::string output = "/dev/shm/fuzz-epub-export-" + std::to_string(::getpid()) + ".epub";
  try {
    TBook book(std::move(source));
    book.Load();
    std::vector<std::string> notes;
    ExportEpub(book, {}, output, notes);
  } catch (const Exception&) {
    return 0;
  }
  const std::string page = Member(output, "OEBPS/p.xhtml");
  std::remove(output.c_str());
  if (page.empty()) std::abort();
  xmlDocPtr doc = xmlReadMemory(page.data(), static_cast<int>(page.size()), "p.xhtml", nullptr, XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOWARNING | XML_PARSE_NOERROR);
  if (!doc) std::abort();  // not well-formed
  xmlFreeDoc(doc);
  return 0;
}
