#include "fgd/encoding.h"

#include <array>

#include "common/text.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Distinct texts of a file stay few; a file full of distinct names only refills the cache.
constexpr size_t kCacheEntries = 4096;

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Bytes that stand for themselves in CP932 and in every ASCII-based encoding.
bool PlainAscii(std::string_view text) {
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E) return false;
  }
  return true;
}

}  // namespace

std::string DeclaredEncoding(std::string_view firstLine) {
  const bool bom = firstLine.substr(0, kUtf8Bom.size()) == kUtf8Bom;
  if (bom) firstLine.remove_prefix(kUtf8Bom.size());
  const std::string none = bom ? "UTF-8" : "";
  if (firstLine.substr(0, 5) != "<?xml") return none;
  const size_t end = firstLine.find("?>");
  std::string_view decl = firstLine.substr(0, end);
  size_t at = decl.find("encoding");
  if (at == std::string_view::npos) return none;
  decl.remove_prefix(at + 8);
  while (!decl.empty() && IsXmlSpace(decl.front())) decl.remove_prefix(1);
  if (decl.empty() || decl.front() != '=') return none;
  decl.remove_prefix(1);
  while (!decl.empty() && IsXmlSpace(decl.front())) decl.remove_prefix(1);
  if (decl.empty() || (decl.front() != '"' && decl.front() != '\'')) return none;
  const char quote = decl.front();
  decl.remove_prefix(1);
  const size_t close = decl.find(quote);
  if (close == std::string_view::npos || close == 0) return none;
  return Upper(decl.substr(0, close));
}

bool IsShiftJisName(std::string_view encoding) {
  static constexpr std::array<std::string_view, 10> kNames = {
      "SHIFT_JIS", "SHIFT-JIS",  "SHIFTJIS", "SJIS",  "X-SJIS",
      "MS_KANJI",  "CSSHIFTJIS", "CP932",    "MS932", "WINDOWS-31J"};
  const std::string upper = Upper(encoding);
  for (const std::string_view name : kNames)
    if (upper == name) return true;
  return false;
}

tvalueconverter::tvalueconverter(std::string encoding, bool toUtf8) : toUtf8_(toUtf8) {
  if (!toUtf8) {
    encoding_ = IsShiftJisName(encoding) ? std::string() : std::move(encoding);
    if (!encoding_.empty()) ToCp932("", encoding_.c_str());  // raises when there is no converter
    return;
  }
  // Into UTF-8 an undeclared file is CP932 as well, and even UTF-8 is converted: an invalid
  // byte must not reach a table that promises UTF-8.
  encoding_ = encoding.empty() || IsShiftJisName(encoding) ? "CP932" : std::move(encoding);
  ToUtf8("", encoding_.c_str());
}

std::string_view tvalueconverter::ToTable(std::string_view value) {
  if (encoding_.empty() || PlainAscii(value)) return value;
  if (last_ && last_->first == value) return last_->second;  // a run of equal values
  auto hit = cache_.find(value);
  if (hit == cache_.end()) {
    if (cache_.size() >= kCacheEntries) cache_.clear();
    hit = cache_
              .emplace(std::string(value), toUtf8_ ? ToUtf8(value, encoding_.c_str())
                                                   : ToCp932(value, encoding_.c_str()))
              .first;
  }
  last_ = &*hit;
  return hit->second;
}
