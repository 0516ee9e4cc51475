#include "u_Epub.h"

#include <libxml/hash.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <nettle/sha1.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
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
    // An EPUB may store a member or Deflate it, nothing else: a container that does otherwise is
    // in error, however well this library unpacks it.
    if ((stat.valid & ZIP_STAT_COMP_METHOD) && stat.comp_method != ZIP_CM_STORE && stat.comp_method != ZIP_CM_DEFLATE)
      throw EEpubError("The EPUB's container is damaged: \"" + name + "\" is compressed with " + MethodName(stat.comp_method) +
                       ", which an EPUB may not use (only stored or Deflate)");
    if (stat.size > MaxEpubBytes - FRead) throw EEpubError("The EPUB unpacks to more than " + std::to_string(MaxEpubBytes) + " bytes");
    FRead += stat.size;
    std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(zip_fopen(FZip, name.c_str(), 0), &zip_fclose);
    std::string data(static_cast<std::size_t>(stat.size), '\0');
    if (!file || zip_fread(file.get(), data.data(), stat.size) != static_cast<zip_int64_t>(stat.size))
      throw EEpubError("The EPUB's container is damaged: \"" + name + "\" cannot be unpacked");
    return data;
  }

private:
  static std::string MethodName(zip_uint16_t method) {
    switch (method) {
      case ZIP_CM_BZIP2: return "bzip2";
      case ZIP_CM_LZMA: case ZIP_CM_LZMA2: return "LZMA";
      case ZIP_CM_XZ: return "xz";
      case ZIP_CM_DEFLATE64: return "Deflate64";
      default: return "method " + std::to_string(method);
    }
  }

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
    // A label that is a picture is named by its alternative text, else its title.
    if (const xmlNode* img = Find(label, "img"); entry.Title.empty() && img) {
      entry.Title = CollapseBlanks(Attribute(img, "alt"));
      if (entry.Title.empty()) entry.Title = CollapseBlanks(Attribute(img, "title"));
    }
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
  std::string Path, MediaType, Properties, Fallback;
};

// What a reading system shows as a page: XHTML and SVG documents.
bool IsContentDocument(const std::string& mediaType) {
  return mediaType == "application/xhtml+xml" || mediaType == "image/svg+xml";
}

std::string XmlText(std::string_view text) {
  std::string out;
  for (char c : text) out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : c == '"' ? "&quot;" : std::string(1, c);
  return out;
}

// Names beside a path that no file has yet: "a.xhtml" gives "a-2.xhtml", then "a-3.xhtml", ...
// Each stem's count goes on where it stopped: a spine listing one page 100,000 times stays linear.
class TFreeNames {
public:
  explicit TFreeNames(std::set<std::string>& taken) : FTaken(taken) {}
  std::string Beside(const std::string& path, const std::string& extension) {
    const std::size_t slash = path.rfind('/') + 1;
    const std::size_t dot = path.find('.', slash);
    const std::string stem = path.substr(0, dot == std::string::npos ? path.size() : dot);
    const std::string ext = extension.empty() ? (dot == std::string::npos ? "" : path.substr(dot)) : extension;
    for (std::size_t& n = FNext.emplace(stem + '/' + ext, 2).first->second;; ++n)
      if (std::string name = stem + "-" + std::to_string(n) + ext; FTaken.insert(name).second) return name;
  }

private:
  std::set<std::string>& FTaken;
  std::map<std::string, std::size_t> FNext;
};

bool EndsWithAscii(const std::string& text, std::string_view end) {
  if (text.size() < end.size()) return false;
  for (std::size_t i = 0; i < end.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[text.size() - end.size() + i])) != end[i]) return false;
  return true;
}

// The page that stands for a spine item nothing can show.
std::string NoFallbackPage(const std::string& path, const std::string& mediaType) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>" + XmlText(path) +
         "</title></head>\n<body><p>This part of the book, \"" + XmlText(path) + "\", is of a type (" + XmlText(mediaType) +
         ") that cannot be shown, and the EPUB gives no fallback that can.</p></body></html>\n";
}

// A path as a relative reference from the container's root: what a URL may not hold, escaped.
std::string RootReference(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    if (std::isalnum(c) || c >= 0x80 || std::strchr("/-._~!$&'()*+,;=:@", c)) out += static_cast<char>(c);
    else {
      static const char* const Hex = "0123456789ABCDEF";
      out += '%';
      out += Hex[c >> 4];
      out += Hex[c & 15];
    }
  }
  return out;
}

