#include "u_NewBook.h"

#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <functional>
#include <map>

#include "u_BookCheck.h"
#include "u_CodePage.h"
#include "u_DiskFolder.h"
#include "u_Epub.h"
#include "u_MFS.h"
#include "u_PageEncoding.h"
#include "u_Variables.h"

namespace {

// File order as people number files: "ch2" before "ch10"; otherwise without regard to case.
bool NaturalLess(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if (std::isdigit(ca) && std::isdigit(cb)) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      const std::string_view na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
      const std::string_view ta = na.substr(std::min(na.find_first_not_of('0'), na.size()));
      const std::string_view tb = nb.substr(std::min(nb.find_first_not_of('0'), nb.size()));
      if (ta.size() != tb.size()) return ta.size() < tb.size();
      if (ta != tb) return ta < tb;
      i = ei, j = ej;
      continue;
    }
    if (std::tolower(ca) != std::tolower(cb)) return std::tolower(ca) < std::tolower(cb);
    ++i, ++j;
  }
  return a.size() - i < b.size() - j;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('\\')); }

const GumboNode* FindTitle(const GumboNode* node) {
  if (node->type != GUMBO_NODE_ELEMENT) return nullptr;
  if (node->v.element.tag == GUMBO_TAG_TITLE) return node;
  if (node->v.element.tag == GUMBO_TAG_BODY) return nullptr;  // a title lives in the head
  const GumboVector& children = node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i)
    if (const GumboNode* found = FindTitle(static_cast<const GumboNode*>(children.data[i]))) return found;
  return nullptr;
}

// The text of a page's <title>, UTF-8.
std::string TitleOf(std::string_view page) {
  const std::string html = PageToUtf8(page, PageEncoding(page));
  GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size());
  std::string title;
  if (const GumboNode* node = FindTitle(output->root)) {
    const GumboVector& children = node->v.element.children;
    for (unsigned i = 0; i < children.length; ++i) {
      const auto* child = static_cast<const GumboNode*>(children.data[i]);
      if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE) title += child->v.text.text;
    }
  }
  gumbo_destroy_output(&kGumboDefaultOptions, output);
  return CollapseBlanks(title);
}

// A text value of the description files: in double quotes, a double quote written twice.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// Element content: a backslash makes the next character literal.
std::string Content(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '<' || c == '>') out += '\\';
    out += c;
  }
  return out;
}

// A story entry for a page: named by its title, else by its file name.
std::string PageItem(const std::string& indent, const TNewBookPage& page) {
  return indent + "<item Page=" + Quoted(page.Path) + " Pagename=" + Quoted(page.Title.empty() ? TMFS::ExtractFileName(page.Path) : page.Title) +
         "/>\n";
}

// A chapter's name from its folder: "part-2_notes" gives "part 2 notes".
std::string ChapterName(const std::string& folder) {
  std::string name = folder.substr(folder.rfind('\\') + 1);
  std::replace_if(name.begin(), name.end(), [](char c) { return c == '-' || c == '_'; }, ' ');
  return name;
}

struct TButton {
  int Kind;
  const char* Caption;  // none for a separator
  const char* Picture;
};
// The usual buttons, in groups: home and pages, chapters, history, reading, leaving.
const TButton Buttons[] = {{17, "Home", "home"},          {3, "First", "first"},         {4, "Prior", "prior"},         {5, "Next", "next"},
                           {6, "Last", "last"},           {0, nullptr, nullptr},         {7, "Prior part", "prior-part"},
                           {8, "Next part", "next-part"}, {0, nullptr, nullptr},         {1, "Back", "back"},
                           {2, "Forward", "forward"},     {0, nullptr, nullptr},         {11, "Text size", "text-size"},
                           {12, "Search", "search"},      {14, "Print", "print"},        {0, nullptr, nullptr},
                           {10, "Exit", "exit"}};
// Before Exit in a book that has an About form.
const TButton AboutButton = {9, "About", "about"};

// The buttons of a new book, in order.
std::vector<TButton> ButtonsOf(bool about) {
  std::vector<TButton> buttons(std::begin(Buttons), std::end(Buttons));
  if (about) buttons.insert(buttons.end() - 1, AboutButton);
  return buttons;
}

const char* const AboutPagePath = "quirelle-about.xhtml";

// Text for the About page, which is served with the variables expanded: "%" stays as written.
std::string PageText(std::string_view text) {
  std::string out;
  for (char c : text)
    out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : c == '"' ? "&quot;" : c == '%' ? "&#37;" : std::string(1, c);
  return out;
}

