#include "susetu/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/paths.h"
#include "common/text.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Blanks are single bytes below 0x40, so they never are the second byte of a CP932 character.
std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  return LowerSjis(Trim(a)) == LowerSjis(Trim(b));
}

// Position of the first single-byte `c` in `text`, stepping over double-byte characters
// (']' can be the second byte of one).
size_t FindSingleByte(std::string_view text, char c) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == c) return i;
    if (IsSjisLeadByte(static_cast<unsigned char>(text[i]))) ++i;
  }
  return std::string_view::npos;
}

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const size_t close = FindSingleByte(line.substr(1), ']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close));
}

// True when the last byte of `text` starts a double-byte character that has no second byte.
bool EndsInsideCharacter(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (IsSjisLeadByte(static_cast<unsigned char>(text[i])) && ++i == text.size()) return true;
  return false;
}

struct tkeyline {
  std::string_view Key;
  std::string_view Value;
};

// The key and value of a "key=value" line; nullopt for comments, sections and other lines.
std::optional<tkeyline> KeyLine(std::string_view line) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';' || SectionName(trimmed)) return std::nullopt;
  const size_t equals = line.find('=');  // '=' is never the second byte of a character
  if (equals == std::string_view::npos) return std::nullopt;
  return tkeyline{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
}

// The lines [First, Last) of a section, its header at First - 1.
struct tsectionrange {
  size_t First;
  size_t Last;
};

std::optional<tsectionrange> FindSection(const tinifile& ini, std::string_view section) {
  const auto& lines = ini.Lines;
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(lines[i].Text);
    if (!name || !SameName(*name, section)) continue;
    size_t last = i + 1;
    while (last < lines.size() && !SectionName(lines[last].Text)) ++last;
    return tsectionrange{i + 1, last};
  }
  return std::nullopt;
}

std::optional<size_t> FindKey(const tinifile& ini, tsectionrange range, std::string_view key) {
  for (size_t i = range.First; i < range.Last; ++i) {
    const auto line = KeyLine(ini.Lines[i].Text);
    if (line && SameName(line->Key, key)) return i;
  }
  return std::nullopt;
}

// Inserts a CR LF line before `at`; the line before it gets a line end if it had none.
void InsertLine(tinifile& ini, size_t at, std::string text) {
  if (at > 0 && ini.Lines[at - 1].End.empty()) ini.Lines[at - 1].End = kCrLf;
  ini.Lines.insert(ini.Lines.begin() + static_cast<std::ptrdiff_t>(at),
                   tiniline{std::move(text), std::string(kCrLf)});
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != text.npos;
}

// Reads a whole file through a descriptor. `missing` tells a file that is not there.
bool ReadWhole(const std::string& path, std::string& content, bool& missing) {
  content.clear();
  missing = false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    return false;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The file a write replaces: a symbolic link is followed, so that the link stays in place.
std::string TargetOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// Writes `content` to a new file beside `path`, flushes it to disk and renames it over `path`.
bool ReplaceFileAtomically(const std::string& path, std::string_view content) {
  struct stat old;
  const bool existed = stat(path.c_str(), &old) == 0;
  if (existed && !S_ISREG(old.st_mode)) return false;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = WriteAll(fd, content);
  if (ok && existed) ok = fchmod(fd, old.st_mode & 07777) == 0;
  if (ok) ok = fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable; the file is already complete whatever happens here.
  const std::string folder = FolderPart(path);
  const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace

tinifile ParseIni(std::string_view content) {
  tinifile ini;
  while (!content.empty()) {
    const size_t lf = content.find('\n');
    std::string_view text = content.substr(0, lf);
    std::string end;
    if (lf != std::string_view::npos) {
      end = "\n";
      if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
        end = kCrLf;
      }
      content.remove_prefix(lf + 1);
    } else {
      content = {};
    }
    ini.Lines.push_back(tiniline{std::string(text), std::move(end)});
  }
  return ini;
}

std::string JoinIni(const tinifile& ini) {
  std::string out;
  for (const tiniline& line : ini.Lines) {
    out += line.Text;
    out += line.End;
  }
  return out;
}

std::optional<std::string> IniValue(const tinifile& ini, std::string_view section,
                                    std::string_view key) {
  const auto range = FindSection(ini, section);
  if (!range) return std::nullopt;
  const auto at = FindKey(ini, *range, key);
  if (!at) return std::nullopt;
  return std::string(KeyLine(ini.Lines[*at].Text)->Value);
}

void SetIniValue(tinifile& ini, std::string_view section, std::string_view key,
                 std::string_view value) {
  std::string line = std::string(key) + "=" + std::string(value);
  const auto range = FindSection(ini, section);
  if (!range) {
    InsertLine(ini, ini.Lines.size(), "[" + std::string(section) + "]");
    InsertLine(ini, ini.Lines.size(), std::move(line));
    return;
  }
  if (const auto at = FindKey(ini, *range, key)) {
    ini.Lines[*at] = tiniline{std::move(line), std::string(kCrLf)};
    return;
  }
  size_t insertAt = range->First;
  for (size_t i = range->First; i < range->Last; ++i)
    if (!Trim(ini.Lines[i].Text).empty()) insertAt = i + 1;
  InsertLine(ini, insertAt, std::move(line));
}

tinifile LoadIniFile(const std::string& path) {
  std::string content;
  bool missing;
  if (!ReadWhole(path, content, missing)) return {};
  return ParseIni(content);
}

bool WriteIniValue(const std::string& path, std::string_view section, std::string_view key,
                   std::string_view value) {
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
  if (FindSingleByte(section, ']') != std::string_view::npos) return false;
  // A section ending in the first byte of a double-byte character would swallow its closing
  // ']': the header could never be read back, and every write would add the section again.
  if (EndsInsideCharacter(section)) return false;
  if (key.find('=') != std::string_view::npos || Trim(key).empty()) return false;
  const std::string target = TargetOf(path);
  std::string content;
  bool missing;
  if (!ReadWhole(target, content, missing) && !missing) return false;
  tinifile ini = ParseIni(content);
  SetIniValue(ini, section, key, value);
  return ReplaceFileAtomically(target, JoinIni(ini));
}
