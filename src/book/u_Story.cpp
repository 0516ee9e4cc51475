#include "u_Story.h"

#include "u_Address.h"

#include <random>

#include "u_CodePage.h"

namespace {

// B, a backslash unless B is empty or ends in one, then the relative path.
std::string JoinBase(const std::string& base, const std::string& relative) {
  if (base.empty()) return relative;
  return base.back() == '\\' ? base + relative : base + '\\' + relative;
}

std::string AttributeText(const TXMLNode* node, const char* name) {
  return node->Attributes.ValueOf(name, TXMLValue::Text(std::string())).AsText();
}

// Hashing ignores letter case through CompareText's own fold of each byte: texts equal under
// CompareText always hash alike; the index confirms a match by comparing the texts themselves.

// Polynomial hashing modulo the prime 2^61 - 1 with a base drawn once per process, so that no
// story can be written to make its pages collide.
constexpr std::uint64_t HashPrime = (std::uint64_t{1} << 61) - 1;

std::uint64_t HashBase() {
  static const std::uint64_t base = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32 | device()) % (HashPrime - 1000) + 257;
  }();
  return base;
}

std::uint64_t MulMod(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  std::uint64_t r = static_cast<std::uint64_t>(product & HashPrime) + static_cast<std::uint64_t>(product >> 61);
  if (r >= HashPrime) r -= HashPrime;
  return r;
}

}  // namespace

// ---------------------------------------------------------------- TStoryLine

TStoryLine::TSum TStoryLine::SumOf(std::string_view text, TSum sum) const {
  const unsigned char* classes = CaseFoldTable();
  const std::uint64_t base = HashBase();
  for (char c : text) {
    sum.Hash = MulMod(sum.Hash, base) + classes[static_cast<unsigned char>(c)] + 1;
    if (sum.Hash >= HashPrime) sum.Hash -= HashPrime;
  }
  sum.Length += text.size();
  if (!text.empty()) sum.Last = static_cast<unsigned char>(text.back());
  return sum;
}

TStoryLine::TSum TStoryLine::JoinSum(const TSum& base, std::string_view relative) const {
  if (base.Length == 0) return SumOf(relative);
  return SumOf(relative, base.Last == '\\' ? base : SumOf("\\", base));
}

TStoryLine::TStoryLine(const std::string& text) {
  FParser.Parse(text);
  TXMLNode* root = FParser.Root();
  FRootBase = AttributeText(root, "Path");
  if (!FRootBase.empty() && FRootBase.front() != '\\') FRootBase.insert(0, 1, '\\');
  const TSum rootBase = SumOf(FRootBase);
  // Resolved pages are written back into the entries while they fit in a few times the
  // document's own size; a story nested deeper resolves its pages when they are asked for.
  std::uint64_t writeBudget = 4 * static_cast<std::uint64_t>(text.size()) + (1u << 20);

  // Pre-order without recursion.
  std::vector<std::pair<TXMLNode*, std::int32_t>> pending;
  auto pushChildren = [&](TXMLNode* node, std::int32_t parent) {
    for (std::int32_t i = node->Nodes.Count() - 1; i >= 0; --i) pending.emplace_back(&node->Nodes.Items(i), parent);
  };
  pushChildren(root, None);
  while (!pending.empty()) {
    auto [node, parent] = pending.back();
    pending.pop_back();
    const TSum& base = parent == None ? rootBase : FEntries[static_cast<std::size_t>(parent)].ChildBase;
    const std::string page = AttributeText(node, "Page");
    const std::string path = AttributeText(node, "Path");
    TEntry e{node, parent, static_cast<std::int32_t>(FEntries.size()) + 1, None, None,
             static_cast<std::int32_t>(FEntries.size()), !page.empty(), true, {}, {}};
    e.ChildBase = path.empty() ? TSum{} : path.front() == '\\' ? SumOf(path) : JoinSum(base, path);
    // The base text, when it is known and the budget allows building it.
    const std::string* baseText = parent == None ? &FRootBase
                                  : FBaseKnown[static_cast<std::size_t>(parent)] ? &FBaseTexts[static_cast<std::size_t>(parent)]
                                                                                 : nullptr;
    bool childKnown = false;
    std::string childText;
    if (path.empty() || path.front() == '\\') {
      childKnown = true;
      childText = path;
    } else if (baseText && e.ChildBase.Length <= writeBudget) {
      writeBudget -= e.ChildBase.Length;
      childKnown = true;
      childText = JoinBase(*baseText, path);
    }
    if (e.IsPage) {
      const bool relative = page.front() != '\\' && base.Length != 0;
      e.PageSum = relative ? JoinSum(base, page) : SumOf(page);
      if (relative) {
        e.PageWritten = baseText && e.PageSum.Length <= writeBudget;
        if (e.PageWritten) {
          writeBudget -= e.PageSum.Length;
          TXMLAttribute* attribute = node->Attributes.Find("Page");
          attribute->Value = TXMLValue::Text(JoinBase(*baseText, page));
        }
      } else {
        TXMLAttribute* attribute = node->Attributes.Find("Page");
        attribute->Value = TXMLValue::Text(page);
      }
    }
    FEntries.push_back(e);
    FBaseTexts.push_back(std::move(childText));
    FBaseKnown.push_back(childKnown ? 1 : 0);
    pushChildren(node, static_cast<std::int32_t>(FEntries.size()) - 1);
  }

  LinkEntries();
}