// The About form of a book from an EPUB: its title in its direction and language, its creators.
std::string AboutPage(const TEpub& epub, const std::string& title) {
  std::string heading = "<h1";
  if (!epub.TitleDirection.empty()) heading += " dir=\"" + epub.TitleDirection + "\"";
  if (!epub.TitleLanguage.empty()) heading += " xml:lang=\"" + PageText(epub.TitleLanguage) + "\" lang=\"" + PageText(epub.TitleLanguage) + "\"";
  std::string creators;
  for (const std::string& creator : epub.Creators) creators += (creators.empty() ? "" : ", ") + PageText(creator);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>About</title>\n"
         "<style>body { font-family: sans-serif; margin: 1.5em } h1 { font-size: 1.4em }</style></head>\n<body>" + heading + ">" +
         PageText(title) + "</h1>\n" + (creators.empty() ? "" : "<p id=\"creators\">By " + creators + "</p>\n") +
         "<p><button onclick=\"window.external.UserForm.Close()\">Close</button></p></body></html>\n";
}

// The pages in reading order, each folder kept together as a chapter placed at its first page.
struct TOrder {
  TMFS& Content;
  std::map<std::string, std::size_t, TKeyLess> Rank;  // page or folder: where it falls
  std::vector<TNewBookPage> Pages;
  std::size_t Chapters = 0;

  void Emit(const std::string& folder, const std::vector<std::string>& pages, std::int32_t level, std::string& story) {
    // The entries of this folder: its own pages and the folders directly below it.
    std::vector<std::string> entries;
    std::vector<bool> isPage;
    for (const std::string& page : pages) {
      const std::string f = FolderOf(page);
      if (SameText(f, folder)) {
        entries.push_back(page);
        isPage.push_back(true);
      } else if (f.size() > folder.size() && SameText(f.substr(0, folder.size() + 1), folder + "\\")) {
        const std::string sub = f.substr(0, f.find('\\', folder.size() + 1));
        if (std::none_of(entries.begin(), entries.end(), [&](const std::string& e) { return SameText(e, sub); })) {
          entries.push_back(sub);
          isPage.push_back(false);
        }
      }
    }
    std::vector<std::size_t> byRank(entries.size());
    for (std::size_t i = 0; i < byRank.size(); ++i) byRank[i] = i;
    std::stable_sort(byRank.begin(), byRank.end(), [&](std::size_t a, std::size_t b) { return Rank[entries[a]] < Rank[entries[b]]; });
    const std::string indent(static_cast<std::size_t>(level) * 2, ' ');
    for (std::size_t i : byRank) {
      const std::string& entry = entries[i];
      if (isPage[i]) {
        Pages.push_back({entry, TitleOf(FindBookFile(Content, entry)->Data), level});
        story += PageItem(indent, Pages.back());
        continue;
      }
      ++Chapters;
      story += indent + "<item Pagename=" + Quoted(ChapterName(entry)) + ">\n";
      Emit(entry, pages, level + 1, story);
      story += indent + "</item>\n";
    }
  }
};

// The description files around a story: variables with the title and author, System.xml with
// readable colours, and the toolbar.
void Describe(TNewBook& book, const std::string& author, const std::string& language = {}, const std::string& direction = {},
              bool about = false) {
  // A title that holds what reads as a reference ("%{X}") is written so that it reads as written:
  // the percent sign comes from a variable of its own, and a substitution is never read again.
  bool percent = false;
  auto literal = [&percent](const std::string& text) {
    std::string out;
    std::size_t from = 0, at = 0, close = 0;
    while (NextVariableReference(text, from, at, close)) {
      out += text.substr(from, at - from) + "%{PERCENT}";
      from = at + 1;
      percent = true;
    }
    return Content(out + text.substr(from));
  };
  // A title of a direction of its own keeps it wherever it is shown (an isolate around it).
  const std::string isolate = direction == "rtl" ? "\u2067" : direction == "ltr" ? "\u2066" : "";
  const std::string title = isolate + literal(book.Title) + (isolate.empty() ? "" : "\u2069"), writer = literal(author);
  book.VariablesXml = "<vars>\n  <var Name=\"BOOKTITLE\">$" + title + "</var>\n  <var Name=\"AUTHOR\">$" + writer + "</var>\n" +
                      (language.empty() ? "" : "  <var Name=\"LANGUAGE\">$" + literal(language) + "</var>\n") +
                      (percent ? "  <var Name=\"PERCENT\">$%</var>\n" : "") + "</vars>\n";
  book.SystemXml =
      "<System ApplicationTitle=\"%{BOOKTITLE}\" MainFormCaption=\"%{BOOKTITLE}\"\n"
      "        Story=\"Story.xml\" Variables=\"Variables.xml\" ToolButtons=\"toolbar\\Buttons.xml\"" +
      std::string(about ? " Forms=\"Forms.xml\"" : "") + "\n"
      "        Width=1024 Height=720 ResizableWindow=True>\n"
      "  <toolbar ToolbarPlacement=\"tpTop\" ToolbarBackColor=15790320 ToolbarTextColor=3355443\n"
      "           ToolbarShowCaption=True ToolbarBtnW=64 ToolbarBtnH=46 ToolbarImgW=24 ToolbarImgH=24 ToolbarFlat=True/>\n"
      "</System>\n";
  std::string images, list;
  for (const TButton& b : ButtonsOf(about)) {
    if (!b.Caption) {
      list += "    <Btn Kind=0/>\n";
      continue;
    }
    images += std::string("    <Img Name=\"") + b.Picture + "\" Path=\"pictures\\" + b.Picture + ".bmp\"/>\n";
    list += "    <Btn Kind=" + std::to_string(b.Kind) + " Caption=\"" + b.Caption + "\" Image=\"" + b.Picture + "\"/>\n";
  }
  book.ButtonsXml = "<ToolButtons>\n  <Images>\n" + images + "  </Images>\n  <Buttons>\n" + list + "  </Buttons>\n</ToolButtons>\n";
}

}  // namespace

