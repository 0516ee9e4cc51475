// The author's check of a book: every problem the viewer would meet (or silently work around),
// collected with file and line instead of stopping at the first. The book is read by the same
// steps as the viewer's start-up, reporting into a TBookReport; the functions here add what
// start-up never looks at (missing pages, links, unreached files).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "u_BookSink.h"
#include "u_Dictionary.h"
#include "u_Errors.h"

class TBook;
class TMFS;
class TMFSFile;
class TStoryLine;
class TVariables;
class TXMLNode;

struct TBookProblem {
  bool IsError = true;
  std::string File;  // in the book's code page, as the book names it
  std::int32_t Line = 0;  // 0: the whole file
  std::string Message;
};

class TBookReport final : public IBookSink {
public:
  void Error(std::string file, std::int32_t line, std::string message) override;
  void Note(std::string file, std::int32_t line, std::string message) override;
  // A failure of the loading path: its message (or what the author is told instead), and where
  // it happened when it says so.
  void Failure(std::string file, std::int32_t line, const Exception& e, std::string told = {}) override;

  std::size_t ErrorCount() const;
  // Every problem kept, in the order found (those beyond MaxProblemsPerFile only counted).
  const std::vector<TBookProblem>& Problems() const { return FProblems; }
  // One problem as Print writes it, without the line end: "file:line: error: message", in UTF-8.
  static std::string Describe(const TBookProblem& problem);
  // One line per problem, "file:line: error: message", in UTF-8, then a count. A file's problems
  // beyond the first MaxProblemsPerFile are counted, not printed: one line says how many more.
  void Print(std::FILE* out) const;

  static constexpr std::size_t MaxProblemsPerFile = 100;
  // A message is cut to this many bytes: a hostile book may quote megabytes.
  static constexpr std::size_t MaxMessageSize = 300;

private:
  std::vector<TBookProblem> FProblems;
  std::map<std::string, std::size_t> FPerFile;
  std::size_t FErrors = 0;
  std::map<std::string, std::pair<std::size_t, std::size_t>> FUnprinted;  // file: errors, notes
  void Add(bool isError, std::string file, std::int32_t line, std::string message);
};

// Whether a path names an HTML page (.htm, .html, .xhtml), whose links the check follows.
bool IsPageFile(std::string_view path);
// Where a script added to a page runs before the page's own: just inside its head, else inside
// its root element, else at its start (0). ASCII letters of the tags in either case.
std::size_t ScriptInsertionPoint(std::string_view page);

// A reference a page or style sheet makes, as written, and the line it stands on.
struct TLinkRef {
  std::string Target;
  std::int32_t Line = 0;
  // In a style sheet, where the reference is written (quotes included), for those that rewrite it.
  std::size_t Begin = 0, End = 0;
};

// The href, src (and background, poster, data) of every element of an HTML page, with the
// url() and @import of its style elements and style attributes.
std::vector<TLinkRef> PageLinks(std::string_view html);
// How deep a page nests its elements, as an HTML parser would build them, estimated in one pass:
// comments and the text of script and style elements skipped, void elements and those whose
// end tag may be left out not counted. The HTML parser takes time with the square of the depth.
std::size_t PageNesting(std::string_view html);
// Pages nested deeper are not parsed for links; the check says so in a note.
inline constexpr std::size_t MaxCheckedNesting = 5000;
// The url() and @import references of a style sheet; lines count from firstLine.
std::vector<TLinkRef> StyleSheetLinks(std::string_view css, std::int32_t firstLine = 1);

// A reference resolved from a page of the book as the browser engine resolves it and as the
// page handler then names the file.
struct TResolvedLink {
  enum TKind { Book, SamePage, Outside } Kind = Outside;
  std::string Scheme;  // "mfs" or "system", for Book
  std::string Path;    // the MFS path, absolute, for Book
};
// fromScheme and fromPath: where the referring file is served ("mfs", "\pages\a.htm").
TResolvedLink ResolveBookLink(std::string_view fromScheme, std::string_view fromPath, std::string_view reference);

// What the report says of a link whose file is not in the book.
std::string MissingLink(const std::string& reference, const TResolvedLink& to);

// The file at an absolute path of the image, or none (also for folders).
TMFSFile* FindBookFile(TMFS& image, const std::string& path);
// Every file of the image with its absolute path, in name order.
std::vector<std::pair<std::string, TMFSFile*>> BookFiles(TMFS& image);

// Absolute paths of the content image that some page, story entry or form reaches.
using TReachedFiles = std::set<std::string, TKeyLess>;

// The keys of System.xml that name files: each must exist in the system image.
void CheckSystemFiles(const TXMLNode& system, TMFS& systemImage, TBookReport& report);
// Story pages missing from the content image, pages listed twice, and relative pages under an
// entry that gives no Path (they would be looked for at the root). Story pages are reached.
void CheckStory(const TStoryLine& story, const std::string& storyFile, TMFS& content, TBookReport& report,
                TReachedFiles& reached);
// References to variables the book does not define, in every text file the viewer serves.
void CheckVariableReferences(const std::function<bool(std::string_view name)>& defined, TMFS& image, std::string_view scheme,
                             TBookReport& report);
// The line of the variable a failure of the variables file names (its last quoted word), or 0.
std::int32_t VariableLine(const std::string& variablesFile, const std::string& message);
// The names a variables file defines, whether or not their values expand.
std::function<bool(std::string_view name)> VariableNames(const std::string& variablesFile);
// Every link of every page and style sheet whose target is not in the book; then, from the
// files already reached, whatever their links reach; the rest of the content image as notes.
void CheckLinks(TMFS& content, TMFS& systemImage, TBookReport& report, TReachedFiles& reached, bool noteUnreached = true);

// The whole check: the book (made with the report as its sink) read as the viewer's start-up
// reads it, every failure reported and the reading going on, then the story, forms, bookmarks,
// variable references and links.
void CheckBook(TBook& book, TBookReport& report);
