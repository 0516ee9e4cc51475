// The whole story printed by the engine, page after page, for quirelle-pack --to-pdf: the viewer
// runs without showing a window, loads each page of the story as a reader would see it (the
// book's schemes, its variables) and has the engine write it as a PDF of its own, text as text.
// quirelle-pack merges them (u_PdfMerge) into one PDF whose outline is the story.
#pragma once

#include <QPageLayout>
#include <QString>
#include <filesystem>

class TfrmMain;

// The file in the folder that lists the story's entries in order, one per line: the level, a tab,
// the entry's PDF (empty for a chapter), a tab, its name in UTF-8.
inline constexpr const char* StoryPrintList = "story.txt";

// The page layout asked for: "A4", "Letter", "Legal", "A5", or empty for the locale's (Letter
// where the US measures, A4 elsewhere); margins in millimetres.
QPageLayout StoryPageLayout(const QString& size, double marginsMm);

// Prints every page entry of the window's story into the folder ("0001.pdf", ...) and writes the
// list. False, with the reason, when a page does not load or print.
bool PrintStory(TfrmMain& window, const std::filesystem::path& folder, const QPageLayout& layout, QString& error);
