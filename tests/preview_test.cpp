// The preview's sets read back, its view and the search for the feature under a pixel.
#include "preview/preview.h"

#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <utility>

#include "preview/relief.h"
#include "support/test_support.h"

using testing_support::MakePreviewScene;
using testing_support::RunCommand;
using testing_support::Sample;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

class Preview : public ::testing::Test {
 protected:
  void SetUp() override {
    MakePreviewScene(dir_.Folder());
    set_ = LoadPreviewSet(dir_.Folder());
    view_.XScale = set_.XScale;
    view_.Width = 400;
    view_.Height = 300;
    FitView(view_, set_.Box);
  }
  void TearDown() override { LayerCatalog.clear(); }

  ScratchDir dir_;
  tpreviewset set_;
  tmapview view_;
};

TEST_F(Preview, SetsComeBackInCatalogOrderWithTheirShapes) {
  // A catalog entry without files and one whose shape file is not one are left out.
  LayerCatalog.insert(LayerCatalog.begin(), LayerCatalog[0]);
  LayerCatalog[0].Name = "Gone";
  LayerCatalog.push_back(LayerCatalog[0]);
  LayerCatalog.back().Name = "Junk";
  WriteFile(dir_.Path() / "Junk.shp", "not a shape file");
  const tpreviewset set = LoadPreviewSet(dir_.Folder());
  ASSERT_EQ(set.Layers.size(), 3u);
  const struct {
    const char* Name;
    const char* Title;
    tlayerclass Class;
    size_t Features, Parts;
  } expected[] = {{"Area", "面の層", tlayerclass::Polygon, 1, 2},
                  {"Road", "線の層", tlayerclass::Line, 2, 2},
                  {"Spot", "点の層", tlayerclass::Point, 2, 2}};
  for (size_t i = 0; i < 3; ++i) {
    const tpreviewlayer& layer = set.Layers[i];
    SCOPED_TRACE(layer.Name);
    EXPECT_EQ(layer.Name, expected[i].Name);
    EXPECT_EQ(layer.Title, expected[i].Title);
    EXPECT_EQ(layer.Class, expected[i].Class);
    EXPECT_EQ(layer.Features.size(), expected[i].Features);
    EXPECT_EQ(layer.PartStarts.size(), expected[i].Parts + 1);
  }
  EXPECT_EQ(set.Layers[2].Symbol, "square");
  EXPECT_EQ(set.Layers[1].Colour.G, 160);
  EXPECT_NEAR(set.Box.MinX, 130.00, 1e-9);
  EXPECT_NEAR(set.Box.MaxX, 130.12, 1e-9);
  EXPECT_NEAR(set.Box.MaxY, 33.10, 1e-9);
  EXPECT_NEAR(set.XScale, 0.8382, 1e-3);  // cos 33.05°
  // The draw order puts polygons under lines under points, whatever the catalog order.
  std::swap(set_.Layers[0], set_.Layers[2]);
  EXPECT_EQ(DrawOrder(set_), (std::vector<size_t>{2, 1, 0}));
}

