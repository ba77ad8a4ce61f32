#include "ui/NabikU.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <algorithm>
#include <csignal>
#include <iterator>

#include "catalog/catalog.h"
#include "common/paths.h"
#include "common/stop.h"
#include "susetu/susetu.h"
#include "ui/OKRightDlg.h"
#include "ui/PreviewU.h"
#include "ui/fieldtext.h"
#include "ui/filefilter.h"
#include "ui/messages.h"
#include "ui/place.h"

std::string CatalogFilePath = CatalogPath();

namespace {

// The bytes of an input list line, as the file system spells the file's path.
constexpr int kBytesRole = Qt::UserRole;

// The progress bar's steps: fine enough that a large run moves it file by file.
constexpr int kProgressSteps = 1000;

QPushButton* Button(QWidget* parent, const char* name, const QString& caption, int left, int top) {
  return Place(new QPushButton(caption, parent), name, left, top, 75, 25);
}

// Lines of the designed height, or of the font's height where the stand-in font is taller, so
// that no line is cut.
class tlinedelegate : public QStyledItemDelegate {
 public:
  tlinedelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return {QStyledItemDelegate::sizeHint(option, index).width(), height_};
  }

 private:
  int height_;
};

}  // namespace

QString InputFileFilter() {
  return QStringLiteral(
      "基盤地図 (*.xml;*.zip)|*.xml;*.zip|基盤地図 (*.xml)|*.xml|基盤地図 (*.zip)|*.zip");
}

QUrl HelpPageUrl() {
  return QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(ExeFolder())) +
                             QStringLiteral("help.html"));
}

QUrl ProviderPageUrl() {
  return QUrl(QStringLiteral("https://www.gsi.go.jp/kiban/"));
}

QString FileCountText(int count) {
  return QStringLiteral("ファイル数 : ") + QString::number(count);
}

QString ProgressBarText(const tprogress& p) {
  const tprogresstexts t = ProgressTexts(p);
  return QStringLiteral("%1 ファイル %2 MB %3 MB/s 残り %4")
      .arg(QString::fromStdString(t.Lines), QString::fromStdString(t.Megabytes),
           QString::fromStdString(t.Rate), QString::fromStdString(t.Left));
}

bool IsInputFileName(const std::string& path) {
  const std::string ext = FileExtPart(path);
  return ext == ".xml" || ext == ".zip";
}

TNabikF::TNabikF(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("NabikF"));
  setWindowTitle(QStringLiteral("NabikF"));
  // A fixed dialog frame: a title with a close box, not resizable.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFont(NabikFont());
  setFixedSize(529, 552);
  move(199, 116);
  CreateControls();
  SetTabOrder();
  ConnectEvents();
  ChooseInputFiles = [this] { return ShowInputFileDialog(); };
  ChooseOutputFile = [this] { return ShowOutputFileDialog(); };
  OpenUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
  CatalogLoaded = FormCreate();
}

