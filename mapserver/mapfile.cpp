#include "mapserver/mapfile.h"

#include "catalog/catalog.h"
#include "common/paths.h"
#include "common/text.h"
#include "crs/target.h"
#include "fgd/extent.h"
#include "mapserver/fixedblocks.h"
#include "susetu/susetu.h"

namespace {

void WriteProjection(tmapfile& f, const std::string& indent) {
  for (const char* parameter :
       {"\"proj=longlat\"", "\"ellps=WGS84\"", "\"datum=WGS84\"", "\"no_defs\"", "\"\""})
    f.Line(indent + parameter);
}

// A layer's data are in the run's target CRS when it has one; MapServer draws them into the
// map's latitude and longitude.
void WriteLayerProjection(tmapfile& f, const std::string& indent) {
  if (!crs::RunTargetCrs) return WriteProjection(f, indent);
  for (const std::string& parameter : crs::RunTargetCrs->MapFileParameters())
    f.Line(indent + "\"" + parameter + "\"");
}

void WriteHeader(tmapfile& f, const std::string& mapOutputFolder, bool fontCopied,
                 bool symbolsCopied) {
  const tmapsettings& s = MapSettings;
  f.Line("MAP");
  f.Line(s.MapName.empty() ? std::string() : "#" + s.MapName);
  f.Line("# Start of output projection definition");
  f.Line("PROJECTION");
  WriteProjection(f, "  ");
  f.Line("END");
  f.Line("# End of output projection");
  f.Line("EXTENT " + ExtentNumber(Extent.MinX, 6) + " " + ExtentNumber(Extent.MinY, 6) + " " +
         ExtentNumber(Extent.MaxX, 6) + " " + ExtentNumber(Extent.MaxY, 5));
  f.Line("STATUS ON");
  f.Line("UNITS dd");
  f.Line("SIZE " + std::to_string(s.MapWidth) + " " + std::to_string(s.MapHeight));
  switch (s.ImageType) {
    case 1:
      f.Line("IMAGETYPE gif");
      break;
    case 2:
      f.Line("IMAGETYPE jpeg");
      break;
    case 3:
      f.Line("IMAGETYPE png");
      break;
  }
  f.Line("IMAGECOLOR 255 255 255");
  f.Line("SHAPEPATH \"" + mapOutputFolder + "\"");
  if (symbolsCopied) f.Line("SYMBOLSET \"" + mapOutputFolder + "etc/symbols.sym\"");
  if (fontCopied) f.Line("FONTSET \"" + mapOutputFolder + "etc/winfonts.txt\"");
}

void WriteLayer(tmapfile& f, const tshpopentyp& e, const std::string& mapOutputFolder,
                bool fontCopied, const std::string& fontAlias, bool symbolsCopied) {
  f.EmptyLine();
  f.Line("#" + e.Title + KindLabel(e.Kind));
  f.Line("LAYER");
  f.Line("  NAME \"" + LowerSjis(mapOutputFolder + e.Name) + "\"");
  f.Line("  STATUS ON #DEFAULT");
  f.Line("  TYPE " + LayerType(e.Kind));
  // The shapefile set was created under Name as written; the file system tells case apart.
  f.Line("  DATA \"" + e.Name + "\"");
  f.Line("  STATUS DEFAULT");
  f.Line("  TRANSPARENCY 100");
  f.Line("  PROJECTION");
  WriteLayerProjection(f, "      ");
  f.Line("  END");
  f.Line("  METADATA");
  f.Line("\t   \"DESCRIPTION\" \"" + e.Title + "\"");
  f.Line("\t   \"RESULT_FIELDS\" \"" + JoinedAttrs(e, &tshpattr::Name) + "\"");
  f.Line("\t   \"RESULT_HEADERS\" \"" + JoinedAttrs(e, &tshpattr::Header) + "\"");
  f.Line("\t   \"LAYER_ENCODING\" \"Shift-JIS\"");
  f.Line("  END");
  if (!e.LabelItem.empty()) f.Line("  LABELITEM \"" + e.LabelItem + "\"");
  f.Line("  CLASS");
  if (!e.Color.empty()) {
    f.Line("       COLOR " + e.Color);
    f.Line("       OUTLINECOLOR " + e.Color);
  }
  f.Line("       Name '" + e.Name + "'");
  if (fontCopied && !e.LabelItem.empty()) {
    f.Line("       LABEL");
    f.Line("          TYPE TRUETYPE");
    f.Line("          FONT " + fontAlias);
    f.Line("          COLOR  0 0 0");
    f.Line("          ENCODING SJIS");
    f.Line("          SIZE 8");
    f.Line("          POSITION AUTO");
    f.Line("          BUFFER 7");
    f.Line("       END");
  }
  if (symbolsCopied && !e.Symbol.empty()) {
    f.Line("       STYLE");
    f.Line("          SYMBOL " + e.Symbol);
    f.Line("          SIZE 8");
    f.Line("          OUTLINECOLOR " + e.Color);
    f.Line("          COLOR 0 0 0");
    f.Line("       END");
  }
  f.Line("  END");
  f.Line("END");
}

}  // namespace

std::string JoinedAttrs(const tshpopentyp& e, std::string tshpattr::*field) {
  std::string text;
  for (int32_t k = 1; k <= e.AttrCount(); ++k) {
    if (k > 1) text += ",";
    text += e.Attr(k).*field;
  }
  return text;
}

std::string OutputMapName(const std::string& outputPath) {
  return ChangeFileExt(FileNamePart(outputPath), ".map");
}

std::string MapFilePath(const std::string& outputPath, const std::string& mapOutputFolder) {
  return mapOutputFolder + "ms4w/Apache/htdocs/" + OutputMapName(outputPath);
}

std::string KindLabel(int32_t kind) {
  switch (kind) {
    case 0:
    case 2:
      return Sjis("ポリゴン");
    case 1:
      return Sjis("ライン");
    case 3:
      return Sjis("点");
    case 4:
      return Sjis("ネットワーク");
    default:
      return {};
  }
}

std::string LayerType(int32_t kind) {
  switch (kind) {
    case 1:
    case 4:
      return "LINE";
    case 3:
      return "POINT";
    default:
      return "POLYGON";
  }
}

bool WriteMapFile(const std::string& outputPath, const std::string& mapOutputFolder,
                  bool fontCopied, const std::string& fontAlias, bool symbolsCopied) {
  tmapfile f(MapFilePath(outputPath, mapOutputFolder));
  if (!f.Opened()) return false;
  const bool whole = !MapSettings.LayersOnly;
  if (whole) {
    WriteHeader(f, mapOutputFolder, fontCopied, symbolsCopied);
    WriteOutputFormats(f);
    WriteLegend(f);
    WriteWeb(f);
    WriteReference(f);
    WriteScalebar(f);
    WriteQueryMap(f);
  }
  for (int32_t n = 1; n <= LayerCount(); ++n)
    if (CatalogEntry(n).Created)
      WriteLayer(f, CatalogEntry(n), mapOutputFolder, fontCopied, fontAlias, symbolsCopied);
  if (whole) f.Line("END");
  f.Close();
  return true;
}
