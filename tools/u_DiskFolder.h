// Moving MFS trees to and from disk folders for the authoring tools: names between UTF-8 and
// the book's code page, file times and DOS date-times.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "u_Errors.h"
#include "u_MFS.h"

class EToolError : public Exception { using Exception::Exception; };

std::string ReadDiskFile(const std::filesystem::path& path);
// Written beside the target and renamed, so the file appears whole or not at all.
void WriteDiskFileAtomically(const std::filesystem::path& path, const std::string& data);

std::uint32_t DosDateTimeOfFileTime(std::filesystem::file_time_type t);
std::filesystem::file_time_type FileTimeOfDosDateTime(std::uint32_t dosDateTime);

// Fills the folder with the disk folder's files and folders. Names the code page cannot hold,
// and two names equal up to letter case, are errors naming the file.
void ImportFolder(const std::filesystem::path& disk, TMFSFolder* target);
// Writes the folder's tree under a disk folder, with the entries' dates as file times.
void ExportFolder(const TMFSFolder* folder, const std::filesystem::path& disk);

// Prints the tree, each folder followed by what it holds, with dates and sizes.
void ListTree(const TMFS& mfs, std::FILE* out);
