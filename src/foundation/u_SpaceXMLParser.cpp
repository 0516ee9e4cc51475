#include "u_SpaceXMLParser.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include "u_CodePage.h"

// ---------------------------------------------------------------- number text

namespace {

// Decimal with an optional minus, or hexadecimal after '$' (up to 64 bits as a bit pattern).
bool TryTextToInt64(std::string_view s, std::int64_t& out) {
  if (s.empty()) return false;
  if (s[0] == '$') {
    s.remove_prefix(1);
    if (s.empty()) return false;
    std::uint64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (ec != std::errc() || p != s.data() + s.size()) return false;
    out = static_cast<std::int64_t>(v);
    return true;
  }
  if (s[0] == '+') s.remove_prefix(1);  // from_chars takes no plus sign
  if (s.empty() || s[0] == '+') return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out, 10);
  return ec == std::errc() && p == s.data() + s.size();
}

bool TryTextToFloat(std::string_view s, double& out) {
  if (s.empty()) return false;
  if (s[0] == '+') s.remove_prefix(1);
  if (s.empty() || s[0] == '+') return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out, std::chars_format::general);
  return ec == std::errc() && p == s.data() + s.size() && std::isfinite(out);
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// A text taken as a 32-bit integer: an integer literal whose value fits 32 bits (hexadecimal up
// to 32 bits as a bit pattern), else a floating literal rounded half to even.
enum class TNumberResult { Ok, NotANumber, Overflow };

TNumberResult TextToInt32(std::string_view s, std::int32_t& out) {
  s = TrimBlanks(s);
  std::int64_t i;
  if (TryTextToInt64(s, i)) {
    if (s[0] == '$' && i >= 0 && i <= 0xFFFFFFFFLL) {
      out = static_cast<std::int32_t>(static_cast<std::uint32_t>(i));
      return TNumberResult::Ok;
    }
    if (i < std::numeric_limits<std::int32_t>::min() || i > std::numeric_limits<std::int32_t>::max())
      return TNumberResult::Overflow;
    out = static_cast<std::int32_t>(i);
    return TNumberResult::Ok;
  }
  double d;
  if (!TryTextToFloat(s, d)) return TNumberResult::NotANumber;
  d = std::nearbyint(d);  // the default rounding mode rounds ties to even
  if (d < -2147483648.0 || d > 2147483647.0) return TNumberResult::Overflow;
  out = static_cast<std::int32_t>(d);
  return TNumberResult::Ok;
}

}  // namespace

// ---------------------------------------------------------------- TXMLValue

TXMLValue TXMLValue::Null() { TXMLValue v; v.FKind = TXMLValueKind::Null; return v; }
TXMLValue TXMLValue::Boolean(bool b) { TXMLValue v; v.FKind = TXMLValueKind::Boolean; v.FBoolean = b; return v; }
TXMLValue TXMLValue::Integer(std::int32_t i) { TXMLValue v; v.FKind = TXMLValueKind::Integer; v.FInteger = i; return v; }
TXMLValue TXMLValue::Floating(double d) { TXMLValue v; v.FKind = TXMLValueKind::Floating; v.FFloat = d; return v; }
TXMLValue TXMLValue::Text(std::string s) { TXMLValue v; v.FKind = TXMLValueKind::Text; v.FText = std::move(s); return v; }
TXMLValue TXMLValue::WideText(std::u16string w) { TXMLValue v; v.FKind = TXMLValueKind::WideText; v.FWide = std::move(w); return v; }

bool TXMLValue::operator==(const TXMLValue& o) const {
  if (FKind != o.FKind) return false;
  switch (FKind) {
    case TXMLValueKind::Boolean: return FBoolean == o.FBoolean;
    case TXMLValueKind::Integer: return FInteger == o.FInteger;
    case TXMLValueKind::Floating: return FFloat == o.FFloat;
    case TXMLValueKind::Text: return FText == o.FText;
    case TXMLValueKind::WideText: return FWide == o.FWide;
    default: return true;
  }
}

const char* TXMLValue::TypeName() const {
  switch (FKind) {
    case TXMLValueKind::Empty: return "Empty";
    case TXMLValueKind::Null: return "Null";
    case TXMLValueKind::Boolean: return "Boolean";
    case TXMLValueKind::Integer: return "Integer";
    case TXMLValueKind::Floating: return "Double";
    case TXMLValueKind::Text: return "String";
    case TXMLValueKind::WideText: return "OleStr";
  }
  return "Unknown";
}

