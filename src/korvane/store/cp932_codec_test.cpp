#include "korvane/store/cp932_codec.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvane {
namespace {

using namespace std::string_literals;

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[c >> 4];
    text += kDigits[c & 0x0F];
  }
  return text;
}

// Texts that must survive both directions unchanged. The CP932 bytes are taken from the
// Microsoft code page table, not from the converter under test.
struct TRoundTripCase {
  const char* Name;
  std::string Cp932;
  std::string Utf8;
};

const std::vector<TRoundTripCase> kRoundTripCases = {
    {"Empty", ""s, ""s},
    {"Ascii", "Korvane 3.3 ~\\ {a-z} 0123"s, "Korvane 3.3 ~\\ {a-z} 0123"s},
    {"EmbeddedZero", "a\0b"s, "a\0b"s},
    {"BlackSquare", "\x81\xA1"s, "\u25A0"s},
    {"BlackCircleMark", "\x81\x9C"s, "\u25CF"s},
    {"UserDefinedFirst", "\xF0\x40"s, "\uE000"s},
    {"UserDefinedLast", "\xF9\xFC"s, "\uE757"s},
    {"NecCircledOne", "\x87\x40"s, "\u2460"s},
    {"HalfWidthKatakana", "\xBA\xD9\xCA\xDE\xB0\xC8"s, "ｺﾙﾊﾞｰﾈ"s},
    {"FullWidthTilde", "\x81\x60"s, "\uFF5E"s},
    {"FullWidthMinus", "\x81\x7C"s, "\uFF0D"s},
    {"FullWidthYen", "\x81\x8F"s, "\uFFE5"s},
    {"ForwardOneMove", "1\x8E\xE8\x90\x69\x82\xDE"s, "1手進む"s},
    {"BackOneMove", "\x82\x50\x8E\xE8\x96\xDF\x82\xB7"s, "１手戻す"s},
    {"BackOneSequence", "\x82\x50\x8E\xE8\x8F\x87\x96\xDF\x82\xB7"s, "１手順戻す"s},
    {"TrainingScreen", "\x93\xB9\x8F\xEA\x89\xE6\x96\xCA"s, "道場画面"s},
    // 表 is 95 5C: a trail byte equal to the backslash must stay part of its character.
    {"TrailByteBackslash", "\x96\xDA\x8E\x9F\x95\x5C\x8E\xA6"s, "目次表示"s},
    {"Mixed", "A\x81\xA1\xBA\x81\x9C\xF0\x40z"s, "A\u25A0ｺ\u25CF\uE000z"s},
};

// Test names and failure messages show the case's name instead of its raw bytes.
void PrintTo(const TRoundTripCase& c, std::ostream* os) { *os << c.Name; }

class TCp932RoundTrip : public testing::TestWithParam<TRoundTripCase> {};

TEST_P(TCp932RoundTrip, DecodesAndEncodesExactly) {
  const TRoundTripCase& c = GetParam();
  EXPECT_EQ(Cp932ToUtf8(c.Cp932), c.Utf8) << Hex(Cp932ToUtf8(c.Cp932));
  EXPECT_EQ(Hex(Utf8ToCp932(c.Utf8)), Hex(c.Cp932));
}

INSTANTIATE_TEST_SUITE_P(cp932, TCp932RoundTrip, testing::ValuesIn(kRoundTripCases),
                         [](const testing::TestParamInfo<TRoundTripCase>& info) { return info.param.Name; });

// Unicode characters that encode to CP932 although CP932 decodes those bytes to another
// character: the encoding is accepted, and the text comes back in its canonical form.
struct TOneWayCase {
  const char* Name;
  std::string Utf8;
  std::string Cp932;
  std::string Decoded;
};

const std::vector<TOneWayCase> kOneWayCases = {
    {"WaveDash", "\u301C"s, "\x81\x60"s, "\uFF5E"s},
    {"MinusSign", "\u2212"s, "\x81\x7C"s, "\uFF0D"s},
    {"YenSign", "\u00A5"s, "\x5C"s, "\\"s},
    {"InText", "1\u301C3"s, "1\x81\x60" "3"s, "1\uFF5E" "3"s},
};

void PrintTo(const TOneWayCase& c, std::ostream* os) { *os << c.Name; }

class TCp932OneWay : public testing::TestWithParam<TOneWayCase> {};

TEST_P(TCp932OneWay, EncodesToTheWindowsFormAndDecodesCanonically) {
  const TOneWayCase& c = GetParam();
  const std::string bytes = Utf8ToCp932(c.Utf8);
  EXPECT_EQ(Hex(bytes), Hex(c.Cp932));
  EXPECT_EQ(Cp932ToUtf8(bytes), c.Decoded);
}

INSTANTIATE_TEST_SUITE_P(cp932, TCp932OneWay, testing::ValuesIn(kOneWayCases),
                         [](const testing::TestParamInfo<TOneWayCase>& info) { return info.param.Name; });

// Input that must be refused, never patched up.
struct TErrorCase {
  const char* Name;
  bool Decode;  // true: Cp932ToUtf8, false: Utf8ToCp932
  std::string Input;
  TCodecFault Fault;
  std::size_t Offset;
  const char* MessagePart;  // must appear in what()
};

