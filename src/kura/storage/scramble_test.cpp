#include "kura/storage/scramble.h"

#include <numeric>
#include <vector>

#include <gtest/gtest.h>

namespace kura {
namespace {

TEST(Scramble, ThreeBytesAreXoredWithTheSteppedKeyPairs) {
  const TScrambleKey keys[] = {kRecordKey, kHeaderTextKey, {0xFF, 0x00}, {0x01, 0x01}};
  for (const TScrambleKey key : keys) {
    uint8_t buffer[3] = {0x00, 0x5A, 0xFF};
    Scramble(buffer, 3, key);
    EXPECT_EQ(buffer[0], 0x00 ^ key.K1 ^ key.K2);
    EXPECT_EQ(buffer[1], 0x5A ^ static_cast<uint8_t>(key.K1 + 1) ^ static_cast<uint8_t>(key.K2 - 1));
    EXPECT_EQ(buffer[2], 0xFF ^ static_cast<uint8_t>(key.K1 + 2) ^ static_cast<uint8_t>(key.K2 - 2));
  }
}

TEST(Scramble, IsItsOwnInverseAndChangesTheBytes) {
  for (size_t length : {size_t{1}, size_t{127}, size_t{768}, size_t{65537}, size_t{200000}}) {
    std::vector<uint8_t> original(length);
    std::iota(original.begin(), original.end(), static_cast<uint8_t>(7));
    std::vector<uint8_t> buffer = original;
    Scramble(buffer.data(), buffer.size(), kRecordKey);
    EXPECT_NE(buffer, original) << length;
    Scramble(buffer.data(), buffer.size(), kRecordKey);
    EXPECT_EQ(buffer, original) << length;
  }
}

TEST(Scramble, LengthWithLowSixteenBitsZeroIsLeftUnchanged) {
  for (size_t length : {size_t{0}, size_t{65536}, size_t{196608}}) {
    std::vector<uint8_t> buffer(length, 0x11);
    Scramble(buffer.data(), buffer.size(), kRecordKey);
    EXPECT_EQ(buffer, std::vector<uint8_t>(length, 0x11)) << length;
  }
}

}  // namespace
}  // namespace kura