void TXMLValue::CastError(const char* to) const {
  throw EVariantTypeCastError(Format(SVarTypeCouldNotConvert, {TypeName(), to}));
}

std::string TXMLValue::AsText() const {
  switch (FKind) {
    case TXMLValueKind::Empty: return {};
    case TXMLValueKind::Null: CastError("String");
    case TXMLValueKind::Boolean: return FBoolean ? "True" : "False";
    case TXMLValueKind::Integer: return std::to_string(FInteger);
    case TXMLValueKind::Floating: {
      char buf[64];
      auto [p, ec] = std::to_chars(buf, buf + sizeof buf, FFloat);
      return ec == std::errc() ? std::string(buf, p) : std::string();
    }
    case TXMLValueKind::Text: return FText;
    case TXMLValueKind::WideText: return FromUtf16Lossy(FWide);
  }
  return {};
}

std::int32_t TXMLValue::AsInteger() const {
  switch (FKind) {
    case TXMLValueKind::Empty: return 0;
    case TXMLValueKind::Null: CastError("Integer");
    case TXMLValueKind::Boolean: return FBoolean ? -1 : 0;
    case TXMLValueKind::Integer: return FInteger;
    case TXMLValueKind::Floating: {
      double d = std::nearbyint(FFloat);
      if (!(d >= -2147483648.0 && d <= 2147483647.0))
        throw EVariantOverflowError(Format(SVarTypeConvertOverflow, {TypeName(), "Integer"}));
      return static_cast<std::int32_t>(d);
    }
    case TXMLValueKind::Text:
    case TXMLValueKind::WideText: {
      std::int32_t out = 0;
      switch (TextToInt32(AsText(), out)) {
        case TNumberResult::Ok: return out;
        case TNumberResult::Overflow:
          throw EVariantOverflowError(Format(SVarTypeConvertOverflow, {TypeName(), "Integer"}));
        case TNumberResult::NotANumber: CastError("Integer");
      }
    }
  }
  return 0;
}

double TXMLValue::AsFloat() const {
  switch (FKind) {
    case TXMLValueKind::Floating: return FFloat;
    case TXMLValueKind::Text:
    case TXMLValueKind::WideText: {
      double d;
      if (TryTextToFloat(TrimBlanks(AsText()), d)) return d;
      CastError("Double");
    }
    case TXMLValueKind::Null: CastError("Double");
    default: return AsInteger();
  }
}

bool TXMLValue::AsBoolean() const {
  switch (FKind) {
    case TXMLValueKind::Empty: return false;
    case TXMLValueKind::Null: CastError("Boolean");
    case TXMLValueKind::Boolean: return FBoolean;
    case TXMLValueKind::Integer: return FInteger != 0;
    case TXMLValueKind::Floating: return FFloat != 0;
    case TXMLValueKind::Text:
    case TXMLValueKind::WideText: {
      std::string s = AsText();
      std::string_view t = TrimBlanks(s);
      if (SameText(t, "True")) return true;
      if (SameText(t, "False")) return false;
      double d;
      if (TryTextToFloat(t, d)) return d != 0;
      std::int64_t i;
      if (TryTextToInt64(t, i)) return i != 0;
      CastError("Boolean");
    }
  }
  return false;
}

TXMLValue TXMLValue::Negated() const {
  switch (FKind) {
    case TXMLValueKind::Null: return *this;
    case TXMLValueKind::Boolean: return Boolean(!FBoolean);
    case TXMLValueKind::Text:
    case TXMLValueKind::WideText: {
      std::string s = AsText();
      std::string_view t = TrimBlanks(s);
      if (SameText(t, "True") || SameText(t, "False")) return Boolean(!AsBoolean());
      std::int32_t i;
      if (TextToInt32(t, i) != TNumberResult::Ok) CastError("Boolean");
      return Integer(~i);
    }
    default: return Integer(~AsInteger());
  }
}

// ---------------------------------------------------------------- attributes and nodes

TXMLValue TXMLAttributes::ValueOf(const std::string& name, const TXMLValue& def) const {
  const TXMLAttribute* a = Find(name);
  return a ? a->Value : def;
}

