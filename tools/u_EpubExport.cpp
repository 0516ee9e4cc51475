#include "u_EpubExport.h"

#include <gumbo.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <cctype>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "u_Address.h"
#include "u_Book.h"
#include "u_BookCheck.h"
#include "u_CodePage.h"
#include "u_PageEncoding.h"

namespace fs = std::filesystem;

namespace {

const char* const Root = "OEBPS/";
constexpr std::size_t MaxExportNesting = 1000;

// ------------------------------------------------------------------ names and media types

// The media type a reading system must support for the file, or empty for one EPUB does not
// carry as core media.
std::string CoreMediaType(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const std::map<std::string, std::string> types = {
      {"css", "text/css"},          {"gif", "image/gif"},        {"jpg", "image/jpeg"},     {"jpeg", "image/jpeg"},
      {"png", "image/png"},         {"svg", "image/svg+xml"},    {"webp", "image/webp"},    {"js", "application/javascript"},
      {"ttf", "font/ttf"},          {"otf", "font/otf"},         {"woff", "font/woff"},     {"woff2", "font/woff2"},
      {"mp3", "audio/mpeg"},        {"m4a", "audio/mp4"},        {"mp4", "audio/mp4"},      {"ogg", "audio/ogg"},
      {"opus", "audio/ogg"},        {"vtt", "text/vtt"},         {"smil", "application/smil+xml"}};
  const auto found = types.find(ext);
  return found == types.end() ? std::string() : found->second;
}

// A member name for a path of the book (code page, backslashes): UTF-8, slashes, and none of the
// characters a container's names may not hold (blanks, which readers mishandle, too); pages end
// in ".xhtml".
std::string MemberName(const std::string& bookPath, bool page) {
  std::string name = ToUtf8(bookPath.substr(bookPath.empty() || bookPath[0] != '\\' ? 0 : 1));
  for (char& c : name) {
    if (c == '\\') c = '/';
    // A "/" inside a name would make folders of it (and "../" leave the container's root).
    else if (std::string_view(" \"*:<>?|#%^[]{}~'`&;=+$,!/").find(c) != std::string_view::npos || static_cast<unsigned char>(c) < 0x20)
      c = '_';
  }
  if (page) name = name.substr(0, name.rfind('.')) + ".xhtml";
  return name;
}

std::string XmlEscape(std::string_view text, bool attribute) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;  // not a character XML allows
    if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) == 0xBE || static_cast<unsigned char>(text[i + 2]) == 0xBF)) {
      i += 2;  // U+FFFE and U+FFFF neither
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += attribute ? "&quot;" : "\""; break;
      case '\r': out += attribute ? "&#13;" : "\r"; break;
      default: out += static_cast<char>(c);
    }
  }
  return out;
}

bool IsXmlName(std::string_view name) {
  if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'; });
}

