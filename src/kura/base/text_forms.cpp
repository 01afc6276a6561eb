#include "kura/base/text_forms.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "kura/base/calendar.h"
#include "kura/base/fixed_point.h"
#include "kura/base/names_paths.h"

namespace kura {

namespace {

// ---- writing -------------------------------------------------------------------

// Appends to [out, last) and keeps out == nullptr once the room has run out, so a
// formatter can write unconditionally and check once at the end.
class TCharWriter {
public:
  TCharWriter(char* first, char* last) : FOut(first), FLast(last) {}

  void Put(char c) {
    if (FOut == nullptr) return;
    if (FOut == FLast) {
      FOut = nullptr;
      return;
    }
    *FOut++ = c;
  }
  void Put(std::string_view text) {
    for (char c : text) Put(c);
  }
  // value in decimal, at least `width` digits (zero-padded).
  void PutUnsigned(uint64_t value, int width = 1) {
    char digits[20];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    for (int i = count; i < width; ++i) Put('0');
    while (count > 0) Put(digits[--count]);
  }
  char* End() const { return FOut; }

private:
  char* FOut;
  char* FLast;
};

void PutDate(TCharWriter& out, const TDateParts& date) {
  out.PutUnsigned(static_cast<uint64_t>(date.Year), 4);
  out.Put('-');
  out.PutUnsigned(static_cast<uint64_t>(date.Month), 2);
  out.Put('-');
  out.PutUnsigned(static_cast<uint64_t>(date.Day), 2);
}

void PutTime(TCharWriter& out, const TTimeParts& time) {
  out.PutUnsigned(static_cast<uint64_t>(time.Hour), 2);
  out.Put(':');
  out.PutUnsigned(static_cast<uint64_t>(time.Minute), 2);
  if (time.Second != 0) {
    out.Put(':');
    out.PutUnsigned(static_cast<uint64_t>(time.Second), 2);
    if (time.Millisecond != 0) {
      out.Put('.');
      out.PutUnsigned(static_cast<uint64_t>(time.Millisecond));
    }
  }
}

template <typename TFormatter>
std::string FormatToString(TFormatter formatter) {
  char buffer[kMaxValueTextLength];
  char* end = formatter(buffer, buffer + sizeof buffer);
  return end == nullptr ? std::string{} : std::string(buffer, end);
}

// ---- reading -------------------------------------------------------------------

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The pieces of a decimal number text: [sign] digits [. digits] [E [sign] digits].
struct TNumberText {
  bool Negative = false;
  std::string_view IntegerDigits;
  std::string_view FractionDigits;
  int64_t Exponent = 0;  // clamped to +-1e9, far beyond any representable value
  std::string_view Body;  // the number without blanks and without a leading "+"
};

std::optional<TNumberText> ScanNumber(std::string_view text) {
  text = TrimBlanks(text);
  if (text.empty()) return std::nullopt;
  TNumberText number;
  size_t pos = 0;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    number.Negative = text[pos] == '-';
    ++pos;
  }
  const size_t bodyStart = text[0] == '+' ? 1 : 0;
  size_t start = pos;
  while (pos < text.size() && IsDigit(text[pos])) ++pos;
  number.IntegerDigits = text.substr(start, pos - start);
  if (pos < text.size() && text[pos] == '.') {
    start = ++pos;
    while (pos < text.size() && IsDigit(text[pos])) ++pos;
    number.FractionDigits = text.substr(start, pos - start);
  }
  if (number.IntegerDigits.empty() && number.FractionDigits.empty()) return std::nullopt;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    bool negativeExponent = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negativeExponent = text[pos] == '-';
      ++pos;
    }
    start = pos;
    int64_t exponent = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
      if (exponent < 1000000000) exponent = exponent * 10 + (text[pos] - '0');
      ++pos;
    }
    if (pos == start) return std::nullopt;
    number.Exponent = negativeExponent ? -exponent : exponent;
  }
  if (pos != text.size()) return std::nullopt;
  number.Body = text.substr(bodyStart);
  return number;
}