TXMLAttribute* TXMLAttributes::Add(const std::string& name) {
  auto* a = new TXMLAttribute(name);
  FItems.Set_Item(name, a);
  return a;
}

TXMLNode& TXMLNodes::Items(std::int32_t index) const {
  if (index < 0 || index >= Count()) throw EListError(Format(SListIndexError, {index}));
  return *FItems[static_cast<std::size_t>(index)];
}

TXMLNode* TXMLNodes::FindNode(std::string_view name) const {
  for (const auto& n : FItems)
    if (SameText(n->Name, name)) return n.get();
  return nullptr;
}

TXMLNode* TXMLNodes::Add(std::string name) {
  FItems.push_back(std::make_unique<TXMLNode>(std::move(name), Count(), FLevel, this));
  return FItems.back().get();
}

TXMLNode::TXMLNode(std::string name, std::int32_t index, std::int32_t level, TXMLNodes* parentNodes)
    : Name(std::move(name)), Index(index), Level(level), Nodes(this, level + 1), ParentNodes(parentNodes) {}

TXMLNode::~TXMLNode() {
  std::vector<std::unique_ptr<TXMLNode>> pending = std::move(Nodes.FItems);
  while (!pending.empty()) {
    std::unique_ptr<TXMLNode> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->Nodes.FItems) pending.push_back(std::move(child));
    node->Nodes.FItems.clear();
  }
}

// ---------------------------------------------------------------- TSpaceParser

TSpaceParser::TSpaceParser(std::string_view text) : FData(text) {
  FEnd = text.find('\0');
  if (FEnd == std::string_view::npos) FEnd = text.size();
  // The whole text is in memory, but a line still may not fill the reading window.
  std::size_t lineStart = 0;
  int line = 1;
  for (std::size_t i = 0; i <= FEnd; ++i) {
    if (i == FEnd || FData[i] == '\n') {
      if (i - lineStart >= WindowSize) {
        FLine = line;
        Error(SLineTooLong);
      }
      lineStart = i + 1;
      ++line;
    }
  }
  Advance();
}

void TSpaceParser::Error(std::string_view message) const {
  throw EParserError(Format(SParseError, {message, FLine}));
}

std::string TSpaceParser::TokenText() const {
  if (FKind == toString) return FText;
  return std::string(FData.substr(FTokenStart, FPos - FTokenStart));
}

void TSpaceParser::ReadQuoted(char quote, std::string& out, std::u16string* wide) {
  // FPos is on the opening quote.
  ++FPos;
  for (;;) {
    if (FPos >= FEnd) Error(SInvalidString);
    char c = FData[FPos++];
    if (c == quote) {
      if (At(FPos) != static_cast<unsigned char>(quote)) return;
      ++FPos;
    } else if (c == '\n') {
      ++FLine;
    }
    if (wide)
      wide->push_back(static_cast<unsigned char>(c));
    else
      out.push_back(c);
  }
}

void TSpaceParser::ReadSingleQuoted() {
  // First pass decides between text and wide text; codes above 255 make it wide.
  std::u16string units;
  std::string bytes;
  bool wideSeen = false;
  for (;;) {
    unsigned char c = At(FPos);
    if (c == '\'') {
      ReadQuoted('\'', bytes, &units);
    } else if (c == '#') {
      ++FPos;
      std::uint32_t code = 0;
      while (At(FPos) >= '0' && At(FPos) <= '9') code = code * 10 + (At(FPos++) - '0');
      if (code > 255) wideSeen = true;
      units.push_back(static_cast<char16_t>(code & 0xFFFF));
    } else {
      break;
    }
  }
  if (wideSeen) {
    FKind = toWString;
    FWide = std::move(units);
  } else {
    FKind = toString;
    FText.clear();
    for (char16_t u : units) FText.push_back(static_cast<char>(u));
  }
}

