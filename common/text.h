#pragma once
// Text is handled as bytes. Files and tables hold code page 932 (Shift-JIS); fixed Japanese
// texts live in the source as UTF-8 and are converted once, here, through iconv.
#include <string>
#include <string_view>

// Converts `text` from the iconv encoding `from` to CP932. A character that CP932 cannot hold
// becomes the geta mark 〓; an invalid byte sequence becomes 〓 as well, one byte at a time.
std::string ToCp932(std::string_view text, const char* from);

// Converts `text` from the iconv encoding `from` to UTF-8; an invalid byte sequence becomes
// U+FFFD, one byte at a time.
std::string ToUtf8(std::string_view text, const char* from);

// UTF-8 literal -> CP932 bytes (for fixed texts written into files).
std::string Sjis(std::string_view utf8);

// CP932 bytes -> UTF-8 (for display). Invalid bytes become U+FFFD.
std::string Cp932ToUtf8(std::string_view sjis);

// True when `c` is the first byte of a CP932 double-byte character.
constexpr bool IsSjisLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Lower-cases A-Z only, stepping over the second byte of every double-byte character.
std::string LowerSjis(std::string_view text);

// Longest prefix of `text` of at most `maxBytes` bytes that does not end inside a double-byte
// character (for values cut to a field width).
std::string_view CutSjis(std::string_view text, size_t maxBytes);

// Bytes for display (window, terminal): text that mixes UTF-8 file names with CP932 fixed texts
// is decoded piece by piece — a valid UTF-8 sequence as UTF-8, anything else as CP932.
std::string DisplayUtf8(std::string_view bytes);
