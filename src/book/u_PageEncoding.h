// A page's encoding, decided as the browser engine decides it for a page served without a
// charset: a byte order mark, else a declaration (<meta charset> or the http-equiv content type,
// found by the HTML standard's prescan) in the first 1,024 bytes or, beyond them, while the page
// is still in its head; else the book's code page.
#pragma once

#include <string>
#include <string_view>

// The encoding's name as the Encoding Standard spells it, in lower case ("utf-8",
// "windows-1252", "iso-8859-2", "shift_jis", "utf-16le", ...). fallback: the name to give when
// the page declares nothing; none means the book's code page.
std::string PageEncoding(std::string_view page, std::string_view fallback = {});

// White space as HTML counts it (space, tab, line feed, form feed, carriage return).
inline bool IsHtmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// The Encoding Standard's name for a label ("latin1" gives "windows-1252"), or empty for a label
// it does not know.
std::string EncodingOfLabel(std::string_view label);

// The encoding of text in the book's code page.
std::string BookEncoding();

// The page as UTF-8, decoded from its encoding (PageEncoding); a byte order mark is dropped and
// what does not decode becomes U+FFFD.
std::string PageToUtf8(std::string_view page, const std::string& encoding);
