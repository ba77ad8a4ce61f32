// The preview's sets read back, its view and the search for the feature under a pixel.
#include "preview/preview.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <utility>

#include "support/test_support.h"

using testing_support::MakePreviewScene;
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

}  // namespace
