#include "crs/zones.h"

#include <array>

namespace crs {
namespace {

constexpr double Dms(int degrees, int minutes) {
  return degrees + minutes / 60.0;
}

// The agency's table of zones (origins and the regions each zone applies to).
constexpr std::array<tplanezone, 19> kZones{{
    {1, "I", Dms(33, 0), Dms(129, 30), 6669, 2443,
     "長崎県、鹿児島県のうち北方北緯32度南方北緯27度西方東経128度18分東方東経130度を境界線とする区"
     "域"
     "内（奄美群島は東経130度13分までを含む。）にあるすべての島、小島、環礁及び岩礁"},
    {2, "II", Dms(33, 0), Dms(131, 0), 6670, 2444,
     "福岡県、佐賀県、熊本県、大分県、宮崎県、鹿児島県（I系に規定する区域を除く。）"},
    {3, "III", Dms(36, 0), Dms(132, 10), 6671, 2445, "山口県、島根県、広島県"},
    {4, "IV", Dms(33, 0), Dms(133, 30), 6672, 2446, "香川県、愛媛県、徳島県、高知県"},
    {5, "V", Dms(36, 0), Dms(134, 20), 6673, 2447, "兵庫県、鳥取県、岡山県"},
    {6, "VI", Dms(36, 0), Dms(136, 0), 6674, 2448,
     "京都府、大阪府、福井県、滋賀県、三重県、奈良県、和歌山県"},
    {7, "VII", Dms(36, 0), Dms(137, 10), 6675, 2449, "石川県、富山県、岐阜県、愛知県"},
    {8, "VIII", Dms(36, 0), Dms(138, 30), 6676, 2450, "新潟県、長野県、山梨県、静岡県"},
    {9, "IX", Dms(36, 0), Dms(139, 50), 6677, 2451,
     "東京都（XIV系、XVIII系及びXIX系に規定する区域を除く。）、福島県、栃木県、茨城県、埼玉県、"
     "千葉県、群馬県、神奈川県"},
    {10, "X", Dms(40, 0), Dms(140, 50), 6678, 2452, "青森県、秋田県、山形県、岩手県、宮城県"},
    {11, "XI", Dms(44, 0), Dms(140, 15), 6679, 2453,
     "小樽市、函館市、伊達市、北斗市、北海道後志総合振興局の所管区域、北海道胆振総合振興局の所管区"
     "域"
     "のうち豊浦町、壮瞥町及び洞爺湖町、北海道渡島総合振興局の所管区域、北海道檜山振興局の所管区"
     "域"},
    {12, "XII", Dms(44, 0), Dms(142, 15), 6680, 2454,
     "北海道（XI系及びXIII系に規定する区域を除く。）"},
    {13, "XIII", Dms(44, 0), Dms(144, 15), 6681, 2455,
     "北見市、帯広市、釧路市、網走市、根室市、北海道オホーツク総合振興局の所管区域のうち美幌町、"
     "津別町、斜里町、清里町、小清水町、訓子府町、置戸町、佐呂間町及び大空町、北海道十勝総合振興局"
     "の所管区域、北海道釧路総合振興局の所管区域、北海道根室振興局の所管区域"},
    {14, "XIV", Dms(26, 0), Dms(142, 0), 6682, 2456,
     "東京都のうち北緯28度から南であり、かつ東経140度30分から東であり東経143度から西である区域"},
    {15, "XV", Dms(26, 0), Dms(127, 30), 6683, 2457,
     "沖縄県のうち東経126度から東であり、かつ東経130度から西である区域"},
    {16, "XVI", Dms(26, 0), Dms(124, 0), 6684, 2458, "沖縄県のうち東経126度から西である区域"},
    {17, "XVII", Dms(26, 0), Dms(131, 0), 6685, 2459, "沖縄県のうち東経130度から東である区域"},
    {18, "XVIII", Dms(20, 0), Dms(136, 0), 6686, 2460,
     "東京都のうち北緯28度から南であり、かつ東経140度30分から西である区域"},
    {19, "XIX", Dms(26, 0), Dms(154, 0), 6687, 2461,
     "東京都のうち北緯28度から南であり、かつ東経143度から東である区域"},
}};

}  // namespace

std::span<const tplanezone> PlaneZones() {
  return kZones;
}

const tplanezone* PlaneZone(int number) {
  return number >= 1 && number <= static_cast<int>(kZones.size()) ? &kZones[number - 1] : nullptr;
}

std::string PlaneZoneCrs(const tplanezone& zone, bool jgd2000) {
  return "EPSG:" + std::to_string(jgd2000 ? zone.EpsgJgd2000 : zone.EpsgJgd2011);
}

std::string PlaneZoneChoice(int choice) {
  if (choice == 0) return "データの測地系のまま（緯度経度）";
  const tplanezone* zone = PlaneZone(choice);
  if (zone == nullptr) return {};
  return std::string("第") + zone->Roman + "系 (" + PlaneZoneCrs(*zone) + ") " + zone->Regions;
}

}  // namespace crs
