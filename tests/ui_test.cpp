// The windows on Qt's offscreen platform: the main window's controls, start-up and closing, the
// input and output file choice, a run over real sample files, the settings dialog with OK and
// Cancel, and the program entry with and without a display.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <vector>

#include "catalog/catalog.h"
#include "common/paths.h"
#include "common/text.h"
#include "crs/zones.h"
#include "support/test_support.h"
#include "susetu/susetu.h"
#include "ui/NabikU.h"
#include "ui/OKRightDlg.h"
#include "ui/PreviewU.h"
#include "ui/fieldtext.h"
#include "ui/filefilter.h"
#include "ui/messages.h"
#include "ui/previewdraw.h"
#include "ui/startup.h"
#include "unlha32/unlha32.h"

namespace fs = std::filesystem;
using testing_support::MakePreviewScene;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::Sample;
using testing_support::ScratchDir;
using testing_support::WriteFile;

namespace {

// One application for the whole program, on the offscreen platform unless told otherwise.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // A locale that writes decimal commas, as a user's may be (scripts/install-deps.sh makes it).
    qputenv("LC_ALL", "de_DE.UTF-8");
    static int argc = 1;
    static char name[] = "ui_test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    PrepareApplication();
    StartUnlha();
  }
  void TearDown() override {
    StopUnlha();
    delete app_;
  }

 private:
  QApplication* app_ = nullptr;
};
[[maybe_unused]] const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

QString U(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// A message box as the user would have seen it.
struct tshown {
  QWidget* Owner;
  QString Caption;
  QString Text;
  QMessageBox::Icon Icon;
};

// Every test: its own settings file, the shipped catalog, message boxes recorded.
class Windows : public ::testing::Test {
 protected:
  void SetUp() override {
    savedSettings_ = SettingsFilePath;
    savedCatalog_ = CatalogFilePath;
    savedHook_ = UnlhaMessageHook;
    SettingsFilePath = dir_.Folder() + "nabik.Ini";
    CatalogFilePath = std::string(NABIK_BINARY_DIR) + "/nabik.csv";
    MapSettings = tmapsettings{};
    ShowMessageBox = [this](QWidget* owner, const QString& caption, const QString& text,
                            QMessageBox::Icon icon) {
      shown_.push_back({owner, caption, text, icon});
    };
  }
  void TearDown() override {
    ShowMessageBox = ShowModalMessageBox;
    UnlhaMessageHook = savedHook_;
    SettingsFilePath = savedSettings_;
    CatalogFilePath = savedCatalog_;
    MapSettings = tmapsettings{};
    LayerCatalog.clear();
  }

  // The settings file holding `utf8` (converted to CP932).
  void WriteSettings(const std::string& utf8) { WriteFile(SettingsFilePath, Sjis(utf8)); }
  std::string SettingsText() const { return ReadFile(SettingsFilePath); }
  bool SettingsExist() const { return fs::exists(SettingsFilePath); }

  std::unique_ptr<TNabikF> Start() {
    std::unique_ptr<TNabikF> window = CreateWindows();
    if (window) {
      window->OpenUrl = [this](const QUrl& url) { opened_.push_back(url); };
      window->OKRightDlg->ChooseFontFile = [this](const QString& folder) {
        fontFolders_.push_back(folder);
        return fontChoice_;
      };
    }
    return window;
  }

  // Chooses `files` in the input file dialog.
  static void Choose(TNabikF& window, const QStringList& files) {
    window.ChooseInputFiles = [files] { return files; };
    window.bRef->click();
  }

  static QStringList Lines(const TNabikF& window) {
    QStringList lines;
    for (int i = 0; i < window.cL->count(); ++i) lines << window.cL->item(i)->text();
    return lines;
  }

  // Shows the dialog modally and lets `act` work on it while it is open.
  static int ExecDialog(TOKRightDlg& dialog, std::function<void()> act) {
    QTimer::singleShot(0, &dialog, std::move(act));
    return dialog.exec();
  }

  ScratchDir dir_;
  std::vector<tshown> shown_;
  std::vector<QUrl> opened_;
  std::vector<QString> fontFolders_;
  QString fontChoice_;

 private:
  std::string savedSettings_;
  std::string savedCatalog_;
  tmessagehook savedHook_ = nullptr;
};

// --- the main window's controls ---

struct tcontrol {
  const char* Name;
  QRect Place;
  const char* Caption;  // nullptr: no caption to check
};

TEST_F(Windows, MainWindowHasEveryDesignedControlInPlace) {
  auto window = Start();
  ASSERT_TRUE(window);
  EXPECT_EQ(window->objectName(), "NabikF");
  EXPECT_EQ(window->windowTitle(), "NabikF");
  EXPECT_EQ(window->size(), QSize(529, 552));
  EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "the window is not resizable";
  EXPECT_EQ(window->pos(), QPoint(199, 116));

  const tcontrol controls[] = {
      {"bRef", {8, 8, 75, 25}, "①　参　照"},
      {"Button1", {176, 40, 75, 25}, "②　参　照"},
      {"bExecute", {320, 8, 75, 25}, "③　実　行"},
      {"Button2", {320, 40, 75, 25}, "④　閉じる"},
      {"eOutPath", {8, 64, 513, 20}, nullptr},
      {"cL", {8, 88, 513, 409}, nullptr},
      {"Panel1", {8, 504, 113, 25}, ""},
      {"Button3", {136, 504, 75, 25}, "ヘルプ"},
      {"Button4", {224, 504, 75, 25}, "基盤地図"},
      {"Button5", {312, 504, 75, 25}, "MAP設定"},
      {"Button6", {400, 504, 75, 25}, "プレビュー"},
      {"SBar", {0, 533, 529, 19}, nullptr},
      {"LB", {552, 328, 105, 81}, nullptr},
  };
  for (const tcontrol& c : controls) {
    SCOPED_TRACE(c.Name);
    QWidget* control = window->findChild<QWidget*>(QString::fromLatin1(c.Name));
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->geometry(), c.Place);
    if (!c.Caption) continue;
    if (auto* button = qobject_cast<QPushButton*>(control)) {
      EXPECT_EQ(button->text(), U(c.Caption));
    } else if (auto* label = qobject_cast<QLabel*>(control)) {
      EXPECT_EQ(label->text(), U(c.Caption));
    }
  }
  // The label may only grow to its caption, never lose it.
  EXPECT_EQ(window->Label1->text(), U("出力フォルダー（変換情報）"));
  EXPECT_EQ(window->Label1->pos(), QPoint(8, 48));
  EXPECT_GE(window->Label1->width(), window->Label1->sizeHint().width());
  EXPECT_TRUE(window->LB->isHidden());
  EXPECT_NE(window->Panel1->frameShape(), QFrame::NoFrame);
  EXPECT_TRUE(window->SBar->currentMessage().isEmpty());
}

TEST_F(Windows, MainWindowFontShowsJapaneseText) {
  auto window = Start();
  ASSERT_TRUE(window);
  const QFont font = window->font();
  EXPECT_EQ(font.families().value(0), U("ＭＳ Ｐゴシック"));
  EXPECT_EQ(font.pixelSize(), 12);
  const QFontMetrics metrics(font);
  for (const char* text : {"①", "参", "ァ", "ー", "（", "設"})
    EXPECT_TRUE(metrics.inFont(U(text).at(0)))
        << text << " in " << QFontInfo(font).family().toStdString();
}

TEST_F(Windows, TabOrderFollowsTheDesign) {
  auto window = Start();
  ASSERT_TRUE(window);
  const std::vector<QWidget*> designed = {window->cL,      window->bExecute, window->eOutPath,
                                          window->Button1, window->Button2,  window->Button3,
                                          window->Button4, window->Button5,  window->bRef};
  std::vector<QWidget*> seen;
  QWidget* w = window->cL;
  for (int step = 0; step < 100 && seen.size() < designed.size(); ++step, w = w->nextInFocusChain())
    if (std::find(designed.begin(), designed.end(), w) != designed.end()) seen.push_back(w);
  EXPECT_EQ(seen, designed);
  EXPECT_EQ(window->Panel1->focusPolicy(), Qt::NoFocus);
}

// --- start-up ---

TEST_F(Windows, StartWithoutSettingsFileShowsTheDefaults) {
  auto window = Start();
  ASSERT_TRUE(window);
  EXPECT_GT(LayerCount(), 0);
  EXPECT_TRUE(window->eOutPath->text().isEmpty());
  EXPECT_TRUE(window->Panel1->text().isEmpty());
  TOKRightDlg& d = *window->OKRightDlg;
  EXPECT_TRUE(d.isHidden());
  EXPECT_EQ(d.Edit3->text(), "400");
  EXPECT_EQ(d.Edit4->text(), "300");
  EXPECT_EQ(d.ComboBox1->currentIndex(), 1);
  EXPECT_EQ(d.ComboBox1->currentText(), U("メートル"));
  EXPECT_EQ(d.ComboBox2->currentIndex(), 0);
  EXPECT_TRUE(d.ComboBox2->currentText().isEmpty());
  EXPECT_FALSE(d.CheckBox1->isChecked());
  EXPECT_FALSE(d.CheckBox2->isChecked());
  for (QLineEdit* text : {d.Edit1, d.Edit2, d.Edit5, d.Edit6, d.Edit7, d.Edit8, d.Edit9})
    EXPECT_TRUE(text->text().isEmpty()) << text->objectName().toStdString();
  EXPECT_EQ(d.eFontName->text(), ShownText(DefaultKanjiFont()));
  EXPECT_EQ(MapSettings.KanjiFont, DefaultKanjiFont());
  EXPECT_FALSE(SettingsExist()) << "reading never creates the settings file";
  EXPECT_TRUE(shown_.empty());
}

