#pragma once

// Progress of an operation that walks every record (building an index, restructuring,
// repairing): a percentage goes to the session's progress callback whenever it has grown
// by at least 100 div ProgressSteps (100 when ProgressSteps is 0) since the last report,
// and 100 is always reported once at the end.

#include <cstdint>
#include <functional>

namespace kura {

class TDataSession;

class TProgressReporter {
public:
  TProgressReporter(std::function<void(int32_t)> callback, uint16_t progressSteps);
  explicit TProgressReporter(const TDataSession& session);

  // `done` of `total` items are finished. Cheap when nothing is to be reported.
  void Step(int64_t done, int64_t total);
  // Reports 100 unless it was reported already.
  void Finish();
  int32_t Interval() const { return FInterval; }

private:
  std::function<void(int32_t)> FCallback;
  int32_t FInterval;
  int32_t FLast = 0;
  bool FFinished = false;
};

}  // namespace kura
