// The map file: its fixed sections, number formats and whole files against expected files;
// and the web export around it.
#include <gtest/gtest.h>
#include <shapefil.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/text.h"
#include "fgd/extent.h"
#include "mapserver/fixedblocks.h"
#include "mapserver/mapfile.h"
#include "mapserver/ms8export.h"
#include "mapserver/webexport.h"
#include "shpctl/shpctl.h"
#include "support/test_support.h"
#include "susetu/susetu.h"
#include "unlha32/unlha32.h"

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

constexpr textent kUntouched{};
constexpr textent kExample{139.5, 35.25, 139.625, 35.333333};

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Puts the run-wide tables back as a fresh program has them.
class MapFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LayerCatalog.clear();
    MapSettings = tmapsettings{};
    ResetExtent();
    folder_ = dir_.Folder() + "Data/Out/";
    fs::create_directories(folder_ + "ms4w/Apache/htdocs");
  }
  void TearDown() override { SetUp(); }

  std::string OutputPath() const { return folder_ + "list.txt"; }
  std::string MapPath() const { return folder_ + "ms4w/Apache/htdocs/list.map"; }

  // An expected file with the scratch folder put in for its two placeholders.
  std::string Expected(const std::string& name) const {
    std::string text = ReadFile(std::string(NABIK_SOURCE_DIR) + "/tests/data/mapserver/" + name);
    text = ReplaceAll(text, "@SCRATCH@", dir_.Folder());
    return ReplaceAll(text, "@scratch@", LowerSjis(dir_.Folder()));
  }

  ScratchDir dir_;
  std::string folder_;
};

tshpopentyp Entry(const std::string& name, int32_t kind, const char* titleUtf8,
                  const std::string& label, const std::string& symbol, const std::string& color,
                  std::vector<tshpattr> attrs) {
  tshpopentyp e;
  e.Name = name;
  e.Kind = kind;
  e.Title = Sjis(titleUtf8);
  e.LabelItem = label;
  e.Symbol = symbol;
  e.Color = color;
  for (tshpattr& a : attrs) a.Header = Sjis(a.Header);
  e.Attrs = std::move(attrs);
  return e;
}

// Lines, polygons, points and a network, one layer not created, one of an unknown kind, one
// without colour or attributes.
void UseRunCatalog() {
  LayerCatalog = {
      Entry("RdEdg", 1, "道路縁", "", "", "200 0 0", {{"rdCtg", "道路分類", 0, 10}}),
      Entry("BldA", 2, "建築物", "name", "", "255 200 150",
            {{"a", "x", 0, 5}, {"b", "y", 0, 5}, {"c", "z", 1, 5}}),
      Entry("WL", 1, "水涯線", "", "", "0 0 255", {{"w", "w", 0, 5}}),
      Entry("ElevPt", 3, "標高点", "alti", "circle", "0 0 255", {{"alti", "標高値", 0, 10}}),
      Entry("RailCL", 4, "鉄道中心線", "", "square", "", {}),
      Entry("Odd", 7, "", "", "", "1 2 3", {}),
  };
  for (int32_t n : {1, 2, 4, 5, 6}) CatalogEntry(n).Created = true;
}

struct WholeFileCase {
  const char* expected;
  bool layers;
  bool layersOnly;
  int32_t imageType;
  const char* mapNameUtf8;
  const char* maxScale;
  int32_t width, height;
  textent extent;
  bool fontCopied = false;
  bool symbolsCopied = false;
};

void PrintTo(const WholeFileCase& c, std::ostream* os) {
  *os << c.expected << " type " << c.imageType << (c.fontCopied ? " font" : "")
      << (c.symbolsCopied ? " symbols" : "");
}

class WholeMapFile : public MapFileTest, public ::testing::WithParamInterface<WholeFileCase> {};

