#include "u_BookCheck.h"

#include <gumbo.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <deque>
#include <map>
#include <memory>
#include <thread>
#include <utility>

#include "u_Address.h"
#include "u_Book.h"
#include "u_CodePage.h"
#include "u_InternetProtocolSupport.h"
#include "u_MFS.h"
#include "u_PageEncoding.h"
#include "u_SpaceXMLParser.h"
#include "u_Story.h"
#include "u_Variables.h"

// ---------------------------------------------------------------- the report

void TBookReport::Error(std::string file, std::int32_t line, std::string message) {
  Add(true, std::move(file), line, std::move(message));
}

void TBookReport::Note(std::string file, std::int32_t line, std::string message) {
  Add(false, std::move(file), line, std::move(message));
}

void TBookReport::Add(bool isError, std::string file, std::int32_t line, std::string message) {
  if (isError) ++FErrors;
  // Millions of broken links in one file make a report nobody reads and a file of gigabytes.
  if (++FPerFile[file] > MaxProblemsPerFile) {
    auto& unprinted = FUnprinted[file];
    ++(isError ? unprinted.first : unprinted.second);
    return;
  }
  if (message.size() > MaxMessageSize) {
    message.resize(MaxMessageSize);
    message += "...";
  }
  FProblems.push_back({isError, std::move(file), line, std::move(message)});
}

void TBookReport::Failure(std::string file, std::int32_t line, const Exception& e, std::string told) {
  if (!told.empty()) return Error(std::move(file), line, std::move(told));
  // A line the failure knows ("..., line 12") goes where lines go.
  std::string where = e.Where();
  const std::size_t lineAt = where.rfind("line ");
  if (lineAt != std::string::npos && (lineAt == 0 || where.compare(lineAt - 2, 2, ", ") == 0) &&
      where.find_first_not_of("0123456789", lineAt + 5) == std::string::npos && where.size() > lineAt + 5 &&
      where.size() - lineAt < 15) {
    if (line == 0) line = std::stoi(where.substr(lineAt + 5));
    where.erase(lineAt == 0 ? 0 : lineAt - 2);
  }
  if (file.empty()) file = std::exchange(where, std::string());
  // The file is named already; only what the failure adds to it is worth saying.
  if (!file.empty() && where.compare(0, file.size(), file) == 0)
    where.erase(0, where.size() > file.size() && where.compare(file.size(), 2, ", ") == 0 ? file.size() + 2 : file.size());
  // A syntax error says its line at the end of its message ("... on line 3"): it goes where
  // lines go too.
  std::string message = e.Message();
  const std::size_t onLine = message.rfind(" on line ");
  if (line == 0 && onLine != std::string::npos && onLine + 9 < message.size() && message.size() - onLine < 20 &&
      message.find_first_not_of("0123456789", onLine + 9) == std::string::npos) {
    line = static_cast<std::int32_t>(std::stol(message.substr(onLine + 9)));
    message.erase(onLine);
  }
  // One problem, one line: a parser's choice of what it expected reads as one sentence.
  for (std::size_t at; (at = message.find("\r\n")) != std::string::npos;) message.replace(at, 2, " ");
  if (!e.Cause().empty()) message += ": " + e.Cause();
  Error(std::move(file), line, where.empty() ? message : message + " (" + where + ")");
}

std::size_t TBookReport::ErrorCount() const { return FErrors; }

namespace {

std::string Where(const std::string& file, std::int32_t line) {
  std::string text = ToUtf8(file.empty() ? std::string("(book)") : file);
  if (line > 0) text += ":" + std::to_string(line);
  return text;
}

}  // namespace

std::string TBookReport::Describe(const TBookProblem& p) {
  return Where(p.File, p.Line) + (p.IsError ? ": error: " : ": note: ") + ToUtf8(p.Message);
}

void TBookReport::Print(std::FILE* out) const {
  std::size_t total = FProblems.size();
  for (const TBookProblem& p : FProblems) std::fprintf(out, "%s\n", Describe(p).c_str());
  for (const auto& [file, counts] : FUnprinted) {
    total += counts.first + counts.second;
    std::fprintf(out, "%s: note: %zu more problems (%zu errors, %zu notes) are not listed\n", Where(file, 0).c_str(),
                 counts.first + counts.second, counts.first, counts.second);
  }
  const std::size_t errors = ErrorCount();
  std::fprintf(out, "%zu error%s, %zu note%s\n", errors, errors == 1 ? "" : "s", total - errors, total - errors == 1 ? "" : "s");
}

