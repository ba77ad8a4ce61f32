// Conversion driver: flat zip extraction, the run over real and made-up inputs, batch mode.
#include <cpl_conv.h>
#include <fcntl.h>
#include <gdal.h>
#include <gtest/gtest.h>
#include <isa-l/crc.h>
#include <ogr_api.h>
#include <pty.h>
#include <shapefil.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/stop.h"
#include "common/text.h"
#include "run/driver.h"
#include "run/progress.h"
#include "run/unzip.h"
#include "shpctl/shpctl.h"
#include "support/test_support.h"
#include "susetu/susetu.h"
#include "unlha32/unlha32.h"

using testing_support::CountSet;
using testing_support::FileSizeLimit;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::SetCounts;
using testing_support::WriteFile;
namespace fs = std::filesystem;

namespace {

// Writes a zip archive with the given stored names and contents (a name ending in '/' is a
// folder entry).
void MakeZip(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& entries,
             const std::set<std::string>& stored = {}) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(zip, nullptr);
  for (const auto& [name, content] : entries) {
    if (!name.empty() && name.back() == '/') {
      ASSERT_GE(zip_dir_add(zip, name.c_str(), ZIP_FL_ENC_RAW), 0) << name;
      continue;
    }
    zip_source_t* source = zip_source_buffer(zip, content.data(), content.size(), 0);
    const zip_int64_t index =
        zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_RAW | ZIP_FL_OVERWRITE);
    ASSERT_GE(index, 0) << name << ": " << zip_strerror(zip);
    if (stored.count(name)) {
      ASSERT_EQ(zip_set_file_compression(zip, index, ZIP_CM_STORE, 0), 0);
    }
  }
  ASSERT_EQ(zip_close(zip), 0);
}

std::map<std::string, std::string> FolderContents(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(folder))
    if (item.is_regular_file())
      files[fs::relative(item.path(), folder).string()] = ReadFile(item.path());
  return files;
}

// Where an extraction puts stored entries, in the order it gives them: by stored name (bytes),
// each under the count of entries of its name before it. Only the entries whose stored name
// sorts before `before` (all when empty).
std::vector<std::pair<std::string, std::string>> Landing(
    std::vector<std::pair<std::string, std::string>> entries, const std::string& before = "") {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::map<std::string, int> seen;
  std::vector<std::pair<std::string, std::string>> landed;
  for (const auto& [stored, content] : entries) {
    const std::string name = FlatEntryName(stored);
    if (name.empty() || (!before.empty() && stored >= before)) continue;
    landed.push_back({std::to_string(seen[name]++) + "/" + name, content});
  }
  return landed;
}

std::map<std::string, std::string> AsMap(
    const std::vector<std::pair<std::string, std::string>>& v) {
  return {v.begin(), v.end()};
}

TEST(FlatEntryName, DropsStoredFolders) {
  struct Case {
    const char* stored;
    const char* name;
  };
  for (const Case& c : std::vector<Case>{{"a.xml", "a.xml"},
                                         {"dir/sub/a.xml", "a.xml"},
                                         {"dir\\sub\\a.xml", "a.xml"},
                                         {"../x", "x"},
                                         {"/etc/x", "x"},
                                         {"a\\b\\..\\x", "x"},
                                         {"dir/", ""},
                                         {"dir/..", ""},
                                         {"dir/.", ""},
                                         {"..", ""},
                                         {"", ""},
                                         {"noext", "noext"}})
    EXPECT_EQ(FlatEntryName(c.stored), c.name) << c.stored;
}

TEST(ExtractZip, EveryEntryLandsInsideTheFolderInNameOrder) {
  ScratchDir dir;
  fs::create_directory(dir.Path() / "work");
  const std::string kanji = "\x93\xB9\x98\x48.xml";  // a Shift-JIS stored name, kept as bytes
  MakeZip(dir.Path() / "a.zip", {{"top.xml", "1"},
                                 {"dir/", ""},
                                 {"dir/sub/deep.xml", "2"},
                                 {"one/same.xml", "first"},
                                 {"two/same.xml", "second"},
                                 {"../escape.xml", "3"},
                                 {"/etc/abs.xml", "4"},
                                 {"a\\b\\..\\win.xml", "5"},
                                 {"dir/..", "6"},
                                 {kanji, "7"},
                                 {"noext", "8"}});
  const std::vector<std::string> paths = ExtractZip(dir.Folder() + "a.zip", dir.Folder() + "work");
  // Byte order of the stored names (the Shift-JIS lead byte sorts after ASCII); one name in two
  // folders lands twice.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"0/escape.xml", "3"}, {"0/abs.xml", "4"},       {"0/win.xml", "5"},
      {"0/deep.xml", "2"},   {"0/noext", "8"},         {"0/same.xml", "first"},
      {"0/top.xml", "1"},    {"1/same.xml", "second"}, {"0/" + kanji, "7"}};
  std::vector<std::string> expectedPaths;
  for (const auto& [path, content] : expected)
    expectedPaths.push_back(dir.Folder() + "work/" + path);
  EXPECT_EQ(paths, expectedPaths);
  EXPECT_EQ(FolderContents(dir.Path() / "work"), AsMap(expected));
  // Nothing was written outside the work folder.
  EXPECT_EQ(FolderContents(dir.Path()).size(), expected.size() + 1);  // + a.zip
}

TEST(ExtractZip, ReportsArchivesItCannotRead) {
  ScratchDir dir;
  fs::create_directory(dir.Path() / "work");
  WriteFile(dir.Path() / "bad.zip", "this is not a zip archive at all, just text");
  struct Case {
    std::string archive;
    std::string messageStart;
  };
  for (const Case& c : std::vector<Case>{
           {dir.Folder() + "bad.zip", "Cannot open the archive " + dir.Folder() + "bad.zip: "},
           {dir.Folder() + "none.zip", "Cannot open the archive " + dir.Folder() + "none.zip: "}}) {
    try {
      ExtractZip(c.archive, dir.Folder() + "work");
      ADD_FAILURE() << c.archive;
    } catch (const NabikError& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with(c.messageStart)) << e.what();
    }
  }
  // A damaged entry: the data no longer matches its checksum.
  MakeZip(dir.Path() / "crc.zip", {{"a.xml", std::string(5000, 'a')}});
  std::string raw = ReadFile(dir.Path() / "crc.zip");
  raw[30 + 5 + 10] ^= 0x55;  // inside the compressed data of the only entry
  WriteFile(dir.Path() / "crc.zip", raw);
  EXPECT_THROW(ExtractZip(dir.Folder() + "crc.zip", dir.Folder() + "work"), NabikError);
  EXPECT_TRUE(FolderContents(dir.Path() / "work").empty()) << "no half-written file stays behind";
  // A work folder that is missing.
  MakeZip(dir.Path() / "ok.zip", {{"a.xml", "x"}});
  EXPECT_THROW(ExtractZip(dir.Folder() + "ok.zip", dir.Folder() + "missing"), NabikError);
}

// Offsets of every entry's data in an archive that MakeZip wrote (sizes in the local headers).
std::vector<size_t> EntryDataOffsets(const std::string& raw) {
  std::vector<size_t> offsets;
  auto u16 = [&](size_t at) {
    return size_t(uint8_t(raw[at])) | size_t(uint8_t(raw[at + 1])) << 8;
  };
  for (size_t at = 0; at + 30 <= raw.size() && raw.compare(at, 4, "PK\3\4") == 0;) {
    const size_t packed = u16(at + 18) | u16(at + 20) << 16;
    offsets.push_back(at + 30 + u16(at + 26) + u16(at + 28));
    at = offsets.back() + packed;
  }
  return offsets;
}

// Many entries, stored and deflated, small and beyond what is inflated in memory, names met
// twice: each lands, none replaces another.
TEST(ExtractZip, ManyEntriesLandAsInNameOrder) {
  ScratchDir dir;
  fs::create_directory(dir.Path() / "work");
  std::vector<std::pair<std::string, std::string>> entries;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "d" + std::to_string(i % 7) + "/f" + std::to_string(i % 29) + ".xml";
    std::string text;
    for (int line = 0; line <= i * 37; ++line) text += "33." + std::to_string(line * i) + "\r\n";
    entries.push_back({name, text});
  }
  std::string big;
  for (int line = 0; big.size() < (size_t{20} << 20); ++line)
    big += "35.123456789 139." + std::to_string(line) + "\r\n";
  entries.insert(entries.begin() + 3, {"big/large.xml", big});
  entries.push_back({"empty.xml", ""});
  // Names like those of the extraction's own folders and temporary files.
  entries.insert(entries.begin(), {{"t/1.part", "one"}, {"0.part", "zero"}, {"1", "a file"}});
  MakeZip(dir.Path() / "many.zip", entries);
  ExtractZip(dir.Folder() + "many.zip", dir.Folder() + "work");
  EXPECT_EQ(FolderContents(dir.Path() / "work"), AsMap(Landing(entries)))
      << "and no temporary file stays";
}

// A damaged entry or a refused write ends the extraction with that entry's message; the
// entries before it are in place, none after it, and no temporary file stays.
TEST(ExtractZip, AFailingEntryStopsWhereOneByOneWould) {
  struct Case {
    const char* what;
    size_t failing;            // the entry that fails
    rlim_t sizeLimit;          // 0: none; else writes past it fail
    std::string messageStart;  // before the archive's path... or the target's
  };
  const std::vector<Case> cases = {
      {"first entry damaged", 0, 0, "Cannot extract e0.xml from "},
      {"middle entry damaged", 5, 0, "Cannot extract e5.xml from "},
      {"last entry damaged", 11, 0, "Cannot extract e11.xml from "},
      {"entry too large to write", 6, 300 << 10, "Cannot write "},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    fs::create_directory(dir.Path() / "work");
    std::vector<std::pair<std::string, std::string>> entries;
    for (size_t i = 0; i < 12; ++i) {
      std::string text;
      const size_t lines = i == c.failing && c.sizeLimit ? 60000 : 2000;
      for (size_t line = 0; line < lines; ++line) text += std::to_string(line * (i + 3)) + "\n";
      entries.push_back({"e" + std::to_string(i) + ".xml", text});
    }
    MakeZip(dir.Path() / "a.zip", entries);
    std::string raw = ReadFile(dir.Path() / "a.zip");
    const std::vector<size_t> offsets = EntryDataOffsets(raw);
    ASSERT_EQ(offsets.size(), entries.size()) << c.what;
    if (!c.sizeLimit) raw[offsets[c.failing] + 20] ^= 0x55;
    WriteFile(dir.Path() / "a.zip", raw);
    std::string message;
    {
      std::optional<FileSizeLimit> limit;
      if (c.sizeLimit) limit.emplace(c.sizeLimit);
      try {
        ExtractZip(dir.Folder() + "a.zip", dir.Folder() + "work");
      } catch (const NabikError& e) {
        message = e.what();
      }
    }
    EXPECT_TRUE(message.starts_with(c.messageStart)) << c.what << ": " << message;
    EXPECT_NE(message.find("e" + std::to_string(c.failing) + ".xml"), std::string::npos)
        << c.what << ": " << message;
    EXPECT_EQ(FolderContents(dir.Path() / "work"),
              AsMap(Landing(entries, entries[c.failing].first)))
        << c.what;
  }
}