TEST_F(Windows, StartWithSettingsFileShowsItsValues) {
  WriteSettings(
      "[フォルダー]\r\n出力=/data/出力/list.txt\r\n"
      "[MapServer]\r\nMapファイル名=hand.map\r\nレイヤ情報のみ=1\r\nMap名=福岡\r\n"
      "地図サイズ幅=0x1F4\r\n地図サイズ高さ=250\r\n座標単位=0\r\n座標タイプ=3\r\n"
      "最小スケール=1000\r\n最大スケール=50000\r\nWebヘッダ=h.html\r\n"
      "Webテンプレート=t.html\r\nWebフッタ=f.html\r\n漢字フォント=/fonts/ipag.ttf\r\n"
      "シームレス=1\r\n");
  auto window = Start();
  ASSERT_TRUE(window);
  EXPECT_EQ(window->eOutPath->text(), U("/data/出力/list.txt"));
  TOKRightDlg& d = *window->OKRightDlg;
  EXPECT_EQ(d.Edit1->text(), "hand.map");
  EXPECT_TRUE(d.CheckBox1->isChecked());
  EXPECT_EQ(d.Edit2->text(), U("福岡"));
  EXPECT_EQ(d.Edit3->text(), "500");
  EXPECT_EQ(d.Edit4->text(), "250");
  EXPECT_EQ(d.ComboBox1->currentIndex(), 0);
  EXPECT_EQ(d.ComboBox2->currentText(), "png");
  EXPECT_EQ(d.Edit5->text(), "1000");
  EXPECT_EQ(d.Edit6->text(), "50000");
  EXPECT_EQ(d.Edit7->text(), "h.html");
  EXPECT_EQ(d.Edit8->text(), "t.html");
  EXPECT_EQ(d.Edit9->text(), "f.html");
  EXPECT_EQ(d.eFontName->text(), "/fonts/ipag.ttf");
  EXPECT_TRUE(d.CheckBox2->isChecked());
  for (QWidget* hidden : {static_cast<QWidget*>(d.Label1), static_cast<QWidget*>(d.Edit1),
                          static_cast<QWidget*>(d.Edit7), static_cast<QWidget*>(d.Edit8),
                          static_cast<QWidget*>(d.Edit9)})
    EXPECT_TRUE(hidden->isHidden()) << hidden->objectName().toStdString();
}

TEST_F(Windows, MissingCatalogEndsWithoutWindowMessageOrSettings) {
  CatalogFilePath = dir_.Folder() + "absent.csv";
  EXPECT_EQ(CreateWindows(), nullptr);
  EXPECT_TRUE(shown_.empty());
  EXPECT_FALSE(SettingsExist());
}

TEST_F(Windows, MalformedCatalogIsReportedAndTheWindowOpensWithTheEntriesBefore) {
  CatalogFilePath = dir_.Folder() + "nabik.csv";
  WriteFile(CatalogFilePath, Sjis("AdmPt,行政区画代表点,3,name,circle,0 0 0\r\n"
                                  "RailCL,鉄道,4a,,,0 0 0\r\n"
                                  "WL,水涯線,1,,,0 0 255\r\n"));
  WriteSettings("[フォルダー]\r\n出力=/data/list.txt\r\n");
  auto window = Start();
  ASSERT_TRUE(window);
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].Caption, "Nabik");
  EXPECT_EQ(shown_[0].Text, "'4a' is not a valid integer value");
  EXPECT_EQ(shown_[0].Icon, QMessageBox::Critical);
  ASSERT_EQ(LayerCount(), 1);
  EXPECT_EQ(CatalogEntry(1).Name, "AdmPt");
  EXPECT_EQ(window->eOutPath->text(), "/data/list.txt") << "start-up goes on after the message";
  EXPECT_EQ(MapSettings.MapWidth, 400);
}

// --- choosing files ---

struct tchoice {
  const char* Case;
  QStringList Chosen;
  QStringList Taken;
};

class InputChoice : public Windows, public ::testing::WithParamInterface<tchoice> {};

TEST_P(InputChoice, TakesExactlyLowerCaseXmlAndZip) {
  auto window = Start();
  ASSERT_TRUE(window);
  Choose(*window, GetParam().Chosen);
  EXPECT_EQ(Lines(*window), GetParam().Taken);
  EXPECT_EQ(window->Panel1->text(), FileCountText(static_cast<int>(GetParam().Taken.size())));
  for (int i = 0; i < window->cL->count(); ++i)
    EXPECT_EQ(window->cL->item(i)->checkState(), Qt::Checked);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, InputChoice,
    ::testing::Values(tchoice{"UpperCaseRefused", {"/d/A.XML"}, {}},
                      tchoice{"LowerCaseTaken", {"/d/A.xml"}, {"/d/A.xml"}},
                      tchoice{"MixedChoice",
                              {"/d/a.xml", "/d/b.ZIP", "/d/c.Zip", "/d/d.zip", "/d/e.xml.bak",
                               "/d/f", "/d/g.txt"},
                              {"/d/a.xml", "/d/d.zip"}},
                      tchoice{"DuplicatesKept", {"/d/a.xml", "/d/a.xml"}, {"/d/a.xml", "/d/a.xml"}},
                      tchoice{
                          "DotInFolderOnly", {"/d.xml/readme", "/d.zip/a.xml"}, {"/d.zip/a.xml"}},
                      tchoice{"JapaneseNames", {"/データ/東京.xml"}, {"/データ/東京.xml"}},
                      tchoice{"CancelOnEmptyList", {}, {}}),
    [](const ::testing::TestParamInfo<tchoice>& info) { return info.param.Case; });

TEST_F(Windows, CancellingKeepsTheListAndRefreshesTheCount) {
  auto window = Start();
  ASSERT_TRUE(window);
  Choose(*window, {"/d/a.xml", "/d/b.zip"});
  Choose(*window, {});
  EXPECT_EQ(window->Panel1->text(), U("ファイル数 : 2"));
  Choose(*window, {"/d/c.xml"});
  EXPECT_EQ(Lines(*window), QStringList({"/d/a.xml", "/d/b.zip", "/d/c.xml"}));
  EXPECT_EQ(window->Panel1->text(), U("ファイル数 : 3"));
}

TEST_F(Windows, CountIncludesUncheckedLinesAndPanelIsClearedWhileChoosing) {
  auto window = Start();
  ASSERT_TRUE(window);
  Choose(*window, {"/d/a.xml", "/d/b.xml"});
  window->cL->item(0)->setCheckState(Qt::Unchecked);
  QString duringDialog = "not asked";
  window->ChooseInputFiles = [&] {
    duringDialog = window->Panel1->text();
    return QStringList();
  };
  window->bRef->click();
  EXPECT_TRUE(duringDialog.isEmpty());
  EXPECT_EQ(window->Panel1->text(), U("ファイル数 : 2"));
}

TEST_F(Windows, InputLinesKeepTheFileSystemBytes) {
  auto window = Start();
  ASSERT_TRUE(window);
  Choose(*window, {U("/データ/東京.xml")});
  EXPECT_EQ(window->InputFileBytes(0),
            "/\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF/\xE6\x9D\xB1\xE4\xBA\xAC.xml");
}

TEST_F(Windows, OutputFileChoiceFillsThePathAndCancelKeepsIt) {
  auto window = Start();
  ASSERT_TRUE(window);
  window->ChooseOutputFile = [] { return U("/data/出力/list.txt"); };
  window->Button1->click();
  EXPECT_EQ(window->eOutPath->text(), U("/data/出力/list.txt"));
  window->ChooseOutputFile = [] { return QString(); };
  window->Button1->click();
  EXPECT_EQ(window->eOutPath->text(), U("/data/出力/list.txt"));
  EXPECT_FALSE(fs::exists("/data/出力/list.txt")) << "nothing is created on choosing";
}

TEST(FileFilter, DesignedRowsBecomeQtNameFilters) {
  EXPECT_EQ(
      QtNameFilters(InputFileFilter()),
      QStringList({U("基盤地図 (*.xml *.zip)"), U("基盤地図 (*.xml)"), U("基盤地図 (*.zip)")}));
  EXPECT_EQ(QtNameFilters("Text|*.txt"), QStringList({"Text (*.txt)"}));
  EXPECT_EQ(QtNameFilters("|*.a;;*.b"), QStringList({"(*.a *.b)"}));
  EXPECT_EQ(QtNameFilters("No patterns||Dangling"), QStringList());
  EXPECT_EQ(QtNameFilters(""), QStringList());
}

// --- the two web pages ---

