// quirelle-pack: makes a book (a copy of the viewer carrying the system and content images),
// and lists or extracts the images of a packed book.
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifdef QUIRELLE_PICTURES
#include <QGuiApplication>

#include "u_Pictures.h"
#endif

#include "u_Book.h"
#include "u_BookCheck.h"
#include "u_CabWriter.h"
#include "u_DataBlocks.h"
#include "u_DiskFolder.h"
#include "u_ImageSource.h"
#include "u_MFS.h"
#include "u_MFSCab.h"

namespace fs = std::filesystem;

namespace {

const char* const Usage =
    "Usage: quirelle-pack [--viewer VIEWER] [--force] --system SOURCE --content SOURCE -o BOOK\n"
    "       quirelle-pack --check --system SOURCE --content SOURCE\n"
    "       quirelle-pack --check BOOK\n"
    "       quirelle-pack --list BOOK\n"
    "       quirelle-pack --extract BOOK FOLDER\n"
    "\n"
    "Packs a book into a copy of the viewer program VIEWER, written to BOOK. VIEWER defaults to\n"
    "the quirelle-viewer installed beside quirelle-pack.\n"
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
    "  --list BOOK            print the trees of the two images of a packed book\n"
    "  --extract BOOK FOLDER  write them into FOLDER/system and FOLDER/content\n"
    "File names are converted between UTF-8 and the book's code page.\n";

const char* const SystemBlock = "SYSTEM_MFS";
const char* const ContentBlock = "FILES_MFS";

// A folder becomes a Cabinet holding its MFS image; a file must already be a Cabinet.
std::string CabinetOf(const fs::path& source) {
  if (fs::is_directory(source)) {
    TMFS mfs;
    ImportFolder(source, mfs.Root());
    std::string image = mfs.SaveToString();
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
    TBook book(std::move(source), &pictures);
#else
    TBook book(std::move(source));
#endif
    CheckBook(book, report);
  }
  report.Print(stdout);
  std::fflush(stdout);
  return report.ErrorCount() != 0;
}

// The check of a packed book; its content image is read as a reader's viewer reads it.
bool CheckBookFile(const std::string& file) {
  TBookSource source;
  try {
    source = {ReadDataBlock(file, "RCDATA", SystemBlock), std::nullopt, StartContentImageLoad(std::nullopt, file), file};
  } catch (const Exception& e) {
    TBookReport report;
    report.Failure(file, 0, e);  // not a packed book, or a damaged one
    report.Print(stdout);
    return true;
  }
  return RunCheck(std::move(source));
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

int Pack(const std::string& viewer, const std::string& system, const std::string& content, const std::string& output,
         bool force) {
  for (const std::string& input : {viewer, system, content})
    if (SameFile(input, output)) throw EToolError(output + ": would replace the input " + input);
  std::string program = ReadDiskFile(viewer);
  program.resize(ReadDataBlockIndex(viewer).ProgramSize);
  std::vector<TDataBlock> blocks{{"RCDATA", SystemBlock, CabinetOf(system)},
                                 {"RCDATA", ContentBlock, CabinetOf(content)}};
  // Written piece by piece: the book is never one more copy in memory. The written book is
  // checked before it takes BOOK's name, once our copies are gone, so that the check and the
  // packing never hold the book at the same time.
  WriteDiskFileAtomically(output, {program, blocks[0].Data, blocks[1].Data, DataBlockIndex(blocks, program.size())},
                          fs::status(viewer).permissions() | fs::perms::owner_exec, [&](const fs::path& written) {
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

void LoadBlock(TMFS& mfs, const std::string& book, const char* name) {
  try {
    LoadCabImage(mfs, ReadDataBlock(book, "RCDATA", name));
  } catch (const Exception& e) {
    throw EToolError(book + ": " + name + ": " + e.Message());
  }
}

int List(const std::string& book) {
  for (const char* name : {SystemBlock, ContentBlock}) {
    TMFS mfs;
    LoadBlock(mfs, book, name);
    std::printf("%s:\n", name);
    ListTree(mfs, stdout);
  }
  return 0;
}

int Extract(const std::string& book, const fs::path& folder) {
  std::error_code ec;
  if (fs::exists(folder) && !fs::is_empty(folder, ec)) throw EToolError(folder.string() + ": exists and is not empty");
  TMFS system, content;
  LoadBlock(system, book, SystemBlock);
  LoadBlock(content, book, ContentBlock);
  CheckDiskNames(system.Root(), "system");
  CheckDiskNames(content.Root(), "content");
  // Built in a new folder of our own beside the target and renamed: the folder appears whole or
  // not at all, and nothing that was there before is ever removed.
  std::string pattern = (folder.has_filename() ? folder : folder.parent_path()).string() + ".XXXXXX";
  if (!::mkdtemp(pattern.data())) throw EToolError(folder.string() + ": cannot create a folder beside it: " + std::strerror(errno));
  const fs::path temp = pattern;
  try {
    ExportFolder(system.Root(), temp / "system");
    ExportFolder(content.Root(), temp / "content");
    fs::rename(temp, folder);  // replaces an empty folder only
  } catch (...) {
    fs::remove_all(temp, ec);
    throw;
  }
  return 0;
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
  if (args[0] == "--list" && args.size() == 2) return List(args[1]);
  if (args[0] == "--extract" && args.size() == 3) return Extract(args[1], args[2]);
  std::string viewer, system, content, output, book;
  bool check = false, force = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--check" || args[i] == "--force") {
      (args[i] == "--check" ? check : force) = true;
      continue;
    }
    if (check && system.empty() && content.empty() && args[i].rfind("--", 0) != 0 && book.empty()) {
      book = args[i];
      continue;
    }
    std::string* target = args[i] == "--viewer" ? &viewer : args[i] == "--system" ? &system
                          : args[i] == "--content" ? &content : args[i] == "-o" ? &output : nullptr;
    if (!target || i + 1 >= args.size()) {
      std::fprintf(stderr, "quirelle-pack: unexpected argument \"%s\"\n\n%s", args[i].c_str(), Usage);
      return 2;
    }
    *target = args[++i];
  }
  std::vector<std::string> looked;
  if (viewer.empty()) viewer = ViewerBesideUs(looked);
  if (check) {
    if (!output.empty() || force || book.empty() == (system.empty() || content.empty()) ||
        (!book.empty() && (!system.empty() || !content.empty()))) {
      std::fputs(Usage, stderr);
      return 2;
    }
    if (!book.empty()) return CheckBookFile(book) ? 1 : 0;
    return RunCheck({CabinetOf(system), CabinetOf(content)}) ? 1 : 0;
  }
  if (system.empty() || content.empty() || output.empty()) {
    std::fputs(Usage, stderr);
    return 2;
  }
  if (viewer.empty()) return NoViewer(looked);
  return Pack(viewer, system, content, output, force);
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
