// FGD reading: the element scanner, the number and encoding rules, and the feature reader on
// small hand-made files, on hostile input and on every sample file.
#include <gtest/gtest.h>
#include <shapefil.h>
#include <zip.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/text.h"
#include "fgd/decimal.h"
#include "fgd/encoding.h"
#include "fgd/extent.h"
#include "fgd/linereader.h"
#include "fgd/reader.h"
#include "fgd/scanner.h"
#include "output/outputlayer.h"
#include "shpctl/shpctl.h"
#include "support/test_support.h"

using testing_support::ReadFile;
using testing_support::Sample;
using testing_support::ScratchDir;
using testing_support::WriteFile;
namespace fs = std::filesystem;

namespace {

struct tcolumn {
  std::string name;
  int32_t type = 0;
  int32_t width = 40;
};

tshpopentyp Layer(const std::string& name, int32_t kind, const std::vector<tcolumn>& columns) {
  tshpopentyp e;
  e.Name = name;
  e.Kind = kind;
  for (const tcolumn& c : columns) {
    tshpattr a;
    a.Name = c.name;
    a.Type = c.type;
    a.Width = c.width;
    e.Attrs.push_back(a);
  }
  return e;
}

// Makes `entry` the only catalog entry (number 1).
int32_t UseLayer(const tshpopentyp& entry) {
  LayerCatalog = {entry};
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Scanner

TEST(TextBetween, CutsBetweenTheFirstTags) {
  struct Case {
    std::string line, open, close, text;
  };
  for (const Case& c : std::vector<Case>{
           {"<a>x</a>", "<a>", "</a>", "x"},
           {"  <a> x y </a>  ", "<a>", "</a>", " x y "},  // blanks belong to the text
           {"<a>x", "<a>", "</a>", ""},                   // no closing tag
           {"</a><a>x</a>", "<a>", "</a>", ""},           // first closing tag before the text
           {"<a></a>", "<a>", "</a>", ""},
           {"<a>a&amp;b</a>", "<a>", "</a>", "a&amp;b"},  // entities stay as written
           {"x</a>", "<a>", "</a>", ""},                  // no opening tag
           {"<a>1<a>2</a>", "<a>", "</a>", "1<a>2"},
       })
    EXPECT_EQ(TextBetween(c.line, c.open, c.close), c.text) << c.line;
}

TEST(MatchFeatureStart, TakesIdentifiersFromLeftToRight) {
  const int32_t ab = UseLayer(Layer("Ab", 2, {}));
  struct Case {
    std::string line;
    bool start;
    std::string id, uuid;  // "old" where the text must keep its value
  };
  for (const Case& c : std::vector<Case>{
           {"<Ab gml:id=\"g7\">", true, "g7", "old"},
           {"<Ab id=\"a1\" uuid=\"u1\">", true, "a1", "u1"},
           {"<Ab uuid=\"u1\" id=\"a1\">", true, "a1", "old"},  // uuid left of id is not taken
           {"<Ab id=\"a1\" gml:id=\"g7\">", true, "g7", "old"},
           {"<Ab gml:id=\"g7>", true, "", "old"},  // no closing quote: empty
           {"<Ab  gml:id=\"K21_1\">", true, "K21_1", "old"},
           {"   <Ab gml:id=\"g1\">", true, "g1", "old"},
           {"<Ab class=\"x\">", true, "old", "old"},
           {"<Ab>", false, "old", "old"},
           {"<Abc gml:id=\"g1\">", false, "old", "old"},
           {"<ab gml:id=\"g1\">", false, "old", "old"},
       }) {
    std::string id = "old", uuid = "old";
    EXPECT_EQ(MatchFeatureStart(c.line, ab, id, uuid), c.start) << c.line;
    EXPECT_EQ(id, c.id) << c.line;
    EXPECT_EQ(uuid, c.uuid) << c.line;
  }
}

TEST(MatchFeatureEnd, NeedsTheExactEndTag) {
  const int32_t ab = UseLayer(Layer("Ab", 1, {}));
  struct Case {
    std::string line;
    bool end;
  };
  for (const Case& c : std::vector<Case>{{"</Ab>", true},
                                         {"<type>x</type></Ab>", true},
                                         {"</Ab >", false},
                                         {"</ab>", false},
                                         {"</Abc>", false},
                                         {"<Ab>", false}}) {
    int32_t type = -7;
    EXPECT_EQ(MatchFeatureEnd(c.line, ab, type), c.end) << c.line;
    EXPECT_EQ(type, 3) << c.line;  // set from the kind either way
  }
}

TEST(MatchFeatureEnd, ShapeTypeFollowsTheKind) {
  struct Case {
    int32_t kind, type;
  };
  for (const Case& c : std::vector<Case>{{1, 3}, {2, 5}, {3, 1}, {4, 3}, {9, -7}}) {
    const int32_t ab = UseLayer(Layer("Ab", c.kind, {}));
    int32_t type = -7;
    MatchFeatureEnd("</Ab>", ab, type);
    EXPECT_EQ(type, c.type) << c.kind;
  }
}

TEST(MatchAttributeElement, FirstColumnInCatalogOrderWins) {
  const int32_t ab = UseLayer(Layer("Ab", 1, {{"type"}, {"name"}}));
  struct Case {
    std::string line;
    bool found;
    std::string value;
    int32_t index;
  };
  for (const Case& c : std::vector<Case>{
           {"<name>x</name>", true, "x", 2},
           {"<type>a</type><name>b</name>", true, "a", 1},
           {"<name>b</name><type>a</type>", true, "a", 1},
           {"<name>x", true, "", 2},  // end tag on the next line
           {"<name gml:id=\"n\">x</name>", false, "", 0},
           {"<name/>", false, "", 0},
           {"<name>a&amp;b</name>", true, "a&amp;b", 2},
           {"<names>x</names>", false, "", 0},
       }) {
    std::string_view line = c.line;
    int32_t index = 0;
    EXPECT_EQ(MatchAttributeElement(line, ab, index), c.found) << c.line;
    EXPECT_EQ(index, c.index) << c.line;
    EXPECT_EQ(line, c.found ? std::string_view(c.value) : std::string_view(c.line)) << c.line;
  }
}

TEST(FindAttr, ExactNamesOnly) {
  const int32_t ab = UseLayer(Layer("Ab", 1, {{"fid"}, {"id"}, {"id"}, {"uuid"}}));
  int32_t k = 0;
  EXPECT_TRUE(FindAttr(ab, "id", k));
  EXPECT_EQ(k, 2);  // the first equal name
  EXPECT_TRUE(FindAttr(ab, "uuid", k));
  EXPECT_EQ(k, 4);
  k = 9;
  EXPECT_FALSE(FindAttr(ab, "ID", k));
  EXPECT_FALSE(FindAttr(ab, "i", k));
  EXPECT_EQ(k, 9);
}

TEST(PopToken, OnlyTheBlankSeparates) {
  struct Case {
    std::string text, first, second, rest;
  };
  for (const Case& c : std::vector<Case>{
           {"35.5 139.25", "35.5", "139.25", ""},
           {"  35.5   139.25  1.0 \r", "35.5", "139.25", "1.0"},
           {"\t35.5 139.25\t", "35.5", "139.25", ""},
           {"35.5\t139.25", "35.5\t139.25", "", ""},
           {"35.5", "35.5", "", ""},
           {"", "", "", ""},
           {std::string(" \x01\x1f "), "", "", ""},
       }) {
    std::string_view t = c.text;
    EXPECT_EQ(PopToken(t), c.first) << c.text;
    EXPECT_EQ(PopToken(t), c.second) << c.text;
    EXPECT_EQ(t, c.rest) << c.text;
  }
}

// ---------------------------------------------------------------------------------------------
// Numbers and encodings

TEST(ParseDecimal, DecimalNumbersOnly) {
  struct Case {
    std::string text;
    std::optional<double> value;
  };
  for (const Case& c : std::vector<Case>{
           {"12.5", 12.5},    {" 12.5 ", 12.5}, {"+1", 1.0},        {"-1e3", -1000.0},
           {".5", 0.5},       {"1.", 1.0},      {"139.25", 139.25}, {"1E2", 100.0},
           {"1e-999", 0.0},   {"1e999", {}},    {"-1e999", {}},     {"nan", {}},
           {"inf", {}},       {"-inf", {}},     {"infinity", {}},   {"0x10", {}},
           {"", {}},          {" ", {}},        {"1e", {}},         {"+-1", {}},
           {"--1", {}},       {"1,5", {}},      {"12.5abc", {}},    {".", {}},
           {"35.5\t139", {}}, {"\t1", {}},      {"1 2", {}},        {"+", {}},
       }) {
    double value = -99;
    EXPECT_EQ(ParseDecimal(c.text, value), c.value.has_value()) << "'" << c.text << "'";
    if (c.value) {
      EXPECT_DOUBLE_EQ(value, *c.value) << c.text;
    }
  }
}

TEST(StrToFloat, NamesTheFailingText) {
  try {
    StrToFloat("abc");
    FAIL() << "no failure";
  } catch (const NabikError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid floating point value");
  }
  // A text of megabytes is shortened for the message.
  const std::string huge(3'000'000, '7');
  const std::string message = NotAFloatMessage(huge + "x");
  EXPECT_LT(message.size(), 200u);
  EXPECT_EQ(message.substr(0, 11), "'7777777777");
}

TEST(DeclaredEncoding, ReadsTheXmlDeclaration) {
  struct Case {
    std::string line, encoding;
  };
  for (const Case& c : std::vector<Case>{
           {"<?xml version=\"1.0\" encoding=\"utf-8\"?>", "UTF-8"},
           {"<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>", "SHIFT_JIS"},
           {"<?xml version='1.0' encoding = 'euc-jp' ?>", "EUC-JP"},
           {"<?xml version=\"1.0\"?>", ""},
           {"<Dataset encoding=\"utf-8\">", ""},  // not a declaration
           {"", ""},
           {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"EUC-JP\"?>", "EUC-JP"},
           {"\xEF\xBB\xBF<Dataset>", "UTF-8"},  // a byte order mark says UTF-8
           {"<?xml version=\"1.0\" encoding=\"utf-8", ""},
       })
    EXPECT_EQ(DeclaredEncoding(c.line), c.encoding) << c.line;
  EXPECT_TRUE(IsShiftJisName("Shift_JIS"));
  EXPECT_TRUE(IsShiftJisName("windows-31j"));
  EXPECT_FALSE(IsShiftJisName("UTF-8"));
}

TEST(ValueConverter, ConvertsToCp932) {
  tvalueconverter utf8("UTF-8");
  EXPECT_EQ(utf8.ToTable("abc 123"), "abc 123");
  EXPECT_EQ(utf8.ToTable("普通建物"), Sjis("普通建物"));
  EXPECT_EQ(utf8.ToTable("普通建物"), Sjis("普通建物"));      // from the cache
  EXPECT_EQ(utf8.ToTable("a\xF0\x9F\x98\x80"), "a\x81\xAC");  // not in CP932: 〓
  tvalueconverter bytes("SHIFT_JIS");
  EXPECT_EQ(bytes.ToTable("\x95\x81\x92\xCA"), "\x95\x81\x92\xCA");
  tvalueconverter none("");
  EXPECT_EQ(none.ToTable("普通"), "普通");
  EXPECT_THROW(tvalueconverter("NO-SUCH-ENCODING-42"), NabikError);
}

// The fast paths of the hot loop must give exactly what the general rules give.
TEST(ParsePlainTuple, AgreesWithTheTokenRules) {
  std::mt19937 random(11);
  std::vector<std::string> tuples = {
      "35.5 139.25",
      " 35.5  139.25 ",
      "\t35.5 139.25\r",
      "35.5 139.25 7",
      "-35 -139.",
      ".5 .25",
      "35.5\t139.25",
      "35.5",
      "+35.5 139",
      "35.5 +139",
      "1e3 2E-3",
      "1e999 1",
      "1 1e999",
      "nan 1",
      "1 inf",
      "35.5 139.25x",
      "35.5 139\t5",
      "35.5x 139",
      "12345678901234567890 1",
      "35.12345678/ 1",
      "35.1234567:9 139",
      "35.123456789012 139.000000001",
      "0.99999999999999999999 1.00000000 ",
      "0.1 0.2",
      "-0 0",
      "35.5  139.25\t ",
      "",
      " ",
  };
  char text[64];
  for (int i = 0; i < 20000; ++i) {
    const double lat = std::uniform_real_distribution<double>(-90, 90)(random);
    const double lon = std::uniform_real_distribution<double>(-180, 180)(random);
    static const char* const kFormats[] = {"%.9f %.9f", "%.17g %.17g", "%.3e %.12f",
                                           "%.0f %.1f", "%.20f %.7f",  "%.2f %.15f"};
    const double scale = i % 7 == 0 ? 1e12 : i % 7 == 1 ? 1e-6 : 1;
    std::snprintf(text, sizeof text, kFormats[i % 6], lat * scale, lon);
    tuples.push_back(text);
  }
  int fast = 0;
  for (const std::string& tuple : tuples) {
    std::string_view t = tuple;
    const std::string_view a = PopToken(t), b = PopToken(t);
    double slowY = 0, slowX = 0;
    const bool slow = ParseDecimal(a, slowY) && ParseDecimal(b, slowX);
    double y = -1, x = -1;
    if (!ParsePlainTuple(tuple, y, x)) continue;
    ++fast;
    ASSERT_TRUE(slow) << tuple;
    EXPECT_EQ(y, slowY) << tuple;
    EXPECT_EQ(x, slowX) << tuple;
    EXPECT_EQ(std::signbit(y), std::signbit(slowY)) << tuple;
  }
  EXPECT_GT(fast, 20000);  // every generated tuple is plain
}

// A line parsed where it lies takes exactly its bytes and gives what the line's own parse
// gives; anything it does not take goes the general way.
TEST(ParseTupleLine, TakesOnlyWholeCommonLines) {
  struct Case {
    std::string text;
    size_t used;  // 0: not taken
  };
  std::vector<Case> cases = {{"33.684691954 130.237279665\r\n<", 28},
                             {"35.5 139.25\nnext", 12},
                             {" \t35.5  139.25\n", 15},
                             {"-0.5 .25\r\n", 10},
                             {"1e3 2E-3\n", 9},
                             {"35.5 139.25", 0},
                             {"35.5 139.2", 0},
                             {"35.5 139.25 7\n", 0},
                             {"35.5\t139.25\n", 0},
                             {"+35.5 139\n", 0},
                             {"1e999 1\n", 0},
                             {"1 nan\n", 0},
                             {"35.5 139.25\r\r\n", 0},
                             {"35.5 139.25\r", 0},
                             {"\n", 0},
                             {"", 0},
                             {"<gml:pos>1 2</gml:pos>\n", 0},
                             {"35.5x 139\n", 0}};
  std::mt19937 random(3);
  char text[96];
  for (int i = 0; i < 5000; ++i) {
    const double lat = std::uniform_real_distribution<double>(-90, 90)(random);
    const double lon = std::uniform_real_distribution<double>(-180, 180)(random);
    const int n =
        std::snprintf(text, sizeof text, i % 2 ? "%.9f %.9f\r\n" : "%.17g %.3e\n", lat, lon);
    cases.push_back({text, static_cast<size_t>(n)});
  }
  for (const Case& c : cases) {
    double y = -1, x = -1;
    EXPECT_EQ(ParseTupleLine(c.text, y, x), c.used) << c.text;
    if (!c.used) continue;
    std::string line = c.text.substr(0, c.used - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    double lineY = 0, lineX = 0;
    ASSERT_TRUE(ParsePlainTuple(line, lineY, lineX)) << line;
    EXPECT_EQ(y, lineY) << line;
    EXPECT_EQ(x, lineX) << line;
  }
}

TEST(LineReader, SplitsLikeTheLineEnds) {
  // Lines of every length around the scan's block sizes, with "<" anywhere, CR LF and LF, a
  // line longer than the read block and a last line without a line end.
  std::mt19937 random(5);
  const std::string alphabet = "ab<</ \t\r0123456789";
  std::vector<std::string> lines;
  for (int i = 0; i < 3000; ++i) {
    std::string line(random() % 70, 'x');
    for (char& c : line) c = alphabet[random() % alphabet.size()];
    lines.push_back(line);
  }
  lines.push_back(std::string(700000, 'y') + "<z");
  lines.push_back("tail<");
  std::string file;
  std::vector<std::string> expected;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string raw = lines[i] + (i + 1 < lines.size() && random() % 2 ? "\r" : "");
    file += raw;
    // One CR right before a LF belongs to the line end.
    if (i + 1 < lines.size()) {
      file += "\n";
      if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    }
    expected.push_back(raw);
  }
  ScratchDir dir;
  WriteFile(dir.Path() / "lines.txt", file);
  tlinereader in(dir.Folder() + "lines.txt");
  std::string_view line;
  bytescan::ttags tags;
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(in.NextLine(line, tags)) << i;
    ASSERT_EQ(line, expected[i]) << i;
    EXPECT_EQ(tags.first, line.find('<')) << i;
    uint64_t near = 0;
    for (size_t at = 0; at < std::min<size_t>(line.size(), 64); ++at)
      if (line[at] == '<') near |= uint64_t{1} << at;
    EXPECT_EQ(tags.near, near) << i;
  }
  EXPECT_FALSE(in.NextLine(line, tags));
}

// A file whose first line ends in a lone CR has its lone CRs read as line ends, across blocks
// too; in one whose first line ends otherwise, a CR stays a byte of its line. A line beyond the
// limit ends the reading with the file and the line's number.
TEST(LineReader, LoneCrEndsAndTheLongestLine) {
  std::mt19937 random(7);
  std::string many;
  std::vector<std::string> manyLines;
  while (many.size() < (size_t{700} << 10)) {
    std::string line(random() % 300, 'x');
    for (char& c : line) c = "ab<</ 09"[random() % 8];
    many += line + (manyLines.empty() || random() % 9 ? "\r" : "\r\n");
    manyLines.push_back(line);
  }
  struct Case {
    const char* what;
    std::string file;
    std::vector<std::string> lines;
  };
  for (const Case& c :
       std::vector<Case>{{"CR ends", "a\rbb\r\rccc", {"a", "bb", "", "ccc"}},
                         {"CR ends, the last one too", "a\rbb\r", {"a", "bb"}},
                         {"CR ends, then CR LF and LF", "a\rb\r\nc\nd\r", {"a", "b", "c", "d"}},
                         {"CR LF first: a lone CR stays", "a\r\nb\rc\n", {"a", "b\rc"}},
                         {"LF first: a lone CR stays", "a\nb\rc\r", {"a", "b\rc\r"}},
                         {"CR ends over blocks", many, manyLines}}) {
    ScratchDir dir;
    WriteFile(dir.Path() / "lines.txt", c.file);
    tlinereader in(dir.Folder() + "lines.txt");
    std::vector<std::string> lines;
    std::string_view line;
    bytescan::ttags tags;
    while (in.NextLine(line, tags)) {
      EXPECT_EQ(tags.first, line.find('<')) << c.what << " " << lines.size();
      lines.emplace_back(line);
    }
    EXPECT_EQ(lines, c.lines) << c.what;
  }
  ScratchDir dir;
  WriteFile(dir.Path() / "long.txt", "a\r\nb\r\n" + std::string(kMaxLineBytes + 1, 'x') + "\n");
  tlinereader in(dir.Folder() + "long.txt");
  std::string_view line;
  ASSERT_TRUE(in.NextLine(line));
  ASSERT_TRUE(in.NextLine(line));
  try {
    in.NextLine(line);
    ADD_FAILURE() << "the long line was read";
  } catch (const NabikError& e) {
    EXPECT_EQ(std::string(e.what()),
              dir.Folder() + "long.txt: line 3 is longer than 8 MB; the file was not read further");
  }
}

TEST(MatchAttributeElement, OnlyTheGivenColumns) {
  const int32_t ab = UseLayer(Layer("Ab", 1, {{"type"}, {"name"}}));
  std::string_view line = "<type>a</type><name>b</name>";
  int32_t k = 0;
  EXPECT_TRUE(MatchAttributeElement(line, ab, k, uint64_t{2}));  // column 2 only
  EXPECT_EQ(k, 2);
  EXPECT_EQ(line, "b");
  line = "<type>a</type>";
  EXPECT_FALSE(MatchAttributeElement(line, ab, k, uint64_t{2}));
}

// ---------------------------------------------------------------------------------------------
// Feature reader on hand-made files

struct tshapeback {
  int type = 0;
  std::vector<int> starts, types;
  std::vector<double> x, y;
};

struct tlayerback {
  int shapeCount = -1, recordCount = -1;
  std::vector<tshapeback> shapes;
  std::vector<std::vector<std::string>> records;  // trimmed texts as stored
};

// Reads a layer set back through the library, the way a map viewer would.
tlayerback ReadBack(const std::string& base) {
  tlayerback out;
  SHPHandle shp = SHPOpen(base.c_str(), "rb");
  DBFHandle dbf = DBFOpen(base.c_str(), "rb");
  EXPECT_TRUE(shp && dbf) << "set unreadable: " << base;
  if (shp) {
    SHPGetInfo(shp, &out.shapeCount, nullptr, nullptr, nullptr);
    for (int i = 0; i < out.shapeCount; ++i) {
      SHPObject* o = SHPReadObject(shp, i);
      EXPECT_NE(o, nullptr) << "shape " << i;
      if (!o) break;
      tshapeback s;
      s.type = o->nSHPType;
      for (int p = 0; p < o->nParts; ++p) {
        s.starts.push_back(o->panPartStart[p]);
        s.types.push_back(o->panPartType[p]);
      }
      s.x.assign(o->padfX, o->padfX + o->nVertices);
      s.y.assign(o->padfY, o->padfY + o->nVertices);
      out.shapes.push_back(std::move(s));
      SHPDestroyObject(o);
    }
    SHPClose(shp);
  }
  if (dbf) {
    out.recordCount = DBFGetRecordCount(dbf);
    for (int r = 0; r < out.recordCount; ++r) {
      std::vector<std::string> fields;
      for (int f = 0; f < DBFGetFieldCount(dbf); ++f)
        fields.push_back(DBFReadStringAttribute(dbf, r, f));
      out.records.push_back(std::move(fields));
    }
    DBFClose(dbf);
  }
  return out;
}

std::string Lines(const std::vector<std::string>& lines, const char* end = "\r\n") {
  std::string out;
  for (const std::string& l : lines) out += l + end;
  return out;
}

const std::string kUtf8Declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
const std::string kSjisDeclaration = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>";

// One ring as the GML files write it: "lat lon" tuples, one per line.
std::vector<std::string> Ring(const std::string& tag, const std::vector<std::string>& tuples) {
  std::vector<std::string> lines = {"<gml:" + tag + ">", "<gml:Ring>", "<gml:posList>"};
  lines.insert(lines.end(), tuples.begin(), tuples.end());
  for (const char* l : {"</gml:posList>", "</gml:Ring>"}) lines.push_back(l);
  lines.push_back("</gml:" + tag + ">");
  return lines;
}

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class Reader : public ::testing::Test {
 protected:
  void SetUp() override { PrepareFeatureReader(); }

  // Converts `xml` as the only file of a run into the set of `layer`.
  void Convert(const std::string& xml, const tshpopentyp& layer) {
    entry_ = UseLayer(layer);
    WriteFile(input_, xml);
    CreateLayerFiles(dir_.Folder(), entry_);
    Append(input_);
  }

  // Appends one more file to the set of the current layer.
  void Append(const std::string& path) {
    error_.reset();
    OpenLayerFiles(dir_.Folder(), CatalogEntry(entry_).Name);
    try {
      ReadFeatures(path, entry_);
    } catch (const NabikError& e) {
      error_ = e.what();
    }
    CloseLayerFiles();
    back_ = ReadBack(dir_.Folder() + CatalogEntry(entry_).Name);
    EXPECT_EQ(back_.shapeCount, back_.recordCount) << "shapes and records out of step";
  }

  void AppendText(const std::string& xml) {
    const std::string path = dir_.Folder() + "more" + std::to_string(++files_) + ".xml";
    WriteFile(path, xml);
    Append(path);
  }

  std::string NotAFloat(const std::string& text) const {
    return input_ + ": '" + text + "' is not a valid floating point value";
  }

  ScratchDir dir_;
  std::string input_ = dir_.Folder() + "in.xml";
  int32_t entry_ = 0;
  int files_ = 0;
  std::optional<std::string> error_;
  tlayerback back_;
};

TEST_F(Reader, WorkedExample) {
  Convert(Lines(Join({{kUtf8Declaration, "<Ab gml:id=\"g1\">", "<type>x</type>",
                       "<lfSpanFr gml:id=\"s1\">", "<jps:date8601>2008-03-01</jps:date8601>",
                       "</lfSpanFr>"},
                      Ring("exterior", {"35.0 139.0", "35.0 139.1", "35.1 139.1", "35.0 139.0"}),
                      {"</Ab>"}})),
          Layer("Ab", 2, {{"id"}, {"type"}, {"lfSpanFr"}}));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.records.size(), 1u);
  EXPECT_EQ(back_.records[0], (std::vector<std::string>{"g1", "x", "2008-03-01"}));
  ASSERT_EQ(back_.shapes.size(), 1u);
  const tshapeback& s = back_.shapes[0];
  EXPECT_EQ(s.type, SHPT_POLYGON);
  EXPECT_EQ(s.starts, std::vector<int>{0});
  EXPECT_EQ(PartCount, 1);
  EXPECT_EQ(PartTypes[0], 5);
  EXPECT_EQ(s.x, (std::vector<double>{139.0, 139.1, 139.1, 139.0}));
  EXPECT_EQ(s.y, (std::vector<double>{35.0, 35.1, 35.0, 35.0}));
}

