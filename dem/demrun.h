#pragma once
// The elevation models of a run: DEM files found among the inputs (by their content) are read
// into the run's mosaics instead of the layers, and the mosaics are written at the run's end.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dem/mosaic.h"

// Options of the run's elevation models; the batch mode sets them from its arguments.
struct tdemoptions {
  bool seaZero = false;  // --sea 0: sea-surface cells without a value become 0 m
  tdemformat format = tdemformat::GTiff;
};
extern tdemoptions DemOptions;

// What the last run did with elevation models, for the closing texts; reset at every run start.
struct tdemtally {
  int Files = 0;                              // DEM files read
  int Written = 0;                            // rasters and virtual mosaics written
  std::vector<tdemmosaics::tmosaic> Mosaics;  // the virtual mosaics written, finest first
};
extern tdemtally DemTally;

// One run's elevation models, from the run's start to its end. While one exists, TakeDemFile
// reads into it; when it goes without Finish, nothing of it is written. With a `target` (which
// outlives the run) the mosaics are warped into it; nullptr keeps the datum the files declare.
class tdemrun {
 public:
  explicit tdemrun(const std::string& outputFolder, const crs::ttargetcrs* target = nullptr);
  ~tdemrun();
  tdemrun(const tdemrun&) = delete;
  tdemrun& operator=(const tdemrun&) = delete;

  // Writes the mosaics into the output folder; `status` gets a text for each file, `warn`
  // the files whose datum differs from their mosaic's.
  void Finish(const std::function<void(const std::string&)>& status,
              const std::function<void(const std::string&)>& warn);

 private:
  std::unique_ptr<tdemmosaics> mosaics_;
};

// True when `path` is a DEM file, which is then read into the current run's mosaics; false for
// any other file (or when no run is going on). Raises NabikError for a DEM file that cannot be
// read.
bool TakeDemFile(const std::string& path);
