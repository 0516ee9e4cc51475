#include "u_Story.h"

namespace {

// B, a backslash unless B is empty or ends in one, then the relative path.
std::string JoinBase(const std::string& base, const std::string& relative) {
  if (base.empty()) return relative;
  return base.back() == '\\' ? base + relative : base + '\\' + relative;
}

std::string AttributeText(const TXMLNode* node, const char* name) {
  return node->Attributes.ValueOf(name, TXMLValue::Text(std::string())).AsText();
}

}  // namespace

// ---------------------------------------------------------------- TStoryLine

TStoryLine::TStoryLine(const std::string& text) {
  FParser.Parse(text);
  TXMLNode* root = FParser.Root();
  std::string rootBase = AttributeText(root, "Path");
  if (!rootBase.empty() && rootBase.front() != '\\') rootBase.insert(0, 1, '\\');

  // Pre-order without recursion; each entry's base for its children is kept by position.
  std::vector<std::string> childBases;
  std::vector<std::pair<TXMLNode*, std::int32_t>> pending;
  auto pushChildren = [&](TXMLNode* node, std::int32_t parent) {
    for (std::int32_t i = node->Nodes.Count() - 1; i >= 0; --i) pending.emplace_back(&node->Nodes.Items(i), parent);
  };
  pushChildren(root, None);
  while (!pending.empty()) {
    auto [node, parent] = pending.back();
    pending.pop_back();
    const std::string& base = parent == None ? rootBase : childBases[static_cast<std::size_t>(parent)];
    std::string page = AttributeText(node, "Page");
    if (!page.empty() && page.front() != '\\') page = JoinBase(base, page);
    if (!page.empty()) {
      TXMLAttribute* attribute = node->Attributes.Find("Page");
      if (!attribute) attribute = node->Attributes.Add("Page");
      attribute->Value = TXMLValue::Text(page);
    }
    std::string path = AttributeText(node, "Path");
    if (!path.empty() && path.front() != '\\') path = JoinBase(base, path);
    auto position = static_cast<std::int32_t>(FEntries.size());
    FEntries.push_back({node, std::move(page), parent, position + 1, None, None, position});
    childBases.push_back(std::move(path));
    pushChildren(node, position);
  }

  // Subtree ends from the back (descendants come after their entry), page links both ways.
  const auto count = static_cast<std::int32_t>(FEntries.size());
  for (std::int32_t i = count - 1; i >= 0; --i) {
    TEntry& e = FEntries[static_cast<std::size_t>(i)];
    if (e.Parent != None) {
      TEntry& p = FEntries[static_cast<std::size_t>(e.Parent)];
      p.End = std::max(p.End, e.End);
    }
    e.NextPage = !e.Page.empty() ? i : i + 1 < count ? FEntries[static_cast<std::size_t>(i) + 1].NextPage : None;
  }
  for (std::int32_t i = 0; i < count; ++i) {
    TEntry& e = FEntries[static_cast<std::size_t>(i)];
    e.PriorPage = !e.Page.empty() ? i : i > 0 ? FEntries[static_cast<std::size_t>(i) - 1].PriorPage : None;
    if (!e.Page.empty()) {
      e.FirstOccurrence = FPageIndex.emplace(e.Page, i).first->second;  // the first one stays
      FAddressIndex.emplace(AddressOfPage(e.Page), i);
    }
  }
}

std::string AddressOfPage(std::string_view page) {
  // Segments of the absolute path, with "." dropped and ".." taking one back (never above the
  // root), as the browser resolves the address it is given.
  std::vector<std::string_view> segments;
  std::size_t start = 0;
  while (start <= page.size()) {
    std::size_t end = start;
    while (end < page.size() && page[end] != '\\' && page[end] != '/') ++end;
    std::string_view segment = page.substr(start, end - start);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string address;
  for (std::string_view segment : segments) {
    address += '\\';
    address += segment;
  }
  const char last = page.empty() ? '\0' : page.back();
  if (address.empty() || last == '\\' || last == '/') address += '\\';
  return address;
}

std::int32_t TStoryLine::FindAddress(std::string_view address) const {
  auto it = FAddressIndex.find(address);
  return it == FAddressIndex.end() ? None : it->second;
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
  auto it = FPageIndex.find(path);
  return it == FPageIndex.end() ? None : it->second;
}

// ---------------------------------------------------------------- TStory

namespace {

std::string StoryText(TMFS& image, const std::string& fileName) {
  return image.Session()->GetFile(fileName.empty() ? std::string("\\Story.xml") : fileName)->Data;
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
