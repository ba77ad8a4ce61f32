#pragma once
// Streams a text file line by line without copying: each line is a view into one read buffer
// that grows only for a line longer than itself. Lines end with LF or CR LF; a line is given
// without its line end and may hold any byte, NUL included.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class tlinereader {
 public:
  // Opens `path`; raises NabikError "Cannot open <path>: <reason>" when it cannot.
  explicit tlinereader(const std::string& path);
  ~tlinereader();
  tlinereader(const tlinereader&) = delete;
  tlinereader& operator=(const tlinereader&) = delete;

  // The next line, valid until the next call; false at the end of the file. Raises NabikError
  // "Cannot read <path>: <reason>" on a read error.
  bool NextLine(std::string_view& line);

 private:
  bool Fill();  // reads more bytes after the unread ones; false at the end of the file

  std::string path_;
  int fd_ = -1;
  std::vector<char> buffer_;
  size_t begin_ = 0;  // first unread byte
  size_t end_ = 0;    // one past the last byte read
  bool eof_ = false;
};