TEST_F(Reader, RingsAreWrittenInShapefileOrder) {
  // Exterior P1 P2 P3 P4 P1 counter-clockwise, a clockwise hole, a second exterior ring.
  Convert(Lines(Join({{"<Ab gml:id=\"g1\">"},
                      Ring("exterior", {"0 0", "0 10", "10 10", "10 0", "0 0"}),
                      Ring("interior", {"2 2", "4 2", "4 4", "2 2"}),
                      Ring("exterior", {"20 20", "20 30", "30 30", "20 20"}),
                      {"</Ab>"}})),
          Layer("Ab", 2, {{"id"}}));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.shapes.size(), 1u);
  const tshapeback& s = back_.shapes[0];
  EXPECT_EQ(s.starts, (std::vector<int>{0, 5, 9}));
  // A polygon file keeps no part types; they are handed to the library from the buffers.
  ASSERT_EQ(PartCount, 3);
  EXPECT_EQ(std::vector<int>(PartTypes.begin(), PartTypes.begin() + 3),
            (std::vector<int>{5, 3, 2}));
  // Outer rings clockwise (reversed), the hole counter-clockwise (reversed as well).
  EXPECT_EQ(s.x, (std::vector<double>{0, 0, 10, 10, 0, 2, 4, 2, 2, 20, 30, 30, 20}));
  EXPECT_EQ(s.y, (std::vector<double>{0, 10, 10, 0, 0, 2, 4, 4, 2, 20, 30, 20, 20}));
}

