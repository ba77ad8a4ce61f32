#include "mapserver/ms8export.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/textfile.h"
#include "crs/target.h"
#include "dem/demrun.h"
#include "mapserver/mapfile.h"
#include "mapserver/viewer.h"
#include "mapserver/webexport.h"
#include "ogr/ogroutput.h"
#include "shpctl/shpctl.h"
#include "susetu/susetu.h"

namespace {

template <typename... T>
std::string Printed(const char* format, T... values) {
  char text[64];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

// A map file string: MapServer's lexer takes a backslash-escaped quote inside double quotes.
std::string Quoted(const std::string& utf8) {
  std::string q = "\"";
  for (char c : utf8) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}

// A JavaScript string literal that is also safe inside an HTML script element.
std::string JsString(const std::string& utf8) {
  std::string q = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      q += '\\';
      q += static_cast<char>(c);
    } else if (c == '<' || c == '>' || c == '&' || c < 0x20) {
      q += Printed("\\u%04x", c);
    } else {
      q += static_cast<char>(c);
    }
  }
  return q + "\"";
}

// A lighttpd configuration string.
std::string ConfString(const std::string& text) {
  return Quoted(text);
}

std::string HtmlText(const std::string& utf8) {
  std::string h;
  for (char c : utf8) {
    switch (c) {
      case '<':
        h += "&lt;";
        break;
      case '>':
        h += "&gt;";
        break;
      case '&':
        h += "&amp;";
        break;
      case '"':
        h += "&quot;";
        break;
      default:
        h += c;
    }
  }
  return h;
}

std::string Utf8(const std::string& cp932) {
  return Cp932ToUtf8(cp932);
}

std::string Number(double value) {
  return Printed("%.6f", value);
}

