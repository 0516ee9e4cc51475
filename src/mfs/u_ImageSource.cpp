#include "u_ImageSource.h"

#include <algorithm>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <utility>

#include "u_DataBlocks.h"
#include "u_Errors.h"
#include "u_Stream.h"
#include "u_MFSCab.h"

std::string ReadRCDataResource(const std::string& name) {
  return ReadBookBlock(OwnExecutablePath(), name);
}

namespace {

// The Cabinet is cabData, or arrives by `arriving` (cabData then only its head).
void LoadCab(TMFS& target, std::string cabData, TArrivingBlock* arriving, const std::function<std::string()>& readAgain,
             IMFSLoadObserver* observer) {
  TMFS scratch;
  TMFSSession* session = scratch.Session();
  TMFSFile* cab = session->CreateFile("\\info.cab", 0, false);
  cab->Data = std::move(cabData);
  {
    TMFSCabReader reader(session, "\\info.cab");
    // Inflated straight into the tree where the fast path serves the image: the unpacked image
    // is then never whole in memory beside the tree made from it, and the Cabinet's bytes go
    // back to the system as the inflater leaves them behind.
    bool released = false;
    // Files are told of early only while every block they came from had a checksum that held:
    // a block without one is verified only by the image's own checksum, at its end.
    struct TVerifiedOnly final : IMFSLoadObserver {
      IMFSLoadObserver* Next = nullptr;
      bool Verified = true;
      void FileLoaded(const std::string& path, const TMFSFile& file) override {
        if (Verified) Next->FileLoaded(path, file);
      }
      void LoadAbandoned() override { Next->LoadAbandoned(); }
    } gate;
    gate.Next = observer;
    auto consumed = [&](std::size_t done, bool verified) {
      gate.Verified = gate.Verified && verified;
      if (!readAgain) return;
      if (arriving) arriving->Release(done);
      else ReleaseLargeFront(cab->Data, done);
      released = true;
    };
    std::optional<TCabinetBytes> bytes;
    if (arriving) bytes = TCabinetBytes{arriving->Bytes(), [arriving](std::size_t n) { return arriving->Need(n); }};
    if (reader.ReadMember("info.mfs", [&](TStream& image) { target.LoadFromImageStream(image, observer ? &gate : nullptr); },
                          consumed, bytes ? &*bytes : nullptr))
      return;
    if (arriving) arriving->Release(arriving->Bytes().size());
    if (released || arriving) cab->Data = readAgain();
    reader.Extract("info.mfs", "\\info.mfs");
  }
  // The Cabinet is no longer needed: free it before the tree is built.
  scratch.Root()->Items.Remove("info.cab");
  target.LoadFromString(session->GetFile("\\info.mfs")->Data);
}

}  // namespace

void LoadCabImage(TMFS& target, std::string cabData, const std::function<std::string()>& readAgain, IMFSLoadObserver* observer) {
  LoadCab(target, std::move(cabData), nullptr, readAgain, observer);
}

void AddBlockCause(Exception& e, const std::string& bookFile, const std::string& block) {
  if (!e.Cause().empty() || dynamic_cast<const EBookFileError*>(&e)) return;
  const std::string file = bookFile.empty() ? OwnExecutablePath() : bookFile;
  std::string cause = BookFileDamage(file);
  // A file that is no book at all, or one cut short, is said so in the reader's words instead.
  // Our own program can only have been cut short: without blocks it is a viewer, not damage.
  if (!bookFile.empty() || !cause.empty())
    if (std::string problem = BookFileProblem(file); !problem.empty()) throw EBookFileError(std::move(problem));
  // The block is there and the Cabinet opened: what it holds is damaged.
  if (cause.empty() && (dynamic_cast<const EMFSError*>(&e) || dynamic_cast<const EReadError*>(&e))) {
    cause = "the image inside the data block " + block + " is damaged";
  } else if (cause.empty() && dynamic_cast<const EMFSCabReaderError*>(&e)) {
    // No Cabinet where the block should be (a file that is no book was said so above).
    if (BookFileKind(file) == TBookFileKind::Windows) {
      bool present = false;
      try {
        present = OpenBookContainer(file)->HasBlock(block);
      } catch (const Exception&) {
      }
      cause = present ? "the resource " + block + " of the Windows-format book is not a Cabinet: the book is damaged"
                      : "the Windows-format book has no resource " + block + " of the type named \"RCDATA\"";
    }
  }
  e.SetCause(std::move(cause));
}

void LoadSystemImage(TMFS& systemImage, const std::string& bookFile) {
  try {
    LoadCabImage(systemImage, bookFile.empty() ? ReadRCDataResource("SYSTEM_MFS") : ReadBookBlock(bookFile, "SYSTEM_MFS"));
  } catch (Exception& e) {
    AddBlockCause(e, bookFile, "SYSTEM_MFS");
    throw;
  }
}

