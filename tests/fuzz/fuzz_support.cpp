#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace fuzz_support {

namespace {

struct tscratch {
  std::string folder;
  tscratch() {
    std::string pattern = (fs::temp_directory_path() / "nabik-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    folder = pattern + "/";
  }
  ~tscratch() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
};

}  // namespace

const std::string& ScratchFolder() {
  static tscratch scratch;
  return scratch.folder;
}

void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  Require(static_cast<bool>(out), "cannot write the fuzz input to " + path);
}

void EmptyFolder(const std::string& folder) {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder, ignored);
}

std::vector<std::string> ListTree(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    std::string relative = fs::relative(it->path(), folder).string();
    if (it->is_directory() && !it->is_symlink()) relative += "/";
    found.push_back(relative);
  }
  return found;
}

void Require(bool condition, std::string_view what) {
  if (condition) return;
  std::fprintf(stderr, "broken promise: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace fuzz_support
