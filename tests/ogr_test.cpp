// The GDAL outputs through the batch program, read back by GDAL's own readers and compared
// with the shapefile output of the same inputs; GeoPackage's validator and ogr2ogr; a real
// PostgreSQL with PostGIS started here.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "catalog/catalog.h"
#include "preview/preview.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kNabik = std::string(NABIK_BINARY_DIR) + "/nabik";
// GDAL's drivers, for every test however it is run alone.
const bool kDriversRegistered = (GDALAllRegister(), true);

// A JGD2011 GML mesh and a JGD2000 JPGIS archive (出典：国土地理院 基盤地図情報).
std::string Inputs() {
  return Sample("gml/FG-GML-503060-ALL-20170401.zip") + " " +
         Sample("jpgis/FG-JPS-13112-05-Z001.zip");
}

// Runs the batch program; gives its exit status, `output` its standard output and error.
int Convert(const std::string& folder, const std::string& format, std::string& output,
            const std::string& options = "") {
  int status = 0;
  output = RunCommand(kNabik + " -q --mapserver 8 --format '" + format + "' " + options + " -o " +
                          folder + "list.txt " + Inputs() + " 2>&1",
                      &status);
  return status;
}

struct GdalCloser {
  void operator()(GDALDataset* d) const { GDALClose(d); }
};
using DatasetPtr = std::unique_ptr<GDALDataset, GdalCloser>;

DatasetPtr OpenVector(const std::string& name) {
  // GeoJSON's reader would turn the dates into its own date type.
  const char* const options[] = {"DATE_AS_STRING=YES", nullptr};
  return DatasetPtr(GDALDataset::Open(name.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr,
                                      name.ends_with(".geojson") ? options : nullptr));
}

// A feature as text: every set field "name=value", the geometry as multi-geometry WKT with
// 11 significant digits (GeoJSON keeps 15).
using LayerDump = std::map<std::string, std::string>;  // by the FGD fid

LayerDump Dump(OGRLayer* layer) {
  LayerDump dump;
  layer->ResetReading();
  OGRWktOptions wkt;
  wkt.precision = 11;
  for (auto& feature : *layer) {
    std::string text;
    for (int i = 0; i < feature->GetFieldCount(); ++i)
      if (feature->IsFieldSetAndNotNull(i))
        text += std::string(feature->GetFieldDefnRef(i)->GetNameRef()) + "=" +
                feature->GetFieldAsString(i) + "|";
    if (OGRGeometry* g = feature->GetGeometryRef()) {
      std::unique_ptr<OGRGeometry> multi(g->clone());
      const auto flat = wkbFlatten(multi->getGeometryType());
      if (flat == wkbPolygon) multi.reset(OGRGeometryFactory::forceToMultiPolygon(multi.release()));
      if (flat == wkbLineString)
        multi.reset(OGRGeometryFactory::forceToMultiLineString(multi.release()));
      text += multi->exportToWkt(wkt);
    }
    const int fid = feature->GetFieldIndex("fid");
    dump[fid >= 0 ? feature->GetFieldAsString(fid) : std::to_string(dump.size())] = text;
  }
  return dump;
}

// Equal dumps, or the count and the first feature that differs (a whole layer is too long to
// print).
void ExpectSameFeatures(const LayerDump& got, const LayerDump& want) {
  EXPECT_EQ(got.size(), want.size());
  for (const auto& [fid, text] : want) {
    const auto found = got.find(fid);
    if (found == got.end() || found->second != text) {
      ADD_FAILURE() << "feature " << fid
                    << "\n got: " << (found == got.end() ? "(none)" : found->second)
                    << "\nwant: " << text;
      return;
    }
  }
}

// The EPSG code the shapefile set's .prj stands for.
int ShapefileEpsg(const std::string& base) {
  return ReadFile(base + ".prj").find("JGD_2011") != std::string::npos ? 6668 : 4612;
}