TEST_F(Preview, ClickFindsTheTopmostFeatureUnderThePixel) {
  const struct {
    const char* What;
    double X, Y;
    double Dy;  // pixels below the point
    int Layer;
    int32_t Record;
  } clicks[] = {
      {"polygon inside", 130.02, 33.05, 0, 0, 0},
      {"polygon hole", 130.05, 33.05, 0, -1, -1},
      {"line within 3 px", 130.03, 33.08, 3, 1, 0},
      {"6 px off the line: the polygon", 130.03, 33.08, 6, 0, 0},
      {"other line on its own", 130.12, 33.05, -2, 1, 1},
      {"point over line and polygon", 130.05, 33.08, 1, 2, 0},
      {"point in the polygon", 130.02, 33.02, 2, 2, 1},
      {"outside everything", 130.11, 33.05, 0, -1, -1},
  };
  for (const auto& c : clicks) {
    SCOPED_TRACE(c.What);
    const tmaphit hit = IdentifyAt(set_, view_, ScreenX(view_, c.X), ScreenY(view_, c.Y) + c.Dy, 4);
    EXPECT_EQ(hit.Layer, c.Layer);
    EXPECT_EQ(hit.Record, c.Record);
    EXPECT_EQ(hit.Feature, c.Record) << "no shape is left out in the scene";
  }
  set_.Layers[2].Visible = false;
  const tmaphit under = IdentifyAt(set_, view_, ScreenX(view_, 130.05), ScreenY(view_, 33.08), 4);
  EXPECT_EQ(under.Layer, 1) << "a hidden layer is not found";

  const std::vector<tattrtext> texts = ReadRecordTexts(set_.Layers[0], 0);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].Header, "名称");
  EXPECT_EQ(texts[0].Value, "池の公園");
  EXPECT_EQ(ReadRecordTexts(set_.Layers[1], 1)[0].Value, "Road 1");
  EXPECT_TRUE(ReadRecordTexts(set_.Layers[1], 2).empty()) << "past the last record";
}

TEST_F(Preview, ZoomKeepsThePointUnderTheCursorAndFitShowsEverything) {
  const struct {
    double Sx, Sy, Factor;
  } zooms[] = {{0, 0, 2}, {399, 299, 0.5}, {123.5, 45, 1.5}, {200, 150, 10}, {17, 280, 0.01}};
  for (const auto& z : zooms) {
    tmapview view = view_;
    const double x = MapX(view, z.Sx), y = MapY(view, z.Sy);
    ZoomView(view, z.Sx, z.Sy, z.Factor);
    EXPECT_NEAR(ScreenX(view, x), z.Sx, 1e-6);
    EXPECT_NEAR(ScreenY(view, y), z.Sy, 1e-6);
    EXPECT_NEAR(view.PixelsPerDegree, view_.PixelsPerDegree * z.Factor, 1e-6);
  }
  for (const auto& [w, h] : {std::pair{400, 300}, std::pair{100, 700}, std::pair{1000, 50}}) {
    tmapview view = view_;
    view.Width = w, view.Height = h;
    ZoomView(view, 5, 5, 7);
    FitView(view, set_.Box, 10);
    const double left = ScreenX(view, set_.Box.MinX), right = ScreenX(view, set_.Box.MaxX);
    const double top = ScreenY(view, set_.Box.MaxY), bottom = ScreenY(view, set_.Box.MinY);
    EXPECT_TRUE(left >= 10 - 1e-6 && right <= w - 10 + 1e-6) << left << " " << right;
    EXPECT_TRUE(top >= 10 - 1e-6 && bottom <= h - 10 + 1e-6) << top << " " << bottom;
    EXPECT_TRUE(std::abs(right - left - (w - 20)) < 1e-6 ||
                std::abs(bottom - top - (h - 20)) < 1e-6)
        << "fills the tighter side";
  }
  tmapview point = view_;
  tmapbox one;
  one.Add(130.5, 33.5);
  FitView(point, one);
  EXPECT_NEAR(ScreenX(point, 130.5), 200, 1e-6);
  EXPECT_GT(point.PixelsPerDegree, 0);
  // A pixel of 1/96 inch showing a metre of ground: 1:3780.
  tmapview metre = view_;
  metre.PixelsPerDegree = 6378137.0 * M_PI / 180;
  EXPECT_NEAR(ScaleDenominator(metre, 96), 96 / 0.0254, 1e-6);
}

TEST(PreviewColour, CatalogColourTextBecomesThreeNumbersOrGrey) {
  const std::pair<const char*, std::vector<int>> rows[] = {
      {"255 250 205", {255, 250, 205}}, {"", {128, 128, 128}},     {"1 2", {128, 128, 128}},
      {"1 2 3 4", {128, 128, 128}},     {"300 -5 7", {255, 0, 7}}, {"red", {128, 128, 128}}};
  for (const auto& [text, rgb] : rows) {
    const tcolour c = ParseColour(text);
    EXPECT_EQ((std::vector<int>{c.R, c.G, c.B}), rgb) << text;
  }
}

