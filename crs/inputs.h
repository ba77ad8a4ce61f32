#pragma once
// Whether a target CRS can hold a run's inputs, found from their names before anything is read
// or written: the agency names its files and archives after the grid square they cover
// (FG-GML-503041-ALL-..., FG-GML-5339-45-00-DEM5A-...).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crs/target.h"
#include "crs/transform.h"

namespace crs {

// The box of the grid square an FGD file or archive name gives ("FG-GML-503041-ALL-20181001.zip"
// gives 503041's); nullopt for a name without one (JPGIS files by municipality, own names).
std::optional<tcrsbox> NamedMeshBox(std::string_view path);

// An empty text when `target` can hold the inputs, else why not (a usage error). Inputs whose
// names give their squares must transform at every point of their box; where no name gives a
// square, the target must hold some of Japan at least. `notes` gets what the user should know of
// the named squares (outside the area of use, a ballpark transformation), one a line.
std::string CheckTargetForInputs(const ttargetcrs& target, const std::vector<std::string>& inputs,
                                 std::string& notes);

}  // namespace crs
