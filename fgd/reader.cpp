#include "fgd/reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>

#include "catalog/catalog.h"
#include "catalog/intconv.h"
#include "common/errors.h"
#include "common/text.h"
#include "fgd/bytescan.h"
#include "fgd/decimal.h"
#include "fgd/encoding.h"
#include "fgd/extent.h"
#include "fgd/linepatterns.h"
#include "fgd/linereader.h"
#include "fgd/scanner.h"
#include "fgd/setwriter.h"
#include "shpctl/shapelayer.h"
#include "shpctl/shpctl.h"

thread_local std::vector<double> BufX, BufY, BufZ, BufM;
thread_local std::vector<int32_t> PartStarts, PartTypes;
thread_local int32_t VertexCount = 0;
thread_local int32_t PartCount = 0;

namespace {

using namespace linepatterns;

constexpr size_t kFirstVertices = 10000;
constexpr size_t kFirstParts = 400;

void GrowVertexBuffers(size_t needed) {
  size_t size = std::max(BufX.size(), kFirstVertices);
  while (size < needed) size *= 2;
  if (size == BufX.size()) return;
  BufX.resize(size);
  BufY.resize(size);
  BufZ.resize(size, 0.0);
  BufM.resize(size, 0.0);
}

void GrowPartBuffers(size_t needed) {
  size_t size = std::max(PartStarts.size(), kFirstParts);
  while (size < needed) size *= 2;
  if (size == PartStarts.size()) return;
  PartStarts.resize(size);
  PartTypes.resize(size);
}

// Text after the first `open` up to the first `close` after it; empty when none follows.
std::string_view TextAfter(std::string_view line, std::string_view open, std::string_view close) {
  const size_t at = FindPattern(line, open);
  if (at == std::string_view::npos) return {};
  const std::string_view rest = line.substr(at + open.size());
  const size_t end = FindPattern(rest, close);
  return end == std::string_view::npos ? std::string_view() : rest.substr(0, end);
}

void Reverse(int32_t from, int32_t to) {
  std::reverse(BufX.begin() + from, BufX.begin() + to);
  std::reverse(BufY.begin() + from, BufY.begin() + to);
}

// Twice the signed area of the ring in vertices [from, to): positive counter-clockwise,
// negative clockwise, 0 for a ring without area (fewer than three vertices, all on a line).
// Taken relative to the first vertex: products of whole degrees (139 x 35) would lose the area
// of a small building to rounding.
double RingArea(int32_t from, int32_t to) {
  if (to - from < 3) return 0;
  const double x0 = BufX[from], y0 = BufY[from];
  double twice = 0, spanX = 0, spanY = 0;
  for (int32_t i = from + 1; i + 1 < to; ++i) {
    const double ax = BufX[i] - x0, ay = BufY[i] - y0;
    const double bx = BufX[i + 1] - x0, by = BufY[i + 1] - y0;
    twice += ax * by - bx * ay;
    spanX = std::max(spanX, std::abs(ax));
    spanY = std::max(spanY, std::abs(ay));
  }
  // Points on a line leave only rounding noise.
  return std::abs(twice) <= 1e-12 * spanX * spanY ? 0 : twice;
}

// The datum a declaration line names after "fguuid:", or None for one the reader does not know.
tdatum DatumOf(std::string_view line) {
  constexpr std::string_view kUuid = "fguuid:";
  const size_t at = FindPattern(line, kUuid);
  if (at == std::string_view::npos) return tdatum::None;
  const std::string_view name = line.substr(at + kUuid.size());
  for (const auto& [text, datum] : {std::pair{std::string_view("jgd2011.bl"), tdatum::Jgd2011},
                                    std::pair{std::string_view("jgd2024.bl"), tdatum::Jgd2024},
                                    std::pair{std::string_view("jgd2000.bl"), tdatum::Jgd2000}})
    if (name.substr(0, text.size()) == text) return datum;
  return tdatum::None;
}

// One call of ReadFeatures: the per-file state and the actions of the line dispatch.
class tfeaturereading {
 public:
  tfeaturereading(const std::string& path, int32_t entry, toutputlayer& output)
      : path_(path),
        entry_(entry),
        layer_(CatalogEntry(entry)),
        output_(output),
        in_(path),
        shapeType_(ShapeTypeOfKind(layer_.Kind)),
        writer_(output, shapeType_) {
    keys_.Add("<" + layer_.Name + " ", kFeatureStartBit);
    keys_.Add("</" + layer_.Name + ">", kFeatureEndBit);
    for (int32_t k = 1; k <= layer_.AttrCount(); ++k)
      keys_.Add("<" + layer_.Attr(k).Name + ">", ColumnBit(k));
    for (const tfixedpattern& p : kFixedPatterns) keys_.Add(p.text, p.bit);
    FindAttr(entry, "id", idAttr_);
    FindAttr(entry, "uuid", uuidAttr_);
    FindAttr(entry, "lfSpanFr", lfSpanFrAttr_);
    FindAttr(entry, "lfSpanTo", lfSpanToAttr_);
    FindAttr(entry, "devDate", devDateAttr_);
  }