void TStoryLine::LinkEntries() {
  // Subtree ends from the back (descendants come after their entry), page links both ways.
  const auto count = static_cast<std::int32_t>(FEntries.size());
  for (std::int32_t i = count - 1; i >= 0; --i) {
    TEntry& e = FEntries[static_cast<std::size_t>(i)];
    if (e.Parent != None) {
      TEntry& p = FEntries[static_cast<std::size_t>(e.Parent)];
      p.End = std::max(p.End, e.End);
    }
    e.NextPage = e.IsPage ? i : i + 1 < count ? FEntries[static_cast<std::size_t>(i) + 1].NextPage : None;
  }
  for (std::int32_t i = 0; i < count; ++i) {
    TEntry& e = FEntries[static_cast<std::size_t>(i)];
    e.PriorPage = e.IsPage ? i : i > 0 ? FEntries[static_cast<std::size_t>(i) - 1].PriorPage : None;
    if (!e.IsPage) continue;
    // The first entry of the same hash and length carries the same page; the index of written
    // pages confirms it by their texts.
    const std::uint64_t key = Key(e.PageSum);
    auto [from, to] = FPageIndex.equal_range(key);
    e.FirstOccurrence = i;
    for (auto it = from; it != to; ++it) {
      const TEntry& other = FEntries[static_cast<std::size_t>(it->second)];
      if (other.PageSum.Length != e.PageSum.Length) continue;
      if (e.PageWritten && other.PageWritten && !SameText(Page(it->second), Page(i))) continue;
      e.FirstOccurrence = it->second;
      break;
    }
    FPageIndex.emplace(key, i);
    if (e.PageWritten) {
      const std::string resolved = Page(i);
      const std::string address = AddressOfPage(resolved);
      if (!SameText(address, resolved)) FAddressIndex.emplace(address, i);
    }
  }
}

std::string TStoryLine::ChildBaseOf(std::int32_t position) const {
  // Up the chain of relative paths to the first absolute, empty or top-level one.
  std::vector<std::string> parts;
  std::string base;
  for (std::int32_t at = position;;) {
    if (FBaseKnown[static_cast<std::size_t>(at)]) {
      base = FBaseTexts[static_cast<std::size_t>(at)];
      break;
    }
    std::string path = AttributeText(Entry(at), "Path");
    if (path.empty()) break;
    if (path.front() == '\\') {
      base = std::move(path);
      break;
    }
    parts.push_back(std::move(path));
    at = Parent(at);
    if (at == None) {
      base = FRootBase;
      break;
    }
  }
  // Appended in place: joining anew at every level would copy the growing base each time.
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (!base.empty() && base.back() != '\\') base += '\\';
    base += *it;
  }
  return base;
}

std::string TStoryLine::Name(std::int32_t position) const {
  std::string name = Entry(position)->Attributes.ValueOf("Pagename", TXMLValue::Text("")).AsText();
  if (name.empty()) name = IsPage(position) ? Page(position) : Entry(position)->Attributes.ValueOf("Path", TXMLValue::Text("")).AsText();
  return name;
}

std::string TStoryLine::Page(std::int32_t position) const {
  const TEntry& e = FEntries[static_cast<std::size_t>(position)];
  if (!e.IsPage) return {};
  std::string page = AttributeText(e.Node, "Page");
  if (e.PageWritten) return page;
  return JoinBase(e.Parent == None ? FRootBase : ChildBaseOf(e.Parent), page);
}

std::string AddressOfPage(std::string_view page) {
  // As the browser resolves the address it is given: relative to the root.
  return ResolvePath("", page, BookPathStyle);
}

std::int32_t TStoryLine::FindAddress(std::string_view address) const {
  // Pages written other than as addressed (relative, dot segments) were indexed at load; any
  // other page is its own address, or that address without the leading backslash.
  std::int32_t found = None;
  auto keep = [&](std::int32_t position) {
    if (position != None && (found == None || position < found)) found = position;
  };
  if (auto it = FAddressIndex.find(address); it != FAddressIndex.end()) keep(it->second);
  keep(FindPage(address));
  if (!address.empty() && address.front() == '\\') keep(FindPage(address.substr(1)));
  return found;
}

std::int32_t TStoryLine::PageFrom(std::int32_t position) const {
  if (position < 0) position = 0;
  return position < Count() ? FEntries[static_cast<std::size_t>(position)].NextPage : None;
}

std::int32_t TStoryLine::PageUpTo(std::int32_t position) const {
  if (position >= Count()) position = Count() - 1;
  return position >= 0 ? FEntries[static_cast<std::size_t>(position)].PriorPage : None;
}

std::int32_t TStoryLine::FindPage(std::string_view path) const {
  if (path.empty()) return None;
  const TSum sum = SumOf(path);
  auto [from, to] = FPageIndex.equal_range(Key(sum));
  for (auto it = from; it != to; ++it)  // in reading order
    if (SameText(Page(it->second), path)) return it->second;
  return None;
}

