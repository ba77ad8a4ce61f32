#pragma once
// The map picture of a preview set, drawn with QPainter: the preview window and `--render`
// both draw through here.
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QSize>

#include "preview/preview.h"

class QPainter;

// The layer's colour, and the light tint that fills its polygons.
QColor LayerColour(const tpreviewlayer& layer);
QColor LayerTint(const tpreviewlayer& layer);

// Draws the visible layers (polygons below lines below points) over what the painter's device
// holds, the folder's elevation mosaic as shaded relief below them all. Features smaller than a
// pixel become one dot; those outside the picture are skipped. Returns the number of features
// drawn.
long DrawPreview(QPainter& painter, const tpreviewset& set, const tmapview& view);

// Marks the feature `feature` of `layer` over the picture: its outline, or a ring round a point.
void DrawHighlight(QPainter& painter, const tpreviewlayer& layer, int32_t feature,
                   const tmapview& view);

// A white picture of `view`'s size with the layers drawn on it.
QImage RenderPreview(const tpreviewset& set, const tmapview& view);

// A small picture of how the layer is drawn, for the layer list.
QPixmap LayerSwatch(const tpreviewlayer& layer, int size);