  // Reads the file; gives the datum it declares first.
  tdatum Run() {
    output_.Begin(path_);
    std::string_view line;
    bytescan::ttags tags;
    if (!in_.NextLine(line, tags)) return tdatum::None;
    try {
      converter_.emplace(DeclaredEncoding(line), output_.TextForm() == ttextform::Utf8);
    } catch (const NabikError& e) {
      throw NabikError(path_ + ": " + e.what());
    }
    try {
      do {
        Dispatch(line, tags);
      } while (!stopped_ && in_.NextLine(line, tags));
      CompleteOpenFeature();
    } catch (...) {
      // Keep shape i with record i even when the file ends in a failure.
      try {
        CompleteOpenFeature();
      } catch (...) {
      }
      writer_.Finish();
      throw;
    }
    writer_.Finish();
    return datum_;
  }

 private:
  static bool Has(uint64_t present, tpatternbit bit) { return present >> bit & 1; }

  // The declaration stands on a geometry's start tag (GML "<gml:Surface ... srsName=") or in a
  // JPGIS "<jps:CRS uuidref=" element, lines that pass none of the dispatch's tests: of those,
  // up to the end of the file's first feature with coordinates, a line whose first tag is a
  // "gml:" or "jps:" name with a capital letter is searched.
  void NoteDatum(std::string_view line, const bytescan::ttags& tags) {
    const size_t first = tags.first;
    if (line.size() < first + 6 || line[first + 4] != ':' || line[first + 5] < 'A' ||
        line[first + 5] > 'Z')
      return;
    const std::string_view tag = line.substr(first);
    if (FindPattern(tag, "fguuid:") == std::string_view::npos) return;
    datumKnown_ = true;
    datum_ = DatumOf(tag);
    writer_.SetDatum(datum_);
  }

  // The line dispatch: the first test that holds decides.
  void Dispatch(std::string_view line, const bytescan::ttags& tags) {
    const uint64_t c = keys_.Present(line, tags);
    if (!c) {
      if (!datumKnown_ && tags.first != bytescan::ttags::kNone) NoteDatum(line, tags);
      return;
    }
    if ((c >> kFeatureStartBit & 1) && MatchFeatureStart(line, entry_, featureId_, featureUuid_))
      return FeatureStart();
    // The end tag's shape type is the layer's, fixed for the file.
    int32_t shapeType = shapeType_;
    if ((c >> kFeatureEndBit & 1) && MatchFeatureEnd(line, entry_, shapeType)) return FeatureEnd();
    if (const uint64_t columns = ScannerColumns(c)) {
      std::string_view value = line;
      int32_t k = 0;
      if (MatchAttributeElement(value, entry_, k, columns)) {
        if (inFeature_ && !value.empty()) WriteValue(k, value);
        return;
      }
    }
    if (!(c & kFixedBits)) return;  // none of the fixed patterns can occur
    if (Has(c, kLfSpanFrEndBit)) return WriteDate(lfSpanFrAttr_);
    if (Has(c, kLfSpanToEndBit)) return WriteDate(lfSpanToAttr_);
    if (Has(c, kDevDateEndBit)) return WriteDate(devDateAttr_);
    if (Has(c, kDate8601Bit)) {
      dateText_.assign(TextAfter(line, "<jps:date8601>", "</jps:date8601>"));
      return;
    }
    // GML files hold their dates in gml:timePosition.
    if (Has(c, kTimePositionBit)) {
      dateText_.assign(TextAfter(line, "<gml:timePosition>", "</gml:timePosition>"));
      return;
    }
    if (Has(c, kLineStringStartBit) || Has(c, kLineStringEndBit) || Has(c, kPolygonStartBit) ||
        Has(c, kPolygonEndBit) || Has(c, kOrientableCurveEndBit))
      return;
    if (Has(c, kCoordinateBit))
      return AddVertex(TextBetween(line, "<jps:coordinate>", "</jps:coordinate>"));
    if (Has(c, kJpsExteriorStartBit) || Has(c, kGmlExteriorStartBit)) return ExteriorStart();
    if (Has(c, kJpsExteriorEndBit) || Has(c, kGmlExteriorEndBit)) return ExteriorEnd();
    if (Has(c, kJpsInteriorStartBit) || Has(c, kGmlInteriorStartBit)) return InteriorStart();
    if (Has(c, kJpsInteriorEndBit) || Has(c, kGmlInteriorEndBit)) return InteriorEnd();
    if (Has(c, kPosListStartBit)) return PositionList();
    if (Has(c, kPosBit)) return AddVertex(TextBetween(line, "<gml:pos>", "</gml:pos>"));
  }

