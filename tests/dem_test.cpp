// The elevation model reader and the mosaics written from it, read back through GDAL.
#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/errors.h"
#include "common/text.h"
#include "crs/target.h"
#include "dem/demfile.h"
#include "dem/mosaic.h"
#include "preview/relief.h"
#include "run/unzip.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

const std::string kSamples = std::string(NABIK_SOURCE_DIR) + "/tests/data/dem/";

// A DEM file written by hand after the agency's description.
struct DemDraft {
  std::string kind = "5A";
  std::string mesh = "53394500";  // 8 digits: a 5 m (third-level) mesh; 6: a 10 m one
  std::string date = "20161001";
  std::string datum = "jgd2011";
  bool sjis = false;
  int startX = 0, startY = 0;
  std::vector<std::string> tuples;  // "地表面,12.34", UTF-8
  int cols = 0, rows = 0;           // 0: those of the kind
  std::string name;                 // empty: FG-GML-<mesh>-DEM<kind>-<date>.xml
};

struct MeshBox {
  double south, west, north, east;
};

MeshBox BoxOf(const std::string& mesh) {
  auto d = [&](size_t i) { return mesh[i] - '0'; };
  MeshBox box;
  box.south = (d(0) * 10 + d(1)) / 1.5 + d(4) / 12.0;
  box.west = 100 + d(2) * 10 + d(3) + d(5) / 8.0;
  if (mesh.size() == 8) {
    box.south += d(6) / 120.0;
    box.west += d(7) / 80.0;
    box.north = box.south + 1 / 120.0;
    box.east = box.west + 1 / 80.0;
  } else {
    box.north = box.south + 1 / 12.0;
    box.east = box.west + 1 / 8.0;
  }
  return box;
}

std::string WriteDem(const std::string& folder, const DemDraft& s) {
  const bool five = s.mesh.size() == 8;
  const int cols = s.cols ? s.cols : five ? 225 : 1125, rows = s.rows ? s.rows : five ? 150 : 750;
  const MeshBox box = BoxOf(s.mesh);
  char corners[200];
  std::snprintf(corners, sizeof corners,
                "<gml:lowerCorner>%.9f %.9f</gml:lowerCorner>\r\n"
                "<gml:upperCorner>%.9f %.9f</gml:upperCorner>\r\n",
                box.south, box.west, box.north, box.east);
  std::string text = std::string("<?xml version=\"1.0\" encoding=\"") +
                     (s.sjis ? "Shift_JIS" : "UTF-8") + "\"?>\r\n";
  text += "<Dataset xmlns:gml=\"http://www.opengis.net/gml/3.2\" gml:id=\"Dataset1\">\r\n";
  text += "<DEM gml:id=\"DEM001\">\r\n<devDate gml:id=\"DEM001-2\">\r\n";
  text += "<gml:timePosition>" + s.date.substr(0, 4) + "-" + s.date.substr(4, 2) + "-" +
          s.date.substr(6, 2) + "</gml:timePosition>\r\n</devDate>\r\n";
  text += "<type>" + std::string(five ? "5m" : "10m") + "メッシュ（標高）</type>\r\n";
  text += "<mesh>" + s.mesh + "</mesh>\r\n";
  text +=
      "<gml:Envelope srsName=\"fguuid:" + s.datum + ".bl\">\r\n" + corners + "</gml:Envelope>\r\n";
  text += "<gml:low>0 0</gml:low>\r\n<gml:high>" + std::to_string(cols - 1) + " " +
          std::to_string(rows - 1) + "</gml:high>\r\n";
  text += "<gml:tupleList>\r\n";
  for (const std::string& t : s.tuples) text += t + "\r\n";
  text += "</gml:tupleList>\r\n<gml:sequenceRule order=\"+x-y\">Linear</gml:sequenceRule>\r\n";
  text += "<gml:startPoint>" + std::to_string(s.startX) + " " + std::to_string(s.startY) +
          "</gml:startPoint>\r\n</DEM>\r\n</Dataset>\r\n";
  const std::string name = !s.name.empty() ? s.name
                           : five
                               ? "FG-GML-" + s.mesh.substr(0, 4) + "-" + s.mesh.substr(4, 2) + "-" +
                                     s.mesh.substr(6, 2) + "-DEM" + s.kind + "-" + s.date + ".xml"
                               : "FG-GML-" + s.mesh.substr(0, 4) + "-" + s.mesh.substr(4, 2) +
                                     "-DEM" + s.kind + "-" + s.date + ".xml";
  const std::string path = folder + name;
  WriteFile(path, s.sjis ? Sjis(text) : text);
  return path;
}

std::vector<std::string> Filled(size_t count, const std::string& tuple) {
  return std::vector<std::string>(count, tuple);
}

// A raster opened for reading, closed when it goes.
struct Raster {
  GDALDatasetH ds = nullptr;
  explicit Raster(const std::string& path) {
    GDALAllRegister();
    ds = GDALOpen(path.c_str(), GA_ReadOnly);
  }
  ~Raster() {
    if (ds) GDALClose(ds);
  }
  std::vector<double> Transform() const {
    std::vector<double> t(6);
    GDALGetGeoTransform(ds, t.data());
    return t;
  }
  std::vector<float> Read(int x, int y, int w, int h) const {
    std::vector<float> out(static_cast<size_t>(w) * h, 12345.0f);
    EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Read, x, y, w, h, out.data(), w, h,
                           GDT_Float32, 0, 0),
              CE_None);
    return out;
  }
  float At(int x, int y) const { return Read(x, y, 1, 1)[0]; }
};

