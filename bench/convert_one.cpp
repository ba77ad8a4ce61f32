// Converts one FGD file into one layer set, the way a run does: catalog entry by name,
// create, open, read, close. Usage: convert_one CATALOG LAYER INPUT OUTPUT_FOLDER/
#include <cstdio>
#include <exception>
#include <string>

#include "catalog/catalog.h"
#include "fgd/extent.h"
#include "fgd/reader.h"
#include "shpctl/shpctl.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s CATALOG LAYER INPUT OUTPUT_FOLDER/\n", argv[0]);
    return 2;
  }
  try {
    if (!LoadLayerCatalogFrom(argv[1])) {
      std::fprintf(stderr, "cannot load %s\n", argv[1]);
      return 2;
    }
    int32_t entry = 0;
    for (int32_t n = 1; n <= LayerCount(); ++n)
      if (CatalogEntry(n).Name == argv[2]) entry = n;
    if (entry == 0) {
      std::fprintf(stderr, "no layer %s\n", argv[2]);
      return 2;
    }
    PrepareFeatureReader();
    CreateLayerFiles(argv[4], entry);
    OpenLayerFiles(argv[4], CatalogEntry(entry).Name);
    try {
      ReadFeatures(argv[3], entry);
    } catch (...) {
      CloseLayerFiles();
      throw;
    }
    CloseLayerFiles();
    std::printf("extent %.9f %.9f %.9f %.9f\n", Extent.MinX, Extent.MinY, Extent.MaxX, Extent.MaxY);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
