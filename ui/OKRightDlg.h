#pragma once
// The MapServer settings dialog, TOKRightDlg (form OKRightDlg, caption "mapserver設定"). Its
// fields are filled once, when it is created; OK writes them into the settings file, Cancel
// leaves everything as it was, and the fields keep what the user left in them either way.
#include <QDialog>
#include <QString>
#include <functional>

#include "susetu/susetu.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The dialog's results: OK and Cancel (Esc and the close box count as Cancel).
constexpr int ModalResultOk = 1;
constexpr int ModalResultCancel = 2;

class TOKRightDlg : public QDialog {
  Q_OBJECT

 public:
  // Builds the components and runs FormCreate (the two lists, then the fields from MapSettings).
  explicit TOKRightDlg(QWidget* parent = nullptr);

  QPushButton* OKBtn;
  QPushButton* CancelBtn;
  QLabel* Label1;
  QLineEdit* Edit1;
  QCheckBox* CheckBox1;
  QCheckBox* CheckBox2;
  QGroupBox* GroupBox1;
  QLineEdit* Edit2;
  QLineEdit* Edit3;
  QLineEdit* Edit4;
  QComboBox* ComboBox1;
  QComboBox* ComboBox2;
  QLineEdit* Edit5;
  QLineEdit* Edit6;
  QGroupBox* GroupBox3;
  QLineEdit* eFontName;
  QPushButton* Button2;
  QGroupBox* GroupBox2;
  QLineEdit* Edit7;
  QLineEdit* Edit8;
  QLineEdit* Edit9;
  QComboBox* cbExportForm;  // "出力形式": MS4W or MapServer 8
  QComboBox* cbDataFormat;  // "データ形式": the shapefiles or a GDAL format (item data: its name)
  // "座標系": as the data declares, a plane-rectangular zone, or a stored text of the user's own
  // (item data: the CRS text's bytes, empty for as declared).
  QComboBox* cbTargetCrs;

  // The font file chooser (existing files only), replaceable for the tests. Gets the folder to
  // start in, returns the chosen file or nothing when cancelled.
  std::function<QString(const QString& startFolder)> ChooseFontFile;

  void FormCreate();
  void OKBtnClick();
  void CancelBtnClick();
  void Button2Click();

  // The fields as SaveMapSettings takes them, and the other way round.
  tsettingsfields Fields() const;
  void ShowFields(const tsettingsfields& fields);

  // Centres the dialog on the screen it is shown on.
  void CentreOnScreen();

  // Esc and the close box.
  void reject() override;

 private:
  void CreateControls();
  void AddTargetCrsItem(const QString& text, const std::string& crs, const QString& tip);
  void FitTargetCrsPopup();
  QString ShowFontFileDialog(const QString& startFolder);
};
