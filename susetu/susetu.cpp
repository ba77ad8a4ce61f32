#include "susetu/susetu.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "catalog/intconv.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/text.h"
#include "susetu/inifile.h"

tsettingsplace SettingsPlaceFor(const std::string& exePath, bool folderWritable,
                                const char* configHome, const char* home) {
  const std::string beside = ChangeFileExt(exePath, ".Ini");
  if (folderWritable) return {beside, {}};
  // Relative values are ignored, as the XDG base directory rules say.
  std::string config;
  if (configHome && configHome[0] == '/')
    config = configHome;
  else if (home && home[0] == '/')
    config = std::string(home) + (home[std::strlen(home) - 1] == '/' ? "" : "/") + ".config";
  else
    return {beside, {}};
  if (config.back() != '/') config += '/';
  return {config + "nabik/" + FileNamePart(beside), beside};
}

tsettingsplace SettingsPlace() {
  const std::string exe = ExePath();
  const std::string folder = FolderPart(exe);
  return SettingsPlaceFor(exe, access(folder.empty() ? "." : folder.c_str(), W_OK) == 0,
                          std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

tmapsettings MapSettings;
namespace {
const tsettingsplace kStartPlace = SettingsPlace();
}
std::string SettingsFilePath = kStartPlace.Path;
std::string SettingsSeedPath = kStartPlace.Seed;

namespace {

// The keys of section "MapServer", in the order the file holds them.
enum tmapkey {
  kMapFileName,
  kLayersOnly,
  kMapName,
  kMapWidth,
  kMapHeight,
  kCoordUnit,
  kImageType,
  kMinScale,
  kMaxScale,
  kWebHeader,
  kWebTemplate,
  kWebFooter,
  kKanjiFont,
  kSeamless,
  kMapKeyCount
};

constexpr std::array<const char*, kMapKeyCount> kMapKeysUtf8 = {
    "Mapファイル名",   "レイヤ情報のみ", "Map名",        "地図サイズ幅", "地図サイズ高さ",
    "座標単位",        "座標タイプ",     "最小スケール", "最大スケール", "Webヘッダ",
    "Webテンプレート", "Webフッタ",      "漢字フォント", "シームレス"};

constexpr const char* kMapSection = "MapServer";

// A read returns at most this many bytes, as the original reading buffer did.
constexpr size_t kMaxValueBytes = 2047;

const std::string& MapKey(tmapkey key) {
  static const std::array<std::string, kMapKeyCount> keys = [] {
    std::array<std::string, kMapKeyCount> k;
    for (size_t i = 0; i < k.size(); ++i) k[i] = Sjis(kMapKeysUtf8[i]);
    return k;
  }();
  return keys[key];
}

// The export form's key comes after the fourteen, outside their table order.
const std::string& ExportFormKey() {
  static const std::string key = Sjis("出力形式");
  return key;
}

// The data format's key, of its own: a file without it keeps the designed shapefiles.
const std::string& DataFormatKey() {
  static const std::string key = Sjis("データ形式");
  return key;
}

// The target coordinate system's key, of its own: a file without it keeps the declared system.
const std::string& TargetCrsKey() {
  static const std::string key = Sjis("座標系");
  return key;
}

const std::string& FolderSection() {
  static const std::string section = Sjis("フォルダー");
  return section;
}

const std::string& OutputPathKey() {
  static const std::string key = Sjis("出力");
  return key;
}

std::string ReadText(const tinifile& ini, const std::string& section, const std::string& key) {
  const auto value = IniValue(ini, section, key);
  return value ? std::string(CutSjis(*value, kMaxValueBytes)) : std::string();
}

int32_t ReadInteger(const tinifile& ini, tmapkey key, int32_t fallback) {
  return ParseInt32(ReadText(ini, kMapSection, MapKey(key))).value_or(fallback);
}

bool ReadFlag(const tinifile& ini, tmapkey key, bool fallback) {
  return ReadInteger(ini, key, fallback ? 1 : 0) != 0;
}

// Width and height fields convert by the integer rules of the file; a non-number is 0.
std::string SizeText(const std::string& field) {
  return std::to_string(ParseInt32(field).value_or(0));
}

std::string FlagText(bool on) {
  return on ? "1" : "0";
}

// The file the settings are read from: the seed while the settings file does not exist yet.
std::string ReadPath() {
  std::error_code ec;
  if (!SettingsSeedPath.empty() && !std::filesystem::exists(SettingsFilePath, ec))
    return SettingsSeedPath;
  return SettingsFilePath;
}

// Before the first write into the user's folder: the folder, and the seed's content in the file.
// Failures here show as the refused write that follows.
void PrepareFirstWrite() {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (SettingsSeedPath.empty() || fs::exists(SettingsFilePath, ec)) return;
  fs::create_directories(FolderPart(SettingsFilePath), ec);
  if (fs::is_regular_file(SettingsSeedPath, ec))
    fs::copy_file(SettingsSeedPath, SettingsFilePath, ec);
}

void WriteOrRaise(const std::string& section, const std::string& key, const std::string& value) {
  PrepareFirstWrite();
  if (!WriteIniValue(SettingsFilePath, section, key, value))
    throw NabikError(FormatMessage("Unable to write to %s", SettingsFilePath));
}

// A list position as the dialog shows it: -1 (no selection) when it names no item.
int32_t ListPosition(int32_t position, const std::vector<std::string>& items) {
  return position >= 0 && position < static_cast<int32_t>(items.size()) ? position : -1;
}

std::string ListText(int32_t position, const std::vector<std::string>& items) {
  return position >= 0 ? items[position] : std::string();
}

}  // namespace

const std::vector<std::string>& CoordUnitItems() {
  static const std::vector<std::string> items = {"", Sjis("メートル")};
  return items;
}

const std::vector<tdataformat>& DataFormatItems() {
  static const std::vector<tdataformat> items = {
      {"shp", "シェープファイル"},
      {"GPKG", "GeoPackage"},
      {"FlatGeobuf", "FlatGeobuf"},
      {"GeoJSON", "GeoJSON"},
      {"GeoJSONSeq", "GeoJSON 行区切り"},
      {"SQLite", "SQLite"},
      {"CSV", "CSV"},
  };
  return items;
}

const std::vector<std::string>& ExportFormItems() {
  static const std::vector<std::string> items = {"MS4W", "MapServer 8"};
  return items;
}

const std::vector<std::string>& ImageTypeItems() {
  static const std::vector<std::string> items = {"", "gif", "jpeg", "png"};
  return items;
}

void LoadMapSettings() {
  const tinifile ini = LoadIniFile(ReadPath());
  const auto text = [&](tmapkey key) { return ReadText(ini, kMapSection, MapKey(key)); };
  tmapsettings s;
  s.MapFileName = text(kMapFileName);
  s.LayersOnly = ReadFlag(ini, kLayersOnly, false);
  s.MapName = text(kMapName);
  s.MapWidth = ReadInteger(ini, kMapWidth, 400);
  s.MapHeight = ReadInteger(ini, kMapHeight, 300);
  s.CoordUnit = ReadInteger(ini, kCoordUnit, 1);
  s.ImageType = ReadInteger(ini, kImageType, 0);
  s.MinScale = text(kMinScale);
  s.MaxScale = text(kMaxScale);
  s.WebHeader = text(kWebHeader);
  s.WebTemplate = text(kWebTemplate);
  s.WebFooter = text(kWebFooter);
  s.KanjiFont = text(kKanjiFont);
  s.Seamless = ReadFlag(ini, kSeamless, false);
  s.ExportForm = ParseInt32(ReadText(ini, kMapSection, ExportFormKey())).value_or(ExportFormMs4w);
  s.DataFormat = ReadText(ini, kMapSection, DataFormatKey());
  // Whole, unlike the original keys: a WKT may be longer than their buffer, and a cut one would
  // be written back by the dialog.
  s.TargetCrs = IniValue(ini, kMapSection, TargetCrsKey()).value_or(std::string());
  if (s.KanjiFont.empty()) s.KanjiFont = DefaultKanjiFont();
  MapSettings = std::move(s);
}

void SaveMapSettings(const tsettingsfields& f) {
  const std::array<std::pair<tmapkey, std::string>, kMapKeyCount> values = {{
      {kMapFileName, f.MapFileName},
      {kLayersOnly, FlagText(f.LayersOnly)},
      {kMapName, f.MapName},
      {kMapWidth, SizeText(f.MapWidth)},
      {kMapHeight, SizeText(f.MapHeight)},
      {kCoordUnit, std::to_string(f.CoordUnit)},
      {kImageType, std::to_string(f.ImageType)},
      {kMinScale, f.MinScale},
      {kMaxScale, f.MaxScale},
      {kWebHeader, f.WebHeader},
      {kWebTemplate, f.WebTemplate},
      {kWebFooter, f.WebFooter},
      {kKanjiFont, f.KanjiFont},
      {kSeamless, FlagText(f.Seamless)},
  }};
  for (const auto& [key, value] : values) WriteOrRaise(kMapSection, MapKey(key), value);
  if (f.ExportForm != ExportFormMs4w ||
      IniValue(LoadIniFile(SettingsFilePath), kMapSection, ExportFormKey()))
    WriteOrRaise(kMapSection, ExportFormKey(), std::to_string(f.ExportForm));
  const bool shapefiles = f.DataFormat.empty() || f.DataFormat == "shp";
  if (!shapefiles || IniValue(LoadIniFile(SettingsFilePath), kMapSection, DataFormatKey()))
    WriteOrRaise(kMapSection, DataFormatKey(), shapefiles ? "shp" : f.DataFormat);
  if (!f.TargetCrs.empty() || IniValue(LoadIniFile(SettingsFilePath), kMapSection, TargetCrsKey()))
    WriteOrRaise(kMapSection, TargetCrsKey(), f.TargetCrs);
}

tsettingsfields FillSettingsDialog() {
  const tmapsettings& s = MapSettings;
  tsettingsfields f;
  f.MapFileName = s.MapFileName;
  f.LayersOnly = s.LayersOnly;
  f.MapName = s.MapName;
  f.MapWidth = std::to_string(s.MapWidth);
  f.MapHeight = std::to_string(s.MapHeight);
  f.CoordUnit = ListPosition(s.CoordUnit, CoordUnitItems());
  f.CoordUnitText = ListText(f.CoordUnit, CoordUnitItems());
  f.ImageType = ListPosition(s.ImageType, ImageTypeItems());
  f.ImageTypeText = ListText(f.ImageType, ImageTypeItems());
  f.MinScale = s.MinScale;
  f.MaxScale = s.MaxScale;
  f.WebHeader = s.WebHeader;
  f.WebTemplate = s.WebTemplate;
  f.WebFooter = s.WebFooter;
  f.KanjiFont = s.KanjiFont;
  f.Seamless = s.Seamless;
  f.ExportForm = ListPosition(s.ExportForm, ExportFormItems());
  if (f.ExportForm < 0) f.ExportForm = ExportFormMs4w;
  f.DataFormat = s.DataFormat;
  f.TargetCrs = s.TargetCrs;
  return f;
}

std::string ReadOutputPath() {
  return ReadText(LoadIniFile(ReadPath()), FolderSection(), OutputPathKey());
}

void WriteOutputPath(const std::string& path) {
  WriteOrRaise(FolderSection(), OutputPathKey(), path);
}
