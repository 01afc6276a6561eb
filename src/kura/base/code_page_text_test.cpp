#include "kura/base/code_page_text.h"

#include <gtest/gtest.h>

namespace kura {
namespace {

TEST(CodePageTextTest, DecodesTableTextForDisplay) {
  struct Case {
    uint16_t codePage;
    std::string bytes;
    std::optional<std::string> utf8;
  };
  const Case cases[] = {
      {932, "\x93\xB9\x8F\xEA\x89\xE6\x96\xCA", "道場画面"},
      {932, "\x81\xA1\x81\x9C", "■●"},
      {932, "\xF0\x40", "\xEE\x80\x80"},          // the user-defined character U+E000
      {932, "\xB1\xB2", "ｱｲ"},                    // half-width katakana
      {932, "abc", "abc"},
      {932, "", ""},
      {932, "\x82", "\x1A"},                     // a lone lead byte: substituted, not dropped
      {1252, "Caf\xE9 \x80", "Café €"},
      {1251, "\xCC\xEE\xF1\xEA\xE2\xE0", "Москва"},
      {1, "abc", std::nullopt},                  // not a code page the engine knows
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CodePageToUtf8(c.codePage, c.bytes), c.utf8) << "code page " << c.codePage << ": " << c.bytes;
  }
}

TEST(CodePageTextTest, EncodesUtf8TextStrictly) {
  struct Case {
    uint16_t codePage;
    std::string utf8;
    std::optional<std::string> bytes;
  };
  const Case cases[] = {
      {932, "道場画面", "\x93\xB9\x8F\xEA\x89\xE6\x96\xCA"},
      {932, "表", "\x95\x5C"},  // a trail byte that is the backslash
      {932, "ｱｲ", "\xB1\xB2"},
      {932, "abc 'x'", "abc 'x'"},
      {932, "", ""},
      {932, "Москва", "\x84\x4D\x84\x80\x84\x83\x84\x7B\x84\x72\x84\x70"},
      {932, "Café", std::nullopt},      // no é in code page 932, and no best fit to e
      {932, "\xE9\x81", std::nullopt},  // not well-formed UTF-8
      {1252, "Café €", "Caf\xE9 \x80"},
      {1251, "Москва", "\xCC\xEE\xF1\xEA\xE2\xE0"},
      {1, "abc", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToCodePage(c.codePage, c.utf8), c.bytes) << "code page " << c.codePage << ": " << c.utf8;
  }
}

TEST(CodePageTextTest, EncodingAndDecodingGiveTheTextBack) {
  for (const std::string text : {"詰碁 第１問", "黒先白死", "ーｰ［］"}) {
    const std::optional<std::string> bytes = Utf8ToCodePage(932, text);
    ASSERT_TRUE(bytes.has_value()) << text;
    EXPECT_EQ(CodePageToUtf8(932, *bytes), text);
  }
}

}  // namespace
}  // namespace kura