// A book that asks to be read as one scrolled page: each document of the reading order in a frame
// of its own (its styles stay its own), one after another, each as tall as its document.
std::string ContinuousPage(const std::string& title, const std::vector<std::string>& spine) {
  std::string page = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>" + XmlText(title) +
                     "</title>\n<style>html, body { margin: 0; padding: 0 } iframe { display: block; width: 100%; height: 100vh; border: 0 }</style>"
                     "</head>\n<body>\n";
  for (const std::string& path : spine) page += "<iframe scrolling=\"no\" src=\"" + XmlText(RootReference(path)) + "\"></iframe>\n";
  page +=
      "<script>//<![CDATA[\n"
      // Each document says how tall it is (the viewer has every frame of such a book report it):
      // it comes from an origin of its own, which this page may not look into.
      "addEventListener('message', (e) => {\n"
      "  if (!e.data || typeof e.data.quirelleFrameHeight !== 'number') return;\n"
      "  for (const frame of document.querySelectorAll('iframe'))\n"
      "    if (frame.contentWindow === e.source) frame.style.height = e.data.quirelleFrameHeight + 'px';\n"
      "});\n//]]></script>\n</body></html>\n";
  return page;
}

// Every whitespace character of XML taken out, as the IDPF algorithm wants its key.
std::string WithoutBlanks(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
  return out;
}

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

std::string StandardCss(std::string_view css) {
  static const std::string_view Prefix = "-epub-";
  std::string out;
  std::size_t from = 0;
  for (std::size_t at = css.find(Prefix); at != std::string_view::npos; at = css.find(Prefix, from)) {
    // Only a property: a name, blanks, a colon; and not the tail of a longer name.
    std::size_t end = at + Prefix.size();
    while (end < css.size() && (std::isalnum(static_cast<unsigned char>(css[end])) || css[end] == '-')) ++end;
    std::size_t colon = end;
    while (colon < css.size() && (css[colon] == ' ' || css[colon] == '\t' || css[colon] == '\r' || css[colon] == '\n')) ++colon;
    const bool property = end > at + Prefix.size() && colon < css.size() && css[colon] == ':' &&
                          (at == 0 || !(std::isalnum(static_cast<unsigned char>(css[at - 1])) || css[at - 1] == '-'));
    if (!property) {
      out.append(css.substr(from, end - from));
      from = end;
      continue;
    }
    const std::string name(css.substr(at + Prefix.size(), end - at - Prefix.size()));
    out.append(css.substr(from, at - from));
    // The value, up to the end of the declaration.
    std::size_t valueEnd = colon + 1;
    while (valueEnd < css.size() && css[valueEnd] != ';' && css[valueEnd] != '}' && css[valueEnd] != '"' && css[valueEnd] != '\'') ++valueEnd;
    std::string value(css.substr(colon + 1, valueEnd - colon - 1));
    const std::string trimmed = CollapseBlanks(value);
    std::string standard = name, mapped = trimmed;
    if (name == "text-combine") {
      standard = "text-combine-upright";
      if (trimmed == "horizontal") mapped = "all";
    } else if (name == "text-orientation") {
      if (trimmed == "vertical-right") mapped = "mixed";
      else if (trimmed == "rotate-right" || trimmed == "rotate-normal") mapped = "sideways";
    }
    if (mapped != trimmed) value.replace(value.find(trimmed), trimmed.size(), mapped);
    out += standard + std::string(css.substr(end, colon - end)) + ":" + value;
    from = valueEnd;
  }
  out.append(css.substr(from));
  return out;
}

std::string StandardCssInPage(std::string_view page) {
  // Only style elements and style attributes: the text of the page stays as written.
  std::string out;
  std::size_t from = 0;
  while (from < page.size()) {
    const std::size_t element = page.find("<style", from), attribute = page.find("style=", from);
    const std::size_t at = std::min(element, attribute);
    if (at == std::string_view::npos) break;
    std::size_t begin, end;
    if (at == element) {
      begin = page.find('>', at);
      end = begin == std::string_view::npos ? begin : page.find("</style", begin);
    } else {
      begin = at + 6;
      const char quote = begin < page.size() ? page[begin] : '\0';
      end = quote == '"' || quote == '\'' ? page.find(quote, begin + 1) : std::string_view::npos;
    }
    if (end == std::string_view::npos) break;
    out.append(page.substr(from, begin + 1 - from));
    out += StandardCss(page.substr(begin + 1, end - begin - 1));
    from = end;
  }
  out.append(page.substr(std::min(from, page.size())));
  return out;
}

