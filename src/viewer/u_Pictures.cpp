#include "u_Pictures.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "u_BookCheck.h"
#include "u_CodePage.h"
#include "u_Stream.h"

extern "C" {
#include <emf2svg.h>
#include <libwmf/api.h>
#include <libwmf/gd.h>
#include <libwmf/gd/gd.h>
}

namespace {

// Qt's readers warn on the terminal about what they meet in a damaged file ("QBuffer::seek:
// Invalid pos", once per bad icon entry): book data, not the reader's concern, and the error
// that follows says what matters. Only this thread's messages are held back, and only while a
// picture is decoded.
class TQuietDecoding {
public:
  TQuietDecoding() {
    GPrevious = qInstallMessageHandler(&Handler);
    GDecodingThread = QThread::currentThread();
  }
  ~TQuietDecoding() {
    GDecodingThread = nullptr;
    qInstallMessageHandler(GPrevious);
  }
  TQuietDecoding(const TQuietDecoding&) = delete;
  TQuietDecoding& operator=(const TQuietDecoding&) = delete;

private:
  static void Handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (QThread::currentThread() == GDecodingThread && type != QtFatalMsg) return;
    if (const QtMessageHandler previous = GPrevious.load()) previous(type, context, text);
    else std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
  }
  static inline std::atomic<QThread*> GDecodingThread{nullptr};
  static inline std::atomic<QtMessageHandler> GPrevious{nullptr};
};

QImage White(int width, int height) {
  QImage image(width, height, QImage::Format_ARGB32);
  image.fill(Qt::white);
  return image;
}

void CheckEdges(long width, long height, const char* what, long maxEdge = MaxPictureEdge) {
  if (width <= 0 || height <= 0 || width > maxEdge || height > maxEdge)
    throw EPictureError(Format("%s has an unusable size (%d x %d)", {what, static_cast<std::int64_t>(width),
                                                                      static_cast<std::int64_t>(height)}));
}

// libwmf leaves the gd image it drew to its caller but exports no way to free it; this frees
// what its gd allocates for a true-colour image (pixels in one block, row pointers, scratch).
void FreeGdImage(void* image) {
  auto* im = static_cast<gdImage*>(image);
  if (!im) return;
  if (im->_tpixels) std::free(im->_tpixels);
  else if (im->tpixels)
    for (int y = 0; y < im->sy; ++y) std::free(im->tpixels[y]);
  std::free(im->tpixels);
  if (im->pixels)
    for (int y = 0; y < im->sy; ++y) std::free(im->pixels[y]);
  std::free(im->pixels);
  std::free(im->polyInts);
  std::free(im->style);
  if (im->clip) {
    std::free(im->clip->list);
    std::free(im->clip);
  }
  std::free(im);
}


// libwmf sizes its record buffer from the header's largest record without looking at the file:
// a few bytes could make it allocate gigabytes. The header must describe this file.
bool PlausibleWmfHeader(const std::string& b) {
  std::size_t at = 0;
  if (b.size() >= 22 && LittleEndian16At(b, 0) == 0xCDD7 && LittleEndian16At(b, 2) == 0x9AC6) at = 22;  // placeable header
  if (b.size() < at + 18) return false;
  const std::uint32_t type = LittleEndian16At(b, at), headerWords = LittleEndian16At(b, at + 2);
  const std::uint64_t maxRecordBytes = static_cast<std::uint64_t>(LittleEndian16At(b, at + 12) | LittleEndian16At(b, at + 14) << 16) * 2;
  return (type == 1 || type == 2) && headerWords == 9 && maxRecordBytes <= b.size() - at;
}

// The drawing libraries take time and memory with every record: a few megabytes of records can
// hold the viewer for many seconds. Counted before they are played.
void CheckRecordCount(std::int64_t records) {
  if (records > MaxMetafileRecords)
    throw EPictureError(Format("Metafile is too complex: it has more than %d records",
                               {static_cast<std::int64_t>(MaxMetafileRecords)}));
}

void CheckEmfRecords(const std::string& b) {
  std::int64_t records = 0;
  for (std::size_t at = 0; at + 8 <= b.size(); ++records) {
    const std::uint32_t size = LittleEndian32At(b, at + 4);
    if (size < 8 || size % 4 != 0) break;  // the converter stops there as well
    CheckRecordCount(records + 1);
    if (LittleEndian32At(b, at) == 14) break;  // EMR_EOF
    at += size;
  }
}

