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
#include "u_PageEncoding.h"
#include "u_PageSearch.h"

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

// A reference that names a file of the book from its root ("/pictures/a.png", "mfs:\\a.htm"),
// which the site's folder would take from the server's or the disk's root: as a relative one.
std::optional<std::string> SiteReference(const std::string& fromPath, const std::string& fromSite, const std::string& target) {
  const bool rooted = !target.empty() && (target[0] == '/' || target[0] == '\\' || target.rfind("mfs:", 0) == 0 || target.rfind("MFS:", 0) == 0);
  if (!rooted) return std::nullopt;
  const TResolvedLink to = ResolveBookLink("mfs", fromPath, target);
  if (to.Kind != TResolvedLink::Book || to.Scheme != "mfs") return std::nullopt;
  const std::size_t fragment = target.find('#');
  return RelativeReference(fromSite, SiteUrl(to.Path)) + (fragment == std::string::npos ? "" : target.substr(fragment));
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

// Runs of blanks as one: the index is smaller, and the search never looks across tags anyway.
std::string CollapseText(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out += blank ? ' ' : c;
  }
  return out;
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
#q-window.bottom { flex-direction: column-reverse; }
#q-window.none #q-toolbar { display: none; }
#q-toolbar { display: flex; flex-wrap: nowrap; overflow: hidden; align-items: stretch; flex: none; }
#q-toolbar .q-button { display: flex; flex-direction: column; align-items: center; justify-content: center; flex: none;
  border: 1px solid transparent; background: transparent; color: inherit; font: inherit; font-size: 12px; padding: 2px; cursor: pointer; }