// A stable identifier from the book's bytes: two FNV-1a sums as a UUID.
std::string ContentIdentifier(const std::vector<std::pair<std::string, TMFSFile*>>& files) {
  std::uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
  auto add = [&](std::string_view bytes) {
    for (unsigned char c : bytes) {
      a = (a ^ c) * 0x100000001b3ull;
      b = (b ^ c) * 0x100000001b3ull + 1;
    }
  };
  for (const auto& [path, file] : files) {
    add(path);
    add(file->Data);
  }
  char uuid[40];
  std::snprintf(uuid, sizeof uuid, "%08x-%04x-8%03x-%04x-%012llx", static_cast<unsigned>(a >> 32), static_cast<unsigned>(a >> 16 & 0xFFFF),
                static_cast<unsigned>(a & 0xFFF), static_cast<unsigned>((b >> 48 & 0x3FFF) | 0x8000),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return std::string("urn:uuid:") + uuid;
}

// ------------------------------------------------------------------ the book's files

struct TMember {
  std::string Name;       // below OEBPS/
  std::string MediaType;
  std::string Data;
  std::string Properties;  // "scripted", "cover-image", "nav"
  bool Page = false;
  bool InStory = false;
  std::string Path;  // in the content image
};

// What converting one page gives, apart from the others: pages are converted on every core.
struct TPageWork {
  std::string Title;  // for a page without one
  std::set<std::string> Ids;
  std::set<std::size_t> Reached;  // members its links name
  std::size_t Dropped = 0;        // links to files not carried
  bool Shim = false;              // its scripts call window.external
  std::vector<std::string> Notes;
  std::string Xhtml, Properties;
  std::exception_ptr Failure;
};

class TExport {
public:
  TExport(TBook& book, const TEpubExportOptions& options, std::vector<std::string>& notes)
      : FBook(book), FOptions(options), FNotes(notes) {}
  void Run(const fs::path& output);

private:
  void NameMembers();
  void WritePages();
  void PageXhtml(const TMember& member, TPageWork& work);
  // Writes a node's text, or an element's start tag (and what goes first inside it); true when
  // its children follow, then `close`.
  bool Open(const GumboNode* node, const std::string& path, const TMember& member, std::string& out, TPageWork& work, std::string& close);
  void Tree(const GumboNode* root, const std::string& path, const TMember& member, std::string& out, TPageWork& work);
  std::string Rewrite(const std::string& path, const TMember& member, const std::string& ref, bool& keep, TPageWork& work);
  // A style sheet's references (UTF-8) rewritten where the member they name is named otherwise.
  std::string RewriteCss(const std::string& css, const std::string& path, const TMember& member, TPageWork& work);
  std::string Nav();
  std::string Ncx();
  std::string Opf();
  std::string Label(std::int32_t position);
  std::string Title();
  void Write(const fs::path& output);

  TBook& FBook;
  const TEpubExportOptions& FOptions;
  std::vector<std::string>& FNotes;
  std::vector<std::pair<std::string, TMFSFile*>> FFiles;
  std::map<std::string, const TMFSFile*, TKeyLess> FFileOf;
  std::map<std::string, std::size_t, TKeyLess> FMemberOf;       // book path: member
  std::map<std::string, std::size_t, TKeyLess> FSystemMemberOf;  // system image path: member
  std::vector<TMember> FMembers;
  std::vector<std::size_t> FSpine;
  std::string FIdentifier, FTitle, FLanguage, FCreator;
  std::size_t FDroppedLinks = 0, FConverted = 0;
  bool FShim = false;
};

void TExport::NameMembers() {
  std::set<std::string, TKeyLess> taken{TKeyLess{true}};
  taken.insert("nav.xhtml");
  taken.insert("toc.ncx");
  taken.insert("content.opf");
  taken.insert("quirelle-external.js");
  taken.insert("cover.png");
  for (const auto& [path, file] : FFiles) {
    const bool page = IsPageFile(path);
    std::string type = page ? "application/xhtml+xml" : CoreMediaType(path), data = page ? std::string() : file->Data;
    std::string name = MemberName(path, page);
    if (type.empty()) {
      // A Windows picture (BMP, ICO, WMF, EMF) becomes PNG; any other type is left out.
      std::string png;
      try {
        PictureKindOf(path);
        if (FOptions.ToPng) png = FOptions.ToPng(path, file->Data);
      } catch (const Exception&) {
      }
      if (png.empty()) {
        FNotes.push_back("mfs:" + ToUtf8(path) + " is left out: EPUB readers need not show a file of its type");
        continue;
      }
      name = name.substr(0, name.rfind('.')) + ".png";
      type = "image/png";
      data = std::move(png);
      ++FConverted;
    }
    // Two names that differ only in what was replaced, or in letter case, stay apart.
    for (int n = 2; !taken.insert(name).second; ++n) {
      const std::size_t dot = name.rfind('.');
      name = name.substr(0, dot) + "-" + std::to_string(n) + (dot == std::string::npos ? "" : name.substr(dot));
    }
    FMemberOf[path] = FMembers.size();
    FMembers.push_back({name, type, std::move(data), {}, page, false, path});
  }
  if (FConverted) FNotes.push_back(std::to_string(FConverted) + " Windows picture(s) were converted to PNG");
}

// ------------------------------------------------------------------ pages as XHTML

// Obsolete presentational attributes: as CSS where a reader would miss them, else left out.
const std::set<std::string> ObsoleteAttributes = {"align", "valign", "bgcolor", "background", "border", "cellpadding", "cellspacing",
                                                  "width", "height", "hspace", "vspace", "nowrap", "clear", "noshade", "size",
                                                  "face", "color", "text", "link", "vlink", "alink", "language", "charset",
                                                  "frameborder", "marginwidth", "marginheight", "scrolling", "summary", "compact",
                                                  "type", "name", "target"};

std::string StyleOf(const std::string& attribute, const std::string& value) {
  if (attribute == "align") return "text-align:" + value + ";";
  if (attribute == "valign") return "vertical-align:" + value + ";";
  if (attribute == "bgcolor") return "background-color:" + value + ";";
  if (attribute == "color") return "color:" + value + ";";
  if (attribute == "face") return "font-family:" + value + ";";
  if (attribute == "text") return "color:" + value + ";";
  if (attribute == "border" && !value.empty() && std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return "border:" + value + "px solid;";
  if ((attribute == "width" || attribute == "height") && !value.empty() &&
      std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '%'; }))
    return attribute + ":" + value + (value.back() == '%' ? ";" : "px;");
  return {};
}

bool Keeps(GumboTag tag, const std::string& attribute) {
  if (!ObsoleteAttributes.count(attribute)) return true;
  // Where the attribute is still HTML.
  if (attribute == "width" || attribute == "height")
    return tag == GUMBO_TAG_IMG || tag == GUMBO_TAG_CANVAS || tag == GUMBO_TAG_VIDEO || tag == GUMBO_TAG_IFRAME || tag == GUMBO_TAG_OBJECT ||
           tag == GUMBO_TAG_EMBED || tag == GUMBO_TAG_INPUT;
  if (attribute == "type")
    return tag == GUMBO_TAG_INPUT || tag == GUMBO_TAG_BUTTON || tag == GUMBO_TAG_SCRIPT || tag == GUMBO_TAG_STYLE || tag == GUMBO_TAG_LINK ||
           tag == GUMBO_TAG_SOURCE || tag == GUMBO_TAG_OL || tag == GUMBO_TAG_OBJECT || tag == GUMBO_TAG_EMBED;
  if (attribute == "name")
    return tag == GUMBO_TAG_INPUT || tag == GUMBO_TAG_BUTTON || tag == GUMBO_TAG_SELECT || tag == GUMBO_TAG_TEXTAREA || tag == GUMBO_TAG_FORM ||
           tag == GUMBO_TAG_META || tag == GUMBO_TAG_IFRAME || tag == GUMBO_TAG_OBJECT || tag == GUMBO_TAG_PARAM || tag == GUMBO_TAG_OUTPUT ||
           tag == GUMBO_TAG_FIELDSET || tag == GUMBO_TAG_MAP;
  if (attribute == "size") return tag == GUMBO_TAG_INPUT || tag == GUMBO_TAG_SELECT;
  if (attribute == "target") return tag == GUMBO_TAG_A || tag == GUMBO_TAG_AREA || tag == GUMBO_TAG_FORM;
  return false;
}

