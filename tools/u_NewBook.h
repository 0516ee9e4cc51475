// A book started from a folder of pages (quirelle-pack --new): its description files, written so
// that the book packs without errors and reads in a sensible order at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

class TMFS;
struct TEpub;

// One page of the story, in reading order.
struct TNewBookPage {
  std::string Path;   // absolute in the content image ("\part1\a.htm")
  std::string Title;  // the page's <title>, UTF-8, blanks collapsed; empty without one
  std::int32_t Level = 1;  // 1 for the top, 2 inside a chapter, ...
};

struct TNewBook {
  std::string Title;  // of the contents page, else the first page, else the folder's name
  std::string ContentsPage;  // absolute, or empty when there is none
  std::vector<TNewBookPage> Pages;  // reading order
  std::size_t ChapterCount = 0;
  std::string StoryXml, VariablesXml, SystemXml, ButtonsXml;
  bool FromEpub = false;  // its system image records that (RecordsEpubOrigin)
  // Files the book adds to the content, paths as in the content folder ("quirelle-about.xhtml"):
  // a book from an EPUB has an About form showing its title and creators.
  std::vector<std::pair<std::string, std::string>> ContentFiles;
};

// The files of the book's system folder, at their paths in it ("toolbar\Buttons.xml"), the
// toolbar's pictures drawn by `picture` (given a name of NewBookPictureFiles without folder and
// extension).
std::vector<std::pair<std::string, std::string>> NewBookSystemFiles(const TNewBook& book,
                                                                    const std::function<std::string(const std::string&)>& picture);

// The pages of a content image (.htm, .html, .xhtml) in reading order: a contents page first
// (index, contents, toc or default, at the top), the pages its links reach in the order of its
// links, then the rest in file order (numbers in names compare by value); one chapter per
// folder, placed where its first page falls. `fallbackTitle` names a book whose pages have none.
TNewBook PlanNewBook(TMFS& content, const std::string& fallbackTitle);

// The story of an EPUB whose files are in the content image (at their paths in the container):
// the spine's documents in order, named by the table of contents (else their titles); a
// top-level entry of the contents with entries below it and several documents is a chapter.
// The title (in its direction), the creators and the language become variables.
TNewBook PlanEpubBook(const TEpub& epub, TMFS& content, const std::string& fallbackTitle);

// The picture files the toolbar names, relative to the system folder ("toolbar\pictures\next.bmp"):
// 24 x 24 BMP pictures whose top-left pixel is the background.
// `about`: with the About button's picture, which a book from an EPUB has.
std::vector<std::string> NewBookPictureFiles(bool about = false);
