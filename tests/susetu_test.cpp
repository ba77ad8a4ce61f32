// The settings file: the ini layer, MapSettings with its reading rules and defaults, saving
// from the dialog's fields, the output path and the default kanji font.
#include "susetu/susetu.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <vector>

#include "common/errors.h"
#include "common/paths.h"
#include "common/text.h"
#include "support/test_support.h"
#include "susetu/inifile.h"

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

std::string DataFile(const std::string& name) {
  return ReadFile(std::string(NABIK_SOURCE_DIR) + "/tests/data/susetu/" + name);
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Every test gets its own settings file in a scratch folder and a fresh MapSettings.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = SettingsFilePath;
    SettingsFilePath = dir_.Folder() + "nabik.Ini";
    MapSettings = tmapsettings{};
  }
  void TearDown() override {
    SettingsFilePath = saved_;
    SettingsSeedPath.clear();
    MapSettings = tmapsettings{};
  }
  // A settings file holding `lines` (UTF-8, converted to CP932) under [MapServer].
  void WriteSettings(const std::string& linesUtf8) {
    WriteFile(SettingsFilePath, Sjis("[MapServer]\r\n" + linesUtf8));
  }
  std::string FileText() const { return ReadFile(SettingsFilePath); }

  ScratchDir dir_;
  std::string saved_;
};

// --- the ini layer ---

TEST(IniFile, ParseAndJoinKeepEveryByte) {
  for (const std::string& content : std::vector<std::string>{
           "", "a", "a\r\nb\r\n", "a\nb", "\r\n\r\n", "x\r\r\ny", std::string("\0=\0\n", 4),
           std::string("[s]\r\nk=v\n;c\r\n\n  z  ")})
    EXPECT_EQ(JoinIni(ParseIni(content)), content);
  const tinifile ini = ParseIni("a\r\nb\nc");
  ASSERT_EQ(ini.Lines.size(), 3u);
  EXPECT_EQ(ini.Lines[0].End, "\r\n");
  EXPECT_EQ(ini.Lines[1].End, "\n");
  EXPECT_EQ(ini.Lines[2].End, "");
}

TEST(IniFile, ReadsValuesByTheMatchingRules) {
  const std::string file = Sjis(
      "k=before any section\r\n"
      "[One]\r\n"
      "a=1\r\n"
      "  b  =  two words  \r\n"
      "Mixed=3\r\n"
      "a=second a\r\n"
      ";c=comment\r\n"
      "no equals here\r\n"
      "e=\r\n"
      "eq=x=y\r\n"
      "[ フォルダー ]\r\n"
      "出力=/out/list.txt\n"
      "[one]\r\n"
      "f=in the second One\r\n");
  const tinifile ini = ParseIni(file);
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  };
  for (const Case& c :
       {Case{"One", "a", "1"}, Case{"one", "A", "1"}, Case{"One", "b", "two words"},
        Case{"One", "mixed", "3"}, Case{"One", "c", std::nullopt}, Case{";c", "c", std::nullopt},
        Case{"One", "e", ""}, Case{"One", "eq", "x=y"}, Case{"One", "k", std::nullopt},
        Case{"One", "f", std::nullopt}, Case{"Two", "a", std::nullopt},
        Case{"フォルダー", "出力", "/out/list.txt"}, Case{"フォルダー", "a", std::nullopt}})
    EXPECT_EQ(IniValue(ini, Sjis(c.section), Sjis(c.key)), c.value) << c.section << " " << c.key;
}

TEST(IniFile, DoubleByteNamesAreNeverSplit) {
  // The second byte of ア (0x83 0x41) looks like 'A' but is no letter.
  const tinifile ini = ParseIni(Sjis("[ア]\r\nア=1\r\n"));
  EXPECT_EQ(IniValue(ini, Sjis("ア"), Sjis("ア")), "1");
  EXPECT_EQ(IniValue(ini,
                     "\x83"
                     "a",
                     Sjis("ア")),
            std::nullopt);
  // The second byte of ゾ (0x83 0x5D) looks like ']' but does not close the name.
  const tinifile brackets = ParseIni(Sjis("[ゾーン]\r\nk=v\r\n"));
  EXPECT_EQ(IniValue(brackets, Sjis("ゾーン"), "k"), "v");
}

struct SetCase {
  const char* before;
  const char* section;
  const char* key;
  const char* value;
  const char* after;
};

