#include "korvane/training/trainer_controller.h"

#include "korvane/store/data_module.h"
#include "korvane/texts.h"

namespace korvane {

TTrainerController::TTrainerController(TTrainerView& view, TDataModule1& store)
    : FView(view), FStore(store), FBoard(view) {}

void TTrainerController::ShowFirstState() {
  FState.Screen = 1;
  ClearPosition();
  FState.Side = 2;
  FState.ExpShown = 2;
  FView.SetHeadingText({});
  FView.SetButtonCaption(TButton::Commentary, texts::kShowCommentary);
  ShowTrainingLayout();
  FState.Screen = 1;
}

void TTrainerController::ClearPosition() {
  FBoard.ClearBoard();
  FState.Registering = 0;
  FState.ExpShown = 2;
  FView.ResetCommentaryColour();
}

void TTrainerController::ClearEmptyMarks() {
  for (int32_t p = 1; p <= kPointCount; ++p) {
    if (FBoard.PointColour(p) == kEmpty) FView.ClearPoint(p);
  }
  FView.ReportMessage({});
}

void TTrainerController::PointPressed(int32_t point, TPointerButton button) {
  FView.ReportMessage({});
  if (FView.GetPointText(point) == texts::kCandidateMark) {
    // The step along the chosen continuation is taken here, before the marks are
    // cleared; the report after the step follows them.
    ClearEmptyMarks();
    return;
  }
  if (!FBoard.PlayUserMove(point, button == TPointerButton::Left ? kBlack : kWhite)) {
    FView.ReportMessage(texts::kMovesFull);
  }
}

void TTrainerController::ShowTrainingLayout() {
  FView.ShowTrainingLayout();
  FView.SetButtonCaption(TButton::Side, FState.Side == 1 ? texts::kBlackToPlay : texts::kWhiteToPlay);
}

void TTrainerController::SwitchToTraining() {
  ShowTrainingLayout();
  FState.Screen = 1;
}

void TTrainerController::SwitchToEditing() {
  FView.ShowEditingLayout();
  FState.Screen = 2;
}

}  // namespace korvane
