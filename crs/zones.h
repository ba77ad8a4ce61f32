#pragma once
// The nineteen plane-rectangular coordinate systems of Japan (平面直角座標系, zones I to XIX):
// the zones surveying, planning and most analysis measure in, each a transverse Mercator with
// scale 0.9999 about its own origin, and the regions the agency assigns to each. The settings
// dialog offers them by number, after "as the data declares".
#include <span>
#include <string>

namespace crs {

struct tplanezone {
  int Number;              // 1 to 19
  const char* Roman;       // "I" to "XIX"
  double OriginLatitude;   // degrees
  double OriginLongitude;  // degrees
  int EpsgJgd2011;         // 6669 to 6687
  int EpsgJgd2000;         // 2443 to 2461
  const char* Regions;     // the prefectures and islands it covers, UTF-8, as the table words them
};

// The zones in order of their numbers.
std::span<const tplanezone> PlaneZones();

// Zone `number` (1 to 19); nullptr for any other number.
const tplanezone* PlaneZone(int number);

// "EPSG:6677" for zone IX: the zone on JGD2011, which the current data declares and which JGD2000
// data is transformed to; `jgd2000` gives the zone on JGD2000 instead.
std::string PlaneZoneCrs(const tplanezone& zone, bool jgd2000 = false);

// The choices of the settings dialog's list, UTF-8: first "as the data declares" (the default,
// which leaves every output in latitude and longitude), then "第IX系 (EPSG:6677) <regions>" for
// each zone in order. Choice k (from 1) is zone k.
std::string PlaneZoneChoice(int choice);
inline constexpr int kPlaneZoneChoices = 20;

}  // namespace crs