void CheckWmfRecords(const std::string& b) {
  std::size_t at = 0;
  if (b.size() >= 22 && LittleEndian16At(b, 0) == 0xCDD7 && LittleEndian16At(b, 2) == 0x9AC6) at = 22;
  if (b.size() < at + 18) return;
  at += LittleEndian16At(b, at + 2) * 2;  // the header's own size, in words
  std::int64_t records = 0;
  while (at + 6 <= b.size()) {
    const std::uint64_t words = LittleEndian32At(b, at);
    if (words < 3) break;
    CheckRecordCount(++records);
    if (LittleEndian16At(b, at + 4) == 0) break;  // META_EOF
    at += static_cast<std::size_t>(std::min<std::uint64_t>(words * 2, b.size()));
  }
}

// libwmf draws into a true-colour gd image; its pixels are 0xAARRGGBB with a 7-bit alpha where
// 127 is fully transparent.
QImage LoadWmf(const std::string& bytes) {
  const char* invalid = "Metafile is not valid";
  if (!PlausibleWmfHeader(bytes)) throw EPictureError(invalid);
  CheckWmfRecords(bytes);
  wmfAPI* api = nullptr;
  wmfAPI_Options options{};
  options.function = wmf_gd_function;
  const unsigned long flags = WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
  if (wmf_api_create(&api, flags, &options) != wmf_E_None) {
    if (api) wmf_api_destroy(api);
    throw EPictureError(invalid);
  }
  std::unique_ptr<wmfAPI, decltype(&wmf_api_destroy)> guard(api, &wmf_api_destroy);
  // libwmf reads but does not write through this pointer.
  std::string copy = bytes;
  wmfD_Rect bbox{};
  unsigned int width = 0, height = 0;
  if (wmf_mem_open(api, reinterpret_cast<unsigned char*>(copy.data()), static_cast<long>(copy.size())) != wmf_E_None)
    throw EPictureError(invalid);
  if (wmf_scan(api, 0, &bbox) != wmf_E_None || wmf_display_size(api, &width, &height, 96, 96) != wmf_E_None) {
    wmf_mem_close(api);
    throw EPictureError(invalid);
  }
  try {
    CheckEdges(width, height, "Metafile", MaxMetafileEdge);
  } catch (...) {
    wmf_mem_close(api);
    throw;
  }
  wmf_gd_t* device = WMF_GD_GetData(api);
  device->type = wmf_gd_image;
  device->bbox = bbox;
  device->width = width;
  device->height = height;
  wmf_error_t played = wmf_play(api, 0, &bbox);
  wmf_mem_close(api);
  std::unique_ptr<void, decltype(&FreeGdImage)> drawn(device->gd_image, &FreeGdImage);
  if (played != wmf_E_None || !drawn) throw EPictureError(invalid);
  const int* pixels = wmf_gd_image_pixels(drawn.get());
  if (!pixels) throw EPictureError(invalid);
  QImage image = White(static_cast<int>(width), static_cast<int>(height));
  for (unsigned int y = 0; y < height; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(static_cast<int>(y)));
    for (unsigned int x = 0; x < width; ++x) {
      const unsigned int p = static_cast<unsigned int>(pixels[y * width + x]);
      const unsigned int alpha = 255 - ((p >> 24) & 0x7F) * 255 / 127;
      line[x] = qRgba(static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF),
                      static_cast<int>(alpha));
    }
  }
  // Drawn onto white like every metafile: what the metafile left transparent shows white.
  QImage onWhite = White(image.width(), image.height());
  QPainter(&onWhite).drawImage(0, 0, image);
  return onWhite;
}