TEST_F(Reader, RingsWithoutVerticesAreLeftOut) {
  // A ring tag without coordinates would leave a part that starts at the end of the shape,
  // which readers reject as a corrupt record.
  Convert(Lines(Join({{"<Ab gml:id=\"g1\">", "<gml:exterior>", "</gml:exterior>"},
                      Ring("exterior", {"0 0", "0 10", "10 10", "0 0"}),
                      {"<gml:interior>", "</gml:interior>", "</Ab>", "<Ab gml:id=\"g2\">",
                       "<gml:exterior>", "</gml:exterior>", "</Ab>", "<Ln gml:id=\"x\">"}})),
          Layer("Ab", 2, {{"id"}}));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.shapes.size(), 2u);
  EXPECT_EQ(back_.shapes[0].starts, std::vector<int>{0});
  EXPECT_EQ(back_.shapes[0].x, (std::vector<double>{0, 10, 10, 0}));
  EXPECT_EQ(back_.shapes[1].type, SHPT_NULL);  // no vertex at all
}

TEST_F(Reader, PointsTakeTheSecondNumberAsX) {
  struct Case {
    std::string line;
    double x, y;
  };
  for (const Case& c : std::vector<Case>{
           {"<gml:pos>35.5 139.25</gml:pos>", 139.25, 35.5},
           {"<jps:coordinate>35.5 139.25</jps:coordinate>", 139.25, 35.5},
           {"<gml:pos>35.5 139.25 7.0</gml:pos>", 139.25, 35.5},  // a third number is ignored
           {"<gml:pos> 35.5  139.25 </gml:pos>", 139.25, 35.5},
       }) {
    PrepareFeatureReader();
    Convert(Lines({"<Pt id=\"p1\">", c.line, "<gml:pos>1 2</gml:pos>", "</Pt>"}),
            Layer("Pt", 3, {{"id"}}));
    ASSERT_FALSE(error_) << *error_;
    ASSERT_EQ(back_.shapes.size(), 1u) << c.line;
    EXPECT_EQ(back_.shapes[0].type, SHPT_POINT);
    EXPECT_EQ(back_.shapes[0].x, std::vector<double>{c.x}) << c.line;  // the first vertex
    EXPECT_EQ(back_.shapes[0].y, std::vector<double>{c.y}) << c.line;
    EXPECT_EQ(Extent.MaxX, c.x);
    EXPECT_EQ(Extent.MinX, 2.0);
  }
}

