#include "shpctl/shapelayer.h"

#include <shapefil.h>

#include <cstring>

#include "common/errors.h"
#include "common/text.h"
#include "shpctl/shpctl.h"

tshapelayer::tshapelayer(int32_t entry) : layer_(CatalogEntry(entry)) {
  const int fields = DBFGetFieldCount(OpenSet.DbfHandle);
  for (int i = 0; i < fields; ++i) {
    int width = 0;
    DBFGetFieldInfo(OpenSet.DbfHandle, i, nullptr, &width, nullptr);
    widths_.push_back(width);
  }
}

void tshapelayer::Fail() const {
  // The store keeps the system's reason: a full disk and a refused file read alike otherwise.
  throw NabikError(failureText_ + RefusedWriteText());
}

void tshapelayer::Begin(const std::string& source) {
  failureText_ = source + ": cannot write a shape of the layer " + layer_.Name;
  records_ = DBFGetRecordCount(OpenSet.DbfHandle);
  if (widths_.empty()) return;
  int shapes = 0;
  SHPGetInfo(OpenSet.ShpHandle, &shapes, nullptr, nullptr, nullptr);
  for (; shapes < records_; ++shapes)
    if (!AppendNull()) Fail();
  if (records_ < shapes) {
    while (records_ < shapes) AddRecord(records_);
    OpenSet.RecordIndex = records_ - 1;
  }
}

void tshapelayer::Write(const tfeatureblock& block) {
  for (uint32_t v = 0; v < block.LeadingValues; ++v) WriteValue(block, block.Values[v]);
  for (size_t i = 0; i < block.Features.size(); ++i) {
    const tfeature& f = block.Features[i];
    // The record comes into being with the feature, so that it exists even when no value of
    // the feature is ever written.
    ++OpenSet.RecordIndex;
    if (!widths_.empty() && OpenSet.RecordIndex == records_) AddRecord(OpenSet.RecordIndex);
    const uint32_t end = block.ValuesEnd(i);
    for (uint32_t v = f.ValuesAt; v < end; ++v) WriteValue(block, block.Values[v]);
    EndFeature(block, f);
  }
}

// Appends the record `record`: empty, or holding its number in the one FID column that a
// layer without columns has (the library writes no record into a table without fields).
void tshapelayer::AddRecord(int32_t record) {
  if (layer_.AttrCount() == 0)
    DBFWriteIntegerAttribute(OpenSet.DbfHandle, record, 0, record);
  else
    DBFWriteNULLAttribute(OpenSet.DbfHandle, record, 0);
  if (record == records_) ++records_;
}

// Writes the value into its column of the record at RecordIndex, by the column's type.
void tshapelayer::WriteValue(const tfeatureblock& block, const tvalue& value) {
  DBFHandle dbf = OpenSet.DbfHandle;
  const int field = value.Column - 1;
  const int32_t record = OpenSet.RecordIndex;
  if (field >= static_cast<int>(widths_.size()) || record < 0 || record >= records_) return;
  switch (layer_.Attr(value.Column).Type) {
    case 0: {
      const char* text = block.TextOf(value);
      const std::string_view kept = CutSjis(text, static_cast<size_t>(widths_[field]));
      if (kept.size() < std::strlen(text)) {
        cut_.assign(kept);
        text = cut_.c_str();
      }
      DBFWriteStringAttribute(dbf, record, field, text);
      return;
    }
    case 1:
      // A number too wide for its field would be stored with its digits cut off, a different
      // number; the field is left empty (null) instead.
      if (!DBFWriteIntegerAttribute(dbf, record, field, value.Integer))
        DBFWriteNULLAttribute(dbf, record, field);
      return;
    case 2:
      if (!DBFWriteDoubleAttribute(dbf, record, field, value.Real))
        DBFWriteNULLAttribute(dbf, record, field);
      return;
    default:
      return;
  }
}

bool tshapelayer::AppendNull() {
  SHPObject* shape = SHPCreateSimpleObject(SHPT_NULL, 0, nullptr, nullptr, nullptr);
  const int written = shape ? SHPWriteObject(OpenSet.ShpHandle, -1, shape) : -1;
  SHPDestroyObject(shape);
  return written >= 0;
}

// A feature ended without coordinates gets a null shape, as does one never ended. Should a
// write of an ended feature fail, one null shape is tried after it, as for a feature left open.
void tshapelayer::EndFeature(const tfeatureblock& block, const tfeature& feature) {
  switch (feature.End) {
    case tfeatureend::Shape:
      return WriteShape(block, feature);
    case tfeatureend::Empty:
      if (AppendNull()) return;
      AppendNull();
      Fail();
    case tfeatureend::Open:
      if (!AppendNull()) Fail();
      return;
  }
}

void tshapelayer::WriteShape(const tfeatureblock& block, const tfeature& f) {
  // The shape object is laid over the block instead of copied from it: a copy costs seven
  // allocations per feature. It holds what SHPCreateObject would make of the same arguments:
  // one part from vertex 0 when none is marked, and a point takes the first vertex.
  const int32_t shapeType = block.ShapeType;
  if (zeros_.size() < f.Vertices) zeros_.resize(f.Vertices, 0.0);
  SHPObject shape{};
  shape.nSHPType = shapeType;
  shape.nShapeId = -1;
  shape.nVertices = shapeType == SHPT_POINT ? 1 : static_cast<int>(f.Vertices);
  shape.padfX = const_cast<double*>(block.X.data() + f.VerticesAt);
  shape.padfY = const_cast<double*>(block.Y.data() + f.VerticesAt);
  shape.padfZ = zeros_.data();
  shape.padfM = zeros_.data();
  int firstStart = 0, firstType = SHPP_RING;
  if (shapeType != SHPT_POINT && shapeType != SHPT_NULL) {
    if (f.Parts == 0) {
      shape.nParts = 1;
      shape.panPartStart = &firstStart;
      shape.panPartType = &firstType;
    } else {
      shape.nParts = static_cast<int>(f.Parts);
      shape.panPartStart = const_cast<int*>(block.PartStarts.data() + f.PartsAt);
      shape.panPartType = const_cast<int*>(block.PartTypes.data() + f.PartsAt);
    }
  }
  SHPComputeExtents(&shape);
  if (SHPWriteObject(OpenSet.ShpHandle, -1, &shape) >= 0) return;
  AppendNull();
  Fail();
}