// The shapefile run of the inputs, made once for every comparison.
class Outputs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shp_ = new ScratchDir;
    std::string output;
    ASSERT_EQ(Convert(shp_->Folder(), "shp", output), 0) << output;
  }
  static void TearDownTestSuite() { delete shp_; }

  // Every layer of `dataset` (a name of `layer` filled in for one-layer formats) has the
  // features of its shapefile set, with equal values and shapes, the set's datum and x as the
  // longitude; every set has its layer.
  static void ExpectSameAsShapefiles(const std::function<std::string(const std::string&)>& name,
                                     const std::string& what) {
    int layers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(shp_->Path())) {
      if (entry.path().extension() != ".shp") continue;
      const std::string layerName = entry.path().stem().string();
      SCOPED_TRACE(what + " " + layerName);
      DatasetPtr shp = OpenVector(entry.path().string());
      DatasetPtr out = OpenVector(name(layerName));
      ASSERT_TRUE(shp && out);
      OGRLayer* got = out->GetLayerByName(layerName.c_str());
      if (!got && out->GetLayerCount() == 1) got = out->GetLayer(0);
      ASSERT_NE(got, nullptr);
      ExpectSameFeatures(Dump(got), Dump(shp->GetLayer(0)));
      const OGRSpatialReference* srs = got->GetSpatialRef();
      ASSERT_NE(srs, nullptr);
      EXPECT_EQ(std::atoi(srs->GetAuthorityCode(nullptr)),
                ShapefileEpsg(shp_->Folder() + layerName));
      OGREnvelope extent;
      ASSERT_EQ(got->GetExtent(&extent), OGRERR_NONE);
      EXPECT_GT(extent.MinX, 122);  // longitudes of Japan
      EXPECT_LT(extent.MaxY, 46);
      ++layers;
    }
    EXPECT_GE(layers, 15);
  }

  static ScratchDir* shp_;
};
ScratchDir* Outputs::shp_ = nullptr;

struct FormatCase {
  const char* format;
  const char* file;  // the dataset in the output folder; "%s" the layer's name
};

class EveryFormat : public Outputs, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(EveryFormat, ReadsBackLikeTheShapefiles) {
  ScratchDir dir;
  std::string output;
  ASSERT_EQ(Convert(dir.Folder(), GetParam().format, output), 0) << output;
  const std::string pattern = dir.Folder() + GetParam().file;
  ExpectSameAsShapefiles(
      [&](const std::string& layer) {
        const size_t at = pattern.find("%s");
        return at == std::string::npos ? pattern
                                       : pattern.substr(0, at) + layer + pattern.substr(at + 2);
      },
      GetParam().format);
}

INSTANTIATE_TEST_SUITE_P(Gdal, EveryFormat,
                         ::testing::Values(FormatCase{"GPKG", "list.gpkg"},
                                           FormatCase{"FlatGeobuf", "%s.fgb"},
                                           FormatCase{"SQLite", "list.sqlite"},
                                           FormatCase{"GeoJSON", "%s.geojson"}),
                         [](const auto& info) { return std::string(info.param.format); });

