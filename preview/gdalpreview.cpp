// Layers written through GDAL (GeoPackage, FlatGeobuf, ...) read back for the preview, into the
// same flat arrays as the shapefile sets.
#include <cpl_string.h>
#include <dirent.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "common/text.h"
#include "preview/preview.h"

namespace {

struct tdatasetcloser {
  void operator()(GDALDataset* d) const { GDALClose(d); }
};
using tdatasetptr = std::unique_ptr<GDALDataset, tdatasetcloser>;

tdatasetptr OpenQuietly(const std::string& name) {
  GDALAllRegister();
  CPLPushErrorHandler(CPLQuietErrorHandler);
  tdatasetptr d(GDALDataset::Open(name.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
  CPLPopErrorHandler();
  return d;
}

bool IsFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Adds the points of a line string or ring as one part.
void AddPart(const OGRSimpleCurve& curve, tpreviewlayer& layer, tmapbox& box) {
  for (int i = 0; i < curve.getNumPoints(); ++i) {
    const double x = curve.getX(i), y = curve.getY(i);
    if (!std::isfinite(x) || !std::isfinite(y)) continue;
    box.Add(x, y);
    layer.Coords.push_back(static_cast<float>(x - layer.OriginX));
    layer.Coords.push_back(static_cast<float>(y - layer.OriginY));
  }
  layer.PartStarts.push_back(static_cast<uint32_t>(layer.Coords.size() / 2));
}

void AddGeometry(const OGRGeometry& g, tpreviewlayer& layer, tmapbox& box) {
  switch (wkbFlatten(g.getGeometryType())) {
    case wkbPoint: {
      const auto& p = *g.toPoint();
      if (!std::isfinite(p.getX()) || !std::isfinite(p.getY())) return;
      box.Add(p.getX(), p.getY());
      layer.Coords.push_back(static_cast<float>(p.getX() - layer.OriginX));
      layer.Coords.push_back(static_cast<float>(p.getY() - layer.OriginY));
      layer.PartStarts.push_back(static_cast<uint32_t>(layer.Coords.size() / 2));
      return;
    }
    case wkbLineString:
      return AddPart(*g.toLineString(), layer, box);
    case wkbPolygon:
      for (const OGRLinearRing* ring : *g.toPolygon()) AddPart(*ring, layer, box);
      return;
    case wkbMultiPoint:
    case wkbMultiLineString:
    case wkbMultiPolygon:
    case wkbGeometryCollection:
      for (const OGRGeometry* part : *g.toGeometryCollection()) AddGeometry(*part, layer, box);
      return;
    default:
      return;
  }
}

}  // namespace

double SrsMetresPerUnit(const OGRSpatialReference* srs) {
  return srs && srs->IsProjected() ? srs->GetLinearUnits() : 0;
}

double PrjMetresPerUnit(const std::string& prj) {
  if (!IsFile(prj)) return 0;
  CPLPushErrorHandler(CPLQuietErrorHandler);
  CPLStringList lines(CSLLoad(prj.c_str()));
  OGRSpatialReference srs;
  const bool read = !lines.empty() && srs.importFromESRI(lines.List()) == OGRERR_NONE;
  CPLPopErrorHandler();
  return read ? SrsMetresPerUnit(&srs) : 0;
}

std::string FindGdalLayer(const std::string& folder, const std::string& name) {
  for (const char* ext : {".fgb", ".geojson", ".geojsonl", ".csv"})
    if (IsFile(folder + name + ext)) return folder + name + ext;
  std::vector<std::string> files;
  if (DIR* dir = opendir(folder.empty() ? "." : folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string file = entry->d_name;
      if (EndsWith(file, ".gpkg") || EndsWith(file, ".sqlite")) files.push_back(folder + file);
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) {
    tdatasetptr d = OpenQuietly(file);
    if (d && d->GetLayerByName(name.c_str())) return file;
  }
  return {};
}

bool LoadGdalPreviewLayer(const std::string& dataset, tpreviewlayer& layer) {
  tdatasetptr d = OpenQuietly(dataset);
  OGRLayer* source = d ? d->GetLayerByName(layer.Name.c_str()) : nullptr;
  if (!source && d && d->GetLayerCount() == 1) source = d->GetLayer(0);
  if (!source) return false;
  switch (wkbFlatten(source->GetGeomType())) {
    case wkbPolygon:
    case wkbMultiPolygon:
      layer.Class = tlayerclass::Polygon;
      break;
    case wkbLineString:
    case wkbMultiLineString:
      layer.Class = tlayerclass::Line;
      break;
    case wkbPoint:
    case wkbMultiPoint:
      layer.Class = tlayerclass::Point;
      break;
    default:
      return false;
  }
  layer.Dataset = dataset;
  layer.MetresPerUnit = SrsMetresPerUnit(source->GetSpatialRef());
  OGREnvelope extent;
  const bool known = source->GetExtent(&extent, TRUE) == OGRERR_NONE;
  layer.OriginX = known && std::isfinite(extent.MinX) ? extent.MinX : 0;
  layer.OriginY = known && std::isfinite(extent.MinY) ? extent.MinY : 0;
  layer.Coords.clear();
  layer.PartStarts.assign(1, 0);
  layer.Features.clear();
  layer.Box = {};
  source->SetIgnoredFields(std::vector<const char*>{"OGR_STYLE", nullptr}.data());
  for (auto& feature : *source) {
    const OGRGeometry* g = feature->GetGeometryRef();
    if (!g) continue;
    tpreviewfeature f;
    f.Record = static_cast<int32_t>(feature->GetFID());
    f.FirstPart = static_cast<uint32_t>(layer.PartStarts.size() - 1);
    tmapbox box;
    AddGeometry(*g, layer, box);
    EndPreviewFeature(layer, f, box);
  }
  layer.Coords.shrink_to_fit();
  layer.PartStarts.shrink_to_fit();
  layer.Features.shrink_to_fit();
  return true;
}

std::vector<tattrtext> ReadGdalRecordTexts(const tpreviewlayer& layer, int32_t record) {
  std::vector<tattrtext> texts;
  tdatasetptr d = OpenQuietly(layer.Dataset);
  OGRLayer* source = d ? d->GetLayerByName(layer.Name.c_str()) : nullptr;
  if (!source && d && d->GetLayerCount() == 1) source = d->GetLayer(0);
  if (!source) return texts;
  std::unique_ptr<OGRFeature> feature(source->GetFeature(record));
  if (!feature) return texts;
  for (int i = 0; i < feature->GetFieldCount(); ++i) {
    tattrtext text;
    text.Header = feature->GetFieldDefnRef(i)->GetNameRef();
    for (const tshpattr& attr : layer.Attrs)
      if (attr.Name == text.Header) {
        text.Header = Cp932ToUtf8(attr.Header);
        break;
      }
    if (feature->IsFieldSetAndNotNull(i)) text.Value = feature->GetFieldAsString(i);
    texts.push_back(std::move(text));
  }
  return texts;
}
