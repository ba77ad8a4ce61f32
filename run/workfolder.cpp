#include "run/workfolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/paths.h"
#include "unlha32/unlha32.h"

namespace {

// The mark of an extraction folder. It is made before anything is extracted, so a folder without
// it holds nothing of an archive; its name has a letter, so it is no entry folder.
constexpr const char* kMarkName = "nabik-extraction";

bool IsExtractionName(const std::string& name) {
  size_t dots = 0;
  for (const char c : name) {
    if (c == '.')
      ++dots;
    else if (c < '0' || c > '9')
      return false;
  }
  return dots == 1 && name.front() != '.' && name.back() != '.';
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

tworkfolder::tworkfolder(const std::string& outputFolder) : path_(outputFolder + "tmp") {}

void tworkfolder::RemoveLeftovers() const {
  if (!IsFolder(path_)) return;
  std::vector<std::string> names;
  try {
    names = ListFolder(path_);
  } catch (const NabikError&) {
    return;  // the first extraction into it says why
  }
  for (const std::string& name : names) {
    const std::string folder = path_ + "/" + name;
    if (!IsExtractionName(name) || !IsFolder(folder)) continue;
    if (IsFile(folder + "/" + kMarkName))
      textractfolder(folder).Remove();
    else
      ::rmdir(folder.c_str());  // a run killed before it marked the folder left it empty: only
                                // an empty one goes, so nothing that anyone put there is lost
  }
}

std::string tworkfolder::NewFolder() {
  if (!DirectoryExists(path_) && !ForceDirectories(path_))
    throw NabikError("Cannot create the folder " + path_ + ": " + std::strerror(errno));
  const std::string prefix = path_ + "/" + std::to_string(::getpid()) + ".";
  for (;;) {
    const std::string folder = prefix + std::to_string(next_++);
    if (::mkdir(folder.c_str(), 0755) != 0) {
      if (errno == EEXIST) continue;  // a folder of an earlier process of this number
      throw NabikError("Cannot create the folder " + folder + ": " + std::strerror(errno));
    }
    const std::string mark = folder + "/" + kMarkName;
    const int fd = ::open(mark.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      const int reason = errno;
      ::rmdir(folder.c_str());
      throw NabikError("Cannot create " + mark + ": " + std::strerror(reason));
    }
    ::close(fd);
    return folder;
  }
}

textractfolder& textractfolder::operator=(textractfolder&& other) noexcept {
  if (this != &other) {
    Remove();
    path_ = std::exchange(other.path_, std::string());
  }
  return *this;
}

void textractfolder::Remove() {
  if (path_.empty()) return;
  std::error_code ignored;  // what cannot be removed is never read again: not an error
  std::filesystem::remove_all(path_, ignored);
  path_.clear();
}