TEST_F(Windows, HelpAndProviderPagesOpen) {
  auto window = Start();
  ASSERT_TRUE(window);
  window->Button3->click();
  window->Button4->click();
  ASSERT_EQ(opened_.size(), 2u);
  EXPECT_TRUE(opened_[0].isLocalFile());
  EXPECT_EQ(QFile::encodeName(opened_[0].toLocalFile()).toStdString(), ExeFolder() + "help.html");
  EXPECT_EQ(opened_[1].scheme(), "https");
  EXPECT_EQ(opened_[1].host(), "www.gsi.go.jp");
  EXPECT_TRUE(fs::exists(std::string(NABIK_SOURCE_DIR) + "/data/help.html"));
  EXPECT_TRUE(fs::exists(std::string(NABIK_BINARY_DIR) + "/help.html")) << "shipped beside nabik";
  EXPECT_TRUE(shown_.empty());
}

// --- a run from the window ---

class Run : public Windows {
 protected:
  void SetUp() override {
    Windows::SetUp();
    output_ = dir_.Folder() + "out/list.txt";
    window_ = Start();
    ASSERT_TRUE(window_);
    SetFieldBytes(window_->eOutPath, output_);
    QObject::connect(window_->SBar, &QStatusBar::messageChanged,
                     [this](const QString& text) { statuses_ << text; });
  }

  // Clicks the execute button; a timer that fires whenever the run lets the window work notes
  // the button's state, and whether the output field and its chooser can be used, typing into
  // the field (what lands must be nothing). `during` looks at the window then too.
  void Execute(const std::function<void()>& during = {}) {
    QTimer probe;
    probe.setInterval(0);
    QObject::connect(&probe, &QTimer::timeout, [this, &during] {
      if (during) during();
      enabledDuring_.push_back(window_->bExecute->isEnabled());
      outputOpenDuring_.push_back(!window_->eOutPath->isReadOnly() ||
                                  window_->Button1->isEnabled());
      QTest::keyClicks(window_->eOutPath, "x");
    });
    probe.start();
    window_->bExecute->click();
    probe.stop();
  }

  std::string output_;
  std::unique_ptr<TNabikF> window_;
  QStringList statuses_;
  std::vector<bool> enabledDuring_, outputOpenDuring_;
};

TEST_F(Run, ConvertsSampleFilesAndEndsWithTheClosingMessage) {
  const std::string admPt =
      Sample("gml/FG-GML-503041-ALL-20181001/FG-GML-503041-AdmPt-20181001-0001.xml");
  const std::string railCl =
      Sample("gml/FG-GML-503041-ALL-20181001/FG-GML-503041-RailCL-20181001-0001.xml");
  const std::string archive = Sample("jpgis/FG-JPS-13112-05-Z001.zip");
  Choose(*window_, {QString::fromStdString(admPt), QString::fromStdString(railCl),
                    QString::fromStdString(archive)});
  window_->show();
  Execute();

  const std::string out = dir_.Folder() + "out/";
  // The archive's files lie in a folder of its own below tmp/ (process and count).
  const QRegularExpression work(
      QRegularExpression::escape(QString::fromStdString(out + "tmp/")) + "[0-9]+\\.0/0/" +
      QRegularExpression::escape("FG-JPS-13112-AdmArea-20111221-0001.xml"));
  EXPECT_TRUE(statuses_.contains(QString::fromStdString(admPt) + U("処理中")));
  EXPECT_TRUE(statuses_.contains(QString::fromStdString(railCl) + U("処理中")));
  EXPECT_TRUE(statuses_.contains(U("解凍中")));
  EXPECT_FALSE(statuses_.filter(QRegularExpression("^" + work.pattern() + "$")).isEmpty());
  EXPECT_FALSE(
      statuses_.filter(QRegularExpression("^" + work.pattern() + U("処理中") + "$")).isEmpty());
  EXPECT_TRUE(statuses_.contains(U("MAPファイル作成中")));
  EXPECT_EQ(window_->SBar->currentMessage(), U("処理終了"));

  for (int i = 0; i < window_->cL->count(); ++i)
    EXPECT_EQ(window_->cL->item(i)->checkState(), Qt::Unchecked) << i;
  for (const char* layer : {"AdmPt", "RailCL", "AdmArea", "AdmBdry"})
    EXPECT_TRUE(fs::exists(out + layer + ".shp")) << layer;
  EXPECT_TRUE(fs::is_empty(out + "tmp"));
  EXPECT_EQ(ReadFile(output_), admPt + "\r\n" + railCl + "\r\n" + archive + "\r\n");
  // The field could not be changed during the run: the list and the map file went where the
  // sets went, and the field shows that path still.
  EXPECT_EQ(window_->eOutPath->text().toStdString(), output_);
  ASSERT_FALSE(outputOpenDuring_.empty());
  for (bool open : outputOpenDuring_) EXPECT_FALSE(open);
  EXPECT_FALSE(window_->eOutPath->isReadOnly());
  EXPECT_TRUE(window_->Button1->isEnabled());
  // The export ran at the end of the run, with the data files beside the test program.
  EXPECT_TRUE(fs::exists(out + "ms4w/Apache/htdocs/list.map"));
  EXPECT_TRUE(fs::exists(out + "nabik.php"));
  // The suite runs in a locale that writes decimal commas (it must really be in force, or the
  // check proves nothing); the map file's numbers keep points.
  EXPECT_EQ(std::string(std::setlocale(LC_MONETARY, nullptr)).substr(0, 5), "de_DE");
  EXPECT_TRUE(std::regex_search(ReadFile(out + "ms4w/Apache/htdocs/list.map"),
                                std::regex(R"(\n *EXTENT( +-?[0-9]+\.[0-9]+){4}\r?\n)")));

  ASSERT_FALSE(shown_.empty());
  EXPECT_EQ(shown_.back().Caption, "Nabik");
  EXPECT_EQ(shown_.back().Text, U("変換が終了しました"));
  EXPECT_EQ(shown_.back().Owner, window_.get());
  for (const tshown& s : shown_) EXPECT_NE(s.Icon, QMessageBox::Critical) << s.Text.toStdString();

  ASSERT_FALSE(enabledDuring_.empty()) << "the window did not process messages during the run";
  for (bool enabled : enabledDuring_) EXPECT_FALSE(enabled);
  EXPECT_TRUE(window_->bExecute->isEnabled());
  EXPECT_FALSE(window_->Running());
}

TEST_F(Run, NothingCheckedEndsInterrupted) {
  Choose(*window_, {QString::fromStdString(Sample("gml/FG-GML-13-RailCL25000-20080331-0001.xml"))});
  window_->cL->item(0)->setCheckState(Qt::Unchecked);
  Execute();
  ASSERT_FALSE(shown_.empty());
  EXPECT_EQ(shown_.back().Caption, "Nabik");
  EXPECT_EQ(shown_.back().Text, U("変換が中断しました"));
  EXPECT_EQ(ReadFile(output_), Sample("gml/FG-GML-13-RailCL25000-20080331-0001.xml") + "\r\n");
  EXPECT_TRUE(window_->bExecute->isEnabled());
}

TEST_F(Run, FilesChosenDuringTheRunWaitForTheNext) {
  Choose(*window_, {QString::fromStdString(Sample("gml/FG-GML-13-RailCL25000-20080331-0001.xml"))});
  // Added once the loop is under way (the first file is being converted).
  bool added = false;
  QTimer chooser;
  chooser.setInterval(0);
  QObject::connect(&chooser, &QTimer::timeout, [&] {
    if (added || !window_->SBar->currentMessage().endsWith(U("処理中"))) return;
    added = true;
    Choose(*window_,
           {QString::fromStdString(Sample("jpgis/FG-JPS-13112-CommPt-20111221-0001.xml"))});
  });
  chooser.start();
  window_->bExecute->click();
  chooser.stop();
  ASSERT_TRUE(added);
  ASSERT_EQ(window_->cL->count(), 2);
  EXPECT_EQ(window_->cL->item(0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(window_->cL->item(1)->checkState(), Qt::Checked) << "not converted by this run";
  EXPECT_FALSE(fs::exists(dir_.Folder() + "out/CommPt.shp"));
  EXPECT_NE(ReadFile(output_).find("CommPt"), std::string::npos) << "but listed";
}

TEST_F(Run, EmptyOutputPathStartsNoRun) {
  Choose(*window_, {"/d/a.xml"});
  window_->eOutPath->clear();
  Execute();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].Text, ShownText(NoOutputFileText()));
  EXPECT_EQ(window_->cL->item(0)->checkState(), Qt::Checked);
  EXPECT_TRUE(window_->bExecute->isEnabled());
}

TEST_F(Run, UnreadableArchiveIsReportedAndTheButtonComesBack) {
  const std::string broken = dir_.Folder() + "broken.zip";
  WriteFile(broken, "not a zip archive");
  Choose(*window_, {QString::fromStdString(broken)});
  Execute();
  ASSERT_FALSE(shown_.empty());
  EXPECT_EQ(shown_.back().Caption, "Nabik");
  EXPECT_NE(shown_.back().Text, U("変換が終了しました"));
  EXPECT_TRUE(window_->bExecute->isEnabled());
  EXPECT_FALSE(window_->Running());
}

