#include "u_InternetProtocolEngine.h"

#include <QWebEngineSettings>

#include <QBuffer>
#include <QFile>
#include <algorithm>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QUrlQuery>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

#include "u_CodePage.h"

namespace {

TEngineURLLayer* GInstance = nullptr;

}  // namespace

void RegisterEngineSchemes(std::initializer_list<const char*> schemes) {
  for (const char* name : schemes) {
    QWebEngineUrlScheme scheme(name);
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    // Secure, so book pages may use what browsers keep for secure origins; no local access, so
    // a book page can never read files of the machine.
    scheme.setFlags(QWebEngineUrlScheme::SecureScheme);
    QWebEngineUrlScheme::registerScheme(scheme);
  }
}

std::string BookURLOfEngineURL(const QUrl& url) {
  // Decoded as UTF-8 first, then into the book's code page; characters it cannot hold become '?'.
  const QByteArray encoded = url.path(QUrl::FullyEncoded).toUtf8();
  std::string path;
  if (!BookPathOfEnginePath(std::string_view(encoded.constData(), static_cast<std::size_t>(encoded.size())), path)) {
    const std::string utf8 = DecodeEngineEscapes(std::string_view(encoded.constData(), static_cast<std::size_t>(encoded.size())));
    path = FromUtf16Lossy(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())).toStdU16String());
    for (char& c : path)
      if (c == '/') c = '\\';
  }
  return url.scheme().toStdString() + ":" + path;
}

std::string MFSPathOfEngineURL(const QUrl& url) {
  if (!InternetProtocolSession().FindProtocol(url.scheme().toStdString())) return {};
  std::string book = BookURLOfEngineURL(url);
  std::string path = book.substr(book.find(':') + 1);
  DecodeBlanks(path);
  return path;
}

QUrl EngineURLOfBookURL(const std::string& bookUrl) {
  std::string scheme, path;
  SplitURL(bookUrl, scheme, path);
  if (scheme.empty() || !InternetProtocolSession().FindProtocol(scheme)) return QUrl(QString::fromStdString(ToUtf8(bookUrl)));
  std::string rest = bookUrl.substr(scheme.size() + 1);
  // "mfs:mfs:\a.htm" names the file "mfs:\a.htm" does: the prefix goes once more.
  if (rest.size() > scheme.size() && rest[scheme.size()] == ':' && SameText(rest.substr(0, scheme.size()), scheme))
    rest.erase(0, scheme.size() + 1);
  std::string utf8 = ToUtf8(rest);
  for (char& c : utf8)
    if (c == '\\') c = '/';
  if (utf8.empty() || utf8.front() != '/') utf8.insert(0, 1, '/');
  QUrl url;
  url.setScheme(QString::fromStdString(scheme).toLower());
  url.setPath(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())), QUrl::DecodedMode);
  return url;
}

// ---------------------------------------------------------------- TEngineURLLayer