// --- a converted folder in a projected CRS ---

namespace fs = std::filesystem;

// Setagaya's boundaries and points, and a 5 m elevation mesh, converted in latitude and longitude
// and put into JGD2011 / Japan Plane Rectangular CS IX (EPSG:6677) by ogr2ogr and gdalwarp, once
// for the tests below: lonlat/ and plane/, dem-lonlat/ and dem-plane/, and point-lonlat/ and
// point-plane/ with the one point of AdmPt only.
class ProjectedFolder : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    GDALAllRegister();
    dir_ = new ScratchDir;
    const std::string nabik = std::string(NABIK_BINARY_DIR) + "/nabik --quiet -o ";
    const std::string dem =
        std::string(NABIK_SOURCE_DIR) + "/tests/data/dem/FG-GML-5238-74-00-DEM5A-20161001.xml";
    fs::create_directory(Folder("dem-plane"));
    for (const std::string& command :
         {nabik + Folder("lonlat") + "list.txt " + Sample("jpgis/FG-JPS-13112-05-Z001.zip") + " " +
              Sample("jpgis/FG-JPS-13112-CommPt-20111221-0001.xml"),
          nabik + Folder("dem-lonlat") + "list.txt " + dem,
          "ogr2ogr -t_srs EPSG:6677 -lco ENCODING=CP932 " + Folder("plane") + " " +
              Folder("lonlat"),
          "gdalwarp -q -of VRT -t_srs EPSG:6677 -tr 5 5 -r bilinear " + Folder("dem-lonlat") +
              "dem5m.vrt " + Folder("dem-plane") + "dem5m.vrt"}) {
      int status = -1;
      const std::string said = RunCommand(command + " 2>&1", &status);
      if (status != 0) {
        failed_ = command + ": " + said;
        return;
      }
    }
    for (const char* crs : {"lonlat", "plane"}) {
      const std::string into = Folder("point-" + std::string(crs));
      fs::create_directory(into);
      for (const char* ext : {".shp", ".shx", ".dbf", ".prj"})
        fs::copy_file(Folder(crs) + "AdmPt" + ext, into + "AdmPt" + ext);
    }
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override {
    ASSERT_EQ(failed_, "");
    ASSERT_TRUE(LoadLayerCatalogFrom(std::string(NABIK_BINARY_DIR) + "/nabik.csv"));
  }
  void TearDown() override { LayerCatalog.clear(); }

  static std::string Folder(const std::string& name) { return dir_->Folder() + name + "/"; }
  // The view of the set fitted into a picture of 600 x 450.
  static tmapview Fitted(const tpreviewset& set) {
    tmapview view;
    TakeUnits(view, set);
    view.Width = 600, view.Height = 450;
    FitView(view, set.Box);
    return view;
  }

  static ScratchDir* dir_;
  static std::string failed_;  // the command that did not make its folder, and what it said
};
ScratchDir* ProjectedFolder::dir_ = nullptr;
std::string ProjectedFolder::failed_;