// ---------------------------------------------------------------- finding links

namespace {

bool StartsWithText(std::string_view text, std::size_t at, std::string_view word) {
  return text.size() - at >= word.size() && SameText(text.substr(at, word.size()), word);
}

// Line breaks from `from` up to `to`, counted onwards from `line`: "\n", "\r\n" and a lone
// "\r" each end a line, as for the engine (and Gumbo).
std::int32_t LineAt(std::string_view text, std::size_t from, std::size_t to, std::int32_t line) {
  for (std::size_t i = from; i < to; ++i)
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) ++line;
  return line;
}

// A CSS token that may be quoted: its text and where it ends.
std::string CssValue(std::string_view css, std::size_t& at, char end) {
  while (at < css.size() && IsHtmlSpace(css[at])) ++at;
  std::string value;
  if (at < css.size() && (css[at] == '"' || css[at] == '\'')) {
    const char quote = css[at++];
    while (at < css.size() && css[at] != quote && css[at] != '\n') {
      if (css[at] == '\\' && at + 1 < css.size()) ++at;
      value += css[at++];
    }
    if (at < css.size()) ++at;
    return value;
  }
  while (at < css.size() && css[at] != end && !IsHtmlSpace(css[at]) && css[at] != ';') value += css[at++];
  return value;
}

const char* const LinkAttributes[] = {"href", "src", "background", "poster", "data"};

}  // namespace

std::vector<TLinkRef> StyleSheetLinks(std::string_view css, std::int32_t firstLine) {
  std::vector<TLinkRef> links;
  std::size_t counted = 0;
  std::int32_t line = firstLine;
  // The reference's text starts at i (after blanks) and ends where CssValue leaves it.
  auto add = [&](std::size_t at, std::size_t& i, char end) {
    while (i < css.size() && IsHtmlSpace(css[i])) ++i;
    const std::size_t begin = i;
    std::string target = CssValue(css, i, end);
    line = LineAt(css, counted, at, line);
    counted = at;
    if (!target.empty()) links.push_back({std::move(target), line, begin, i});
  };
  for (std::size_t i = 0; i < css.size();) {
    const char c = css[i];
    if (c == '/' && i + 1 < css.size() && css[i + 1] == '*') {
      const std::size_t end = css.find("*/", i + 2);
      i = end == std::string_view::npos ? css.size() : end + 2;
    } else if ((c == 'u' || c == 'U') && StartsWithText(css, i, "url(")) {
      const std::size_t start = i;
      i += 4;
      add(start, i, ')');
    } else if (c == '@' && StartsWithText(css, i, "@import")) {
      const std::size_t start = i;
      i += 7;
      while (i < css.size() && IsHtmlSpace(css[i])) ++i;
      if (i < css.size() && (css[i] == '"' || css[i] == '\'')) add(start, i, ';');
    } else if (c == '"' || c == '\'') {
      CssValue(css, i, ';');  // a string is no reference, whatever it holds
    } else {
      ++i;
    }
  }
  return links;
}

namespace {

bool NameChar(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == ':'; }

// Elements that never hold others, and those an HTML parser closes by itself.
bool AddsNoDepth(std::string_view name) {
  static const std::set<std::string_view> names = {
      "area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "param", "source", "track", "wbr",
      "keygen", "p", "li", "dt", "dd", "tr", "td", "th", "option", "optgroup", "rb", "rt", "rtc", "rp", "thead", "tbody",
      "tfoot", "colgroup", "caption", "html", "head", "body"};
  return names.count(name) != 0;
}

bool RawText(std::string_view name) {
  return name == "script" || name == "style" || name == "textarea" || name == "title" || name == "xmp" || name == "iframe" ||
         name == "noembed" || name == "noframes" || name == "plaintext";
}

}  // namespace

