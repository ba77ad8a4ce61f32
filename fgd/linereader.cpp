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
// waits for the next byte, unless the file ends there. When a byte changed, the line being
// searched is searched again.
void tlinereader::EndLoneCrs(size_t from, size_t to) {
  bool changed = false;
  char* data = buffer_.data();
  for (char* cr = static_cast<char*>(std::memchr(data + from, '\r', to - from)); cr;
       cr = static_cast<char*>(std::memchr(cr + 1, '\r', data + to - cr - 1))) {
    const size_t at = cr - data;
    if (at + 1 < end_ ? data[at + 1] == '\n' : !eof_) continue;
    *cr = '\n';
    changed = true;
  }
  if (changed) {
    searched_ = 0;
    tags_ = bytescan::ttags();
  }
}

// A file's first line end decides how all its lines end: a lone CR there makes every lone CR a
// line end (files saved with CR ends); otherwise CR bytes stay what they are. Decided once per
// file, so the common files pay nothing per line and a file reads alike whatever the blocks.
void tlinereader::DecideLineEnds() {
  const char* data = buffer_.data();
  const size_t unread = end_ - begin_;
  const char* lf = static_cast<const char*>(std::memchr(data + begin_, '\n', unread));
  const char* cr = static_cast<const char*>(
      std::memchr(data + begin_, '\r', lf ? static_cast<size_t>(lf - data) - begin_ : unread));
  if (!cr) {
    if (lf) loneCrs_ = 0;  // else the first line goes on: decided when its end is read
    return;
  }
  const size_t at = cr - data;
  if (at + 1 < end_)
    loneCrs_ = data[at + 1] == '\n' ? 0 : 1;
  else if (eof_)
    loneCrs_ = 1;
}

bool tlinereader::Fill() {
  CheckStop();
  if (eof_) return false;
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
    } else if (n == 0) {
      eof_ = true;
    } else if (errno == EINTR) {
      continue;
    } else {
      throw NabikError("Cannot read " + path_ + ": " + std::strerror(errno));
    }
    if (loneCrs_ < 0) DecideLineEnds();
    // From the byte before the new ones: a CR that ended the last read is judged now.
    if (loneCrs_ == 1 && begin_ < end_) EndLoneCrs(before > begin_ ? before - 1 : begin_, end_);
    if (n > 0) return true;
    // At the end, a converted last CR is a line end still to be given.
    return begin_ < end_ && buffer_[end_ - 1] == '\n';
  }
}
