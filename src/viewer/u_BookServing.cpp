#include "u_BookServing.h"

#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include "u_Book.h"
#include "u_EpubReading.h"
#include "u_InternetProtocolEngine.h"
#include "u_MFSInternetProtocol.h"
#include "u_PageEncoding.h"

TBookServing::TBookServing(TBook& book, QObject* window, std::function<bool()> join, std::function<bool()> failed) {
  TEngineURLLayer* layer = TEngineURLLayer::Instance();
  // Pages that declare no encoding are in the book's code page, as the search and the check read them.
  if (layer) layer->SetDefaultTextEncoding(QString::fromStdString(BookEncoding()));
  auto resume = [layer] { if (layer) layer->ResumeDeferredSoon(); };
  if (layer) layer->BeforeRequest = [this, &book, join, failed, resume](const QUrl& url) {
      using TGate = TEngineURLLayer::TGate;
      if (url.scheme() == "system") return failed() ? TGate::Fail : TGate::Serve;
      const auto request = book.ContentRequest(FContentProtocol->ImagePathOf(MFSPathOfEngineURL(url)), resume);
      if (request != TBook::TContentRequest::Join) return request == TBook::TContentRequest::Early ? TGate::Serve : TGate::Later;
      return join() ? TGate::Serve : TGate::Fail;
    };
  // A failure at the image's end ends the run, also when every page asked for came early.
  book.WhenContentFinished([window, join, resume] {
    QMetaObject::invokeMethod(window, [join] { join(); }, Qt::QueuedConnection);
    resume();
  });
  const bool epub = book.Loaded().FromEpub;
  auto filter = [&book, epub](TMFSInternetProtocol& protocol, const std::string& path, std::string& data) {
    if (TVariables* variables = book.Variables()) variables->SubstituteInPlace(data, path);
    if (epub && protocol.Image() == &book.ContentImage()) AddReadingSystem(path, data);
  };
  FContentProtocol = std::make_unique<TMFSInternetProtocol>("mfs", &book.ContentImage());
  FContentProtocol->OnAfterGetData = filter;
  FContentProtocol->EarlyRead = [&book, join](const std::string& path, std::string& data) {
    return book.CopyEarlyContent(path, data) || (join(), false);
  };
  FSystemProtocol = std::make_unique<TMFSInternetProtocol>("system", &book.SystemImage());
  FSystemProtocol->OnAfterGetData = filter;
  if (epub) {
    FFrameProtocol = std::make_unique<TMFSInternetProtocol>(FrameScheme, &book.ContentImage());
    FFrameProtocol->OnAfterGetData = filter;
    FFrameProtocol->EarlyRead = FContentProtocol->EarlyRead;
  }
}

TBookServing::~TBookServing() {
  if (TEngineURLLayer* layer = TEngineURLLayer::Instance()) layer->BeforeRequest = nullptr;
}
