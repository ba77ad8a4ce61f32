#pragma once
// Streams a text file line by line without copying: each line is a view into one read buffer
// that grows only for a line longer than itself. Lines end with LF or CR LF; a line is given
// without its line end and may hold any byte, NUL included.
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fgd/bytescan.h"

class tlinereader {
 public:
  // Opens `path`; raises NabikError "Cannot open <path>: <reason>" when it cannot.
  explicit tlinereader(const std::string& path);
  ~tlinereader();
  tlinereader(const tlinereader&) = delete;
  tlinereader& operator=(const tlinereader&) = delete;

  // The next line, valid until the next call; false at the end of the file. Raises NabikError
  // "Cannot read <path>: <reason>" on a read error.
  bool NextLine(std::string_view& line) {
    size_t tag;
    return NextLine(line, tag);
  }

  // The same, and `tag` gets the offset of the line's first "<" (npos when it holds none):
  // both come from one pass over the bytes. Inline: it runs once per line of the largest files.
  bool NextLine(std::string_view& line, size_t& tag) {
    for (;;) {
      const char* data = buffer_.data();
      const char* lf =
          bytescan::LineEnd(data + begin_ + searched_, data + end_, data + begin_, tag_);
      if (lf) {
        size_t length = lf - (data + begin_);
        const size_t next = begin_ + length + 1;
        if (length > 0 && data[begin_ + length - 1] == '\r') --length;
        line = std::string_view(data + begin_, length);
        tag = tag_ < length ? tag_ : std::string_view::npos;
        begin_ = next;
        searched_ = 0;
        tag_ = std::string_view::npos;
        return true;
      }
      searched_ = end_ - begin_;
      if (!Fill()) {
        if (begin_ == end_) return false;
        line = std::string_view(buffer_.data() + begin_, end_ - begin_);  // last line, no LF
        tag = tag_;
        begin_ = end_;
        searched_ = 0;
        tag_ = std::string_view::npos;
        return true;
      }
    }
  }

 private:
  bool Fill();  // reads more bytes after the unread ones; false at the end of the file

  std::string path_;
  int fd_ = -1;
  std::vector<char> buffer_;
  size_t begin_ = 0;  // first unread byte
  size_t end_ = 0;    // one past the last byte read
  bool eof_ = false;
  size_t searched_ = 0;                  // bytes of the current line already scanned
  size_t tag_ = std::string_view::npos;  // offset of its first "<" among them
};
