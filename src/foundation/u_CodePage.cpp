#include "u_CodePage.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <locale.h>
#include <map>
#include <memory>
#include <mutex>
#include <wctype.h>

namespace {

struct TCodePageTables {
  int CodePage = 1252;
  std::string IconvName;
  unsigned char Fold[256];
  bool Lead[256];  // first byte of a double-byte character
  bool DoubleByte = false;
};

// RAII over an iconv descriptor.
class TIconv {
public:
  TIconv(const char* to, const char* from) : FHandle(iconv_open(to, from)) {}
  ~TIconv() {
    if (Valid()) iconv_close(FHandle);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  bool Valid() const { return FHandle != reinterpret_cast<iconv_t>(-1); }
  void Reset() { iconv(FHandle, nullptr, nullptr, nullptr, nullptr); }
  // One call; returns errno (0 on success).
  int Convert(const char*& in, std::size_t& inLeft, char*& out, std::size_t& outLeft) {
    char* src = const_cast<char*>(in);
    std::size_t r = iconv(FHandle, &src, &inLeft, &out, &outLeft);
    in = src;
    return r == static_cast<std::size_t>(-1) ? errno : 0;
  }

private:
  iconv_t FHandle;
};

std::string IconvNameOf(int codePage) { return codePage == CodePageUtf8 ? std::string("UTF-8") : "CP" + std::to_string(codePage); }

const char* Utf16Name() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }
const char* Utf32Name() { return std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE"; }

std::unique_ptr<TCodePageTables> BuildTables(int codePage) {
  auto t = std::make_unique<TCodePageTables>();
  t->CodePage = codePage;
  t->IconvName = IconvNameOf(codePage);
  TIconv dec(Utf32Name(), t->IconvName.c_str());
  TIconv enc(t->IconvName.c_str(), Utf32Name());
  if (!dec.Valid() || !enc.Valid()) return nullptr;
  locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  for (int b = 0; b < 256; ++b) {
    t->Fold[b] = static_cast<unsigned char>(b);
    t->Lead[b] = false;
    if (b >= 'A' && b <= 'Z') t->Fold[b] = static_cast<unsigned char>(b + 32);
    // In UTF-8 only ASCII letters fold byte by byte; no byte is a lead byte of two.
    if (b < 0x80 || codePage == CodePageUtf8) continue;
    char byte = static_cast<char>(b);
    const char* in = &byte;
    std::size_t inLeft = 1;
    char32_t wc = 0;
    char* out = reinterpret_cast<char*>(&wc);
    std::size_t outLeft = sizeof wc;
    dec.Reset();
    int err = dec.Convert(in, inLeft, out, outLeft);
    if (err == EINVAL) {
      t->Lead[b] = true;
      t->DoubleByte = true;
      continue;
    }
    if (err != 0 || outLeft != 0 || unicode == static_cast<locale_t>(nullptr)) continue;
    char32_t lower = static_cast<char32_t>(towlower_l(static_cast<wint_t>(wc), unicode));
    if (lower == wc) continue;
    const char* lin = reinterpret_cast<const char*>(&lower);
    std::size_t linLeft = sizeof lower;
    char back[8];
    char* bout = back;
    std::size_t boutLeft = sizeof back;
    enc.Reset();
    if (enc.Convert(lin, linLeft, bout, boutLeft) == 0 && bout - back == 1)
      t->Fold[b] = static_cast<unsigned char>(back[0]);
  }
  if (unicode != static_cast<locale_t>(nullptr)) freelocale(unicode);
  return t;
}

std::mutex GTablesLock;
std::map<int, std::unique_ptr<TCodePageTables>> GTables;  // never shrinks: pointers stay valid
std::atomic<const TCodePageTables*> GCurrent{nullptr};

const TCodePageTables* TablesFor(int codePage) {
  std::lock_guard<std::mutex> guard(GTablesLock);
  auto it = GTables.find(codePage);
  if (it != GTables.end()) return it->second.get();
  auto built = BuildTables(codePage);
  if (!built) return nullptr;
  return (GTables[codePage] = std::move(built)).get();
}

const TCodePageTables& Current() {
  const TCodePageTables* t = GCurrent.load(std::memory_order_acquire);
  if (t) return *t;
  t = TablesFor(DefaultBookCodePage());
  if (!t) t = TablesFor(1252);
  if (!t) {
    // No iconv tables at all: ASCII folding still works.
    static TCodePageTables ascii = [] {
      TCodePageTables a;
      for (int b = 0; b < 256; ++b) {
        a.Fold[b] = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
        a.Lead[b] = false;
      }
      return a;
    }();
    t = &ascii;
  }
  GCurrent.store(t, std::memory_order_release);
  return *t;
}

int CodePageOfLocale(std::string_view loc) {
  if (loc.empty() || loc == "C" || loc == "POSIX") return 1252;
  std::string_view lang = loc.substr(0, loc.find_first_of("_.@"));
  std::string_view territory;
  if (auto us = loc.find('_'); us != std::string_view::npos)
    territory = loc.substr(us + 1, loc.substr(us + 1).find_first_of(".@"));
  bool latin = loc.find("@latin") != std::string_view::npos;
  static const std::map<std::string_view, int> byLanguage = {
      {"pl", 1250}, {"cs", 1250}, {"sk", 1250}, {"hu", 1250}, {"hr", 1250}, {"sl", 1250},
      {"ro", 1250}, {"sq", 1250}, {"bs", 1250}, {"ru", 1251}, {"uk", 1251}, {"be", 1251},
      {"bg", 1251}, {"sr", 1251}, {"mk", 1251}, {"kk", 1251}, {"ky", 1251}, {"tt", 1251},
      {"mn", 1251}, {"ba", 1251}, {"el", 1253}, {"tr", 1254}, {"az", 1254}, {"he", 1255},
      {"yi", 1255}, {"ar", 1256}, {"fa", 1256}, {"ur", 1256}, {"ps", 1256}, {"et", 1257},
      {"lv", 1257}, {"lt", 1257}, {"vi", 1258}, {"th", 874},  {"ja", 932},  {"ko", 949},
  };
  if (lang == "sr" && latin) return 1250;
  if (lang == "zh") return (territory == "TW" || territory == "HK" || territory == "MO") ? 950 : 936;
  auto it = byLanguage.find(lang);
  return it == byLanguage.end() ? 1252 : it->second;
}

template <class Out>
bool ConvertAll(const char* to, const char* from, std::string_view in, Out& out, bool decoding,
                std::size_t unitSize, bool lossy) {
  TIconv cd(to, from);
  if (!cd.Valid()) return false;
  const char* src = in.data();
  std::size_t srcLeft = in.size();
  std::string buffer;
  buffer.resize(in.size() * 4 + 16);
  char* dst = buffer.data();
  std::size_t dstLeft = buffer.size();
  while (srcLeft > 0) {
    int err = cd.Convert(src, srcLeft, dst, dstLeft);
    if (err == 0) break;
    if (err == E2BIG) {
      std::size_t used = buffer.size() - dstLeft;
      buffer.resize(buffer.size() * 2);
      dst = buffer.data() + used;
      dstLeft = buffer.size() - used;
      continue;
    }
    // Undefined or cut input: decoding marks it and moves on one byte, encoding fails
    // unless the caller accepts '?' for what the code page cannot hold.
    if (!decoding && !lossy) return false;
    cd.Reset();
    std::string_view mark = decoding ? std::string_view() : std::string_view("?");
    std::string replacement;
    if (decoding) {
      TIconv fix(to, "UTF-8");
      const char* r = "\xEF\xBF\xBD";
      std::size_t rLeft = 3;
      char tmp[16];
      char* t = tmp;
      std::size_t tLeft = sizeof tmp;
      fix.Convert(r, rLeft, t, tLeft);
      replacement.assign(tmp, static_cast<std::size_t>(t - tmp));
      mark = replacement;
    }
    if (dstLeft < mark.size()) {
      std::size_t used = buffer.size() - dstLeft;
      buffer.resize(buffer.size() * 2 + mark.size());
      dst = buffer.data() + used;
      dstLeft = buffer.size() - used;
    }
    std::memcpy(dst, mark.data(), mark.size());
    dst += mark.size();
    dstLeft -= mark.size();
    std::size_t skip = std::min(srcLeft, unitSize);
    src += skip;
    srcLeft -= skip;
  }
  buffer.resize(buffer.size() - dstLeft);
  using Unit = typename Out::value_type;
  out.assign(reinterpret_cast<const Unit*>(buffer.data()), buffer.size() / sizeof(Unit));
  return true;
}

}  // namespace

int DefaultBookCodePage() {
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(var);
    if (value && *value) return CodePageOfLocale(value);
  }
  return 1252;
}

