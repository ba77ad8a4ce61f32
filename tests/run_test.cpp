// Conversion driver: flat zip extraction, the run over real and made-up inputs, batch mode.
#include <gtest/gtest.h>
#include <shapefil.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "catalog/catalog.h"
#include "run/driver.h"
#include "run/unzip.h"
#include "shpctl/errors.h"
#include "shpctl/shpctl.h"
#include "shpctl/text.h"
#include "support/test_support.h"
#include "susetu/susetu.h"
#include "unlha32/unlha32.h"

using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;
namespace fs = std::filesystem;

namespace {

// Writes a zip archive with the given stored names and contents (a name ending in '/' is a
// folder entry).
void MakeZip(const fs::path& path,
             const std::vector<std::pair<std::string, std::string>>& entries) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(zip, nullptr);
  for (const auto& [name, content] : entries) {
    if (!name.empty() && name.back() == '/') {
      ASSERT_GE(zip_dir_add(zip, name.c_str(), ZIP_FL_ENC_RAW), 0) << name;
      continue;
    }
    zip_source_t* source = zip_source_buffer(zip, content.data(), content.size(), 0);
    ASSERT_GE(zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_RAW | ZIP_FL_OVERWRITE), 0)
        << name << ": " << zip_strerror(zip);
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

TEST(ExtractZipFlat, EveryEntryLandsInsideTheFolder) {
  ScratchDir dir;
  fs::create_directory(dir.Path() / "work");
  WriteFile(dir.Path() / "work" / "same.xml", "old");
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
  ExtractZipFlat(dir.Folder() + "a.zip", dir.Folder() + "work");
  const std::map<std::string, std::string> expected = {
      {"top.xml", "1"}, {"deep.xml", "2"}, {"same.xml", "second"}, {"escape.xml", "3"},
      {"abs.xml", "4"}, {"win.xml", "5"},  {kanji, "7"},           {"noext", "8"}};
  EXPECT_EQ(FolderContents(dir.Path() / "work"), expected);
  // Nothing was written outside the work folder.
  EXPECT_EQ(FolderContents(dir.Path()).size(), expected.size() + 1);  // + a.zip
}

TEST(ExtractZipFlat, ReportsArchivesItCannotRead) {
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
      ExtractZipFlat(c.archive, dir.Folder() + "work");
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
  EXPECT_THROW(ExtractZipFlat(dir.Folder() + "crc.zip", dir.Folder() + "work"), NabikError);
  EXPECT_TRUE(fs::is_empty(dir.Path() / "work")) << "no half-written file stays behind";
  // A work folder that is missing.
  MakeZip(dir.Path() / "ok.zip", {{"a.xml", "x"}});
  EXPECT_THROW(ExtractZipFlat(dir.Folder() + "ok.zip", dir.Folder() + "missing"), NabikError);
}

TEST(ExtractZipFlat, RealSampleArchive) {
  ScratchDir dir;
  ExtractZipFlat(testing_support::Sample("gml/FG-GML-503060-ALL-20170401.zip"), dir.Folder());
  const auto files = FolderContents(dir.Path());
  EXPECT_EQ(files.size(), 15u);  // 14 feature files and the metadata file
  ASSERT_TRUE(files.count("FG-GML-503060-Cntr-20170401-0001.xml"));
  EXPECT_EQ(files.at("FG-GML-503060-Cntr-20170401-0001.xml").size(), 214886u);
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

// Shapes and records of a layer set as shapelib reads them back.
struct SetCounts {
  int shapes = -1, records = -1;
};
SetCounts CountSet(const std::string& base) {
  SetCounts c;
  if (SHPHandle shp = SHPOpen(base.c_str(), "rb")) {
    SHPGetInfo(shp, &c.shapes, nullptr, nullptr, nullptr);
    SHPClose(shp);
  }
  if (DBFHandle dbf = DBFOpen(base.c_str(), "rb")) {
    c.records = DBFGetRecordCount(dbf);
    DBFClose(dbf);
  }
  return c;
}

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

TEST_F(Driver, ArchivesAreExtractedFlatConvertedAndDeleted) {
  // Two archives feeding one layer, one written .Zip; a leftover file in the work folder; an
  // entry in a subfolder; two entries of the same name (the later wins).
  const std::string cntr = Xml(kMesh + "FG-GML-503041-Cntr-20181001-0001.xml");
  const std::string wl = Xml(kMesh + "FG-GML-503041-WL-20181001-0001.xml");
  const std::string bldA = Xml(kMesh + "FG-GML-503041-BldA-20181001-0001.xml");
  MakeZip(dir.Path() / "one.Zip", {{"deep/dir/FG-GML-503041-Cntr-20181001-0001.xml", cntr},
                                   {"a/FG-WL-x.xml", "not this one"},
                                   {"b/FG-WL-x.xml", wl}});
  MakeZip(dir.Path() / "two.zip", {{"FG-GML-503041-Cntr-copy.xml", cntr}});
  fs::create_directories(out + "tmp");
  WriteFile(out + "tmp/left-over-BldA.xml", bldA);
  front.Add(dir.Folder() + "one.Zip");
  front.Add(dir.Folder() + "two.zip");
  EXPECT_EQ(front.Run(), tRunResult::Finished)
      << (front.messages.empty() ? "" : front.messages.back());
  const int perFile = CountFeatures(cntr, "Cntr");
  EXPECT_EQ(CountSet(out + "Cntr").shapes, 2 * perFile) << "the second archive appends";
  EXPECT_EQ(CountSet(out + "Cntr").records, 2 * perFile);
  EXPECT_EQ(CountSet(out + "WL").shapes, CountFeatures(wl, "WL"));
  EXPECT_EQ(CountSet(out + "BldA").shapes, CountFeatures(bldA, "BldA")) << "left-over file";
  EXPECT_TRUE(fs::is_empty(out + "tmp")) << "extracted files are deleted, the folder stays";
  // Status texts of the archive steps.
  EXPECT_EQ(std::count(front.statuses.begin(), front.statuses.end(), Sjis("解凍中")), 2);
  EXPECT_NE(std::find(front.statuses.begin(), front.statuses.end(), out + "tmp/FG-WL-x.xml"),
            front.statuses.end());
  EXPECT_NE(std::find(front.statuses.begin(), front.statuses.end(),
                      out + "tmp/FG-WL-x.xml" + Sjis("処理中")),
            front.statuses.end());

  // A second run in the same folder creates the sets afresh.
  front.checked = {false, true};
  EXPECT_EQ(front.Run(), tRunResult::Finished);
  EXPECT_EQ(CountSet(out + "Cntr").shapes, perFile);
  EXPECT_EQ(CountSet(out + "WL").shapes, CountFeatures(wl, "WL")) << "sets not met stay";
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
  EXPECT_EQ(run.err, "変換が終了しました\n");

  // What the inputs hold, per layer: every feature start tag of the type.
  ASSERT_TRUE(LoadLayerCatalogFrom(std::string(NABIK_SOURCE_DIR) + "/data/nabik.csv"));
  std::vector<std::string> xmls;
  fs::create_directories(dir.Path() / "unzipped");
  for (const std::string& input : inputs) {
    if (input.ends_with(".zip")) {
      ExtractZipFlat(input, dir.Folder() + "unzipped");
    } else {
      xmls.push_back(ReadFile(input));
    }
  }
  for (const auto& item : fs::directory_iterator(dir.Path() / "unzipped"))
    xmls.push_back(ReadFile(item.path()));
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
      {"missing catalog", "--catalog /no/such.csv" + o + Quote(wl), 2,
       "nabik: cannot open the layer catalog /no/such.csv"},
      {"malformed catalog", "--catalog " + Quote(dir.Folder() + "bad.csv") + o + Quote(wl), 2,
       "nabik: " + dir.Folder() + "bad.csv: 'x' is not a valid integer value"},
      {"corrupt zip", "--quiet" + o + Quote(dir.Folder() + "bad.zip"), 1,
       "Cannot open the archive " + dir.Folder() + "bad.zip"},
      {"unreadable file", "--quiet" + o + Quote(dir.Folder() + "gone-WL.xml"), 1,
       "Cannot open " + dir.Folder() + "gone-WL.xml"},
      {"output folder under a file",
       "--quiet -o " + Quote(dir.Folder() + "plain/x/l.txt") + " " + Quote(wl), 1,
       "Cannot create the output folder " + dir.Folder() + "plain/x/"},
      {"nothing to convert in the file", "--quiet" + o + Quote(dir.Folder() + "plain"), 0,
       "変換が終了しました"},
      {"status lines", o + Quote(wl), 0,
       wl + "処理中\nMAPファイル作成中\n処理終了\n変換が終了しました\n"},
  };
  for (const Case& c : cases) {
    const BatchRun run = Nabik(c.args);
    EXPECT_EQ(run.status, c.status) << c.what << ": " << run.err;
    EXPECT_TRUE(run.err.starts_with(c.errStart)) << c.what << ": " << run.err;
  }
  EXPECT_NE(Nabik("--help").status, -1);
  // Nothing was written outside the output folders.
  std::set<std::string> top;
  for (const auto& item : fs::directory_iterator(dir.Path())) top.insert(item.path().filename());
  EXPECT_EQ(top, (std::set<std::string>{"bad.zip", "bad.csv", "plain", "o"}));
}

}  // namespace
