// quirelle-pack: makes a book (a copy of the viewer carrying the system and content images, or
// a book document), and checks, lists or extracts the images of any book.
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#ifdef QUIRELLE_PICTURES
#include <QBuffer>
#include <QGuiApplication>

#include "u_Pictures.h"
#include "u_ToolbarArt.h"
#endif

#include "u_Book.h"
#include "u_BookCheck.h"
#include "u_CabWriter.h"
#include "u_CodePage.h"
#include "u_DataBlocks.h"
#include "u_DiskFolder.h"
#include "u_Epub.h"
#include "u_EpubExport.h"
#include "u_PdfMerge.h"
#include "u_WebExport.h"
#include "u_ImageSource.h"
#include "u_MFS.h"
#include "u_MFSCab.h"
#include "u_NewBook.h"

namespace fs = std::filesystem;

namespace {

const char* const Usage =
    "Usage: quirelle-pack [--viewer VIEWER | --document] [--force] [--code-page CP] --system SOURCE --content SOURCE -o BOOK\n"
    "       quirelle-pack [--viewer VIEWER | --document] [--force] --from BOOK -o BOOK\n"
    "       quirelle-pack [--code-page CP] --check --system SOURCE --content SOURCE\n"
    "       quirelle-pack --check BOOK\n"
    "       quirelle-pack --to-epub BOOK -o OUT.epub\n"
    "       quirelle-pack --to-pdf [--page-size SIZE] [--margins MM] BOOK -o OUT.pdf\n"
    "       quirelle-pack --to-web BOOK -o FOLDER\n"
    "       quirelle-pack --list BOOK\n"
    "       quirelle-pack --extract BOOK FOLDER\n"
    "       quirelle-pack --new FOLDER --content PAGES\n"
    "       quirelle-pack --new FOLDER --epub BOOK.epub\n"
    "\n"
    "Packs a book into a copy of the viewer program VIEWER, written to BOOK. VIEWER defaults to\n"
    "the quirelle-viewer installed beside quirelle-pack.\n"
    "  --document        writes a book document instead (name it NAME.qbook): the book without\n"
    "                    a viewer, which any installed quirelle-viewer opens\n"
    "  --from BOOK       takes both images from BOOK unchanged, byte for byte\n"
    "Wherever BOOK is read, it may be a packed book, a book document or a Windows-format book\n"
    "(a Windows executable with the blocks SYSTEM_MFS and FILES_MFS among its resources of the\n"
    "type named \"RCDATA\").\n"
    "  --system SOURCE   the description files: a folder, or a ready-made Cabinet file\n"
    "  --content SOURCE  the pages, pictures and style sheets: a folder or a Cabinet file\n"
    "A folder becomes an MFS image in a Cabinet (MSZIP) with the one member info.mfs; a Cabinet\n"
    "file is embedded unchanged. Blocks already in VIEWER are replaced.\n"
    "The packed book is checked as --check does; a book with errors is not written unless\n"
    "--force is given, which packs without checking.\n"
    "  --check                loads the book as the viewer does and reports every problem,\n"
    "                         one per line as FILE:LINE: error|note: MESSAGE: System.xml\n"
    "                         keys that do not convert or name no file, story pages missing\n"
    "                         or listed twice, variable cycles and unknown references,\n"
    "                         toolbar pictures and form pages, links of pages and style\n"
    "                         sheets to files not in the book; files nothing reaches are\n"
    "                         notes. Exit status 1 when there are errors.\n"
    "  --to-epub BOOK -o OUT.epub, or --to-epub --system SOURCE --content SOURCE -o OUT.epub\n"
    "                         writes the book as an EPUB 3 for other reading systems: its pages\n"
    "                         as the viewer shows them (variables substituted, in UTF-8), its\n"
    "                         story as the reading order and the contents, its pictures and\n"
    "                         style sheets unchanged; what an EPUB cannot carry is listed on\n"
    "                         standard error\n"
    "  --to-pdf BOOK -o OUT.pdf, or --to-pdf --system SOURCE --content SOURCE -o OUT.pdf\n"
    "                         writes the whole story as one PDF, page after page in reading\n"
    "                         order as the installed viewer prints them (text stays text), its\n"
    "                         outline the story's chapters and pages; --page-size A4, Letter,\n"
    "                         Legal or A5 (the locale's A4 or Letter by default), --margins\n"
    "                         in millimetres (15)\n"
    "  --to-web BOOK -o FOLDER, or --to-web --system SOURCE --content SOURCE -o FOLDER\n"
    "                         writes the book as a static web book that any browser reads from\n"
    "                         a web server or the disk: FOLDER/index.html is the book's window\n"
    "                         with its toolbar and contents, the pages under FOLDER/book\n"
    "  --list BOOK            print the trees of the two images of a book\n"
    "  --extract BOOK FOLDER  write them into FOLDER/system and FOLDER/content\n"
    "  --new FOLDER --content PAGES\n"
    "                         starts a book from a folder of pages: writes FOLDER/system\n"
    "                         (System.xml, a story of the pages with chapters by folder,\n"
    "                         variables and a toolbar) and says what to do next\n"
    "  --new FOLDER --epub BOOK.epub\n"
    "                         the same from an EPUB 2 or 3: its files become FOLDER/content,\n"
    "                         its spine the story, its contents the chapters and page names\n"
    "  --code-page CP         the code page the description files and names are written in\n"
    "                         (1252, 1251, ... or utf-8); it is recorded in the book, which\n"
    "                         every reader then reads in it, whatever their locale. Without\n"
    "                         it: UTF-8 when the system folder's .xml files are UTF-8 with\n"
    "                         letters beyond ASCII, or when they are plain ASCII and a file\n"
    "                         name does not fit the locale's code page; else that code page.\n"
    "File names are converted between UTF-8 and the book's code page; --list and --extract use\n"
    "the code page the book records.\n";

const char* const SystemBlock = "SYSTEM_MFS";
const char* const ContentBlock = "FILES_MFS";

// The code page named on the command line: a number, or "utf-8".
int CodePageArgument(const std::string& text) {
  if (SameText(text, "utf-8") || SameText(text, "utf8")) return CodePageUtf8;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value > 65535 || !CodePageAvailable(static_cast<int>(value)))
    throw EToolError("--code-page " + text + ": no code page this system can convert");
  return static_cast<int>(value);
}

