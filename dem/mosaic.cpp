#include "dem/mosaic.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <fcntl.h>
#include <gdal.h>
#include <gdal_alg.h>
#include <gdal_utils.h>
#include <gdalwarper.h>
#include <ogr_srs_api.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_set>

#include "common/errors.h"
#include "common/text.h"
#include "crs/target.h"
#include "shpctl/shpctl.h"

namespace {

// A window of the raster is filled in memory at a time: one row of tiles.
constexpr int kTile = 256;
// A raster up to this wide is filled in windows of its whole width; a wider one in chunks.
constexpr int64_t kWholeWidth = 128 * kTile;
constexpr int64_t kChunkCols = 64 * kTile;
// GDAL's block cache while the rasters are written; with the window (at most 32 MB), the
// overviews' rows (as much again) and the index of the files read, the run stays below 256 MB.
constexpr int64_t kCacheBytes = int64_t{64} << 20;
// GDAL's limit for one warp; the tiles warped one at a time need a few MB.
constexpr double kWarpBytes = 32.0 * (1 << 20);
// The warp's largest error in placing a cell, in cells.
constexpr double kWarpError = 1e-4;
// Border cells of a destination tile transformed to find what it covers: every 32nd.
constexpr int64_t kBorderStep = 32;

int SpacingIndex(int metres) {
  return metres == 1 ? 0 : metres == 5 ? 1 : 2;
}

std::string GdalMessage() {
  const char* text = CPLGetLastErrorMsg();
  return text && *text ? text : "unknown GDAL error";
}

void PreadAll(int fd, void* into, size_t bytes, int64_t offset) {
  char* p = static_cast<char*>(into);
  while (bytes > 0) {
    const ssize_t n = ::pread(fd, p, bytes, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw NabikError(std::string("Cannot read the elevation scratch file: ") +
                       (n < 0 ? std::strerror(errno) : "it ends early"));
    p += n, bytes -= static_cast<size_t>(n), offset += n;
  }
}

// GDAL's cache bounded while the mosaics are written, and set back afterwards.
class tcachebound {
 public:
  tcachebound() : saved_(GDALGetCacheMax64()) { GDALSetCacheMax64(kCacheBytes); }
  ~tcachebound() { GDALSetCacheMax64(saved_); }

 private:
  GIntBig saved_;
};

// GDAL's messages held back while the mosaics are written: a failure is raised with GDAL's last
// message, once, instead of a screenful of library errors.
class tquietgdal {
 public:
  tquietgdal() { CPLPushErrorHandler(CPLQuietErrorHandler); }
  ~tquietgdal() { CPLPopErrorHandler(); }
};

// Removes a file not finished when the write goes wrong.
class tpartfile {
 public:
  explicit tpartfile(std::string path) : path_(std::move(path)) {}
  ~tpartfile() {
    if (!path_.empty()) VSIUnlink(path_.c_str());
  }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

// GDAL gives no result from closing a dataset (where the last blocks are written); its error
// state tells.
bool CloseDataset(GDALDatasetH ds) {
  CPLErrorReset();
  GDALClose(ds);
  return CPLGetLastErrorType() < CE_Failure;
}

void WriteRows(GDALRasterBandH band, int64_t x0, int64_t y0, int64_t w, int64_t h, float* rows,
               const std::string& path) {
  if (GDALRasterIO(band, GF_Write, static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(w),
                   static_cast<int>(h), rows, static_cast<int>(w), static_cast<int>(h), GDT_Float32,
                   0, 0) != CE_None)
    throw NabikError("Cannot write " + path + ": " + GdalMessage());
}

// The overviews of one column chunk, filled from its windows of rows as they pass, top to
// bottom: each level averages two by two the cells with a value of the level below
// (no-data where none has one), as GDAL's AVERAGE does, and keeps one row of tiles until it is
// full.
class tpyramid {
 public:
  tpyramid(GDALRasterBandH base, int64_t x0, int64_t width, const std::string& path)
      : baseWidth_(width), path_(path) {
    const int count = GDALGetOverviewCount(base);
    for (int i = 0; i < count; ++i) {
      x0 = x0 / 2, width = (width + 1) / 2;
      tlevel level;
      level.band = GDALGetOverview(base, i);
      level.x0 = x0;
      level.width = std::min<int64_t>(width, GDALGetRasterBandXSize(level.band) - x0);
      level.height = GDALGetRasterBandYSize(level.band);
      levels_.push_back(std::move(level));
    }
  }

  // The next `rows` rows of the chunk; nullptr for rows without any value.
  void Push(const float* cells, int64_t rows) {
    if (!levels_.empty()) Push(0, cells, rows, baseWidth_);
  }
  // The last rows of every level, the lowest first.
  void Finish() {
    for (size_t i = 0; i < levels_.size(); ++i) Flush(i);
  }

 private:
  struct tlevel {
    GDALRasterBandH band;
    int64_t x0, width, height, y0 = 0, filled = 0;
    bool any = false;
    std::vector<float> rows;
  };

  void Push(size_t index, const float* cells, int64_t rows, int64_t cols) {
    tlevel& level = levels_[index];
    const int64_t out = (rows + 1) / 2;
    if (cells) {
      if (!level.any) level.rows.assign(static_cast<size_t>(kTile * level.width), kDemNoData);
      level.any = true;
      for (int64_t r = 0; r < out; ++r) {
        float* to = level.rows.data() + (level.filled + r) * level.width;
        const float* a = cells + 2 * r * cols;
        const float* b = 2 * r + 1 < rows ? a + cols : nullptr;
        for (int64_t c = 0; c < level.width; ++c) {
          float sum = 0;
          int n = 0;
          for (int64_t k = 2 * c; k < std::min(2 * c + 2, cols); ++k) {
            if (a[k] != kDemNoData) sum += a[k], ++n;
            if (b && b[k] != kDemNoData) sum += b[k], ++n;
          }
          to[c] = n ? sum / static_cast<float>(n) : kDemNoData;
        }
      }
    }
    level.filled += out;
    if (level.filled == kTile) Flush(index);
  }

  void Flush(size_t index) {
    tlevel& level = levels_[index];
    if (level.filled == 0) return;
    const int64_t rows = std::min(level.filled, level.height - level.y0);
    if (level.any)
      WriteRows(level.band, level.x0, level.y0, level.width, rows, level.rows.data(), path_);
    if (index + 1 < levels_.size())
      Push(index + 1, level.any ? level.rows.data() : nullptr, rows, level.width);
    level.y0 += level.filled;
    level.filled = 0;
    level.any = false;
  }

  std::vector<tlevel> levels_;
  int64_t baseWidth_ = 0;
  const std::string& path_;
};

void Commit(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0)
    throw NabikError("Cannot rename " + from + " to " + to + ": " + std::strerror(errno));
}

}  // namespace

tdemmosaics::tdemmosaics(std::string outputFolder, tdemformat format, const crs::ttargetcrs* target)
    : outputFolder_(std::move(outputFolder)), format_(format), target_(target) {
  for (int i = 0; i < 3; ++i) spacings_[i].metres = i == 0 ? 1 : i == 1 ? 5 : 10;
}

tdemmosaics::~tdemmosaics() {
  if (scratch_ >= 0) ::close(scratch_);
}

// The scratch file has no name: it goes with the run however the run ends.
void tdemmosaics::OpenScratch() {
  std::string name = outputFolder_ + ".nabik-dem-XXXXXX";
  scratch_ = ::mkstemp(name.data());
  if (scratch_ < 0)
    throw NabikError("Cannot create a scratch file in " + outputFolder_ + ": " +
                     std::strerror(errno));
  ::unlink(name.c_str());
}

void tdemmosaics::Add(const tdemfile& file) {
  tspacing& spacing = spacings_[SpacingIndex(DemSpacing(file.kind))];
  if (spacing.sources.empty()) {
    spacing.cellsPerDegreeX = file.cellsPerDegreeX;
    spacing.cellsPerDegreeY = file.cellsPerDegreeY;
    spacing.datum = file.datum;
  } else if (spacing.cellsPerDegreeX != file.cellsPerDegreeX ||
             spacing.cellsPerDegreeY != file.cellsPerDegreeY) {
    throw NabikError(file.path + ": its cells differ in size from those of the run's first " +
                     std::to_string(spacing.metres) + " m file; they cannot share one mosaic");
  } else if (DatumEpsg(file.datum) != DatumEpsg(spacing.datum)) {
    Warnings.push_back(file.path + ": declares the datum " + DatumName(file.datum) + ", the " +
                       std::to_string(spacing.metres) + " m mosaic holds " +
                       DatumName(spacing.datum) + "; its cells are placed unchanged");
  }
  if (spacing.sources.empty()) spacing.min = 1, spacing.max = 0;
  for (const float v : file.values)
    if (v != kDemNoData) {
      if (spacing.max < spacing.min) spacing.min = spacing.max = v;
      spacing.min = std::min(spacing.min, v), spacing.max = std::max(spacing.max, v);
    }
  if (scratch_ < 0) OpenScratch();
  const size_t bytes = file.values.size() * sizeof(float);
  const char* p = reinterpret_cast<const char*>(file.values.data());
  int64_t offset = scratchBytes_;
  for (size_t left = bytes; left > 0;) {
    const ssize_t n = ::pwrite(scratch_, p, left, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw NabikError("Cannot write the elevation scratch file in " + outputFolder_ + ": " +
                       std::strerror(n < 0 ? errno : ENOSPC));
    p += n, left -= static_cast<size_t>(n), offset += n;
  }
  spacing.sources.push_back(
      tsource{scratchBytes_, file.start, static_cast<int64_t>(file.values.size()), file.cols,
              file.rows, file.westCol, file.southRow, DemKindRank(file.kind), file.date, files_});
  scratchBytes_ += static_cast<int64_t>(bytes);
  ++files_;
}

namespace {

// How a raster is laid out; the SRS is borrowed.
struct tlayout {
  int64_t width = 0, height = 0;
  double transform[6] = {};
  OGRSpatialReferenceH srs = nullptr;
  // A latitude/longitude file only a warp reads: no overviews, the quickest compression.
  bool intermediate = false;
};

// Fills the window (x0, y0, w, h) of a raster into `window` (w x h values); false when it holds
// no value (`window` is not read then).
using tfill =
    std::function<bool(int64_t x0, int64_t y0, int64_t w, int64_t h, std::vector<float>& window)>;

// Writes a tiled Float32 GeoTIFF at `path` window by window; the caller removes it on failure.
void WriteTiff(const std::string& path, const tlayout& layout, const tfill& fill) {
  const int64_t width = layout.width, height = layout.height;
  GDALDriverH gtiff = GDALGetDriverByName("GTiff");
  if (!gtiff) throw NabikError("GDAL has no GTiff driver");
  CPLStringList options;
  options.SetNameValue("TILED", "YES");
  options.SetNameValue("BLOCKXSIZE", std::to_string(kTile).c_str());
  options.SetNameValue("BLOCKYSIZE", std::to_string(kTile).c_str());
  options.SetNameValue("COMPRESS", "DEFLATE");
  options.SetNameValue("PREDICTOR", "3");
  options.SetNameValue("SPARSE_OK", "TRUE");
  options.SetNameValue("BIGTIFF", "IF_SAFER");
  if (layout.intermediate) options.SetNameValue("ZLEVEL", "1");
  GDALDatasetH ds = GDALCreate(gtiff, path.c_str(), static_cast<int>(width),
                               static_cast<int>(height), 1, GDT_Float32, options.List());
  if (!ds) throw NabikError("Cannot create " + path + ": " + GdalMessage());
  bool closed = false;
  auto close = [&] {
    if (closed) return true;
    closed = true;
    return CloseDataset(ds);
  };
  try {
    double transform[6];
    std::copy(layout.transform, layout.transform + 6, transform);
    GDALSetGeoTransform(ds, transform);
    GDALSetSpatialRef(ds, layout.srs);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    GDALSetRasterNoDataValue(band, kDemNoData);

    // Empty overviews first; the pyramid fills them from the windows as they pass, so that
    // only the parts with data are ever averaged (GDAL would average the whole first-level
    // mesh, mostly empty, at every level).
    std::vector<int> levels;
    for (int64_t f = 2; !layout.intermediate && std::max(width, height) / f >= kTile; f *= 2)
      levels.push_back(static_cast<int>(f));
    if (!levels.empty() &&
        GDALBuildOverviews(ds, "NONE", static_cast<int>(levels.size()), levels.data(), 0, nullptr,
                           nullptr, nullptr) != CE_None)
      throw NabikError("Cannot create the overviews of " + path + ": " + GdalMessage());

    // Column chunks as wide as the raster where that is small enough (every tile of every
    // level then written once), else of a whole number of top-level tiles.
    const int64_t chunkCols = width <= kWholeWidth ? width : kChunkCols;
    std::vector<float> window;
    for (int64_t x0 = 0; x0 < width; x0 += chunkCols) {
      const int64_t w = std::min<int64_t>(chunkCols, width - x0);
      tpyramid pyramid(band, x0, w, path);
      for (int64_t y0 = 0; y0 < height; y0 += kTile) {
        const int64_t h = std::min<int64_t>(kTile, height - y0);
        const bool any = fill(x0, y0, w, h, window);
        // A window without data is not stored: its tiles stay absent (sparse).
        if (any) WriteRows(band, x0, y0, w, h, window.data(), path);
        pyramid.Push(any ? window.data() : nullptr, h);
      }
      pyramid.Finish();
    }
    if (!close()) throw NabikError("Cannot write " + path + ": " + GdalMessage());
  } catch (...) {
    close();
    throw;
  }
}

// Writes one of the rasters the run leaves under a temporary name, renamed when complete.
void WriteFinal(const std::string& path, tdemformat format, const tlayout& layout,
                const tfill& fill) {
  const std::string part = format == tdemformat::Cog ? path + ".base.part" : path + ".part";
  tpartfile removePart(part);
  WriteTiff(part, layout, fill);
  if (format == tdemformat::GTiff) {
    Commit(part, path);
    removePart.Keep();
    return;
  }
  // A Cloud Optimized GeoTIFF is a copy of the base file with its overviews before the data.
  GDALDriverH cog = GDALGetDriverByName("COG");
  if (!cog) throw NabikError("GDAL has no COG driver");
  const std::string cogPart = path + ".part";
  tpartfile removeCog(cogPart);
  GDALDatasetH base = GDALOpen(part.c_str(), GA_ReadOnly);
  if (!base) throw NabikError("Cannot open " + part + ": " + GdalMessage());
  CPLStringList cogOptions;
  cogOptions.SetNameValue("COMPRESS", "DEFLATE");
  cogOptions.SetNameValue("PREDICTOR", "YES");
  cogOptions.SetNameValue("BIGTIFF", "IF_SAFER");
  cogOptions.SetNameValue("RESAMPLING", "AVERAGE");
  cogOptions.SetNameValue("SPARSE_OK", "TRUE");
  GDALDatasetH copy =
      GDALCreateCopy(cog, cogPart.c_str(), base, FALSE, cogOptions.List(), nullptr, nullptr);
  GDALClose(base);
  if (!copy) throw NabikError("Cannot write " + cogPart + ": " + GdalMessage());
  if (!CloseDataset(copy)) throw NabikError("Cannot write " + cogPart + ": " + GdalMessage());
  Commit(cogPart, path);
  removeCog.Keep();
}

// Removes the files a warp reads when it goes, however the write ends.
struct tscratchfiles {
  std::vector<std::string> paths;
  ~tscratchfiles() {
    for (const std::string& path : paths) VSIUnlink(path.c_str());
  }
};

struct tsrs {
  OGRSpatialReferenceH h = OSRNewSpatialReference(nullptr);
  ~tsrs() { OSRDestroySpatialReference(h); }
};

struct tcoordtransform {
  OGRCoordinateTransformationH h = nullptr;
  ~tcoordtransform() {
    if (h) OCTDestroyCoordinateTransformation(h);
  }
};

// What the files of one spacing are warped from: its seamless latitude/longitude mosaic, in
// global cells (column: longitude x cells per degree; row: latitude x cells per degree, from
// the equator north).
struct twarpsource {
  GDALDatasetH mosaic;
  OGRSpatialReferenceH latlon, target;
  OGRCoordinateTransformationH toLatLon;
  int64_t cellsPerDegreeX, cellsPerDegreeY;
  std::unordered_set<int64_t> blocks;  // kTile x kTile blocks of cells that sources cover
};

int64_t BlockKey(int64_t row, int64_t col) {
  return (row / kTile) << 32 | (col / kTile);
}

// One file of a warp: GDAL's bilinear warp of the source mosaic onto the target grid, tile by
// tile where the source has data, keeping the cells whose centre lies in the file's
// first-level mesh (`mesh*`: its global cells). The centres are taken from the global grid
// indices, so that the neighbouring file decides each shared cell the same way.
class tmeshwarp {
 public:
  tmeshwarp(const twarpsource& source, const tlayout& layout, int64_t col0, int64_t row1,
            double cellX, double cellY, int64_t meshCol0, int64_t meshCol1, int64_t meshRow0,
            int64_t meshRow1)
      : source_(source),
        col0_(col0),
        row1_(row1),
        cellX_(cellX),
        cellY_(cellY),
        meshCol0_(meshCol0),
        meshCol1_(meshCol1),
        meshRow0_(meshRow0),
        meshRow1_(meshRow1) {
    double sourceTransform[6];
    GDALGetGeoTransform(source.mosaic, sourceTransform);
    void* exact = GDALCreateGenImgProjTransformer4(source.latlon, sourceTransform, source.target,
                                                   layout.transform, nullptr);
    if (!exact) throw NabikError("Cannot set up the warp: " + GdalMessage());
    // Linear between exact points a ten-thousandth of a cell apart at most: gdalwarp's default
    // (an eighth) moves values on steep slopes by centimetres; exact points cost twice the time.
    transformer_ = GDALCreateApproxTransformer(GDALGenImgProjTransform, exact, kWarpError);
    GDALApproxTransformerOwnsSubtransformer(transformer_, TRUE);
    GDALWarpOptions* options = GDALCreateWarpOptions();
    options->hSrcDS = source.mosaic;
    options->nBandCount = 1;
    options->panSrcBands = static_cast<int*>(CPLMalloc(sizeof(int)));
    options->panDstBands = static_cast<int*>(CPLMalloc(sizeof(int)));
    options->panSrcBands[0] = options->panDstBands[0] = 1;
    options->eResampleAlg = GRA_Bilinear;
    options->eWorkingDataType = GDT_Float32;
    options->padfSrcNoDataReal = static_cast<double*>(CPLMalloc(sizeof(double)));
    options->padfDstNoDataReal = static_cast<double*>(CPLMalloc(sizeof(double)));
    options->padfSrcNoDataReal[0] = options->padfDstNoDataReal[0] = kDemNoData;
    options->dfWarpMemoryLimit = kWarpBytes;
    // A cell gets a value only where the source cell under its centre has one, averaged from
    // the neighbours that have one.
    options->papszWarpOptions =
        CSLSetNameValue(options->papszWarpOptions, "UNIFIED_SRC_NODATA", "YES");
    // A tile whose source window is empty stays as initialised: no-data.
    options->papszWarpOptions = CSLSetNameValue(options->papszWarpOptions, "INIT_DEST", "NO_DATA");
    options->papszWarpOptions =
        CSLSetNameValue(options->papszWarpOptions, "ERROR_OUT_IF_EMPTY_SOURCE_WINDOW", "NO");
    options->pfnTransformer = GDALApproxTransform;
    options->pTransformerArg = transformer_;
    operation_ = GDALCreateWarpOperation(options);
    GDALDestroyWarpOptions(options);
    if (!operation_) {
      GDALDestroyApproxTransformer(transformer_);
      throw NabikError("Cannot set up the warp: " + GdalMessage());
    }
  }
  ~tmeshwarp() {
    GDALDestroyWarpOperation(operation_);
    GDALDestroyApproxTransformer(transformer_);
  }
  tmeshwarp(const tmeshwarp&) = delete;
  tmeshwarp& operator=(const tmeshwarp&) = delete;

  bool Fill(int64_t x0, int64_t y0, int64_t w, int64_t h, std::vector<float>& window,
            const std::string& path) {
    bool any = false;
    for (int64_t tx = x0; tx < x0 + w; tx += kTile) {
      const int64_t tw = std::min<int64_t>(kTile, x0 + w - tx);
      if (!Tile(tx, y0, tw, h, path)) continue;
      if (!any) window.assign(static_cast<size_t>(w * h), kDemNoData);
      any = true;
      for (int64_t r = 0; r < h; ++r)
        std::copy_n(tile_.data() + r * tw, tw, window.data() + r * w + (tx - x0));
    }
    return any;
  }

  float min = 1, max = 0;  // of the values kept (max < min while none)

 private:
  double CentreX(int64_t x) const { return (static_cast<double>(col0_ + x) + 0.5) * cellX_; }
  double CentreY(int64_t y) const { return (static_cast<double>(row1_ - y) - 0.5) * cellY_; }

  // Longitude and latitude of the points in xs_, ys_ (in place), as global cells.
  void ToCells() {
    ok_.assign(xs_.size(), FALSE);
    OCTTransformEx(source_.toLatLon, static_cast<int>(xs_.size()), xs_.data(), ys_.data(), nullptr,
                   ok_.data());
    for (size_t i = 0; i < xs_.size(); ++i) {
      xs_[i] *= static_cast<double>(source_.cellsPerDegreeX);
      ys_[i] *= static_cast<double>(source_.cellsPerDegreeY);
    }
  }

  // Warps the tile into tile_; false when none of its cells keeps a value.
  bool Tile(int64_t tx, int64_t ty, int64_t tw, int64_t th, const std::string& path) {
    // What the tile covers in the source, from its border (the map is smooth at this scale).
    xs_.clear(), ys_.clear();
    auto add = [&](int64_t x, int64_t y) {
      xs_.push_back(CentreX(tx + x));
      ys_.push_back(CentreY(ty + y));
    };
    for (int64_t i = 0; i < tw; i += kBorderStep) add(i, 0), add(i, th - 1);
    for (int64_t j = 0; j < th; j += kBorderStep) add(0, j), add(tw - 1, j);
    add(tw - 1, 0), add(tw - 1, th - 1), add(0, th - 1);
    ToCells();
    double c0 = HUGE_VAL, c1 = -HUGE_VAL, r0 = HUGE_VAL, r1 = -HUGE_VAL;
    for (size_t i = 0; i < xs_.size(); ++i)
      if (ok_[i])
        c0 = std::min(c0, xs_[i]), c1 = std::max(c1, xs_[i]), r0 = std::min(r0, ys_[i]),
        r1 = std::max(r1, ys_[i]);
    if (c0 > c1) return false;
    // A cell's margin: the approximation and the cells bilinear interpolation reads.
    if (c1 + 1 < static_cast<double>(meshCol0_) || c0 - 1 >= static_cast<double>(meshCol1_) ||
        r1 + 1 < static_cast<double>(meshRow0_) || r0 - 1 >= static_cast<double>(meshRow1_))
      return false;
    bool data = false;
    const int64_t bc0 = static_cast<int64_t>(std::floor(c0 - 2)) / kTile,
                  bc1 = static_cast<int64_t>(std::floor(c1 + 2)) / kTile;
    const int64_t br0 = static_cast<int64_t>(std::floor(r0 - 2)) / kTile,
                  br1 = static_cast<int64_t>(std::floor(r1 + 2)) / kTile;
    for (int64_t br = br0; br <= br1 && !data; ++br)
      for (int64_t bc = bc0; bc <= bc1 && !data; ++bc)
        data = source_.blocks.count(BlockKey(br * kTile, bc * kTile)) > 0;
    if (!data) return false;

    tile_.assign(static_cast<size_t>(tw * th), kDemNoData);
    if (GDALWarpRegionToBuffer(operation_, static_cast<int>(tx), static_cast<int>(ty),
                               static_cast<int>(tw), static_cast<int>(th), tile_.data(),
                               GDT_Float32, 0, 0, 0, 0) != CE_None)
      throw NabikError("Cannot warp " + path + ": " + GdalMessage());
    const bool inside =
        c0 - 1 >= static_cast<double>(meshCol0_) && c1 + 1 < static_cast<double>(meshCol1_) &&
        r0 - 1 >= static_cast<double>(meshRow0_) && r1 + 1 < static_cast<double>(meshRow1_);
    if (!inside) {
      // On the mesh's edge: each cell by the source cell under its centre.
      xs_.clear(), ys_.clear();
      for (int64_t y = 0; y < th; ++y)
        for (int64_t x = 0; x < tw; ++x) add(x, y);
      ToCells();
      for (size_t i = 0; i < tile_.size(); ++i) {
        const double c = std::floor(xs_[i]), r = std::floor(ys_[i]);
        if (!ok_[i] || c < static_cast<double>(meshCol0_) || c >= static_cast<double>(meshCol1_) ||
            r < static_cast<double>(meshRow0_) || r >= static_cast<double>(meshRow1_))
          tile_[i] = kDemNoData;
      }
    }
    bool kept = false;
    for (const float v : tile_)
      if (v != kDemNoData) {
        if (max < min) min = max = v;
        min = std::min(min, v), max = std::max(max, v);
        kept = true;
      }
    return kept;
  }

  const twarpsource& source_;
  const int64_t col0_, row1_;
  const double cellX_, cellY_;
  const int64_t meshCol0_, meshCol1_, meshRow0_, meshRow1_;
  void* transformer_ = nullptr;
  GDALWarpOperationH operation_ = nullptr;
  std::vector<double> xs_, ys_;
  std::vector<int> ok_;
  std::vector<float> tile_;
};

}  // namespace

// A window of one first-level mesh (p: 1.5 x latitude, q: longitude - 100, both floored) of one
// spacing in latitude/longitude. Sources come in painting order, worst first: a better source's
// value covers a worse one's, its no-data cells cover nothing.
bool tdemmosaics::PaintLatLon(const tspacing& spacing, int64_t p, int64_t q,
                              const std::vector<const tsource*>& sources, int64_t x0, int64_t y0,
                              int64_t w, int64_t h, std::vector<float>& window) const {
  const int64_t westCol = (q + 100) * spacing.cellsPerDegreeX,
                northRow = (p + 1) * (spacing.cellsPerDegreeY * 2 / 3);
  bool any = false;
  std::vector<float> values;
  for (const tsource* s : sources) {
    const int64_t sy = northRow - (s->southRow + s->rows), sx = s->westCol - westCol;
    const int64_t r0 = std::max<int64_t>(0, y0 - sy), r1 = std::min<int64_t>(s->rows, y0 + h - sy);
    const int64_t c0 = std::max<int64_t>(0, x0 - sx), c1 = std::min<int64_t>(s->cols, x0 + w - sx);
    if (r0 >= r1 || c0 >= c1) continue;
    // The values of rows r0..r1, as far as the file holds them.
    const int64_t from = std::max(r0 * s->cols, s->start);
    const int64_t to = std::min(r1 * s->cols, s->start + s->count);
    if (from >= to) continue;
    if (!any) window.assign(static_cast<size_t>(w * h), kDemNoData);
    any = true;
    values.resize(static_cast<size_t>(to - from));
    PreadAll(scratch_, values.data(), values.size() * sizeof(float),
             s->offset + (from - s->start) * static_cast<int64_t>(sizeof(float)));
    for (int64_t r = r0; r < r1; ++r) {
      float* out = window.data() + (sy + r - y0) * w + (sx - x0);
      const int64_t lo = std::max(r * s->cols + c0, from), hi = std::min(r * s->cols + c1, to);
      for (int64_t i = lo; i < hi; ++i) {
        const float v = values[static_cast<size_t>(i - from)];
        if (v != kDemNoData) out[i - r * s->cols] = v;
      }
    }
  }
  return any;
}

// The spacing's files warped into the target from the latitude/longitude files of `meshes`.
void tdemmosaics::WarpSpacing(tspacing& spacing, const std::vector<tfirstlevel>& meshes,
                              const std::function<void(const std::string&)>& status) {
  const std::string metres = std::to_string(spacing.metres) + " m";
  std::vector<const char*> names;
  for (const tfirstlevel& m : meshes) names.push_back(m.latlon.c_str());
  // The seamless mosaic lives in memory only: a VRT without a name is never written.
  GDALBuildVRTOptions* vrtOptions = GDALBuildVRTOptionsNew(nullptr, nullptr);
  int usageError = FALSE;
  GDALDatasetH mosaic = GDALBuildVRT("", static_cast<int>(names.size()), nullptr, names.data(),
                                     vrtOptions, &usageError);
  GDALBuildVRTOptionsFree(vrtOptions);
  if (!mosaic) throw NabikError("Cannot join the " + metres + " mesh files: " + GdalMessage());
  const struct tclose {
    GDALDatasetH ds;
    ~tclose() { GDALClose(ds); }
  } closeMosaic{mosaic};

  tsrs latlon, target;
  OSRImportFromEPSG(latlon.h, DatumEpsg(spacing.datum));
  OSRSetAxisMappingStrategy(latlon.h, OAMS_TRADITIONAL_GIS_ORDER);
  if (OSRSetFromUserInput(target.h, target_->GdalSrs().c_str()) != OGRERR_NONE)
    throw NabikError("GDAL does not know the target " + target_->Name() + ": " + GdalMessage());
  OSRSetAxisMappingStrategy(target.h, OAMS_TRADITIONAL_GIS_ORDER);
  tcoordtransform toTarget, toLatLon;
  toTarget.h = OCTNewCoordinateTransformation(latlon.h, target.h);
  toLatLon.h = OCTNewCoordinateTransformation(target.h, latlon.h);
  if (!toTarget.h || !toLatLon.h)
    throw NabikError("Cannot transform the " + metres + " mosaic into " + target_->Name() + ": " +
                     GdalMessage());
  twarpsource source{
      mosaic, latlon.h, target.h, toLatLon.h, spacing.cellsPerDegreeX, spacing.cellsPerDegreeY, {}};
  for (const tsource& s : spacing.sources)
    for (int64_t r = s.southRow / kTile * kTile; r < s.southRow + s.rows; r += kTile)
      for (int64_t c = s.westCol / kTile * kTile; c < s.westCol + s.cols; c += kTile)
        source.blocks.insert(BlockKey(r, c));

  // Square cells of the spacing in the target's unit; a geographic target keeps the source's.
  const double cellX = target_->Geographic() ? 1.0 / static_cast<double>(spacing.cellsPerDegreeX)
                                             : spacing.metres / target_->MetresPerUnit();
  const double cellY = target_->Geographic() ? 1.0 / static_cast<double>(spacing.cellsPerDegreeY)
                                             : spacing.metres / target_->MetresPerUnit();
  const int64_t firstRows = spacing.cellsPerDegreeY * 2 / 3, firstCols = spacing.cellsPerDegreeX;
  spacing.min = 1, spacing.max = 0;
  for (const tfirstlevel& m : meshes) {
    const std::string name = m.path.substr(outputFolder_.size());
    status(name + Sjis(" 作成中"));
    const int64_t meshCol0 = (m.q + 100) * firstCols, meshRow0 = m.p * firstRows;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    const double cpdX = static_cast<double>(spacing.cellsPerDegreeX),
                 cpdY = static_cast<double>(spacing.cellsPerDegreeY);
    const bool placed =
        OCTTransformBounds(
            toTarget.h, static_cast<double>(meshCol0) / cpdX, static_cast<double>(meshRow0) / cpdY,
            static_cast<double>(meshCol0 + firstCols) / cpdX,
            static_cast<double>(meshRow0 + firstRows) / cpdY, &minX, &minY, &maxX, &maxY, 21) &&
        std::isfinite(minX) && std::isfinite(minY) && std::isfinite(maxX) && std::isfinite(maxY);
    if (!placed)
      throw NabikError(name + ": its first-level mesh has no place in " + target_->Name());
    // Target-aligned cells, with a cell's margin for the edges' curvature between the samples.
    const double col0 = std::floor(minX / cellX) - 1, col1 = std::ceil(maxX / cellX) + 1;
    const double row0 = std::floor(minY / cellY) - 1, row1 = std::ceil(maxY / cellY) + 1;
    if (col1 - col0 > INT32_MAX || row1 - row0 > INT32_MAX)
      throw NabikError(name + ": a first-level mesh of " + metres + " cells is too large in " +
                       target_->Name());
    tlayout layout;
    layout.width = static_cast<int64_t>(col1 - col0);
    layout.height = static_cast<int64_t>(row1 - row0);
    const double transform[6] = {col0 * cellX, cellX, 0.0, row1 * cellY, 0.0, -cellY};
    std::copy(transform, transform + 6, layout.transform);
    layout.srs = target.h;
    tmeshwarp warp(source, layout, static_cast<int64_t>(col0), static_cast<int64_t>(row1), cellX,
                   cellY, meshCol0, meshCol0 + firstCols, meshRow0, meshRow0 + firstRows);
    WriteFinal(m.path, format_, layout,
               [&](int64_t x0, int64_t y0, int64_t w, int64_t h, std::vector<float>& window) {
                 return warp.Fill(x0, y0, w, h, window, m.path);
               });
    if (warp.min <= warp.max) {
      if (spacing.max < spacing.min) spacing.min = warp.min, spacing.max = warp.max;
      spacing.min = std::min(spacing.min, warp.min), spacing.max = std::max(spacing.max, warp.max);
    }
  }
}

std::vector<std::string> tdemmosaics::Write(const std::function<void(const std::string&)>& status) {
  std::vector<std::string> written;
  if (files_ == 0) return written;
  GDALAllRegister();
  const tcachebound cache;
  const tquietgdal quiet;
  for (tspacing& spacing : spacings_) {
    if (spacing.sources.empty()) continue;
    // Each source in every first-level mesh it touches (a mesh of the agency lies in one).
    const int64_t firstRows = spacing.cellsPerDegreeY * 2 / 3, firstCols = spacing.cellsPerDegreeX;
    if (firstCols > INT32_MAX || firstRows > INT32_MAX)
      throw NabikError("a first-level mesh of " + std::to_string(spacing.metres) +
                       " m cells is too large");
    std::map<std::pair<int64_t, int64_t>, std::vector<const tsource*>> meshes;
    for (const tsource& s : spacing.sources) {
      const int64_t p0 = s.southRow / firstRows, p1 = (s.southRow + s.rows - 1) / firstRows;
      const int64_t q0 = s.westCol / firstCols - 100,
                    q1 = (s.westCol + s.cols - 1) / firstCols - 100;
      for (int64_t p = p0; p <= p1; ++p)
        for (int64_t q = q0; q <= q1; ++q) meshes[{p, q}].push_back(&s);
    }
    const std::string prefix = "dem" + std::to_string(spacing.metres) + "m";
    // With a target, the latitude/longitude files first, under temporary names; the warp reads
    // them as one seamless mosaic, so that cells at a mesh edge interpolate across it.
    tscratchfiles latlonFiles;
    std::vector<tfirstlevel> firstLevel;
    for (auto& entry : meshes) {
      std::vector<const tsource*>& sources = entry.second;
      std::stable_sort(sources.begin(), sources.end(), [](const tsource* a, const tsource* b) {
        if (a->rank != b->rank) return a->rank > b->rank;  // worse kinds first
        if (a->date != b->date) return a->date < b->date;  // older first
        return a->order < b->order;
      });
      const int64_t p = entry.first.first, q = entry.first.second;
      if (p < 0 || p > 99 || q < 0 || q > 99)
        throw NabikError("an elevation mesh lies outside the first-level meshes of Japan");
      char code[8];
      std::snprintf(code, sizeof code, "%02d%02d", static_cast<int>(p), static_cast<int>(q));
      const std::string name = prefix + "-" + code + ".tif";
      const std::string path = outputFolder_ + name;
      tlayout layout;
      layout.width = firstCols;
      layout.height = firstRows;
      // Origin and size from whole numbers of cells: one rounding each, so the edge of one
      // first-level file is bit for bit the origin of its neighbour.
      const double transform[6] = {
          static_cast<double>(q + 100),
          1.0 / static_cast<double>(spacing.cellsPerDegreeX),
          0.0,
          static_cast<double>((p + 1) * firstRows) / static_cast<double>(spacing.cellsPerDegreeY),
          0.0,
          -1.0 / static_cast<double>(spacing.cellsPerDegreeY)};
      std::copy(transform, transform + 6, layout.transform);
      tsrs srs;
      OSRImportFromEPSG(srs.h, DatumEpsg(spacing.datum));
      OSRSetAxisMappingStrategy(srs.h, OAMS_TRADITIONAL_GIS_ORDER);
      layout.srs = srs.h;
      const tfill paint = [&](int64_t x0, int64_t y0, int64_t w, int64_t h,
                              std::vector<float>& window) {
        return PaintLatLon(spacing, p, q, sources, x0, y0, w, h, window);
      };
      if (!target_) {
        status(name + Sjis(" 作成中"));
        WriteFinal(path, format_, layout, paint);
        written.push_back(path);
        firstLevel.push_back({p, q, path, ""});
        continue;
      }
      status(name + Sjis(" 作成中（緯度経度）"));
      const std::string latlon = path + ".latlon.part";
      latlonFiles.paths.push_back(latlon);
      layout.intermediate = true;
      WriteTiff(latlon, layout, paint);
      firstLevel.push_back({p, q, path, latlon});
    }
    if (target_) {
      WarpSpacing(spacing, firstLevel, status);
      for (const tfirstlevel& m : firstLevel) written.push_back(m.path);
    }
    const std::string vrt = outputFolder_ + prefix + ".vrt";
    status(prefix + ".vrt" + Sjis(" 作成中"));
    std::vector<const char*> sourceNames;
    for (const tfirstlevel& m : firstLevel) sourceNames.push_back(m.path.c_str());
    GDALBuildVRTOptions* vrtOptions = GDALBuildVRTOptionsNew(nullptr, nullptr);
    int usageError = FALSE;
    const std::string vrtPart = vrt + ".part";
    tpartfile removeVrt(vrtPart);
    GDALDatasetH mosaic = GDALBuildVRT(vrtPart.c_str(), static_cast<int>(sourceNames.size()),
                                       nullptr, sourceNames.data(), vrtOptions, &usageError);
    GDALBuildVRTOptionsFree(vrtOptions);
    if (!mosaic || !CloseDataset(mosaic))
      throw NabikError("Cannot write " + vrt + ": " + GdalMessage());
    Commit(vrtPart, vrt);
    removeVrt.Keep();
    written.push_back(vrt);
    Mosaics.push_back({prefix + ".vrt", spacing.min, spacing.max});
  }
  return written;
}
