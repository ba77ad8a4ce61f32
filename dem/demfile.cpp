#include "dem/demfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "common/errors.h"
#include "common/paths.h"
#include "common/text.h"
#include "fgd/bytescan.h"
#include "fgd/decimal.h"
#include "fgd/encoding.h"
#include "fgd/linereader.h"

namespace {

// The DEM element stands within the first lines, after the XML declaration and the dataset's
// namespaces; a vector file never holds it.
constexpr size_t kSniffBytes = 4096;

// The kinds of cell; the sea surface is the one --sea 0 gives a value.
constexpr std::array<std::string_view, 8> kCellKinds = {
    "地表面", "表層面", "海水面", "内水面", "海水底面", "内水底面", "データなし", "その他"};
constexpr size_t kSeaSurface = 2;

struct tcellkinds {
  std::array<std::string, kCellKinds.size()> utf8, sjis;
  tcellkinds() {
    for (size_t i = 0; i < kCellKinds.size(); ++i) {
      utf8[i] = kCellKinds[i];
      sjis[i] = Sjis(kCellKinds[i]);
    }
  }
};

const tcellkinds& CellKinds() {
  static const tcellkinds kinds;
  return kinds;
}

bool Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && Blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && Blank(text.back())) text.remove_suffix(1);
  return text;
}

// The text between <name> and </name> on `line`, or nothing when the line holds no such element.
bool ElementText(std::string_view line, std::string_view open, std::string_view& text) {
  const size_t at = line.find(open);
  if (at == std::string_view::npos) return false;
  std::string_view rest = line.substr(at + open.size());
  const size_t end = rest.find('<');
  text = Trim(rest.substr(0, end));
  return true;
}

bool ParseKind(std::string_view name, tdemkind& kind) {
  static constexpr std::pair<std::string_view, tdemkind> kKinds[] = {
      {"1A", tdemkind::Dem1A}, {"5A", tdemkind::Dem5A},   {"5B", tdemkind::Dem5B},
      {"5C", tdemkind::Dem5C}, {"10A", tdemkind::Dem10A}, {"10B", tdemkind::Dem10B}};
  for (const auto& [text, value] : kKinds) {
    if (name.size() != text.size()) continue;
    bool same = true;
    for (size_t i = 0; i < text.size(); ++i)
      same &= (name[i] & ~0x20) == (text[i] & ~0x20) || name[i] == text[i];
    if (same) {
      kind = value;
      return true;
    }
  }
  return false;
}

// Kind and date from the agency's file name, FG-GML-<mesh>-DEM<kind>-<yyyymmdd>.xml.
void KindFromName(const std::string& path, bool& haveKind, tdemkind& kind, int32_t& date) {
  const std::string name = FileNamePart(path);
  size_t at = std::string::npos;
  for (size_t i = 0; i + 4 <= name.size(); ++i)
    if (name[i] == '-' &&
        (name.compare(i + 1, 3, "DEM") == 0 || name.compare(i + 1, 3, "dem") == 0))
      at = i + 4;
  if (at == std::string::npos) return;
  size_t end = at;
  while (end < name.size() && name[end] != '-' && name[end] != '.') ++end;
  haveKind = ParseKind(std::string_view(name).substr(at, end - at), kind);
  if (!haveKind || end + 9 > name.size() || name[end] != '-') return;
  int32_t value = 0;
  for (size_t i = end + 1; i < end + 9; ++i) {
    if (name[i] < '0' || name[i] > '9') return;
    value = value * 10 + (name[i] - '0');
  }
  date = value;
}

// The kind named by the file's <type> text, for a file renamed by its user.
bool KindFromType(std::string_view type, tdemkind& kind) {
  static const std::pair<std::string, tdemkind> kTypes[] = {
      {"1mメッシュ（標高）", tdemkind::Dem1A},
      {"5mメッシュ（標高）", tdemkind::Dem5A},
      {"5mメッシュ（数値地形）", tdemkind::Dem5B},
      {"10mメッシュ（火山標高）", tdemkind::Dem10A},
      {"10mメッシュ（標高）", tdemkind::Dem10B}};
  for (const auto& [text, value] : kTypes)
    if (type == text || type == Sjis(text)) {
      kind = value;
      return true;
    }
  return false;
}

tdatum DatumOf(std::string_view line) {
  constexpr std::string_view kUuid = "fguuid:";
  const size_t at = line.find(kUuid);
  if (at == std::string_view::npos) return tdatum::None;
  const std::string_view name = line.substr(at + kUuid.size());
  if (name.starts_with("jgd2011.bl")) return tdatum::Jgd2011;
  if (name.starts_with("jgd2024.bl")) return tdatum::Jgd2024;
  if (name.starts_with("jgd2000.bl")) return tdatum::Jgd2000;
  return tdatum::None;
}

