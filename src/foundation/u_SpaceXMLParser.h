// Reader for the lenient XML dialect of the book's description files: typed attribute values,
// multi-line quoted values, backslash escapes in content, no declarations, comments or entities.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "u_Dictionary.h"
#include "u_Errors.h"

class ESpaceXMLParserError : public Exception { using Exception::Exception; };

inline constexpr const char* SXMLError = "Error in XML";
inline constexpr const char* SXMLAttributeTypeNotSupported = "Attribute type not supported";
inline constexpr const char* SParseError = "%s on line %d";
inline constexpr const char* SIdentifierExpected = "Identifier expected";
inline constexpr const char* SStringExpected = "String expected";
inline constexpr const char* SNumberExpected = "Number expected";
inline constexpr const char* SCharExpected = "''%s'' expected";
inline constexpr const char* SWordExpected = "%s expected";
inline constexpr const char* SInvalidString = "Invalid string constant";
inline constexpr const char* SLineTooLong = "Line too long";
inline constexpr const char* SInvalidInteger = "'%s' is not a valid integer value";
inline constexpr const char* SInvalidFloat = "'%s' is not a valid floating point value";

enum class TXMLValueKind { Empty, Null, Boolean, Integer, Floating, Text, WideText };

// A typed attribute value.
class TXMLValue {
public:
  TXMLValue() = default;
  static TXMLValue Empty() { return {}; }
  static TXMLValue Null();
  static TXMLValue Boolean(bool b);
  static TXMLValue Integer(std::int32_t i);
  static TXMLValue Floating(double d);
  static TXMLValue Text(std::string s);
  static TXMLValue WideText(std::u16string w);

  TXMLValueKind Kind() const { return FKind; }
  bool IsEmpty() const { return FKind == TXMLValueKind::Empty; }
  bool IsNull() const { return FKind == TXMLValueKind::Null; }

  std::string AsText() const;
  std::int32_t AsInteger() const;
  bool AsBoolean() const;
  double AsFloat() const;
  TXMLValue Negated() const;
  const std::u16string& WideValue() const { return FWide; }

  bool operator==(const TXMLValue& other) const;

private:
  const char* TypeName() const;
  [[noreturn]] void CastError(const char* to) const;
  TXMLValueKind FKind = TXMLValueKind::Empty;
  bool FBoolean = false;
  std::int32_t FInteger = 0;
  double FFloat = 0;
  std::string FText;
  std::u16string FWide;
};

class TXMLAttribute {
public:
  explicit TXMLAttribute(std::string name) : Name(std::move(name)) {}
  std::string Name;
  TXMLValue Value;
  std::int32_t Line = 0;  // where its name stands, for reports to authors
};

// Attributes by name, ignoring letter case; no document order is kept.
class TXMLAttributes {
public:
  TXMLAttributes() : FItems(true, true, true) {}
  TXMLAttribute* Find(std::string_view name) const { return FItems.Find(name); }
  TXMLValue ValueOf(const std::string& name, const TXMLValue& def) const;
  TXMLAttribute* Add(const std::string& name);
  std::int32_t Count() const { return FItems.Count(); }
  template <class F>
  void ForEach(F&& f) const {
    FItems.ForEach([&](const std::string&, TXMLAttribute* a) { f(*a); });
  }

private:
  TObjectDictionary<TXMLAttribute> FItems;
};

class TXMLNode;

// The ordered children of a node, owned by it.
class TXMLNodes {
public:
  TXMLNodes(TXMLNode* owner, std::int32_t level) : FOwner(owner), FLevel(level) {}
  TXMLNodes(const TXMLNodes&) = delete;
  TXMLNodes& operator=(const TXMLNodes&) = delete;

  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TXMLNode& Items(std::int32_t index) const;
  TXMLNode* FindNode(std::string_view name) const;
  TXMLNode* Add(std::string name);
  TXMLNode* Owner() const { return FOwner; }
  std::int32_t Level() const { return FLevel; }

private:
  friend class TXMLNode;
  TXMLNode* FOwner;
  std::int32_t FLevel;
  std::vector<std::unique_ptr<TXMLNode>> FItems;
};

class TXMLNode {
public:
  TXMLNode(std::string name, std::int32_t index, std::int32_t level, TXMLNodes* parentNodes);
  // Frees the subtree without recursion, so any depth is safe.
  ~TXMLNode();
  TXMLNode(const TXMLNode&) = delete;
  TXMLNode& operator=(const TXMLNode&) = delete;

  std::string Name;
  std::string Text;
  std::int32_t Index;
  std::int32_t Level;
  TXMLNodes Nodes;
  TXMLAttributes Attributes;
  TXMLNodes* ParentNodes;
  std::int32_t Line = 0;  // of the start tag's name, for reports to authors
};

// Tokenizer over a whole document held in memory.
class TSpaceParser {
public:
  enum : int { toEOF = 0, toSymbol = 1, toString = 2, toInteger = 3, toFloat = 4, toWString = 5 };
  static constexpr std::size_t WindowSize = 262144;

  // Reads the first token in token mode. The text must outlive the parser.
  explicit TSpaceParser(std::string_view text);

  int Advance();
  int Kind() const { return FKind; }
  bool CharacterMode() const { return FCharacterMode; }
  void SetCharacterMode(bool on) { FCharacterMode = on; }
  std::string TokenText() const;
  const std::u16string& WideTokenText() const { return FWide; }
  std::int64_t IntegerValue() const;
  double FloatValue() const;
  char FloatType() const { return FFloatType; }
  void Expect(int kind) const;
  void ExpectOneOf(std::initializer_list<int> kinds) const;
  void ExpectWord(std::string_view word) const;
  bool IsWord(std::string_view word) const;
  int Line() const { return FLine; }
  // The current token is one byte; its value.
  char TokenChar() const { return FData[FTokenStart]; }

  [[noreturn]] void Error(std::string_view message) const;

private:
  unsigned char At(std::size_t pos) const { return pos < FEnd ? static_cast<unsigned char>(FData[pos]) : 0; }
  void ReadQuoted(char quote, std::string& out, std::u16string* wide);
  void ReadSingleQuoted();
  static std::string KindMessage(int kind);

  std::string_view FData;
  std::size_t FEnd;  // first zero byte, or the end of the data
  std::size_t FPos = 0;
  std::size_t FTokenStart = 0;
  int FLine = 1;
  int FKind = toEOF;
  char FFloatType = 0;
  bool FCharacterMode = false;
  std::string FText;  // decoded quoted content
  std::u16string FWide;
};

class TXMLParser {
public:
  // Parses a whole document of 8-bit text and rebuilds Root. Errors propagate; Root then holds
  // what was built so far.
  void Parse(std::string_view text);
  TXMLNode* Root() const { return FRoot.get(); }

private:
  std::unique_ptr<TXMLNode> FRoot;
};
