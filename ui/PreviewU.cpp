#include "ui/PreviewU.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <cmath>

#include "ui/messages.h"
#include "ui/previewdraw.h"

namespace {

constexpr int kLayerRole = Qt::UserRole;
// A press that moves less than this is a click, not a drag.
constexpr int kClickPixels = 3;

}  // namespace

TPreviewF::TPreviewF(const std::string& folder, QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("PreviewF"));
  setWindowTitle(QStringLiteral("プレビュー - ") + ShownText(folder));
  setAttribute(Qt::WA_DeleteOnClose);
  Set = LoadPreviewSet(folder);
  TakeUnits(View, Set);
  CreateControls();
  FillLayerList();
  resize(1100, 720);
}

void TPreviewF::CreateControls() {
  bFit = new QPushButton(QStringLiteral("全体表示"), this);
  bFit->setObjectName(QStringLiteral("bFit"));
  lLayers = new QListWidget(this);
  lLayers->setObjectName(QStringLiteral("lLayers"));
  lLayers->setIconSize(QSize(16, 16));
  lLayers->setFixedWidth(190);

  Map = new QWidget(this);
  Map->setObjectName(QStringLiteral("Map"));
  Map->setMouseTracking(true);
  Map->setCursor(Qt::OpenHandCursor);
  Map->setMinimumSize(200, 150);
  Map->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  Map->setAttribute(Qt::WA_OpaquePaintEvent);
  Map->installEventFilter(this);

  tInfo = new QTableWidget(0, 2, this);
  tInfo->setObjectName(QStringLiteral("tInfo"));
  tInfo->setHorizontalHeaderLabels({QStringLiteral("項目"), QStringLiteral("値")});
  tInfo->horizontalHeader()->setStretchLastSection(true);
  tInfo->verticalHeader()->hide();
  tInfo->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tInfo->setFixedWidth(300);

  SBar = new QStatusBar(this);
  SBar->setObjectName(QStringLiteral("SBar"));
  lScale = new QLabel(this);
  SBar->addPermanentWidget(lScale);

  auto* left = new QVBoxLayout;
  left->addWidget(bFit);
  left->addWidget(lLayers);
  auto* row = new QHBoxLayout;
  row->addLayout(left);
  row->addWidget(Map, 1);
  row->addWidget(tInfo);
  auto* all = new QVBoxLayout(this);
  all->setContentsMargins(4, 4, 4, 0);
  all->addLayout(row, 1);
  all->addWidget(SBar);

  connect(bFit, &QPushButton::clicked, this, &TPreviewF::bFitClick);
  connect(lLayers, &QListWidget::itemChanged, this, &TPreviewF::lLayersItemChanged);
}

void TPreviewF::FillLayerList() {
  const QSignalBlocker quiet(lLayers);
  for (size_t i = 0; i < Set.Layers.size(); ++i) {
    const tpreviewlayer& layer = Set.Layers[i];
    auto* line = new QListWidgetItem(QIcon(LayerSwatch(layer, 16)),
                                     QString::fromStdString(layer.Title), lLayers);
    line->setToolTip(QString::fromStdString(layer.Name) + QStringLiteral(" (") +
                     QString::number(layer.Features.size()) + QStringLiteral(")"));
    line->setData(kLayerRole, static_cast<int>(i));
    line->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    line->setCheckState(layer.Visible ? Qt::Checked : Qt::Unchecked);
  }
}

void TPreviewF::bFitClick() {
  View.Width = std::max(Map->width(), 1);
  View.Height = std::max(Map->height(), 1);
  FitView(View, Set.Box);
  fitted_ = true;
  Redraw();
}

void TPreviewF::lLayersItemChanged(QListWidgetItem* item) {
  const int n = item->data(kLayerRole).toInt();
  if (n < 0 || n >= static_cast<int>(Set.Layers.size())) return;
  Set.Layers[n].Visible = item->checkState() == Qt::Checked;
  Redraw();
}

void TPreviewF::Redraw() {
  View.Width = std::max(Map->width(), 1);
  View.Height = std::max(Map->height(), 1);
  if (!fitted_) {
    FitView(View, Set.Box);
    fitted_ = true;
  }
  picture_ = RenderPreview(Set, View);
  dragOffset_ = {};
  ShowScale();
  Map->update();
}

