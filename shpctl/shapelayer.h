#pragma once
// The designed output: features appended to the open layer set (OpenSet) through shapelib,
// text in CP932 cut to its field's width, record i always with shape i.
#include <cstdint>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "output/outputlayer.h"

class tshapelayer final : public toutputlayer {
 public:
  // The set of catalog entry `entry` must be open (OpenLayerFiles).
  explicit tshapelayer(int32_t entry);

  ttextform TextForm() const override { return ttextform::Cp932; }
  // Brings a set left out of step by an earlier writer back in step.
  void Begin(const std::string& source) override;
  void Write(const tfeatureblock& block) override;

 private:
  void WriteValue(const tfeatureblock& block, const tvalue& value);
  void AddRecord(int32_t record);
  bool AppendNull();
  void WriteShape(const tfeatureblock& block, const tfeature& feature);
  void EndFeature(const tfeatureblock& block, const tfeature& feature);
  [[noreturn]] void Fail() const;

  const tshpopentyp& layer_;
  std::string failureText_;    // "<file>: cannot write a shape of the layer <name>"
  std::vector<int> widths_;    // of the table's fields
  int32_t records_ = 0;        // the table's records
  std::vector<double> zeros_;  // Z and M of every vertex
  std::string cut_;            // a text cut to its field's width, NUL-ended
};
