#include "korvane/ui/status_bar.h"

#include <QHBoxLayout>

namespace korvane {

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  constexpr int kWidths[kPanelCount] = {450, 140, -1};
  for (int i = 0; i < kPanelCount; ++i) {
    auto* panel = new QLabel(this);
    panel->setObjectName(QStringLiteral("Panel%1").arg(i));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setIndent(2);
    if (kWidths[i] > 0) {
      panel->setFixedWidth(kWidths[i]);
      layout->addWidget(panel);
    } else {
      panel->setAlignment(Qt::AlignCenter);
      layout->addWidget(panel, 1);
    }
    FPanels[i] = panel;
  }
}

void TStatusBar::SetPanelText(int panel, const QString& text) { FPanels[panel]->setText(text); }

QString TStatusBar::PanelText(int panel) const { return FPanels[panel]->text(); }

}  // namespace korvane