TEST(ExtractZip, RealSampleArchive) {
  ScratchDir dir;
  ExtractZip(testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip"), dir.Folder());
  const auto files = FolderContents(dir.Path());
  EXPECT_EQ(files.size(), 15u);  // 14 feature files and the metadata file
  ASSERT_TRUE(files.count("0/FG-GML-503060-Cntr-20170401-0001.xml"));
  EXPECT_EQ(files.at("0/FG-GML-503060-Cntr-20170401-0001.xml").size(), 214886u);
}

// What libzip's own streaming of entry `index` reports, or empty when it reads the whole entry.
std::string LibzipReadError(const std::string& archive, zip_uint64_t index) {
  int error = 0;
  zip_t* zip = zip_open(archive.c_str(), ZIP_RDONLY, &error);
  if (!zip) return "cannot open";
  std::string message;
  if (zip_file_t* file = zip_fopen_index(zip, index, 0)) {
    std::vector<char> block(1 << 16);
    zip_int64_t n;
    while ((n = zip_fread(file, block.data(), block.size())) > 0) {
    }
    if (n < 0) message = zip_file_strerror(file);
    zip_fclose(file);
  } else {
    message = zip_strerror(zip);
  }
  zip_discard(zip);
  return message;
}

// Deflated entries of many blocks, incompressible and empty ones, a stored one: each lands byte
// for byte, and the checksum taken while inflating is the one the archive stores. A damaged
// entry, whether ISA-L refuses it or inflates it to other bytes, ends with libzip's message.
TEST(ExtractZip, InflatedAndStreamedEntriesLandAlike) {
  std::string big, noise;
  for (int line = 0; big.size() < (size_t{3} << 20); ++line)
    big += std::to_string(line * 7919 % 100003) + " 35." + std::to_string(line) + "\r\n";
  for (uint32_t x = 1; noise.size() < (size_t{600} << 10);) {
    x = x * 1103515245 + 12345;
    noise += static_cast<char>(x >> 23);
  }
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"a/big.xml", big},
      {"stored.xml", big.substr(0, 300000)},
      {"noise.bin", noise},
      {"b/empty.xml", ""},
      {"tail.xml", big.substr(1000, 70000)}};
  std::string whole;
  {
    ScratchDir dir;
    MakeZip(dir.Path() / "a.zip", entries, {"stored.xml"});
    whole = ReadFile(dir.Path() / "a.zip");
  }
  struct Case {
    const char* what;
    int damaged;    // -1: none
    long damageAt;  // into the entry's data; negative: from its end
  };
  for (const Case& c : std::vector<Case>{{"whole", -1, 0},
                                         {"deflated entry damaged near its start", 0, 20},
                                         {"deflated entry damaged near its end", 0, -40},
                                         {"stored entry damaged", 1, 5000}}) {
    ScratchDir dir;
    fs::create_directory(dir.Path() / "work");
    const std::string archive = dir.Folder() + "a.zip";
    std::string raw = whole;
    WriteFile(archive, raw);
    if (c.damaged >= 0) {
      const std::vector<size_t> offsets = EntryDataOffsets(raw);
      ASSERT_EQ(offsets.size(), entries.size());
      zip_t* zip = zip_open(archive.c_str(), ZIP_RDONLY, nullptr);
      zip_stat_t st;
      ASSERT_EQ(zip_stat_index(zip, c.damaged, 0, &st), 0);
      zip_discard(zip);
      const size_t end = offsets[c.damaged] + st.comp_size;
      raw[c.damageAt >= 0 ? offsets[c.damaged] + c.damageAt : end + c.damageAt] ^= 0x5A;
      WriteFile(archive, raw);
    }
    std::string message, expected;
    if (c.damaged >= 0) {
      expected = LibzipReadError(archive, c.damaged);
      ASSERT_FALSE(expected.empty()) << c.what << ": libzip reads the damaged entry";
      expected =
          "Cannot extract " + entries[c.damaged].first + " from " + archive + ": " + expected;
    }
    try {
      ExtractZip(archive, dir.Folder() + "work");
    } catch (const NabikError& e) {
      message = e.what();
    }
    EXPECT_EQ(message, expected) << c.what;
    const auto landed = AsMap(Landing(entries, c.damaged < 0 ? "" : entries[c.damaged].first));
    EXPECT_TRUE(FolderContents(dir.Path() / "work") == landed) << c.what;
    if (c.damaged >= 0) continue;
    zip_t* zip = zip_open(archive.c_str(), ZIP_RDONLY, nullptr);
    ASSERT_NE(zip, nullptr);
    for (size_t i = 0; i < entries.size(); ++i) {
      zip_stat_t st;
      ASSERT_EQ(zip_stat_index(zip, i, 0, &st), 0);
      const std::string& text = entries[i].second;
      EXPECT_EQ(st.crc, crc32_gzip_refl(0, reinterpret_cast<const unsigned char*>(text.data()),
                                        text.size()))
          << entries[i].first;
    }
    zip_discard(zip);
  }
}

// ---------------------------------------------------------------------------------------------
// The run through the driver's front-end record.

// A front end that records what the driver shows.
struct RecordingFront {
  std::vector<std::string> inputs;
  std::vector<bool> checked;
  std::string output;
  std::vector<std::string> statuses, messages;
  std::vector<bool> executeStates;
  int pumped = 0;

  void Add(const std::string& path, bool check = true) {
    inputs.push_back(path);
    checked.push_back(check);
  }
  tfrontend Front() {
    tfrontend f;
    f.InputCount = [this] { return static_cast<int>(inputs.size()); };
    f.InputText = [this](int i) { return inputs[i]; };
    f.InputChecked = [this](int i) { return static_cast<bool>(checked[i]); };
    f.UncheckInput = [this](int i) { checked[i] = false; };
    f.OutputPathText = [this] { return output; };
    f.SetStatus = [this](const std::string& s) { statuses.push_back(s); };
    f.ShowMessage = [this](const std::string& s) { messages.push_back(s); };
    f.ProcessMessages = [this] { ++pumped; };
    f.SetExecuteEnabled = [this](bool on) { executeStates.push_back(on); };
    return f;
  }
  tRunResult Run() {
    tfrontend f = Front();
    return RunConversion(f);
  }
};

// Number of start tags of `name` with an attribute in an XML file (one tag per line in FGD).
int CountFeatures(const std::string& xml, const std::string& name) {
  int n = 0;
  const std::string tag = "<" + name + " ";
  for (size_t at = xml.find(tag); at != std::string::npos; at = xml.find(tag, at + 1)) ++n;
  return n;
}

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadLayerCatalogFrom(std::string(NABIK_SOURCE_DIR) + "/data/nabik.csv"));
    SettingsFilePath = dir.Folder() + "no-settings.Ini";
    LoadMapSettings();
    StartUnlha();
    front.output = dir.Folder() + "out/list.txt";
    out = dir.Folder() + "out/";
  }
  void TearDown() override { StopUnlha(); }
  std::string Xml(const std::string& relative) {
    return ReadFile(testing_support::Sample(relative));
  }
  ScratchDir dir;
  RecordingFront front;
  std::string out;
};

const std::string kMesh = "gml/FG-GML-503041-ALL-20181001/";

TEST_F(Driver, ConvertsXmlFilesIntoTheirLayers) {
  front.Add(testing_support::Sample(kMesh + "FG-GML-503041-Cntr-20181001-0001.xml"));
  front.Add(testing_support::Sample(kMesh + "FG-GML-503041-BldA-20181001-0001.xml"), false);
  front.Add(testing_support::Sample("jpgis/FG-JPS-13112-CommPt-20111221-0001.xml"));
  EXPECT_EQ(front.Run(), tRunResult::Finished);
  const SetCounts cntr = CountSet(out + "Cntr");
  EXPECT_EQ(cntr.shapes,
            CountFeatures(Xml(kMesh + "FG-GML-503041-Cntr-20181001-0001.xml"), "Cntr"));
  EXPECT_EQ(cntr.records, cntr.shapes);
  const SetCounts commPt = CountSet(out + "CommPt");
  EXPECT_EQ(commPt.shapes,
            CountFeatures(Xml("jpgis/FG-JPS-13112-CommPt-20111221-0001.xml"), "CommPt"));
  EXPECT_EQ(commPt.records, commPt.shapes);
  EXPECT_FALSE(fs::exists(out + "BldA.shp")) << "an unchecked entry is not converted";
  EXPECT_EQ(front.checked, (std::vector<bool>{false, false, false}));
  // The run list holds every entry, checked or not, with CR LF.
  EXPECT_EQ(ReadFile(front.output),
            front.inputs[0] + "\r\n" + front.inputs[1] + "\r\n" + front.inputs[2] + "\r\n");
  // Status texts in their order, and the closing message.
  const std::vector<std::string> statuses = {front.inputs[0] + Sjis("処理中"),
                                             front.inputs[2] + Sjis("処理中"),
                                             Sjis("MAPファイル作成中"), Sjis("処理終了")};
  EXPECT_EQ(front.statuses, statuses);
  ASSERT_FALSE(front.messages.empty());
  EXPECT_EQ(front.messages.back(), Sjis("変換が終了しました"));
  EXPECT_EQ(front.executeStates, (std::vector<bool>{false, true}));
  EXPECT_GT(front.pumped, 4);
  // The map file lists exactly the created layers.
  const std::string map = ReadFile(out + "ms4w/Apache/htdocs/list.map");
  EXPECT_NE(map.find("  DATA \"Cntr\""), std::string::npos);
  EXPECT_NE(map.find("  DATA \"CommPt\""), std::string::npos);
  EXPECT_EQ(map.find("  DATA \"BldA\""), std::string::npos);
}

TEST_F(Driver, NothingCheckedStillWritesListAndMap) {
  front.Add("/nowhere/a.xml", false);
  EXPECT_EQ(front.Run(), tRunResult::Interrupted);
  EXPECT_EQ(front.messages.back(), Sjis("変換が中断しました"));
  EXPECT_EQ(ReadFile(front.output), "/nowhere/a.xml\r\n");
  EXPECT_TRUE(fs::exists(out + "ms4w/Apache/htdocs/list.map"));
}

// A path with the run's extraction folders (process and count) written as X.
std::string Unpid(const std::string& text) {
  static const std::regex folder("tmp/[0-9]+\\.[0-9]+/");
  return std::regex_replace(text, folder, "tmp/X/");
}

TEST_F(Driver, ArchivesAreExtractedApartConvertedAndDeleted) {
  // Two archives feeding one layer, one written .Zip; a file of the user's in the work folder,
  // and an input there; an entry in a subfolder; two entries of one name in two folders.
  const std::string cntr = Xml(kMesh + "FG-GML-503041-Cntr-20181001-0001.xml");
  const std::string wl = Xml(kMesh + "FG-GML-503041-WL-20181001-0001.xml");
  const std::string bldA = Xml(kMesh + "FG-GML-503041-BldA-20181001-0001.xml");
  MakeZip(dir.Path() / "one.Zip", {{"deep/dir/FG-GML-503041-Cntr-20181001-0001.xml", cntr},
                                   {"b/FG-WL-x.xml", wl},
                                   {"a/FG-WL-x.xml", wl}});
  fs::create_directories(out + "tmp");
  MakeZip(out + "tmp/two.zip", {{"FG-GML-503041-Cntr-copy.xml", cntr}});
  const std::string two = ReadFile(out + "tmp/two.zip");
  WriteFile(out + "tmp/left-over-BldA.xml", bldA);
  // Named like the run's folders but unmarked: a killed run's empty one goes, a user's stays.
  fs::create_directories(out + "tmp/4242.7");
  fs::create_directories(out + "tmp/4242.8");
  WriteFile(out + "tmp/4242.8/mine.txt", "mine");
  front.Add(dir.Folder() + "one.Zip");
  front.Add(out + "tmp/two.zip");
  EXPECT_EQ(front.Run(), tRunResult::Finished)
      << (front.messages.empty() ? "" : front.messages.back());
  const int perFile = CountFeatures(cntr, "Cntr");
  EXPECT_EQ(CountSet(out + "Cntr").shapes, 2 * perFile) << "the second archive appends";
  EXPECT_EQ(CountSet(out + "Cntr").records, 2 * perFile);
  EXPECT_EQ(CountSet(out + "WL").shapes, 2 * CountFeatures(wl, "WL")) << "both of one name";
  EXPECT_FALSE(fs::exists(out + "BldA.shp")) << "a file the run did not extract is not read";
  // The user's files stay byte for byte, and nothing else is left.
  EXPECT_EQ(FolderContents(out + "tmp"),
            (std::map<std::string, std::string>{
                {"left-over-BldA.xml", bldA}, {"two.zip", two}, {"4242.8/mine.txt", "mine"}}));
  EXPECT_FALSE(fs::exists(out + "tmp/4242.7"));
  // Status texts of the archive steps, the files in name order.
  EXPECT_EQ(std::count(front.statuses.begin(), front.statuses.end(), Sjis("解凍中")), 2);
  std::vector<std::string> converted;
  for (const std::string& status : front.statuses)
    if (status.ends_with(ProcessingText())) converted.push_back(Unpid(status));
  EXPECT_EQ(converted, (std::vector<std::string>{
                           out + "tmp/X/0/FG-WL-x.xml" + ProcessingText(),
                           out + "tmp/X/1/FG-WL-x.xml" + ProcessingText(),
                           out + "tmp/X/0/FG-GML-503041-Cntr-20181001-0001.xml" + ProcessingText(),
                           out + "tmp/X/0/FG-GML-503041-Cntr-copy.xml" + ProcessingText()}));

  // A second run in the same folder creates the sets afresh.
  front.checked = {false, true};
  EXPECT_EQ(front.Run(), tRunResult::Finished);
  EXPECT_EQ(CountSet(out + "Cntr").shapes, perFile);
  EXPECT_EQ(CountSet(out + "WL").shapes, 2 * CountFeatures(wl, "WL")) << "sets not met stay";
}

TEST_F(Driver, NamesMatchAnywhereInThePath) {
  LayerCatalog.clear();
  ASSERT_EQ(testing_support::RunCommand("true"), "");
  WriteFile(dir.Path() / "cat.csv", "Bld,t,2\r\nBldA,t,2\r\nCntr,t,1\r\n,empty,1\r\n");
  ASSERT_TRUE(LoadLayerCatalogFrom(dir.Folder() + "cat.csv"));
  // The output folder's path holds "Cntr": every file matches that layer.
  front.output = dir.Folder() + "Cntr-out/list.txt";
  out = dir.Folder() + "Cntr-out/";
  MakeZip(dir.Path() / "a.zip", {{"FG-GML-503041-BldA-20181001-0001.xml",
                                  Xml(kMesh + "FG-GML-503041-BldA-20181001-0001.xml")}});
  front.Add(dir.Folder() + "a.zip");
  EXPECT_EQ(front.Run(), tRunResult::Finished);
  EXPECT_TRUE(fs::exists(out + "Bld.shp")) << "Bld is contained in BldA";
  EXPECT_TRUE(fs::exists(out + "BldA.shp"));
  EXPECT_TRUE(fs::exists(out + "Cntr.shp")) << "Cntr occurs in the output folder's path";
  EXPECT_EQ(CountSet(out + "Cntr").shapes, 0);
  EXPECT_FALSE(fs::exists(out + ".shp")) << "an empty name never matches";
}

