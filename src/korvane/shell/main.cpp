// The trainer's start-up: the application object, the data module, the shell's services,
// the main window, the message loop. The data module outlives the window.

#include "korvane/shell/clock.h"
#include "korvane/shell/dialogs.h"
#include "korvane/shell/korvane_application.h"
#include "korvane/shell/shell_services.h"
#include "korvane/shell/sound_player.h"
#include "korvane/store/data_module.h"
#include "korvane/ui/main_window.h"

int main(int argc, char** argv) {
  using namespace korvane;
  TKorvaneApplication app(argc, argv);

  TDataModule1 dataModule1;
  TSystemClock clock;
  TQtSoundPlayer sound;
  TMessageBoxDialogs dialogs;
  TShellServices shell(clock, sound, dialogs, TShellServices::ProgramDirectory());
  for (TSound kind : {TSound::Click, TSound::LineEnd}) sound.Preload(shell.SoundFile(kind));
  {
    TForm2 form2(dataModule1, shell);
    dialogs.SetParent(&form2);
    shell.AttachWindow(&form2);
    form2.show();
    const int result = app.exec();
    dialogs.SetParent(nullptr);
    return result;
  }
}