// yyyymmdd of "2016-10-01"; 0 for a text without exactly eight digits.
int32_t DateOf(std::string_view text) {
  int32_t value = 0, digits = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') continue;
    if (++digits > 8) return 0;
    value = value * 10 + (c - '0');
  }
  return digits == 8 ? value : 0;
}

// One file's reading: the header lines, the tuple list, the lines after it.
class tdemreading {
 public:
  tdemreading(const std::string& path, const tdemreadoptions& options, tdemfile& file)
      : path_(path), options_(options), file_(file), in_(path) {}

  void Read();

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw NabikError(path_ + ":" + std::to_string(line_) + ": " + what);
  }
  bool Next(std::string_view& line) {
    if (!in_.NextLine(line)) return false;
    ++line_;
    return true;
  }
  void Header(std::string_view line);
  void CheckGrid();
  void Tuples();
  void Tuple(std::string_view tuple);
  int64_t Number(std::string_view text, const char* what);

  const std::string& path_;
  const tdemreadoptions& options_;
  tdemfile& file_;
  tlinereader in_;
  int64_t line_ = 0;
  bool sjis_ = false;
  bool haveLower_ = false, haveUpper_ = false, haveHigh_ = false, haveTupleList_ = false;
  bool haveKind_ = false, inDevDate_ = false;
  int32_t devDate_ = 0, spanDate_ = 0;
  std::string_view type_;
  std::string typeText_;
  size_t count_ = 0, cells_ = 0;
  // The last kind of cell seen: a file holds long runs of one kind.
  std::string_view lastKind_;
  bool lastSea_ = false;
  const std::array<std::string, kCellKinds.size()>* kinds_ = nullptr;
};

int64_t tdemreading::Number(std::string_view text, const char* what) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size())
    Fail(std::string("'") + std::string(text) + "' is no whole number in " + what);
  return value;
}

void tdemreading::Header(std::string_view line) {
  std::string_view text;
  if (line.find("<gml:Envelope") != std::string_view::npos) {
    file_.datum = DatumOf(line);
    if (file_.datum == tdatum::None) Fail("the envelope names no datum this program knows");
  } else if (ElementText(line, "<gml:lowerCorner>", text) ||
             ElementText(line, "<gml:upperCorner>", text)) {
    const bool lower = line.find("<gml:lowerCorner>") != std::string_view::npos;
    double lat = 0, lon = 0;
    if (!ParsePlainTuple(text, lat, lon))
      Fail("the envelope's corner '" + std::string(text) + "' is no latitude longitude pair");
    (lower ? file_.south : file_.north) = lat;
    (lower ? file_.west : file_.east) = lon;
    (lower ? haveLower_ : haveUpper_) = true;
  } else if (ElementText(line, "<gml:low>", text)) {
    if (text != "0 0") Fail("the grid's low corner is '" + std::string(text) + "', not 0 0");
  } else if (ElementText(line, "<gml:high>", text)) {
    const size_t blank = text.find(' ');
    if (blank == std::string_view::npos) Fail("the grid's high corner needs two numbers");
    const int64_t x = Number(Trim(text.substr(0, blank)), "the grid's high corner");
    const int64_t y = Number(Trim(text.substr(blank + 1)), "the grid's high corner");
    if (x < 0 || y < 0 || x >= (1 << 20) || y >= (1 << 20))
      Fail("the grid's high corner " + std::string(text) + " is out of range");
    file_.cols = static_cast<int32_t>(x + 1);
    file_.rows = static_cast<int32_t>(y + 1);
    haveHigh_ = true;
  } else if (ElementText(line, "<type>", text)) {
    typeText_ = std::string(text);
  } else if (line.find("<devDate") != std::string_view::npos) {
    inDevDate_ = true;
  } else if (ElementText(line, "<gml:timePosition>", text)) {
    (inDevDate_ ? devDate_ : spanDate_) = DateOf(text);
    inDevDate_ = false;
  }
}