// libemf2svg turns the records into SVG, which Qt SVG draws. The picture's size is the header's
// bounds in device pixels, as a Windows metafile picture reports it.
QImage LoadEmf(const std::string& bytes) {
  const char* invalid = "Metafile is not valid";
  // EMR_HEADER: type 1, size, then the bounds rectangle; the signature " EMF" at offset 40.
  if (bytes.size() < 88 || LittleEndian32At(bytes, 0) != 1 || LittleEndian32At(bytes, 40) != 0x464D4520) throw EPictureError(invalid);
  CheckEmfRecords(bytes);
  const auto left = static_cast<std::int32_t>(LittleEndian32At(bytes, 8)), top = static_cast<std::int32_t>(LittleEndian32At(bytes, 12));
  const auto right = static_cast<std::int32_t>(LittleEndian32At(bytes, 16)), bottom = static_cast<std::int32_t>(LittleEndian32At(bytes, 20));
  const long width = static_cast<long>(right) - left + 1, height = static_cast<long>(bottom) - top + 1;
  CheckEdges(width, height, "Metafile", MaxMetafileEdge);
  generatorOptions options{};
  char nameSpace[] = "";
  options.nameSpace = nameSpace;
  options.emfplus = true;
  options.svgDelimiter = true;
  options.imgWidth = static_cast<double>(width);
  options.imgHeight = static_cast<double>(height);
  // The converter reads the header's description where the header says, and to its end when it
  // gives no length: it must lie inside the header (a fuzzed file sent it past the buffer).
  const std::uint32_t headerSize = LittleEndian32At(bytes, 4), descriptionChars = LittleEndian32At(bytes, 60), descriptionAt = LittleEndian32At(bytes, 64);
  if (headerSize < 88 || headerSize > bytes.size() || descriptionAt > headerSize ||
      (descriptionChars > 0 && (descriptionAt < 88 || descriptionChars > (headerSize - descriptionAt) / 2)))
    throw EPictureError(invalid);
  // The converter takes a writable buffer; the zeros behind it end any text it reads to its end.
  std::string copy = bytes + std::string(8, '\0');
  char* svg = nullptr;
  size_t svgLength = 0;
  const int ok = emf2svg(copy.data(), bytes.size(), &svg, &svgLength, &options);
  std::unique_ptr<char, decltype(&std::free)> owned(svg, &std::free);
  if (!ok || !svg) throw EPictureError(invalid);
  QSvgRenderer renderer(QByteArray(svg, static_cast<qsizetype>(svgLength)));
  if (!renderer.isValid()) throw EPictureError(invalid);
  QImage image = White(static_cast<int>(width), static_cast<int>(height));
  QPainter painter(&image);
  renderer.render(&painter, QRectF(0, 0, static_cast<qreal>(width), static_cast<qreal>(height)));
  return image;
}

QImage LoadIcon(const std::string& bytes, const QSize& fit) {
  QByteArray data = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QBuffer buffer(&data);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, "ico");
  QImage best;
  // Every entry may point at the same large image: a small file would decode it thousands of
  // times. The entries and the pixels decoded in all are bounded.
  const int count = reader.imageCount();
  if (count > MaxIconImages)
    throw EPictureError(Format("Icon image is not valid: it has %d images, more than the %d a picture may have",
                               {static_cast<std::int64_t>(count), static_cast<std::int64_t>(MaxIconImages)}));
  std::int64_t decoded = 0;
  for (int i = 0; i < std::max(count, 1); ++i) {
    if (i > 0 && !reader.jumpToImage(i)) break;
    QImage frame = reader.read();
    if (frame.isNull()) continue;
    decoded += static_cast<std::int64_t>(frame.width()) * frame.height();
    if (decoded > MaxIconPixels)
      throw EPictureError(Format("Icon image is not valid: its images hold more than %d million pixels in all",
                                 {static_cast<std::int64_t>(MaxIconPixels / 1000000)}));
    const bool fits = frame.width() >= fit.width() && frame.height() >= fit.height();
    const bool bestFits = !best.isNull() && best.width() >= fit.width() && best.height() >= fit.height();
    const qint64 area = static_cast<qint64>(frame.width()) * frame.height();
    const qint64 bestArea = best.isNull() ? 0 : static_cast<qint64>(best.width()) * best.height();
    if (best.isNull() || (fits && (!bestFits || area < bestArea)) || (!fits && !bestFits && area > bestArea)) best = frame;
  }
  if (best.isNull()) throw EPictureError("Icon image is not valid");
  return best.convertToFormat(QImage::Format_ARGB32);
}

