#include "preview/relief.h"

#include <gdal.h>
#include <ogr_spatialref.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>

#include "dem/demfile.h"

namespace {

constexpr double kMetresPerDegree = 111320.0;
// The light: from the north-west (azimuth 315°), 45° above the horizon, as a unit vector.
const double kLightEast = -0.5, kLightNorth = 0.5, kLightUp = M_SQRT1_2;

bool IsFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

class tdataset {
 public:
  explicit tdataset(const std::string& path) {
    GDALAllRegister();
    ds_ = GDALOpen(path.c_str(), GA_ReadOnly);
  }
  ~tdataset() {
    if (ds_) GDALClose(ds_);
  }
  tdataset(const tdataset&) = delete;
  tdataset& operator=(const tdataset&) = delete;
  GDALDatasetH get() const { return ds_; }

 private:
  GDALDatasetH ds_ = nullptr;
};

}  // namespace

bool FindRelief(const std::string& folder, std::string& mosaic, tmapbox& box) {
  for (const char* name : {"dem1m.vrt", "dem5m.vrt", "dem10m.vrt"}) {
    const std::string path = folder + name;
    if (!IsFile(path)) continue;
    tdataset ds(path);
    if (!ds.get()) continue;
    double t[6];
    if (GDALGetGeoTransform(ds.get(), t) != CE_None) continue;
    // The extent of the cells with a value, on a grid of at most 1024 x 1024: the mosaic's
    // rasters cover whole first-level meshes, mostly empty.
    const int width = GDALGetRasterXSize(ds.get()), height = GDALGetRasterYSize(ds.get());
    const int step = std::max({1, (width + 1023) / 1024, (height + 1023) / 1024});
    const int w = (width + step - 1) / step, h = (height + step - 1) / step;
    std::vector<float> cells(static_cast<size_t>(w) * h);
    if (GDALRasterIO(GDALGetRasterBand(ds.get(), 1), GF_Read, 0, 0, width, height, cells.data(), w,
                     h, GDT_Float32, 0, 0) != CE_None)
      continue;
    box = {};
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (cells[static_cast<size_t>(y) * w + x] != kDemNoData) {
          box.Add(t[0] + x * step * t[1], t[3] + y * step * t[5]);
          box.Add(t[0] + std::min((x + 1) * step, width) * t[1],
                  t[3] + std::min((y + 1) * step, height) * t[5]);
        }
    mosaic = path;
    return true;
  }
  return false;
}

double MosaicMetresPerUnit(const std::string& mosaic) {
  tdataset ds(mosaic);
  return ds.get() ? SrsMetresPerUnit(OGRSpatialReference::FromHandle(GDALGetSpatialRef(ds.get())))
                  : 0;
}

