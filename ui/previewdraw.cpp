#include "ui/previewdraw.h"

#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QPolygonF>
#include <cmath>
#include <vector>

#include "preview/relief.h"

namespace {

constexpr double kLineWidth = 1.5;
constexpr double kMarkSize = 7;

// The mark of a point layer, centred on the origin.
QPainterPath Mark(const std::string& symbol) {
  QPainterPath path;
  const double r = kMarkSize / 2;
  if (symbol == "square") {
    path.addRect(-r, -r, 2 * r, 2 * r);
  } else if (symbol == "triangle") {
    path.moveTo(0, -r * 1.15);
    path.lineTo(r * 1.1, r * 0.8);
    path.lineTo(-r * 1.1, r * 0.8);
    path.closeSubpath();
  } else if (symbol == "star") {
    for (int i = 0; i < 10; ++i) {
      const double a = -M_PI / 2 + i * M_PI / 5, radius = i % 2 ? r * 0.5 : r * 1.3;
      const QPointF p(radius * std::cos(a), radius * std::sin(a));
      i ? path.lineTo(p) : path.moveTo(p);
    }
    path.closeSubpath();
  } else {
    path.addEllipse(QPointF(0, 0), r, r);
  }
  return path;
}

// Where the layer's offsets land on the screen: sx = ax + x * kx, sy = ay - y * ky.
struct tplace {
  double ax, ay, kx, ky;
};

tplace PlaceOf(const tpreviewlayer& layer, const tmapview& view) {
  return {ScreenX(view, layer.OriginX), ScreenY(view, layer.OriginY),
          view.PixelsPerDegree * view.XScale, view.PixelsPerDegree};
}

// The part's vertices on the screen, dropping those that stay within the pixel of the last.
void PartPoints(const tpreviewlayer& layer, uint32_t part, const tplace& at,
                std::vector<QPointF>& points) {
  points.clear();
  const uint32_t begin = layer.PartBegin(part), end = layer.PartEnd(part);
  for (uint32_t v = begin; v < end; ++v) {
    const QPointF p(at.ax + layer.Coords[2 * v] * at.kx, at.ay - layer.Coords[2 * v + 1] * at.ky);
    if (!points.empty() && v + 1 < end && std::abs(p.x() - points.back().x()) < 0.5 &&
        std::abs(p.y() - points.back().y()) < 0.5)
      continue;
    points.push_back(p);
  }
}

long DrawLayer(QPainter& painter, const tpreviewlayer& layer, const tmapview& view) {
  const tplace at = PlaceOf(layer, view);
  const QColor colour = LayerColour(layer);
  // The picture in the layer's offsets, widened by a mark so that marks at the edge show.
  const double pad = kMarkSize;
  const double minX = (-pad - at.ax) / at.kx, maxX = (view.Width + pad - at.ax) / at.kx;
  const double minY = (at.ay - view.Height - pad) / at.ky, maxY = (at.ay + pad) / at.ky;
  const QPainterPath mark = Mark(layer.Symbol);
  std::vector<QPointF> points, dots;
  QPainterPath rings;
  rings.setFillRule(Qt::OddEvenFill);
  if (layer.Class == tlayerclass::Polygon) {
    painter.setPen(QPen(colour, 1));
    painter.setBrush(LayerTint(layer));
  } else if (layer.Class == tlayerclass::Line) {
    painter.setPen(QPen(colour, kLineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
  } else {
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
  }
  long drawn = 0;
  for (const tpreviewfeature& f : layer.Features) {
    if (f.MaxX < minX || f.MinX > maxX || f.MaxY < minY || f.MinY > maxY) continue;
    ++drawn;
    if (layer.Class == tlayerclass::Point) {
      for (uint32_t p = f.FirstPart; p < f.FirstPart + f.PartCount; ++p)
        for (uint32_t v = layer.PartBegin(p); v < layer.PartEnd(p); ++v)
          painter.drawPath(mark.translated(at.ax + layer.Coords[2 * v] * at.kx,
                                           at.ay - layer.Coords[2 * v + 1] * at.ky));
      continue;
    }
    if ((f.MaxX - f.MinX) * at.kx < 1 && (f.MaxY - f.MinY) * at.ky < 1) {
      dots.emplace_back(at.ax + (f.MinX + f.MaxX) / 2 * at.kx,
                        at.ay - (f.MinY + f.MaxY) / 2 * at.ky);
      continue;
    }
    if (layer.Class == tlayerclass::Line) {
      for (uint32_t p = f.FirstPart; p < f.FirstPart + f.PartCount; ++p) {
        PartPoints(layer, p, at, points);
        painter.drawPolyline(points.data(), static_cast<int>(points.size()));
      }
    } else if (f.PartCount == 1) {
      PartPoints(layer, f.FirstPart, at, points);
      painter.drawPolygon(points.data(), static_cast<int>(points.size()), Qt::OddEvenFill);
    } else {
      rings.clear();
      for (uint32_t p = f.FirstPart; p < f.FirstPart + f.PartCount; ++p) {
        PartPoints(layer, p, at, points);
        rings.addPolygon(QPolygonF(QList<QPointF>(points.begin(), points.end())));
        rings.closeSubpath();
      }
      painter.drawPath(rings);
    }
  }
  if (!dots.empty()) {
    painter.setPen(QPen(colour, 1));
    painter.drawPoints(dots.data(), static_cast<int>(dots.size()));
  }
  return drawn;
}

}  // namespace

QColor LayerColour(const tpreviewlayer& layer) {
  return QColor(layer.Colour.R, layer.Colour.G, layer.Colour.B);
}

QColor LayerTint(const tpreviewlayer& layer) {
  // A third of the colour on white: light enough for lines and points to stand out on it.
  auto tint = [](int c) { return 255 - (255 - c) / 3; };
  return QColor(tint(layer.Colour.R), tint(layer.Colour.G), tint(layer.Colour.B));
}

long DrawPreview(QPainter& painter, const tpreviewset& set, const tmapview& view) {
  if (!set.Relief.empty() && set.ReliefVisible) {
    // The elevation mosaic as shaded relief, under every layer.
    std::vector<uint32_t> relief = ShadeRelief(set.Relief, view);
    if (!relief.empty())
      painter.drawImage(0, 0,
                        QImage(reinterpret_cast<const uchar*>(relief.data()), view.Width,
                               view.Height, view.Width * 4, QImage::Format_ARGB32_Premultiplied));
  }
  painter.setRenderHint(QPainter::Antialiasing, true);
  long drawn = 0;
  for (size_t n : DrawOrder(set))
    if (set.Layers[n].Visible) drawn += DrawLayer(painter, set.Layers[n], view);
  return drawn;
}

void DrawHighlight(QPainter& painter, const tpreviewlayer& layer, int32_t feature,
                   const tmapview& view) {
  if (feature < 0 || feature >= static_cast<int32_t>(layer.Features.size())) return;
  const tpreviewfeature& f = layer.Features[feature];
  const tplace at = PlaceOf(layer, view);
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setPen(QPen(QColor(0, 200, 255), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  std::vector<QPointF> points;
  for (uint32_t p = f.FirstPart; p < f.FirstPart + f.PartCount; ++p) {
    PartPoints(layer, p, at, points);
    if (layer.Class == tlayerclass::Point || points.size() < 2) {
      for (const QPointF& point : points) painter.drawEllipse(point, kMarkSize, kMarkSize);
    } else {
      painter.drawPolyline(points.data(), static_cast<int>(points.size()));
    }
  }
}

QImage RenderPreview(const tpreviewset& set, const tmapview& view) {
  QImage image(view.Width, view.Height, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter painter(&image);
  DrawPreview(painter, set, view);
  return image;
}

QPixmap LayerSwatch(const tpreviewlayer& layer, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, true);
  const QColor colour = LayerColour(layer);
  const double m = 2, s = size - 2 * m;
  if (layer.Class == tlayerclass::Polygon) {
    painter.setPen(QPen(colour, 1));
    painter.setBrush(LayerTint(layer));
    painter.drawRect(QRectF(m + 0.5, m + 0.5, s - 1, s - 1));
  } else if (layer.Class == tlayerclass::Line) {
    painter.setPen(QPen(colour, 2.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(m, size - m), QPointF(size - m, m));
  } else {
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawPath(Mark(layer.Symbol).translated(size / 2.0, size / 2.0));
  }
  painter.end();
  return QPixmap::fromImage(image);
}
