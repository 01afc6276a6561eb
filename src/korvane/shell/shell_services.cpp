#include "korvane/shell/shell_services.h"

#include <QCoreApplication>

#include <utility>

#include "korvane/shell/clock.h"
#include "korvane/shell/dialogs.h"
#include "korvane/shell/help_window.h"
#include "korvane/shell/sound_player.h"
#include "korvane/texts.h"

namespace korvane {

TShellServices::TShellServices(TClock& clock, TSoundPlayer& sound, TDialogs& dialogs, QString progDir)
    : FClock(clock), FSound(sound), FDialogs(dialogs), FProgDir(std::move(progDir)),
      FHelpFile(FProgDir + QString::fromUtf8(texts::kHelpFile)) {}

TShellServices::~TShellServices() = default;

QString TShellServices::ProgramDirectory() { return QCoreApplication::applicationDirPath() + QLatin1Char('/'); }

void TShellServices::AttachWindow(QWidget* window) {
  FWindow = window;
  FHelpWindow = new THelpWindow(window);
}

QString TShellServices::SoundFile(TSound sound) const {
  return FProgDir + QString::fromUtf8(sound == TSound::Click ? texts::kClickSoundFile : texts::kLineEndSoundFile);
}

QString TShellServices::ClockText() const { return FormatClockText(FClock.Now()); }

void TShellServices::PlaySound(TSound sound) { FSound.Play(SoundFile(sound)); }

void TShellServices::ShowHelp() {
  if (!FHelpWindow->ShowContents(FHelpFile)) {
    FDialogs.Error(QString::fromUtf8(texts::kHelpUnreadable).arg(FHelpFile));
  }
}

void TShellServices::ShowVersion() { FDialogs.Information(QString::fromUtf8(texts::kVersionText)); }

void TShellServices::ExitProgram() {
  if (!FDialogs.Confirm(QString::fromUtf8(texts::kExitQuestion))) return;
  // Nothing to release for sockets on this platform; the data module closes its
  // queries when the program's main function destroys it after the window.
  FWindow->close();
  QCoreApplication::quit();
}

}  // namespace korvane