int BookCodePage() { return Current().CodePage; }

bool SetBookCodePage(int codePage) {
  const TCodePageTables* t = TablesFor(codePage);
  if (!t) return false;
  GCurrent.store(t, std::memory_order_release);
  return true;
}

bool CodePageAvailable(int codePage) { return codePage > 0 && TablesFor(codePage) != nullptr; }

int CompareText(std::string_view a, std::string_view b) {
  const TCodePageTables& t = Current();
  const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
  const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
  std::size_t n = std::min(a.size(), b.size());
  bool trail = false;  // the previous byte of both strings was a lead byte
  for (std::size_t i = 0; i < n; ++i) {
    unsigned ca = pa[i], cb = pb[i];
    if (!trail) {
      ca = t.Fold[ca];
      cb = t.Fold[cb];
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    trail = !trail && t.DoubleByte && t.Lead[pa[i]];
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

void FoldTextInPlace(std::string& text) {
  const TCodePageTables& t = Current();
  bool trail = false;
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (!trail) c = static_cast<char>(t.Fold[byte]);
    trail = !trail && t.DoubleByte && t.Lead[byte];
  }
}

const unsigned char* CaseFoldTable() { return Current().Fold; }

bool CodePageIsDoubleByte() { return Current().DoubleByte; }

int CompareStr(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  int r = n ? std::memcmp(a.data(), b.data(), n) : 0;
  if (r != 0) return r < 0 ? -1 : 1;
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string ToUtf8(std::string_view text) {
  std::string out;
  if (!ConvertAll("UTF-8", Current().IconvName.c_str(), text, out, true, 1, true)) out.assign(text);
  return out;
}

std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  if (!ConvertAll(Utf16Name(), Current().IconvName.c_str(), text, out, true, 1, true)) {
    for (unsigned char c : text) out += static_cast<char16_t>(c);
  }
  return out;
}

bool FromUtf8(std::string_view utf8, std::string& out) {
  return ConvertAll(Current().IconvName.c_str(), "UTF-8", utf8, out, false, 1, false);
}

bool FromUtf16(std::u16string_view wide, std::string& out) {
  std::string_view bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  return ConvertAll(Current().IconvName.c_str(), Utf16Name(), bytes, out, false, 2, false);
}

std::string FromUtf8Lossy(std::string_view utf8) {
  std::string out;
  ConvertAll(Current().IconvName.c_str(), "UTF-8", utf8, out, false, 1, true);
  return out;
}

std::string FromUtf16Lossy(std::u16string_view wide) {
  std::string_view bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  std::string out;
  ConvertAll(Current().IconvName.c_str(), Utf16Name(), bytes, out, false, 2, true);
  return out;
}

bool DecodeToUtf8(std::string_view text, const char* encoding, std::string& utf8) {
  return ConvertAll("UTF-8", encoding, text, utf8, true, 1, true);
}

bool IsUtf8(std::string_view text) {
  std::string out;
  return ConvertAll("UTF-8", "UTF-8", text, out, false, 1, false);
}
