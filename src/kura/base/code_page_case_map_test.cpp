#include "kura/base/code_page_case_map.h"

#include <gtest/gtest.h>

#include <string>

#include "kura/base/engine_error.h"
#include "testing/engine_error_expect.h"

namespace kura {
namespace {

std::string Upper(const TCodePageCaseMap& map, std::string text) {
  map.UpperCase(text.data(), text.size());
  return text;
}

std::string Lower(const TCodePageCaseMap& map, std::string text) {
  map.LowerCase(text.data(), text.size());
  return text;
}

TEST(CodePageCaseMapTest, EveryAnsiCodePageHasAnIcuConverterAndOthersHaveNone) {
  for (const uint16_t codePage : {874, 932, 936, 949, 950, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258}) {
    SCOPED_TRACE(codePage);
    ASSERT_NE(IcuConverterName(codePage), nullptr);
    const TCodePageCaseMap map(codePage, "en_US");
    EXPECT_EQ(map.CodePage(), codePage);
    EXPECT_EQ(map.IsDoubleByte(), codePage >= 932 && codePage <= 950);
  }
  for (const uint16_t codePage : {0, 437, 850, 1200, 1259, 65001}) EXPECT_EQ(IcuConverterName(codePage), nullptr) << codePage;
}

TEST(CodePageCaseMapTest, AnUnsupportedCodePageCannotLoadTheDriver) {
  EXPECT_ENGINE_ERROR(KURA_CANNOTLOADLDDRV, TCodePageCaseMap(437, "en_US"));
}

TEST(CodePageCaseMapTest, ShiftJisLeadBytesAreThoseOfWindows) {
  const TCodePageCaseMap map(932, "en_US");
  for (int b = 0; b < 256; ++b) {
    const bool expected = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    EXPECT_EQ(map.IsLeadByte(static_cast<uint8_t>(b)), expected) << std::hex << b;
  }
  const TCodePageCaseMap western(1252, "en_US");
  for (int b = 0; b < 256; ++b) EXPECT_FALSE(western.IsLeadByte(static_cast<uint8_t>(b))) << std::hex << b;
}

struct TCaseCase {
  uint16_t codePage;
  const char* locale;
  std::string text;
  std::string upper;
  std::string lower;
};

TEST(CodePageCaseMapTest, MapsCharactersOfTheCodePageAsUnits) {
  const TCaseCase cases[] = {
      // Shift-JIS: ASCII letters change; a double-byte character whose trail byte looks
      // like a letter (0x83 0x61 katakana DI, 0x83 0x41 katakana A) never does.
      {932, "en_US", "abcXYZ", "ABCXYZ", "abcxyz"},
      {932, "en_US", "\x83\x61", "\x83\x61", "\x83\x61"},
      {932, "en_US", "a\x83\x61z", "A\x83\x61Z", "a\x83\x61z"},
      {932, "en_US", "\x83\x41Q\x83\x41", "\x83\x41Q\x83\x41", "\x83\x41q\x83\x41"},
      // Full-width, Greek and Cyrillic letters are double-byte units that do change.
      {932, "en_US", "\x82\x81\x82\x60", "\x82\x60\x82\x60", "\x82\x81\x82\x81"},
      {932, "en_US", "\x83\xBF\x83\x9F", "\x83\x9F\x83\x9F", "\x83\xBF\x83\xBF"},
      {932, "en_US", "\x84\x70\x84\x40", "\x84\x40\x84\x40", "\x84\x70\x84\x70"},
      // Half-width katakana has no case; a lead byte at the end stays as it is.
      {932, "en_US", "\xB1\xB2", "\xB1\xB2", "\xB1\xB2"},
      {932, "en_US", "ab\x83", "AB\x83", "ab\x83"},
      // Western European: accented letters, y with diaeresis (0xFF <-> 0x9F); micro sign
      // and sharp s have no one-byte counterpart and stay.
      {1252, "en_US", "\xE9\xC9\xFF\x9F", "\xC9\xC9\x9F\x9F", "\xE9\xE9\xFF\xFF"},
      {1252, "en_US", "\xB5\xDF", "\xB5\xDF", "\xB5\xDF"},
      // Cyrillic and Greek code pages.
      {1251, "ru_RU", "\xE0\xC0", "\xC0\xC0", "\xE0\xE0"},
      {1253, "el_GR", "\xE1\xC1", "\xC1\xC1", "\xE1\xE1"},
      // Turkish pairs i with dotted capital I (0xDD) and dotless i (0xFD) with I.
      {1254, "tr_TR", "i\xFD", "\xDDI", "i\xFD"},
      {1254, "tr_TR", "I\xDD", "I\xDD", "\xFDi"},
      {1254, "en_US", "iI", "II", "ii"},
  };
  for (const TCaseCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.codePage << " " << c.locale << " case of " << testing::PrintToString(c.text));
    const TCodePageCaseMap map(c.codePage, c.locale);
    EXPECT_EQ(Upper(map, c.text), c.upper);
    EXPECT_EQ(Lower(map, c.text), c.lower);
  }
}

TEST(CodePageCaseMapTest, KatakanaWithLetterLikeTrailBytesNeverChanges) {
  // Row 0x83 0x40 to 0x96 is katakana: no case, and its trail bytes run through the
  // ASCII letters. Neither mapping may touch any of it.
  const TCodePageCaseMap map(932, "en_US");
  for (int trail = 0x40; trail <= 0x96; ++trail) {
    if (trail == 0x7F) continue;
    const std::string text = {'\x83', static_cast<char>(trail)};
    EXPECT_EQ(Upper(map, text), text) << std::hex << trail;
    EXPECT_EQ(Lower(map, text), text) << std::hex << trail;
  }
}

}  // namespace
}  // namespace kura
