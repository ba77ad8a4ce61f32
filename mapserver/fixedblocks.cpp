#include "mapserver/fixedblocks.h"

#include <cmath>
#include <initializer_list>
#include <optional>

#include "common/errors.h"
#include "susetu/susetu.h"

tmapfile::tmapfile(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {}

tmapfile::~tmapfile() {
  if (file_) std::fclose(file_);
}

void tmapfile::Line(std::string_view text) {
  if (!file_) Fail();
  if ((!text.empty() && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) ||
      std::fwrite("\r\n", 1, 2, file_) != 2)
    Fail();
}

void tmapfile::Close() {
  if (!file_) return;
  std::FILE* file = file_;
  file_ = nullptr;
  const bool flushed = std::fflush(file) == 0;
  if (std::fclose(file) != 0 || !flushed) Fail();
}

void tmapfile::Fail() {
  throw NabikError("Cannot write " + path_);
}

namespace {

void Lines(tmapfile& file, std::initializer_list<const char*> lines) {
  for (const char* line : lines) file.Line(line);
}

std::string Formatted(const char* format, int decimals, double value) {
  const int size = std::snprintf(nullptr, 0, format, decimals, value);
  std::string text(static_cast<size_t>(size), '\0');
  std::snprintf(text.data(), text.size() + 1, format, decimals, value);
  return text;
}

// Rounded map units per pixel along one side; nullopt when the side has no pixels.
std::optional<double> UnitsPerPixel(double from, double to, int32_t pixels) {
  if (pixels <= 0) return std::nullopt;
  // nearbyint rounds an exact half to the even neighbour; + 0.0 turns -0 into 0.
  return std::nearbyint((to - from) / pixels + 0.5) + 0.0;
}

}  // namespace

std::string ExtentNumber(double value, int decimals) {
  return Formatted("%11.*f", decimals, value);
}

std::string ExtentNumbers(const textent& e) {
  return ExtentNumber(e.MinX, 6) + " " + ExtentNumber(e.MinY, 6) + " " + ExtentNumber(e.MaxX, 6) +
         " " + ExtentNumber(e.MaxY, 6);
}

std::string MaxScaleValue(const std::string& maxScale, int32_t width, int32_t height,
                          const textent& e) {
  if (!maxScale.empty()) return maxScale;
  const auto across = UnitsPerPixel(e.MinX, e.MaxX, width);
  const auto down = UnitsPerPixel(e.MinY, e.MaxY, height);
  double value = 0;
  if (across && down)
    value = *across > *down ? *across : *down;
  else if (across)
    value = *across;
  else if (down)
    value = *down;
  return Formatted("%.*f", 0, value);
}

void WriteOutputFormats(tmapfile& f) {
  Lines(f, {"",
            "OUTPUTFORMAT",
            "  NAME png",
            "  DRIVER \"GD/PNG\"",
            "  MIMETYPE \"image/png\"",
            "  IMAGEMODE RGB",
            "  FORMATOPTION  INTERLACE=OFF",
            "  TRANSPARENT OFF",
            "END",
            "",
            "",
            "OUTPUTFORMAT",
            "  NAME gif",
            "  DRIVER \"GD/GIF\"",
            "  MIMETYPE \"image/gif\"",
            "  IMAGEMODE PC256",
            "  FORMATOPTION  INTERLACE=OFF",
            "  TRANSPARENT ON",
            "  EXTENSION \"gif\"",
            "END",
            "",
            "OUTPUTFORMAT",
            "  NAME png8",
            "  DRIVER \"GD/PNG\"",
            "  MIMETYPE \"image/png\"",
            "  IMAGEMODE PC256",
            "  FORMATOPTION  INTERLACE=OFF",
            "  TRANSPARENT OFF",
            "END",
            "",
            "OUTPUTFORMAT",
            "  NAME GTiff",
            "  DRIVER \"GDAL/GTiff\"",
            "  MIMETYPE \"image/tiff\"",
            "  IMAGEMODE RGB",
            "  #FORMATOPTION \"TFW=YES\"",
            "  #FORMATOPTION \"COMPRESS=PACKBITS\"",
            "END",
            ""});
}

void WriteLegend(tmapfile& f) {
  Lines(f, {"# Start of LEGEND",
            "  LEGEND",
            "    IMAGECOLOR 255 255 255",
            "    KEYSIZE 18 12",
            "    KEYSPACING 5 5",
            "    LABEL",
            "      SIZE MEDIUM",
            "      TYPE BITMAP",
            "      BUFFER 0",
            "      COLOR 0 0 89",
            "      FORCE FALSE",
            "      MINDISTANCE -1",
            "      MINFEATURESIZE -1",
            "      OFFSET 0 0",
            "      PARTIALS TRUE",
            "    END",
            "    POSITION LL",
            "    STATUS ON",
            "    TEMPLATE \"legend.html\"",
            "  END",
            ""});
}

void WriteWeb(tmapfile& f) {
  const tmapsettings& s = MapSettings;
  Lines(f, {"", "WEB", "    IMAGEPATH \"c:/ms4w/tmp/ms_tmp/\"", "    IMAGEURL \"/ms_tmp/\"",
            "    QUERYFORMAT text/html"});
  f.Line("    MAXSCALE " + MaxScaleValue(s.MaxScale, s.MapWidth, s.MapHeight, Extent));
  Lines(f, {"    MINSCALE 200", "END", ""});
}

void WriteReference(tmapfile& f) {
  Lines(f,
        {"", "#", "# Start of reference map", "#", "REFERENCE", "   IMAGE \"images/keymap.gif\""});
  f.Line("   EXTENT " + ExtentNumbers(Extent));
  Lines(f, {"   STATUS ON", "            MARKER 0", "            MARKERSIZE 0",
            "            MINBOXSIZE 3", "            MAXBOXSIZE 0", "  COLOR -1 -1 -1 ",
            "  OUTLINECOLOR 255 0 0", "  SIZE 100 100", "END", ""});
}

void WriteScalebar(tmapfile& f) {
  Lines(f, {"",
            "#",
            "# Start of SCALEBAR",
            "#",
            "    SCALEBAR",
            "            BACKGROUNDCOLOR 0 0 0",
            "            COLOR 255 255 255",
            "        IMAGECOLOR 255 255 225",
            "        INTERVALS 6",
            "        LABEL",
            "            SIZE SMALL",
            "            TYPE BITMAP",
            "            BUFFER 0",
            "            COLOR 0 0 0",
            "            FORCE FALSE",
            "            MINDISTANCE -1",
            "            MINFEATURESIZE -1",
            "            OFFSET 0 0",
            "            PARTIALS TRUE",
            "        END",
            "            OUTLINECOLOR 0 0 0",
            "        POSITION LL",
            "        SIZE 400 5",
            "        STATUS ON",
            "        STYLE 0",
            "        UNITS METERS",
            "    END",
            ""});
}

void WriteQueryMap(tmapfile& f) {
  Lines(f, {"", "# QueryMap Object", "QUERYMAP", "        COLOR 255 0 0", "        SIZE -1 -1",
            "        STATUS OFF", "        STYLE HILITE", "END", ""});
}
