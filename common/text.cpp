#include "common/text.h"

#include <errno.h>
#include <iconv.h>

#include <memory>

#include "common/errors.h"

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

std::string ToUtf8(std::string_view text, const char* from) {
  return Convert(text, "UTF-8", from, kReplacementUtf8);
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

namespace {

// Length of the valid UTF-8 multi-byte sequence at `i`, or 0.
size_t Utf8SequenceAt(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                  : c >= 0xE0 && c <= 0xEF ? 3
                  : c >= 0xF0 && c <= 0xF4 ? 4
                                           : 0;
  if (length == 0 || i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  const unsigned char d = static_cast<unsigned char>(s[i + 1]);
  if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
      (c == 0xF4 && d > 0x8F))
    return 0;  // overlong forms and surrogates
  return length;
}

}  // namespace

std::string DisplayUtf8(std::string_view bytes) {
  std::string out;
  size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      out += bytes[i++];
      continue;
    }
    if (const size_t n = Utf8SequenceAt(bytes, i)) {
      out.append(bytes.substr(i, n));
      i += n;
      continue;
    }
    // A run of non-UTF-8 bytes: CP932.
    size_t end = i;
    while (end < bytes.size() && static_cast<unsigned char>(bytes[end]) >= 0x80 &&
           Utf8SequenceAt(bytes, end) == 0)
      end +=
          IsSjisLeadByte(static_cast<unsigned char>(bytes[end])) && end + 1 < bytes.size() ? 2 : 1;
    out += Cp932ToUtf8(bytes.substr(i, end - i));
    i = end;
  }
  return out;
}
