// Layer catalog: integer columns, PopField, the line rules and the shipped catalog.
#include "catalog/catalog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "catalog/intconv.h"
#include "common/errors.h"
#include "common/text.h"
#include "support/test_support.h"

using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

struct IntCase {
  const char* text;
  std::optional<int32_t> value;
};

class ParseInt32Test : public ::testing::TestWithParam<IntCase> {};

TEST_P(ParseInt32Test, FollowsTheIntegerColumnRules) {
  EXPECT_EQ(ParseInt32(GetParam().text), GetParam().value) << "text: '" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Columns, ParseInt32Test,
    ::testing::Values(IntCase{"2", 2}, IntCase{" 2", 2}, IntCase{"   -17", -17}, IntCase{"+5", 5},
                      IntCase{"2 ", std::nullopt}, IntCase{"", std::nullopt},
                      IntCase{" ", std::nullopt}, IntCase{"-", std::nullopt},
                      IntCase{"12a", std::nullopt}, IntCase{"1.5", std::nullopt},
                      IntCase{"\t3", std::nullopt}, IntCase{"$1F", 31}, IntCase{"x1f", 31},
                      IntCase{"X1F", 31}, IntCase{"0x1F4", 500}, IntCase{"0X1f4", 500},
                      IntCase{"-$10", -16}, IntCase{"$", std::nullopt}, IntCase{"0x", std::nullopt},
                      IntCase{"$G", std::nullopt}, IntCase{"007", 7},
                      IntCase{"2147483647", 2147483647}, IntCase{"-2147483648", INT32_MIN},
                      IntCase{"2147483648", std::nullopt}, IntCase{"-2147483649", std::nullopt},
                      IntCase{"$7FFFFFFF", INT32_MAX}, IntCase{"$80000000", std::nullopt},
                      IntCase{"99999999999999999999", std::nullopt}));

TEST(StrToInt, ReportsTheColumnText) {
  try {
    StrToInt("2 ");
    FAIL() << "no error";
  } catch (const NabikError& e) {
    EXPECT_STREQ(e.what(), "'2 ' is not a valid integer value");
  }
  EXPECT_EQ(StrToInt(" -3"), -3);
}

TEST(PopField, TakesColumnsFromTheFront) {
  struct Case {
    std::string line, field, rest;
  };
  for (const Case& c : std::vector<Case>{{"a,b,c", "a", "b,c"},
                                         {",b", "", "b"},
                                         {"abc", "abc", ""},
                                         {"", "", ""},
                                         {" a ,b", " a ", "b"},
                                         {"\"x,y\"", "\"x", "y\""},
                                         {"a,", "a", ""}}) {
    std::string line = c.line;
    EXPECT_EQ(PopField(line), c.field) << c.line;
    EXPECT_EQ(line, c.rest) << c.line;
  }
}

// Loads `content` as a catalog file; returns the error text, empty when none.
std::string Load(const std::string& content, bool* opened = nullptr) {
  ScratchDir dir;
  WriteFile(dir.Path() / "nabik.csv", content);
  try {
    const bool ok = LoadLayerCatalogFrom(dir.Folder() + "nabik.csv");
    if (opened) *opened = ok;
  } catch (const NabikError& e) {
    return e.what();
  }
  return {};
}

const std::string kGroup = ",type,種別,0,40,0";