// Files no layer matched are counted on a second line of the closing message.
TEST_F(Run, TheClosingMessageCountsFilesNoLayerMatched) {
  WriteFile(dir_.Folder() + "notes.xml", "not FGD");
  Choose(*window_, {QString::fromStdString(Sample("gml/FG-GML-13-RailCL25000-20080331-0001.xml")),
                    QString::fromStdString(dir_.Folder() + "notes.xml")});
  Execute();
  EXPECT_EQ(shown_.back().Text, U("変換が終了しました\n一致するレイヤがないファイル: 1"));
}

// --- closing ---

TEST_F(Windows, ClosingStoresTheOutputPathEvenWhenEmpty) {
  auto window = Start();
  ASSERT_TRUE(window);
  window->show();
  window->Button2->click();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(SettingsText(), Sjis("[フォルダー]\r\n出力=\r\n"));
}

TEST_F(Windows, ClosingStoresTheTypedPathAndKeepsAStoredPathByteForByte) {
  // A path stored in CP932 by hand: shown decoded, written back unchanged when untouched.
  const std::string stored = Sjis("/data/出力/list.txt");
  WriteFile(SettingsFilePath, Sjis("[フォルダー]\r\n出力=") + stored + "\r\n");
  auto window = Start();
  ASSERT_TRUE(window);
  EXPECT_EQ(window->eOutPath->text(), U("/data/出力/list.txt"));
  window->close();
  EXPECT_EQ(ReadOutputPath(), stored);

  auto again = Start();
  ASSERT_TRUE(again);
  again->eOutPath->setText(U("/新しい/list.txt"));
  again->close();
  EXPECT_EQ(ReadOutputPath(), "/\xE6\x96\xB0\xE3\x81\x97\xE3\x81\x84/list.txt");
}

TEST_F(Windows, ClosingReportsASettingsFileThatCannotBeWritten) {
  auto window = Start();
  ASSERT_TRUE(window);
  SettingsFilePath = dir_.Folder() + "missing/nabik.Ini";
  window->close();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].Caption, "Nabik");
  EXPECT_EQ(shown_[0].Text, QString::fromStdString("Unable to write to " + SettingsFilePath));
  EXPECT_EQ(shown_[0].Icon, QMessageBox::Critical);
}

// --- the settings dialog ---

