// Start-up: from the moment each program is started (our clock, before the fork) to its first
// page's load-finished line on its output, for a viewer carrying books of 48 and 240 MB, beside a
// bare QWebEngineView program that loads the same first page from disk, in the same run, with the
// peak memory of each. Runs each several times (as separate processes, paired) and prints medians
// and the spread; each program's own figure (from its main) stands beside for comparison. The smaller book also runs with a toolbar of 30 buttons and 30
// pictures of every kind, and as a book document given to the plain viewer. An EPUB of
// Moby-Dick's size, opened directly, runs beside the bare view of its first document.
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
#include <zip.h>

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
  int runs = argc > 2 ? std::atoi(argv[2]) : 7;
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

  // An EPUB of Moby-Dick's size (150 documents of about 8 KB, a table of contents naming each),
  // given to the plain viewer, which converts it in memory; the bare view shows its first document.
  {
    const fs::path dir = work / "epub";
    std::vector<std::pair<std::string, std::string>> files{
        {"mimetype", "application/epub+zip"},
        {"META-INF/container.xml", "<?xml version=\"1.0\"?><container version=\"1.0\" xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">"
                                   "<rootfiles><rootfile full-path=\"OPS/book.opf\" media-type=\"application/oebps-package+xml\"/></rootfiles></container>"}};
    std::string manifest, spine, nav;
    std::uint32_t seed = 7;
    for (int i = 0; i < 150; ++i) {
      const std::string name = "ch" + std::to_string(i) + ".html";
      files.emplace_back("OPS/" + name, NoisyPage(seed, 8000, 'a', 26));
      manifest += "<item id=\"c" + std::to_string(i) + "\" href=\"" + name + "\" media-type=\"application/xhtml+xml\"/>";
      spine += "<itemref idref=\"c" + std::to_string(i) + "\"/>";
      nav += "<li><a href=\"" + name + "\">Chapter " + std::to_string(i) + "</a></li>";
    }
    files.emplace_back("OPS/nav.xhtml", "<?xml version=\"1.0\"?><html xmlns=\"http://www.w3.org/1999/xhtml\" xmlns:epub=\"http://www.idpf.org/2007/ops\">"
                                        "<head><title>Contents</title></head><body><nav epub:type=\"toc\"><ol>" + nav + "</ol></nav></body></html>");
    files.emplace_back("OPS/book.opf", "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" unique-identifier=\"u\">"
                                       "<metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:identifier id=\"u\">bench</dc:identifier>"
                                       "<dc:title>Whale</dc:title><dc:creator>Writer</dc:creator></metadata><manifest>" + manifest +
                                       "<item id=\"nav\" href=\"nav.xhtml\" media-type=\"application/xhtml+xml\" properties=\"nav\"/></manifest>"
                                       "<spine>" + spine + "</spine></package>");
    fs::create_directories(dir);
    int error = 0;
    zip_t* zip = zip_open((dir / "whale.epub").c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    std::size_t bytes = 0;
    for (const auto& [name, data] : files) {
      const zip_int64_t index = zip_file_add(zip, name.c_str(), zip_source_buffer(zip, data.data(), data.size(), 0), 0);
      if (name == "mimetype") zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
      bytes += data.size();
    }
    zip_close(zip);
    Write(dir / "ch0.html", files[2].second);
    TCase c;
    c.Name = "an EPUB of 150 documents";
    c.ContentMB = static_cast<double>(bytes) / 1e6;
    c.Viewer = {"env", sandbox, "QUIRELLE_CHECK=1", (build / "quirelle-viewer").string(), (dir / "whale.epub").string()};
    c.Bare = {"env", sandbox, (build / "bench" / "bare_view").string(), (dir / "ch0.html").string()};
    cases.push_back(std::move(c));
  }

  // Each run's figures: the whole run and the first page as a reader waits for them (our clock,
  // from before the fork), the program's own figure (ms=, from its main), and the peak memory.
  // Medians over the runs, with the spread (lowest to highest) of the first page.
  struct TRuns {
    std::vector<double> Whole, FirstPage, Own;
    long PeakKB = -1;
    void Run(const std::vector<std::string>& command) {
      if (command.empty()) return;
      const TChildRun run = RunChild(command);
      Whole.push_back(run.Ms);
      FirstPage.push_back(run.FirstLineMs);
      if (const auto at = run.Out.find("ms="); at != std::string::npos) Own.push_back(std::atof(run.Out.c_str() + at + 3));
      PeakKB = std::max(PeakKB, run.PeakKiB);
    }
    static double Median(std::vector<double> v) {
      if (v.empty()) return -1;
      std::sort(v.begin(), v.end());
      return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double First() const { return Median(FirstPage); }
  };
  auto line = [](const char* what, const TRuns& r) {
    const auto [low, high] = std::minmax_element(r.FirstPage.begin(), r.FirstPage.end());
    std::printf("  %-44s first page %6.0f ms (%4.0f to %4.0f; own figure %4.0f), whole run %6.0f ms, peak %ld MB\n", what, r.First(),
                r.FirstPage.empty() ? -1.0 : *low, r.FirstPage.empty() ? -1.0 : *high, TRuns::Median(r.Own), TRuns::Median(r.Whole),
                r.PeakKB / 1024);
  };
  // Paired: the i-th run of one against the i-th of the other, which ran just before or after it.
  auto ratio = [](const char* what, const TRuns& a, const TRuns& b) {
    std::vector<double> pairs, whole;
    for (std::size_t i = 0; i < a.FirstPage.size() && i < b.FirstPage.size(); ++i) {
      pairs.push_back(a.FirstPage[i] / b.FirstPage[i]);
      whole.push_back(a.Whole[i] / b.Whole[i]);
    }
    const auto [low, high] = std::minmax_element(pairs.begin(), pairs.end());
    std::printf("  %-44s first page %5.2f (%.2f to %.2f), whole run %5.2f\n", what, TRuns::Median(pairs), pairs.empty() ? 0.0 : *low,
                pairs.empty() ? 0.0 : *high, TRuns::Median(whole));
  };
  std::printf("Start-up to the first page, from the moment each program is started (medians of %d paired runs)\n", runs);
  for (const TCase& c : cases) {
    RunChild(c.Viewer);  // warm the file cache and the engine's files
    RunChild(c.Bare);
    TRuns viewer, bare, before, document, toolbar;
    for (int i = 0; i < runs; ++i) {
      viewer.Run(c.Viewer);
      bare.Run(c.Bare);
      before.Run(c.Baseline);
      document.Run(c.Document);
      toolbar.Run(c.Toolbar);
    }
    std::printf("book of %s: content image %.1f MB\n", c.Name.c_str(), c.ContentMB);
    line(c.Document.empty() && c.Name.find("EPUB") != std::string::npos ? "viewer given the EPUB" : "packed viewer", viewer);
    line("bare QWebEngineView, page from disk", bare);
    ratio("ratio viewer / bare", viewer, bare);
    std::printf("  %-44s %8.2f\n", "peak above bare / content image", (viewer.PeakKB - bare.PeakKB) / 1024.0 / (c.ContentMB / 1.048576));
    std::printf("  %-44s %8.0f ms\n", "viewer: before its main (first page - own)", viewer.First() - TRuns::Median(viewer.Own));
    std::printf("  %-44s %8.0f ms\n", "bare view: before its main", bare.First() - TRuns::Median(bare.Own));
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
