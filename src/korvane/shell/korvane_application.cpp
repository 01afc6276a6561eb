#include "korvane/shell/korvane_application.h"

#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <exception>

#include "korvane/shell/dialogs.h"

namespace korvane {
namespace {

const QString kWindowFace = QStringLiteral("ＭＳ Ｐゴシック");

}  // namespace

void PrepareApplication(QApplication& app) {
  app.setApplicationName(QStringLiteral("Korvane"));
  app.setApplicationDisplayName(QString());
  // Without the substitution a request for the face falls back to a Latin face, whose
  // metrics then differ from the Japanese text beside it.
  QFont::insertSubstitutions(kWindowFace, {QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                                           QStringLiteral("Noto Sans CJK JP"), QStringLiteral("VL PGothic")});
  auto* translator = new QTranslator(&app);
  if (translator->load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    app.installTranslator(translator);
  }
}

QFont WindowFont(int pixelHeight) {
  QFont font(kWindowFace);
  font.setPixelSize(pixelHeight);
  return font;
}

TKorvaneApplication::TKorvaneApplication(int& argc, char** argv)
    : QApplication(argc, argv), FDefaultDialogs(std::make_unique<TMessageBoxDialogs>()),
      FErrorDialogs(FDefaultDialogs.get()) {
  PrepareApplication(*this);
}

TKorvaneApplication::~TKorvaneApplication() = default;

bool TKorvaneApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    FErrorDialogs->Error(QString::fromUtf8(error.what()));
  }
  return true;  // the event was handled, unsuccessfully
}

}  // namespace korvane
