// The catalog loader over a whole file, and the layer sets its first entries describe.
#include <shapefil.h>

#include <cstdint>
#include <string>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "fuzz_support.h"
#include "shpctl/shpctl.h"

using namespace fuzz_support;

namespace {

// Creating a set costs five files; the first few entries reach every code path.
constexpr int32_t kEntriesCreated = 4;

void CheckBounds() {
  for (const tshpopentyp& entry : LayerCatalog) {
    Require(entry.Name.size() <= 20, "a catalog Name longer than 20 bytes");
    Require(entry.Symbol.size() <= 20, "a catalog Symbol longer than 20 bytes");
    Require(entry.Color.size() <= 20, "a catalog Color longer than 20 bytes");
    for (const tshpattr& attr : entry.Attrs)
      Require(attr.Header.size() <= 60, "an attribute header longer than 60 bytes");
  }
}

// A set that CreateLayerFiles made must open again with no shapes and no records.
void CheckCreatedSet(const std::string& base) {
  SHPHandle shp = SHPOpen(base.c_str(), "rb");
  DBFHandle dbf = DBFOpen(base.c_str(), "rb");
  Require(shp != nullptr && dbf != nullptr, "a created layer set does not open: " + base);
  int shapes = -1;
  SHPGetInfo(shp, &shapes, nullptr, nullptr, nullptr);
  Require(shapes == 0 && DBFGetRecordCount(dbf) == 0, "a created layer set is not empty");
  SHPClose(shp);
  DBFClose(dbf);
}

void CreateSets(const std::string& folder) {
  for (int32_t n = 1; n <= LayerCount() && n <= kEntriesCreated; ++n) {
    const tshpopentyp& entry = CatalogEntry(n);
    // A name with a folder in it would leave the scratch folder; the driver only ever uses
    // names of the shipped catalog, so such entries are not created here.
    if (entry.Name.empty() || entry.Name.find('/') != std::string::npos) continue;
    try {
      CreateLayerFiles(folder, n);
    } catch (const NabikError&) {
      continue;
    }
    CheckCreatedSet(folder + entry.Name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = ScratchFolder() + "nabik.csv";
  const std::string output = ScratchFolder() + "out/";
  WriteBytes(path, data, size);
  EmptyFolder(output);
  try {
    Require(LoadLayerCatalogFrom(path), "an existing catalog file does not load");
  } catch (const NabikError&) {
    // A column that is not an integer: the lines before it stay loaded.
  }
  CheckBounds();
  CreateSets(output);
  LayerCatalog.clear();
  return 0;
}
