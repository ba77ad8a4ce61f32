// The DEM reader alone over the files given: ReadDemFile on each, nothing written.
// Usage: dem_read FILE...
#include <cstdio>

#include "common/errors.h"
#include "dem/demfile.h"

int main(int argc, char** argv) {
  tdemfile file;
  double sum = 0;
  long values = 0;
  try {
    for (int i = 1; i < argc; ++i) {
      ReadDemFile(argv[i], {}, file);
      for (const float v : file.values) sum += v;
      values += static_cast<long>(file.values.size());
    }
  } catch (const NabikError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::printf("%d files, %ld values, checksum %.3f\n", argc - 1, values, sum);
  return 0;
}
