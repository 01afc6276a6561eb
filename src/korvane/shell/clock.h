#pragma once

#include <QDateTime>
#include <QString>

namespace korvane {

// Where the trainer reads the current local time (a fixed clock in tests).
class TClock {
public:
  virtual ~TClock() = default;
  virtual QDateTime Now() const = 0;
};

class TSystemClock : public TClock {
public:
  QDateTime Now() const override;
};

// The status-bar clock text "mm/dd  hh:mm AM/PM": month, day, two spaces, the hour on the
// 12-hour clock, minutes, a space and AM or PM; every number two digits. Independent of
// the system locale.
QString FormatClockText(const QDateTime& time);

}  // namespace korvane
