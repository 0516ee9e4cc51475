#include "u_EpubReading.h"

#include <QDesktopServices>
#include <QFile>
#include <QPointer>
#include <QTimer>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestInterceptor>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "c_MXWebBrowser.h"
#include "u_CodePage.h"
#include "u_BookCheck.h"
#include "u_DataBlocks.h"
#include "u_Dialogs.h"
#include "u_DiskFolder.h"
#include "u_Epub.h"
#include "u_ImageSource.h"
#include "u_InternetProtocolEngine.h"
#include "u_NewBook.h"
#include "u_ToolbarArt.h"

bool IsEpubFile(const std::string& file) {
  // The container's first member: a local header of 30 bytes, the name "mimetype", any extra
  // field, then the type, stored. A container made less carefully still counts by its name.
  static const std::string_view Type = "application/epub+zip";
  char head[30 + 8 + 64 + 20] = {};
  std::ifstream in(file, std::ios::binary);
  in.read(head, sizeof head);
  const std::size_t got = static_cast<std::size_t>(in.gcount());
  if (got < 4 || std::string_view(head, 4) != std::string_view("PK\x03\x04", 4)) return false;
  const std::string name = std::filesystem::path(file).extension().string();
  if (name.size() == 5 && (name[1] | 0x20) == 'e' && (name[2] | 0x20) == 'p' && (name[3] | 0x20) == 'u' && (name[4] | 0x20) == 'b') return true;
  auto le16 = [&](std::size_t at) { return static_cast<std::size_t>(static_cast<unsigned char>(head[at]) | static_cast<unsigned char>(head[at + 1]) << 8); };
  if (got < 30 || le16(26) != 8 || std::string_view(head + 30, 8) != "mimetype" || le16(28) > 64) return false;
  const std::size_t data = 38 + le16(28);
  return got >= data + Type.size() && std::string_view(head + data, Type.size()) == Type;
}

TBookSource EpubBookSource(const std::string& file, std::vector<std::string>* notes) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec || !std::filesystem::is_regular_file(file, ec)) throw EBookFileError(BookFileProblem(file));
  // A container is no larger than what it may unpack to.
  if (size > MaxEpubBytes) throw EBookFileError("The EPUB \"" + file + "\" is larger than a book can be");
  std::string bytes(static_cast<std::size_t>(size), '\0');
  std::ifstream in(file, std::ios::binary);
  if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) throw EBookFileError(BookFileProblem(file));
  // What the conversion writes is UTF-8, names and description files alike.
  SetBookCodePage(CodePageUtf8);
  try {
    const TEpub epub = ReadEpub(bytes);
    if (notes) *notes = epub.Notes;
    TBookSource source;
    auto load = std::make_shared<TContentImageLoad>();
    ImportFiles(epub.Files, load->Image->Root());
    const TNewBook book = PlanEpubBook(epub, *load->Image, std::filesystem::path(file).stem().string());
    ImportFiles(book.ContentFiles, load->Image->Root());
    load->Finished();
    source.SystemImage = std::make_shared<TMFS>();
    std::vector<std::pair<std::string, std::string>> system = NewBookSystemFiles(book, ToolbarPictureBmp);
    for (auto& [path, data] : system) std::replace(path.begin(), path.end(), '\\', '/');
    ImportFiles(system, source.SystemImage->Root());
    source.SystemImage->Session()->CreateFile(CodePageRecordFile, 0, true)->Data = CodePageRecord(CodePageUtf8, *source.SystemImage);
    source.ContentLoad = std::move(load);
    return source;
  } catch (const EEpubError& e) {
    throw Exception(file + ": " + e.Message());
  } catch (const EToolError& e) {
    throw Exception(file + ": " + e.Message());
  }
}

namespace {

// What reading systems give every document's scripts, frames included, before any of its own
// runs; and, in a frame, its height for a page that shows the book as one scroll.
const char* const ReadingSystemScript = R"JS(
(() => {
  const features = {'dom-manipulation': true, 'layout-changes': true, 'touch-events': false, 'mouse-events': true,
                    'keyboard-events': true, 'spine-scripting': true, 'embedded-web-content': true};
  const system = Object.freeze({
    name: 'Quirelle', version: '%VERSION%', layoutStyle: 'scrolling',
    // Features it does not know of are neither offered nor refused.
    hasFeature(feature, version) { return Object.prototype.hasOwnProperty.call(features, feature) ? features[feature] : undefined; },
  });
  try { Object.defineProperty(navigator, 'epubReadingSystem', {value: system, enumerable: true}); } catch (e) {}
  if (window === window.parent) return;
  const report = () => {
    const root = document.documentElement;
    if (root) window.parent.postMessage({quirelleFrameHeight: Math.max(root.scrollHeight, document.body ? document.body.scrollHeight : 0)}, '*');
  };
  addEventListener('load', () => { report(); if (document.documentElement) new ResizeObserver(report).observe(document.documentElement); });
})();
)JS";

