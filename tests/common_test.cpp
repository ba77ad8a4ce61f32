// The helpers every module shares: text conversion and cutting, paths.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/paths.h"
#include "common/text.h"

namespace fs = std::filesystem;

namespace {
TEST(Text, LowerSjisChangesOnlyAsciiLetters) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : std::vector<Case>{
           {"C:/Data/Out/RdEdg", "c:/data/out/rdedg"},
           {"ABC xyz 123 @[`{", "abc xyz 123 @[`{"},
           // ア is 0x83 0x41: its second byte is 'A' and must stay.
           {Sjis("アイウ") + "ABC", Sjis("アイウ") + "abc"},
           {Sjis("ＡＢ表"), Sjis("ＡＢ表")},
           {"", ""},
           {"\x83", "\x83"},  // a lone lead byte at the end
       })
    EXPECT_EQ(LowerSjis(c.in), c.out) << Cp932ToUtf8(c.in);
}

TEST(Text, Cp932Conversions) {
  EXPECT_EQ(Sjis("処理中"), "\x8F\x88\x97\x9D\x92\x86");
  EXPECT_EQ(Cp932ToUtf8(Sjis("基盤地図情報 ABC")), "基盤地図情報 ABC");
  // Characters CP932 cannot hold, and broken UTF-8, become the geta mark.
  EXPECT_EQ(ToCp932("a\xF0\x9F\x98\x80"
                    "b",
                    "UTF-8"),
            "a\x81\xAC"
            "b");
  EXPECT_EQ(ToCp932("a\xE3\x81"
                    "b",
                    "UTF-8"),
            "a\x81\xAC"
            "b");
  EXPECT_EQ(ToCp932("x\xC3", "UTF-8"), "x\x81\xAC");
  EXPECT_EQ(ToCp932(std::string(10000, 'z'), "UTF-8"), std::string(10000, 'z'));
  EXPECT_EQ(ToCp932("\xA4\xA2", "EUC-JP"), Sjis("あ"));
}

TEST(Text, DisplayDecodesUtf8NamesAndCp932TextsAlike) {
  struct Case {
    std::string bytes, shown;
  };
  for (const Case& c : std::vector<Case>{
           {"/data/a.xml" + Sjis("処理中"), "/data/a.xml処理中"},
           {"/データ/東京.xml" + Sjis("処理中"), "/データ/東京.xml処理中"},
           {Sjis("変換が終了しました"), "変換が終了しました"},
           {Sjis("アイ") + "/x", "アイ/x"},
           {"plain", "plain"},
           {"", ""},
       })
    EXPECT_EQ(DisplayUtf8(c.bytes), c.shown);
}

TEST(Text, CutSjisNeverSplitsACharacter) {
  const std::string text = "ab" + Sjis("道路") + "c";  // a b [2] [2] c = 7 bytes
  struct Case {
    size_t max;
    std::string out;
  };
  for (const Case& c : std::vector<Case>{{0, ""},
                                         {2, "ab"},
                                         {3, "ab"},
                                         {4, "ab" + Sjis("道")},
                                         {5, "ab" + Sjis("道")},
                                         {6, "ab" + Sjis("道路")},
                                         {7, text},
                                         {100, text}})
    EXPECT_EQ(CutSjis(text, c.max), c.out) << c.max;
}

TEST(Paths, ExtensionsAndFolders) {
  EXPECT_EQ(ChangeFileExt("/opt/nabik/nabik", ".csv"), "/opt/nabik/nabik.csv");
  EXPECT_EQ(ChangeFileExt("/opt/nabik/nabik", ".Ini"), "/opt/nabik/nabik.Ini");
  EXPECT_EQ(ChangeFileExt("/opt/v1.2/nabik", ".csv"), "/opt/v1.2/nabik.csv");
  EXPECT_EQ(ChangeFileExt("D:/tools/conv.exe", ".Ini"), "D:/tools/conv.Ini");
  EXPECT_EQ(ChangeFileExt("list.txt", ".map"), "list.map");
  EXPECT_EQ(ChangeFileExt("", ".map"), ".map");
  EXPECT_EQ(FolderPart("/out/list.txt"), "/out/");
  EXPECT_EQ(FolderPart("list.txt"), "");
  EXPECT_EQ(FileNamePart("/out/list.txt"), "list.txt");
  EXPECT_EQ(FileExtPart("/out/a.ZIP"), ".ZIP");
  EXPECT_EQ(FileExtPart("/o.d/a"), "");
  EXPECT_EQ(FolderPart(ExePath()), ExeFolder());
  EXPECT_TRUE(fs::exists(ExePath()));
}

}  // namespace