TEST_F(ProjectedFolder, UnitAndBoxComeFromTheSetsCrs) {
  const struct {
    const char* Folder;
    double MetresPerUnit;
  } folders[] = {{"lonlat", 0}, {"plane", 1}, {"point-plane", 1}, {"dem-plane", 1}};
  for (const auto& f : folders) {
    SCOPED_TRACE(f.Folder);
    const tpreviewset set = LoadPreviewSet(Folder(f.Folder));
    ASSERT_FALSE(set.Box.Empty());
    EXPECT_EQ(set.MetresPerUnit, f.MetresPerUnit);
    if (f.MetresPerUnit > 0)
      EXPECT_EQ(set.XScale, 1);
    else
      EXPECT_NEAR(set.XScale, std::cos((set.Box.MinY + set.Box.MaxY) / 2 * M_PI / 180), 1e-12);
    // The box is the one GDAL gives for the layers' files, in their own coordinates.
    tmapbox extents;
    for (const tpreviewlayer& layer : set.Layers) {
      GDALDatasetUniquePtr d(GDALDataset::Open((layer.Base + ".shp").c_str(), GDAL_OF_VECTOR));
      ASSERT_TRUE(d);
      OGREnvelope e;
      ASSERT_EQ(d->GetLayer(0)->GetExtent(&e, TRUE), OGRERR_NONE);
      extents.Add(e.MinX, e.MinY);
      extents.Add(e.MaxX, e.MaxY);
    }
    if (set.Layers.empty()) extents = set.ReliefBox;
    const double tolerance = f.MetresPerUnit > 0 ? 1e-6 : 1e-11;
    EXPECT_NEAR(set.Box.MinX, extents.MinX, tolerance);
    EXPECT_NEAR(set.Box.MinY, extents.MinY, tolerance);
    EXPECT_NEAR(set.Box.MaxX, extents.MaxX, tolerance);
    EXPECT_NEAR(set.Box.MaxY, extents.MaxY, tolerance);
  }
  // The warped mosaic's cells with a value lie where the mesh's do, taken into the plane: to
  // within a step of each search grid (18 cells of 0.2″, 111 m; 19 cells of 5 m).
  const tpreviewset lonlat = LoadPreviewSet(Folder("dem-lonlat"));
  const tpreviewset plane = LoadPreviewSet(Folder("dem-plane"));
  ASSERT_FALSE(lonlat.ReliefBox.Empty());
  OGRSpatialReference from, to;
  from.importFromEPSG(6668);
  to.importFromEPSG(6677);
  from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  to.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  std::unique_ptr<OGRCoordinateTransformation> into(OGRCreateCoordinateTransformation(&from, &to));
  ASSERT_TRUE(into);
  double x[] = {lonlat.ReliefBox.MinX, lonlat.ReliefBox.MaxX};
  double y[] = {lonlat.ReliefBox.MinY, lonlat.ReliefBox.MaxY};
  ASSERT_TRUE(into->Transform(2, x, y));
  const tmapbox& box = plane.ReliefBox;
  EXPECT_NEAR((box.MinX + box.MaxX) / 2, (x[0] + x[1]) / 2, 111 + 95);
  EXPECT_NEAR((box.MinY + box.MaxY) / 2, (y[0] + y[1]) / 2, 111 + 95);
}

TEST_F(ProjectedFolder, PrjGivesMetresPerUnit) {
  OGRSpatialReference feet;
  feet.importFromEPSG(2229);  // NAD83 / California zone 5 (ftUS)
  char* esri = nullptr;
  const char* const esriWkt[] = {"FORMAT=WKT1_ESRI", nullptr};
  ASSERT_EQ(feet.exportToWkt(&esri, esriWkt), OGRERR_NONE);
  WriteFile(dir_->Path() / "feet.prj", esri);
  CPLFree(esri);
  WriteFile(dir_->Path() / "junk.prj", "PROJCS[nothing");
  const std::pair<std::string, double> rows[] = {{Folder("plane") + "AdmArea.prj", 1},
                                                 {Folder("lonlat") + "AdmArea.prj", 0},
                                                 {dir_->Folder() + "feet.prj", 1200.0 / 3937},
                                                 {dir_->Folder() + "junk.prj", 0},
                                                 {dir_->Folder() + "missing.prj", 0}};
  for (const auto& [prj, metres] : rows) EXPECT_NEAR(PrjMetresPerUnit(prj), metres, 1e-12) << prj;
  EXPECT_EQ(MosaicMetresPerUnit(Folder("dem-plane") + "dem5m.vrt"), 1);
  EXPECT_EQ(MosaicMetresPerUnit(Folder("dem-lonlat") + "dem5m.vrt"), 0);
  EXPECT_EQ(MosaicMetresPerUnit(Folder("dem-plane") + "missing.vrt"), 0);
}

