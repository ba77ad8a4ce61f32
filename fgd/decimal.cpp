#include "fgd/decimal.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/errors.h"
#include "common/text.h"

namespace {

// A failing text is shown in a message; a line of megabytes would not fit any window.
constexpr size_t kShownTextBytes = 100;

bool Digit(char c) {
  return c >= '0' && c <= '9';
}

bool Blank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7Full;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

// True when all eight bytes of `word` are decimal digits (checked per byte, without carries).
bool EightDigits(uint64_t word) {
  const uint64_t low = word & kLows;
  const uint64_t atLeast0 = (low + 0x5050505050505050ull) & kHighBits;  // low >= '0'
  const uint64_t above9 = (low + 0x4646464646464646ull) & kHighBits;    // low > '9'
  return ((word & kHighBits) | above9 | (~atLeast0 & kHighBits)) == 0;
}

// The value of eight decimal digits, the first the most significant, by three multiplications.
uint64_t EightDigitsValue(uint64_t word) {
  word -= 0x3030303030303030ull;
  word = word * 10 + (word >> 8);
  return (((word & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
          (((word >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
         32;
}

// Reads the number at p; the end of the number, or nullptr when none stands there. The common
// coordinate ("33.666666667": at most 19 digits, no exponent) is computed exactly as an integer
// divided by a power of ten, one correctly rounded operation as in from_chars, which takes the
// rest.
const char* ReadNumber(const char* p, const char* end, double& value) {
  static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char* q = p;
  const bool negative = q < end && *q == '-';
  if (negative) ++q;
  uint64_t mantissa = 0;
  int digits = 0, decimals = 0;
  for (; q < end && Digit(*q); ++q, ++digits) mantissa = mantissa * 10 + (*q - '0');
  if (q < end && *q == '.') {
    ++q;
    // Coordinates carry nine decimals: eight of them at once.
    if (end - q >= 8) {
      uint64_t word;
      std::memcpy(&word, q, sizeof word);  // first byte lowest
      if (EightDigits(word)) {
        mantissa = mantissa * 100000000 + EightDigitsValue(word);
        q += 8;
        digits += 8;
        decimals += 8;
      }
    }
    for (; q < end && Digit(*q); ++q, ++digits, ++decimals) mantissa = mantissa * 10 + (*q - '0');
  }
  const bool exponent = q < end && (*q == 'e' || *q == 'E');
  if (digits > 0 && digits <= 19 && !exponent && mantissa <= (uint64_t{1} << 53)) {
    value = static_cast<double>(mantissa) / kPowersOfTen[decimals];
    if (negative) value = -value;
    return q;
  }
  const auto r = std::from_chars(p, end, value, std::chars_format::general);
  return r.ec == std::errc() ? r.ptr : nullptr;
}

// A number that ParseDecimal takes unchanged: no "+", digits or "." after an optional "-".
bool PlainStart(const char* p, const char* end) {
  if (p < end && *p == '-') ++p;
  return p < end && (Digit(*p) || *p == '.');
}

}  // namespace

bool ParseDecimal(std::string_view text, double& value) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  // from_chars takes no "+" but would take "inf", "nan" and a second sign; after one sign only
  // digits or "." may follow.
  size_t first = 0;
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  else if (!text.empty() && text.front() == '-')
    first = 1;
  if (text.size() <= first || !(Digit(text[first]) || text[first] == '.')) return false;
  double parsed = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, parsed, std::chars_format::general);
  if (ptr != end) return false;
  if (ec == std::errc::result_out_of_range) {
    // Tell an overflow from an underflow; this path is rare.
    const std::string copy(text);
    parsed = std::strtod(copy.c_str(), nullptr);
    if (std::isinf(parsed)) return false;
  } else if (ec != std::errc()) {
    return false;
  }
  if (!std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

std::string NotAFloatMessage(std::string_view text) {
  std::string shown(CutSjis(text, kShownTextBytes));
  if (shown.size() < text.size()) shown += "...";
  return FormatMessage("'%s' is not a valid floating point value", shown);
}

double StrToFloat(std::string_view text) {
  double value = 0;
  if (!ParseDecimal(text, value)) throw NabikError(NotAFloatMessage(text));
  return value;
}

bool ParsePlainTuple(std::string_view tuple, double& first, double& second) {
  const char* p = tuple.data();
  const char* end = p + tuple.size();
  while (p < end && Blank(*p)) ++p;
  if (!PlainStart(p, end)) return false;
  p = ReadNumber(p, end, first);
  // The first token ends at the first blank, which must follow the number directly.
  if (!p || p == end || *p != ' ') return false;
  while (p < end && Blank(*p)) ++p;
  if (!PlainStart(p, end)) return false;
  p = ReadNumber(p, end, second);
  if (!p) return false;
  // The second token ends at a blank, or at the end after nothing but bytes of code 32 or less.
  if (p < end && *p != ' ')
    for (; p < end; ++p)
      if (!Blank(*p)) return false;
  return std::isfinite(first) && std::isfinite(second);
}

size_t ParseTupleLine(std::string_view text, double& first, double& second) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  const char* p = begin;
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  if (!PlainStart(p, end)) return 0;
  p = ReadNumber(p, end, first);
  if (!p || p == end || *p != ' ') return 0;
  while (p < end && *p == ' ') ++p;
  if (!PlainStart(p, end)) return 0;
  p = ReadNumber(p, end, second);
  // A number cut by the end of `text` may go on in bytes not yet read: not taken here.
  if (!p || p == end) return 0;
  if (*p == '\r') ++p;
  if (p == end || *p != '\n') return 0;
  if (!std::isfinite(first) || !std::isfinite(second)) return 0;
  return static_cast<size_t>(p + 1 - begin);
}
