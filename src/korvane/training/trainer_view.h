#pragma once

#include <string>

#include "korvane/board/board_view.h"

namespace korvane {

// The command buttons of the main window, by what they do.
enum class TButton {
  ShowContents,              // "目次表示"
  Commentary,                // "解説表示": shows or hides the commentary
  RequestRegistration,       // "登録要求"
  ExecuteRegistration,       // "登録実行"
  DeleteThemeDiagram,        // "削除"
  RegisterCorrectSequence,   // "正手順登録"
  RegisterWrongSequence,     // "悪手順登録"
  CancelRegistration,        // "キャンセル"
  Side,                      // "白番" / "黒番": the side to play in training
  DeleteSequence,            // "手順削除"
  Clear,                     // "クリア"
  OneMoveForward,            // "1手進む"
  OneMoveBack,               // "１手戻す"
  OneSequenceBack,           // "１手順戻す"
};
inline constexpr int kButtonCount = static_cast<int>(TButton::OneSequenceBack) + 1;

// The two sounds: the ordinary click and the end of a stored line.
enum class TSound { Click = 1, LineEnd = 2 };

// What the trainer's controller tells the main window. Besides the board (the points'
// pictures and texts, which the board model also draws through), the window has a
// message panel, command buttons, a heading label over the lists, a commentary memo,
// two screen layouts and the sound output. Texts are UTF-8.
//
// The view only shows; it decides nothing. Each operation takes effect at once.
class TTrainerView : public TBoardView {
public:
  // Writes a message to the message panel; it stays until another message (or an empty
  // text) replaces it.
  virtual void ReportMessage(const std::string& text) = 0;
  // Starts a sound and returns at once; nothing waits for it to end. May raise when the
  // sound file cannot be used.
  virtual void PlaySound(TSound sound) = 0;

  // The fixed placement of the controls for the training screen and for the editing
  // screen. The training layout also hides and disables "登録実行" and enables
  // "1手進む"; the editing layout leaves every enabled state as it is. Neither touches
  // a caption.
  virtual void ShowTrainingLayout() = 0;
  virtual void ShowEditingLayout() = 0;

  virtual void SetButtonCaption(TButton button, const std::string& caption) = 0;
  // The label over the theme list: the title of the middle heading chosen last, or empty.
  virtual void SetHeadingText(const std::string& text) = 0;
  // Gives the commentary memo back the toolkit's own text colour.
  virtual void ResetCommentaryColour() = 0;
};

}  // namespace korvane
