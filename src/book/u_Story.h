// The story: the book's reading order, a nested list of pages grouped into chapters, and a cursor
// on it with the moves the reader and page scripts use.
#pragma once

#include <cstdint>
#include <map>
#include <string_view>
#include <string>
#include <vector>

#include "u_Dictionary.h"
#include "u_Errors.h"
#include "u_MFS.h"
#include "u_SpaceXMLParser.h"

class EStoryError : public Exception { using Exception::Exception; };

inline constexpr const char* SStoryEnd = "End of story encountered";
inline constexpr const char* SStoryBegin = "Begin of story encountered";
inline constexpr const char* SStoryLevel = "Chapter level is out of range (%d)";

// Results of the moves: success, or the failure status.
using TStoryStatus = std::int32_t;
inline constexpr TStoryStatus STORY_S_OK = 0;
inline constexpr TStoryStatus STORY_E_UNEXPECTED = static_cast<TStoryStatus>(0x8000FFFF);

// The parsed story document, with every entry's place in reading order (the pre-order of the
// tree) worked out once, so that moves and Locate never walk the story from its start.
class TStoryLine {
public:
  static constexpr std::int32_t None = -1;
  // Parses the document and resolves the entries' page paths against their base paths.
  explicit TStoryLine(const std::string& text);
  TXMLNode* Root() const { return FParser.Root(); }
  std::int32_t Count() const { return static_cast<std::int32_t>(FEntries.size()); }
  TXMLNode* Entry(std::int32_t position) const { return FEntries[static_cast<std::size_t>(position)].Node; }
  std::int32_t Level(std::int32_t position) const { return FEntries[static_cast<std::size_t>(position)].Node->Level; }
  // The resolved page path; empty for a chapter. Built when asked: each entry keeps only its
  // own text, so a story nested many thousand levels deep costs memory in proportion to its size.
  std::string Page(std::int32_t position) const;
  bool IsPage(std::int32_t position) const { return FEntries[static_cast<std::size_t>(position)].IsPage; }
  // What the entry is called where the story is listed (the contents pane, a PDF's outline): its
  // page name, else its page's path, else the folder a chapter names.
  std::string Name(std::int32_t position) const;
  // The first page at or after the position, or None (also for positions past the end).
  std::int32_t PageFrom(std::int32_t position) const;
  // The last page at or before the position, or None.
  std::int32_t PageUpTo(std::int32_t position) const;
  // One past the entry's last descendant.
  std::int32_t SubtreeEnd(std::int32_t position) const { return FEntries[static_cast<std::size_t>(position)].End; }
  // The entry's parent entry, or None at the top level.
  std::int32_t Parent(std::int32_t position) const { return FEntries[static_cast<std::size_t>(position)].Parent; }
  // The first entry in reading order whose page equals the path ignoring case, or None.
  std::int32_t FindPage(std::string_view path) const;
  // The first entry whose page, addressed as the browser addresses it (absolute, dot segments
  // resolved, see AddressOfPage), equals the address ignoring case, or None.
  std::int32_t FindAddress(std::string_view address) const;
  // For a page, the first entry whose page equals its own (itself unless listed before).
  std::int32_t FirstOccurrence(std::int32_t position) const {
    return FEntries[static_cast<std::size_t>(position)].FirstOccurrence;
  }

private:
  // A text known by its hash (letter case ignored), length and last byte, so that joined paths
  // can be indexed without being built.
  struct TSum {
    std::uint64_t Hash = 0;
    std::uint64_t Length = 0;
    unsigned char Last = 0;
  };
  struct TEntry {
    TXMLNode* Node;
    std::int32_t Parent;
    std::int32_t End;
    std::int32_t NextPage;  // first page at or after this entry
    std::int32_t PriorPage;  // last page at or before this entry
    std::int32_t FirstOccurrence;
    bool IsPage;
    bool PageWritten;  // the node's Page attribute holds the resolved path
    TSum ChildBase;  // the base this entry gives its children
    TSum PageSum;
  };
  TSum SumOf(std::string_view text) const { return SumOf(text, TSum()); }
  TSum SumOf(std::string_view text, TSum start) const;
  TSum JoinSum(const TSum& base, std::string_view relative) const;
  // Subtree ends and page links both ways, and the indexes of pages, once every entry is read.
  void LinkEntries();
  std::uint64_t Key(const TSum& sum) const { return sum.Hash ^ (sum.Length * 0x9E3779B97F4A7C15ull); }
  std::string ChildBaseOf(std::int32_t position) const;
  TXMLParser FParser;
  std::string FRootBase;
  std::vector<TEntry> FEntries;
  // The child bases built at load, while they fit the budget (FBaseKnown says which).
  std::vector<std::string> FBaseTexts;
  std::vector<char> FBaseKnown;
  std::multimap<std::uint64_t, std::int32_t> FPageIndex;
  std::map<std::string, std::int32_t, TKeyLess> FAddressIndex{TKeyLess{true}};
};

// The MFS path a story page is shown under once the browser has it: "intro.htm" and
// "a\..\intro.htm" are both shown as "\intro.htm".
std::string AddressOfPage(std::string_view page);

// The story file System.xml names: "\\Story.xml" when it names none.
inline std::string StoryFile(const std::string& named) { return named.empty() ? std::string("\\Story.xml") : named; }

class TStory {
public:
  // Reads the story document fileName ("\Story.xml" when empty) from the image, then First.
  TStory(TMFS& image, const std::string& fileName);
  // From the document's text, for callers that hold it already.
  explicit TStory(const std::string& text);

  void First();
  void Last();
  TStoryStatus Next();
  TStoryStatus Prior();
  TStoryStatus NextChapter(std::int32_t level);
  TStoryStatus PriorChapter(std::int32_t level);
  // The first entry whose page equals the path ignoring case becomes current; none: no change.
  void Locate(std::string_view path);
  // The same for a path as the browser reports it, which is always absolute.
  void LocateAddress(std::string_view address);

  bool Bof() const { return FBof; }
  bool Eof() const { return FEof; }
  // The current entry's place in reading order, or TStoryLine::None.
  std::int32_t Position() const { return FCurrent; }
  // The entry at that place becomes current: a page, or a chapter's first page.
  void LocatePosition(std::int32_t position);
  TXMLNode* CurrentEntry() const { return FCurrent == TStoryLine::None ? nullptr : FLines.Entry(FCurrent); }
  std::string CurrentPage() const;
  std::string PageName() const;
  bool Searchable() const;
  bool RightClickDisabled() const;
  const TStoryLine& Lines() const { return FLines; }

private:
  template <class F>
  TStoryStatus Move(F&& step);
  std::int32_t RaisedTo(std::int32_t position, std::int32_t level) const;
  void Land(std::int32_t result, bool forward);
  void LocateEntry(std::int32_t found);

  TStoryLine FLines;
  std::int32_t FCurrent = TStoryLine::None;
  bool FBof = true;
  bool FEof = true;
};
