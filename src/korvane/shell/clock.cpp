#include "korvane/shell/clock.h"

namespace korvane {

QDateTime TSystemClock::Now() const { return QDateTime::currentDateTime(); }

QString FormatClockText(const QDateTime& time) {
  const QDate date = time.date();
  const QTime clock = time.time();
  const int hour12 = clock.hour() % 12 == 0 ? 12 : clock.hour() % 12;
  return QString::asprintf("%02d/%02d  %02d:%02d %s", date.month(), date.day(), hour12,
                           clock.minute(), clock.hour() < 12 ? "AM" : "PM");
}

}  // namespace korvane
