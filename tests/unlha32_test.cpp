// LHA archive binding: command line, stored paths, extraction, fallback and the web archive.
#include "unlha32/unlha32.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "common/text.h"
#include "support/test_support.h"
#include "unlha32/command.h"
#include "unlha32/entrypath.h"

using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;
namespace fs = std::filesystem;

namespace {

const std::string kLhaData = std::string(NABIK_SOURCE_DIR) + "/tests/data/lha/";
const std::string kFolderMark = "<folder>";

// The command line as the web export builds it, for any archive path.
std::string ExtractCommand(const std::string& archive, const std::string& destination) {
  return " e -x1 " + archive + " " + destination + " *.* " + "-p2 -y1";
}

int32_t RunUnlha(const std::string& command, std::string* messages = nullptr) {
  std::vector<char> output(6001, '\0');
  const int32_t result = Unlha(nullptr, command, output.data(), 6000);
  if (messages) *messages = output.data();
  return result;
}

// Every file (its bytes) and folder (kFolderMark) under `root`, by relative path.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(item.path(), root).string();
    tree[relative] = item.is_directory() ? kFolderMark : ReadFile(item.path());
  }
  return tree;
}

// Leftovers of an interrupted write.
int TempFiles(const fs::path& root) {
  int count = 0;
  for (const auto& item : fs::recursive_directory_iterator(root))
    if (item.path().filename().string().rfind(".nabik-", 0) == 0) ++count;
  return count;
}

std::vector<std::string> Messages;
void RecordMessage(void* owner, const std::string& caption, const std::string& text) {
  Messages.push_back((owner ? "owned " : "") + caption + "|" + text);
}

class UnlhaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = UnlhaMessageHook;
    UnlhaMessageHook = RecordMessage;
    Messages.clear();
    ASSERT_TRUE(StartUnlha());
  }
  void TearDown() override {
    UnlhaMessageHook = saved_;
    StartUnlha();
  }
  tmessagehook saved_ = nullptr;
};

TEST(UnlhaFolders, DirectoryExists) {
  ScratchDir scratch;
  WriteFile(scratch.Path() / "file", "x");
  fs::create_directory(scratch.Path() / "sub");
  fs::create_directory_symlink(scratch.Path() / "sub", scratch.Path() / "link");
  struct Case {
    std::string path;
    bool exists;
  };
  for (const Case& c : std::vector<Case>{{scratch.Folder(), true},
                                         {scratch.Folder() + "sub", true},
                                         {scratch.Folder() + "sub/", true},
                                         {scratch.Folder() + "link", true},
                                         {scratch.Folder() + "file", false},
                                         {scratch.Folder() + "file/", false},
                                         {scratch.Folder() + "missing", false},
                                         {"", false}})
    EXPECT_EQ(DirectoryExists(c.path), c.exists) << c.path;
}

TEST(UnlhaFolders, ForceDirectoriesCreatesMissingParents) {
  ScratchDir scratch;
  WriteFile(scratch.Path() / "file", "x");
  struct Case {
    std::string path;
    bool created;
  };
  for (const Case& c : std::vector<Case>{
           {scratch.Folder() + "a/b/c/", true},
           {scratch.Folder() + "a/b/c", true},  // already there
           {scratch.Folder() + "a/x/../y", true},
           {scratch.Folder() + Sjis("表示/ソフト"), true},
           {scratch.Folder() + "file/sub", false},  // a file stands in the way
           {scratch.Folder() + "file", false},
           {"", false},
       }) {
    EXPECT_EQ(ForceDirectories(c.path), c.created) << c.path;
    EXPECT_EQ(DirectoryExists(c.path), c.created) << c.path;
  }
}