TEST_F(Reader, PositionListReadsTheLinesAfterItsStartTag) {
  Convert(Lines({"<Ln gml:id=\"l1\">", "<gml:posList>1 2 3 4", "35 139", " 36 140 ",
                 "</gml:posList>", "<gml:posList>", "37 141", "</gml:posList>", "</Ln>"}),
          Layer("Ln", 1, {{"id"}}));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.shapes.size(), 1u);
  EXPECT_EQ(back_.shapes[0].type, SHPT_ARC);
  EXPECT_EQ(back_.shapes[0].x, (std::vector<double>{139, 140, 141}));  // one part for all lists
  EXPECT_EQ(back_.shapes[0].starts, std::vector<int>{0});
}

TEST_F(Reader, BadNumbersStopWithTheirText) {
  struct Case {
    std::vector<std::string> lines;
    std::string text;
  };
  for (const Case& c : std::vector<Case>{
           {{"<gml:pos>35.5</gml:pos>"}, ""},  // the missing X is converted first
           {{"<gml:posList>", "35.0 139.0", "35.0 abc", "</gml:posList>"}, "abc"},
           {{"<gml:posList>", "35.0\t139.0", "</gml:posList>"}, ""},  // a tab does not separate
           {{"<gml:pos>1e999 139</gml:pos>"}, "1e999"},
           {{"<gml:pos>35 nan</gml:pos>"}, "nan"},
           {{"<gml:posList>", "35.0 139.0"}, ""},  // the list never ends
           {{"<r>abc</r>"}, "abc"},
       }) {
    std::vector<std::string> lines = {"<Ln gml:id=\"l1\">"};
    lines.insert(lines.end(), c.lines.begin(), c.lines.end());
    lines.push_back("</Ln>");
    Convert(Lines(lines), Layer("Ln", 1, {{"r", 2, 10}}));
    ASSERT_TRUE(error_) << c.lines[0];
    EXPECT_EQ(*error_, NotAFloat(c.text));
    // The open feature is completed with a null shape, in step with its record.
    ASSERT_EQ(back_.shapes.size(), 1u);
    EXPECT_EQ(back_.shapes[0].type, SHPT_NULL);
  }
}

TEST_F(Reader, AttributeValuesByType) {
  Convert(Lines({"<Ab gml:id=\"a\">", "<r>12.5</r>", "<i>12.5</i>", "<t>12.5</t>", "</Ab>",
                 "<Ab gml:id=\"b\">", "<r> -3 </r>", "<i>42</i>", "<t>x</t>", "</Ab>",
                 "<Ab gml:id=\"c\">", "<i>123456</i>", "</Ab>"}),
          Layer("Ab", 1, {{"r", 2, 8}, {"i", 1, 4}, {"t", 0, 8}}));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.records.size(), 3u);
  EXPECT_NEAR(std::stod(back_.records[0][0]), 12.5, 0.5);  // the table keeps no decimals
  EXPECT_EQ(back_.records[0][1], "0");                     // not an integer: 0
  EXPECT_EQ(back_.records[0][2], "12.5");
  EXPECT_EQ(back_.records[1][0], "-3");
  EXPECT_EQ(back_.records[1][1], "42");
  // Too wide for its field: left empty rather than stored as another number.
  EXPECT_EQ(back_.records[2][1].find_first_not_of('*'), std::string::npos) << back_.records[2][1];
}

