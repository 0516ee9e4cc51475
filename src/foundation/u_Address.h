// The one rule by which every address inside a book is resolved: story pages, the links the
// author's check follows, the paths page scripts give the file system, and hrefs inside an EPUB.
// Where the viewer, the check and the converters agree on this, they agree on which file a link
// names.
//
// The rules, each once:
// - Separators: "\" and "/" both separate segments; the result is written with the style's one.
// - Start: a reference that begins with a separator starts at the root; any other starts in the
//   folder of the base (the base up to its last separator; a base without one is the root).
// - Dot segments: "." is dropped and ".." takes back one segment. A ".." at the root stops there,
//   as a browser resolves a URL; the caller learns of it (`climbed`) where its own rules refuse it.
// - Folders: a result that ends in a separator or in a dot segment names a folder and ends in a
//   separator; the root alone is one separator (nothing, for a style without a leading one).
//   Empty segments between separators stay, as a URL keeps them.
// - Percent-escapes are not decoded here: a URL's are decoded by its caller before (the engine
//   decodes unreserved ones, an EPUB href all of them); names of files are taken literally.
// - Case is kept; names in a book compare without letter case (SameText) when looked up.
#pragma once

#include <string>
#include <string_view>

struct TPathStyle {
  char Separator;  // written between segments
  bool Leading;    // the result begins with a separator
};
inline constexpr TPathStyle BookPathStyle{'\\', true};  // \pages\a.htm: names in a book's images
inline constexpr TPathStyle UrlPathStyle{'/', true};    // /pages/a.htm: the path of an engine URL
inline constexpr TPathStyle ZipPathStyle{'/', false};   // OEBPS/a.xhtml: a member of a ZIP container

// `reference` resolved against the folder of `base` (neither holds a scheme, query or fragment).
std::string ResolvePath(std::string_view base, std::string_view reference, TPathStyle style,
                        bool* climbed = nullptr);

// The relative reference from one file to another, both named by paths with "/" from the same
// root ("book/a/p.htm" to "book/x.png" gives "../x.png"), as exported books write their links.
std::string RelativeReference(std::string_view from, std::string_view to);
