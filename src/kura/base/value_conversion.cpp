#include "kura/base/value_conversion.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>

#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/base/fixed_point.h"
#include "kura/base/text_forms.h"

namespace kura {

namespace {

using enum TFieldType;

// The cleared buffer and the room the result may take in it.
class TTarget {
public:
  TTarget(uint8_t* buffer, int size, TFieldType type, int scale)
      : FBuffer(buffer), FSize(size), FType(type), FScale(scale) {}

  TFieldType Type() const { return FType; }

  bool Bytes(const uint8_t* bytes, int count) {
    std::memcpy(FBuffer, bytes, static_cast<size_t>(std::min(count, FSize)));
    return true;
  }
  // Text keeps the last byte of the target as its terminator.
  bool Text(const char* text, size_t length) {
    if (FSize > 0) std::memcpy(FBuffer, text, std::min(length, static_cast<size_t>(FSize - 1)));
    return true;
  }
  bool Text(std::string_view text) { return Text(text.data(), text.size()); }
  // Formats with a to_chars-style function; false when the value has no text form.
  template <typename TFormatter>
  bool FormattedText(TFormatter formatter) {
    char text[kMaxValueTextLength];
    const char* end = formatter(text, text + sizeof text);
    return end != nullptr && Text(text, static_cast<size_t>(end - text));
  }
  bool DecimalText(int64_t value) {
    return FormattedText([value](char* first, char* last) {
      const auto result = std::to_chars(first, last, value);
      return result.ec == std::errc{} ? result.ptr : nullptr;
    });
  }
  bool Int16(uint16_t value) {
    uint8_t bytes[2];
    WriteU16(bytes, value);
    return Bytes(bytes, 2);
  }
  bool Int32(uint32_t value) {
    uint8_t bytes[4];
    WriteU32(bytes, value);
    return Bytes(bytes, 4);
  }
  bool Int64(int64_t value) {
    uint8_t bytes[8];
    WriteI64(bytes, value);
    return Bytes(bytes, 8);
  }
  bool Double(double value) {
    uint8_t bytes[8];
    WriteF64(bytes, value);
    return Bytes(bytes, 8);
  }
  bool Fixed(int64_t value) {
    uint8_t bytes[kBcdDataSize];
    return FixedToBcd(value, FScale, bytes) && Bytes(bytes, kBcdDataSize);
  }
  // An integer into SmallInt, Word, Integer or LargeInt, keeping the low-order bits.
  bool Integer(int64_t value) {
    switch (FType) {
      case SmallInt:
      case Word: return Int16(static_cast<uint16_t>(value));
      case TFieldType::Integer: return Int32(static_cast<uint32_t>(value));
      case LargeInt: return Int64(value);
      default: return false;
    }
  }

private:
  uint8_t* FBuffer;
  int FSize;
  TFieldType FType;
  int FScale;
};

constexpr bool IsIntegerTarget(TFieldType type) {
  return type == SmallInt || type == Integer || type == Word || type == LargeInt;
}

bool FromString(std::string_view text, TTarget& target) {
  switch (target.Type()) {
    case Date: {
      const auto value = TryTextToDate(text);
      return value && target.Int32(static_cast<uint32_t>(*value));
    }
    case Time: {
      const auto value = TryTextToTime(text);
      return value && target.Int32(static_cast<uint32_t>(*value));
    }
    case Timestamp: {
      const auto value = TryTextToTimestamp(text);
      return value && target.Double(*value);
    }
    case Boolean: {
      const auto value = TryTextToBoolean(text);
      return value && target.Int16(*value ? 1 : 0);
    }
    case SmallInt:
    case Integer:
    case Word: {
      const auto value = TryTextToInt32(text);
      return value && target.Integer(*value);
    }
    case LargeInt: {
      const auto value = TryTextToInt64(text);
      return value && target.Int64(*value);
    }
    case Float: {
      const auto value = TryTextToFloat(text);
      return value && target.Double(*value);
    }
    case Bcd: {
      const auto value = TryTextToFixed(text);
      return value && target.Fixed(*value);
    }
    default: return false;
  }
}

// The integer source types share one rule set; the source type matters only for
// Boolean, which only the 16-bit types convert to.
bool FromInteger(int64_t value, TFieldType sourceType, TTarget& target) {
  const TFieldType type = target.Type();
  if (type == String) return target.DecimalText(value);
  if (IsIntegerTarget(type)) return target.Integer(value);
  if (type == Boolean) {
    if (sourceType != SmallInt && sourceType != Word) return false;
    return target.Int16(value != 0 ? 1 : 0);
  }
  if (type == Float) return target.Double(static_cast<double>(value));
  if (type == Bcd) {
    const auto fixed = IntegerToFixed(value);
    return fixed && target.Fixed(*fixed);
  }
  return false;
}

bool FromBoolean(bool value, TTarget& target) {
  const TFieldType type = target.Type();
  if (type == String) return target.Text(BooleanToText(value ? 1 : 0));
  if (IsIntegerTarget(type)) return target.Integer(value ? 1 : 0);
  if (type == Bcd) return target.Fixed(value ? kFixedUnit : 0);
  return false;
}

bool FromFloat(double value, TTarget& target) {
  const TFieldType type = target.Type();
  if (type == String) {
    return target.FormattedText([value](char* first, char* last) { return FloatToChars(value, first, last); });
  }
  if (IsIntegerTarget(type)) {
    const double whole = std::trunc(value);
    // NaN fails both comparisons; 2^63 is the first double beyond the range.
    if (!(whole >= -9223372036854775808.0 && whole < 9223372036854775808.0)) return false;
    return target.Integer(static_cast<int64_t>(whole));
  }
  if (type == Bcd) {
    const auto fixed = DoubleToFixed(value);
    return fixed && target.Fixed(*fixed);
  }
  return false;
}

bool FromBcd(const uint8_t* bcd, TTarget& target) {
  const auto fixed = BcdToFixed(bcd);
  if (!fixed) return false;
  const TFieldType type = target.Type();
  if (type == String) {
    const int64_t value = *fixed;
    return target.FormattedText([value](char* first, char* last) { return FixedToChars(value, first, last); });
  }
  if (IsIntegerTarget(type)) return target.Integer(FixedToInteger(*fixed));
  if (type == Float) return target.Double(FixedToDouble(*fixed));
  return false;
}

bool Convert(TFieldType sourceType, int sourceSize, const uint8_t* source, uint8_t* buffer, int targetScale,
             int targetSize, TFieldType targetType) {
  if (!IsValidFieldType(sourceType) || !IsValidFieldType(targetType)) return false;
  TTarget target(buffer, targetSize, targetType, targetScale);

  // Bytes a value occupies: the declared size for sized types, else the type's own.
  const int sourceBytes = HasDeclaredSize(sourceType) ? sourceSize : DataSize(sourceType, 0);
  const auto text = [&] {
    const auto* chars = reinterpret_cast<const char*>(source);
    return std::string_view(chars, strnlen(chars, static_cast<size_t>(sourceSize)));
  };

  if (sourceType == targetType) {
    if (sourceType == String) return target.Text(text());
    if (sourceType == Bcd && BcdPlaces(source) != targetScale) {
      uint8_t rescaled[kBcdDataSize];
      return RescaleBcd(source, targetScale, rescaled) && target.Bytes(rescaled, kBcdDataSize);
    }
    return target.Bytes(source, sourceBytes);
  }
  if (targetType == Bytes || targetType == VarBytes) return target.Bytes(source, sourceBytes);
  if (sourceType == Bytes || sourceType == VarBytes) {
    return targetType != Blob && target.Bytes(source, sourceBytes);
  }

  switch (sourceType) {
    case String: return FromString(text(), target);
    case Date: {
      const int32_t date = ReadI32(source);
      if (targetType == String) {
        return target.FormattedText([date](char* first, char* last) { return DateToChars(date, first, last); });
      }
      if (targetType == Timestamp) return IsValidDate(date) && target.Double(MakeTimestamp(date, 0));
      return false;
    }
    case Time: {
      const int32_t time = ReadI32(source);
      if (targetType == String) {
        return target.FormattedText([time](char* first, char* last) { return TimeToChars(time, first, last); });
      }
      if (targetType == Timestamp) return IsValidTime(time) && target.Double(MakeTimestamp(kTimeBaseDate, time));
      return false;
    }
    case Timestamp: {
      const double timestamp = ReadF64(source);
      if (targetType == String) {
        return target.FormattedText(
            [timestamp](char* first, char* last) { return TimestampToChars(timestamp, first, last); });
      }
      const auto parts = SplitTimestamp(timestamp);
      if (!parts) return false;
      if (targetType == Date) return target.Int32(static_cast<uint32_t>(parts->Date));
      if (targetType == Time) return target.Int32(static_cast<uint32_t>(parts->Time));
      return false;
    }
    case Boolean: return FromBoolean(ReadU16(source) != 0, target);
    case SmallInt: return FromInteger(ReadI16(source), sourceType, target);
    case Integer: return FromInteger(ReadI32(source), sourceType, target);
    case Word: return FromInteger(ReadU16(source), sourceType, target);
    case LargeInt: return FromInteger(ReadI64(source), sourceType, target);
    case Float: return FromFloat(ReadF64(source), target);
    case Bcd: return FromBcd(source, target);
    default: return false;
  }
}

}  // namespace

bool ConvertValue(TFieldType sourceType, int sourceSize, int sourceScale, uint8_t* buffer, int targetScale,
                  int targetSize, TFieldType targetType) {
  (void)sourceScale;  // a BCD value carries its own places
  uint8_t source[kValueBufferSize];
  std::memcpy(source, buffer, kValueBufferSize);
  std::memset(buffer, 0, kValueBufferSize);
  const bool converted = Convert(sourceType, std::clamp(sourceSize, 0, kValueBufferSize), source, buffer, targetScale,
                                 std::clamp(targetSize, 0, kValueBufferSize), targetType);
  if (!converted) std::memset(buffer, 0, kValueBufferSize);
  return converted;
}

}  // namespace kura
