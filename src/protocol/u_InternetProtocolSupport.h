// Schemes of the program's own (such as mfs:) served to the embedded browser from memory. A
// scheme object supplies the bytes for a path and resolves relative references; one registry
// per process keeps the served schemes and announces them to the browser engine. This unit is
// plain logic; the engine glue (u_InternetProtocolEngine) plugs into it through TURLLayer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "u_Dictionary.h"
#include "u_Errors.h"

class EInternetProtocolSupportError : public Exception { using Exception::Exception; };

inline constexpr const char* SProtocolNotSet = "Protocol not set";
inline constexpr const char* SOnGetDataNotAssigned = "Property OnGetData not assigned";
inline constexpr const char* SOnCombineURLNotAssigned = "Property OnCombineURL not assigned";
inline constexpr const char* SErrorPage =
    "<html><pre><p>An exception occured during attempt to get data</p><p>URL: <b>%s</b></p>"
    "<p>Exception: <b>%s</b></p></html>";
inline constexpr std::size_t MaxURLPath = 255;

class TInternetProtocolSupport {
public:
  using TGetDataEvent = std::function<void(TInternetProtocolSupport& sender, const std::string& path, std::string& data)>;
  using TCompareURLEvent = std::function<void(TInternetProtocolSupport& sender, const std::string& path1,
                                              const std::string& path2, bool ignoreSlashes, bool& equal)>;
  using TCombineURLEvent = std::function<void(TInternetProtocolSupport& sender, const std::string& basePath,
                                              const std::string& relativePath, std::string& result)>;

  TInternetProtocolSupport() = default;
  ~TInternetProtocolSupport();
  TInternetProtocolSupport(const TInternetProtocolSupport&) = delete;
  TInternetProtocolSupport& operator=(const TInternetProtocolSupport&) = delete;

  bool Active() const { return FActive; }
  // True registers the scheme, false unregisters it; registration errors reach the caller and
  // leave the scheme inactive.
  void SetActive(bool value);
  const std::string& Protocol() const { return FProtocol; }
  // Deactivates first; does not activate again.
  void SetProtocol(const std::string& name);

  std::string GetData(const std::string& path);
  std::string CombineURL(const std::string& basePath, const std::string& relativePath);
  bool CompareURL(const std::string& path1, const std::string& path2, bool ignoreSlashes);

  TGetDataEvent OnGetData;
  TCompareURLEvent OnCompareURL;
  TCombineURLEvent OnCombineURL;

private:
  bool FActive = false;
  std::string FProtocol;
};

// What the browser engine offers for serving schemes.
class TURLLayer {
public:
  virtual ~TURLLayer() = default;
  // Before the first scheme is served, and after the last one is withdrawn.
  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual void RegisterNameSpace(const std::string& scheme) = 0;
  virtual void UnregisterNameSpace(const std::string& scheme) = 0;
};

// The process-wide registry of served schemes.
class TInternetProtocolSupportSession {
public:
  // Serving works without an engine too (for the plain logic); the engine glue installs its
  // layer before any scheme is registered.
  void SetURLLayer(TURLLayer* layer) { FLayer = layer; }
  TURLLayer* URLLayer() const { return FLayer; }

  void RegisterProtocol(const std::string& scheme, TInternetProtocolSupport* support);
  void UnregisterProtocol(const std::string& scheme);
  TInternetProtocolSupport* FindProtocol(std::string_view scheme) const { return FSchemes.Find(scheme); }
  std::int32_t Count() const { return FSchemes.Count(); }

private:
  TObjectDictionary<TInternetProtocolSupport> FSchemes{true, true, false};
  TURLLayer* FLayer = nullptr;
};

TInternetProtocolSupportSession& InternetProtocolSession();

// The scheme is the text before the first colon (empty without one); the path is the rest, cut
// to its first 255 characters.
void SplitURL(std::string_view url, std::string& scheme, std::string& path);

// What a request gets: the bytes, or Found false for a scheme nobody serves.
struct TProtocolResponse {
  bool Found = false;
  bool ErrorPage = false;
  std::string Data;
};

// The request steps: split the URL, turn "%20" into blanks, find the scheme, get the data; any
// failure becomes the error page, and empty data one blank.
TProtocolResponse StartRequest(std::string_view url);

// Combining a relative reference with a base URL, and comparing two URLs, for the schemes
// served here. Other schemes pass through unchanged (combine) or compare unequal.
std::string CombineUrl(std::string_view baseUrl, std::string_view relativeUrl);
bool CompareUrl(std::string_view url1, std::string_view url2, bool ignoreSlashes);

// Undoes the escapes the browser engine adds to a path (bytes from 0x80 on, and " < > ` { } | ^ %);
// "%20" and escapes of other ASCII characters stay as they are.
std::string DecodeEngineEscapes(std::string_view encoded);
// Decodes the escapes the engine writes as themselves in a path: letters, digits and "-._~".
std::string DecodeUnreservedEscapes(std::string_view path);
// The MFS path (backslashes, the book's code page) of a path as the engine sends it, escaped
// UTF-8; false when the book's code page cannot hold it.
bool BookPathOfEnginePath(std::string_view encoded, std::string& path);

// Turns every "%20" of a URL path into a blank; no other escape is touched.
void DecodeBlanks(std::string& path);

// Text made safe to paste into HTML.
std::string EscapeHTML(std::string_view text);
