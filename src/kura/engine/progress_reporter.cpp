#include "kura/engine/progress_reporter.h"

#include <utility>

#include "kura/engine/data_session.h"

namespace kura {

TProgressReporter::TProgressReporter(std::function<void(int32_t)> callback, uint16_t progressSteps)
    : FCallback(std::move(callback)), FInterval(progressSteps == 0 ? 100 : 100 / progressSteps) {
  // More than 100 steps would make the interval 0: every percent is the finest report.
  if (FInterval < 1) FInterval = 1;
}

TProgressReporter::TProgressReporter(const TDataSession& session)
    : TProgressReporter(session.OnProgress, session.ProgressSteps()) {}

void TProgressReporter::Step(int64_t done, int64_t total) {
  if (!FCallback || total <= 0 || FFinished) return;
  const auto percent = static_cast<int32_t>(done * 100 / total);
  if (percent - FLast < FInterval) return;
  FLast = percent;
  if (percent >= 100) FFinished = true;
  FCallback(percent);
}

void TProgressReporter::Finish() {
  if (FFinished) return;
  FFinished = true;
  FLast = 100;
  if (FCallback) FCallback(100);
}

}  // namespace kura
