#include "u_Epub.h"

#include <libxml/hash.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zip.h>

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <set>

#include "u_Address.h"

namespace {

const char* const OpsNamespace = "http://www.idpf.org/2007/ops";

// ------------------------------------------------------------------ the container

class TZip {
public:
  explicit TZip(std::string_view bytes) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    if (source) FZip = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!FZip) {
      if (source) zip_source_free(source);
      const std::string why = zip_error_strerror(&error);
      zip_error_fini(&error);
      throw EEpubError("The EPUB's container is damaged: it is no ZIP archive (" + why + ")");
    }
    zip_error_fini(&error);
  }
  ~TZip() { zip_discard(FZip); }
  TZip(const TZip&) = delete;
  TZip& operator=(const TZip&) = delete;

  bool Has(const std::string& name) const { return zip_name_locate(FZip, name.c_str(), 0) >= 0; }

  // The whole member; what all members read together may unpack to is bounded.
  std::string Read(const std::string& name) {
    zip_stat_t stat;
    if (zip_stat(FZip, name.c_str(), 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE))
      throw EEpubError("The EPUB's container lacks \"" + name + "\"");
    if (stat.size > MaxEpubBytes - FRead) throw EEpubError("The EPUB unpacks to more than " + std::to_string(MaxEpubBytes) + " bytes");
    FRead += stat.size;
    std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(zip_fopen(FZip, name.c_str(), 0), &zip_fclose);
    std::string data(static_cast<std::size_t>(stat.size), '\0');
    if (!file || zip_fread(file.get(), data.data(), stat.size) != static_cast<zip_int64_t>(stat.size))
      throw EEpubError("The EPUB's container is damaged: \"" + name + "\" cannot be unpacked");
    return data;
  }

private:
  zip_t* FZip = nullptr;
  std::uint64_t FRead = 0;
};

// ------------------------------------------------------------------ XML documents

struct TDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using TDoc = std::unique_ptr<xmlDoc, TDocFree>;

// Parsed without the network, without entity substitution and within libxml2's own limits
// (depth, sizes), its complaints kept off the terminal.
TDoc ParseXml(const std::string& bytes, const std::string& what) {
  if (bytes.size() > INT_MAX) throw EEpubError(what + " is too large");
  xmlDoc* doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc || !xmlDocGetRootElement(doc)) {
    xmlFreeDoc(doc);
    throw EEpubError(what + " is damaged: it is not well-formed XML");
  }
  TDoc owned(doc);
  // Entities are expanded only as text is read, past every limit of the parser's own: a few
  // bytes of declarations become gigabytes. EPUB's documents may declare none.
  auto declares = [](const xmlDtd* dtd) {
    return dtd && ((dtd->entities && xmlHashSize(static_cast<xmlHashTablePtr>(dtd->entities)) > 0) ||
                   (dtd->pentities && xmlHashSize(static_cast<xmlHashTablePtr>(dtd->pentities)) > 0));
  };
  if (declares(doc->intSubset) || declares(doc->extSubset))
    throw EEpubError(what + " declares entities in its DTD, which an EPUB may not: it is refused");
  return owned;
}

