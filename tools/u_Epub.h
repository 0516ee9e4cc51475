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
  std::string Title, Author;
  // Every file of the package's manifest: its path in the container ("EPUB/s04.xhtml"), its bytes.
  std::vector<std::pair<std::string, std::string>> Files;
  std::vector<std::string> Spine;  // the content documents in reading order (paths as above)
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