// Pixels of a picture that are not white.
long InkedPixels(const std::string& png) {
  DatasetPtr image(GDALDataset::Open(png.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
  if (!image || image->GetRasterCount() < 3) return -1;
  const int w = image->GetRasterXSize(), h = image->GetRasterYSize();
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  int bands[] = {1, 2, 3};
  if (image->RasterIO(GF_Read, 0, 0, w, h, rgb.data(), w, h, GDT_Byte, 3, bands, 3, 3 * w, 1,
                      nullptr) != CE_None)
    return -1;
  long inked = 0;
  for (size_t i = 0; i < rgb.size(); i += 3)
    inked += rgb[i] != 255 || rgb[i + 1] != 255 || rgb[i + 2] != 255;
  return inked;
}

// A map file of the MapServer 8 export drawn by map2img, whole or one layer; its ink, or -1
// when map2img said anything.
long DrawnByMapServer(const std::string& folder, const std::string& layer, const std::string& png) {
  int status = 0;
  const std::string said =
      RunCommand("MAPSERVER_CONFIG_FILE=" + folder + "mapserver8/mapserver.conf map2img -m " +
                     folder + "mapserver8/list.map -s 400 300 " +
                     (layer.empty() ? "" : "-l " + layer) + " -o " + png + " 2>&1",
                 &status);
  return status == 0 && said.empty() ? InkedPixels(png) : -1;
}

class Downstream : public Outputs, public ::testing::WithParamInterface<const char*> {};

// The MapServer 8 export, --render and the preview's reading show the layers a GDAL run wrote as
// they show the shapefiles (FlatGeobuf's index reorders the features, so the drawing may differ
// where features overlap).
TEST_P(Downstream, DrawsWhatTheRunWrote) {
  if (!HaveProgram("map2img")) GTEST_SKIP() << "no map2img";
  ScratchDir dir;
  std::string output;
  ASSERT_EQ(Convert(dir.Folder(), GetParam(), output), 0) << output;
  const std::string want = shp_->Folder(), got = dir.Folder();
  const std::string list = ReadFile(got + "mapserver8/list.map");
  EXPECT_NE(list.find("CONNECTIONTYPE OGR"), std::string::npos);
  EXPECT_EQ(list.find(".shp"), std::string::npos);
  for (const std::string layer : {"", "BldA", "Cntr", "RdEdg", "ElevPt"}) {
    SCOPED_TRACE(layer.empty() ? "whole map" : layer);
    const long shp = DrawnByMapServer(want, layer, got + "want.png");
    const long gdal = DrawnByMapServer(got, layer, got + "got.png");
    EXPECT_GT(shp, 0);
    EXPECT_NEAR(gdal, shp, shp / 100);
  }
  if (NABIK_HAVE_RENDER) {  // --render lives with the windows
    int status = 0;
    for (const std::string& folder : {want, got})
      RunCommand(kNabik + " --render " + folder + "render.png --size 600x400 " + folder, &status);
    const long shp = InkedPixels(want + "render.png");
    EXPECT_GT(shp, 0);
    EXPECT_NEAR(InkedPixels(got + "render.png"), shp, shp / 100);
  }
  ASSERT_TRUE(LoadLayerCatalogFrom(std::string(NABIK_SOURCE_DIR) + "/data/nabik.csv"));
  const tpreviewset a = LoadPreviewSet(want), b = LoadPreviewSet(got);
  ASSERT_EQ(a.Layers.size(), b.Layers.size());
  for (size_t i = 0; i < a.Layers.size(); ++i) {
    EXPECT_EQ(b.Layers[i].Name, a.Layers[i].Name);
    EXPECT_EQ(b.Layers[i].Features.size(), a.Layers[i].Features.size()) << a.Layers[i].Name;
    EXPECT_EQ(b.Layers[i].Coords.size(), a.Layers[i].Coords.size()) << a.Layers[i].Name;
  }
  // A building identified in the preview shows its values under the catalog's headers.
  for (const tpreviewlayer& layer : b.Layers) {
    if (layer.Name != "BldA") continue;
    const std::vector<tattrtext> texts = ReadRecordTexts(layer, layer.Features[0].Record);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0].Header, "基盤地図情報レコードID");
    EXPECT_FALSE(texts[0].Value.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Gdal, Downstream, ::testing::Values("GPKG", "FlatGeobuf"));

TEST(GeoPackage, IsValidKeepsItsHeadersAndResaves) {
  ScratchDir dir;
  std::string output;
  ASSERT_EQ(Convert(dir.Folder(), "GPKG", output), 0) << output;
  const std::string gpkg = dir.Folder() + "list.gpkg";
  int status = 0;
  output = RunCommand(
      "/usr/bin/python3 /usr/lib/python3/dist-packages/osgeo_utils/samples/validate_gpkg.py " +
          gpkg + " 2>&1",
      &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "");
  DatasetPtr ds = OpenVector(gpkg);
  ASSERT_TRUE(ds);
  OGRLayer* header = ds->ExecuteSQL(
      "SELECT name FROM gpkg_data_columns WHERE table_name = 'BldA' AND column_name = 'type'",
      nullptr, nullptr);
  ASSERT_NE(header, nullptr);
  std::unique_ptr<OGRFeature> row(header->GetNextFeature());
  ASSERT_TRUE(row);
  EXPECT_STREQ(row->GetFieldAsString(0), "種別");
  ds->ReleaseResultSet(header);
  OGRLayer* blda = ds->GetLayerByName("BldA");
  ASSERT_NE(blda, nullptr);
  EXPECT_STREQ(blda->GetFIDColumn(), "ogc_fid");
  EXPECT_EQ(blda->GetLayerDefn()->GetFieldDefn(0)->GetType(), OFTString);  // FGD's fid
  ds.reset();
  for (const char* format : {"GPKG", "ESRI Shapefile"}) {
    const std::string copy = dir.Folder() + "copy-" + std::string(format).substr(0, 4);
    output = RunCommand(std::string("ogr2ogr -f '") + format + "' " + copy +
                            (format[0] == 'G' ? ".gpkg " : " ") + gpkg + " 2>&1",
                        &status);
    EXPECT_EQ(status, 0) << format << ": " << output;
    // Warnings stay: ogr2ogr's shapefiles default to ISO-8859-1, which holds no Japanese.
    EXPECT_EQ(output.find("ERROR"), std::string::npos) << format << ": " << output;
  }
}

struct FailureCase {
  const char* what;
  const char* format;
  const char* options;
  rlim_t fileSize;  // 0: no limit
  const char* message;
};

class GdalFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(GdalFailure, EndsTheRunNamingTheReason) {
  const FailureCase& c = GetParam();
  ScratchDir dir;
  std::string output;
  int status = 0;
  {
    std::unique_ptr<FileSizeLimit> limit;
    if (c.fileSize) limit = std::make_unique<FileSizeLimit>(c.fileSize);
    // Plain XML files: the limit must hit the dataset, not the extraction of an archive.
    output = RunCommand(kNabik + " -q --mapserver 8 --format '" + c.format + "' " + c.options +
                            " -o " + dir.Folder() + "list.txt " +
                            Sample("gml/FG-GML-503041-ALL-20181001") + "/*.xml 2>&1",
                        &status);
  }
  EXPECT_EQ(status, 1) << output;
  EXPECT_NE(output.find(c.message), std::string::npos) << output;
  EXPECT_EQ(output.find("ERROR 1"), std::string::npos) << output;  // GDAL's own lines stay off
  EXPECT_EQ(output.find("変換が終了しました"), std::string::npos) << output;
  const std::string gpkg = dir.Folder() + "list.gpkg";
  if (access(gpkg.c_str(), F_OK) == 0) {
    // Opened for update: GDAL opens a GeoPackage without tables read-only as nothing.
    DatasetPtr ds(GDALDataset::Open(gpkg.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE));
    ASSERT_TRUE(ds) << "the GeoPackage left behind does not open: " << CPLGetLastErrorMsg();
    OGRLayer* check = ds->ExecuteSQL("PRAGMA integrity_check", nullptr, nullptr);
    ASSERT_NE(check, nullptr);
    std::unique_ptr<OGRFeature> row(check->GetNextFeature());
    EXPECT_STREQ(row->GetFieldAsString(0), "ok");
    ds->ReleaseResultSet(check);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, GdalFailure,
    ::testing::Values(
        FailureCase{"unknown", "NoSuchFormat", "", 0, "NoSuchFormat is not one of GDAL's"},
        FailureCase{"readonly", "OSM", "", 0, "GDAL cannot write the output format OSM"},
        FailureCase{"no_dataset", "PostgreSQL", "", 0, "needs --dataset"},
        FailureCase{"bad_connection", "PostgreSQL",
                    "--dataset 'PG:dbname=none host=/nonexistent port=1'", 0,
                    "Cannot open the dataset PG:dbname=none"},
        FailureCase{"full_disk", "GPKG", "", 1200 * 1024, "Incomplete layers (rolled back): "},
        FailureCase{"full_disk_flatgeobuf", "FlatGeobuf", "", 100 * 1024, "Layer "}),
    [](const auto& info) { return std::string(info.param.what); });

// A PostgreSQL 15 server with PostGIS in a scratch folder, on a socket of its own; run as
// nobody when the tests run as root (the server refuses root).
class PostGis : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = "/usr/lib/postgresql/15/bin/";
    if (access((bin_ + "postgres").c_str(), X_OK) != 0) GTEST_SKIP() << "no PostgreSQL 15";
    if (geteuid() == 0) {
      as_ = "setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH=/usr/bin:/bin ";
      ASSERT_EQ(chown(dir_.Path().c_str(), 65534, 65534), 0);
    }
    port_ = std::to_string(20000 + getpid() % 20000);
    ASSERT_EQ(
        Sh(bin_ + "initdb -D " + dir_.Folder() + "data -U nabik -E UTF8 --locale=C --no-sync"), 0);
    ASSERT_EQ(
        Sh(bin_ + "pg_ctl -D " + dir_.Folder() + "data -l " + dir_.Folder() + "log -w -o \"-k " +
           dir_.Folder() + " -p " + port_ + " -c listen_addresses= -c fsync=off\" start"),
        0);
    started_ = true;
    ASSERT_EQ(Psql("postgres", "CREATE DATABASE fgd"), 0);
    ASSERT_EQ(Psql("fgd", "CREATE EXTENSION postgis; CREATE SCHEMA kiban"), 0);
  }
  void TearDown() override {
    if (started_) Sh(bin_ + "pg_ctl -D " + dir_.Folder() + "data -m immediate -w stop");
  }
  int Sh(const std::string& command) {
    int status = 0;
    log_ += RunCommand(as_ + command + " 2>&1", &status);
    return status;
  }
  int Psql(const std::string& db, const std::string& sql) {
    return Sh(bin_ + "psql -v ON_ERROR_STOP=1 -h " + dir_.Folder() + " -p " + port_ +
              " -U nabik -d " + db + " -c '" + sql + "'");
  }
  std::string Dataset() const {
    return "PG:dbname=fgd host=" + dir_.Folder() + " port=" + port_ +
           " user=nabik active_schema=kiban";
  }

  ScratchDir dir_;
  std::string bin_, as_, port_, log_;
  bool started_ = false;
};

TEST_F(PostGis, LoadsAWholeMeshAndReplacesItsTables) {
  ScratchDir shp, out;
  std::string output;
  ASSERT_EQ(Convert(shp.Folder(), "shp", output), 0) << output;
  for (int run = 0; run < 2; ++run) {  // the second run replaces the tables of the first
    ASSERT_EQ(Convert(out.Folder(), "PostgreSQL", output, "--dataset '" + Dataset() + "'"), 0)
        << output << log_;
  }
  DatasetPtr db(GDALDataset::Open(Dataset().c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
  ASSERT_TRUE(db) << CPLGetLastErrorMsg();
  int layers = 0;
  for (const auto& entry : std::filesystem::directory_iterator(shp.Path())) {
    if (entry.path().extension() != ".shp") continue;
    const std::string name = entry.path().stem().string();
    SCOPED_TRACE(name);
    DatasetPtr set = OpenVector(entry.path().string());
    OGRLayer* table = db->GetLayerByName(("kiban." + name).c_str());
    if (!table) table = db->GetLayerByName(name.c_str());
    ASSERT_NE(table, nullptr);
    ExpectSameFeatures(Dump(table), Dump(set->GetLayer(0)));
    EXPECT_EQ(std::atoi(table->GetSpatialRef()->GetAuthorityCode(nullptr)),
              ShapefileEpsg(shp.Folder() + name));
    ++layers;
  }
  EXPECT_GE(layers, 15);
  OGRLayer* rows = db->ExecuteSQL(
      "SELECT count(*) FROM kiban.\"BldA\" WHERE type = '普通建物' AND ST_IsValid(geom)", nullptr,
      nullptr);
  ASSERT_NE(rows, nullptr);
  std::unique_ptr<OGRFeature> row(rows->GetNextFeature());
  EXPECT_GT(row->GetFieldAsInteger(0), 100);
  db->ReleaseResultSet(rows);
}

}  // namespace
