#include "u_Address.h"

#include <vector>

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Walks the segments of `path` onto `kept`; true when the path ends in a separator or a dot
// segment (it names a folder).
bool Walk(std::string_view path, std::vector<std::string_view>& kept, bool& climbed) {
  bool folder = false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string_view segment = path.substr(start, end - start);
    folder = segment.empty() || segment == "." || segment == "..";
    if (segment == "..") {
      if (kept.empty()) climbed = true;
      else kept.pop_back();
    } else if (segment != "." && !(segment.empty() && end == path.size())) {
      kept.push_back(segment);
    }
    start = end + 1;
  }
  return folder;
}

}  // namespace

std::string ResolvePath(std::string_view base, std::string_view reference, TPathStyle style, bool* climbed) {
  std::vector<std::string_view> kept;
  bool climb = false;
  const bool fromRoot = !reference.empty() && IsSeparator(reference.front());
  if (fromRoot) {
    reference.remove_prefix(1);
  } else {
    std::size_t last = base.size();
    while (last > 0 && !IsSeparator(base[last - 1])) --last;
    base = base.substr(0, last);
    if (!base.empty() && IsSeparator(base.front())) base.remove_prefix(1);
    if (!base.empty()) {
      base.remove_suffix(1);
      Walk(base, kept, climb);
    }
  }
  const bool folder = Walk(reference, kept, climb);
  std::string out;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i || style.Leading) out += style.Separator;
    out.append(kept[i]);
  }
  if (kept.empty() ? style.Leading : folder) out += style.Separator;
  if (climbed) *climbed = climb;
  return out;
}

std::string RelativeReference(std::string_view from, std::string_view to) {
  std::size_t common = 0;
  for (std::size_t i = 0; i < from.size() && i < to.size() && from[i] == to[i]; ++i)
    if (from[i] == '/') common = i + 1;
  std::string reference;
  for (std::size_t i = common; i < from.size(); ++i)
    if (from[i] == '/') reference += "../";
  return reference.append(to.substr(common));
}