TEST_P(WholeMapFile, MatchesTheExpectedFileByteForByte) {
  const WholeFileCase& c = GetParam();
  if (c.layers) UseRunCatalog();
  MapSettings.LayersOnly = c.layersOnly;
  MapSettings.ImageType = c.imageType;
  MapSettings.MapName = Sjis(c.mapNameUtf8);
  MapSettings.MaxScale = c.maxScale;
  MapSettings.MapWidth = c.width;
  MapSettings.MapHeight = c.height;
  Extent = c.extent;
  ASSERT_TRUE(WriteMapFile(OutputPath(), folder_, c.fontCopied, "gothic", c.symbolsCopied));
  EXPECT_EQ(ReadFile(MapPath()), Expected(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, WholeMapFile,
    ::testing::Values(
        // No layer created and the Extent untouched: MAXSCALE -10737418.
        WholeFileCase{"empty_extent.map", false, false, 0, "", "", 400, 300, kUntouched},
        // Image types without an IMAGETYPE line.
        WholeFileCase{"empty_extent.map", false, false, 4, "", "", 400, 300, kUntouched},
        WholeFileCase{"empty_extent.map", false, false, -1, "", "", 400, 300, kUntouched},
        WholeFileCase{"empty_extent.map", false, false, 7, "", "", 400, 300, kUntouched},
        WholeFileCase{"imagetype_gif.map", false, false, 1, "", "", 400, 300, kUntouched},
        WholeFileCase{"imagetype_jpeg.map", false, false, 2, "", "", 400, 300, kUntouched},
        WholeFileCase{"imagetype_png.map", false, false, 3, "", "", 400, 300, kUntouched},
        WholeFileCase{"maxscale_set.map", false, false, 0, "Tokyo", "25000", 400, 300, kExample},
        // Sizes a non-number in the dialog can leave: no division, MAXSCALE 0.
        WholeFileCase{"zero_size.map", false, false, 0, "", "", 0, -3, kExample},
        WholeFileCase{"full_run.map", true, false, 3, "東京都", "", 400, 300, kExample, true, true},
        WholeFileCase{"font_only.map", true, false, 3, "東京都", "", 400, 300, kExample, true,
                      false},
        WholeFileCase{"symbols_only.map", true, false, 3, "東京都", "", 400, 300, kExample, false,
                      true},
        WholeFileCase{"neither.map", true, false, 3, "東京都", "", 400, 300, kExample, false,
                      false},
        WholeFileCase{"layers_only.map", true, true, 3, "東京都", "", 400, 300, kExample, true,
                      true}));

TEST_F(MapFileTest, LayersOnlyWithoutLayersGivesAnEmptyFile) {
  MapSettings.LayersOnly = true;
  ASSERT_TRUE(WriteMapFile(OutputPath(), folder_, true, "gothic", true));
  EXPECT_EQ(ReadFile(MapPath()), "");
}

TEST_F(MapFileTest, ReplacesAnOlderFile) {
  WriteFile(MapPath(), std::string(100000, 'x'));
  ASSERT_TRUE(WriteMapFile(OutputPath(), folder_, false, "", false));
  EXPECT_EQ(ReadFile(MapPath()), Expected("empty_extent.map"));
}

TEST_F(MapFileTest, WritesNothingWhenTheWebFolderIsMissing) {
  fs::remove_all(folder_ + "ms4w");
  UseRunCatalog();
  EXPECT_FALSE(WriteMapFile(OutputPath(), folder_, true, "gothic", true));
  EXPECT_FALSE(fs::exists(folder_ + "ms4w"));
}

TEST_F(MapFileTest, AWriteErrorIsAnErrorOfTheRun) {
  // A disk that is full from the first byte.
  fs::create_symlink("/dev/full", MapPath());
  UseRunCatalog();
  try {
    WriteMapFile(OutputPath(), folder_, true, "gothic", true);
    FAIL() << "no error";
  } catch (const NabikError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot write " + MapPath());
  }
}

TEST_F(MapFileTest, LeavesTheCreatedFlagsAlone) {
  UseRunCatalog();
  ASSERT_TRUE(WriteMapFile(OutputPath(), folder_, false, "", false));
  std::vector<bool> created;
  for (const tshpopentyp& e : LayerCatalog) created.push_back(e.Created);
  EXPECT_EQ(created, (std::vector<bool>{true, true, false, true, true, true}));
}

TEST(OutputMapName, ReplacesTheExtensionOfTheFileName) {
  struct Case {
    const char *path, *name;
  };
  for (const Case& c : {Case{"/data/out/list.txt", "list.map"}, Case{"/data/out/list", "list.map"},
                        Case{"/data/v1.2/list", "list.map"}, Case{"list.tar.gz", "list.tar.map"},
                        Case{"/data/out/List.TXT", "List.map"}, Case{"/data/out/", ".map"}})
    EXPECT_EQ(OutputMapName(c.path), c.name) << c.path;
  EXPECT_EQ(MapFilePath("/x/Run.csv", "/Data/"), "/Data/ms4w/Apache/htdocs/Run.map");
}

TEST(Kinds, CommentWordAndType) {
  struct Case {
    int32_t kind;
    const char* labelUtf8;
    const char* type;
  };
  for (const Case& c :
       {Case{0, "ポリゴン", "POLYGON"}, Case{1, "ライン", "LINE"}, Case{2, "ポリゴン", "POLYGON"},
        Case{3, "点", "POINT"}, Case{4, "ネットワーク", "LINE"}, Case{5, "", "POLYGON"},
        Case{-1, "", "POLYGON"}, Case{INT32_MAX, "", "POLYGON"}}) {
    EXPECT_EQ(KindLabel(c.kind), Sjis(c.labelUtf8)) << c.kind;
    EXPECT_EQ(LayerType(c.kind), c.type) << c.kind;
  }
}

struct NumberCase {
  double value;
  int decimals;
  const char* text;
};

void PrintTo(const NumberCase& c, std::ostream* os) {
  *os << c.decimals << " decimals: '" << c.text << "'";
}

class ExtentNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ExtentNumberTest, PadsToElevenAndNeverCuts) {
  EXPECT_EQ(ExtentNumber(GetParam().value, GetParam().decimals), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Numbers, ExtentNumberTest,
                         ::testing::Values(NumberCase{139.5, 6, " 139.500000"},
                                           NumberCase{35.25, 6, "  35.250000"},
                                           NumberCase{35.333333, 6, "  35.333333"},
                                           NumberCase{35.333333, 5, "   35.33333"},
                                           NumberCase{2147483647.0, 6, "2147483647.000000"},
                                           NumberCase{-2147483647.0, 6, "-2147483647.000000"},
                                           NumberCase{-2147483647.0, 5, "-2147483647.00000"},
                                           NumberCase{0, 6, "   0.000000"},
                                           NumberCase{-1.25, 6, "  -1.250000"},
                                           NumberCase{139.0000004, 6, " 139.000000"},
                                           NumberCase{139.0000006, 6, " 139.000001"},
                                           NumberCase{1e20, 6, "100000000000000000000.000000"}));

TEST(ExtentNumbers, SixDecimalsEachOneBlankBetween) {
  EXPECT_EQ(ExtentNumbers(kExample), " 139.500000   35.250000  139.625000   35.333333");
  EXPECT_EQ(ExtentNumbers(kUntouched),
            "2147483647.000000 2147483647.000000 -2147483647.000000 -2147483647.000000");
}

struct ScaleCase {
  const char* maxScale;
  int32_t width, height;
  textent extent;
  const char* value;
};

void PrintTo(const ScaleCase& c, std::ostream* os) {
  *os << "'" << c.maxScale << "' " << c.width << "x" << c.height << " over "
      << c.extent.MaxX - c.extent.MinX << "x" << c.extent.MaxY - c.extent.MinY << ": " << c.value;
}

class MaxScaleTest : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(MaxScaleTest, FromTheSettingOrTheExtent) {
  const ScaleCase& c = GetParam();
  EXPECT_EQ(MaxScaleValue(c.maxScale, c.width, c.height, c.extent), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, MaxScaleTest,
    ::testing::Values(
        // The setting wins, unchecked and untrimmed.
        ScaleCase{"25000", 400, 300, kExample, "25000"},
        ScaleCase{" 1:5000 ", 0, 0, kUntouched, " 1:5000 "}, ScaleCase{"", 400, 300, kExample, "1"},
        // A single point: 0.5 goes to the even neighbour 0.
        ScaleCase{"", 400, 300, textent{139.5, 35.25, 139.5, 35.25}, "0"},
        // 800 units over 400 pixels: 2.5 goes to 2; 400 over 400: 1.5 goes to 2.
        ScaleCase{"", 400, 300, textent{0, 0, 800, 0}, "2"},
        ScaleCase{"", 400, 300, textent{0, 0, 400, 0}, "2"},
        ScaleCase{"", 400, 300, textent{0, 0, 1400, 0}, "4"},
        ScaleCase{"", 400, 300, textent{0, 0, 0, 1200}, "4"},
        // The larger candidate: vertical here (4.5 goes to 4).
        ScaleCase{"", 400, 300, textent{0, 0, 400, 1200}, "4"},
        ScaleCase{"", 400, 300, kUntouched, "-10737418"},
        // A side without pixels leaves its candidate out; both out give 0.
        ScaleCase{"", 0, 300, textent{0, 0, 4000, 1200}, "4"},
        ScaleCase{"", 400, -1, textent{0, 0, 4000, 1500000}, "10"},
        ScaleCase{"", 0, 0, kExample, "0"}, ScaleCase{"", -400, -300, kUntouched, "0"},
        // Small negative values round to 0, never to "-0".
        ScaleCase{"", 400, 300, textent{0, 0, -300, -250}, "0"}));

// Each fixed section alone: its line count, CR LF after every line.
TEST(FixedBlocks, EachWriterAppendsItsLines) {
  struct Case {
    void (*write)(tmapfile&);
    size_t lines;
    const char* first;
  };
  MapSettings = tmapsettings{};
  ResetExtent();
  ScratchDir dir;
  for (const Case& c :
       {Case{WriteOutputFormats, 39, ""}, Case{WriteLegend, 21, "# Start of LEGEND"},
        Case{WriteWeb, 9, ""}, Case{WriteReference, 17, ""}, Case{WriteScalebar, 28, ""},
        Case{WriteQueryMap, 9, ""}}) {
    const std::string path = dir.Folder() + "block";
    {
      tmapfile file(path);
      ASSERT_TRUE(file.Opened());
      file.Line("before");
      c.write(file);
      file.Close();
    }
    const std::string text = ReadFile(path);
    size_t count = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
      ++count;
    EXPECT_EQ(count, c.lines + 1) << c.lines;
    EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1);
    EXPECT_EQ(text.substr(0, 8 + std::string(c.first).size() + 2),
              "before\r\n" + std::string(c.first) + "\r\n");
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  }
}

// An export a MapServer can draw: three layers with real shapefiles in the output folder. When
// NABIK_EXPORT_FOLDER names a folder, the export is left there for tests/map2img_check.sh.
TEST_F(MapFileTest, EveryDataValueNamesAShapefileInShapePath) {
  const char* keep = std::getenv("NABIK_EXPORT_FOLDER");
  const std::string folder = keep ? std::string(keep) : folder_;
  if (keep) fs::create_directories(folder + "ms4w/Apache/htdocs");
  LayerCatalog = {
      Entry("RdEdg", 1, "道路縁", "", "", "200 0 0", {{"rdCtg", "道路分類", 0, 10}}),
      Entry("BldA", 2, "建築物", "name", "", "255 160 122", {{"name", "名称", 0, 20}}),
      Entry("ElevPt", 3, "標高点", "alti", "circle", "0 0 255", {{"alti", "標高値", 0, 10}}),
  };
  const double x0 = 139.5, y0 = 35.25;
  for (int32_t n = 1; n <= LayerCount(); ++n) {
    CreateLayerFiles(folder, n);
    OpenLayerFiles(folder, CatalogEntry(n).Name);
    for (int i = 0; i < 4; ++i) {
      const double x = x0 + 0.02 * i, y = y0 + 0.015 * i;
      std::vector<double> xs{x}, ys{y};
      if (n == 1) {
        xs = {x, x + 0.05};
        ys = {y, y + 0.01};
      } else if (n == 2) {
        xs = {x, x, x + 0.01, x + 0.01, x};
        ys = {y, y + 0.01, y + 0.01, y, y};
      }
      SHPObject* shape = SHPCreateSimpleObject(OpenSet.ShapeType, static_cast<int>(xs.size()),
                                               xs.data(), ys.data(), nullptr);
      const int record = SHPWriteObject(OpenSet.ShpHandle, -1, shape);
      SHPDestroyObject(shape);
      const std::string value = n == 3 ? std::to_string(10 + i) + ".5" : Sjis("東") + "1";
      DBFWriteStringAttribute(OpenSet.DbfHandle, record, 0, value.c_str());
    }
    CloseLayerFiles();
    CatalogEntry(n).Created = true;
  }
  Extent = textent{x0, y0, x0 + 0.11, y0 + 0.06};
  MapSettings.ImageType = 3;
  ASSERT_TRUE(WriteMapFile(folder + "list.txt", folder, true, "gothic", true));

  const std::string map = ReadFile(folder + "ms4w/Apache/htdocs/list.map");
  const std::string shapePath = "SHAPEPATH \"" + folder + "\"\r\n";
  EXPECT_NE(map.find(shapePath), std::string::npos);
  size_t layers = 0;
  for (size_t at = map.find("\r\n  DATA \""); at != std::string::npos;
       at = map.find("\r\n  DATA \"", at + 1)) {
    const size_t start = at + 10;
    const std::string data = map.substr(start, map.find('"', start) - start);
    EXPECT_TRUE(fs::exists(folder + data + ".shp")) << data;
    EXPECT_TRUE(fs::exists(folder + data + ".dbf")) << data;
    ++layers;
  }
  EXPECT_EQ(layers, 3u);
}

// ---------------------------------------------------------------------------------------------
// The web export.

class WebExport : public ::testing::Test {
 protected:
  void SetUp() override {
    LayerCatalog.clear();
    ResetExtent();
    MapSettings = tmapsettings{};
    resources = dir.Folder() + "res/";
    fs::create_directories(resources);
    fs::copy_file(std::string(NABIK_SOURCE_DIR) + "/data/symbols.sym", resources + "symbols.sym");
    fs::copy_file(std::string(NABIK_SOURCE_DIR) + "/data/ms4wmap10.lzh",
                  resources + "ms4wmap10.lzh");
    ExportResourceFolder = resources;
    testing_support::WriteFile(dir.Path() / "myfont.ttc", std::string(3000, 'F'));
    MapSettings.KanjiFont = dir.Folder() + "myfont.ttc";
    out = dir.Folder() + "out/";
    fs::create_directories(out);
    StartUnlha();
  }
  void TearDown() override {
    ExportResourceFolder.clear();
    StopUnlha();
  }
  void Export() {
    ExportMapServer(out + "list.txt", nullptr,
                    [this](const std::string& text) { messages.push_back(text); });
  }
  std::string Expected(const std::string& name) {
    return ReadFile(std::string(NABIK_SOURCE_DIR) + "/tests/data/webexport/" + name);
  }
  std::set<std::string> Files(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& item : fs::recursive_directory_iterator(folder))
      names.insert(fs::relative(item.path(), folder).string());
    return names;
  }
  ScratchDir dir;
  std::string resources, out;
  std::vector<std::string> messages;
};

TEST_F(WebExport, WritesEveryFileOfTheInstallation) {
  for (int run = 0; run < 2; ++run) {  // the second export into the same folder works as well
    messages.clear();
    Export();
    EXPECT_EQ(ReadFile(out + "etc/myfont.ttc"), std::string(3000, 'F')) << run;
    EXPECT_EQ(ReadFile(out + "etc/symbols.sym"), ReadFile(resources + "symbols.sym"));
    EXPECT_EQ(ReadFile(out + "etc/winfonts.txt"), Expected("winfonts.txt"));
    EXPECT_EQ(ReadFile(out + "ms4w/Apache/htdocs/libsu.php"), Expected("libsu.php"));
    EXPECT_EQ(ReadFile(out + "nabik.php"), Expected("nabik.php"));
    const std::string map = ReadFile(out + "ms4w/Apache/htdocs/list.map");
    EXPECT_NE(map.find("FONTSET \"" + out + "etc/winfonts.txt\""), std::string::npos);
    EXPECT_NE(map.find("SYMBOLSET \"" + out + "etc/symbols.sym\""), std::string::npos);
    EXPECT_TRUE(fs::is_directory(out + "ms4w/tmp/ms_tmp"));
    EXPECT_TRUE(messages.empty()) << "no font warning when the font was copied";
  }
}

TEST_F(WebExport, FontThatCannotBeCopied) {
  struct Case {
    const char* what;
    std::string font;
    std::string winfonts;  // expected line without CR LF
  };
  const std::vector<Case> cases = {
      {"missing font", dir.Folder() + "nofont.ttf", "nofont" + std::string(24, ' ') + "nofont.ttf"},
      {"no extension", dir.Folder() + "plain", "plain" + std::string(24, ' ') + "plain"},
      {"a folder", dir.Folder() + "res", "res" + std::string(24, ' ') + "res"},
  };
  for (const Case& c : cases) {
    MapSettings.KanjiFont = c.font;
    messages.clear();
    Export();
    EXPECT_EQ(ReadFile(out + "etc/winfonts.txt"), c.winfonts + "\r\n") << c.what;
    EXPECT_EQ(messages, std::vector<std::string>{FontWarningText()}) << c.what;
    EXPECT_TRUE(fs::exists(out + "nabik.php")) << c.what;
    const std::string map = ReadFile(out + "ms4w/Apache/htdocs/list.map");
    EXPECT_EQ(map.find("FONTSET"), std::string::npos) << c.what;
  }
  // A missing font leaves an empty file of its name behind.
  EXPECT_EQ(fs::file_size(out + "etc/nofont.ttf"), 0u);
  EXPECT_EQ(Cp932ToUtf8(FontWarningText()),
            "漢字フォントの自動複写に失敗しました。msgothic.ttcを複写してください");
}

TEST_F(WebExport, MissingSymbolFile) {
  fs::remove(resources + "symbols.sym");
  Export();
  EXPECT_EQ(fs::file_size(out + "etc/symbols.sym"), 0u);  // created before the source was tried
  const std::string map = ReadFile(out + "ms4w/Apache/htdocs/list.map");
  EXPECT_EQ(map.find("SYMBOLSET"), std::string::npos);
  EXPECT_TRUE(fs::exists(out + "nabik.php"));
}

TEST_F(WebExport, WebArchiveThatCannotBeUnpacked) {
  struct Case {
    const char* what;
    std::string archive;  // copied over ms4wmap10.lzh; empty: no archive at all
  };
  const std::string lha = std::string(NABIK_SOURCE_DIR) + "/tests/data/lha/";
  for (const Case& c : std::vector<Case>{{"missing", ""},
                                         {"damaged", lha + "damaged.lzh"},
                                         {"an entry with ..", lha + "unsafe-parent.lzh"},
                                         {"not an archive", resources + "symbols.sym"}}) {
    ScratchDir fresh;
    out = fresh.Folder();
    fs::remove(resources + "ms4wmap10.lzh");
    if (!c.archive.empty()) fs::copy_file(c.archive, resources + "ms4wmap10.lzh");
    messages.clear();
    Export();
    // The etc files are written first; without a sound web tree nothing else follows.
    const std::set<std::string> files = Files(out);
    for (const char* name : {"etc/myfont.ttc", "etc/winfonts.txt", "etc/symbols.sym"})
      EXPECT_TRUE(files.count(name)) << c.what << ": " << name;
    for (const char* name :
         {"ms4w/Apache/htdocs/libsu.php", "ms4w/Apache/htdocs/list.map", "nabik.php"})
      EXPECT_FALSE(files.count(name)) << c.what << ": " << name;
    EXPECT_TRUE(messages.empty()) << c.what;
    EXPECT_FALSE(fs::exists(dir.Folder() + "escape.txt")) << c.what;
  }
}

TEST_F(WebExport, WithoutTheLhaLibrary) {
  std::vector<std::string> panics;
  static std::vector<std::string>* seen = nullptr;
  seen = &panics;
  const tmessagehook oldHook = UnlhaMessageHook;
  UnlhaMessageHook = [](void*, const std::string& caption, const std::string& text) {
    seen->push_back(caption + "|" + text);
  };
  StopUnlha();
  EXPECT_FALSE(StartUnlha("libno-such-lha-library.so.0"));
  Export();
  UnlhaMessageHook = oldHook;
  EXPECT_EQ(panics, std::vector<std::string>{"PANIC!!|Unlha: LHA.DLL not loaded."});
  // The fallback says success, so the export goes on: libsu.php and the map file have no folder
  // to go into, and the export ends quietly.
  EXPECT_EQ(Files(out), (std::set<std::string>{"etc", "etc/myfont.ttc", "etc/winfonts.txt",
                                               "etc/symbols.sym"}));
  EXPECT_TRUE(messages.empty());
}

TEST(WebArchiveCommand, IsBuiltAsTheLibraryExpects) {
  EXPECT_EQ(WebArchiveCommand("/opt/nabik/", "/data/out/"),
            " e -x1 /opt/nabik/ms4wmap10.lzh /data/out/ *.* -p2 -y1");
}

TEST(CopyFileByBlocks, CopiesEveryByte) {
  ScratchDir dir;
  for (size_t size :
       {size_t{0}, size_t{1}, size_t{1023}, size_t{1024}, size_t{1025}, size_t{70000}}) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + 3);
    testing_support::WriteFile(dir.Path() / "src", content);
    ASSERT_TRUE(CopyFileByBlocks(dir.Folder() + "src", dir.Folder() + "dst")) << size;
    EXPECT_EQ(ReadFile(dir.Path() / "dst"), content) << size;
  }
  EXPECT_FALSE(CopyFileByBlocks(dir.Folder() + "src", dir.Folder() + "no/dst"));
  EXPECT_FALSE(fs::exists(dir.Path() / "no"));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The MapServer 8 form (drawn by the real programs in ms8_check.py).