TEST(UnlhaCommand, SplitsTheDesignedCommandLine) {
  ScratchDir scratch;
  const std::string tools = scratch.Folder() + "my tools/";
  fs::create_directories(tools);
  WriteFile(tools + "ms4wmap10.lzh", "");
  WriteFile(tools + "ms4wmap10.lzh x.lzh", "");
  struct Case {
    std::string line, archive, destination;
  };
  for (const Case& c : std::vector<Case>{
           {" e -x1 /opt/nabik/ms4wmap10.lzh /data/out/ *.* -p2 -y1", "/opt/nabik/ms4wmap10.lzh",
            "/data/out/"},
           // An empty output folder: the current folder.
           {" e -x1 /opt/nabik/ms4wmap10.lzh  *.* -p2 -y1", "/opt/nabik/ms4wmap10.lzh", ""},
           {" e -x1 " + tools + "ms4wmap10.lzh /data/my out/ *.* -p2 -y1", tools + "ms4wmap10.lzh",
            "/data/my out/"},
           // The first ".lzh " that ends an existing file's path wins.
           {" e -x1 " + tools + "ms4wmap10.lzh x.lzh /d/ *.* -p2 -y1", tools + "ms4wmap10.lzh",
            "x.lzh /d/"},
           {" e " + tools + "ms4wmap10.lzh x.lzh /d/", tools + "ms4wmap10.lzh", "x.lzh /d/"},
           {"e -x1 /a/B.LZH /out -x1/ *.* -p2", "/a/B.LZH", "/out -x1/"},
           {"x archive.lha dest/", "archive.lha", "dest/"},
           {"E\tarc.lzh\tdest/\t*.*", "arc.lzh", "dest/"},
           {"e noext /d/ *.*", "noext", "/d/"},
           {"e arc.lzh", "arc.lzh", ""},
       }) {
    const auto parsed = ParseUnlhaCommand(c.line);
    ASSERT_TRUE(parsed) << c.line;
    EXPECT_EQ(parsed->Archive, c.archive) << c.line;
    EXPECT_EQ(parsed->Destination, c.destination) << c.line;
  }
  const auto designed = ParseUnlhaCommand(" e -x1 /t/ms4wmap10.lzh /o/ *.* -p2 -y1");
  ASSERT_TRUE(designed);
  EXPECT_EQ(designed->Command, 'e');
  EXPECT_EQ(designed->Switches, (std::vector<std::string>{"-x1", "-p2", "-y1"}));
  EXPECT_EQ(designed->Patterns, std::vector<std::string>{"*.*"});
}

TEST(UnlhaCommand, RefusesLinesWithoutCommandOrArchive) {
  for (const std::string line :
       {"", "   ", "a arc.lzh /d/", "l arc.lzh", "ee arc.lzh", "e", " e -x1 ", "-x1 e arc.lzh /d/"})
    EXPECT_FALSE(ParseUnlhaCommand(line)) << "'" << line << "'";
}

TEST(UnlhaCommand, PatternsSelectFileNames) {
  struct Case {
    std::string line, name;
    bool selected;
  };
  for (const Case& c : std::vector<Case>{{"e a.lzh d/ *.*", "README", true},
                                         {"e a.lzh d/ *.*", "index.html", true},
                                         {"e a.lzh d/", "anything", true},
                                         {"e a.lzh d/ *", "x.y", true},
                                         {"e a.lzh d/ *.txt", "x.txt", true},
                                         {"e a.lzh d/ *.txt", "x.bin", false},
                                         {"e a.lzh d/ *.txt ?.bin", "y.bin", true}}) {
    const auto parsed = ParseUnlhaCommand(c.line);
    ASSERT_TRUE(parsed) << c.line;
    EXPECT_EQ(MatchesPatterns(*parsed, c.name), c.selected) << c.line << " " << c.name;
  }
}

TEST(UnlhaEntryPath, SafeRelativePath) {
  struct Case {
    std::string stored;
    std::optional<std::string> relative;
  };
  for (const Case& c : std::vector<Case>{
           {"ms4w/Apache/htdocs/index.html", "ms4w/Apache/htdocs/index.html"},
           {"ms4w/tmp/ms_tmp/", "ms4w/tmp/ms_tmp"},
           {"./a//b/./c.txt", "a/b/c.txt"},
           {"", ""},
           {"./", ""},
           {"a..b/..c/d..", "a..b/..c/d.."},
           {"x/C:/y", "x/C:/y"},
           {"../x", std::nullopt},
           {"a/../b", std::nullopt},
           {"a/..", std::nullopt},
           {"..", std::nullopt},
           {"/etc/passwd", std::nullopt},
           {"//x", std::nullopt},
           {"C:/x", std::nullopt},
           {"c:", std::nullopt},
           {std::string("a\0b", 3), std::nullopt},
       })
    EXPECT_EQ(SafeRelativePath(c.stored), c.relative) << c.stored;
}

