// The story's pages, printed one PDF each by the viewer (u_StoryPrint), merged with libqpdf into one
// PDF in reading order whose outline is the story tree: chapters nest, each entry by its name,
// a chapter opening at its first page.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct TStoryPart {
  int Level = 1;
  std::string File;  // the page's PDF in the folder; empty for a chapter
  std::string Name;  // UTF-8
};

// The folder's list ("story.txt"); a line that does not read raises EToolError.
std::vector<TStoryPart> ReadStoryParts(const std::filesystem::path& folder);

// The parts into one PDF, written whole or not at all. Returns the number of pages.
int MergeStoryPdf(const std::filesystem::path& folder, const std::vector<TStoryPart>& parts, const std::filesystem::path& output);