TEST(LoadLayerCatalog, LineRules) {
  struct Case {
    const char* what;
    std::string content;
    int layers;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"only comments and empty lines", ";a\r\n\r\n;b,c,d\r\n\r\n", 0, ""},
      {"six columns", "Ab,t,1,l,s,1 2 3\r\n", 1, ""},
      {"three columns", "Ab,t,2\r\n", 1, ""},
      {"blank then semicolon is an entry", " ;x,t,1\r\n", 1, ""},
      {"LF line ends and no final line end", "A,t,1\nB,t,2", 2, ""},
      {"leading blank in kind", "A,t, 2\r\n", 1, ""},
      {"trailing blank in kind", "A,t,1\r\nB,t,2 \r\nC,t,3\r\n", 1,
       "'2 ' is not a valid integer value"},
      {"line of blanks", "A,t,1\r\n   \r\n", 1, "'' is not a valid integer value"},
      {"group of two columns", "A,t,1\r\nB,t,1,,,,n,h\r\n", 1, "'' is not a valid integer value"},
      {"bad fifth group column", "A,t,1,,,,n,h,0,10,z\r\n", 0, "'z' is not a valid integer value"},
      {"bad width", "A,t,1,,,,n,h,0,1O,0\r\n", 0, "'1O' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Load(c.content), c.error) << c.what;
    EXPECT_EQ(LayerCount(), c.layers) << c.what;
  }
}

TEST(LoadLayerCatalog, FixedColumnsInOrder) {
  ASSERT_EQ(Load("Ab,Title,4,label,sym,1 2 3\r\n"), "");
  ASSERT_EQ(LayerCount(), 1);
  const tshpopentyp& e = CatalogEntry(1);
  EXPECT_EQ(e.Name, "Ab");
  EXPECT_EQ(e.Title, "Title");
  EXPECT_EQ(e.Kind, 4);
  EXPECT_EQ(e.LabelItem, "label");
  EXPECT_EQ(e.Symbol, "sym");   // column 5 is the symbol,
  EXPECT_EQ(e.Color, "1 2 3");  // column 6 the colour
  EXPECT_FALSE(e.Created);
  EXPECT_EQ(e.AttrCount(), 0);
}

TEST(LoadLayerCatalog, AttributeGroups) {
  struct Case {
    const char* what;
    std::string line;
    int groups;
  };
  const std::string six = "Ab,t,1,,,";
  for (const Case& c : std::vector<Case>{
           {"one group", six + kGroup, 1},
           {"one group and a trailing comma", six + kGroup + ",", 1},
           {"a seventh column without comma", six + ",extra", 0},
           {"two groups", six + kGroup + ",name,名称,0,120,0", 2},
           {"a group and a lone column", six + kGroup + ",lone", 1},
       }) {
    ASSERT_EQ(Load(Sjis(c.line) + "\r\n"), "") << c.what;
    ASSERT_EQ(LayerCount(), 1) << c.what;
    EXPECT_EQ(CatalogEntry(1).AttrCount(), c.groups) << c.what;
  }
  ASSERT_EQ(Load(Sjis(six + kGroup) + "\r\n"), "");
  const tshpattr& a = CatalogEntry(1).Attr(1);
  EXPECT_EQ(a.Name, "type");
  EXPECT_EQ(a.Header, Sjis("種別"));
  EXPECT_EQ(a.Type, 0);
  EXPECT_EQ(a.Width, 40);
}

TEST(LoadLayerCatalog, BoundedTextsKeepTheirFirstBytes) {
  const std::string name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";               // 26 bytes
  const std::string kanjiName = "ABCDEFGHIJKLMNOPQRS" + Sjis("道路");  // cut inside 道
  const std::string header(70, 'h');
  ASSERT_EQ(Load(name + ",t,1,," + std::string(25, 's') + "," + std::string(22, 'c') + ",n," +
                 header + ",0,1,0\r\n" + kanjiName + ",t,1\r\n"),
            "");
  ASSERT_EQ(LayerCount(), 2);
  EXPECT_EQ(CatalogEntry(1).Name, name.substr(0, 20));
  EXPECT_EQ(CatalogEntry(1).Symbol, std::string(20, 's'));
  EXPECT_EQ(CatalogEntry(1).Color, std::string(20, 'c'));
  EXPECT_EQ(CatalogEntry(1).Attr(1).Header, std::string(60, 'h'));
  EXPECT_EQ(CatalogEntry(2).Name, kanjiName.substr(0, 20));
}