// Whether an element holds block content, which a span may not.
bool HoldsBlocks(const GumboNode* node) {
  static const std::set<GumboTag> blocks = {GUMBO_TAG_DIV, GUMBO_TAG_P, GUMBO_TAG_CENTER, GUMBO_TAG_TABLE, GUMBO_TAG_UL, GUMBO_TAG_OL,
                                            GUMBO_TAG_DL, GUMBO_TAG_H1, GUMBO_TAG_H2, GUMBO_TAG_H3, GUMBO_TAG_H4, GUMBO_TAG_H5,
                                            GUMBO_TAG_H6, GUMBO_TAG_BLOCKQUOTE, GUMBO_TAG_PRE, GUMBO_TAG_HR, GUMBO_TAG_FORM,
                                            GUMBO_TAG_ADDRESS, GUMBO_TAG_SECTION, GUMBO_TAG_ARTICLE, GUMBO_TAG_ASIDE, GUMBO_TAG_NAV,
                                            GUMBO_TAG_HEADER, GUMBO_TAG_FOOTER, GUMBO_TAG_FIGURE, GUMBO_TAG_FIELDSET, GUMBO_TAG_MAIN};
  // Iterative: a page may nest deeper than the stack allows.
  std::vector<const GumboNode*> todo{node};
  while (!todo.empty()) {
    const GumboNode* n = todo.back();
    todo.pop_back();
    if (n->type != GUMBO_NODE_ELEMENT) continue;
    if (n != node && blocks.count(n->v.element.tag)) return true;
    for (unsigned i = 0; i < n->v.element.children.length; ++i) todo.push_back(static_cast<const GumboNode*>(n->v.element.children.data[i]));
  }
  return false;
}

std::string TExport::Rewrite(const std::string& path, const TMember& member, const std::string& ref, bool& keep, TPageWork& work) {
  keep = true;
  const std::size_t hash = ref.find('#');
  const std::string fragment = hash == std::string::npos ? std::string() : ref.substr(hash);
  const TResolvedLink to = ResolveBookLink("mfs", path, FromUtf8Lossy(ref));
  if (to.Kind != TResolvedLink::Book) return ref;
  const auto& index = to.Scheme == "system" ? FSystemMemberOf : FMemberOf;
  const auto found = index.find(to.Path);
  if (found == index.end()) {
    keep = false;
    ++work.Dropped;
    return {};
  }
  work.Reached.insert(found->second);
  const std::string href = RelativeReference(member.Name, FMembers[found->second].Name);
  return (href == member.Name.substr(member.Name.rfind('/') + 1) && !fragment.empty() ? std::string() : href) + fragment;
}