// Reads and writes the given files into `folder`; the paths written.
std::vector<std::string> Mosaic(const std::string& folder, const std::vector<std::string>& files,
                                tdemformat format = tdemformat::GTiff,
                                const crs::ttargetcrs* target = nullptr) {
  tdemmosaics mosaics(folder, format, target);
  tdemfile file;
  for (const std::string& path : files) {
    ReadDemFile(path, {}, file);
    mosaics.Add(file);
  }
  return mosaics.Write([](const std::string&) {});
}

// Row and column of a 5 m mesh's north-west cell in its first-level raster (18000 x 12000),
// from the digits of its code: rows count from the north, second-level meshes are 1500 x 2250
// cells, third-level ones 150 x 225.
std::pair<int, int> FivePlace(const std::string& mesh) {
  auto d = [&](size_t i) { return mesh[i] - '0'; };
  return {(7 - d(4)) * 1500 + (9 - d(6)) * 150, d(5) * 2250 + d(7) * 225};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The reader.

TEST(DemReader, EveryCellKindInBothEncodingsWithAndWithoutSea) {
  const std::vector<std::string> kinds = {"地表面",   "表層面",   "海水面",     "内水面",
                                          "海水底面", "内水底面", "データなし", "その他"};
  ScratchDir dir;
  for (const bool sjis : {false, true}) {
    DemDraft draft;
    draft.sjis = sjis;
    for (size_t i = 0; i < kinds.size(); ++i)
      draft.tuples.push_back(kinds[i] + "," + std::to_string(i) + ".25");
    for (const std::string& kind : kinds) draft.tuples.push_back(kind + ",-9999.");
    draft.tuples.push_back("海水面,-9999.00");
    draft.name = sjis ? "sjis.xml" : "utf8.xml";
    const std::string path = WriteDem(dir.Folder(), draft);
    for (const bool sea : {false, true}) {
      SCOPED_TRACE(std::string(sjis ? "Shift_JIS" : "UTF-8") + (sea ? ", --sea 0" : ""));
      tdemfile file;
      ReadDemFile(path, tdemreadoptions{sea}, file);
      ASSERT_EQ(file.values.size(), 17u);
      for (size_t i = 0; i < kinds.size(); ++i) {
        EXPECT_EQ(file.values[i], static_cast<float>(i) + 0.25f) << kinds[i];
        const float expected = sea && kinds[i] == "海水面" ? 0.0f : kDemNoData;
        EXPECT_EQ(file.values[8 + i], expected) << kinds[i] << " without a value";
      }
      EXPECT_EQ(file.values[16], sea ? 0.0f : kDemNoData);
      // Kind and date from <type> and devDate where the name says nothing.
      EXPECT_EQ(file.kind, tdemkind::Dem5A);
      EXPECT_EQ(file.date, 20161001);
    }
  }
}

TEST(DemReader, RealFilesAndStartPoints) {
  ScratchDir dir;
  const std::vector<std::string> extracted =
      ExtractZip(kSamples + "FG-GML-3926-76-DEM10B.zip", dir.Folder());
  ASSERT_EQ(extracted.size(), 1u);
  DemDraft made;
  made.startX = 3;
  made.startY = 2;
  made.tuples = {"地表面,1.5", "地表面,2.5"};
  made.kind = "5C";
  made.date = "20240401";
  made.datum = "jgd2024";
  const struct {
    std::string path;
    tdemkind kind;
    int32_t date, cols, rows;
    tdatum datum;
    int64_t start, count;
    float first;
  } cases[] = {
      {kSamples + "FG-GML-5238-74-00-DEM5A-20161001.xml", tdemkind::Dem5A, 20161001, 225, 150,
       tdatum::Jgd2011, 0, 33750, 145.30f},
      {kSamples + "FG-GML-5235-37-59-DEM5A-20161001.xml", tdemkind::Dem5A, 20161001, 225, 150,
       tdatum::Jgd2011, 131 * 225 + 39, 4100, 280.34f},
      {extracted[0], tdemkind::Dem10B, 20161001, 1125, 750, tdatum::Jgd2011, 639 * 1125 + 743,
       37074, 1.2f},
      {WriteDem(dir.Folder(), made), tdemkind::Dem5C, 20240401, 225, 150, tdatum::Jgd2024,
       2 * 225 + 3, 2, 1.5f},
  };
  tdemfile file;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_NO_THROW(ReadDemFile(c.path, {}, file));
    EXPECT_TRUE(IsDemFile(c.path));
    EXPECT_EQ(file.kind, c.kind);
    EXPECT_EQ(file.date, c.date);
    EXPECT_EQ(file.cols, c.cols);
    EXPECT_EQ(file.rows, c.rows);
    EXPECT_EQ(file.datum, c.datum);
    EXPECT_EQ(file.start, c.start);
    EXPECT_EQ(static_cast<int64_t>(file.values.size()), c.count);
    EXPECT_EQ(file.values[0], c.first);
  }
  EXPECT_FALSE(
      IsDemFile(std::string(NABIK_SAMPLES_DIR) + "/gml/FG-GML-13-RailCL25000-20080331-0001.xml"));
}

