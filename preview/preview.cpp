#include "preview/preview.h"

#include <shapefil.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "common/text.h"
#include "preview/relief.h"
#include "shpctl/shpctl.h"

namespace {

// A degree of latitude on the ground, as the scale and a view in degrees take it.
constexpr double kMetresPerDegree = 6378137.0 * M_PI / 180;

// In fast mode the handle owns the object; destroying it only hands it back for the next read.
struct tobjectreturn {
  void operator()(SHPObject* object) const { SHPDestroyObject(object); }
};

bool IsFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool ClassOfType(int type, tlayerclass& cls) {
  switch (type) {
    case SHPT_POLYGON:
    case SHPT_POLYGONZ:
    case SHPT_POLYGONM:
      cls = tlayerclass::Polygon;
      return true;
    case SHPT_ARC:
    case SHPT_ARCZ:
    case SHPT_ARCM:
      cls = tlayerclass::Line;
      return true;
    case SHPT_POINT:
    case SHPT_POINTZ:
    case SHPT_POINTM:
    case SHPT_MULTIPOINT:
    case SHPT_MULTIPOINTZ:
    case SHPT_MULTIPOINTM:
      cls = tlayerclass::Point;
      return true;
    default:
      return false;
  }
}

int ClassRank(tlayerclass cls) {
  return cls == tlayerclass::Polygon ? 0 : cls == tlayerclass::Line ? 1 : 2;
}

// Squared distance from (px, py) to the segment (ax, ay)-(bx, by).
double SegmentDistance2(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay;
  const double length2 = dx * dx + dy * dy;
  double t = length2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / length2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = ax + t * dx - px, ey = ay + t * dy - py;
  return ex * ex + ey * ey;
}

// Even-odd over every ring, so that a point in a hole is outside and one on an island in the
// hole inside again.
bool Contains(const tpreviewlayer& layer, const tpreviewfeature& f, double x, double y) {
  bool inside = false;
  for (uint32_t p = f.FirstPart; p < f.FirstPart + f.PartCount; ++p) {
    const uint32_t begin = layer.PartBegin(p), end = layer.PartEnd(p);
    if (end - begin < 3) continue;
    for (uint32_t i = begin, j = end - 1; i < end; j = i++) {
      const double xi = layer.Coords[2 * i], yi = layer.Coords[2 * i + 1];
      const double xj = layer.Coords[2 * j], yj = layer.Coords[2 * j + 1];
      if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) inside = !inside;
    }
  }
  return inside;
}

}  // namespace

void tmapbox::Add(double x, double y) {
  MinX = std::min(MinX, x);
  MinY = std::min(MinY, y);
  MaxX = std::max(MaxX, x);
  MaxY = std::max(MaxY, y);
}

void tmapbox::Add(const tmapbox& box) {
  if (box.Empty()) return;
  Add(box.MinX, box.MinY);
  Add(box.MaxX, box.MaxY);
}

tcolour ParseColour(const std::string& text) {
  int r, g, b;
  char rest;
  if (std::sscanf(text.c_str(), "%d %d %d %c", &r, &g, &b, &rest) != 3) return {};
  return {std::clamp(r, 0, 255), std::clamp(g, 0, 255), std::clamp(b, 0, 255)};
}

bool LoadPreviewLayer(const std::string& base, tpreviewlayer& layer) {
  ShpPtr shp(SHPOpen(base.c_str(), "rb"));
  if (!shp) return false;
  int count = 0, type = 0;
  double min[4], max[4];
  SHPGetInfo(shp.get(), &count, &type, min, max);
  if (!ClassOfType(type, layer.Class)) return false;
  layer.Base = base;
  layer.MetresPerUnit = PrjMetresPerUnit(base + ".prj");
  // The header's box is only where the offsets start; a wrong one costs precision, not shapes.
  layer.OriginX = std::isfinite(min[0]) ? min[0] : 0;
  layer.OriginY = std::isfinite(min[1]) ? min[1] : 0;
  layer.Coords.clear();
  layer.PartStarts.assign(1, 0);
  layer.Features.clear();
  layer.Features.reserve(count);
  layer.Box = {};
  SHPSetFastModeReadObject(shp.get(), 1);
  for (int i = 0; i < count; ++i) {
    std::unique_ptr<SHPObject, tobjectreturn> object(SHPReadObject(shp.get(), i));
    if (!object || object->nVertices <= 0) continue;
    tpreviewfeature f;
    f.Record = i;
    f.FirstPart = static_cast<uint32_t>(layer.PartStarts.size() - 1);
    // A point set has no parts: each vertex is one.
    const int parts = std::max(object->nParts, 1);
    tmapbox box;
    for (int p = 0; p < parts; ++p) {
      const int begin =
          object->nParts > 0 ? std::clamp(object->panPartStart[p], 0, object->nVertices) : 0;
      const int end = p + 1 < object->nParts
                          ? std::clamp(object->panPartStart[p + 1], begin, object->nVertices)
                          : object->nVertices;
      for (int v = begin; v < end; ++v) {
        const double x = object->padfX[v], y = object->padfY[v];
        if (!std::isfinite(x) || !std::isfinite(y)) continue;
        box.Add(x, y);
        layer.Coords.push_back(static_cast<float>(x - layer.OriginX));
        layer.Coords.push_back(static_cast<float>(y - layer.OriginY));
      }
      layer.PartStarts.push_back(static_cast<uint32_t>(layer.Coords.size() / 2));
    }
    EndPreviewFeature(layer, f, box);
  }
  layer.Coords.shrink_to_fit();
  layer.PartStarts.shrink_to_fit();
  layer.Features.shrink_to_fit();
  return true;
}