  void FeatureStart() {
    CompleteOpenFeature();  // a feature whose end never came
    VertexCount = 0;
    PartCount = 0;
    GrowPartBuffers(1);
    PartStarts[0] = 0;
    PartTypes[0] = kFirstRing;
    inFeature_ = true;
    writer_.StartFeature();
    if (idAttr_) WriteValue(idAttr_, featureId_);
    if (uuidAttr_) WriteValue(uuidAttr_, featureUuid_);
    ringStart_ = -1;
    interiorStart_ = -1;
  }

  void FeatureEnd() {
    if (inFeature_) WriteShape();  // an end without a start writes nothing
    // Every geometry of a file declares its datum: a file whose first one does not declares none.
    if (inFeature_ && VertexCount > 0) datumKnown_ = true;
    inFeature_ = false;
  }

  // A feature whose end never came stays open: it gets no shape.
  void CompleteOpenFeature() { inFeature_ = false; }

  void WriteDate(int32_t attr) {
    if (attr) WriteValue(attr, dateText_);
  }

  void ExteriorStart() {
    ringStart_ = VertexCount;
    if (!inFeature_) return;
    GrowPartBuffers(static_cast<size_t>(PartCount) + 1);
    PartStarts[PartCount] = VertexCount;
    PartTypes[PartCount] = PartCount == 0 ? kFirstRing : kOuterRing;
    ++PartCount;
  }

  void ExteriorEnd() {
    if (ringStart_ < 0) {
      // An exterior end without its start: the rest of the file is not read.
      CompleteOpenFeature();
      stopped_ = true;
      return;
    }
    // A shapefile's outer rings run clockwise (GML files store them counter-clockwise); a ring
    // without area is reversed all the same.
    if (RingArea(ringStart_, VertexCount) >= 0) Reverse(ringStart_, VertexCount);
  }

  void InteriorStart() {
    interiorStart_ = VertexCount;
    if (!inFeature_) return;
    GrowPartBuffers(static_cast<size_t>(PartCount) + 1);
    PartStarts[PartCount] = VertexCount;
    PartTypes[PartCount] = kInnerRing;
    ++PartCount;
  }

  void InteriorEnd() {
    // A shapefile's holes run counter-clockwise. GML files store them clockwise, JPGIS files
    // counter-clockwise; a hole without area stays as read.
    if (interiorStart_ >= 0 && RingArea(interiorStart_, VertexCount) < 0)
      Reverse(interiorStart_, VertexCount);
    interiorStart_ = -1;
  }

  // One tuple per line up to the line holding the list's end tag.
  void PositionList() {
    // Longer than any common tuple line: what Ahead should hold to parse one in place.
    constexpr size_t kTupleLineBytes = 64;
    std::string_view line;
    for (;;) {
      // The common line, two numbers and the line end, is parsed where it lies: one pass over
      // its bytes instead of a search for its end and a second pass to parse it.
      double x = 0, y = 0;
      if (const size_t used = ParseTupleLine(in_.Ahead(kTupleLineBytes), y, x)) {
        in_.Skip(used);
        AddPoint(x, y);
        continue;
      }
      bytescan::ttags tags;
      if (!in_.NextLine(line, tags)) return AddVertex({});  // the list never ends: nothing converts
      if (tags.first != bytescan::ttags::kNone &&
          FindPattern(line.substr(tags.first), "</gml:posList>") != std::string_view::npos)
        return;
      AddVertex(line);
    }
  }

  void AddVertex(std::string_view tuple) {
    double x = 0, y = 0;
    if (!ParsePlainTuple(tuple, y, x)) {
      const std::string_view a = PopToken(tuple);
      const std::string_view b = PopToken(tuple);
      x = Number(b);  // converted first: a tuple of one number fails on the missing X
      y = Number(a);
    }
    AddPoint(x, y);
  }