void TPreviewF::PaintMap() {
  if (picture_.size() != Map->size()) Redraw();
  QPainter painter(Map);
  if (!dragOffset_.isNull()) painter.fillRect(Map->rect(), Qt::white);
  painter.drawImage(dragOffset_, picture_);
  if (hit_.Layer < 0 || !Set.Layers[hit_.Layer].Visible) return;
  painter.translate(dragOffset_);
  DrawHighlight(painter, Set.Layers[hit_.Layer], hit_.Feature, View);
}

void TPreviewF::ShowScale() {
  const double n = ScaleDenominator(View, Map->logicalDpiY());
  lScale->setText(QStringLiteral("縮尺 1:") +
                  QLocale(QLocale::English).toString(static_cast<qlonglong>(std::llround(n))));
}

void TPreviewF::ShowPosition(QPoint at) {
  const double x = MapX(View, at.x()), y = MapY(View, at.y());
  if (View.MetresPerUnit > 0) {
    // Easting and northing in the CRS's own unit, named only where it is the metre.
    const QString unit = View.MetresPerUnit == 1 ? QStringLiteral(" m") : QString();
    SBar->showMessage(
        QStringLiteral("東距 %1%3　北距 %2%3").arg(x, 0, 'f', 2).arg(y, 0, 'f', 2).arg(unit));
    return;
  }
  SBar->showMessage(QStringLiteral("緯度 %1°　経度 %2°").arg(y, 0, 'f', 6).arg(x, 0, 'f', 6));
}

void TPreviewF::MapClick(QPoint at) {
  tInfo->setRowCount(0);
  const tmaphit hit = IdentifyAt(Set, View, at.x(), at.y(), kIdentifyPixels);
  hit_ = hit;
  Map->update();
  if (hit.Layer < 0) return;
  const tpreviewlayer& layer = Set.Layers[hit.Layer];
  auto addRow = [this](const QString& header, const QString& value) {
    const int row = tInfo->rowCount();
    tInfo->insertRow(row);
    tInfo->setItem(row, 0, new QTableWidgetItem(header));
    tInfo->setItem(row, 1, new QTableWidgetItem(value));
  };
  addRow(QStringLiteral("レイヤー"), QString::fromStdString(layer.Title));
  for (const tattrtext& text : ReadRecordTexts(layer, hit.Record))
    addRow(QString::fromStdString(text.Header), QString::fromStdString(text.Value));
  tInfo->resizeColumnToContents(0);
}

bool TPreviewF::eventFilter(QObject* watched, QEvent* event) {
  if (watched != Map) return QWidget::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::Paint:
      PaintMap();
      return true;
    case QEvent::MouseButtonPress: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) break;
      pressedAt_ = mouse->position().toPoint();
      dragging_ = false;
      return true;
    }
    case QEvent::MouseMove: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      const QPoint at = mouse->position().toPoint();
      ShowPosition(at);
      if (!(mouse->buttons() & Qt::LeftButton)) break;
      if ((at - pressedAt_).manhattanLength() >= kClickPixels) {
        dragging_ = true;
        Map->setCursor(Qt::ClosedHandCursor);
      }
      // While dragging the cached picture only moves; it is drawn again on release.
      if (dragging_) {
        dragOffset_ = at - pressedAt_;
        Map->update();
      }
      return true;
    }
    case QEvent::MouseButtonRelease: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) break;
      const QPoint at = mouse->position().toPoint();
      if (dragging_) {
        PanView(View, at.x() - pressedAt_.x(), at.y() - pressedAt_.y());
        dragging_ = false;
        Map->setCursor(Qt::OpenHandCursor);
        Redraw();
      } else {
        MapClick(at);
      }
      return true;
    }
    case QEvent::Wheel: {
      auto* wheel = static_cast<QWheelEvent*>(event);
      const double steps = wheel->angleDelta().y() / 120.0;
      if (steps == 0 || dragging_) return true;
      const QPointF at = wheel->position();
      ZoomView(View, at.x(), at.y(), std::pow(1.5, steps));
      Redraw();
      ShowPosition(at.toPoint());
      return true;
    }
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}