void EndPreviewFeature(tpreviewlayer& layer, tpreviewfeature f, const tmapbox& box) {
  f.PartCount = static_cast<uint32_t>(layer.PartStarts.size() - 1) - f.FirstPart;
  if (box.Empty()) {
    layer.PartStarts.resize(f.FirstPart + 1);
    layer.Coords.resize(layer.PartStarts.back() * 2);
    return;
  }
  f.MinX = static_cast<float>(box.MinX - layer.OriginX);
  f.MinY = static_cast<float>(box.MinY - layer.OriginY);
  f.MaxX = static_cast<float>(box.MaxX - layer.OriginX);
  f.MaxY = static_cast<float>(box.MaxY - layer.OriginY);
  layer.Box.Add(box);
  layer.Features.push_back(f);
}

tpreviewset LoadPreviewSet(const std::string& folder) {
  tpreviewset set;
  for (int32_t n = 1; n <= LayerCount(); ++n) {
    const tshpopentyp& entry = CatalogEntry(n);
    const std::string base = folder + entry.Name;
    tpreviewlayer layer;
    layer.Name = entry.Name;
    if (IsFile(base + ".shp")) {
      if (!LoadPreviewLayer(base, layer)) continue;
    } else {
      const std::string dataset = FindGdalLayer(folder, entry.Name);
      if (dataset.empty() || !LoadGdalPreviewLayer(dataset, layer)) continue;
    }
    layer.Entry = n;
    layer.Title = Cp932ToUtf8(entry.Title);
    layer.Symbol = entry.Symbol;
    layer.Colour = ParseColour(entry.Color);
    layer.Attrs = entry.Attrs;
    set.Box.Add(layer.Box);
    set.Layers.push_back(std::move(layer));
  }
  if (FindRelief(folder, set.Relief, set.ReliefBox)) set.Box.Add(set.ReliefBox);
  // One run writes every layer and mosaic of a folder in one CRS. Should they differ all the same,
  // the map is drawn in the first one's, and the others land where their numbers fall in it.
  if (!set.Layers.empty())
    set.MetresPerUnit = set.Layers[0].MetresPerUnit;
  else if (!set.Relief.empty())
    set.MetresPerUnit = MosaicMetresPerUnit(set.Relief);
  if (!set.Box.Empty() && set.MetresPerUnit == 0) {
    const double middle = (set.Box.MinY + set.Box.MaxY) / 2;
    set.XScale = std::max(std::cos(std::clamp(middle, -85.0, 85.0) * M_PI / 180), 0.05);
  }
  return set;
}

std::vector<size_t> DrawOrder(const tpreviewset& set) {
  std::vector<size_t> order(set.Layers.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return ClassRank(set.Layers[a].Class) < ClassRank(set.Layers[b].Class);
  });
  return order;
}

void FitView(tmapview& view, const tmapbox& box, int margin) {
  if (box.Empty()) return;
  view.CenterX = (box.MinX + box.MaxX) / 2;
  view.CenterY = (box.MinY + box.MaxY) / 2;
  const double width = std::max(view.Width - 2.0 * margin, 1.0);
  const double height = std::max(view.Height - 2.0 * margin, 1.0);
  const double spanX = (box.MaxX - box.MinX) * view.XScale, spanY = box.MaxY - box.MinY;
  double ppd = 1e300;
  if (spanX > 0) ppd = width / spanX;
  if (spanY > 0) ppd = std::min(ppd, height / spanY);
  // A single point: a picture about a kilometre across.
  if (ppd == 1e300)
    ppd = view.MetresPerUnit > 0 ? width * view.MetresPerUnit / 1000 : width * 111.3195;
  view.PixelsPerDegree = ppd;
}

