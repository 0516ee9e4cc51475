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

namespace {

// mfs:mfs:\a.htm reads the same file as mfs:\a.htm.
std::string WithoutScheme(const std::string& path, const std::string& scheme) {
  if (path.size() > scheme.size() && path[scheme.size()] == ':' && SameText(std::string_view(path).substr(0, scheme.size()), scheme))
    return path.substr(scheme.size() + 1);
  return path;
}

}  // namespace

std::string TMFSInternetProtocol::ImagePathOf(const std::string& path) const {
  std::string imagePath = TMFS::ConvertSlashes(WithoutScheme(path, FProtocolName));
  if (imagePath.empty() || imagePath.front() != '\\') imagePath.insert(0, 1, '\\');
  return imagePath;
}

std::string TMFSInternetProtocol::Read(const std::string& path) {
  const std::string filePath = WithoutScheme(path, FProtocolName);
  std::string data;
  if (!EarlyRead || !EarlyRead(ImagePathOf(filePath), data)) data = FImage->Session()->GetFile(filePath)->Data;
  if (OnAfterGetData) OnAfterGetData(*this, filePath, data);
  return data;
}

std::string TMFSInternetProtocol::Combine(const std::string& basePath, const std::string& relativePath) {
  std::string base = TMFS::ConvertSlashes(basePath);
  std::string relative = TMFS::ConvertSlashes(relativePath);
  if (!relative.empty() && relative.front() == '\\') return relative;
  return TMFS::ExtractFilePath(base) + relative;
}
