// The book as the viewer and the author's check read it, apart from any window: the two images,
// the System.xml keys, the story, the variables, the forms, the toolbar and splash options and
// the toolbar description. Loaded in named steps, in start-up order; the window makes widgets
// from what they read, the check looks at it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "u_DisplayOptions.h"
#include "u_Errors.h"
#include "u_MFS.h"
#include "u_SpaceXMLParser.h"
#include "u_Story.h"
#include "u_UserForms.h"
#include "u_Variables.h"

class TContentImageLoad;

// Where the book's two Cabinets come from: the data blocks of the book file named (any kind,
// u_DataBlocks) or else of the running executable, or bytes given directly; or a content image
// whose unpacking has started already.
struct TBookSource {
  std::optional<std::string> SystemCab;
  std::optional<std::string> ContentCab;
  std::shared_ptr<TContentImageLoad> ContentLoad = nullptr;
  // The book file the Cabinets are read from, when not the running executable; a failure says
  // what happened to it.
  std::string BookFile = {};
  // The system image read already (ApplyCodePageRecord); else it is read from SystemCab or the
  // running executable.
  std::shared_ptr<TMFS> SystemImage = nullptr;
  // The story of the file System.xml names, being read on a thread of its own (PrepareStory).
  std::string PreparedStoryFile = {};
  std::future<std::unique_ptr<TStory>> PreparedStory = {};
};

// ---------------------------------------------------------------- the code page

// The file of the system image in which quirelle-pack records the code page the book's names and
// description files were written in: "<Quirelle CodePage=1251/>" (65001: UTF-8). Other viewers
// ignore a file nothing names. Books without it are read in the reader's code page.
inline constexpr const char* CodePageRecordFile = "\\Quirelle.xml";
// The record of a system image about to be saved: the code page, and what the image's own record
// says of the book's origin ("<Quirelle CodePage=65001 Origin=\"epub\"/>": made from an EPUB).
std::string CodePageRecord(int codePage, TMFS& systemImage);
// Whether the system image records a book made from an EPUB, which the viewer reads as reading
// systems read EPUBs.
bool RecordsEpubOrigin(TMFS& systemImage);
// The code page a system image records, or 0 for none (or one this system cannot convert).
int RecordedCodePage(TMFS& systemImage);
// Reads the source's system image (when it is not read yet) and sets the code page it records,
// reading the image again under it when that changes how its names compare. Before anything
// else reads the book, above all the content image: its names are compared in that code page.
// A system image that does not load is left to LoadSystemImage, which says why.
void ApplyCodePageRecord(TBookSource& source);
// Starts reading the story of the source's system image (read already) on a thread of its own,
// while the application starts: a story of 25,000 pages takes some 50 ms to read. LoadStory takes
// it when System.xml names the same file; a story that fails is read again there, which says why.
void PrepareStory(TBookSource& source);

// A book read straight from its two folders as quirelle-pack would pack them, names in the code
// page in effect (ChosenCodePage gives the packer's choice): the system image records it, and the
// content image is read whole. A folder that is missing, or a name the packer would refuse,
// raises EToolError naming it.
TBookSource FolderBookSource(const std::filesystem::path& system, const std::filesystem::path& content);

// ---------------------------------------------------------------- the order of the content image

// The order quirelle-pack stores a content image in, so that a viewer can show the first page
// while the rest is still being unpacked: the story's first page, the files it refers to, the
// story's other pages in reading order, then everything else in name order; a folder goes where
// its first file does. Empty (name order) when the system image has no story to read.
TMFSSaveOrder ContentOrder(TMFS& systemImage, TMFS& contentImage);

// ---------------------------------------------------------------- pictures

class EPictureError : public Exception { using Exception::Exception; };
// The image list refuses a picture smaller than its image size.
class EInvalidOperation : public Exception {
public:
  using Exception::Exception;
  // The size of the picture refused, for the author's check.
  std::int32_t FoundWidth = 0, FoundHeight = 0;
};
inline constexpr const char* SInvalidToolbarImageSize = "Invalid toolbar image size";
inline constexpr const char* SUnknownPictureExtension = "Unknown picture file extension (.%s)";

