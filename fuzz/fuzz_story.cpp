// Loads an arbitrary story document and runs a sequence of moves decided by the input.
// Input: two bytes giving the document's length, the document, then one byte per move.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "u_Story.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(data[0] | data[1] << 8), size - 2);
  std::string text(reinterpret_cast<const char*>(data) + 2, length);
  const std::uint8_t* moves = data + 2 + length;
  std::size_t moveCount = size - 2 - length;
  try {
    TStory story(text);
    for (std::size_t i = 0; i < moveCount; ++i) {
      std::uint8_t m = moves[i];
      std::int32_t level = m / 8 % 5 - 1;
      switch (m % 8) {
        case 0: story.First(); break;
        case 1: story.Last(); break;
        case 2: story.Next(); break;
        case 3: story.Prior(); break;
        case 4: story.NextChapter(level); break;
        case 5: story.PriorChapter(level); break;
        case 6: {
          const TStoryLine& lines = story.Lines();
          if (lines.Count() > 0) story.Locate(lines.Page(m % lines.Count()));
          break;
        }
        default:
          try {
            (void)story.PageName();
            (void)story.Searchable();
            (void)story.RightClickDisabled();
          } catch (const Exception&) {
          }
      }
      // The cursor is on a page, or nowhere with both flags set.
      if (story.CurrentEntry() == nullptr ? !(story.Bof() && story.Eof()) : story.CurrentPage().empty()) std::abort();
    }
  } catch (const Exception&) {
  }
  return 0;
}
