// Moving MFS trees to and from disk folders, for the authoring tools and the viewer's folder mode: names between UTF-8 and
// the book's code page, file times and DOS date-times.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "u_Errors.h"
#include "u_MFS.h"

class EToolError : public Exception { using Exception::Exception; };

std::string ReadDiskFile(const std::filesystem::path& path);
// Written into a new file of our own beside the target (created exclusively, never following or
// reusing an existing name) and renamed over it, so the file appears whole or not at all.
// beforeRename gets the whole new file first; when it throws, the file goes and the target stays.
void WriteDiskFileAtomically(const std::filesystem::path& path, std::initializer_list<std::string_view> parts,
                             std::filesystem::perms permissions = std::filesystem::perms::owner_read |
                                                                  std::filesystem::perms::owner_write,
                             const std::function<void(const std::filesystem::path& written)>& beforeRename = {});
inline void WriteDiskFileAtomically(const std::filesystem::path& path, const std::string& data) {
  WriteDiskFileAtomically(path, {std::string_view(data)});
}
// Something a run reads: a file, or a folder with everything below it, and what the command line
// calls it ("the content folder", "--from").
struct TRunInput {
  std::filesystem::path Path;
  std::string Role;
};
// Refuses, naming both, a target that is one of the inputs or lies inside an input folder: by
// the name as given, by its real path after links, and by device and inode where they exist.
// Called before anything is read or written.
void RefuseOverwritingInputs(const std::filesystem::path& target, const std::vector<TRunInput>& inputs);

// The permissions a new file or folder gets from the user's umask: 0666 or 0777 less it.
std::filesystem::perms UsualPermissions(bool folder = false);

// What one book image may hold: a Cabinet folder's largest uncompressed size.
inline constexpr std::uint64_t MaxImageBytes = 0x7FFF8000;

std::uint32_t DosDateTimeOfFileTime(std::filesystem::file_time_type t);
std::filesystem::file_time_type FileTimeOfDosDateTime(std::uint32_t dosDateTime);

// The code page a book is read in from its folders when the author names none (quirelle-pack
// and the viewer's folder mode alike): UTF-8 when the system folder's .xml files are UTF-8 with
// letters beyond ASCII, or when they are plain ASCII and a name does not fit the locale's code
// page; else the locale's code page.
int ChosenCodePage(const std::filesystem::path& system, const std::filesystem::path& content);

// Fills the folder with the disk folder's files and folders. Names the code page cannot hold,
// names with a backslash, two names equal up to letter case, links that lead outside the
// folder and files beyond what an image holds are errors naming the file.
void ImportFolder(const std::filesystem::path& disk, TMFSFolder* target);
// The same for files held in memory, named by UTF-8 paths with "/" between folders ("OPS/a.xhtml"),
// under the same rules; folders are made as the paths need them.
void ImportFiles(const std::vector<std::pair<std::string, std::string>>& files, TMFSFolder* target);
// Fails, naming both, when two entries of the tree would be written under one disk name.
void CheckDiskNames(const TMFSFolder* folder, const std::string& where);
// Writes the folder's tree under a disk folder, with the entries' dates as file times.
void ExportFolder(const TMFSFolder* folder, const std::filesystem::path& disk);

// Prints the tree, each folder followed by what it holds, with dates and sizes.
void ListTree(const TMFS& mfs, std::FILE* out);