// The folder made absolute (the export's files name each other by absolute paths), with '/'.
std::string AbsoluteFolder(const std::string& folder) {
  char resolved[PATH_MAX];
  const std::string path = folder.empty() ? std::string(".") : folder;
  if (!::realpath(path.c_str(), resolved)) return folder;
  std::string absolute = resolved;
  if (absolute.empty() || absolute.back() != '/') absolute += '/';
  return absolute;
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Epsg(int32_t code) {
  return "EPSG:" + std::to_string(code);
}

// The EPSG code the run's outputs are in: the target CRS's (0 when it has none), or `declared`.
int32_t OutputCode(int32_t declared) {
  return crs::RunTargetCrs ? crs::RunTargetCrs->Epsg() : declared;
}

struct tms8layer {
  const tshpopentyp* Entry;
  int32_t Code;            // EPSG code of its .prj, or of its datum; 0: the target's own CRS
  std::string Connection;  // the GDAL dataset that holds it; empty for its shapefile set
};

// The run list's absolute path, for the name of a GDAL dataset named after it.
std::string RunListPath;

std::vector<tms8layer> CreatedLayers(const std::string& dataFolder) {
  std::vector<tms8layer> layers;
  const std::string& format = MapSettings.DataFormat;
  const bool gdal = !IsShapefileFormat(format);
  const std::string dataset = gdal ? OgrDatasetName(format, RunListPath, MapSettings.DataSet) : "";
  for (int32_t n = 1; n <= LayerCount(); ++n) {
    const tshpopentyp& e = CatalogEntry(n);
    if (!e.Created) continue;
    if (!gdal)
      layers.push_back(
          {&e, OutputCode(ProjectionCode(ReadSmallFile(dataFolder + e.Name + ".prj"))), ""});
    else
      layers.push_back({&e, OutputCode(DatumEpsg(e.Datum)),
                        dataset.empty() ? OgrLayerFileName(format, dataFolder, e.Name) : dataset});
  }
  return layers;
}

// An elevation mosaic of the run, drawn as a raster layer.
struct tms8raster {
  std::string Name;  // "dem5m"
  int32_t Code;      // EPSG code of its datum
  float Min, Max;    // its values' range, drawn dark to light
};

// The run's elevation mosaics, coarsest first: MapServer draws a map's layers in file order, so
// they lie under the vector layers, and a finer mosaic over a coarser one.
std::vector<tms8raster> ElevationLayers(const std::string& dataFolder) {
  std::vector<tms8raster> rasters;
  for (auto it = DemTally.Mosaics.rbegin(); it != DemTally.Mosaics.rend(); ++it) {
    const std::string text = ReadSmallFile(dataFolder + it->Name);
    rasters.push_back(
        {ChangeFileExt(it->Name, ""),
         OutputCode(text.find("\"EPSG\",\"4612\"") != std::string::npos ? 4612 : 6668), it->Min,
         it->Max});
  }
  return rasters;
}

std::string ElevationTitle(const std::string& name) {  // "dem5m" -> "標高 5m"
  return "標高 " + name.substr(3);
}

// "EPSG:4326", then the data's own codes in first-use order, then "EPSG:3857".
std::string WmsSrs(const std::vector<int32_t>& codes) {
  std::string srs = "EPSG:4326";
  for (size_t i = 0; i < codes.size(); ++i) {
    bool seen = codes[i] == 4326 || codes[i] == 3857 || codes[i] == 0;
    for (size_t k = 0; k < i; ++k) seen = seen || codes[k] == codes[i];
    if (!seen) srs += " " + Epsg(codes[i]);
  }
  return srs + " EPSG:3857";
}

void Add(std::string& out, const std::string& line) {
  out += line;
  out += '\n';
}

// A layer's PROJECTION block: its EPSG code, or the target CRS's PROJ string for a target that
// is none of EPSG's.
void AddProjection(std::string& m, int32_t code) {
  Add(m, "    PROJECTION");
  if (code > 0 || !crs::RunTargetCrs)
    Add(m, "      \"init=epsg:" + std::to_string(code) + "\"");
  else
    for (const std::string& parameter : crs::RunTargetCrs->MapFileParameters())
      Add(m, "      " + Quoted(parameter));
  Add(m, "    END");
}

void AddHeader(std::string& m, const std::string& dataFolder, const std::string& webFolder,
               const textent& extent, const std::string& srs, bool fontCopied, bool symbolsCopied) {
  const tmapsettings& s = MapSettings;
  const std::string title = s.MapName.empty() ? std::string("Nabik") : Utf8(s.MapName);
  Add(m, "MAP");
  Add(m, "  NAME \"nabik\"");
  Add(m, "  EXTENT " + Number(extent.MinX) + " " + Number(extent.MinY) + " " + Number(extent.MaxX) +
             " " + Number(extent.MaxY));
  Add(m, "  SIZE " + std::to_string(s.MapWidth) + " " + std::to_string(s.MapHeight));
  Add(m, "  UNITS DD");
  // Debian's MapServer draws no GIF: a GIF setting gives PNG.
  if (s.ImageType == 1 || s.ImageType == 3) Add(m, "  IMAGETYPE \"png\"");
  if (s.ImageType == 2) Add(m, "  IMAGETYPE \"jpeg\"");
  Add(m, "  IMAGECOLOR 255 255 255");
  Add(m, "  SHAPEPATH " + Quoted(dataFolder));
  if (symbolsCopied) Add(m, "  SYMBOLSET " + Quoted(dataFolder + "etc/symbols.sym"));
  if (fontCopied) Add(m, "  FONTSET " + Quoted(dataFolder + "etc/winfonts.txt"));
  Add(m, "  PROJECTION");
  Add(m, "    \"init=epsg:4326\"");
  Add(m, "  END");
  Add(m, "  WEB");
  Add(m, "    IMAGEPATH " + Quoted(webFolder + "tmp/"));
  Add(m, "    IMAGEURL \"/tmp/\"");
  const double maxDenom = MaxScaleDenom(s.MaxScale, s.MapWidth, s.MapHeight, extent);
  if (maxDenom > 0) Add(m, "    MAXSCALEDENOM " + Printed("%.0f", maxDenom));
  Add(m, "    MINSCALEDENOM 200");
  Add(m, "    METADATA");
  Add(m, "      \"wms_title\" " + Quoted(title));
  Add(m, "      \"wms_srs\" " + Quoted(srs));
  Add(m, "      \"wms_enable_request\" \"*\"");
  Add(m, "      \"wms_feature_info_mime_type\" \"text/plain\"");
  Add(m, "    END");
  Add(m, "  END");
}

// The output formats (AGG instead of the GD drivers MapServer 8 no longer has), the legend,
// the scale bar and the query map, without the keywords MapServer 8 dropped. The reference map
// is left out: its key map image came with the MS4W archive.
void AddFixedBlocks(std::string& m) {
  for (const char* line : {
           "  OUTPUTFORMAT",
           "    NAME \"png\"",
           "    DRIVER \"AGG/PNG\"",
           "    MIMETYPE \"image/png\"",
           "    IMAGEMODE RGB",
           "    EXTENSION \"png\"",
           "    TRANSPARENT OFF",
           "  END",
           "  OUTPUTFORMAT",
           "    NAME \"jpeg\"",
           "    DRIVER \"AGG/JPEG\"",
           "    MIMETYPE \"image/jpeg\"",
           "    IMAGEMODE RGB",
           "    EXTENSION \"jpg\"",
           "    FORMATOPTION \"QUALITY=85\"",
           "  END",
           "  OUTPUTFORMAT",
           "    NAME \"png8\"",
           "    DRIVER \"AGG/PNG8\"",
           "    MIMETYPE \"image/png; mode=8bit\"",
           "    IMAGEMODE RGB",
           "    EXTENSION \"png\"",
           "  END",
           "  LEGEND",
           "    IMAGECOLOR 255 255 255",
           "    KEYSIZE 18 12",
           "    KEYSPACING 5 5",
           "    LABEL",
           "      SIZE MEDIUM",
           "      COLOR 0 0 89",
           "      OFFSET 0 0",
           "      PARTIALS TRUE",
           "    END",
           "    POSITION LL",
           "    STATUS ON",
           "  END",
           "  SCALEBAR",
           "    BACKGROUNDCOLOR 0 0 0",
           "    COLOR 255 255 255",
           "    IMAGECOLOR 255 255 225",
           "    INTERVALS 6",
           "    LABEL",
           "      SIZE SMALL",
           "      COLOR 0 0 0",
           "      OFFSET 0 0",
           "      PARTIALS TRUE",
           "    END",
           "    OUTLINECOLOR 0 0 0",
           "    POSITION LL",
           "    SIZE 400 5",
           "    STATUS ON",
           "    STYLE 0",
           "    UNITS METERS",
           "  END",
           "  QUERYMAP",
           "    COLOR 255 0 0",
           "    SIZE -1 -1",
           "    STATUS OFF",
           "    STYLE HILITE",
           "  END",
       })
    Add(m, line);
}

void AddLayer(std::string& m, const tms8layer& layer, bool fontCopied, const std::string& fontAlias,
              bool symbolsCopied) {
  const tshpopentyp& e = *layer.Entry;
  const std::string title = Utf8(e.Title);
  Add(m, "");
  Add(m, "  # " + title + Utf8(KindLabel(e.Kind)));
  Add(m, "  LAYER");
  Add(m, "    NAME " + Quoted(e.Name));
  Add(m, "    TYPE " + LayerType(e.Kind));
  // ON, not DEFAULT: a WMS request draws only the layers it names.
  Add(m, "    STATUS ON");
  if (!layer.Connection.empty()) {
    // A GDAL dataset, read through OGR; its text is UTF-8 already.
    Add(m, "    CONNECTIONTYPE OGR");
    Add(m, "    CONNECTION " + Quoted(layer.Connection));
    Add(m, "    DATA " + Quoted(e.Name));
  } else {
    Add(m, "    DATA " + Quoted(e.Name));
    // The tables hold CP932 text; MapServer turns it into UTF-8 for labels and WMS answers.
    Add(m, "    ENCODING \"CP932\"");
  }
  AddProjection(m, layer.Code);
  Add(m, "    METADATA");
  Add(m, "      \"wms_title\" " + Quoted(title));
  Add(m, "      \"wms_srs\" " + Quoted(WmsSrs({layer.Code})));
  Add(m, "      \"wms_include_items\" \"all\"");
  Add(m, "      \"DESCRIPTION\" " + Quoted(title));
  Add(m, "      \"RESULT_FIELDS\" " + Quoted(Utf8(JoinedAttrs(e, &tshpattr::Name))));
  Add(m, "      \"RESULT_HEADERS\" " + Quoted(Utf8(JoinedAttrs(e, &tshpattr::Header))));
  Add(m, "    END");
  Add(m, "    TEMPLATE \"query\"");  // makes the layer queryable for GetFeatureInfo
  if (!e.LabelItem.empty()) Add(m, "    LABELITEM " + Quoted(e.LabelItem));
  Add(m, "    CLASS");
  Add(m, "      NAME " + Quoted(e.Name));
  if (!e.Color.empty()) {
    Add(m, "      STYLE");
    Add(m, "        COLOR " + e.Color);
    Add(m, "        OUTLINECOLOR " + e.Color);
    Add(m, "      END");
  }
  if (symbolsCopied && !e.Symbol.empty()) {
    Add(m, "      STYLE");
    Add(m, "        SYMBOL " + Quoted(e.Symbol));
    Add(m, "        SIZE 8");
    if (!e.Color.empty()) Add(m, "        OUTLINECOLOR " + e.Color);
    Add(m, "        COLOR 0 0 0");
    Add(m, "      END");
  }
  if (fontCopied && !e.LabelItem.empty()) {
    Add(m, "      LABEL");
    Add(m, "        FONT " + Quoted(Utf8(fontAlias)));
    Add(m, "        COLOR 0 0 0");
    Add(m, "        SIZE 8");
    Add(m, "        POSITION AUTO");
    Add(m, "        BUFFER 7");
    Add(m, "      END");
  }
  Add(m, "    END");
  Add(m, "  END");
}

// Heights as grey, dark to light over the range of the mosaic's values; cells without a value
// match no class and stay transparent.
void AddRasterLayer(std::string& m, const tms8raster& raster) {
  const std::string title = ElevationTitle(raster.Name);
  Add(m, "");
  Add(m, "  # " + title);
  Add(m, "  LAYER");
  Add(m, "    NAME " + Quoted(raster.Name));
  Add(m, "    TYPE RASTER");
  Add(m, "    STATUS ON");
  Add(m, "    DATA " + Quoted(raster.Name + ".vrt"));
  AddProjection(m, raster.Code);
  Add(m, "    CLASS");
  Add(m, "      NAME " + Quoted(title));
  Add(m, "      EXPRESSION ([pixel] > -9999)");
  Add(m, "      STYLE");
  Add(m, "        COLORRANGE 60 60 60 250 250 250");
  Add(m, "        DATARANGE " +
             Printed("%.2f %.2f", raster.Min, std::max(raster.Max, raster.Min + 1.0f)));
  Add(m, "      END");
  Add(m, "    END");
  Add(m, "    METADATA");
  Add(m, "      \"wms_title\" " + Quoted(title));
  Add(m, "      \"wms_srs\" " + Quoted(WmsSrs({raster.Code})));
  Add(m, "    END");
  Add(m, "  END");
}

std::string ConfigText(const std::string& mapPath) {
  std::string pattern = "^";
  for (char c : mapPath) {
    if (std::string_view(".[]()*+?^$|{}\\").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  pattern += '$';
  std::string c;
  Add(c, "# MapServer's configuration for this export: only its own map file may be served,");
  Add(c, "# by the alias " + std::string(Ms8MapAlias) + " (map=" + Ms8MapAlias +
             ") or by its full path.");
  Add(c, "CONFIG");
  Add(c, "  ENV");
  Add(c, "    MS_MAP_PATTERN " + Quoted(pattern));
  Add(c, "  END");
  Add(c, "  MAPS");
  Add(c, "    " + std::string(Ms8MapAlias) + " " + Quoted(mapPath));
  Add(c, "  END");
  Add(c, "END");
  return c;
}

std::string LighttpdText(const std::string& webFolder, const std::string& configPath) {
  std::string c;
  Add(c, "# Serves the viewer at http://127.0.0.1:" + std::to_string(Ms8DefaultPort) +
             "/ with Debian's mapserv as CGI:");
  Add(c, "#   lighttpd -D -f " + FolderPart(configPath) + "lighttpd.conf");
  Add(c, "server.modules = (\"mod_alias\", \"mod_setenv\", \"mod_cgi\")");
  Add(c, "server.document-root = " + ConfString(webFolder));
  Add(c, "server.bind = \"127.0.0.1\"");
  Add(c, "server.port = " + std::to_string(Ms8DefaultPort));
  Add(c, "index-file.names = (\"index.html\")");
  Add(c, "mimetype.assign = (");
  Add(c, "  \".html\" => \"text/html; charset=utf-8\",");
  Add(c, "  \".js\" => \"text/javascript; charset=utf-8\",");
  Add(c, "  \".png\" => \"image/png\",");
  Add(c, "  \".jpg\" => \"image/jpeg\",");
  Add(c, ")");
  Add(c, "alias.url = (\"/cgi-bin/mapserv\" => \"/usr/lib/cgi-bin/mapserv\")");
  Add(c, "$HTTP[\"url\"] =~ \"^/cgi-bin/\" {");
  Add(c, "  cgi.assign = (\"\" => \"\")");
  Add(c, "}");
  Add(c, "setenv.add-environment = (\"MAPSERVER_CONFIG_FILE\" => " + ConfString(configPath) + ")");
  return c;
}

std::string PhpText(const std::string& mapPath, const std::string& configPath) {
  std::string p;
  Add(p, "<?php");
  Add(p, "// Draws the map with PHP MapScript 8, saves the image into tmp/ and shows it.");
  Add(p, "//   php nabik.php            (in this folder)");
  Add(p, "//   php -S 127.0.0.1:8000    (then http://127.0.0.1:8000/nabik.php)");
  Add(p, "$map = new mapObj(" + Quoted(mapPath) + ", new configObj(" + Quoted(configPath) + "));");
  Add(p, "$img = $map->draw();");
  Add(p, "// MapScript 8 has no saveWebImage(): the image goes into the map's IMAGEPATH by hand.");
  Add(p, "$name = \"nabik_\" . uniqid() . \".\" . $img->format->extension;");
  Add(p, "$img->save($map->web->imagepath . $name);");
  Add(p, "$img_url = $map->web->imageurl . $name;");
  Add(p, "echo \"<img src=\\\"$img_url\\\">\\n\";");
  return p;
}

std::string IndexText(const std::string& title, const textent& extent,
                      const std::vector<tms8raster>& rasters,
                      const std::vector<tms8layer>& layers) {
  std::string h;
  Add(h, "<!DOCTYPE html>");
  Add(h, "<html lang=\"ja\">");
  Add(h, "<head>");
  Add(h, "<meta charset=\"utf-8\">");
  Add(h, "<title>" + HtmlText(title) + "</title>");
  Add(h, "<link rel=\"icon\" href=\"data:,\">");
  Add(h, "<style>");
  Add(h, ViewerStyle());
  Add(h, "</style>");
  Add(h, "</head>");
  Add(h, "<body>");
  Add(h, "<div id=\"side\">");
  Add(h, "<h1>" + HtmlText(title) + "</h1>");
  Add(h,
      "<div id=\"tools\"><button id=\"zoomin\" title=\"拡大\">＋</button>"
      "<button id=\"zoomout\" title=\"縮小\">－</button>"
      "<button id=\"fit\" title=\"全体を表示\">全体</button></div>");
  Add(h, "<div id=\"scale\"></div>");
  Add(h, "<ul id=\"layers\"></ul>");
  Add(h, "</div>");
  Add(h, "<div id=\"map\"><img id=\"image\" alt=\"\" draggable=\"false\"></div>");
  Add(h, "<script>");
  Add(h, "const NABIK = {");
  Add(h, "  wms: \"/cgi-bin/mapserv?map=" + std::string(Ms8MapAlias) + "&\",");
  Add(h, "  extent: [" + Number(extent.MinX) + ", " + Number(extent.MinY) + ", " +
             Number(extent.MaxX) + ", " + Number(extent.MaxY) + "],");
  Add(h, "  layers: [");
  for (const tms8raster& r : rasters)
    Add(h, "    {name: " + JsString(r.Name) + ", title: " + JsString(ElevationTitle(r.Name)) +
               ", color: \"\"},");
  for (const tms8layer& l : layers)
    Add(h, "    {name: " + JsString(l.Entry->Name) + ", title: " + JsString(Utf8(l.Entry->Title)) +
               ", color: " + JsString(l.Entry->Color) + "},");
  Add(h, "  ],");
  Add(h, "};");
  Add(h, "</script>");
  Add(h, "<script src=\"viewer.js\"></script>");
  Add(h, "</body>");
  Add(h, "</html>");
  return h;
}

}  // namespace

int32_t ProjectionCode(const std::string& prjText) {
  return prjText.find("JGD_2011") != std::string::npos ? 6668 : 4612;
}

double MaxScaleDenom(const std::string& maxScale, int32_t width, int32_t height, const textent& e) {
  char* end = nullptr;
  const double given = std::strtod(maxScale.c_str(), &end);
  if (!maxScale.empty() && end && *end == '\0' && std::isfinite(given) && given > 0) return given;
  constexpr double metresPerDegree = 111319.49079327357;  // one degree along the equator
  constexpr double metresPerPixel = 0.00028;
  const double middle = (e.MinY + e.MaxY) / 2 * M_PI / 180;
  double denom = 0;
  if (width > 0 && e.MaxX > e.MinX)
    denom = (e.MaxX - e.MinX) * metresPerDegree * std::cos(middle) / (width * metresPerPixel);
  if (height > 0 && e.MaxY > e.MinY)
    denom = std::max(denom, (e.MaxY - e.MinY) * metresPerDegree / (height * metresPerPixel));
  return std::isfinite(denom) ? std::ceil(denom) : 0;
}

textent Ms8Extent(const textent& e) {
  if (!(e.MinX <= e.MaxX && e.MinY <= e.MaxY)) return {-180, -90, 180, 90};
  textent x = e;
  constexpr double pad = 0.0005;  // about 50 m: a single feature still gets a map around it
  if (x.MaxX - x.MinX < pad) x.MinX -= pad, x.MaxX += pad;
  if (x.MaxY - x.MinY < pad) x.MinY -= pad, x.MaxY += pad;
  return x;
}

bool WriteMapFile8(const std::string& mapPath, const std::string& dataFolder,
                   const std::string& webFolder, bool fontCopied, const std::string& fontAlias,
                   bool symbolsCopied) {
  const std::vector<tms8layer> layers = CreatedLayers(dataFolder);
  const std::vector<tms8raster> rasters = ElevationLayers(dataFolder);
  std::vector<int32_t> codes;
  for (const tms8raster& r : rasters)
    if (std::find(codes.begin(), codes.end(), r.Code) == codes.end()) codes.push_back(r.Code);
  for (const tms8layer& l : layers) codes.push_back(l.Code);
  std::string m;
  if (!MapSettings.MapName.empty()) Add(m, "# " + Utf8(MapSettings.MapName));
  AddHeader(m, dataFolder, webFolder, Ms8Extent(Extent), WmsSrs(codes), fontCopied, symbolsCopied);
  AddFixedBlocks(m);
  for (const tms8raster& r : rasters) AddRasterLayer(m, r);
  for (const tms8layer& l : layers) AddLayer(m, l, fontCopied, fontAlias, symbolsCopied);
  Add(m, "END");
  return WriteWholeFile(mapPath, m);
}

void ExportMapServer8(const std::string& outputPath,
                      const std::function<void(const std::string&)>& showMessage) {
  const std::string outputFolder = FolderPart(outputPath);
  const std::string fontFileName = FileNamePart(MapSettings.KanjiFont);
  const std::string fontAlias = ChangeFileExt(fontFileName, "");
  const std::string etc = outputFolder + "etc/";
  const std::string resources = ExportResourceFolder.empty() ? ExeFolder() : ExportResourceFolder;

  // The etc folder as the MS4W form has it; the MS4W archive is not unpacked.
  ::mkdir((outputFolder + "etc").c_str(), 0777);
  const bool fontCopied = CopyFileByBlocks(MapSettings.KanjiFont, etc + fontFileName);
  WriteTextLines(etc + "winfonts.txt", {fontAlias + std::string(24, ' ') + fontFileName});
  const bool symbolsCopied = CopyFileByBlocks(resources + "symbols.sym", etc + "symbols.sym");

  const std::string dataFolder = AbsoluteFolder(outputFolder);
  RunListPath = dataFolder + FileNamePart(outputPath);
  const std::string root = dataFolder + "mapserver8/";
  const std::string web = root + "htdocs/";
  for (const std::string& folder : {root, web, web + "tmp/"}) ::mkdir(folder.c_str(), 0777);
  const std::string mapPath = root + OutputMapName(outputPath);
  const std::string configPath = root + "mapserver.conf";
  if (!WriteMapFile8(mapPath, dataFolder, web, fontCopied, fontAlias, symbolsCopied)) return;

  const std::string title = MapSettings.MapName.empty() ? "Nabik" : Utf8(MapSettings.MapName);
  const bool written = WriteWholeFile(configPath, ConfigText(mapPath)) &&
                       WriteWholeFile(root + "lighttpd.conf", LighttpdText(web, configPath)) &&
                       WriteWholeFile(web + "nabik.php", PhpText(mapPath, configPath)) &&
                       WriteWholeFile(web + "viewer.js", ViewerScript()) &&
                       WriteWholeFile(web + "index.html", IndexText(title, Ms8Extent(Extent),
                                                                    ElevationLayers(dataFolder),
                                                                    CreatedLayers(dataFolder)));
  if (written && !fontCopied) showMessage(FontWarningText());
}
