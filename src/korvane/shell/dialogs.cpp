#include "korvane/shell/dialogs.h"

#include <QMessageBox>

#include "korvane/texts.h"

namespace korvane {
namespace {

const QString kTitle = QString::fromUtf8(texts::kTitle);

// Texts keep Windows line ends ("\r\n"); a label shows only "\n" as a line break.
QString ForDisplay(const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

}  // namespace

bool TMessageBoxDialogs::Confirm(const QString& text) {
  return QMessageBox::question(FParent, kTitle, ForDisplay(text), QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::Yes) != QMessageBox::No;
}

void TMessageBoxDialogs::Information(const QString& text) {
  QMessageBox::information(FParent, kTitle, ForDisplay(text));
}

void TMessageBoxDialogs::Error(const QString& text) {
  QMessageBox::critical(FParent, kTitle, ForDisplay(text));
}

}  // namespace korvane
