#pragma once

#include <array>
#include <cstdint>

#include "korvane/board/board_view.h"

namespace korvane {

constexpr int32_t kBoardLines = 19;
constexpr int32_t kPointCount = kBoardLines * kBoardLines;  // 361
constexpr int32_t kMaxPendingMoves = 50;
constexpr int32_t kMaxCaptureRecords = 50;

// Colour codes. Stored moves may carry a negated colour: the first move of a wrong
// sequence. The board itself only ever holds 0, 1 or 2.
constexpr int32_t kEmpty = 0;
constexpr int32_t kBlack = 1;
constexpr int32_t kWhite = 2;
constexpr int32_t kOffBoard = 3;  // neighbour records only

// The opponent of colour 1 or 2.
constexpr int32_t Opponent(int32_t colour) { return 2 / colour; }

// How PlaceStone labels the stone it places.
enum TPlaceMode {
  pmPlain,     // no move number
  pmStep,      // this move's number; the previous stepped move loses its number
  pmNumbered,  // this move's number; other numbers stay
};

// A move placed by hand and not yet stored. A free record is all zeros.
struct TPendingMove {
  int32_t MoveNo = 0;
  int32_t Colour = 0;
  int32_t Point = 0;
  bool operator==(const TPendingMove&) const = default;
};

// A stone removed by a capture. Key is the pending-move height for a hand move and the
// stored move number for a replayed one. A free record is all zeros; a used one always
// has a point in 1..361.
struct TCaptureRecord {
  int32_t Key = 0;
  int32_t MoveNo = 0;
  int32_t Colour = 0;
  int32_t Point = 0;
  bool operator==(const TCaptureRecord&) const = default;
};

struct TNeighbour {
  int32_t Colour = kOffBoard;
  int32_t Point = 0;
};

// In-memory state of the 19x19 board and the one rule of play the program knows: a
// stone removes the opponent groups it leaves without a liberty. There is no suicide
// rule, no ko rule and no occupancy check. Every operation succeeds; points passed in
// are always 1..361 (they come from the view's own controls or from stored moves).
//
// Table limits (both tables have exactly 50 records and nothing bounds the number of
// clicks or captures between two clears):
//  - PendingMoves: a 51st hand move is refused. PlayUserMove returns false and changes
//    nothing, because a move that cannot be recorded could neither be taken back nor
//    stored, and the board would no longer match the move stack.
//  - CaptureLog: when all 50 records are in use, the oldest record is dropped to make
//    room. The stones stay removed either way; only taking back the move that made that
//    oldest capture would no longer bring them back, which is the least likely take-back.
//
// Capture records are written into the first free record. While records are only ever
// restored from the end of the log (the usual case) this is exactly position
// CapCount + 1; when a restore leaves a hole in the middle, the next capture fills the
// hole instead of overwriting a record still in use.
class TBoardModel {
public:
  explicit TBoardModel(TBoardView& view);

  // Empties every point (through the view), the move stack and the capture log; move
  // number 0, colour black. LastPt is left as it was.
  void ClearBoard();

  // Fills and returns the four neighbour records of point in the order above, below,
  // left, right; a missing neighbour is {kOffBoard, 0}.
  const std::array<TNeighbour, 4>& Neighbours(int32_t point);

  // Puts |colour| on point, shows it, labels it as mode says, and removes the opponent
  // groups left without a liberty, logging each removed stone under key.
  void PlaceStone(int32_t moveNo, int32_t colour, int32_t point, TPlaceMode mode, int32_t key);

  // A move placed by hand (colour 1 or 2). The first hand move after the stack was
  // empty clears the texts of all points (move numbers and marks left from stepping).
  // Returns false, changing nothing, when the move stack is full.
  bool PlayUserMove(int32_t point, int32_t colour);

  // Brings back every stone whose capture record carries key, in log order.
  void RestoreCaptures(int32_t key);

  // Takes back the newest hand move and the stones it captured. Returns false, doing
  // nothing, when there is no hand move.
  bool TakeBackPendingMove();

  // Forgets the hand moves; their stones stay on the board.
  void ClearMoveStack();

  int32_t PointColour(int32_t point) const { return Board[point - 1]; }
  const TPendingMove& PendingMove(int32_t k) const { return PendingMoves[k - 1]; }    // k = 1..50
  const TCaptureRecord& CaptureRecord(int32_t k) const { return CaptureLog[k - 1]; }  // k = 1..50
  int32_t PendingCount() const { return Top; }
  int32_t CaptureCount() const { return CapCount; }

  // Current move number (0 = the set-up position) and the colour being handled; the
  // training and stepping code overwrites both from stored rows.
  int32_t CurTES = 0;
  int32_t CurCOL = kBlack;
  // Point of the most recently placed stone, 0 = none.
  int32_t LastPt = 0;

private:
  void CaptureAround(int32_t moveNo, int32_t point, int32_t key);
  void LogCapture(const TCaptureRecord& record);
  static bool OnBoard(int32_t point) { return point >= 1 && point <= kPointCount; }

  TBoardView& FView;
  std::array<int32_t, kPointCount> Board{};
  std::array<TPendingMove, kMaxPendingMoves> PendingMoves{};
  int32_t Top = 0;
  std::array<TCaptureRecord, kMaxCaptureRecords> CaptureLog{};
  int32_t CapCount = 0;

  // Working storage of the capture rule, reused by every call.
  std::array<TNeighbour, 4> FNeighbours{};
  std::array<bool, kPointCount> FCaptureFlags{};
  std::array<bool, kPointCount> FVisited{};
  std::array<int32_t, kPointCount> FQueue{};
};

}  // namespace korvane
