#include "crs/projectedlayer.h"

#include <algorithm>

#include "common/errors.h"
#include "crs/target.h"
#include "fgd/reader.h"
#include "shpctl/shpctl.h"

namespace crs {

tprojectedlayer::tprojectedlayer(toutputlayer& inner, tvertextransformer& transformer,
                                 std::string layerName)
    : inner_(inner), transformer_(transformer), layerName_(std::move(layerName)) {}

void tprojectedlayer::Begin(const std::string& source) {
  source_ = source;
  inner_.Begin(source);
}

void tprojectedlayer::Write(const tfeatureblock& block) {
  projected_ = block;  // assignment reuses the arrays' room
  const size_t failed = transformer_.Transform(DatumEpsg(block.Datum), projected_.X.data(),
                                               projected_.Y.data(), projected_.X.size());
  if (failed > 0)
    throw NabikError(source_ + ": PROJ cannot transform " + std::to_string(failed) + " of " +
                     std::to_string(projected_.X.size()) + " vertices of the layer " + layerName_ +
                     " into the output's CRS");
  if (block.ShapeType == 5) KeepRingSense(block);
  inner_.Write(projected_);
}

void tprojectedlayer::KeepRingSense(const tfeatureblock& before) {
  for (const tfeature& f : projected_.Features) {
    if (f.End != tfeatureend::Shape) continue;
    const uint32_t parts = std::max<uint32_t>(f.Parts, 1);
    for (uint32_t p = 0; p < parts; ++p) {
      const uint32_t from = f.Parts == 0 ? 0 : projected_.PartStarts[f.PartsAt + p];
      const uint32_t to = p + 1 < parts ? projected_.PartStarts[f.PartsAt + p + 1] : f.Vertices;
      if (to <= from) continue;
      const size_t at = f.VerticesAt + from, count = to - from;
      const double was = RingArea2(before.X.data() + at, before.Y.data() + at, count);
      const double is = RingArea2(projected_.X.data() + at, projected_.Y.data() + at, count);
      if ((was > 0 && is < 0) || (was < 0 && is > 0)) {
        std::reverse(projected_.X.begin() + at, projected_.X.begin() + at + count);
        std::reverse(projected_.Y.begin() + at, projected_.Y.begin() + at + count);
      }
    }
  }
}

tdatum ReadFeaturesInTarget(const std::string& filePath, int32_t entry, toutputlayer& output,
                            std::optional<tvertextransformer>& transformer) {
  if (!RunTargetCrs) return ReadFeatures(filePath, entry, output);
  if (!transformer) transformer.emplace(*RunTargetCrs);
  tprojectedlayer projected(output, *transformer, CatalogEntry(entry).Name);
  return ReadFeatures(filePath, entry, projected);
}

}  // namespace crs
