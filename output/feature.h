#pragma once
// Finished features on their way from a reader to an output layer, in blocks: a block holds
// some hundred buildings or a few dozen contour lines in flat arrays, so that handing features
// over costs nothing per feature and a writer thread can take a block while the reader fills
// the next.
#include <cstdint>
#include <string>
#include <vector>

#include "catalog/catalog.h"

// How a feature ended.
enum class tfeatureend : uint8_t {
  Shape,  // its end came with coordinates: a shape of the layer's type
  Empty,  // its end came without coordinates: no shape
  Open,   // its end never came (the next feature or the end of the file came first): no shape
};

// The roles of a polygon's rings, as the shapefile names them.
enum tringrole : int32_t { kFirstRing = 5, kOuterRing = 2, kInnerRing = 3 };

// One value of an attribute column (k from 1, the catalog's order), typed by the column.
struct tvalue {
  int32_t Column = 0;
  int32_t Integer = 0;  // an integer column's value
  double Real = 0;      // a real column's value
  uint32_t TextAt = 0;  // a text column's NUL-ended bytes in the block's Text
};

struct tfeature {
  tfeatureend End = tfeatureend::Open;
  uint32_t ValuesAt = 0;  // its values run up to the next feature's ValuesAt (or the end)
  uint32_t VerticesAt = 0, Vertices = 0;  // in X and Y
  uint32_t PartsAt = 0, Parts = 0;        // in PartStarts and PartTypes; none: one part
};

struct tfeatureblock {
  int32_t ShapeType = 0;        // the shapefile type of every shape (1 point, 3 line, 5 polygon)
  tdatum Datum = tdatum::None;  // the datum the input file declared so far
  // Values[0, LeadingValues) came before the block's first feature: they belong to the feature
  // before it (the last one written), as a date read after a feature's end does.
  uint32_t LeadingValues = 0;
  std::vector<tfeature> Features;
  std::vector<tvalue> Values;
  std::vector<double> X, Y;                    // X the longitude, Y the latitude, in degrees
  std::vector<int32_t> PartStarts, PartTypes;  // a part's first vertex, counted from the shape's
  std::string Text;                            // text values, each followed by a NUL

  // Values [first, last) of feature i (the leading values are no feature's).
  uint32_t ValuesEnd(size_t i) const {
    return i + 1 < Features.size() ? Features[i + 1].ValuesAt
                                   : static_cast<uint32_t>(Values.size());
  }
  const char* TextOf(const tvalue& v) const { return Text.data() + v.TextAt; }
  void Clear();
};
