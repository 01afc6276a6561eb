#include "korvane/ui/board_widget.h"

#include <QMouseEvent>
#include <QPainter>

namespace korvane {
namespace {

const QColor kBoardColour(254, 231, 182);
constexpr int kLineLength = 505;  // horizontal lines; vertical ones are 504 long
constexpr int kStarPositions[] = {98, 266, 434};
constexpr int kStarSize = 5;

}  // namespace

TBoardWidget::TBoardWidget(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Board"));
  setGeometry(0, 0, kBoardPixels, kBoardPixels);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TBoardWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kBoardColour);
  for (int k = 0; k < 19; ++k) {
    const int thickness = (k == 0 || k == 18) ? 2 : 1;
    const int at = kGridOrigin + kCellSize * k;
    painter.fillRect(kGridOrigin, at, kLineLength, thickness, Qt::black);
    painter.fillRect(at, kGridOrigin, thickness, kLineLength - 1, Qt::black);
  }
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::black);
  for (int x : kStarPositions) {
    for (int y : kStarPositions) painter.drawEllipse(x, y, kStarSize, kStarSize);
  }
}

TPointLabel::TPointLabel(QWidget* parent, TMouseDown onMouseDown)
    : QLabel(parent), FOnMouseDown(std::move(onMouseDown)) {}

void TPointLabel::mousePressEvent(QMouseEvent* event) {
  event->accept();
  FOnMouseDown(*this, event->button());
}

}  // namespace korvane
