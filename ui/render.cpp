// `nabik --render IMAGE.png [--size WIDTHxHEIGHT] FOLDER`: the preview's picture at full extent
// into a PNG file, without a window. QImage painting needs no window system, so no application
// object is made and no display is needed.
#include <sys/stat.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <cstdio>
#include <exception>
#include <string>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/text.h"
#include "common/textfile.h"
#include "preview/preview.h"
#include "run/batch.h"
#include "ui/previewdraw.h"
#include "ui/startup.h"

namespace {

constexpr int kMaxSide = 10000;

const char* RenderUsage() {
  return "usage: nabik --render IMAGE.png [--size WIDTHxHEIGHT] FOLDER\n"
         "Draws the layer sets of FOLDER that the catalog names into a PNG picture of their\n"
         "whole extent (default size 1200x900, each side 1 to 10000).\n"
         "Exit status: 0 written, 1 nothing to draw or the picture not written, 2 usage error.\n";
}

// "WIDTHxHEIGHT" of decimal digits, each side within 1 to kMaxSide.
bool ParseSize(const std::string& text, int& width, int& height) {
  const auto x = text.find('x');
  if (x == std::string::npos) return false;
  auto side = [](const std::string& digits, int& into) {
    if (digits.empty() || digits.size() > 5) return false;
    for (char c : digits)
      if (c < '0' || c > '9') return false;
    into = std::stoi(digits);
    return into >= 1 && into <= kMaxSide;
  };
  return side(text.substr(0, x), width) && side(text.substr(x + 1), height);
}

int UsageError(const std::string& error) {
  std::fprintf(stderr, "nabik: %s\n%s", error.c_str(), RenderUsage());
  return 2;
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool IsRenderCall(int argc, char** argv) {
  return argc > 1 && std::string(argv[1]) == "--render";
}

int RunRender(int argc, char** argv) {
  std::string image, folder;
  int width = 1200, height = 900, positional = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--size") {
      if (i + 1 >= argc || !ParseSize(argv[++i], width, height))
        return UsageError("--size needs WIDTHxHEIGHT, each side 1 to 10000");
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return UsageError("unknown option " + arg);
    } else if (positional == 0) {
      image = arg, ++positional;
    } else if (positional == 1) {
      folder = arg, ++positional;
    } else {
      return UsageError("one picture and one folder only");
    }
  }
  if (image.empty() || folder.empty()) return UsageError("the picture and the folder are needed");
  const std::string catalog = CatalogPath();
  if (!LoadBatchCatalog(catalog)) return 2;
  if (!IsFolder(folder)) {
    std::fprintf(stderr, "nabik: %s is not a folder\n", folder.c_str());
    return 1;
  }
  if (folder.back() != '/') folder += '/';
  try {
    const tpreviewset set = LoadPreviewSet(folder);
    if (set.Box.Empty()) {
      std::fprintf(stderr, "nabik: %s holds no layer set of the catalog with shapes to draw\n",
                   folder.c_str());
      return 1;
    }
    tmapview view;
    TakeUnits(view, set);
    view.Width = width;
    view.Height = height;
    FitView(view, set.Box);
    const QImage picture = RenderPreview(set, view);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (picture.isNull() || !picture.save(&buffer, "PNG") ||
        !WriteWholeFile(image, std::string_view(png.constData(), png.size()))) {
      std::fprintf(stderr, "nabik: cannot write %s\n", image.c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nabik: %s\n", DisplayUtf8(e.what()).c_str());
    return 1;
  }
  return 0;
}
