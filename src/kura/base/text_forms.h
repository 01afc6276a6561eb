#pragma once

// The engine's own text forms of values and their parsers. They never depend on the
// machine's regional settings: dates are "yyyy-mm-dd", times "hh:nn[:ss[.zzz]]" on a
// 24-hour clock, and the decimal separator is always ".".
//
// Every parser comes in two shapes: TryTextToX returns an empty optional for a text
// that is not a value (no exception, no allocation: the shape the per-record paths
// use), TextToX raises EConvertError with the engine's message for that type.
// Formatters come as XToChars, which writes into a caller's buffer (to_chars style,
// no allocation), and XToText, which returns a std::string.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kura/base/field_types.h"

namespace kura {

// A text that is not a value of the wanted type. The message names the text, as in
// "'2004-02-30' is not a valid date".
class EConvertError : public std::runtime_error {
public:
  explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

// Longest text any formatter here produces ("-922337203685477.5808",
// "9999-12-31 23:59:59.999", "-1.23456789012345E-308"), without a terminator.
constexpr int kMaxValueTextLength = 32;

// Formatters into [first, last). They return the end of what was written, or nullptr
// when the value cannot be shown (an invalid date or time) or the room is too small.
// Nothing is terminated.
char* DateToChars(int32_t date, char* first, char* last);
char* TimeToChars(int32_t time, char* first, char* last);
char* TimestampToChars(double timestamp, char* first, char* last);
char* FloatToChars(double value, char* first, char* last);
char* FixedToChars(int64_t value, char* first, char* last);

// "yyyy-mm-dd", each part zero-padded (0099-01-05). Empty for an invalid day number.
std::string DateToText(int32_t date);
// "hh:nn"; ":ss" follows when the seconds are not zero and then ".z" with the
// milliseconds as a plain count when they are not zero (10:30:05.5 is 5 ms).
// Empty for a time outside 0..86,399,999.
std::string TimeToText(int32_t time);
// DateToText, one blank, TimeToText. Empty when the value is no valid date and time.
std::string TimestampToText(double timestamp);
// "True" for any value but 0, else "False".
std::string_view BooleanToText(int64_t value);
// Shortest general form with at most 15 significant digits and no trailing zeros:
// plain decimal while the decimal exponent is from -4 to 14 ("0.0001",
// "123456789012345"), otherwise exponent form "1.5E20", "1E-5". NaN gives "NAN",
// infinities "INF" and "-INF".
std::string FloatToText(double value);
// A fixed-point value as a decimal with up to four decimals and no trailing zeros
// ("1.5", "-0.0001", "12").
std::string FixedToText(int64_t value);

// A decimal integer: optional blanks, an optional sign, at least one digit, optional
// blanks. Empty when the text is anything else or the number leaves the range.
std::optional<int32_t> TryTextToInt32(std::string_view text);
std::optional<int64_t> TryTextToInt64(std::string_view text);

// year-month-day, each part a decimal integer (2004-2-5 is fine), forming a valid date.
std::optional<int32_t> TryTextToDate(std::string_view text);
// hour:minute[:second[.milliseconds]], with "AM" or "PM" anywhere (any case) for a
// 12-hour clock. Hour < 24, minute and second < 60, milliseconds < 1000.
std::optional<int32_t> TryTextToTime(std::string_view text);
// Date and time separated by a blank; a text with ":" alone is a time on 1899-12-30;
// any other text a date at midnight.
std::optional<double> TryTextToTimestamp(std::string_view text);
// "TRUE" or "FALSE" in any letter case.
std::optional<bool> TryTextToBoolean(std::string_view text);
// Optional blanks, sign, digits with an optional "." fraction (at least one digit),
// optional exponent "E[sign]digits", optional blanks. Empty beyond the double range;
// a magnitude too small for a double reads as zero.
std::optional<double> TryTextToFloat(std::string_view text);
// The same syntax read exactly as fixed-point: more than four decimals are rounded
// to four, ties to even. Empty beyond the fixed-point range.
std::optional<int64_t> TryTextToFixed(std::string_view text);

// As the Try forms; they raise EConvertError with
// "'%s' is not a valid date", "'%s' is not a valid time",
// "'%s' is not a valid date and time", "'%s' is not a valid boolean" and, for the two
// number parsers, "'%s' is not a valid floating point value", %s being the whole text.
int32_t TextToDate(std::string_view text);
int32_t TextToTime(std::string_view text);
double TextToTimestamp(std::string_view text);
bool TextToBoolean(std::string_view text);
double TextToFloat(std::string_view text);
int64_t TextToFixed(std::string_view text);

// Whether a minimum, maximum or default text is a value of the field type. An empty
// text is valid for every type; string, bytes and variable-bytes fields, and types
// without a text form (BLOB, 32-bit unsigned, extended float), accept any text. Date,
// time and timestamp fields also accept CURRENT_DATE, CURRENT_TIME and (timestamps
// only) CURRENT_TIMESTAMP in any letter case; a timestamp field accepts all three.
// Never raises.
bool IsValidValueText(std::string_view text, TFieldType type);

}  // namespace kura