TEST_F(Driver, ErrorsEndTheRunWithAMessage) {
  WriteFile(dir.Path() / "bad.zip", "not a zip");
  WriteFile(dir.Path() / "plain", "x");
  struct Case {
    const char* what;
    std::string output;
    std::vector<std::string> inputs;
    std::string messageStart;
  };
  const std::vector<Case> cases = {
      {"corrupt zip",
       dir.Folder() + "o1/list.txt",
       {dir.Folder() + "bad.zip"},
       "Cannot open the archive " + dir.Folder() + "bad.zip"},
      {"unreadable file",
       dir.Folder() + "o2/list.txt",
       {dir.Folder() + "gone-Cntr.xml"},
       "Cannot open " + dir.Folder() + "gone-Cntr.xml"},
      {"output folder under a file",
       dir.Folder() + "plain/sub/list.txt",
       {testing_support::Sample(kMesh + "FG-GML-503041-WL-20181001-0001.xml")},
       "Cannot create the output folder " + dir.Folder() + "plain/sub/"},
  };
  for (const Case& c : cases) {
    RecordingFront f;
    f.output = c.output;
    for (const std::string& in : c.inputs) f.Add(in);
    EXPECT_EQ(f.Run(), tRunResult::Failed) << c.what;
    ASSERT_EQ(f.messages.size(), 1u) << c.what;
    EXPECT_TRUE(f.messages[0].starts_with(c.messageStart)) << c.what << ": " << f.messages[0];
    EXPECT_FALSE(fs::exists(c.output)) << c.what << ": no run list after an error";
    EXPECT_EQ(f.executeStates, (std::vector<bool>{false, true})) << c.what;
    EXPECT_EQ(OpenSet.ShpHandle, nullptr) << c.what;
  }
  RecordingFront none;
  EXPECT_EQ(none.Run(), tRunResult::NotStarted);
  EXPECT_EQ(none.messages, std::vector<std::string>{NoOutputFileText()});
  EXPECT_TRUE(none.executeStates.empty());
}

// ---------------------------------------------------------------------------------------------
// The batch mode, through the program itself.

struct BatchRun {
  int status = -1;
  std::string err;
};

// Runs build/nabik with `args` (already quoted as needed); standard error is captured.
BatchRun Nabik(const std::string& args) {
  BatchRun run;
  const std::string errFile = fs::temp_directory_path() / ("nabik-err-" + std::to_string(getpid()));
  testing_support::RunCommand(std::string(NABIK_BINARY_DIR) + "/nabik " + args + " 2>" + errFile,
                              &run.status);
  run.err = ReadFile(errFile);
  fs::remove(errFile);
  return run;
}

std::string Quote(const std::string& path) {
  return "'" + path + "'";
}

TEST(Batch, ConvertsRealFilesOfBothEncodings) {
  ScratchDir dir;
  const std::vector<std::string> inputs = {
      testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip"),
      testing_support::Sample("jpgis/FG-JPS-13112-05-Z001.zip"),
      testing_support::Sample("jpgis/FG-JPS-13112-CommPt-20111221-0001.xml"),
      testing_support::Sample("gml/FG-GML-13-RailCL25000-20080331-0001.xml"),
      testing_support::Sample(kMesh + "FG-GML-503041-WA-20181001-0001.xml")};
  std::string args = "--quiet --settings " +
                     Quote(std::string(NABIK_SOURCE_DIR) + "/data/demo/nabik-demo.Ini") + " -o " +
                     Quote(dir.Folder() + "out/list.txt");
  for (const std::string& input : inputs) args += " " + Quote(input);
  const BatchRun run = Nabik(args);
  ASSERT_EQ(run.status, 0) << run.err;
  // The metadata file of the GML archive matches no layer.
  EXPECT_EQ(Unpid(run.err), dir.Folder() +
                                "out/tmp/X/0/fmdid17-0401.xml: no layer of the catalog matches "
                                "this file\n"
                                "変換が終了しました\n");

  // What the inputs hold, per layer: every feature start tag of the type.
  ASSERT_TRUE(LoadLayerCatalogFrom(std::string(NABIK_SOURCE_DIR) + "/data/nabik.csv"));
  std::vector<std::string> xmls;
  fs::create_directories(dir.Path() / "unzipped");
  for (const std::string& input : inputs) {
    if (input.ends_with(".zip")) {
      for (const std::string& path : ExtractZip(input, dir.Folder() + "unzipped"))
        xmls.push_back(ReadFile(path));
      fs::remove_all(dir.Path() / "unzipped");
      fs::create_directories(dir.Path() / "unzipped");
    } else {
      xmls.push_back(ReadFile(input));
    }
  }
  const std::string out = dir.Folder() + "out/";
  std::set<std::string> created;
  for (int n = 1; n <= LayerCount(); ++n) {
    const std::string& name = CatalogEntry(n).Name;
    int expected = 0;
    for (const std::string& xml : xmls) expected += CountFeatures(xml, name);
    if (!fs::exists(out + name + ".shp")) {
      EXPECT_EQ(expected, 0) << name << " has features but no set";
      continue;
    }
    created.insert(name);
    const SetCounts counts = CountSet(out + name);
    EXPECT_EQ(counts.shapes, expected) << name;
    EXPECT_EQ(counts.records, expected) << name;
    if (testing_support::HaveProgram("ogrinfo")) {
      const std::string info = testing_support::RunCommand("ogrinfo -ro -so -al " +
                                                           Quote(out + name + ".shp") + " 2>&1");
      EXPECT_NE(info.find("Feature Count: " + std::to_string(expected)), std::string::npos)
          << name << ": " << info;
    }
  }
  EXPECT_GE(created.size(), 14u);
  EXPECT_TRUE(created.count("CommPt") && created.count("RailCL") && created.count("AdmArea"));
  // Japanese text of both encodings reads back right.
  if (testing_support::HaveProgram("ogrinfo")) {
    const std::string commPt =
        testing_support::RunCommand("ogrinfo -ro -al " + Quote(out + "CommPt.shp"));
    EXPECT_NE(commPt.find("name (String) = 緑が丘３丁目"), std::string::npos);
    const std::string adm =
        testing_support::RunCommand("ogrinfo -ro -al " + Quote(out + "AdmArea.shp"));
    EXPECT_NE(adm.find("type (String) = "), std::string::npos);
    EXPECT_EQ(adm.find("\xEF\xBF\xBD"), std::string::npos) << "no undecodable text";
  }
  // The map file draws exactly the created layers.
  const std::string map = ReadFile(out + "ms4w/Apache/htdocs/list.map");
  std::set<std::string> drawn;
  for (size_t at = map.find("  DATA \""); at != std::string::npos;
       at = map.find("  DATA \"", at + 1)) {
    const size_t start = at + 8;
    drawn.insert(map.substr(start, map.find('"', start) - start));
  }
  EXPECT_EQ(drawn, created);
  EXPECT_NE(map.find("FONTSET"), std::string::npos) << "the demo settings name an installed font";
  EXPECT_TRUE(fs::exists(out + "nabik.php"));
  EXPECT_TRUE(fs::is_empty(out + "tmp"));
}

TEST(Batch, StatusLinesAndExitStatuses) {
  ScratchDir dir;
  testing_support::WriteFile(dir.Path() / "bad.zip", "not a zip");
  testing_support::WriteFile(dir.Path() / "bad.csv", "Cntr,t,1\r\nWL,t,x\r\n");
  testing_support::WriteFile(dir.Path() / "plain", "x");
  const std::string wl = testing_support::Sample(kMesh + "FG-GML-503041-WL-20181001-0001.xml");
  const std::string o = " -o " + Quote(dir.Folder() + "o/list.txt") + " ";
  const std::string x = " -o " + Quote(dir.Folder() + "x/list.txt") + " ";  // never made
  MakeZip(dir.Path() / "nested.zip", {{"x/bad.zip", "not a zip"}});
  struct Case {
    const char* what;
    std::string args;
    int status;
    std::string errStart;  // what standard error starts with
  };
  const std::vector<Case> cases = {
      {"help", "--help", 0, ""},
      {"version", "--version", 0, ""},
      {"no output", Quote(wl), 2, "nabik: the output file is missing"},
      {"empty output", "-o '' " + Quote(wl), 2, "nabik: 出力ファイルを指定してください"},
      {"no input", o, 2, "nabik: no input file given"},
      {"unknown option", "--fast" + o + Quote(wl), 2, "nabik: unknown option --fast"},
      {"unknown export form", "--mapserver 7" + o + Quote(wl), 2,
       "nabik: --mapserver needs 8 or ms4w, not 7"},
      {"export form missing", o + Quote(wl) + " --mapserver", 2, "nabik: --mapserver needs 8"},
      {"missing catalog", "--catalog /no/such.csv" + o + Quote(wl), 2,
       "nabik: cannot open the layer catalog /no/such.csv"},
      {"malformed catalog", "--catalog " + Quote(dir.Folder() + "bad.csv") + o + Quote(wl), 2,
       "nabik: " + dir.Folder() + "bad.csv: 'x' is not a valid integer value"},
      {"corrupt zip", "--quiet" + o + Quote(dir.Folder() + "bad.zip"), 1,
       "Cannot open the archive " + dir.Folder() + "bad.zip"},
      {"missing input", "--quiet" + x + Quote(dir.Folder() + "gone-WL.xml"), 2,
       "nabik: cannot read the input " + dir.Folder() + "gone-WL.xml: No such file or directory"},
      {"folder as input", x + Quote(wl) + " " + Quote(dir.Folder()), 2,
       "nabik: the input " + dir.Folder() + " is not a regular file\n"},
      {"corrupt inner zip", "--quiet" + o + Quote(dir.Folder() + "nested.zip"), 1,
       "Cannot open the archive " + dir.Folder() + "o/tmp/"},
      {"output folder under a file",
       "--quiet -o " + Quote(dir.Folder() + "plain/x/l.txt") + " " + Quote(wl), 1,
       "Cannot create the output folder " + dir.Folder() + "plain/x/"},
      {"nothing to convert in the file", "--quiet" + o + Quote(dir.Folder() + "plain"), 0,
       dir.Folder() + "plain: no layer of the catalog matches this file\n変換が終了しました"},
      {"status lines", o + Quote(wl), 0,
       wl + "処理中\nMAPファイル作成中\n処理終了\n変換が終了しました\n"},
      {"summary", o + Quote(dir.Folder() + "plain") + " " + Quote(wl), 0,
       dir.Folder() + "plain処理中\n" + dir.Folder() +
           "plain: no layer of the catalog matches "
           "this file\n" +
           wl +
           "処理中\nMAPファイル作成中\n処理終了\n変換が終了しました\nfiles "
           "converted: 1, sets written: 1, files matching no layer: 1\n"},
  };
  for (const Case& c : cases) {
    const BatchRun run = Nabik(c.args);
    EXPECT_EQ(run.status, c.status) << c.what << ": " << run.err;
    EXPECT_TRUE(run.err.starts_with(c.errStart)) << c.what << ": " << run.err;
  }
  EXPECT_NE(Nabik("--help").status, -1);
  // Runs that ended on a damaged archive, inner or not, left nothing of it in tmp/.
  EXPECT_TRUE(fs::is_empty(dir.Folder() + "o/tmp"));
  // Nothing was written outside the output folders.
  std::set<std::string> top;
  for (const auto& item : fs::directory_iterator(dir.Path())) top.insert(item.path().filename());
  EXPECT_EQ(top, (std::set<std::string>{"bad.zip", "bad.csv", "plain", "nested.zip", "o"}));
}

// ---------------------------------------------------------------------------------------------
// Progress: the inputs' totals, the figures' texts, the count of a run, the terminal's line.