// A folder becomes a Cabinet holding its MFS image; a file must already be a Cabinet. The system
// image made from a folder records the code page. A content image is stored in the order the
// story of the system folder `storyFrom` reads it (ContentOrder), when there is one.
std::string CabinetOf(const fs::path& source, bool recordCodePage = false, const fs::path& storyFrom = {}) {
  if (fs::is_directory(source)) {
    TMFS mfs;
    ImportFolder(source, mfs.Root());
    if (recordCodePage) {
      // Ours, also when an extracted book brings it back: replaced by this packing's own.
      mfs.Session()->CreateFile(CodePageRecordFile, 0, true)->Data = CodePageRecord(BookCodePage(), mfs);
    }
    TMFSSaveOrder order;
    if (!storyFrom.empty() && fs::is_directory(storyFrom)) {
      TMFS system;
      ImportFolder(storyFrom, system.Root());
      order = ContentOrder(system, mfs);
    }
    std::string image = mfs.SaveToString(order);
    mfs.Root()->ClearItems();  // the files now live in the image only
#ifdef __GLIBC__
    ::malloc_trim(0);  // and their many small blocks go back to the system before the Cabinet
#endif
    if (image.size() > MaxImageBytes)
      throw EToolError(source.string() + ": a book image holds at most " + std::to_string(MaxImageBytes) + " bytes; this one would be " +
                       std::to_string(image.size()));
    std::vector<TCabMember> members;  // moved in: a braced list would copy the image
    members.push_back({"info.mfs", std::move(image), DosDateTimeNow(), 0x20});
    return BuildCabinet(members);
  }
  if (!fs::is_regular_file(source)) throw EToolError(source.string() + ": no such folder or file");
  std::string cab = ReadDiskFile(source);
  if (cab.size() < 36 || cab.compare(0, 4, "MSCF") != 0) throw EToolError(source.string() + ": not a Cabinet file");
  return cab;
}

