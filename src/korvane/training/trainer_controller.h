#pragma once

#include <cstdint>

#include "korvane/board/board_model.h"
#include "korvane/training/trainer_view.h"

namespace korvane {

class TDataModule1;

// The state the training, editing and stepping screens share.
struct TTrainerState {
  int32_t Screen = 1;       // 1 training, 2 editing
  int32_t CurMNB = 0;       // the theme diagram on the board
  int32_t Side = 2;         // the side chosen for training: 1 black, 2 white
  int32_t ExpShown = 2;     // the commentary: 1 shown, 2 hidden
  int32_t Registering = 0;  // 1 while a new theme diagram is being registered
  int32_t EditMNB = 0;      // working value of a registration
};

// Which mouse button pressed a point: the left one lays black, any other white.
enum class TPointerButton { Left, Other };

// What the user's actions mean. The main window forwards its events here (a press on a
// point, a button, a menu command) and shows what it is told through TTrainerView; the
// controller owns the board model and the shared state, and reaches the problem store.
// It runs on the one user-interface thread, each operation to completion; an error
// raised by the view (a stone picture that cannot be read) stops the operation there
// and goes to the default error box.
//
// What comes here as the screens are built on the problem store:
//  - training: the table of contents listed when the window is first shown; laying out
//    the theme diagram chosen in the theme list; the side and commentary toggles; the
//    forward step through the stored answer, with green and red marks where it branches;
//    the step along a marked continuation that the user clicks; the report and sound
//    after each step;
//  - editing: registering a theme diagram with its set-up stones; storing the moves
//    laid by hand as a correct or a wrong sequence from the position shown; deleting a
//    theme diagram, or a sequence with everything that continues from it, after a Yes/No
//    question (the view gains its question box then);
//  - stepping back: taking back one move (a hand move first, then stored moves with the
//    stones they captured) or a whole sequence, and rebuilding the position at the end of
//    a sequence row chosen in the sequence list.
// They read and write the store's queries, hand stored moves to the board model and tell
// the view what to show; the window gains nothing but the forwarding of their events.
class TTrainerController {
public:
  // The view also shows the board model's points. The store outlives the controller.
  TTrainerController(TTrainerView& view, TDataModule1& store);
  TTrainerController(const TTrainerController&) = delete;
  TTrainerController& operator=(const TTrainerController&) = delete;

  // The first state, set once before the window is first painted: an empty board, White
  // to play, the commentary hidden with the caption "解説表示", no heading, the training
  // screen. The start-up listing of the table of contents will follow it.
  void ShowFirstState();

  // "クリア", and the start of every new position: empties the board (every point's
  // picture and text, the hand moves, the capture log), ends a registration in progress,
  // hides the commentary and gives the memo its own colour back. No caption changes.
  void ClearPosition();

  // Wherever a point is empty on the board, removes its picture and text (marks and
  // numbers left from stepping), then empties the message panel. Covers every point, so
  // that no mark stays clickable on the right-hand columns.
  void ClearEmptyMarks();

  // A press on a point (1..361), in either screen and during a registration alike. It
  // empties the message panel. On a point marked "●" it chooses that continuation and
  // clears the marks on empty points; it never lays a stone there. Anywhere else it
  // lays a hand move, black for the left button and white for any other, on an occupied
  // point too, silently; a move beyond the 50 the move stack holds is refused with a
  // message and changes nothing.
  void PointPressed(int32_t point, TPointerButton button);

  // The menu's screen switch: the screen's layout, then Screen. In the training screen
  // the side button shows the side chosen for training.
  void SwitchToTraining();
  void SwitchToEditing();

  const TTrainerState& State() const { return FState; }
  // The board model, for the operations that lay out positions (and for tests).
  TBoardModel& Board() { return FBoard; }
  const TBoardModel& Board() const { return FBoard; }

private:
  // Tests put the controller into states that only later operations reach (the other
  // side to play, a registration in progress, the commentary shown).
  friend class TTrainerControllerProbe;

  void ShowTrainingLayout();

  TTrainerView& FView;
  [[maybe_unused]] TDataModule1& FStore;
  TBoardModel FBoard;
  TTrainerState FState;
};

}  // namespace korvane