TEST_F(Reader, EveryColumnOfAWideLayer) {
  // More columns than the dispatch has bits of their own: the last ones share one.
  std::vector<tcolumn> columns;
  std::vector<std::string> lines = {"<Ab gml:id=\"g\">"};
  for (int k = 1; k <= 70; ++k) {
    columns.push_back({"c" + std::to_string(k), 0, 8});
    lines.push_back("<c" + std::to_string(k) + ">v" + std::to_string(k) + "</c" +
                    std::to_string(k) + ">");
  }
  lines.push_back("</Ab>");
  Convert(Lines(lines), Layer("Ab", 1, columns));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.records.size(), 1u);
  for (int k = 1; k <= 70; ++k) EXPECT_EQ(back_.records[0][k - 1], "v" + std::to_string(k));
}

TEST_F(Reader, ValuesOutsideAFeature) {
  Convert(Lines({"<type>before</type>", "<Ab gml:id=\"g1\">", "<type></type>", "</Ab>",
                 "<type>after</type>", "<jps:date8601>2009-01-01</jps:date8601>", "</lfSpanFr>"}),
          Layer("Ab", 1, {{"id"}, {"type"}, {"lfSpanFr"}}));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.records.size(), 1u);
  // Empty and outside values are not written; the date still lands in the last record.
  EXPECT_EQ(back_.records[0], (std::vector<std::string>{"g1", "", "2009-01-01"}));
  EXPECT_EQ(back_.shapes[0].type, SHPT_NULL);  // no vertex gathered
}

TEST_F(Reader, TestOrderDecidesMixedLines) {
  Convert(Lines({"<jps:date8601>1999-01-01</jps:date8601>", "<Ab id=\"a1\"><type>no</type></Ab>",
                 "<devDate>2011-03-28</devDate>", "<gml:pos>1 2</gml:pos>", "<type>yes</type></Ab>",
                 "</Ab>"}),
          Layer("Ab", 3, {{"id"}, {"type"}, {"devDate"}}));
  ASSERT_FALSE(error_) << *error_;
  // A start line is a start only; an attribute line with the end tag is an end only; devDate
  // on one line is an attribute element, not the date of test 6.
  ASSERT_EQ(back_.records.size(), 1u);
  EXPECT_EQ(back_.records[0], (std::vector<std::string>{"a1", "", "2011-03-28"}));
  ASSERT_EQ(back_.shapes.size(), 1u);
  EXPECT_EQ(back_.shapes[0].x, std::vector<double>{2});
}

TEST_F(Reader, DateElements) {
  struct Case {
    std::string line, date;
  };
  for (const Case& c : std::vector<Case>{
           {"<jps:date8601>2008-03-01</jps:date8601>", "2008-03-01"},
           {"<jps:date8601>2008-03-01", ""},
           {"</jps:date8601><jps:date8601>x</jps:date8601>", "x"},
           {"<gml:timePosition>2018-08-06</gml:timePosition>", "2018-08-06"},
           {"  <gml:timePosition>2018-08-06", ""},
           {"</gml:timePosition><gml:timePosition>y</gml:timePosition>", "y"},
       }) {
    Convert(Lines({"<Ab gml:id=\"g\">", "<devDate gml:id=\"d\">", c.line, "</devDate>",
                   "<lfSpanTo>", "</lfSpanTo>", "</Ab>"}),
            Layer("Ab", 1, {{"devDate"}, {"lfSpanTo"}}));
    ASSERT_FALSE(error_) << *error_;
    ASSERT_EQ(back_.records.size(), 1u);
    EXPECT_EQ(back_.records[0][0], c.date) << c.line;
    EXPECT_EQ(back_.records[0][1], c.date) << c.line;  // carried over
  }
}

TEST_F(Reader, TextValuesBecomeCp932) {
  struct Case {
    std::string declaration, value, stored;
  };
  for (const Case& c : std::vector<Case>{
           {kUtf8Declaration, "普通建物", Sjis("普通建物")},
           {kUtf8Declaration, "a\xF0\xA0\xAE\xB7", "a\x81\xAC"},  // 𠮷 is not in CP932: 〓
           {kSjisDeclaration, Sjis("表示"), Sjis("表示")},
           {"", "普通", "普通"},  // no declaration: bytes as they stand
           {"<?xml version=\"1.0\" encoding=\"EUC-JP\"?>", "\xA4\xA2", Sjis("あ")},
       }) {
    Convert(Lines({c.declaration, "<Ab gml:id=\"g1\">", "<name>" + c.value + "</name>", "</Ab>"}),
            Layer("Ab", 1, {{"id"}, {"name"}}));
    ASSERT_FALSE(error_) << *error_;
    ASSERT_EQ(back_.records.size(), 1u);
    EXPECT_EQ(back_.records[0][1], c.stored) << c.declaration;
  }
  Convert(Lines({"<?xml version=\"1.0\" encoding=\"x-no-such-code\"?>", "<Ab gml:id=\"g\">"}),
          Layer("Ab", 1, {{"id"}}));
  ASSERT_TRUE(error_);
  EXPECT_EQ(error_->rfind(input_ + ": ", 0), 0u) << *error_;
}

TEST_F(Reader, LongTextsAreCutAtACharacterBoundary) {
  struct Case {
    std::string value, stored;
  };
  for (const Case& c : std::vector<Case>{
           {Sjis("あいう"), Sjis("あい")},
           {"a" + Sjis("あいう"), "a" + Sjis("あい")},
           {"abcdefg", "abcde"},
           {Sjis("ｱｲｳｴｵｶ"), Sjis("ｱｲｳｴｵ")},  // single-byte kana
       }) {
    Convert(
        Lines({kSjisDeclaration, "<Ab gml:id=\"g1\">", "<name>" + c.value + "</name>", "</Ab>"}),
        Layer("Ab", 1, {{"name", 0, 5}}));
    ASSERT_FALSE(error_) << *error_;
    EXPECT_EQ(back_.records.at(0).at(0), c.stored);
  }
}

TEST_F(Reader, BuffersGrowForLargeFeatures) {
  std::vector<std::string> tuples;
  for (int i = 0; i < 100000; ++i) tuples.push_back("35." + std::to_string(i) + " 139.5");
  std::vector<std::vector<std::string>> parts = {{"<Ab gml:id=\"big\">"}};
  parts.push_back(Ring("exterior", tuples));
  for (int r = 0; r < 500; ++r) parts.push_back(Ring("interior", {"1 1", "1 2", "2 2", "1 1"}));
  parts.push_back({"</Ab>", "<Ab gml:id=\"small\">"});
  parts.push_back(Ring("exterior", {"0 0", "0 1", "1 1", "0 0"}));
  parts.push_back({"</Ab>"});
  Convert(Lines(Join(parts), "\n"), Layer("Ab", 2, {{"id"}}));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.shapes.size(), 2u);
  const tshapeback& big = back_.shapes[0];
  EXPECT_EQ(big.x.size(), 100000u + 500u * 4u);
  ASSERT_EQ(big.starts.size(), 501u);
  EXPECT_EQ(big.starts[500], 100000 + 499 * 4);
  EXPECT_EQ(big.y[0], 35.99999);  // the last tuple of the reversed exterior ring
  EXPECT_EQ(back_.shapes[1].x.size(), 4u);
  EXPECT_GE(BufX.size(), 102000u);
  EXPECT_GE(PartStarts.size(), 501u);
}

TEST_F(Reader, ShapesAndRecordsStayInStep) {
  struct Case {
    std::string name;
    std::vector<std::string> lines;
    std::vector<int> shapeTypes;  // one per record
  };
  const std::string start = "<Ab gml:id=\"g\">", end = "</Ab>", pos = "<gml:pos>1 2</gml:pos>";
  for (const Case& c : std::vector<Case>{
           {"end without start", {end, pos, end}, {}},
           {"start follows start", {start, pos, start, pos, end}, {SHPT_NULL, SHPT_POINT}},
           {"end of file", {start, pos, end, start, pos}, {SHPT_POINT, SHPT_NULL}},
           {"exterior end without start",
            {start, pos, "</gml:exterior>", end, start, pos, end},
            {SHPT_NULL}},
           {"no attribute value", {"<Ab>", "<Ab x=\"1\">", pos, end}, {SHPT_POINT}},
           {"nothing", {}, {}},
       }) {
    Convert(Lines(c.lines), Layer("Ab", 3, {{"type"}}));
    ASSERT_FALSE(error_) << c.name << ": " << *error_;
    std::vector<int> types;
    for (const tshapeback& s : back_.shapes) types.push_back(s.type);
    EXPECT_EQ(types, c.shapeTypes) << c.name;
    EXPECT_EQ(back_.recordCount, static_cast<int>(c.shapeTypes.size())) << c.name;
  }
}

