#include "fgd/linereader.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "common/errors.h"

namespace {

// Large enough that the system call per block costs nothing beside the scan of its lines.
constexpr size_t kBlockBytes = size_t{256} << 10;

// The block of the last reader, kept for the next one: a run reads many small files, and a
// fresh block for each cost more (allocation, zero fill, page faults) than reading them.
thread_local std::vector<char> SpareBlock;

}  // namespace

tlinereader::tlinereader(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw NabikError("Cannot open " + path + ": " + std::strerror(errno));
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  buffer_.swap(SpareBlock);
  if (buffer_.size() < kBlockBytes) buffer_.resize(kBlockBytes);
}

tlinereader::~tlinereader() {
  if (fd_ >= 0) ::close(fd_);
  // A block grown for one very long line is given back, not kept.
  if (buffer_.size() <= 4 * kBlockBytes && buffer_.size() > SpareBlock.size())
    buffer_.swap(SpareBlock);
}

bool tlinereader::Fill() {
  if (eof_) return false;
  if (begin_ > 0) {
    // Keep the unread part of a line at the front.
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);  // one line fills the block
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (n > 0) {
      end_ += static_cast<size_t>(n);
      return true;
    }
    if (n == 0) {
      eof_ = true;
      return false;
    }
    if (errno != EINTR) throw NabikError("Cannot read " + path_ + ": " + std::strerror(errno));
  }
}
