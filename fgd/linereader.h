#pragma once
// Streams a text file line by line without copying: each line is a view into one read buffer
// that grows only for a line longer than itself, up to kMaxLineBytes. Lines end with LF or CR LF,
// or in a file whose first line ends in a lone CR, also with a lone CR; a line is given without
// its line end and may hold any byte, NUL included.
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fgd/bytescan.h"

// The longest line read: memory stays bounded whatever a file holds.
constexpr size_t kMaxLineBytes = size_t{8} << 20;

class tlinereader {
 public:
  // Opens `path`; raises NabikError "Cannot open <path>: <reason>" when it cannot.
  explicit tlinereader(const std::string& path);
  ~tlinereader();
  tlinereader(const tlinereader&) = delete;
  tlinereader& operator=(const tlinereader&) = delete;

  // The next line, valid until the next call; false at the end of the file. Raises NabikError
  // "Cannot read <path>: <reason>" on a read error, "<path>: line N is longer than ..." for a
  // line over kMaxLineBytes, and RunStopped when the run was asked to stop.
  bool NextLine(std::string_view& line) {
    bytescan::ttags tags;
    return NextLine(line, tags);
  }

  // The bytes after the last line given, read but not yet given as lines: at least `want` of
  // them when the file holds that many more, unless a read returns fewer. For a caller that
  // parses a common line where it lies; Skip then gives up its bytes, line end included. Valid
  // until the next call.
  std::string_view Ahead(size_t want) {
    if (end_ - begin_ < want && !eof_) Fill();
    return std::string_view(buffer_.data() + begin_, end_ - begin_);
  }
  void Skip(size_t bytes) {
    begin_ += bytes;
    ++lines_;
  }

  // The same, and `tags` tells where the line's "<" bytes stand: both come from one pass over
  // the bytes. Inline: it runs once per line of the largest files.
  bool NextLine(std::string_view& line, bytescan::ttags& tags) {
    for (;;) {
      const char* data = buffer_.data();
      const char* lf =
          bytescan::LineEnd(data + begin_ + searched_, data + end_, data + begin_, tags_);
      if (!lf) {
        searched_ = end_ - begin_;
        if (Fill()) continue;
        if (begin_ == end_) return false;  // the last line may have no LF
      }
      size_t length = (lf ? lf - data : end_) - begin_;
      const size_t next = begin_ + length + (lf ? 1 : 0);
      data = buffer_.data();  // Fill may have moved the bytes
      if (lf && length > 0 && data[begin_ + length - 1] == '\r') --length;
      line = std::string_view(data + begin_, length);
      tags = tags_;
      begin_ = next;
      searched_ = 0;
      tags_ = bytescan::ttags();
      ++lines_;
      return true;
    }
  }

 private:
  // Reads more bytes after the unread ones, or turns lone CRs among them into LFs; false at the
  // end of the file.
  bool Fill();
  void DecideLineEnds();
  void EndLoneCrs(size_t from, size_t to);

  std::string path_;
  int fd_ = -1;
  std::vector<char> buffer_;
  size_t begin_ = 0;  // first unread byte
  size_t end_ = 0;    // one past the last byte read
  bool eof_ = false;
  int loneCrs_ = -1;      // 1: lines end in a lone CR too (the first one did); -1: not known yet
  size_t lines_ = 0;      // lines given so far
  size_t searched_ = 0;   // bytes of the current line already scanned
  bytescan::ttags tags_;  // its "<" bytes among them
};