enum TPictureKind { pkMetafile, pkIcon, pkBitmap, pkJPEG };

// The kind named by the extension of a path in the system image (the text after the last dot
// when no backslash follows it), without regard to case; any other raises
// "Unknown picture file extension (.%s)".
TPictureKind PictureKindOf(const std::string& path);

// One entry of the toolbar's image list.
struct TToolbarPicture {
  std::string Name, Path;
  std::int32_t XMask = 0, YMask = 0;
  std::optional<std::int32_t> MaskColor;  // else the pixel at XMask, YMask
  std::int32_t Line = 0;
};

// Decodes the book's pictures: the window keeps them, the check only sees that they decode.
class IBookPictures {
public:
  virtual ~IBookPictures() = default;
  // What is to come, before the first picture of the toolbar.
  virtual void BeginToolbarPictures(const std::vector<TToolbarPicture>& pictures) { (void)pictures; }
  // Raises the picture's error; EInvalidOperation for one smaller than width by height.
  virtual void AddToolbarPicture(const TToolbarPicture& picture, const std::string& bytes, int width, int height) = 0;
  // A picture the check found at fault: those after it keep their places.
  virtual void AddNoPicture() {}
  // The logo's bytes, or none when the system image has no "\Logo.bmp".
  virtual void Logo(const std::string* bytes) = 0;
};

// ---------------------------------------------------------------- the toolbar

// Button kinds of the toolbar, as the ToolButtons file numbers them.
enum TButtonKind : std::uint8_t {
  bkSeparator = 0, bkBack, bkForward, bkFirst, bkPrior, bkNext, bkLast, bkPriorChapter, bkNextChapter,
  bkAbout, bkExit, bkFontSize, bkSearch, bkBookmarks, bkPrint, bkCopy, bkRefresh, bkHome,
};
inline constexpr std::int32_t LastButtonKind = bkHome;

struct TBookMarkItem {
  std::string URL = "URL";
  std::string Caption = "Description";
  bool NewWindow = false;
};
// One Bookmarks button's list, in menu order; a menu item's "tag" is its position here.
using TBookMarkItems = std::vector<TBookMarkItem>;

struct TToolButton {
  std::uint8_t Kind = bkSeparator;  // a number beyond the kinds is kept: the button does nothing
  std::string Caption;
  // The book's format names a script for each button; the viewer runs none.
  std::string OnClick;
  std::int32_t ImageIndex = -1;  // into the pictures; -1 or beyond them: none
  std::int32_t Line = 0;
  TBookMarkItems Bookmarks;  // of a Bookmarks button
};

struct TToolbarDescription {
  bool Present = false;  // the book names a ToolButtons file that exists
  std::vector<TToolbarPicture> Pictures;
  std::vector<TToolButton> Buttons;  // in file order, separators included
};

// ---------------------------------------------------------------- the book

// What the book's steps read, once they have: the window makes its widgets from it, the check
// looks at it.
struct TLoadedBook {
  // The files System.xml names, as it names them.
  std::string StoryFile, FormsFile, ToolButtonsFile, VariablesFile;
  // The titles with their variables expanded; none when System.xml gives none.
  std::optional<std::string> ApplicationTitle, MainFormCaption;
  TToolbarOptions ToolbarOptions;
  TSplashOptions SplashOptions;
  TToolbarDescription Toolbar;
  // The window's outer size as the book asks for it.
  std::int32_t Width = 800, Height = 600;
  bool RunMaximized = false, ResizableWindow = false;
  // The system image records that the book was made from an EPUB (RecordsEpubOrigin).
  bool FromEpub = false;
};