void TNabikF::CreateControls() {
  bRef = Button(this, "bRef", QStringLiteral("①　参　照"), 8, 8);
  Button1 = Button(this, "Button1", QStringLiteral("②　参　照"), 176, 40);
  bExecute = Button(this, "bExecute", QStringLiteral("③　実　行"), 320, 8);
  Button2 = Button(this, "Button2", QStringLiteral("④　閉じる"), 320, 40);

  Label1 = Place(new QLabel(QStringLiteral("出力フォルダー（変換情報）"), this), "Label1", 8, 48,
                 139, 12);
  // The label grows to its caption, as a self-sizing label does, should the font be wider.
  Label1->resize(std::max(139, Label1->sizeHint().width()),
                 std::max(12, Label1->sizeHint().height()));
  eOutPath = Place(new QLineEdit(this), "eOutPath", 8, 64, 513, 20);

  cL = Place(new QListWidget(this), "cL", 8, 88, 513, 409);
  cL->setUniformItemSizes(true);
  cL->setTextElideMode(Qt::ElideMiddle);  // a long path keeps its file name in sight
  cL->setItemDelegate(new tlinedelegate(std::max(12, QFontMetrics(font()).height()), cL));

  Panel1 = Place(new QLabel(this), "Panel1", 8, 504, 113, 25);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setAlignment(Qt::AlignCenter);

  Button3 = Button(this, "Button3", QStringLiteral("ヘルプ"), 136, 504);
  Button4 = Button(this, "Button4", QStringLiteral("基盤地図"), 224, 504);
  Button5 = Button(this, "Button5", QStringLiteral("MAP設定"), 312, 504);
  // The one free place of the bottom row, at the row's spacing.
  Button6 = Button(this, "Button6", QStringLiteral("プレビュー"), 400, 504);

  SBar = Place(new QStatusBar(this), "SBar", 0, 533, 529, 19);
  SBar->setSizeGripEnabled(false);
  PBar = new QProgressBar(SBar);
  PBar->setObjectName(QStringLiteral("PBar"));
  PBar->setRange(0, kProgressSteps);
  // Wide enough for the text of a long run.
  const int barWidth = QFontMetrics(font()).horizontalAdvance(
      QStringLiteral("888/888 ファイル 8888/8888 MB 888 MB/s 残り 8:88:88"));
  PBar->setFixedSize(std::min(barWidth + 16, 330), 15);
  PBar->setAlignment(Qt::AlignCenter);
  SBar->addPermanentWidget(PBar);
  PBar->hide();

  // The working list of the run, outside the client area and never shown.
  LB = Place(new QListWidget(this), "LB", 552, 328, 105, 81);
  LB->hide();
}

void TNabikF::SetTabOrder() {
  // The preview button comes after the designed order, which stays as it is.
  QWidget* const order[] = {cL,      bExecute, eOutPath, Button1, Button2, Button3,
                            Button4, Button5,  bRef,     LB,      Button6};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  Panel1->setFocusPolicy(Qt::NoFocus);
}

void TNabikF::ConnectEvents() {
  connect(bRef, &QPushButton::clicked, this, &TNabikF::bRefClick);
  connect(Button1, &QPushButton::clicked, this, &TNabikF::Button1Click);
  connect(bExecute, &QPushButton::clicked, this, &TNabikF::bExecuteClick);
  connect(Button2, &QPushButton::clicked, this, &TNabikF::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TNabikF::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TNabikF::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &TNabikF::Button5Click);
  connect(Button6, &QPushButton::clicked, this, &TNabikF::Button6Click);
}

bool TNabikF::FormCreate() {
  Panel1->clear();
  bool loaded = false;
  // A malformed line is reported; the entries before it stay and the window still opens.
  if (!Guarded(this, [&] { loaded = LoadLayerCatalogFrom(CatalogFilePath); })) loaded = true;
  if (!loaded) return false;
  Guarded(this, [this] { SetFieldBytes(eOutPath, ReadOutputPath()); });
  Guarded(this, LoadMapSettings);
  return true;
}

QStringList TNabikF::ShowInputFileDialog() {
  const QStringList filters = QtNameFilters(InputFileFilter());
  QString selected = filters.value(0);
  return QFileDialog::getOpenFileNames(this, QStringLiteral("開く"), QString(),
                                       filters.join(QStringLiteral(";;")), &selected);
}

QString TNabikF::ShowOutputFileDialog() {
  return QFileDialog::getSaveFileName(this, QStringLiteral("名前を付けて保存"), QString(),
                                      QString(), nullptr, QFileDialog::DontConfirmOverwrite);
}

void TNabikF::AddInputFiles(const QStringList& files) {
  cL->setUpdatesEnabled(false);
  for (const QString& file : files) {
    const QByteArray bytes = QFile::encodeName(file);
    if (!IsInputFileName(bytes.toStdString())) continue;
    auto* line = new QListWidgetItem(ShownText(bytes.toStdString()), cL);
    line->setData(kBytesRole, bytes);
    line->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    line->setCheckState(Qt::Checked);
  }
  cL->setUpdatesEnabled(true);
}

std::string TNabikF::InputFileBytes(int line) const {
  return cL->item(line)->data(kBytesRole).toByteArray().toStdString();
}

void TNabikF::bRefClick() {
  Panel1->clear();
  AddInputFiles(ChooseInputFiles());
  Panel1->setText(FileCountText(cL->count()));
}

void TNabikF::Button1Click() {
  const QString chosen = ChooseOutputFile();
  if (!chosen.isEmpty()) SetFieldBytes(eOutPath, QFile::encodeName(chosen).toStdString());
}

