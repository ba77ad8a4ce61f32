#pragma once
// Helpers shared by the test programs: scratch folders, files, catalog lines.
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

// Three layer sets with known shapes in `folder`, made through the store and shapelib, and the
// catalog naming them (LayerCatalog is replaced), in this order:
//   Area (polygon, 200 0 0): record 0 the square 130.00-130.10 x 33.00-33.10 with the hole
//     130.04-130.06 x 33.04-33.06;
//   Road (line, 0 160 0): record 0 from 130.02 to 130.08 along 33.08, record 1 from 33.00 to
//     33.10 along 130.12;
//   Spot (point, square, 0 0 220): record 0 at 130.05 33.08 (on the road), record 1 at
//     130.02 33.02.
// Every record's one text field 名称 holds "<layer> <record>", Area's record 0 池の公園 in CP932.
void MakePreviewScene(const std::string& folder);

}  // namespace testing_support