TNewBook PlanNewBook(TMFS& content, const std::string& fallbackTitle) {
  std::vector<std::string> pages;
  for (const auto& [path, file] : BookFiles(content))
    if (IsPageFile(path)) pages.push_back(path);
  if (pages.empty()) throw EToolError("there are no pages (.htm, .html or .xhtml files)");
  std::stable_sort(pages.begin(), pages.end(), NaturalLess);
  TNewBook book;
  for (const char* name : {"index", "contents", "toc", "default"}) {
    for (const std::string& page : pages)
      if (FolderOf(page).empty() && SameText(page.substr(1, page.rfind('.') - 1), name)) book.ContentsPage = page;
    if (!book.ContentsPage.empty()) break;
  }
  // The contents page's links decide the order of the pages they reach; the rest follow.
  TOrder order{content, {}, {}, 0};
  std::size_t next = 0;
  auto rank = [&](const std::string& page) {
    if (order.Rank.count(page)) return;
    order.Rank[page] = next++;
    // Each folder above the page falls where its first page does.
    for (std::string folder = FolderOf(page); !folder.empty(); folder = FolderOf(folder)) order.Rank.emplace(folder, order.Rank[page]);
  };
  if (!book.ContentsPage.empty()) {
    rank(book.ContentsPage);
    for (const TLinkRef& link : PageLinks(FindBookFile(content, book.ContentsPage)->Data)) {
      const TResolvedLink to = ResolveBookLink("mfs", book.ContentsPage, link.Target);
      if (to.Kind != TResolvedLink::Book || to.Scheme != "mfs") continue;
      const auto found = std::find_if(pages.begin(), pages.end(), [&](const std::string& p) { return SameText(p, to.Path); });
      if (found != pages.end()) rank(*found);
    }
  }
  for (const std::string& page : pages) rank(page);
  book.StoryXml = "<Story>\n";
  order.Emit("", pages, 1, book.StoryXml);
  book.StoryXml += "</Story>\n";
  book.Pages = std::move(order.Pages);
  book.ChapterCount = order.Chapters;
  const auto contents = std::find_if(book.Pages.begin(), book.Pages.end(), [&](const TNewBookPage& p) { return p.Path == book.ContentsPage; });
  const std::string& first = contents != book.Pages.end() ? contents->Title : book.Pages.front().Title;
  book.Title = first.empty() ? fallbackTitle : first;
  Describe(book, {});
  return book;
}

std::vector<std::string> NewBookPictureFiles(bool about) {
  std::vector<std::string> files;
  for (const TButton& b : ButtonsOf(about))
    if (b.Picture) files.push_back(std::string("toolbar\\pictures\\") + b.Picture + ".bmp");
  return files;
}

