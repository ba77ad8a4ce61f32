// Speed of the vertex transformer: vertices per second from JGD2011 and JGD2000 longitude and
// latitude into a target CRS (default zone IX), in batches of several sizes, over points spread
// across a second-level grid square of Tokyo, as a reader hands them over.
//   crs_bench [TARGET [VERTICES]]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "crs/target.h"
#include "crs/transform.h"

// The thread's CPU time: on a machine shared with other work, wall time measures the others too.
double CpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec * 1e-9;
}

int main(int argc, char** argv) {
  const std::string text = argc > 1 ? argv[1] : "EPSG:6677";
  const size_t total = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000000;
  std::string error;
  const auto target = crs::ttargetcrs::Parse(text, error);
  if (!target) {
    std::fprintf(stderr, "crs_bench: %s\n", error.c_str());
    return 2;
  }
  const crs::tcrsbox box = *crs::MeshBox("533945");
  std::mt19937_64 random(1);
  std::uniform_real_distribution<double> lon(box.MinX, box.MaxX), lat(box.MinY, box.MaxY);
  std::vector<double> x0(total), y0(total);
  for (size_t i = 0; i < total; ++i) x0[i] = lon(random), y0[i] = lat(random);

  std::printf("%s (%s), %zu vertices per measurement, best of 3, CPU time\n",
              target->Name().c_str(), text.c_str(), total);
  for (int source : {crs::kEpsgJgd2011, crs::kEpsgJgd2000}) {
    crs::tvertextransformer transformer(*target);
    for (size_t batch : {size_t(1), size_t(64), size_t(1024), size_t(16384)}) {
      double best = 1e300;
      for (int round = 0; round < 3; ++round) {
        std::vector<double> x = x0, y = y0;
        const double start = CpuSeconds();
        size_t failed = 0;
        for (size_t i = 0; i < total; i += batch)
          failed += transformer.Transform(source, &x[i], &y[i], std::min(batch, total - i));
        const double took = CpuSeconds() - start;
        if (failed != 0) std::fprintf(stderr, "crs_bench: %zu vertices failed\n", failed);
        best = std::min(best, took);
      }
      std::printf(
          "  EPSG:%d, batches of %5zu: %6.2f M vertices per CPU second (%4.0f ns a vertex)\n",
          source, batch, total / best / 1e6, best / total * 1e9);
    }
    std::printf("  EPSG:%d: %s\n", source, transformer.OperationName(source).c_str());
  }
  return 0;
}
