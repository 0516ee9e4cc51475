// Start-up: from process start to the first page's load-finished, for a viewer carrying a book
// of more than 50 MB, beside a bare QWebEngineView program that loads the same first page from
// disk, in the same run. Runs each several times (as separate processes) and prints the best.
// The same book with a toolbar of 30 buttons and 30 pictures of every kind runs beside it, and
// the same book as a book document given to the plain viewer.
// Run it under a display: xvfb-run -a build/release/bench/bench_startup BUILD_DIR [RUNS] [BASELINE]
// BASELINE is a quirelle-viewer built from an earlier commit: the same book packed into it runs
// beside the others, for before-and-after figures from one run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include "bench_util.h"
#include "u_CabWriter.h"
#include "u_DataBlocks.h"
#include "u_DiskFolder.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Encoded(const QImage& image, const char* format) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, format);
  return bytes.toStdString();
}

// Thirty pictures, six of each kind, and thirty buttons using them.
void WriteToolbar(const fs::path& folder, const fs::path& makeMetafile) {
  std::string images, buttons;
  const char* kinds[] = {"bmp", "ico", "jpg", "wmf", "emf"};
  for (int i = 0; i < 30; ++i) {
    const std::string kind = kinds[i % 5];
    const std::string name = "p" + std::to_string(i) + "." + kind;
    if (kind == "wmf" || kind == "emf") {
      std::string command = "'" + makeMetafile.string() + "' " + kind + " '" + (folder / name).string() + "' 24";
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not run %s\n", command.c_str());
    } else {
      QImage image(24, 24, QImage::Format_ARGB32);
      image.fill(QColor(255, 0, 255));
      QPainter(&image).fillRect(4 + i % 8, 4, 12, 16, QColor(40, 70, 110));
      Write(folder / name, Encoded(image, kind == "bmp" ? "BMP" : kind == "ico" ? "ICO" : "JPEG"));
    }
    images += "<Img Name=\"n" + std::to_string(i) + "\" Path=\"" + name + "\"/>";
    buttons += "<Btn Kind=" + std::to_string(3 + i % 15) + " Caption=\"Button " + std::to_string(i) + "\" Image=\"n" +
               std::to_string(i) + "\"/>";
  }
  Write(folder / "tb.xml", "<ToolButtons><Images>" + images + "</Images><Buttons>" + buttons + "</Buttons></ToolButtons>");
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);  // for the picture writers
  fs::path build = argc > 1 ? fs::path(argv[1]) : fs::path("build/release");
  int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  fs::path work = fs::path("/dev/shm") / ("quirelle-startup-" + std::to_string(::getpid()));
  fs::remove_all(work);

  // 2,000 pages of about 26 KB of varied text: over 50 MB, and little of it compresses away.
  std::string first = "<html><head><title>First</title><link rel=stylesheet href='style.css'></head>"
                      "<body><h1>The first page</h1><p>Opening the book.</p></body></html>";
  Write(work / "content" / "first.htm", first);
  Write(work / "content" / "style.css", "body { font-family: serif; }");
  std::uint32_t seed = 1;
  for (int i = 0; i < 2000; ++i) {
    const std::string page = NoisyPage(seed, 26000, '!', 90);
    Write(work / "content" / ("part" + std::to_string(i / 100)) / ("p" + std::to_string(i) + ".htm"), page);
  }
  Write(work / "system" / "System.xml", "<System Story=\"Story.xml\"/>");
  Write(work / "system" / "Story.xml", "<Story><item page=\"\\first.htm\"/></Story>");

  Write(work / "toolbar-system" / "System.xml",
        "<System Story=\"Story.xml\" ToolButtons=\"toolbar\\tb.xml\"><toolbar ToolbarShowCaption=True/></System>");
  Write(work / "toolbar-system" / "Story.xml", "<Story><item page=\"\\first.htm\"/></Story>");
  WriteToolbar(work / "toolbar-system" / "toolbar", build / "make_metafile");

  TMFS content;
  ImportFolder(work / "content", content.Root());
  std::string contentImage = content.SaveToString();
  std::string contentCab = BuildCabinet({{"info.mfs", contentImage, DosDateTimeNow(), 0x20}});
  std::string program = ReadDiskFile(build / "quirelle-viewer");
  // Without a program, the book is written as a book document.
  auto makeBook = [&](const fs::path& systemFolder, const fs::path& book, const std::string& viewerProgram) {
    TMFS system;
    ImportFolder(systemFolder, system.Root());
    std::vector<TDataBlock> blocks{
        {"RCDATA", "SYSTEM_MFS", BuildCabinet({{"info.mfs", system.SaveToString(), DosDateTimeNow(), 0x20}})},
        {"RCDATA", "FILES_MFS", contentCab}};
    const std::string head = viewerProgram.empty() ? BookDocumentHeader() : viewerProgram;
    WriteDiskFileAtomically(book, head + BuildDataBlocks(blocks, head.size()));
    fs::permissions(book, fs::perms::owner_all);
  };
  fs::path book = work / "book", toolbarBook = work / "toolbar-book", baselineBook = work / "baseline-book",
           document = work / "book.qbook";
  makeBook(work / "system", book, program);
  makeBook(work / "toolbar-system", toolbarBook, program);
  makeBook(work / "system", document, {});
  const bool baseline = argc > 3;
  if (baseline) {
    makeBook(work / "system", baselineBook, ReadDiskFile(argv[3]));
  }

  // Through env, so the variables are set for the program alone.
  const std::string sandbox = "QTWEBENGINE_DISABLE_SANDBOX=1";
  const std::vector<std::string> viewer{"env", sandbox, "QUIRELLE_CHECK=1", book.string()};
  const std::vector<std::string> withToolbar{"env", sandbox, "QUIRELLE_CHECK=1", toolbarBook.string()};
  const std::vector<std::string> bare{"env", sandbox, (build / "bench" / "bare_view").string(), (work / "content" / "first.htm").string()};
  const std::vector<std::string> before{"env", sandbox, "QUIRELLE_CHECK=1", baselineBook.string()};
  const std::vector<std::string> fromDocument{"env", sandbox, "QUIRELLE_CHECK=1", (build / "quirelle-viewer").string(), document.string()};
  RunChild(viewer);  // warm the file cache and the engine's files
  RunChild(bare);
  // The best wall time with the program's own figure (ms= in its output), and the highest peak.
  struct TBest {
    double Ms = 1e30;
    long long Own = -1;
    long PeakKB = -1;
    void Run(const std::vector<std::string>& command) {
      const TChildRun run = RunChild(command);
      long long own = -1;
      if (const auto at = run.Out.find("ms="); at != std::string::npos) own = std::atoll(run.Out.c_str() + at + 3);
      if (run.Ms < Ms) Ms = run.Ms, Own = own;
      PeakKB = std::max(PeakKB, run.PeakKiB);
    }
  } bestViewer, bestToolbar, bestBare, bestBefore, bestDocument;
  for (int i = 0; i < runs; ++i) {
    bestViewer.Run(viewer);
    bestToolbar.Run(withToolbar);
    bestBare.Run(bare);
    bestDocument.Run(fromDocument);
    if (baseline) bestBefore.Run(before);
  }
  auto line = [](const char* what, const TBest& b) {
    std::printf("  %-44s %8.0f ms  (first page loaded at %lld ms, peak %ld MB)\n", what, b.Ms, b.Own, b.PeakKB / 1024);
  };
  auto ratio = [](const char* what, const TBest& a, const TBest& b) {
    std::printf("  %-44s %8.2f (to first page: %.2f)\n", what, a.Ms / b.Ms,
                b.Own > 0 ? static_cast<double>(a.Own) / static_cast<double>(b.Own) : 0.0);
  };
  std::printf("Start-up to the first page (best of %d runs)\n", runs);
  std::printf("book: content image %.1f MB, executable %.1f MB\n", static_cast<double>(contentImage.size()) / 1e6,
              static_cast<double>(fs::file_size(book)) / 1e6);
  line("packed viewer, whole run", bestViewer);
  line("packed viewer, 30 buttons with pictures", bestToolbar);
  line("plain viewer given the book as a document", bestDocument);
  line("bare QWebEngineView, page from disk", bestBare);
  if (baseline) line("baseline viewer (given), same book", bestBefore);
  ratio("ratio viewer / bare", bestViewer, bestBare);
  ratio("ratio with toolbar / without", bestToolbar, bestViewer);
  ratio("ratio document / packed viewer", bestDocument, bestViewer);
  if (baseline) ratio("ratio baseline / bare", bestBefore, bestBare);
  if (std::getenv("QUIRELLE_BENCH_KEEP"))
    std::printf("kept %s\n", work.string().c_str());
  else
    fs::remove_all(work);
  return 0;
}