TEST(UnlhaEntryPath, DosNamesKeepShiftJisSecondBytes) {
  struct Case {
    std::string name, path;
  };
  for (const Case& c : std::vector<Case>{
           {"a\\b\\c.txt", "a/b/c.txt"},
           {"a/b\\c", "a/b/c"},
           // ソ is 0x83 0x5C and 表 is 0x95 0x5C: their second byte is not a separator.
           {Sjis("表示\\ソフト.txt"), Sjis("表示/ソフト.txt")},
           {Sjis("ソ") + "\\x", Sjis("ソ") + "/x"},
           // UTF-8 never hides a backslash inside a character.
           {"道路\\標高.txt", "道路/標高.txt"},
           {"\x83", "\x83"},
       })
    EXPECT_EQ(DosNameToPath(c.name), c.path) << Cp932ToUtf8(c.name);
}

// A level 0 or 1 header: size, checksum, method, sizes and time, attribute, level, the name
// and its CRC; level 1 adds the OS id and the size of the one extended header that follows.
std::string BaseHeader(int level, const std::string& name, const std::string& extended = "") {
  std::string raw(2, '\0');
  raw += "-lh0-" + std::string(12, '\0') + "\x20" + char(level) + char(name.size()) + name + "cc";
  if (level == 1) {
    const size_t first = extended.empty() ? 0 : extended.size() + 2;
    raw += "M" + std::string{char(first & 0xFF), char(first >> 8)};
  }
  raw[0] = static_cast<char>(raw.size() - 2);
  if (!extended.empty()) raw += extended + std::string(2, '\0');
  return raw;
}

TEST(UnlhaEntryPath, StoredPathComesFromTheRawHeader) {
  struct Case {
    int level;
    std::string raw, lhasaPath, lhasaName, stored;
  };
  for (const Case& c : std::vector<Case>{
           // What the reader shows as "x.txt" was stored with a ".." component.
           {0, BaseHeader(0, "..\\x.txt"), "", "x.txt", "../x.txt"},
           {0, BaseHeader(0, Sjis("表示\\ソ.txt")), "?", "?", Sjis("表示/ソ.txt")},
           {1, BaseHeader(1, Sjis("ソ.txt"), "\x02" + Sjis("能") + "\xFF"), "?", "?",
            Sjis("能/ソ.txt")},
           {1, BaseHeader(1, "n.txt"), "?", "?", "n.txt"},
           // Headers it cannot follow: the reader's path.
           {0, "short", "p/", "n", "p/n"},
           {1, BaseHeader(1, "n.txt", std::string("\x02") + "dir\xFF").substr(0, 30), "p/", "n",
            "p/n"},
           {3, std::string(40, 'x'), "p/", "n", "p/n"},
       })
    EXPECT_EQ(StoredEntryPath(c.level, c.raw, c.lhasaPath, c.lhasaName), c.stored)
        << Cp932ToUtf8(c.stored);
}

TEST_F(UnlhaTest, ExtractsTheNestedTreeAsStored) {
  ScratchDir scratch;
  const std::string destination = scratch.Folder() + "out/";
  std::string messages;
  ASSERT_EQ(RunUnlha(ExtractCommand(kLhaData + "nested.lzh", destination), &messages), 0)
      << messages;
  auto expected = Tree(kLhaData + "nested");
  expected["empty"] = kFolderMark;  // an empty folder in the archive, which git cannot hold
  EXPECT_EQ(Tree(destination), expected);
  EXPECT_NE(messages.find("Extracted 5 files and 7 folders"), std::string::npos) << messages;
  EXPECT_TRUE(Messages.empty());
}