// Magnitude of a decimal integer text (blanks, sign, digits, blanks); empty when it
// is not one or exceeds `limit` (a positive limit, or limit + 1 for negative texts).
std::optional<int64_t> ScanInteger(std::string_view text, uint64_t positiveLimit) {
  text = TrimBlanks(text);
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) return std::nullopt;
  const uint64_t limit = positiveLimit + (negative ? 1 : 0);
  uint64_t magnitude = 0;
  for (; pos < text.size(); ++pos) {
    if (!IsDigit(text[pos])) return std::nullopt;
    const auto digit = static_cast<uint64_t>(text[pos] - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  // Two's complement: the negative limit's magnitude is one more than the positive one.
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

[[noreturn]] void RaiseConvertError(std::string_view text, const char* what) {
  std::string message = "'";
  message += text;
  message += "' is not a valid ";
  message += what;
  throw EConvertError(message);
}

// Position of the first occurrence of `word` (upper case) in `text`, ignoring the case
// of ASCII letters; npos when none.
size_t FindIgnoringCase(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return std::string_view::npos;
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (SameText(text.substr(i, word.size()), word)) return i;
  }
  return std::string_view::npos;
}

}  // namespace

// ---- formatters ------------------------------------------------------------------

char* DateToChars(int32_t date, char* first, char* last) {
  const auto parts = DecodeDate(date);
  if (!parts) return nullptr;
  TCharWriter out(first, last);
  PutDate(out, *parts);
  return out.End();
}

char* TimeToChars(int32_t time, char* first, char* last) {
  const auto parts = DecodeTime(time);
  if (!parts) return nullptr;
  TCharWriter out(first, last);
  PutTime(out, *parts);
  return out.End();
}

char* TimestampToChars(double timestamp, char* first, char* last) {
  const auto split = SplitTimestamp(timestamp);
  if (!split) return nullptr;
  TCharWriter out(first, last);
  PutDate(out, *DecodeDate(split->Date));
  out.Put(' ');
  PutTime(out, *DecodeTime(split->Time));
  return out.End();
}

char* FloatToChars(double value, char* first, char* last) {
  TCharWriter out(first, last);
  if (std::isnan(value)) {
    out.Put("NAN");
    return out.End();
  }
  if (std::isinf(value)) {
    out.Put(value < 0 ? "-INF" : "INF");
    return out.End();
  }
  if (value == 0.0) {
    out.Put('0');
    return out.End();
  }
  // 15 significant digits, correctly rounded, as d.dddddddddddddde[+-]x.
  char scientific[40];
  const auto result = std::to_chars(scientific, scientific + sizeof scientific, std::fabs(value),
                                    std::chars_format::scientific, 14);
  if (result.ec != std::errc{}) return nullptr;
  char digits[15];
  int digitCount = 0;
  const char* p = scientific;
  for (; p < result.ptr && *p != 'e'; ++p) {
    if (IsDigit(*p)) digits[digitCount++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), result.ptr, exponent);
  while (digitCount > 1 && digits[digitCount - 1] == '0') --digitCount;

  if (value < 0) out.Put('-');
  if (exponent >= -4 && exponent <= 14) {
    if (exponent < 0) {
      out.Put("0.");
      for (int i = -1; i > exponent; --i) out.Put('0');
      out.Put(std::string_view(digits, static_cast<size_t>(digitCount)));
    } else {
      for (int i = 0; i <= exponent; ++i) out.Put(i < digitCount ? digits[i] : '0');
      if (digitCount > exponent + 1) {
        out.Put('.');
        out.Put(std::string_view(digits + exponent + 1, static_cast<size_t>(digitCount - exponent - 1)));
      }
    }
  } else {
    out.Put(digits[0]);
    if (digitCount > 1) {
      out.Put('.');
      out.Put(std::string_view(digits + 1, static_cast<size_t>(digitCount - 1)));
    }
    out.Put('E');
    if (exponent < 0) out.Put('-');
    out.PutUnsigned(static_cast<uint64_t>(exponent < 0 ? -exponent : exponent));
  }
  return out.End();
}

