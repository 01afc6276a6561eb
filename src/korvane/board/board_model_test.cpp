#include "korvane/board/board_model.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/recording_board_view.h"

namespace korvane {
namespace {

constexpr int32_t Pt(int32_t column, int32_t row) { return kBoardLines * column + row + 1; }

class BoardModelTest : public ::testing::Test {
protected:
  void SetUp() override { Model.ClearBoard(); }

  // Lays stones without logging captures under any hand-move key.
  void Lay(int32_t colour, std::initializer_list<int32_t> points) {
    for (int32_t p : points) Model.PlaceStone(0, colour, p, pmPlain, 0);
  }

  // Board and view must always agree.
  void ExpectViewMatchesBoard() {
    for (int32_t p = 1; p <= kPointCount; ++p) {
      auto it = View.Stones.find(p);
      const int32_t shown = it == View.Stones.end() ? kEmpty : it->second;
      ASSERT_EQ(Model.PointColour(p), shown) << "point " << p;
    }
  }

  testing_support::TRecordingBoardView<> View;
  TBoardModel Model{View};
};

TEST_F(BoardModelTest, NeighboursInFixedOrderWithOffBoardRecords) {
  struct Case {
    int32_t point;
    std::array<int32_t, 4> points;  // above, below, left, right; 0 = off the board
  };
  const Case cases[] = {
      {1, {0, 2, 0, 20}},            // top-left corner
      {19, {18, 0, 0, 38}},          // bottom-left corner
      {343, {0, 344, 324, 0}},       // top-right corner
      {361, {360, 0, 342, 0}},       // bottom-right corner
      {Pt(9, 9), {Pt(9, 8), Pt(9, 10), Pt(8, 9), Pt(10, 9)}},
      {20, {0, 21, 1, 39}},          // top edge: point 20 is not below point 19
  };
  Lay(kWhite, {2});
  for (const Case& c : cases) {
    const auto& n = Model.Neighbours(c.point);
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(n[i].Point, c.points[i]) << "point " << c.point << " neighbour " << i;
      const int32_t expectedColour = c.points[i] == 0 ? kOffBoard : Model.PointColour(c.points[i]);
      EXPECT_EQ(n[i].Colour, expectedColour) << "point " << c.point << " neighbour " << i;
    }
  }
}

TEST_F(BoardModelTest, StoneOnOccupiedPointReplacesItAndCaptures) {
  Lay(kWhite, {Pt(5, 5)});
  Lay(kBlack, {Pt(5, 4), Pt(4, 5), Pt(6, 5)});
  // Black placed on a point held by a white stone of another group: replaces it.
  Lay(kWhite, {Pt(5, 7)});
  Model.PlaceStone(1, kBlack, Pt(5, 7), pmPlain, 1);
  EXPECT_EQ(Model.PointColour(Pt(5, 7)), kBlack);
  EXPECT_EQ(View.Stones[Pt(5, 7)], kBlack);
  // Now close the last liberty of the white stone, on an occupied point too.
  Lay(kWhite, {Pt(5, 6)});
  EXPECT_EQ(Model.PointColour(Pt(5, 6)), kWhite);
  Model.PlaceStone(2, kBlack, Pt(5, 6), pmPlain, 2);
  EXPECT_EQ(Model.PointColour(Pt(5, 6)), kBlack);
  EXPECT_EQ(Model.PointColour(Pt(5, 5)), kEmpty);
  EXPECT_EQ(Model.CaptureCount(), 1);
  ExpectViewMatchesBoard();
}

TEST_F(BoardModelTest, SuicideStoneStays) {
  Lay(kBlack, {Pt(3, 2), Pt(2, 3), Pt(4, 3), Pt(3, 4)});
  Model.PlaceStone(1, kWhite, Pt(3, 3), pmPlain, 1);
  EXPECT_EQ(Model.PointColour(Pt(3, 3)), kWhite);
  EXPECT_EQ(Model.CaptureCount(), 0);
  for (int32_t p : {Pt(3, 2), Pt(2, 3), Pt(4, 3), Pt(3, 4)}) EXPECT_EQ(Model.PointColour(p), kBlack);
}

TEST_F(BoardModelTest, GroupTouchedTwiceIsCapturedOnce) {
  // A white group of two stones whose last liberty touches both of them: the point
  // between them in an L shape.
  //   column 1 row 1 white, column 2 row 2 white, the placed stone at column 1 row 2
  //   touches both (above it is (1,1), to its right is (2,2)).
  Lay(kWhite, {Pt(1, 1), Pt(2, 1), Pt(2, 2)});
  Lay(kBlack, {Pt(1, 0), Pt(2, 0), Pt(0, 1), Pt(3, 1), Pt(3, 2), Pt(2, 3)});
  Model.PlaceStone(7, kBlack, Pt(1, 2), pmPlain, 4);
  EXPECT_EQ(Model.CaptureCount(), 3);  // each stone logged exactly once
  for (int32_t p : {Pt(1, 1), Pt(2, 1), Pt(2, 2)}) EXPECT_EQ(Model.PointColour(p), kEmpty);
  EXPECT_EQ(Model.CaptureRecord(1), (TCaptureRecord{4, 7, kWhite, Pt(1, 1)}));
  EXPECT_EQ(Model.CaptureRecord(2), (TCaptureRecord{4, 7, kWhite, Pt(2, 1)}));
  EXPECT_EQ(Model.CaptureRecord(3), (TCaptureRecord{4, 7, kWhite, Pt(2, 2)}));
  EXPECT_EQ(Model.CaptureRecord(4), TCaptureRecord{});
  ExpectViewMatchesBoard();
}

TEST_F(BoardModelTest, TwoGroupsCapturedByOneStoneLoggedInPointOrder) {
  // Black at (5,5) captures the white stone below it (found first, in neighbour order)
  // and the one to its left (the lower point number): records follow point order.
  Lay(kWhite, {Pt(5, 6), Pt(4, 5)});
  Lay(kBlack, {Pt(5, 7), Pt(4, 6), Pt(6, 6), Pt(4, 4), Pt(3, 5)});
  ASSERT_EQ(Model.CaptureCount(), 0);
  Model.PlaceStone(3, kBlack, Pt(5, 5), pmPlain, 1);
  EXPECT_EQ(Model.CaptureCount(), 2);
  EXPECT_EQ(Model.CaptureRecord(1), (TCaptureRecord{1, 3, kWhite, Pt(4, 5)}));
  EXPECT_EQ(Model.CaptureRecord(2), (TCaptureRecord{1, 3, kWhite, Pt(5, 6)}));
  ExpectViewMatchesBoard();
}

TEST_F(BoardModelTest, CornerStoneCapturedWithoutOffBoardLiberties) {
  Lay(kWhite, {1});
  Lay(kBlack, {2});
  EXPECT_EQ(Model.PointColour(1), kWhite);
  Lay(kBlack, {20});
  EXPECT_EQ(Model.PointColour(1), kEmpty);
  EXPECT_EQ(View.Stones.count(1), 0u);
}

TEST_F(BoardModelTest, LargeGroupWithOneLibertyAnywhereLives) {
  // A white column of 18 stones down column 0 (points 1..18), black along column 1,
  // leaving point 19 (the bottom) as the only liberty.
  for (int32_t r = 0; r < 18; ++r) Lay(kWhite, {Pt(0, r)});
  for (int32_t r = 0; r < 18; ++r) Lay(kBlack, {Pt(1, r)});
  EXPECT_EQ(Model.CaptureCount(), 0);
  Lay(kBlack, {Pt(1, 18)});  // still the liberty at point 19
  EXPECT_EQ(Model.PointColour(1), kWhite);
  Lay(kBlack, {19});  // the last liberty
  EXPECT_EQ(Model.CaptureCount(), 18);
  for (int32_t r = 0; r < 18; ++r) EXPECT_EQ(Model.PointColour(Pt(0, r)), kEmpty);
}

TEST_F(BoardModelTest, TakeBackRestoresExactlyTheMovesCaptures) {
  Lay(kWhite, {Pt(3, 3), Pt(10, 10)});
  Lay(kBlack, {Pt(3, 2), Pt(2, 3), Pt(4, 3), Pt(10, 9), Pt(9, 10), Pt(11, 10)});
  ASSERT_TRUE(Model.PlayUserMove(Pt(3, 4), kBlack));   // captures (3,3), key 1
  ASSERT_TRUE(Model.PlayUserMove(Pt(10, 11), kBlack));  // captures (10,10), key 2
  EXPECT_EQ(Model.CaptureCount(), 2);
  EXPECT_EQ(Model.CurTES, 2);

  ASSERT_TRUE(Model.TakeBackPendingMove());
  EXPECT_EQ(Model.PointColour(Pt(10, 10)), kWhite);
  EXPECT_EQ(Model.PointColour(Pt(10, 11)), kEmpty);
  EXPECT_EQ(Model.PointColour(Pt(3, 3)), kEmpty);  // key 1 untouched
  EXPECT_EQ(Model.CaptureCount(), 1);
  EXPECT_EQ(Model.PendingCount(), 1);
  EXPECT_EQ(Model.CurTES, 1);
  EXPECT_EQ(Model.CurCOL, kWhite);  // the opponent of the remaining pending move
  EXPECT_EQ(Model.LastPt, Pt(3, 4));
  EXPECT_EQ(Model.PendingMove(2), TPendingMove{});

  ASSERT_TRUE(Model.TakeBackPendingMove());
  EXPECT_EQ(Model.PointColour(Pt(3, 3)), kWhite);
  EXPECT_EQ(Model.CaptureCount(), 0);
  EXPECT_EQ(Model.CurCOL, kBlack);  // the colour of the move taken back
  EXPECT_EQ(Model.LastPt, Pt(3, 4));
  EXPECT_FALSE(Model.TakeBackPendingMove());
  ExpectViewMatchesBoard();
}

TEST_F(BoardModelTest, FirstHandMoveClearsTextsOfEveryPoint) {
  for (int32_t p : {1, 247, 248, 361}) View.SetPointText(p, "\u25CF");
  ASSERT_TRUE(Model.PlayUserMove(100, kBlack));
  EXPECT_TRUE(View.Texts.empty());
  View.SetPointText(300, "5");
  ASSERT_TRUE(Model.PlayUserMove(101, kWhite));  // not the first: texts stay
  EXPECT_EQ(View.GetPointText(300), "5");
}

TEST_F(BoardModelTest, PlaceStoneLabelsByMode) {
  struct Case {
    TPlaceMode mode;
    int32_t moveNo, colour, key;
    std::string text;
    TPointTextColour textColour;
  };
  const Case cases[] = {
      {pmNumbered, 5, 1, 0, "5", TPointTextColour::White},
      {pmNumbered, 6, 2, 0, "6", TPointTextColour::Black},
      {pmStep, 7, -1, 0, "7", TPointTextColour::Red},
      {pmStep, 0, 2, 0, "", TPointTextColour::Black},
  };
  int32_t point = 1;
  for (const Case& c : cases) {
    Model.PlaceStone(c.moveNo, c.colour, point, c.mode, c.key);
    EXPECT_EQ(View.GetPointText(point), c.text) << "point " << point;
    EXPECT_EQ(View.Colours[point], c.textColour) << "point " << point;
    EXPECT_EQ(Model.PointColour(point), std::abs(c.colour));
    point += 40;
  }
  Model.PlaceStone(9, kBlack, 200, pmPlain, 0);
  EXPECT_EQ(View.GetPointText(200), "");
  EXPECT_EQ(View.Colours.count(200), 0u);
}

TEST_F(BoardModelTest, SteppedMoveRemovesPreviousNumberFromSecondStepOn) {
  Model.PlaceStone(1, kBlack, 50, pmStep, 1);
  Model.PlaceStone(2, kWhite, 60, pmStep, 2);
  EXPECT_EQ(View.GetPointText(50), "");
  EXPECT_EQ(View.GetPointText(60), "2");
  Model.PlaceStone(3, kBlack, 70, pmNumbered, 3);
  Model.PlaceStone(4, kWhite, 80, pmNumbered, 4);
  EXPECT_EQ(View.GetPointText(70), "3");  // numbered moves keep theirs
  EXPECT_EQ(View.GetPointText(80), "4");
}

TEST_F(BoardModelTest, ClearBoardKeepsLastPointAndResetsEverythingElse) {
  Lay(kWhite, {Pt(3, 3)});
  Lay(kBlack, {Pt(3, 2), Pt(2, 3), Pt(4, 3)});
  ASSERT_TRUE(Model.PlayUserMove(Pt(3, 4), kBlack));
  Model.ClearBoard();
  EXPECT_EQ(Model.LastPt, Pt(3, 4));
  EXPECT_EQ(Model.CurTES, 0);
  EXPECT_EQ(Model.CurCOL, kBlack);
  EXPECT_EQ(Model.PendingCount(), 0);
  EXPECT_EQ(Model.CaptureCount(), 0);
  EXPECT_EQ(Model.CaptureRecord(1), TCaptureRecord{});
  EXPECT_TRUE(View.Stones.empty());
  // A step after the clear may clear the old last point's text, which is empty.
  Model.PlaceStone(1, kBlack, 10, pmStep, 2);
  EXPECT_EQ(View.GetPointText(10), "1");
}

TEST_F(BoardModelTest, FiftyFirstHandMoveIsRefused) {
  for (int32_t i = 1; i <= kMaxPendingMoves; ++i) {
    ASSERT_TRUE(Model.PlayUserMove(i, i % 2 ? kBlack : kWhite)) << "move " << i;
  }
  EXPECT_FALSE(Model.PlayUserMove(300, kBlack));
  EXPECT_EQ(Model.PointColour(300), kEmpty);
  EXPECT_EQ(Model.PendingCount(), kMaxPendingMoves);
  EXPECT_EQ(Model.CurTES, kMaxPendingMoves);
  ASSERT_TRUE(Model.TakeBackPendingMove());
  EXPECT_TRUE(Model.PlayUserMove(300, kBlack));  // room again
}

// A white stone dropped into a pocket of three black stones is captured when black
// plays (again) on the pocket's fourth side; each round logs one record under its key.
void CaptureInPocket(TBoardModel& model, int32_t key) {
  model.PlaceStone(0, kWhite, Pt(9, 9), pmPlain, 0);
  model.PlaceStone(key, kBlack, Pt(9, 10), pmPlain, key);
}

TEST_F(BoardModelTest, CaptureLogDropsOldestRecordWhenFull) {
  Lay(kBlack, {Pt(9, 8), Pt(8, 9), Pt(10, 9)});
  std::vector<TCaptureRecord> expected;
  for (int32_t key = 100; key < 100 + kMaxCaptureRecords + 1; ++key) {
    CaptureInPocket(Model, key);
    ASSERT_EQ(Model.PointColour(Pt(9, 9)), kEmpty);
    expected.push_back(TCaptureRecord{key, key, kWhite, Pt(9, 9)});
  }
  EXPECT_EQ(Model.CaptureCount(), kMaxCaptureRecords);
  for (int32_t k = 1; k <= kMaxCaptureRecords; ++k) {
    EXPECT_EQ(Model.CaptureRecord(k), expected[k]) << "record " << k;  // expected[0] dropped
  }
  Model.RestoreCaptures(100);  // dropped: nothing comes back
  EXPECT_EQ(Model.PointColour(Pt(9, 9)), kEmpty);
  Model.RestoreCaptures(100 + kMaxCaptureRecords);
  EXPECT_EQ(Model.PointColour(Pt(9, 9)), kWhite);
  EXPECT_EQ(Model.CaptureCount(), kMaxCaptureRecords - 1);
}

TEST_F(BoardModelTest, CaptureAfterRestoreFillsHoleInsteadOfOverwriting) {
  Lay(kBlack, {Pt(9, 8), Pt(8, 9), Pt(10, 9)});
  for (int32_t key : {1, 2, 3}) CaptureInPocket(Model, key);
  ASSERT_EQ(Model.CaptureCount(), 3);
  Model.RestoreCaptures(2);  // a hole at record 2
  EXPECT_EQ(Model.CaptureCount(), 2);
  EXPECT_EQ(Model.CaptureRecord(2), TCaptureRecord{});
  EXPECT_EQ(Model.PointColour(Pt(9, 9)), kWhite);
  Model.PlaceStone(4, kBlack, Pt(9, 10), pmPlain, 4);  // captures it again
  EXPECT_EQ(Model.CaptureCount(), 3);
  EXPECT_EQ(Model.CaptureRecord(2).Key, 4);
  EXPECT_EQ(Model.CaptureRecord(3).Key, 3);  // not overwritten: can still be restored
  Model.RestoreCaptures(3);
  EXPECT_EQ(Model.PointColour(Pt(9, 9)), kWhite);
  EXPECT_EQ(Model.CaptureCount(), 2);
}

}  // namespace
}  // namespace korvane
