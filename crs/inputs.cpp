#include "crs/inputs.h"

#include <algorithm>

namespace crs {

namespace {

// Japan with its remote islands, in degrees. Its notes would be of the box, not of the data:
// they are left out.
constexpr tcrsbox kJapan{122.0, 20.0, 154.0, 46.0};

}  // namespace

std::optional<tcrsbox> NamedMeshBox(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (!name.starts_with("FG-GML-") && !name.starts_with("FG-JPS-")) return std::nullopt;
  name.remove_prefix(7);
  const size_t end = name.find_first_not_of("0123456789-");
  std::string_view code = name.substr(0, end);
  while (code.ends_with('-')) code.remove_suffix(1);
  return MeshBox(code);
}

std::string CheckTargetForInputs(const ttargetcrs& target, const std::vector<std::string>& inputs,
                                 std::string& notes) {
  std::optional<tcrsbox> box;
  bool unnamed = false;
  for (const std::string& input : inputs) {
    const auto mesh = NamedMeshBox(input);
    if (!mesh) {
      unnamed = true;
      continue;
    }
    if (!box) box = mesh;
    box->MinX = std::min(box->MinX, mesh->MinX), box->MinY = std::min(box->MinY, mesh->MinY);
    box->MaxX = std::max(box->MaxX, mesh->MaxX), box->MaxY = std::max(box->MaxY, mesh->MaxY);
  }
  if (box) {
    const ttargetcheck check = CheckTargetHolds(target, kEpsgJgd2011, *box);
    if (!check.Holds) return check.Error;
    notes = check.Note;
  }
  if (!unnamed) return {};
  // Where the data lie is not known before they are read: only a target that holds none of
  // Japan is refused now; a vertex it cannot take ends the run with the file named.
  const ttargetcheck japan = CheckTargetHolds(target, kEpsgJgd2011, kJapan);
  if (!japan.Holds && (japan.Points == 0 || japan.Failed == japan.Points)) return japan.Error;
  return {};
}

}  // namespace crs
