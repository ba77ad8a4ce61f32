#include "support/test_support.h"

#include <shapefil.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testing_support {

ScratchDir::ScratchDir() {
  std::random_device rd;
  for (;;) {
    path_ = std::filesystem::temp_directory_path() /
            ("nabik-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Restore permissions a test may have taken away so that the folder can go.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string Sample(std::string_view relative) {
  return std::string(NABIK_SAMPLES_DIR) + "/" + std::string(relative);
}

std::string RunCommand(const std::string& command, int* status) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::string output;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  const int rc = pclose(pipe);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return output;
}

SetCounts CountSet(const std::string& base) {
  SetCounts c;
  if (SHPHandle shp = SHPOpen(base.c_str(), "rb")) {
    SHPGetInfo(shp, &c.shapes, nullptr, nullptr, nullptr);
    SHPClose(shp);
  }
  if (DBFHandle dbf = DBFOpen(base.c_str(), "rb")) {
    c.records = DBFGetRecordCount(dbf);
    DBFClose(dbf);
  }
  return c;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
  getrlimit(RLIMIT_FSIZE, &saved_);
  oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = saved_;
  limit.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &saved_);
  std::signal(SIGXFSZ, oldHandler_);
}

bool HaveProgram(const std::string& program) {
  int status = 0;
  RunCommand("command -v " + program + " >/dev/null 2>&1", &status);
  return status == 0;
}

}  // namespace testing_support
