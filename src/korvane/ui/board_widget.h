#pragma once

#include <QLabel>
#include <QWidget>

#include <functional>

namespace korvane {

// Board geometry in window pixels: the intersection of column c and row r (0..18) is at
// (kGridOrigin + kCellSize*c, kGridOrigin + kCellSize*r).
constexpr int kBoardPixels = 536;
constexpr int kGridOrigin = 16;
constexpr int kCellSize = 28;

// The painted board: a filled square, 19 lines each way (the outer ones 2 pixels
// thick) and the nine star points. It never reacts to the mouse.
class TBoardWidget : public QWidget {
  Q_OBJECT
public:
  explicit TBoardWidget(QWidget* parent = nullptr);

protected:
  void paintEvent(QPaintEvent* event) override;
};

// The text label over one point: the only part of the board that reacts to the mouse.
// Any button press is reported with the label.
class TPointLabel : public QLabel {
  Q_OBJECT
public:
  using TMouseDown = std::function<void(TPointLabel& label, Qt::MouseButton button)>;
  TPointLabel(QWidget* parent, TMouseDown onMouseDown);

protected:
  void mousePressEvent(QMouseEvent* event) override;

private:
  TMouseDown FOnMouseDown;
};

}  // namespace korvane