void ZoomView(tmapview& view, double sx, double sy, double factor) {
  if (!(factor > 0)) return;
  const double x = MapX(view, sx), y = MapY(view, sy);
  // The limits of a view in degrees, as pixels per metre in a projected one.
  const double unit = view.MetresPerUnit > 0 ? view.MetresPerUnit / kMetresPerDegree : 1;
  view.PixelsPerDegree = std::clamp(view.PixelsPerDegree * factor, 1e-3 * unit, 1e9 * unit);
  // Put (x, y) back under the pixel.
  view.CenterX += x - MapX(view, sx);
  view.CenterY += y - MapY(view, sy);
}

void PanView(tmapview& view, double dx, double dy) {
  view.CenterX -= dx / (view.PixelsPerDegree * view.XScale);
  view.CenterY += dy / view.PixelsPerDegree;
}

double ScaleDenominator(const tmapview& view, double dpi) {
  const double metres = view.MetresPerUnit > 0 ? view.MetresPerUnit : kMetresPerDegree;
  return metres / view.PixelsPerDegree * dpi / 0.0254;
}

tmaphit IdentifyAt(const tpreviewset& set, const tmapview& view, double sx, double sy,
                   double tolerance) {
  const double x = MapX(view, sx), y = MapY(view, sy);
  const double tolX = tolerance / (view.PixelsPerDegree * view.XScale);
  const double tolY = tolerance / view.PixelsPerDegree;
  const std::vector<size_t> order = DrawOrder(set);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const tpreviewlayer& layer = set.Layers[*it];
    if (!layer.Visible) continue;
    // In the layer's offsets; distances are measured in pixels.
    const double lx = x - layer.OriginX, ly = y - layer.OriginY;
    const double pixX = view.PixelsPerDegree * view.XScale, pixY = view.PixelsPerDegree;
    double best = tolerance * tolerance;
    int32_t found = -1, feature = -1;
    for (size_t k = layer.Features.size(); k-- > 0;) {
      const tpreviewfeature& f = layer.Features[k];
      const double pad = layer.Class == tlayerclass::Polygon ? 0 : 1;
      if (lx < f.MinX - pad * tolX || lx > f.MaxX + pad * tolX || ly < f.MinY - pad * tolY ||
          ly > f.MaxY + pad * tolY)
        continue;
      if (layer.Class == tlayerclass::Polygon) {
        if (Contains(layer, f, lx, ly)) {
          found = f.Record;
          feature = static_cast<int32_t>(k);
          break;  // the last drawn lies on top
        }
        continue;
      }
      for (uint32_t p = f.FirstPart; p < f.FirstPart + f.PartCount; ++p) {
        const uint32_t begin = layer.PartBegin(p), end = layer.PartEnd(p);
        for (uint32_t v = begin; v < end; ++v) {
          const double ax = (layer.Coords[2 * v] - lx) * pixX;
          const double ay = (layer.Coords[2 * v + 1] - ly) * pixY;
          double d2 = ax * ax + ay * ay;
          if (layer.Class == tlayerclass::Line && v + 1 < end) {
            const double bx = (layer.Coords[2 * v + 2] - lx) * pixX;
            const double by = (layer.Coords[2 * v + 3] - ly) * pixY;
            d2 = SegmentDistance2(0, 0, ax, ay, bx, by);
          }
          if (d2 <= best) {
            best = d2;
            found = f.Record;
            feature = static_cast<int32_t>(k);
          }
        }
      }
    }
    if (found >= 0) return {static_cast<int>(*it), found, feature};
  }
  return {};
}

std::vector<tattrtext> ReadRecordTexts(const tpreviewlayer& layer, int32_t record) {
  if (!layer.Dataset.empty()) return ReadGdalRecordTexts(layer, record);
  std::vector<tattrtext> texts;
  DbfPtr dbf(DBFOpen(layer.Base.c_str(), "rb"));
  if (!dbf || record < 0 || record >= DBFGetRecordCount(dbf.get())) return texts;
  const int fields = DBFGetFieldCount(dbf.get());
  for (int i = 0; i < fields; ++i) {
    char name[XBASE_FLDNAME_LEN_READ + 1] = {};
    DBFGetFieldInfo(dbf.get(), i, name, nullptr, nullptr);
    tattrtext text;
    text.Header = Cp932ToUtf8(name);
    // The table's field names are the catalog's, cut to the ten bytes dBASE keeps.
    for (const tshpattr& attr : layer.Attrs)
      if (attr.Name.substr(0, 10) == name) {
        text.Header = Cp932ToUtf8(attr.Header);
        break;
      }
    if (!DBFIsAttributeNULL(dbf.get(), record, i))
      if (const char* value = DBFReadStringAttribute(dbf.get(), record, i))
        text.Value = Cp932ToUtf8(value);
    texts.push_back(std::move(text));
  }
  return texts;
}
