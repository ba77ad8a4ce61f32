#pragma once
// The layer sets of an output folder read back for the map preview: every set the catalog
// names, its shapes in memory (one flat coordinate vector per layer, float offsets from the
// layer's corner, so that 200 000 buildings stay within tens of megabytes), the view that maps
// longitude and latitude to pixels, and the search for the feature under a pixel. The records'
// attribute values stay in the tables and are read when a feature is identified. The map's
// coordinates are those the sets hold: longitude and latitude, or the easting and northing of the
// projected CRS an output was written in.
#include <cstdint>
#include <string>
#include <vector>

#include "catalog/catalog.h"

class OGRSpatialReference;

// A box in the map's coordinates (X longitude or easting, Y latitude or northing); empty while
// MinX > MaxX.
struct tmapbox {
  double MinX = 1e300, MinY = 1e300, MaxX = -1e300, MaxY = -1e300;
  bool Empty() const { return MinX > MaxX || MinY > MaxY; }
  void Add(double x, double y);
  void Add(const tmapbox& box);
};

// How a layer is drawn, from its shape file's type.
enum class tlayerclass { Polygon, Line, Point };

struct tcolour {
  int R = 128, G = 128, B = 128;
};

// One shape of a layer. Its parts are Parts[FirstPart .. FirstPart + PartCount), each running
// from PartStarts[p] up to PartStarts[p + 1] (vertex numbers in Coords).
struct tpreviewfeature {
  int32_t Record = 0;  // the shape's number, which is its table record
  uint32_t FirstPart = 0;
  uint32_t PartCount = 0;
  float MinX = 0, MinY = 0, MaxX = 0, MaxY = 0;  // its box, as offsets from the layer's origin
};

struct tpreviewlayer {
  int32_t Entry = 0;  // catalog entry number
  tlayerclass Class = tlayerclass::Point;
  std::string Base;     // the set's path without extension
  std::string Dataset;  // the GDAL dataset holding the layer instead of a set (GeoPackage, ...)
  std::string Name;     // the catalog name
  std::string Title;    // the catalog title, UTF-8
  std::string Symbol;   // the catalog symbol name (circle, square, triangle, star or other)
  tcolour Colour;
  std::vector<tshpattr> Attrs;  // the catalog's columns: field names and headers (CP932)
  bool Visible = true;
  double OriginX = 0, OriginY = 0;  // Coords hold offsets from here, x and y in turn
  std::vector<float> Coords;
  std::vector<uint32_t> PartStarts{0};  // one past the last vertex closes the last part
  std::vector<tpreviewfeature> Features;
  tmapbox Box;
  double MetresPerUnit = 0;  // of its projected CRS; 0 in degrees, or where it declares none

  uint32_t PartBegin(uint32_t part) const { return PartStarts[part]; }
  uint32_t PartEnd(uint32_t part) const { return PartStarts[part + 1]; }
};

struct tpreviewset {
  std::vector<tpreviewlayer> Layers;  // in catalog order
  tmapbox Box;                        // of every feature, and of the relief's cells
  std::string Relief;                 // the folder's elevation mosaic (.vrt), empty if none
  tmapbox ReliefBox;                  // its cells with a value
  bool ReliefVisible = true;
  // Metres in a unit of the sets' projected CRS (1 for metres); 0 while they are in degrees.
  double MetresPerUnit = 0;
  // A degree of longitude in degrees of latitude at the set's middle; 1 when projected.
  double XScale = 1;
};

// "r g b" of the catalog; grey when the text does not hold three numbers.
tcolour ParseColour(const std::string& text);

// Reads every set of `folder` (with its trailing '/') that the loaded catalog names, in catalog
// order. Sets that are missing or do not open are left out; a set without shapes is kept. The
// folder's finest elevation mosaic, where there is one, becomes the relief. The first layer's CRS
// (the mosaic's where there is no layer) gives the unit.
tpreviewset LoadPreviewSet(const std::string& folder);

// Metres in a unit of `srs` when it is projected (GetLinearUnits: 1 for metres); 0 when it is
// geographic or null.
double SrsMetresPerUnit(const OGRSpatialReference* srs);

// The same for the CRS of a shapefile's .prj (ESRI WKT); 0 when the file is missing or unreadable.
double PrjMetresPerUnit(const std::string& prj);

