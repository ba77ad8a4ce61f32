#pragma once
// Vertices from the latitude and longitude a file declares into the target CRS, through PROJ,
// in batches; the orientation of rings after the change; and the check, made before anything
// is written, that the target can hold the data at all.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crs/projhandle.h"
#include "crs/target.h"

namespace crs {

// The geographic CRSs FGD files declare. JGD2024 data is taken as JGD2011: the two agree in
// latitude and longitude, and PROJ knows no JGD2024.
inline constexpr int kEpsgJgd2000 = 4612;
inline constexpr int kEpsgJgd2011 = 6668;

// One per reader. It owns its PROJ context and the transformations it has built (one per
// source datum, made on first use), so readers on different threads share nothing; one
// transformer itself is for one thread at a time.
class tvertextransformer {
 public:
  explicit tvertextransformer(const ttargetcrs& target);
  tvertextransformer(const tvertextransformer&) = delete;
  tvertextransformer& operator=(const tvertextransformer&) = delete;

  // Transforms `count` vertices in place: x longitude and y latitude in degrees of the
  // geographic CRS `sourceEpsg` (kEpsgJgd2000 or kEpsgJgd2011) become the target's X and Y
  // (easting and northing, or longitude and latitude). Returns how many failed: PROJ leaves
  // those at HUGE_VAL, and no output may take them. Raises NabikError when PROJ has no
  // transformation from the source to the target.
  size_t Transform(int sourceEpsg, double* x, double* y, size_t count);

  // The transformation PROJ used for the last vertex from `sourceEpsg` ("JGD2000 to JGD2011 (2)
  // + Japan Plane Rectangular CS zone IX"); where it may choose among several by area, the one
  // it took there.
  std::string OperationName(int sourceEpsg);

  // What a user should know about the transformation from `sourceEpsg` over `lonLat`, empty
  // when nothing: that PROJ ignores the difference of the datums (a ballpark transformation,
  // off by up to hundreds of metres), or that a more exact transformation would apply there but
  // its grid is not installed (JGD2000 to JGD2011 in the regions the 2011 earthquake moved).
  std::string Caveats(int sourceEpsg, const tcrsbox& lonLat);

 private:
  PJ* Operation(int sourceEpsg);
  std::string MissingGrids(int sourceEpsg, const tcrsbox& lonLat);

  std::string targetDefinition_, targetName_;
  tprojcontext context_;
  tprojobject target_;
  struct tsourceop {
    int Epsg;
    tprojobject Op;
  };
  std::vector<tsourceop> ops_;
};

enum class twinding { Clockwise, CounterClockwise };

// Twice the signed area of a ring of `count` vertices (closed or not), positive when it runs
// counter-clockwise with X to the east and Y to the north.
double RingArea2(const double* x, const double* y, size_t count);

// Whether the ring must be reversed to run as `wanted` (a shapefile's outer rings run
// clockwise, its holes counter-clockwise). A change of CRS can mirror a ring, as a target with
// westing and northing does; a ring without area needs nothing.
bool MustReverseRing(const double* x, const double* y, size_t count, twinding wanted);

// Whether the target can take data within `lonLat` (degrees of `sourceEpsg`): a grid of points
// over the box is transformed, and a target that fails on any of them cannot (a usage error).
struct ttargetcheck {
  bool Holds = false;
  std::string Error;  // why it cannot, when it cannot
  std::string Note;   // when it can, warnings worth showing, one a line: the data lies outside
                      // the target's area of use, where its distortion is not meant to be
                      // borne, and the transformation's caveats (tvertextransformer::Caveats)
  tcrsbox Box;        // the points' box in the target's X and Y, when it can
  size_t Points = 0, Failed = 0;  // points tried, and those PROJ failed on
};
ttargetcheck CheckTargetHolds(const ttargetcrs& target, int sourceEpsg, const tcrsbox& lonLat);

// The box of a standard grid square (地域メッシュ) from its code in a file name: "5235" (first
// level, 1 degree by 40 minutes), "503041" or "5030-41" (second level), "52353759" or
// "5235-37-59" (third level). nullopt for anything else.
std::optional<tcrsbox> MeshBox(std::string_view code);

}  // namespace crs
