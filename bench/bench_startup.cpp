// Start-up: from process start to the first page's load-finished, for a viewer carrying a book
// of more than 50 MB, beside a bare QWebEngineView program that loads the same first page from
// disk, in the same run. Runs each several times (as separate processes) and prints the best.
// The same book with a toolbar of 30 buttons and 30 pictures of every kind runs beside it.
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
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include "u_CabWriter.h"
#include "u_DataBlocks.h"
#include "u_DiskFolder.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Wall time of one run, the program's own figure and its peak memory (the viewer's process,
// not the engine's helpers).
double RunMs(const std::string& command, long long& own, long& peakKB) {
  auto t0 = std::chrono::steady_clock::now();
  own = -1;
  peakKB = -1;
  int out[2];
  if (::pipe(out) != 0) return 0;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::execl("/bin/sh", "sh", "-c", ("exec env " + command).c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* p = ::fdopen(out[0], "r");
  char line[512];
  while (p && std::fgets(line, sizeof line, p))
    if (std::sscanf(line, "ms=%lld", &own) == 1) {}
  if (p) std::fclose(p);
  int status = 0;
  struct rusage usage {};
  if (::wait4(child, &status, 0, &usage) == child) peakKB = usage.ru_maxrss;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
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
    std::string page = "<html><body><pre>";
    while (page.size() < 26000) {
      seed = seed * 1664525u + 1013904223u;
      page += static_cast<char>('!' + (seed >> 24) % 90);
    }
    page += "</pre></body></html>";
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
  auto makeBook = [&](const fs::path& systemFolder, const fs::path& book) {
    TMFS system;
    ImportFolder(systemFolder, system.Root());
    std::vector<TDataBlock> blocks{
        {"RCDATA", "SYSTEM_MFS", BuildCabinet({{"info.mfs", system.SaveToString(), DosDateTimeNow(), 0x20}})},
        {"RCDATA", "FILES_MFS", contentCab}};
    WriteDiskFileAtomically(book, program + BuildDataBlocks(blocks, program.size()));
    fs::permissions(book, fs::perms::owner_all);
  };
  fs::path book = work / "book", toolbarBook = work / "toolbar-book", baselineBook = work / "baseline-book";
  makeBook(work / "system", book);
  makeBook(work / "toolbar-system", toolbarBook);
  const bool baseline = argc > 3;
  if (baseline) {
    program = ReadDiskFile(argv[3]);
    makeBook(work / "system", baselineBook);
  }

  std::string env = "QTWEBENGINE_DISABLE_SANDBOX=1 ";
  std::string viewer = env + "QUIRELLE_CHECK=1 '" + book.string() + "'";
  std::string withToolbar = env + "QUIRELLE_CHECK=1 '" + toolbarBook.string() + "'";
  std::string bare = env + "'" + (build / "bench" / "bare_view").string() + "' '" + (work / "content" / "first.htm").string() + "'";
  std::string before = env + "QUIRELLE_CHECK=1 '" + baselineBook.string() + "'";
  long long own = 0;
  long peak = 0;
  RunMs(viewer, own, peak);  // warm the file cache and the engine's files
  RunMs(bare, own, peak);
  struct TBest {
    double Ms = 1e30;
    long long Own = -1;
    long PeakKB = -1;
    void Run(const std::string& command) {
      long long o = 0;
      long kb = 0;
      const double ms = RunMs(command, o, kb);
      if (ms < Ms) Ms = ms, Own = o;
      PeakKB = std::max(PeakKB, kb);
    }
  } bestViewer, bestToolbar, bestBare, bestBefore;
  for (int i = 0; i < runs; ++i) {
    bestViewer.Run(viewer);
    bestToolbar.Run(withToolbar);
    bestBare.Run(bare);
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
  line("bare QWebEngineView, page from disk", bestBare);
  if (baseline) line("baseline viewer (given), same book", bestBefore);
  ratio("ratio viewer / bare", bestViewer, bestBare);
  ratio("ratio with toolbar / without", bestToolbar, bestViewer);
  if (baseline) ratio("ratio baseline / bare", bestBefore, bestBare);
  if (std::getenv("QUIRELLE_BENCH_KEEP"))
    std::printf("kept %s\n", work.string().c_str());
  else
    fs::remove_all(work);
  return 0;
}
