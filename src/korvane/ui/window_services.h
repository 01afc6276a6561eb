#pragma once

#include <QString>

#include "korvane/training/trainer_view.h"

namespace korvane {

// What the main window needs from the program around it: the program directory, the
// time, the sounds, and the commands of the help menu and of "終了". The shell provides
// them; tests record what the window asks. The window never reaches the shell otherwise.
class TWindowServices {
public:
  virtual ~TWindowServices() = default;

  // Directory of the program, with a trailing separator; the stone pictures are read
  // from here.
  virtual QString ProgDir() const = 0;
  // The clock text of the status bar for the current time.
  virtual QString ClockText() const = 0;
  // Starts the sound and returns at once. Raises EKorvaneError when its file is missing.
  virtual void PlaySound(TSound sound) = 0;
  // Menu "オンラインヘルプ": the contents page of the help file.
  virtual void ShowHelp() = 0;
  // Menu "バージョン情報".
  virtual void ShowVersion() = 0;
  // Menu "終了": asks first; on Yes the window is closed and the program ends, on No
  // nothing changes.
  virtual void ExitProgram() = 0;
};

}  // namespace korvane
