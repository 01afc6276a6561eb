#include "kura/base/bcd.h"

#include <cstring>
#include <limits>

#include "kura/base/fixed_point.h"

namespace kura {

namespace {

using TWide = __int128;
using TUWide = unsigned __int128;

constexpr int kPrecisionOffset = 0;
constexpr int kSignPlacesOffset = 1;
constexpr int kDigitsOffset = 2;
constexpr uint8_t kNegativeBit = 0x80;
constexpr uint8_t kPlacesMask = 0x3F;

// A decoded BCD: magnitude * 10^-places. 32 digits stay below 10^32 < 2^127.
struct TDecoded {
  TUWide Magnitude;
  int Places;
  bool Negative;
};

int Nibble(const uint8_t* bcd, int index) {
  const uint8_t byte = bcd[kDigitsOffset + index / 2];
  return index % 2 == 0 ? byte >> 4 : byte & 0x0F;
}

std::optional<TDecoded> Decode(const uint8_t* bcd) {
  const int precision = bcd[kPrecisionOffset];
  const int places = bcd[kSignPlacesOffset] & kPlacesMask;
  if (precision > kBcdDigits || places > kBcdMaxPlaces) return std::nullopt;
  TUWide magnitude = 0;
  for (int i = 0; i < precision; ++i) {
    const int digit = Nibble(bcd, i);
    if (digit > 9) return std::nullopt;
    magnitude = magnitude * 10 + static_cast<unsigned>(digit);
  }
  const bool negative = magnitude != 0 && (bcd[kSignPlacesOffset] & kNegativeBit) != 0;
  return TDecoded{magnitude, places, negative};
}

TUWide PowerOfTen(int exponent) {
  TUWide result = 1;
  for (int i = 0; i < exponent; ++i) result *= 10;
  return result;
}

int DigitCount(TUWide value) {
  int count = 0;
  while (value != 0) {
    value /= 10;
    ++count;
  }
  return count;
}

// magnitude / divisor rounded to nearest, ties to even.
TUWide DivideHalfEven(TUWide magnitude, TUWide divisor) {
  TUWide quotient = magnitude / divisor;
  const TUWide remainder = magnitude % divisor;
  if (2 * remainder > divisor || (2 * remainder == divisor && quotient % 2 != 0)) ++quotient;
  return quotient;
}

// Writes magnitude * 10^-places; false (bytes zero) when it needs more than 32 digits.
bool Store(TUWide magnitude, bool negative, int places, uint8_t* bcd) {
  std::memset(bcd, 0, kBcdDataSize);
  if (places < 0 || places > kBcdMaxPlaces || DigitCount(magnitude) > kBcdDigits) return false;
  bcd[kSignPlacesOffset] = static_cast<uint8_t>(places);
  if (magnitude == 0) return true;
  bcd[kPrecisionOffset] = kBcdDigits;
  if (negative) bcd[kSignPlacesOffset] |= kNegativeBit;
  for (int i = kBcdDigits - 1; i >= 0 && magnitude != 0; --i) {
    const auto digit = static_cast<uint8_t>(magnitude % 10);
    magnitude /= 10;
    uint8_t& byte = bcd[kDigitsOffset + i / 2];
    byte = static_cast<uint8_t>(i % 2 == 0 ? (byte & 0x0F) | (digit << 4) : (byte & 0xF0) | digit);
  }
  return true;
}

TUWide Magnitude(int64_t value) {
  return value < 0 ? static_cast<TUWide>(-static_cast<TWide>(value)) : static_cast<TUWide>(value);
}

}  // namespace

bool IsValidBcd(const uint8_t* bcd) { return Decode(bcd).has_value(); }

std::optional<int64_t> BcdToFixed(const uint8_t* bcd) {
  const auto decoded = Decode(bcd);
  if (!decoded) return std::nullopt;
  TUWide magnitude = decoded->Magnitude;
  if (decoded->Places > kFixedPlaces) {
    magnitude = DivideHalfEven(magnitude, PowerOfTen(decoded->Places - kFixedPlaces));
  } else {
    // At most 32 digits times 10^4: still far inside 128 bits.
    magnitude *= PowerOfTen(kFixedPlaces - decoded->Places);
  }
  const TUWide limit = static_cast<TUWide>(std::numeric_limits<int64_t>::max()) + (decoded->Negative ? 1 : 0);
  if (magnitude > limit) return std::nullopt;
  const TWide signedValue = decoded->Negative ? -static_cast<TWide>(magnitude) : static_cast<TWide>(magnitude);
  return static_cast<int64_t>(signedValue);
}

bool FixedToBcd(int64_t value, int places, uint8_t* bcd) {
  if (places < 0 || places > kBcdMaxPlaces) {
    std::memset(bcd, 0, kBcdDataSize);
    return false;
  }
  TUWide magnitude = Magnitude(value);
  if (places < kFixedPlaces) {
    magnitude = DivideHalfEven(magnitude, PowerOfTen(kFixedPlaces - places));
  } else if (places > kFixedPlaces) {
    // 19 digits plus up to 28 appended zeros could overflow 128 bits: count first.
    if (magnitude != 0 && DigitCount(magnitude) + (places - kFixedPlaces) > kBcdDigits) {
      std::memset(bcd, 0, kBcdDataSize);
      return false;
    }
    magnitude *= PowerOfTen(places - kFixedPlaces);
  }
  return Store(magnitude, value < 0, places, bcd);
}

bool RescaleBcd(const uint8_t* source, int places, uint8_t* target) {
  const auto decoded = Decode(source);
  if (!decoded || places < 0 || places > kBcdMaxPlaces) {
    std::memset(target, 0, kBcdDataSize);
    return false;
  }
  TUWide magnitude = decoded->Magnitude;
  if (places < decoded->Places) {
    magnitude = DivideHalfEven(magnitude, PowerOfTen(decoded->Places - places));
  } else if (places > decoded->Places) {
    if (magnitude != 0 && DigitCount(magnitude) + (places - decoded->Places) > kBcdDigits) {
      std::memset(target, 0, kBcdDataSize);
      return false;
    }
    magnitude *= PowerOfTen(places - decoded->Places);
  }
  return Store(magnitude, decoded->Negative, places, target);
}

char* BcdToChars(const uint8_t* bcd, char* first, char* last) {
  const auto decoded = Decode(bcd);
  if (!decoded) return nullptr;
  // The digits least significant first, padded with zeros to one whole digit.
  char digits[kBcdMaxPlaces + 1];
  int count = 0;
  for (TUWide magnitude = decoded->Magnitude; magnitude != 0; magnitude /= 10) {
    digits[count++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
  }
  while (count <= decoded->Places) digits[count++] = '0';
  const int length = (decoded->Negative ? 1 : 0) + count + (decoded->Places > 0 ? 1 : 0);
  if (last - first < length) return nullptr;
  char* out = first;
  if (decoded->Negative) *out++ = '-';
  for (int i = count - 1; i >= 0; --i) {
    *out++ = digits[i];
    if (i == decoded->Places && i > 0) *out++ = '.';
  }
  return out;
}

}  // namespace kura