int TSpaceParser::Advance() {
  FFloatType = 0;
  if (FCharacterMode) {
    FTokenStart = FPos;
    if (FPos >= FEnd) return FKind = toEOF;
    unsigned char c = At(FPos++);
    if (c == '\n') ++FLine;
    return FKind = c;
  }
  while (FPos < FEnd && At(FPos) <= ' ') {
    if (FData[FPos] == '\n') ++FLine;
    ++FPos;
  }
  FTokenStart = FPos;
  if (FPos >= FEnd) return FKind = toEOF;
  unsigned char c = At(FPos);
  auto isAlpha = [](unsigned char b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_'; };
  auto isDigit = [](unsigned char b) { return b >= '0' && b <= '9'; };
  if (isAlpha(c)) {
    while (isAlpha(At(FPos)) || isDigit(At(FPos))) ++FPos;
    return FKind = toSymbol;
  }
  if (c == '"') {
    FText.clear();
    ReadQuoted('"', FText, nullptr);
    return FKind = toString;
  }
  if (c == '\'' || c == '#') {
    ReadSingleQuoted();
    return FKind;
  }
  if (c == '$') {
    ++FPos;
    while (std::isxdigit(At(FPos))) ++FPos;
    return FKind = toInteger;
  }
  if (c == '-' || isDigit(c)) {
    ++FPos;
    FKind = toInteger;
    while (isDigit(At(FPos))) ++FPos;
    auto isFloatChar = [&](unsigned char b) { return isDigit(b) || b == '.' || b == 'e' || b == 'E' || b == '+' || b == '-'; };
    if (isFloatChar(At(FPos))) {
      FKind = toFloat;
      while (isFloatChar(At(FPos))) ++FPos;
    }
    unsigned char s = At(FPos);
    if (s == 'c' || s == 'C' || s == 'd' || s == 'D' || s == 's' || s == 'S') {
      FFloatType = static_cast<char>(s);
      FKind = toFloat;
      ++FPos;
    }
    return FKind;
  }
  ++FPos;
  return FKind = c;
}

std::int64_t TSpaceParser::IntegerValue() const {
  std::string text = TokenText();
  std::int64_t v;
  if (!TryTextToInt64(text, v)) throw EConvertError(Format(SInvalidInteger, {text}));
  return v;
}

double TSpaceParser::FloatValue() const {
  std::string text = TokenText();
  std::string_view number = text;
  if (FFloatType) number.remove_suffix(1);
  double d;
  if (!TryTextToFloat(number, d)) throw EConvertError(Format(SInvalidFloat, {text}));
  return d;
}

std::string TSpaceParser::KindMessage(int kind) {
  switch (kind) {
    case toSymbol: return SIdentifierExpected;
    case toString:
    case toWString: return SStringExpected;
    case toInteger:
    case toFloat: return SNumberExpected;
    case toEOF: return Format(SCharExpected, {"toEOF"});
    default: {
      char c = static_cast<char>(kind);
      return Format(SCharExpected, {std::string_view(&c, 1)});
    }
  }
}

void TSpaceParser::Expect(int kind) const {
  if (FKind != kind) Error(KindMessage(kind));
}

void TSpaceParser::ExpectOneOf(std::initializer_list<int> kinds) const {
  std::string message;
  for (int k : kinds) {
    if (FKind == k) return;
    if (!message.empty()) message += "\r\nor ";
    message += KindMessage(k);
  }
  Error(message);
}

bool TSpaceParser::IsWord(std::string_view word) const {
  return FKind == toSymbol && SameText(FData.substr(FTokenStart, FPos - FTokenStart), word);
}

void TSpaceParser::ExpectWord(std::string_view word) const {
  if (!IsWord(word)) Error(Format(SWordExpected, {word}));
}

// ---------------------------------------------------------------- TXMLParser

namespace {

// The document's own errors carry no line in their text; where they happened goes with them.
ESpaceXMLParserError XMLError(const char* message, int line) {
  ESpaceXMLParserError e(message);
  e.AddWhere("line " + std::to_string(line));
  return e;
}

// One attribute of a start tag, name = value, from the name on; a name given again takes the
// later value.
void ReadAttribute(TSpaceParser& p, TXMLNode& element) {
  std::string name = p.TokenText();
  const std::int32_t line = p.Line();
  p.Advance();
  p.Expect('=');
  p.Advance();
  p.ExpectOneOf({TSpaceParser::toString, TSpaceParser::toWString, TSpaceParser::toInteger,
                 TSpaceParser::toFloat, TSpaceParser::toSymbol});
  TXMLValue value;
  switch (p.Kind()) {
    case TSpaceParser::toSymbol:
      if (p.IsWord("null")) value = TXMLValue::Null();
      else if (p.IsWord("empty")) value = TXMLValue::Empty();
      else if (p.IsWord("true")) value = TXMLValue::Boolean(true);
      else if (p.IsWord("false")) value = TXMLValue::Boolean(false);
      else throw XMLError(SXMLAttributeTypeNotSupported, p.Line());
      break;
    case TSpaceParser::toString: value = TXMLValue::Text(p.TokenText()); break;
    case TSpaceParser::toWString: value = TXMLValue::WideText(p.WideTokenText()); break;
    case TSpaceParser::toInteger:
      value = TXMLValue::Integer(static_cast<std::int32_t>(static_cast<std::uint32_t>(p.IntegerValue())));
      break;
    default: value = TXMLValue::Floating(p.FloatValue()); break;
  }
  TXMLAttribute* attribute = element.Attributes.Find(name);
  if (!attribute) attribute = element.Attributes.Add(name);
  attribute->Value = std::move(value);
  attribute->Line = line;
}

// Authors write XML habits into description files: say what is wrong with them.
void ExpectTagName(TSpaceParser& p, std::initializer_list<int> kinds) {
  try {
    p.ExpectOneOf(kinds);
  } catch (Exception& e) {
    if (p.Kind() == '!' || p.Kind() == '?')
      e.SetCause("description files have no comments (<!-- -->) and no <?xml ?> line: remove it");
    throw;
  }
}

}  // namespace

void TXMLParser::Parse(std::string_view text) {
  FRoot.reset();
  // Description files are 8-bit text; a byte order mark says the file is in Unicode, which the
  // reader would only report as a '<' it does not find.
  const char* unicode = text.substr(0, 3) == "\xEF\xBB\xBF" ? "UTF-8 with a byte order mark"
                        : text.substr(0, 2) == "\xFF\xFE" ? "UTF-16 (little-endian)"
                        : text.substr(0, 2) == "\xFE\xFF" ? "UTF-16 (big-endian)"
                                                          : nullptr;
  if (unicode)
    throw EParserError(Format(SParseError, {std::string("The file is ") + unicode + "; a description file must be 8-bit text "
                                            "(save it in the book's code page, without a byte order mark)", 1}));
  TSpaceParser p(text);
  if (p.Kind() == TSpaceParser::toEOF) {
    FRoot = std::make_unique<TXMLNode>(std::string(), 0, 0, nullptr);
    return;
  }
  p.Expect('<');
  p.Advance();
  ExpectTagName(p, {TSpaceParser::toSymbol});
  FRoot = std::make_unique<TXMLNode>(p.TokenText(), 0, 0, nullptr);
  FRoot->Line = p.Line();
  TXMLNode* current = FRoot.get();
  std::vector<TXMLNode*> open;  // ancestors of the current element
  auto pop = [&]() -> TXMLNode* {
    if (open.empty()) return nullptr;
    TXMLNode* top = open.back();
    open.pop_back();
    return top;
  };
  bool inStartTag = true;
  p.Advance();
  while (p.Kind() != TSpaceParser::toEOF) {
    if (inStartTag) {
      switch (p.Kind()) {
        case TSpaceParser::toSymbol:
          ReadAttribute(p, *current);
          break;
        case '/':
          p.Advance();
          p.Expect('>');
          current = pop();
          p.SetCharacterMode(true);
          inStartTag = false;
          break;
        case '>':
          p.SetCharacterMode(true);
          inStartTag = false;
          break;
        default:
          throw XMLError(SXMLError, p.Line());
      }
    } else if (p.Kind() == '<') {
      p.SetCharacterMode(false);
      p.Advance();
      ExpectTagName(p, {TSpaceParser::toSymbol, '/'});
      if (p.Kind() == TSpaceParser::toSymbol) {
        open.push_back(current);
        current = current->Nodes.Add(p.TokenText());
        current->Line = p.Line();
        inStartTag = true;
      } else {
        p.Advance();
        p.ExpectWord(current->Name);
        p.Advance();
        p.Expect('>');
        current = pop();
        p.SetCharacterMode(current != nullptr);
      }
    } else if (p.Kind() == '\\') {
      if (p.Advance() != TSpaceParser::toEOF) current->Text += p.TokenChar();
    } else {
      current->Text += p.TokenChar();
    }
    if (!current) p.SetCharacterMode(false);
    p.Advance();
    if (!current) p.Expect(TSpaceParser::toEOF);
  }
  if (current) throw XMLError(SXMLError, p.Line());
}