class TBook {
public:
  // pictures: what decodes the pictures as the toolbar's steps read them; none reads only
  // their descriptions. sink: where failures and findings go; none raises the first failure,
  // saying where in the book, as the viewer needs (the author's check passes its report).
  explicit TBook(TBookSource source, IBookPictures* pictures = nullptr, IBookSink* sink = nullptr);
  ~TBook();  // waits for a content image still being unpacked
  TBook(const TBook&) = delete;
  TBook& operator=(const TBook&) = delete;

  // The steps, in start-up order.
  void LoadSystemImage();
  void LoadSystemDescription();
  void LoadForms();
  void LoadStory();
  void LoadVariables();
  void LoadTitles();
  void LoadToolbarOptions();
  void LoadLogo();
  void LoadSplashOptions();
  void LoadToolButtons();
  void LoadWindowKeys();
  // Every step in turn.
  void Load();

  TMFS& SystemImage() { return *FSystemImage; }
  // The image the worker unpacks into: only touched once the worker is joined.
  TMFS& ContentImage() { return *FContentImage; }
  // What a request for a file of the content image may do while the worker unpacks it.
  enum class TContentRequest {
    Join,   // the worker has finished: join it, then serve from the image
    Early,  // the file is read whole already: CopyEarlyContent serves it
    Wait,   // neither: onProgress is called (on the worker's thread) when either may have changed
  };
  // path: absolute in the content image, or empty for a request that is not for it.
  TContentRequest ContentRequest(const std::string& path, const std::function<void()>& onProgress);
  bool CopyEarlyContent(const std::string& path, std::string& data);
  // f is called once as the worker ends (on its thread), or at once when it has.
  void WhenContentFinished(std::function<void()> f);
  bool ContentJoined() const;
  // The first page is shown: the worker unpacking the rest gets its full share of the processor.
  void HurryContentImage();
  // Waits for the worker; its failure raises, saying it was the content image. Once joined, at once.
  void JoinContentImage();
  // Waits for the worker without looking at how it ended.
  void WaitForContentImage();

  const TXMLNode& SystemRoot() const { return *FSystemDescription->Root(); }
  bool SystemDescriptionFailed() const { return FSystemDescriptionFailed; }
  bool VariablesFailed() const { return FVariablesFailed; }
  TStory* Story() const { return FStory.get(); }
  TVariables* Variables() const { return FVariables.get(); }
  TUserForms* UserForms() const { return FUserForms.get(); }
  // A System.xml key; for the check, one that does not convert is reported and def stands.
  std::string SystemText(const char* name) const;
  std::int32_t SystemInteger(const char* name, std::int32_t def) const;
  bool SystemBoolean(const char* name, bool def) const;
  // The text of a file of the system image, named from its current folder; none for a name
  // that is empty, missing or a folder.
  std::optional<std::string> SystemFileText(const std::string& name);

  const TLoadedBook& Loaded() const { return FLoaded; }

private:
  // Runs one step: a failure says where in the book it happened; for the check it is reported
  // against the file and the step's result is left out.
  bool Step(const std::string& file, const std::string& where, const std::function<void()>& step,
            const std::function<std::int32_t(const Exception&)>& lineOf = {});
  template <class T, class F>
  T SystemValue(const char* name, T def, F&& read) const;
  void ReadPictures(const TXMLNode* images);
  void ReadButtons(const TXMLNode* buttons);
  TBookMarkItems ReadBookmarks(const TXMLNode& button);

  TBookSource FSource;
  IBookPictures* FPictures;
  IBookSink* FSink;
  TLoadedBook FLoaded;
  std::shared_ptr<TMFS> FSystemImage;
  std::unique_ptr<TMFS> FContentImage;
  std::shared_ptr<TContentImageLoad> FContentLoad;
  std::unique_ptr<TXMLParser> FSystemDescription;
  bool FSystemDescriptionFailed = false;
  bool FVariablesFailed = false;
  std::unique_ptr<TStory> FStory;
  std::unique_ptr<TVariables> FVariables;
  std::unique_ptr<TUserForms> FUserForms;
  TDictionary FImageIndexByName{true, true};
};
