#include "fgd/linereader.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/errors.h"
#include "common/stop.h"

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

// Turns each CR in [from, to) that no LF follows into an LF; a CR at the end of what was read
// waits for the next byte, unless the file ends there. True when a byte changed: the line being
// searched is then searched again.
bool tlinereader::EndLoneCrs(size_t from, size_t to) {
  bool changed = false;
  char* data = buffer_.data();
  for (char* cr = static_cast<char*>(std::memchr(data + from, '\r', to - from)); cr;
       cr = static_cast<char*>(std::memchr(cr + 1, '\r', data + to - cr - 1))) {
    const size_t at = cr - data;
    if (at + 1 < end_ ? data[at + 1] == '\n' : !eof_) continue;
    *cr = '\n';
    changed = true;
    if (at + 1 >= to) break;
  }
  if (changed) {
    loneCrs_ = true;
    searched_ = 0;
    tags_ = bytescan::ttags();
  }
  return changed;
}

bool tlinereader::Fill() {
  CheckStop();
  if (eof_) return false;
  // What is unread holds no LF (or the caller wants more of it): a lone CR there ends a line.
  // Files with CR LF ends meet at most the one CR at the end here, so the check costs nothing.
  if (begin_ < end_ && EndLoneCrs(begin_, end_)) return true;
  if (begin_ > 0) {
    // Keep the unread part of a line at the front.
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) {  // one line fills the block
    if (buffer_.size() >= kMaxLineBytes)
      throw NabikError(path_ + ": line " + std::to_string(lines_ + 1) + " is longer than " +
                       std::to_string(kMaxLineBytes >> 20) + " MB; the file was not read further");
    buffer_.resize(std::min(buffer_.size() * 2, kMaxLineBytes));
  }
  for (;;) {
    const size_t before = end_;
    const ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (n > 0) {
      end_ += static_cast<size_t>(n);
      // A CR left at the end of the last read is judged now that its next byte is here.
      if (loneCrs_) EndLoneCrs(before > begin_ ? before - 1 : begin_, end_);
      return true;
    }
    if (n == 0) {
      eof_ = true;
      if (begin_ < end_ && buffer_[end_ - 1] == '\r') EndLoneCrs(end_ - 1, end_);
      return begin_ < end_ && buffer_[end_ - 1] == '\n';
    }
    if (errno != EINTR) throw NabikError("Cannot read " + path_ + ": " + std::strerror(errno));
  }
}
