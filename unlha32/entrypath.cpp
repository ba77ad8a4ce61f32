#include "unlha32/entrypath.h"

#include <cstdint>

#include "common/text.h"

namespace {

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80           ? 1
                          : (c >> 5) == 0x6  ? 2
                          : (c >> 4) == 0xE  ? 3
                          : (c >> 3) == 0x1E ? 4
                                             : 0;
    if (length == 0 || (length > 1 && c < 0xC2) || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

uint16_t Word(std::string_view raw, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(raw[at]) |
                               static_cast<unsigned char>(raw[at + 1]) << 8);
}

// Folder names in extended headers separate their parts with 0xFF (or '/').
std::string ExtendedFolder(std::string_view data) {
  std::string folder(data);
  for (char& c : folder)
    if (static_cast<unsigned char>(c) == 0xFF) c = '/';
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

struct tstoredname {
  std::string Folder;  // from an extended header, with a trailing '/'
  std::string Name;
  bool Complete = true;
};

// Walks the extended headers that follow at `at`, each announced by the size before it.
void ReadExtendedHeaders(std::string_view raw, size_t sizeAt, tstoredname& stored) {
  size_t size = Word(raw, sizeAt);
  size_t at = sizeAt + 2;
  while (size != 0) {
    if (size < 3 || at + size > raw.size()) {
      stored.Complete = false;
      return;
    }
    const auto type = static_cast<unsigned char>(raw[at]);
    const std::string_view data = raw.substr(at + 1, size - 3);
    if (type == 0x01) stored.Name = std::string(data);
    if (type == 0x02) stored.Folder = ExtendedFolder(data);
    at += size;
    size = Word(raw, at - 2);
  }
}

}  // namespace

std::string DosNameToPath(std::string_view name) {
  const bool sjis = !IsValidUtf8(name);
  std::string path(name);
  for (size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (sjis && IsSjisLeadByte(c) && i + 1 < path.size())
      ++i;
    else if (c == '\\')
      path[i] = '/';
  }
  return path;
}

std::string StoredEntryPath(int headerLevel, std::string_view raw, std::string_view lhasaPath,
                            std::string_view lhasaFileName) {
  tstoredname stored;
  if ((headerLevel == 0 || headerLevel == 1) && raw.size() >= 22) {
    // Size, sum, method, sizes, time, attribute, level, then the name's length and the name.
    const size_t nameLength = static_cast<unsigned char>(raw[21]);
    const size_t baseEnd = static_cast<unsigned char>(raw[0]) + size_t{2};
    stored.Complete = 22 + nameLength <= raw.size();
    if (stored.Complete) stored.Name = DosNameToPath(raw.substr(22, nameLength));
    if (stored.Complete && headerLevel == 1) {
      // CRC, OS, then the size of the first extended header closes the base header.
      stored.Complete = baseEnd >= 22 + nameLength + 5 && baseEnd <= raw.size();
      if (stored.Complete) ReadExtendedHeaders(raw, baseEnd - 2, stored);
    }
  } else if (headerLevel == 2 && raw.size() >= 26) {
    ReadExtendedHeaders(raw, 24, stored);
  } else {
    stored.Complete = false;
  }
  if (!stored.Complete) return std::string(lhasaPath) + std::string(lhasaFileName);
  return stored.Folder + stored.Name;
}

std::optional<std::string> SafeRelativePath(std::string_view stored) {
  if (!stored.empty() && stored.front() == '/') return std::nullopt;
  // A NUL would end the name early when it reaches the file system, hiding what follows it.
  if (stored.find('\0') != std::string_view::npos) return std::nullopt;
  std::string result;
  bool first = true;
  while (!stored.empty()) {
    const size_t slash = std::min(stored.size(), stored.find('/'));
    const std::string_view part = stored.substr(0, slash);
    stored.remove_prefix(std::min(stored.size(), slash + 1));
    if (first && part.size() == 2 && part[1] == ':' &&
        ((part[0] >= 'A' && part[0] <= 'Z') || (part[0] >= 'a' && part[0] <= 'z')))
      return std::nullopt;
    first = false;
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    if (!result.empty()) result += '/';
    result += part;
  }
  return result;
}