TEST_F(Windows, SettingsDialogHasItsDesignedFrameAndComponents) {
  auto window = Start();
  ASSERT_TRUE(window);
  TOKRightDlg& d = *window->OKRightDlg;
  EXPECT_EQ(d.objectName(), "OKRightDlg");
  EXPECT_EQ(d.windowTitle(), U("mapserver設定"));
  EXPECT_EQ(d.size(), QSize(571, 385));
  EXPECT_EQ(d.minimumSize(), d.maximumSize());
  EXPECT_TRUE(d.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(d.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(d.OKBtn->isDefault());
  EXPECT_EQ(d.OKBtn->text(), U("確　定"));
  EXPECT_EQ(d.CancelBtn->text(), U("キャンセル"));
  EXPECT_EQ(d.Button2->text(), U("参　照"));
  EXPECT_EQ(d.Label1->text(), U("Map　ファイル"));
  EXPECT_EQ(d.CheckBox1->text(), U("レイヤ情報のみエクスポート"));
  EXPECT_EQ(d.CheckBox2->text(), U("シームレスファイル使用"));
  EXPECT_EQ(d.GroupBox1->title(), U("地図"));
  EXPECT_EQ(d.GroupBox2->title(), U("Webインターフェース定義"));
  EXPECT_EQ(d.GroupBox3->title(), U("日本語"));
  const QStringList units = {"", U("メートル")};
  const QStringList types = {"", "gif", "jpeg", "png"};
  QStringList seen;
  for (int i = 0; i < d.ComboBox1->count(); ++i) seen << d.ComboBox1->itemText(i);
  EXPECT_EQ(seen, units);
  seen.clear();
  for (int i = 0; i < d.ComboBox2->count(); ++i) seen << d.ComboBox2->itemText(i);
  EXPECT_EQ(seen, types);
  EXPECT_TRUE(d.ComboBox1->isEditable());
  EXPECT_TRUE(d.ComboBox2->isEditable());
  seen.clear();
  for (int i = 0; i < d.cbExportForm->count(); ++i) seen << d.cbExportForm->itemText(i);
  EXPECT_EQ(seen, QStringList({"MS4W", "MapServer 8"}));
  EXPECT_FALSE(d.cbExportForm->isEditable());
  EXPECT_EQ(d.cbExportForm->parentWidget(), d.GroupBox2);
  // The coordinate systems: as declared, then the zones I to XIX, each with its CRS and regions.
  ASSERT_EQ(d.cbTargetCrs->count(), crs::kPlaneZoneChoices);
  EXPECT_EQ(d.cbTargetCrs->currentIndex(), 0);
  for (int k = 0; k < crs::kPlaneZoneChoices; ++k) {
    const crs::tplanezone* zone = crs::PlaneZone(k);
    EXPECT_EQ(d.cbTargetCrs->itemText(k), QString::fromStdString(crs::PlaneZoneChoice(k))) << k;
    EXPECT_EQ(d.cbTargetCrs->itemData(k).toByteArray().toStdString(),
              zone ? crs::PlaneZoneCrs(*zone) : std::string())
        << k;
    const QString tip = d.cbTargetCrs->itemData(k, Qt::ToolTipRole).toString();
    EXPECT_TRUE(zone ? tip.contains(U(zone->Regions)) : !tip.isEmpty()) << k;
  }
  EXPECT_FALSE(d.cbTargetCrs->isEditable());
  EXPECT_EQ(d.cbTargetCrs->parentWidget(), d.GroupBox2);
  EXPECT_GT(d.cbTargetCrs->y(), d.cbDataFormat->y());
  // The open list is as wide as the longest zone's text, or the screen.
  int widest = 0;
  for (int k = 0; k < d.cbTargetCrs->count(); ++k)
    widest = std::max(widest,
                      d.cbTargetCrs->fontMetrics().horizontalAdvance(d.cbTargetCrs->itemText(k)));
  d.show();
  d.cbTargetCrs->showPopup();
  QWidget* popup = d.cbTargetCrs->view()->window();
  EXPECT_TRUE(popup->isVisible());
  EXPECT_GE(popup->width(), std::min(widest, d.screen()->availableGeometry().width()));
  d.cbTargetCrs->hidePopup();
  d.hide();
  // The frame's visible components lie inside it and overlap no other.
  QList<QWidget*> inFrame;
  for (QWidget* w : d.GroupBox2->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (!w->isHidden()) inFrame << w;
  EXPECT_EQ(inFrame.size(), 6);
  for (QWidget* w : inFrame) {
    EXPECT_TRUE(d.GroupBox2->contentsRect().contains(w->geometry()))
        << w->objectName().toStdString();
    for (QWidget* other : inFrame)
      EXPECT_TRUE(w == other || !w->geometry().intersects(other->geometry()))
          << w->objectName().toStdString() << " " << other->objectName().toStdString();
  }
  // Every visible component lies inside the client area with its caption uncut.
  for (QWidget* w : d.findChildren<QWidget*>()) {
    if (w->isHidden() || !w->parentWidget() || w->parentWidget() != &d) continue;
    EXPECT_TRUE(d.rect().contains(w->geometry())) << w->objectName().toStdString();
  }
  for (QPushButton* b : {d.OKBtn, d.CancelBtn, d.Button2})
    EXPECT_GE(b->width(), b->fontMetrics().horizontalAdvance(b->text())) << b->text().toStdString();
  for (QCheckBox* c : {d.CheckBox1, d.CheckBox2})
    EXPECT_GE(c->width(), c->sizeHint().width()) << c->text().toStdString();
  for (QLabel* l : d.findChildren<QLabel*>())
    EXPECT_GE(l->width(), l->sizeHint().width()) << l->text().toStdString();
}

TEST_F(Windows, OkStoresTheFieldsAndTheMainWindowReloads) {
  auto window = Start();
  ASSERT_TRUE(window);
  TOKRightDlg& d = *window->OKRightDlg;
  QTimer::singleShot(0, &d, [&] {
    d.Edit2->setText(U("福岡の地図"));
    d.ComboBox2->setCurrentIndex(3);
    d.CheckBox1->setChecked(true);
    d.cbExportForm->setCurrentIndex(1);
    d.OKBtn->click();
  });
  window->Button5->click();
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(MapSettings.ExportForm, ExportFormMapServer8);
  EXPECT_EQ(MapSettings.MapName, Sjis("福岡の地図"));
  EXPECT_EQ(MapSettings.ImageType, 3);
  EXPECT_TRUE(MapSettings.LayersOnly);
  EXPECT_EQ(MapSettings.MapWidth, 400);
  const std::string file = SettingsText();
  EXPECT_NE(file.find(Sjis("Map名=福岡の地図\r\n")), std::string::npos);
  EXPECT_NE(file.find(Sjis("座標タイプ=3\r\n")), std::string::npos);
  EXPECT_NE(file.find(Sjis("座標単位=1\r\n")), std::string::npos);
  EXPECT_NE(file.find(Sjis("漢字フォント=") + DefaultKanjiFont() + "\r\n"), std::string::npos);
  EXPECT_TRUE(shown_.empty());
}

TEST_F(Windows, ChoosingZoneIxStoresItsCrsAndTheMainWindowReloads) {
  auto window = Start();
  ASSERT_TRUE(window);
  TOKRightDlg& d = *window->OKRightDlg;
  QTimer::singleShot(0, &d, [&] {
    d.cbTargetCrs->setCurrentIndex(9);
    d.OKBtn->click();
  });
  window->Button5->click();
  EXPECT_EQ(MapSettings.TargetCrs, "EPSG:6677");
  EXPECT_TRUE(SettingsText().ends_with(Sjis("\r\n座標系=EPSG:6677\r\n"))) << SettingsText();
  // The closed list names the chosen zone's regions.
  EXPECT_TRUE(d.cbTargetCrs->toolTip().contains(U(crs::PlaneZone(9)->Regions)));
  EXPECT_TRUE(shown_.empty());
}

TEST_F(Windows, AStoredCrsIsShownAndKeptThroughOk) {
  struct Case {
    const char* what;
    std::string stored;  // the settings file's "座標系" value, UTF-8
    int shownAt;         // the list position shown
    int items;           // the list's length
  };
  const std::vector<Case> cases = {
      {"a zone", "EPSG:6670", 2, crs::kPlaneZoneChoices},
      {"an own code", "EPSG:2451", crs::kPlaneZoneChoices, crs::kPlaneZoneChoices + 1},
      {"an own WKT", "PROJCRS[\"手書き\",BASEGEOGCRS[\"JGD2011\"]]", crs::kPlaneZoneChoices,
       crs::kPlaneZoneChoices + 1},
      {"the key empty", "", 0, crs::kPlaneZoneChoices},
  };
  for (const Case& c : cases) {
    WriteSettings("[MapServer]\r\n座標系=" + c.stored + "\r\n");
    auto window = Start();
    ASSERT_TRUE(window);
    TOKRightDlg& d = *window->OKRightDlg;
    EXPECT_EQ(d.cbTargetCrs->count(), c.items) << c.what;
    EXPECT_EQ(d.cbTargetCrs->currentIndex(), c.shownAt) << c.what;
    if (c.shownAt == crs::kPlaneZoneChoices) {
      EXPECT_EQ(d.cbTargetCrs->currentText(), U(c.stored.c_str())) << c.what;
    }
    ExecDialog(d, [&] { d.OKBtn->click(); });
    // In its place, once.
    const std::string file = SettingsText();
    const std::string line = Sjis("\r\n座標系=" + c.stored + "\r\n");
    EXPECT_TRUE(file.starts_with(Sjis("[MapServer]") + line)) << c.what;
    EXPECT_EQ(file.find(Sjis("座標系=")), file.rfind(Sjis("座標系="))) << c.what;
  }
}

TEST_F(Windows, WidthOf12aStoresZeroButTheFieldKeepsIt) {
  auto window = Start();
  ASSERT_TRUE(window);
  TOKRightDlg& d = *window->OKRightDlg;
  QTimer::singleShot(0, &d, [&] {
    d.Edit3->setText("12a");
    d.OKBtn->click();
  });
  window->Button5->click();
  EXPECT_NE(SettingsText().find(Sjis("地図サイズ幅=0\r\n")), std::string::npos);
  EXPECT_EQ(MapSettings.MapWidth, 0);
  EXPECT_EQ(d.Edit3->text(), "12a");
}

TEST_F(Windows, ClearedFontFieldStoresEmptyAndMemoryTakesTheDefault) {
  auto window = Start();
  ASSERT_TRUE(window);
  TOKRightDlg& d = *window->OKRightDlg;
  QTimer::singleShot(0, &d, [&] {
    d.eFontName->clear();
    d.OKBtn->click();
  });
  window->Button5->click();
  EXPECT_NE(SettingsText().find(Sjis("漢字フォント=\r\n")), std::string::npos);
  EXPECT_EQ(MapSettings.KanjiFont, DefaultKanjiFont());
  EXPECT_TRUE(d.eFontName->text().isEmpty());
}

// How the dialog is left, and what that must do.
struct tleaving {
  const char* Case;
  std::function<void(TOKRightDlg&)> Leave;
  int Result;
};

class Leaving : public Windows, public ::testing::WithParamInterface<tleaving> {};

TEST_P(Leaving, CancelChangesNothingAndKeepsTheEdits) {
  auto window = Start();
  ASSERT_TRUE(window);
  TOKRightDlg& d = *window->OKRightDlg;
  const tmapsettings before = MapSettings;
  const int result = ExecDialog(d, [&] {
    d.Edit2->setText(U("取消し"));
    d.Edit4->setText("999");
    d.CheckBox2->setChecked(true);
    d.ComboBox1->setCurrentIndex(0);
    GetParam().Leave(d);
  });
  EXPECT_EQ(result, GetParam().Result);
  if (result == ModalResultOk) {
    EXPECT_EQ(MapSettings.MapHeight, 300) << "the main window reloads, the dialog does not";
    EXPECT_NE(SettingsText().find(Sjis("地図サイズ高さ=999\r\n")), std::string::npos);
    return;
  }
  EXPECT_FALSE(SettingsExist());
  EXPECT_EQ(MapSettings.MapName, before.MapName);
  EXPECT_EQ(MapSettings.MapHeight, before.MapHeight);
  // The next showing shows the edits as they were left.
  QString name, height;
  bool seamless = false;
  int unit = -2;
  ExecDialog(d, [&] {
    name = d.Edit2->text();
    height = d.Edit4->text();
    seamless = d.CheckBox2->isChecked();
    unit = ListPosition(d.ComboBox1);
    d.CancelBtn->click();
  });
  EXPECT_EQ(name, U("取消し"));
  EXPECT_EQ(height, "999");
  EXPECT_TRUE(seamless);
  EXPECT_EQ(unit, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, Leaving,
    ::testing::Values(
        tleaving{"CancelButton", [](TOKRightDlg& d) { d.CancelBtn->click(); }, ModalResultCancel},
        tleaving{"Escape", [](TOKRightDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); },
                 ModalResultCancel},
        tleaving{"CloseBox", [](TOKRightDlg& d) { d.close(); }, ModalResultCancel},
        tleaving{"EnterInAField", [](TOKRightDlg& d) { QTest::keyClick(d.Edit2, Qt::Key_Return); },
                 ModalResultOk},
        tleaving{"OkButton", [](TOKRightDlg& d) { d.OKBtn->click(); }, ModalResultOk}),
    [](const ::testing::TestParamInfo<tleaving>& info) { return info.param.Case; });

TEST_F(Windows, CancelFromTheMainWindowKeepsMapSettings) {
  WriteSettings("[MapServer]\r\nMap名=元\r\n");
  auto window = Start();
  ASSERT_TRUE(window);
  const std::string before = SettingsText();
  TOKRightDlg& d = *window->OKRightDlg;
  QTimer::singleShot(0, &d, [&] {
    d.Edit2->setText(U("変更"));
    d.CancelBtn->click();
  });
  window->Button5->click();
  EXPECT_EQ(MapSettings.MapName, Sjis("元"));
  EXPECT_EQ(SettingsText(), before);
}

TEST_F(Windows, ImageTypeNamingNoItemShowsNothingAndOkStoresMinusOne) {
  WriteSettings("[MapServer]\r\n座標タイプ=7\r\n");
  auto window = Start();
  ASSERT_TRUE(window);
  TOKRightDlg& d = *window->OKRightDlg;
  EXPECT_EQ(d.ComboBox2->currentIndex(), -1);
  EXPECT_TRUE(d.ComboBox2->currentText().isEmpty());
  ExecDialog(d, [&] { d.OKBtn->click(); });
  EXPECT_NE(SettingsText().find(Sjis("座標タイプ=-1\r\n")), std::string::npos);
}

TEST_F(Windows, HiddenFieldsCarryTheirKeysThroughOk) {
  WriteSettings(
      "[MapServer]\r\nMapファイル名=手書き.map\r\nWebヘッダ=h\r\nWebテンプレート=t\r\n"
      "Webフッタ=f\r\n");
  auto window = Start();
  ASSERT_TRUE(window);
  TOKRightDlg& d = *window->OKRightDlg;
  for (int round = 0; round < 2; ++round) ExecDialog(d, [&] { d.OKBtn->click(); });
  const std::string file = SettingsText();
  for (const char* line : {"Mapファイル名=手書き.map\r\n", "Webヘッダ=h\r\n",
                           "Webテンプレート=t\r\n", "Webフッタ=f\r\n"})
    EXPECT_NE(file.find(Sjis(line)), std::string::npos) << line;
}

TEST_F(Windows, OkWithAnUnwritableFileReportsAndStillCloses) {
  auto window = Start();
  ASSERT_TRUE(window);
  SettingsFilePath = dir_.Folder() + "missing/nabik.Ini";
  TOKRightDlg& d = *window->OKRightDlg;
  const int result = ExecDialog(d, [&] { d.OKBtn->click(); });
  EXPECT_EQ(result, ModalResultOk);
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].Text, QString::fromStdString("Unable to write to " + SettingsFilePath));
  EXPECT_EQ(shown_[0].Owner, &d);
}

TEST_F(Windows, FontChooserFillsTheFieldAndCancelKeepsIt) {
  WriteSettings("[MapServer]\r\n漢字フォント=/fonts/old/ipag.ttf\r\n");
  auto window = Start();
  ASSERT_TRUE(window);
  TOKRightDlg& d = *window->OKRightDlg;
  fontChoice_ = U("/fonts/新/ipagp.ttf");
  d.Button2->click();
  EXPECT_EQ(d.eFontName->text(), U("/fonts/新/ipagp.ttf"));
  EXPECT_EQ(d.Fields().KanjiFont, "/fonts/\xE6\x96\xB0/ipagp.ttf");
  fontChoice_.clear();
  d.Button2->click();
  EXPECT_EQ(d.eFontName->text(), U("/fonts/新/ipagp.ttf"));
  ASSERT_EQ(fontFolders_.size(), 2u);
  EXPECT_EQ(fontFolders_[0], "/fonts/old");
  EXPECT_EQ(fontFolders_[1], U("/fonts/新"));
}

// --- field bytes and list positions ---

TEST(FieldText, UntouchedFieldsGiveBackTheirBytes) {
  QLineEdit field;
  const std::string sjis = Sjis("出力フォルダー");
  SetFieldBytes(&field, sjis);
  EXPECT_EQ(field.text(), U("出力フォルダー"));
  EXPECT_EQ(FieldBytes(&field, tfieldkind::Path), sjis);
  EXPECT_EQ(FieldBytes(&field, tfieldkind::Text), sjis);
  field.setText(U("出力"));
  EXPECT_EQ(FieldBytes(&field, tfieldkind::Text), Sjis("出力"));
  EXPECT_EQ(FieldBytes(&field, tfieldkind::Path), "\xE5\x87\xBA\xE5\x8A\x9B");
  QLineEdit fresh;
  fresh.setText("abc");
  EXPECT_EQ(FieldBytes(&fresh, tfieldkind::Text), "abc");
  EXPECT_EQ(TypedBytes(U("a😀b"), tfieldkind::Text), "a" + Sjis("〓") + "b");
}

struct tlistcase {
  const char* Case;
  int Selected;      // set first
  const char* Edit;  // then typed into the edit part (nullptr: nothing typed)
  int Position;
};

class ListPositions : public ::testing::TestWithParam<tlistcase> {};

TEST_P(ListPositions, SelectedItemOrExactlyTypedItem) {
  QComboBox list;
  list.setEditable(true);
  for (const char* item : {"", "gif", "jpeg", "png"}) list.addItem(item);
  list.setCurrentIndex(GetParam().Selected);
  if (GetParam().Edit) list.setEditText(GetParam().Edit);
  EXPECT_EQ(ListPosition(&list), GetParam().Position);
}

TEST(FieldText, ListFieldShowsPositionAndText) {
  QComboBox list;
  list.setEditable(true);
  for (const char* item : {"", "gif", "jpeg", "png"}) list.addItem(item);
  SetListField(&list, 2, "jpeg");
  EXPECT_EQ(list.currentIndex(), 2);
  EXPECT_EQ(list.currentText(), "jpeg");
  SetListField(&list, 7, "");
  EXPECT_EQ(list.currentIndex(), -1);
  EXPECT_TRUE(list.currentText().isEmpty());
  EXPECT_EQ(ListPosition(&list), -1);
  SetListField(&list, 0, "");
  EXPECT_EQ(ListPosition(&list), 0);
}

INSTANTIATE_TEST_SUITE_P(FieldText, ListPositions,
                         ::testing::Values(tlistcase{"Nothing", -1, nullptr, -1},
                                           tlistcase{"OutOfRange", 9, nullptr, -1},
                                           tlistcase{"EmptyItem", 0, nullptr, 0},
                                           tlistcase{"Png", 3, nullptr, 3},
                                           tlistcase{"TypedOverSelection", 3, "tiff", -1},
                                           tlistcase{"TypedItem", -1, "jpeg", 2},
                                           tlistcase{"TypedOtherCase", -1, "GIF", -1},
                                           tlistcase{"ClearedSelection", 2, "", -1}),
                         [](const ::testing::TestParamInfo<tlistcase>& info) {
                           return info.param.Case;
                         });

// --- the LHA binding's message ---

TEST_F(Windows, LhaMessagesBecomeErrorBoxesWithoutOwner) {
  InstallUnlhaMessageBox();
  UnlhaMessageHook(reinterpret_cast<void*>(0x1), "PANIC!!", "Unlha: LHA.DLL not loaded.");
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].Owner, nullptr);
  EXPECT_EQ(shown_[0].Caption, "PANIC!!");
  EXPECT_EQ(shown_[0].Text, "Unlha: LHA.DLL not loaded.");
  EXPECT_EQ(shown_[0].Icon, QMessageBox::Critical);
}