bool Is(const xmlNode* node, const char* name) {
  return node && node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

std::vector<const xmlNode*> Children(const xmlNode* node, const char* name) {
  std::vector<const xmlNode*> found;
  for (const xmlNode* child = node ? node->children : nullptr; child; child = child->next)
    if (Is(child, name)) found.push_back(child);
  return found;
}

// The first element of that name at or below node, depth first.
const xmlNode* Find(const xmlNode* node, const char* name) {
  if (Is(node, name)) return node;
  for (const xmlNode* child = node ? node->children : nullptr; child; child = child->next)
    if (const xmlNode* found = Find(child, name)) return found;
  return nullptr;
}

void FindAll(const xmlNode* node, const char* name, std::vector<const xmlNode*>& found) {
  if (Is(node, name)) found.push_back(node);
  for (const xmlNode* child = node ? node->children : nullptr; child; child = child->next) FindAll(child, name, found);
}

std::string Attribute(const xmlNode* node, const char* name, const char* ns = nullptr) {
  xmlChar* value = ns ? xmlGetNsProp(node, reinterpret_cast<const xmlChar*>(name), reinterpret_cast<const xmlChar*>(ns))
                      : xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  std::string text = value ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

// Titles and labels longer than this many characters are cut (and ReadEpub says so).
constexpr std::size_t MaxEpubText = 1000;
thread_local std::size_t GCutTexts = 0;

std::string TextOf(const xmlNode* node) {
  xmlChar* content = node ? xmlNodeGetContent(node) : nullptr;
  std::string out = CollapseBlanks(content ? reinterpret_cast<const char*>(content) : "");
  xmlFree(content);
  // Counted in UTF-8 characters: a cut never splits one.
  std::size_t characters = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if ((static_cast<unsigned char>(out[i]) & 0xC0) == 0x80) continue;
    if (++characters > MaxEpubText) {
      out.resize(i);
      ++GCutTexts;
      break;
    }
  }
  return out;
}

bool HasToken(const std::string& list, std::string_view token) {
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t end = std::min(list.find(' ', at), list.size());
    if (std::string_view(list).substr(at, end - at) == token) return true;
    at = end + 1;
  }
  return false;
}

// ------------------------------------------------------------------ tables of contents