#ifdef QUIRELLE_PICTURES
// Qt for decoding pictures and for the metafile helper, for as long as a check runs: no display,
// and of Qt's messages about its own set-up only the grave ones, since the report is the output.
class TPictureDecoding {
public:
  TPictureDecoding() : FApp((Prepare(), FArgc), FArgv) {
    // Metafiles are drawn by a child process of ours, which a hostile picture cannot take down.
    try {
      SetMetafileHelper(OwnExecutablePath());
    } catch (const Exception&) {
    }
  }
  ~TPictureDecoding() { SetMetafileHelper({}); }

private:
  static void Prepare() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
      if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    });
  }
  int FArgc = 1;
  char FName[14] = "quirelle-pack";
  char* FArgv[2] = {FName, nullptr};
  QGuiApplication FApp;
};
#endif

// The author's check: the book read by the viewer's own steps, every problem reported on our
// standard output. True when the book has errors.
bool RunCheck(TBookSource source) {
  TBookReport report;
  {
#ifdef QUIRELLE_PICTURES
    TPictureDecoding decoding;
    TPictureCheck pictures;
    TBook book(std::move(source), &pictures, &report);
#else
    TBook book(std::move(source), nullptr, &report);
#endif
    CheckBook(book, report);
  }
  report.Print(stdout);
  std::fflush(stdout);
  return report.ErrorCount() != 0;
}

// The check of a book file; its content image is read as a reader's viewer reads it.
bool CheckBookFile(const std::string& file) {
  TBookSource source;
  try {
    source.SystemCab = ReadBookBlock(file, SystemBlock);
    source.BookFile = file;
    ApplyCodePageRecord(source);
    source.ContentLoad = StartContentImageLoad(std::nullopt, file);
  } catch (const Exception& e) {
    TBookReport report;
    // Not a book at all, in the reader's words; else what failed in the damaged one.
    const std::string problem = BookFileProblem(file);
    report.Failure(file, 0, problem.empty() ? e : EBookFileError(problem));
    report.Print(stdout);
    return true;
  }
  return RunCheck(std::move(source));
}

// The book's two Cabinets.
struct TPackInput {
  std::string SystemCab, ContentCab;
};

// What a source folder or Cabinet is called when the output would overwrite it.
TRunInput SourceInput(const fs::path& source, const char* which) {
  std::error_code ec;
  return {source, std::string("the ") + which + (fs::is_directory(source, ec) ? " folder" : " Cabinet")};
}

// The book an export reads: a book file of any kind, else the two folders.
TBookSource ExportSource(const std::string& file, const fs::path& system, const fs::path& content) {
  if (file.empty()) return FolderBookSource(system, content);
  if (const std::string problem = BookFileProblem(file); !problem.empty()) throw EToolError(problem);
  TBookSource source;
  source.SystemCab = ReadBookBlock(file, SystemBlock);
  source.BookFile = file;
  ApplyCodePageRecord(source);
  source.ContentLoad = StartContentImageLoad(std::nullopt, file);
  return source;
}

// Any book, from a file or its folders, as an EPUB 3 (u_EpubExport); what the EPUB cannot carry
// goes to standard error.
int ToEpub(const std::string& file, const fs::path& system, const fs::path& content, const fs::path& output) {
  RefuseOverwritingInputs(output, {{file, "the book"}, SourceInput(system, "system"), SourceInput(content, "content")});
  TBookSource source = ExportSource(file, system, content);
  TEpubExportOptions options;
  options.FallbackTitle = (file.empty() ? content.parent_path() : fs::path(file)).stem().string();
#ifdef QUIRELLE_PICTURES
  TPictureDecoding decoding;
  options.ToPng = [](const std::string& path, const std::string& bytes) {
    try {
      const QImage picture = LoadPicture(PictureKindOf(path), bytes);
      QByteArray png;
      QBuffer buffer(&png);
      buffer.open(QIODevice::WriteOnly);
      if (picture.isNull() || !picture.save(&buffer, "PNG")) return std::string();
      return png.toStdString();
    } catch (const Exception&) {
      return std::string();  // no cover rather than no book
    }
  };
#endif
  TBook book(std::move(source));
  std::vector<std::string> notes;
  try {
    book.Load();
    ExportEpub(book, options, output, notes);
  } catch (Exception& e) {
    if (!e.Where().empty()) throw EToolError(e.Message() + " (in " + e.Where() + ")");
    throw;
  }
  for (const std::string& note : notes) std::fprintf(stderr, "quirelle-pack: note: %s\n", note.c_str());
  std::printf("Wrote %s\n", output.string().c_str());
  return 0;
}