// --- the program entry ---

std::string Nabik() {
  return std::string(NABIK_BINARY_DIR) + "/nabik";
}

const char* const kNoDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";

TEST(ProgramEntry, WithoutDisplayTheWindowIsRefused) {
  int status = -1;
  const std::string said = RunCommand(std::string(kNoDisplay) + Nabik() + " 2>&1", &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(said.find("no display"), std::string::npos) << said;
}

TEST(ProgramEntry, ArgumentsRunTheBatchModeWithoutDisplay) {
  int status = -1;
  const std::string said =
      RunCommand(std::string(kNoDisplay) + Nabik() + " --version 2>&1", &status);
  EXPECT_EQ(status, 0) << said;
  EXPECT_EQ(said.find("display"), std::string::npos) << said;
}

TEST(ProgramEntry, MissingCatalogEndsSilentlyWithoutSettings) {
  ScratchDir dir;
  fs::permissions(dir.Path(), fs::perms::owner_all, fs::perm_options::replace);
  fs::copy_file(Nabik(), dir.Path() / "nabik");
  int status = -1;
  const std::string said = RunCommand("cd " + dir.Folder() + " && XDG_RUNTIME_DIR=" + dir.Folder() +
                                          " QT_QPA_PLATFORM=offscreen ./nabik 2>&1",
                                      &status);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(said, "");
  EXPECT_FALSE(fs::exists(dir.Path() / "nabik.Ini"));
}

TEST(ProgramEntry, HaveDisplayLooksAtTheThreeVariables) {
  const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
  std::vector<QByteArray> saved;
  for (const char* n : names) saved.push_back(qgetenv(n));
  for (const char* n : names) qunsetenv(n);
  EXPECT_FALSE(HaveDisplay());
  qputenv("WAYLAND_DISPLAY", "");
  EXPECT_FALSE(HaveDisplay()) << "an empty value is no display";
  for (const char* n : names) {
    for (const char* m : names) qunsetenv(m);
    qputenv(n, "x");
    EXPECT_TRUE(HaveDisplay()) << n;
  }
  for (size_t i = 0; i < saved.size(); ++i) {
    if (saved[i].isNull())
      qunsetenv(names[i]);
    else
      qputenv(names[i], saved[i]);
  }
}

// --- pictures of both windows ---

QString Canonical(const std::string& path) {
  return QString::fromStdString(fs::weakly_canonical(path).string());
}

// Renders both windows offscreen: the main window with files in the list after a finished run,
// and the settings dialog. scripts/screenshots.sh sets NABIK_SCREENSHOT_DIR to keep them and
// NABIK_SCREENSHOT_DATA to a folder holding the demo's inputs. The first input is converted,
// the others are added after the run.
TEST_F(Run, PicturesOfBothWindows) {
  const char* target = std::getenv("NABIK_SCREENSHOT_DIR");
  const QString folder = QString::fromStdString(target ? std::string(target) : dir_.Folder());
  QStringList later;
  if (const char* data = std::getenv("NABIK_SCREENSHOT_DATA")) {
    for (const auto& entry : fs::directory_iterator(data))
      later << QString::fromStdString(entry.path().string());
    SetFieldBytes(window_->eOutPath, std::string(data) + "/out/gml/nabik.txt");
  } else {
    later << Canonical(Sample("gml/FG-GML-503060-ALL-20170401.zip"))
          << Canonical(Sample("jpgis/FG-JPS-13112-CommPt-20111221-0001.xml"));
  }
  later.sort();
  Choose(*window_, {later.takeFirst()});
  window_->show();
  Execute();
  ASSERT_TRUE(shown_.back().Text.startsWith(U("変換が終了しました")))
      << shown_.back().Text.toStdString();
  Choose(*window_, later);
  QCoreApplication::processEvents();

  const QString mainPicture = folder + "/nabik-main.png";
  ASSERT_TRUE(window_->grab().save(mainPicture));
  TOKRightDlg& d = *window_->OKRightDlg;
  d.Edit2->setText(U("福岡 503041"));
  d.ComboBox2->setCurrentIndex(3);
  d.cbTargetCrs->setCurrentIndex(2);  // the zone of Fukuoka
  d.show();
  QCoreApplication::processEvents();
  const QString dialogPicture = folder + "/nabik-settings.png";
  ASSERT_TRUE(d.grab().save(dialogPicture));
  d.hide();

  const QImage main(mainPicture);
  const QImage dialog(dialogPicture);
  EXPECT_EQ(main.size() / main.devicePixelRatio(), QSize(529, 552));
  EXPECT_EQ(dialog.size() / dialog.devicePixelRatio(), QSize(571, 385));
  // The status line at the bottom holds dark text on the lighter window face.
  const QColor face = main.pixelColor(2, 545);
  bool text = false;
  for (int x = 2; x < 60 && !text; ++x)
    for (int y = 536; y < 551 && !text; ++y)
      text = main.pixelColor(x, y).lightness() < face.lightness() - 80;
  EXPECT_TRUE(text) << "no status text drawn";
}

// The progress bar fills as the run's files are done, with its figures in its text, and is
// hidden once the run has ended. With NABIK_SCREENSHOT_DIR set (scripts/screenshots.sh, the demo's
// inputs in NABIK_SCREENSHOT_DATA) the window is kept as a picture with the bar part way.
TEST_F(Run, TheProgressBarFillsDuringARunAndIsHiddenAfter) {
  QStringList inputs;
  if (const char* data = std::getenv("NABIK_SCREENSHOT_DATA")) {
    for (const auto& entry : fs::directory_iterator(data))
      inputs << QString::fromStdString(entry.path().string());
    SetFieldBytes(window_->eOutPath, std::string(data) + "/out/progress/nabik.txt");
  } else {
    inputs << Canonical(Sample("gml/FG-GML-503060-ALL-20170401.zip"))
           << Canonical(Sample("jpgis/FG-JPS-13112-05-Z001.zip"))
           << Canonical(Sample("jpgis/FG-JPS-13112-CommPt-20111221-0001.xml"));
  }
  inputs.sort();
  Choose(*window_, inputs);
  window_->show();
  QProgressBar& bar = *window_->PBar;
  std::vector<int> values;
  QImage picture;
  QString text;
  Execute([&] {
    if (!bar.isVisible()) return;
    values.push_back(bar.value());
    if (picture.isNull() && bar.value() > bar.maximum() / 4 && bar.value() < bar.maximum()) {
      picture = window_->grab().toImage();
      text = bar.format();
    }
  });
  ASSERT_TRUE(shown_.back().Text.startsWith(U("変換が終了しました")));
  ASSERT_FALSE(values.empty());
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
  EXPECT_EQ(values.back(), bar.maximum());
  ASSERT_FALSE(picture.isNull()) << "the bar was never seen part way";
  EXPECT_TRUE(
      QRegularExpression(U("^[0-3]/3 ファイル [0-9.]+/[0-9.]+ MB [0-9.]+ MB/s 残り [0-9:]+$"))
          .match(text)
          .hasMatch())
      << text.toStdString();
  EXPECT_FALSE(bar.isVisible());
  if (const char* target = std::getenv("NABIK_SCREENSHOT_DIR")) {
    ASSERT_TRUE(picture.save(QString::fromStdString(target) + "/nabik-progress.png"));
  }
}

// --- the map preview ---

// Pixels mostly of `colour` (a third of the way to white at most, for antialiased edges) in the
// picture, or in the 3 x 3 pixels around `at`.
int CountColour(const QImage& image, const QColor& colour, QPoint at = {-1, -1}) {
  auto distance = [](const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
           std::abs(a.blue() - b.blue());
  };
  const int tolerance = std::max(12, distance(colour, Qt::white) / 3);
  const QRect area = at.x() < 0 ? image.rect() : QRect(at - QPoint(1, 1), QSize(3, 3));
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      count += distance(image.pixelColor(x, y), colour) <= tolerance;
  return count;
}

TEST(PreviewPicture, LayersDrawInTheirColoursInOrderAndHiddenOnesLeaveNothing) {
  ScratchDir dir;
  MakePreviewScene(dir.Folder());
  tpreviewset set = LoadPreviewSet(dir.Folder());
  ASSERT_EQ(set.Layers.size(), 3u);
  // Points first in the catalog: still drawn over lines over polygons.
  std::reverse(set.Layers.begin(), set.Layers.end());
  tmapview view;
  view.XScale = set.XScale;
  view.Width = 400, view.Height = 300;
  FitView(view, set.Box);
  const QColor fill = LayerTint(set.Layers[2]), outline = LayerColour(set.Layers[2]);
  const QColor road = LayerColour(set.Layers[1]), spot = LayerColour(set.Layers[0]);
  const QImage image = RenderPreview(set, view);
  ASSERT_EQ(image.size(), QSize(400, 300));
  const struct {
    const char* What;
    double X, Y;
    int Dx, Dy;  // pixels off the point
    QColor Colour;
  } pixels[] = {
      {"polygon fill", 130.02, 33.05, 0, 0, fill},
      {"polygon outline", 130.00, 33.05, 0, 0, outline},
      {"outside the outline", 130.00, 33.05, -5, 0, Qt::white},
      {"the hole", 130.05, 33.05, 0, 0, Qt::white},
      {"line over the fill", 130.03, 33.08, 0, 0, road},
      {"4 px off the line", 130.03, 33.08, 0, 4, fill},
      {"point over the line", 130.05, 33.08, 0, 0, spot},
      {"line 8 px off the point", 130.05, 33.08, 8, 0, road},
      {"point in the fill", 130.02, 33.02, 0, 0, spot},
      {"6 px off that point", 130.02, 33.02, 0, -6, fill},
  };
  for (const auto& p : pixels) {
    SCOPED_TRACE(p.What);
    const QPoint at(static_cast<int>(ScreenX(view, p.X)) + p.Dx,
                    static_cast<int>(ScreenY(view, p.Y)) + p.Dy);
    EXPECT_GT(CountColour(image, p.Colour, at), 0) << image.pixelColor(at).name().toStdString();
  }
  for (size_t hidden = 0; hidden < 3; ++hidden) {
    for (size_t n = 0; n < 3; ++n) set.Layers[n].Visible = n != hidden;
    const QImage without = RenderPreview(set, view);
    for (size_t n = 0; n < 3; ++n) {
      SCOPED_TRACE(set.Layers[hidden].Name + " hidden, " + set.Layers[n].Name);
      const QColor colour = LayerColour(set.Layers[n]);
      EXPECT_EQ(CountColour(without, colour) == 0, n == hidden);
    }
  }
}

TEST(PreviewPicture, RenderWritesAPngOfTheGivenSizeAndExitsAsStated) {
  ScratchDir dir;
  const std::string mesh = "gml/FG-GML-503041-ALL-20181001/FG-GML-503041-";
  int status = -1;
  RunCommand(Nabik() + " --quiet -o " + dir.Folder() + "out/list.txt " +
                 Sample(mesh + "WA-20181001-0001.xml") + " " +
                 Sample(mesh + "Cntr-20181001-0001.xml") + " " +
                 Sample(mesh + "ElevPt-20181001-0001.xml") + " 2>&1",
             &status);
  ASSERT_EQ(status, 0);
  fs::create_directory(dir.Path() / "empty");
  const std::string render = std::string(kNoDisplay) + Nabik() + " --render ";
  const std::string out = dir.Folder() + "out", png = dir.Folder() + "map.png";
  const struct {
    std::string Args;
    int Status;
    QSize Size;  // of the picture written; none when invalid
  } runs[] = {
      {png + " --size 640x480 " + out, 0, {640, 480}},
      {png + " " + out + "/", 0, {1200, 900}},
      {png + " " + dir.Folder() + "empty", 1, {}},
      {png + " " + dir.Folder() + "missing", 1, {}},
      {dir.Folder() + "no/map.png " + out, 1, {}},
      {png + " --size 0x480 " + out, 2, {}},
      {png + " --size 640x " + out, 2, {}},
      {png + " --size 640*480 " + out, 2, {}},
      {png + " --size 20000x10 " + out, 2, {}},
      {png + " " + out + " --size", 2, {}},
      {png + " --colour red " + out, 2, {}},
      {png, 2, {}},
      {png + " " + out + " " + out, 2, {}},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.Args);
    fs::remove(png);
    const std::string said = RunCommand(render + r.Args + " 2>&1", &status);
    EXPECT_EQ(status, r.Status) << said;
    EXPECT_EQ(QImage(QString::fromStdString(png)).size(), r.Size.isValid() ? r.Size : QSize(0, 0));
  }
  ASSERT_EQ(RunCommand(render + png + " --size 640x480 " + out, &status), "");
  const QImage image(QString::fromStdString(png));
  ASSERT_EQ(status, 0);
  // 水域 filled in its tint, 等高線 in its colour, 標高点 marks in theirs.
  tpreviewlayer water, contour, height;
  water.Colour = {173, 216, 230}, contour.Colour = {205, 133, 63}, height.Colour = {160, 82, 45};
  EXPECT_GT(CountColour(image, LayerTint(water)), 640 * 480 / 2);
  EXPECT_GT(CountColour(image, LayerColour(contour)), 100);
  EXPECT_GT(CountColour(image, LayerColour(height)), 10);
}

