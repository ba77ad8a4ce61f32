// The target CRS, the plane-rectangular zones and the vertex transformer, against PROJ's own
// definitions and against GDAL's tools run on the program's own latitude/longitude output.
#include <gdal.h>
#include <geodesic.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_spatialref.h>
#include <shapefil.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "crs/target.h"
#include "crs/transform.h"
#include "crs/zones.h"
#include "support/test_support.h"

namespace {

using namespace crs;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::Sample;
using testing_support::ScratchDir;

ttargetcrs Target(const std::string& text) {
  std::string error;
  auto target = ttargetcrs::Parse(text, error);
  if (!target) throw std::runtime_error(error);
  return *target;
}

// Every shape of a shape file: its vertices and part starts.
struct tshape {
  std::vector<double> X, Y;
  std::vector<int> Parts;
};

std::vector<tshape> ReadShapes(const std::string& path) {
  std::vector<tshape> shapes;
  SHPHandle shp = SHPOpen(path.c_str(), "rb");
  if (shp == nullptr) return shapes;
  int count = 0;
  SHPGetInfo(shp, &count, nullptr, nullptr, nullptr);
  for (int i = 0; i < count; ++i) {
    SHPObject* o = SHPReadObject(shp, i);
    tshape s;
    s.X.assign(o->padfX, o->padfX + o->nVertices);
    s.Y.assign(o->padfY, o->padfY + o->nVertices);
    s.Parts.assign(o->panPartStart, o->panPartStart + o->nParts);
    if (s.Parts.empty()) s.Parts.push_back(0);
    s.Parts.push_back(o->nVertices);
    SHPDestroyObject(o);
    shapes.push_back(std::move(s));
  }
  SHPClose(shp);
  return shapes;
}

// Converts one sample through the program into latitude/longitude shape files in `out`.
void Convert(const std::string& sample, const std::string& out) {
  int status = -1;
  RunCommand(std::string(NABIK_BINARY_DIR) + "/nabik -q -o '" + out + "list.txt' '" +
                 Sample(sample) + "' 2>&1",
             &status);
  ASSERT_EQ(status, 0) << sample;
}

// The ellipsoid of JGD2000 and JGD2011.
const geod_geodesic kGrs80 = [] {
  geod_geodesic g;
  geod_init(&g, 6378137, 1 / 298.257222101);
  return g;
}();

TEST(PlaneZones, TableAgreesWithEpsgAndOriginsMapToZero) {
  ASSERT_EQ(PlaneZones().size(), 19u);
  EXPECT_EQ(PlaneZone(0), nullptr);
  EXPECT_EQ(PlaneZone(20), nullptr);
  for (const tplanezone& zone : PlaneZones()) {
    SCOPED_TRACE(zone.Roman);
    EXPECT_EQ(PlaneZone(zone.Number), &zone);
    EXPECT_EQ(zone.EpsgJgd2011, 6668 + zone.Number);
    EXPECT_EQ(zone.EpsgJgd2000, 2442 + zone.Number);
    EXPECT_GT(std::string(zone.Regions).size(), 6u);
    for (bool jgd2000 : {false, true}) {
      const ttargetcrs target = Target(PlaneZoneCrs(zone, jgd2000));
      EXPECT_EQ(target.Name(), std::string(jgd2000 ? "JGD2000" : "JGD2011") +
                                   " / Japan Plane Rectangular CS " + zone.Roman);
      EXPECT_FALSE(target.Geographic());
      EXPECT_EQ(target.MetresPerUnit(), 1.0);
      // The origin, and a point 0.1 degree north on the central meridian, in the zone's datum.
      tvertextransformer transformer(target);
      double x[] = {zone.OriginLongitude, zone.OriginLongitude};
      double y[] = {zone.OriginLatitude, zone.OriginLatitude + 0.1};
      ASSERT_EQ(transformer.Transform(jgd2000 ? kEpsgJgd2000 : kEpsgJgd2011, x, y, 2), 0u);
      EXPECT_NEAR(x[0], 0, 1e-6);
      EXPECT_NEAR(y[0], 0, 1e-6);
      EXPECT_NEAR(x[1], 0, 1e-6);
      // Along the central meridian the zone's northing is the meridian's length scaled by 0.9999.
      double metres = 0;
      geod_inverse(&kGrs80, zone.OriginLatitude, zone.OriginLongitude, zone.OriginLatitude + 0.1,
                   zone.OriginLongitude, &metres, nullptr, nullptr);
      EXPECT_NEAR(y[1], 0.9999 * metres, 1e-4);
    }
  }
  EXPECT_EQ(PlaneZoneChoice(0), "データの測地系のまま（緯度経度）");
  EXPECT_EQ(PlaneZoneChoice(9).rfind("第IX系 (EPSG:6677) 東京都", 0), 0u);
  EXPECT_EQ(PlaneZoneChoice(kPlaneZoneChoices), "");
}

// Every prefecture EPSG names in a zone's area of use is among the regions of our table's zone.
TEST(PlaneZones, RegionsNameThePrefecturesEpsgNames) {
  const std::map<std::string, std::string> kanji = {
      {"Nagasaki-ken", "長崎県"},  {"Kagoshima-ken", "鹿児島県"}, {"Fukuoka-ken", "福岡県"},
      {"Saga-ken", "佐賀県"},      {"Kumamoto-ken", "熊本県"},    {"Oita-ken", "大分県"},
      {"Miyazaki-ken", "宮崎県"},  {"Yamaguchi-ken", "山口県"},   {"Shimane-ken", "島根県"},
      {"Hiroshima-ken", "広島県"}, {"Kagawa-ken", "香川県"},      {"Ehime-ken", "愛媛県"},
      {"Tokushima-ken", "徳島県"}, {"Kochi-ken", "高知県"},       {"Hyogo-ken", "兵庫県"},
      {"Tottori-ken", "鳥取県"},   {"Okayama-ken", "岡山県"},     {"Kyoto-fu", "京都府"},
      {"Osaka-fu", "大阪府"},      {"Fukui-ken", "福井県"},       {"Shiga-ken", "滋賀県"},
      {"Mie-ken", "三重県"},       {"Nara-ken", "奈良県"},        {"Wakayama-ken", "和歌山県"},
      {"Ishikawa-ken", "石川県"},  {"Toyama-ken", "富山県"},      {"Gifu-ken", "岐阜県"},
      {"Aichi-ken", "愛知県"},     {"Niigata-ken", "新潟県"},     {"Nagano-ken", "長野県"},
      {"Yamanashi-ken", "山梨県"}, {"Shizuoka-ken", "静岡県"},    {"Tokyo-to", "東京都"},
      {"Aomori-ken", "青森県"},    {"Akita-ken", "秋田県"},       {"Yamagata-ken", "山形県"},
      {"Iwate-ken", "岩手県"},     {"Miyagi-ken", "宮城県"},      {"Okinawa-ken", "沖縄県"},
  };
  const std::regex prefecture("[A-Z][a-z]+-(ken|fu|to)\\b");
  size_t named = 0;
  for (const tplanezone& zone : PlaneZones()) {
    SCOPED_TRACE(zone.Roman);
    const std::string area = Target(PlaneZoneCrs(zone)).AreaName();
    for (std::sregex_iterator m(area.begin(), area.end(), prefecture), end; m != end; ++m) {
      const auto found = kanji.find(m->str());
      ASSERT_NE(found, kanji.end()) << m->str();
      EXPECT_NE(std::string(zone.Regions).find(found->second), std::string::npos) << m->str();
      ++named;
    }
  }
  EXPECT_GE(named, kanji.size());
}

TEST(TargetCrs, TakesWhatProjKnowsAndRejectsTheRest) {
  struct tcase {
    std::string text;
    bool accepted;
    int epsg;  // 0: none of EPSG's
    bool geographic;
    double metresPerUnit;
  };
  const std::vector<tcase> cases = {
      {"EPSG:6677", true, 6677, false, 1},
      {"  EPSG:6668\n", true, 6668, true, 0},
      {"EPSG:2451", true, 2451, false, 1},
      {"6677", true, 6677, false, 1},
      {"jgd2011 / Japan Plane Rectangular CS IX", true, 6677, false, 1},  // its name
      {"foo", false, 0, false, 0},  // PROJ's nearest name would be Amersfoort
      {"EPSG:6677+6695", true, 0, false, 1},
      {"+proj=tmerc +lat_0=36 +lon_0=139.8333333333 +k=0.9999 +ellps=GRS80 +vunits=m", true, 0,
       false, 1},  // with heights: its .prj is of its X and Y  // zone IX with heights: X and Y
                   // from zone IX
      {"+proj=utm +zone=54 +ellps=GRS80 +units=m +no_defs", true, 0, false, 1},
      {"+proj=tmerc +lat_0=36 +lon_0=139.8333333333 +k=0.9999 +ellps=GRS80 +units=us-ft", true, 0,
       false, 1200.0 / 3937},
      {Target("EPSG:6670").EsriWkt(), true, 0, false, 1},
      {Target("EPSG:6670").Wkt2(), true, 6670, false, 1},
      {"+proj=merc +lon_0=0", true, 0, false, 1},  // a PROJ string is taken as its CRS
      {"EPSG:999999", false, 0, false, 0},
      {"not a crs", false, 0, false, 0},
      {"", false, 0, false, 0},
      {"EPSG:4978", false, 0, false, 0},  // geocentric
      {"EPSG:6695", false, 0, false, 0},  // heights only
      {"+proj=unitconvert +xy_in=deg +type=crs", false, 0, false, 0},
  };
  for (const tcase& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto target = ttargetcrs::Parse(c.text, error);
    ASSERT_EQ(target.has_value(), c.accepted) << error;
    if (!c.accepted) {
      EXPECT_NE(error, "");
      continue;
    }
    EXPECT_EQ(target->Epsg(), c.epsg);
    EXPECT_EQ(target->GdalSrs(), c.epsg ? "EPSG:" + std::to_string(c.epsg) : target->Wkt2());
    EXPECT_EQ(target->Geographic(), c.geographic);
    EXPECT_NEAR(target->MetresPerUnit(), c.metresPerUnit, 1e-12);
    EXPECT_EQ(target->EsriWkt().find('\n'), std::string::npos);
    // Its PROJ string is the same CRS to PROJ: it puts a point at the same place.
    if (target->ProjString().empty()) continue;
    double x[] = {139.7, 139.7}, y[] = {35.7, 35.7};
    tvertextransformer(*target).Transform(kEpsgJgd2011, x, y, 1);
    tvertextransformer(Target(target->ProjString())).Transform(kEpsgJgd2011, x + 1, y + 1, 1);
    EXPECT_NEAR(x[0], x[1], 1e-6);
    EXPECT_NEAR(y[0], y[1], 1e-6);
  }
}

// The .prj text is what GDAL reads back as the same EPSG CRS.
TEST(TargetCrs, PrjTextIsReadByGdalAsTheSameCrs) {
  if (!testing_support::HaveProgram("gdalsrsinfo")) GTEST_SKIP() << "gdalsrsinfo is missing";
  ScratchDir dir;
  for (int epsg : {6669, 6677, 6687, 2443, 2451, 6668, 4612, 4326, 3857}) {
    const std::string prj = dir.Folder() + std::to_string(epsg) + ".prj";
    testing_support::WriteFile(prj, Target("EPSG:" + std::to_string(epsg)).EsriWkt() + "\r\n");
    EXPECT_EQ(RunCommand("gdalsrsinfo -o epsg '" + prj + "' | tr -d ' \\n'"),
              "EPSG:" + std::to_string(epsg));
  }
}

// Our latitude/longitude output of real samples, transformed here and by ogr2ogr: every vertex
// within 1 mm. In the metres of their own zone, the rings' areas are within 0.1 % of their
// geodesic areas on the GRS 1980 ellipsoid.
TEST(VertexTransformer, AgreesWithOgr2ogrAndGeodesicAreasOnConvertedSamples) {
  if (!testing_support::HaveProgram("ogr2ogr")) GTEST_SKIP() << "ogr2ogr is missing";
  struct tcase {
    std::string sample;
    const char* layer;
    int sourceEpsg;
    const char* target;
    bool areas;  // the target is the data's own zone: compare areas too
  };
  const std::string mesh = "gml/FG-GML-503041-ALL-20181001/FG-GML-503041-";    // Fukuoka, zone II
  const std::string rail2000 = "gml/FG-GML-13-RailCL25000-20080331-0001.xml";  // Tokyo, JGD2000
  const std::vector<tcase> cases = {
      {mesh + "BldA-20181001-0001.xml", "BldA", kEpsgJgd2011, "EPSG:6677", false},
      {mesh + "BldA-20181001-0001.xml", "BldA", kEpsgJgd2011, "EPSG:6670", true},
      {mesh + "WA-20181001-0001.xml", "WA", kEpsgJgd2011, "EPSG:6670", true},
      {mesh + "RdEdg-20181001-0001.xml", "RdEdg", kEpsgJgd2011, "EPSG:6670", false},
      {"jpgis/FG-JPS-13112-BldA-20111221-0006-holes-excerpt.xml", "BldA", kEpsgJgd2011, "EPSG:6677",
       true},
      {"jpgis/FG-JPS-13112-CommPt-20111221-0001.xml", "CommPt", kEpsgJgd2011, "EPSG:6677", false},
      {rail2000, "RailCL", kEpsgJgd2000, "EPSG:6677", false},
      {rail2000, "RailCL", kEpsgJgd2000, "EPSG:2451", false},
  };
  for (const tcase& c : cases) {
    SCOPED_TRACE(c.sample + " to " + c.target);
    ScratchDir dir;
    ASSERT_NO_FATAL_FAILURE(Convert(c.sample, dir.Folder()));
    const std::string ours = dir.Folder() + c.layer + ".shp";
    const std::string peer = dir.Folder() + "peer.shp";
    int status = -1;
    RunCommand("ogr2ogr -s_srs EPSG:" + std::to_string(c.sourceEpsg) + " -t_srs " + c.target +
                   " '" + peer + "' '" + ours + "' 2>&1",
               &status);
    ASSERT_EQ(status, 0);
    std::vector<tshape> shapes = ReadShapes(ours);
    const std::vector<tshape> expected = ReadShapes(peer);
    ASSERT_GT(shapes.size(), 0u);
    ASSERT_EQ(shapes.size(), expected.size());
    // All vertices of the layer in one batch, as a reader hands over a block.
    std::vector<double> x, y;
    for (const tshape& s : shapes) {
      x.insert(x.end(), s.X.begin(), s.X.end());
      y.insert(y.end(), s.Y.begin(), s.Y.end());
    }
    if (c.sample == mesh + "BldA-20181001-0001.xml") {  // every vertex lies in the file's square
      const tcrsbox box = *MeshBox("503041");
      EXPECT_GE(*std::min_element(x.begin(), x.end()), box.MinX - 1e-9);
      EXPECT_LE(*std::max_element(x.begin(), x.end()), box.MaxX + 1e-9);
      EXPECT_GE(*std::min_element(y.begin(), y.end()), box.MinY - 1e-9);
      EXPECT_LE(*std::max_element(y.begin(), y.end()), box.MaxY + 1e-9);
    }
    tvertextransformer transformer(Target(c.target));
    ASSERT_EQ(transformer.Transform(c.sourceEpsg, x.data(), y.data(), x.size()), 0u);
    size_t next = 0, compared = 0, rings = 0;
    double worst = 0, worstArea = 0;
    for (size_t i = 0; i < shapes.size(); ++i) {
      tshape& s = shapes[i];  // the geodesic functions take no const arrays
      const tshape& e = expected[i];
      ASSERT_EQ(s.Parts, e.Parts) << "shape " << i;
      for (size_t p = 0; p + 1 < e.Parts.size(); ++p) {
        const int begin = e.Parts[p], end = e.Parts[p + 1];
        // GDAL may write a ring the other way round; its vertices are the same.
        auto deviation = [&](bool reversed) {
          double most = 0;
          for (int v = begin; v < end; ++v) {
            const int w = reversed ? end - 1 - (v - begin) : v;
            most = std::max(most, std::hypot(x[next + v] - e.X[w], y[next + v] - e.Y[w]));
          }
          return most;
        };
        worst = std::max(worst, std::min(deviation(false), deviation(true)));
        compared += end - begin;
        if (!c.areas) continue;
        double geodesic = 0;
        geod_polygonarea(&kGrs80, &s.Y[begin], &s.X[begin], end - begin, &geodesic, nullptr);
        ASSERT_GT(std::abs(geodesic), 1.0);
        // Same sign too: the transformation keeps each ring's sense.
        const double plane = RingArea2(&x[next + begin], &y[next + begin], end - begin) / 2;
        worstArea = std::max(worstArea, std::abs(plane / geodesic - 1));
        ++rings;
      }
      next += s.X.size();
    }
    EXPECT_LE(worst, 0.001) << compared << " vertices";
    EXPECT_EQ(compared, x.size());
    EXPECT_LE(worstArea, 0.001) << rings << " rings";
    EXPECT_EQ(rings > 4, c.areas);
    if (c.sourceEpsg == kEpsgJgd2000) {  // through JGD2011 only to a zone on JGD2011
      const std::string used = transformer.OperationName(c.sourceEpsg);
      EXPECT_EQ(used.find("JGD2000 to JGD2011") != std::string::npos,
                std::string(c.target) == "EPSG:6677")
          << used;
    }
  }
}

TEST(VertexTransformer, TargetsThatCannotHoldTheDataAreFound) {
  const tcrsbox fukuoka = *MeshBox("503041"), tokyo = *MeshBox("533945");
  // Whether PROJ here lacks the grid of JGD2000 to JGD2011 in the regions the 2011 earthquake
  // moved, as its own tool reports it.
  const bool gridMissing =
      RunCommand("projinfo -s EPSG:4612 -t EPSG:6668 --spatial-test intersects --summary")
          .find("grid missing") != std::string::npos;
  const std::string tokyoGrid = gridMissing ? "touhokutaiheiyouoki2011.gsb is not installed" : "";
  struct tcase {
    const char* what;
    std::string target;
    int source;
    tcrsbox box;
    bool holds;
    std::string error;  // part of the error text
    std::string note;   // part of the warnings; "": none
  };
  const std::vector<tcase> cases = {
      {"far side of the earth", "+proj=ortho +lat_0=-36 +lon_0=-40 +ellps=GRS80", kEpsgJgd2011,
       fukuoka, false, "fails on every point", ""},
      {"horizon at 140 degrees east",
       "+proj=ortho +lat_0=0 +lon_0=50 +ellps=GRS80",
       kEpsgJgd2011,
       {130, 30, 150, 40},
       false,
       "fails on",
       ""},
      {"no transformation to another body", "IAU_2015:49900", kEpsgJgd2011, tokyo, false,
       "no transformation", ""},
      {"zone IX over Tokyo", "EPSG:6677", kEpsgJgd2011, tokyo, true, "", ""},
      {"zone IX over Tokyo from JGD2000", "EPSG:6677", kEpsgJgd2000, tokyo, true, "", tokyoGrid},
      {"zone II over Fukuoka from JGD2000", "EPSG:6670", kEpsgJgd2000, fukuoka, true, "", ""},
      {"zone IX over Fukuoka", "EPSG:6677", kEpsgJgd2011, fukuoka, true, "", "outside the area"},
      {"JGD2011 lon/lat", "EPSG:6668", kEpsgJgd2011, fukuoka, true, "", ""},
      {"Bessel without datum shift", "+proj=tmerc +lon_0=139.8333 +k=0.9999 +ellps=bessel",
       kEpsgJgd2011, tokyo, true, "", "ignores the difference of their datums"},
  };
  for (const tcase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    const auto target = ttargetcrs::Parse(c.target, error);
    ASSERT_TRUE(target) << error;
    const ttargetcheck check = CheckTargetHolds(*target, c.source, c.box);
    EXPECT_EQ(check.Holds, c.holds) << check.Error;
    EXPECT_NE(check.Error.find(c.error), std::string::npos) << check.Error;
    if (c.holds) {
      EXPECT_EQ(check.Error, "");
      EXPECT_EQ(check.Note.empty(), c.note.empty()) << check.Note;
      EXPECT_NE(check.Note.find(c.note), std::string::npos) << check.Note;
      EXPECT_LT(check.Box.MinX, check.Box.MaxX);
      EXPECT_LT(check.Box.MinY, check.Box.MaxY);
    }
  }
  // The vertices PROJ fails on are counted and left at HUGE_VAL; the others are transformed.
  tvertextransformer horizon(Target("+proj=ortho +lat_0=0 +lon_0=50 +ellps=GRS80"));
  double x[] = {135, 145, 139}, y[] = {35, 35, 36};
  EXPECT_EQ(horizon.Transform(kEpsgJgd2011, x, y, 3), 1u);
  EXPECT_TRUE(std::isfinite(x[0]) && std::isfinite(y[0]) && std::isfinite(x[2]));
  EXPECT_EQ(x[1], HUGE_VAL);
}

TEST(VertexTransformer, RingsKeepOrAreToldToChangeTheirSense) {
  struct tcase {
    const char* target;
    bool mirrors;
  };
  const std::vector<tcase> cases = {
      {"EPSG:6677", false},
      {"EPSG:6668", false},
      {"+proj=tmerc +lat_0=36 +lon_0=139.8333333333 +k=0.9999 +ellps=GRS80 +axis=wnu", true},
      {"+proj=tmerc +lat_0=36 +lon_0=139.8333333333 +k=0.9999 +ellps=GRS80 +axis=wsu", false},
  };
  for (const tcase& c : cases) {
    SCOPED_TRACE(c.target);
    // A square counter-clockwise in longitude and latitude, closed.
    double x[] = {139.70, 139.71, 139.71, 139.70, 139.70},
           y[] = {35.60, 35.60, 35.61, 35.61, 35.60};
    ASSERT_FALSE(MustReverseRing(x, y, 5, twinding::CounterClockwise));
    ASSERT_TRUE(MustReverseRing(x, y, 5, twinding::Clockwise));
    tvertextransformer transformer(Target(c.target));
    ASSERT_EQ(transformer.Transform(kEpsgJgd2011, x, y, 5), 0u);
    EXPECT_EQ(MustReverseRing(x, y, 5, twinding::CounterClockwise), c.mirrors);
    EXPECT_EQ(MustReverseRing(x, y, 5, twinding::Clockwise), !c.mirrors);
  }
  double line[] = {1, 2, 3}, flat[] = {1, 1, 1};
  EXPECT_FALSE(MustReverseRing(line, flat, 3, twinding::Clockwise));
  EXPECT_FALSE(MustReverseRing(line, flat, 3, twinding::CounterClockwise));
}

TEST(MeshBox, ReadsTheGridSquaresOfFileNames) {
  struct tcase {
    const char* code;
    bool valid;
    tcrsbox box;
  };
  const std::vector<tcase> cases = {
      {"5339", true, {139, 35 + 1 / 3.0, 140, 36}},
      {"503041", true, {130.125, 33 + 2 / 3.0, 130.25, 33.75}},
      {"5030-41", true, {130.125, 33 + 2 / 3.0, 130.25, 33.75}},
      {"5235-37-59", true, {8159.25 / 60, 2097.5 / 60, 136, 2098 / 60.0}},
      {"52353759", true, {8159.25 / 60, 2097.5 / 60, 136, 2098 / 60.0}},
      {"503081", false, {}},
      {"50304", false, {}},
      {"5030a1", false, {}},
      {"", false, {}},
  };
  for (const tcase& c : cases) {
    SCOPED_TRACE(c.code);
    const auto box = MeshBox(c.code);
    ASSERT_EQ(box.has_value(), c.valid);
    if (!c.valid) continue;
    EXPECT_NEAR(box->MinX, c.box.MinX, 1e-12);
    EXPECT_NEAR(box->MinY, c.box.MinY, 1e-12);
    EXPECT_NEAR(box->MaxX, c.box.MaxX, 1e-12);
    EXPECT_NEAR(box->MaxY, c.box.MaxY, 1e-12);
  }
}

// ---------------------------------------------------------------------------------------------
// Runs with a target CRS, through the batch program

const std::string kNabik = std::string(NABIK_BINARY_DIR) + "/nabik";

// A JGD2011 GML mesh and a JGD2000 JPGIS archive in one run (出典：国土地理院 基盤地図情報).
const std::string kMixedInputs = "'" + Sample("gml/FG-GML-503060-ALL-20170401.zip") + "' '" +
                                 Sample("jpgis/FG-JPS-13112-05-Z001.zip") + "'";

int RunNabik(const std::string& options, const std::string& folder, const std::string& inputs,
             std::string& said) {
  int status = -1;
  said = RunCommand(
      kNabik + " -q --mapserver 8 " + options + " -o '" + folder + "list.txt' " + inputs + " 2>&1",
      &status);
  return status;
}

// The ink of the MapServer 8 export's map drawn by map2img; -1 when it said anything.
long MapInk(const std::string& folder) {
  int status = -1;
  const std::string png = folder + "map.png";
  const std::string said =
      RunCommand("MAPSERVER_CONFIG_FILE=" + folder + "mapserver8/mapserver.conf map2img -m " +
                     folder + "mapserver8/list.map -s 400 300 -o " + png + " 2>&1",
                 &status);
  if (status != 0 || !said.empty()) return -1;
  GDALDatasetH image = GDALOpen(png.c_str(), GA_ReadOnly);
  if (!image) return -1;
  const int w = GDALGetRasterXSize(image), h = GDALGetRasterYSize(image);
  std::vector<uint8_t> grey(static_cast<size_t>(w) * h);
  long ink = -1;
  if (GDALRasterIO(GDALGetRasterBand(image, 1), GF_Read, 0, 0, w, h, grey.data(), w, h, GDT_Byte, 0,
                   0) == CE_None)
    ink = std::count_if(grey.begin(), grey.end(), [](uint8_t v) { return v != 255; });
  GDALClose(image);
  return ink;
}

// Every shapefile set in the target CRS holds the vertices ogr2ogr gives for the set of the run
// without one (within 1 mm, JGD2000 and JGD2011 files in one run), each ring in the sense it
// had, the same records byte for byte and the target's .prj; a GeoPackage of the same run
// carries the target's SRS; MapServer draws the run as it draws the latitude and longitude.
TEST(TargetRun, EveryOutputLiesWhereOgr2ogrPutsIt) {
  if (!testing_support::HaveProgram("ogr2ogr")) GTEST_SKIP() << "ogr2ogr is missing";
  GDALAllRegister();
  ScratchDir plain;
  std::string said;
  ASSERT_EQ(RunNabik("", plain.Folder(), kMixedInputs, said), 0) << said;
  struct tcase {
    const char* target;
    const char* format;
  };
  const std::vector<tcase> cases = {
      {"EPSG:6677", "shp"},
      {"+proj=tmerc +lat_0=36 +lon_0=139.8333333333 +k=0.9999 +ellps=GRS80 +axis=wnu", "shp"},
      {"EPSG:6670", "GPKG"},
  };
  for (const tcase& c : cases) {
    SCOPED_TRACE(std::string(c.target) + " " + c.format);
    ScratchDir dir;
    ASSERT_EQ(RunNabik("--format " + std::string(c.format) + " --crs '" + c.target + "'",
                       dir.Folder(), kMixedInputs, said),
              0)
        << said;
    OGRSpatialReference target;
    ASSERT_EQ(target.SetFromUserInput(Target(c.target).GdalSrs().c_str()), OGRERR_NONE);
    int layers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(plain.Path())) {
      if (entry.path().extension() != ".shp") continue;
      const std::string name = entry.path().stem().string();
      SCOPED_TRACE(name);
      ++layers;
      const std::string peer = dir.Folder() + "peer-" + name + ".shp";
      int status = -1;
      RunCommand("ogr2ogr -t_srs '" + std::string(c.target) + "' '" + peer + "' '" +
                     entry.path().string() + "' 2>&1",
                 &status);
      ASSERT_EQ(status, 0);
      const std::vector<tshape> expected = ReadShapes(peer);
      if (std::string(c.format) == "GPKG") {
        GDALDatasetH ds = GDALOpenEx((dir.Folder() + "list.gpkg").c_str(), GDAL_OF_VECTOR, nullptr,
                                     nullptr, nullptr);
        ASSERT_NE(ds, nullptr);
        OGRLayerH layer = GDALDatasetGetLayerByName(ds, name.c_str());
        ASSERT_NE(layer, nullptr);
        const char* const ignoreMapping[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", nullptr};
        EXPECT_TRUE(target.IsSame(OGRSpatialReference::FromHandle(OGR_L_GetSpatialRef(layer)),
                                  ignoreMapping));
        EXPECT_EQ(OGR_L_GetFeatureCount(layer, TRUE), static_cast<GIntBig>(expected.size()));
        OGREnvelope ours, theirs;
        ASSERT_EQ(OGR_L_GetExtent(layer, &ours, TRUE), OGRERR_NONE);
        GDALDatasetH p = GDALOpenEx(peer.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
        ASSERT_EQ(OGR_L_GetExtent(GDALDatasetGetLayer(p, 0), &theirs, TRUE), OGRERR_NONE);
        GDALClose(p);
        GDALClose(ds);
        for (auto [a, b] : {std::pair{ours.MinX, theirs.MinX},
                            {ours.MinY, theirs.MinY},
                            {ours.MaxX, theirs.MaxX},
                            {ours.MaxY, theirs.MaxY}})
          EXPECT_NEAR(a, b, 0.001);
        continue;
      }
      const std::string base = dir.Folder() + name;
      EXPECT_EQ(ReadFile(base + ".dbf"), ReadFile(entry.path().parent_path() / (name + ".dbf")));
      EXPECT_EQ(ReadFile(base + ".prj"), Target(c.target).EsriWkt() + "\r\n");
      const std::vector<tshape> ours = ReadShapes(base + ".shp");
      const std::vector<tshape> before = ReadShapes(entry.path().string());
      int type = 0;
      if (SHPHandle shp = SHPOpen(entry.path().c_str(), "rb")) {
        SHPGetInfo(shp, nullptr, &type, nullptr, nullptr);
        SHPClose(shp);
      }
      const bool polygons = type == SHPT_POLYGON;
      ASSERT_EQ(ours.size(), expected.size());
      double worst = 0;
      size_t senses = 0;
      for (size_t i = 0; i < ours.size(); ++i) {
        const tshape &s = ours[i], &e = expected[i], &b = before[i];
        ASSERT_EQ(s.Parts, b.Parts) << "shape " << i;
        for (size_t p = 0; p + 1 < s.Parts.size(); ++p) {
          const int from = s.Parts[p], to = s.Parts[p + 1];
          // ogr2ogr may write a ring the other way round; its vertices are the same.
          auto deviation = [&](bool reversed) {
            double most = 0;
            for (int v = from; v < to; ++v) {
              const int w = reversed ? to - 1 - (v - from) : v;
              most = std::max(most, std::hypot(s.X[v] - e.X[w], s.Y[v] - e.Y[w]));
            }
            return most;
          };
          ASSERT_EQ(e.Parts, s.Parts) << "shape " << i;
          worst = std::max(worst, std::min(deviation(false), deviation(true)));
          if (!polygons || to - from < 4) continue;  // a line keeps its direction as it is
          const double was = RingArea2(&b.X[from], &b.Y[from], to - from);
          const double is = RingArea2(&s.X[from], &s.Y[from], to - from);
          EXPECT_EQ(was > 0, is > 0) << "shape " << i << " ring " << p;
          ++senses;
        }
      }
      EXPECT_LE(worst, 0.001);
      if (name == "BldA") {
        EXPECT_GT(senses, 100u);
      }
    }
    EXPECT_GE(layers, 15);
    if (std::string(c.target) == "EPSG:6677" && testing_support::HaveProgram("map2img")) {
      const long want = MapInk(plain.Folder()), got = MapInk(dir.Folder());
      EXPECT_GT(want, 0);
      EXPECT_NEAR(got, want, want / 50);
      EXPECT_NE(ReadFile(dir.Folder() + "mapserver8/list.map").find("init=epsg:6677"),
                std::string::npos);
    }
  }
}

// A CRS PROJ does not know, or one that cannot hold the inputs, is a usage error before
// anything is written; where no input's name gives its square, only a CRS that holds none of
// Japan is refused.
TEST(TargetRun, RefusedBeforeAnythingIsWritten) {
  const std::string named = "'" + Sample("gml/FG-GML-503060-ALL-20170401.zip") + "'";
  const std::string unnamed = "'" + Sample("jpgis/FG-JPS-13112-05-Z001.zip") + "'";
  struct tcase {
    const char* target;
    std::string inputs;
    int status;
    const char* said;
  };
  const std::vector<tcase> cases = {
      {"EPSG:9999999", named, 2, "PROJ does not know the CRS 'EPSG:9999999'"},
      {"Tokyo Plane", named, 2, "PROJ does not know"},
      {"+proj=ortho +lat_0=-90 +lon_0=0", named, 2, "cannot hold the data"},
      {"+proj=ortho +lat_0=-90 +lon_0=0", unnamed, 2, "cannot hold the data"},
      {"+proj=ortho +lat_0=0 +lon_0=40.06", named, 2, "cannot hold all of the data"},
      {"+proj=ortho +lat_0=0 +lon_0=50", unnamed, 0, ""},
      {"EPSG:6677", named, 0, "outside the area of use"},
  };
  for (const tcase& c : cases) {
    SCOPED_TRACE(std::string(c.target) + " " + c.inputs);
    ScratchDir dir;
    const std::string out = dir.Folder() + "out/";
    std::string said;
    EXPECT_EQ(RunNabik("--crs '" + std::string(c.target) + "'", out, c.inputs, said), c.status)
        << said;
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_EQ(std::filesystem::exists(out), c.status == 0);
  }
}

// The driver hands the run's target to the elevation mosaics: the virtual mosaic is in the
// target with square 5 m cells, and the MapServer 8 export draws it in the target.
TEST(TargetRun, ElevationMosaicsAreWarpedIntoTheTarget) {
  ScratchDir dir;
  std::string said;
  ASSERT_EQ(RunNabik("--crs EPSG:6676", dir.Folder(),
                     "'" + std::string(NABIK_SOURCE_DIR) +
                         "/tests/data/dem/FG-GML-5238-74-00-DEM5A-20161001.xml'",
                     said),
            0)
      << said;
  GDALAllRegister();
  GDALDatasetH vrt = GDALOpen((dir.Folder() + "dem5m.vrt").c_str(), GA_ReadOnly);
  ASSERT_NE(vrt, nullptr);
  double transform[6] = {};
  ASSERT_EQ(GDALGetGeoTransform(vrt, transform), CE_None);
  EXPECT_EQ(transform[1], 5.0);
  EXPECT_EQ(transform[5], -5.0);
  EXPECT_STREQ(OSRGetAuthorityCode(GDALGetSpatialRef(vrt), nullptr), "6676");
  GDALClose(vrt);
  const std::string map = ReadFile(dir.Folder() + "mapserver8/list.map");
  const size_t raster = map.find("TYPE RASTER");
  ASSERT_NE(raster, std::string::npos);
  EXPECT_EQ(map.find("PROJECTION\n      \"init=epsg:6676\"", raster),
            map.find("PROJECTION", raster));
}

}  // namespace
