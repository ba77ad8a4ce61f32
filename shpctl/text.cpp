#include "shpctl/text.h"

#include <errno.h>
#include <iconv.h>

#include <memory>

#include "shpctl/errors.h"

namespace {

struct IconvHandle {
  iconv_t cd;
  IconvHandle(const char* to, const char* from) : cd(iconv_open(to, from)) {
    if (cd == reinterpret_cast<iconv_t>(-1))
      throw NabikError(std::string("No text conversion from ") + from + " to " + to);
  }
  ~IconvHandle() { iconv_close(cd); }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
};

// Converts with iconv; on a character the target cannot hold or an invalid input sequence,
// writes `replacement` and steps over one input byte (for invalid input) or one character.
std::string Convert(std::string_view text, const char* to, const char* from,
                    std::string_view replacement) {
  IconvHandle conv(to, from);
  std::string out;
  out.reserve(text.size() + 16);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    const size_t rc = iconv(conv.cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, outPtr - buffer);
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ (unconvertible or invalid) or EINVAL (truncated sequence at the end).
    out.append(replacement);
    // Step over one whole character when the input is UTF-8, else one byte.
    size_t step = 1;
    if (std::string_view(from) == "UTF-8") {
      const unsigned char c = static_cast<unsigned char>(*in);
      step = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      if (step > inLeft) step = inLeft;
      for (size_t i = 1; i < step; ++i)
        if ((static_cast<unsigned char>(in[i]) & 0xC0) != 0x80) {
          step = i;
          break;
        }
    }
    in += step;
    inLeft -= step;
    iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
  }
  char* outPtr = buffer;
  size_t outLeft = sizeof buffer;
  iconv(conv.cd, nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, outPtr - buffer);
  return out;
}

constexpr std::string_view kGetaCp932 = "\x81\xAC";            // 〓
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string ToCp932(std::string_view text, const char* from) {
  return Convert(text, "CP932", from, kGetaCp932);
}

std::string Sjis(std::string_view utf8) {
  return ToCp932(utf8, "UTF-8");
}

std::string Cp932ToUtf8(std::string_view sjis) {
  return Convert(sjis, "UTF-8", "CP932", kReplacementUtf8);
}

std::string LowerSjis(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (IsSjisLeadByte(c)) {
      ++i;  // the second byte may look like A-Z; it is not a letter
    } else if (c >= 'A' && c <= 'Z') {
      out[i] = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

std::string_view CutSjis(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t i = 0;
  while (i < maxBytes) {
    const size_t width = IsSjisLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
    if (i + width > maxBytes) break;
    i += width;
  }
  return text.substr(0, i);
}
