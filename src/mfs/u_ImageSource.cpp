#include "u_ImageSource.h"

#include "u_DataBlocks.h"
#include "u_MFSCab.h"

std::string ReadRCDataResource(const std::string& name) {
  return ReadDataBlock(OwnExecutablePath(), "RCDATA", name);
}

void LoadCabImage(TMFS& target, std::string cabData) {
  TMFS scratch;
  TMFSSession* session = scratch.Session();
  session->CreateFile("\\info.cab", 0, false)->Data = std::move(cabData);
  {
    TMFSCabReader reader(session, "\\info.cab");
    // Inflated straight into the tree where the fast path serves the image: the unpacked image
    // is then never whole in memory beside the tree made from it.
    if (reader.ReadMember("info.mfs", [&](TStream& image) { target.LoadFromImageStream(image); })) return;
    reader.Extract("info.mfs", "\\info.mfs");
  }
  // The Cabinet is no longer needed: free it before the tree is built.
  scratch.Root()->Items.Remove("info.cab");
  target.LoadFromString(session->GetFile("\\info.mfs")->Data);
}

void LoadSystemImage(TMFS& systemImage) { LoadCabImage(systemImage, ReadRCDataResource("SYSTEM_MFS")); }

void LoadContentImage(TMFS& contentImage) { LoadCabImage(contentImage, ReadRCDataResource("FILES_MFS")); }