void PrintTo(const SetCase& c, std::ostream* os) {
  std::string before;
  for (const char* b = c.before; *b; ++b)
    before += *b == '\r' ? "\\r" : *b == '\n' ? "\\n" : std::string(1, *b);
  *os << c.section << "/" << c.key << "=" << c.value << " into '" << before << "'";
}

class SetIniValueTest : public ::testing::TestWithParam<SetCase> {};

TEST_P(SetIniValueTest, ReplacesInPlaceOrAppends) {
  const SetCase& c = GetParam();
  tinifile ini = ParseIni(c.before);
  SetIniValue(ini, c.section, c.key, c.value);
  EXPECT_EQ(JoinIni(ini), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, SetIniValueTest,
    ::testing::Values(
        SetCase{"", "S", "k", "v", "[S]\r\nk=v\r\n"},
        SetCase{"[S]\r\nk=old\r\nj=1\r\n", "S", "k", "new", "[S]\r\nk=new\r\nj=1\r\n"},
        // Other lines keep their bytes, LF ends included; the written line ends with CR LF.
        SetCase{"; c\n[S]\nk = old\nj=1\n", "S", "K", "", "; c\n[S]\nK=\r\nj=1\n"},
        // A missing key goes after the last non-empty line of its section.
        SetCase{"[S]\r\na=1\r\n\r\n[T]\r\nb=2\r\n", "S", "n", "3",
                "[S]\r\na=1\r\nn=3\r\n\r\n[T]\r\nb=2\r\n"},
        SetCase{"[S]\r\n\r\n[T]\r\n", "S", "n", "3", "[S]\r\nn=3\r\n\r\n[T]\r\n"},
        SetCase{"[T]\r\nb=2\r\n[S]\r\na=1", "S", "n", "3", "[T]\r\nb=2\r\n[S]\r\na=1\r\nn=3\r\n"},
        // A missing section goes at the end of the file.
        SetCase{"[T]\r\nb=2", "S", "k", "v", "[T]\r\nb=2\r\n[S]\r\nk=v\r\n"},
        SetCase{"[T]\r\nb=2\r\n\r\n", "S", "k", "v", "[T]\r\nb=2\r\n\r\n[S]\r\nk=v\r\n"},
        // Only the first matching key and section change.
        SetCase{"[S]\r\nk=1\r\nk=2\r\n[S]\r\nk=3\r\n", "s", "k", "9",
                "[S]\r\nk=9\r\nk=2\r\n[S]\r\nk=3\r\n"},
        // A comment that looks like the key stays.
        SetCase{"[S]\r\n;k=1\r\n", "S", "k", "2", "[S]\r\n;k=1\r\nk=2\r\n"}));

class IniWrite : public ::testing::Test {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.Folder() + "x.Ini";
};

TEST_F(IniWrite, CreatesTheFileAndLeavesNoTemporaryFile) {
  ASSERT_TRUE(WriteIniValue(path_, "S", "k", "v"));
  ASSERT_TRUE(WriteIniValue(path_, "S", "j", "w"));
  EXPECT_EQ(ReadFile(path_), "[S]\r\nk=v\r\nj=w\r\n");
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_.Path())) ++files;
  EXPECT_EQ(files, 1u);
}

TEST_F(IniWrite, KeepsTheFileModeAndASymbolicLink) {
  WriteFile(path_, "[S]\r\nk=1\r\n");
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const std::string link = dir_.Folder() + "link.Ini";
  fs::create_symlink(path_, link);
  ASSERT_TRUE(WriteIniValue(link, "S", "k", "2"));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(path_), "[S]\r\nk=2\r\n");
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(IniWrite, RefusesWhatWouldBreakOrLoseTheFile) {
  WriteFile(path_, "[S]\r\nk=1\r\n");
  struct Case {
    std::string path, section, key, value;
  };
  for (const Case& c :
       {Case{path_, "S", "k", "a\r\nb=2"}, Case{path_, "S", "k", "a\nb"},
        Case{path_, "S", "k", "a\rb"}, Case{path_, "S\n", "k", "v"}, Case{path_, "S]", "k", "v"},
        Case{path_, "S", "k=j", "v"}, Case{path_, "S", " ", "v"}, Case{path_, "S", "", "v"},
        Case{dir_.Folder() + "missing/x.Ini", "S", "k", "v"}, Case{dir_.Folder(), "S", "k", "v"}}) {
    EXPECT_FALSE(WriteIniValue(c.path, c.section, c.key, c.value)) << c.path << " " << c.value;
  }
  EXPECT_EQ(ReadFile(path_), "[S]\r\nk=1\r\n");
  EXPECT_FALSE(fs::exists(dir_.Folder() + "missing"));
}