int NoViewer(const std::vector<std::string>& looked);

// The viewer run as a child: its messages reach our standard error. Without a display it draws
// off screen.
int RunViewer(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::dup2(2, 1);  // what it prints is for the author
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Any book, from a file or its folders, as one PDF: the viewer prints the story page by page
// (without a window, on no display if there is none), and the pages are merged with the story as
// the outline.
int ToPdf(const std::string& viewer, const std::vector<std::string>& looked, const std::string& file, const fs::path& system,
          const fs::path& content, const fs::path& output, const std::string& pageSize, const std::string& margins) {
  RefuseOverwritingInputs(output, {{file, "the book"}, SourceInput(system, "system"), SourceInput(content, "content"), {viewer, "the viewer program"}});
  if (viewer.empty()) return NoViewer(looked);
  if (!margins.empty() && (std::strtod(margins.c_str(), nullptr) < 0 || std::strtod(margins.c_str(), nullptr) > 100))
    throw EToolError("--margins " + margins + ": give millimetres from 0 to 100");
  std::string folder = (fs::temp_directory_path() / "quirelle-pdf-XXXXXX").string();
  if (!::mkdtemp(folder.data())) throw EToolError("cannot make a folder for the printed pages");
  struct TGone {
    std::string Folder;
    ~TGone() {
      std::error_code ec;
      fs::remove_all(Folder, ec);
    }
  } gone{folder};
  std::vector<std::string> command{viewer, "--print-story", folder};
  if (!pageSize.empty()) command.insert(command.end(), {"--page-size", pageSize});
  if (!margins.empty()) command.insert(command.end(), {"--margins", margins});
  if (file.empty()) command.insert(command.end(), {"--system", system.string(), "--content", content.string()});
  else command.insert(command.end(), {"--", file});
  if (RunViewer(command) != 0) throw EToolError("the viewer could not print the book (it said why above)");
  const int pages = MergeStoryPdf(folder, ReadStoryParts(folder), output);
  std::printf("Wrote %s: %d page%s\n", output.string().c_str(), pages, pages == 1 ? "" : "s");
  return 0;
}

// Written piece by piece: the book is never one more copy in memory. The written book is checked
// before it takes BOOK's name, once our copies are gone, so that the check and the packing never
// hold the book at the same time. Without a viewer it is written as a book document.
int Pack(const std::string& viewer, TPackInput input, const std::string& output, bool force) {
  std::string program;
  fs::perms permissions;
  if (viewer.empty()) {
    program = BookDocumentHeader();
    permissions = UsualPermissions();
  } else {
    program = ReadDiskFile(viewer);
    program.resize(ReadDataBlockIndex(viewer).ProgramSize);
    permissions = fs::status(viewer).permissions() | fs::perms::owner_exec;
  }
  std::vector<TDataBlock> blocks{{"RCDATA", SystemBlock, std::move(input.SystemCab)}, {"RCDATA", ContentBlock, std::move(input.ContentCab)}};
  WriteDiskFileAtomically(output, {program, blocks[0].Data, blocks[1].Data, DataBlockIndex(blocks, program.size())}, permissions,
                          [&](const fs::path& written) {
                            std::vector<TDataBlock>().swap(blocks);
                            std::string().swap(program);
#ifdef __GLIBC__
                            ::malloc_trim(0);
#endif
                            // Forced, the check's verdict would be ignored: not waited for.
                            if (!force && CheckBookFile(written.string()))
                              throw EToolError(output + ": not written, as the book has errors (--force packs it all the same)");
                          });
  return 0;
}

// A book's two images as they are, for packing them again.
TPackInput BlocksOf(const std::string& book) {
  TPackInput input{ReadBookBlock(book, SystemBlock), ReadBookBlock(book, ContentBlock)};
  if (input.SystemCab.empty() || input.ContentCab.empty())
    throw EToolError(book + ": not a book (no data blocks " + SystemBlock + " and " + ContentBlock + ")");
  return input;
}

void LoadBlock(TMFS& mfs, const std::string& book, const char* name) {
  try {
    LoadCabImage(mfs, ReadBookBlock(book, name));
  } catch (const Exception& e) {
    throw EToolError(book + ": " + name + ": " + e.Message());
  }
}

// Names leave the book in the code page it records.
void UseRecordedCodePage(const std::string& book) {
  TMFS system;
  LoadBlock(system, book, SystemBlock);
  if (const int codePage = RecordedCodePage(system)) SetBookCodePage(codePage);
}

int List(const std::string& book) {
  UseRecordedCodePage(book);
  for (const char* name : {SystemBlock, ContentBlock}) {
    TMFS mfs;
    LoadBlock(mfs, book, name);
    std::printf("%s:\n", name);
    ListTree(mfs, stdout);
  }
  return 0;
}

// A folder of ours beside the target, renamed over it once whole (an empty target is replaced):
// it appears whole or not at all, and an author's existing files are never touched.
class TNewFolder {
public:
  explicit TNewFolder(const fs::path& target) : FTarget(target.has_filename() ? target : target.parent_path()) {
    std::error_code ec;
    FTargetExisted = fs::exists(fs::symlink_status(FTarget, ec));
    if (FTargetExisted && !fs::is_directory(fs::symlink_status(FTarget, ec)))
      throw EToolError(FTarget.string() + ": exists and is not a folder");
    if (FTargetExisted && !fs::is_empty(FTarget, ec)) throw EToolError(FTarget.string() + ": exists and is not empty");
    if (FTarget.has_parent_path()) {
      fs::create_directories(FTarget.parent_path(), ec);
      if (ec) throw EToolError(FTarget.parent_path().string() + ": cannot create the folder: " + ec.message());
    }
    std::string pattern = FTarget.string() + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) throw EToolError(FTarget.string() + ": cannot create a folder beside it: " + std::strerror(errno));
    FTemp = pattern;
  }
  ~TNewFolder() {
    std::error_code ec;
    if (!FTemp.empty()) fs::remove_all(FTemp, ec);
  }
  const fs::path& Path() const { return FTemp; }
  void Keep() {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(FTemp)) fs::permissions(entry.path(), UsualPermissions(entry.is_directory()));
    fs::permissions(FTemp, UsualPermissions(true));
    fs::rename(FTemp, FTarget, ec);
    if (ec)
      throw EToolError(FTarget.string() + ": cannot be written (the finished folder " + FTemp.string() + " could not take its name: " +
                       ec.message() + "); nothing was kept");
    FTemp.clear();
  }
  // Takes back a kept folder: the target is as it was before (absent, or an empty folder).
  void Unkeep() {
    std::error_code ec;
    fs::remove_all(FTarget, ec);
    if (FTargetExisted) fs::create_directory(FTarget, ec);
  }

