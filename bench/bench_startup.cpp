// Start-up: from process start to the first page's load-finished, for a viewer carrying books of
// 48 and 240 MB, beside a bare QWebEngineView program that loads the same first page from disk,
// in the same run, with the peak memory of each. Runs each several times (as separate
// processes) and prints the best. The smaller book also runs with a toolbar of 30 buttons and 30
// pictures of every kind, and as a book document given to the plain viewer.
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
#include "u_Book.h"
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

// One book of the run: its content image, stored in the order the packer gives it, and the
// programs that start it.
struct TCase {
  std::string Name;
  double ContentMB = 0;
  std::vector<std::string> Viewer, Bare, Baseline, Document, Toolbar;
};

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);  // for the picture writers
  fs::path build = argc > 1 ? fs::path(argv[1]) : fs::path("build/release");
  int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const bool baseline = argc > 3;
  fs::path work = fs::path("/dev/shm") / ("quirelle-startup-" + std::to_string(::getpid()));
  fs::remove_all(work);
  const std::string program = ReadDiskFile(build / "quirelle-viewer");
  const std::string baselineProgram = baseline ? ReadDiskFile(argv[3]) : std::string();
  // Through env, so the variables are set for the program alone.
  const std::string sandbox = "QTWEBENGINE_DISABLE_SANDBOX=1";

  // Books of 5,000 and 25,000 pages of about 9.6 KB of varied text (48 and 240 MB, little of it
  // compresses away), every page in the story, the first one at the top.
  std::vector<TCase> cases;
  for (const auto& [name, count] : {std::pair<std::string, int>{"5,000 pages", 5000}, {"25,000 pages", 25000}}) {
    const fs::path dir = work / std::to_string(count);
    std::string story = "<Story><item page=\"\\first.htm\"/>";
    Write(dir / "content" / "first.htm", "<html><head><title>First</title><link rel=stylesheet href='style.css'></head>"
                                         "<body><h1>The first page</h1><p>Opening the book.</p></body></html>");
    Write(dir / "content" / "style.css", "body { font-family: serif; }");
    std::uint32_t seed = 1;
    for (int i = 0; i < count; ++i) {
      const std::string page = "part" + std::to_string(i / 100) + "\\p" + std::to_string(i) + ".htm";
      Write(dir / "content" / ("part" + std::to_string(i / 100)) / ("p" + std::to_string(i) + ".htm"), NoisyPage(seed, 9600, '!', 90));
      story += "\n<item page=\"\\" + page + "\"/>";
    }
    Write(dir / "system" / "System.xml", "<System Story=\"Story.xml\"/>");
    Write(dir / "system" / "Story.xml", story + "</Story>");
    TMFS system, content;
    ImportFolder(dir / "system", system.Root());
    ImportFolder(dir / "content", content.Root());
    const std::string contentImage = content.SaveToString(ContentOrder(system, content));
    const std::string contentCab = BuildCabinet({{"info.mfs", contentImage, DosDateTimeNow(), 0x20}});
    // Without a program, the book is written as a book document.
    auto makeBook = [&](const fs::path& systemFolder, const fs::path& book, const std::string& viewerProgram) {
      TMFS image;
      ImportFolder(systemFolder, image.Root());
      std::vector<TDataBlock> blocks{
          {"RCDATA", "SYSTEM_MFS", BuildCabinet({{"info.mfs", image.SaveToString(), DosDateTimeNow(), 0x20}})},
          {"RCDATA", "FILES_MFS", contentCab}};
      const std::string head = viewerProgram.empty() ? BookDocumentHeader() : viewerProgram;
      WriteDiskFileAtomically(book, head + BuildDataBlocks(blocks, head.size()));
      fs::permissions(book, fs::perms::owner_all);
    };
    TCase c;
    c.Name = name;
    c.ContentMB = static_cast<double>(contentImage.size()) / 1e6;
    makeBook(dir / "system", dir / "book", program);
    c.Viewer = {"env", sandbox, "QUIRELLE_CHECK=1", (dir / "book").string()};
    c.Bare = {"env", sandbox, (build / "bench" / "bare_view").string(), (dir / "content" / "first.htm").string()};
    if (baseline) {
      makeBook(dir / "system", dir / "baseline-book", baselineProgram);
      c.Baseline = {"env", sandbox, "QUIRELLE_CHECK=1", (dir / "baseline-book").string()};
    }
    if (count == 5000) {
      makeBook(dir / "system", dir / "book.qbook", {});
      c.Document = {"env", sandbox, "QUIRELLE_CHECK=1", (build / "quirelle-viewer").string(), (dir / "book.qbook").string()};
      Write(dir / "toolbar-system" / "System.xml",
            "<System Story=\"Story.xml\" ToolButtons=\"toolbar\\tb.xml\"><toolbar ToolbarShowCaption=True/></System>");
      Write(dir / "toolbar-system" / "Story.xml", story + "</Story>");
      WriteToolbar(dir / "toolbar-system" / "toolbar", build / "make_metafile");
      makeBook(dir / "toolbar-system", dir / "toolbar-book", program);
      c.Toolbar = {"env", sandbox, "QUIRELLE_CHECK=1", (dir / "toolbar-book").string()};
    }
    fs::remove_all(dir / "content" / "part0");  // the bare view needs only the first page
    cases.push_back(std::move(c));
  }

  // The best wall time with the program's own figure (ms= in its output), and the highest peak.
  struct TBest {
    double Ms = 1e30;
    long long Own = -1;
    long PeakKB = -1;
    void Run(const std::vector<std::string>& command) {
      if (command.empty()) return;
      const TChildRun run = RunChild(command);
      long long own = -1;
      if (const auto at = run.Out.find("ms="); at != std::string::npos) own = std::atoll(run.Out.c_str() + at + 3);
      if (run.Ms < Ms) Ms = run.Ms, Own = own;
      PeakKB = std::max(PeakKB, run.PeakKiB);
    }
  };
  auto line = [](const char* what, const TBest& b) {
    std::printf("  %-44s %8.0f ms  (first page loaded at %lld ms, peak %ld MB)\n", what, b.Ms, b.Own, b.PeakKB / 1024);
  };
  auto ratio = [](const char* what, const TBest& a, const TBest& b) {
    std::printf("  %-44s %8.2f (to first page: %.2f)\n", what, a.Ms / b.Ms,
                b.Own > 0 ? static_cast<double>(a.Own) / static_cast<double>(b.Own) : 0.0);
  };
  std::printf("Start-up to the first page (best of %d runs)\n", runs);
  for (const TCase& c : cases) {
    RunChild(c.Viewer);  // warm the file cache and the engine's files
    RunChild(c.Bare);
    TBest viewer, bare, before, document, toolbar;
    for (int i = 0; i < runs; ++i) {
      viewer.Run(c.Viewer);
      bare.Run(c.Bare);
      before.Run(c.Baseline);
      document.Run(c.Document);
      toolbar.Run(c.Toolbar);
    }
    std::printf("book of %s: content image %.1f MB\n", c.Name.c_str(), c.ContentMB);
    line("packed viewer, whole run", viewer);
    line("bare QWebEngineView, page from disk", bare);
    ratio("ratio viewer / bare", viewer, bare);
    std::printf("  %-44s %8.2f\n", "peak above bare / content image", (viewer.PeakKB - bare.PeakKB) / 1024.0 / (c.ContentMB / 1.048576));
    if (baseline) {
      line("baseline viewer (given), same book", before);
      ratio("ratio baseline / bare", before, bare);
      std::printf("  %-44s %8.2f\n", "baseline peak above bare / content image", (before.PeakKB - bare.PeakKB) / 1024.0 / (c.ContentMB / 1.048576));
    }
    if (!c.Document.empty()) {
      line("plain viewer given the book as a document", document);
      ratio("ratio document / packed viewer", document, viewer);
      line("packed viewer, 30 buttons with pictures", toolbar);
      ratio("ratio with toolbar / without", toolbar, viewer);
    }
  }
  if (std::getenv("QUIRELLE_BENCH_KEEP"))
    std::printf("kept %s\n", work.string().c_str());
  else
    fs::remove_all(work);
  return 0;
}
