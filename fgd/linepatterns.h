#pragma once
// The patterns of the feature reader's line dispatch and the tables that tell, from the bytes
// after each "<" of a line, which of them stand in the line.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fgd/bytescan.h"

namespace linepatterns {

// The dispatch's patterns, one bit each. Every pattern starts with "<"; what follows a "<" in a
// line (whether a "/" comes first, the first byte of the name, and the byte four further on,
// the first after a "gml:" or "jps:" prefix) selects, through two tables, the few patterns that
// can stand there, and only those are compared. So a line costs one pass over its "<" bytes
// and tells at once which of the dispatch's tests can hold.
enum tpatternbit : int {
  kFeatureStartBit,
  kFeatureEndBit,
  kLfSpanFrEndBit,
  kLfSpanToEndBit,
  kDevDateEndBit,
  kDate8601Bit,
  kTimePositionBit,
  kLineStringStartBit,
  kLineStringEndBit,
  kPolygonStartBit,
  kPolygonEndBit,
  kOrientableCurveEndBit,
  kCoordinateBit,
  kJpsExteriorStartBit,
  kGmlExteriorStartBit,
  kJpsExteriorEndBit,
  kGmlExteriorEndBit,
  kJpsInteriorStartBit,
  kGmlInteriorStartBit,
  kJpsInteriorEndBit,
  kGmlInteriorEndBit,
  kPosListStartBit,
  kPosBit,
  kFirstColumnBit,  // column k of the layer: bit kFirstColumnBit + k - 1, the last for the rest
};

constexpr int kColumnBits = 64 - kFirstColumnBit;

inline int ColumnBit(int32_t k) {
  return kFirstColumnBit + std::min(k - 1, kColumnBits - 1);
}

// The scanner's column mask (bit k - 1 for column k, the last for the rest) from the bits of
// the columns that may occur in a line.
inline uint64_t ScannerColumns(uint64_t candidates) {
  uint64_t columns = candidates >> kFirstColumnBit;
  if (columns >> (kColumnBits - 1) & 1) columns |= ~uint64_t{0} << (kColumnBits - 1);
  return columns;
}

struct tfixedpattern {
  tpatternbit bit;
  std::string_view text;
};

constexpr std::array<tfixedpattern, 21> kFixedPatterns = {{
    {kLfSpanFrEndBit, "</lfSpanFr>"},
    {kLfSpanToEndBit, "</lfSpanTo>"},
    {kDevDateEndBit, "</devDate>"},
    {kDate8601Bit, "<jps:date8601>"},
    {kTimePositionBit, "<gml:timePosition>"},
    {kLineStringStartBit, "<jps:GM_LineString>"},
    {kLineStringEndBit, "</jps:GM_LineString>"},
    {kPolygonStartBit, "<jps:GM_Polygon>"},
    {kPolygonEndBit, "</jps:GM_Polygon>"},
    {kOrientableCurveEndBit, "</jps:GM_OrientableCurve>"},
    {kCoordinateBit, "<jps:coordinate>"},
    {kJpsExteriorStartBit, "<jps:exterior"},
    {kGmlExteriorStartBit, "<gml:exterior"},
    {kJpsExteriorEndBit, "</jps:exterior"},
    {kGmlExteriorEndBit, "</gml:exterior"},
    {kJpsInteriorStartBit, "<jps:interior"},
    {kGmlInteriorStartBit, "<gml:interior"},
    {kJpsInteriorEndBit, "</jps:interior"},
    {kGmlInteriorEndBit, "</gml:interior"},
    {kPosListStartBit, "<gml:posList>"},
    {kPosBit, "<gml:pos>"},
}};

constexpr uint64_t kFixedBits = ((uint64_t{1} << kFirstColumnBit) - 1) & ~uint64_t{3};

class tpatternkeys {
 public:
  // Records that `pattern` (starting with "<") stands for `bit`.
  void Add(std::string_view pattern, int bit) {
    const uint64_t mask = uint64_t{1} << bit;
    if (!texts_[bit].empty() && texts_[bit] != pattern) shared_ |= mask;
    texts_[bit] = pattern;
    const bool closing = pattern.size() > 1 && pattern[1] == '/';
    const size_t name = closing ? 2 : 1;
    auto& first = byFirst_[closing];
    auto& fifth = byFifth_[closing];
    if (pattern.size() > name)
      first[static_cast<unsigned char>(pattern[name])] |= mask;
    else
      for (uint64_t& m : first) m |= mask;
    if (pattern.size() > name + 4)
      fifth[static_cast<unsigned char>(pattern[name + 4])] |= mask;
    else
      for (uint64_t& m : fifth) m |= mask;  // also when the line ends before a fifth byte
  }

  // The bits of the patterns that occur in `line`, whose "<" bytes stand where `tags` says.
  // A bit that stands for several patterns is set when its key fits; the caller searches.
  uint64_t Present(std::string_view line, const bytescan::ttags& tags) const {
    if (tags.first == bytescan::ttags::kNone) return 0;
    uint64_t found = 0;
    const char* begin = line.data();
    const char* end = begin + line.size();
    for (uint64_t near = tags.near; near; near &= near - 1)
      found |= At(begin + __builtin_ctzll(near), end, found);
    if (line.size() > bytescan::ttags::kNear)
      for (const char* p = bytescan::Find(begin + bytescan::ttags::kNear, end, '<'); p;
           p = bytescan::Find(p + 1, end, '<'))
        found |= At(p, end, found);
    return found;
  }

 private:
  static constexpr size_t kNoByte = 256;

  // The bits of the patterns that stand at the "<" at `open`, apart from those already `found`.
  uint64_t At(const char* open, const char* end, uint64_t found) const {
    const char* p = open + 1;
    const bool closing = p < end && *p == '/';
    const char* name = p + (closing ? 1 : 0);
    if (name >= end) return 0;
    const size_t fifth = end - name > 4 ? static_cast<unsigned char>(name[4]) : kNoByte;
    uint64_t fits =
        byFirst_[closing][static_cast<unsigned char>(name[0])] & byFifth_[closing][fifth];
    uint64_t here = fits & shared_;
    for (fits &= ~(shared_ | found); fits; fits &= fits - 1) {
      const int bit = __builtin_ctzll(fits);
      const std::string& text = texts_[bit];
      if (static_cast<size_t>(end - open) >= text.size() &&
          bytescan::Same(open, text.data(), text.size()))
        here |= uint64_t{1} << bit;
    }
    return here;
  }

  std::array<std::array<uint64_t, 256>, 2> byFirst_{};
  std::array<std::array<uint64_t, 257>, 2> byFifth_{};
  std::array<std::string, 64> texts_;
  uint64_t shared_ = 0;
};

}  // namespace linepatterns
