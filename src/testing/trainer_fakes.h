#pragma once

// Stand-ins for the trainer's controller tests without Qt: a trainer view that records
// what it is told, and a probe that sets the controller's shared state.

#include <map>
#include <string>
#include <vector>

#include "korvane/training/trainer_controller.h"
#include "korvane/training/trainer_view.h"
#include "testing/recording_board_view.h"

namespace testing_support {

// Records what the trainer's controller tells the window. The board's points are kept
// as state (above); everything else is logged in order, one line per call:
//   "message <text>", "sound <1|2>", "training layout", "editing layout",
//   "caption <button number> <text>", "heading <text>", "memo colour".
// Captions and the panel's message are also kept as state.
class TRecordingTrainerView : public TRecordingBoardView<korvane::TTrainerView> {
public:
  void ReportMessage(const std::string& text) override {
    Message = text;
    Log.push_back("message " + text);
  }
  void PlaySound(korvane::TSound sound) override {
    Log.push_back("sound " + std::to_string(static_cast<int>(sound)));
  }
  void ShowTrainingLayout() override { Log.push_back("training layout"); }
  void ShowEditingLayout() override { Log.push_back("editing layout"); }
  void SetButtonCaption(korvane::TButton button, const std::string& caption) override {
    Captions[button] = caption;
    Log.push_back("caption " + std::to_string(static_cast<int>(button)) + " " + caption);
  }
  void SetHeadingText(const std::string& text) override { Log.push_back("heading " + text); }
  void ResetCommentaryColour() override { Log.push_back("memo colour"); }

  std::string Message;
  std::map<korvane::TButton, std::string> Captions;
  std::vector<std::string> Log;
};

}  // namespace testing_support

namespace korvane {

// Sets the controller's shared state to values that only operations still to come
// reach (the other side to play, a registration in progress, the commentary shown).
class TTrainerControllerProbe {
public:
  static TTrainerState& State(TTrainerController& controller) { return controller.FState; }
};

}  // namespace korvane
