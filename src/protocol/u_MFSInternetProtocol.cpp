#include "u_MFSInternetProtocol.h"

#include "u_CodePage.h"

TMFSInternetProtocol::TMFSInternetProtocol(const std::string& schemeName, TMFS* image)
    : FImage(image), FProtocolName(schemeName), FSupport(std::make_unique<TInternetProtocolSupport>()) {
  FSupport->SetProtocol(schemeName);
  FSupport->OnGetData = [this](TInternetProtocolSupport&, const std::string& path, std::string& data) {
    data = Read(path);
  };
  FSupport->OnCombineURL = [](TInternetProtocolSupport&, const std::string& base, const std::string& relative,
                              std::string& result) { result = Combine(base, relative); };
  FSupport->SetActive(true);
}

TMFSInternetProtocol::~TMFSInternetProtocol() = default;

std::string TMFSInternetProtocol::Read(const std::string& path) {
  std::string filePath = path;
  // mfs:mfs:\a.htm reads the same file as mfs:\a.htm.
  if (filePath.size() > FProtocolName.size() && filePath[FProtocolName.size()] == ':' &&
      SameText(std::string_view(filePath).substr(0, FProtocolName.size()), FProtocolName))
    filePath.erase(0, FProtocolName.size() + 1);
  std::string data = FImage->Session()->GetFile(filePath)->Data;
  if (OnAfterGetData) OnAfterGetData(*this, filePath, data);
  return data;
}

std::string TMFSInternetProtocol::Combine(const std::string& basePath, const std::string& relativePath) {
  std::string base = TMFS::ConvertSlashes(basePath);
  std::string relative = TMFS::ConvertSlashes(relativePath);
  if (!relative.empty() && relative.front() == '\\') return relative;
  return TMFS::ExtractFilePath(base) + relative;
}
