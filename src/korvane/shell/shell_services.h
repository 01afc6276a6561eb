#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include "korvane/shell/help_window.h"
#include "korvane/ui/window_services.h"

namespace korvane {

class TClock;
class TDialogs;
class TSoundPlayer;

// The shell's side of the main window: the program directory with the pictures, sounds
// and help file in it, the clock, the two sounds, the help window, the version box and
// the exit question. It owns no window; the window it serves is attached once created.
class TShellServices : public TWindowServices {
public:
  // progDir ends with a separator; the clock, sound output and boxes outlive this object.
  TShellServices(TClock& clock, TSoundPlayer& sound, TDialogs& dialogs, QString progDir);
  ~TShellServices() override;

  // The directory of the program file, with a trailing separator.
  static QString ProgramDirectory();

  // The window the help window belongs to and that "終了" closes. Needed before the
  // window's menu commands run; the help window is the window's child and goes with it.
  void AttachWindow(QWidget* window);

  // The file of each sound: ProgDir + "Oto1.wav" for the click, + "Oto2.wav" for the
  // end of a line.
  QString SoundFile(TSound sound) const;
  // ProgDir + "Korvane.hlp".
  QString HelpFile() const { return FHelpFile; }
  THelpWindow* HelpWindow() const { return FHelpWindow; }

  QString ProgDir() const override { return FProgDir; }
  // The current local time as "mm/dd  hh:mm AM/PM".
  QString ClockText() const override;
  void PlaySound(TSound sound) override;
  // Shows the contents page of the help file; a file that cannot be read goes to the
  // error box instead.
  void ShowHelp() override;
  // An information box beginning "Korvane\r\nVersion 3.3".
  void ShowVersion() override;
  // Asks "「Korvane」を終了していいですか？"; unless the answer is No, closes the window
  // and ends the message loop.
  void ExitProgram() override;

private:
  TClock& FClock;
  TSoundPlayer& FSound;
  TDialogs& FDialogs;
  const QString FProgDir;
  const QString FHelpFile;
  QPointer<QWidget> FWindow;
  QPointer<THelpWindow> FHelpWindow;
};

}  // namespace korvane