bool TExport::Open(const GumboNode* node, const std::string& path, const TMember& member, std::string& out, TPageWork& work,
                   std::string& close) {
  switch (node->type) {
    case GUMBO_NODE_TEXT:
    case GUMBO_NODE_WHITESPACE:
    case GUMBO_NODE_CDATA:
      out += XmlEscape(node->v.text.text, false);
      return false;
    case GUMBO_NODE_ELEMENT:
    case GUMBO_NODE_TEMPLATE:
      break;
    default:
      return false;  // comments and the document's own node
  }
  const GumboElement& e = node->v.element;
  std::string name;
  if (e.tag == GUMBO_TAG_UNKNOWN) {
    GumboStringPiece original = e.original_tag;
    gumbo_tag_from_original_text(&original);
    name.assign(original.data, original.length);
    name = name.substr(0, name.find_first_of(" \t\r\n/"));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  } else {
    name = gumbo_normalized_tagname(e.tag);
  }
  std::string style;
  // Old presentational elements become what a reader sees of them.
  if (e.tag == GUMBO_TAG_FONT || e.tag == GUMBO_TAG_BASEFONT) name = HoldsBlocks(node) ? "div" : "span";
  else if (e.tag == GUMBO_TAG_CENTER) name = "div", style = "text-align:center;";
  else if (e.tag == GUMBO_TAG_TT) name = "code";
  else if (e.tag == GUMBO_TAG_STRIKE) name = "s";
  else if (e.tag == GUMBO_TAG_BIG) name = "span", style = "font-size:larger;";
  else if (e.tag == GUMBO_TAG_ACRONYM) name = "abbr";
  else if (e.tag == GUMBO_TAG_BASE) return false;  // the container resolves references
  if (e.tag == GUMBO_TAG_META) {
    for (unsigned i = 0; i < e.attributes.length; ++i) {
      const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
      if (std::string_view(a->name) == "charset" || std::string_view(a->name) == "http-equiv") return false;  // the file is UTF-8 now
    }
  }
  // An element whose name XML cannot hold gives its content only.
  const bool known = IsXmlName(name);
  const std::size_t start = out.size();
  if (known) {
    out += '<';
    out += name;
    if (e.tag == GUMBO_TAG_HTML) out += " xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\"";
    else if (e.tag_namespace == GUMBO_NAMESPACE_SVG && e.tag == GUMBO_TAG_SVG) out += " xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\"";
    else if (e.tag_namespace == GUMBO_NAMESPACE_MATHML && e.tag == GUMBO_TAG_MATH) out += " xmlns=\"http://www.w3.org/1998/Math/MathML\"";
    std::string id;
    for (unsigned i = 0; i < e.attributes.length; ++i) {
      const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
      std::string attr = a->name;
      if (a->attr_namespace == GUMBO_ATTR_NAMESPACE_XLINK) attr = "xlink:" + attr;
      else if (a->attr_namespace == GUMBO_ATTR_NAMESPACE_XML) attr = "xml:" + attr;
      else if (a->attr_namespace == GUMBO_ATTR_NAMESPACE_XMLNS || attr.compare(0, 5, "xmlns") == 0) continue;
      // Of prefixed names, those whose prefixes are bound here.
      const std::size_t colon = attr.find(':');
      if (colon == std::string::npos ? !IsXmlName(attr)
                                     : !IsXmlName(attr.substr(colon + 1)) || (attr.compare(0, colon, "xml") != 0 && attr.compare(0, colon, "xlink") != 0 &&
                                                                             attr.compare(0, colon, "epub") != 0))
        continue;
      std::string value = a->value;
      if (e.tag_namespace == GUMBO_NAMESPACE_HTML) {
        if (attr == "id") id = value;
        if (e.tag == GUMBO_TAG_A && attr == "name") {
          if (id.empty() && IsXmlName(value) && work.Ids.insert(value).second) out += " id=\"" + XmlEscape(value, true) + "\"";
          continue;
        }
        if (attr == "style") {
          style += RewriteCss(value, path, member, work);
          continue;
        }
        if (!Keeps(e.tag, attr)) {
          style += StyleOf(attr, value);
          continue;
        }
        if (attr == "id" && !work.Ids.insert(value).second) continue;  // one id, one element
        if (attr == "href" || attr == "src" || attr == "poster" || attr == "data") {
          bool keep;
          value = Rewrite(path, member, value, keep, work);
          if (!keep && ((attr == "src" && (e.tag == GUMBO_TAG_IMG || e.tag == GUMBO_TAG_SOURCE || e.tag == GUMBO_TAG_TRACK)) ||
                        (attr == "href" && e.tag == GUMBO_TAG_LINK))) {
            // An element that is nothing without the file: a picture leaves its text.
            out.resize(start);
            for (unsigned j = 0; j < e.attributes.length; ++j) {
              const auto* alt = static_cast<const GumboAttribute*>(e.attributes.data[j]);
              if (e.tag == GUMBO_TAG_IMG && std::string_view(alt->name) == "alt") out += XmlEscape(alt->value, false);
            }
            return false;
          }
          if (!keep) continue;
        }
        if (attr.size() > 2 && attr.compare(0, 2, "on") == 0 && value.find("external") != std::string::npos) work.Shim = true;
      }
      out += ' ' + attr + "=\"" + XmlEscape(value, true) + '"';
    }
    if (!style.empty()) out += " style=\"" + XmlEscape(style, true) + '"';
  }
  const bool isVoid = e.tag_namespace == GUMBO_NAMESPACE_HTML &&
                      (e.tag == GUMBO_TAG_BR || e.tag == GUMBO_TAG_IMG || e.tag == GUMBO_TAG_HR || e.tag == GUMBO_TAG_META ||
                       e.tag == GUMBO_TAG_LINK || e.tag == GUMBO_TAG_INPUT || e.tag == GUMBO_TAG_AREA || e.tag == GUMBO_TAG_COL ||
                       e.tag == GUMBO_TAG_PARAM || e.tag == GUMBO_TAG_SOURCE || e.tag == GUMBO_TAG_TRACK || e.tag == GUMBO_TAG_WBR ||
                       e.tag == GUMBO_TAG_EMBED);
  if (known && isVoid) {
    out += "/>";
    return false;
  }
  if (known) out += '>';
  const GumboVector& children = e.children;
  if (e.tag == GUMBO_TAG_HEAD) {
    bool titled = false;
    for (unsigned i = 0; i < children.length; ++i) {
      const auto* child = static_cast<const GumboNode*>(children.data[i]);
      if (child->type == GUMBO_NODE_ELEMENT && child->v.element.tag == GUMBO_TAG_TITLE && child->v.element.children.length > 0) titled = true;
    }
    if (!titled) out += "<title>" + XmlEscape(work.Title, false) + "</title>";
  }
  if (e.tag == GUMBO_TAG_SCRIPT) {
    for (unsigned i = 0; i < children.length; ++i) {
      const auto* child = static_cast<const GumboNode*>(children.data[i]);
      if (child->type == GUMBO_NODE_TEXT && std::string_view(child->v.text.text).find("external") != std::string_view::npos) work.Shim = true;
    }
  }
  // The head ends with a mark where the story's script goes, when the page needs it.
  close = (e.tag == GUMBO_TAG_HEAD ? "\x01" : "") + (known ? "</" + name + '>' : std::string());
  return true;
}

