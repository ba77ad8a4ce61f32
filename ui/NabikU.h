#pragma once
// The main window, TNabikF (form NabikF): the input list, the output path, the run, the
// settings dialog and the two web pages. It also carries the program's start (loading the
// catalog, the output path and MapSettings) and its end (storing the output path).
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "run/driver.h"

class QCloseEvent;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QStatusBar;
class TOKRightDlg;
class TPreviewF;

// The filter list of the input file dialog, in the designed "description|patterns" form.
QString InputFileFilter();

// The catalog the main window loads at its creation; the one beside the executable unless a
// test names another.
extern std::string CatalogFilePath;

// The help page shipped beside the executable, and the agency's page on the data.
QUrl HelpPageUrl();
QUrl ProviderPageUrl();

// "ファイル数 : " followed by `count`.
QString FileCountText(int count);

// The progress bar's text: 「12/160 ファイル 310/2500 MB 240 MB/s 残り 0:09」.
QString ProgressBarText(const tprogress& p);

// True for a file name whose extension is exactly ".xml" or ".zip" (case-sensitive).
bool IsInputFileName(const std::string& path);

class TNabikF : public QWidget {
  Q_OBJECT

 public:
  // Builds the controls and runs FormCreate; CatalogLoaded tells whether the program goes on.
  explicit TNabikF(QWidget* parent = nullptr);

  QPushButton* bRef;
  QPushButton* Button1;
  QPushButton* bExecute;
  QPushButton* Button2;
  QLabel* Label1;
  QLineEdit* eOutPath;
  QListWidget* cL;
  QLabel* Panel1;
  QPushButton* Button3;
  QPushButton* Button4;
  QPushButton* Button5;
  QPushButton* Button6;  // 「プレビュー」: the map of the output folder's layer sets
  QStatusBar* SBar;
  QProgressBar* PBar;  // at the status line's right, during a run
  QListWidget* LB;

  // The settings dialog, created after this window by the start-up (owned by this window).
  TOKRightDlg* OKRightDlg = nullptr;
  // The preview opened last, while it is open.
  QPointer<TPreviewF> Preview;
  bool CatalogLoaded = false;

  // The dialogs and the shell, replaceable so that the tests drive them. Each returns what the
  // user chose, nothing when cancelled.
  std::function<QStringList()> ChooseInputFiles;
  std::function<QString()> ChooseOutputFile;
  std::function<void(const QUrl&)> OpenUrl;

  bool FormCreate();
  void bRefClick();
  void Button1Click();
  void bExecuteClick();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void FormClose();

  // Appends the chosen files that are input files, each checked.
  void AddInputFiles(const QStringList& files);
  // The byte texts of the input list, in order.
  std::string InputFileBytes(int line) const;
  // What the driver sees of this window.
  tfrontend FrontEnd();
  bool Running() const { return running_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  void SetTabOrder();
  void ConnectEvents();
  QStringList ShowInputFileDialog();
  QString ShowOutputFileDialog();
  void ShowProgress(const tprogress& p);

  bool running_ = false;
};

// The designed start-up after the application exists: the main window (FormCreate), then the
// settings dialog, hidden and filled. Null when the catalog could not be opened.
std::unique_ptr<TNabikF> CreateWindows();