private:
  fs::path FTarget, FTemp;
  bool FTargetExisted = false;
};

int Extract(const std::string& book, const fs::path& folder) {
  RefuseOverwritingInputs(folder, {{book, "the book"}});
  TNewFolder out(folder);
  UseRecordedCodePage(book);
  TMFS system, content;
  LoadBlock(system, book, SystemBlock);
  LoadBlock(content, book, ContentBlock);
  CheckDiskNames(system.Root(), "system");
  CheckDiskNames(content.Root(), "content");
  ExportFolder(system.Root(), out.Path() / "system");
  ExportFolder(content.Root(), out.Path() / "content");
  out.Keep();
  return 0;
}

// Any book, from a file or its folders, as a static web book in a new folder (u_WebExport); its
// toolbar pictures as PNG, as the toolbar shows them.
int ToWeb(const std::string& file, const fs::path& system, const fs::path& content, const fs::path& output) {
  RefuseOverwritingInputs(output, {{file, "the book"}, SourceInput(system, "system"), SourceInput(content, "content")});
  TNewFolder out(output);
  TBookSource source = ExportSource(file, system, content);
  TWebPictures pictures;
#ifdef QUIRELLE_PICTURES
  TPictureDecoding decoding;
  // The pictures as the toolbar shows them, each a PNG.
  class TPngPictures : public IBookPictures {
  public:
    explicit TPngPictures(TWebPictures& out) : FOut(out) {}
    void AddToolbarPicture(const TToolbarPicture& picture, const std::string& bytes, int width, int height) override {
      FOut.Toolbar.push_back(Png(ToolbarImage(picture, bytes, QSize(width, height))));
    }
    void AddNoPicture() override { FOut.Toolbar.emplace_back(); }
    void Logo(const std::string* bytes) override {
      if (bytes) FOut.Logo = Png(LoadPicture(pkBitmap, *bytes));
    }
    static std::string Png(const QImage& image) {
      QByteArray png;
      QBuffer buffer(&png);
      buffer.open(QIODevice::WriteOnly);
      if (image.isNull() || !image.save(&buffer, "PNG")) return {};
      return png.toStdString();
    }

  private:
    TWebPictures& FOut;
  } decoder(pictures);
  TBook book(std::move(source), &decoder);
#else
  TBook book(std::move(source));
#endif
  std::vector<std::string> notes;
  try {
    book.Load();
    book.JoinContentImage();
#ifdef QUIRELLE_PICTURES
    // The splash pictures, as the splash window shows them.
    for (auto [name, png] : {std::pair{"\\SplashS.bmp", &pictures.SplashStart}, std::pair{"\\SplashE.bmp", &pictures.SplashEnd}})
      if (const TMFSFile* picture = FindBookFile(book.SystemImage(), name)) *png = decoder.Png(LoadPicture(pkBitmap, picture->Data));
#endif
    ExportWeb(book, pictures, out.Path(), notes);
  } catch (Exception& e) {
    if (!e.Where().empty()) throw EToolError(e.Message() + " (in " + e.Where() + ")");
    throw;
  }
  out.Keep();
  for (const std::string& note : notes) std::fprintf(stderr, "quirelle-pack: note: %s\n", note.c_str());
  std::printf("Wrote %s: open %s/index.html in a browser, or serve the folder\n", output.string().c_str(), output.string().c_str());
  return 0;
}