// Without recursion: a page may nest as deep as the parser builds.
std::string TExport::RewriteCss(const std::string& css, const std::string& path, const TMember& member, TPageWork& work) {
  std::string out = css;
  const std::vector<TLinkRef> links = StyleSheetLinks(css);
  for (auto link = links.rbegin(); link != links.rend(); ++link) {
    bool keep;
    const std::string href = Rewrite(path, member, link->Target, keep, work);
    if (keep && href == link->Target) continue;
    std::string quoted = "\"";
    for (char c : href) {
      if (c == '"' || c == '\\') quoted += '\\';
      if (c != '\n' && c != '\r') quoted += c;
    }
    // A file that is not carried: no reference rather than a broken one.
    out.replace(link->Begin, link->End - link->Begin, keep ? quoted + '"' : std::string("\"data:,\""));
  }
  return out;
}

void TExport::Tree(const GumboNode* root, const std::string& path, const TMember& member, std::string& out, TPageWork& work) {
  struct TFrame {
    const GumboNode* Node;
    unsigned Next;
    std::string Close;
  };
  std::vector<TFrame> stack;
  std::string close;
  if (Open(root, path, member, out, work, close)) stack.push_back({root, 0, close});
  while (!stack.empty()) {
    TFrame& frame = stack.back();
    const GumboElement& e = frame.Node->v.element;
    if (frame.Next == e.children.length) {
      out += frame.Close;
      stack.pop_back();
      continue;
    }
    const auto* child = static_cast<const GumboNode*>(e.children.data[frame.Next++]);
    // A title holds text only.
    if (e.tag == GUMBO_TAG_TITLE && child->type != GUMBO_NODE_TEXT && child->type != GUMBO_NODE_WHITESPACE) continue;
    close.clear();
    if (e.tag == GUMBO_TAG_STYLE && child->type == GUMBO_NODE_TEXT) {
      out += XmlEscape(RewriteCss(child->v.text.text, path, member, work), false);
      continue;
    }
    if (Open(child, path, member, out, work, close)) stack.push_back({child, 0, std::move(close)});
  }
}

void TExport::PageXhtml(const TMember& member, TPageWork& work) {
  const std::string& path = member.Path;
  std::string text = FFileOf.at(path)->Data;
  FBook.Variables()->SubstituteInPlace(text, path);
  if (PageNesting(text) > MaxExportNesting) {
    // XML parsers of reading systems stop at a depth (libxml2 at 256, or 2048 when asked): the
    // page is said to be missing rather than left for them to refuse.
    work.Notes.push_back("mfs:" + ToUtf8(path) + " nests its elements more than " + std::to_string(MaxExportNesting) +
                         " deep: the EPUB has a page that says so in its place");
    work.Xhtml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>" +
                 XmlEscape(work.Title, false) + "</title></head><body><p>This page nests its elements too deeply to be converted.</p></body></html>\n";
    return;
  }
  const std::string utf8 = PageToUtf8(text, PageEncoding(text));
  std::unique_ptr<GumboOutput, std::function<void(GumboOutput*)>> parsed(
      gumbo_parse_with_options(&kGumboDefaultOptions, utf8.data(), utf8.size()),
      [](GumboOutput* output) { gumbo_destroy_output(&kGumboDefaultOptions, output); });
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n";
  Tree(parsed->root, path, member, out, work);
  out += '\n';
  const std::size_t mark = out.find('\x01');
  const std::string shim = work.Shim ? "<script src=\"" + RelativeReference(member.Name, "quirelle-external.js") + "\"></script>" : std::string();
  if (mark != std::string::npos) out.replace(mark, 1, shim);
  // What a reading system counts as scripted: a script element, or a form.
  if (out.find("<script") != std::string::npos || out.find("<form") != std::string::npos) work.Properties = "scripted";
  work.Xhtml = std::move(out);
}

