// The ini reader and writer: read a file, set one key, read it again. The key holds the new
// value and every other line is kept byte for byte.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/text.h"
#include "fuzz_support.h"
#include "susetu/inifile.h"

using namespace fuzz_support;

namespace {

// The input is "section \0 key \0 value \0 file content"; missing parts are empty.
std::string_view TakePart(std::string_view& rest) {
  const size_t nul = rest.find('\0');
  std::string_view part = rest.substr(0, nul);
  rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  return part;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// Outside the one edited place every line keeps its bytes: the lines before and after it are
// the same in both files, at most one old line (the key's) was replaced, at most two were added
// (a key, and its section when that was missing). Only a last line without a line end may gain
// one, when a line is added after it.
void CheckOtherLinesKept(const tinifile& before, const tinifile& after,
                         const std::string& keyLine) {
  const auto& a = before.Lines;
  const auto& b = after.Lines;
  size_t prefix = 0;
  while (prefix < a.size() && prefix < b.size() && a[prefix].Text == b[prefix].Text) ++prefix;
  size_t suffix = 0;
  while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
         a[a.size() - 1 - suffix].Text == b[b.size() - 1 - suffix].Text)
    ++suffix;
  Require(a.size() - prefix - suffix <= 1, "a write changed more than the line of its key");
  Require(b.size() - prefix - suffix <= 2, "a write added more than a key and its section");
  // The key's own line is made anew (with CR LF) even when its text stays the same.
  size_t endsChanged = 0;
  const auto checkEnd = [&](const tiniline& was, const tiniline& is) {
    if (was.End == is.End || (is.Text == keyLine && is.End == "\r\n")) return;
    Require(was.End.empty() && is.End == "\r\n", "a write changed a line end");
    ++endsChanged;
  };
  for (size_t i = 0; i < prefix; ++i) checkEnd(a[i], b[i]);
  for (size_t i = 1; i <= suffix; ++i) checkEnd(a[a.size() - i], b[b.size() - i]);
  Require(endsChanged <= 1, "a write changed more than one line end");
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A single-byte ']' in the section (not the second byte of a double-byte character), or a
// double-byte character cut short at its end, which would swallow the closing ']'.
bool HasClosingBracket(std::string_view section) {
  for (size_t i = 0; i < section.size(); ++i) {
    if (section[i] == ']') return true;
    if (IsSjisLeadByte(static_cast<unsigned char>(section[i])) && ++i == section.size())
      return true;
  }
  return false;
}

// What the writer refuses: a line break anywhere, a ']' closing the section early, a '=' in the
// key or an empty key.
bool Refused(std::string_view section, std::string_view key, std::string_view value) {
  return HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) ||
         HasClosingBracket(section) || key.find('=') != std::string_view::npos ||
         TrimBlanks(key).empty();
}

// A key the reader finds again: one that does not read as a comment or a section line.
bool Findable(std::string_view key) {
  const std::string_view k = TrimBlanks(key);
  return k.front() != ';' && k.front() != '[';
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string section(TakePart(rest));
  const std::string key(TakePart(rest));
  const std::string value(TakePart(rest));
  const std::string content(rest);

  const tinifile before = ParseIni(content);
  Require(JoinIni(before) == content, "reading and joining does not give the file back");

  const std::string path = ScratchFolder() + "nabik.Ini";
  WriteBytes(path, reinterpret_cast<const uint8_t*>(content.data()), content.size());
  const bool wrote = WriteIniValue(path, section, key, value);
  const std::string onDisk = JoinIni(LoadIniFile(path));
  if (Refused(section, key, value)) {
    Require(!wrote, "a write that would break the file's lines was not refused");
    Require(onDisk == content, "a refused write changed the file");
    return 0;
  }
  Require(wrote, "a write to a plain file in a writable folder was refused");

  tinifile edited = before;
  SetIniValue(edited, section, key, value);
  const std::string written = JoinIni(edited);
  Require(onDisk == written, "the file on disk differs from the edit in memory");
  const tinifile after = ParseIni(written);
  CheckOtherLinesKept(before, after, key + "=" + value);
  if (Findable(key)) {
    const std::optional<std::string> readBack = IniValue(after, section, key);
    Require(readBack.has_value(), "a written key is not found again");
    Require(*readBack == TrimBlanks(value), "a written key reads back another value");
  }
  return 0;
}
