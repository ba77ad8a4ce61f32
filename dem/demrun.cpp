#include "dem/demrun.h"

#include <algorithm>

#include "dem/demfile.h"
#include "fgd/extent.h"

tdemoptions DemOptions;
tdemtally DemTally;

namespace {

tdemrun* CurrentRun = nullptr;
tdemmosaics* CurrentMosaics = nullptr;

}  // namespace

tdemrun::tdemrun(const std::string& outputFolder, const crs::ttargetcrs* target)
    : mosaics_(std::make_unique<tdemmosaics>(outputFolder, DemOptions.format, target)) {
  DemTally = tdemtally();
  CurrentRun = this;
  CurrentMosaics = mosaics_.get();
}

tdemrun::~tdemrun() {
  if (CurrentRun == this) CurrentRun = nullptr, CurrentMosaics = nullptr;
}

void tdemrun::Finish(const std::function<void(const std::string&)>& status,
                     const std::function<void(const std::string&)>& warn) {
  const std::vector<std::string> written = mosaics_->Write(status);
  DemTally.Written = static_cast<int>(written.size());
  DemTally.Mosaics = mosaics_->Mosaics;
  for (const std::string& warning : mosaics_->Warnings) warn(warning);
  mosaics_->Warnings.clear();
}

bool TakeDemFile(const std::string& path) {
  if (!CurrentMosaics || !IsDemFile(path)) return false;
  // Kept from file to file: a 10 m file holds close to a million values.
  static tdemfile file;
  ReadDemFile(path, tdemreadoptions{DemOptions.seaZero}, file);
  CurrentMosaics->Add(file);
  // The run's extent takes in the mesh, as it does every coordinate read.
  Extent.MinX = std::min(Extent.MinX, file.west);
  Extent.MinY = std::min(Extent.MinY, file.south);
  Extent.MaxX = std::max(Extent.MaxX, file.east);
  Extent.MaxY = std::max(Extent.MaxY, file.north);
  ++DemTally.Files;
  return true;
}
