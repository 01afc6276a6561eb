#include "korvane/ui/window_look.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "korvane/texts.h"

namespace korvane {

void PrepareApplication(QApplication& app) {
  app.setApplicationName(QString::fromUtf8(texts::kTitle));
  app.setApplicationDisplayName(QString());
  // Without the substitution a request for the face falls back to a Latin face, whose
  // metrics then differ from the Japanese text beside it.
  QFont::insertSubstitutions(QString::fromUtf8(texts::kWindowFace),
                             {QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                              QStringLiteral("Noto Sans CJK JP"), QStringLiteral("VL PGothic")});
  auto* translator = new QTranslator(&app);
  if (translator->load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    app.installTranslator(translator);
  }
}

QFont WindowFont(int pixelHeight) {
  QFont font(QString::fromUtf8(texts::kWindowFace));
  font.setPixelSize(pixelHeight);
  return font;
}

}  // namespace korvane
