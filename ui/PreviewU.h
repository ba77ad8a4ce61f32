#pragma once
// The map preview, TPreviewF (form PreviewF): the layer sets of an output folder drawn from
// their shapefiles, with a layer list (title, colour, check box), moving by dragging and the
// wheel, 「全体表示」, the position and scale under the map, and the attributes of a clicked
// feature in a table beside it.
#include <QImage>
#include <QPoint>
#include <QWidget>
#include <string>

#include "preview/preview.h"

class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QStatusBar;
class QTableWidget;

class TPreviewF : public QWidget {
  Q_OBJECT

 public:
  // Loads the sets of `folder` (with its trailing '/') that the catalog names.
  explicit TPreviewF(const std::string& folder, QWidget* parent = nullptr);

  QPushButton* bFit;
  QListWidget* lLayers;  // one line per layer, in catalog order, checked while shown
  QWidget* Map;
  QTableWidget* tInfo;  // the identified feature: layer title, then header and value per column
  QStatusBar* SBar;
  QLabel* lScale;

  tpreviewset Set;
  tmapview View;

  // Pixels around a point or line within which a click finds it.
  static constexpr double kIdentifyPixels = 4;

  void bFitClick();
  void lLayersItemChanged(QListWidgetItem* item);
  // A click at a pixel of the map: fills the table with the feature there, if any.
  void MapClick(QPoint at);
  // The picture of the current view, drawn again.
  void Redraw();
  // The position under the pixel and the scale.
  void ShowPosition(QPoint at);
  const QImage& Picture() const { return picture_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void FillLayerList();
  void PaintMap();
  void ShowScale();

  QImage picture_;
  tmaphit hit_;  // the feature listed in the table, marked on the map
  bool dragging_ = false;
  QPoint pressedAt_, dragOffset_;
  bool fitted_ = false;
};