TEST_F(Windows, PreviewWithoutOutputPathOrSetsOnlySaysSo) {
  auto window = Start();
  ASSERT_TRUE(window);
  SetFieldBytes(window->eOutPath, "");
  window->Button6->click();
  SetFieldBytes(window->eOutPath, dir_.Folder() + "list.txt");
  window->Button6->click();
  ASSERT_EQ(shown_.size(), 2u);
  EXPECT_EQ(shown_[0].Text, U("出力ファイルを指定してください"));
  EXPECT_TRUE(shown_[1].Text.startsWith(U("表示できるレイヤーがありません")))
      << shown_[1].Text.toStdString();
  EXPECT_FALSE(window->Preview);
}

// Sends a mouse event of the left button to the map.
void Mouse(QWidget* map, QEvent::Type type, QPoint at) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent event(type, at, map->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
  QCoreApplication::sendEvent(map, &event);
}

TEST_F(Run, PreviewShowsTheRunsLayersMovesAndIdentifies) {
  const std::string mesh = "gml/FG-GML-503041-ALL-20181001/FG-GML-503041-";
  Choose(*window_, {Canonical(Sample(mesh + "WA-20181001-0001.xml")),
                    Canonical(Sample(mesh + "ElevPt-20181001-0001.xml")),
                    Canonical(Sample(mesh + "Cntr-20181001-0001.xml"))});
  Execute();
  window_->Button6->click();
  ASSERT_TRUE(window_->Preview);
  TPreviewF& p = *window_->Preview;
  QCoreApplication::processEvents();
  // Catalog order, each checked, with its swatch.
  ASSERT_EQ(p.lLayers->count(), 3);
  const char* titles[] = {"標高点", "等高線", "水域"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(p.lLayers->item(i)->text(), U(titles[i]));
    EXPECT_EQ(p.lLayers->item(i)->checkState(), Qt::Checked);
  }

  // A click on an elevation point lists its record under the catalog's headers.
  const tpreviewlayer& points = p.Set.Layers[0];
  const QPoint point(ScreenX(p.View, points.OriginX + points.Coords[0]),
                     ScreenY(p.View, points.OriginY + points.Coords[1]));
  Mouse(p.Map, QEvent::MouseButtonPress, point);
  Mouse(p.Map, QEvent::MouseButtonRelease, point);
  ASSERT_GT(p.tInfo->rowCount(), 3);
  EXPECT_EQ(p.tInfo->item(0, 0)->text(), U("レイヤー"));
  EXPECT_EQ(p.tInfo->item(0, 1)->text(), U("標高点"));
  EXPECT_EQ(p.tInfo->item(1, 0)->text(), U("基盤地図情報レコードID"));
  EXPECT_FALSE(p.tInfo->item(1, 1)->text().isEmpty());

  // A drag moves the map with the mouse; the wheel zooms around the cursor; 全体表示 fits.
  const tmapview fitted = p.View;
  Mouse(p.Map, QEvent::MouseButtonPress, {100, 100});
  Mouse(p.Map, QEvent::MouseMove, {140, 120});
  Mouse(p.Map, QEvent::MouseButtonRelease, {140, 120});
  EXPECT_NEAR(ScreenX(p.View, fitted.CenterX), fitted.Width / 2.0 + 40, 1e-6);
  EXPECT_NEAR(ScreenY(p.View, fitted.CenterY), fitted.Height / 2.0 + 20, 1e-6);
  EXPECT_TRUE(p.tInfo->rowCount() > 0) << "a drag is no click";
  const double x = MapX(p.View, 50), y = MapY(p.View, 60);
  QWheelEvent wheel(QPointF(50, 60), p.Map->mapToGlobal(QPointF(50, 60)), {}, {0, 120},
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(p.Map, &wheel);
  EXPECT_GT(p.View.PixelsPerDegree, fitted.PixelsPerDegree);
  EXPECT_NEAR(MapX(p.View, 50), x, 1e-9);
  EXPECT_NEAR(MapY(p.View, 60), y, 1e-9);
  EXPECT_TRUE(p.SBar->currentMessage().startsWith(U("緯度 ")))
      << p.SBar->currentMessage().toStdString();
  EXPECT_TRUE(p.lScale->text().startsWith(U("縮尺 1:")));
  p.bFit->click();
  EXPECT_NEAR(p.View.CenterX, fitted.CenterX, 1e-12);
  EXPECT_NEAR(p.View.PixelsPerDegree, fitted.PixelsPerDegree, 1e-9);

  // Unchecking the water takes its tint off the picture.
  const QColor water = LayerTint(p.Set.Layers[2]);
  EXPECT_GT(CountColour(p.Picture(), water), 0);
  p.lLayers->item(2)->setCheckState(Qt::Unchecked);
  EXPECT_EQ(CountColour(p.Picture(), water), 0);
}

TEST(QtTranslation, FileDialogAndMessageBoxButtonsReadJapanese) {
  auto texts = [] {
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    QStringList seen;
    for (QAbstractButton* b : dialog.findChild<QDialogButtonBox*>()->buttons()) seen << b->text();
    for (QLabel* l : dialog.findChildren<QLabel*>()) seen << l->text();
    return seen;
  };
  EXPECT_TRUE(texts().contains(U("&Open")));
  const std::unique_ptr<QTranslator> translation = InstallQtTranslation();
  ASSERT_TRUE(translation) << "qtbase_ja is in qt6-translations-l10n";
  const QStringList japanese = texts();
  for (const char* text : {"開く(&O)", "キャンセル", "ファイル名(&N):", "アドレス:"})
    EXPECT_TRUE(japanese.contains(U(text))) << text << " in " << japanese.join('|').toStdString();
  QMessageBox box(QMessageBox::NoIcon, {}, {}, QMessageBox::Ok | QMessageBox::Cancel);
  EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), U("キャンセル"));
}

