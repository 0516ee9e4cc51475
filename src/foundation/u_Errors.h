// Exception family shared by every unit, and the message formatter.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

// Common base: every error of the system carries a ready message.
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }
  // Where in the book the failure happened ("System.xml, key Width"), outermost first; added by
  // callers on the way out, so the message itself stays the system's own text.
  const std::string& Where() const noexcept { return FWhere; }
  void AddWhere(const std::string& outer) { FWhere = FWhere.empty() ? outer : outer + ", " + FWhere; }
  // What happened, in plain words, where the system's message names only its symptom ("the
  // book file is incomplete" behind "is not a cabinet"); empty when the message says it all.
  const std::string& Cause() const noexcept { return FCause; }
  void SetCause(std::string cause) { FCause = std::move(cause); }

private:
  std::string FMessage;
  std::string FWhere;
  std::string FCause;
};

// Errors of the runtime layer (streams, lists, number parsing, value conversions).
class EStreamError : public Exception { using Exception::Exception; };
class EReadError : public EStreamError { using EStreamError::EStreamError; };
class EWriteError : public EStreamError { using EStreamError::EStreamError; };
class EListError : public Exception { using Exception::Exception; };
class EConvertError : public Exception { using Exception::Exception; };
class EParserError : public Exception { using Exception::Exception; };
class EVariantError : public Exception { using Exception::Exception; };
class EVariantTypeCastError : public EVariantError { using EVariantError::EVariantError; };
class EVariantOverflowError : public EVariantError { using EVariantError::EVariantError; };

inline constexpr const char* SReadError = "Stream read error";
inline constexpr const char* SWriteError = "Stream write error";
inline constexpr const char* SListIndexError = "List index out of bounds (%d)";
inline constexpr const char* SListCapacityError = "List capacity out of bounds (%d)";
inline constexpr const char* SListCountError = "List count out of bounds (%d)";
inline constexpr const char* SVarTypeCouldNotConvert = "Could not convert variant of type (%s) into type (%s)";
inline constexpr const char* SVarTypeConvertOverflow = "Overflow while converting variant of type (%s) into type (%s)";

using TFormatArg = std::variant<std::string_view, std::int64_t>;

// Fills "%s" and "%d" placeholders in order; "%%" is a percent sign. Arguments are byte strings,
// so embedded zero bytes survive. A placeholder without an argument stays as written.
std::string Format(std::string_view fmt, std::initializer_list<TFormatArg> args);