TEST_F(UnlhaTest, SecondRunReplacesEveryFile) {
  ScratchDir scratch;
  const std::string destination = scratch.Folder();
  const std::string command = ExtractCommand(kLhaData + "nested.lzh", destination);
  ASSERT_EQ(RunUnlha(command), 0);
  const auto first = Tree(destination);
  WriteFile(destination + "docs/long.txt", "edited");
  WriteFile(destination + "readme.txt", "edited");
  chmod((destination + "readme.txt").c_str(), 0444);
  WriteFile(destination + "extra.txt", "not in the archive");
  ASSERT_EQ(RunUnlha(command), 0);
  auto expected = first;
  expected["extra.txt"] = "not in the archive";
  EXPECT_EQ(Tree(destination), expected);
  EXPECT_EQ(TempFiles(destination), 0);
}

TEST_F(UnlhaTest, JapaneseNamesInEveryHeaderLevel) {
  ScratchDir scratch;
  std::string messages;
  ASSERT_EQ(RunUnlha(ExtractCommand(kLhaData + "japanese.lzh", scratch.Folder()), &messages), 0)
      << messages;
  const std::map<std::string, std::string> expected = {
      {Sjis("表示"), kFolderMark},
      {Sjis("表示/ソフト.txt"), "level 0 shift-jis\n"},
      {Sjis("地図表示"), kFolderMark},
      {Sjis("地図表示/ソフト.txt"), "level 1 shift-jis\n"},
      {Sjis("基盤地図"), kFolderMark},
      {Sjis("基盤地図/能力"), kFolderMark},
      {Sjis("基盤地図/能力/ソ.txt"), "level 2 shift-jis\n"},
      {"日本語", kFolderMark},
      {"日本語/名前.txt", "level 2 utf-8\n"},
      {"道路", kFolderMark},
      {"道路/標高.txt", "level 0 utf-8\n"},
      {Sjis("表"), kFolderMark},
  };
  EXPECT_EQ(Tree(scratch.Path()), expected);
}

TEST_F(UnlhaTest, RefusesEntriesThatWouldLeaveTheDestination) {
  struct Case {
    std::string archive;
    int32_t result;
  };
  for (const Case& c : std::vector<Case>{
           {"unsafe-parent.lzh", UnlhaUnsafeEntry},
           {"unsafe-deep-parent.lzh", UnlhaUnsafeEntry},
           {"unsafe-backslash-parent.lzh", UnlhaUnsafeEntry},
           {"unsafe-absolute.lzh", UnlhaUnsafeEntry},
           {"unsafe-dos-absolute.lzh", UnlhaUnsafeEntry},
           {"unsafe-drive.lzh", UnlhaUnsafeEntry},
           {"unsafe-dotdot-name.lzh", UnlhaUnsafeEntry},
           {"unsafe-nul.lzh", UnlhaUnsafeEntry},
           {"unsafe-link.lzh", UnlhaUnsupportedEntry},
       }) {
    ScratchDir scratch;
    const fs::path absolute = "/tmp/nabik-lha-absolute";
    fs::remove_all(absolute);
    std::string messages;
    EXPECT_EQ(RunUnlha(ExtractCommand(kLhaData + c.archive, scratch.Folder() + "dest/"), &messages),
              c.result)
        << c.archive;
    // The safe entries around the refused one are extracted; nothing else is written.
    const std::map<std::string, std::string> expected = {{"dest", kFolderMark},
                                                         {"dest/before.txt", "extracted before\n"},
                                                         {"dest/after.txt", "extracted after\n"}};
    EXPECT_EQ(Tree(scratch.Path()), expected) << c.archive;
    EXPECT_FALSE(fs::exists(absolute)) << c.archive;
    EXPECT_NE(messages.find("1 failed"), std::string::npos) << messages;
  }
}

TEST_F(UnlhaTest, DamagedEntryNeverReplacesTheFileItWouldOverwrite) {
  ScratchDir scratch;
  const std::string destination = scratch.Folder();
  fs::create_directories(destination + "docs");
  WriteFile(destination + "docs/long.txt", "the good old version");
  std::string messages;
  EXPECT_EQ(RunUnlha(ExtractCommand(kLhaData + "damaged.lzh", destination), &messages),
            UnlhaDamagedEntry);
  EXPECT_NE(messages.find("CRC error, not extracted: " + destination + "docs/long.txt"),
            std::string::npos)
      << messages;
  EXPECT_EQ(ReadFile(destination + "docs/long.txt"), "the good old version");
  // The undamaged entries come out whole.
  EXPECT_EQ(ReadFile(destination + "bin/bytes.bin"), ReadFile(kLhaData + "nested/bin/bytes.bin"));
  EXPECT_EQ(TempFiles(destination), 0);
}