TEST_F(IniWrite, LoadingAMissingFileCreatesNothing) {
  EXPECT_TRUE(LoadIniFile(path_).Lines.empty());
  EXPECT_TRUE(LoadIniFile(dir_.Folder()).Lines.empty());
  EXPECT_FALSE(fs::exists(path_));
}

// --- MapSettings ---

TEST_F(Settings, WithoutAFileEverythingIsItsDefault) {
  LoadMapSettings();
  const tmapsettings& s = MapSettings;
  EXPECT_EQ(s.MapWidth, 400);
  EXPECT_EQ(s.MapHeight, 300);
  EXPECT_EQ(s.CoordUnit, 1);
  EXPECT_EQ(s.ImageType, 0);
  EXPECT_FALSE(s.LayersOnly);
  EXPECT_FALSE(s.Seamless);
  for (const std::string* text : {&s.MapFileName, &s.MapName, &s.MinScale, &s.MaxScale,
                                  &s.WebHeader, &s.WebTemplate, &s.WebFooter})
    EXPECT_EQ(*text, "");
  EXPECT_EQ(s.KanjiFont, DefaultKanjiFont());
  EXPECT_EQ(ReadOutputPath(), "");
  const tsettingsfields f = FillSettingsDialog();
  EXPECT_EQ(f.CoordUnit, 1);
  EXPECT_EQ(f.CoordUnitText, Sjis("メートル"));
  EXPECT_EQ(f.ImageType, 0);
  EXPECT_EQ(f.ImageTypeText, "");
  EXPECT_FALSE(fs::exists(SettingsFilePath));
}

struct IntegerCase {
  const char* value;
  int32_t width;
};

void PrintTo(const IntegerCase& c, std::ostream* os) {
  *os << "'" << c.value << "'";
}

class IntegerKey : public Settings, public ::testing::WithParamInterface<IntegerCase> {};

TEST_P(IntegerKey, ReadsByTheIntegerRulesOrGivesTheDefault) {
  WriteSettings(std::string("地図サイズ幅=") + GetParam().value + "\r\n");
  LoadMapSettings();
  EXPECT_EQ(MapSettings.MapWidth, GetParam().width) << GetParam().value;
  EXPECT_EQ(MapSettings.MapHeight, 300);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IntegerKey,
    ::testing::Values(IntegerCase{"0x1F4", 500}, IntegerCase{"500px", 400}, IntegerCase{"500", 500},
                      IntegerCase{"", 400}, IntegerCase{"  -20", -20}, IntegerCase{"+7", 7},
                      IntegerCase{"$10", 16}, IntegerCase{"x10", 16}, IntegerCase{"0", 0},
                      IntegerCase{"2147483647", 2147483647}, IntegerCase{"2147483648", 400},
                      IntegerCase{"-2147483648", INT32_MIN}, IntegerCase{"1.5", 400},
                      IntegerCase{"99999999999999999999999", 400}));

struct FlagCase {
  const char* value;
  bool on;
};

void PrintTo(const FlagCase& c, std::ostream* os) {
  *os << "'" << c.value << "'";
}

class FlagKey : public Settings, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(FlagKey, AnyNonZeroIntegerIsTrue) {
  WriteSettings(std::string("レイヤ情報のみ=") + GetParam().value +
                "\r\nシームレス=" + GetParam().value + "\r\n");
  LoadMapSettings();
  EXPECT_EQ(MapSettings.LayersOnly, GetParam().on) << GetParam().value;
  EXPECT_EQ(MapSettings.Seamless, GetParam().on) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, FlagKey,
                         ::testing::Values(FlagCase{"2", true}, FlagCase{"yes", false},
                                           FlagCase{"1", true}, FlagCase{"0", false},
                                           FlagCase{"-1", true}, FlagCase{"0x0", false},
                                           FlagCase{"$FF", true}, FlagCase{"", false},
                                           FlagCase{"true", false}));

