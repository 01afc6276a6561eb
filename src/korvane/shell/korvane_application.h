#pragma once

#include <QApplication>

#include <memory>

class QTranslator;

namespace korvane {

class TDialogs;

// Sets up what every instance of the trainer's interface needs, in the program and in
// its tests: the application title "Korvane", the Japanese Gothic face standing in for
// "ＭＳ Ｐゴシック" when that face is missing, and the Japanese texts of the toolkit's
// standard buttons (はい / いいえ).
void PrepareApplication(QApplication& app);

// The window face, "ＭＳ Ｐゴシック" at the given pixel height.
QFont WindowFont(int pixelHeight = 12);

// The trainer's application object. An error that no handler caught while an event was
// being handled is shown in the default error box with its message, and the program
// goes on with the next event.
class TKorvaneApplication : public QApplication {
  Q_OBJECT
public:
  TKorvaneApplication(int& argc, char** argv);
  ~TKorvaneApplication() override;

  bool notify(QObject* receiver, QEvent* event) override;
  // Where the default error box goes (the toolkit's message box unless replaced).
  void SetErrorDialogs(TDialogs* dialogs) { FErrorDialogs = dialogs; }

private:
  std::unique_ptr<TDialogs> FDefaultDialogs;
  TDialogs* FErrorDialogs;
};

}  // namespace korvane