std::vector<std::pair<std::string, std::string>> NewBookSystemFiles(const TNewBook& book,
                                                                    const std::function<std::string(const std::string&)>& picture) {
  std::vector<std::pair<std::string, std::string>> files = {
      {"System.xml", book.SystemXml}, {"Story.xml", book.StoryXml}, {"Variables.xml", book.VariablesXml}, {"toolbar\\Buttons.xml", book.ButtonsXml}};
  // The packer keeps the origin and adds the code page.
  if (book.FromEpub) files.emplace_back("Quirelle.xml", "<Quirelle Origin=\"epub\"/>\r\n");
  const bool about = !book.ContentFiles.empty();
  if (about)
    files.emplace_back("Forms.xml", std::string("<Forms>\n  <Form Name=\"About\" Path=\"\\") + AboutPagePath +
                                        "\" Caption=\"About this book\" Width=480 Height=320 Center=True SystemMenu=True/>\n</Forms>\n");
  for (const std::string& file : NewBookPictureFiles(about)) {
    const std::size_t name = file.rfind('\\') + 1;
    files.emplace_back(file, picture(file.substr(name, file.rfind('.') - name)));
  }
  return files;
}

TNewBook PlanEpubBook(const TEpub& epub, TMFS& content, const std::string& fallbackTitle) {
  auto inImage = [](std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "\\" + path;
  };
  // Page names from the table of contents, the first entry for a document winning.
  std::map<std::string, std::string> names;
  std::function<void(const std::vector<TEpubTocEntry>&)> collect = [&](const std::vector<TEpubTocEntry>& entries) {
    for (const TEpubTocEntry& e : entries) {
      if (!e.Path.empty() && !e.Title.empty()) names.emplace(e.Path, e.Title);
      collect(e.Children);
    }
  };
  collect(epub.Toc);
  std::vector<std::string> spine;
  for (const std::string& path : epub.Spine)
    if (std::find(spine.begin(), spine.end(), path) == spine.end() && FindBookFile(content, inImage(path))) spine.push_back(path);
  if (spine.empty()) throw EToolError("the EPUB's spine names no content document it holds");
  // A top-level entry of the contents with entries below it is a chapter: it holds the
  // documents from its first one to the next top-level entry's first one.
  struct TGroup {
    std::size_t Start;
    const TEpubTocEntry* Entry;
  };
  std::function<std::size_t(const TEpubTocEntry&)> firstOf = [&](const TEpubTocEntry& e) {
    std::size_t first = std::find(spine.begin(), spine.end(), e.Path) - spine.begin();
    for (const TEpubTocEntry& child : e.Children) first = std::min(first, firstOf(child));
    return first;
  };
  std::vector<TGroup> groups;
  for (const TEpubTocEntry& e : epub.Toc)
    if (const std::size_t start = firstOf(e); start < spine.size()) groups.push_back({start, &e});
  std::stable_sort(groups.begin(), groups.end(), [](const TGroup& a, const TGroup& b) { return a.Start < b.Start; });
  groups.erase(std::unique(groups.begin(), groups.end(), [](const TGroup& a, const TGroup& b) { return a.Start == b.Start; }), groups.end());
  TNewBook book;
  book.StoryXml = "<Story>\n";
  auto page = [&](std::size_t i, std::int32_t level) {
    const std::string path = inImage(spine[i]);
    const auto named = names.find(spine[i]);
    book.Pages.push_back({path, named != names.end() ? named->second : TitleOf(FindBookFile(content, path)->Data), level});
    book.StoryXml += PageItem(std::string(static_cast<std::size_t>(level) * 2, ' '), book.Pages.back());
  };
  std::size_t i = 0;
  for (std::size_t g = 0; g <= groups.size(); ++g) {
    const std::size_t end = g < groups.size() ? groups[g].Start : spine.size();
    for (; i < end; ++i) page(i, 1);  // before the group: the previous one's documents
    if (g == groups.size()) break;
    const std::size_t stop = g + 1 < groups.size() ? groups[g + 1].Start : spine.size();
    if (groups[g].Entry->Children.empty() || stop - i < 2) continue;  // its documents stand alone
    ++book.ChapterCount;
    book.StoryXml += "  <item Pagename=" + Quoted(groups[g].Entry->Title.empty() ? "Part " + std::to_string(book.ChapterCount) : groups[g].Entry->Title) + ">\n";
    for (; i < stop; ++i) page(i, 2);
    book.StoryXml += "  </item>\n";
  }
  book.StoryXml += "</Story>\n";
  book.Title = epub.Title.empty() ? fallbackTitle : epub.Title;
  // The About form's page, unless the EPUB has a file of that name.
  const bool about = !FindBookFile(content, std::string("\\") + AboutPagePath);
  Describe(book, epub.Author, epub.TitleLanguage, epub.Title.empty() ? "" : epub.TitleDirection, about);
  book.FromEpub = true;
  if (about) book.ContentFiles.emplace_back(AboutPagePath, AboutPage(epub, book.Title));
  return book;
}