TEST(LoadLayerCatalog, TablesGrowBeyondTheOldLimits) {
  std::string content;
  for (int n = 0; n < 45; ++n) {
    content += "L" + std::to_string(n) + ",t,1,,,";
    for (int k = 0; k < 25; ++k) content += ",a" + std::to_string(k) + ",h,1,5,0";
    content += "\r\n";
  }
  ASSERT_EQ(Load(content), "");
  ASSERT_EQ(LayerCount(), 45);
  EXPECT_EQ(CatalogEntry(45).Name, "L44");
  EXPECT_EQ(CatalogEntry(45).AttrCount(), 25);
  EXPECT_EQ(CatalogEntry(45).Attr(25).Name, "a24");
}

TEST(LoadLayerCatalog, MissingFileLoadsNothing) {
  Load("A,t,1\r\n");  // leaves an entry behind from a good load
  ScratchDir dir;
  EXPECT_FALSE(LoadLayerCatalogFrom(dir.Folder() + "none.csv"));
  EXPECT_EQ(LayerCount(), 0);
  EXPECT_FALSE(LoadLayerCatalogFrom(dir.Folder()));  // a folder is no catalog
  bool opened = false;
  EXPECT_EQ(Load("", &opened), "");
  EXPECT_TRUE(opened);  // an empty file is a catalog of no layers
  EXPECT_EQ(LayerCount(), 0);
}

// The shipped catalog: every FGD vector feature type, sound kinds and types, and names that
// match only the files of their own type.
class ShippedCatalog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadLayerCatalogFrom(std::string(NABIK_SOURCE_DIR) + "/data/nabik.csv"));
  }
};

TEST_F(ShippedCatalog, HoldsEveryFeatureType) {
  const std::set<std::string> expected = {
      "GCP",     "ElevPt", "Cntr",      "AdmArea",    "AdmBdry",   "CommBdry", "AdmPt",
      "CommPt",  "SBArea", "SBBdry",    "SBAPt",      "WA",        "WL",       "Cstline",
      "WStrL",   "WStrA",  "LeveeEdge", "RvrMgtBdry", "BldA",      "BldL",     "RdEdg",
      "RdCompt", "RdASL",  "RdArea",    "RdSgmtA",    "RdMgtBdry", "RailCL"};
  std::set<std::string> names;
  for (int n = 1; n <= LayerCount(); ++n) {
    const tshpopentyp& e = CatalogEntry(n);
    names.insert(e.Name);
    EXPECT_GE(e.Kind, 1) << e.Name;
    EXPECT_LE(e.Kind, 4) << e.Name;
    EXPECT_FALSE(e.Title.empty()) << e.Name;
    EXPECT_FALSE(e.Color.empty()) << e.Name;
    EXPECT_LE(e.AttrCount(), 20) << e.Name;
    std::set<std::string> columns;
    for (const tshpattr& a : e.Attrs) {
      EXPECT_TRUE(a.Type == 0 || a.Type == 1) << e.Name << "." << a.Name;
      EXPECT_GT(a.Width, 0) << e.Name << "." << a.Name;
      EXPECT_LE(a.Width, 254) << e.Name << "." << a.Name;
      EXPECT_LE(a.Name.size(), 10u) << "dBASE field names hold 10 characters: " << a.Name;
      EXPECT_TRUE(columns.insert(a.Name).second) << e.Name << " lists " << a.Name << " twice";
    }
    if (!e.LabelItem.empty()) {
      EXPECT_TRUE(columns.count(e.LabelItem)) << e.Name;
    }
  }
  EXPECT_EQ(names, expected);
}

