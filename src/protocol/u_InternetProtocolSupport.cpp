#include "u_InternetProtocolSupport.h"

#include <algorithm>

#include "u_CodePage.h"

// ---------------------------------------------------------------- TInternetProtocolSupport

TInternetProtocolSupport::~TInternetProtocolSupport() {
  try {
    SetActive(false);
  } catch (...) {
    // Withdrawing a scheme does not fail; nothing may leave a destructor anyway.
  }
}

void TInternetProtocolSupport::SetActive(bool value) {
  if (value == FActive) return;
  if (value)
    InternetProtocolSession().RegisterProtocol(FProtocol, this);
  else
    InternetProtocolSession().UnregisterProtocol(FProtocol);
  FActive = value;
}

void TInternetProtocolSupport::SetProtocol(const std::string& name) {
  SetActive(false);
  FProtocol = name;
}

std::string TInternetProtocolSupport::GetData(const std::string& path) {
  if (!OnGetData) throw EInternetProtocolSupportError(SOnGetDataNotAssigned);
  std::string data;
  OnGetData(*this, path, data);
  return data;
}

std::string TInternetProtocolSupport::CombineURL(const std::string& basePath, const std::string& relativePath) {
  if (!OnCombineURL) throw EInternetProtocolSupportError(SOnCombineURLNotAssigned);
  std::string result;
  OnCombineURL(*this, basePath, relativePath, result);
  return result;
}

bool TInternetProtocolSupport::CompareURL(const std::string& path1, const std::string& path2, bool ignoreSlashes) {
  if (OnCompareURL) {
    bool equal = false;
    OnCompareURL(*this, path1, path2, ignoreSlashes, equal);
    return equal;
  }
  if (!ignoreSlashes) return SameText(path1, path2);
  std::string a = path1, b = path2;
  std::replace(a.begin(), a.end(), '\\', '/');
  std::replace(b.begin(), b.end(), '\\', '/');
  return SameText(a, b);
}

// ---------------------------------------------------------------- the registry

TInternetProtocolSupportSession& InternetProtocolSession() {
  static TInternetProtocolSupportSession session;
  return session;
}

void TInternetProtocolSupportSession::RegisterProtocol(const std::string& scheme, TInternetProtocolSupport* support) {
  bool opened = false;
  if (FSchemes.Count() == 0 && FLayer) {
    FLayer->Open();
    opened = true;
  }
  try {
    if (scheme.empty()) throw EInternetProtocolSupportError(SProtocolNotSet);
    if (FSchemes.Exists(scheme)) FSchemes.Add(scheme, support);  // raises the duplicate-key error
    if (FLayer) FLayer->RegisterNameSpace(scheme);
    FSchemes.Add(scheme, support);
  } catch (...) {
    if (opened) FLayer->Close();
    throw;
  }
}

void TInternetProtocolSupportSession::UnregisterProtocol(const std::string& scheme) {
  FSchemes.Remove(scheme);
  if (!FLayer) return;
  try {
    FLayer->UnregisterNameSpace(scheme);
  } catch (...) {
    // Its status is of no interest: the scheme is gone from the table either way.
  }
  if (FSchemes.Count() == 0) FLayer->Close();
}

// ---------------------------------------------------------------- requests

void SplitURL(std::string_view url, std::string& scheme, std::string& path) {
  auto colon = url.find(':');
  if (colon == std::string_view::npos) {
    scheme.clear();
    path = std::string(url.substr(0, MaxURLPath));
  } else {
    scheme = std::string(url.substr(0, colon));
    path = std::string(url.substr(colon + 1, MaxURLPath));
  }
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

namespace {

// Decodes each "%XX" whose byte the test accepts; every other byte stays as written.
template <class F>
std::string DecodeEscapes(std::string_view encoded, F&& decode) {
  std::string out;
  out.reserve(encoded.size());
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '%' && i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 && HexValue(encoded[i + 2]) >= 0) {
      const int byte = HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2]);
      if (decode(byte)) {
        out += static_cast<char>(byte);
        i += 2;
        continue;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string DecodeEngineEscapes(std::string_view encoded) {
  // A lone "%" in a name reaches us as "%25".
  return DecodeEscapes(encoded, [](int byte) {
    return byte >= 0x80 || byte == '"' || byte == '<' || byte == '>' || byte == '`' || byte == '{' || byte == '}' ||
           byte == '|' || byte == '^' || byte == '%';
  });
}

std::string DecodeUnreservedEscapes(std::string_view path) {
  return DecodeEscapes(path, [](int byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || byte == '-' ||
           byte == '.' || byte == '_' || byte == '~';
  });
}

bool BookPathOfEnginePath(std::string_view encoded, std::string& path) {
  if (!FromUtf8(DecodeEngineEscapes(encoded), path)) return false;
  for (char& c : path)
    if (c == '/') c = '\\';
  return true;
}

void DecodeBlanks(std::string& path) {
  for (std::size_t at = path.find("%20"); at != std::string::npos; at = path.find("%20", at + 1)) path.replace(at, 3, " ");
}

std::string EscapeHTML(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

TProtocolResponse StartRequest(std::string_view url) {
  TProtocolResponse response;
  std::string scheme, path;
  SplitURL(url, scheme, path);
  DecodeBlanks(path);
  TInternetProtocolSupport* support = InternetProtocolSession().FindProtocol(scheme);
  if (!support) return response;
  response.Found = true;
  try {
    response.Data = support->GetData(path);
  } catch (const std::exception& e) {
    // Both texts are escaped: a crafted link must not bring its own markup into the page.
    const Exception* ours = dynamic_cast<const Exception*>(&e);
    response.Data = Format(SErrorPage, {EscapeHTML(path), EscapeHTML(ours ? ours->Message() : e.what())});
    response.ErrorPage = true;
  }
  if (response.Data.empty()) response.Data = " ";
  return response;
}

std::string CombineUrl(std::string_view baseUrl, std::string_view relativeUrl) {
  std::string scheme1, path1, scheme2, path2;
  SplitURL(baseUrl, scheme1, path1);
  SplitURL(relativeUrl, scheme2, path2);
  TInternetProtocolSupport* support = InternetProtocolSession().FindProtocol(scheme1);
  if ((!scheme2.empty() && !SameText(scheme1, scheme2)) || !support) return std::string(relativeUrl);
  return scheme1 + ":" + support->CombineURL(path1, path2);
}

bool CompareUrl(std::string_view url1, std::string_view url2, bool ignoreSlashes) {
  std::string scheme1, path1, scheme2, path2;
  SplitURL(url1, scheme1, path1);
  SplitURL(url2, scheme2, path2);
  if (!SameText(scheme1, scheme2)) return false;
  TInternetProtocolSupport* support = InternetProtocolSession().FindProtocol(scheme1);
  return support && support->CompareURL(path1, path2, ignoreSlashes);
}