TEST_F(UnlhaTest, EveryTruncationIsReported) {
  const std::string whole = ReadFile(kLhaData + "nested.lzh");
  ScratchDir scratch;
  const std::string archive = scratch.Folder() + "cut.lzh";
  const std::string destination = scratch.Folder() + "out/";
  // Every cut through the first headers and the end, every seventh elsewhere: a cut inside a
  // header, between two entries, inside data, or of the end mark alone.
  for (size_t length = 0; length < whole.size();
       length += length < 300 || length + 100 >= whole.size() ? 1 : 7) {
    WriteFile(archive, whole.substr(0, length));
    const int32_t result = RunUnlha(ExtractCommand(archive, destination));
    ASSERT_TRUE(result == UnlhaDamagedArchive || result == UnlhaDamagedEntry)
        << length << " of " << whole.size() << " bytes: " << result;
  }
  EXPECT_EQ(TempFiles(destination), 0);
  WriteFile(archive, whole);
  EXPECT_EQ(RunUnlha(ExtractCommand(archive, destination)), 0);
}

TEST_F(UnlhaTest, FilesThatAreNoArchive) {
  ScratchDir scratch;
  struct Case {
    std::string name, content;
    int32_t result;
  };
  for (const Case& c : std::vector<Case>{
           {"empty.lzh", "", UnlhaDamagedArchive},
           {"text.lzh", "This is a text file, not an LHA archive.\n", UnlhaDamagedArchive},
           {"endmark.lzh", std::string(1, '\0'), UnlhaDamagedArchive},  // no entries
       }) {
    WriteFile(scratch.Path() / c.name, c.content);
    std::string messages;
    EXPECT_EQ(
        RunUnlha(ExtractCommand(scratch.Folder() + c.name, scratch.Folder() + "out/"), &messages),
        c.result)
        << c.name << ": " << messages;
  }
  fs::create_directory(scratch.Path() / "folder.lzh");
  EXPECT_EQ(RunUnlha(ExtractCommand(scratch.Folder() + "folder.lzh", scratch.Folder() + "out/")),
            UnlhaNoArchive);
}

TEST_F(UnlhaTest, MissingArchiveWritesNothing) {
  ScratchDir scratch;
  std::string messages;
  EXPECT_EQ(RunUnlha(ExtractCommand(scratch.Folder() + "ms4wmap10.lzh", scratch.Folder() + "out/"),
                     &messages),
            UnlhaNoArchive);
  EXPECT_EQ(messages, "Cannot open archive " + scratch.Folder() +
                          "ms4wmap10.lzh: No such file or directory\n");
  EXPECT_TRUE(fs::is_empty(scratch.Path()));
  EXPECT_TRUE(Messages.empty());
}

TEST_F(UnlhaTest, WriteErrorsAreReported) {
  ScratchDir scratch;
  // A file where the archive has a folder, a folder where it has a file, a file as destination.
  const std::string blocked = scratch.Folder() + "blocked/";
  fs::create_directories(blocked + "readme.txt");
  WriteFile(blocked + "a", "a file");
  std::string messages;
  EXPECT_EQ(RunUnlha(ExtractCommand(kLhaData + "nested.lzh", blocked), &messages), UnlhaWriteError);
  EXPECT_NE(messages.find("Cannot create folder " + blocked + "a"), std::string::npos) << messages;
  EXPECT_NE(messages.find("Cannot write " + blocked + "readme.txt"), std::string::npos) << messages;
  EXPECT_EQ(ReadFile(blocked + "docs/long.txt"), ReadFile(kLhaData + "nested/docs/long.txt"));
  EXPECT_EQ(TempFiles(blocked), 0);

  WriteFile(scratch.Path() / "plain", "x");
  EXPECT_EQ(RunUnlha(ExtractCommand(kLhaData + "nested.lzh", scratch.Folder() + "plain/")),
            UnlhaWriteError);
  EXPECT_EQ(RunUnlha(ExtractCommand(kLhaData + "nested.lzh", "/proc/nabik-cannot-be/")),
            UnlhaWriteError);
}