// Qt's BMP reader leaves the rows a file does not hold as they were in memory: a bitmap whose
// pixels end before its header says is damaged. Compressed rows must fit the size the header
// gives them.
bool BitmapComplete(const std::string& b) {
  if (b.size() < 30 || b[0] != 'B' || b[1] != 'M') return true;  // the reader refuses it itself
  const std::uint64_t offset = LittleEndian32At(b, 10), header = LittleEndian32At(b, 14);
  // The core header (12 bytes) and the info headers (40 and longer); Qt judges the others alone.
  if ((header != 12 && header < 40) || b.size() < 14 + header) return true;
  std::int64_t width = 0, height = 0;
  std::uint32_t bits = 0, compression = 0, sizeImage = 0;
  if (header == 12) {  // OS/2 core header
    width = LittleEndian16At(b, 18);
    height = LittleEndian16At(b, 20);
    bits = LittleEndian16At(b, 24);
  } else {
    width = static_cast<std::int32_t>(LittleEndian32At(b, 18));
    height = static_cast<std::int32_t>(LittleEndian32At(b, 22));
    bits = LittleEndian16At(b, 28);
    compression = LittleEndian32At(b, 30);
    sizeImage = LittleEndian32At(b, 34);
  }
  if (height < 0) height = -height;
  if (width <= 0 || height <= 0 || bits == 0) return true;
  std::uint64_t needed = 0;
  if (compression == 0 || compression == 3 || compression == 6) {
    const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
    needed = stride * static_cast<std::uint64_t>(height);
  } else {
    needed = sizeImage;
  }
  return offset <= b.size() && needed <= b.size() - offset;
}

// A JPEG whose data stops before its end marker shows grey where the rest was: damaged. Walks the
// markers to the end of image; scan data holds no marker but restarts and stuffed bytes.
bool JpegComplete(const std::string& b) {
  const std::size_t n = b.size();
  if (n < 4 || static_cast<unsigned char>(b[0]) != 0xFF || static_cast<unsigned char>(b[1]) != 0xD8) return true;
  std::size_t at = 2;
  bool inScan = false;
  while (at + 1 < n) {
    if (static_cast<unsigned char>(b[at]) != 0xFF) {
      ++at;  // scan data, or stray bytes the decoder skips too
      continue;
    }
    const unsigned char marker = static_cast<unsigned char>(b[at + 1]);
    if (marker == 0xD9) return true;
    if (marker == 0xFF) { ++at; continue; }  // fill byte
    if (inScan && (marker == 0x00 || (marker >= 0xD0 && marker <= 0xD7))) { at += 2; continue; }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) { at += 2; continue; }  // no length
    if (at + 3 >= n) return false;
    const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(b[at + 2])) << 8 |
                               static_cast<unsigned char>(b[at + 3]);
    if (length < 2) return false;
    at += 2 + length;
    inScan = marker == 0xDA;
  }
  return false;
}

QImage LoadRaster(const std::string& bytes, const char* format, const char* invalid) {
  QByteArray data = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QBuffer buffer(&data);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, format);
  const QSize size = reader.size();
  if (size.isValid()) {
    CheckEdges(size.width(), size.height(), "Picture");
    // Qt refuses to allocate more than its limit; that is a picture too large, not a damaged one.
    const std::int64_t megabytes = (static_cast<std::int64_t>(size.width()) * size.height() * 4 + (1 << 20) - 1) >> 20;
    if (QImageReader::allocationLimit() > 0 && megabytes > QImageReader::allocationLimit())
      throw EPictureError(Format("Picture is too large (%d x %d): it needs %d MB, more than the %d MB a picture may take",
                                 {static_cast<std::int64_t>(size.width()), static_cast<std::int64_t>(size.height()), megabytes,
                                  static_cast<std::int64_t>(QImageReader::allocationLimit())}));
  }
  QImage image = reader.read();
  if (image.isNull()) throw EPictureError(invalid);
  return image.convertToFormat(QImage::Format_ARGB32);
}

QImage LoadMetafile(const std::string& bytes) {
  // A placeable WMF begins with its key, a plain one with its type and header size; both EMF and
  // WMF are told by their bytes, as a Windows metafile picture does.
  if (bytes.size() >= 44 && LittleEndian32At(bytes, 0) == 1 && LittleEndian32At(bytes, 40) == 0x464D4520) return LoadEmf(bytes);
  return LoadWmf(bytes);
}

// ---------------------------------------------------------------- the metafile helper
// The drawing libraries are C code that hostile bytes can keep busy for seconds (a 73-byte WMF:
// 5.5 s) or bring down. With a helper program set, metafiles are drawn in a child process that
// stays up for the next one: a picture that takes too long, or kills its drawer, costs only
// itself. Requests: u32 size, the bytes. Answers: u8 0, u32 width, u32 height, the ARGB32
// pixels row by row; or u8 1, u32 size, the message.