// A file of thousands of features fills many blocks of queued writes, written on a thread of
// their own while the reader goes on: every shape and value lands in its record, in order, and
// after a write that fails on that thread the set is put back as it was.
TEST_F(Reader, LargeFilesWriteInOrderOnTheWriterThread) {
  constexpr int kFeatures = 6000;
  std::vector<std::string> lines = {kUtf8Declaration};
  for (int i = 0; i < kFeatures; ++i) {
    lines.push_back("<Ab gml:id=\"g" + std::to_string(i) + "\">");
    lines.push_back("<t>t" + std::to_string(i) + "</t>");
    lines.push_back("<n>" + std::to_string(i % 7 == 0 ? 123456 : i % 1000) + "</n>");
    lines.push_back("<r>" + std::to_string(i * 2) + "</r>");
    if (i % 5 != 0) {
      const std::string a = std::to_string(i), b = std::to_string(i + 1);
      const auto ring = Ring("exterior", {"35.0 " + a, "35.0 " + b, "36.0 " + b, "35.0 " + a});
      lines.insert(lines.end(), ring.begin(), ring.end());
    }
    lines.push_back("</Ab>");
  }
  Convert(Lines(lines), Layer("Ab", 2, {{"id"}, {"t"}, {"n", 1, 4}, {"r", 2, 10}}));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.recordCount, kFeatures);
  for (int i = 0; i < kFeatures; ++i) {
    // A number too wide for its field is left empty: the library stores a null as '*'s.
    const std::vector<std::string> record = {"g" + std::to_string(i), "t" + std::to_string(i),
                                             i % 7 == 0 ? "****" : std::to_string(i % 1000),
                                             std::to_string(i * 2)};
    ASSERT_EQ(back_.records[i], record) << "record " << i;
    const tshapeback& shape = back_.shapes[i];
    ASSERT_EQ(shape.type, i % 5 == 0 ? SHPT_NULL : SHPT_POLYGON) << "shape " << i;
    if (i % 5 != 0) {
      ASSERT_EQ(shape.x.front(), i) << "shape " << i;
    }
  }
  // About the first fifth of the shape file fits under the limit.
  const std::string before = ReadFile(dir_.Folder() + "Ab.shp");
  {
    testing_support::FileSizeLimit limit(before.size() + before.size() / 5);
    Append(input_);
  }
  EXPECT_EQ(back_.recordCount, kFeatures);
  EXPECT_TRUE(ReadFile(dir_.Folder() + "Ab.shp") == before) << "the shape file was not put back";
}

TEST_F(Reader, FilesOfOneLayerAccumulate) {
  Convert(Lines({"<Ab id=\"a1\" uuid=\"u1\">", "<gml:pos>1 2</gml:pos>", "</Ab>"}),
          Layer("Ab", 3, {{"id"}, {"uuid"}}));
  // The identifiers start anew with every file.
  AppendText(Lines({"<Ab x=\"y\">", "<gml:pos>3 4</gml:pos>", "</Ab>"}));
  ASSERT_FALSE(error_) << *error_;
  ASSERT_EQ(back_.records.size(), 2u);
  EXPECT_EQ(back_.records[0], (std::vector<std::string>{"a1", "u1"}));
  EXPECT_EQ(back_.records[1], (std::vector<std::string>{"", ""}));
  EXPECT_EQ(back_.shapes[1].x, std::vector<double>{4});
  // A file that cannot be opened leaves the set as it was.
  Append(dir_.Folder() + "missing.xml");
  ASSERT_TRUE(error_);
  EXPECT_NE(error_->find(dir_.Folder() + "missing.xml"), std::string::npos) << *error_;
  EXPECT_EQ(back_.recordCount, 2);
}

TEST_F(Reader, Extent) {
  Convert(Lines({"<Ab gml:id=\"g\">", "<type>x</type>", "</Ab>"}), Layer("Ab", 3, {{"type"}}));
  EXPECT_EQ(Extent.MinX, 2147483647.0);
  EXPECT_EQ(Extent.MinY, 2147483647.0);
  EXPECT_EQ(Extent.MaxX, -2147483647.0);
  EXPECT_EQ(Extent.MaxY, -2147483647.0);
  // Coordinates between features and in elements of other types count as well.
  AppendText(
      Lines({"<gml:pos>30 130</gml:pos>", "<Ab gml:id=\"g\">", "<gml:pos>35 135</gml:pos>", "</Ab>",
             "<Other gml:id=\"o\">", "<jps:coordinate>40 140</jps:coordinate>", "</Other>"}));
  EXPECT_EQ(Extent.MinX, 130.0);
  EXPECT_EQ(Extent.MinY, 30.0);
  EXPECT_EQ(Extent.MaxX, 140.0);
  EXPECT_EQ(Extent.MaxY, 40.0);
  EXPECT_EQ(back_.shapes.back().x, std::vector<double>{135});
  PrepareFeatureReader();
  EXPECT_EQ(Extent.MaxY, -2147483647.0);
}

// ---------------------------------------------------------------------------------------------
// Hostile input: each file converts or stops with the number message; none crashes, hangs or
// leaves the set out of step.

std::string BldASample() {
  return ReadFile(Sample("gml/FG-GML-503041-ALL-20181001/FG-GML-503041-BldA-20181001-0001.xml"));
}

std::string Without(std::string text, const std::string& part) {
  for (size_t at; (at = text.find(part)) != std::string::npos;) text.erase(at, part.size());
  return text;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(random() & 0xFF);
  return out;
}

std::string ManyVertices(int features, int vertices) {
  std::string xml = kUtf8Declaration + "\n";
  for (int f = 0; f < features; ++f) {
    xml += "<BldA gml:id=\"b" + std::to_string(f) + "\">\n<gml:exterior>\n<gml:posList>\n";
    for (int v = 0; v < vertices; ++v) xml += "33." + std::to_string(v) + " 130.5\n";
    xml += "</gml:posList>\n</gml:exterior>\n</BldA>\n";
  }
  return xml;
}

struct tbadinput {
  std::string name;
  std::string content;
  std::optional<std::string> failingText;  // the text of the number message, when it stops
  int shapes;                              // -1: any number
};

std::vector<tbadinput> BadInputs() {
  const std::string sample = BldASample();
  const std::string start = "<BldA gml:id=\"g\">\n";
  return {
      {"truncated in a tuple", sample.substr(0, sample.find("130.2373", 3000) + 4), "", -1},
      {"truncated after a tag", sample.substr(0, sample.find("</BldA>", 20000) + 3), {}, -1},
      {"missing end tags", Without(sample, "</BldA>"), {}, 178},
      {"missing list ends", Without(sample, "</gml:posList>"), "", 1},
      {"line of megabytes",
       start + "<fid>" + std::string(4 << 20, 'x') + "</fid>\n<gml:pos>1 2</gml:pos>\n</BldA>\n",
       {},
       1},
      {"tuple of megabytes",
       start + "<gml:posList>\n35 139 " + std::string(3 << 20, '9') + "\n</gml:posList>\n</BldA>",
       {},
       1},
      {"number of megabytes", start + "<gml:pos>35 " + std::string(3 << 20, '9') + "</gml:pos>",
       std::string(100, '9') + "...", 1},
      {"binary garbage", RandomBytes(3 << 20, 7), {}, -1},
      {"garbage with tags",
       start + RandomBytes(1 << 20, 8) + "\n<gml:exterior>\n" + RandomBytes(1 << 20, 9),
       {},
       -1},
      {"NUL bytes",
       start + "<fid>ab" + std::string(1, '\0') + "cd</fid>\n<gml:pos>1 2</gml:pos>\n</BldA>\n" +
           "<BldA" + std::string(1, '\0') + " gml:id=\"h\">\n</BldA>\n",
       {},
       1},
      {"only CR", std::string(1 << 20, '\r'), {}, 0},
      {"only LF", std::string(1 << 20, '\n'), {}, 0},
      {"empty file", "", {}, 0},
      {"unclosed position list", start + "<gml:posList>\n35 139\n36 140\n", "", 1},
      {"tuple with one number", start + "<gml:pos>35.5</gml:pos>\n</BldA>\n", "", 1},
      {"tuple with tabs", start + "<gml:posList>\n35.5\t139.5\n</gml:posList>\n</BldA>\n", "", 1},
      {"huge number", start + "<gml:pos>1e999 139</gml:pos>\n</BldA>\n", "1e999", 1},
      {"not a number", start + "<gml:pos>nan 139</gml:pos>\n</BldA>\n", "nan", 1},
      {"100000-vertex features", ManyVertices(3, 100000), {}, 3},
  };
}