TEST_F(UnlhaTest, FoldersWithBlanks) {
  ScratchDir scratch;
  const std::string tools = scratch.Folder() + "my tools/";
  fs::create_directories(tools);
  fs::copy_file(kLhaData + "nested.lzh", tools + "ms4wmap10.lzh");
  const std::string destination = scratch.Folder() + "my out/";
  ASSERT_EQ(RunUnlha(" e -x1 " + tools + "ms4wmap10.lzh " + destination + " *.* " + "-p2 -y1"), 0);
  EXPECT_EQ(ReadFile(destination + "docs/long.txt"), ReadFile(kLhaData + "nested/docs/long.txt"));
}

TEST_F(UnlhaTest, EmptyDestinationIsTheCurrentFolder) {
  ScratchDir scratch;
  const fs::path previous = fs::current_path();
  fs::current_path(scratch.Path());
  const int32_t result = RunUnlha(ExtractCommand(kLhaData + "nested.lzh", ""));
  fs::current_path(previous);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(ReadFile(scratch.Path() / "a/b/c/d/deep.txt"), "four folders down\n");
}

TEST_F(UnlhaTest, PatternsOtherThanAllSelectFiles) {
  ScratchDir scratch;
  ASSERT_EQ(RunUnlha(" e -x1 " + kLhaData + "nested.lzh " + scratch.Folder() + " *.bin -y1"), 0);
  EXPECT_TRUE(fs::exists(scratch.Path() / "bin/bytes.bin"));
  EXPECT_FALSE(fs::exists(scratch.Path() / "readme.txt"));
  EXPECT_TRUE(fs::is_directory(scratch.Path() / "empty"));  // folders come along
}

TEST_F(UnlhaTest, OutputNeverGoesPastItsSize) {
  ScratchDir scratch;
  const std::string command = ExtractCommand(scratch.Folder() + "missing.lzh", scratch.Folder());
  std::string full;
  RunUnlha(command, &full);
  ASSERT_GT(full.size(), 20u);
  for (const int32_t size : {0, -5, 1, 2, 20, static_cast<int32_t>(full.size()),
                             static_cast<int32_t>(full.size() + 1), 6000}) {
    std::vector<char> output(7000, 'Z');
    EXPECT_EQ(Unlha(nullptr, command, output.data(), size), UnlhaNoArchive);
    const size_t written = size <= 0 ? 0 : std::min(full.size(), static_cast<size_t>(size) - 1);
    if (size > 0) {
      EXPECT_EQ(std::string(output.data()), full.substr(0, written)) << size;
    }
    const size_t untouchedFrom = size <= 0 ? 0 : written + 1;
    EXPECT_EQ(std::string(output.begin() + untouchedFrom, output.end()),
              std::string(output.size() - untouchedFrom, 'Z'))
        << size;
  }
  EXPECT_EQ(Unlha(nullptr, command, nullptr, 100), UnlhaNoArchive);
}

TEST_F(UnlhaTest, UnsupportedCommandLines) {
  for (const std::string& line :
       std::vector<std::string>{"", "a " + kLhaData + "nested.lzh /tmp/", " l x.lzh", " e -x1 "}) {
    std::string messages;
    EXPECT_EQ(RunUnlha(line, &messages), UnlhaBadCommand) << line;
    EXPECT_EQ(messages.rfind("Unsupported command line:", 0), 0u) << messages;
  }
}

