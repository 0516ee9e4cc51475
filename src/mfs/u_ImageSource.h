// Where the book's two images come from: the data blocks SYSTEM_MFS and FILES_MFS that the
// viewer's executable carries, each a Cabinet whose member info.mfs is an MFS image.
#pragma once

#include <functional>
#include <map>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <string>

#include "u_Dictionary.h"
#include "u_MFS.h"

// The bytes of the running executable's block of type "RCDATA" with that name, or empty bytes.
// A book file given by name is read with ReadBookBlock (u_DataBlocks), whatever carries it.
std::string ReadRCDataResource(const std::string& name);

// Replaces the tree of target by the image inside the Cabinet bytes. With readAgain, the bytes
// are given back to the system as the image is inflated from them, and read again should
// libmspack have to take over.
// An observer hears of each file as the fast path reads it (not when libmspack takes over).
void LoadCabImage(TMFS& target, std::string cabData, const std::function<std::string()>& readAgain = {},
                  IMFSLoadObserver* observer = nullptr);

// Both read the book file named, else the running executable, and add to a failure what
// happened to the book file (Exception::Cause): cut short, an image damaged inside its block, no
// book at all.
void LoadSystemImage(TMFS& systemImage, const std::string& bookFile = {});
// Adds the cause of a failure to load the named block of the book file (the running executable
// when none is named).
void AddBlockCause(Exception& e, const std::string& bookFile, const std::string& block);
// The content image of a packed book: the running executable, or the book file named.
void LoadContentImage(TMFS& contentImage, const std::string& bookFile = {}, IMFSLoadObserver* observer = nullptr);

// The content image being unpacked on a worker thread. Nothing reaches the image before the
// worker is joined, except the files it has read whole: those can be copied out at once (each
// arrived in Cabinet blocks whose checksums held; the image's own checksum is known at the end,
// and a failure then still fails the load).
class TContentImageLoad final : public IMFSLoadObserver {
public:
  // The bytes of a file read whole so far, by absolute path ("\pages\a.htm", letter case
  // ignored); false when it is not (yet) there or the load has failed.
  bool CopyEarlyFile(const std::string& path, std::string& data);
  bool HasEarlyFile(const std::string& path);
  // Calls f once, when the next file is read whole or the worker finishes, whichever is first:
  // at once when it has finished, else on the worker's thread. The worker is hurried.
  void WhenProgress(std::function<void()> f);
  void FileLoaded(const std::string& path, const TMFSFile& file) override;
  void LoadAbandoned() override;

  // Calls f once the worker has finished: at once when it has, else on the worker's thread as
  // it finishes.
  void WhenFinished(std::function<void()> f);
  void Finished();  // the worker's last word, failed or not
  // Whether the worker has said its last word; joining it then waits no longer than it takes
  // to return.
  bool IsFinished();
  // Until Hurry, the worker takes only processor time nothing else wants: the first page's files
  // come first in the image, and then the engine, laying the page out, must win the processor.
  // Hurry (the first page is shown, or someone waits for a file or the whole image) gives it its
  // full share.
  void Hurry();
  void WorkerStarted();  // on the worker's thread, first thing

private:
  // Declared before Done: they outlive the wait in Done's destruction.
  std::mutex FLock;
  bool FFinished = false;
  std::function<void()> FWhenFinished;
  std::function<void()> FWhenProgress;
  std::map<std::string, const TMFSFile*, TKeyLess> FEarly;
  bool FHurried = false;
  std::optional<std::thread::native_handle_type> FWorker;
  // Keeps f in the slot until the worker's next word, or calls it now when it has finished.
  void CallOnce(std::function<void()> TContentImageLoad::*slot, std::function<void()> f);

public:
  std::unique_ptr<TMFS> Image = std::make_unique<TMFS>();
  std::future<void> Done;
};
// Starts unpacking the content image: from the Cabinet given, or from the data block of a
// packed book (the running executable when none is named). The viewer starts it first thing, so
// that it overlaps all the rest of start-up.
std::shared_ptr<TContentImageLoad> StartContentImageLoad(std::optional<std::string> cab = std::nullopt,
                                                         std::string bookFile = {});
