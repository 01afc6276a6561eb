#include "korvane/training/trainer_controller.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvane/store/data_module.h"
#include "testing/trainer_fakes.h"

namespace korvane {
namespace {

using testing_support::TRecordingTrainerView;

constexpr int32_t Pt(int32_t column, int32_t row) { return kBoardLines * column + row + 1; }

const std::string kMark = "\u25CF";  // "●"

std::string CaptionLine(TButton button, const std::string& caption) {
  return "caption " + std::to_string(static_cast<int>(button)) + " " + caption;
}

class TrainerControllerTest : public ::testing::Test {
protected:
  TTrainerState& State() { return TTrainerControllerProbe::State(Controller); }

  // Stones, texts and marks on both sides of the board, a hand move, and a message.
  void FillBoard() {
    Controller.Board().PlayUserMove(Pt(2, 2), kWhite);
    Controller.Board().PlaceStone(3, kBlack, 300, pmNumbered, 0);
    for (int32_t p : {5, 247, 248, 361}) View.SetPointText(p, kMark);
    View.ReportMessage("old message");
  }

  TRecordingTrainerView View;
  TDataModule1 Store;
  TTrainerController Controller{View, Store};
};

TEST_F(TrainerControllerTest, FirstStateIsAnEmptyTrainingScreen) {
  FillBoard();
  State() = {2, 1105, 1, 1, 1, 5};
  View.Log.clear();
  Controller.ShowFirstState();

  EXPECT_EQ(Controller.State().Screen, 1);
  EXPECT_EQ(Controller.State().Side, 2);
  EXPECT_EQ(Controller.State().ExpShown, 2);
  EXPECT_EQ(Controller.State().Registering, 0);
  EXPECT_TRUE(View.Stones.empty());
  EXPECT_TRUE(View.Texts.empty());
  EXPECT_EQ(Controller.Board().PendingCount(), 0);
  const std::vector<std::string> expected = {
      "memo colour",
      "heading ",
      CaptionLine(TButton::Commentary, "解説表示"),
      "training layout",
      CaptionLine(TButton::Side, "白番"),
  };
  EXPECT_EQ(View.Log, expected);
}

TEST_F(TrainerControllerTest, ClearPositionEmptiesTheBoardAndEndsRegistration) {
  FillBoard();
  State() = {2, 1105, 1, 1, 1, 5};
  View.Log.clear();
  Controller.ClearPosition();

  for (int32_t p = 1; p <= kPointCount; ++p) ASSERT_EQ(Controller.Board().PointColour(p), kEmpty) << p;
  EXPECT_TRUE(View.Stones.empty());
  EXPECT_TRUE(View.Texts.empty());  // marks and numbers on every column
  EXPECT_EQ(Controller.Board().PendingCount(), 0);
  EXPECT_EQ(Controller.Board().CaptureCount(), 0);
  EXPECT_EQ(Controller.State().Registering, 0);
  EXPECT_EQ(Controller.State().ExpShown, 2);
  // The screen, the side and the theme diagram stay; no caption or message changes.
  EXPECT_EQ(Controller.State().Screen, 2);
  EXPECT_EQ(Controller.State().Side, 1);
  EXPECT_EQ(Controller.State().CurMNB, 1105);
  EXPECT_EQ(View.Log, std::vector<std::string>{"memo colour"});
}

TEST_F(TrainerControllerTest, PressesLayHandMoves) {
  struct Case {
    TPointerButton button;
    int32_t colour;
  };
  const Case cases[] = {{TPointerButton::Left, kBlack}, {TPointerButton::Other, kWhite}};
  for (const Case& c : cases) {
    Controller.ClearPosition();
    // Every screen, during a registration too, and on an occupied point.
    for (int32_t screen : {1, 2}) {
      State().Screen = screen;
      State().Registering = screen - 1;
      View.ReportMessage("old message");
      View.Log.clear();
      for (int32_t point : {1, 181, 361, Pt(14, 3)}) Controller.PointPressed(point, c.button);
      for (int32_t point : {1, 181, 361, Pt(14, 3)}) {
        EXPECT_EQ(Controller.Board().PointColour(point), c.colour) << point;
        EXPECT_EQ(View.Stones[point], c.colour) << point;
      }
      EXPECT_EQ(View.Message, "");
      for (const std::string& line : View.Log) EXPECT_EQ(line, "message ") << "no sound, no other message";
    }
    EXPECT_EQ(Controller.Board().PendingCount(), 8);
  }
}

TEST_F(TrainerControllerTest, PressOnAMarkChoosesItAndNeverLaysAStone) {
  FillBoard();
  View.SetPointText(200, kMark);
  View.SetPointTextColour(200, TPointTextColour::Green);
  const int32_t pending = Controller.Board().PendingCount();
  Controller.PointPressed(200, TPointerButton::Left);

  EXPECT_EQ(Controller.Board().PointColour(200), kEmpty);
  EXPECT_EQ(View.Stones.count(200), 0u);
  EXPECT_EQ(Controller.Board().PendingCount(), pending);
  // Marks on empty points go, on every column; a stone keeps its number.
  for (int32_t p : {5, 200, 247, 248, 361}) EXPECT_EQ(View.GetPointText(p), "") << p;
  EXPECT_EQ(View.GetPointText(300), "3");
  EXPECT_EQ(View.Stones[300], kBlack);
  EXPECT_EQ(View.Stones[Pt(2, 2)], kWhite);
  EXPECT_EQ(View.Message, "");
}

TEST_F(TrainerControllerTest, ClearEmptyMarksCoversEveryColumn) {
  FillBoard();
  View.SetPointText(Pt(2, 2), "1");
  Controller.ClearEmptyMarks();
  for (int32_t p : {5, 247, 248, 361}) EXPECT_EQ(View.GetPointText(p), "") << p;
  EXPECT_EQ(View.GetPointText(300), "3");
  EXPECT_EQ(View.GetPointText(Pt(2, 2)), "1");
  EXPECT_EQ(View.Stones.size(), 2u);
  EXPECT_EQ(View.Message, "");
}

TEST_F(TrainerControllerTest, FiftyFirstHandMoveIsRefusedWithAMessage) {
  for (int32_t p = 1; p <= kMaxPendingMoves; ++p) Controller.PointPressed(p * 7, TPointerButton::Left);
  EXPECT_EQ(View.Message, "");
  Controller.PointPressed(2, TPointerButton::Other);
  EXPECT_EQ(Controller.Board().PointColour(2), kEmpty);
  EXPECT_EQ(Controller.Board().PendingCount(), kMaxPendingMoves);
  EXPECT_EQ(View.Message, "これ以上は石を置けません（手で置けるのは50手までです）");
  // The next press starts with an empty panel again.
  Controller.PointPressed(7, TPointerButton::Other);
  EXPECT_EQ(View.Message, "これ以上は石を置けません（手で置けるのは50手までです）");
  EXPECT_EQ(View.Log.end()[-2], "message ");
}

TEST_F(TrainerControllerTest, ScreenSwitches) {
  struct Case {
    int32_t side;
    const char* sideCaption;
  };
  const Case cases[] = {{1, "黒番"}, {2, "白番"}};
  for (const Case& c : cases) {
    State().Side = c.side;
    View.Log.clear();
    Controller.SwitchToEditing();
    EXPECT_EQ(Controller.State().Screen, 2);
    Controller.SwitchToTraining();
    EXPECT_EQ(Controller.State().Screen, 1);
    const std::vector<std::string> expected = {"editing layout", "training layout",
                                               CaptionLine(TButton::Side, c.sideCaption)};
    EXPECT_EQ(View.Log, expected) << "side " << c.side;
  }
  // Switching keeps the position.
  Controller.PointPressed(100, TPointerButton::Left);
  Controller.SwitchToEditing();
  Controller.SwitchToTraining();
  EXPECT_EQ(Controller.Board().PointColour(100), kBlack);
}

}  // namespace
}  // namespace korvane