const std::vector<TErrorCase> kErrorCases = {
    {"TruncatedLeadByte", true, "ab\x81"s, TCodecFault::kTruncatedSequence, 2, "byte offset 2 (81)"},
    {"LoneLeadByte", true, "\x9F"s, TCodecFault::kTruncatedSequence, 0, "byte offset 0"},
    {"InvalidSingleByte", true, "a\x80z"s, TCodecFault::kInvalidSequence, 1, "byte offset 1 (80 7A)"},
    {"InvalidByteA0", true, "\x81\xA1\xA0"s, TCodecFault::kInvalidSequence, 2, "byte offset 2 (A0)"},
    {"InvalidByteFF", true, "\xFF"s, TCodecFault::kInvalidSequence, 0, "(FF)"},
    {"InvalidTrailByte", true, "xy\x81\x20"s, TCodecFault::kInvalidSequence, 2, "byte offset 2 (81 20)"},
    {"UnassignedDoubleByte", true, "\x85\x40"s, TCodecFault::kInvalidSequence, 0, "(85 40)"},
    {"Utf8TruncatedAtEnd", false, "ab\xE6\x89"s, TCodecFault::kTruncatedSequence, 2, "byte offset 2 (E6 89)"},
    {"Utf8StrayContinuation", false, "a\x80"s, TCodecFault::kInvalidSequence, 1, "invalid UTF-8 at byte offset 1"},
    {"Utf8BadContinuation", false, "abc\xC3\x28"s, TCodecFault::kInvalidSequence, 3, "byte offset 3 (C3 28)"},
    {"Utf8Overlong", false, "\xC0\x80"s, TCodecFault::kInvalidSequence, 0, "invalid UTF-8"},
    {"Utf8Surrogate", false, "x\xED\xA0\x80"s, TCodecFault::kInvalidSequence, 1, "invalid UTF-8"},
    {"Utf8BeyondUnicode", false, "\xF4\x90\x80\x80"s, TCodecFault::kInvalidSequence, 0, "invalid UTF-8"},
    {"Emoji", false, "ab\U0001F600"s, TCodecFault::kUnmappable, 2, "U+1F600 at byte offset 2"},
    {"AccentedLetter", false, "\u25A0\u00E9"s, TCodecFault::kUnmappable, 3, "U+00E9"},
    {"PrivateUseBeyondUserArea", false, "\uE758"s, TCodecFault::kUnmappable, 0, "U+E758"},
};

void PrintTo(const TErrorCase& c, std::ostream* os) { *os << c.Name; }

class TCp932Error : public testing::TestWithParam<TErrorCase> {};

TEST_P(TCp932Error, RaisesWithFaultAndOffset) {
  const TErrorCase& c = GetParam();
  try {
    const std::string result = c.Decode ? Cp932ToUtf8(c.Input) : Utf8ToCp932(c.Input);
    ADD_FAILURE() << "converted to " << Hex(result);
  } catch (const ECodecError& e) {
    EXPECT_EQ(e.Fault(), c.Fault);
    EXPECT_EQ(e.Offset(), c.Offset);
    EXPECT_NE(std::string(e.what()).find(c.MessagePart), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(cp932, TCp932Error, testing::ValuesIn(kErrorCases),
                         [](const testing::TestParamInfo<TErrorCase>& info) { return info.param.Name; });

TEST(cp932Codec, AFailedConversionLeavesTheNextOneClean) {
  EXPECT_THROW(Cp932ToUtf8("\x81"s), ECodecError);
  EXPECT_EQ(Cp932ToUtf8("\x81\x9C"s), "\u25CF");
  EXPECT_THROW(Utf8ToCp932("\xE6\x89"s), ECodecError);
  EXPECT_EQ(Utf8ToCp932("\u25A0"), "\x81\xA1"s);
}

TEST(cp932Codec, LongTextConvertsWhole) {
  // Half-width katakana (one byte growing to three) mixed with double-byte characters, long
  // enough that the output buffer's sizing matters in both directions.
  std::string cp932;
  std::string utf8;
  for (int i = 0; i < 2000; ++i) {
    cp932 += "\xBA\x81\x9C\x93\xB9"s;
    utf8 += "ｺ\u25CF道";
  }
  EXPECT_EQ(Cp932ToUtf8(cp932), utf8);
  EXPECT_EQ(Utf8ToCp932(utf8), cp932);
}

TEST(cp932Codec, ThreadsConvertIndependently) {
  // Each thread uses its own converter handles; interleaved failures and successes on
  // several threads must not disturb one another.
  constexpr int kThreads = 4;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (int i = 0; i < 500; ++i) {
        if (Cp932ToUtf8("\x82\x50\x8E\xE8\x8F\x87\x96\xDF\x82\xB7"s) != "１手順戻す") ++mismatches[t];
        if (Utf8ToCp932("\uE000道") != "\xF0\x40\x93\xB9"s) ++mismatches[t];
        try {
          Cp932ToUtf8("\x81"s);
          ++mismatches[t];
        } catch (const ECodecError&) {
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace korvane
