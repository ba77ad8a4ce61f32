#include "common/textfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/errors.h"

bool WriteWholeFile(const std::string& path, std::string_view content) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) return false;
  const bool written = std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
  const bool closed = std::fclose(file.release()) == 0;
  if (!written || !closed) throw NabikError("Cannot write " + path + ": " + std::strerror(errno));
  return true;
}

bool WriteTextLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string content;
  for (const std::string& line : lines) content.append(line).append("\r\n");
  return WriteWholeFile(path, content);
}
