#include "ui/OKRightDlg.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <algorithm>

#include "crs/zones.h"
#include "ui/fieldtext.h"
#include "ui/messages.h"
#include "ui/place.h"

namespace {

QLabel* FieldLabel(QWidget* parent, const char* name, const QString& text, int left, int top) {
  return Place(new QLabel(text, parent), name, left, top, 78, 20);
}

QLineEdit* TextField(QWidget* parent, const char* name, int left, int top, int width) {
  return Place(new QLineEdit(parent), name, left, top, width, 20);
}

QComboBox* ListField(QWidget* parent, const char* name, int left, int top, int width) {
  QComboBox* list = Place(new QComboBox(parent), name, left, top, width, 20);
  list->setEditable(true);
  list->setInsertPolicy(QComboBox::NoInsert);
  list->setCompleter(nullptr);  // typed text is the user's own; do not complete it into an item
  return list;
}

// A tooltip as rich text, so that Qt wraps a long region list instead of one screen-wide line.
QString WrappedTip(const QString& text) {
  return QStringLiteral("<p>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

}  // namespace

TOKRightDlg::TOKRightDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("OKRightDlg"));
  setWindowTitle(QStringLiteral("mapserver設定"));
  // A fixed frame with a close box and no other window buttons.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFont(NabikFont());
  setFixedSize(571, 385);
  CreateControls();
  ChooseFontFile = [this](const QString& startFolder) { return ShowFontFileDialog(startFolder); };
  FormCreate();
  CentreOnScreen();
}

void TOKRightDlg::CreateControls() {
  OKBtn = Place(new QPushButton(QStringLiteral("確　定"), this), "OKBtn", 484, 12, 75, 25);
  OKBtn->setDefault(true);
  OKBtn->setAutoDefault(true);
  CancelBtn =
      Place(new QPushButton(QStringLiteral("キャンセル"), this), "CancelBtn", 484, 44, 75, 25);
  CancelBtn->setAutoDefault(false);

  Label1 = FieldLabel(this, "Label1", QStringLiteral("Map　ファイル"), 12, 12);
  Edit1 = TextField(this, "Edit1", 90, 12, 200);
  Label1->hide();
  Edit1->hide();

  CheckBox1 = Place(new QCheckBox(QStringLiteral("レイヤ情報のみエクスポート"), this), "CheckBox1",
                    12, 12, 210, 20);
  // Wide enough for the caption on one line: a Qt check box does not wrap its caption.
  CheckBox2 = Place(new QCheckBox(QStringLiteral("シームレスファイル使用"), this), "CheckBox2", 240,
                    12, 200, 20);

  GroupBox1 = Place(new QGroupBox(QStringLiteral("地図"), this), "GroupBox1", 12, 42, 460, 138);
  FieldLabel(GroupBox1, "Label2", QStringLiteral("名称"), 12, 22);
  Edit2 = TextField(GroupBox1, "Edit2", 92, 22, 354);
  FieldLabel(GroupBox1, "Label3", QStringLiteral("幅"), 12, 50);
  Edit3 = TextField(GroupBox1, "Edit3", 92, 50, 120);
  FieldLabel(GroupBox1, "Label4", QStringLiteral("高さ"), 240, 50);
  Edit4 = TextField(GroupBox1, "Edit4", 326, 50, 120);
  FieldLabel(GroupBox1, "Label5", QStringLiteral("単位"), 12, 78);
  ComboBox1 = ListField(GroupBox1, "ComboBox1", 92, 78, 120);
  FieldLabel(GroupBox1, "Label6", QStringLiteral("画像タイプ"), 240, 78);
  ComboBox2 = ListField(GroupBox1, "ComboBox2", 326, 78, 120);
  FieldLabel(GroupBox1, "Label7", QStringLiteral("最小スケール"), 12, 106);
  Edit5 = TextField(GroupBox1, "Edit5", 92, 106, 120);
  FieldLabel(GroupBox1, "Label8", QStringLiteral("最大スケール"), 240, 106);
  Edit6 = TextField(GroupBox1, "Edit6", 326, 106, 120);

  GroupBox3 = Place(new QGroupBox(QStringLiteral("日本語"), this), "GroupBox3", 12, 190, 460, 58);
  FieldLabel(GroupBox3, "Label9", QStringLiteral("漢字フォント"), 12, 24);
  eFontName = TextField(GroupBox3, "eFontName", 92, 24, 280);
  Button2 = Place(new QPushButton(QStringLiteral("参　照"), GroupBox3), "Button2", 380, 22, 66, 25);
  Button2->setAutoDefault(false);

  // Wider than the frames above it, under the buttons, so that the coordinate system's list shows
  // more of each zone's regions.
  GroupBox2 = Place(new QGroupBox(QStringLiteral("Webインターフェース定義"), this), "GroupBox2", 12,
                    258, 547, 115);
  // The three web fields are stored only: hidden, yet they carry their keys through the file.
  FieldLabel(GroupBox2, "Label10", QStringLiteral("ヘッダ"), 12, 24)->hide();
  Edit7 = TextField(GroupBox2, "Edit7", 92, 24, 354);
  FieldLabel(GroupBox2, "Label11", QStringLiteral("テンプレート"), 12, 52)->hide();
  Edit8 = TextField(GroupBox2, "Edit8", 92, 52, 354);
  FieldLabel(GroupBox2, "Label12", QStringLiteral("フッタ"), 12, 80)->hide();
  Edit9 = TextField(GroupBox2, "Edit9", 92, 80, 354);
  Edit7->hide();
  Edit8->hide();
  Edit9->hide();
  // The export form is chosen here, in the otherwise empty web frame; its hidden fields stay
  // where they were.
  FieldLabel(GroupBox2, "Label13", QStringLiteral("出力形式"), 12, 24);
  cbExportForm = Place(new QComboBox(GroupBox2), "cbExportForm", 92, 24, 160, 20);
  FieldLabel(GroupBox2, "Label14", QStringLiteral("データ形式"), 12, 52);
  cbDataFormat = Place(new QComboBox(GroupBox2), "cbDataFormat", 92, 52, 220, 20);
  FieldLabel(GroupBox2, "Label15", QStringLiteral("座標系"), 12, 80);
  cbTargetCrs = Place(new QComboBox(GroupBox2), "cbTargetCrs", 92, 80, 441, 20);
  cbTargetCrs->setMaxVisibleItems(crs::kPlaneZoneChoices + 1);
  // The closed list tells the chosen zone's regions too.
  connect(cbTargetCrs, &QComboBox::currentIndexChanged, this, [this](int at) {
    cbTargetCrs->setToolTip(cbTargetCrs->itemData(at, Qt::ToolTipRole).toString());
  });

  connect(OKBtn, &QPushButton::clicked, this, &TOKRightDlg::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TOKRightDlg::CancelBtnClick);
  connect(Button2, &QPushButton::clicked, this, &TOKRightDlg::Button2Click);
}