#ifdef QUIRELLE_PICTURES

// The EPUB's files into the content folder, at their paths in the container.
void WriteEpubFiles(const TEpub& epub, const fs::path& folder) {
  for (const auto& [path, data] : epub.Files) {
    if (path.find('\\') != std::string::npos) throw EToolError("the EPUB names a file \"" + path + "\" that no book can hold (a backslash)");
    const fs::path file = folder / path;
    fs::create_directories(file.parent_path());
    WriteDiskFileAtomically(file, data);
  }
}
#endif

// The author's guide as installed beside us (the package's HTML, or the Markdown of an install
// from source), else the one in the source tree this packer was built from.
std::string AuthorsGuide() {
  std::error_code ec;
  const fs::path prefix = fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path();
  for (const fs::path& guide : {prefix / "share/doc/quirelle/authoring.html", prefix / "share/doc/quirelle/authoring.md",
                                fs::path(QUIRELLE_GUIDE_IN_SOURCE)})
    if (guide.is_absolute() && fs::is_regular_file(guide, ec)) return guide.string();
  return "docs/authoring.md in Quirelle's sources";
}

// quirelle-pack --new: a book's system folder from a folder of pages, or both folders from an
// EPUB.
int NewBook(const fs::path& folder, const fs::path& source, bool epub) {
#ifdef QUIRELLE_PICTURES
  const fs::path system = folder / "system";
  const std::string name = fs::absolute(folder).lexically_normal().filename().string();
  // The description files are written in UTF-8, which the packer then finds in them.
  SetBookCodePage(CodePageUtf8);
  const TRunInput input{source, epub ? "the EPUB" : "the folder of pages"};
  RefuseOverwritingInputs(system, {input});
  if (epub) RefuseOverwritingInputs(folder / "content", {input});
  TMFS content;
  std::optional<TNewFolder> contentFolder;
  TNewBook book;
  if (epub) {
    TEpub read;
    try {
      read = ReadEpub(ReadDiskFile(source));
      for (const std::string& note : read.Notes) std::printf("%s: note: %s\n", source.string().c_str(), note.c_str());
    } catch (const EEpubError& e) {
      throw EToolError(source.string() + ": " + e.Message());
    }
    contentFolder.emplace(folder / "content");
    WriteEpubFiles(read, contentFolder->Path());
    ImportFolder(contentFolder->Path(), content.Root());
    book = PlanEpubBook(read, content, name);
    for (const auto& [path, data] : book.ContentFiles) WriteDiskFileAtomically(contentFolder->Path() / path, data);
  } else {
    if (!fs::is_directory(source)) throw EToolError(source.string() + ": no such folder");
    ImportFolder(source, content.Root());
    book = PlanNewBook(content, name);
  }
  TNewFolder systemFolder(system);
  {
    TPictureDecoding qt;
    for (auto [file, bytes] : NewBookSystemFiles(book, ToolbarPictureBmp)) {
      std::replace(file.begin(), file.end(), '\\', '/');
      const fs::path path = systemFolder.Path() / file;
      fs::create_directories(path.parent_path());
      WriteDiskFileAtomically(path, bytes);
    }
  }
  // Both folders or neither: a content folder left alone would make a second try refuse.
  if (contentFolder) contentFolder->Keep();
  try {
    systemFolder.Keep();
  } catch (...) {
    if (contentFolder) contentFolder->Unkeep();
    throw;
  }
  const std::string p = epub ? (folder / "content").string() : source.string(), s = system.string();
  std::printf("Started \"%s\" in %s: %zu page%s, %zu chapter%s, a toolbar of %zu buttons.\n", book.Title.c_str(), s.c_str(),
              book.Pages.size(), book.Pages.size() == 1 ? "" : "s", book.ChapterCount, book.ChapterCount == 1 ? "" : "s",
              NewBookPictureFiles(!book.ContentFiles.empty()).size());
  std::printf("Next:\n"
              "  1. Preview: quirelle-viewer --system %s --content %s\n"
              "     Leave it open: each file you save shows at once, and a pane lists what the check finds.\n"
              "  2. Edit %s/Variables.xml (the title, the author) and %s/Story.xml (the order,\n"
              "     the page names); System.xml holds the window size and the toolbar's colours.\n"
              "  3. Pack:    quirelle-pack --document --system %s --content %s -o %s.qbook\n"
              "     and read it: quirelle-viewer %s.qbook\n"
              "Every file and key is described in the author's guide: %s\n",
              s.c_str(), p.c_str(), s.c_str(), s.c_str(), s.c_str(), p.c_str(), name.c_str(), name.c_str(), AuthorsGuide().c_str());
  return 0;
#else
  (void)folder, (void)source, (void)epub;
  throw EToolError("--new draws the toolbar's pictures with Qt, and this quirelle-pack was built without it");
#endif
}

