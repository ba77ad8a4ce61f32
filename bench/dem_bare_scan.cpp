// The bound for any DEM reader: splits the lines of each file given and parses the number after
// the comma of every line without "<", nothing else. Usage: dem_bare_scan FILE...
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  std::vector<char> buffer(1 << 20);
  double sum = 0;
  long lines = 0, values = 0;
  for (int i = 1; i < argc; ++i) {
    const int fd = open(argv[i], O_RDONLY);
    if (fd < 0) return 1;
    size_t begin = 0, end = 0;
    for (;;) {
      const char* data = buffer.data();
      const char* lf;
      while ((lf = static_cast<const char*>(std::memchr(data + begin, '\n', end - begin)))) {
        const char* p = data + begin;
        ++lines;
        if (!std::memchr(p, '<', lf - p)) {
          if (const char* comma = static_cast<const char*>(std::memchr(p, ',', lf - p))) {
            float v = 0;
            std::from_chars(comma + 1, lf, v);
            sum += v;
            ++values;
          }
        }
        begin = lf - data + 1;
      }
      std::memmove(buffer.data(), buffer.data() + begin, end - begin);
      end -= begin;
      begin = 0;
      if (end == buffer.size()) buffer.resize(buffer.size() * 2);
      const ssize_t n = read(fd, buffer.data() + end, buffer.size() - end);
      if (n <= 0) break;
      end += n;
    }
    close(fd);
  }
  std::printf("%ld lines, %ld values, checksum %.3f\n", lines, values, sum);
  return 0;
}
