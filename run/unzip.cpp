#include "run/unzip.h"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "common/errors.h"

namespace {

struct ZipArchiveCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};

// A file descriptor that removes its (temporary) file unless it was committed.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  bool ok() const { return fd_ >= 0; }
  bool Write(const char* data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  bool CommitAs(const std::string& target) {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return false;
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

[[noreturn]] void Fail(const std::string& what) {
  throw NabikError(what + ": " + std::strerror(errno));
}

}  // namespace

std::string FlatEntryName(const std::string& storedName) {
  const auto sep = storedName.find_last_of("/\\");
  std::string name = sep == std::string::npos ? storedName : storedName.substr(sep + 1);
  if (name == "." || name == "..") name.clear();
  return name;
}

void ExtractZipFlat(const std::string& archive, const std::string& folder) {
  int error = 0;
  std::unique_ptr<zip_t, ZipArchiveCloser> zip(zip_open(archive.c_str(), ZIP_RDONLY, &error));
  if (!zip) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, error);
    const std::string message =
        "Cannot open the archive " + archive + ": " + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    throw NabikError(message);
  }
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  const zip_int64_t count = zip_get_num_entries(zip.get(), 0);
  std::vector<char> buffer(1 << 16);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* stored = zip_get_name(zip.get(), i, ZIP_FL_ENC_RAW);
    if (!stored) continue;
    const std::string name = FlatEntryName(stored);
    if (name.empty()) continue;
    const std::string target = base + name;
    std::unique_ptr<zip_file_t, ZipFileCloser> entry(zip_fopen_index(zip.get(), i, 0));
    if (!entry)
      throw NabikError("Cannot extract " + std::string(stored) + " from " + archive + ": " +
                       zip_strerror(zip.get()));
    TempFile out(base + ".nabik-unzip.tmp");
    if (!out.ok()) Fail("Cannot create " + target);
    for (;;) {
      const zip_int64_t n = zip_fread(entry.get(), buffer.data(), buffer.size());
      if (n < 0)
        throw NabikError("Cannot extract " + std::string(stored) + " from " + archive + ": " +
                         zip_file_strerror(entry.get()));
      if (n == 0) break;
      if (!out.Write(buffer.data(), static_cast<size_t>(n))) Fail("Cannot write " + target);
    }
    if (!out.CommitAs(target)) Fail("Cannot write " + target);
  }
}