// The viewer installed with the packer: in the same folder once installed, one folder up in a
// build tree.
// Where it was looked for is added to `looked`.
std::string ViewerBesideUs(std::vector<std::string>& looked) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  for (const fs::path& candidate : {self.parent_path() / "quirelle-viewer", self.parent_path().parent_path() / "quirelle-viewer"}) {
    if (fs::is_regular_file(candidate, ec)) return candidate.string();
    looked.push_back(candidate.string());
  }
  return {};
}

// Without a viewer there is nothing to pack into: say so, rather than the usage.
int NoViewer(const std::vector<std::string>& looked) {
  std::fputs("quirelle-pack: the viewer program quirelle-viewer was not found", stderr);
  for (std::size_t i = 0; i < looked.size(); ++i) std::fprintf(stderr, "%s %s", i == 0 ? "; looked for" : ",", looked[i].c_str());
  std::fputs(".\nName one with --viewer VIEWER, or install quirelle-viewer beside quirelle-pack.\n", stderr);
  return 1;
}

int Run(const std::vector<std::string>& args) {
#ifdef QUIRELLE_PICTURES
  if (args.size() == 1 && args[0] == "--draw-metafiles") {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "quirelle-pack";
    static char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);  // fonts for the text of EMF pictures
    return RunMetafileHelper();
  }