char* FixedToChars(int64_t value, char* first, char* last) {
  TCharWriter out(first, last);
  const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  if (value < 0) out.Put('-');
  out.PutUnsigned(magnitude / kFixedUnit);
  uint64_t fraction = magnitude % kFixedUnit;
  if (fraction != 0) {
    int places = kFixedPlaces;
    while (fraction % 10 == 0) {
      fraction /= 10;
      --places;
    }
    out.Put('.');
    out.PutUnsigned(fraction, places);
  }
  return out.End();
}

std::string DateToText(int32_t date) {
  return FormatToString([date](char* first, char* last) { return DateToChars(date, first, last); });
}

std::string TimeToText(int32_t time) {
  return FormatToString([time](char* first, char* last) { return TimeToChars(time, first, last); });
}

std::string TimestampToText(double timestamp) {
  return FormatToString([timestamp](char* first, char* last) { return TimestampToChars(timestamp, first, last); });
}

std::string_view BooleanToText(int64_t value) { return value != 0 ? "True" : "False"; }

std::string FloatToText(double value) {
  return FormatToString([value](char* first, char* last) { return FloatToChars(value, first, last); });
}

std::string FixedToText(int64_t value) {
  return FormatToString([value](char* first, char* last) { return FixedToChars(value, first, last); });
}

// ---- parsers ---------------------------------------------------------------------