// Ends feature `f` of `layer`, whose parts (from f.FirstPart) were just added over `box`: kept
// with its box, or its parts dropped when no vertex had a value. For the layers' loaders.
void EndPreviewFeature(tpreviewlayer& layer, tpreviewfeature f, const tmapbox& box);

// Reads one set; false when its shape file does not open or holds no drawable type.
bool LoadPreviewLayer(const std::string& base, tpreviewlayer& layer);

// The GDAL dataset in `folder` that holds the layer `name` written in another format than
// shapefiles: its own file (name.fgb, name.geojson, ...) or a GeoPackage or SQLite file of the
// folder with a table of that name; empty when there is none.
std::string FindGdalLayer(const std::string& folder, const std::string& name);

// Reads the layer layer.Name of the GDAL dataset `dataset`; its records are its feature ids.
// False when it does not open or holds no drawable type.
bool LoadGdalPreviewLayer(const std::string& dataset, tpreviewlayer& layer);

// The layers' numbers in drawing order: polygons, then lines, then points, each in catalog
// order.
std::vector<size_t> DrawOrder(const tpreviewset& set);

// The picture: the map point at its middle, pixels per map unit (a degree of latitude, or the
// projected unit) and its size.
struct tmapview {
  double CenterX = 0, CenterY = 0;
  double PixelsPerDegree = 1;  // per map unit
  double XScale = 1;           // longitude is shrunk by this, so that shapes keep their proportions
  double MetresPerUnit = 0;    // as the set's: 0 while the map is in degrees
  int Width = 1, Height = 1;
};

// Gives the view the set's units: its XScale and MetresPerUnit.
inline void TakeUnits(tmapview& view, const tpreviewset& set) {
  view.XScale = set.XScale;
  view.MetresPerUnit = set.MetresPerUnit;
}

inline double ScreenX(const tmapview& v, double x) {
  return v.Width / 2.0 + (x - v.CenterX) * v.PixelsPerDegree * v.XScale;
}
inline double ScreenY(const tmapview& v, double y) {
  return v.Height / 2.0 - (y - v.CenterY) * v.PixelsPerDegree;
}
inline double MapX(const tmapview& v, double sx) {
  return v.CenterX + (sx - v.Width / 2.0) / (v.PixelsPerDegree * v.XScale);
}
inline double MapY(const tmapview& v, double sy) {
  return v.CenterY - (sy - v.Height / 2.0) / v.PixelsPerDegree;
}

// Centres `box` in the picture with `margin` pixels around it on the tighter side; a box of one
// point gets a picture about a kilometre across.
void FitView(tmapview& view, const tmapbox& box, int margin = 10);

// Zooms by `factor` (above 1 closer) keeping the map point under the pixel (sx, sy) there.
void ZoomView(tmapview& view, double sx, double sy, double factor);

// Moves the map with the mouse by (dx, dy) pixels.
void PanView(tmapview& view, double dx, double dy);

// The scale's denominator N of 1:N on a screen of `dpi` dots per inch: the ground a pixel shows,
// the view's metres per unit / pixels per unit, divided by the size of a pixel, 0.0254 m / dpi.
// In degrees a degree of latitude is taken as 111 319.5 m (the equator's degree, GRS 80).
double ScaleDenominator(const tmapview& view, double dpi);

// The feature under the pixel (sx, sy) of the visible layers, the topmost drawn first: a point
// or line within `tolerance` pixels (the nearest), or a polygon that contains the pixel (a hole
// does not). Layer -1 when there is none.
struct tmaphit {
  int Layer = -1;
  int32_t Record = -1;
  int32_t Feature = -1;  // its place in the layer's Features
};
tmaphit IdentifyAt(const tpreviewset& set, const tmapview& view, double sx, double sy,
                   double tolerance);

// The attribute values of a record as the table holds them, in UTF-8, each under its catalog
// header (under the field name where the catalog names no such column).
struct tattrtext {
  std::string Header, Value;
};
std::vector<tattrtext> ReadRecordTexts(const tpreviewlayer& layer, int32_t record);
// The same for a layer read from a GDAL dataset: the record is the feature's id.
std::vector<tattrtext> ReadGdalRecordTexts(const tpreviewlayer& layer, int32_t record);