// An EPUB 3 navigation document's list: li elements holding a or span, and a nested ol.
std::vector<TEpubTocEntry> NavList(const xmlNode* ol, const std::string& from) {
  std::vector<TEpubTocEntry> entries;
  for (const xmlNode* li : Children(ol, "li")) {
    TEpubTocEntry entry;
    const std::vector<const xmlNode*> links = Children(li, "a");
    const xmlNode* label = links.empty() ? (Children(li, "span").empty() ? nullptr : Children(li, "span").front()) : links.front();
    entry.Title = TextOf(label);
    if (!links.empty()) entry.Path = ResolveEpubPath(from, Attribute(links.front(), "href"));
    const std::vector<const xmlNode*> nested = Children(li, "ol");
    if (!nested.empty()) entry.Children = NavList(nested.front(), from);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<TEpubTocEntry> NavToc(const xmlNode* root, const std::string& from) {
  std::vector<const xmlNode*> navs;
  FindAll(root, "nav", navs);
  const auto toc = std::find_if(navs.begin(), navs.end(), [](const xmlNode* n) { return HasToken(Attribute(n, "type", OpsNamespace), "toc"); });
  if (toc == navs.end()) return {};
  const std::vector<const xmlNode*> lists = Children(*toc, "ol");
  return lists.empty() ? std::vector<TEpubTocEntry>{} : NavList(lists.front(), from);
}

// An NCX's navPoints: a label, a content source, nested navPoints.
std::vector<TEpubTocEntry> NcxPoints(const xmlNode* parent, const std::string& from) {
  std::vector<TEpubTocEntry> entries;
  for (const xmlNode* point : Children(parent, "navPoint")) {
    TEpubTocEntry entry;
    const std::vector<const xmlNode*> labels = Children(point, "navLabel");
    entry.Title = labels.empty() ? "" : TextOf(Find(labels.front(), "text"));
    const std::vector<const xmlNode*> content = Children(point, "content");
    if (!content.empty()) entry.Path = ResolveEpubPath(from, Attribute(content.front(), "src"));
    entry.Children = NcxPoints(point, from);
    entries.push_back(std::move(entry));
  }
  return entries;
}

struct TManifestItem {
  std::string Path, MediaType, Properties;
};

}  // namespace

std::string CollapseBlanks(std::string_view text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out += blank ? ' ' : c;
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string ResolveEpubPath(std::string_view from, std::string_view href) {
  href = href.substr(0, std::min(href.find('#'), href.find('?')));
  const std::size_t colon = href.find(':');
  if (colon != std::string_view::npos && colon < href.find('/')) return {};  // another scheme: not in the container
  std::string decoded;
  for (std::size_t i = 0; i < href.size(); ++i) {
    auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
    if (href[i] == '%' && i + 2 < href.size() && hex(href[i + 1]) >= 0 && hex(href[i + 2]) >= 0) {
      decoded += static_cast<char>(hex(href[i + 1]) * 16 + hex(href[i + 2]));
      i += 2;
    } else {
      decoded += href[i];
    }
  }
  // Within the container a climb above its root stops there, as a reading system resolves it.
  return decoded.empty() ? std::string() : ResolvePath(from, decoded, ZipPathStyle);
}

TEpub ReadEpub(std::string_view container) {
  TZip zip(container);
  GCutTexts = 0;
  const TDoc manifestOfContainer = ParseXml(zip.Read("META-INF/container.xml"), "The EPUB's META-INF/container.xml");
  const xmlNode* rootfile = Find(xmlDocGetRootElement(manifestOfContainer.get()), "rootfile");
  const std::string opfPath = rootfile ? ResolveEpubPath("", Attribute(rootfile, "full-path")) : "";
  if (opfPath.empty()) throw EEpubError("The EPUB's META-INF/container.xml names no package document");
  const TDoc opf = ParseXml(zip.Read(opfPath), "The EPUB's package document " + opfPath);
  const xmlNode* package = xmlDocGetRootElement(opf.get());
  TEpub epub;
  epub.Title = TextOf(Find(Find(package, "metadata"), "title"));
  epub.Author = TextOf(Find(Find(package, "metadata"), "creator"));
  std::map<std::string, TManifestItem> manifest;
  for (const xmlNode* item : Children(Find(package, "manifest"), "item")) {
    const std::string path = ResolveEpubPath(opfPath, Attribute(item, "href"));
    if (path.empty()) continue;  // remote resources stay remote
    manifest[Attribute(item, "id")] = {path, Attribute(item, "media-type"), Attribute(item, "properties")};
  }
  const xmlNode* spine = Find(package, "spine");
  for (const xmlNode* ref : Children(spine, "itemref")) {
    const auto item = manifest.find(Attribute(ref, "idref"));
    if (item == manifest.end()) throw EEpubError("The EPUB's package document " + opfPath + " is damaged: its spine names an item the manifest lacks");
    epub.Spine.push_back(item->second.Path);
  }
  if (epub.Spine.empty()) throw EEpubError("The EPUB's package document " + opfPath + " has no content documents in its spine");
  // Each path once, in order; looked up, never searched for (a manifest may list 200,000 items).
  std::set<std::string> paths;
  for (const auto& [id, item] : manifest) paths.insert(item.Path);
  const std::set<std::string> inSpine(epub.Spine.begin(), epub.Spine.end());
  for (const std::string& path : paths) {
    // A manifest naming a file the container lacks loses only that file; the check says who links to it.
    const bool needed = inSpine.count(path) != 0;
    if (needed || zip.Has(path)) epub.Files.emplace_back(path, zip.Read(path));
  }
  for (const auto& [id, item] : manifest) {
    if (!HasToken(item.Properties, "nav")) continue;
    const TDoc nav = ParseXml(zip.Read(item.Path), "The EPUB's navigation document " + item.Path);
    epub.Toc = NavToc(xmlDocGetRootElement(nav.get()), item.Path);
  }
  if (const auto ncx = manifest.find(Attribute(spine, "toc")); epub.Toc.empty() && ncx != manifest.end()) {
    const TDoc doc = ParseXml(zip.Read(ncx->second.Path), "The EPUB's NCX " + ncx->second.Path);
    epub.Toc = NcxPoints(Find(xmlDocGetRootElement(doc.get()), "navMap"), ncx->second.Path);
  }
  if (GCutTexts)
    epub.Notes.push_back(std::to_string(GCutTexts) + (GCutTexts == 1 ? " title or label" : " titles or labels") +
                         " of the EPUB held more than " + std::to_string(MaxEpubText) + " characters: cut to the first " +
                         std::to_string(MaxEpubText));
  return epub;
}
