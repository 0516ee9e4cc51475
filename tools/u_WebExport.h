// Any book as a static web book (quirelle-pack --to-web): a folder that any browser reads, from a
// web server or straight from the disk. index.html is the book's window: its own toolbar (its
// pictures as PNG), the page in a frame beside it, the contents pane; the story's moves, Back and
// Forward, Home, the text size, the bookmarks, printing (the page, or one of its print sections),
// search (over an index made here, without regard to case or accents), the forms and the start
// and end splashes work as in the viewer, and page scripts get window.external, which talks to
// the window by postMessage (pages opened from file:// each have an origin of their own). Every file of the content is a plain file under
// book/, its variables substituted as the viewer serves it; nothing is loaded from elsewhere.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class TBook;

struct TWebPictures {
  std::vector<std::string> Toolbar;  // PNG bytes per picture of the toolbar's list; empty: none
  std::string Logo;                  // PNG bytes, or empty
  std::string SplashStart, SplashEnd;  // the splash pictures ("SplashS.bmp", "SplashE.bmp") as PNG
};

// The loaded book (all steps done, the content image whole) into the folder, which exists and is
// empty. What the web book does not carry yet goes to `notes`.
void ExportWeb(TBook& book, const TWebPictures& pictures, const std::filesystem::path& folder, std::vector<std::string>& notes);
