// Toolbar and splash pictures from the book's bytes: Windows bitmaps, icons, JPEG images and the
// Windows metafiles WMF and EMF, each decoded by a library made for it.
#pragma once

#include <QImage>
#include <QObject>
#include <sys/resource.h>
#include <functional>
#include <QSize>
#include <cstdint>
#include <memory>
#include <string>

#include "u_Book.h"
#include "u_Errors.h"

// Decodes a picture. An icon gives its frame that best fits `fit` (the smallest at least that
// large, else the largest); a metafile is drawn at its own size onto white. A damaged picture, or
// one larger than a toolbar or splash picture can sensibly be, raises EPictureError.
QImage LoadPicture(TPictureKind kind, const std::string& bytes, const QSize& fit = QSize());
// A picture of the toolbar's image list, of the kind its path names: one smaller than the list's
// image size raises "Invalid toolbar image size".
QImage LoadToolbarPicture(const std::string& path, const std::string& bytes, const QSize& size);
// A toolbar picture as the toolbar shows it, exactly `size`: an icon scaled, with its own
// transparency; any other picture's top left cell, the transparent colour (MaskColor, else the
// pixel at XMask, YMask; -1 or a pixel outside the picture for none) made transparent.
QImage ToolbarImage(const TToolbarPicture& description, const std::string& bytes, const QSize& size);

// The book's pictures decoded and let go: the author's check.
class TPictureCheck : public IBookPictures {
public:
  void BeginToolbarPictures(const std::vector<TToolbarPicture>& pictures) override;
  void AddToolbarPicture(const TToolbarPicture& picture, const std::string& bytes, int width, int height) override;
  void Logo(const std::string* bytes) override;
};
// Starts the metafile helper when one of the pictures is a metafile.
void StartMetafileHelperFor(const std::vector<TToolbarPicture>& pictures);
// The same for a book whose system image holds a metafile, before its steps are read: started
// with the application, the helper comes up beside the engine instead of after it.
void StartMetafileHelperForImage(TMFS& systemImage);

// The largest width and height a picture may declare.
inline constexpr int MaxPictureEdge = 8192;
// Metafiles are drawn at their own size, and the drawing libraries' time grows with it: they
// are toolbar pictures, scaled down to the image size anyway.
inline constexpr int MaxMetafileEdge = 2048;
// What one icon may cost: its entries, and the pixels of the images decoded in all.
inline constexpr int MaxIconImages = 256;
inline constexpr std::int64_t MaxIconPixels = 64'000'000;
// Metafiles are drawn by C libraries that hostile bytes can keep busy or bring down. With a
// helper program set (the viewer itself, run with "--draw-metafiles"), they are drawn in a child
// process that stays up for the next one, within MetafileTimeLimitMs (and 2 GB) each; a picture
// beyond that is "not valid" and the next one gets a new child. Unset (tests, fuzzing): drawn here.
void SetMetafileHelper(std::string program);
// Starts the helper ahead of the first metafile, so that its own start overlaps other work
// (once the application object exists; nothing without a helper program).
void StartMetafileHelper();
// The helper's side: draws the metafiles asked for on standard input until it ends.
int RunMetafileHelper();
inline constexpr int MetafileTimeLimitMs = 3000;
// What all the metafiles of one book's toolbar may cost together: a book of many pictures each
// just under the limit would otherwise hold the start for minutes. The time spent waiting for
// the helper since the last reset (StartMetafileHelperFor resets it); unlimited before the first.
inline constexpr int MetafileBudgetMs = 2 * MetafileTimeLimitMs;
// The processor time the helper may use in all its life (it is started again when it is gone).
inline constexpr rlim_t MetafileHelperCpuSeconds = 30;
void ResetMetafileBudget();
// While the viewer waits for the helper, it asks this (often) whether the reader has given up
// (Escape); true stops the wait with EPicturesCancelled. Empty: nobody can give up.
void SetMetafileWaitHook(std::function<bool()> cancelled);
class EPicturesCancelled : public Exception { using Exception::Exception; };
// While one lives, the reader may give up the drawing of the book's metafiles with Escape (the
// wait hook); nothing else typed or clicked reaches windows that are still being built.
class TMetafileEscape {
public:
  TMetafileEscape();
  ~TMetafileEscape();
  TMetafileEscape(const TMetafileEscape&) = delete;
  TMetafileEscape& operator=(const TMetafileEscape&) = delete;

private:
  std::unique_ptr<QObject> FWatch;
};
// The records one metafile may have.
inline constexpr std::int64_t MaxMetafileRecords = 50'000;