void PrintTo(const tbadinput& c, std::ostream* os) {
  *os << c.name;
}

class BadInput : public Reader, public ::testing::WithParamInterface<tbadinput> {};

TEST_P(BadInput, ConvertsOrStopsWithTheMessage) {
  const tbadinput& c = GetParam();
  Convert(c.content, Layer("BldA", 2, {{"fid"}, {"type"}}));
  if (c.failingText) {
    ASSERT_TRUE(error_) << "converted";
    EXPECT_EQ(*error_, NotAFloat(*c.failingText));
  } else {
    EXPECT_FALSE(error_) << *error_;
  }
  if (c.shapes >= 0) {
    EXPECT_EQ(back_.shapeCount, c.shapes);
  }
  for (const auto& record : back_.records)
    for (const std::string& value : record) EXPECT_LE(value.size(), 40u);
}

INSTANTIATE_TEST_SUITE_P(Files, BadInput, ::testing::ValuesIn(BadInputs()),
                         [](const ::testing::TestParamInfo<tbadinput>& info) {
                           std::string name;
                           for (char c : info.param.name)
                             name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

TEST_F(Reader, AFolderIsNoInputFile) {
  Convert("", Layer("BldA", 2, {{"fid"}}));
  Append(dir_.Folder());
  ASSERT_TRUE(error_);
  EXPECT_EQ(error_->rfind("Cannot read " + dir_.Folder(), 0), 0u) << *error_;
  EXPECT_EQ(back_.shapeCount, 0);
}

TEST_F(Reader, RingsTakeTheShapefileOrientationFromTheirArea) {
  // Rings ("lat lon") and their orientation: 1 counter-clockwise, -1 clockwise, 0 no area.
  const std::vector<std::string> ccw = {"0 0", "0 10", "10 10", "0 0"};
  const std::vector<std::pair<std::vector<std::string>, int>> rings = {
      {ccw, 1},
      {{ccw.rbegin(), ccw.rend()}, -1},
      {{"0 0", "1 1"}, 0},
      {{"35.1 139.1", "35.2 139.2", "35.3 139.3", "35.1 139.1"}, 0},
      // 0.1 mm wide: plain products of whole degrees lose its area
      {{"35.6 139.6", "35.600000001 139.6", "35.600000001 139.600000001", "35.6 139.6"}, -1}};
  for (const std::string tag : {"exterior", "interior"})
    for (const auto& [tuples, orientation] : rings) {
      Convert(Lines(Join({{"<Ab gml:id=\"g1\">"}, Ring(tag, tuples), {"</Ab>"}})),
              Layer("Ab", 2, {{"id"}}));
      std::vector<double> x, y;
      for (const std::string& t : tuples) {
        y.push_back(std::stod(t));
        x.push_back(std::stod(t.substr(t.find(' '))));
      }
      // Outer rings clockwise, holes counter-clockwise; an outer ring without area is reversed.
      if (tag == "exterior" ? orientation >= 0 : orientation < 0)
        std::reverse(x.begin(), x.end()), std::reverse(y.begin(), y.end());
      ASSERT_EQ(back_.shapes.size(), 1u);
      EXPECT_EQ(back_.shapes[0].x, x) << tag << " " << tuples[1];
      EXPECT_EQ(back_.shapes[0].y, y) << tag << " " << tuples[1];
    }
}

// ---------------------------------------------------------------------------------------------
// Every sample file with the shipped catalog, checked against what its XML holds.

using tpoint = std::pair<double, double>;  // x (longitude), y (latitude)

// One feature as the XML states it, read with plain searches that rely on the files' layout
// (one tag per line, one tuple per position list line).
struct txmlfeature {
  std::map<std::string, std::string> values;
  std::vector<std::vector<tpoint>> rings;  // a line or point feature has one
  std::vector<bool> holes;                 // per ring: an interior ring
};

std::string Inner(const std::string& line, const std::string& open, const std::string& close) {
  const size_t a = line.find(open);
  const size_t b = line.find(close, a == std::string::npos ? 0 : a + open.size());
  if (a == std::string::npos || b == std::string::npos) return {};
  return line.substr(a + open.size(), b - a - open.size());
}

tpoint Tuple(const std::string& text) {
  std::istringstream in(text);
  double lat = 0, lon = 0;
  in >> lat >> lon;
  return {lon, lat};
}

void AddPoint(txmlfeature& f, const tpoint& p) {
  if (f.rings.empty()) f.rings.emplace_back();
  f.rings.back().push_back(p);
}

std::vector<txmlfeature> FeaturesOf(const std::string& xml, const tshpopentyp& layer) {
  std::vector<txmlfeature> features;
  std::istringstream in(xml);
  std::string line, dateColumn;
  bool inside = false, inList = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find("<" + layer.Name + " ") != std::string::npos) {
      features.emplace_back();
      inside = true;
      continue;
    }
    if (!inside) continue;
    txmlfeature& f = features.back();
    if (line.find("</" + layer.Name + ">") != std::string::npos) {
      inside = false;
      continue;
    }
    if (inList) {
      if (line.find("</gml:posList>") != std::string::npos)
        inList = false;
      else
        AddPoint(f, Tuple(line));
      continue;
    }
    for (const tshpattr& a : layer.Attrs) {
      const std::string value = Inner(line, "<" + a.Name + ">", "</" + a.Name + ">");
      if (!value.empty()) f.values[a.Name] = value;
    }
    for (const char* column : {"lfSpanFr", "lfSpanTo", "devDate"})
      if (line.find(std::string("<") + column + " ") != std::string::npos ||
          line == std::string("<") + column + ">")
        dateColumn = column;
    for (const auto& [open, close] : std::vector<std::pair<std::string, std::string>>{
             {"<gml:timePosition>", "</gml:timePosition>"}, {"<jps:date8601>", "</jps:date8601>"}})
      if (line.find(open) != std::string::npos) f.values[dateColumn] = Inner(line, open, close);
    const bool ring =
        line.find("exterior") != std::string::npos && line.find("</") == std::string::npos;
    const bool hole =
        line.find("interior") != std::string::npos && line.find("</") == std::string::npos;
    if ((ring || hole) && layer.Kind == 2) {
      f.rings.emplace_back();
      f.holes.push_back(hole);
    }
    if (line.find("<gml:posList>") != std::string::npos) inList = true;
    for (const auto& [open, close] : std::vector<std::pair<std::string, std::string>>{
             {"<gml:pos>", "</gml:pos>"}, {"<jps:coordinate>", "</jps:coordinate>"}})
      if (line.find(open) != std::string::npos) AddPoint(f, Tuple(Inner(line, open, close)));
  }
  return features;
}

