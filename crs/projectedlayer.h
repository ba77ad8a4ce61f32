#pragma once
// An output layer in the target CRS: it takes the reader's blocks in the latitude and longitude
// the file declares, transforms their vertices through PROJ and hands them on to the layer that
// writes them. Rings keep the sense they had: a target that mirrors (westing, southing) would
// otherwise turn outer rings into holes for every reader that goes by the sense.
#include <cstdint>
#include <optional>
#include <string>

#include "catalog/catalog.h"
#include "crs/transform.h"
#include "output/outputlayer.h"

namespace crs {

class tprojectedlayer final : public toutputlayer {
 public:
  // `transformer` is the reader's, used only while a block is written; `layerName` names the
  // layer in messages.
  tprojectedlayer(toutputlayer& inner, tvertextransformer& transformer, std::string layerName);

  ttextform TextForm() const override { return inner_.TextForm(); }
  void Begin(const std::string& source) override;
  // Raises NabikError naming the file and the layer when PROJ fails on a vertex: no output may
  // take a vertex without coordinates.
  void Write(const tfeatureblock& block) override;

 private:
  void KeepRingSense(const tfeatureblock& before);

  toutputlayer& inner_;
  tvertextransformer& transformer_;
  const std::string layerName_;
  std::string source_;
  tfeatureblock projected_;  // kept from block to block, so that its arrays are not grown anew
};

// Reads one file of catalog entry `entry` into `output`, through the run's target CRS when it
// has one (RunTargetCrs). `transformer` is the calling thread's own, made on first use.
tdatum ReadFeaturesInTarget(const std::string& filePath, int32_t entry, toutputlayer& output,
                            std::optional<tvertextransformer>& transformer);

}  // namespace crs
