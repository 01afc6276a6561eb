#pragma once

#include <QApplication>
#include <QFont>

namespace korvane {

// Sets up what every instance of the trainer's interface needs, in the program and in
// its tests: the application title "Korvane", the Japanese Gothic face standing in for
// "ＭＳ Ｐゴシック" when that face is missing, and the Japanese texts of the toolkit's
// standard buttons (はい / いいえ).
void PrepareApplication(QApplication& app);

// The window face, "ＭＳ Ｐゴシック" at the given pixel height.
QFont WindowFont(int pixelHeight = 12);

}  // namespace korvane
