// The feature reader: one XML file read into a layer of each kind (line, polygon, point,
// network line) of the shipped catalog. Whatever the file holds, the layer set stays
// consistent: as many shapes as records, and it opens again.
#include <shapefil.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "fgd/reader.h"
#include "fuzz_support.h"
#include "shpctl/shpctl.h"

using namespace fuzz_support;

namespace {

void LoadShippedCatalog() {
  static bool loaded = false;
  if (loaded) return;
  Require(LoadLayerCatalogFrom(NABIK_CATALOG_FILE), "the shipped catalog does not load");
  loaded = true;
}

// The entry of `kind` whose feature element the input names, else the first one of that kind,
// so that seeds of every feature type reach their own layer.
int32_t EntryOfKind(int32_t kind, std::string_view input) {
  int32_t first = 0;
  for (int32_t n = 1; n <= LayerCount(); ++n) {
    const tshpopentyp& entry = CatalogEntry(n);
    if (entry.Kind != kind) continue;
    if (first == 0) first = n;
    if (input.find("<" + entry.Name + " ") != std::string_view::npos) return n;
  }
  return first;
}

void CheckSet(const std::string& base) {
  SHPHandle shp = SHPOpen(base.c_str(), "rb");
  DBFHandle dbf = DBFOpen(base.c_str(), "rb");
  Require(shp != nullptr && dbf != nullptr, "a layer set does not open after reading");
  int shapes = -1;
  SHPGetInfo(shp, &shapes, nullptr, nullptr, nullptr);
  Require(shapes == DBFGetRecordCount(dbf), "shape and record counts differ");
  for (int i = 0; i < shapes; ++i) {
    SHPObject* shape = SHPReadObject(shp, i);
    Require(shape != nullptr, "a written shape does not read back");
    SHPDestroyObject(shape);
  }
  SHPClose(shp);
  DBFClose(dbf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LoadShippedCatalog();
  const std::string input = ScratchFolder() + "input.xml";
  const std::string output = ScratchFolder() + "out/";
  WriteBytes(input, data, size);
  EmptyFolder(output);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  PrepareFeatureReader();
  for (int32_t kind = 1; kind <= 4; ++kind) {
    const int32_t n = EntryOfKind(kind, text);
    if (n == 0) continue;
    CreateLayerFiles(output, n);
    OpenLayerFiles(output, CatalogEntry(n).Name);
    try {
      ReadFeatures(input, n);
    } catch (const NabikError&) {
      // A number that does not convert ends the file; the set must still be whole.
    }
    CloseLayerFiles();
    CheckSet(output + CatalogEntry(n).Name);
  }
  return 0;
}