TEngineURLLayer::TEngineURLLayer(QWebEngineProfile* profile)
    : FProfile(profile ? profile : QWebEngineProfile::defaultProfile()) {
  GInstance = this;
  InternetProtocolSession().SetURLLayer(this);
  FHTMLTextKey = QStringLiteral("quirelle-html-%1-").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
  FWaiterKey = QStringLiteral("quirelle-wait-%1-").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

TEngineURLLayer::~TEngineURLLayer() {
  if (InternetProtocolSession().URLLayer() == this) InternetProtocolSession().SetURLLayer(nullptr);
  if (GInstance == this) GInstance = nullptr;
  for (QWebEngineProfile* profile : FDepthProfiles) delete profile;
}

QWebEngineProfile* TEngineURLLayer::ProfileAtDepth(int depth) {
  if (depth <= 0) return FProfile;
  while (static_cast<int>(FDepthProfiles.size()) < depth) {
    auto* profile = new QWebEngineProfile();  // off the record, as the book's own
    for (const QByteArray& scheme : FSchemes) profile->installUrlSchemeHandler(scheme, this);
    if (!FTextEncoding.isEmpty()) profile->settings()->setDefaultTextEncoding(FTextEncoding);
    FDepthProfiles.push_back(profile);
  }
  return FDepthProfiles[static_cast<std::size_t>(depth - 1)];
}

void TEngineURLLayer::SetDefaultTextEncoding(const QString& encoding) {
  FTextEncoding = encoding;
  FProfile->settings()->setDefaultTextEncoding(encoding);
  for (QWebEngineProfile* profile : FDepthProfiles) profile->settings()->setDefaultTextEncoding(encoding);
}

QUrl TEngineURLLayer::AddWaiter() {
  const int id = FNextWaiter++;
  FWaiters[id];
  QUrl url("mfs:/");
  url.setQuery(FWaiterKey + QString::number(id));
  return url;
}

void TEngineURLLayer::ReleaseWaiter(const QUrl& url) {
  auto it = FWaiters.find(ReservedId(url, FWaiterKey));
  if (it == FWaiters.end()) return;
  it->second.Released = true;
  std::vector<QPointer<QWebEngineUrlRequestJob>> jobs;
  jobs.swap(it->second.Jobs);
  if (!jobs.empty()) FWaiters.erase(it);  // asked and answered; else kept for the request to come
  for (const QPointer<QWebEngineUrlRequestJob>& job : jobs)
    if (job) {
      auto* buffer = new QBuffer(job);
      buffer->open(QIODevice::ReadOnly);
      job->reply("text/plain", buffer);
    }
}

TEngineURLLayer* TEngineURLLayer::Instance() { return GInstance; }

void TEngineURLLayer::RegisterNameSpace(const std::string& scheme) {
  QByteArray name = QByteArray::fromStdString(scheme).toLower();
  if (std::find(FSchemes.begin(), FSchemes.end(), name) == FSchemes.end()) FSchemes.push_back(name);
  if (!FProfile->urlSchemeHandler(name)) FProfile->installUrlSchemeHandler(name, this);
  for (QWebEngineProfile* profile : FDepthProfiles)
    if (!profile->urlSchemeHandler(name)) profile->installUrlSchemeHandler(name, this);
}

void TEngineURLLayer::UnregisterNameSpace(const std::string& scheme) {
  const QByteArray name = QByteArray::fromStdString(scheme).toLower();
  FSchemes.erase(std::remove(FSchemes.begin(), FSchemes.end(), name), FSchemes.end());
  FProfile->removeUrlScheme(name);
  for (QWebEngineProfile* profile : FDepthProfiles) profile->removeUrlScheme(name);
}

// HTML texts live at the root folder's address, which no book file can have, with a query that
// holds a key drawn at random when the layer starts: no book link can reach one by chance.
QUrl TEngineURLLayer::AddHTMLText(QByteArray html) {
  int id = FNextHTMLText++;
  FHTMLTexts[id] = std::move(html);
  QUrl url("mfs:/");
  url.setQuery(FHTMLTextKey + QString::number(id));
  return url;
}

int TEngineURLLayer::ReservedId(const QUrl& url, const QString& key) const {
  const QString query = url.query(QUrl::FullyDecoded);
  if (url.scheme() != QLatin1String("mfs") || url.path() != QLatin1String("/") || !query.startsWith(key)) return -1;
  bool ok = false;
  const int id = query.mid(key.size()).toInt(&ok);
  return ok ? id : -1;
}

int TEngineURLLayer::HTMLTextId(const QUrl& url) const { return ReservedId(url, FHTMLTextKey); }

void TEngineURLLayer::RemoveHTMLText(const QUrl& url) { FHTMLTexts.erase(HTMLTextId(url)); }

static bool IsBookOrigin(const QUrl& initiator) {
  // No initiator: the viewer itself or the reader (the address bar, history) asked.
  if (initiator.isEmpty()) return true;
  const QString scheme = initiator.scheme();
  return !scheme.isEmpty() && InternetProtocolSession().FindProtocol(scheme.toStdString()) != nullptr;
}

void TEngineURLLayer::requestStarted(QWebEngineUrlRequestJob* job) {
  const QUrl url = job->requestUrl();
  // The book is for its own pages: a web page, a frame of one and any document with an opaque
  // origin may neither read it (fetch, XHR, pictures) nor open its pages.
  if (!IsBookOrigin(job->initiator())) {
    job->fail(QWebEngineUrlRequestJob::RequestDenied);
    return;
  }
  if (ServeFromMachine(job)) return;
  // A waiter needs nothing of the book: held until released, answered at once after.
  if (auto waiter = FWaiters.find(ReservedId(url, FWaiterKey)); waiter != FWaiters.end()) {
    if (!waiter->second.Released) {
      waiter->second.Jobs.emplace_back(job);
      return;
    }
    FWaiters.erase(waiter);
    auto* buffer = new QBuffer(job);
    buffer->open(QIODevice::ReadOnly);
    job->reply("text/plain", buffer);
    return;
  }
  switch (BeforeRequest ? BeforeRequest(url) : TGate::Serve) {
    case TGate::Fail:
      job->fail(QWebEngineUrlRequestJob::RequestAborted);
      return;
    case TGate::Later:
      FDeferred.emplace_back(job);
      return;
    case TGate::Serve:
      break;
  }
  Serve(job);
}

void TEngineURLLayer::ServeMachineFolder(const QString& reservedPath, const QString& folder) {
  FMachinePath = reservedPath.endsWith(QLatin1Char('/')) ? reservedPath : reservedPath + QLatin1Char('/');
  FMachineFolder = folder;
}

bool TEngineURLLayer::ServeFromMachine(QWebEngineUrlRequestJob* job) {
  const QString path = job->requestUrl().path(QUrl::FullyDecoded);
  if (FMachinePath.isEmpty() || !path.startsWith(FMachinePath)) return false;
  // Only what lies below the folder: no climbing, no second root.
  const QString relative = path.mid(FMachinePath.size());
  const QStringList segments = relative.split(QLatin1Char('/'));
  QFile file(FMachineFolder + QLatin1Char('/') + relative);
  if (relative.isEmpty() || relative.contains(QLatin1Char('\\')) || relative.contains(QChar(0)) || segments.contains(QStringLiteral("..")) ||
      segments.contains(QStringLiteral(".")) || !file.open(QIODevice::ReadOnly)) {
    job->fail(QWebEngineUrlRequestJob::UrlNotFound);
    return true;
  }
  auto* buffer = new QBuffer(job);
  buffer->setData(file.readAll());
  buffer->open(QIODevice::ReadOnly);
  job->reply(QMimeDatabase().mimeTypeForFile(file.fileName(), QMimeDatabase::MatchExtension).name().toLatin1(), buffer);
  return true;
}

void TEngineURLLayer::ResumeDeferred() {
  // Asked again in the order they came; a request the engine dropped meanwhile has gone.
  std::vector<QPointer<QWebEngineUrlRequestJob>> waiting;
  waiting.swap(FDeferred);
  for (const QPointer<QWebEngineUrlRequestJob>& job : waiting)
    if (job) requestStarted(job);
}

void TEngineURLLayer::ResumeDeferredSoon() {
  QMetaObject::invokeMethod(this, [this] { ResumeDeferred(); }, Qt::QueuedConnection);
}

void TEngineURLLayer::Serve(QWebEngineUrlRequestJob* job) {
  const QUrl url = job->requestUrl();
  QByteArray data;
  QByteArray type;
  if (const int id = HTMLTextId(url); id >= 0) {
    auto it = FHTMLTexts.find(id);
    if (it == FHTMLTexts.end()) {
      job->fail(QWebEngineUrlRequestJob::UrlNotFound);
      return;
    }
    data = it->second;
    type = "text/html; charset=utf-8";  // the viewer builds every such text in UTF-8
  } else {
    TProtocolResponse response = StartRequest(BookURLOfEngineURL(url));
    if (!response.Found) {
      job->fail(QWebEngineUrlRequestJob::UrlInvalid);
      return;
    }
    data = QByteArray::fromStdString(response.Data);
    // The engine wants a content type; the name and the bytes decide it.
    type = response.ErrorPage ? QByteArray("text/html")
                              : QMimeDatabase().mimeTypeForFileNameAndData(url.fileName(), data).name().toLatin1();
  }
  auto* buffer = new QBuffer(job);
  buffer->setData(data);
  buffer->open(QIODevice::ReadOnly);
  job->reply(type, buffer);
}
