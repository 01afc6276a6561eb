// The trainer's start-up: the application object, the data module, the main window,
// the message loop. The data module outlives the window.

#include <QCoreApplication>

#include "korvane/shell/clock.h"
#include "korvane/shell/dialogs.h"
#include "korvane/shell/korvane_application.h"
#include "korvane/shell/sound_player.h"
#include "korvane/store/data_module.h"
#include "korvane/ui/main_window.h"

int main(int argc, char** argv) {
  korvane::TKorvaneApplication app(argc, argv);

  [[maybe_unused]] korvane::TDataModule1 dataModule1;
  korvane::TSystemClock clock;
  korvane::TQtSoundPlayer sound;
  korvane::TMessageBoxDialogs dialogs;
  {
    korvane::TForm2 form2({clock, sound, dialogs});
    dialogs.SetParent(&form2);
    const QString progDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    sound.Preload(progDir + QStringLiteral("Oto1.wav"));
    sound.Preload(progDir + QStringLiteral("Oto2.wav"));
    form2.show();
    const int result = app.exec();
    dialogs.SetParent(nullptr);
    return result;
  }
}