TEST(Ms8Values, ProjectionScaleAndExtent) {
  EXPECT_EQ(ProjectionCode("GEOGCS[\"GCS_JGD_2000\",DATUM[\"D_JGD_2000\"]]"), 4612);
  EXPECT_EQ(ProjectionCode("GEOGCS[\"GCS_JGD_2011\",DATUM[\"D_JGD_2011\"]]"), 6668);
  EXPECT_EQ(ProjectionCode(""), 4612);  // a missing .prj
  struct Case {
    std::string setting;
    int32_t width, height;
    textent extent;
    double denom;
  };
  // kExample: 0.125 degrees across at 35.29 N and 0.083333 down, 0.28 mm pixels.
  const std::vector<Case> cases = {
      {"25000", 400, 300, kExample, 25000}, {"1:25000", 400, 300, kExample, 110436},
      {"-5", 400, 300, kExample, 110436},   {"", 400, 300, kExample, 110436},
      {"", 100, 300, kExample, 405632},     {"", 0, 0, kExample, 0},
      {"", 400, 300, {1, 2, 1, 2}, 0},      {"", 400, 300, kUntouched, 0},
  };
  for (const Case& c : cases)
    EXPECT_NEAR(MaxScaleDenom(c.setting, c.width, c.height, c.extent), c.denom, 1) << c.setting;
  // Nothing read gives the world; a single point a little map around it.
  EXPECT_EQ(Ms8Extent(kUntouched).MinX, -180);
  EXPECT_EQ(Ms8Extent(kUntouched).MaxY, 90);
  const textent point = Ms8Extent({1, 2, 1, 2});
  EXPECT_TRUE(point.MinX < 1 && point.MaxX > 1 && point.MinY < 2 && point.MaxY > 2);
  EXPECT_EQ(Ms8Extent(kExample).MaxY, kExample.MaxY);
}