TEST_F(Settings, TextsAreCutAt2047BytesWithoutSplittingACharacter) {
  WriteSettings("Map名=" + std::string(3000, 'a') + "\r\n最大スケール=" + std::string(2046, '1') +
                "漢字\r\nWebヘッダ=" + std::string(2047, 'h') + "\r\n");
  LoadMapSettings();
  EXPECT_EQ(MapSettings.MapName, std::string(2047, 'a'));
  EXPECT_EQ(MapSettings.MaxScale, std::string(2046, '1'));
  EXPECT_EQ(MapSettings.WebHeader, std::string(2047, 'h'));
}

TEST_F(Settings, ReadsEveryKeyIntoItsField) {
  WriteSettings(
      "Mapファイル名=m.map\r\nレイヤ情報のみ=1\r\nMap名=名前\r\n地図サイズ幅=640\r\n"
      "地図サイズ高さ=480\r\n座標単位=0\r\n座標タイプ=2\r\n最小スケール=100\r\n"
      "最大スケール=9000\r\nWebヘッダ=h\r\nWebテンプレート=t\r\nWebフッタ=f\r\n"
      "漢字フォント=/fonts/ゴシック.ttf\r\nシームレス=1\r\n");
  LoadMapSettings();
  const tmapsettings& s = MapSettings;
  EXPECT_EQ(s.MapFileName, "m.map");
  EXPECT_TRUE(s.LayersOnly);
  EXPECT_EQ(s.MapName, Sjis("名前"));
  EXPECT_EQ(s.MapWidth, 640);
  EXPECT_EQ(s.MapHeight, 480);
  EXPECT_EQ(s.CoordUnit, 0);
  EXPECT_EQ(s.ImageType, 2);
  EXPECT_EQ(s.MinScale, "100");
  EXPECT_EQ(s.MaxScale, "9000");
  EXPECT_EQ(s.WebHeader, "h");
  EXPECT_EQ(s.WebTemplate, "t");
  EXPECT_EQ(s.WebFooter, "f");
  EXPECT_EQ(s.KanjiFont, Sjis("/fonts/ゴシック.ttf"));
  EXPECT_TRUE(s.Seamless);
}

TEST_F(Settings, AcceptsLfLineEnds) {
  WriteFile(SettingsFilePath, Sjis("[MapServer]\nMap名=LF\n地図サイズ高さ=200\n"));
  LoadMapSettings();
  EXPECT_EQ(MapSettings.MapName, "LF");
  EXPECT_EQ(MapSettings.MapHeight, 200);
}

TEST_F(Settings, BrokenFilesNeverCrashLoading) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 37 + 11) % 256);
  for (const std::string& content :
       {std::string(), binary, std::string(5'000'000, '\n'), std::string(5'000'000, '['),
        Sjis("[MapServer]\r\nMap名=") + std::string(20'000'000, 'x'),
        Sjis("[MapServer]\r\n地図サイズ幅=") + std::string(1'000'000, '9'),
        std::string("[MapServer]\0\r\n\0=\0\r\n", 19), std::string(3000, '\x81')}) {
    WriteFile(SettingsFilePath, content);
    LoadMapSettings();
    EXPECT_LE(MapSettings.MapName.size(), 2047u);
    EXPECT_EQ(MapSettings.MapHeight, 300);
    ReadOutputPath();
  }
  EXPECT_EQ(MapSettings.MapWidth, 400);
}

TEST_F(Settings, AnEmptyFontSettingGivesTheDefaultInMemoryOnly) {
  WriteSettings("漢字フォント=\r\n");
  const std::string before = FileText();
  LoadMapSettings();
  EXPECT_EQ(MapSettings.KanjiFont, DefaultKanjiFont());
  EXPECT_EQ(FileText(), before);
  // The dialog shows the default; clearing the field and OK stores an empty value.
  tsettingsfields f = FillSettingsDialog();
  EXPECT_EQ(f.KanjiFont, DefaultKanjiFont());
  f.KanjiFont.clear();
  SaveMapSettings(f);
  EXPECT_NE(FileText().find(Sjis("\r\n漢字フォント=\r\n")), std::string::npos);
  LoadMapSettings();
  EXPECT_EQ(MapSettings.KanjiFont, DefaultKanjiFont());
}

