#include "fgd/decimal.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "shpctl/errors.h"
#include "shpctl/text.h"

namespace {

// A failing text is shown in a message; a line of megabytes would not fit any window.
constexpr size_t kShownTextBytes = 100;

bool Digit(char c) {
  return c >= '0' && c <= '9';
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