std::string GMetafileHelper;
QPointer<QProcess> GHelper;
qint64 GBudgetLeftMs = -1;  // the drawing time the book's metafiles have left; -1: no budget
std::function<bool()> GWaitHook;

void StopHelper() {
  if (!GHelper) return;
  QProcess* helper = GHelper.data();
  GHelper = nullptr;
  helper->kill();
  helper->waitForFinished(1000);
  helper->deleteLater();
}

QProcess* Helper() {
  if (GHelper && GHelper->state() == QProcess::Running) return GHelper;
  StopHelper();
  auto* helper = new QProcess(QCoreApplication::instance());
  helper->setProgram(QString::fromStdString(GMetafileHelper));
  helper->setArguments({QStringLiteral("--draw-metafiles")});
  helper->setStandardErrorFile(QProcess::nullDevice());
  helper->setChildProcessModifier([parent = ::getpid()] {
    // The helper goes with the viewer, also when the viewer is killed; and a drawing that keeps
    // a processor busy ends with its own time.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    const rlimit processor{MetafileHelperCpuSeconds, MetafileHelperCpuSeconds + 1};
    ::setrlimit(RLIMIT_CPU, &processor);
#if !defined(__SANITIZE_ADDRESS__) && !(defined(__has_feature) && __has_feature(address_sanitizer))
    // The sanitizers reserve terabytes of address space; elsewhere a picture gets 2 GB.
    const rlimit memory{2ull << 30, 2ull << 30};
    ::setrlimit(RLIMIT_AS, &memory);
#endif
  });
  helper->start();
  if (!helper->waitForStarted(5000)) {
    delete helper;
    return nullptr;
  }
  QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, helper, [] { StopHelper(); });
  // A run that ends without its event loop (a check, printing the story) ends the helper too,
  // before the application takes its children down.
  QObject::connect(QCoreApplication::instance(), &QObject::destroyed, [] { StopHelper(); });
  GHelper = helper;
  return helper;
}

// Reads exactly `size` bytes of the answer, or none when the deadline passes or the helper ends.
// Waits in short slices, asking the hook between them whether the reader has given up.
bool ReadAnswer(QProcess& helper, QByteArray& into, qsizetype size, const QDeadlineTimer& deadline) {
  while (into.size() < size) {
    if (helper.bytesAvailable() == 0) {
      const qint64 slice = std::clamp<qint64>(deadline.remainingTime(), 1, GWaitHook ? 50 : MetafileBudgetMs);
      if (!helper.waitForReadyRead(static_cast<int>(slice))) {
        if (helper.state() != QProcess::Running || deadline.hasExpired()) return false;
        if (GWaitHook && GWaitHook()) {
          StopHelper();
          throw EPicturesCancelled("Cancelled while the book's pictures were drawn");
        }
        continue;
      }
    }
    into += helper.read(size - into.size());
    if (deadline.hasExpired() && into.size() < size) return false;
  }
  return true;
}

