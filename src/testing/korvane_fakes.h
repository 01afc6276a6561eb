#pragma once

// Stand-ins for the trainer's surroundings in Qt tests: a fixed clock, a sound output
// that records what it was asked to play, and modal boxes answered from a script.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include "korvane/shell/app_error.h"
#include "korvane/shell/clock.h"
#include "korvane/shell/dialogs.h"
#include "korvane/shell/sound_player.h"

namespace testing_support {

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
