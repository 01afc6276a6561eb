#pragma once

namespace korvane {

// The problem store's data module: created at start-up before the main window and
// destroyed after it. Its queries on the problem database join when the store does;
// until then it holds nothing.
class TDataModule1 {
public:
  TDataModule1() = default;
  TDataModule1(const TDataModule1&) = delete;
  TDataModule1& operator=(const TDataModule1&) = delete;
};

}  // namespace korvane
