#pragma once
// The settings file beside the executable (nabik.Ini): the fourteen MapServer export settings,
// the export form ("出力形式"), the data format ("データ形式") and the target coordinate system
// ("座標系") in section "MapServer" and the last output path in section "フォルダー". All texts
// here are CP932 bytes; the dialog converts them for display only.
#include <cstdint>
#include <string>
#include <vector>

// The export settings in memory. Only LoadMapSettings writes them; nothing checks ranges.
struct tmapsettings {
  std::string MapFileName;  // stored only
  bool LayersOnly = false;  // the map file gets only its LAYER sections
  std::string MapName;      // comment line at the head of the map file
  int32_t MapWidth = 400;   // map image size in pixels
  int32_t MapHeight = 300;
  int32_t CoordUnit = 1;  // position in the unit list; stored only
  int32_t ImageType = 0;  // position in the image type list: 1 gif, 2 jpeg, 3 png
  std::string MinScale;   // stored only
  std::string MaxScale;   // the WEB section's MAXSCALE when not empty
  std::string WebHeader;  // stored only
  std::string WebTemplate;
  std::string WebFooter;
  std::string KanjiFont;   // font file copied into the web installation
  bool Seamless = false;   // stored only
  int32_t ExportForm = 0;  // position in the export form list: 0 MS4W, 1 MapServer 8
  // The format of the converted data ("データ形式"): GDAL's short driver name ("GPKG"), empty
  // for the designed shapefiles.
  std::string DataFormat;
  // The target coordinate system ("座標系"): a text PROJ understands ("EPSG:6677"), empty for
  // the system the data declares, which leaves every output as it was.
  std::string TargetCrs;
  // The dataset of a format without files ("PG:dbname=..."); given per run, never stored.
  std::string DataSet;
};

extern tmapsettings MapSettings;

// Where the settings live: `Path` is read and written; while it does not exist, `Seed` (when
// not empty) is read in its place and copied to `Path` before the first write.
struct tsettingsplace {
  std::string Path;
  std::string Seed;
};

// The settings file of a program at `exePath`: nabik.Ini beside it when its folder is writable
// (a build tree, a portable copy). An installed program's folder is not: then nabik/nabik.Ini in
// the user's configuration folder (`configHome`, or `home` + "/.config" when that is null,
// empty or relative), seeded from nabik.Ini beside the executable. Without either variable the
// file beside the executable stays, and its writes are refused as ever.
tsettingsplace SettingsPlaceFor(const std::string& exePath, bool folderWritable,
                                const char* configHome, const char* home);

// The place for this process: its executable, access(W_OK) on its folder, $XDG_CONFIG_HOME and
// $HOME.
tsettingsplace SettingsPlace();

// Path of the settings file (SettingsPlace() at start) unless batch mode or a test sets
// another, and the file it starts from (empty: none).
extern std::string SettingsFilePath;
extern std::string SettingsSeedPath;

// What the settings dialog shows and hands over: texts as typed, check states, list positions.
struct tsettingsfields {
  std::string MapFileName;    // Edit1 (hidden)
  bool LayersOnly = false;    // CheckBox1
  std::string MapName;        // Edit2
  std::string MapWidth;       // Edit3, decimal text
  std::string MapHeight;      // Edit4, decimal text
  int32_t CoordUnit = -1;     // ComboBox1 selected position, -1 for none
  std::string CoordUnitText;  // ComboBox1 edit text (shown only, never stored)
  int32_t ImageType = -1;     // ComboBox2 selected position, -1 for none
  std::string ImageTypeText;  // ComboBox2 edit text (shown only, never stored)
  std::string MinScale;       // Edit5
  std::string MaxScale;       // Edit6
  std::string WebHeader;      // Edit7 (hidden)
  std::string WebTemplate;    // Edit8 (hidden)
  std::string WebFooter;      // Edit9 (hidden)
  std::string KanjiFont;      // eFontName
  bool Seamless = false;      // CheckBox2
  int32_t ExportForm = 0;     // cbExportForm selected position
  std::string DataFormat;     // cbDataFormat: a format name of DataFormatItems ("" or "shp")
  std::string TargetCrs;      // cbTargetCrs: "" (as declared), a zone's "EPSG:6677" or own text
};

// Items of the unit list (ComboBox1) and the image type list (ComboBox2), in CP932.
const std::vector<std::string>& CoordUnitItems();
const std::vector<std::string>& ImageTypeItems();

// The export forms: the MS4W tree of the web archive, or a tree for MapServer 8 on Linux.
enum texportform : int32_t { ExportFormMs4w = 0, ExportFormMapServer8 = 1 };

// Items of the export form list (cbExportForm), in CP932: "MS4W", "MapServer 8".
const std::vector<std::string>& ExportFormItems();

// The data formats the dialog offers (cbDataFormat): GDAL's short names, the designed
// shapefiles ("shp") first, and each one's label in UTF-8.
struct tdataformat {
  const char* Name;
  const char* Label;
};
const std::vector<tdataformat>& DataFormatItems();

// Reads section "MapServer" into MapSettings: every key with its type and default; an empty
// font setting gives DefaultKanjiFont() in memory only. Never creates the file.
void LoadMapSettings();

// Writes the fourteen keys from the dialog's fields, in order, then "出力形式" (the export
// form) when it is not MS4W or the file holds it already, so a file of the MS4W form keeps its
// fourteen keys; "データ形式" (the data format) likewise, when it is not the shapefiles, and
// "座標系" (the target coordinate system), when it is not empty. Width and height texts that are
// no integer are stored as 0. A refused write raises "Unable to write to %s" at that key; the
// keys before it stay written. MapSettings is left alone.
void SaveMapSettings(const tsettingsfields& fields);

// MapSettings as the dialog's fields. A list position that names no item shows no selection.
tsettingsfields FillSettingsDialog();

// "出力" of section "フォルダー", empty when missing.
std::string ReadOutputPath();

// Stores the output path; a refused write raises "Unable to write to %s".
void WriteOutputPath(const std::string& path);

// The best Japanese sans-serif font file fontconfig knows (.ttf, .ttc or .otf); without one,
// ExeFolder() + "Fonts/msgothic.ttc".
std::string DefaultKanjiFont();