std::size_t PageNesting(std::string_view html) {
  std::size_t depth = 0, deepest = 0;
  const std::size_t n = html.size();
  std::size_t i = 0;
  while (i < n) {
    if (html[i] != '<') {
      ++i;
      continue;
    }
    if (html.compare(i, 4, "<!--") == 0) {
      const std::size_t end = html.find("-->", i + 4);
      i = end == std::string_view::npos ? n : end + 3;
      continue;
    }
    const bool closing = i + 1 < n && html[i + 1] == '/';
    std::size_t at = i + (closing ? 2 : 1);
    std::string name;
    while (at < n && NameChar(html[at]) && name.size() < 16) name += AsciiLower(html[at++]);
    if (name.empty() || !((name[0] >= 'a' && name[0] <= 'z'))) {
      ++i;
      continue;
    }
    // To the end of the tag; quoted values may hold '>'.
    char quote = 0;
    bool selfClosing = false;
    for (; at < n; ++at) {
      const char c = html[at];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        selfClosing = at > 0 && html[at - 1] == '/';
        break;
      }
    }
    i = at < n ? at + 1 : n;
    if (AddsNoDepth(name)) continue;
    if (closing) {
      if (depth > 0) --depth;
      continue;
    }
    if (RawText(name)) {
      // Its text is no markup: on to its end tag.
      const std::string end = "</" + name;
      std::size_t found = i;
      while ((found = html.find("</", found)) != std::string_view::npos) {
        std::size_t k = 0;
        while (k < end.size() && found + k < n && AsciiLower(html[found + k]) == end[k]) ++k;
        if (k == end.size()) break;
        found += 2;
      }
      i = found == std::string_view::npos ? n : found;
      continue;
    }
    if (selfClosing) continue;
    deepest = std::max(deepest, ++depth);
  }
  return deepest;
}

std::vector<TLinkRef> PageLinks(std::string_view page) {
  std::vector<TLinkRef> links;
  // Gumbo reads UTF-8; the page is decoded as the engine decodes it, and the links it gives back
  // are in the code page, as the page handler names files.
  const std::string html = PageToUtf8(page, PageEncoding(page));
  auto bookText = [](const char* utf8) {
    std::string text;
    return FromUtf8(utf8, text) ? text : std::string(utf8);
  };
  GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size());
  const auto lines = static_cast<unsigned>(LineAt(html, 0, html.size(), 1));
  // Walked with a stack of our own: a page may nest elements many thousand deep.
  std::vector<const GumboNode*> stack{output->root};
  while (!stack.empty()) {
    const GumboNode* node = stack.back();
    stack.pop_back();
    if (node->type != GUMBO_NODE_ELEMENT) continue;
    const GumboElement& element = node->v.element;
    for (unsigned i = 0; i < element.attributes.length; ++i) {
      const auto* a = static_cast<const GumboAttribute*>(element.attributes.data[i]);
      // An attribute written without a value, or one the parser copied onto an element it
      // made itself, has no position of its own: the nearest one that lies in the page stands.
      std::int32_t line = 1;
      for (const unsigned candidate : {a->value_start.line, a->name_start.line, element.start_pos.line})
        if (candidate >= 1 && candidate <= lines) {
          line = static_cast<std::int32_t>(candidate);
          break;
        }
      if (SameText(a->name, "style")) {
        for (TLinkRef& link : StyleSheetLinks(bookText(a->value), line)) links.push_back(std::move(link));
        continue;
      }
      for (const char* name : LinkAttributes)
        if (SameText(a->name, name)) links.push_back({bookText(a->value), line, 0, 0});
    }
    if (element.tag == GUMBO_TAG_STYLE) {
      for (unsigned i = 0; i < element.children.length; ++i) {
        const auto* text = static_cast<const GumboNode*>(element.children.data[i]);
        const unsigned first = text->v.text.start_pos.line;
        if (text->type == GUMBO_NODE_TEXT)
          for (TLinkRef& link : StyleSheetLinks(bookText(text->v.text.text), first >= 1 && first <= lines ? static_cast<std::int32_t>(first) : 1))
            links.push_back(std::move(link));
      }
    }
    for (unsigned i = element.children.length; i-- > 0;) stack.push_back(static_cast<const GumboNode*>(element.children.data[i]));
  }
  gumbo_destroy_output(&kGumboDefaultOptions, output);
  return links;
}

// ---------------------------------------------------------------- resolving links

namespace {

// The scheme of a reference ("" when it has none), lower-cased.
std::string SchemeOf(std::string_view reference, std::size_t& colon) {
  colon = std::string_view::npos;
  if (reference.empty() || !std::isalpha(static_cast<unsigned char>(reference[0]))) return {};
  for (std::size_t i = 1; i < reference.size(); ++i) {
    const char c = reference[i];
    if (c == ':') {
      colon = i;
      std::string scheme(reference.substr(0, i));
      for (char& s : scheme) s = static_cast<char>(std::tolower(static_cast<unsigned char>(s)));
      return scheme;
    }
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
  }
  return {};
}

}  // namespace