TEST(Progress, TotalsOfTheInputsComeFromSizesAndCentralDirectories) {
  ScratchDir dir;
  const std::string a(1234, 'a'), b(50000, 'b');  // b compresses to a few hundred bytes
  WriteFile(dir.Path() / "one.xml", a);
  WriteFile(dir.Path() / "bad.zip", "not a zip");
  MakeZip(dir.Path() / "flat.zip", {{"d/", ""}, {"d/a.xml", a}, {"b.xml", b}, {"d/..", "x"}});
  MakeZip(dir.Path() / "nested.zip",
          {{"a.xml", a}, {"inner.zip", ReadFile(dir.Path() / "flat.zip")}});
  const uint64_t flatSize = fs::file_size(dir.Path() / "flat.zip");
  const struct {
    const char* input;
    uint64_t bytes;
  } cases[] = {
      {"one.xml", a.size()},
      {"flat.zip", a.size() + b.size()},    // inflated; folders and skipped names count nothing
      {"nested.zip", a.size() + flatSize},  // an archive inside by its own size
      {"bad.zip", 0},
      {"gone.xml", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(InputBytes(dir.Folder() + c.input), c.bytes) << c.input;
}

TEST(Progress, TheLineSaysFilesMegabytesRateAndTimeLeft) {
  const struct {
    tprogress p;
    const char* line;
    int left;
  } cases[] = {
      {{0, 160, 0, 2'500'000'000, 0}, "0/160 files  0/2500 MB  -- MB/s  -:-- left", -1},
      {{12, 160, 310'000'000, 2'500'000'000, 1.3},
       "12/160 files  310/2500 MB  238 MB/s  0:10 left",
       10},  // 2190 MB at 238 MB/s: 9.2 s, rounded up
      {{1, 3, 300'000, 1'200'000, 0.1}, "1/3 files  0.3/1.2 MB  3.0 MB/s  0:01 left", 1},
      {{5, 9, 1'000'000, 4'601'000'000, 1}, "5/9 files  1/4601 MB  1.0 MB/s  1:16:40 left", 4600},
      {{3, 3, 1'200'000, 1'200'000, 2}, "3/3 files  1.2/1.2 MB  0.6 MB/s  0:00 left", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressLine(c.p), c.line);
    EXPECT_EQ(SecondsLeft(c.p), c.left) << c.line;
  }
  const struct {
    const char* text;
    int columns;
    const char* fit;
  } cuts[] = {{"abcdef", 4, "abcd"},
              {"ab処理中", 5, "ab処"},
              {"ab処理中", 6, "ab処理"},
              {"処理中", 1, ""},
              {"abc", 10, "abc"}};
  for (const auto& c : cuts) {
    EXPECT_EQ(FitColumns(c.text, c.columns), c.fit) << c.text << " in " << c.columns;
    EXPECT_LE(TerminalColumns(FitColumns(c.text, c.columns)), c.columns) << c.text;
  }
}

TEST_F(Driver, TheProgressCountsEveryFileOfArchivesInsideArchives) {
  const std::string wl = Xml(kMesh + "FG-GML-503041-WL-20181001-0001.xml");
  const std::string cntr = Xml(kMesh + "FG-GML-503041-Cntr-20181001-0001.xml");
  MakeZip(dir.Path() / "inner.zip", {{"FG-GML-503041-Cntr-20181001-0001.xml", cntr}});
  MakeZip(dir.Path() / "outer.zip", {{"FG-GML-503041-WL-20181001-0001.xml", wl},
                                     {"inner.zip", ReadFile(dir.Path() / "inner.zip")}});
  front.Add(testing_support::Sample(kMesh + "FG-GML-503041-WL-20181001-0001.xml"));
  front.Add(dir.Folder() + "outer.zip");
  front.Add(testing_support::Sample(kMesh + "FG-GML-503041-Cntr-20181001-0001.xml"), false);
  std::vector<tprogress> seen;
  tfrontend f = front.Front();
  f.Progress = [&](const tprogress& p) { seen.push_back(p); };
  ASSERT_EQ(RunConversion(f), tRunResult::Finished);
  ASSERT_GE(seen.size(), 4u);
  // The start: the checked lines, the archive inside by its own size.
  EXPECT_EQ(seen.front().LinesTotal, 2);
  EXPECT_EQ(seen.front().BytesDone, 0u);
  EXPECT_EQ(seen.front().BytesTotal, 2 * wl.size() + fs::file_size(dir.Path() / "inner.zip"));
  // The end: every XML file of every level, once.
  const uint64_t all = 2 * wl.size() + cntr.size();
  EXPECT_EQ(seen.back().LinesDone, 2);
  EXPECT_EQ(seen.back().BytesDone, all);
  EXPECT_EQ(seen.back().BytesTotal, all);
  for (size_t i = 1; i < seen.size(); ++i) {
    EXPECT_GE(seen[i].BytesDone, seen[i - 1].BytesDone) << i;
    EXPECT_LE(seen[i].BytesDone, seen[i].BytesTotal) << i;
    EXPECT_GE(seen[i].Seconds, seen[i - 1].Seconds) << i;
  }
}

// Runs build/nabik with `args` on a pseudo-terminal `columns` wide (its standard output and
// error); gives what it wrote, byte for byte.
BatchRun NabikOnTerminal(const std::vector<std::string>& args, int columns) {
  BatchRun run;
  winsize size{};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = 24;
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, &size);
  if (child == 0) {
    termios mode;
    tcgetattr(STDERR_FILENO, &mode);
    mode.c_oflag &= ~ONLCR;  // a new line stays one byte
    tcsetattr(STDERR_FILENO, TCSANOW, &mode);
    const std::string program = std::string(NABIK_BINARY_DIR) + "/nabik";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (child < 0) return run;
  char buffer[4096];
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) run.err.append(buffer, n);
  close(master);
  int status = 0;
  waitpid(child, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The lines a terminal shows after `raw`: a carriage return goes to the line's start, ESC [ K
// clears to its end.
std::vector<std::string> ScreenLines(const std::string& raw) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    std::string& line = lines.back();
    if (raw[i] == '\r') {
      column = 0;
    } else if (raw.compare(i, 3, "\x1b[K") == 0) {
      line.resize(std::min(line.size(), column));
      i += 2;
    } else if (raw[i] == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      if (column < line.size())
        line[column] = raw[i];
      else
        line += raw[i];
      ++column;
    }
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

TEST(Batch, ATerminalGetsOneProgressLineInPlace) {
  ScratchDir dir;
  WriteFile(dir.Path() / "plain", "x");
  const std::string wl = testing_support::Sample(kMesh + "FG-GML-503041-WL-20181001-0001.xml");
  const int columns = 60;  // narrower than the paths: the line is cut, never wrapped
  const BatchRun run =
      NabikOnTerminal({"-o", dir.Folder() + "o/list.txt", dir.Folder() + "plain", wl}, columns);
  ASSERT_EQ(run.status, 0) << run.err;
  // Drawn in place, never on a line of its own, and cleared for the messages and the summary.
  const std::regex drawn("\r([^\r\n\x1b]*)\x1b\\[K");
  int lines = 0;
  for (std::sregex_iterator at(run.err.begin(), run.err.end(), drawn), end; at != end; ++at) {
    const std::string line = (*at)[1];
    if (line.empty()) continue;
    ++lines;
    EXPECT_TRUE(std::regex_search(line, std::regex("^[0-2]/2 files  [0-9.]+/[0-9.]+ MB  ")))
        << line;
    int width = 0;  // the CJK characters of the status texts take two columns
    for (unsigned char c : line) width += (c & 0xC0) != 0x80 ? (c >= 0xE3 ? 2 : 1) : 0;
    EXPECT_LT(width, columns) << line;
  }
  EXPECT_GE(lines, 1) << run.err;
  EXPECT_EQ(
      ScreenLines(run.err),
      (std::vector<std::string>{dir.Folder() + "plain: no layer of the catalog matches this file",
                                "変換が終了しました",
                                "files converted: 1, sets written: 1, files matching no layer: 1"}))
      << run.err;
  // Quiet: no progress at all.
  const BatchRun quiet = NabikOnTerminal({"--quiet", "-o", dir.Folder() + "q/list.txt", wl}, 60);
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err.find('\r'), std::string::npos) << quiet.err;
}

TEST(Batch, TheMapServerOptionWinsOverTheSetting) {
  ScratchDir dir;
  const std::string wl = testing_support::Sample(kMesh + "FG-GML-503041-WL-20181001-0001.xml");
  testing_support::WriteFile(dir.Path() / "8.Ini", Sjis("[MapServer]\r\n出力形式=1\r\n"));
  // Settings file and option; whether the MapServer 8 tree comes instead of the MS4W one.
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"8.Ini", "", true},
      {"8.Ini", "--mapserver ms4w", false},
      {"none.Ini", "", false},
      {"none.Ini", "--mapserver 8", true}};
  for (const auto& [settings, option, ms8] : cases) {
    const std::string out = dir.Folder() + "out " + settings + option + "/";
    const BatchRun run = Nabik("--quiet --settings " + Quote(dir.Folder() + settings) + " " +
                               option + " -o " + Quote(out + "list.txt") + " " + Quote(wl));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(fs::exists(out + "mapserver8/list.map"), ms8) << settings << option;
    EXPECT_EQ(fs::exists(out + "nabik.php"), !ms8) << settings << option;
  }
}

// ---------------------------------------------------------------------------------------------
// Faults: a full disk, files that go away, paths that cannot be written, a zip bomb and a run
// killed in the middle. The run ends with a clear message and loses nothing already written.

const std::string kDemoSettings = std::string(NABIK_SOURCE_DIR) + "/data/demo/nabik-demo.Ini";

std::string MeshFile(const std::string& layer) {
  return testing_support::Sample(kMesh + "FG-GML-503041-" + layer + "-20181001-0001.xml");
}

// Runs the batch mode quietly with the demo settings, under a file-size limit in KiB (0: none).
BatchRun NabikLimited(int limitKib, const std::string& args) {
  const std::string all = "--quiet --settings " + Quote(kDemoSettings) + " " + args;
  if (limitKib == 0) return Nabik(all);
  FileSizeLimit limit(static_cast<rlim_t>(limitKib) * 1024);
  return Nabik(all);
}

// The line the batch mode ends on: the run's last message.
std::string LastLine(const std::string& err) {
  std::string text = err;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const size_t lf = text.rfind('\n');
  return lf == std::string::npos ? text : text.substr(lf + 1);
}

// Features of each layer that the run must hold: every catalog layer named in a file's path.
std::map<std::string, int> ExpectedCounts(const std::vector<std::string>& files) {
  std::map<std::string, int> counts;
  for (const std::string& file : files) {
    const std::string xml = ReadFile(file);
    for (const tshpopentyp& entry : LayerCatalog)
      if (file.find(entry.Name) != std::string::npos)
        counts[entry.Name] += CountFeatures(xml, entry.Name);
  }
  return counts;
}

// Every set in `folder` opens, has as many shapes as records, and ogrinfo reads as many
// features; `expected` gives the shapes of each set that must be there, and (when `only`) no
// other set may be.
void ExpectWholeSets(const std::string& folder, const std::map<std::string, int>& expected,
                     const std::string& what, bool only = true) {
  std::map<std::string, int> found;
  for (const auto& item : fs::directory_iterator(folder)) {
    if (item.path().extension() != ".shp") continue;
    const std::string base = (item.path().parent_path() / item.path().stem()).string();
    const SetCounts counts = CountSet(base);
    EXPECT_EQ(counts.shapes, counts.records) << what << ": " << base;
    found[item.path().stem()] = counts.shapes;
    if (!testing_support::HaveProgram("ogrinfo")) continue;
    int status = -1;
    const std::string info = testing_support::RunCommand(
        "ogrinfo -ro -so -al " + Quote(item.path().string()) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << what << ": " << info;
    EXPECT_NE(info.find("Feature Count: " + std::to_string(counts.shapes) + "\n"),
              std::string::npos)
        << what << ": " << info;
  }
  if (only) {
    EXPECT_EQ(found, expected) << what;
    return;
  }
  for (const auto& [layer, shapes] : expected)
    EXPECT_EQ(found[layer], shapes) << what << ": " << layer;
}

// ---------------------------------------------------------------------------------------------
// Files as the agency hands them out: the datum they declare, holes, layers without columns.

TEST_F(Driver, TheProjectionFollowsTheDeclaredDatum) {
  const std::string rail = testing_support::Sample("gml/FG-GML-13-RailCL25000-20080331-0001.xml"),
                    jpgis = testing_support::Sample("jpgis/FG-JPS-13112-CommPt-20111221-0001.xml"),
                    wl2024 = dir.Folder() + "FG-GML-503041-WL-20250401-0001.xml";
  std::string wl = ReadFile(MeshFile("WL"));  // as files published since 2025 declare it
  for (size_t at; (at = wl.find("jgd2011")) != std::string::npos;) wl.replace(at, 7, "jgd2024");
  WriteFile(wl2024, wl);
  const std::string warned = rail + ": declares the datum jgd2000, the layer RailCL holds jgd2011";
  struct Case {
    std::vector<std::string> inputs;
    std::string layer, epsg, warning;
  };
  for (const Case& c : std::vector<Case>{{{MeshFile("BldA")}, "BldA", "6668", ""},  // UTF-8
                                         {{rail}, "RailCL", "4612", ""},  // GML, Shift_JIS
                                         {{jpgis}, "CommPt", "6668", ""},
                                         {{wl2024}, "WL", "6668", ""},
                                         {{MeshFile("RailCL"), rail}, "RailCL", "6668", warned}}) {
    ScratchDir out;
    RecordingFront run;
    run.output = out.Folder() + "list.txt";
    for (const std::string& input : c.inputs) run.Add(input);
    ASSERT_EQ(run.Run(), tRunResult::Finished) << run.messages.back();
    EXPECT_EQ(run.messages.size(), c.warning.empty() ? 1u : 2u);
    EXPECT_EQ(run.messages[0].find(c.warning), 0u) << run.messages[0];
    for (const tshpopentyp& entry : LayerCatalog)  // the set's datum, kept for the map file
      EXPECT_TRUE(entry.Name != c.layer || std::to_string(DatumEpsg(entry.Datum)) == c.epsg);
    const std::string prj = out.Folder() + c.layer + ".prj";
    EXPECT_EQ(ReadFile(prj),
              std::string(c.epsg == "6668" ? kJgd2011ProjectionText : kProjectionText) + "\r\n");
    EXPECT_NE(
        testing_support::RunCommand("gdalsrsinfo -e " + Quote(prj)).find("EPSG:" + c.epsg + "\n"),
        std::string::npos)
        << prj;
  }
}

TEST(Batch, PolygonsWithHolesAreValidAndLayersWithoutColumnsHaveRecords) {
  const std::string jpgis =
      testing_support::Sample("jpgis/FG-JPS-13112-BldA-20111221-0006-holes-excerpt.xml");
  const std::string gml = testing_support::Sample("gml/BldA-with-interior-rings-excerpt.xml");
  const int shapes = CountFeatures(ReadFile(jpgis), "BldA") + CountFeatures(ReadFile(gml), "BldA");
  // Catalog lines of three and seven columns: no attribute column, so one FID column.
  for (const char* line : {"BldA,b,2\r\n", "BldA,b,2,,,255 0 0,x\r\n"}) {
    ScratchDir dir;
    WriteFile(dir.Path() / "c.csv", line);
    const BatchRun run = NabikLimited(0, "--catalog " + Quote(dir.Folder() + "c.csv") + " -o " +
                                             Quote(dir.Folder() + "out/list.txt") + " " +
                                             Quote(jpgis) + " " + Quote(gml));
    ASSERT_EQ(run.status, 0) << line << run.err;
    ExpectWholeSets(dir.Folder() + "out/", {{"BldA", shapes}}, line);
    const std::string invalid = testing_support::RunCommand(
        "ogrinfo -ro -q -dialect sqlite -sql 'select count(*) from BldA where not "
        "ST_IsValid(geometry)' " +
        Quote(dir.Folder() + "out/BldA.shp"));
    EXPECT_NE(invalid.find("count(*) (Integer) = 0\n"), std::string::npos) << invalid;
    DBFHandle dbf = DBFOpen((dir.Folder() + "out/BldA").c_str(), "rb");
    ASSERT_NE(dbf, nullptr);
    EXPECT_EQ(DBFReadIntegerAttribute(dbf, shapes - 1, 0), shapes - 1);  // the record number
    DBFClose(dbf);
  }
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadLayerCatalogFrom(std::string(NABIK_SOURCE_DIR) + "/data/nabik.csv"));
    out = dir.Folder() + "out/";
  }
  std::string Args(const std::vector<std::string>& inputs) const {
    std::string args = "-o " + Quote(out + "list.txt");
    for (const std::string& input : inputs) args += " " + Quote(input);
    return args;
  }
  ScratchDir dir;
  std::string out;
};

struct tdiskcase {
  const char* Name;
  int LimitKib;
  std::vector<std::string> Layers;     // the mesh files read, in order
  std::string FailingFile;             // under the output folder; the message names it
  size_t WholeInputs;                  // inputs whose features must all be in the sets
  std::vector<std::string> EmptySets;  // sets created but put back empty
};

class FullDiskRun : public Faults, public ::testing::WithParamInterface<tdiskcase> {};

// The run stops at the first refused write, with the file and the system's reason; what the
// files before it put into the sets stays, and the set being written is put back whole.
TEST_P(FullDiskRun, EndsWithAMessageAndKeepsEverySetWhole) {
  const tdiskcase& c = GetParam();
  std::vector<std::string> inputs;
  for (const std::string& layer : c.Layers) inputs.push_back(MeshFile(layer));
  const BatchRun run = NabikLimited(c.LimitKib, Args(inputs));
  EXPECT_EQ(run.status, 1) << run.err;
  const std::string message = LastLine(run.err);
  EXPECT_TRUE(message.starts_with("Cannot write " + out + c.FailingFile)) << message;
  EXPECT_TRUE(message.ends_with(": File too large")) << message;
  std::map<std::string, int> expected =
      ExpectedCounts({inputs.begin(), inputs.begin() + static_cast<long>(c.WholeInputs)});
  for (const std::string& layer : c.EmptySets) expected[layer] = 0;
  ExpectWholeSets(out, expected, c.Name);
  const bool exportReached = c.FailingFile.starts_with("etc/");
  EXPECT_EQ(fs::exists(out + "list.txt"), exportReached) << "the run list comes after the sets";
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FullDiskRun,
    testing::Values(
        // ElevPt's table (1 055 bytes) is the first file to pass 1 KiB.
        tdiskcase{"FirstTable", 1, {"ElevPt", "Cntr", "WA"}, "ElevPt.dbf", 0, {"ElevPt"}},
        tdiskcase{"SecondLayer", 20, {"ElevPt", "Cntr", "WA"}, "Cntr.shp", 1, {"Cntr"}},
        tdiskcase{"ThirdLayer", 100, {"ElevPt", "Cntr", "WA"}, "WA.shp", 2, {"WA"}},
        // The second file appends to the set of the first: the first one's features stay.
        tdiskcase{"AppendToAnEarlierSet", 200, {"WA", "WA"}, "WA.shp", 1, {}},
        // Every set fits; the map export's font copy does not.
        tdiskcase{"AfterTheSets", 170, {"ElevPt", "Cntr", "WA"}, "etc/", 3, {}}),
    [](const auto& info) { return std::string(info.param.Name); });

struct tfullfilecase {
  const char* Name;
  std::string Target;   // under the output folder, made a link to /dev/full
  std::string Message;  // the whole last line, after the output folder
  bool SetsWritten;     // the failure comes after the shapefile sets
};

class DevFullRun : public Faults, public ::testing::WithParamInterface<tfullfilecase> {};

TEST_P(DevFullRun, EndsWithAMessageAndKeepsEverySetWhole) {
  const tfullfilecase& c = GetParam();
  fs::create_directories(fs::path(out + c.Target).parent_path());
  fs::create_symlink("/dev/full", out + c.Target);
  const std::vector<std::string> inputs = {MeshFile("ElevPt"), MeshFile("WA")};
  const BatchRun run = NabikLimited(0, Args(inputs));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(LastLine(run.err), "Cannot write " + out + c.Message);
  std::map<std::string, int> expected = ExpectedCounts({inputs[0]});
  if (c.SetsWritten) expected = ExpectedCounts(inputs);
  ExpectWholeSets(out, expected, c.Name);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DevFullRun,
    testing::Values(
        // The set that cannot be created is not left behind, not even its link.
        tfullfilecase{"Shapefile", "WA.shp", "WA.shp: No space left on device", false},
        tfullfilecase{"ConversionList", "list.txt", "list.txt: No space left on device", true},
        tfullfilecase{"MapFile", "ms4w/Apache/htdocs/list.map", "ms4w/Apache/htdocs/list.map",
                      true},
        tfullfilecase{"WebPage", "nabik.php", "nabik.php: No space left on device", true},
        tfullfilecase{"FontList", "etc/winfonts.txt", "etc/winfonts.txt: No space left on device",
                      true}),
    [](const auto& info) { return std::string(info.param.Name); });

// The settings file under a file-size limit: every write leaves the old file or the new one,
// byte for byte, and a refused one is reported. Runs in a child process, which alone gets the
// limit; its exit status says whether the write was refused.
int WriteSettingsLimited(rlim_t limit, const std::function<void()>& write) {
  const pid_t child = fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit r{};
    getrlimit(RLIMIT_FSIZE, &r);
    r.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &r);
    try {
      write();
    } catch (const NabikError& e) {
      _exit(std::string(e.what()) == "Unable to write to " + SettingsFilePath ? 1 : 3);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Faults, TheSettingsFileIsTheOldOrTheNewOneNeverAMix) {
  SettingsFilePath = dir.Folder() + "nabik.Ini";
  const std::string old = ReadFile(kDemoSettings);
  std::string written;
  {
    WriteFile(SettingsFilePath, old);
    WriteOutputPath("/data/new/list.txt");
    written = ReadFile(SettingsFilePath);
  }
  ASSERT_GT(written.size(), old.size());
  for (rlim_t limit = 0; limit <= written.size() + 1; ++limit) {
    WriteFile(SettingsFilePath, old);
    const int status = WriteSettingsLimited(limit, [] { WriteOutputPath("/data/new/list.txt"); });
    const std::string now = ReadFile(SettingsFilePath);
    EXPECT_EQ(status, limit < written.size() ? 1 : 0) << limit;
    EXPECT_EQ(now, status == 0 ? written : old) << limit;
    // No temporary file stays beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1)
        << limit;
  }
}

// The dialog's save writes key by key, each write whole: after a refused one, the keys before it
// hold their new values and the rest their old ones.
TEST_F(Faults, ARefusedDialogSaveStopsBetweenWholeKeys) {
  SettingsFilePath = dir.Folder() + "nabik.Ini";
  const std::string old = ReadFile(kDemoSettings);
  WriteFile(SettingsFilePath, old);
  LoadMapSettings();
  const tsettingsfields before = FillSettingsDialog();
  tsettingsfields after = before;
  after.MapFileName = "renamed.map";
  after.MapName = "A longer map name than the demo one";
  after.MapWidth = "1600";
  after.MapHeight = "1200";
  after.MinScale = "1000";
  after.MaxScale = "200000";
  after.WebHeader = "header-of-the-new-site.html";
  after.WebTemplate = "template-of-the-new-site.html";
  after.WebFooter = "footer-of-the-new-site.html";
  after.KanjiFont = "/usr/share/fonts/truetype/another/font-file.ttf";
  SaveMapSettings(after);
  const size_t full = ReadFile(SettingsFilePath).size();
  // The changed fields, in the order the save writes them.
  const auto changed = [](const tsettingsfields& f) {
    return std::vector<std::string>{f.MapFileName, f.MapName,  f.MapWidth,  f.MapHeight,
                                    f.MinScale,    f.MaxScale, f.WebHeader, f.WebTemplate,
                                    f.WebFooter,   f.KanjiFont};
  };
  const std::vector<std::string> was = changed(before), is = changed(after);
  int refused = 0;
  for (rlim_t limit = old.size(); limit <= full; limit += 7) {
    WriteFile(SettingsFilePath, old);
    const int status = WriteSettingsLimited(limit, [&] { SaveMapSettings(after); });
    ASSERT_TRUE(status == 0 || status == 1) << limit;
    LoadMapSettings();
    const std::vector<std::string> now = changed(FillSettingsDialog());
    size_t newKeys = 0;
    while (newKeys < now.size() && now[newKeys] == is[newKeys]) ++newKeys;
    for (size_t k = newKeys; k < now.size(); ++k) EXPECT_EQ(now[k], was[k]) << limit << " " << k;
    // Keys whose value does not change (flags, list positions) may be the refused one too.
    if (status == 0) {
      EXPECT_EQ(newKeys, now.size()) << limit;
    }
    refused += status == 1;
  }
  EXPECT_GT(refused, 0);
}

struct tvanishcase {
  const char* Name;
  std::function<void(const std::string&)> Change;  // done to the second input during the run
  std::string MessageStart;                        // before the path
};

class VanishingInput : public Faults, public ::testing::WithParamInterface<tvanishcase> {};

// A file chosen for the run is deleted or made unreadable while the run works on the file
// before it: the run ends with a message naming it, the first file's set is whole, and no run
// list is written.
TEST_P(VanishingInput, EndsTheRunWithItsMessage) {
  const tvanishcase& c = GetParam();
  const std::string second = dir.Folder() + "copy-Cntr.xml";
  WriteFile(second, ReadFile(MeshFile("Cntr")));
  RecordingFront front;
  front.output = out + "list.txt";
  front.Add(MeshFile("WA"));
  front.Add(second);
  tfrontend f = front.Front();
  bool changed = false;
  f.SetStatus = [&](const std::string& status) {
    if (!changed && status.starts_with(MeshFile("WA"))) {
      c.Change(second);
      changed = true;
    }
  };
  SettingsFilePath = dir.Folder() + "no-settings.Ini";
  LoadMapSettings();
  EXPECT_EQ(RunConversion(f), tRunResult::Failed);
  ASSERT_EQ(front.messages.size(), 1u);
  EXPECT_TRUE(front.messages[0].starts_with(c.MessageStart + second + ": ")) << front.messages[0];
  EXPECT_FALSE(fs::exists(out + "list.txt"));
  // The second file's set is made before the file is opened: it stays, empty and whole.
  std::map<std::string, int> expected = ExpectedCounts({MeshFile("WA")});
  expected["Cntr"] = 0;
  ExpectWholeSets(out, expected, c.Name);
}

INSTANTIATE_TEST_SUITE_P(Changes, VanishingInput,
                         testing::Values(tvanishcase{"Deleted",
                                                     [](const std::string& p) { fs::remove(p); },
                                                     "Cannot open "},
                                         tvanishcase{"ReplacedByAFolder",
                                                     [](const std::string& p) {
                                                       fs::remove(p);
                                                       fs::create_directory(p);
                                                     },
                                                     "Cannot read "}),
                         [](const auto& info) { return std::string(info.param.Name); });

struct tpathcase {
  const char* Name;
  std::function<std::string(const std::string& scratch)> Prepare;  // returns the output path
  bool Archive;                                                    // the input is a zip
  std::function<std::string(const std::string& output)> Message;
};

class UnwritablePath : public Faults, public ::testing::WithParamInterface<tpathcase> {};

TEST_P(UnwritablePath, EndsTheRunWithAClearMessage) {
  const tpathcase& c = GetParam();
  const std::string output = c.Prepare(dir.Folder());
  if (output.empty()) GTEST_SKIP() << "this file system cannot make such a path";
  const std::string input =
      c.Archive ? testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip") : MeshFile("WA");
  const BatchRun run = NabikLimited(0, "-o " + Quote(output) + " " + Quote(input));
  testing_support::RunCommand("chattr -R -i " + Quote(dir.Folder()) + " 2>/dev/null");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(LastLine(run.err), c.Message(output));
  EXPECT_FALSE(fs::exists(output));
}

// chattr +i works on some file systems only; an empty path skips the case.
std::string ImmutableFolder(const std::string& scratch) {
  fs::create_directories(scratch + "locked");
  int status = -1;
  testing_support::RunCommand("chattr +i " + Quote(scratch + "locked") + " 2>/dev/null", &status);
  return status == 0 ? scratch + "locked/list.txt" : "";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UnwritablePath,
    testing::Values(
        tpathcase{"OutputUnderAFile",
                  [](const std::string& s) {
                    WriteFile(s + "plain", "x");
                    return s + "plain/out/list.txt";
                  },
                  false,
                  [](const std::string& o) {
                    return "Cannot create the output folder " + o.substr(0, o.size() - 8) +
                           ": Not a directory";
                  }},
        tpathcase{"OutputUnderProc",
                  [](const std::string&) { return std::string("/proc/nabik/out/list.txt"); }, false,
                  [](const std::string&) {
                    return std::string(
                        "Cannot create the output folder /proc/nabik/out/: No such file or "
                        "directory");
                  }},
        tpathcase{"ImmutableOutputFolder", ImmutableFolder, false,
                  [](const std::string& o) {
                    return "Cannot write into the output folder " + FolderPart(o) +
                           ": Operation not permitted";
                  }},
        tpathcase{"WorkFolderIsAFile",
                  [](const std::string& s) {
                    fs::create_directories(s + "out");
                    WriteFile(s + "out/tmp", "x");
                    return s + "out/list.txt";
                  },
                  true,
                  [](const std::string& o) {
                    return "Cannot create the folder " + FolderPart(o) + "tmp: Not a directory";
                  }}),
    [](const auto& info) { return std::string(info.param.Name); });

// A small archive whose one entry inflates to far more than the room left: the extraction stops
// with the system's message, and neither the cut entry nor its temporary file stays.
TEST_F(Faults, AZipBombStopsTheExtractionCleanly) {
  constexpr size_t kInflated = size_t{96} << 20;
  constexpr int kRoomKib = 8 << 10;
  const std::string bomb = dir.Folder() + "bomb.zip";
  {
    const std::string zeros(kInflated, '0');
    MakeZip(bomb, {{"deep/FG-GML-bomb-WA.xml", zeros}});
  }
  ASSERT_LT(fs::file_size(bomb), size_t{1} << 20);
  const BatchRun run = NabikLimited(kRoomKib, Args({MeshFile("ElevPt"), bomb}));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(Unpid(LastLine(run.err)),
            "Cannot write " + out + "tmp/X/0/FG-GML-bomb-WA.xml: File too large");
  EXPECT_TRUE(fs::is_empty(out + "tmp"));
  ExpectWholeSets(out, ExpectedCounts({MeshFile("ElevPt")}), "zip bomb");
}

// ---------------------------------------------------------------------------------------------
// Bulk packages and two runs into one output folder.

// The files of every layer set in `folder`, by name.
std::map<std::string, std::string> SetFiles(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::directory_iterator(folder))
    if (std::set<std::string>{".shp", ".shx", ".dbf", ".prj", ".cpg"}.count(
            item.path().extension()))
      files[item.path().filename()] = ReadFile(item);
  return files;
}

// A package converts into the very sets its contents give as inputs themselves; archives nest
// four levels below it, a deeper one is skipped. Each layer has one source, so order is free.
TEST_F(Faults, BulkPackagesConvertLikeTheirContentsGivenDirectly) {
  const std::string mesh = testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip");
  const std::string rail = MeshFile("RailCL"), railName = fs::path(rail).filename();
  std::vector<std::string> wrapped = {ReadFile(mesh)};  // the mesh archive inside k more
  for (int k = 1; k <= 4; ++k) {
    MakeZip(dir.Path() / "w.zip", {{"w.zip", wrapped.back()}});
    wrapped.push_back(ReadFile(dir.Path() / "w.zip"));
  }
  // Inner archives hold a file named like a loose one beside them (with none of its features).
  MakeZip(dir.Path() / "c.Zip", {{railName, ReadFile(MeshFile("Cntr"))}});
  const std::string c = dir.Folder() + "c.Zip";
  MakeZip(dir.Path() / "PackDLMap.zip", {{"PackDLMap/a.zip", wrapped[3]},
                                         {railName, ReadFile(rail)},
                                         {"c.Zip", ReadFile(c)},
                                         {"d.zip", ReadFile(c)},
                                         {"e.zip", wrapped[4]}});
  const BatchRun run = NabikLimited(0, Args({dir.Folder() + "PackDLMap.zip"}));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(
      Unpid(run.err).find(out + "tmp/X/0/w.zip: archive nested more than 4 levels deep, skipped\n"),
      std::string::npos)
      << run.err;
  EXPECT_TRUE(fs::is_empty(out + "tmp"));
  ASSERT_EQ(NabikLimited(0, "-o " + Quote(dir.Folder() + "direct/list.txt") + " " + Quote(mesh) +
                                " " + Quote(rail) + " " + Quote(c) + " " + Quote(c))
                .status,
            0);
  EXPECT_TRUE(SetFiles(out) == SetFiles(dir.Folder() + "direct/")) << "the sets differ";
}

// A run into a folder whose lock another process holds ends at once, naming the folder, and
// changes nothing there.
TEST_F(Faults, ALockedOutputFolderEndsTheRunAtOnce) {
  ASSERT_EQ(NabikLimited(0, Args({MeshFile("WA")})).status, 0);
  const auto before = FolderContents(out);
  const int held = open((out + kRunLockName).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const BatchRun run =
      NabikLimited(0, Args({testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip")}));
  close(held);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Another run is writing into the output folder " + out +
                         ": nothing was converted; start again when it has ended\n");
  EXPECT_TRUE(FolderContents(out) == before) << "the locked folder changed";
}

// Archives in a row: the next one is extracted ahead while the files of one are converted,
// unseen. The run shows, converts, reports and leaves in the work folder what runs of the
// archives one at a time do: all whole, a damaged second one, a second one unchecked or removed
// meanwhile.
TEST_F(Driver, TheNextArchiveIsExtractedAheadUnseen) {
  auto zipOf = [&](const std::string& zip, const std::vector<std::string>& layers) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::string& layer : layers)
      entries.push_back(
          {"in/" + fs::path(MeshFile(layer)).filename().string(), ReadFile(MeshFile(layer))});
    MakeZip(dir.Path() / zip, entries);
    return dir.Folder() + zip;
  };
  const std::string a = zipOf("a.zip", {"Cntr", "WL"}), b = zipOf("b.zip", {"BldA"}),
                    c = zipOf("c.zip", {"ElevPt"}), bad = zipOf("bad.zip", {"WA", "RdEdg"}),
                    gone = zipOf("gone.zip", {"BldA"});
  std::string raw = ReadFile(bad);
  raw[EntryDataOffsets(raw).at(1) + 20] ^= 0x55;
  WriteFile(bad, raw);
  auto entries = [](const std::string& folder) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) names.insert(item.path().filename());
    return names;
  };
  struct Case {
    const char* what;
    std::vector<std::string> inputs;
    std::vector<std::string> alone;  // the runs of one archive that do the same
    int meanwhile;  // to the second input while the first one's files are converted: 1
                    // unchecked, 2 removed
  };
  for (const Case& k : std::vector<Case>{{"all whole", {a, b, c}, {a, b, c}, 0},
                                         {"the second damaged", {a, bad, c}, {a, bad}, 0},
                                         {"the second unchecked", {a, b, c}, {a, c}, 1},
                                         {"the second removed", {a, gone, c}, {a, gone}, 2}}) {
    fs::remove_all(out);
    RecordingFront run;
    run.output = front.output;
    for (const std::string& input : k.inputs) run.Add(input);
    bool ahead = false;  // the staging folder was there while a file was converted
    tfrontend f = run.Front();
    f.SetStatus = [&](const std::string& s) {
      run.statuses.push_back(s);
      // More extraction folders while the first one's files are converted: the next ones.
      if (s.starts_with(out + "tmp/") && s.ends_with(ProcessingText()) &&
          std::distance(fs::directory_iterator(out + "tmp"), fs::directory_iterator()) >= 2) {
        ahead = true;
        if (k.meanwhile == 1) run.checked[1] = false;
        if (k.meanwhile == 2 && fs::exists(gone)) {
          // Once it is staged whole: its turn must see it gone all the same.
          auto staged = [&] {
            for (const auto& item : fs::directory_iterator(out + "tmp"))
              if (fs::exists(item.path() / "0" / fs::path(MeshFile("BldA")).filename()))
                return true;
            return false;
          };
          for (int wait = 0; wait < 500 && !staged(); ++wait) usleep(10000);
          fs::remove(gone);
        }
      }
    };
    RunConversion(f);
    const auto sets = SetFiles(out);
    const auto left = entries(out + "tmp");
    EXPECT_TRUE(left.empty()) << k.what << ": every extraction folder is removed";
    fs::remove_all(out);
    std::vector<std::string> statuses;
    std::string closing;
    for (const std::string& input : k.alone) {
      RecordingFront one;
      one.output = front.output;
      one.Add(input);
      one.Run();
      // The closing texts come once, at the end: those of the last run.
      if (&input != &k.alone.back() && one.statuses.size() >= 2)
        one.statuses.resize(one.statuses.size() - 2);
      statuses.insert(statuses.end(), one.statuses.begin(), one.statuses.end());
      closing = one.messages.back();
    }
    EXPECT_TRUE(ahead) << k.what;
    for (std::string& status : run.statuses) status = Unpid(status);
    for (std::string& status : statuses) status = Unpid(status);
    EXPECT_EQ(run.statuses, statuses) << k.what;
    EXPECT_EQ(run.messages.back(), closing) << k.what;
    EXPECT_TRUE(SetFiles(out) == sets) << k.what << ": the sets differ";
    EXPECT_EQ(entries(out + "tmp"), left) << k.what;
  }
}

// A stop asked for while the elevation mosaics are written ends the run before the next raster,
// as between input files: the run is stopped, and neither the run list nor a map file is written.
TEST_F(Driver, AStopWhileTheMosaicsAreWrittenEndsTheRun) {
  const std::string dem = std::string(NABIK_SOURCE_DIR) + "/tests/data/dem/";
  for (const char* file : {"FG-GML-5238-74-00-DEM5A-20161001.xml", "FG-GML-3926-76-DEM10B.zip"})
    front.Add(dem + file);
  tfrontend f = front.Front();
  f.SetStatus = [&](const std::string& s) {
    front.statuses.push_back(s);
    if (s.find(".tif") != std::string::npos) StopSignal = SIGINT;  // the first raster begins
  };
  const tRunResult result = RunConversion(f);
  StopSignal = 0;
  EXPECT_EQ(result, tRunResult::Stopped);
  EXPECT_EQ(RunTally.StopSignal, SIGINT);
  EXPECT_FALSE(fs::exists(out + "list.txt"));
  EXPECT_FALSE(fs::exists(out + "ms4w"));
  EXPECT_FALSE(fs::exists(out + "dem5m.vrt"));
  int tifs = 0;
  for (const std::string& s : front.statuses) tifs += s.find(".tif") != std::string::npos;
  EXPECT_EQ(tifs, 1);
}

// ---------------------------------------------------------------------------------------------
// Runs that are stopped or killed, and what the next run into the folder makes of it.

// Starts build/nabik with `args` (one per element); its standard error comes through `err`.
pid_t StartNabik(const std::vector<std::string>& args, FILE*& err) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  // A small pipe: the program runs at most a few status lines ahead of the reader.
  fcntl(pipeFds[0], F_SETPIPE_SZ, 4096);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 2);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<std::string> all = {std::string(NABIK_BINARY_DIR) + "/nabik"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  err = fdopen(pipeFds[0], "r");
  return pid;
}

// Reads `lines` lines of `err`, then the rest after `then` ran; the text of that rest.
std::string ReadLines(
    FILE* err, int lines, const std::function<void()>& then = [] {}) {
  char line[8192];
  for (int n = 0; n != lines && fgets(line, sizeof line, err); ++n) {
  }
  then();
  std::string rest;
  while (fgets(line, sizeof line, err)) rest += line;
  fclose(err);
  return rest;
}

// The exit status, or minus the signal that ended it.
int WaitFor(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Runs of archives in a row (extraction, the next one staged, large writes) stopped at random
// moments by SIGKILL, SIGINT or SIGTERM: after a random one of its status lines and a random
// wait. A stopped run exits 130 with its message and leaves its sets whole and nothing of its own
// in tmp/; a killed one may leave its extraction folders. Either way the same command again
// makes sets byte for byte those of a clean run, and a file of the user's in tmp/ stays.
TEST_F(Faults, StoppedAndKilledRunsThenTheSameCommandGiveTheCleanSets) {
  const std::string mesh = testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip");
  const std::string jpgis = testing_support::Sample("jpgis/FG-JPS-13112-05-Z001.zip");
  auto command = [&](const std::string& output) {
    std::vector<std::string> args = {"--settings", kDemoSettings, "-o", output + "list.txt"};
    for (int k = 0; k < 4; ++k) args.insert(args.end(), {mesh, jpgis});
    return args;
  };
  FILE* err = nullptr;
  pid_t pid = StartNabik(command(dir.Folder() + "clean/"), err);
  const std::string cleanErr = ReadLines(err, 0);
  ASSERT_EQ(WaitFor(pid), 0) << cleanErr;
  // The lines after which a stop still meets the run: more than the small pipe holds follows
  // them, so the run waits for the reader before it can end.
  int statusLines = 0;
  for (size_t at = 0; (at = cleanErr.find('\n', at)) != std::string::npos; ++at)
    if (cleanErr.size() - at > 8192) ++statusLines;
  ASSERT_GT(statusLines, 20);
  const auto clean = SetFiles(dir.Folder() + "clean/");
  const std::string list = ReadFile(dir.Folder() + "clean/list.txt");
  const std::string user = "a note of the user's\n";
  std::mt19937 random(19);
  int leftBehind = 0, stopped = 0;
  std::vector<int> signals(10, SIGKILL);
  signals.insert(signals.end(), {SIGINT, SIGINT, SIGTERM});
  for (size_t trial = 0; trial < signals.size(); ++trial) {
    const int signal = signals[trial];
    const std::string output = dir.Folder() + "run" + std::to_string(trial) + "/";
    const std::string what = std::string(strsignal(signal)) + " into " + output;
    fs::create_directories(output + "tmp");
    WriteFile(output + "tmp/notes.txt", user);
    pid = StartNabik(command(output), err);
    const int after = 1 + static_cast<int>(random() % statusLines);
    const std::string rest = ReadLines(err, after, [&] {
      usleep(static_cast<useconds_t>(random() % 3000));
      kill(pid, signal);
    });
    const int status = WaitFor(pid);
    ASSERT_TRUE(status == -signal || (signal != SIGKILL && status == 130))
        << what << ": " << status << " " << rest;
    if (status == -signal) {
      // What the kill met: extraction folders left (two: the next archive was being staged),
      // entries cut in the middle of their extraction.
      int folders = 0, cut = 0;
      for (const auto& item : fs::recursive_directory_iterator(output + "tmp")) {
        folders += item.is_directory() && item.path().parent_path() == output + "tmp";
        cut += item.path().extension() == ".part";
      }
      std::cerr << "killed after status line " << after << ": " << folders
                << " extraction folders, " << cut << " entries cut, left\n";
      leftBehind += folders > 0;
    } else {
      ++stopped;
      EXPECT_EQ(LastLine(rest), "nabik: the run was interrupted by " +
                                    std::string(signal == SIGINT ? "SIGINT" : "SIGTERM") +
                                    "; the layer sets hold the files converted before it, no list "
                                    "or map file was written, and what it extracted is removed")
          << what;
      EXPECT_FALSE(fs::exists(output + "list.txt")) << what;
      EXPECT_EQ(FolderContents(output + "tmp").size(), 1u) << what << ": only the user's file";
      ExpectWholeSets(output, {}, what, false);
    }
    pid = StartNabik(command(output), err);
    const std::string again = ReadLines(err, 0);
    ASSERT_EQ(WaitFor(pid), 0) << what << ": " << again;
    EXPECT_TRUE(SetFiles(output) == clean) << what << ": the sets differ from a clean run's";
    EXPECT_EQ(ReadFile(output + "list.txt"), list) << what;
    EXPECT_EQ(FolderContents(output + "tmp"),
              (std::map<std::string, std::string>{{"notes.txt", user}}))
        << what;
    fs::remove_all(output);
  }
  EXPECT_EQ(stopped, 3);
  std::cerr << leftBehind
            << " of 10 killed runs left extraction folders, removed by the next run\n";
}

// ---------------------------------------------------------------------------------------------
// Runs whose files are read on several threads (--jobs).

// `text` with every `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// Every file a run left in `folder`, its path there replaced by "OUT/" and extraction folders
// by tmp/X/: what two runs into two folders must agree on.
std::map<std::string, std::string> RunOutput(const std::string& folder) {
  std::map<std::string, std::string> files = FolderContents(folder);
  for (auto& [name, content] : files) content = Unpid(Replaced(content, folder, "OUT/"));
  return files;
}

// Sets NABIK_READER_DELAY_SEED while alive (nothing for a null seed): the readers then wait a
// few hundred microseconds at random before each block.
struct ReaderDelays {
  explicit ReaderDelays(const char* seed) {
    if (seed) setenv("NABIK_READER_DELAY_SEED", seed, 1);
  }
  ~ReaderDelays() { unsetenv("NABIK_READER_DELAY_SEED"); }
};

// The archives of the samples and the 503041 files given loose, several of them twice, and a
// bulk package (made in `folder`) of two mesh archives with a file between them.
std::vector<std::string> SampleInputs(const std::string& folder) {
  std::vector<std::string> inputs = {testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip")};
  for (const auto& item : fs::directory_iterator(testing_support::Sample(kMesh)))
    inputs.push_back(item.path());
  std::sort(inputs.begin() + 1, inputs.end());
  inputs.push_back(testing_support::Sample("jpgis/FG-JPS-13112-05-Z001.zip"));
  auto zipped = [](const std::vector<std::string>& files) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::string& file : files)
      entries.push_back({fs::path(file).filename(), ReadFile(file)});
    return entries;
  };
  MakeZip(folder + "FG-GML-503041-a.zip", zipped({MeshFile("WL"), MeshFile("BldA")}));
  MakeZip(folder + "FG-GML-503041-b.zip", zipped({MeshFile("RdEdg"), MeshFile("Cntr")}));
  MakeZip(folder + "PackDLMap.zip",
          zipped({folder + "FG-GML-503041-a.zip", MeshFile("WA"), folder + "FG-GML-503041-b.zip"}));
  inputs.push_back(folder + "PackDLMap.zip");
  inputs.push_back(inputs.front());
  inputs.push_back(MeshFile("Cntr"));
  return inputs;
}

// With 2 or 7 reader threads, slowed at random or not, in the data's CRS or a target one, a run
// writes the bytes --jobs 1 writes: sets, run list, map file, and the same status lines.
TEST_F(Faults, ReaderThreadsWriteTheBytesOfOneThread) {
  struct tcase {
    const char* Jobs;
    const char* DelaySeed;  // null: no delays
    std::string Crs;
  };
  const std::vector<tcase> cases = {{"2", nullptr, ""},      {"7", nullptr, ""},
                                    {"2", "5", ""},          {"7", "11", ""},
                                    {"7", "3", "EPSG:6677"}, {"3", nullptr, "EPSG:6677"}};
  std::map<std::string, std::pair<std::map<std::string, std::string>, std::string>> oneThread;
  auto run = [&](const std::string& folder, const char* jobs, const std::string& crs) {
    std::string args = "--settings " + Quote(kDemoSettings) + " --jobs " + jobs + " -o " +
                       Quote(folder + "list.txt");
    if (!crs.empty()) args += " --crs " + crs;
    for (const std::string& input : SampleInputs(dir.Folder())) args += " " + Quote(input);
    const BatchRun done = Nabik(args);
    EXPECT_EQ(done.status, 0) << done.err;
    return std::pair{RunOutput(folder), Unpid(Replaced(done.err, folder, "OUT/"))};
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const tcase& c = cases[i];
    const std::string what = std::string("--jobs ") + c.Jobs + (c.DelaySeed ? ", delays" : "") +
                             (c.Crs.empty() ? "" : " --crs " + c.Crs);
    if (!oneThread.count(c.Crs))
      oneThread[c.Crs] = run(dir.Folder() + "one" + std::to_string(i) + "/", "1", c.Crs);
    const auto& [files, err] = oneThread[c.Crs];
    ASSERT_GT(files.size(), 60u);
    const ReaderDelays delays(c.DelaySeed);
    const auto [manyFiles, manyErr] = run(dir.Folder() + std::to_string(i) + "/", c.Jobs, c.Crs);
    EXPECT_TRUE(manyFiles == files) << what << ": the output differs";
    EXPECT_EQ(manyErr, err) << what;
  }
}

// A sample file with its features repeated `times`: a large input of real lines.
std::string RepeatedFeatures(const std::string& layer, int times) {
  const std::string xml = ReadFile(MeshFile(layer));
  const size_t first = xml.find("<" + layer + " "), end = xml.rfind("</Dataset>");
  std::string big = xml.substr(0, first);
  big.reserve(xml.size() * times);
  for (int i = 0; i < times; ++i) big.append(xml, first, end - first);
  return big + "</Dataset>\n";
}

// The peak memory in KiB of a shell command (run through exec, so the peak is the program's).
long PeakKib(const std::string& command) {
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", ("exec " + command + " 2>/dev/null").c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  return usage.ru_maxrss;
}

// Whatever the files and their order, blocks waiting for their turn are held only up to a limit:
// a run on N reader threads over two large files (whose turns come after long writes) peaks
// below 64 MB + 32 MB per thread.
TEST_F(Faults, ReaderThreadsHoldMemoryWithinTheirLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own memory would be measured";
#endif
  const std::string bldA = dir.Folder() + "FG-GML-503041-BldA-big.xml";
  const std::string cntr = dir.Folder() + "FG-GML-503041-Cntr-big.xml";
  WriteFile(bldA, RepeatedFeatures("BldA", 760));  // 130 MB each
  WriteFile(cntr, RepeatedFeatures("Cntr", 650));
  for (const auto& [jobs, inputs] : std::vector<std::pair<int, std::vector<std::string>>>{
           {2, {cntr, bldA}}, {3, {bldA, cntr, bldA}}}) {
    fs::remove_all(out);
    const long peak = PeakKib(std::string(NABIK_BINARY_DIR) + "/nabik -q --jobs " +
                              std::to_string(jobs) + " " + Args(inputs));
    ASSERT_GT(peak, 0) << jobs;
    EXPECT_LE(peak, (64 + 32 * jobs) * 1024) << "--jobs " << jobs << ", " << inputs.size();
  }
}

// A count of reader threads that is no whole number from 1 to 256 is a usage error.
TEST_F(Faults, ABadJobCountIsAUsageError) {
  for (const std::string jobs : {"0", "-2", "x", "2x", "257", " 3", ""}) {
    const BatchRun run = Nabik("--jobs '" + jobs + "' " + Args({MeshFile("WL")}));
    EXPECT_EQ(run.status, 2) << jobs;
    EXPECT_TRUE(run.err.starts_with("nabik: --jobs needs a number of threads from 1 to 256, not"))
        << jobs << ": " << run.err;
    EXPECT_FALSE(fs::exists(out)) << jobs;
  }
  EXPECT_EQ(Nabik("--jobs").status, 2);
}

// A file that fails (a number that does not convert, past its first blocks) in the middle of
// the inputs ends a run on 7 readers as it ends one on one: message, exit status, set bytes.
TEST_F(Faults, TheFirstFailureEndsARunOnReaderThreadsAsOnOne) {
  const std::string cntr = ReadFile(MeshFile("Cntr"));
  const size_t body = cntr.find("<Cntr "), end = cntr.rfind("</Dataset>");
  std::string bad = cntr.substr(0, body);
  for (int k = 0; k < 30; ++k) bad += cntr.substr(body, end - body);
  bad += cntr.substr(end);
  const size_t line = bad.find("\n33.", bad.size() * 3 / 5) + 3;
  bad.insert(line, "x");
  WriteFile(dir.Path() / "FG-GML-503041-Cntr-bad.xml", bad);
  std::vector<std::string> inputs = SampleInputs(dir.Folder());
  inputs.insert(inputs.begin() + static_cast<long>(inputs.size() / 2),
                dir.Folder() + "FG-GML-503041-Cntr-bad.xml");
  std::map<std::string, std::string> oneSets;
  BatchRun one;
  for (const auto& [jobs, seed] : std::vector<std::pair<std::string, const char*>>{
           {"1", nullptr}, {"7", nullptr}, {"7", "7"}}) {
    const std::string folder = dir.Folder() + "j" + jobs + (seed ? "d/" : "/");
    const ReaderDelays delays(seed);
    std::string args = "--quiet --jobs " + jobs + " -o " + Quote(folder + "list.txt");
    for (const std::string& input : inputs) args += " " + Quote(input);
    const BatchRun run = Nabik(args);
    if (jobs == "1") {
      ASSERT_EQ(run.status, 1) << run.err;
      ASSERT_NE(run.err.find("FG-GML-503041-Cntr-bad.xml: '33x."), std::string::npos) << run.err;
      one = {run.status, Unpid(Replaced(run.err, folder, "OUT/"))};
      oneSets = SetFiles(folder);
      continue;
    }
    EXPECT_EQ(run.status, one.status) << jobs;
    EXPECT_EQ(Unpid(Replaced(run.err, folder, "OUT/")), one.err) << jobs;
    EXPECT_TRUE(SetFiles(folder) == oneSets) << "--jobs " << jobs << ": the sets differ";
    EXPECT_FALSE(fs::exists(folder + "list.txt"));
    EXPECT_TRUE(fs::is_empty(folder + "tmp"));
  }
}

// The GeoPackage of a run on 7 readers holds the features of a run on one, in the same order.
TEST_F(Faults, AGeoPackageOnReaderThreadsHoldsTheFeaturesOfOneThread) {
  GDALAllRegister();
  auto contents = [&](const std::string& jobs) {
    std::string args =
        "--quiet --format GPKG --jobs " + jobs + " -o " + Quote(dir.Folder() + jobs + "/list.txt");
    for (const std::string& input : SampleInputs(dir.Folder())) args += " " + Quote(input);
    const BatchRun run = Nabik(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::string> layers;
    GDALDatasetH gpkg =
        GDALOpenEx((dir.Folder() + jobs + "/list.gpkg").c_str(), GDAL_OF_VECTOR, 0, 0, 0);
    if (!gpkg) return layers;
    for (int i = 0; i < GDALDatasetGetLayerCount(gpkg); ++i) {
      OGRLayerH layer = GDALDatasetGetLayer(gpkg, i);
      std::string& text = layers[OGR_L_GetName(layer)];
      while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
        for (int k = 0; k < OGR_F_GetFieldCount(f); ++k)
          text += std::string(OGR_F_GetFieldAsString(f, k)) + "|";
        char* wkt = nullptr;
        if (OGRGeometryH g = OGR_F_GetGeometryRef(f)) OGR_G_ExportToWkt(g, &wkt);
        text += (wkt ? wkt : "-") + std::string("\n");
        CPLFree(wkt);
        OGR_F_Destroy(f);
      }
    }
    GDALClose(gpkg);
    return layers;
  };
  const auto one = contents("1");
  ASSERT_GT(one.size(), 15u);
  EXPECT_GT(one.at("BldA").size(), 10000u);
  EXPECT_TRUE(contents("7") == one) << "the features differ";
}

// A run on 7 readers, slowed at random, stopped by SIGINT or SIGTERM after a random status line
// exits 130 with whole sets; the same command again gives the sets of a clean run on one thread.
TEST_F(Faults, AStoppedRunOnReaderThreadsThenTheSameCommandGiveTheCleanSets) {
  const std::string mesh = testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip");
  const std::string jpgis = testing_support::Sample("jpgis/FG-JPS-13112-05-Z001.zip");
  auto command = [&](const std::string& output, const char* jobs) {
    std::vector<std::string> args = {"--settings", kDemoSettings, "--jobs",
                                     jobs,         "-o",          output + "list.txt"};
    for (int k = 0; k < 4; ++k) args.insert(args.end(), {mesh, jpgis});
    return args;
  };
  FILE* err = nullptr;
  pid_t pid = StartNabik(command(dir.Folder() + "clean/", "1"), err);
  const std::string cleanErr = ReadLines(err, 0);
  ASSERT_EQ(WaitFor(pid), 0) << cleanErr;
  int statusLines = 0;
  for (size_t at = 0; (at = cleanErr.find('\n', at)) != std::string::npos; ++at)
    if (cleanErr.size() - at > 8192) ++statusLines;
  const auto clean = SetFiles(dir.Folder() + "clean/");
  std::mt19937 random(23);
  const ReaderDelays delays("13");
  for (const int signal : {SIGINT, SIGTERM, SIGINT}) {
    const std::string output = dir.Folder() + "run" + std::to_string(random()) + "/";
    pid = StartNabik(command(output, "7"), err);
    const int after = 1 + static_cast<int>(random() % statusLines);
    const std::string rest = ReadLines(err, after, [&] { kill(pid, signal); });
    ASSERT_EQ(WaitFor(pid), 130) << "after line " << after << ": " << rest;
    EXPECT_EQ(LastLine(rest).rfind("nabik: the run was interrupted by ", 0), 0u) << rest;
    EXPECT_TRUE(fs::is_empty(output + "tmp"));
    ExpectWholeSets(output, {}, "stopped after line " + std::to_string(after), false);
    pid = StartNabik(command(output, "7"), err);
    const std::string again = ReadLines(err, 0);
    ASSERT_EQ(WaitFor(pid), 0) << again;
    EXPECT_TRUE(SetFiles(output) == clean) << "after line " << after << ": the sets differ";
  }
}

// A bulk package holding two meshes' archives under one name in two folders converts both, one
// after the other in the order of their stored names, into the sets the two archives give as
// inputs in that order.
TEST_F(Faults, TwoArchivesOfOneNameInABulkPackageBothConvert) {
  const std::string second = testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip");
  std::vector<std::pair<std::string, std::string>> meshFiles;
  for (const char* layer : {"Cntr", "WA", "WL", "BldA", "RdEdg", "ElevPt"})
    meshFiles.push_back({fs::path(MeshFile(layer)).filename(), ReadFile(MeshFile(layer))});
  MakeZip(dir.Path() / "first.zip", meshFiles);
  MakeZip(dir.Path() / "bulk.zip",
          {{"b/mesh.zip", ReadFile(second)}, {"a/mesh.zip", ReadFile(dir.Path() / "first.zip")}});
  ASSERT_EQ(NabikLimited(0, Args({dir.Folder() + "bulk.zip"})).status, 0);
  const BatchRun direct =
      NabikLimited(0, "-o " + Quote(dir.Folder() + "direct/list.txt") + " " +
                          Quote(dir.Folder() + "first.zip") + " " + Quote(second));
  ASSERT_EQ(direct.status, 0) << direct.err;
  const auto sets = SetFiles(out);
  EXPECT_TRUE(sets == SetFiles(dir.Folder() + "direct/")) << "the sets differ";
  EXPECT_GT(CountSet(out + "ElevPt").shapes, CountFeatures(ReadFile(MeshFile("ElevPt")), "ElevPt"))
      << "both meshes are in the set";
  EXPECT_TRUE(fs::is_empty(out + "tmp"));
}

// Output paths whose list would destroy something are refused before anything is written; an
// output folder that takes no file is found before anything is extracted.
TEST_F(Faults, OutputPathsThatWouldDestroySomethingAreRefused) {
  const std::string zip = dir.Folder() + "in.zip", xml = dir.Folder() + "in-WA.xml";
  fs::copy_file(testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip"), zip);
  fs::copy_file(MeshFile("WA"), xml);
  WriteFile(dir.Path() / "old-list", "<?xml version=\"1.0\"?>\n");
  fs::create_directories(dir.Path() / "results");
  struct Case {
    const char* what;
    std::string output, input, message;
  };
  for (const Case& c : std::vector<Case>{
           {"a folder", dir.Folder() + "results", zip,
            "nabik: the output " + dir.Folder() +
                "results is a folder; name the list file in "
                "it: -o " +
                dir.Folder() + "results/list.txt\n"},
           {"the input", zip, zip,
            "nabik: the output " + zip + " is the input " + zip +
                "; the list of inputs would replace it\n"},
           {"an input by another path", dir.Folder() + "results/../in-WA.xml", xml,
            "nabik: the output " + dir.Folder() + "results/../in-WA.xml is the input " + xml +
                "; the list of inputs would replace it\n"},
           {"another archive", zip, xml,
            "nabik: the output " + zip +
                " is an archive or XML file; the list of inputs would replace it\n"},
           {"an XML file by its content", dir.Folder() + "old-list", xml,
            "nabik: the output " + dir.Folder() +
                "old-list is an archive or XML file; the list of inputs would replace it\n"}}) {
    const auto before = FolderContents(dir.Path());
    const BatchRun run = NabikLimited(0, "-o " + Quote(c.output) + " " + Quote(c.input));
    EXPECT_EQ(run.status, 2) << c.what;
    EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), c.message) << c.what;
    EXPECT_TRUE(FolderContents(dir.Path()) == before) << c.what << ": something was written";
  }
  // A folder the user may not write into: nothing is extracted into its tmp/ either.
  if (!testing_support::HaveProgram("setpriv")) GTEST_SKIP() << "no setpriv";
  fs::create_directories(dir.Path() / "theirs");
  fs::permissions(dir.Path(), fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  fs::permissions(zip, fs::perms::others_read, fs::perm_options::add);
  const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  // The program and its catalog copied where that user may read them: the clone may lie in a
  // folder only its owner can enter (/root, mktemp -d).
  const fs::path program = dir.Path() / "program";
  fs::create_directories(program);
  for (const char* file : {"nabik", "nabik.csv"})
    fs::copy_file(fs::path(NABIK_BINARY_DIR) / file, program / file);
  fs::permissions(program, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(program / "nabik.csv", fs::perms::others_read, fs::perm_options::add);
  // Under ThreadSanitizer its suppressions file as well, for the same reason.
  std::string options;
  if (const char* tsan = std::getenv("TSAN_OPTIONS"); tsan && std::strstr(tsan, "suppressions=")) {
    options = tsan;
    const size_t from = options.find("suppressions=") + std::strlen("suppressions=");
    const size_t to = std::min(options.find(' ', from), options.size());
    fs::copy_file(options.substr(from, to - from), program / "tsan.supp");
    fs::permissions(program / "tsan.supp", fs::perms::others_read, fs::perm_options::add);
    options =
        "env TSAN_OPTIONS=" + Quote(options.replace(from, to - from, program / "tsan.supp")) + " ";
  }
  int status = -1;
  const std::string said = testing_support::RunCommand(
      asNobody + options + (program / "nabik").string() + " --quiet -o " +
          Quote(dir.Folder() + "theirs/list.txt") + " " + Quote(zip) + " 2>&1",
      &status);
  EXPECT_EQ(status, 1) << said;
  EXPECT_EQ(said,
            "Cannot write into the output folder " + dir.Folder() + "theirs/: Permission denied\n");
  EXPECT_TRUE(fs::is_empty(dir.Path() / "theirs"));
}

// Files the reader must not take for something else: lone CR line ends read like CR LF, a line
// too long ends the run naming the file and line, and a large file's shapes refused by the disk
// are reported with the system's reason. Every set stays whole.
TEST_F(Faults, LineEndsLongLinesAndRefusedWritesAreToldPlainly) {
  const std::string rdEdg = ReadFile(MeshFile("RdEdg"));
  std::string crOnly;
  for (const char c : rdEdg)
    if (c != '\n') crOnly += c;
  const std::string cr = dir.Folder() + "FG-GML-503041-RdEdg-cr.xml";
  WriteFile(cr, crOnly);
  const std::string cntr = ReadFile(MeshFile("Cntr"));
  const size_t first = cntr.find("<Cntr "), last = cntr.rfind("</Dataset>");
  std::string big = cntr.substr(0, first);
  for (int k = 0; k < 30; ++k) big += cntr.substr(first, last - first);
  big += cntr.substr(last);
  const std::string large = dir.Folder() + "FG-GML-large-Cntr.xml";
  WriteFile(large, big);
  const std::string longLine = dir.Folder() + "FG-GML-long-WA.xml";
  WriteFile(longLine, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Dataset>" +
                          std::string(size_t{16} << 20, ' ') + "\n</Dataset>\n");
  struct Case {
    const char* what;
    std::string input;
    int limitKib, status;
    std::string lastLine;
  };
  for (const Case& c :
       std::vector<Case>{{"lone CR ends", cr, 0, 0, ""},
                         {"a line of 16 MB", longLine, 0, 1,
                          longLine + ": line 2 is longer than 8 MB; the file was not read further"},
                         {"a large file's shapes refused", large, 1024, 1,
                          large + ": cannot write a shape of the layer Cntr into " + out +
                              "Cntr.shp: File too large"}}) {
    fs::remove_all(out);
    const BatchRun run = NabikLimited(c.limitKib, Args({c.input}));
    EXPECT_EQ(run.status, c.status) << c.what << ": " << run.err;
    if (!c.lastLine.empty()) {
      EXPECT_EQ(LastLine(run.err), c.lastLine) << c.what;
    }
    ExpectWholeSets(out, {}, c.what, false);
  }
  // The CR-only file gives the very set its CR LF original gives.
  fs::remove_all(out);
  ASSERT_EQ(NabikLimited(0, Args({cr})).status, 0);
  const auto crSets = SetFiles(out);
  ASSERT_EQ(NabikLimited(
                0, "-o " + Quote(dir.Folder() + "crlf/list.txt") + " " + Quote(MeshFile("RdEdg")))
                .status,
            0);
  EXPECT_EQ(CountSet(out + "RdEdg").shapes, CountFeatures(rdEdg, "RdEdg"));
  EXPECT_TRUE(crSets == SetFiles(dir.Folder() + "crlf/")) << "the CR-only file reads otherwise";
}

// Standard error closed, or read by a program that goes away at once: the run goes on to its end
// and makes the sets a run with standard error gives.
TEST_F(Faults, AClosedStandardErrorDoesNotEndTheRun) {
  const std::string mesh = testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip");
  const std::string nabik =
      std::string(NABIK_BINARY_DIR) + "/nabik --settings " + Quote(kDemoSettings) + " -o ";
  ASSERT_EQ(Nabik("--settings " + Quote(kDemoSettings) + " -o " +
                  Quote(dir.Folder() + "clean/list.txt") + " " + Quote(mesh))
                .status,
            0);
  const auto clean = SetFiles(dir.Folder() + "clean/");
  struct Case {
    const char* what;
    std::string command;  // %o: the output file
  };
  for (const Case& c :
       std::vector<Case>{{"closed", nabik + "%o " + Quote(mesh) + " 2>&-; echo $?"},
                         {"a reader gone", "{ (" + nabik + "%o " + Quote(mesh) +
                                               " 2>&1; echo $? >&3) | true; } 3>&1"}}) {
    const std::string output = dir.Folder() + c.what + "/";
    std::string command = c.command;
    command.replace(command.find("%o"), 2, Quote(output + "list.txt"));
    WriteFile(dir.Path() / "run.sh", command + "\n");
    const std::string said = testing_support::RunCommand("bash " + Quote(dir.Folder() + "run.sh"));
    EXPECT_EQ(said, "0\n") << c.what;
    EXPECT_TRUE(SetFiles(output) == clean) << c.what;
    EXPECT_TRUE(fs::exists(output + "list.txt")) << c.what;
  }
}

}  // namespace
