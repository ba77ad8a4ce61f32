#pragma once
// Seamless rasters from the DEM files of a run: for each grid spacing (1, 5, 10 m) one GeoTIFF
// per first-level mesh the files touch (dem5m-5339.tif) and one virtual mosaic joining them
// (dem5m.vrt), written through GDAL.
//
// With a target CRS each GeoTIFF is warped (bilinear, through GDAL) from the spacing's seamless
// latitude/longitude mosaic, written first under a temporary name, onto one grid of the target
// shared by all the spacing's files: square cells of the spacing in metres (in the target's
// unit; a geographic target keeps the source's cells), at whole multiples of the cell size. Each
// file holds the cells whose centre lies in its first-level mesh, so that neighbours meet without
// gap or overlap.
//
// The values of the files read wait in a scratch file of the output folder, so that memory
// stays bounded whatever the area; the rasters are written window by window (256 rows of tiles)
// with GDAL's block cache bounded as well.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dem/demfile.h"

namespace crs {
class ttargetcrs;
}

enum class tdemformat { GTiff, Cog };

class tdemmosaics {
 public:
  // `target`: the CRS to warp into, nullptr for the datum the files declare; it outlives this.
  tdemmosaics(std::string outputFolder, tdemformat format, const crs::ttargetcrs* target = nullptr);
  ~tdemmosaics();
  tdemmosaics(const tdemmosaics&) = delete;
  tdemmosaics& operator=(const tdemmosaics&) = delete;

  // Keeps the values of a file read. Raises NabikError when the scratch file cannot be written,
  // or for a 1 m file whose cells differ in size from the run's first 1 m file.
  void Add(const tdemfile& file);
  int FileCount() const { return files_; }

  // Writes the rasters and the virtual mosaics; `status` gets a text (CP932) for each file
  // written. The paths written, in order. Raises NabikError when GDAL cannot write one; no
  // file is left half-written under its final name, and no latitude/longitude file of a warp.
  std::vector<std::string> Write(const std::function<void(const std::string&)>& status);

  // The virtual mosaics Write wrote, finest first, with the least and greatest value of their
  // files (for a legend or a colour range; of the warped values with a target).
  struct tmosaic {
    std::string Name;  // "dem5m.vrt"
    float Min, Max;
  };
  std::vector<tmosaic> Mosaics;

  // Files whose datum differs from the first of their spacing (their cells are placed as they
  // are; JGD2000 and JGD2011 differ by up to a few metres in the north-east).
  std::vector<std::string> Warnings;

 private:
  struct tsource {
    int64_t offset;        // of its values in the scratch file
    int64_t start, count;  // linear index of the first value, number of values
    int32_t cols, rows;
    int64_t westCol, southRow;
    int32_t rank, date, order;
  };
  struct tspacing {
    int metres = 0;
    int64_t cellsPerDegreeX = 0, cellsPerDegreeY = 0;
    tdatum datum = tdatum::None;
    float min = 0, max = 0;  // of the values read, no-data aside (max < min while none)
    std::vector<tsource> sources;
  };

  // A first-level mesh's file, and the latitude/longitude file a warp reads it from.
  struct tfirstlevel {
    int64_t p, q;
    std::string path, latlon;
  };

  void OpenScratch();
  bool PaintLatLon(const tspacing& spacing, int64_t p, int64_t q,
                   const std::vector<const tsource*>& sources, int64_t x0, int64_t y0, int64_t w,
                   int64_t h, std::vector<float>& window) const;
  void WarpSpacing(tspacing& spacing, const std::vector<tfirstlevel>& meshes,
                   const std::function<void(const std::string&)>& status);

  std::string outputFolder_;
  tdemformat format_;
  const crs::ttargetcrs* target_;
  int scratch_ = -1;
  int64_t scratchBytes_ = 0;
  int files_ = 0;
  std::array<tspacing, 3> spacings_;  // 1 m, 5 m, 10 m
};
