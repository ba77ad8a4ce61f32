#pragma once
// Paths of the files that lie beside the executable, and folder-part helpers.
#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

// Full path of the running executable (from /proc/self/exe).
std::string ExePath();

// Folder of the executable with its trailing '/'.
std::string ExeFolder();

// `path` with the extension of its file name replaced by `ext` (appended when it has none).
std::string ChangeFileExt(std::string_view path, std::string_view ext);

// Everything up to and including the last '/' (empty when there is none).
std::string FolderPart(std::string_view path);

// The part after the last '/'.
std::string FileNamePart(std::string_view path);

// The file name's extension from its last '.', dot included (empty when none).
std::string FileExtPart(std::string_view path);

// The entries of `folder` in the order the file system lists them, without "." and "..";
// raises NabikError "Cannot read the folder <folder>: <reason>" when it cannot be read.
std::vector<std::string> ListFolder(const std::string& folder);

// Whether `now` is still the file `was` was taken of, unchanged: the same device and inode, size,
// modification and change times (a file written, replaced or given other rights differs).
bool SameFileState(const struct stat& was, const struct stat& now);
