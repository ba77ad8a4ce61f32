#include "dem/mosaic.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <fcntl.h>
#include <gdal.h>
#include <gdal_utils.h>
#include <ogr_srs_api.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "common/errors.h"
#include "common/text.h"
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

tdemmosaics::tdemmosaics(std::string outputFolder, tdemformat format)
    : outputFolder_(std::move(outputFolder)), format_(format) {
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

// One first-level mesh (p: 1.5 x latitude, q: longitude - 100, both floored) of one spacing.
// Sources come in painting order, worst first: a better source's value covers a worse one's,
// its no-data cells cover nothing.
void tdemmosaics::WriteFirstLevel(const tspacing& spacing, int64_t p, int64_t q,
                                  const std::vector<const tsource*>& sources,
                                  const std::string& path) {
  const int64_t width = spacing.cellsPerDegreeX, height = spacing.cellsPerDegreeY * 2 / 3;
  const int64_t westCol = (q + 100) * width, northRow = (p + 1) * height;
  if (width > INT32_MAX || height > INT32_MAX)
    throw NabikError("a first-level mesh of " + std::to_string(spacing.metres) +
                     " m cells is too large");

  const std::string part = format_ == tdemformat::Cog ? path + ".base.part" : path + ".part";
  tpartfile removePart(part);
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
  GDALDatasetH ds = GDALCreate(gtiff, part.c_str(), static_cast<int>(width),
                               static_cast<int>(height), 1, GDT_Float32, options.List());
  if (!ds) throw NabikError("Cannot create " + part + ": " + GdalMessage());
  bool closed = false;
  auto close = [&] {
    if (closed) return true;
    closed = true;
    return CloseDataset(ds);
  };
  try {
    // Origin and size from whole numbers of cells: one rounding each, so the edge of one
    // first-level file is bit for bit the origin of its neighbour.
    double transform[6] = {
        static_cast<double>(q + 100),
        1.0 / static_cast<double>(spacing.cellsPerDegreeX),
        0.0,
        static_cast<double>(northRow) / static_cast<double>(spacing.cellsPerDegreeY),
        0.0,
        -1.0 / static_cast<double>(spacing.cellsPerDegreeY)};
    GDALSetGeoTransform(ds, transform);
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, DatumEpsg(spacing.datum));
    OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
    GDALSetSpatialRef(ds, srs);
    OSRDestroySpatialReference(srs);
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    GDALSetRasterNoDataValue(band, kDemNoData);

    // Empty overviews first; the pyramid fills them from the windows as they pass, so that
    // only the parts with data are ever averaged (GDAL would average the whole first-level
    // mesh, mostly empty, at every level).
    std::vector<int> levels;
    for (int64_t f = 2; std::max(width, height) / f >= kTile; f *= 2)
      levels.push_back(static_cast<int>(f));
    if (!levels.empty() &&
        GDALBuildOverviews(ds, "NONE", static_cast<int>(levels.size()), levels.data(), 0, nullptr,
                           nullptr, nullptr) != CE_None)
      throw NabikError("Cannot create the overviews of " + part + ": " + GdalMessage());

    // Column chunks as wide as the raster where that is small enough (every tile of every
    // level then written once), else of a whole number of top-level tiles.
    const int64_t chunkCols = width <= kWholeWidth ? width : kChunkCols;
    std::vector<float> window, values;
    for (int64_t x0 = 0; x0 < width; x0 += chunkCols) {
      const int64_t w = std::min<int64_t>(chunkCols, width - x0);
      tpyramid pyramid(band, x0, w, part);
      for (int64_t y0 = 0; y0 < height; y0 += kTile) {
        const int64_t h = std::min<int64_t>(kTile, height - y0);
        bool any = false;
        for (const tsource* s : sources) {
          const int64_t sy = northRow - (s->southRow + s->rows), sx = s->westCol - westCol;
          const int64_t r0 = std::max<int64_t>(0, y0 - sy),
                        r1 = std::min<int64_t>(s->rows, y0 + h - sy);
          const int64_t c0 = std::max<int64_t>(0, x0 - sx),
                        c1 = std::min<int64_t>(s->cols, x0 + w - sx);
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
            const int64_t lo = std::max(r * s->cols + c0, from),
                          hi = std::min(r * s->cols + c1, to);
            for (int64_t i = lo; i < hi; ++i) {
              const float v = values[static_cast<size_t>(i - from)];
              if (v != kDemNoData) out[i - r * s->cols] = v;
            }
          }
        }
        // A window without data is not stored: its tiles stay absent (sparse).
        if (any) WriteRows(band, x0, y0, w, h, window.data(), part);
        pyramid.Push(any ? window.data() : nullptr, h);
      }
      pyramid.Finish();
    }
    if (!close()) throw NabikError("Cannot write " + part + ": " + GdalMessage());
  } catch (...) {
    close();
    throw;
  }

  if (format_ == tdemformat::GTiff) {
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

std::vector<std::string> tdemmosaics::Write(const std::function<void(const std::string&)>& status) {
  std::vector<std::string> written;
  if (files_ == 0) return written;
  GDALAllRegister();
  const tcachebound cache;
  const tquietgdal quiet;
  for (const tspacing& spacing : spacings_) {
    if (spacing.sources.empty()) continue;
    // Each source in every first-level mesh it touches (a mesh of the agency lies in one).
    const int64_t firstRows = spacing.cellsPerDegreeY * 2 / 3, firstCols = spacing.cellsPerDegreeX;
    std::map<std::pair<int64_t, int64_t>, std::vector<const tsource*>> meshes;
    for (const tsource& s : spacing.sources) {
      const int64_t p0 = s.southRow / firstRows, p1 = (s.southRow + s.rows - 1) / firstRows;
      const int64_t q0 = s.westCol / firstCols - 100,
                    q1 = (s.westCol + s.cols - 1) / firstCols - 100;
      for (int64_t p = p0; p <= p1; ++p)
        for (int64_t q = q0; q <= q1; ++q) meshes[{p, q}].push_back(&s);
    }
    const std::string prefix = "dem" + std::to_string(spacing.metres) + "m";
    std::vector<std::string> names;
    for (auto& [key, sources] : meshes) {
      std::stable_sort(sources.begin(), sources.end(), [](const tsource* a, const tsource* b) {
        if (a->rank != b->rank) return a->rank > b->rank;  // worse kinds first
        if (a->date != b->date) return a->date < b->date;  // older first
        return a->order < b->order;
      });
      const auto [p, q] = key;
      if (p < 0 || p > 99 || q < 0 || q > 99)
        throw NabikError("an elevation mesh lies outside the first-level meshes of Japan");
      char code[8];
      std::snprintf(code, sizeof code, "%02d%02d", static_cast<int>(p), static_cast<int>(q));
      const std::string name = prefix + "-" + code + ".tif";
      status(name + Sjis(" 作成中"));
      WriteFirstLevel(spacing, p, q, sources, outputFolder_ + name);
      names.push_back(outputFolder_ + name);
      written.push_back(outputFolder_ + name);
    }
    const std::string vrt = outputFolder_ + prefix + ".vrt";
    status(prefix + ".vrt" + Sjis(" 作成中"));
    std::vector<const char*> sourceNames;
    for (const std::string& n : names) sourceNames.push_back(n.c_str());
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
