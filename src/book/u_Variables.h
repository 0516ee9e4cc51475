// Book variables: named texts from the variables file, referred to as %{NAME} in any text the
// viewer shows or serves.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "u_Dictionary.h"
#include "u_Errors.h"

class EVariablesError : public Exception { using Exception::Exception; };

inline constexpr const char* SVariablesCycle = "Cycling reference encountered during loading variable \"%s\"";
inline constexpr const char* SVariablesTooLarge = "Variable \"%s\" expands to more than %d bytes";
inline constexpr const char* SVariablesTotalTooLarge = "Variables expand to more than %d bytes in all";
inline constexpr const char* STextTooLarge = "\"%s\" expands to more than %d bytes";

// The next "%{NAME}" at or after `from`: where its "%" and its "}" stand. A reference never
// closed is no reference.
bool NextVariableReference(std::string_view text, std::size_t from, std::size_t& percent, std::size_t& close);

class TVariables {
public:
  // Limits on what references between variables may expand to, so that a small file cannot ask
  // for gigabytes (a variable using another twice, that one using a third twice, and so on).
  static constexpr std::size_t MaxValueSize = 16 << 20;
  static constexpr std::size_t MaxTotalSize = 256 << 20;
  // What one text may grow to by substitution (or its own size, when larger): a page of a few
  // hundred references to a large variable must not ask for gigabytes.
  static constexpr std::size_t MaxExpandedSize = 64 << 20;

  // text: the variables file, or none when the book has none. With stripDollar, one leading
  // "$" is taken off each value.
  TVariables(const std::optional<std::string>& text, bool stripDollar);

  // The text with every reference to a known variable replaced by its value. A text that would
  // grow beyond MaxExpandedSize raises STextTooLarge naming it (name; "text" when empty).
  std::string Substitute(std::string_view text, std::string_view name = {}) const;
  // The same in place; text without a "%" is left untouched.
  void SubstituteInPlace(std::string& text, std::string_view name = {}) const;

  const TStringToStringDictionary& Values() const { return FValues; }

private:
  void Expand();
  TStringToStringDictionary FValues{true, true};
};