QImage LoadMetafileInHelper(const std::string& bytes) {
  QProcess* helper = Helper();
  if (!helper) return LoadMetafile(bytes);  // no child process here: drawn as before
  const auto budgetSpent = [] {
    return EPictureError(Format("Metafile is not valid: drawing the book's metafiles took longer than %d seconds in all",
                                {static_cast<std::int64_t>(MetafileBudgetMs / 1000)}));
  };
  if (GBudgetLeftMs == 0) throw budgetSpent();
  std::string request;
  AppendLittleEndian(request, bytes.size(), 4);
  helper->write(QByteArray::fromStdString(request + bytes));
  const bool budgetBinds = GBudgetLeftMs >= 0 && GBudgetLeftMs < MetafileTimeLimitMs;
  const QDeadlineTimer deadline(budgetBinds ? GBudgetLeftMs : MetafileTimeLimitMs);
  // What this picture costs comes off the budget, however its wait ends.
  QElapsedTimer spent;
  spent.start();
  struct TCharge {
    QElapsedTimer& Spent;
    ~TCharge() {
      if (GBudgetLeftMs > 0) GBudgetLeftMs = std::max<qint64>(0, GBudgetLeftMs - Spent.elapsed());
    }
  } charge{spent};
  QByteArray head;
  const bool answered = ReadAnswer(*helper, head, 9, deadline);
  if (answered && head[0] == 0) {
    const std::string_view h(head.constData(), static_cast<std::size_t>(head.size()));
    const std::uint32_t width = LittleEndian32At(h, 1), height = LittleEndian32At(h, 5);
    if (width > 0 && height > 0 && width <= static_cast<std::uint32_t>(MaxPictureEdge) &&
        height <= static_cast<std::uint32_t>(MaxPictureEdge)) {
      QByteArray pixels;
      if (ReadAnswer(*helper, pixels, static_cast<qsizetype>(width) * height * 4, deadline)) {
        QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_ARGB32);
        for (int y = 0; y < image.height(); ++y)
          std::memcpy(image.scanLine(y), pixels.constData() + static_cast<qsizetype>(y) * width * 4, width * 4);
        return image;
      }
    }
  } else if (answered && head[0] == 1) {
    const std::uint32_t size = LittleEndian32At(std::string_view(head.constData(), static_cast<std::size_t>(head.size())), 1);
    QByteArray message = head.mid(5);
    if (size <= 4096 && ReadAnswer(*helper, message, size, deadline)) throw EPictureError(message.toStdString());
  }
  // Too slow, gone, or an answer that makes no sense: this drawer is done with.
  const bool slow = helper->state() == QProcess::Running;
  StopHelper();
  if (slow && budgetBinds) throw budgetSpent();
  throw EPictureError(slow ? Format("Metafile is not valid: drawing it took longer than %d seconds",
                                    {static_cast<std::int64_t>(MetafileTimeLimitMs / 1000)})
                           : std::string("Metafile is not valid: its drawing library failed on it"));
}

}  // namespace

void SetMetafileHelper(std::string program) {
  StopHelper();
  GMetafileHelper = std::move(program);
}

void ResetMetafileBudget() { GBudgetLeftMs = MetafileBudgetMs; }
void SetMetafileWaitHook(std::function<bool()> cancelled) { GWaitHook = std::move(cancelled); }

void StartMetafileHelper() {
  if (!GMetafileHelper.empty() && QCoreApplication::instance()) Helper();
}

int RunMetafileHelper() {
  // The answers go to a channel of their own: the libraries may write to standard output.
  const int answers = ::dup(STDOUT_FILENO);
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  std::FILE* out = ::fdopen(answers, "wb");
  if (!out) return 1;
  for (;;) {
    char b[4];
    if (std::fread(b, 1, 4, stdin) != 4) return 0;
    const std::uint32_t size = LittleEndian32At(std::string_view(b, 4), 0);
    std::string bytes(size, '\0');
    if (std::fread(bytes.data(), 1, size, stdin) != size) return 0;
    std::string answer;
    try {
      const QImage image = LoadMetafile(bytes).convertToFormat(QImage::Format_ARGB32);
      answer += '\0';
      AppendLittleEndian(answer, static_cast<std::uint32_t>(image.width()), 4);
      AppendLittleEndian(answer, static_cast<std::uint32_t>(image.height()), 4);
      for (int y = 0; y < image.height(); ++y)
        answer.append(reinterpret_cast<const char*>(image.constScanLine(y)), static_cast<std::size_t>(image.width()) * 4);
    } catch (const Exception& e) {
      answer += '\1';
      AppendLittleEndian(answer, e.Message().size(), 4);
      answer += e.Message();
    }
    std::fwrite(answer.data(), 1, answer.size(), out);
    std::fflush(out);
  }
}

QImage LoadPicture(TPictureKind kind, const std::string& bytes, const QSize& fit) {
  TQuietDecoding quiet;
  switch (kind) {
    case pkMetafile: return GMetafileHelper.empty() ? LoadMetafile(bytes) : LoadMetafileInHelper(bytes);
    case pkIcon: return LoadIcon(bytes, fit);
    case pkBitmap:
      if (!BitmapComplete(bytes)) throw EPictureError("Bitmap image is not valid: its data ends early");
      return LoadRaster(bytes, "bmp", "Bitmap image is not valid");
    case pkJPEG:
      if (!JpegComplete(bytes)) throw EPictureError("JPEG image is not valid: its data ends early");
      return LoadRaster(bytes, "jpeg", "JPEG image is not valid");
  }
  throw EPictureError("Unknown picture kind");
}

