#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "unlha32/unlha32.h"

bool DirectoryExists(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;
  std::error_code error;
  std::filesystem::create_directories(path, error);
  // The outcome, not the library's report, decides: a parallel creator may have won the race.
  if (DirectoryExists(path)) return true;
  // Callers report errno: give them the reason, not whatever an earlier call left there. A
  // file standing where a folder should be is reported as "Not a directory".
  errno = !error || error.value() == EEXIST ? ENOTDIR : error.value();
  return false;
}
