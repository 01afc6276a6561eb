#pragma once

#include <QDialog>
#include <QString>

class QTextBrowser;

namespace korvane {

// The help window: shows the contents page of the help file, an HTML document, with
// working internal links. One window per main window, reused on every request.
class THelpWindow : public QDialog {
  Q_OBJECT
public:
  explicit THelpWindow(QWidget* parent = nullptr);
  // Loads the file and shows its contents page. Returns false, showing nothing, when
  // the file cannot be read.
  bool ShowContents(const QString& helpFile);
  QString Text() const;

private:
  QTextBrowser* FBrowser;
};

}  // namespace korvane