void LoadContentImage(TMFS& contentImage, const std::string& bookFile, IMFSLoadObserver* observer) {
  const std::string book = bookFile.empty() ? OwnExecutablePath() : bookFile;
  auto read = [book] { return ReadBookBlock(book, "FILES_MFS"); };
  try {
    // Read as the inflater gets there: the first page, stored first, then waits for none of the
    // rest, and the reading is spread over the unpacking.
    const std::optional<TFileRange> range = OpenBookContainer(book)->BlockRange("FILES_MFS");
    if (!range) return LoadCab(contentImage, {}, nullptr, read, observer);
    TArrivingBlock arriving(book, *range);
    // The head holds the Cabinet's header and its members' names, which the library reads.
    constexpr std::size_t head = 64 * 1024;
    LoadCab(contentImage, std::string(arriving.Bytes().substr(0, std::min(head, arriving.Need(head)))), &arriving, read, observer);
  } catch (Exception& e) {
    AddBlockCause(e, bookFile, "FILES_MFS");
    throw;
  }
}

void TContentImageLoad::CallOnce(std::function<void()> TContentImageLoad::*slot, std::function<void()> f) {
  std::unique_lock<std::mutex> lock(FLock);
  if (!FFinished) {
    this->*slot = std::move(f);
    return;
  }
  lock.unlock();
  f();
}

void TContentImageLoad::WhenFinished(std::function<void()> f) { CallOnce(&TContentImageLoad::FWhenFinished, std::move(f)); }

bool TContentImageLoad::IsFinished() {
  std::lock_guard<std::mutex> lock(FLock);
  return FFinished;
}

void TContentImageLoad::Finished() {
  std::function<void()> f, progress;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FFinished = true;
    f = std::move(FWhenFinished);
    progress = std::move(FWhenProgress);
  }
  if (f) f();
  if (progress) progress();
}

bool TContentImageLoad::CopyEarlyFile(const std::string& path, std::string& data) {
  // Copied under the lock: a failing load frees these files once LoadAbandoned has it.
  std::lock_guard<std::mutex> lock(FLock);
  const auto found = FEarly.find(path);
  if (found == FEarly.end()) return false;
  data = found->second->Data;
  return true;
}

bool TContentImageLoad::HasEarlyFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(FLock);
  return FEarly.count(path) != 0;
}

void TContentImageLoad::WhenProgress(std::function<void()> f) {
  // Someone waits for the worker: it may no longer leave the processor to others.
  Hurry();
  CallOnce(&TContentImageLoad::FWhenProgress, std::move(f));
}

void TContentImageLoad::FileLoaded(const std::string& path, const TMFSFile& file) {
  std::function<void()> progress;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FEarly.emplace(path, &file);
    progress = std::move(FWhenProgress);
  }
  if (progress) progress();
}

void TContentImageLoad::LoadAbandoned() {
  std::lock_guard<std::mutex> lock(FLock);
  FEarly.clear();
}

namespace {

// The calling thread, or the worker named, at idle priority or back at the usual one (Linux).
void SetIdle(std::thread::native_handle_type thread, bool idle) {
#ifdef __linux__
  sched_param none{};
  pthread_setschedparam(thread, idle ? SCHED_IDLE : SCHED_OTHER, &none);
#else
  (void)thread, (void)idle;
#endif
}

}  // namespace

void TContentImageLoad::WorkerStarted() {
  std::lock_guard<std::mutex> lock(FLock);
  FWorker = pthread_self();
  if (!FHurried) SetIdle(*FWorker, true);
}

void TContentImageLoad::Hurry() {
  std::lock_guard<std::mutex> lock(FLock);
  if (std::exchange(FHurried, true) || FFinished || !FWorker) return;
  SetIdle(*FWorker, false);
}

std::shared_ptr<TContentImageLoad> StartContentImageLoad(std::optional<std::string> cab, std::string bookFile) {
  auto load = std::make_shared<TContentImageLoad>();
  // The worker holds the load by address: it lives until the worker is done (whoever owns it
  // waits for Done first).
  // The image itself is held by address too: its owner may change (the book takes it).
  load->Done = std::async(std::launch::async, [load = load.get(), image = load->Image.get(), cab = std::move(cab),
                                               book = std::move(bookFile)]() mutable {
    struct TLastWord {
      TContentImageLoad* Load;
      ~TLastWord() { Load->Finished(); }
    } lastWord{load};
    load->WorkerStarted();
    if (cab) LoadCabImage(*image, std::move(*cab), {}, load);
    else LoadContentImage(*image, book, load);
  });
  return load;
}