TEST_F(ProjectedFolder, ScaleAndFitMeasureTheGroundInMetres) {
  constexpr double kDegree = 6378137.0 * M_PI / 180;
  const struct {
    double MetresPerUnit, PixelsPerUnit, Dpi;
    double MetresPerPixel;
  } scales[] = {{1, 0.5, 96, 2},
                {1, 4, 144, 0.25},
                {1200.0 / 3937, 1, 96, 1200.0 / 3937},
                {0, kDegree / 3, 96, 3}};
  for (const auto& s : scales) {
    tmapview view;
    view.MetresPerUnit = s.MetresPerUnit;
    view.PixelsPerDegree = s.PixelsPerUnit;
    const double expected = s.MetresPerPixel * s.Dpi / 0.0254;
    EXPECT_NEAR(ScaleDenominator(view, s.Dpi), expected, expected * 1e-12) << s.MetresPerUnit;
    // The zoom's limits stay the same on the ground whatever the unit.
    const double unit = s.MetresPerUnit > 0 ? s.MetresPerUnit : kDegree;
    for (const auto& [factor, pixelsPerMetre] :
         {std::pair{1e-30, 1e-3 / kDegree}, std::pair{1e30, 1e9 / kDegree}}) {
      tmapview zoomed = view;
      ZoomView(zoomed, 0, 0, factor);
      EXPECT_NEAR(zoomed.PixelsPerDegree / unit, pixelsPerMetre, pixelsPerMetre * 1e-12);
    }
  }

  // The fitted views of one place in either CRS: the same scale, to the small differences of
  // the two maps' shapes.
  const tpreviewset lonlat = LoadPreviewSet(Folder("lonlat"));
  const tpreviewset plane = LoadPreviewSet(Folder("plane"));
  const tmapview view = Fitted(plane);
  const double metresPerPixel = std::max((plane.Box.MaxX - plane.Box.MinX) / (600 - 20),
                                         (plane.Box.MaxY - plane.Box.MinY) / (450 - 20));
  EXPECT_NEAR(ScaleDenominator(view, 96), metresPerPixel * 96 / 0.0254, 1e-6 * metresPerPixel);
  EXPECT_NEAR(ScaleDenominator(Fitted(lonlat), 96) / ScaleDenominator(view, 96), 1, 0.01);

  // A set of one point: a picture about a kilometre across inside its margins.
  for (const char* folder : {"point-lonlat", "point-plane"}) {
    const tpreviewset set = LoadPreviewSet(Folder(folder));
    ASSERT_EQ(set.Box.MinX, set.Box.MaxX) << folder;
    const tmapview point = Fitted(set);
    const double unit = set.MetresPerUnit > 0 ? set.MetresPerUnit : kDegree;
    EXPECT_NEAR((point.Width - 20) / point.PixelsPerDegree * unit, 1000, 1) << folder;
  }
}

// The picture `nabik --render` draws of `folder` at 600 x 450, read back through GDAL.
struct tpicture {
  std::vector<uint8_t> Rgb;  // red, green and blue of each pixel, rows from the top
  std::string Said;          // what the run printed
  long NotWhite = 0;
  int Left = 600, Top = 450, Right = -1, Bottom = -1;  // round the pixels that are not white
  std::vector<int> Greys;                              // the values of the grey pixels: the relief
};