void TOKRightDlg::FormCreate() {
  for (const std::string& item : CoordUnitItems()) ComboBox1->addItem(ShownText(item));
  for (const std::string& item : ImageTypeItems()) ComboBox2->addItem(ShownText(item));
  for (const std::string& item : ExportFormItems()) cbExportForm->addItem(ShownText(item));
  for (const tdataformat& item : DataFormatItems())
    cbDataFormat->addItem(QString::fromUtf8(item.Label) + " (" + item.Name + ")",
                          QString::fromUtf8(item.Name));
  for (int k = 0; k < crs::kPlaneZoneChoices; ++k) {
    const QString text = QString::fromStdString(crs::PlaneZoneChoice(k));
    const crs::tplanezone* zone = crs::PlaneZone(k);
    AddTargetCrsItem(text, zone ? crs::PlaneZoneCrs(*zone) : std::string(),
                     zone ? text
                          : QStringLiteral("データが宣言する測地系（JGD2011 または JGD2000）の"
                                           "緯度経度のまま書き出します。"));
  }
  ShowFields(FillSettingsDialog());
}

void TOKRightDlg::AddTargetCrsItem(const QString& text, const std::string& crs,
                                   const QString& tip) {
  cbTargetCrs->addItem(text, QByteArray::fromStdString(crs));
  cbTargetCrs->setItemData(cbTargetCrs->count() - 1, WrappedTip(tip), Qt::ToolTipRole);
}

void TOKRightDlg::FitTargetCrsPopup() {
  // The open list as wide as its longest item, so every zone's regions can be read there, yet
  // no wider than the screen; what is longer still is in the item's tooltip. The measure is the
  // one QComboBox takes for its own size hint.
  int widest = 0;
  for (int i = 0; i < cbTargetCrs->count(); ++i)
    widest =
        std::max(widest, cbTargetCrs->fontMetrics().horizontalAdvance(cbTargetCrs->itemText(i)));
  QStyleOptionComboBox option;
  option.initFrom(cbTargetCrs);
  const QStyle* look = cbTargetCrs->style();
  int width =
      look->sizeFromContents(QStyle::CT_ComboBox, &option, QSize(widest, 0), cbTargetCrs).width();
  if (const QScreen* shown = screen()) width = std::min(width, shown->availableGeometry().width());
  cbTargetCrs->view()->setMinimumWidth(std::max(width, cbTargetCrs->width()));
}