// The grid must be the one its kind has, and fit its envelope to a whole number of cells in the
// lattice of its spacing (so that neighbouring meshes meet exactly).
void tdemreading::CheckGrid() {
  if (!haveLower_ || !haveUpper_) Fail("the tuple list comes before the envelope's corners");
  if (!haveHigh_) Fail("the tuple list comes before the grid's size");
  if (file_.datum == tdatum::None) Fail("the tuple list comes before the envelope's datum");
  if (!haveKind_ && !KindFromType(typeText_, file_.kind))
    Fail("the kind of elevation model is neither in the file name (DEM5A, ...) nor in <type>");
  haveKind_ = true;
  const std::string kind = "DEM" + std::string(DemKindName(file_.kind));
  const int spacing = DemSpacing(file_.kind);
  if ((spacing == 5 && (file_.cols != 225 || file_.rows != 150)) ||
      (spacing == 10 && (file_.cols != 1125 || file_.rows != 750)))
    Fail("a " + kind + " grid has " + (spacing == 5 ? "225 x 150" : "1125 x 750") +
         " cells, this one " + std::to_string(file_.cols) + " x " + std::to_string(file_.rows));
  const double width = file_.east - file_.west, height = file_.north - file_.south;
  if (!(width > 0) || !(height > 0))
    Fail("the envelope's upper corner is not north-east of its lower corner");
  if (spacing == 1) {
    file_.cellsPerDegreeX = std::llround(file_.cols / width);
    file_.cellsPerDegreeY = std::llround(file_.rows / height);
  } else {
    file_.cellsPerDegreeX = file_.cellsPerDegreeY = spacing == 5 ? 18000 : 9000;
  }
  auto fit = [&](double degrees, int64_t perDegree, int64_t& index) {
    const double cells = degrees * static_cast<double>(perDegree);
    index = std::llround(cells);
    return std::abs(cells - static_cast<double>(index)) < 0.01;
  };
  int64_t eastCol = 0, northRow = 0;
  // Rows of a first-level mesh (2/3 of a degree) must be whole for the mosaic's files.
  if (file_.cellsPerDegreeX <= 0 || file_.cellsPerDegreeY <= 0 || file_.cellsPerDegreeY % 3 != 0 ||
      !fit(file_.west, file_.cellsPerDegreeX, file_.westCol) ||
      !fit(file_.east, file_.cellsPerDegreeX, eastCol) ||
      !fit(file_.south, file_.cellsPerDegreeY, file_.southRow) ||
      !fit(file_.north, file_.cellsPerDegreeY, northRow) || eastCol - file_.westCol != file_.cols ||
      northRow - file_.southRow != file_.rows)
    Fail("the grid of " + std::to_string(file_.cols) + " x " + std::to_string(file_.rows) +
         " cells does not fit the envelope of a " + kind + " mesh");
  cells_ = static_cast<size_t>(file_.cols) * static_cast<size_t>(file_.rows);
}

void tdemreading::Tuple(std::string_view tuple) {
  const char* p = tuple.data();
  const char* end = p + tuple.size();
  while (p < end && Blank(*p)) ++p;
  const char* comma = bytescan::Find(p, end, ',');
  if (!comma) Fail("the tuple '" + std::string(tuple) + "' is not kind,value");
  const size_t length = static_cast<size_t>(comma - p);
  if (length != lastKind_.size() || !bytescan::Same(p, lastKind_.data(), length)) {
    const std::string_view kind(p, length);
    size_t i = 0;
    while (i < kinds_->size() && (*kinds_)[i] != kind) ++i;
    if (i == kinds_->size()) Fail("unknown kind of cell '" + std::string(kind) + "'");
    lastKind_ = (*kinds_)[i];
    lastSea_ = i == kSeaSurface;
  }
  float value = 0;
  const auto [stop, error] = std::from_chars(comma + 1, end, value);
  if (error != std::errc() || stop != end) {
    double parsed = 0;
    if (!ParseDecimal(std::string_view(comma + 1, end - comma - 1), parsed))
      Fail(NotAFloatMessage(std::string_view(comma + 1, end - comma - 1)));
    value = static_cast<float>(parsed);
  }
  if (value == kDemNoData) value = lastSea_ && options_.seaZero ? 0.0f : kDemNoData;
  if (count_ == cells_) Fail("more values than the grid's " + std::to_string(cells_) + " cells");
  file_.values[count_++] = value;
}

void tdemreading::Tuples() {
  file_.values.resize(cells_);
  std::string_view line;
  bytescan::ttags tags;
  for (;;) {
    if (!in_.NextLine(line, tags)) Fail("the file ends inside its tuple list");
    ++line_;
    if (tags.first == bytescan::ttags::kNone) {
      if (!line.empty()) Tuple(line);
      continue;
    }
    // A tag ends the list; a tuple may stand before it on the same line.
    const std::string_view before = line.substr(0, tags.first);
    if (!Trim(before).empty()) Tuple(before);
    if (line.substr(tags.first).starts_with("</gml:tupleList>")) break;
    Fail("unexpected element in the tuple list");
  }
  file_.values.resize(count_);
}

