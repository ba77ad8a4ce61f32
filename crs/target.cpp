#include "crs/target.h"

#include <proj_experimental.h>  // proj_crs_demote_to_2D, there since PROJ 6.3
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/errors.h"
#include "crs/projhandle.h"

namespace crs {

std::optional<ttargetcrs> RunTargetCrs;

namespace {

std::string Trimmed(std::string_view text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

// A long WKT is cut in messages: the user knows what they gave.
std::string Quoted(const std::string& text) {
  return "'" + (text.size() > 60 ? text.substr(0, 57) + "..." : text) + "'";
}

std::string Because(const std::string& message) {
  return message.empty() ? std::string() : " (PROJ: " + message + ")";
}

bool Horizontal(PJ_TYPE type) {
  return type == PJ_TYPE_GEOGRAPHIC_2D_CRS || type == PJ_TYPE_GEOGRAPHIC_3D_CRS ||
         type == PJ_TYPE_GEOGRAPHIC_CRS || type == PJ_TYPE_PROJECTED_CRS;
}

// The part of `crs` that gives X and Y: itself, the base of a CRS bound to WGS 84 by
// +towgs84, or the first part of a compound one. Null when there is none.
tprojobject HorizontalPart(PJ_CONTEXT* ctx, const PJ* crs) {
  tprojobject part(proj_clone(ctx, crs));
  for (int depth = 0; part && depth < 3; ++depth) {
    const PJ_TYPE type = proj_get_type(part.get());
    if (Horizontal(type)) return part;
    if (type == PJ_TYPE_BOUND_CRS)
      part.reset(proj_get_source_crs(ctx, part.get()));
    else if (type == PJ_TYPE_COMPOUND_CRS)
      part.reset(proj_crs_get_sub_crs(ctx, part.get(), 0));
    else
      return nullptr;
  }
  return nullptr;
}

std::string Wkt(PJ_CONTEXT* ctx, const PJ* object, PJ_WKT_TYPE type) {
  const char* const options[] = {"MULTILINE=NO", nullptr};
  const char* text = proj_as_wkt(ctx, object, type, options);
  return text != nullptr ? text : "";
}

}  // namespace

std::optional<ttargetcrs> ttargetcrs::Parse(std::string_view text, std::string& error) {
  const std::string given = Trimmed(text);
  if (given.empty()) {
    error = "no CRS given (for example EPSG:6677, a WKT or a PROJ string)";
    return std::nullopt;
  }
  tprojcontext context;
  PJ_CONTEXT* ctx = context.get();
  ttargetcrs target;
  target.definition_ = AsCrsDefinition(given);
  tprojobject crs(proj_create(ctx, target.definition_.c_str()));
  if (!crs) {
    error = "PROJ does not know the CRS " + Quoted(given) + Because(context.TakeMessage());
    return std::nullopt;
  }
  // PROJ also looks a bare name up, and takes the nearest it finds ("foo" is Amersfoort): a
  // name must be the CRS's own, or a typing error would go on in a CRS nobody asked for.
  const char* found = proj_get_name(crs.get());
  if (target.definition_.find_first_of(":[{=") == std::string::npos &&
      (found == nullptr || strcasecmp(found, given.c_str()) != 0)) {
    error = "PROJ knows no CRS named " + Quoted(given) +
            (found != nullptr ? " (the nearest is '" + std::string(found) + "')" : "");
    return std::nullopt;
  }
  tprojobject horizontal = proj_is_crs(crs.get()) ? HorizontalPart(ctx, crs.get()) : nullptr;
  if (!horizontal) {
    error = Quoted(given) +
            " is no CRS of longitude and latitude or of easting and northing, as outputs need";
    return std::nullopt;
  }
  // PROJ strings carry no name: the text itself names them in messages.
  const char* name = proj_get_name(crs.get());
  target.name_ = name != nullptr && std::strcmp(name, "unknown") != 0 ? name : Quoted(given);
  // ESRI WKT knows no bound CRS, nor a projected one with heights: the .prj of those describes
  // their X and Y.
  target.esriWkt_ = Wkt(ctx, crs.get(), PJ_WKT1_ESRI);
  if (target.esriWkt_.empty()) target.esriWkt_ = Wkt(ctx, horizontal.get(), PJ_WKT1_ESRI);
  if (target.esriWkt_.empty()) {
    tprojobject flat(proj_crs_demote_to_2D(ctx, nullptr, horizontal.get()));
    if (flat) target.esriWkt_ = Wkt(ctx, flat.get(), PJ_WKT1_ESRI);
  }
  target.wkt2_ = Wkt(ctx, crs.get(), PJ_WKT2_2019);
  if (target.esriWkt_.empty() || target.wkt2_.empty()) {
    error =
        "PROJ cannot write the CRS " + Quoted(given) + " as WKT" + Because(context.TakeMessage());
    return std::nullopt;
  }
  if (const char* proj = proj_as_proj_string(ctx, crs.get(), PJ_PROJ_4, nullptr))
    target.projString_ = proj;
  context.TakeMessage();
  const char* authority = proj_get_id_auth_name(crs.get(), 0);
  const char* code = proj_get_id_code(crs.get(), 0);
  if (authority != nullptr && code != nullptr && std::strcmp(authority, "EPSG") == 0)
    target.epsg_ = std::atoi(code);
  target.gdalSrs_ = target.epsg_ > 0 ? "EPSG:" + std::to_string(target.epsg_) : target.wkt2_;

  target.geographic_ = proj_get_type(horizontal.get()) != PJ_TYPE_PROJECTED_CRS;
  if (!target.geographic_) {
    tprojobject cs(proj_crs_get_coordinate_system(ctx, horizontal.get()));
    double factor = 0;
    if (cs && proj_cs_get_axis_info(ctx, cs.get(), 0, nullptr, nullptr, nullptr, &factor, nullptr,
                                    nullptr, nullptr))
      target.metresPerUnit_ = factor;
  }
  double west = 0, south = 0, east = 0, north = 0;
  const char* area = nullptr;
  if (proj_get_area_of_use(ctx, crs.get(), &west, &south, &east, &north, &area) && west > -1000 &&
      west <= east) {
    target.areaOfUse_ = tcrsbox{west, south, east, north};
    target.areaName_ = area != nullptr ? area : "";
  }
  return target;
}

std::vector<std::string> ttargetcrs::MapFileParameters() const {
  if (epsg_ > 0) return {"init=epsg:" + std::to_string(epsg_)};
  std::vector<std::string> words;
  std::istringstream text(projString_);
  for (std::string word; text >> word;)
    if (word != "+type=crs") words.push_back(word[0] == '+' ? word.substr(1) : word);
  return words;
}

}  // namespace crs
