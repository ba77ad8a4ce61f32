#pragma once
// The layer catalog: which FGD feature types become output layers, and how.
#include <cstdint>
#include <string>
#include <vector>

// One attribute column of a layer: the XML child element read, its dBASE field and its header.
struct tshpattr {
  std::string Name;    // XML element name and dBASE field name ("id"/"uuid" are the identifiers)
  std::string Header;  // column header of the web query result, at most 60 bytes
  int32_t Type = 0;    // 0 text, 1 integer, 2 real number
  int32_t Width = 0;   // dBASE field width; the decimals are always 0
};

// The geodetic datum a file declares for its coordinates ("fguuid:jgd2011.bl" in a GML srsName
// or a JPGIS jps:CRS uuidref); None when it declares none the reader knows.
enum class tdatum : int32_t { None, Jgd2000, Jgd2011, Jgd2024 };

// One catalog entry, one output layer.
struct tshpopentyp {
  int32_t Kind = 0;             // 1 line, 2 polygon, 3 point, 4 network line
  bool Created = false;         // its shapefile set was created in the current run
  tdatum Datum = tdatum::None;  // the first datum declared into its set in the current run
  std::string Name;       // feature element, file-path key and shapefile base name; <= 20 bytes
  std::string Title;      // Japanese description (CP932)
  std::string LabelItem;  // attribute labelling the map features; empty: no labels
  std::string Symbol;     // map symbol name; <= 20 bytes
  std::string Color;      // "r g b"; <= 20 bytes
  std::vector<tshpattr> Attrs;  // attribute k (from 1) is Attrs[k - 1]

  int32_t AttrCount() const { return static_cast<int32_t>(Attrs.size()); }
  const tshpattr& Attr(int32_t k) const { return Attrs[k - 1]; }
};

// The process-wide table, entries numbered from 1 in the order of the catalog file. It grows
// as needed; catalogs of the original program stay within 30 entries of 20 columns.
extern std::vector<tshpopentyp> LayerCatalog;

inline int32_t LayerCount() {
  return static_cast<int32_t>(LayerCatalog.size());
}
inline tshpopentyp& CatalogEntry(int32_t n) {
  return LayerCatalog[n - 1];
}

// Takes the first comma-separated column off `line` (with its comma) and returns it; without a
// comma returns the whole rest and leaves `line` empty. No trimming, no quoting.
std::string PopField(std::string& line);

// Path of the catalog beside the executable ("nabik.csv").
std::string CatalogPath();

// Loads the catalog beside the executable. See LoadLayerCatalogFrom.
bool LoadLayerCatalog();

// Empties LayerCatalog and fills it from the file at `path`. Returns false (table empty) when
// the file cannot be opened. A column that must be an integer and does not convert raises
// NabikError with "'%s' is not a valid integer value"; the entries of the lines before it stay
// loaded, the failing line's entry is dropped.
bool LoadLayerCatalogFrom(const std::string& path);

// Parses one non-comment catalog line into an entry (raises NabikError as above).
tshpopentyp ParseCatalogLine(std::string line);