#q-toolbar .q-button:hover { border-color: rgba(0, 0, 0, 0.3); }
#q-toolbar .q-sep { flex: none; width: 1px; margin: 4px 3px; background: rgba(0, 0, 0, 0.3); }
#q-toolbar .q-more { margin-left: auto; font-size: 18px; }
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
.q-overlay { position: fixed; inset: 0; display: flex; align-items: center; justify-content: center; background: rgba(0, 0, 0, 0.35); z-index: 20; }
.q-overlay.q-splash { background: transparent; }
.q-dialog { background: #fff; color: #000; border: 1px solid #888; box-shadow: 3px 3px 12px rgba(0, 0, 0, 0.4); display: flex; flex-direction: column; max-width: 95vw; max-height: 95vh; }
.q-dialog header { display: flex; justify-content: space-between; align-items: center; background: #e8e8e8; padding: 3px 6px; }
.q-dialog header button { border: 0; background: none; font-size: 16px; cursor: pointer; }
.q-dialog iframe { border: 0; flex: 1; }
.q-dialog p { margin: 16px; }
.q-dialog .q-actions { text-align: right; padding: 0 12px 12px; }
#q-search { width: 22em; max-height: 70vh; }
#q-search form { display: flex; gap: 4px; padding: 8px; }
#q-search input { flex: 1; }
#q-search ul { overflow: auto; margin: 0; padding: 0 8px 8px 24px; }
#q-search li a { cursor: pointer; text-decoration: underline; }
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
  let keys = () => false;
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
    if (!m || typeof m.quirelle !== 'string') return;
    // A form's page closes its own form.
    if (m.quirelle === 'close-form') {
      for (const f of document.querySelectorAll('.q-form iframe')) if (f.contentWindow === e.source) f.closest('.q-overlay').remove();
      return;
    }
    if (m.quirelle === 'form' && e.source !== frame.contentWindow) { showForm(m.name); return; }
    if (e.source !== frame.contentWindow) return;
    if (m.quirelle === 'key') {
      keys(m.key, m.ctrl, m.alt);
    } else if (m.quirelle === 'loaded') {
      // The story follows the page shown: its own entry when it is the current one's page.
      if (!(isPage(position) && story[position].page === m.page)) position = story.findIndex((s) => s.page === m.page);
      follow();
      post({quirelle: 'zoom', level: zoom});
    } else if (m.quirelle === 'move' && moves[m.move]) {
      moves[m.move]();
    } else if (m.quirelle === 'close') {
      close();
    } else if (m.quirelle === 'form') {
      if (!showForm(m.name)) post({quirelle: 'no-form', name: m.name});
    } else if (m.quirelle === 'sections' && printButton) {
      const button = printButton;
      printButton = null;
      menu(button, [{caption: 'Print page', run: () => post({quirelle: 'print'})}].concat(
        m.sections.map((s) => ({caption: s.caption, run: () => post({quirelle: 'print', section: s.id})}))));
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
  // ---- windows over the book: splashes, messages, forms, the search panel
  function overlay(splash) {
    const o = document.createElement('div');
    o.className = 'q-overlay' + (splash ? ' q-splash' : '');
    document.body.appendChild(o);
    return o;
  }
  function dialog(caption, width, height) {
    const o = overlay(false);
    const d = document.createElement('div');
    d.className = 'q-dialog';
    d.setAttribute('role', 'dialog');
    d.setAttribute('aria-label', caption);
    if (width > 0) d.style.width = width + 'px';
    if (height > 0) d.style.height = height + 'px';
    const head = document.createElement('header');
    const title = document.createElement('span');
    title.textContent = caption;
    const x = document.createElement('button');
    x.textContent = '\u00d7';
    x.title = 'Close';
    x.addEventListener('click', () => o.remove());
    head.append(title, x);
    d.appendChild(head);
    o.appendChild(d);
    return {overlay: o, body: d};
  }
  // A splash: the book's picture for its time (a click ends it where the book allows), or its message.
  function splash(which, then) {
    const s = book.splash[which];
    if (!s) { then(); return; }
    if (s.picture) {
      const o = overlay(true);
      o.id = 'q-splash-' + which;
      const img = document.createElement('img');
      img.src = s.picture;
      img.alt = '';
      o.appendChild(img);
      let done = false;
      const end = () => { if (!done) { done = true; o.remove(); then(); } };
      setTimeout(end, book.splash.interval * 1000);
      if (book.splash.closeOnClick) o.addEventListener('click', end);
    } else {
      const d = dialog(book.title, 0, 0);
      d.overlay.id = 'q-splash-' + which;
      const p = document.createElement('p');
      p.textContent = s.text;
      const actions = document.createElement('div');
      actions.className = 'q-actions';
      const ok = document.createElement('button');
      ok.textContent = 'OK';
      ok.addEventListener('click', () => { d.overlay.remove(); then(); });
      actions.appendChild(ok);
      d.body.append(p, actions);
      ok.focus();
    }
  }
  let closed = false;
  function close() {
    if (closed) return;
    closed = true;
    splash('end', () => {
      frame.removeAttribute('src');
      frame.srcdoc = '<p style="font-family: sans-serif">The book is closed.</p>';
    });
  }
  function showForm(name) {
    const f = book.forms[name.toLowerCase()];
    if (!f) return false;
    const d = dialog(f.caption, f.width, f.height);
    d.overlay.classList.add('q-form');
    const page = document.createElement('iframe');
    page.name = 'q-form';
    page.src = f.page;
    if (f.hideScrollBar) page.setAttribute('scrolling', 'no');
    d.body.appendChild(page);
    return true;
  }
  // Search: the pages' text, folded as the query is, without letter case or accents.
  const fold = (text) => text.normalize('NFKD').replace(/\p{M}/gu, '').toLowerCase();
  let index = null;
  function search() {
    const d = dialog('Search', 0, 0);
    d.body.id = 'q-search';
    const form = document.createElement('form');
    const input = document.createElement('input');
    input.type = 'search';
    input.setAttribute('aria-label', 'Search for');
    const go = document.createElement('button');
    go.textContent = 'Search';
    form.append(input, go);
    const results = document.createElement('ul');
    d.body.append(form, results);
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      const run = () => {
        const wanted = fold(input.value.trim());
        results.replaceChildren();
        if (!wanted) return;
        for (const entry of index) {
          if (!entry.folded.includes(wanted)) continue;
          const item = document.createElement('li');
          const a = document.createElement('a');
          a.textContent = story[entry.entry].name;
          a.addEventListener('click', () => show(entry.entry));
          item.appendChild(a);
          results.appendChild(item);
        }
        if (!results.children.length) results.textContent = 'Not found';
      };
      if (index) return run();
      const script = document.createElement('script');
      script.src = 'quirelle/search.js';
      script.onload = () => {
        const parser = new DOMParser();
        index = window.QuirelleSearch.map((e) => ({entry: e.entry, folded: fold(parser.parseFromString(e.text, 'text/html').documentElement.textContent)}));
        run();
      };
      document.head.appendChild(script);
    });
    input.focus();
  }
  // The Print button's list: the page, then its print sections, which the page names when asked.
  let printButton = null;
  function printMenu(button) {
    printButton = button;
    post({quirelle: 'sections'});
  }
  const sizes = ['Extra Small', 'Small', 'Medium', 'Large', 'Extra Large'];
  const commands = {
    1: () => history.back(), 2: () => history.forward(),
    3: moves.First, 4: moves.Prior, 5: moves.Next, 6: moves.Last, 7: moves.PriorChapter, 8: moves.NextChapter,
    10: close,
    11: (button) => menu(button, sizes.map((caption, level) => ({caption, run: () => { zoom = level; post({quirelle: 'zoom', level}); }}))),
    13: (button, b) => menu(button, b.bookmarks.map((m) => ({caption: m.caption, run: () => {
      if (m.newWindow) window.open(m.url, '_blank', 'noopener'); else frame.src = m.url; }}))),
    9: () => showForm('About'),
    12: search,
    14: printMenu,
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

  // ---- the overflow: buttons the width hides are listed under "››"
  const more = document.createElement('button');
  more.className = 'q-button q-more';
  more.textContent = '\u203a\u203a';
  more.title = 'More buttons';
  more.hidden = true;
  toolbar.insertBefore(more, toolbar.querySelector('.q-logo'));
  const buttons = [...toolbar.querySelectorAll('.q-button:not(.q-more), .q-sep')];
  function fit() {
    for (const b of buttons) b.hidden = false;
    more.hidden = true;
    if (toolbar.scrollWidth <= toolbar.clientWidth) return;
    more.hidden = false;
    for (let i = buttons.length - 1; i >= 0 && toolbar.scrollWidth > toolbar.clientWidth; --i) buttons[i].hidden = true;
  }
  more.addEventListener('click', () => menu(more, buttons.filter((b) => b.hidden && b.classList.contains('q-button')).map((b) => {
    const desc = book.buttons[b.dataset.tag];
    return {caption: desc.caption, picture: desc.picture, run: () => commands[desc.kind] && commands[desc.kind](more, desc)};
  })));
  window.addEventListener('resize', fit);
  fit();

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

  // ---- keys, as in the viewer; a page hands on those pressed in it
  function key(k, ctrl, alt) {
    if (k === 'F9') pane.hidden = !pane.hidden;
    else if (k === 'Escape') { const o = document.querySelector('.q-overlay:not(.q-splash)'); if (o) o.remove(); else close(); }
    else if (alt && k === 'ArrowLeft') history.back();
    else if (alt && k === 'ArrowRight') history.forward();
    else if (ctrl && k === 'PageDown') moves.Next();
    else if (ctrl && k === 'PageUp') moves.Prior();
    else if (alt && k === 'Home') show(book.home);
    else return false;
    return true;
  }
  document.addEventListener('keydown', (e) => { if (key(e.key, e.ctrlKey, e.altKey)) e.preventDefault(); });
  keys = key;
  splash('start', () => {});
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
    // Shown over the book; unlike the viewer's, the script goes on at once.
    ShowUserForm: (name) => {
      if (!book.forms[String(name).toLowerCase()]) throw new Error('Form "' + name + '" not found');
      window.parent.postMessage({quirelle: 'form', name: String(name)}, '*');
    },
    UserForm: { Close: () => say({quirelle: 'close-form'}) },
  };
  try { Object.defineProperty(window, 'external', {value: external, configurable: false}); } catch (e) {}
  window.addEventListener('message', (e) => {
    const m = e.data;
    if (e.source !== window.parent || !m || typeof m.quirelle !== 'string') return;
    if (m.quirelle === 'zoom') document.documentElement.style.zoom = [0.6, 0.8, 1, 1.25, 1.5][m.level] || 1;
    else if (m.quirelle === 'print' && m.section) printSection(m.section);
    else if (m.quirelle === 'print') window.print();
    else if (m.quirelle === 'sections')
      say({quirelle: 'sections', sections: [...document.querySelectorAll('div[id]')].filter((d) => /page$/i.test(d.id))
        .map((d) => ({id: d.id, caption: (d.title || d.id).trim()}))});
    else if (m.quirelle === 'copy') document.execCommand('copy');
    else if (m.quirelle === 'reload') location.reload();
  });
  // One print section alone on paper.
  function printSection(id) {
    const style = document.createElement('style');
    style.textContent = '@media print { body * { visibility: hidden !important } #' + CSS.escape(id) + ', #' + CSS.escape(id) +
      ' * { visibility: visible !important } #' + CSS.escape(id) + ' { position: absolute; left: 0; top: 0 } }';
    document.head.appendChild(style);
    window.print();
    style.remove();
  }
  // The window's keys work with the page focused, too.
  document.addEventListener('keydown', (e) => {
    if (e.key === 'F9' || e.key === 'Escape' || (e.ctrlKey && (e.key === 'PageDown' || e.key === 'PageUp')) ||
        (e.altKey && ['ArrowLeft', 'ArrowRight', 'Home'].includes(e.key))) {
      e.preventDefault();
      say({quirelle: 'key', key: e.key, ctrl: e.ctrlKey, alt: e.altKey});
    }
  });
  const loaded = () => { if (window.name !== 'q-form') say({quirelle: 'loaded', page: me}); };
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', loaded); else loaded();
})();
)JS";

}  // namespace