bool RemoveFontObfuscation(std::string& font, TFontObfuscation algorithm, std::string_view identifier) {
  std::vector<std::uint8_t> key;
  std::size_t length = 0;
  if (algorithm == TFontObfuscation::Idpf) {
    const std::string id = WithoutBlanks(identifier);
    sha1_ctx context;
    sha1_init(&context);
    sha1_update(&context, id.size(), reinterpret_cast<const std::uint8_t*>(id.data()));
    key.resize(SHA1_DIGEST_SIZE);
    sha1_digest(&context, key.size(), key.data());
    length = 1040;
  } else {
    std::string hex(identifier);
    if (hex.rfind("urn:uuid:", 0) == 0) hex.erase(0, 9);
    hex.erase(std::remove(hex.begin(), hex.end(), '-'), hex.end());
    if (hex.size() != 32 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    for (std::size_t i = 0; i < 32; i += 2) key.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    length = 1024;
  }
  for (std::size_t i = 0; i < std::min(length, font.size()); ++i) font[i] = static_cast<char>(static_cast<std::uint8_t>(font[i]) ^ key[i % key.size()]);
  return true;
}

namespace {

// The fonts encryption.xml says are obfuscated, unobfuscated; a font of another algorithm (a
// real encryption) is left as it is, with a note.
void RemoveObfuscation(TZip& zip, TEpub& epub, const xmlNode* package) {
  if (!zip.Has("META-INF/encryption.xml")) return;
  const TDoc doc = ParseXml(zip.Read("META-INF/encryption.xml"), "The EPUB's META-INF/encryption.xml");
  // The unique identifier: the dc:identifier the package names.
  const std::string uidName = Attribute(package, "unique-identifier");
  std::string uid;
  for (const xmlNode* id : Children(Find(package, "metadata"), "identifier"))
    if (uid.empty() || Attribute(id, "id") == uidName) uid = TextOf(id);
  std::map<std::string, std::string*> files;
  for (auto& [path, bytes] : epub.Files) files[path] = &bytes;
  std::vector<const xmlNode*> encrypted;
  FindAll(xmlDocGetRootElement(doc.get()), "EncryptedData", encrypted);
  std::size_t unknown = 0;
  for (const xmlNode* data : encrypted) {
    const std::string algorithm = Attribute(Find(data, "EncryptionMethod"), "Algorithm");
    const xmlNode* reference = Find(data, "CipherReference");
    const auto file = files.find(reference ? ResolveEpubPath("", Attribute(reference, "URI")) : "");
    if (file == files.end()) continue;
    if (algorithm == "http://www.idpf.org/2008/embedding") RemoveFontObfuscation(*file->second, TFontObfuscation::Idpf, uid);
    else if (algorithm == "http://ns.adobe.com/pdf/enc#RC" && RemoveFontObfuscation(*file->second, TFontObfuscation::Adobe, uid)) continue;
    else ++unknown;
  }
  if (unknown)
    epub.Notes.push_back(std::to_string(unknown) + (unknown == 1 ? " file of the EPUB is" : " files of the EPUB are") +
                         " encrypted in a way that cannot be undone here: kept as they are");
}

}  // namespace

TEpub ReadEpub(std::string_view container) {
  TZip zip(container);
  GCutTexts = 0;
  const TDoc manifestOfContainer = ParseXml(zip.Read("META-INF/container.xml"), "The EPUB's META-INF/container.xml");
  const xmlNode* rootfile = Find(xmlDocGetRootElement(manifestOfContainer.get()), "rootfile");
  const std::string opfPath = rootfile ? ResolveEpubPath("", Attribute(rootfile, "full-path")) : "";
  if (opfPath.empty()) throw EEpubError("The EPUB's META-INF/container.xml names no package document");
  const TDoc opf = ParseXml(zip.Read(opfPath), "The EPUB's package document " + opfPath);
  const xmlNode* package = xmlDocGetRootElement(opf.get());
  const xmlNode* metadata = Find(package, "metadata");
  TEpub epub;
  const xmlNode* title = Find(metadata, "title");
  epub.Title = TextOf(title);
  // The title's direction and language, else the package's.
  for (const xmlNode* from : {title, package}) {
    if (epub.TitleDirection.empty() && from) epub.TitleDirection = Attribute(from, "dir");
    if (epub.TitleLanguage.empty() && from) epub.TitleLanguage = Attribute(from, "lang", "http://www.w3.org/XML/1998/namespace");
  }
  if (epub.TitleDirection != "rtl" && epub.TitleDirection != "ltr") epub.TitleDirection.clear();
  for (const xmlNode* creator : Children(metadata, "creator"))
    if (std::string name = TextOf(creator); !name.empty()) {
      epub.Author += (epub.Author.empty() ? "" : ", ") + name;
      epub.Creators.push_back(std::move(name));
    }
  for (const xmlNode* meta : Children(metadata, "meta"))
    if (Attribute(meta, "property") == "rendition:flow" && TextOf(meta) == "scrolled-continuous") epub.Continuous = true;
  std::map<std::string, TManifestItem> manifest;
  for (const xmlNode* item : Children(Find(package, "manifest"), "item")) {
    const std::string path = ResolveEpubPath(opfPath, Attribute(item, "href"));
    if (path.empty()) continue;  // remote resources stay remote
    manifest[Attribute(item, "id")] = {path, Attribute(item, "media-type"), Attribute(item, "properties"), Attribute(item, "fallback")};
  }
  // Each path once, in order; looked up, never searched for (a manifest may list 200,000 items).
  std::set<std::string> paths;
  for (const auto& [id, item] : manifest) paths.insert(item.Path);
  std::map<std::string, std::string> made;  // pages made here: path, bytes
  std::map<std::string, std::string> copies;  // a second place of a document: path, the document's
  std::set<std::string> seen;
  TFreeNames freeNames(paths);
  std::size_t unshown = 0;
  std::string firstUnshown;
  const xmlNode* spine = Find(package, "spine");
  for (const xmlNode* ref : Children(spine, "itemref")) {
    auto item = manifest.find(Attribute(ref, "idref"));
    if (item == manifest.end()) throw EEpubError("The EPUB's package document " + opfPath + " is damaged: its spine names an item the manifest lacks");
    // A foreign type is shown by its fallback, the first of the chain that a page can be.
    const TManifestItem& listed = item->second;
    std::set<std::string> chain;
    while (item != manifest.end() && !IsContentDocument(item->second.MediaType) && chain.insert(item->first).second)
      item = manifest.find(item->second.Fallback);
    std::string path;
    if (item != manifest.end() && IsContentDocument(item->second.MediaType)) {
      path = item->second.Path;
    } else {
      path = freeNames.Beside(listed.Path, ".xhtml");
      made[path] = NoFallbackPage(listed.Path, listed.MediaType);
      if (unshown++ == 0) firstUnshown = "\"" + listed.Path + "\" (" + listed.MediaType + ")";
    }
    // A document listed again keeps both places under an address of its own.
    if (!seen.insert(path).second) {
      const std::string copy = freeNames.Beside(path, "");
      copies[copy] = path;
      path = copy;
    }
    (Attribute(ref, "linear") == "no" ? epub.NonLinear : epub.Spine).push_back(path);
  }
  if (unshown)
    epub.Notes.push_back(firstUnshown + (unshown > 1 ? " and " + std::to_string(unshown - 1) + " more spine items are" : " of the spine is") +
                         " of a type that cannot be shown, with no fallback that can: a page says so in " + (unshown > 1 ? "their places" : "its place"));
  if (epub.Spine.empty() && !epub.NonLinear.empty()) epub.Spine.swap(epub.NonLinear);  // all of it aside: read it in order
  if (epub.Spine.empty()) throw EEpubError("The EPUB's package document " + opfPath + " has no content documents in its spine");
  if (epub.Continuous) {
    const std::string page = freeNames.Beside("continuous", ".xhtml");
    made[page] = ContinuousPage(epub.Title, epub.Spine);
    epub.NonLinear.insert(epub.NonLinear.end(), epub.Spine.begin(), epub.Spine.end());
    epub.Spine = {page};
  }
  const std::set<std::string> needed = [&] {
    std::set<std::string> all(epub.Spine.begin(), epub.Spine.end());
    all.insert(epub.NonLinear.begin(), epub.NonLinear.end());
    return all;
  }();
  std::map<std::string, std::string> mediaTypes;
  for (const auto& [id, item] : manifest) mediaTypes[item.Path] = item.MediaType;
  for (const std::string& path : paths) {
    const auto copy = copies.find(path);
    const std::string& source = copy != copies.end() ? copy->second : path;
    if (const auto page = made.find(source); page != made.end()) {
      epub.Files.emplace_back(path, page->second);
      continue;
    }
    if (copy != copies.end()) {
      epub.Files.emplace_back(path, zip.Read(source));
      continue;
    }
    // A manifest naming a file the container lacks loses only that file; the check says who links to it.
    if (needed.count(path) || zip.Has(path)) epub.Files.emplace_back(path, zip.Read(path));
  }
  RemoveObfuscation(zip, epub, package);
  for (auto& [path, bytes] : epub.Files) {
    const std::string& type = mediaTypes[path];
    if (bytes.find("-epub-") == std::string::npos) continue;
    if (type == "text/css" || EndsWithAscii(path, ".css")) bytes = StandardCss(bytes);
    else if (type == "application/xhtml+xml" || EndsWithAscii(path, ".xhtml")) bytes = StandardCssInPage(bytes);
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
