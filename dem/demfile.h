#pragma once
// The agency's elevation model files (数値標高モデル): one file is one mesh of a regular grid in
// latitude and longitude, its cells listed row by row from the north-west corner, one
// "kind,value" line per cell.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog.h"

// Kinds of file, best first within one grid spacing.
enum class tdemkind : int32_t { Dem1A, Dem5A, Dem5B, Dem5C, Dem10A, Dem10B };

// The value of a cell without one, in the files and in the rasters written from them.
constexpr float kDemNoData = -9999.0f;

// The grid spacing a kind belongs to, in metres (1, 5 or 10), and its name ("5A").
int DemSpacing(tdemkind kind);
std::string_view DemKindName(tdemkind kind);
// Rank within the spacing: 0 for the best source (1A, 5A, 10A), growing for worse ones.
int DemKindRank(tdemkind kind);

struct tdemreadoptions {
  bool seaZero = false;  // 海水面 cells without a value become 0 m
};

// One file read: its grid and the values from its start point on.
struct tdemfile {
  std::string path;
  tdemkind kind = tdemkind::Dem5A;
  int32_t date = 0;  // yyyymmdd: from the file name, else the file's own development date
  tdatum datum = tdatum::None;
  double south = 0, west = 0, north = 0, east = 0;  // envelope: outer edges of the cells
  int32_t cols = 0, rows = 0;
  // Cells per degree of longitude and latitude, and the grid's place in the lattice of those
  // cells counted from 0° (the index of its west column and of its south row).
  int64_t cellsPerDegreeX = 0, cellsPerDegreeY = 0;
  int64_t westCol = 0, southRow = 0;
  int64_t start = 0;          // linear index (row * cols + col, rows from the north) of values[0]
  std::vector<float> values;  // one per tuple; kDemNoData where a cell has none
};

// True when the file's first bytes hold a DEM element: a DEM file whatever its name.
bool IsDemFile(const std::string& path);

// Reads a DEM file into `file` (its `values` keep their capacity for the next file). Raises
// NabikError naming the file and line for a file that cannot be read, an unknown kind of cell, a
// value that is no number, more values than cells, a grid that does not match its kind, and a
// header without envelope, grid, datum or kind.
void ReadDemFile(const std::string& path, const tdemreadoptions& options, tdemfile& file);
