#include "korvane/shell/help_window.h"

#include <QFile>
#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "korvane/texts.h"

namespace korvane {

THelpWindow::THelpWindow(QWidget* parent) : QDialog(parent), FBrowser(new QTextBrowser(this)) {
  setWindowTitle(QString::fromUtf8(texts::kHelpWindowTitle));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(FBrowser);
  FBrowser->setOpenExternalLinks(false);
  resize(640, 560);
}

bool THelpWindow::ShowContents(const QString& helpFile) {
  QFile file(helpFile);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QString html = QString::fromUtf8(file.readAll());
  // The search path lets internal anchors and relative links resolve beside the file.
  FBrowser->setSearchPaths({QFileInfo(helpFile).absolutePath()});
  FBrowser->setHtml(html);
  show();
  raise();
  activateWindow();
  return true;
}

QString THelpWindow::Text() const { return FBrowser->toPlainText(); }

}  // namespace korvane