TResolvedLink ResolveBookLink(std::string_view fromScheme, std::string_view fromPath, std::string_view reference) {
  TResolvedLink result;
  // As the engine's URL parser takes an attribute: outer blanks, and tabs and line breaks
  // anywhere, are dropped.
  std::string ref;
  std::size_t begin = 0, end = reference.size();
  while (begin < end && static_cast<unsigned char>(reference[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(reference[end - 1]) <= ' ') --end;
  for (char c : reference.substr(begin, end - begin))
    if (c != '\t' && c != '\n' && c != '\r') ref += c;
  ref.erase(std::min(ref.find('#'), ref.size()));
  if (ref.empty()) {
    result.Kind = TResolvedLink::SamePage;
    return result;
  }
  ref.erase(std::min(ref.find('?'), ref.size()));

  std::size_t colon;
  std::string scheme = SchemeOf(ref, colon);
  if (!scheme.empty() && scheme != "mfs" && scheme != "system") return result;  // the web and the rest: not ours to check
  std::string path;
  if (!scheme.empty() && !SameText(scheme, fromScheme)) {
    // Another scheme of ours is parsed on its own: its path is taken as written, with no
    // folders worked out and a backslash sent escaped (the handler then finds no such name).
    for (char c : DecodeUnreservedEscapes(std::string_view(ref).substr(colon + 1))) {
      if (c == '\\') path += "%5C";
      else path += c;
    }
  } else {
    // Relative to the page, the base's own scheme without a slash included; backslashes count
    // as slashes, and "." and ".." segments are worked out (escaped dots too).
    const std::string rest = scheme.empty() ? ref : ref.substr(colon + 1);
    scheme = std::string(fromScheme);
    path = ResolvePath(DecodeUnreservedEscapes(fromPath), DecodeUnreservedEscapes(rest), UrlPathStyle);
  }
  // The engine sends what the page wrote (in UTF-8); the page handler names the file from it.
  std::string bookPath;
  // What the code page cannot hold becomes "?", as the handler names it.
  if (!BookPathOfEnginePath(ToUtf8(path), bookPath)) {
    bookPath = FromUtf8Lossy(DecodeEngineEscapes(ToUtf8(path)));
    std::replace(bookPath.begin(), bookPath.end(), '/', '\\');
  }
  DecodeBlanks(bookPath);
  result.Kind = TResolvedLink::Book;
  result.Scheme = scheme;
  result.Path = bookPath;
  return result;
}

std::string MissingLink(const std::string& reference, const TResolvedLink& to) {
  return "The link \"" + reference + "\" leads to \"" + to.Scheme + ":" + to.Path + "\", which is not in the book";
}

// ---------------------------------------------------------------- the image

bool IsPageFile(std::string_view path) {
  const std::string ext = TMFS::ExtractFileExt(path);
  return SameText(ext, ".htm") || SameText(ext, ".html") || SameText(ext, ".xhtml");
}

TMFSFile* FindBookFile(TMFS& image, const std::string& path) {
  if (path.empty() || path.back() == '\\') return nullptr;
  auto session = image.CreateSession();
  try {
    if (!session->Exists(path)) return nullptr;
    return session->GetFile(path);
  } catch (const Exception&) {
    return nullptr;  // a folder of that name, or a path that leaves the root
  }
}

std::vector<std::pair<std::string, TMFSFile*>> BookFiles(TMFS& image) {
  std::vector<std::pair<std::string, TMFSFile*>> files;
  std::vector<std::pair<std::string, TMFSFolder*>> folders{{"\\", image.Root()}};
  while (!folders.empty()) {
    const std::string path = std::move(folders.back().first);
    const TMFSFolder* folder = folders.back().second;
    folders.pop_back();
    std::vector<std::pair<std::string, TMFSFolder*>> below;
    folder->Items.ForEach([&](const std::string&, TMFSItem* item) {
      if (item->IsFolder()) below.emplace_back(path + item->Name() + "\\", static_cast<TMFSFolder*>(item));
      else files.emplace_back(path + item->Name(), static_cast<TMFSFile*>(item));
    });
    for (auto it = below.rbegin(); it != below.rend(); ++it) folders.push_back(std::move(*it));
  }
  return files;
}

// ---------------------------------------------------------------- the checks

namespace {

std::string TextOf(const TXMLNode& node, const char* key) {
  if (const TXMLAttribute* a = node.Attributes.Find(key)) {
    try {
      return a->Value.AsText();
    } catch (const Exception&) {
    }
  }
  return {};
}

std::int32_t LineOf(const TXMLNode& node, const char* key) {
  const TXMLAttribute* a = node.Attributes.Find(key);
  return a ? a->Line : node.Line;
}

bool IsStyleSheet(std::string_view path) { return SameText(TMFS::ExtractFileExt(path), ".css"); }

}  // namespace

void CheckSystemFiles(const TXMLNode& system, TMFS& systemImage, TBookReport& report) {
  auto need = [&](const std::string& name, std::int32_t line, const std::string& why) {
    if (!FindBookFile(systemImage, name.front() == '\\' ? name : "\\" + name))
      report.Error("System.xml", line, why + " \"" + name + "\" is not in the system image");
  };
  for (const char* key : {"Story", "Variables", "ToolButtons", "Forms"}) {
    const std::string name = TextOf(system, key);
    if (!name.empty()) need(name, LineOf(system, key), std::string("The ") + key + " file");
    else if (std::string_view(key) == "Story") need("Story.xml", system.Line, "The Story file");
  }
  if (const TXMLNode* splash = system.Nodes.FindNode("splash")) {
    const std::pair<const char*, const char*> pictures[] = {{"SplashTypeS", "SplashS.bmp"}, {"SplashTypeE", "SplashE.bmp"}};
    for (const auto& [key, picture] : pictures)
      if (SameText(TextOf(*splash, key), "vsSplash")) need(picture, LineOf(*splash, key), std::string("The splash picture"));
  }
  if (const TXMLNode* toolbar = system.Nodes.FindNode("toolbar")) {
    const TXMLAttribute* logo = toolbar->Attributes.Find("LogoDisplay");
    bool on = false;
    try {
      on = logo && logo->Value.AsBoolean();
    } catch (const Exception&) {
    }
    if (on) need("Logo.bmp", logo->Line, "The logo picture");
  }
}

void CheckStory(const TStoryLine& story, const std::string& storyFile, TMFS& content, TBookReport& report,
                TReachedFiles& reached) {
  for (std::int32_t i = 0; i < story.Count(); ++i) {
    if (!story.IsPage(i)) continue;
    const TXMLNode& entry = *story.Entry(i);
    const std::int32_t line = LineOf(entry, "Page");
    const std::string page = story.Page(i);
    if (story.FirstOccurrence(i) != i) {
      report.Error(storyFile, line, "The page \"" + page + "\" is listed twice (first on line " +
                                        std::to_string(story.Entry(story.FirstOccurrence(i))->Line) + ")");
      continue;
    }
    std::string path = AddressOfPage(page);
    DecodeBlanks(path);
    if (FindBookFile(content, path)) {
      reached.insert(path);
      continue;
    }
    report.Error(storyFile, line, "The page \"" + page + "\" is not in the content image");
    // An entry without Path gives its pages no base at all, also under entries that have one:
    // say so where that is the likely cause.
    const std::int32_t parent = story.Parent(i);
    if (page.empty() || page.front() == '\\' || parent == TStoryLine::None || !TextOf(*story.Entry(parent), "Path").empty())
      continue;
    const std::int32_t above = story.Parent(parent);
    if (!TextOf(above == TStoryLine::None ? *story.Root() : *story.Entry(above), "Path").empty())
      report.Note(storyFile, line, "The entry on line " + std::to_string(story.Entry(parent)->Line) +
                                       " gives no Path, so the Path of the entries above it does not apply to this page");
  }
}

std::int32_t VariableLine(const std::string& variablesFile, const std::string& message) {
  const std::size_t close = message.rfind('"');
  const std::size_t open = close == std::string::npos || close == 0 ? std::string::npos : message.rfind('"', close - 1);
  if (open == std::string::npos) return 0;
  const std::string name = message.substr(open + 1, close - open - 1);
  try {
    TXMLParser parser;
    parser.Parse(variablesFile);
    const TXMLNodes& entries = parser.Root()->Nodes;
    for (std::int32_t i = 0; i < entries.Count(); ++i)
      if (SameText(TextOf(entries.Items(i), "Name"), name)) return entries.Items(i).Line;
  } catch (const Exception&) {
  }
  return 0;
}

std::function<bool(std::string_view name)> VariableNames(const std::string& variablesFile) {
  auto names = std::make_shared<TStringToStringDictionary>(true, true);
  TXMLParser parser;
  parser.Parse(variablesFile);
  const TXMLNodes& entries = parser.Root()->Nodes;
  for (std::int32_t i = 0; i < entries.Count(); ++i) {
    const std::string name = TextOf(entries.Items(i), "Name");
    if (!name.empty()) names->AddString(name, std::string());
  }
  return [names](std::string_view name) { return names->Exists(name); };
}

void CheckVariableReferences(const std::function<bool(std::string_view name)>& defined, TMFS& image, std::string_view scheme,
                             TBookReport& report) {
  for (const auto& [path, file] : BookFiles(image)) {
    const std::string& text = file->Data;
    if (text.find('\0') != std::string::npos) continue;  // not text: pictures and the like
    std::size_t percent, close, counted = 0, from = 0;
    std::int32_t line = 1;
    while (NextVariableReference(text, from, percent, close)) {
      const std::string_view name = std::string_view(text).substr(percent + 2, close - percent - 2);
      if (!defined(name)) {
        line = LineAt(text, counted, percent, line);
        counted = percent;
        report.Error(std::string(scheme) + ":" + path, line,
                     "Unknown variable \"" + std::string(name) + "\": the reference stays as written");
      }
      from = close + 1;
    }
  }
}

void CheckLinks(TMFS& content, TMFS& systemImage, TBookReport& report, TReachedFiles& reached, bool noteUnreached) {
  // Each page and style sheet's links, checked once; remembered for the walk that follows.
  std::map<std::string, std::vector<std::string>, TKeyLess> targets;
  std::vector<std::pair<std::string, TMFSFile*>> files = BookFiles(content);
  files.erase(std::remove_if(files.begin(), files.end(), [](const auto& f) { return !IsPageFile(f.first) && !IsStyleSheet(f.first); }),
              files.end());
  // Parsing the pages is most of the check's time: every core takes its share of the files. The
  // image is only read meanwhile.
  std::vector<std::vector<TLinkRef>> found(files.size());
  std::vector<char> tooDeep(files.size(), 0);
  const std::size_t workers = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 16);
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < files.size();) {
      const std::string& data = files[i].second->Data;
      if (!IsPageFile(files[i].first)) found[i] = StyleSheetLinks(data);
      else if (PageNesting(data) > MaxCheckedNesting) tooDeep[i] = 1;
      else found[i] = PageLinks(data);
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < workers && t < files.size(); ++t) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& path = files[i].first;
    if (tooDeep[i])
      report.Note("mfs:" + path, 0, "The page nests its elements more than " + std::to_string(MaxCheckedNesting) +
                                        " deep: its links are not checked");
    std::vector<std::string>& out = targets[path];
    for (const TLinkRef& link : found[i]) {
      const TResolvedLink to = ResolveBookLink("mfs", path, link.Target);
      if (to.Kind != TResolvedLink::Book) continue;
      const bool system = to.Scheme == "system";
      if (!FindBookFile(system ? systemImage : content, to.Path))
        report.Error("mfs:" + path, link.Line, MissingLink(link.Target, to));
      else if (!system)
        out.push_back(to.Path);
    }
  }
  if (!noteUnreached) return;
  std::deque<std::string> queue(reached.begin(), reached.end());
  while (!queue.empty()) {
    const auto found = targets.find(queue.front());
    queue.pop_front();
    if (found == targets.end()) continue;
    for (const std::string& target : found->second)
      if (reached.insert(target).second) queue.push_back(target);
  }
  for (const auto& [path, file] : BookFiles(content))
    if (!reached.count(path)) report.Note("mfs:" + path, 0, "No page, story entry or form reaches this file");
}

