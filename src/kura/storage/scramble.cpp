#include "kura/storage/scramble.h"

namespace kura {

void Scramble(uint8_t* buffer, size_t length, TScrambleKey key) {
  if ((length & 0xFFFFu) == 0) return;
  uint8_t k1 = key.K1;
  uint8_t k2 = key.K2;
  for (size_t i = 0; i < length; ++i) {
    buffer[i] = static_cast<uint8_t>(buffer[i] ^ k1 ^ k2);
    ++k1;
    --k2;
  }
}

}  // namespace kura
