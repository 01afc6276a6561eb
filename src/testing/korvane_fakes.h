#pragma once

// Stand-ins for the trainer's surroundings in Qt tests: the services the main window asks
// for, recording what it asks; and for the shell's own tests a fixed clock, a sound output
// that records what it was asked to play, and modal boxes answered from a script.

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

#include "korvane/shell/clock.h"
#include "korvane/shell/dialogs.h"
#include "korvane/shell/sound_player.h"
#include "korvane/ui/window_services.h"

namespace testing_support {

class TRecordingWindowServices : public korvane::TWindowServices {
public:
  QString ProgDir() const override { return Dir; }
  QString ClockText() const override { return Clock; }
  void PlaySound(korvane::TSound sound) override { Sounds.push_back(sound); }
  void ShowHelp() override { Commands << QStringLiteral("help"); }
  void ShowVersion() override { Commands << QStringLiteral("version"); }
  void ExitProgram() override { Commands << QStringLiteral("exit"); }

  QString Dir = QCoreApplication::applicationDirPath() + QLatin1Char('/');  // the pictures are here
  QString Clock = QStringLiteral("03/07  02:05 PM");
  std::vector<korvane::TSound> Sounds;
  QStringList Commands;  // "help", "version", "exit" in the order asked
};

class TFixedClock : public korvane::TClock {
public:
  QDateTime Now() const override { return Time; }
  QDateTime Time{QDate(2024, 3, 7), QTime(14, 5)};
};

class TRecordingSound : public korvane::TSoundPlayer {
public:
  void Play(const QString& wavFile) override { Played << wavFile; }
  QStringList Played;
};

class TScriptedDialogs : public korvane::TDialogs {
public:
  bool Confirm(const QString& text) override {
    Questions << text;
    return Answer;
  }
  void Information(const QString& text) override { Informations << text; }
  void Error(const QString& text) override { Errors << text; }

  bool Answer = false;  // the answer to every question
  QStringList Questions;
  QStringList Informations;
  QStringList Errors;
};

}  // namespace testing_support
