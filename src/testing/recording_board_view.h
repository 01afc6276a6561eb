#pragma once

// A board view for tests without Qt that records what it is told.

#include <cstdint>
#include <map>
#include <string>

#include "korvane/board/board_view.h"

namespace testing_support {

// Records what a model asks a board view to show: the stone picture and the text (with
// its colour) of each point. TBase is TBoardView or an interface that extends it; a fake
// of the wider interface derives from this one and records the rest.
template <typename TBase = korvane::TBoardView>
class TRecordingBoardView : public TBase {
public:
  void ShowStone(int32_t point, int32_t colour) override { Stones[point] = colour; }
  void ClearPoint(int32_t point) override {
    Stones.erase(point);
    Texts.erase(point);
  }
  void SetPointText(int32_t point, const std::string& text) override {
    if (text.empty()) {
      Texts.erase(point);
    } else {
      Texts[point] = text;
    }
  }
  std::string GetPointText(int32_t point) const override {
    auto it = Texts.find(point);
    return it == Texts.end() ? std::string() : it->second;
  }
  void SetPointTextColour(int32_t point, korvane::TPointTextColour colour) override { Colours[point] = colour; }

  std::map<int32_t, int32_t> Stones;
  std::map<int32_t, std::string> Texts;
  std::map<int32_t, korvane::TPointTextColour> Colours;
};

}  // namespace testing_support
