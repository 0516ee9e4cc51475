// Serves the files of one MFS image under one URL scheme (mfs: for the content image, system:
// for the system image), with a hook that may rewrite every file before the browser gets it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "u_InternetProtocolSupport.h"
#include "u_MFS.h"

class TMFSInternetProtocol {
public:
  using TAfterGetDataEvent = std::function<void(TMFSInternetProtocol& sender, const std::string& path, std::string& data)>;

  // Registers the scheme at once; registration errors reach the creator.
  TMFSInternetProtocol(const std::string& schemeName, TMFS* image);
  ~TMFSInternetProtocol();
  TMFSInternetProtocol(const TMFSInternetProtocol&) = delete;
  TMFSInternetProtocol& operator=(const TMFSInternetProtocol&) = delete;

  const std::string& ProtocolName() const { return FProtocolName; }
  TMFS* Image() const { return FImage; }
  TInternetProtocolSupport& Support() { return *FSupport; }

  // The file at the path (after the scheme), through the image's default session.
  std::string Read(const std::string& path);
  // A relative reference against a base path: root-relative references stand as they are,
  // others follow the base's folder. No "." or ".." is resolved here.
  static std::string Combine(const std::string& basePath, const std::string& relativePath);

  TAfterGetDataEvent OnAfterGetData;
  // Consulted first with the file's absolute path: true when it gave the file's bytes (a file
  // of an image still being read); otherwise the image is read as usual.
  std::function<bool(const std::string& imagePath, std::string& data)> EarlyRead;
  // The absolute path in the image a request path names ("mfs:\a.htm" and "a.htm" give "\a.htm").
  std::string ImagePathOf(const std::string& path) const;

private:
  TMFS* FImage;
  std::string FProtocolName;
  std::unique_ptr<TInternetProtocolSupport> FSupport;
};