tfrontend TNabikF::FrontEnd() {
  tfrontend front;
  front.InputCount = [this] { return cL->count(); };
  front.InputText = [this](int line) { return InputFileBytes(line); };
  front.InputChecked = [this](int line) { return cL->item(line)->checkState() == Qt::Checked; };
  front.UncheckInput = [this](int line) { cL->item(line)->setCheckState(Qt::Unchecked); };
  front.OutputPathText = [this] { return FieldBytes(eOutPath, tfieldkind::Path); };
  front.SetStatus = [this](const std::string& text) { SBar->showMessage(ShownText(text)); };
  front.ShowMessage = [this](const std::string& text) {
    ShowMessageBox(this, AppTitle(), ShownText(text), QMessageBox::NoIcon);
  };
  front.ProcessMessages = [] { QCoreApplication::processEvents(); };
  front.SetExecuteEnabled = [this](bool enabled) { bExecute->setEnabled(enabled); };
  front.Progress = [this](const tprogress& p) { ShowProgress(p); };
  front.OwnerWindow = this;
  front.UnmatchedInClosingMessage = true;  // files are not named one by one here
  return front;
}

void TNabikF::ShowProgress(const tprogress& p) {
  const int value = p.BytesTotal == 0
                        ? 0
                        : static_cast<int>(static_cast<double>(p.BytesDone) * kProgressSteps /
                                           static_cast<double>(p.BytesTotal));
  PBar->setValue(value);
  PBar->setFormat(ProgressBarText(p));
  PBar->show();
}

void TNabikF::bExecuteClick() {
  // A disabled button keeps runs from overlapping; this keeps any other way in closed too.
  if (running_) return;
  running_ = true;
  // The run reads the output path once; the field shows that path until the run has ended.
  eOutPath->setReadOnly(true);
  Button1->setEnabled(false);
  tfrontend front = FrontEnd();
  if (!Guarded(this, [&] { RunConversion(front); })) bExecute->setEnabled(true);
  PBar->hide();
  PBar->reset();
  eOutPath->setReadOnly(false);
  Button1->setEnabled(true);
  running_ = false;
  // A run stopped by a signal has removed what it extracted and closed its sets; the signal now
  // ends the program as it would have without a run (also one that came after the last step).
  if (const int signal = StopSignal.exchange(0)) std::raise(signal);
}

void TNabikF::Button2Click() {
  close();
}

void TNabikF::Button3Click() {
  OpenUrl(HelpPageUrl());
}

void TNabikF::Button4Click() {
  OpenUrl(ProviderPageUrl());
}

void TNabikF::Button5Click() {
  if (!OKRightDlg) return;
  OKRightDlg->CentreOnScreen();
  if (OKRightDlg->exec() == ModalResultOk) Guarded(this, LoadMapSettings);
}

void TNabikF::Button6Click() {
  const std::string output = FieldBytes(eOutPath, tfieldkind::Path);
  if (output.empty()) {
    ShowMessageBox(this, AppTitle(), ShownText(NoOutputFileText()), QMessageBox::NoIcon);
    return;
  }
  const std::string folder = FolderPart(output);
  // A new window reads the sets as the last run left them.
  if (Preview) Preview->close();
  TPreviewF* preview = nullptr;
  if (!Guarded(this, [&] { preview = new TPreviewF(folder, this); })) return;
  if (preview->Set.Layers.empty() && preview->Set.Relief.empty()) {
    delete preview;
    ShowMessageBox(this, AppTitle(),
                   QStringLiteral("表示できるレイヤーがありません: ") +
                       ShownText(folder.empty() ? std::string("./") : folder),
                   QMessageBox::NoIcon);
    return;
  }
  Preview = preview;
  preview->show();
}

void TNabikF::FormClose() {
  Guarded(this, [this] { WriteOutputPath(FieldBytes(eOutPath, tfieldkind::Path)); });
}

void TNabikF::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

std::unique_ptr<TNabikF> CreateWindows() {
  auto window = std::make_unique<TNabikF>();
  if (!window->CatalogLoaded) return nullptr;
  window->OKRightDlg = new TOKRightDlg(window.get());
  return window;
}