TEST(DefaultKanjiFont, IsAJapaneseOutlineFontFile) {
  const std::string font = DefaultKanjiFont();
  const std::string ext = LowerSjis(FileExtPart(font));
  EXPECT_TRUE(ext == ".ttf" || ext == ".ttc" || ext == ".otf") << font;
  EXPECT_TRUE(fs::exists(font)) << font;
  int status = 1;
  const std::string langs =
      testing_support::RunCommand("fc-query -f '%{lang}' '" + font + "' 2>/dev/null", &status);
  if (status == 0) {
    EXPECT_NE(("|" + langs + "|").find("|ja|"), std::string::npos) << langs;
  }
}

// Without any font known to fontconfig the design's fallback beside the executable applies. Run
// in a fresh process, so that fontconfig starts with the empty configuration.
TEST(DefaultKanjiFontDeathTest, FallsBackBesideTheExecutable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScratchDir dir;
  const std::string config = dir.Folder() + "fonts.conf";
  WriteFile(config, "<?xml version=\"1.0\"?><fontconfig></fontconfig>\n");
  EXPECT_EXIT(
      {
        setenv("FONTCONFIG_FILE", config.c_str(), 1);
        unsetenv("FONTCONFIG_PATH");
        std::exit(DefaultKanjiFont() == ExeFolder() + "Fonts/msgothic.ttc" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// --- saving from the dialog's fields ---

tsettingsfields SampleFields() {
  tsettingsfields f;
  f.MapFileName = "hidden.map";
  f.LayersOnly = true;
  f.MapName = Sjis("東京");
  f.MapWidth = "12a";
  f.MapHeight = "0x1F4";
  f.CoordUnit = -1;
  f.CoordUnitText = Sjis("打ち込み");
  f.ImageType = 3;
  f.ImageTypeText = "png";
  f.MinScale = "200";
  f.MaxScale = "25000";
  f.WebHeader = "head.html";
  f.WebTemplate = "tmpl.html";
  f.WebFooter = "foot.html";
  f.KanjiFont = "/usr/share/fonts/x.ttf";
  f.Seamless = false;
  return f;
}

TEST_F(Settings, SavesTheFourteenKeysInTableOrder) {
  SaveMapSettings(SampleFields());
  EXPECT_EQ(FileText(), DataFile("saved.Ini"));
  EXPECT_EQ(MapSettings.MapName, "");  // left alone until the next load
}

TEST_F(Settings, TheExportFormKeyIsWrittenOnlyWhenNeeded) {
  struct Case {
    const char* what;
    int32_t form;
    std::string keyLine;  // "出力形式" line the file holds afterwards, empty for none
    int32_t shown;        // the list position the dialog shows after loading
  };
  const std::vector<Case> cases = {
      {"MS4W into a file without the key", ExportFormMs4w, "", 0},
      {"MapServer 8", ExportFormMapServer8, "出力形式=1", 1},
      {"back to MS4W replaces the key", ExportFormMs4w, "出力形式=0", 0},
      {"a position naming no item", 7, "出力形式=7", 0},
  };
  for (const Case& c : cases) {
    tsettingsfields f = SampleFields();
    f.ExportForm = c.form;
    SaveMapSettings(f);
    const std::string text = Cp932ToUtf8(FileText());
    if (c.keyLine.empty())
      EXPECT_EQ(FileText(), DataFile("saved.Ini")) << c.what;
    else
      EXPECT_TRUE(text.ends_with("シームレス=0\r\n" + c.keyLine + "\r\n")) << c.what << text;
    LoadMapSettings();
    EXPECT_EQ(MapSettings.ExportForm, c.form) << c.what;
    EXPECT_EQ(FillSettingsDialog().ExportForm, c.shown) << c.what;
  }
}

TEST_F(Settings, TheDataFormatKeyIsWrittenOnlyWhenNeeded) {
  struct Case {
    const char* what;
    std::string format;   // what the dialog hands over
    std::string keyLine;  // "データ形式" line the file holds afterwards, empty for none
    std::string loaded;   // MapSettings.DataFormat after loading
  };
  const std::vector<Case> cases = {
      {"the shapefiles into a file without the key", "shp", "", ""},
      {"no choice at all", "", "", ""},
      {"GeoPackage", "GPKG", "データ形式=GPKG", "GPKG"},
      {"back to the shapefiles replaces the key", "shp", "データ形式=shp", "shp"},
  };
  for (const Case& c : cases) {
    tsettingsfields f = SampleFields();
    f.DataFormat = c.format;
    SaveMapSettings(f);
    const std::string text = Cp932ToUtf8(FileText());
    if (c.keyLine.empty())
      EXPECT_EQ(FileText(), DataFile("saved.Ini")) << c.what;
    else
      EXPECT_TRUE(text.ends_with("シームレス=0\r\n" + c.keyLine + "\r\n")) << c.what << text;
    LoadMapSettings();
    EXPECT_EQ(MapSettings.DataFormat, c.loaded) << c.what;
    EXPECT_EQ(FillSettingsDialog().DataFormat, c.loaded) << c.what;
  }
}

TEST_F(Settings, TheTargetCrsKeyIsWrittenOnlyWhenNeededAndKeepsItsText) {
  // A WKT of the user's own, longer than the buffer of the original keys, with CP932 in it.
  std::string wkt = Sjis("PROJCRS[\"手書きの平面直角座標系\",BASEGEOGCRS[\"JGD2011\"]");
  while (wkt.size() <= 2047) wkt += ",PARAMETER[\"False easting\",0]";
  wkt += "]";
  struct Case {
    const char* what;
    std::string crs;      // what the dialog hands over, and what loading gives back
    std::string keyLine;  // "座標系" line the file holds afterwards (UTF-8), empty for none
  };
  const std::vector<Case> cases = {
      {"as declared into a file without the key", "", ""},
      {"zone IX", "EPSG:6677", "座標系=EPSG:6677"},
      {"an own code", "EPSG:2451", "座標系=EPSG:2451"},
      {"an own long WKT", wkt, "座標系=" + Cp932ToUtf8(wkt)},
      {"back to as declared keeps the key, empty", "", "座標系="},
  };
  for (const Case& c : cases) {
    tsettingsfields f = SampleFields();
    f.TargetCrs = c.crs;
    SaveMapSettings(f);
    const std::string text = Cp932ToUtf8(FileText());
    if (c.keyLine.empty())
      EXPECT_EQ(FileText(), DataFile("saved.Ini")) << c.what;
    else
      EXPECT_TRUE(text.ends_with("シームレス=0\r\n" + c.keyLine + "\r\n")) << c.what << text;
    LoadMapSettings();
    EXPECT_EQ(MapSettings.TargetCrs, c.crs) << c.what;
    EXPECT_EQ(FillSettingsDialog().TargetCrs, c.crs) << c.what;
    // OK with what the dialog then shows writes the same bytes again.
    const std::string once = FileText();
    SaveMapSettings(FillSettingsDialog());
    EXPECT_EQ(FileText(), once) << c.what;
  }
}

TEST_F(Settings, RoundTripThroughTheFile) {
  SaveMapSettings(SampleFields());
  LoadMapSettings();
  EXPECT_EQ(MapSettings.MapWidth, 0);  // "12a" is stored as 0
  EXPECT_EQ(MapSettings.MapHeight, 500);
  const tsettingsfields f = FillSettingsDialog();
  tsettingsfields expected = SampleFields();
  expected.MapWidth = "0";
  expected.MapHeight = "500";
  expected.CoordUnitText = "";
  for (const auto& [shown, want] :
       std::vector<std::pair<std::string, std::string>>{{f.MapFileName, expected.MapFileName},
                                                        {f.MapName, expected.MapName},
                                                        {f.MapWidth, expected.MapWidth},
                                                        {f.MapHeight, expected.MapHeight},
                                                        {f.CoordUnitText, expected.CoordUnitText},
                                                        {f.ImageTypeText, expected.ImageTypeText},
                                                        {f.MinScale, expected.MinScale},
                                                        {f.MaxScale, expected.MaxScale},
                                                        {f.WebHeader, expected.WebHeader},
                                                        {f.WebTemplate, expected.WebTemplate},
                                                        {f.WebFooter, expected.WebFooter},
                                                        {f.KanjiFont, expected.KanjiFont}})
    EXPECT_EQ(shown, want);
  EXPECT_EQ(f.LayersOnly, true);
  EXPECT_EQ(f.Seamless, false);
  EXPECT_EQ(f.CoordUnit, -1);
  EXPECT_EQ(f.ImageType, 3);
  // Saving what the dialog shows changes nothing any more.
  const std::string once = FileText();
  SaveMapSettings(f);
  EXPECT_EQ(FileText(), once);
}

struct PositionCase {
  int32_t coordUnit, imageType;
  int32_t shownUnit;
  const char* unitTextUtf8;
  int32_t shownType;
  const char* typeText;
};

void PrintTo(const PositionCase& c, std::ostream* os) {
  *os << "unit " << c.coordUnit << " type " << c.imageType;
}

class ListPositions : public Settings, public ::testing::WithParamInterface<PositionCase> {};

TEST_P(ListPositions, APositionNamingNoItemShowsNoSelection) {
  const PositionCase& c = GetParam();
  WriteSettings("座標単位=" + std::to_string(c.coordUnit) +
                "\r\n座標タイプ=" + std::to_string(c.imageType) + "\r\n");
  LoadMapSettings();
  EXPECT_EQ(MapSettings.ImageType, c.imageType);
  const tsettingsfields f = FillSettingsDialog();
  EXPECT_EQ(f.CoordUnit, c.shownUnit);
  EXPECT_EQ(f.CoordUnitText, Sjis(c.unitTextUtf8));
  EXPECT_EQ(f.ImageType, c.shownType);
  EXPECT_EQ(f.ImageTypeText, c.typeText);
  // The next OK stores the positions shown.
  SaveMapSettings(f);
  LoadMapSettings();
  EXPECT_EQ(MapSettings.CoordUnit, c.shownUnit);
  EXPECT_EQ(MapSettings.ImageType, c.shownType);
}

INSTANTIATE_TEST_SUITE_P(Values, ListPositions,
                         ::testing::Values(PositionCase{1, 7, 1, "メートル", -1, ""},
                                           PositionCase{0, 0, 0, "", 0, ""},
                                           PositionCase{2, 1, -1, "", 1, "gif"},
                                           PositionCase{-1, 2, -1, "", 2, "jpeg"},
                                           PositionCase{-5, 3, -1, "", 3, "png"},
                                           PositionCase{1, 4, 1, "メートル", -1, ""},
                                           PositionCase{1, -1, 1, "メートル", -1, ""}));

TEST_F(Settings, HandEditedLinesAndHiddenKeysSurvive) {
  WriteFile(SettingsFilePath, DataFile("handmade.Ini"));
  LoadMapSettings();
  EXPECT_EQ(MapSettings.MapFileName, "hand.map");
  EXPECT_EQ(MapSettings.WebHeader, Sjis("<h1>地図</h1>"));
  EXPECT_EQ(MapSettings.MapWidth, 500);
  EXPECT_EQ(ReadOutputPath(), "/data/old/list.txt");
  for (int ok = 0; ok < 3; ++ok) {
    SaveMapSettings(FillSettingsDialog());
    LoadMapSettings();
  }
  WriteOutputPath(Sjis("/data/新しい/list.txt"));
  EXPECT_EQ(FileText(), ReplaceAll(DataFile("handmade_saved.Ini"), "@FONT@", DefaultKanjiFont()));
  EXPECT_EQ(ReadOutputPath(), Sjis("/data/新しい/list.txt"));
}

TEST_F(Settings, OutputPathOfItsOwnSection) {
  WriteOutputPath("/out/list.txt");
  EXPECT_EQ(FileText(), Sjis("[フォルダー]\r\n出力=/out/list.txt\r\n"));
  EXPECT_EQ(ReadOutputPath(), "/out/list.txt");
  SaveMapSettings(tsettingsfields{});
  WriteOutputPath("");
  EXPECT_EQ(ReadOutputPath(), "");
  const std::string head = Sjis("[フォルダー]\r\n出力=\r\n[MapServer]\r\nMapファイル名=\r\n");
  EXPECT_EQ(FileText().substr(0, head.size()), head);
}

void ExpectRefused(const std::function<void()>& write) {
  try {
    write();
    ADD_FAILURE() << "no error";
  } catch (const NabikError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + SettingsFilePath);
  }
}

TEST_F(Settings, ARefusedWriteIsReported) {
  SettingsFilePath = dir_.Folder() + "no such folder/nabik.Ini";
  ExpectRefused([] { SaveMapSettings(SampleFields()); });
  ExpectRefused([] { WriteOutputPath("/out/list.txt"); });
  EXPECT_FALSE(fs::exists(dir_.Folder() + "no such folder"));
  // A folder where the file should be.
  SettingsFilePath = dir_.Folder();
  ExpectRefused([] { WriteOutputPath("/out/list.txt"); });
}

TEST_F(Settings, SavingStopsAtTheRefusedKey) {
  tsettingsfields f = SampleFields();
  f.MapName = "two\nlines";  // cannot be one line of the file
  ExpectRefused([&] { SaveMapSettings(f); });
  EXPECT_EQ(FileText(), Sjis("[MapServer]\r\nMapファイル名=hidden.map\r\nレイヤ情報のみ=1\r\n"));
  ExpectRefused([] { WriteOutputPath("a\r\nb"); });
}

// ---- Found by fuzzing the ini writer ----

struct tcutsection {
  const char* Name;
  std::string Section;
  bool Refused;
};

class CutSection : public testing::TestWithParam<tcutsection> {};

// A section whose last byte starts a double-byte character would swallow the closing ']' of
// its header: the header is never read back and every write would add the section again.
TEST_P(CutSection, IsRefusedOrReadsBack) {
  ScratchDir dir;
  const std::string path = dir.Folder() + "nabik.Ini";
  const std::string before = "[A]\r\nk=v\r\n";
  WriteFile(path, before);
  const tcutsection& c = GetParam();
  EXPECT_EQ(WriteIniValue(path, c.Section, "Key", "x"), !c.Refused);
  if (c.Refused) {
    EXPECT_EQ(ReadFile(path), before);
  } else {
    EXPECT_EQ(IniValue(LoadIniFile(path), c.Section, "Key"), "x");
    EXPECT_TRUE(WriteIniValue(path, c.Section, "Key", "y"));
    EXPECT_EQ(ReadFile(path), before + "[" + c.Section + "]\r\nKey=y\r\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sections, CutSection,
    testing::Values(tcutsection{"EndsInLeadByte", "Ne\xfc", true},
                    tcutsection{"OnlyALeadByte", "\x81", true},
                    tcutsection{"WholeCharacter", "Ne\x81\x40", false},
                    // 0x81 0x5D is one character whose second byte is ']': not a closing bracket.
                    tcutsection{"SecondByteIsBracket", "\x81]", false},
                    tcutsection{"LeadByteAsSecondByte", "\x81\x81", false}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- Where the file lives ----

struct tplacecase {
  bool Writable;
  const char* ConfigHome;
  const char* Home;
  const char* Path;  // the seed is the file beside the program whenever Path is elsewhere
};

TEST(SettingsPlace, BesideAWritableProgramElseInTheUsersConfigFolder) {
  const std::string beside = "/opt/nabik/nabik.Ini";
  for (const tplacecase& c : {tplacecase{true, "/c", "/h", "/opt/nabik/nabik.Ini"},
                              tplacecase{false, "/c/", "/h", "/c/nabik/nabik.Ini"},
                              tplacecase{false, nullptr, "/h", "/h/.config/nabik/nabik.Ini"},
                              tplacecase{false, "", "/h/", "/h/.config/nabik/nabik.Ini"},
                              tplacecase{false, "rel", "/h", "/h/.config/nabik/nabik.Ini"},
                              tplacecase{false, nullptr, "", "/opt/nabik/nabik.Ini"}}) {
    const tsettingsplace place =
        SettingsPlaceFor("/opt/nabik/nabik", c.Writable, c.ConfigHome, c.Home);
    EXPECT_EQ(place.Path, c.Path);
    EXPECT_EQ(place.Seed, place.Path == beside ? "" : beside) << c.Path;
  }
}

// Before the first write the shipped file is read in place of the user's; the first write
// makes the folders and starts from the shipped content (or from nothing without one).
TEST_F(Settings, TheUsersFileStartsAsACopyOfTheShippedOne) {
  const std::string shipped = Sjis("[MapServer]\r\nMap名=shipped\r\n");
  WriteFile(SettingsSeedPath = dir_.Folder() + "shipped.Ini", shipped);
  for (const std::string& start : {shipped, std::string()}) {
    SettingsFilePath = dir_.Folder() + std::to_string(start.size()) + "/nabik/nabik.Ini";
    LoadMapSettings();
    EXPECT_EQ(MapSettings.MapName, start.empty() ? "" : "shipped");
    EXPECT_FALSE(fs::exists(SettingsFilePath));
    WriteOutputPath("/x");
    EXPECT_EQ(FileText(), start + Sjis("[フォルダー]\r\n出力=/x\r\n"));
    fs::remove(SettingsSeedPath);
  }
}

}  // namespace
