#include <sys/stat.h>

#include <filesystem>

#include "unlha32/unlha32.h"

bool DirectoryExists(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;
  std::error_code ignored;
  std::filesystem::create_directories(path, ignored);
  // The outcome, not the library's report, decides: a parallel creator may have won the race.
  return DirectoryExists(path);
}
