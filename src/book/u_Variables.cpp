#include "u_Variables.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "u_SpaceXMLParser.h"

namespace {

std::string_view NameOf(std::string_view text, std::size_t percent, std::size_t close) {
  return text.substr(percent + 2, close - percent - 2);
}

}  // namespace

// A "%" followed by anything but "{" does not start a reference, and the character after it is
// not looked at again (so "%%{X}" holds none).
bool NextVariableReference(std::string_view text, std::size_t from, std::size_t& percent, std::size_t& close) {
  std::size_t i = from;
  for (;;) {
    const void* hit = i < text.size() ? std::memchr(text.data() + i, '%', text.size() - i) : nullptr;
    if (!hit) return false;
    i = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    if (i + 1 >= text.size()) return false;
    if (text[i + 1] != '{') {
      i += 2;
      continue;
    }
    std::size_t end = text.find('}', i + 2);
    if (end == std::string_view::npos) return false;  // never closed: stays as written
    percent = i;
    close = end;
    return true;
  }
}

TVariables::TVariables(const std::optional<std::string>& text, bool stripDollar) {
  if (!text) return;
  TXMLParser parser;
  parser.Parse(*text);
  const TXMLNodes& entries = parser.Root()->Nodes;
  for (std::int32_t i = 0; i < entries.Count(); ++i) {
    const TXMLNode& node = entries.Items(i);
    std::string name = node.Attributes.ValueOf("Name", TXMLValue::Text(std::string())).AsText();
    if (name.empty()) continue;
    std::string value = node.Text;
    if (stripDollar && !value.empty() && value.front() == '$') value.erase(0, 1);
    FValues.AddString(name, value);
  }
  Expand();
}

void TVariables::Expand() {
  // Each variable is resolved once, references first, without recursion: a frame per variable
  // under resolution, holding its value, how far it has been scanned, and what it has become.
  enum TMark : std::intptr_t { InProgress = 1, Done = 2 };
  TDictionary marks(true, true);
  struct TFrame {
    std::string Name;
    std::string Value;
    std::string Out;
    std::size_t Scanned = 0;
    std::size_t PendingClose = std::string::npos;  // waiting for the variable referred to here
  };
  std::size_t total = 0;
  for (const std::string& first : FValues.GetKeys()) {
    if (marks.GetItemDef(first, 0) == Done) continue;
    std::vector<TFrame> stack;
    auto enter = [&](std::string_view name) {
      if (marks.GetItemDef(std::string(name), 0) == InProgress)
        throw EVariablesError(Format(SVariablesCycle, {name}));
      marks.Set_Item(std::string(name), InProgress);
      TFrame frame;
      frame.Name = std::string(name);
      frame.Value = FValues.GetString(name);
      stack.push_back(std::move(frame));
    };
    enter(first);
    while (!stack.empty()) {
      TFrame& f = stack.back();
      if (f.PendingClose != std::string::npos) {
        // The variable referred to is resolved now: insert its value and scan on after the "}".
        f.Out += FValues.GetString(NameOf(f.Value, f.Scanned, f.PendingClose));
        f.Scanned = f.PendingClose + 1;
        f.PendingClose = std::string::npos;
      }
      std::size_t percent, close;
      bool descended = false;
      while (NextVariableReference(f.Value, f.Scanned, percent, close)) {
        std::string_view name = NameOf(f.Value, percent, close);
        f.Out.append(f.Value, f.Scanned, percent - f.Scanned);
        if (!FValues.Exists(name)) {
          f.Out.append(f.Value, percent, close + 1 - percent);
          f.Scanned = close + 1;
          continue;
        }
        if (marks.GetItemDef(std::string(name), 0) != Done) {
          f.Scanned = percent;
          f.PendingClose = close;
          enter(name);  // invalidates f
          descended = true;
          break;
        }
        f.Out += FValues.GetString(name);
        f.Scanned = close + 1;
        if (f.Out.size() > MaxValueSize) break;
      }
      if (descended) continue;
      TFrame& done = stack.back();
      if (done.Out.size() <= MaxValueSize) done.Out.append(done.Value, done.Scanned, std::string::npos);
      total += done.Out.size();
      if (done.Out.size() > MaxValueSize)
        throw EVariablesError(Format(SVariablesTooLarge, {done.Name, static_cast<std::int64_t>(MaxValueSize)}));
      if (total > MaxTotalSize)
        throw EVariablesError(Format(SVariablesTotalTooLarge, {static_cast<std::int64_t>(MaxTotalSize)}));
      FValues.SetString(done.Name, done.Out);
      marks.Set_Item(done.Name, Done);
      stack.pop_back();
    }
  }
}

std::string TVariables::Substitute(std::string_view text, std::string_view name) const {
  std::size_t percent, close;
  if (!NextVariableReference(text, 0, percent, close)) return std::string(text);
  std::string out;
  out.reserve(text.size());
  const std::size_t limit = std::max(MaxExpandedSize, text.size());
  std::size_t scanned = 0;
  do {
    out.append(text, scanned, percent - scanned);
    if (const std::string* value = FValues.FindValue(NameOf(text, percent, close))) {
      if (out.size() + value->size() > limit)
        throw EVariablesError(Format(STextTooLarge, {name.empty() ? std::string_view("text") : name,
                                                     static_cast<std::int64_t>(limit)}));
      out += *value;
    } else
      out.append(text, percent, close + 1 - percent);
    scanned = close + 1;
  } while (NextVariableReference(text, scanned, percent, close));
  out.append(text, scanned, std::string_view::npos);
  return out;
}

void TVariables::SubstituteInPlace(std::string& text, std::string_view name) const {
  std::size_t percent, close;
  if (!NextVariableReference(text, 0, percent, close)) return;
  text = Substitute(text, name);
}