// MathML laid out by MathJax, for documents that hold any.
const char* const MathJaxScript = R"JS(
(() => {
  if (!document.getElementsByTagNameNS('http://www.w3.org/1998/Math/MathML', 'math').length) return;
  const head = document.head || document.documentElement;
  const config = document.createElement('script');
  config.type = 'text/x-mathjax-config';
  // The document says when the mathematics is laid out, for those who print it.
  config.text = "MathJax.Hub.Config({showMathMenu: false, messageStyle: 'none'});" +
    "MathJax.Hub.Register.StartupHook('End', function () { document.documentElement.setAttribute('data-quirelle-math', 'done'); });";
  head.appendChild(config);
  const script = document.createElement('script');
  script.src = location.protocol + '%PATH%MathJax.js?config=MML_CHTML';
  head.appendChild(script);
})();
)JS";

std::string ToLowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool IsRemote(const QUrl& url) {
  static const QStringList Remote{QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("ws"), QStringLiteral("wss"), QStringLiteral("ftp")};
  return Remote.contains(url.scheme().toLower());
}

// Frames go to the frame scheme; nothing goes to the network until the reader allows it, asked
// once for the book when a page first wants something from there.
class TEpubRequests : public QWebEngineUrlRequestInterceptor {
public:
  TEpubRequests(QWebEnginePage* page, QWidget* window) : QWebEngineUrlRequestInterceptor(page), FPage(page), FWindow(window) {}
  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    const QUrl url = info.requestUrl();
    if (url.scheme() == QLatin1String("mfs") && info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeSubFrame) {
      QUrl frame = url;
      frame.setScheme(QString::fromLatin1(FrameScheme));
      info.redirect(frame);
    } else if (IsRemote(url) && !FAllowed) {
      info.block(true);
      if (FAsked) return;
      FAsked = true;
      // Asked from the event loop: the engine waits for this answer.
      QTimer::singleShot(0, this, [this, url] {
        FAllowed = AskReader(FWindow, QStringLiteral("A page of this book asks for files from the internet, such as\n%1\n\n"
                                                     "Load them for this book?").arg(url.toDisplayString()));
        if (FAllowed) FPage->triggerAction(QWebEnginePage::Reload);
      });
    }
  }

private:
  QWebEnginePage* FPage;
  QPointer<QWidget> FWindow;
  bool FAsked = false, FAllowed = false;
};

}  // namespace

QString EpubHeading(TBook& book) {
  if (!book.Variables()) return {};
  const TStringToStringDictionary& values = book.Variables()->Values();
  const std::string* title = values.FindValue("BOOKTITLE");
  const std::string* author = values.FindValue("AUTHOR");
  QString heading = title ? QString::fromStdString(ToUtf8(*title)) : QString();
  if (author && !author->empty()) heading += (heading.isEmpty() ? QString() : QStringLiteral(" \u2014 ")) + QString::fromStdString(ToUtf8(*author));
  return heading;
}

void AddReadingSystem(const std::string& path, std::string& data) {
  const std::size_t dot = path.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : ToLowerAscii(path.substr(dot + 1));
  if (extension != "xhtml" && extension != "html" && extension != "htm") return;
  // The engine runs its own scripts in a frame only once the frame's first scripts have run: the
  // document itself brings it, first in its head (else first in its root, else first of all).
  std::string script = std::string("<script>//<![CDATA[") + ReadingSystemScript + "//]]></script>";
  script.replace(script.find("%VERSION%"), 9, QUIRELLE_VERSION);
  data.insert(ScriptInsertionPoint(data), script);
}

bool LayOutMathML(QWebEnginePage& page) {
  if (!QFile::exists(QString::fromLatin1(MathJaxFolder) + QStringLiteral("/MathJax.js"))) return false;
  if (TEngineURLLayer* layer = TEngineURLLayer::Instance()) layer->ServeMachineFolder(QString::fromLatin1(MathJaxPath), QString::fromLatin1(MathJaxFolder));
  page.scripts().insert(PageScript("quirelle-mathjax", QWebEngineScript::DocumentReady, true,
                                   QString::fromLatin1(MathJaxScript).replace(QStringLiteral("%PATH%"), QString::fromLatin1(MathJaxPath))));
  return true;
}

const char* const MathLaidOutScript =
    "document.documentElement.getAttribute('data-quirelle-math') === 'done' || "
    "!document.getElementsByTagNameNS('http://www.w3.org/1998/Math/MathML', 'math').length";

void ReadAsEpub(TMXWebBrowser& browser, QWidget* window) {
  QWebEnginePage* page = browser.page();
  LayOutMathML(*page);
  page->setUrlRequestInterceptor(new TEpubRequests(page, window));
  // A link out of the book is the reader's to follow, in their browser; nothing else leaves.
  browser.OnNavigationRequest = [window](const QUrl& url, QWebEnginePage::NavigationType type, bool) {
    if (!IsRemote(url)) return true;
    if (type == QWebEnginePage::NavigationTypeLinkClicked &&
        AskReader(window, QStringLiteral("This link leads out of the book, to\n%1\n\nOpen it in your web browser?").arg(url.toDisplayString())))
      QDesktopServices::openUrl(url);
    return false;
  };
}
