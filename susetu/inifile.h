#pragma once
// The program's own ini reader and writer. "[section]" lines open sections, "key=value" lines
// hold values; keys and values are CP932 bytes, never converted.
//
// Reading accepts CR LF and LF line ends. Section and key names match with blanks around them
// ignored and A-Z matching a-z (never inside a double-byte character); the first matching
// section and key win. Values lose the blanks (space, tab) around them. Lines starting with ';'
// are comments.
//
// Writing replaces the value of an existing key in place and keeps every other line byte for
// byte; a missing key is added after the last non-empty line of its section, a missing section
// at the end of the file. Lines the writer makes end with CR LF. Every write replaces the whole
// file atomically: a temporary file in the same folder is written, flushed to disk and renamed
// over the old one, so a crash or a full disk never leaves a half-written file.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One line of an ini file: its bytes without the line end, and the line end as it was ("\r\n",
// "\n", or empty for a last line without one).
struct tiniline {
  std::string Text;
  std::string End;
};

// The lines of an ini file.
struct tinifile {
  std::vector<tiniline> Lines;
};

// Splits file content into lines (LF ends a line, a CR before it belongs to the line end).
tinifile ParseIni(std::string_view content);

// The file's bytes again: every line followed by its own line end.
std::string JoinIni(const tinifile& ini);

// The value of `key` in `section`; nullopt when the section or the key is missing.
std::optional<std::string> IniValue(const tinifile& ini, std::string_view section,
                                    std::string_view key);

// Sets `key` in `section` to `value` in memory, following the writing rules above.
void SetIniValue(tinifile& ini, std::string_view section, std::string_view key,
                 std::string_view value);

// Reads the file at `path`. A missing or unreadable file reads as an empty file; nothing is
// created.
tinifile LoadIniFile(const std::string& path);

// Reads the file, sets one value and replaces the file atomically. Returns false, leaving the
// file as it was, when the write is refused: the folder or file cannot be written, an existing
// file cannot be read (its other lines would be lost), or the key or value holds a line break
// (it would break the file's lines apart).
bool WriteIniValue(const std::string& path, std::string_view section, std::string_view key,
                   std::string_view value);