void ExportWeb(TBook& book, const TWebPictures& pictures, const fs::path& folder, std::vector<std::string>& notes) {
  const TLoadedBook& loaded = book.Loaded();
  TVariables* variables = book.Variables();
  CheckDiskNames(book.ContentImage().Root(), "content");
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
      const std::string root = RelativeReference(site, "");  // back to the site's root
      data.insert(ScriptInsertionPoint(data), "<script src=\"" + root + "quirelle/book.js\"></script><script src=\"" + root +
                                                  "quirelle/page.js\" data-page=\"" + site + "\"></script>");
      // A browser takes a page that declares no encoding for its own locale's; the viewer reads it
      // in the book's code page, and so does the web book.
      if (PageEncoding(data, "-") == "-") data.insert(ScriptInsertionPoint(data), "<meta charset=\"" + BookEncoding() + "\">");
    }
    // Written as --extract writes a book: a name that would leave its folder is refused.
    fs::path target = folder / "book";
    for (std::size_t from = 1; from <= path.size();) {
      const std::size_t end = std::min(path.find('\\', from), path.size());
      target = DiskChild(target, path.substr(from, end - from));
      from = end + 1;
    }
    fs::create_directories(target.parent_path());
    WriteDiskFileAtomically(target, data);
  }
  // The book's description, for the window's script.
  std::string js = "window.QuirelleBook = {\n";
  const std::string title = loaded.ApplicationTitle ? ToUtf8(*loaded.ApplicationTitle) : std::string();
  js += "title: " + Json(title) + ",\ncaption: " + Json(loaded.MainFormCaption ? ToUtf8(*loaded.MainFormCaption) : title) + ",\n";
  const TToolbarOptions& o = loaded.ToolbarOptions;
  static const char* const Placements[] = {"top", "bottom", "none"};
  const bool logo = !pictures.Logo.empty();
  if (logo) WriteDiskFileAtomically(folder / "quirelle" / "logo.png", pictures.Logo);
  js += "toolbar: {placement: \"" + std::string(Placements[std::min<int>(o.ToolbarPlacement, 2)]) + "\", back: \"" + Colour(o.ToolbarBackColor) +
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
  js += "],\nhome: " + std::to_string(home) + ",\n";
  // The splashes: a picture, else the message, for each that the book shows.
  const TSplashOptions& splash = loaded.SplashOptions;
  auto splashOf = [&](TSplashType type, const std::string& picture, const std::string& name, const std::string& text) -> std::string {
    if (type == vsSplash && !picture.empty()) {
      WriteDiskFileAtomically(folder / "quirelle" / name, picture);
      return "{picture: \"quirelle/" + name + "\"}";
    }
    if (type == vsPopUp) return "{text: " + Json(ToUtf8(variables ? variables->Substitute(text) : text)) + "}";
    return "null";
  };
  js += "splash: {start: " + splashOf(splash.SplashTypeS, pictures.SplashStart, "splash-start.png", splash.PopUpTextS) +
        ", end: " + splashOf(splash.SplashTypeE, pictures.SplashEnd, "splash-end.png", splash.PopUpTextE) + ", interval: " +
        std::to_string(std::max(0, splash.Interval)) + ", closeOnClick: " + (splash.CloseOnClick ? "true" : "false") + "},\nforms: {\n";
  if (TUserForms* forms = book.UserForms())
    forms->ForEach([&](const std::string& name, const TUserForm& form) {
      std::string lower = ToUtf8(name);
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      js += "  " + Json(lower) + ": {page: " + Json(SiteUrl(form.Path)) + ", caption: " + Json(ToUtf8(form.Caption)) + ", width: " +
            std::to_string(form.Width) + ", height: " + std::to_string(form.Height) + ", hideScrollBar: " + (form.HideScrollBar ? "true" : "false") + "},\n";
    });
  js += "}\n};\n";
  // The search index: each searchable page of the story once, its text as the search reads it.
  std::string index = "window.QuirelleSearch = [\n";
  if (TStory* story = book.Story()) {
    const TStoryLine& lines = story->Lines();
    std::set<std::string> seen;
    for (std::int32_t i = 0; i < lines.Count(); ++i) {
      if (!lines.IsPage(i) || !lines.Entry(i)->Attributes.ValueOf("Searchable", TXMLValue::Boolean(true)).AsBoolean()) continue;
      const std::string path = AddressOfPage(lines.Page(i));
      const TMFSFile* file = FindBookFile(book.ContentImage(), path);
      if (!file || !seen.insert(path).second) continue;
      std::string shown = file->Data;
      if (variables) variables->SubstituteInPlace(shown, path);
      index += "{entry: " + std::to_string(i) + ", text: " + Json(CollapseText(ExtractPageText(PageToUtf8(shown, PageEncoding(shown, BookEncoding()))))) + "},\n";
    }
  }
  WriteDiskFileAtomically(folder / "quirelle" / "search.js", index + "];\n");
  WriteDiskFileAtomically(folder / "quirelle" / "book.js", js);
  WriteDiskFileAtomically(folder / "quirelle" / "window.js", std::string(WindowJs));
  WriteDiskFileAtomically(folder / "quirelle" / "window.css", std::string(WindowCss));
  WriteDiskFileAtomically(folder / "quirelle" / "page.js", std::string(PageJs));
  WriteDiskFileAtomically(folder / "index.html", std::string(IndexHtml));
  if (!loaded.FormsFile.empty()) notes.push_back("a form shown from a page script does not hold the script until it closes, as in the viewer");
}