std::vector<uint32_t> ShadeRelief(const std::string& mosaic, const tmapview& view) {
  tdataset ds(mosaic);
  double t[6];
  if (!ds.get() || GDALGetGeoTransform(ds.get(), t) != CE_None || t[1] <= 0 || t[5] >= 0) return {};
  const int width = view.Width, height = view.Height;
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * height, 0);
  // Elevations at the picture's pixel centres, with a border of one pixel for the slopes:
  // the mosaic's window under the picture, read at the picture's resolution (GDAL takes the
  // overview that fits).
  const int bw = width + 2, bh = height + 2;
  const double left = MapX(view, -1), top = MapY(view, -1);
  const double right = MapX(view, width + 1), bottom = MapY(view, height + 1);
  const double rasterW = GDALGetRasterXSize(ds.get()), rasterH = GDALGetRasterYSize(ds.get());
  const double px0 = (left - t[0]) / t[1], px1 = (right - t[0]) / t[1];
  const double py0 = (top - t[3]) / t[5], py1 = (bottom - t[3]) / t[5];
  // The part of the picture the mosaic covers, in buffer pixels.
  const double perX = bw / (px1 - px0), perY = bh / (py1 - py0);
  const int bx0 = std::clamp(static_cast<int>(std::ceil(-px0 * perX)), 0, bw);
  const int bx1 = std::clamp(static_cast<int>(std::floor((rasterW - px0) * perX)), 0, bw);
  const int by0 = std::clamp(static_cast<int>(std::ceil(-py0 * perY)), 0, bh);
  const int by1 = std::clamp(static_cast<int>(std::floor((rasterH - py0) * perY)), 0, bh);
  if (bx1 <= bx0 || by1 <= by0) return pixels;
  std::vector<float> z(static_cast<size_t>(bw) * bh, kDemNoData);
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.bFloatingPointWindowValidity = TRUE;
  extra.dfXOff = std::max(0.0, px0 + bx0 / perX);
  extra.dfYOff = std::max(0.0, py0 + by0 / perY);
  extra.dfXSize = std::min(rasterW - extra.dfXOff, (bx1 - bx0) / perX);
  extra.dfYSize = std::min(rasterH - extra.dfYOff, (by1 - by0) / perY);
  const int xOff = static_cast<int>(extra.dfXOff), yOff = static_cast<int>(extra.dfYOff);
  const int xSize =
      std::max(1, std::min(static_cast<int>(rasterW) - xOff,
                           static_cast<int>(std::ceil(extra.dfXOff + extra.dfXSize)) - xOff));
  const int ySize =
      std::max(1, std::min(static_cast<int>(rasterH) - yOff,
                           static_cast<int>(std::ceil(extra.dfYOff + extra.dfYSize)) - yOff));
  // Heights interpolated, and which pixels have a cell with a value under them (bilinear
  // interpolation would carry heights into cells without one, such as a river's).
  std::vector<float> nearest(z.size(), kDemNoData);
  for (auto [into, method] :
       {std::pair{&z, GRIORA_Bilinear}, std::pair{&nearest, GRIORA_NearestNeighbour}}) {
    extra.eResampleAlg = method;
    if (GDALRasterIOEx(GDALGetRasterBand(ds.get(), 1), GF_Read, xOff, yOff, xSize, ySize,
                       into->data() + static_cast<size_t>(by0) * bw + bx0, bx1 - bx0, by1 - by0,
                       GDT_Float32, sizeof(float), static_cast<GSpacing>(bw) * sizeof(float),
                       &extra) != CE_None)
      return {};
  }

  // Horn's slopes on the picture's pixels (cells larger than pixels interpolated, since
  // repeated cells would shade as steps), a pixel taken as its size on the ground: in degrees
  // longitude is shrunk by XScale, so a pixel is as wide as high.
  const double metres =
      (view.MetresPerUnit > 0 ? view.MetresPerUnit : kMetresPerDegree) / view.PixelsPerDegree;
  const double metresX = metres, metresY = metres;
  auto at = [&](int x, int y) { return z[static_cast<size_t>(y) * bw + x]; };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const float c = at(x + 1, y + 1);
      if (c == kDemNoData || nearest[static_cast<size_t>(y + 1) * bw + x + 1] == kDemNoData)
        continue;
      float n[9];
      for (int k = 0; k < 9; ++k) {
        const float v = at(x + k % 3, y + k / 3);
        n[k] = v == kDemNoData ? c : v;  // an edge takes the cell's own height
      }
      const double dzdx = ((n[2] + 2 * n[5] + n[8]) - (n[0] + 2 * n[3] + n[6])) / (8 * metresX);
      const double dzdy = ((n[6] + 2 * n[7] + n[8]) - (n[0] + 2 * n[1] + n[2])) / (8 * metresY);
      // The surface's normal (east, north, up) against the direction of the light.
      const double east = -dzdx, north = dzdy;  // dzdy is taken southwards
      double shade = (east * kLightEast + north * kLightNorth + kLightUp) /
                     std::sqrt(east * east + north * north + 1);
      shade = std::clamp(shade, 0.0, 1.0);
      // Light grey to dark grey, so that the layers drawn over it stay readable.
      const uint32_t grey = static_cast<uint32_t>(std::lround(96 + 150 * shade));
      pixels[static_cast<size_t>(y) * width + x] = 0xFF000000u | grey << 16 | grey << 8 | grey;
    }
  }
  return pixels;
}
