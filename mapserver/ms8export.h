#pragma once
// The web export for MapServer 8 on Linux, beside the MS4W tree: a UTF-8 map file with WMS,
// MapServer's configuration allowing it, a PHP MapScript 8 page, an interactive viewer and a
// lighttpd configuration serving them. Everything lies under OutputFolder + "mapserver8/":
//
//   mapserver8/<OutputMapName>   the map file          mapserver8/mapserver.conf
//   mapserver8/lighttpd.conf     the web server        mapserver8/htdocs/  the web folder
//   htdocs/index.html, viewer.js the viewer            htdocs/nabik.php    the PHP page
//   htdocs/tmp/                  the map images MapServer saves (IMAGEPATH, IMAGEURL /tmp/)
//
// The shapefiles and the etc folder (font, font list, symbols) stay where the MS4W form has them.
#include <cstdint>
#include <functional>
#include <string>

#include "fgd/extent.h"

// The alias under which mapserver.conf names the map file: requests say map=NABIK.
inline constexpr const char* Ms8MapAlias = "NABIK";

// The port lighttpd.conf listens on; its line "server.port = N" stands alone so that it can be
// changed.
inline constexpr int Ms8DefaultPort = 8408;

// The EPSG code of a .prj text: 6668 (JGD2011) when it names JGD_2011, otherwise 4612 (JGD2000).
int32_t ProjectionCode(const std::string& prjText);

// The MAXSCALEDENOM of the WEB section: the setting when it is a positive number, otherwise the
// scale denominator at which the extent fills the map image (0.28 mm pixels, degrees turned into
// metres at the extent's middle latitude), rounded up; 0 when neither can be had.
double MaxScaleDenom(const std::string& maxScale, int32_t width, int32_t height,
                     const textent& extent);

// The extent the map file declares: the run's Extent, a single point widened a little, and the
// whole world when the run read no coordinate.
textent Ms8Extent(const textent& extent);

// Writes the MapServer 8 map file at `mapPath` for the layers created in the run, their sets in
// `dataFolder` (absolute, trailing '/'); `webFolder` is the absolute htdocs folder. False,
// having written nothing, when the file cannot be created.
bool WriteMapFile8(const std::string& mapPath, const std::string& dataFolder,
                   const std::string& webFolder, bool fontCopied, const std::string& fontAlias,
                   bool symbolsCopied);

// The whole MapServer 8 export for the output-path text. `showMessage` shows the font warning.
void ExportMapServer8(const std::string& outputPath,
                      const std::function<void(const std::string&)>& showMessage);
