// Books made from an EPUB, read as reading systems read EPUBs. An EPUB file opens directly: it is
// converted in memory as quirelle-pack --new --epub converts it, and nothing is written. A book
// whose system image records that it came from an EPUB (TLoadedBook::FromEpub) gets in every page and
// frame what reading systems give scripts (navigator.epubReadingSystem); its frames live in an
// origin of their own, so that their scripts cannot change the page around them; pages with
// MathML get it laid out by the MathJax installed on the machine; links out of the book open in
// the desktop's browser once the reader agrees, and nothing of its pages is fetched from the
// network unless the reader allows it.
#pragma once

#include <QString>
#include <string>
#include <vector>

#include "u_Book.h"

class QWidget;
class TMXWebBrowser;

// The scheme a book from an EPUB serves its frames from: the content image, another origin.
inline constexpr const char* FrameScheme = "mfs-frame";
// Where MathJax is served from, on each book scheme, and where it lies on the machine.
inline constexpr const char* MathJaxPath = "/.quirelle-mathjax/";
inline constexpr const char* MathJaxFolder = "/usr/share/javascript/mathjax";

// Whether the file is an EPUB: a ZIP container whose first member is "mimetype" saying so.
bool IsEpubFile(const std::string& file);

// The EPUB as a book, converted in memory; needs a QGuiApplication (the toolbar's pictures are
// drawn). Raises EBookFileError for a file that cannot be read, and an Exception saying what is
// wrong with an EPUB that cannot be converted. `notes` gets what the conversion changed.
TBookSource EpubBookSource(const std::string& file, std::vector<std::string>* notes = nullptr);

// The contents pane's heading for such a book: its title and its creators.
QString EpubHeading(TBook& book);

// A page of such a book (by its path's extension: .xhtml, .html, .htm) as it is served: with the
// reading system's script first in its head, where it runs before the page's own.
void AddReadingSystem(const std::string& path, std::string& data);

// MathML in the page's documents laid out by MathJax, when the machine has it (false: it has not).
class QWebEnginePage;
bool LayOutMathML(QWebEnginePage& page);
// A script that is true once a document's MathML is laid out, or when it has none.
extern const char* const MathLaidOutScript;

// Reads the browser's pages as a reading system reads an EPUB's (see above); `window` asks the
// reader before a link leaves the book.
void ReadAsEpub(TMXWebBrowser& browser, QWidget* window);
