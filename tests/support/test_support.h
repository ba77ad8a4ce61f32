#pragma once
// Helpers shared by the test programs: scratch folders, files, catalog lines.
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace testing_support {

// A fresh empty folder under the system temp folder, removed when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // The folder with a trailing '/', as the program's output folders are spelled.
  std::string Folder() const { return path_.string() + "/"; }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, std::string_view content);

// Path of a file in the sample data copied into tests/data/fgd.
std::string Sample(std::string_view relative);

// Runs a shell command and returns its standard output; `status` gets the exit status.
std::string RunCommand(const std::string& command, int* status = nullptr);

// Shapes and records of a layer set (base path without extension) as shapelib reads them
// back; -1 for a file that does not open.
struct SetCounts {
  int shapes = -1, records = -1;
};
SetCounts CountSet(const std::string& base);

// A file-size limit for this process and the programs it starts: writes past it fail with
// EFBIG, as on a full disk (SIGXFSZ is ignored). The old limit comes back when the object goes.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*oldHandler_)(int) = nullptr;
};

// True when `program` is found on PATH.
bool HaveProgram(const std::string& program);

}  // namespace testing_support