void tdemreading::Read() {
  file_.path = path_;
  file_.datum = tdatum::None;
  file_.date = 0;
  file_.cols = file_.rows = 0;
  file_.start = 0;
  file_.values.clear();
  KindFromName(path_, haveKind_, file_.kind, file_.date);

  std::string_view line;
  if (!Next(line)) Fail("the file is empty");
  const std::string encoding = DeclaredEncoding(line);
  sjis_ = IsShiftJisName(encoding);
  if (!sjis_ && !encoding.empty() && encoding != "UTF-8")
    Fail("the encoding " + encoding + " is not read for elevation models (UTF-8 or Shift_JIS)");
  kinds_ = sjis_ ? &CellKinds().sjis : &CellKinds().utf8;

  for (;;) {
    if (!Next(line)) break;
    if (!haveTupleList_) {
      const size_t at = line.find("<gml:tupleList>");
      if (at == std::string_view::npos) {
        Header(line);
        continue;
      }
      CheckGrid();
      haveTupleList_ = true;
      file_.values.resize(cells_);
      // Values may follow the tag on its own line.
      std::string_view rest = line.substr(at + 15);
      const size_t close = rest.find("</gml:tupleList>");
      if (!Trim(rest.substr(0, close)).empty()) Tuple(rest.substr(0, close));
      if (close == std::string_view::npos)
        Tuples();
      else
        file_.values.resize(count_);
      continue;
    }
    std::string_view text;
    if (line.find("<gml:sequenceRule") != std::string_view::npos) {
      if (line.find("order=\"+x-y\"") == std::string_view::npos)
        Fail(
            "only the sequence rule +x-y (rows from north to south, each from west to east) is "
            "read");
    } else if (ElementText(line, "<gml:startPoint>", text)) {
      const size_t blank = text.find(' ');
      if (blank == std::string_view::npos) Fail("the start point needs two numbers");
      const int64_t x = Number(Trim(text.substr(0, blank)), "the start point");
      const int64_t y = Number(Trim(text.substr(blank + 1)), "the start point");
      if (x < 0 || y < 0 || x >= file_.cols || y >= file_.rows)
        Fail("the start point " + std::string(text) + " lies outside the grid");
      file_.start = y * file_.cols + x;
      if (static_cast<size_t>(file_.start) + count_ > cells_)
        Fail("the " + std::to_string(count_) + " values from the start point " + std::string(text) +
             " run past the grid's " + std::to_string(cells_) + " cells");
    }
  }
  // Without a start point the values start at the first cell.
  if (!haveTupleList_) Fail("the file holds no tuple list");
  if (file_.date == 0) file_.date = devDate_ ? devDate_ : spanDate_;
}

}  // namespace

int DemSpacing(tdemkind kind) {
  switch (kind) {
    case tdemkind::Dem1A:
      return 1;
    case tdemkind::Dem5A:
    case tdemkind::Dem5B:
    case tdemkind::Dem5C:
      return 5;
    case tdemkind::Dem10A:
    case tdemkind::Dem10B:
      return 10;
  }
  return 0;
}

std::string_view DemKindName(tdemkind kind) {
  static constexpr std::string_view kNames[] = {"1A", "5A", "5B", "5C", "10A", "10B"};
  return kNames[static_cast<int>(kind)];
}

int DemKindRank(tdemkind kind) {
  switch (kind) {
    case tdemkind::Dem1A:
    case tdemkind::Dem5A:
    case tdemkind::Dem10A:
      return 0;
    case tdemkind::Dem5B:
    case tdemkind::Dem10B:
      return 1;
    case tdemkind::Dem5C:
      return 2;
  }
  return 0;
}

bool IsDemFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char head[kSniffBytes];
  const ssize_t n = ::pread(fd, head, sizeof head, 0);
  ::close(fd);
  if (n <= 0) return false;
  const std::string_view text(head, static_cast<size_t>(n));
  for (size_t at = text.find("<DEM"); at != std::string_view::npos;
       at = text.find("<DEM", at + 1)) {
    const char next = at + 4 < text.size() ? text[at + 4] : ' ';
    if (next == ' ' || next == '>' || next == '\t' || next == '\r' || next == '\n') return true;
  }
  return false;
}

void ReadDemFile(const std::string& path, const tdemreadoptions& options, tdemfile& file) {
  tdemreading(path, options, file).Read();
}