TEST_F(UnlhaTest, FallbackWhenTheLibraryIsMissing) {
  ScratchDir scratch;
  const std::string command = ExtractCommand(kLhaData + "nested.lzh", scratch.Folder());
  // A library that is not there, and one that lacks the functions.
  for (const std::string library : {"libnabik-no-such-library.so.0", "libc.so.6"}) {
    Messages.clear();
    EXPECT_FALSE(StartUnlha(library)) << library;
    std::vector<char> output(10, 'Z');
    EXPECT_EQ(Unlha(nullptr, command, output.data(), 9), 0) << library;
    EXPECT_EQ(RunUnlha(command), 0) << library;
    EXPECT_EQ(Messages, std::vector<std::string>(2, "PANIC!!|Unlha: LHA.DLL not loaded."))
        << library;
    EXPECT_TRUE(fs::is_empty(scratch.Path())) << library;
  }
  ASSERT_TRUE(StartUnlha());
  EXPECT_EQ(RunUnlha(command), 0);
  EXPECT_TRUE(fs::exists(scratch.Path() / "readme.txt"));
  StopUnlha();
  Messages.clear();
  EXPECT_EQ(RunUnlha(command), 0);
  EXPECT_EQ(Messages.size(), 1u);
}

TEST_F(UnlhaTest, DefaultFallbackMessageGoesToStandardError) {
  UnlhaMessageHook = saved_;
  StopUnlha();
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunUnlha(" e -x1 /nowhere/ms4wmap10.lzh /nowhere/ *.* -p2 -y1"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "PANIC!!: Unlha: LHA.DLL not loaded.\n");
}

// The prepared web archive holds exactly its source folder (the placeholders that keep empty
// folders in git aside), and the build puts it beside the executable.
TEST_F(UnlhaTest, WebArchiveHoldsItsSourceFolder) {
  const std::string source = std::string(NABIK_SOURCE_DIR) + "/data/";
  auto expected = Tree(source + "web");
  std::erase_if(expected,
                [](const auto& item) { return fs::path(item.first).filename() == ".gitkeep"; });
  ASSERT_EQ(expected.count("ms4w/Apache/htdocs/index.html"), 1u);
  ASSERT_EQ(expected.count("ms4w/tmp/ms_tmp"), 1u);

  const std::string exeFolder = std::string(NABIK_BINARY_DIR) + "/";
  // (Compared as a whole: a byte dump of two archives helps nobody.)
  EXPECT_TRUE(ReadFile(exeFolder + "ms4wmap10.lzh") == ReadFile(source + "ms4wmap10.lzh"))
      << "the archive beside the executable is not data/ms4wmap10.lzh";
  ScratchDir scratch;
  const std::string outputFolder = scratch.Folder();
  const std::string command =
      " e -x1 " + exeFolder + "ms4wmap10.lzh " + outputFolder + " *.* " + "-p2 -y1";
  ASSERT_EQ(RunUnlha(command), 0);
  EXPECT_EQ(Tree(outputFolder), expected);
  // A later run into the same folder, after the export wrote its pages there.
  WriteFile(outputFolder + "ms4w/Apache/htdocs/libsu.php", "<?php ?>");
  ASSERT_EQ(RunUnlha(command), 0);
  EXPECT_EQ(ReadFile(outputFolder + "ms4w/Apache/htdocs/libsu.php"), "<?php ?>");
  EXPECT_EQ(ReadFile(outputFolder + "ms4w/Apache/htdocs/index.html"),
            expected["ms4w/Apache/htdocs/index.html"]);
}

// ---- Faults: folders that cannot be made ----

// The caller reports errno with the path; it must be the reason of this failure, not what an
// earlier call left behind.
TEST(UnlhaFolders, AFolderThatCannotBeMadeSetsItsReason) {
  ScratchDir scratch;
  WriteFile(scratch.Path() / "file", "x");
  struct Case {
    std::string path;
    int error;
  };
  for (const Case& c : std::vector<Case>{{scratch.Folder() + "file", ENOTDIR},
                                         {scratch.Folder() + "file/", ENOTDIR},
                                         {scratch.Folder() + "file/sub/deeper", ENOTDIR},
                                         {"/proc/nabik-test/out", ENOENT}}) {
    errno = ENOTTY;
    EXPECT_FALSE(ForceDirectories(c.path)) << c.path;
    EXPECT_EQ(errno, c.error) << c.path << ": " << std::strerror(errno);
  }
}

}  // namespace