#endif
  if (args.empty()) {
    std::fputs(Usage, stderr);
    return 2;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (args[0] == "--version") {
    std::puts("quirelle-pack " QUIRELLE_VERSION);
    return 0;
  }
  if (args[0] == "--list" && args.size() == 2) return List(args[1]);
  if (args[0] == "--extract" && args.size() == 3) return Extract(args[1], args[2]);
  if (args[0] == "--new" && args.size() == 4 && (args[2] == "--content" || args[2] == "--epub"))
    return NewBook(args[1], args[3], args[2] == "--epub");
  std::string viewer, system, content, output, book, codePage, from, pageSize, margins;
  bool check = false, force = false, document = false, epub = false, pdf = false, web = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--check" || args[i] == "--force" || args[i] == "--document" || args[i] == "--to-epub" || args[i] == "--to-pdf" ||
        args[i] == "--to-web") {
      (args[i] == "--check" ? check : args[i] == "--force" ? force : args[i] == "--to-epub" ? epub : args[i] == "--to-pdf" ? pdf
       : args[i] == "--to-web" ? web : document) = true;
      continue;
    }
    if ((check || epub || pdf || web) && system.empty() && content.empty() && args[i].rfind("--", 0) != 0 && args[i] != "-o" && book.empty()) {
      book = args[i];
      continue;
    }
    std::string* target = args[i] == "--viewer" ? &viewer : args[i] == "--system" ? &system
                          : args[i] == "--content" ? &content : args[i] == "-o" ? &output
                          : args[i] == "--code-page" ? &codePage : args[i] == "--from" ? &from
                          : args[i] == "--page-size" && pdf ? &pageSize : args[i] == "--margins" && pdf ? &margins : nullptr;
    if (!target || i + 1 >= args.size()) {
      std::fprintf(stderr, "quirelle-pack: unexpected argument \"%s\"\n\n%s", args[i].c_str(), Usage);
      return 2;
    }
    *target = args[++i];
  }
  std::vector<std::string> looked;
  if (document && !viewer.empty()) {
    std::fputs(Usage, stderr);
    return 2;
  }
  if (viewer.empty() && !document) viewer = ViewerBesideUs(looked);
  if (!codePage.empty() && (!book.empty() || !from.empty())) {
    std::fputs(Usage, stderr);
    return 2;
  }
  if (!system.empty()) SetBookCodePage(codePage.empty() ? ChosenCodePage(system, content) : CodePageArgument(codePage));
  if (epub || pdf || web) {
    if (output.empty() || check || force || document || epub + pdf + web > 1 || !from.empty() || book.empty() == (system.empty() || content.empty()) ||
        (!book.empty() && (!system.empty() || !content.empty()))) {
      std::fputs(Usage, stderr);
      return 2;
    }
    if (pdf) return ToPdf(viewer, looked, book, system, content, output, pageSize, margins);
    if (web) return ToWeb(book, system, content, output);
    return ToEpub(book, system, content, output);
  }
  if (check) {
    if (!output.empty() || force || document || !from.empty() || book.empty() == (system.empty() || content.empty()) ||
        (!book.empty() && (!system.empty() || !content.empty()))) {
      std::fputs(Usage, stderr);
      return 2;
    }
    if (!book.empty()) return CheckBookFile(book) ? 1 : 0;
    TBookSource source{CabinetOf(system, true), CabinetOf(content, false, system)};
    return RunCheck(std::move(source)) ? 1 : 0;
  }
  if (output.empty() || (from.empty() ? system.empty() || content.empty() : !system.empty() || !content.empty())) {
    std::fputs(Usage, stderr);
    return 2;
  }
  if (viewer.empty() && !document) return NoViewer(looked);
  RefuseOverwritingInputs(output, {SourceInput(system, "system"), SourceInput(content, "content"), {from, "the book named by --from"},
                                   {viewer, "the viewer program"}});
  TPackInput input = from.empty() ? TPackInput{CabinetOf(system, true), CabinetOf(content, false, system)} : BlocksOf(from);
  return Pack(viewer, std::move(input), output, force);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const Exception& e) {
    std::fprintf(stderr, "quirelle-pack: %s\n", e.Message().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quirelle-pack: %s\n", e.what());
  }
  return 1;
}