TEST(DemReader, FaultsNameFileAndLine) {
  ScratchDir dir;
  // Header lines before the first tuple: 15 (see WriteDem); the first tuple is on line 16.
  const int first = 16;
  struct Case {
    std::string what;
    DemDraft draft;
    int line;
    std::string says;
  };
  std::vector<Case> cases;
  {
    Case c{
        "one value more than cells", {}, first + 33750, "more values than the grid's 33750 cells"};
    c.draft.tuples = Filled(33751, "地表面,1.0");
    cases.push_back(c);
  }
  {
    Case c{"values run past the grid from the start point",
           {},
           first + 3 + 2,
           "run past the grid's 33750 cells"};
    c.draft.tuples = Filled(3, "地表面,1.0");
    c.draft.startX = 224;
    c.draft.startY = 149;
    cases.push_back(c);
  }
  {
    Case c{"5 m grid of another size", {}, first - 1, "a DEM5B grid has 225 x 150 cells"};
    c.draft.kind = "5B";
    c.draft.cols = 224;
    cases.push_back(c);
  }
  {
    Case c{"10 m kind on a 5 m grid", {}, first - 1, "a DEM10B grid has 1125 x 750 cells"};
    c.draft.kind = "10B";
    cases.push_back(c);
  }
  {
    Case c{"unknown kind of cell", {}, first + 1, "unknown kind of cell '山頂'"};
    c.draft.tuples = {"地表面,1.0", "山頂,2.0"};
    cases.push_back(c);
  }
  {
    Case c{"value that is no number", {}, first, "'12,5' is not a valid floating point value"};
    c.draft.tuples = {"地表面,12,5"};
    cases.push_back(c);
  }
  {
    Case c{"unknown datum", {}, 9, "names no datum"};
    c.draft.datum = "tokyo";
    cases.push_back(c);
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.draft.name = "fault.xml";
    if (c.draft.kind != "5A")
      c.draft.name = "FG-GML-5339-45-00-DEM" + c.draft.kind + "-20161001.xml";
    const std::string path = WriteDem(dir.Folder(), c.draft);
    tdemfile file;
    try {
      ReadDemFile(path, {}, file);
      ADD_FAILURE() << "read without an error";
    } catch (const NabikError& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind(path + ":" + std::to_string(c.line) + ": ", 0), 0u) << message;
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The mosaics.

TEST(DemMosaic, ReadBackValuesNoDataTransformAndDatum) {
  const struct {
    std::string datum;
    int epsg;
  } datums[] = {{"jgd2000", 4612}, {"jgd2011", 6668}, {"jgd2024", 6668}};
  for (const auto& d : datums) {
    SCOPED_TRACE(d.datum);
    ScratchDir dir;
    DemDraft draft;
    draft.mesh = "53394573";
    draft.datum = d.datum;
    draft.startX = 223;
    draft.startY = 2;
    draft.tuples = {"地表面,10.5", "表層面,-9999.", "海水底面,-3.25", "内水面,7"};
    const std::vector<std::string> written = Mosaic(dir.Folder(), {WriteDem(dir.Folder(), draft)});
    ASSERT_EQ(written, (std::vector<std::string>{dir.Folder() + "dem5m-5339.tif",
                                                 dir.Folder() + "dem5m.vrt"}));
    Raster tif(written[0]);
    ASSERT_TRUE(tif.ds);
    EXPECT_EQ(GDALGetRasterXSize(tif.ds), 18000);
    EXPECT_EQ(GDALGetRasterYSize(tif.ds), 12000);
    EXPECT_EQ(tif.Transform(), (std::vector<double>{139.0, 1.0 / 18000, 0, 36.0, 0, -1.0 / 18000}));
    int hasNoData = 0;
    EXPECT_EQ(GDALGetRasterNoDataValue(GDALGetRasterBand(tif.ds, 1), &hasNoData), -9999.0);
    EXPECT_TRUE(hasNoData);
    EXPECT_EQ(GDALGetRasterDataType(GDALGetRasterBand(tif.ds, 1)), GDT_Float32);
    // Tiled, DEFLATE with the floating-point predictor, and a tile without data not stored.
    GDALRasterBandH band = GDALGetRasterBand(tif.ds, 1);
    int blockX = 0, blockY = 0;
    GDALGetBlockSize(band, &blockX, &blockY);
    EXPECT_EQ(blockX, 256);
    EXPECT_EQ(blockY, 256);
    EXPECT_STREQ(GDALGetMetadataItem(tif.ds, "COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
    EXPECT_STREQ(GDALGetMetadataItem(tif.ds, "PREDICTOR", "IMAGE_STRUCTURE"), "3");
    EXPECT_STREQ(GDALGetMetadataItem(band, "BLOCK_OFFSET_0_0", "TIFF"), nullptr);
    OGRSpatialReferenceH srs = GDALGetSpatialRef(tif.ds);
    ASSERT_TRUE(srs);
    EXPECT_EQ(std::string(OSRGetAuthorityCode(srs, nullptr)), std::to_string(d.epsg));
    // Cells before the start point and after the last value have none.
    const auto [row, col] = FivePlace(draft.mesh);
    const std::string withData =
        "BLOCK_OFFSET_" + std::to_string((col + 223) / 256) + "_" + std::to_string((row + 2) / 256);
    EXPECT_NE(GDALGetMetadataItem(band, withData.c_str(), "TIFF"), nullptr);
    const std::vector<float> rows = tif.Read(col, row + 2, 225, 2);
    for (int i = 0; i < 450; ++i) {
      const float expected = i == 223 ? 10.5f : i == 225 ? -3.25f : i == 226 ? 7.0f : kDemNoData;
      EXPECT_EQ(rows[i], expected) << "cell " << i;
    }
    EXPECT_EQ(tif.At(col, row), kDemNoData);
    // The first overview averages each 2 x 2 block's cells with a value (no-data where none).
    GDALRasterBandH overview = GDALGetOverview(GDALGetRasterBand(tif.ds, 1), 0);
    ASSERT_TRUE(overview);
    const int ox = (col - 2) / 2, oy = row / 2, ow = 116, oh = 3;
    std::vector<float> halves(ow * oh);
    ASSERT_EQ(
        GDALRasterIO(overview, GF_Read, ox, oy, ow, oh, halves.data(), ow, oh, GDT_Float32, 0, 0),
        CE_None);
    const std::vector<float> base = tif.Read(2 * ox, 2 * oy, 2 * ow, 2 * oh);
    int averaged = 0;
    for (int y = 0; y < oh; ++y)
      for (int x = 0; x < ow; ++x) {
        float sum = 0;
        int n = 0;
        for (const int k : {0, 1, 2 * ow, 2 * ow + 1}) {
          const float v = base[(2 * y) * 2 * ow + 2 * x + k];
          if (v != kDemNoData) sum += v, ++n;
        }
        averaged += n > 0;
        EXPECT_EQ(halves[y * ow + x], n ? sum / n : kDemNoData) << x << " " << y;
      }
    EXPECT_EQ(averaged, 3);  // 10.5 alone; -3.25 and 7 fall into two blocks (the column is odd)
    // The cell's geographic place: the envelope is the cells' outer edge.
    const MeshBox box = BoxOf(draft.mesh);
    const std::vector<double> t = tif.Transform();
    EXPECT_NEAR(t[0] + (col + 223) * t[1], box.west + 223 / 18000.0, 1e-12);
    EXPECT_NEAR(t[3] + (row + 2) * t[5], box.north - 2 / 18000.0, 1e-12);
  }
}

TEST(DemMosaic, OverlapsTakeTheBestSourceThatHasAValue) {
  ScratchDir dir;
  const std::string no = "-9999.";
  auto dem = [&](const std::string& mesh, const std::string& kind, const std::string& date,
                 const std::vector<std::string>& values) {
    DemDraft draft;
    draft.mesh = mesh;
    draft.kind = kind;
    draft.date = date;
    for (const std::string& v : values) draft.tuples.push_back("地表面," + v);
    return WriteDem(dir.Folder(), draft);
  };
  // Given out of order: the order of the inputs must not matter.
  const std::vector<std::string> files = {
      dem("53394500", "5A", "20160101", {"0.5", no, no, no, no}),
      dem("53394500", "5C", "20100101", {"3", "3", "3", "3", no}),
      dem("53394500", "5A", "20150101", {"1", "1", no, no, no}),
      dem("53394500", "5B", "20120101", {"2", "2", "2", no, no}),
      dem("533945", "10A", "20100101", {no, "10"}),
      dem("533945", "10B", "20160101", {"20", "20"}),
  };
  Mosaic(dir.Folder(), files);
  Raster five(dir.Folder() + "dem5m-5339.tif");
  const auto [row, col] = FivePlace("53394500");
  EXPECT_EQ(five.Read(col, row, 5, 1), (std::vector<float>{0.5f, 1, 2, 3, kDemNoData}));
  Raster ten(dir.Folder() + "dem10m-5339.tif");
  // 5339-45: second-level row 4 of 8 (750 rows each, from the south), column 5 (1125 each).
  EXPECT_EQ(ten.Read(5 * 1125, 3 * 750, 2, 1), (std::vector<float>{20, 10}));
}

TEST(DemMosaic, NeighboursMeetAcrossFirstLevelEdgesAndTheVirtualMosaicEqualsItsFiles) {
  ScratchDir dir;
  // The north-east corner mesh of 5339, its west neighbour, its east neighbour in 5340 and its
  // north neighbour in 5439; each cell's value tells mesh, row and column.
  const std::vector<std::string> meshes = {"53397799", "53397798", "53407090", "54390709"};
  std::vector<std::string> files;
  for (size_t m = 0; m < meshes.size(); ++m) {
    DemDraft draft;
    draft.mesh = meshes[m];
    for (int i = 0; i < 33750; ++i)
      draft.tuples.push_back("地表面," + std::to_string(m * 100000 + i));
    files.push_back(WriteDem(dir.Folder(), draft));
  }
  Mosaic(dir.Folder(), files);
  Raster a(dir.Folder() + "dem5m-5339.tif"), east(dir.Folder() + "dem5m-5340.tif"),
      north(dir.Folder() + "dem5m-5439.tif"), vrt(dir.Folder() + "dem5m.vrt");
  ASSERT_TRUE(a.ds && east.ds && north.ds && vrt.ds);
  // Same cell size; each raster's far edge is exactly its neighbour's origin.
  const std::vector<double> ta = a.Transform(), te = east.Transform(), tn = north.Transform();
  EXPECT_EQ(ta[1], te[1]);
  EXPECT_EQ(ta[5], tn[5]);
  EXPECT_EQ(ta[0] + 18000 * ta[1], te[0]);
  EXPECT_EQ(te[3], ta[3]);
  EXPECT_EQ(tn[3] + 12000 * tn[5], ta[3]);
  EXPECT_EQ(tn[0], ta[0]);
  // The virtual mosaic: 2 x 2 first-level meshes from 139°E, 37.333°N.
  EXPECT_EQ(GDALGetRasterXSize(vrt.ds), 36000);
  EXPECT_EQ(GDALGetRasterYSize(vrt.ds), 24000);
  const std::vector<double> tv = vrt.Transform();
  EXPECT_EQ(tv[0], ta[0]);
  EXPECT_EQ(tv[3], tn[3]);
  // Every cell of each mesh in the virtual mosaic equals the cell of its file, and the meshes
  // sit side by side: no gap, no overlap.
  const struct {
    const Raster& file;
    int x, y;  // the file's origin in the virtual mosaic
  } sources[] = {{a, 0, 12000}, {a, 0, 12000}, {east, 18000, 12000}, {north, 0, 0}};
  for (size_t m = 0; m < meshes.size(); ++m) {
    SCOPED_TRACE(meshes[m]);
    auto [row, col] = FivePlace(meshes[m]);
    const std::vector<float> inFile = sources[m].file.Read(col, row, 225, 150);
    const std::vector<float> inVrt = vrt.Read(sources[m].x + col, sources[m].y + row, 225, 150);
    EXPECT_EQ(inFile, inVrt);
    for (int i = 0; i < 33750; i += 4321) EXPECT_EQ(inFile[i], static_cast<float>(m * 100000 + i));
  }
  // The east edge column of 53397799 and the west edge column of 53407090 are adjacent in the
  // virtual mosaic, as are the north row of 53397799 and the south row of 54390709.
  const auto [ra, ca] = FivePlace("53397799");
  const std::vector<float> across = vrt.Read(ca + 224, 12000 + ra, 2, 1);
  EXPECT_EQ(across, (std::vector<float>{224, 2 * 100000}));
  const std::vector<float> up = vrt.Read(ca, 12000 + ra - 1, 1, 2);
  EXPECT_EQ(up, (std::vector<float>{3 * 100000 + 149 * 225, 0}));
}

// ---------------------------------------------------------------------------------------------
// The mosaics warped into a target CRS, against gdalwarp on the latitude/longitude mosaic of the
// same files.

namespace {

std::set<std::string> FolderNames(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(folder)) names.insert(item.path().filename());
  return names;
}

// The w x h cells of `r` from the corner (x, y), which must lie on its grid; no-data outside it.
std::vector<float> ReadAt(const Raster& r, double x, double y, int w, int h) {
  const std::vector<double> t = r.Transform();
  const double fx = (x - t[0]) / t[1], fy = (y - t[3]) / t[5];
  const int x0 = static_cast<int>(std::lround(fx)), y0 = static_cast<int>(std::lround(fy));
  EXPECT_NEAR(fx, x0, 1e-6);
  EXPECT_NEAR(fy, y0, 1e-6);
  std::vector<float> out(static_cast<size_t>(w) * h, kDemNoData);
  const int cx0 = std::max(0, x0), cx1 = std::min(GDALGetRasterXSize(r.ds), x0 + w);
  const int cy0 = std::max(0, y0), cy1 = std::min(GDALGetRasterYSize(r.ds), y0 + h);
  for (int yy = cy0; yy < cy1 && cx0 < cx1; ++yy) {
    const std::vector<float> row = r.Read(cx0, yy, cx1 - cx0, 1);
    std::copy(row.begin(), row.end(), out.begin() + (yy - y0) * w + (cx0 - x0));
  }
  return out;
}

}  // namespace

TEST(DemWarp, CellsAreGdalwarpsBilinearOnOneGridWithoutGapOrOverlap) {
  ScratchDir dir;
  const std::string in = dir.Folder() + "in/";
  fs::create_directories(in);
  const std::vector<std::string> ten = ExtractZip(kSamples + "FG-GML-3926-76-DEM10B.zip", in);
  // Three 5 m meshes where four first-level meshes meet (5440 gets none): a plane rising to the
  // east and south, a hole of 20 x 40 cells in the first, the east one only 100 rows deep.
  std::vector<std::string> corner;
  for (const auto& [mesh, x, y] :
       {std::tuple{"53397799", 0, 150}, {"53407090", 225, 150}, {"54390709", 0, 0}}) {
    DemDraft draft;
    draft.mesh = mesh;
    for (int r = 0; r < (x ? 100 : 150); ++r)
      for (int c = 0; c < 225; ++c) {
        char value[32];
        std::snprintf(value, sizeof value, "%.2f", 50 + 0.03 * (x + c) + 0.02 * (y + r));
        const bool hole = y && !x && r >= 60 && r < 80 && c >= 100 && c < 140;
        draft.tuples.push_back("地表面," + std::string(hole ? "-9999." : value));
      }
    corner.push_back(WriteDem(in, draft));
  }
  const MeshBox cornerBox{BoxOf("53397799").south, BoxOf("53397799").west, BoxOf("54390709").north,
                          BoxOf("53407090").east};
  const std::set<std::string> cornerFiles = {"dem5m-5339.tif", "dem5m-5340.tif", "dem5m-5439.tif",
                                             "dem5m.vrt"};
  const struct {
    std::string what, target;
    std::vector<std::string> files;
    tdemformat format;
    std::string prefix;
    double cell;  // in the target's unit
    MeshBox box;  // where the data lies
    std::set<std::string> written;
    int values;  // cells with a value at least
  } cases[] = {
      {"real 5 m mesh",
       "EPSG:6677",
       {kSamples + "FG-GML-5238-74-00-DEM5A-20161001.xml"},
       tdemformat::GTiff,
       "dem5m",
       5,
       BoxOf("52387400"),
       {"dem5m-5238.tif", "dem5m.vrt"},
       40000},
      {"real 10 m mesh, mostly sea, COG",
       "EPSG:6677",
       ten,
       tdemformat::Cog,
       "dem10m",
       10,
       BoxOf("392676"),
       {"dem10m-3926.tif", "dem10m.vrt"},
       350},
      {"meshes across first-level edges", "EPSG:6677", corner, tdemformat::GTiff, "dem5m", 5,
       cornerBox, cornerFiles, 100000},
      {"in US survey feet",
       "+proj=tmerc +lat_0=36 +lon_0=139.8333333333 +k=0.9999 +ellps=GRS80 +units=us-ft", corner,
       tdemformat::GTiff, "dem5m", 5 / (1200.0 / 3937), cornerBox, cornerFiles, 100000},
      {"geographic: the source's cells", "EPSG:6668", corner, tdemformat::GTiff, "dem5m",
       1 / 18000.0, cornerBox, cornerFiles, 89200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    const auto target = crs::ttargetcrs::Parse(c.target, error);
    ASSERT_TRUE(target) << error;
    const std::string latlon = dir.Folder() + "latlon/", out = dir.Folder() + "out/";
    fs::remove_all(latlon), fs::remove_all(out);
    fs::create_directories(latlon), fs::create_directories(out);
    Mosaic(latlon, c.files);
    std::vector<std::string> statuses;
    tdemmosaics mosaics(out, c.format, &*target);
    tdemfile file;
    for (const std::string& path : c.files) ReadDemFile(path, {}, file), mosaics.Add(file);
    EXPECT_EQ(mosaics.Write([&](const std::string& text) { statuses.push_back(text); }).size(),
              c.written.size());
    // The files keep their names; nothing else is left, the latitude/longitude files neither.
    EXPECT_EQ(FolderNames(out), c.written);

    // The peer, with exact transforms over the data's box and a margin (gdalwarp places the box
    // by two corners).
    char command[2000];
    std::snprintf(command, sizeof command,
                  "gdalwarp -q -overwrite -r bilinear -et 0 -tr %.17g %.17g -tap -t_srs '%s' "
                  "-te_srs EPSG:6668 -te %.9f %.9f %.9f %.9f '%s%s.vrt' '%speer.tif' 2>&1",
                  c.cell, c.cell, target->GdalSrs().c_str(), c.box.west - 0.002,
                  c.box.south - 0.002, c.box.east + 0.002, c.box.north + 0.002, latlon.c_str(),
                  c.prefix.c_str(), dir.Folder().c_str());
    int status = -1;
    const std::string said = RunCommand(command, &status);
    ASSERT_EQ(status, 0) << said;
    Raster peer(dir.Folder() + "peer.tif");
    ASSERT_TRUE(peer.ds);
    const std::vector<double> at = peer.Transform();
    const int w = GDALGetRasterXSize(peer.ds), h = GDALGetRasterYSize(peer.ds);
    const std::vector<float> expected = peer.Read(0, 0, w, h);

    // Every file: the target's SRS, square cells on multiples of the cell size, no-data -9999.
    std::vector<std::vector<float>> inFiles;
    for (const std::string& name : c.written) {
      if (name.find(".tif") == std::string::npos) continue;
      SCOPED_TRACE(name);
      EXPECT_EQ(std::count(statuses.begin(), statuses.end(), name + Sjis(" 作成中")), 1);
      Raster tif(out + name);
      ASSERT_TRUE(tif.ds);
      EXPECT_TRUE(OSRIsSame(GDALGetSpatialRef(tif.ds), GDALGetSpatialRef(peer.ds)));
      const std::vector<double> t = tif.Transform();
      EXPECT_EQ(t, (std::vector<double>{t[0], c.cell, 0, t[3], 0, -c.cell}));
      EXPECT_NEAR(t[0] / c.cell, std::round(t[0] / c.cell), 1e-6);
      EXPECT_NEAR(t[3] / c.cell, std::round(t[3] / c.cell), 1e-6);
      int hasNoData = 0;
      EXPECT_EQ(GDALGetRasterNoDataValue(GDALGetRasterBand(tif.ds, 1), &hasNoData), kDemNoData);
      EXPECT_TRUE(hasNoData);
      inFiles.push_back(ReadAt(tif, at[0], at[3], w, h));
      if (c.format != tdemformat::Cog) continue;
      const std::string check = RunCommand(
          "/usr/bin/python3 /usr/lib/python3/dist-packages/osgeo_utils/samples/"
          "validate_cloud_optimized_geotiff.py '" +
              out + name + "' 2>&1",
          &status);
      EXPECT_NE(check.find("is a valid cloud optimized GeoTIFF"), std::string::npos) << check;
    }

    // Each cell the peer gives a value is in exactly one file, with the peer's value (bilinear,
    // across mesh edges too); a cell without one is in none. The virtual mosaic joins them.
    Raster vrt(out + c.prefix + ".vrt");
    ASSERT_TRUE(vrt.ds);
    const std::vector<float> joined = ReadAt(vrt, at[0], at[3], w, h);
    int values = 0, faults = 0;
    float worst = 0, least = 1e9f, greatest = -1e9f;
    for (size_t i = 0; i < expected.size(); ++i) {
      int count = 0;
      float value = kDemNoData;
      for (const std::vector<float>& f : inFiles)
        if (f[i] != kDemNoData) ++count, value = f[i];
      const bool has = expected[i] != kDemNoData;
      if (count != (has ? 1 : 0) || joined[i] != value) {
        EXPECT_LT(++faults, 3) << "cell " << i % w << " " << i / w << ": in " << count
                               << " files, peer " << expected[i] << ", mosaic " << joined[i];
      } else if (has) {
        ++values, worst = std::max(worst, std::abs(value - expected[i]));
        least = std::min(least, value), greatest = std::max(greatest, value);
      }
    }
    EXPECT_GE(values, c.values);
    EXPECT_LT(worst, 2e-3f);
    // The colour range is that of the warped values.
    ASSERT_EQ(mosaics.Mosaics.size(), 1u);
    EXPECT_EQ(mosaics.Mosaics[0].Min, least);
    EXPECT_EQ(mosaics.Mosaics[0].Max, greatest);
  }

  // Seen from the far side of the earth Japan has no place: the run ends naming the file, and
  // leaves neither the latitude/longitude files nor a part.
  std::string error;
  const auto farSide = crs::ttargetcrs::Parse("+proj=ortho +lat_0=-36 +lon_0=-40", error);
  ASSERT_TRUE(farSide) << error;
  const std::string failed = dir.Folder() + "failed/";
  fs::create_directories(failed);
  try {
    Mosaic(failed, corner, tdemformat::Cog, &*farSide);
    ADD_FAILURE() << "written without an error";
  } catch (const NabikError& e) {
    EXPECT_EQ(std::string(e.what()).find("dem5m-5339.tif: "), 0u) << e.what();
  }
  EXPECT_EQ(FolderNames(failed), std::set<std::string>{});
}

// ---------------------------------------------------------------------------------------------
// A run of the program over mixed inputs.

TEST(DemRun, MixedInputsCountedSeaOptionAndCloudOptimizedFiles) {
  ScratchDir dir;
  const std::string in = dir.Folder() + "in/";
  fs::create_directories(in);
  DemDraft sea;
  sea.sjis = true;
  sea.mesh = "52386200";
  sea.tuples = {"海水面,-9999.", "内水面,-9999.", "地表面,4.5"};
  WriteDem(in, sea);
  fs::copy(kSamples + "FG-GML-5238-74-00-DEM5A-20161001.xml", in);
  fs::copy(std::string(NABIK_SAMPLES_DIR) + "/gml/FG-GML-13-RailCL25000-20080331-0001.xml", in);
  int status = -1;
  RunCommand("cd '" + in + "' && zip -q mixed.zip *.xml", &status);
  ASSERT_EQ(status, 0);
  const std::string out = dir.Folder() + "out/";
  const std::string command =
      std::string(NABIK_BINARY_DIR) + "/nabik --sea 0 --dem-format COG --mapserver 8 -o '" + out +
      "list.txt' '" + in + "mixed.zip' '" + kSamples + "FG-GML-3926-76-DEM10B.zip' 2>&1";
  const std::string said = RunCommand(command, &status);
  EXPECT_EQ(status, 0) << said;
  EXPECT_NE(said.find("files converted: 1,"), std::string::npos) << said;
  EXPECT_NE(said.find("DEM files read: 3, elevation rasters and mosaics written: 4"),
            std::string::npos)
      << said;
  EXPECT_TRUE(fs::exists(out + "RailCL.shp"));
  for (const std::string name : {"dem5m-5238.tif", "dem10m-3926.tif"}) {
    const std::string check = RunCommand(
        "/usr/bin/python3 /usr/lib/python3/dist-packages/osgeo_utils/samples/"
        "validate_cloud_optimized_geotiff.py '" +
            out + name + "' 2>&1",
        &status);
    EXPECT_EQ(status, 0) << check;
    EXPECT_NE(check.find("is a valid cloud optimized GeoTIFF"), std::string::npos) << check;
  }
  Raster tif(out + "dem5m-5238.tif");
  const auto [row, col] = FivePlace("52386200");
  EXPECT_EQ(tif.Read(col, row, 3, 1), (std::vector<float>{0, kDemNoData, 4.5f}));
  Raster vrt(out + "dem10m.vrt");
  EXPECT_TRUE(vrt.ds);

  // The MapServer 8 export draws the 5 m mosaic as a raster layer under the vector layers,
  // its cells without a value transparent.
  const std::string map = out + "mapserver8/list.map";
  const std::string mapText = ReadFile(map);
  EXPECT_LT(mapText.find("NAME \"dem10m\""), mapText.find("NAME \"dem5m\""));
  EXPECT_LT(mapText.find("NAME \"dem5m\""), mapText.find("NAME \"RailCL\""));
  EXPECT_NE(ReadFile(out + "mapserver8/htdocs/index.html").find("name: \"dem5m\""),
            std::string::npos);
  if (testing_support::HaveProgram("map2img")) {
    const MeshBox box = BoxOf("52387400");
    const std::string image = dir.Folder() + "map.png";
    char extent[128];
    std::snprintf(extent, sizeof extent, "%.6f %.6f %.6f %.6f", box.west - 0.0125, box.south,
                  box.east + 0.0125, box.north);
    const std::string drawn =
        RunCommand("MAPSERVER_CONFIG_FILE='" + out + "mapserver8/mapserver.conf' map2img -m '" +
                       map + "' -l dem5m -s 300 100 -e " + extent + " -o '" + image + "' 2>&1",
                   &status);
    ASSERT_EQ(status, 0) << drawn;
    Raster picture(image);
    ASSERT_TRUE(picture.ds) << drawn;
    // Grey where the mesh is (the middle third), nothing drawn beside it.
    const std::vector<float> mesh = picture.Read(150, 50, 1, 1),
                             beside = picture.Read(20, 50, 1, 1);
    EXPECT_LT(mesh[0], 250.0f);
    EXPECT_EQ(beside[0], 255.0f);
  }

  // A faulty DEM file ends the run with its name and line, and leaves no raster.
  const std::string bad = dir.Folder() + "bad/";
  fs::create_directories(bad);
  DemDraft faulty;
  faulty.tuples = {"地表面,1", "山頂,2"};
  const std::string path = WriteDem(bad, faulty);
  const std::string failed = RunCommand(
      std::string(NABIK_BINARY_DIR) + "/nabik -o '" + bad + "out/list.txt' '" + path + "' 2>&1",
      &status);
  EXPECT_EQ(status, 1) << failed;
  EXPECT_NE(failed.find(path + ":17: unknown kind of cell"), std::string::npos) << failed;
  for (const auto& item : fs::directory_iterator(bad + "out"))
    EXPECT_EQ(item.path().filename().string().find("dem"), std::string::npos) << item.path();

  // So does a raster the disk refuses (a file-size limit below the raster's size, above the
  // scratch file's): one message, nothing half-written left.
  const std::string full = dir.Folder() + "full/";
  {
    const testing_support::FileSizeLimit limit(150 << 10);
    const std::string said =
        RunCommand(std::string(NABIK_BINARY_DIR) + "/nabik -q -o '" + full + "list.txt' '" +
                       kSamples + "FG-GML-5238-74-00-DEM5A-20161001.xml' 2>&1",
                   &status);
    EXPECT_EQ(status, 1) << said;
    EXPECT_NE(said.find("Cannot write " + full + "dem5m-5238.tif.part"), std::string::npos) << said;
    EXPECT_EQ(said.find("ERROR 1"), std::string::npos) << said;
  }
  for (const auto& item : fs::directory_iterator(full))
    EXPECT_EQ(item.path().filename().string().find("dem"), std::string::npos) << item.path();
}

// ---------------------------------------------------------------------------------------------
// The relief under the preview's layers.

TEST(DemRelief, SlopesFacingTheLightAreBrighterAndCellsWithoutValueTransparent) {
  ScratchDir dir;
  // Two meshes side by side: the west one rising to the south-east (facing the north-west
  // light), the east one rising to the north-west (facing away); the east one's last rows have
  // no value.
  std::vector<std::string> files;
  for (const bool facing : {true, false}) {
    DemDraft draft;
    draft.mesh = facing ? "53394500" : "53394501";
    for (int r = 0; r < 150; ++r)
      for (int c = 0; c < 225; ++c)
        draft.tuples.push_back("地表面," + std::to_string(facing ? 100 + c + r : 1000 - c - r) +
                               ".0");
    if (!facing) draft.tuples.resize(225 * 100);
    files.push_back(WriteDem(dir.Folder(), draft));
  }
  Mosaic(dir.Folder(), files);
  std::string mosaic;
  tmapbox box;
  ASSERT_TRUE(FindRelief(dir.Folder(), mosaic, box));
  EXPECT_EQ(mosaic, dir.Folder() + "dem5m.vrt");
  const MeshBox west = BoxOf("53394500"), east = BoxOf("53394501");
  // To within one step of the grid it is sought on (36 cells of the 36000 x 24000 mosaic).
  const double step = 36 / 18000.0;
  EXPECT_NEAR(box.MinX, west.west, step);
  EXPECT_NEAR(box.MaxX, east.east, step);
  EXPECT_NEAR(box.MinY, west.south, step);
  EXPECT_NEAR(box.MaxY, west.north, step);

  tmapview view;
  view.Width = 400;
  view.Height = 200;
  view.CenterX = west.east;
  view.CenterY = (west.south + west.north) / 2;
  view.PixelsPerDegree = 200 / (west.north - west.south);  // the meshes fill the picture
  const std::vector<uint32_t> pixels = ShadeRelief(mosaic, view);
  ASSERT_EQ(pixels.size(), 400u * 200u);
  auto grey = [&](int x, int y) { return static_cast<int>(pixels[y * 400 + x] & 0xFF); };
  auto alpha = [&](int x, int y) { return static_cast<int>(pixels[y * 400 + x] >> 24); };
  EXPECT_EQ(alpha(100, 50), 255);
  EXPECT_EQ(alpha(300, 50), 255);
  EXPECT_GT(grey(100, 50), grey(300, 50) + 40);
  EXPECT_EQ(alpha(300, 180), 0);  // the east mesh's rows without values
  EXPECT_EQ(pixels[180 * 400 + 300], 0u);

  // --render draws it for a folder that holds only the mosaic.
  if (!NABIK_HAVE_RENDER) GTEST_SKIP() << "built without the windows: no --render";
  int status = -1;
  const std::string png = dir.Folder() + "relief.png";
  const std::string said = RunCommand(std::string(NABIK_BINARY_DIR) + "/nabik --render '" + png +
                                          "' --size 400x200 '" + dir.Folder() + "' 2>&1",
                                      &status);
  ASSERT_EQ(status, 0) << said;
  Raster picture(png);
  ASSERT_TRUE(picture.ds);
  const std::vector<float> left = picture.Read(100, 100, 1, 1), right = picture.Read(300, 60, 1, 1);
  EXPECT_GT(left[0], right[0]);
  EXPECT_LT(left[0], 255.0f);
}