// ---------------------------------------------------------------- TStory

namespace {

std::string StoryText(TMFS& image, const std::string& fileName) {
  return image.Session()->GetFile(StoryFile(fileName))->Data;
}

}  // namespace

TStory::TStory(TMFS& image, const std::string& fileName) : FLines(StoryText(image, fileName)) { First(); }

TStory::TStory(const std::string& text) : FLines(text) { First(); }

void TStory::First() {
  FCurrent = FLines.PageFrom(0);
  FBof = FEof = FCurrent == TStoryLine::None;
}

void TStory::Last() {
  FCurrent = FLines.PageUpTo(FLines.Count() - 1);
  FBof = FEof = FCurrent == TStoryLine::None;
}

template <class F>
TStoryStatus TStory::Move(F&& step) {
  try {
    // Locate(CurrentPage), answered from the index built at load.
    if (FCurrent != TStoryLine::None && FLines.FirstOccurrence(FCurrent) != FCurrent) {
      FCurrent = FLines.FirstOccurrence(FCurrent);
      FBof = FEof = false;
    }
    step();
    return STORY_S_OK;
  } catch (const EStoryError&) {
    return STORY_E_UNEXPECTED;
  }
}

void TStory::Land(std::int32_t result, bool forward) {
  // Nothing found sets the flag of that direction and leaves the cursor; a page found clears the
  // other direction's flag.
  if (result == TStoryLine::None) {
    (forward ? FEof : FBof) = true;
  } else {
    FCurrent = result;
    (forward ? FBof : FEof) = false;
  }
}

std::int32_t TStory::RaisedTo(std::int32_t position, std::int32_t level) const {
  while (position != TStoryLine::None && FLines.Level(position) > level) position = FLines.Parent(position);
  return position;
}

TStoryStatus TStory::Next() {
  return Move([&] {
    if (FEof) throw EStoryError(SStoryEnd);
    Land(FLines.PageFrom(FCurrent + 1), true);
  });
}

TStoryStatus TStory::Prior() {
  return Move([&] {
    if (FBof) throw EStoryError(SStoryBegin);
    Land(FLines.PageUpTo(FCurrent - 1), false);
  });
}

TStoryStatus TStory::NextChapter(std::int32_t level) {
  return Move([&] {
    if (FEof) throw EStoryError(SStoryEnd);
    if (level <= 0) throw EStoryError(Format(SStoryLevel, {level}));
    std::int32_t result;
    if (FLines.Level(FCurrent) < level) {
      result = FLines.PageFrom(FCurrent + 1);
    } else {
      // The first page after the chapter holding the current page: nothing inside that
      // chapter is passed over on the way.
      result = FLines.PageFrom(FLines.SubtreeEnd(RaisedTo(FCurrent, level)));
    }
    Land(result, true);
  });
}

TStoryStatus TStory::PriorChapter(std::int32_t level) {
  return Move([&] {
    if (FBof) throw EStoryError(SStoryBegin);
    if (level <= 0) throw EStoryError(Format(SStoryLevel, {level}));
    std::int32_t chapter = RaisedTo(FCurrent, level);
    std::int32_t prior = RaisedTo(FLines.PageUpTo(chapter - 1), level);
    std::int32_t result = prior == TStoryLine::None ? TStoryLine::None : FLines.PageFrom(prior);
    Land(result, false);
  });
}

void TStory::Locate(std::string_view path) {
  if (path.empty()) return;
  LocateEntry(FLines.FindPage(path));
}

void TStory::LocateAddress(std::string_view address) {
  if (address.empty()) return;
  std::int32_t found = FLines.FindAddress(address);
  // The entry Locate would find for that page's own text.
  LocateEntry(found == TStoryLine::None ? found : FLines.FirstOccurrence(found));
}

void TStory::LocateEntry(std::int32_t found) {
  if (found == TStoryLine::None || found == FCurrent) return;
  FCurrent = found;
  FBof = FEof = false;
}

std::string TStory::CurrentPage() const { return FCurrent == TStoryLine::None ? std::string() : FLines.Page(FCurrent); }

void TStory::LocatePosition(std::int32_t position) {
  if (position < 0 || position >= FLines.Count()) return;
  const std::int32_t page = FLines.PageFrom(position);
  if (page == TStoryLine::None || page >= FLines.SubtreeEnd(position)) return;
  LocateEntry(page);
}

std::string TStory::PageName() const {
  return FCurrent == TStoryLine::None ? std::string() : AttributeText(FLines.Entry(FCurrent), "Pagename");
}

bool TStory::Searchable() const {
  if (FCurrent == TStoryLine::None) return true;
  return FLines.Entry(FCurrent)->Attributes.ValueOf("Searchable", TXMLValue::Boolean(true)).AsBoolean();
}

bool TStory::RightClickDisabled() const {
  if (FCurrent == TStoryLine::None) return true;
  return FLines.Entry(FCurrent)->Attributes.ValueOf("RightClick", TXMLValue::Boolean(true)).Negated().AsBoolean();
}
