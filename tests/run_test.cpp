// Conversion driver: flat zip extraction, the run over real and made-up inputs, batch mode.
#include <gtest/gtest.h>
#include <zip.h>

#include <filesystem>
#include <map>

#include "run/unzip.h"
#include "shpctl/errors.h"
#include "support/test_support.h"

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

}  // namespace
