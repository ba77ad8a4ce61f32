// The bound for any line reader: splits the lines of a file and parses the two numbers of
// every line without "<", nothing else. Usage: bare_scan FILE
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int fd = open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  std::vector<char> buffer(1 << 20);
  size_t begin = 0, end = 0;
  double sum = 0;
  long lines = 0, tuples = 0;
  for (;;) {
    const char* data = buffer.data();
    const char* lf;
    while ((lf = static_cast<const char*>(std::memchr(data + begin, '\n', end - begin)))) {
      const char* p = data + begin;
      ++lines;
      if (!std::memchr(p, '<', lf - p)) {
        while (p < lf && *p == ' ') ++p;
        double a = 0, b = 0;
        auto r = std::from_chars(p, lf, a);
        p = r.ptr;
        while (p < lf && *p == ' ') ++p;
        std::from_chars(p, lf, b);
        sum += a + b;
        ++tuples;
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
  std::printf("%ld lines, %ld tuples, checksum %.3f\n", lines, tuples, sum);
  return 0;
}
