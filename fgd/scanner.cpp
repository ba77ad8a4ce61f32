#include "fgd/scanner.h"

#include <algorithm>
#include <cstring>

#include "catalog/catalog.h"
#include "fgd/bytescan.h"

namespace {

bool Blank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string_view Strip(std::string_view t) {
  while (!t.empty() && Blank(t.front())) t.remove_prefix(1);
  while (!t.empty() && Blank(t.back())) t.remove_suffix(1);
  return t;
}

// Patterns and names are a few bytes long: compared inline, not through a library call.
bool SameBytes(const char* p, std::string_view piece) {
  return bytescan::Same(p, piece.data(), piece.size());
}

bool PiecesAt(std::string_view text, size_t at, std::string_view lead, std::string_view name,
              std::string_view tail) {
  if (text.size() - at < lead.size() + name.size() + tail.size()) return false;
  const char* p = text.data() + at;
  return SameBytes(p, lead) && SameBytes(p + lead.size(), name) &&
         SameBytes(p + lead.size() + name.size(), tail);
}

// Value of an attribute that follows the `pattern` (ending in its opening quote) in `w`: the
// bytes up to the next double quote, or empty when none follows. `w` loses everything up to
// and including the opening quote.
bool TakeAttribute(std::string_view& w, std::string_view pattern, std::string& value) {
  const size_t at = FindPattern(w, pattern);
  if (at == std::string_view::npos) return false;
  w.remove_prefix(at + pattern.size());
  const size_t quote = w.find('"');
  if (quote == std::string_view::npos)
    value.clear();
  else
    value.assign(w.data(), quote);
  return true;
}

}  // namespace

size_t FindPattern(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) return 0;
  if (pattern.size() > text.size()) return std::string_view::npos;
  const char first = pattern.front();
  const char* begin = text.data();
  const char* last = begin + (text.size() - pattern.size());
  for (const char* p = begin; p <= last;) {
    p = bytescan::Find(p, last + 1, first);
    if (!p) break;
    if (SameBytes(p + 1, pattern.substr(1))) return p - begin;
    ++p;
  }
  return std::string_view::npos;
}

size_t FindTag(std::string_view text, std::string_view lead, std::string_view name,
               std::string_view tail) {
  const size_t total = lead.size() + name.size() + tail.size();
  if (total == 0) return 0;
  if (total > text.size()) return std::string_view::npos;
  const char first = !lead.empty() ? lead.front() : !name.empty() ? name.front() : tail.front();
  const char* begin = text.data();
  const char* last = begin + (text.size() - total);
  for (const char* p = begin; p <= last;) {
    p = bytescan::Find(p, last + 1, first);
    if (!p) break;
    if (PiecesAt(text, p - begin, lead, name, tail)) return p - begin;
    ++p;
  }
  return std::string_view::npos;
}

std::string_view TextBetween(std::string_view line, std::string_view openTag,
                             std::string_view closeTag) {
  const size_t open = FindPattern(line, openTag);
  if (open == std::string_view::npos) return {};
  const size_t start = open + openTag.size();
  const size_t end = FindPattern(line, closeTag);
  if (end == std::string_view::npos || end <= start) return {};
  return line.substr(start, end - start);
}

bool MatchFeatureStart(std::string_view line, int32_t entry, std::string& featureId,
                       std::string& featureUuid) {
  const tshpopentyp& e = CatalogEntry(entry);
  if (FindTag(line, "<", e.Name, " ") == std::string_view::npos) return false;
  std::string_view w = line;
  TakeAttribute(w, " id=\"", featureId);
  TakeAttribute(w, " uuid=\"", featureUuid);
  TakeAttribute(w, " gml:id=\"", featureId);
  return true;
}

bool MatchFeatureEnd(std::string_view line, int32_t entry, int32_t& shapeType) {
  const tshpopentyp& e = CatalogEntry(entry);
  switch (e.Kind) {
    case 1:
    case 4:
      shapeType = 3;
      break;
    case 2:
      shapeType = 5;
      break;
    case 3:
      shapeType = 1;
      break;
    default:
      break;
  }
  return FindTag(line, "</", e.Name, ">") != std::string_view::npos;
}

bool MatchAttributeElement(std::string_view& line, int32_t entry, int32_t& attrIndex) {
  return MatchAttributeElement(line, entry, attrIndex, ~uint64_t{0});
}

bool MatchAttributeElement(std::string_view& line, int32_t entry, int32_t& attrIndex,
                           uint64_t columns) {
  const tshpopentyp& e = CatalogEntry(entry);
  for (int32_t k = 1; k <= e.AttrCount(); ++k) {
    if (!(columns >> std::min(k - 1, 63) & 1)) continue;
    const std::string& name = e.Attr(k).Name;
    const size_t open = FindTag(line, "<", name, ">");
    if (open == std::string_view::npos) continue;
    const size_t start = open + name.size() + 2;
    const size_t end = FindTag(line, "</", name, ">");
    line = (end == std::string_view::npos || end <= start) ? std::string_view()
                                                           : line.substr(start, end - start);
    attrIndex = k;
    return true;
  }
  return false;
}

bool FindAttr(int32_t entry, std::string_view name, int32_t& attrIndex) {
  const tshpopentyp& e = CatalogEntry(entry);
  for (int32_t k = 1; k <= e.AttrCount(); ++k) {
    if (e.Attr(k).Name == name) {
      attrIndex = k;
      return true;
    }
  }
  return false;
}

std::string_view PopToken(std::string_view& t) {
  t = Strip(t);
  const size_t blank = t.find(' ');
  if (blank == std::string_view::npos) {
    const std::string_view token = t;
    t = {};
    return token;
  }
  const std::string_view token = t.substr(0, blank);
  t = Strip(t.substr(blank));
  return token;
}
