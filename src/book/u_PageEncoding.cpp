#include "u_PageEncoding.h"

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "u_CodePage.h"

namespace {

// The Encoding Standard's labels, each encoding followed by its labels.
const char* const Labels[] = {
    "=utf-8", "unicode-1-1-utf-8", "unicode11utf8", "unicode20utf8", "utf-8", "utf8", "x-unicode20utf8",
    "=ibm866", "866", "cp866", "csibm866", "ibm866",
    "=iso-8859-2", "csisolatin2", "iso-8859-2", "iso-ir-101", "iso8859-2", "iso88592", "iso_8859-2", "iso_8859-2:1987", "l2", "latin2",
    "=iso-8859-3", "csisolatin3", "iso-8859-3", "iso-ir-109", "iso8859-3", "iso88593", "iso_8859-3", "iso_8859-3:1988", "l3", "latin3",
    "=iso-8859-4", "csisolatin4", "iso-8859-4", "iso-ir-110", "iso8859-4", "iso88594", "iso_8859-4", "iso_8859-4:1988", "l4", "latin4",
    "=iso-8859-5", "csisolatincyrillic", "cyrillic", "iso-8859-5", "iso-ir-144", "iso8859-5", "iso88595", "iso_8859-5", "iso_8859-5:1988",
    "=iso-8859-6", "arabic", "asmo-708", "csiso88596e", "csiso88596i", "csisolatinarabic", "ecma-114", "iso-8859-6", "iso-8859-6-e",
    "iso-8859-6-i", "iso-ir-127", "iso8859-6", "iso88596", "iso_8859-6", "iso_8859-6:1987",
    "=iso-8859-7", "csisolatingreek", "ecma-118", "elot_928", "greek", "greek8", "iso-8859-7", "iso-ir-126", "iso8859-7", "iso88597",
    "iso_8859-7", "iso_8859-7:1987", "sun_eu_greek",
    "=iso-8859-8", "csiso88598e", "csisolatinhebrew", "hebrew", "iso-8859-8", "iso-8859-8-e", "iso-ir-138", "iso8859-8", "iso88598",
    "iso_8859-8", "iso_8859-8:1988", "visual",
    "=iso-8859-8-i", "csiso88598i", "iso-8859-8-i", "logical",
    "=iso-8859-10", "csisolatin6", "iso-8859-10", "iso-ir-157", "iso8859-10", "iso885910", "l6", "latin6",
    "=iso-8859-13", "iso-8859-13", "iso8859-13", "iso885913",
    "=iso-8859-14", "iso-8859-14", "iso8859-14", "iso885914",
    "=iso-8859-15", "csisolatin9", "iso-8859-15", "iso8859-15", "iso885915", "iso_8859-15", "l9",
    "=iso-8859-16", "iso-8859-16",
    "=koi8-r", "cskoi8r", "koi", "koi8", "koi8-r", "koi8_r",
    "=koi8-u", "koi8-ru", "koi8-u",
    "=macintosh", "csmacintosh", "mac", "macintosh", "x-mac-roman",
    "=windows-874", "dos-874", "iso-8859-11", "iso8859-11", "iso885911", "tis-620", "windows-874",
    "=windows-1250", "cp1250", "windows-1250", "x-cp1250",
    "=windows-1251", "cp1251", "windows-1251", "x-cp1251",
    "=windows-1252", "ansi_x3.4-1968", "ascii", "cp1252", "cp819", "csisolatin1", "ibm819", "iso-8859-1", "iso-ir-100", "iso8859-1",
    "iso88591", "iso_8859-1", "iso_8859-1:1987", "l1", "latin1", "us-ascii", "windows-1252", "x-cp1252",
    "=windows-1253", "cp1253", "windows-1253", "x-cp1253",
    "=windows-1254", "cp1254", "csisolatin5", "iso-8859-9", "iso-ir-148", "iso8859-9", "iso88599", "iso_8859-9", "iso_8859-9:1989",
    "l5", "latin5", "windows-1254", "x-cp1254",
    "=windows-1255", "cp1255", "windows-1255", "x-cp1255",
    "=windows-1256", "cp1256", "windows-1256", "x-cp1256",
    "=windows-1257", "cp1257", "windows-1257", "x-cp1257",
    "=windows-1258", "cp1258", "windows-1258", "x-cp1258",
    "=x-mac-cyrillic", "x-mac-cyrillic", "x-mac-ukrainian",
    "=gbk", "chinese", "csgb2312", "csiso58gb231280", "gb2312", "gb_2312", "gb_2312-80", "gbk", "iso-ir-58", "x-gbk",
    "=gb18030", "gb18030",
    "=big5", "big5", "big5-hkscs", "cn-big5", "csbig5", "x-x-big5",
    "=euc-jp", "cseucpkdfmtjapanese", "euc-jp", "x-euc-jp",
    "=iso-2022-jp", "csiso2022jp", "iso-2022-jp",
    "=shift_jis", "csshiftjis", "ms932", "ms_kanji", "shift-jis", "shift_jis", "sjis", "windows-31j", "x-sjis",
    "=euc-kr", "cseuckr", "csksc56011987", "euc-kr", "iso-ir-149", "korean", "ks_c_5601-1987", "ks_c_5601-1989", "ksc5601",
    "ksc_5601", "windows-949",
    "=replacement", "csiso2022kr", "hz-gb-2312", "iso-2022-cn", "iso-2022-cn-ext", "iso-2022-kr", "replacement",
    "=utf-16be", "unicodefffe", "utf-16be",
    "=utf-16le", "csunicode", "iso-10646-ucs-2", "ucs-2", "unicode", "unicodefeff", "utf-16", "utf-16le",
    "=x-user-defined", "x-user-defined",
};

const std::map<std::string, std::string, std::less<>>& LabelMap() {
  static const std::map<std::string, std::string, std::less<>> map = [] {
    std::map<std::string, std::string, std::less<>> m;
    std::string encoding;
    for (const char* label : Labels) {
      if (label[0] == '=') encoding = label + 1;
      else m.emplace(label, encoding);
    }
    return m;
  }();
  return map;
}

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool StartsWithNoCase(std::string_view text, std::size_t at, std::string_view prefix) {
  if (at > text.size() || text.size() - at < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (AsciiLower(text[at + i]) != prefix[i]) return false;
  return true;
}

// The prescan ran past the bytes it may look at: the page declares nothing.
struct TEnd {};

// The HTML standard's prescan, with the engine's limit: it looks at the first 1,024 bytes, and
// on for as long as the page is still in its head (only head elements, comments and text seen);
// the text of script, style and the other raw-text elements holds no tags.
class TPrescan {
public:
  explicit TPrescan(std::string_view page) : FHead(page) {}

  std::string Run() {
    try {
      bool inHead = true;
      while (FAt < FHead.size() && (inHead || FAt < HeadBytes)) {
        if (StartsWithNoCase(FHead, FAt, "<!--")) {
          SkipComment();
        } else if (StartsWithNoCase(FHead, FAt, "<meta") && FAt + 5 < FHead.size() && (IsHtmlSpace(FHead[FAt + 5]) || FHead[FAt + 5] == '/')) {
          FAt += 6;
          if (std::string found = Meta(); !found.empty()) return found;
        } else if (FHead[FAt] == '<' && FAt + 1 < FHead.size() &&
                   (IsAsciiLetter(FHead[FAt + 1]) || (FHead[FAt + 1] == '/' && FAt + 2 < FHead.size() && IsAsciiLetter(FHead[FAt + 2])))) {
          if (!Tag(inHead)) return {};
        } else if (StartsWithNoCase(FHead, FAt, "<!") || StartsWithNoCase(FHead, FAt, "</") || StartsWithNoCase(FHead, FAt, "<?")) {
          const std::size_t end = FHead.find('>', FAt + 2);
          if (end == std::string_view::npos) return {};
          FAt = end;
        }
        ++FAt;
      }
    } catch (const TEnd&) {
    }
    return {};
  }

private:
  static constexpr std::size_t HeadBytes = 1024;

  // A start or end tag other than meta, skipped with its attributes and, for a raw-text
  // element, its text; false when the page ends inside it.
  bool Tag(bool& inHead) {
    const bool end = FHead[FAt + 1] == '/';
    std::string name;
    for (++FAt; FAt < FHead.size() && !IsHtmlSpace(FHead[FAt]) && FHead[FAt] != '>'; ++FAt)
      if (FHead[FAt] != '/' || !name.empty()) name += AsciiLower(FHead[FAt]);
    if (!name.empty() && name.back() == '/') name.pop_back();
    while (Attribute()) {
    }
    static const char* const headElements[] = {"script", "noscript", "style", "link", "meta", "object", "title", "base"};
    const bool headElement = std::find_if(std::begin(headElements), std::end(headElements), [&](const char* e) { return name == e; }) !=
                             std::end(headElements);
    if (!headElement && (end || (name != "html" && name != "head"))) inHead = false;
    if (end) return true;
    static const char* const rawText[] = {"script", "style", "title", "textarea", "xmp", "iframe", "noembed", "noframes", "noscript"};
    if (name == "plaintext") return false;
    if (std::find_if(std::begin(rawText), std::end(rawText), [&](const char* e) { return name == e; }) == std::end(rawText)) return true;
    // The element's text, up to its end tag.
    for (std::size_t at = FAt + 1; (at = FHead.find("</", at)) != std::string_view::npos; at += 2)
      if (StartsWithNoCase(FHead, at + 2, name)) {
        FAt = at - 1;
        return true;
      }
    return false;
  }

private:
  char At() const {
    if (FAt >= FHead.size()) throw TEnd();
    return FHead[FAt];
  }

  void SkipComment() {
    // To the first ">" preceded by "--", counted from the "<": "<!-->" ends at once.
    for (std::size_t i = FAt + 2; i < FHead.size(); ++i)
      if (FHead[i] == '>' && FHead[i - 1] == '-' && FHead[i - 2] == '-') {
        FAt = i;
        return;
      }
    FAt = FHead.size();
  }

  // One attribute of a tag, lower-cased; false at the tag's end.
  bool Attribute(std::string* name = nullptr, std::string* value = nullptr) {
    std::string n, v;
    while (IsHtmlSpace(At()) || At() == '/') ++FAt;
    if (At() == '>') return false;
    for (;; ++FAt) {
      const char c = At();
      if (c == '=' && !n.empty()) {
        ++FAt;
        return Value(n, v, name, value);
      }
      if (IsHtmlSpace(c)) break;
      if (c == '/' || c == '>') return Give(n, v, name, value);
      n += AsciiLower(c);
    }
    while (IsHtmlSpace(At())) ++FAt;
    if (At() != '=') return Give(n, v, name, value);
    ++FAt;
    return Value(n, v, name, value);
  }

  bool Value(std::string& n, std::string& v, std::string* name, std::string* value) {
    while (IsHtmlSpace(At())) ++FAt;
    if (const char quote = At(); quote == '"' || quote == '\'') {
      for (++FAt; At() != quote; ++FAt) v += AsciiLower(At());
      ++FAt;
      return Give(n, v, name, value);
    }
    if (At() == '>') return Give(n, v, name, value);
    for (; !IsHtmlSpace(At()) && At() != '>'; ++FAt) v += AsciiLower(At());
    return Give(n, v, name, value);
  }

  static bool Give(std::string& n, std::string& v, std::string* name, std::string* value) {
    if (name) *name = std::move(n);
    if (value) *value = std::move(v);
    return true;
  }

  // The attributes of one meta element; its encoding when it declares one that counts.
  std::string Meta() {
    std::vector<std::string> seen;
    bool gotPragma = false;
    std::optional<bool> needPragma;
    std::optional<std::string> charset;  // empty: a label that names no encoding
    std::string name, value;
    while (Attribute(&name, &value)) {
      if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
      seen.push_back(name);
      if (name == "http-equiv") {
        if (value == "content-type") gotPragma = true;
      } else if (name == "content") {
        if (std::string found = EncodingInContent(value); !found.empty() && !charset) {
          charset = found;
          needPragma = true;
        }
      } else if (name == "charset" && !charset) {
        charset = EncodingOfLabel(value);
        needPragma = false;
      }
    }
    if (!needPragma || (*needPragma && !gotPragma) || !charset || charset->empty()) return {};
    if (*charset == "utf-16be" || *charset == "utf-16le") return "utf-8";
    if (*charset == "x-user-defined") return "windows-1252";
    return *charset;
  }

  // The encoding a content attribute names ("text/html; charset=utf-8"), or empty.
  static std::string EncodingInContent(std::string_view s) {
    for (std::size_t at = 0;;) {
      at = s.find("charset", at);
      if (at == std::string_view::npos) return {};
      at += 7;
      while (at < s.size() && IsHtmlSpace(s[at])) ++at;
      if (at >= s.size() || s[at] != '=') continue;
      ++at;
      while (at < s.size() && IsHtmlSpace(s[at])) ++at;
      if (at >= s.size()) return {};
      if (s[at] == '"' || s[at] == '\'') {
        const std::size_t end = s.find(s[at], at + 1);
        return end == std::string_view::npos ? std::string() : EncodingOfLabel(s.substr(at + 1, end - at - 1));
      }
      std::size_t end = at;
      while (end < s.size() && !IsHtmlSpace(s[end]) && s[end] != ';') ++end;
      return EncodingOfLabel(s.substr(at, end - at));
    }
  }

  std::string_view FHead;
  std::size_t FAt = 0;
};

// iconv's name for an encoding of the Encoding Standard.
std::string IconvName(const std::string& encoding) {
  if (encoding == "windows-874") return "CP874";
  if (encoding == "x-mac-cyrillic") return "MAC-CYRILLIC";
  if (encoding == "gbk") return "GB18030";  // a superset the engine decodes GBK pages with
  if (encoding == "shift_jis") return "CP932";
  if (encoding == "euc-kr") return "CP949";
  if (encoding == "big5") return "BIG5-HKSCS";
  if (encoding == "iso-8859-8-i") return "ISO-8859-8";
  return encoding;
}

}  // namespace

std::string EncodingOfLabel(std::string_view label) {
  while (!label.empty() && IsHtmlSpace(label.front())) label.remove_prefix(1);
  while (!label.empty() && IsHtmlSpace(label.back())) label.remove_suffix(1);
  std::string lower(label);
  std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLower);
  const auto& map = LabelMap();
  const auto it = map.find(lower);
  return it == map.end() ? std::string() : it->second;
}

