// The elevation model reader: whatever the file holds, it reads or raises NabikError, and what
// it reads fits its grid.
#include <cmath>
#include <cstdint>
#include <string>

#include "common/errors.h"
#include "dem/demfile.h"
#include "fuzz_support.h"

using namespace fuzz_support;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = ScratchFolder() + "FG-GML-5339-45-00-DEM5A-20161001.xml";
  WriteBytes(input, data, size);
  IsDemFile(input);
  static tdemfile file;
  for (const bool sea : {false, true}) {
    try {
      ReadDemFile(input, tdemreadoptions{sea}, file);
    } catch (const NabikError&) {
      continue;
    }
    const int64_t cells = static_cast<int64_t>(file.cols) * file.rows;
    Require(file.cols > 0 && file.rows > 0, "a grid without cells was read");
    Require(file.start >= 0 && file.start + static_cast<int64_t>(file.values.size()) <= cells,
            "values were read past the grid");
    Require(file.westCol + file.cols == std::llround(file.east * file.cellsPerDegreeX),
            "the grid does not fit its envelope");
  }
  return 0;
}