// The sample XML files, the zipped ones extracted into `folder`.
std::vector<std::string> SampleFiles(const std::string& folder) {
  std::vector<std::string> files;
  for (const char* sub : {"gml", "gml/FG-GML-503041-ALL-20181001", "jpgis"})
    for (const auto& item : fs::directory_iterator(Sample(sub)))
      if (item.path().extension() == ".xml") files.push_back(item.path().string());
  for (const char* zipName :
       {"gml/FG-GML-503060-ALL-20170401.zip", "jpgis/FG-JPS-13112-05-Z001.zip"}) {
    int error = 0;
    zip_t* archive = zip_open(Sample(zipName).c_str(), ZIP_RDONLY, &error);
    EXPECT_NE(archive, nullptr) << zipName;
    if (!archive) continue;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
      zip_stat_t st;
      zip_stat_index(archive, i, 0, &st);
      zip_file_t* entry = zip_fopen_index(archive, i, 0);
      std::string content(st.size, '\0');
      EXPECT_EQ(zip_fread(entry, content.data(), st.size), static_cast<zip_int64_t>(st.size));
      zip_fclose(entry);
      const std::string path = folder + fs::path(st.name).filename().string();
      WriteFile(path, content);
      files.push_back(path);
    }
    zip_close(archive);
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(SampleFiles, ConvertAsTheirXmlSays) {
  ASSERT_TRUE(LoadLayerCatalogFrom(std::string(NABIK_SOURCE_DIR) + "/data/nabik.csv"));
  ScratchDir dir;
  fs::create_directory(dir.Path() / "in");
  const std::vector<std::string> files = SampleFiles(dir.Folder() + "in/");
  ASSERT_GE(files.size(), 30u);
  int converted = 0, jpgisDates = 0, gmlDates = 0;
  for (const std::string& file : files) {
    const std::string xml = ReadFile(file);
    const bool utf8 = xml.substr(0, xml.find('\n')).find("utf-8") != std::string::npos;
    const bool jpgis = xml.find("<jps:") != std::string::npos;
    for (int32_t entry = 1; entry <= LayerCount(); ++entry) {
      const tshpopentyp& layer = CatalogEntry(entry);
      if (fs::path(file).filename().string().find(layer.Name) == std::string::npos) continue;
      SCOPED_TRACE(fs::path(file).filename().string() + " as " + layer.Name);
      const std::string out = dir.Folder() + std::to_string(++converted) + "-";
      PrepareFeatureReader();
      CreateLayerFiles(out, entry);
      OpenLayerFiles(out, layer.Name);
      EXPECT_NO_THROW(ReadFeatures(file, entry));
      CloseLayerFiles();
      const tlayerback back = ReadBack(out + layer.Name);
      const std::vector<txmlfeature> features = FeaturesOf(xml, layer);
      ASSERT_FALSE(features.empty());
      ASSERT_EQ(back.shapeCount, static_cast<int>(features.size()));
      ASSERT_EQ(back.recordCount, back.shapeCount);
      textent extent;
      for (size_t i = 0; i < features.size(); ++i) {
        const txmlfeature& f = features[i];
        for (int32_t k = 1; k <= layer.AttrCount(); ++k) {
          const tshpattr& a = layer.Attr(k);
          const auto it = f.values.find(a.Name);
          const std::string raw = it == f.values.end() ? "" : it->second;
          const std::string want = utf8 ? ToCp932(raw, "UTF-8") : raw;
          EXPECT_LE(want.size(), static_cast<size_t>(a.Width))
              << "the field " << a.Name << " of " << layer.Name << " is too narrow";
          EXPECT_EQ(back.records[i][k - 1], want) << "feature " << i << " " << a.Name;
        }
        const std::string date = back.records[i][1];  // lfSpanFr, the second column
        EXPECT_EQ(date.size(), 10u) << "feature " << i;
        (jpgis ? jpgisDates : gmlDates) += !date.empty();
        // The shape: one part per ring, outer rings clockwise and holes counter-clockwise. GML
        // files hold both the other way round, JPGIS files their holes already so.
        const tshapeback& s = back.shapes[i];
        std::vector<double> x, y;
        std::vector<int> starts;
        for (size_t r = 0; r < f.rings.size(); ++r) {
          const auto& ring = f.rings[r];
          const bool reversed = layer.Kind == 2 && !(jpgis && f.holes[r]);
          starts.push_back(static_cast<int>(x.size()));
          for (size_t v = 0; v < ring.size(); ++v) {
            const tpoint& p = reversed ? ring[ring.size() - 1 - v] : ring[v];
            x.push_back(p.first);
            y.push_back(p.second);
            extent.MinX = std::min(extent.MinX, p.first);
            extent.MaxX = std::max(extent.MaxX, p.first);
            extent.MinY = std::min(extent.MinY, p.second);
            extent.MaxY = std::max(extent.MaxY, p.second);
          }
        }
        if (layer.Kind == 3) {
          x.resize(1);
          y.resize(1);
          starts.clear();
        }
        EXPECT_EQ(s.type, ShapeTypeOfKind(layer.Kind)) << "feature " << i;
        EXPECT_EQ(s.x, x) << "feature " << i;
        EXPECT_EQ(s.y, y) << "feature " << i;
        if (layer.Kind == 2) {
          EXPECT_EQ(s.starts, starts) << "feature " << i;
        }
      }
      EXPECT_EQ(Extent.MinX, extent.MinX);
      EXPECT_EQ(Extent.MinY, extent.MinY);
      EXPECT_EQ(Extent.MaxX, extent.MaxX);
      EXPECT_EQ(Extent.MaxY, extent.MaxY);
    }
  }
  EXPECT_GE(converted, 35);
  EXPECT_GT(jpgisDates, 500);
  EXPECT_GT(gmlDates, 3000);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The output layer: what any output receives from the reader

namespace {

// An output layer that keeps what it receives, in UTF-8.
class tkeptlayer final : public toutputlayer {
 public:
  struct tkept {
    tfeatureend End;
    std::vector<int32_t> Roles;
    uint32_t Vertices = 0;
    std::map<int32_t, std::string> Texts;
  };
  ttextform TextForm() const override { return ttextform::Utf8; }
  void Begin(const std::string& source) override { sources.push_back(source); }
  void Write(const tfeatureblock& block) override {
    blocks.push_back(block.Features.size());
    datums.push_back(block.Datum);
    leading += block.LeadingValues;
    for (size_t i = 0; i < block.Features.size(); ++i) {
      const tfeature& f = block.Features[i];
      tkept k{f.End, {}, f.Vertices, {}};
      for (uint32_t p = 0; p < f.Parts; ++p) k.Roles.push_back(block.PartTypes[f.PartsAt + p]);
      for (uint32_t v = f.ValuesAt; v < block.ValuesEnd(i); ++v)
        k.Texts[block.Values[v].Column] = block.TextOf(block.Values[v]);
      features.push_back(k);
    }
  }
  std::vector<std::string> sources;
  std::vector<size_t> blocks;
  std::vector<tdatum> datums;
  uint32_t leading = 0;
  std::vector<tkept> features;
};

}  // namespace

TEST(OutputLayer, ReceivesFinishedFeaturesInBlocksInOrder) {
  ScratchDir dir;
  const int32_t entry = UseLayer(Layer("Ab", 2, {{"id"}, {"type"}, {"lfSpanFr"}}));
  constexpr int kFeatures = 3000;
  std::vector<std::string> lines = {kSjisDeclaration, "<jps:date8601>1999-01-01</jps:date8601>",
                                    "</lfSpanFr>"};
  for (int i = 0; i < kFeatures; ++i) {
    lines.push_back("<Ab gml:id=\"g" + std::to_string(i) + "\">");
    lines.push_back("<gml:Surface srsName=\"fguuid:jgd2011.bl\">");
    lines.push_back(Sjis("<type>建物</type>"));
    for (const std::string& l :
         Ring("exterior", {"35.0 139.0", "35.0 139.1", "35.1 139.1", "35.0 139.0"}))
      lines.push_back(l);
    for (const std::string& l :
         Ring("interior", {"35.01 139.01", "35.02 139.02", "35.01 139.02", "35.01 139.01"}))
      lines.push_back(l);
    lines.push_back("</Ab>");
  }
  for (const char* l : {"<Ab gml:id=\"empty\">", "</Ab>", "<Ab gml:id=\"open\">"})
    lines.push_back(l);
  const std::string path = dir.Folder() + "Ab.xml";
  WriteFile(path, Lines(lines));
  PrepareFeatureReader();
  tkeptlayer kept;
  EXPECT_EQ(ReadFeatures(path, entry, kept), tdatum::Jgd2011);
  EXPECT_EQ(kept.sources, std::vector<std::string>{path});
  // Blocks, never single features: several of them, each of many features.
  ASSERT_GT(kept.blocks.size(), 2u);
  for (size_t i = 0; i + 1 < kept.blocks.size(); ++i) EXPECT_GT(kept.blocks[i], 500u);
  EXPECT_EQ(kept.datums.back(), tdatum::Jgd2011);
  EXPECT_EQ(kept.leading, 1u);  // the date before the first feature belongs to none of the file's
  ASSERT_EQ(kept.features.size(), static_cast<size_t>(kFeatures + 2));
  for (int i = 0; i < kFeatures; ++i) {
    const tkeptlayer::tkept& f = kept.features[i];
    ASSERT_EQ(f.Texts.at(1), "g" + std::to_string(i));  // in the file's order
    EXPECT_EQ(f.End, tfeatureend::Shape);
    EXPECT_EQ(f.Roles, (std::vector<int32_t>{kFirstRing, kInnerRing}));
    EXPECT_EQ(f.Vertices, 8u);
    EXPECT_EQ(f.Texts.at(2), "建物");  // converted into the layer's UTF-8
  }
  EXPECT_EQ(kept.features[kFeatures].End, tfeatureend::Empty);
  EXPECT_EQ(kept.features[kFeatures + 1].End, tfeatureend::Open);
}
