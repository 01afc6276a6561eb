#include "korvane/board/board_model.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace korvane {

TBoardModel::TBoardModel(TBoardView& view) : FView(view) {}

void TBoardModel::ClearBoard() {
  CurTES = 0;
  CurCOL = kBlack;
  Top = 0;
  CapCount = 0;
  for (int32_t p = 1; p <= kPointCount; ++p) {
    FView.ClearPoint(p);
    Board[p - 1] = kEmpty;
    FCaptureFlags[p - 1] = false;
  }
  PendingMoves.fill(TPendingMove{});
  CaptureLog.fill(TCaptureRecord{});
}

const std::array<TNeighbour, 4>& TBoardModel::Neighbours(int32_t point) {
  auto record = [this](int32_t q, bool exists) {
    return exists ? TNeighbour{Board[q - 1], q} : TNeighbour{kOffBoard, 0};
  };
  FNeighbours[0] = record(point - 1, (point - 1) % kBoardLines > 0);
  FNeighbours[1] = record(point + 1, point % kBoardLines > 0);
  FNeighbours[2] = record(point - kBoardLines, point - kBoardLines > 0);
  FNeighbours[3] = record(point + kBoardLines, point + kBoardLines <= kPointCount);
  return FNeighbours;
}

void TBoardModel::PlaceStone(int32_t moveNo, int32_t colour, int32_t point, TPlaceMode mode,
                             int32_t key) {
  const int32_t shown = std::abs(colour);
  Board[point - 1] = shown;
  FView.ShowStone(point, shown);
  if (mode == pmStep || mode == pmNumbered) {
    FView.SetPointText(point, moveNo > 0 ? std::to_string(moveNo) : std::string());
    // White digits on black, black digits on white, red for the first move of a wrong
    // sequence (a negated colour).
    FView.SetPointTextColour(point, colour <= 0   ? TPointTextColour::Red
                                    : colour == 1 ? TPointTextColour::White
                                                  : TPointTextColour::Black);
  }
  // Only the newest stepped move keeps its number. LastPt is 0 before any stone.
  if (mode == pmStep && key > 1 && OnBoard(LastPt)) FView.SetPointText(LastPt, std::string());
  LastPt = point;
  CaptureAround(moveNo, point, key);
}

void TBoardModel::CaptureAround(int32_t moveNo, int32_t point, int32_t key) {
  const int32_t opp = Opponent(Board[point - 1]);

  std::array<int32_t, 4> candidates{};
  {
    const auto& around = Neighbours(point);
    for (size_t i = 0; i < around.size(); ++i) {
      if (around[i].Point != 0 && around[i].Colour == opp) candidates[i] = around[i].Point;
    }
  }

  FCaptureFlags.fill(false);
  for (const int32_t c : candidates) {
    // A candidate already flagged belongs to a group found captured from an earlier
    // candidate: the group is searched once.
    if (c == 0 || FCaptureFlags[c - 1]) continue;
    FVisited.fill(false);
    size_t head = 0;
    size_t tail = 0;
    FQueue[tail++] = c;
    FVisited[c - 1] = true;
    bool liberty = false;
    while (head < tail && !liberty) {
      for (const TNeighbour& n : Neighbours(FQueue[head++])) {
        if (n.Colour == kEmpty) {
          liberty = true;  // one liberty anywhere saves the group: stop at once
          break;
        }
        if (n.Point != 0 && n.Colour == opp && !FVisited[n.Point - 1]) {
          FVisited[n.Point - 1] = true;
          FQueue[tail++] = n.Point;
        }
      }
    }
    if (!liberty) {
      for (int32_t p = 0; p < kPointCount; ++p) {
        if (FVisited[p]) FCaptureFlags[p] = true;
      }
    }
  }

  for (int32_t i = 1; i <= kPointCount; ++i) {
    if (!FCaptureFlags[i - 1]) continue;
    FView.ClearPoint(i);
    Board[i - 1] = kEmpty;
    LogCapture(TCaptureRecord{key, moveNo, opp, i});
  }
}

void TBoardModel::LogCapture(const TCaptureRecord& record) {
  auto freeRecord = std::find_if(CaptureLog.begin(), CaptureLog.end(),
                                 [](const TCaptureRecord& r) { return r.Point == 0; });
  if (freeRecord == CaptureLog.end()) {
    // Full: drop the oldest record (the first) and append at the end. CapCount keeps
    // counting the records in use, so it stays at the maximum.
    std::move(CaptureLog.begin() + 1, CaptureLog.end(), CaptureLog.begin());
    CaptureLog.back() = record;
    return;
  }
  *freeRecord = record;
  ++CapCount;
}

bool TBoardModel::PlayUserMove(int32_t point, int32_t colour) {
  if (Top >= kMaxPendingMoves) return false;
  ++Top;
  if (Top == 1) {
    // Every point, including the right-hand columns: a mark left there would otherwise
    // stay clickable and block hand moves on its point.
    for (int32_t p = 1; p <= kPointCount; ++p) FView.SetPointText(p, std::string());
  }
  ++CurTES;
  CurCOL = colour;
  PendingMoves[Top - 1] = TPendingMove{CurTES, CurCOL, point};
  PlaceStone(CurTES, CurCOL, point, pmPlain, Top);
  return true;
}

void TBoardModel::RestoreCaptures(int32_t key) {
  for (TCaptureRecord& r : CaptureLog) {
    if (r.Point == 0 || r.Key != key) continue;
    CurCOL = r.Colour;
    Board[r.Point - 1] = r.Colour;
    FView.ShowStone(r.Point, r.Colour);
    r = TCaptureRecord{};
    --CapCount;
  }
}

bool TBoardModel::TakeBackPendingMove() {
  if (Top == 0) return false;
  RestoreCaptures(Top);
  const TPendingMove m = PendingMoves[Top - 1];
  CurCOL = m.Colour;
  PendingMoves[Top - 1] = TPendingMove{};
  --Top;
  --CurTES;
  FView.ClearPoint(m.Point);
  Board[m.Point - 1] = kEmpty;
  if (Top > 0) {
    CurCOL = Opponent(std::abs(PendingMoves[Top - 1].Colour));
    LastPt = PendingMoves[Top - 1].Point;
  } else {
    LastPt = m.Point;
  }
  return true;
}

void TBoardModel::ClearMoveStack() {
  PendingMoves.fill(TPendingMove{});
  Top = 0;
}

}  // namespace korvane
