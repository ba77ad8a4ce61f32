// The preview's figures for one output folder: preview_bench CATALOG FOLDER [RUNS]
// Prints the time to read the sets back, to draw them at full extent and closer in (1200 x 900,
// as `--render` does by default), to move the cached picture one step of a drag, to identify,
// and the memory: the coordinates held and the process's peak resident size.
#include <sys/resource.h>

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "catalog/catalog.h"
#include "preview/preview.h"
#include "ui/previewdraw.h"

namespace {

double Seconds(const std::function<void()>& step) {
  const auto start = std::chrono::steady_clock::now();
  step();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The best of `runs`, since other work on the machine only ever slows a run.
double Best(int runs, const std::function<void()>& step) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) best = std::min(best, Seconds(step));
  return best;
}

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: preview_bench CATALOG FOLDER/ [RUNS]\n", stderr);
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  if (!LoadLayerCatalogFrom(argv[1])) return 2;
  const double before = PeakMegabytes();
  // Each read's set is gone before the next, so the peak holds one set.
  const double load = Best(runs, [&] { const tpreviewset once = LoadPreviewSet(argv[2]); });
  const tpreviewset set = LoadPreviewSet(argv[2]);
  size_t features = 0, vertices = 0, bytes = 0;
  for (const tpreviewlayer& layer : set.Layers) {  // what one set holds
    features += layer.Features.size();
    vertices += layer.Coords.size() / 2;
    bytes += layer.Coords.capacity() * sizeof(float) +
             layer.PartStarts.capacity() * sizeof(uint32_t) +
             layer.Features.capacity() * sizeof(tpreviewfeature);
  }
  std::printf("%zu layers, %zu features, %zu vertices, %.1f MB held\n", set.Layers.size(), features,
              vertices, bytes / 1e6);
  std::printf("read back:                         %8.3f s\n", load);
  tmapview view;
  TakeUnits(view, set);
  view.Width = 1200, view.Height = 900;
  FitView(view, set.Box);
  long drawn = 0;
  QImage picture(view.Width, view.Height, QImage::Format_ARGB32_Premultiplied);
  auto draw = [&] {
    picture.fill(Qt::white);
    QPainter painter(&picture);
    drawn = DrawPreview(painter, set, view);
  };
  for (double zoom : {1.0, 8.0, 64.0}) {
    tmapview closer = view;
    ZoomView(closer, view.Width / 2.0, view.Height / 2.0, zoom);
    std::swap(view, closer);
    const double seconds = Best(runs, draw);
    std::swap(view, closer);
    std::printf("draw at %5.0fx full extent:         %8.3f s  (%ld features in sight)\n", zoom,
                seconds, drawn);
  }
  // One step of a drag: the cached picture drawn shifted onto the window's surface.
  QImage screen(view.Width, view.Height, QImage::Format_ARGB32_Premultiplied);
  const double frame = Best(runs * 20, [&] {
    QPainter painter(&screen);
    painter.fillRect(screen.rect(), Qt::white);
    painter.drawImage(QPoint(37, -21), picture);
  });
  std::printf("drag step (cached picture moved):  %8.4f s\n", frame);
  tmaphit hit;
  const double identify = Best(runs, [&] { hit = IdentifyAt(set, view, 600, 450, 4); });
  std::printf("identify at the middle:            %8.4f s\n", identify);
  std::printf("peak resident memory: %.1f MB (%.1f MB before reading)\n", PeakMegabytes(), before);
  return 0;
}