std::string BookEncoding() {
  switch (const int codePage = BookCodePage()) {
    case CodePageUtf8: return "utf-8";
    case 932: return "shift_jis";
    case 936: return "gbk";
    case 949: return "euc-kr";
    case 950: return "big5";
    default: return "windows-" + std::to_string(codePage);
  }
}

std::string PageEncoding(std::string_view page, std::string_view fallback) {
  if (page.substr(0, 3) == "\xEF\xBB\xBF") return "utf-8";
  if (page.substr(0, 2) == "\xFE\xFF") return "utf-16be";
  if (page.substr(0, 2) == "\xFF\xFE") return "utf-16le";
  if (std::string declared = TPrescan(page).Run(); !declared.empty()) return declared;
  return fallback.empty() ? BookEncoding() : std::string(fallback);
}

std::string PageToUtf8(std::string_view page, const std::string& encoding) {
  if (encoding == "utf-8" && page.substr(0, 3) == "\xEF\xBB\xBF") page.remove_prefix(3);
  if ((encoding == "utf-16le" && page.substr(0, 2) == "\xFF\xFE") || (encoding == "utf-16be" && page.substr(0, 2) == "\xFE\xFF"))
    page.remove_prefix(2);
  if (encoding == "replacement") return page.empty() ? std::string() : std::string("\xEF\xBF\xBD");
  std::string utf8;
  if (!DecodeToUtf8(page, IconvName(encoding).c_str(), utf8)) DecodeToUtf8(page, "WINDOWS-1252", utf8);
  return utf8;
}