void TExport::WritePages() {
  // Every page is converted, on every core; then the story's pages in reading order, and every
  // page their links reach (outside the reading order) as far as links go, take theirs. A page
  // nothing reaches stays out.
  std::vector<std::size_t> pages;
  std::map<std::size_t, std::size_t> workOf;
  for (std::size_t i = 0; i < FMembers.size(); ++i)
    if (FMembers[i].Page) workOf[i] = pages.size(), pages.push_back(i);
  std::vector<TPageWork> work(pages.size());
  std::atomic<std::size_t> next{0};
  auto convert = [&] {
    for (std::size_t k; (k = next++) < pages.size();) {
      const TMember& member = FMembers[pages[k]];
      work[k].Title = member.Path.substr(member.Path.rfind('\\') + 1);
      try {
        PageXhtml(member, work[k]);
      } catch (...) {
        work[k].Failure = std::current_exception();
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < std::clamp(std::thread::hardware_concurrency(), 1u, 16u) && t < pages.size(); ++t) threads.emplace_back(convert);
  convert();
  for (std::thread& t : threads) t.join();

  std::deque<std::size_t> queue;
  std::set<std::size_t> queued;
  auto take = [&](std::size_t member, bool inStory) {
    if (!queued.insert(member).second) return;
    FSpine.push_back(member);
    FMembers[member].InStory = inStory;
    queue.push_back(member);
  };
  if (TStory* story = FBook.Story()) {
    const TStoryLine& lines = story->Lines();
    for (std::int32_t i = 0; i < lines.Count(); ++i) {
      if (!lines.IsPage(i)) continue;
      const auto found = FMemberOf.find(AddressOfPage(lines.Page(i)));
      if (found != FMemberOf.end() && FMembers[found->second].Page) take(found->second, true);
    }
  }
  std::size_t dropped = 0;
  for (; !queue.empty(); queue.pop_front()) {
    TPageWork& done = work[workOf.at(queue.front())];
    if (done.Failure) std::rethrow_exception(done.Failure);
    TMember& member = FMembers[queue.front()];
    member.Data = std::move(done.Xhtml);
    member.Properties = done.Properties;
    dropped += done.Dropped;
    FShim = FShim || done.Shim;
    FNotes.insert(FNotes.end(), done.Notes.begin(), done.Notes.end());
    for (std::size_t reached : done.Reached)
      if (FMembers[reached].Page) take(reached, false);
  }
  const std::size_t unreached = pages.size() - queued.size();
  if (unreached) FNotes.push_back(std::to_string(unreached) + " page(s) that neither the story nor a link reaches are left out");
  FDroppedLinks += dropped;
}

std::string TExport::Label(std::int32_t position) {
  const TStoryLine& lines = FBook.Story()->Lines();
  std::string name = lines.Entry(position)->Attributes.ValueOf("Pagename", TXMLValue::Text("")).AsText();
  if (name.empty()) name = lines.IsPage(position) ? lines.Page(position) : lines.Entry(position)->Attributes.ValueOf("Path", TXMLValue::Text("")).AsText();
  if (name.empty()) name = "Chapter";
  return ToUtf8(FBook.Variables()->Substitute(name));
}

// The first member of the story at or below the entry, for a chapter without a page of its own.
std::string TExport::Nav() {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n"
                    "<html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\" lang=\"" + XmlEscape(FLanguage, true) +
                    "\" xml:lang=\"" + XmlEscape(FLanguage, true) + "\"><head><title>" + XmlEscape(FTitle, false) +
                    "</title></head><body><nav epub:type=\"toc\" id=\"toc\"><h1>" + XmlEscape(FTitle, false) + "</h1>";
  std::string list;
  if (TStory* story = FBook.Story()) {
    const TStoryLine& lines = story->Lines();
    std::function<void(std::int32_t, std::int32_t)> level = [&](std::int32_t from, std::int32_t to) {
      list += "<ol>";
      for (std::int32_t i = from; i < to; i = lines.SubtreeEnd(i)) {
        std::string href;
        const std::int32_t page = lines.PageFrom(i);
        if (page != TStoryLine::None && page < lines.SubtreeEnd(i)) {
          const auto found = FMemberOf.find(AddressOfPage(lines.Page(page)));
          if (found != FMemberOf.end() && FMembers[found->second].Page) href = FMembers[found->second].Name;
        }
        list += "<li>";
        list += href.empty() ? "<span>" + XmlEscape(Label(i), false) + "</span>" : "<a href=\"" + XmlEscape(href, true) + "\">" + XmlEscape(Label(i), false) + "</a>";
        if (lines.SubtreeEnd(i) > i + 1) level(i + 1, lines.SubtreeEnd(i));
        list += "</li>";
      }
      list += "</ol>";
    };
    if (lines.Count() > 0) level(0, lines.Count());
  }
  if (list.empty() || list == "<ol></ol>")
    list = "<ol><li><a href=\"" + XmlEscape(FMembers[FSpine.front()].Name, true) + "\">" + XmlEscape(FTitle, false) + "</a></li></ol>";
  return out + list + "</nav></body></html>\n";
}

std::string TExport::Ncx() {
  std::string points;
  int order = 0, ids = 0;
  std::map<std::size_t, int> orders;
  if (TStory* story = FBook.Story()) {
    const TStoryLine& lines = story->Lines();
    std::function<void(std::int32_t, std::int32_t)> level = [&](std::int32_t from, std::int32_t to) {
      for (std::int32_t i = from; i < to; i = lines.SubtreeEnd(i)) {
        const std::int32_t page = lines.PageFrom(i);
        if (page == TStoryLine::None || page >= lines.SubtreeEnd(i)) continue;  // a chapter without pages
        const auto found = FMemberOf.find(AddressOfPage(lines.Page(page)));
        if (found == FMemberOf.end() || !FMembers[found->second].Page) continue;
        // One target, one place in the play order.
        const auto [place, added] = orders.emplace(found->second, order + 1);
        if (added) ++order;
        points += "<navPoint id=\"n" + std::to_string(++ids) + "\" playOrder=\"" + std::to_string(place->second) + "\"><navLabel><text>" +
                  XmlEscape(Label(i), false) + "</text></navLabel><content src=\"" + XmlEscape(FMembers[found->second].Name, true) + "\"/>";
        if (lines.SubtreeEnd(i) > i + 1) level(i + 1, lines.SubtreeEnd(i));
        points += "</navPoint>";
      }
    };
    level(0, lines.Count());
  }
  if (points.empty())
    points = "<navPoint id=\"n1\" playOrder=\"1\"><navLabel><text>" + XmlEscape(FTitle, false) + "</text></navLabel><content src=\"" +
             XmlEscape(FMembers[FSpine.front()].Name, true) + "\"/></navPoint>";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ncx xmlns=\"http://www.daisy.org/z3986/2005/ncx/\" version=\"2005-1\"><head>"
         "<meta name=\"dtb:uid\" content=\"" + XmlEscape(FIdentifier, true) + "\"/></head><docTitle><text>" + XmlEscape(FTitle, false) +
         "</text></docTitle><navMap>" + points + "</navMap></ncx>\n";
}

std::string TExport::Opf() {
  char modified[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(modified, sizeof modified, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" "
                    "unique-identifier=\"uid\"><metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:identifier id=\"uid\">" +
                    XmlEscape(FIdentifier, false) + "</dc:identifier><dc:title>" + XmlEscape(FTitle, false) + "</dc:title><dc:language>" +
                    XmlEscape(FLanguage, false) + "</dc:language>";
  if (!FCreator.empty()) out += "<dc:creator>" + XmlEscape(FCreator, false) + "</dc:creator>";
  out += std::string("<meta property=\"dcterms:modified\">") + modified + "</meta>";
  for (const TMember& m : FMembers)
    if (m.Properties == "cover-image") out += "<meta name=\"cover\" content=\"cover\"/>";
  out += "</metadata><manifest><item id=\"nav\" href=\"nav.xhtml\" media-type=\"application/xhtml+xml\" properties=\"nav\"/>"
         "<item id=\"ncx\" href=\"toc.ncx\" media-type=\"application/x-dtbncx+xml\"/>";
  for (std::size_t i = 0; i < FMembers.size(); ++i) {
    const TMember& m = FMembers[i];
    if (m.Page && m.Data.empty()) continue;  // a page nothing reaches
    const std::string id = m.Properties == "cover-image" ? std::string("cover") : "m" + std::to_string(i);
    out += "<item id=\"" + id + "\" href=\"" + XmlEscape(m.Name, true) + "\" media-type=\"" + m.MediaType + "\"" +
           (m.Properties.empty() ? std::string() : " properties=\"" + m.Properties + "\"") + "/>";
  }
  out += "</manifest><spine toc=\"ncx\">";
  for (std::size_t i : FSpine)
    out += "<itemref idref=\"m" + std::to_string(i) + "\"" + (FMembers[i].InStory ? "" : " linear=\"no\"") + "/>";
  return out + "</spine></package>\n";
}

std::string TExport::Title() {
  const TLoadedBook& loaded = FBook.Loaded();
  if (loaded.ApplicationTitle && !loaded.ApplicationTitle->empty()) return ToUtf8(*loaded.ApplicationTitle);
  if (loaded.MainFormCaption && !loaded.MainFormCaption->empty()) return ToUtf8(*loaded.MainFormCaption);
  return FOptions.FallbackTitle.empty() ? std::string("Untitled") : FOptions.FallbackTitle;
}

void TExport::Write(const fs::path& output) {
  // Beside the output, renamed over it when whole: a failed run leaves nothing behind.
  const fs::path partial = output.string() + ".partial";
  fs::remove(partial);
  int error = 0;
  zip_t* zip = zip_open(partial.c_str(), ZIP_CREATE | ZIP_EXCL, &error);
  if (!zip) throw EEpubExportError("Cannot write \"" + partial.string() + "\"");
  std::deque<std::string> keep;  // libzip reads the bytes at zip_close
  auto add = [&](const std::string& name, std::string data, bool store) {
    keep.push_back(std::move(data));
    zip_source_t* source = zip_source_buffer(zip, keep.back().data(), keep.back().size(), 0);
    const zip_int64_t index = source ? zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0) {
      if (source) zip_source_free(source);
      throw EEpubExportError("Cannot add \"" + name + "\" to the EPUB: " + zip_strerror(zip));
    }
    zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), store ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
  };
  try {
    add("mimetype", "application/epub+zip", true);
    add("META-INF/container.xml",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">"
        "<rootfiles><rootfile full-path=\"OEBPS/content.opf\" media-type=\"application/oebps-package+xml\"/></rootfiles></container>\n",
        false);
    add(std::string(Root) + "content.opf", Opf(), false);
    add(std::string(Root) + "nav.xhtml", Nav(), false);
    add(std::string(Root) + "toc.ncx", Ncx(), false);
    for (TMember& m : FMembers)
      if (!(m.Page && m.Data.empty())) add(Root + m.Name, std::move(m.Data), false);
    if (zip_close(zip) != 0) throw EEpubExportError("Cannot write \"" + partial.string() + "\": " + zip_strerror(zip));
  } catch (...) {
    zip_discard(zip);
    fs::remove(partial);
    throw;
  }
  fs::rename(partial, output);
}

void TExport::Run(const fs::path& output) {
  FBook.JoinContentImage();
  FFiles = BookFiles(FBook.ContentImage());
  for (const auto& [path, file] : FFiles) FFileOf.emplace(path, file);
  FIdentifier = ContentIdentifier(FFiles);
  FTitle = Title();
  auto variable = [&](const char* name) {
    const std::string reference = std::string("%{") + name + "}";
    const std::string value = FBook.Variables()->Substitute(reference);
    return value == reference ? std::string() : ToUtf8(value);
  };
  FCreator = variable("AUTHOR");
  FLanguage = variable("LANGUAGE");
  if (FLanguage.empty() || !std::all_of(FLanguage.begin(), FLanguage.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; })) {
    FLanguage = "und";
    FNotes.push_back("The book has no LANGUAGE variable: its language is given as undetermined (und)");
  }
  NameMembers();
  // Pictures of the system image that pages name (system: references).
  for (const auto& [path, file] : BookFiles(FBook.SystemImage())) {
    const std::string type = CoreMediaType(path);
    if (type.empty() || type == "text/css") continue;
    FSystemMemberOf[path] = FMembers.size();
    FMembers.push_back({"system/" + MemberName(path, false), type, file->Data, {}, false, false, {}});
  }
  WritePages();
  // Style sheets keep their bytes, but for references to members named otherwise than the book
  // names their files (pages, converted pictures, replaced characters).
  for (TMember& m : FMembers) {
    if (m.MediaType != "text/css" || m.Path.empty()) continue;
    const std::string utf8 = ToUtf8(m.Data);
    TPageWork sheet;
    const std::string rewritten = RewriteCss(utf8, m.Path, m, sheet);
    FDroppedLinks += sheet.Dropped;
    if (rewritten != utf8) m.Data = rewritten;
  }
  if (FDroppedLinks) FNotes.push_back(std::to_string(FDroppedLinks) + " link(s) to files not in the EPUB were taken out");
  if (FSpine.empty()) throw EEpubExportError("The book has no page to put in the EPUB: its story lists none that is in the content image");
  // The cover: the start splash picture, else the logo, as PNG.
  if (FOptions.ToPng) {
    for (const char* picture : {"\\SplashS.bmp", "\\Logo.bmp"}) {
      if (!FBook.SystemImage().Session()->Exists(picture)) continue;
      std::string png = FOptions.ToPng(picture, FBook.SystemImage().Session()->GetFile(picture)->Data);
      if (png.empty()) continue;
      FMembers.push_back({"cover.png", "image/png", std::move(png), "cover-image", false, false, {}});
      break;
    }
  }
  if (FShim) {
    std::string spine;
    for (std::size_t i : FSpine)
      if (FMembers[i].InStory) spine += (spine.empty() ? "\"" : ",\"") + FMembers[i].Name + "\"";
    FMembers.push_back({"quirelle-external.js", "application/javascript",
                        "// Story navigation for pages written for the Quirelle viewer, where a reading system runs scripts:\n"
                        "// the story follows the reading order. Elsewhere the calls do nothing.\n"
                        "(function () {\n"
                        "  var spine = [" + spine + "];\n"
                        "  var base = location.href.replace(/[#?].*$/, '');\n"
                        "  var here = -1;\n"
                        "  for (var i = 0; i < spine.length; i++) if (base.slice(-spine[i].length - 1) === '/' + spine[i]) here = i;\n"
                        "  var root = here < 0 ? '' : base.slice(0, base.length - spine[here].length);\n"
                        "  function go(i) { if (here >= 0 && i >= 0 && i < spine.length) location.href = root + spine[i]; }\n"
                        "  var story = { Next: function () { go(here + 1); }, Prior: function () { go(here - 1); },\n"
                        "    First: function () { go(0); }, Last: function () { go(spine.length - 1); },\n"
                        "    NextChapter: function () { go(here + 1); }, PriorChapter: function () { go(here - 1); },\n"
                        "    Bof: here <= 0, Eof: here < 0 || here === spine.length - 1, Current: here < 0 ? '' : spine[here], PageName: document.title };\n"
                        "  var host = { Story: story, ShowUserForm: function () {}, Close: function () {} };\n"
                        "  try { if (window.external && typeof window.external === 'object') { window.external.Story = story;\n"
                        "    window.external.ShowUserForm = host.ShowUserForm; window.external.Close = host.Close; }\n"
                        "    else { Object.defineProperty(window, 'external', { value: host, configurable: true }); } } catch (e) {}\n"
                        "})();\n",
                        {}, false, false, {}});
    FNotes.push_back("Pages that call window.external get a script that follows the reading order for Story; forms and Close do nothing");
  }
  const TLoadedBook& loaded = FBook.Loaded();
  if (loaded.Toolbar.Present) FNotes.push_back("The book's toolbar is not carried: reading systems show their own controls");
  if (FBook.UserForms()) {
    std::size_t forms = 0;
    FBook.UserForms()->ForEach([&](const std::string&, const TUserForm&) { ++forms; });
    if (forms) FNotes.push_back("The book's " + std::to_string(forms) + " form(s) are not carried");
  }
  if (loaded.SplashOptions.SplashTypeS != vsNone || loaded.SplashOptions.SplashTypeE != vsNone)
    FNotes.push_back("Splash screens and their timing are not carried");
  Write(output);
}

}  // namespace

void ExportEpub(TBook& book, const TEpubExportOptions& options, const fs::path& output, std::vector<std::string>& notes) {
  TExport(book, options, notes).Run(output);
}
