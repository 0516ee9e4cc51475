#include "u_WebExport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <set>

#include "u_Address.h"
#include "u_Book.h"
#include "u_BookCheck.h"
#include "u_CodePage.h"
#include "u_DiskFolder.h"

namespace fs = std::filesystem;

namespace {

// ------------------------------------------------------------------ what the site says

std::string Json(std::string_view utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') out += '\\', out += static_cast<char>(c);
    else if (c == '<') out += "\\u003c";  // never "</script>" inside a script
    else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else out += static_cast<char>(c);
  }
  return out + "\"";
}

std::string Colour(std::uint32_t bgr) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
  return text;
}

// A path of the content image ("\part 1\a.htm") as the site's relative URL ("book/part%201/a.htm"),
// its name in UTF-8.
std::string SiteUrl(const std::string& bookPath) {
  std::string out = "book";
  for (unsigned char c : ToUtf8(bookPath)) {
    if (c == '\\' || c == '/') out += '/';
    else if (std::isalnum(c) || c >= 0x80 || c == '-' || c == '.' || c == '_' || c == '~') out += static_cast<char>(c);
    else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

// From a file at that site path back to the site's root ("book/a/b.htm" gives "../../").
std::string ToRoot(const std::string& sitePath) {
  std::string up;
  for (char c : sitePath)
    if (c == '/') up += "../";
  return up;
}

// The relative URL from one file of the site to another ("book/a/p.htm" to "book/x.png" gives
// "../x.png").
std::string RelativeUrl(const std::string& from, const std::string& to) {
  std::size_t common = 0;
  for (std::size_t i = 0; i < from.size() && i < to.size() && from[i] == to[i]; ++i)
    if (from[i] == '/') common = i + 1;
  std::string up;
  for (std::size_t i = common; i < from.size(); ++i)
    if (from[i] == '/') up += "../";
  return up + to.substr(common);
}

// A reference that names a file of the book from its root ("/pictures/a.png", "mfs:\\a.htm"),
// which the site's folder would take from the server's or the disk's root: as a relative one.
std::optional<std::string> SiteReference(const std::string& fromPath, const std::string& fromSite, const std::string& target) {
  const bool rooted = !target.empty() && (target[0] == '/' || target[0] == '\\' || target.rfind("mfs:", 0) == 0 || target.rfind("MFS:", 0) == 0);
  if (!rooted) return std::nullopt;
  const TResolvedLink to = ResolveBookLink("mfs", fromPath, target);
  if (to.Kind != TResolvedLink::Book || to.Scheme != "mfs") return std::nullopt;
  const std::size_t fragment = target.find('#');
  return RelativeUrl(fromSite, SiteUrl(to.Path)) + (fragment == std::string::npos ? "" : target.substr(fragment));
}

// A page's rooted references, written as relative ones: each quoted attribute value that is one.
void RewritePage(std::string& page, const std::string& path, const std::string& site) {
  std::set<std::string> done;
  for (const TLinkRef& link : PageLinks(page)) {
    const std::optional<std::string> relative = SiteReference(path, site, link.Target);
    if (!relative || !done.insert(link.Target).second) continue;
    for (const char quote : {'"', '\''}) {
      const std::string written = std::string("=") + quote + link.Target + quote;
      const std::string replacement = std::string("=") + quote + *relative + quote;
      for (std::size_t at = page.find(written); at != std::string::npos; at = page.find(written, at + replacement.size()))
        page.replace(at, written.size(), replacement);
    }
  }
}

// The same for a style sheet's url() and @import, where they are written.
void RewriteStyleSheet(std::string& css, const std::string& path, const std::string& site) {
  std::vector<TLinkRef> links = StyleSheetLinks(css);
  std::sort(links.begin(), links.end(), [](const TLinkRef& a, const TLinkRef& b) { return a.Begin > b.Begin; });
  for (const TLinkRef& link : links)
    if (const std::optional<std::string> relative = SiteReference(path, site, link.Target); relative && link.End > link.Begin)
      css.replace(link.Begin, link.End - link.Begin, "\"" + *relative + "\"");
}

// ------------------------------------------------------------------ the window

const char* const IndexHtml = R"HTML(<!DOCTYPE html>
<html><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<title></title>
<link rel="stylesheet" href="quirelle/window.css">
<script src="quirelle/book.js"></script>
<script src="quirelle/window.js" defer></script>
</head>
<body>
<div id="q-window">
  <div id="q-toolbar" role="toolbar"></div>
  <div id="q-main">
    <nav id="q-contents" hidden aria-label="Contents"></nav>
    <iframe id="q-page" name="q-page" title="Page"></iframe>
  </div>
</div>
</body></html>
)HTML";

const char* const WindowCss = R"CSS(html, body { margin: 0; height: 100%; font-family: sans-serif; }
#q-window { display: flex; flex-direction: column; height: 100%; }
#q-window.left { flex-direction: row; } #q-window.right { flex-direction: row-reverse; }
#q-window.bottom { flex-direction: column-reverse; }
#q-toolbar { display: flex; flex-wrap: nowrap; overflow: hidden; align-items: stretch; flex: none; }
#q-window.left #q-toolbar, #q-window.right #q-toolbar { flex-direction: column; }
#q-toolbar .q-button { display: flex; flex-direction: column; align-items: center; justify-content: center; flex: none;
  border: 1px solid transparent; background: transparent; color: inherit; font: inherit; font-size: 12px; padding: 2px; cursor: pointer; }
