#pragma once

#include <cstdint>
#include <string>

namespace korvane {

// Colours of the text drawn over a point. The view maps them to its own colours
// (red 255,0,0; white; black; green 55,255,55).
enum class TPointTextColour { Red, White, Black, Green };

// What the board model needs from whoever shows the board. Points are 1..361, numbered
// down each column (point n is column (n-1)/19, row (n-1)%19). Texts are UTF-8.
class TBoardView {
public:
  virtual ~TBoardView() = default;

  // Shows the black stone picture for colour 1 and the white one for any other colour.
  // May raise when the picture cannot be loaded; the caller's operation stops there.
  virtual void ShowStone(int32_t point, int32_t colour) = 0;
  // Removes the stone picture and the text of the point.
  virtual void ClearPoint(int32_t point) = 0;
  virtual void SetPointText(int32_t point, const std::string& text) = 0;
  virtual std::string GetPointText(int32_t point) const = 0;
  virtual void SetPointTextColour(int32_t point, TPointTextColour colour) = 0;
};

}  // namespace korvane