TEST_F(WebExport, Ms8FormWritesItsOwnTreeAndNoMs4wFiles) {
  LayerCatalog.assign(
      1, tshpopentyp{1, true, tdatum::Jgd2011, "WL", Sjis("水涯線\"<&"), "", "", "0 0 255", {}});
  WriteFile(out + "WL.prj", "GEOGCS[\"GCS_JGD_2011\"]\r\n");
  MapSettings.KanjiFont = dir.Folder() + "nofont.ttf";
  ExportMapServer8(out + "list.txt", [this](const std::string& text) { messages.push_back(text); });
  LayerCatalog.clear();
  EXPECT_EQ(Files(out + "mapserver8"),
            (std::set<std::string>{"list.map", "mapserver.conf", "lighttpd.conf", "htdocs",
                                   "htdocs/index.html", "htdocs/viewer.js", "htdocs/nabik.php",
                                   "htdocs/tmp"}));
  EXPECT_FALSE(fs::exists(out + "ms4w") || fs::exists(out + "nabik.php"));
  EXPECT_EQ(messages, std::vector<std::string>{FontWarningText()});
  const std::string map = ReadFile(out + "mapserver8/list.map");
  for (const char* line : {"\"wms_title\" \"水涯線\\\"<&\"", "\"init=epsg:6668\"",
                           "\"wms_srs\" \"EPSG:4326 EPSG:6668 EPSG:3857\""})
    EXPECT_NE(map.find(line), std::string::npos) << line;
  EXPECT_EQ(map.find("FONTSET"), std::string::npos);
  EXPECT_NE(
      ReadFile(out + "mapserver8/htdocs/index.html").find("title: \"水涯線\\\"\\u003c\\u0026\""),
      std::string::npos);
  EXPECT_NE(ReadFile(out + "mapserver8/lighttpd.conf").find("\nserver.port = 8408\n"),
            std::string::npos);
}
