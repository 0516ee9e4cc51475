// An EPUB 2 or 3 book read as data, for quirelle-pack --new --epub: the container with libzip,
// its XML documents (container, package, navigation document, NCX) with libxml2. Hostile input
// gets an EEpubError naming the part at fault; nothing is fetched from the network.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "u_Errors.h"

class EEpubError : public Exception { using Exception::Exception; };

struct TEpubTocEntry {
  std::string Title;
  std::string Path;  // the document's path in the container, without the fragment
  std::vector<TEpubTocEntry> Children;
};

struct TEpub {
  std::string Title;
  std::string TitleDirection, TitleLanguage;  // "rtl", "ltr" or none; a language tag or none
  std::vector<std::string> Creators;  // in the package's order
  std::string Author;  // the creators, joined by ", "
  // Every file of the package's manifest: its path in the container ("EPUB/s04.xhtml"), its bytes,
  // fonts unobfuscated and -epub- properties of style sheets and pages under their standard names.
  std::vector<std::pair<std::string, std::string>> Files;
  // The content documents in reading order (paths as above): a spine item of a foreign type is
  // its fallback (or a page saying there is none), a document listed again a copy of its own.
  std::vector<std::string> Spine;
  // Spine items the book marks linear="no": in Files, outside the reading order.
  std::vector<std::string> NonLinear;
  bool Continuous = false;  // rendition:flow scrolled-continuous: one scrolled page
  std::vector<TEpubTocEntry> Toc;  // from the navigation document, else the NCX
  std::vector<std::string> Notes;  // what was changed on the way in, for the author
};

// What an EPUB may unpack to, in all: a book image holds no more.
inline constexpr std::uint64_t MaxEpubBytes = 1ull << 30;

TEpub ReadEpub(std::string_view container);

// Text as markup shows it: each run of blanks one space, none at either end.
std::string CollapseBlanks(std::string_view text);

// A path against the folder of another ("EPUB/nav.xhtml" and "s04.xhtml#p1" give "EPUB/s04.xhtml"):
// %-escapes decoded, the fragment dropped, "." and ".." resolved (a climb above the container's
// root stops there, as a reading system resolves it). Empty for an address elsewhere.
std::string ResolveEpubPath(std::string_view from, std::string_view href);

// Style text with the -epub- prefixed properties of EPUB 3 under their standard names, which the
// engine knows ("-epub-writing-mode: vertical-rl" gives "writing-mode: vertical-rl",
// "-epub-text-combine: horizontal" gives "text-combine-upright: all").
std::string StandardCss(std::string_view css);
// The same for a page's style elements and style attributes.
std::string StandardCssInPage(std::string_view page);

// A font obfuscated as the container's encryption.xml says, in place: the IDPF algorithm keys the
// first 1040 bytes with the SHA-1 of the unique identifier (blanks removed), Adobe's the first
// 1024 with the 16 bytes of a "urn:uuid:" identifier. False for an identifier Adobe's cannot use.
enum class TFontObfuscation { Idpf, Adobe };
bool RemoveFontObfuscation(std::string& font, TFontObfuscation algorithm, std::string_view identifier);
