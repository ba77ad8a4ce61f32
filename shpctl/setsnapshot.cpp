#include "shpctl/setsnapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace {

// Main file and index: a 100-byte header each.
constexpr size_t kShapeHeaderBytes = 100;
// Table: its header length is the 16-bit little-endian number at byte 8.
constexpr size_t kTableHeaderLengthAt = 8;

bool ReadAt(int fd, std::string& into, size_t bytes) {
  into.assign(bytes, '\0');
  size_t got = 0;
  while (got < bytes) {
    const ssize_t n = ::pread(fd, into.data() + got, bytes - got, static_cast<off_t>(got));
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool TakePart(const std::string& path, bool table, tsetsnapshot::tpart& part) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  size_t headBytes = kShapeHeaderBytes;
  if (ok && table) {
    std::string start;
    ok = ReadAt(fd, start, kTableHeaderLengthAt + 2);
    if (ok)
      headBytes = static_cast<unsigned char>(start[kTableHeaderLengthAt]) |
                  static_cast<size_t>(static_cast<unsigned char>(start[kTableHeaderLengthAt + 1]))
                      << 8;
  }
  if (ok) ok = headBytes <= static_cast<size_t>(st.st_size) && ReadAt(fd, part.Head, headBytes);
  ::close(fd);
  part.Path = path;
  part.Size = st.st_size;
  return ok;
}

bool RestorePart(const tsetsnapshot::tpart& part) {
  const int fd = ::open(part.Path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, static_cast<off_t>(part.Size)) == 0;
  size_t done = 0;
  while (ok && done < part.Head.size()) {
    const ssize_t n =
        ::pwrite(fd, part.Head.data() + done, part.Head.size() - done, static_cast<off_t>(done));
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace

tsetsnapshot TakeSetSnapshot(const std::string& base) {
  tsetsnapshot snapshot;
  for (const char* ext : {".shp", ".shx", ".dbf"}) {
    tsetsnapshot::tpart part;
    if (TakePart(base + ext, ext[1] == 'd', part)) snapshot.Parts.push_back(std::move(part));
  }
  return snapshot;
}

bool RestoreSetSnapshot(const tsetsnapshot& snapshot) {
  bool ok = true;
  for (const tsetsnapshot::tpart& part : snapshot.Parts)
    if (!RestorePart(part)) ok = false;
  return ok;
}
