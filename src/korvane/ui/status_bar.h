#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

#include <array>

namespace korvane {

// The window's status bar: three panels side by side, 450 and 140 pixels wide, the last
// one centred and taking the rest. Panel 0 carries messages, panel 2 the clock.
class TStatusBar : public QWidget {
  Q_OBJECT
public:
  static constexpr int kPanelCount = 3;
  explicit TStatusBar(QWidget* parent = nullptr);

  void SetPanelText(int panel, const QString& text);
  QString PanelText(int panel) const;
  QLabel* Panel(int panel) const { return FPanels[panel]; }

private:
  std::array<QLabel*, kPanelCount> FPanels{};
};

}  // namespace korvane
