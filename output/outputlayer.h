#pragma once
// The output layer: where a reader's features go. The designed shapefile sets are one kind
// (shpctl/), any GDAL vector format another (ogr/). A reader only hands over blocks of finished
// features; everything about the files (handles, field mapping, record numbers, encoding,
// transactions) belongs to the layer.
#include <string>

#include "output/feature.h"

// The code page a layer takes its text values in: the reader converts them as it reads.
enum class ttextform { Cp932, Utf8 };

class toutputlayer {
 public:
  virtual ~toutputlayer() = default;

  virtual ttextform TextForm() const = 0;

  // Before the blocks of one input file, on the reader's thread: `source` names the file in
  // the layer's messages.
  virtual void Begin(const std::string& source) = 0;

  // Writes one block, on whatever thread the reader hands it to; blocks come in order and one
  // at a time. Raises NabikError when a write fails; nothing is written to the layer after that
  // in the same file.
  virtual void Write(const tfeatureblock& block) = 0;
};