#q-toolbar .q-button:hover { border-color: rgba(0, 0, 0, 0.3); }
#q-toolbar .q-sep { flex: none; width: 1px; margin: 4px 3px; background: rgba(0, 0, 0, 0.3); }
#q-toolbar .q-more { display: none; }
#q-toolbar .q-logo { margin-left: auto; display: flex; align-items: center; }
.q-menu { position: absolute; z-index: 10; background: #fff; color: #000; border: 1px solid #888; box-shadow: 2px 2px 6px rgba(0, 0, 0, 0.3); }
.q-menu button { display: flex; align-items: center; gap: 6px; width: 100%; text-align: left; border: 0; background: none; padding: 4px 12px; font: inherit; cursor: pointer; }
.q-menu button:hover { background: #ddd; }
#q-main { display: flex; flex: 1; min-height: 0; min-width: 0; }
#q-contents { width: 16em; overflow: auto; border-right: 1px solid #aaa; padding: 4px; flex: none; }
#q-contents ul { list-style: none; margin: 0; padding-left: 1em; }
#q-contents > ul { padding-left: 0; }
#q-contents a { display: block; padding: 1px 2px; color: inherit; text-decoration: none; cursor: pointer; }
#q-contents a.q-current { background: #cde; }
#q-page { flex: 1; border: 0; min-width: 0; }
)CSS";

// The window: the toolbar built from the book's description, the story's moves, the contents.
const char* const WindowJs = R"JS('use strict';
(() => {
  const book = window.QuirelleBook;
  const story = book.story;
  const frame = document.getElementById('q-page');
  const toolbar = document.getElementById('q-toolbar');
  let position = -1;
  let zoom = 2;
  document.title = book.caption;
  const win = document.getElementById('q-window');
  win.classList.add(book.toolbar.placement);
  toolbar.style.background = book.toolbar.back;
  toolbar.style.color = book.toolbar.text;

  // ---- the story
  const isPage = (i) => i >= 0 && i < story.length && story[i].page !== null;
  const pageFrom = (i) => { for (; i < story.length; ++i) if (isPage(i)) return i; return -1; };
  const pageUpTo = (i) => { for (; i >= 0; --i) if (isPage(i)) return i; return -1; };
  const top = (i) => { while (story[i].parent >= 0) i = story[i].parent; return i; };
  function show(i) {
    if (!isPage(i)) return false;
    position = i;
    frame.src = story[i].page;
    follow();
    return true;
  }
  const moves = {
    First: () => show(pageFrom(0)),
    Last: () => show(pageUpTo(story.length - 1)),
    Next: () => show(pageFrom(position + 1)),
    Prior: () => show(pageUpTo(position - 1)),
    NextChapter: () => {
      if (position < 0) return show(pageFrom(0));
      const t = top(position);
      for (let i = t + 1; i < story.length; ++i) if (story[i].parent < 0) return show(pageFrom(i));
      return false;
    },
    PriorChapter: () => {
      if (position < 0) return false;
      const t = top(position);
      const first = pageFrom(t);
      if (first >= 0 && first < position) return show(first);
      for (let i = t - 1; i >= 0; --i) if (story[i].parent < 0) return show(pageFrom(i));
      return false;
    },
  };

  // ---- what the pages say
  function post(message) { if (frame.contentWindow) frame.contentWindow.postMessage(message, '*'); }
  window.addEventListener('message', (e) => {
    const m = e.data;
    if (e.source !== frame.contentWindow || !m || typeof m.quirelle !== 'string') return;
    if (m.quirelle === 'loaded') {
      // The story follows the page shown: its own entry when it is the current one's page.
      if (!(isPage(position) && story[position].page === m.page)) position = story.findIndex((s) => s.page === m.page);
      follow();
      post({quirelle: 'zoom', level: zoom});
    } else if (m.quirelle === 'move' && moves[m.move]) {
      moves[m.move]();
    } else if (m.quirelle === 'close') {
      close();
    }
  });

  // ---- the toolbar
  function menu(button, items) {
    const open = document.querySelector('.q-menu');
    if (open) { open.remove(); if (open.owner === button) return; }
    const list = document.createElement('div');
    list.className = 'q-menu';
    list.owner = button;
    for (const item of items) {
      const entry = document.createElement('button');
      if (item.picture) { const img = document.createElement('img'); img.src = item.picture; entry.appendChild(img); }
      entry.appendChild(document.createTextNode(item.caption));
      entry.addEventListener('click', () => { list.remove(); item.run(); });
      list.appendChild(entry);
    }
    const r = button.getBoundingClientRect();
    list.style.left = r.left + 'px';
    list.style.top = r.bottom + 'px';
    document.body.appendChild(list);
  }
  document.addEventListener('click', (e) => {
    const open = document.querySelector('.q-menu');
    if (open && !open.contains(e.target) && !(open.owner && open.owner.contains(e.target))) open.remove();
  });
  function close() {
    frame.removeAttribute('src');
    frame.srcdoc = '<p style="font-family: sans-serif">The book is closed.</p>';
  }
  const sizes = ['Extra Small', 'Small', 'Medium', 'Large', 'Extra Large'];
  const commands = {
    1: () => history.back(), 2: () => history.forward(),
    3: moves.First, 4: moves.Prior, 5: moves.Next, 6: moves.Last, 7: moves.PriorChapter, 8: moves.NextChapter,
    10: close,
    11: (button) => menu(button, sizes.map((caption, level) => ({caption, run: () => { zoom = level; post({quirelle: 'zoom', level}); }}))),
    13: (button, b) => menu(button, b.bookmarks.map((m) => ({caption: m.caption, run: () => {
      if (m.newWindow) window.open(m.url, '_blank', 'noopener'); else frame.src = m.url; }}))),
    14: () => post({quirelle: 'print'}),
    15: () => post({quirelle: 'copy'}),
    16: () => post({quirelle: 'reload'}),
    17: () => show(book.home),
  };
  const t = book.toolbar;
  book.buttons.forEach((b, tag) => {
    if (b.kind === 0) {
      const sep = document.createElement('span');
      sep.className = 'q-sep';
      toolbar.appendChild(sep);
      return;
    }
    const button = document.createElement('button');
    button.className = 'q-button';
    button.dataset.tag = tag;
    button.dataset.kind = b.kind;
    button.title = b.caption;
    button.style.minWidth = t.buttonWidth + 'px';
    button.style.minHeight = t.buttonHeight + 'px';
    if (b.picture) {
      const img = document.createElement('img');
      img.src = b.picture;
      img.alt = t.captions ? '' : b.caption;
      img.width = t.imageWidth;
      img.height = t.imageHeight;
      button.appendChild(img);
    }
    if (t.captions || !b.picture) {
      const caption = document.createElement('span');
      caption.textContent = b.caption;
      button.appendChild(caption);
    }
    button.addEventListener('click', () => { if (commands[b.kind]) commands[b.kind](button, b); });
    toolbar.appendChild(button);
  });
  if (t.logo) {
    const logo = document.createElement(t.logoLink ? 'a' : 'span');
    logo.className = 'q-logo';
    if (t.logoLink) { logo.href = t.logoLink; logo.target = '_blank'; logo.rel = 'noopener'; }
    const img = document.createElement('img');
    img.src = t.logo;
    img.alt = t.logoText;
    logo.appendChild(img);
    toolbar.appendChild(logo);
  }

  // ---- the contents pane
  const pane = document.getElementById('q-contents');
  const links = [];
  const lists = [document.createElement('ul')];
  pane.appendChild(lists[0]);
  story.forEach((s, i) => {
    const item = document.createElement('li');
    const a = document.createElement('a');
    a.textContent = s.name;
    a.addEventListener('click', () => show(pageFrom(i)));
    item.appendChild(a);
    links.push(a);
    const parent = s.parent >= 0 ? links[s.parent].parentElement : null;
    let list = lists[0];
    if (parent) {
      list = parent.querySelector(':scope > ul');
      if (!list) { list = document.createElement('ul'); parent.appendChild(list); }
    }
    list.appendChild(item);
  });
  function follow() {
    links.forEach((a, i) => a.classList.toggle('q-current', i === position));
  }

  // ---- keys, as in the viewer
  document.addEventListener('keydown', (e) => {
    const k = e.key;
    if (k === 'F9') { pane.hidden = !pane.hidden; e.preventDefault(); }
    else if (e.altKey && k === 'ArrowLeft') history.back();
    else if (e.altKey && k === 'ArrowRight') history.forward();
    else if (e.ctrlKey && k === 'PageDown') moves.Next();
    else if (e.ctrlKey && k === 'PageUp') moves.Prior();
    else if (e.altKey && k === 'Home') show(book.home);
    else return;
    e.preventDefault();
  });
  show(book.home);
})();
)JS";

