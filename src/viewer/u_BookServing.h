// The book's two schemes served to the engine, and the gate that holds a request for a file of
// the content image while its worker unpacks it: a file read whole already is served at once,
// any other waits (the event loop running on) and is asked again as the next file arrives.
// Pages and description files are served with the book's variables expanded. A book made from an
// EPUB also serves its content image under the frame scheme (u_EpubReading).
#pragma once

#include <functional>
#include <memory>

class QObject;
class TBook;
class TMFSInternetProtocol;

class TBookServing {
public:
  // join: waits for the content image; false when it failed (the window then ends the run).
  // failed: whether start-up has failed; every request then fails. window: where a failure met
  // at the image's end is handled, from the event loop.
  TBookServing(TBook& book, QObject* window, std::function<bool()> join, std::function<bool()> failed);
  // The gate goes first, then the protocols, before the images they serve.
  ~TBookServing();
  TBookServing(const TBookServing&) = delete;
  TBookServing& operator=(const TBookServing&) = delete;

private:
  std::unique_ptr<TMFSInternetProtocol> FContentProtocol;
  std::unique_ptr<TMFSInternetProtocol> FSystemProtocol;
  // A book from an EPUB serves its content again for frames, from an origin of their own.
  std::unique_ptr<TMFSInternetProtocol> FFrameProtocol;
};