void TOKRightDlg::OKBtnClick() {
  // The dialog closes with OK even when the file refused a key: the main window then re-reads
  // the file as it stands, and the user has seen the error.
  Guarded(this, [this] { SaveMapSettings(Fields()); });
  done(ModalResultOk);
}

void TOKRightDlg::CancelBtnClick() {
  done(ModalResultCancel);
}

void TOKRightDlg::reject() {
  done(ModalResultCancel);
}

void TOKRightDlg::Button2Click() {
  const QString current = eFontName->text();
  const QString folder = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
  const QString chosen = ChooseFontFile(folder);
  if (!chosen.isEmpty()) SetFieldBytes(eFontName, QFile::encodeName(chosen).toStdString());
}

QString TOKRightDlg::ShowFontFileDialog(const QString& startFolder) {
  QFileDialog dialog(this, QStringLiteral("開く"), startFolder);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setSidebarUrls({});
  dialog.setSizeGripEnabled(true);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().first();
}

tsettingsfields TOKRightDlg::Fields() const {
  constexpr tfieldkind text = tfieldkind::Text;
  tsettingsfields f;
  f.MapFileName = FieldBytes(Edit1, text);
  f.LayersOnly = CheckBox1->isChecked();
  f.MapName = FieldBytes(Edit2, text);
  f.MapWidth = FieldBytes(Edit3, text);
  f.MapHeight = FieldBytes(Edit4, text);
  f.CoordUnit = ListPosition(ComboBox1);
  f.CoordUnitText = TypedBytes(ComboBox1->currentText(), text);
  f.ImageType = ListPosition(ComboBox2);
  f.ImageTypeText = TypedBytes(ComboBox2->currentText(), text);
  f.MinScale = FieldBytes(Edit5, text);
  f.MaxScale = FieldBytes(Edit6, text);
  f.WebHeader = FieldBytes(Edit7, text);
  f.WebTemplate = FieldBytes(Edit8, text);
  f.WebFooter = FieldBytes(Edit9, text);
  f.KanjiFont = FieldBytes(eFontName, tfieldkind::Path);
  f.Seamless = CheckBox2->isChecked();
  f.ExportForm = cbExportForm->currentIndex() < 0 ? ExportFormMs4w : cbExportForm->currentIndex();
  f.DataFormat = cbDataFormat->currentData().toString().toStdString();
  f.TargetCrs = cbTargetCrs->currentData().toByteArray().toStdString();
  return f;
}

void TOKRightDlg::ShowFields(const tsettingsfields& f) {
  SetFieldBytes(Edit1, f.MapFileName);
  CheckBox1->setChecked(f.LayersOnly);
  SetFieldBytes(Edit2, f.MapName);
  SetFieldBytes(Edit3, f.MapWidth);
  SetFieldBytes(Edit4, f.MapHeight);
  SetListField(ComboBox1, f.CoordUnit, f.CoordUnitText);
  SetListField(ComboBox2, f.ImageType, f.ImageTypeText);
  SetFieldBytes(Edit5, f.MinScale);
  SetFieldBytes(Edit6, f.MaxScale);
  SetFieldBytes(Edit7, f.WebHeader);
  SetFieldBytes(Edit8, f.WebTemplate);
  SetFieldBytes(Edit9, f.WebFooter);
  SetFieldBytes(eFontName, f.KanjiFont);
  CheckBox2->setChecked(f.Seamless);
  cbExportForm->setCurrentIndex(f.ExportForm);
  // A format the list does not offer (written by hand, PostgreSQL) is kept as an item of its own.
  const QString format = QString::fromStdString(f.DataFormat.empty() ? "shp" : f.DataFormat);
  int at = cbDataFormat->findData(format);
  if (at < 0) {
    cbDataFormat->addItem(format, format);
    at = cbDataFormat->count() - 1;
  }
  cbDataFormat->setCurrentIndex(at);
  // Likewise a coordinate system that is none of the zones (EPSG:2451, a WKT, one from the
  // command line), with its bytes as they came.
  at = cbTargetCrs->findData(QByteArray::fromStdString(f.TargetCrs));
  if (at < 0) {
    const QString own = ShownText(f.TargetCrs);
    AddTargetCrsItem(own, f.TargetCrs, own);
    at = cbTargetCrs->count() - 1;
  }
  cbTargetCrs->setCurrentIndex(at);
  FitTargetCrsPopup();
}

void TOKRightDlg::CentreOnScreen() {
  const QScreen* screen =
      parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}
