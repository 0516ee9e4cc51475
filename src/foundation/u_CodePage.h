// The book's 8-bit code page: name comparison without letter case, and conversions to and from
// Unicode. Names inside a book (entries, elements, attributes, variables) are byte strings in this
// code page; every comparison of such names goes through CompareText/SameText below.
#pragma once

#include <string>
#include <string_view>

// The Windows ANSI code page the user's locale would have (from LC_ALL, LC_CTYPE or LANG);
// 1252 when the locale says nothing we know.
int DefaultBookCodePage();

// The code page in effect; starts as DefaultBookCodePage(). Changing it is meant for start-up
// and tests, not while collections keyed by names exist.
int BookCodePage();
// Returns false (and keeps the current one) when the code page is not available here.
bool SetBookCodePage(int codePage);
// Whether the code page is available here, without changing the one in effect.
bool CodePageAvailable(int codePage);
// UTF-8 as a book's code page (a book packed from description files written in UTF-8): names
// convert unchanged, and only ASCII letters compare without case.
inline constexpr int CodePageUtf8 = 65001;

// Three-way comparison ignoring letter case: letters of the code page compare without case,
// other bytes by value; lead and trail bytes of double-byte code pages are never folded.
// Returns -1, 0 or 1. Embedded zero bytes count.
int CompareText(std::string_view a, std::string_view b);
inline bool SameText(std::string_view a, std::string_view b) { return CompareText(a, b) == 0; }

// Folds the text in place as CompareText folds it (letters to one case, bytes of double-byte
// characters as CompareText leaves them), so that two texts CompareText finds equal become equal
// bytes and a folded text can be searched with a plain byte search.
void FoldTextInPlace(std::string& text);
// The fold of each byte outside double-byte characters.
const unsigned char* CaseFoldTable();
// Whether the code page has double-byte characters (then folding depends on the bytes before).
bool CodePageIsDoubleByte();

// Ordinal comparison by unsigned byte value; -1, 0 or 1.
int CompareStr(std::string_view a, std::string_view b);

// Conversions between book text and Unicode. ToUtf8 maps bytes the code page does not define
// to U+FFFD. FromUtf8 and FromUtf16 fail (return false) on text the code page cannot hold;
// the *Lossy forms put '?' there instead.
std::string ToUtf8(std::string_view text);
std::u16string ToUtf16(std::string_view text);
bool FromUtf8(std::string_view utf8, std::string& out);
bool FromUtf16(std::u16string_view wide, std::string& out);
std::string FromUtf16Lossy(std::u16string_view wide);
std::string FromUtf8Lossy(std::string_view utf8);

// ASCII letters to lower case, every other byte as it is: for HTML's names and labels, which
// compare that way whatever the code page.
inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view text);

// Text in an encoding iconv knows by that name, to UTF-8; what does not decode becomes U+FFFD.
// False when iconv does not know the encoding.
bool DecodeToUtf8(std::string_view text, const char* encoding, std::string& utf8);
