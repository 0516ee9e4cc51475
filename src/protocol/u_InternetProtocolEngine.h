// The engine side of the viewer's URL schemes: registration with Qt WebEngine, one scheme
// handler that hands every request to the framework, and the conversions between the engine's
// URLs and book URLs (an MFS path in the book's code page behind the scheme).
#pragma once

#include <QByteArray>
#include <QUrl>
#include <QPointer>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlSchemeHandler>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "u_InternetProtocolSupport.h"

class QWebEngineProfile;

// Declares the schemes to the engine. Must run before the QApplication exists.
void RegisterEngineSchemes(std::initializer_list<const char*> schemes);

class TEngineURLLayer : public QWebEngineUrlSchemeHandler, public TURLLayer {
  Q_OBJECT
public:
  // Serves the framework's schemes in the profile (the default profile when none) and installs
  // itself as the framework's URL layer.
  explicit TEngineURLLayer(QWebEngineProfile* profile = nullptr);
  ~TEngineURLLayer() override;

  void requestStarted(QWebEngineUrlRequestJob* job) override;

  void Open() override {}
  void Close() override {}
  void RegisterNameSpace(const std::string& scheme) override;
  void UnregisterNameSpace(const std::string& scheme) override;

  // HTML text shown without a file of its own: served at the content image's root, mfs:/, with a
  // query no book address can have, so that its relative references resolve against the root.
  QUrl AddHTMLText(QByteArray html);
  void RemoveHTMLText(const QUrl& url);

  static TEngineURLLayer* Instance();

  // A reserved address whose request is answered only once Release is called: a page script
  // that asks for it synchronously waits meanwhile without holding up the viewer (a form shown
  // from a script returns when the form has closed).
  QUrl AddWaiter();
  void ReleaseWaiter(const QUrl& url);
  // A profile of its own for the windows at that nesting depth (1 for a form, 2 for a form shown
  // from a form, ...): a page that waits never shares its renderer process with the window it
  // waits for. Serves the same schemes; owned by the layer.
  QWebEngineProfile* ProfileAtDepth(int depth);
  // The encoding of pages that declare none, in every profile: the book's code page.
  void SetDefaultTextEncoding(const QString& encoding);

  // A folder of the machine served read-only at a reserved path of every book scheme
  // ("mfs:/.quirelle-mathjax/MathJax.js"), for what the viewer itself adds to pages; none by default.
  void ServeMachineFolder(const QString& reservedPath, const QString& folder);

  // Runs before every request is served: Serve, Fail (the request is aborted, nothing is
  // shown), or Later: the request waits, the event loop running on, until ResumeDeferred asks
  // again.
  enum class TGate { Serve, Fail, Later };
  std::function<TGate(const QUrl& url)> BeforeRequest;
  void ResumeDeferred();
  // The same from any thread, on this object's thread a moment later.
  void ResumeDeferredSoon();

private:
  void Serve(QWebEngineUrlRequestJob* job);
  int ReservedId(const QUrl& url, const QString& key) const;
  std::vector<QPointer<QWebEngineUrlRequestJob>> FDeferred;
  QWebEngineProfile* FProfile;
  std::vector<QWebEngineProfile*> FDepthProfiles;  // owned, index depth - 1
  QString FTextEncoding;
  bool ServeFromMachine(QWebEngineUrlRequestJob* job);
  QString FMachinePath, FMachineFolder;
  std::vector<QByteArray> FSchemes;
  struct TWaiter {
    bool Released = false;
    std::vector<QPointer<QWebEngineUrlRequestJob>> Jobs;
  };
  std::map<int, TWaiter> FWaiters;
  int FNextWaiter = 1;
  QString FWaiterKey;
  int HTMLTextId(const QUrl& url) const;
  std::map<int, QByteArray> FHTMLTexts;
  int FNextHTMLText = 1;
  QString FHTMLTextKey;
};

// The framework's form of an engine URL: the scheme, a colon and the path with backslashes, in
// the book's code page. The escapes the engine adds (blanks, quotes, angle brackets, braces,
// backquotes, lone percent signs and every non-ASCII character) are decoded, except "%20", which the framework
// itself turns into a blank; other escapes the page wrote ("%41") stay as written.
std::string BookURLOfEngineURL(const QUrl& url);
// The MFS path of an engine URL of a served scheme ("\pages\a b.htm"), empty for others.
std::string MFSPathOfEngineURL(const QUrl& url);
// The canonical engine URL of a book URL ("mfs:\pages\a.htm" gives mfs:/pages/a.htm).
QUrl EngineURLOfBookURL(const std::string& bookUrl);