// In every page: window.external for its scripts, and what the window asks of the page.
const char* const PageJs = R"JS('use strict';
(() => {
  const me = document.currentScript.dataset.page;
  const book = window.QuirelleBook;
  const inWindow = window.parent !== window;
  const say = (message) => { if (inWindow) window.parent.postMessage(message, '*'); };
  const story = book.story;
  const at = () => story.findIndex((s) => s.page === me);
  const hasPage = (from, step) => { for (let i = from; i >= 0 && i < story.length; i += step) if (story[i].page !== null) return true; return false; };
  let bof = false, eof = false;
  // A move that can go somewhere goes; one that cannot sets Bof or Eof, as the viewer's story does.
  function move(name, forward) {
    const i = at();
    if (forward !== undefined && !hasPage(i + (forward ? 1 : -1), forward ? 1 : -1)) {
      if (forward) eof = true; else bof = true;
      return;
    }
    bof = eof = false;
    say({quirelle: 'move', move: name});
  }
  const Story = {
    First: () => move('First'), Last: () => move('Last'),
    Next: () => move('Next', true), Prior: () => move('Prior', false),
    NextChapter: () => move('NextChapter'), PriorChapter: () => move('PriorChapter'),
    get Bof() { return bof; }, get Eof() { return eof; },
    get Current() { const i = at(); return i >= 0 ? story[i].path : ''; },
    get PageName() { const i = at(); return i >= 0 ? story[i].name : ''; },
  };
  const external = {
    Story,
    Terminate: () => say({quirelle: 'close'}),
    Close: () => say({quirelle: 'close'}),
    ShowUserForm: (name) => { throw new Error('The form "' + name + '" is not part of this web book'); },
  };
  try { Object.defineProperty(window, 'external', {value: external, configurable: false}); } catch (e) {}
  window.addEventListener('message', (e) => {
    const m = e.data;
    if (e.source !== window.parent || !m || typeof m.quirelle !== 'string') return;
    if (m.quirelle === 'zoom') document.documentElement.style.zoom = [0.6, 0.8, 1, 1.25, 1.5][m.level] || 1;
    else if (m.quirelle === 'print') window.print();
    else if (m.quirelle === 'copy') document.execCommand('copy');
    else if (m.quirelle === 'reload') location.reload();
  });
  const loaded = () => say({quirelle: 'loaded', page: me});
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', loaded); else loaded();
})();
)JS";

}  // namespace

