#include "shpctl/shpctl.h"

#include <cstdio>
#include <memory>

#include "shpctl/errors.h"

tlayerset OpenSet;

const char* const kProjectionText =
    "GEOGCS[\"GCS_JGD_2000\",DATUM[\"D_JGD_2000\",SPHEROID[\"GRS_1980\",6378137.0,"
    "298.257222101]],PRIMEM[\"Greenwich\",0],UNIT[\"Degree\",0.0174532925199433]]";

namespace {

// The tables hold code page 932 text; the language driver byte 0x13 and the .cpg file say so.
constexpr const char* kTableCodePage = "LDID/19";
constexpr const char* kCpgText = "932";

// The library's own error texts go nowhere: every failure is reported by the store itself.
void QuietError(const char*) {}

SAHooks* Hooks() {
  static SAHooks hooks = [] {
    SAHooks h;
    SASetupDefaultHooks(&h);
    h.Error = QuietError;
    return h;
  }();
  return &hooks;
}

struct ShpCloser {
  void operator()(SHPInfo* h) const { SHPClose(h); }
};
struct DbfCloser {
  void operator()(DBFInfo* h) const { DBFClose(h); }
};
using ShpPtr = std::unique_ptr<SHPInfo, ShpCloser>;
using DbfPtr = std::unique_ptr<DBFInfo, DbfCloser>;

void WriteSmallFile(const std::string& path, const std::string& content) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) throw NabikError("Cannot create " + path);
  if (std::fwrite(content.data(), 1, content.size(), file.get()) != content.size() ||
      std::fclose(file.release()) != 0)
    throw NabikError("Cannot write " + path);
}

void CheckEntry(const tshpopentyp& e) {
  if (ShapeTypeOfKind(e.Kind) == 0)
    throw NabikError("Layer " + e.Name + ": geometry kind " + std::to_string(e.Kind) +
                     " is not 1 to 4");
  for (const tshpattr& a : e.Attrs)
    if (a.Type < 0 || a.Type > 2)
      throw NabikError("Layer " + e.Name + ": attribute " + a.Name + " has type " +
                       std::to_string(a.Type) + ", not 0 to 2");
}

}  // namespace

int32_t ShapeTypeOfKind(int32_t kind) {
  switch (kind) {
    case 1:
    case 4:
      return SHPT_ARC;
    case 2:
      return SHPT_POLYGON;
    case 3:
      return SHPT_POINT;
    default:
      return 0;
  }
}

void CreateLayerFiles(const std::string& outputFolder, int32_t entry) {
  const tshpopentyp& e = CatalogEntry(entry);
  CheckEntry(e);
  const std::string base = outputFolder + e.Name;
  {
    ShpPtr shp(SHPCreateLL(base.c_str(), ShapeTypeOfKind(e.Kind), Hooks()));
    if (!shp) throw NabikError("Cannot create " + base + ".shp");
    DbfPtr dbf(DBFCreateLL(base.c_str(), kTableCodePage, Hooks()));
    if (!dbf) throw NabikError("Cannot create " + base + ".dbf");
    for (const tshpattr& a : e.Attrs) {
      if (DBFAddField(dbf.get(), a.Name.c_str(), static_cast<DBFFieldType>(a.Type), a.Width, 0) < 0)
        throw NabikError("Layer " + e.Name + ": cannot add the field " + a.Name + " to " + base +
                         ".dbf");
    }
  }
  WriteSmallFile(base + ".prj", std::string(kProjectionText) + "\r\n");
  WriteSmallFile(base + ".cpg", kCpgText);
}

void OpenLayerFiles(const std::string& outputFolder, const std::string& name) {
  CloseLayerFiles();
  const std::string base = outputFolder + name;
  ShpPtr shp(SHPOpenLL(base.c_str(), "r+b", Hooks()));
  if (!shp) throw NabikError("Cannot open " + base + ".shp");
  DbfPtr dbf(DBFOpenLL(base.c_str(), "r+b", Hooks()));
  if (!dbf) throw NabikError("Cannot open " + base + ".dbf");
  int shapeType = 0;
  SHPGetInfo(shp.get(), nullptr, &shapeType, nullptr, nullptr);
  OpenSet.RecordIndex = DBFGetRecordCount(dbf.get()) - 1;
  OpenSet.ShapeType = shapeType;
  OpenSet.ShpHandle = shp.release();
  OpenSet.DbfHandle = dbf.release();
}

void CloseLayerFiles() {
  if (OpenSet.ShpHandle) SHPClose(OpenSet.ShpHandle);
  if (OpenSet.DbfHandle) DBFClose(OpenSet.DbfHandle);
  OpenSet = tlayerset{};
}
