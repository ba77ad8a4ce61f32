#pragma once
// The coordinate reference system the outputs are written in when the user names one (--crs):
// anything PROJ understands (an authority code such as "EPSG:6677", a WKT, a PROJ string). It is
// checked once, before anything is written, and describes itself for every output: the ESRI WKT
// of a shapefile's .prj, the SRS GDAL is given, the unit of its coordinates.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace crs {

// A box, X before Y: longitude and latitude in degrees, or the target's easting and northing.
struct tcrsbox {
  double MinX = 0, MinY = 0, MaxX = 0, MaxY = 0;
};

// A parsed target. It holds text and numbers only, so one value serves every thread: each
// thread builds its own PROJ objects from Definition() (see tvertextransformer).
class ttargetcrs {
 public:
  // The target `text` names ("EPSG:6677" or just "6677", a WKT, a PROJ string, or a CRS's exact
  // name), or nullopt with a usage-error text in `error` (naming the text and what PROJ said)
  // for a text PROJ does not know, a name it finds only approximately, or a CRS no output can
  // hold: geocentric, vertical, engineering and other systems without longitude/latitude or
  // easting/northing.
  static std::optional<ttargetcrs> Parse(std::string_view text, std::string& error);

  const std::string& Definition() const { return definition_; }  // what PROJ was given
  const std::string& Name() const { return name_; }              // "JGD2011 / Japan Plane ..."
  // The shapefile's .prj text (PROJ's ESRI WKT 1), one line without line end.
  const std::string& EsriWkt() const { return esriWkt_; }
  // The SRS for GDAL: "EPSG:6677" when the CRS is one of EPSG's, else its WKT 2.
  const std::string& GdalSrs() const { return gdalSrs_; }
  const std::string& Wkt2() const { return wkt2_; }
  // Its PROJ string, for programs that take no WKT (map files' PROJECTION blocks); empty where
  // a PROJ string cannot express it.
  const std::string& ProjString() const { return projString_; }
  int Epsg() const { return epsg_; }  // 0 when the CRS is none of EPSG's
  // The parameters of a map file's PROJECTION block, unquoted: "init=epsg:6677", or the words
  // of its PROJ string without their "+" for a CRS that is none of EPSG's.
  std::vector<std::string> MapFileParameters() const;
  bool Geographic() const { return geographic_; }
  // Metres in one unit of the target's easting and northing (1 for metres); 0 when geographic.
  double MetresPerUnit() const { return metresPerUnit_; }
  // Where the CRS is meant to be used, longitude and latitude in degrees, and its name; nullopt
  // when the definition does not say (PROJ strings, most WKT).
  const std::optional<tcrsbox>& AreaOfUse() const { return areaOfUse_; }
  const std::string& AreaName() const { return areaName_; }

 private:
  ttargetcrs() = default;
  std::string definition_, name_, esriWkt_, gdalSrs_, wkt2_, projString_, areaName_;
  int epsg_ = 0;
  bool geographic_ = false;
  double metresPerUnit_ = 0;
  std::optional<tcrsbox> areaOfUse_;
};

// The target of the run going on, from --crs or the settings' 座標系, for the run's length;
// unset while every output stays in the latitude and longitude the data declares.
extern std::optional<ttargetcrs> RunTargetCrs;

}  // namespace crs