std::optional<int32_t> TryTextToInt32(std::string_view text) {
  const auto value = ScanInteger(text, static_cast<uint64_t>(std::numeric_limits<int32_t>::max()));
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::optional<int64_t> TryTextToInt64(std::string_view text) {
  return ScanInteger(text, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
}

std::optional<int32_t> TryTextToDate(std::string_view text) {
  const size_t firstDash = text.find('-');
  if (firstDash == std::string_view::npos) return std::nullopt;
  const size_t secondDash = text.find('-', firstDash + 1);
  if (secondDash == std::string_view::npos) return std::nullopt;
  const auto year = TryTextToInt32(text.substr(0, firstDash));
  const auto month = TryTextToInt32(text.substr(firstDash + 1, secondDash - firstDash - 1));
  const auto day = TryTextToInt32(text.substr(secondDash + 1));
  if (!year || !month || !day) return std::nullopt;
  return EncodeDate(*year, *month, *day);
}

std::optional<int32_t> TryTextToTime(std::string_view text) {
  // The marker is cut out of a copy; a text longer than a time can be is no time.
  char buffer[256];
  if (text.size() > sizeof buffer) return std::nullopt;
  std::memcpy(buffer, text.data(), text.size());
  size_t length = text.size();
  bool twelveHour = false;
  int offset = 0;
  size_t marker = FindIgnoringCase(text, "AM");
  if (marker == std::string_view::npos) {
    marker = FindIgnoringCase(text, "PM");
    if (marker != std::string_view::npos) offset = 12;
  }
  if (marker != std::string_view::npos) {
    twelveHour = true;
    std::memmove(buffer + marker, buffer + marker + 2, length - marker - 2);
    length -= 2;
  }
  const std::string_view clock = TrimBlanks(std::string_view(buffer, length));

  const size_t firstColon = clock.find(':');
  if (firstColon == std::string_view::npos) return std::nullopt;
  const auto hourValue = TryTextToInt32(clock.substr(0, firstColon));
  const std::string_view rest = clock.substr(firstColon + 1);
  std::optional<int32_t> minute;
  std::optional<int32_t> second = 0;
  std::optional<int32_t> millisecond = 0;
  const size_t secondColon = rest.find(':');
  if (secondColon == std::string_view::npos) {
    minute = TryTextToInt32(rest);
  } else {
    minute = TryTextToInt32(rest.substr(0, secondColon));
    const std::string_view seconds = rest.substr(secondColon + 1);
    const size_t dot = seconds.find('.');
    if (dot == std::string_view::npos) {
      second = TryTextToInt32(seconds);
    } else {
      second = TryTextToInt32(seconds.substr(0, dot));
      millisecond = TryTextToInt32(seconds.substr(dot + 1));
    }
  }
  if (!hourValue || !minute || !second || !millisecond) return std::nullopt;
  int32_t hour = *hourValue;
  if (twelveHour) {
    if (hour == 12) {
      hour = offset == 0 ? 0 : 12;
    } else if (hour >= 0 && hour < 24) {
      hour += offset;
    }
  }
  return EncodeTime(hour, *minute, *second, *millisecond);
}

std::optional<double> TryTextToTimestamp(std::string_view text) {
  text = TrimBlanks(text);
  const size_t blank = text.find(' ');
  if (blank != std::string_view::npos) {
    const auto date = TryTextToDate(text.substr(0, blank));
    if (date) {
      const auto time = TryTextToTime(text.substr(blank + 1));
      if (!time) return std::nullopt;
      return MakeTimestamp(*date, *time);
    }
    // Not a date before the blank: a time with its AM/PM marker ("10:30 PM") is
    // still a time-only timestamp, as it is accepted as one when validated.
  }
  if (text.find(':') != std::string_view::npos) {
    const auto time = TryTextToTime(text);
    if (!time) return std::nullopt;
    return MakeTimestamp(kTimeBaseDate, *time);
  }
  const auto date = TryTextToDate(text);
  if (!date) return std::nullopt;
  return MakeTimestamp(*date, 0);
}

std::optional<bool> TryTextToBoolean(std::string_view text) {
  if (SameText(text, "TRUE")) return true;
  if (SameText(text, "FALSE")) return false;
  return std::nullopt;
}

std::optional<double> TryTextToFloat(std::string_view text) {
  const auto number = ScanNumber(text);
  if (!number) return std::nullopt;
  double value = 0.0;
  const char* first = number->Body.data();
  const char* last = first + number->Body.size();
  const auto result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ptr != last) return std::nullopt;
  if (result.ec == std::errc::result_out_of_range) {
    // Out of range either way: decide by the decimal exponent of the first
    // significant digit whether it overflowed or underflowed.
    int64_t leading = static_cast<int64_t>(number->IntegerDigits.size());
    size_t skip = number->IntegerDigits.find_first_not_of('0');
    if (skip != std::string_view::npos) {
      leading -= static_cast<int64_t>(skip);
    } else {
      skip = number->FractionDigits.find_first_not_of('0');
      leading = skip == std::string_view::npos ? 0 : -static_cast<int64_t>(skip);
    }
    if (leading + number->Exponent > 0) return std::nullopt;
    return number->Negative ? -0.0 : 0.0;
  }
  if (result.ec != std::errc{}) return std::nullopt;
  return value;
}

std::optional<int64_t> TryTextToFixed(std::string_view text) {
  const auto number = ScanNumber(text);
  if (!number) return std::nullopt;
  // Each digit's power of ten: the first integer digit stands at 10^(intDigits-1+E).
  // Digits down to 10^-4 make the value, the one at 10^-5 decides the rounding, any
  // further non-zero digit breaks a tie.
  const int64_t firstPower = static_cast<int64_t>(number->IntegerDigits.size()) - 1 + number->Exponent;
  const size_t digitCount = number->IntegerDigits.size() + number->FractionDigits.size();
  const auto digitAt = [&](size_t i) {
    return i < number->IntegerDigits.size() ? number->IntegerDigits[i]
                                            : number->FractionDigits[i - number->IntegerDigits.size()];
  };
  constexpr uint64_t kLimit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1;
  uint64_t magnitude = 0;
  int roundDigit = 0;
  bool sticky = false;
  for (size_t i = 0; i < digitCount; ++i) {
    const int digit = digitAt(i) - '0';
    const int64_t power = firstPower - static_cast<int64_t>(i);
    if (power >= -kFixedPlaces) {
      if (digit == 0 && magnitude == 0) continue;
      if (power > 18 || magnitude > (kLimit - static_cast<uint64_t>(digit)) / 10) return std::nullopt;
      magnitude = magnitude * 10 + static_cast<uint64_t>(digit);
    } else if (power == -kFixedPlaces - 1) {
      roundDigit = digit;
    } else if (digit != 0) {
      sticky = true;
      break;
    }
  }
  // Digits that ended above 10^-4 are followed by zeros down to it.
  const int64_t lastPower = firstPower - static_cast<int64_t>(digitCount) + 1;
  for (int64_t power = lastPower; power > -kFixedPlaces && magnitude != 0; --power) {
    if (magnitude > kLimit / 10) return std::nullopt;
    magnitude *= 10;
  }
  if (roundDigit > 5 || (roundDigit == 5 && (sticky || magnitude % 2 != 0))) ++magnitude;
  if (magnitude > kLimit || (magnitude == kLimit && !number->Negative)) return std::nullopt;
  return number->Negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

int32_t TextToDate(std::string_view text) {
  const auto value = TryTextToDate(text);
  if (!value) RaiseConvertError(text, "date");
  return *value;
}

int32_t TextToTime(std::string_view text) {
  const auto value = TryTextToTime(text);
  if (!value) RaiseConvertError(text, "time");
  return *value;
}

double TextToTimestamp(std::string_view text) {
  const auto value = TryTextToTimestamp(text);
  if (!value) RaiseConvertError(text, "date and time");
  return *value;
}

bool TextToBoolean(std::string_view text) {
  const auto value = TryTextToBoolean(text);
  if (!value) RaiseConvertError(text, "boolean");
  return *value;
}

double TextToFloat(std::string_view text) {
  const auto value = TryTextToFloat(text);
  if (!value) RaiseConvertError(text, "floating point value");
  return *value;
}

int64_t TextToFixed(std::string_view text) {
  const auto value = TryTextToFixed(text);
  if (!value) RaiseConvertError(text, "floating point value");
  return *value;
}

bool IsValidValueText(std::string_view text, TFieldType type) {
  if (text.empty()) return true;
  switch (type) {
    case TFieldType::Date:
      return SameText(text, "CURRENT_DATE") || TryTextToDate(text).has_value();
    case TFieldType::Time:
      return SameText(text, "CURRENT_TIME") || TryTextToTime(text).has_value();
    case TFieldType::Timestamp:
      return SameText(text, "CURRENT_TIMESTAMP") || SameText(text, "CURRENT_DATE") ||
             SameText(text, "CURRENT_TIME") || TryTextToDate(text).has_value() ||
             TryTextToTimestamp(text).has_value() || TryTextToTime(text).has_value();
    case TFieldType::Boolean:
      return TryTextToBoolean(text).has_value();
    case TFieldType::SmallInt: {
      const auto value = TryTextToInt32(text);
      return value && *value >= -32768 && *value <= 32767;
    }
    case TFieldType::Integer:
      return TryTextToInt32(text).has_value();
    case TFieldType::Word: {
      const auto value = TryTextToInt32(text);
      return value && *value >= 0 && *value <= 65535;
    }
    case TFieldType::LargeInt:
      return TryTextToInt64(text).has_value();
    case TFieldType::Float:
      return TryTextToFloat(text).has_value();
    case TFieldType::Bcd:
      return TryTextToFixed(text).has_value();
    default:
      return true;
  }
}

}  // namespace kura
