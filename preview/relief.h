#pragma once
// The elevation mosaic of an output folder for the map preview and --render: found beside the
// layer sets, and drawn as shaded relief under them.
#include <cstdint>
#include <string>
#include <vector>

#include "preview/preview.h"

// The finest virtual mosaic of `folder` (with its trailing '/'): dem1m.vrt, else dem5m.vrt, else
// dem10m.vrt; false when there is none or it does not open. `box` gets the extent of its cells
// with a value, sought on a grid of at most 1024 x 1024 over the mosaic (so to within a step of
// that grid; GDAL reads it from the overviews), empty when it has none.
bool FindRelief(const std::string& folder, std::string& mosaic, tmapbox& box);

// Metres in a unit of the mosaic's projected CRS; 0 when it is in degrees or does not open.
double MosaicMetresPerUnit(const std::string& mosaic);

// The shaded relief of `view` (light from the north-west, 45° high) from the mosaic, one pixel
// per picture pixel as 0xAARRGGBB, premultiplied: grey where a cell has a value, transparent
// where none has or the mosaic does not reach. Empty when the mosaic cannot be read.
std::vector<uint32_t> ShadeRelief(const std::string& mosaic, const tmapview& view);