TEST_F(ShippedCatalog, NamesMatchOnlyTheirOwnFiles) {
  // Every sample file name says its type between the mesh and the date; it must match exactly
  // that catalog entry, and the metadata files none.
  std::vector<std::string> paths;
  for (const auto& item :
       std::filesystem::recursive_directory_iterator(std::string(NABIK_SAMPLES_DIR)))
    paths.push_back(item.path().filename().string());
  for (const char* inZip :
       {"FG-GML-503060-AdmArea-20170401-0001.xml", "FG-JPS-13112-AdmBdry-20111221-0001.xml",
        "FG-JPS-13112-AdmPt-20111221-0001.xml", "FG-GML-503060-WStrL-20170401-0001.xml",
        "fmdid17-0401.xml", "FG-GML-533946-BldA-20151001-0001.xml"})
    paths.push_back(inZip);
  int checked = 0;
  for (const std::string& file : paths) {
    if (!file.starts_with("FG-") && !file.starts_with("fmdid")) continue;
    std::string type;
    if (file.starts_with("FG-")) {
      // FG-GML-<mesh>-<type>-<date>-<n>.xml ; FG-GML-13-RailCL25000-... carries a level suffix.
      const size_t a = file.find('-', file.find('-', 3) + 1) + 1;
      type = file.substr(a, file.find('-', a) - a);
      while (!type.empty() && std::isdigit(static_cast<unsigned char>(type.back())))
        type.pop_back();
      if (type == "ALL" || type.empty()) continue;
    }
    std::set<std::string> matched;
    for (int n = 1; n <= LayerCount(); ++n)
      if (file.find(CatalogEntry(n).Name) != std::string::npos)
        matched.insert(CatalogEntry(n).Name);
    if (type.empty()) {
      EXPECT_TRUE(matched.empty()) << file;
    } else {
      EXPECT_EQ(matched, std::set<std::string>{type}) << file;
    }
    ++checked;
  }
  EXPECT_GE(checked, 20);
}

TEST_F(ShippedCatalog, IsShiftJisWithCrLf) {
  const std::string raw =
      testing_support::ReadFile(std::string(NABIK_SOURCE_DIR) + "/data/nabik.csv");
  EXPECT_NE(raw.find(Sjis("等高線")), std::string::npos);
  EXPECT_NE(raw.find(Sjis("出典：国土地理院 基盤地図情報")), std::string::npos);
  for (size_t i = 0; i < raw.size(); ++i)
    if (raw[i] == '\n') {
      ASSERT_TRUE(i > 0 && raw[i - 1] == '\r') << "bare LF at byte " << i;
    }
}

}  // namespace

namespace {

// Every symbol the shipped catalog names is defined in the shipped symbol file, which MapServer
// loads and draws with.
TEST_F(ShippedCatalog, SymbolsDrawInMapServer) {
  if (!testing_support::HaveProgram("map2img"))
    GTEST_SKIP() << "map2img (mapserver-bin) not installed";
  std::set<std::string> symbols;
  for (int n = 1; n <= LayerCount(); ++n)
    if (!CatalogEntry(n).Symbol.empty()) symbols.insert(CatalogEntry(n).Symbol);
  ASSERT_FALSE(symbols.empty());
  symbols.insert("no-such-symbol");  // proves that an undefined symbol makes map2img fail
  ScratchDir dir;
  for (const std::string& symbol : symbols) {
    const std::string map =
        "MAP\n EXTENT 0 0 10 10\n SIZE 64 64\n IMAGETYPE png\n SYMBOLSET \"" +
        std::string(NABIK_SOURCE_DIR) +
        "/data/symbols.sym\"\n LAYER\n  NAME \"p\"\n  TYPE POINT\n  STATUS "
        "DEFAULT\n  FEATURE POINTS 5 5 END END\n  CLASS\n   STYLE\n    SYMBOL \"" +
        symbol + "\"\n    SIZE 8\n    COLOR 0 0 0\n   END\n  END\n END\nEND\n";
    WriteFile(dir.Path() / "t.map", map);
    std::filesystem::remove(dir.Path() / "t.png");
    int status = -1;
    const std::string out = testing_support::RunCommand(
        "cd " + dir.Folder() + " && map2img -m t.map -o t.png 2>&1", &status);
    const bool drawn = status == 0 && std::filesystem::exists(dir.Path() / "t.png");
    EXPECT_EQ(drawn, symbol != "no-such-symbol") << symbol << ": " << out;
  }
}

}  // namespace