void ExportWeb(TBook& book, const TWebPictures& pictures, const fs::path& folder, std::vector<std::string>& notes) {
  const TLoadedBook& loaded = book.Loaded();
  TVariables* variables = book.Variables();
  fs::create_directories(folder / "quirelle" / "pictures");
  // The content: each file at a stable path, its variables substituted as the viewer serves it;
  // each page with the window's bridge first.
  for (const auto& [path, file] : BookFiles(book.ContentImage())) {
    const std::string site = SiteUrl(path);
    std::string data = file->Data;
    if (variables) variables->SubstituteInPlace(data, path);
    const std::size_t dot = path.rfind('.');
    if (dot != std::string::npos && path.size() - dot == 4 && std::tolower(static_cast<unsigned char>(path[dot + 1])) == 'c' &&
        std::tolower(static_cast<unsigned char>(path[dot + 2])) == 's' && std::tolower(static_cast<unsigned char>(path[dot + 3])) == 's')
      RewriteStyleSheet(data, path, site);
    if (IsPageFile(path)) {
      RewritePage(data, path, site);
      const std::string root = ToRoot(site);
      data.insert(ScriptInsertionPoint(data), "<script src=\"" + root + "quirelle/book.js\"></script><script src=\"" + root +
                                                  "quirelle/page.js\" data-page=\"" + site + "\"></script>");
    }
    std::string diskPath = site;
    for (std::size_t at = diskPath.find('%'); at != std::string::npos; at = diskPath.find('%', at + 1)) {
      diskPath.replace(at, 3, 1, static_cast<char>(std::stoi(diskPath.substr(at + 1, 2), nullptr, 16)));
    }
    const fs::path target = folder / fs::u8path(diskPath);
    fs::create_directories(target.parent_path());
    WriteDiskFileAtomically(target, data);
  }
  // The book's description, for the window's script.
  std::string js = "window.QuirelleBook = {\n";
  const std::string title = loaded.ApplicationTitle ? ToUtf8(*loaded.ApplicationTitle) : std::string();
  js += "title: " + Json(title) + ",\ncaption: " + Json(loaded.MainFormCaption ? ToUtf8(*loaded.MainFormCaption) : title) + ",\n";
  const TToolbarOptions& o = loaded.ToolbarOptions;
  static const char* const Placements[] = {"top", "bottom", "left", "right"};
  const bool logo = !pictures.Logo.empty();
  if (logo) WriteDiskFileAtomically(folder / "quirelle" / "logo.png", pictures.Logo);
  js += "toolbar: {placement: \"" + std::string(Placements[std::min<int>(o.ToolbarPlacement, 3)]) + "\", back: \"" + Colour(o.ToolbarBackColor) +
        "\", text: \"" + Colour(o.ToolbarTextColor) + "\", buttonWidth: " + std::to_string(o.ToolbarBtnW) + ", buttonHeight: " +
        std::to_string(o.ToolbarBtnH) + ", imageWidth: " + std::to_string(o.ToolbarImgW) + ", imageHeight: " + std::to_string(o.ToolbarImgH) +
        ", captions: " + (o.ToolbarShowCaption ? "true" : "false") + ", logo: " + (logo ? "\"quirelle/logo.png\"" : "null") +
        ", logoLink: " + Json(ToUtf8(o.LogoLink)) + ", logoText: " + Json(ToUtf8(variables ? variables->Substitute(o.LogoText) : o.LogoText)) + "},\nbuttons: [\n";
  for (std::size_t i = 0; i < pictures.Toolbar.size(); ++i)
    if (!pictures.Toolbar[i].empty()) WriteDiskFileAtomically(folder / "quirelle" / "pictures" / (std::to_string(i) + ".png"), pictures.Toolbar[i]);
  for (const TToolButton& b : loaded.Toolbar.Buttons) {
    const bool picture = b.ImageIndex >= 0 && static_cast<std::size_t>(b.ImageIndex) < pictures.Toolbar.size() &&
                         !pictures.Toolbar[static_cast<std::size_t>(b.ImageIndex)].empty();
    js += "  {kind: " + std::to_string(b.Kind) + ", caption: " + Json(ToUtf8(b.Caption)) + ", picture: " +
          (picture ? "\"quirelle/pictures/" + std::to_string(b.ImageIndex) + ".png\"" : std::string("null")) + ", bookmarks: [";
    for (const TBookMarkItem& m : b.Bookmarks) {
      const TResolvedLink to = ResolveBookLink("mfs", "\\", m.URL);
      const std::string url = to.Kind == TResolvedLink::Book && to.Scheme == "mfs" ? SiteUrl(to.Path) : ToUtf8(m.URL);
      js += "{url: " + Json(url) + ", caption: " + Json(ToUtf8(m.Caption)) + ", newWindow: " + (m.NewWindow ? "true" : "false") + "}, ";
    }
    js += "]},\n";
  }
  js += "],\nstory: [\n";
  std::int32_t home = -1;
  if (TStory* story = book.Story()) {
    const TStoryLine& lines = story->Lines();
    for (std::int32_t i = 0; i < lines.Count(); ++i) {
      const bool page = lines.IsPage(i);
      if (page && home < 0) home = i;
      const std::string path = page ? AddressOfPage(lines.Page(i)) : std::string();
      js += "  {name: " + Json(ToUtf8(lines.Name(i))) + ", parent: " + std::to_string(lines.Parent(i)) + ", page: " +
            (page ? Json(SiteUrl(path)) : std::string("null")) + ", path: " + Json(ToUtf8(path)) + "},\n";
    }
  }
  js += "],\nhome: " + std::to_string(home) + "\n};\n";
  WriteDiskFileAtomically(folder / "quirelle" / "book.js", js);
  WriteDiskFileAtomically(folder / "quirelle" / "window.js", std::string(WindowJs));
  WriteDiskFileAtomically(folder / "quirelle" / "window.css", std::string(WindowCss));
  WriteDiskFileAtomically(folder / "quirelle" / "page.js", std::string(PageJs));
  WriteDiskFileAtomically(folder / "index.html", std::string(IndexHtml));
  // Not carried yet, said so.
  if (loaded.SplashOptions.SplashTypeS != vsNone || loaded.SplashOptions.SplashTypeE != vsNone || !loaded.FormsFile.empty())
    notes.push_back("splash screens and forms are not part of the web book yet");
  for (const TToolButton& b : loaded.Toolbar.Buttons)
    if (b.Kind == bkSearch || b.Kind == bkAbout) {
      notes.push_back("the Search and About buttons do nothing in the web book yet");
      break;
    }
}