// The preview of a converted mesh, zoomed to its buildings, with one building identified.
// scripts/screenshots.sh keeps it in docs/.
TEST_F(Run, PictureOfThePreview) {
  const char* target = std::getenv("NABIK_SCREENSHOT_DIR");
  const QString folder = QString::fromStdString(target ? std::string(target) : dir_.Folder());
  QStringList files;
  for (const auto& entry : fs::directory_iterator(Sample("gml/FG-GML-503041-ALL-20181001")))
    files << Canonical(entry.path().string());
  files.sort();
  Choose(*window_, files);
  Execute();
  window_->Button6->click();
  ASSERT_TRUE(window_->Preview);
  TPreviewF& p = *window_->Preview;
  p.resize(1000, 640);
  p.show();
  QCoreApplication::processEvents();
  const auto bld = std::find_if(p.Set.Layers.begin(), p.Set.Layers.end(),
                                [](const tpreviewlayer& l) { return l.Name == "BldA"; });
  ASSERT_NE(bld, p.Set.Layers.end());
  FitView(p.View, bld->Box, 40);
  p.Redraw();
  // The first building whose box's middle lies in it.
  for (const tpreviewfeature& f : bld->Features) {
    const QPoint at(ScreenX(p.View, bld->OriginX + (f.MinX + f.MaxX) / 2),
                    ScreenY(p.View, bld->OriginY + (f.MinY + f.MaxY) / 2));
    p.MapClick(at);
    p.ShowPosition(at);
    if (p.tInfo->rowCount() > 0 && p.tInfo->item(0, 1)->text() == U("建築物")) break;
  }
  ASSERT_GT(p.tInfo->rowCount(), 0);
  EXPECT_EQ(p.tInfo->item(0, 1)->text(), U("建築物"));
  QCoreApplication::processEvents();  // the status bar's layout takes in the scale's text
  const QString picture = folder + "/nabik-preview.png";
  ASSERT_TRUE(p.grab().save(picture));
  EXPECT_GT(CountColour(QImage(picture), LayerTint(*bld)), 1000);
}

// The preview of a run that converted an elevation model draws it as shaded relief (grey
// where the mesh is). NABIK_SCREENSHOT_DIR keeps the picture.
TEST_F(Run, PreviewDrawsTheElevationAsRelief) {
  const char* target = std::getenv("NABIK_SCREENSHOT_DIR");
  const QString folder = QString::fromStdString(target ? std::string(target) : dir_.Folder());
  Choose(*window_, {Canonical(std::string(NABIK_SOURCE_DIR) +
                              "/tests/data/dem/FG-GML-5238-74-00-DEM5A-20161001.xml")});
  Execute();
  window_->Button6->click();
  ASSERT_TRUE(window_->Preview);
  TPreviewF& p = *window_->Preview;
  EXPECT_FALSE(p.Set.Relief.empty());
  p.resize(1000, 640);
  p.show();
  QCoreApplication::processEvents();
  ASSERT_TRUE(p.grab().save(folder + "/nabik-preview-relief.png"));
  const QImage image = p.Picture();
  int greys = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      greys += c.red() == c.green() && c.green() == c.blue() && c.red() < 240 && c.red() > 60;
    }
  EXPECT_GT(greys, image.width() * image.height() / 2);
}

}  // namespace
