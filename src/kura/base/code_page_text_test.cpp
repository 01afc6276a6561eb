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

}  // namespace
}  // namespace kura