QImage LoadToolbarPicture(const std::string& path, const std::string& bytes, const QSize& size) {
  QImage picture = LoadPicture(PictureKindOf(path), bytes, size);
  if (picture.width() < size.width() || picture.height() < size.height()) {
    EInvalidOperation e(SInvalidToolbarImageSize);
    e.FoundWidth = picture.width();
    e.FoundHeight = picture.height();
    throw e;
  }
  return picture;
}

namespace {

bool NamesMetafile(const std::string& path) {
  try {
    return PictureKindOf(path) == pkMetafile;
  } catch (const Exception&) {
    return false;  // no picture the toolbar takes: said where it is loaded
  }
}

}  // namespace

void StartMetafileHelperFor(const std::vector<TToolbarPicture>& pictures) {
  // Started now, the helper comes up while the other pictures are decoded. A book without
  // metafiles never starts it. The book's pictures share one time budget from here.
  ResetMetafileBudget();
  if (std::any_of(pictures.begin(), pictures.end(), [](const TToolbarPicture& p) { return NamesMetafile(p.Path); }))
    StartMetafileHelper();
}

void StartMetafileHelperForImage(TMFS& systemImage) {
  const auto files = BookFiles(systemImage);
  if (std::any_of(files.begin(), files.end(), [](const auto& file) { return NamesMetafile(file.first); })) StartMetafileHelper();
}

void TPictureCheck::BeginToolbarPictures(const std::vector<TToolbarPicture>& pictures) { StartMetafileHelperFor(pictures); }

void TPictureCheck::AddToolbarPicture(const TToolbarPicture& picture, const std::string& bytes, int width, int height) {
  LoadToolbarPicture(picture.Path, bytes, QSize(width, height));
}

void TPictureCheck::Logo(const std::string* bytes) {
  if (bytes) LoadPicture(pkBitmap, *bytes);
}

// ---------------------------------------------------------------- giving up with Escape

namespace {

// Input to the application while start-up waits: swallowed, except that Escape is noted.
class TEscapeWatch : public QObject {
public:
  bool Pressed() {
    if (!FInstalled) {
      qApp->installEventFilter(this);
      FInstalled = true;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return FPressed;
  }
  ~TEscapeWatch() override {
    if (FInstalled) qApp->removeEventFilter(this);
  }

protected:
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
      case QEvent::KeyPress:
        if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) FPressed = true;
        return true;
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::Wheel:
        return true;
      default:
        return false;
    }
  }

private:
  bool FInstalled = false;
  bool FPressed = false;
};

}  // namespace

TMetafileEscape::TMetafileEscape() : FWatch(std::make_unique<TEscapeWatch>()) {
  SetMetafileWaitHook([watch = static_cast<TEscapeWatch*>(FWatch.get())] { return watch->Pressed(); });
}

TMetafileEscape::~TMetafileEscape() { SetMetafileWaitHook(nullptr); }

namespace {

// Makes every pixel of that colour transparent.
void MakeTransparent(QImage& image, QRgb colour) {
  if (image.format() != QImage::Format_ARGB32 && image.format() != QImage::Format_ARGB32_Premultiplied) image = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if ((line[x] & 0xFFFFFF) == (colour & 0xFFFFFF)) line[x] = 0;
  }
}

}  // namespace

QImage ToolbarImage(const TToolbarPicture& description, const std::string& bytes, const QSize& size) {
  QImage picture = LoadToolbarPicture(description.Path, bytes, size);
  if (PictureKindOf(description.Path) == pkIcon) {
    if (picture.size() != size) picture = picture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return picture;
  }
  std::int64_t mask = -1;
  if (description.MaskColor) mask = *description.MaskColor;
  else if (picture.valid(description.XMask, description.YMask)) {
    const QRgb p = picture.pixel(description.XMask, description.YMask);
    mask = qRed(p) | qGreen(p) << 8 | qBlue(p) << 16;
  }
  // A larger picture gives its top left cell, as the platform's list would show it as the first
  // image of a strip; one entry per picture keeps later positions right.
  if (picture.size() != size) picture = picture.copy(QRect(QPoint(0, 0), size));
  if (mask >= 0 && mask <= 0xFFFFFF) {
    const auto m = static_cast<std::uint32_t>(mask);
    MakeTransparent(picture, qRgb(static_cast<int>(m & 0xFF), static_cast<int>((m >> 8) & 0xFF), static_cast<int>((m >> 16) & 0xFF)));
  }
  return picture;
}
