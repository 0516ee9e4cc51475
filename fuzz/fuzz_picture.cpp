// Toolbar and splash pictures from hostile bytes: the first byte picks the kind (bitmap, icon,
// JPEG, metafile), the rest is the file. Decoding either gives a picture or a clean error.
#include <QGuiApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "u_Pictures.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QGuiApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const TPictureKind kinds[] = {pkBitmap, pkIcon, pkJPEG, pkMetafile};
  const TPictureKind kind = kinds[data[0] % 4];
  try {
    QImage image = LoadPicture(kind, std::string(reinterpret_cast<const char*>(data + 1), size - 1), QSize(24, 24));
    if (image.isNull() || image.width() > MaxPictureEdge || image.height() > MaxPictureEdge) std::abort();
  } catch (const EPictureError&) {
  }
  return 0;
}