tpicture Render(const std::string& folder, const std::string& png) {
  tpicture p;
  int status = -1;
  p.Said = RunCommand(std::string(NABIK_BINARY_DIR) + "/nabik --render " + png +
                          " --size 600x450 " + folder + " 2>&1",
                      &status);
  GDALDatasetUniquePtr d(GDALDataset::Open(png.c_str(), GDAL_OF_RASTER));
  if (status != 0 || !d || d->GetRasterXSize() != 600 || d->GetRasterYSize() != 450) return p;
  p.Rgb.resize(600 * 450 * 3);
  int bands[] = {1, 2, 3};
  if (d->RasterIO(GF_Read, 0, 0, 600, 450, p.Rgb.data(), 600, 450, GDT_Byte, 3, bands, 3, 600 * 3,
                  1, nullptr) != CE_None)
    return {};
  for (int y = 0; y < 450; ++y)
    for (int x = 0; x < 600; ++x) {
      const uint8_t* c = &p.Rgb[(static_cast<size_t>(y) * 600 + x) * 3];
      if (c[0] == 255 && c[1] == 255 && c[2] == 255) continue;
      ++p.NotWhite;
      p.Left = std::min(p.Left, x), p.Right = std::max(p.Right, x);
      p.Top = std::min(p.Top, y), p.Bottom = std::max(p.Bottom, y);
      if (c[0] == c[1] && c[1] == c[2]) p.Greys.push_back(c[0]);
    }
  return p;
}

// The mean and standard deviation of `values`.
std::pair<double, double> MeanAndSpread(const std::vector<int>& values) {
  double sum = 0, squares = 0;
  for (int v : values) sum += v, squares += static_cast<double>(v) * v;
  const double mean = sum / values.size();
  return {mean, std::sqrt(squares / values.size() - mean * mean)};
}

TEST_F(ProjectedFolder, RenderDrawsTheSameMapAsInLatitudeAndLongitude) {
  if (!NABIK_HAVE_RENDER) GTEST_SKIP() << "built without the windows: no --render";
  const tpicture lonlat = Render(Folder("lonlat"), dir_->Folder() + "lonlat.png");
  const tpicture plane = Render(Folder("plane"), dir_->Folder() + "plane.png");
  ASSERT_FALSE(lonlat.Rgb.empty()) << lonlat.Said;
  ASSERT_FALSE(plane.Rgb.empty()) << plane.Said;
  // Setagaya lies 0.2° from the zone's meridian: its two maps differ by a fraction of a percent.
  EXPECT_NEAR(static_cast<double>(plane.NotWhite) / lonlat.NotWhite, 1, 0.02);
  EXPECT_NEAR(plane.Left, lonlat.Left, 3);
  EXPECT_NEAR(plane.Right, lonlat.Right, 3);
  EXPECT_NEAR(plane.Top, lonlat.Top, 3);
  EXPECT_NEAR(plane.Bottom, lonlat.Bottom, 3);
  long same = 0;
  for (size_t i = 0; i < plane.Rgb.size(); ++i) same += plane.Rgb[i] == lonlat.Rgb[i];
  EXPECT_GT(same, static_cast<long>(plane.Rgb.size() * 0.9)) << "the features in the same places";

  // The relief of the warped mosaic shades like the mesh's own: slopes taken in metres.
  const tpicture reliefLonlat = Render(Folder("dem-lonlat"), dir_->Folder() + "dem-lonlat.png");
  const tpicture reliefPlane = Render(Folder("dem-plane"), dir_->Folder() + "dem-plane.png");
  ASSERT_GT(reliefLonlat.Greys.size(), 600u * 450 / 2) << reliefLonlat.Said;
  ASSERT_GT(reliefPlane.Greys.size(), 600u * 450 / 2) << reliefPlane.Said;
  const auto [meanLonlat, spreadLonlat] = MeanAndSpread(reliefLonlat.Greys);
  const auto [meanPlane, spreadPlane] = MeanAndSpread(reliefPlane.Greys);
  EXPECT_NEAR(meanPlane, meanLonlat, 5);
  EXPECT_NEAR(spreadPlane / spreadLonlat, 1, 0.1);
  EXPECT_GT(spreadPlane, 10) << "flat grey: slopes not in metres";
}

}  // namespace