void CheckBook(TBook& book, TBookReport& report) {
  try {
    book.Load();
    book.JoinContentImage();
  } catch (const Exception& e) {
    report.Failure({}, 0, e);  // what the rest of the check needs is missing
    return;
  } catch (const std::exception& e) {
    report.Error({}, 0, e.what());
    return;
  }
  TMFS& content = book.ContentImage();
  CheckSystemFiles(book.SystemRoot(), book.SystemImage(), report);
  const TToolbarOptions& options = book.Loaded().ToolbarOptions;
  const TXMLNode* toolbar = book.SystemRoot().Nodes.FindNode("toolbar");
  if (options.ToolbarPlacement != tpNoToolbar && options.ToolbarShowCaption && !book.Loaded().Toolbar.Buttons.empty() &&
      options.ToolbarTextColor == options.ToolbarBackColor)
    report.Note("System.xml", toolbar ? toolbar->Line : 0,
                "ToolbarTextColor is the same as ToolbarBackColor (" + std::to_string(options.ToolbarBackColor) +
                    "): the button captions cannot be seen");
  // Without a toolbar file the reader has no buttons at all, only the pages' links.
  if (!book.Loaded().Toolbar.Present && options.ToolbarPlacement != tpNoToolbar && !book.SystemDescriptionFailed())
    report.Note("System.xml", book.SystemRoot().Line,
                std::string(book.Loaded().ToolButtonsFile.empty() ? "The book has no toolbar: System.xml names no ToolButtons file"
                                                         : "The book has no toolbar: its ToolButtons file is missing") +
                    ", so readers move only by the pages' links (quirelle-pack --new writes a toolbar of the usual buttons into a new "
                    "book's system folder, to copy from)");
  TReachedFiles reached;
  if (book.Story()) CheckStory(book.Story()->Lines(), book.Loaded().StoryFile, content, report, reached);
  if (book.UserForms()) book.UserForms()->ForEach([&](const std::string& name, const TUserForm& form) {
    if (FindBookFile(content, form.Path)) reached.insert(form.Path);
    else report.Error(book.Loaded().FormsFile, form.Line, "The page \"" + form.Path + "\" of the form \"" + name + "\" is not in the content image");
  });
  // Bookmarks and the logo's link that open pages of the book reach them too.
  std::vector<std::string> links{options.LogoLink};
  for (const TToolButton& button : book.Loaded().Toolbar.Buttons)
    for (const TBookMarkItem& item : button.Bookmarks) links.push_back(item.URL);
  for (const std::string& link : links) {
    // A bookmark without a scheme opens nothing of the book (noted with the toolbar).
    if (link.empty() || (&link != &links.front() && link.find(':') == std::string::npos)) continue;
    const TResolvedLink to = ResolveBookLink("mfs", "\\", link);
    if (to.Kind != TResolvedLink::Book || to.Scheme != "mfs") continue;
    if (FindBookFile(content, to.Path)) reached.insert(to.Path);
    else report.Error(link == links.front() ? std::string("System.xml") : book.Loaded().ToolButtonsFile, 0, MissingLink(link, to));
  }
  // Variables whose values do not expand are reported already; their names still count.
  std::function<bool(std::string_view)> defined = [&book](std::string_view name) { return book.Variables()->Values().Exists(name); };
  bool namesKnown = true;
  if (book.VariablesFailed()) {
    book.SystemImage().Session()->ChangeFolder("\\");  // named from the root, as start-up read it
    try {
      defined = VariableNames(book.SystemFileText(book.Loaded().VariablesFile).value_or(std::string()));
    } catch (const Exception&) {
      namesKnown = false;  // the file does not parse: reported already
    }
  }
  if (namesKnown) {
    CheckVariableReferences(defined, book.SystemImage(), "system", report);
    CheckVariableReferences(defined, content, "mfs", report);
  }
  // Without the story, every file would look unreached.
  CheckLinks(content, book.SystemImage(), report, reached, !book.SystemDescriptionFailed());
}

std::size_t ScriptInsertionPoint(std::string_view page) {
  for (const std::string_view element : {std::string_view("<head"), std::string_view("<html")}) {
    for (std::size_t from = 0; from + element.size() <= page.size();) {
      std::size_t tag = std::string_view::npos;
      for (std::size_t i = from; i + element.size() <= page.size() && tag == std::string_view::npos; ++i) {
        std::size_t k = 0;
        while (k < element.size() && std::tolower(static_cast<unsigned char>(page[i + k])) == element[k]) ++k;
        if (k == element.size()) tag = i;
      }
      if (tag == std::string_view::npos) break;
      const std::size_t after = tag + element.size();
      const char next = after < page.size() ? page[after] : '\0';
      if (next == '>' || next == ' ' || next == '\t' || next == '\r' || next == '\n') {
        const std::size_t end = page.find('>', tag);
        if (end != std::string_view::npos) return end + 1;
      }
      from = tag + 1;
    }
  }
  return 0;
}