  void AddPoint(double x, double y) {
    textent& box = box_.Box;
    if (x > box.MaxX) box.MaxX = x;
    if (y > box.MaxY) box.MaxY = y;
    if (x < box.MinX) box.MinX = x;
    if (y < box.MinY) box.MinY = y;
    // Coordinates outside a feature of the layer only widen the Extent: the next feature start
    // would drop them anyway, and a file of another layer must not fill the memory.
    if (!inFeature_) return;
    if (static_cast<size_t>(VertexCount) == BufX.size())
      GrowVertexBuffers(static_cast<size_t>(VertexCount) + 1);
    BufX[VertexCount] = x;
    BufY[VertexCount] = y;
    ++VertexCount;
  }

  double Number(std::string_view text) const {
    double value = 0;
    if (!ParseDecimal(text, value)) throw NabikError(path_ + ": " + NotAFloatMessage(text));
    return value;
  }

  // Hands `value` over as attribute k of the last feature, typed by the attribute.
  void WriteValue(int32_t k, std::string_view value) {
    switch (layer_.Attr(k).Type) {
      case 0:
        writer_.Text(k, converter_->ToTable(value));
        break;
      case 1:
        writer_.Integer(k, ParseInt32(value).value_or(0));
        break;
      case 2:
        writer_.Real(k, Number(value));
        break;
      default:
        break;
    }
  }

  // A feature at its end: its shape, or none when it has no coordinates.
  void WriteShape() {
    if (VertexCount == 0) return writer_.EndEmpty();
    DropEmptyParts();
    if (PartCount > 0) PartStarts[0] = 0;
    writer_.EndShape(BufX.data(), BufY.data(), VertexCount, PartStarts.data(), PartTypes.data(),
                     PartCount);
  }

  // A ring tag without coordinates leaves a part without vertices; one at the end of the
  // shape makes readers reject the whole record, so such parts are not written.
  void DropEmptyParts() {
    int32_t kept = 0;
    for (int32_t i = 0; i < PartCount; ++i) {
      const int32_t end = i + 1 < PartCount ? PartStarts[i + 1] : VertexCount;
      if (end <= PartStarts[i]) continue;
      PartStarts[kept] = PartStarts[i];
      PartTypes[kept] = PartTypes[i];
      ++kept;
    }
    PartCount = kept;
  }

  // The reading's own box, taken into ReadingExtent() whatever way the reading ends: a global
  // widened by every vertex would be shared by the threads.
  struct tbox {
    textent Box;
    ~tbox() { WidenExtent(ReadingExtent(), Box); }
  } box_;
  const std::string& path_;
  const int32_t entry_;
  const tshpopentyp& layer_;
  toutputlayer& output_;
  tlinereader in_;
  std::optional<tvalueconverter> converter_;
  tpatternkeys keys_;
  int32_t idAttr_ = 0, uuidAttr_ = 0, lfSpanFrAttr_ = 0, lfSpanToAttr_ = 0, devDateAttr_ = 0;
  const int32_t shapeType_;
  tsetwriter writer_;

  bool inFeature_ = false;
  bool stopped_ = false;
  bool datumKnown_ = false;  // the file's first declaration, or its first geometry, was read
  tdatum datum_ = tdatum::None;
  std::string featureId_, featureUuid_, dateText_;
  int32_t ringStart_ = -1;
  int32_t interiorStart_ = -1;
};

}  // namespace

void PrepareFeatureReader() {
  GrowVertexBuffers(kFirstVertices);
  GrowPartBuffers(kFirstParts);
  ResetExtent();
}

tdatum ReadFeatures(const std::string& filePath, int32_t entry) {
  if (entry < 1 || entry > LayerCount())
    throw NabikError(filePath + ": no catalog entry " + std::to_string(entry));
  if (!OpenSet.ShpHandle || !OpenSet.DbfHandle)
    throw NabikError(filePath + ": no layer set is open for " + CatalogEntry(entry).Name);
  tshapelayer layer(entry);
  return ReadFeatures(filePath, entry, layer);
}

tdatum ReadFeatures(const std::string& filePath, int32_t entry, toutputlayer& output) {
  if (entry < 1 || entry > LayerCount())
    throw NabikError(filePath + ": no catalog entry " + std::to_string(entry));
  GrowVertexBuffers(kFirstVertices);
  GrowPartBuffers(kFirstParts);
  tfeaturereading reading(filePath, entry, output);
  return reading.Run();
}
