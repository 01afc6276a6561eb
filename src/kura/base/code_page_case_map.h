#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kura {

// The ICU converter name of a Windows ANSI code page: "windows-1252", "windows-31j" for
// 932, and so on. nullptr for a code page the engine does not support. Supported: 874,
// 932, 936, 949, 950 and 1250 to 1258.
const char* IcuConverterName(uint16_t codePage);

// Upper- and lower-case mapping of text held in one Windows ANSI code page, derived once
// from ICU's converter for the code page and ICU's case rules.
//
// Contract:
// - A character maps only when its counterpart exists in the code page with the same
//   number of bytes and converts back to the same character, so mapping never changes
//   the length of a text and never produces bytes the code page cannot decode.
// - In a double-byte code page (932, 936, 949, 950) a lead byte and the byte after it are
//   one character and map as a unit: a trail byte that happens to look like an ASCII
//   letter (Shift-JIS 0x83 0x61) is never changed on its own. A lead byte at the end of
//   the text, or followed by a zero byte, is left as it is.
// - Case rules are Unicode's simple (one character to one character) mappings; for
//   Turkish and Azeri the dotted and dotless i follow the language's own rules.
//
// Immutable after construction, so one map may be shared by every thread.
class TCodePageCaseMap {
public:
  // Builds the map for codePage with the case rules of icuLocale ("en_US", "tr_TR").
  // Raises KURA_CANNOTLOADLDDRV when ICU has no converter for the code page.
  TCodePageCaseMap(uint16_t codePage, const char* icuLocale);

  uint16_t CodePage() const { return FCodePage; }
  bool IsDoubleByte() const { return FDoubleByte; }
  bool IsLeadByte(uint8_t b) const { return FLeadByte[b]; }

  // Maps length bytes of text in place.
  void UpperCase(char* text, size_t length) const { Map(text, length, true); }
  void LowerCase(char* text, size_t length) const { Map(text, length, false); }

  // Maps the character that starts text[0] (at most remaining bytes) into out and
  // returns how many bytes it occupies (1 or 2; out receives as many). remaining > 0.
  size_t MapUnit(const uint8_t* text, size_t remaining, bool upper, uint8_t out[2]) const;

private:
  using TPairMap = std::vector<std::pair<uint16_t, uint16_t>>;  // sorted by first

  void Map(char* text, size_t length, bool upper) const;
  static uint16_t LookUp(const TPairMap& map, uint16_t unit);

  uint16_t FCodePage;
  bool FDoubleByte = false;
  std::array<bool, 256> FLeadByte{};
  std::array<uint8_t, 256> FUpper{};
  std::array<uint8_t, 256> FLower{};
  TPairMap FDoubleUpper;  // double-byte units (lead << 8 | trail) that change
  TPairMap FDoubleLower;
};

}  // namespace kura
