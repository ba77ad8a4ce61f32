// Program entry. For now: load the catalog beside the executable (or the one named with
// --catalog) and report what it holds.
#include <cstdio>
#include <cstring>
#include <string>

#include "catalog/catalog.h"
#include "shpctl/errors.h"
#include "shpctl/text.h"

int main(int argc, char** argv) {
  std::string path = CatalogPath();
  if (argc == 3 && std::strcmp(argv[1], "--catalog") == 0) path = argv[2];
  try {
    if (!LoadLayerCatalogFrom(path)) return 2;
  } catch (const NabikError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
  std::printf("%s: %d layers\n", path.c_str(), LayerCount());
  for (int32_t n = 1; n <= LayerCount(); ++n) {
    const tshpopentyp& e = CatalogEntry(n);
    std::printf("%2d %-12s kind %d  %2d columns  %s\n", n, e.Name.c_str(), e.Kind, e.AttrCount(),
                Cp932ToUtf8(e.Title).c_str());
  }
  return 0;
}
