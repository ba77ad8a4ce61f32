// Layer shapefile store.
#include "shpctl/shpctl.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "common/errors.h"
#include "common/paths.h"
#include "common/text.h"
#include "support/test_support.h"

using testing_support::CountSet;
using testing_support::FileSizeLimit;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::SetCounts;
using testing_support::WriteFile;
namespace fs = std::filesystem;

namespace {

// A catalog of one layer per kind with the given attribute columns.
void UseCatalog(const std::vector<tshpopentyp>& entries) {
  LayerCatalog = entries;
}

tshpopentyp Entry(const std::string& name, int kind, std::vector<tshpattr> attrs = {}) {
  tshpopentyp e;
  e.Name = name;
  e.Kind = kind;
  e.Attrs = std::move(attrs);
  return e;
}

class Store : public ::testing::Test {
 protected:
  void TearDown() override { CloseLayerFiles(); }
  ScratchDir dir;
};

TEST_F(Store, CreatesOneSetPerKind) {
  UseCatalog({Entry("Line", 1), Entry("Area", 2), Entry("Point", 3), Entry("Net", 4)});
  const int expected[] = {SHPT_ARC, SHPT_POLYGON, SHPT_POINT, SHPT_ARC};
  for (int n = 1; n <= 4; ++n) {
    CreateLayerFiles(dir.Folder(), n);
    const std::string base = dir.Folder() + CatalogEntry(n).Name;
    SHPHandle shp = SHPOpen(base.c_str(), "rb");
    ASSERT_NE(shp, nullptr);
    int count = -1, type = -1;
    SHPGetInfo(shp, &count, &type, nullptr, nullptr);
    SHPClose(shp);
    EXPECT_EQ(type, expected[n - 1]) << base;
    EXPECT_EQ(count, 0);
    // Every set has the same projection line.
    EXPECT_EQ(ReadFile(base + ".prj"), std::string(kProjectionText) + "\r\n");
    EXPECT_TRUE(fs::exists(base + ".shx"));
  }
  EXPECT_EQ(std::string(kProjectionText).size(), 143u);
  EXPECT_EQ(ReadFile(dir.Folder() + "Line.prj").substr(0, 31),
            "GEOGCS[\"GCS_JGD_2000\",DATUM[\"D_");
}

TEST_F(Store, FieldsFollowTheCatalogColumns) {
  UseCatalog({Entry("Ab", 2, {{"fid", "h", 0, 40}, {"altiAcc", "h", 1, 4}, {"alti", "h", 2, 8}}),
              Entry("Empty", 3)});
  CreateLayerFiles(dir.Folder(), 1);
  CreateLayerFiles(dir.Folder(), 2);
  DBFHandle dbf = DBFOpen((dir.Folder() + "Ab").c_str(), "rb");
  ASSERT_NE(dbf, nullptr);
  ASSERT_EQ(DBFGetFieldCount(dbf), 3);
  // dBASE stores integer and real fields alike as 'N'; with no decimals they read back as integers.
  struct Field {
    const char* name;
    char type;
    int width;
  };
  const Field fields[] = {{"fid", 'C', 40}, {"altiAcc", 'N', 4}, {"alti", 'N', 8}};
  for (int i = 0; i < 3; ++i) {
    char name[12];
    int width = 0, decimals = -1;
    DBFGetFieldInfo(dbf, i, name, &width, &decimals);
    EXPECT_EQ(DBFGetNativeFieldType(dbf, i), fields[i].type);
    EXPECT_STREQ(name, fields[i].name);
    EXPECT_EQ(width, fields[i].width);
    EXPECT_EQ(decimals, 0);
  }
  EXPECT_EQ(DBFGetRecordCount(dbf), 0);
  DBFClose(dbf);
  // The table declares code page 932 twice: the language driver byte and the .cpg file.
  const std::string raw = ReadFile(dir.Folder() + "Ab.dbf");
  EXPECT_EQ(static_cast<unsigned char>(raw[29]), 0x13);
  EXPECT_EQ(ReadFile(dir.Folder() + "Ab.cpg"), "932");
  // A layer without columns gets one integer field FID (the library writes no record into a
  // table without fields), and opens.
  OpenLayerFiles(dir.Folder(), "Empty");
  ASSERT_NE(OpenSet.DbfHandle, nullptr);
  EXPECT_EQ(DBFGetFieldCount(OpenSet.DbfHandle), 1);
  EXPECT_EQ(DBFGetFieldIndex(OpenSet.DbfHandle, "FID"), 0);
  EXPECT_EQ(DBFGetNativeFieldType(OpenSet.DbfHandle, 0), 'N');
}

TEST_F(Store, OpenSetsTheRecordIndexAfterTheLastRecord) {
  UseCatalog({Entry("Ab", 3, {{"fid", "h", 0, 10}})});
  CreateLayerFiles(dir.Folder(), 1);
  for (int run = 0; run < 3; ++run) {
    OpenLayerFiles(dir.Folder(), "Ab");
    ASSERT_NE(OpenSet.ShpHandle, nullptr);
    EXPECT_EQ(OpenSet.RecordIndex, run - 1);
    EXPECT_EQ(OpenSet.ShapeType, SHPT_POINT);
    double x = 139, y = 35;
    SHPObject* obj = SHPCreateSimpleObject(SHPT_POINT, 1, &x, &y, nullptr);
    SHPWriteObject(OpenSet.ShpHandle, -1, obj);
    SHPDestroyObject(obj);
    DBFWriteStringAttribute(OpenSet.DbfHandle, ++OpenSet.RecordIndex, 0, "x");
    CloseLayerFiles();
    EXPECT_EQ(OpenSet.ShpHandle, nullptr);
  }
  // Creating again replaces the set.
  CreateLayerFiles(dir.Folder(), 1);
  OpenLayerFiles(dir.Folder(), "Ab");
  EXPECT_EQ(OpenSet.RecordIndex, -1);
}

TEST_F(Store, RefusesEntriesItCannotStore) {
  struct Case {
    tshpopentyp entry;
    const char* message;
  };
  const std::vector<Case> cases = {
      {Entry("Kind0", 0), "Layer Kind0: geometry kind 0 is not 1 to 4"},
      {Entry("Kind5", 5), "Layer Kind5: geometry kind 5 is not 1 to 4"},
      {Entry("Type3", 1, {{"a", "h", 0, 5}, {"b", "h", 3, 5}}),
       "Layer Type3: attribute b has type 3, not 0 to 2"},
      {Entry("TypeNeg", 1, {{"a", "h", -1, 5}}),
       "Layer TypeNeg: attribute a has type -1, not 0 to 2"},
  };
  for (const Case& c : cases) {
    UseCatalog({c.entry});
    try {
      CreateLayerFiles(dir.Folder(), 1);
      ADD_FAILURE() << c.entry.Name << " was created";
    } catch (const NabikError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST_F(Store, ReportsFilesItCannotCreateOrOpen) {
  UseCatalog({Entry("Ab", 1, {{"a", "h", 0, 5}}), Entry("NoWidth", 1, {{"a", "h", 0, 0}})});
  testing_support::WriteFile(dir.Path() / "plain", "x");
  struct Case {
    std::string folder;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {dir.Folder() + "missing/", "Cannot create " + dir.Folder() + "missing/Ab.shp"},
           {dir.Folder() + "plain/", "Cannot create " + dir.Folder() + "plain/Ab.shp"}}) {
    try {
      CreateLayerFiles(c.folder, 1);
      ADD_FAILURE() << c.folder;
    } catch (const NabikError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    try {
      OpenLayerFiles(c.folder, "Ab");
      ADD_FAILURE() << c.folder;
    } catch (const NabikError& e) {
      EXPECT_EQ(e.what(), "Cannot open " + c.folder + "Ab.shp");
    }
    EXPECT_EQ(OpenSet.ShpHandle, nullptr);
    EXPECT_EQ(OpenSet.DbfHandle, nullptr);
  }
  EXPECT_THROW(CreateLayerFiles(dir.Folder(), 2), NabikError);  // a field of width 0
  // A shape file without its table: nothing stays open.
  CreateLayerFiles(dir.Folder(), 1);
  fs::remove(dir.Path() / "Ab.dbf");
  EXPECT_THROW(OpenLayerFiles(dir.Folder(), "Ab"), NabikError);
  EXPECT_EQ(OpenSet.ShpHandle, nullptr);
}

TEST_F(Store, OgrinfoReadsTheJapaneseText) {
  if (!testing_support::HaveProgram("ogrinfo")) GTEST_SKIP() << "ogrinfo (gdal-bin) not installed";
  UseCatalog({Entry("Pt", 3, {{"name", "h", 0, 20}, {"n", "h", 1, 5}})});
  CreateLayerFiles(dir.Folder(), 1);
  OpenLayerFiles(dir.Folder(), "Pt");
  double x = 139.5, y = 35.25;
  SHPObject* obj = SHPCreateSimpleObject(SHPT_POINT, 1, &x, &y, nullptr);
  SHPWriteObject(OpenSet.ShpHandle, -1, obj);
  SHPDestroyObject(obj);
  DBFWriteStringAttribute(OpenSet.DbfHandle, 0, 0, Sjis("緑が丘３丁目").c_str());
  DBFWriteIntegerAttribute(OpenSet.DbfHandle, 0, 1, 42);
  CloseLayerFiles();
  const std::string out =
      testing_support::RunCommand("ogrinfo -ro -al " + dir.Folder() + "Pt.shp 2>&1");
  EXPECT_NE(out.find("Geometry: Point"), std::string::npos) << out;
  EXPECT_NE(out.find("Feature Count: 1"), std::string::npos) << out;
  EXPECT_NE(out.find("name (String) = 緑が丘３丁目"), std::string::npos) << out;
  EXPECT_NE(out.find("n (Integer) = 42"), std::string::npos) << out;
  EXPECT_NE(out.find("JGD2000"), std::string::npos) << out;
}

// ---- Faults: a full disk while a set is written ----

// Appends `count` points with one text attribute each to the open set.
void AppendPoints(int count) {
  for (int i = 0; i < count; ++i) {
    double x = 139 + i * 1e-4, y = 35;
    SHPObject* obj = SHPCreateSimpleObject(SHPT_POINT, 1, &x, &y, nullptr);
    SHPWriteObject(OpenSet.ShpHandle, -1, obj);
    SHPDestroyObject(obj);
    DBFWriteStringAttribute(OpenSet.DbfHandle, ++OpenSet.RecordIndex, 0, "feature text");
  }
}

struct tfullcase {
  const char* Name;
  int Before;    // points written without a limit, in an earlier opening of the set
  int Appended;  // points written under the limit
  rlim_t Limit;  // bytes
  bool Fails;    // the limit is reached
};

class FullDisk : public testing::TestWithParam<tfullcase> {
 protected:
  void TearDown() override { CloseLayerFiles(); }
  ScratchDir dir;
};

// A failed write is reported when the set is finished, and the set is put back as it was
// opened: the earlier points stay, as many shapes as records, and it opens again.
TEST_P(FullDisk, AppendsAreReportedAndUndone) {
  const tfullcase& c = GetParam();
  UseCatalog({Entry("Pt", 3, {{"name", "h", 0, 40}})});
  const std::string base = dir.Folder() + "Pt";
  CreateLayerFiles(dir.Folder(), 1);
  OpenLayerFiles(dir.Folder(), "Pt");
  AppendPoints(c.Before);
  FinishLayerFiles();
  std::string message;
  {
    FileSizeLimit limit(c.Limit);
    OpenLayerFiles(dir.Folder(), "Pt");
    AppendPoints(c.Appended);
    try {
      FinishLayerFiles();
    } catch (const NabikError& e) {
      message = e.what();
    }
  }
  EXPECT_EQ(OpenSet.ShpHandle, nullptr);
  const SetCounts counts = CountSet(base);
  if (c.Fails) {
    EXPECT_TRUE(message.starts_with("Cannot write " + base + ".")) << message;
    EXPECT_TRUE(message.ends_with(": File too large")) << message;
    EXPECT_EQ(counts.shapes, c.Before);
    EXPECT_EQ(counts.records, c.Before);
  } else {
    EXPECT_EQ(message, "");
    EXPECT_EQ(counts.shapes, c.Before + c.Appended);
    EXPECT_EQ(counts.records, c.Before + c.Appended);
  }
  // The set takes appends again once there is room.
  OpenLayerFiles(dir.Folder(), "Pt");
  AppendPoints(3);
  FinishLayerFiles();
  EXPECT_EQ(CountSet(base).shapes, counts.shapes + 3);
  EXPECT_EQ(CountSet(base).records, counts.shapes + 3);
}

// A point costs 28 bytes in the main file, 8 in the index and 41 in the table.
INSTANTIATE_TEST_SUITE_P(Cases, FullDisk,
                         testing::Values(tfullcase{"EmptySetFillsUp", 0, 5000, 64 * 1024, true},
                                         tfullcase{"EarlierPointsStay", 200, 5000, 64 * 1024, true},
                                         tfullcase{"LimitReachedByTheFirstAppend", 1000, 1,
                                                   28 * 1000 + 100, true},
                                         tfullcase{"RoomEnough", 200, 300, 1024 * 1024, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(Store, AnEmptySetThatCannotBeWrittenLeavesNoFiles) {
  UseCatalog({Entry("Wide", 2, {{"a", "h", 0, 40}, {"b", "h", 0, 40}, {"c", "h", 1, 4}})});
  std::string message;
  {
    // The main file's 100-byte header fits; the table's header (32 bytes a field and 33) does not.
    FileSizeLimit limit(120);
    try {
      CreateLayerFiles(dir.Folder(), 1);
    } catch (const NabikError& e) {
      message = e.what();
    }
  }
  EXPECT_EQ(message, "Cannot write " + dir.Folder() + "Wide.dbf: File too large");
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

}  // namespace
