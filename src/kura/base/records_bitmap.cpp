#include "kura/base/records_bitmap.h"

#include <algorithm>
#include <bit>

#include "kura/base/engine_error.h"

namespace kura {
namespace {

constexpr uint32_t kAllOnes = ~uint32_t{0};

// Word index and bit mask of record r (r >= 1).
constexpr size_t WordOf(int32_t r) { return static_cast<size_t>(r - 1) >> 5; }
constexpr uint32_t BitOf(int32_t r) { return uint32_t{1} << ((r - 1) & 31); }

// Mask of the bits of records r..(end of r's word).
constexpr uint32_t FromMask(int32_t r) { return kAllOnes << ((r - 1) & 31); }
// Mask of the bits of records (start of r's word)..r.
constexpr uint32_t ThroughMask(int32_t r) { return kAllOnes >> (31 - ((r - 1) & 31)); }

// Bit index of the k-th lowest set bit of `bits` (1 <= k <= popcount(bits)).
int KthLowest(uint32_t bits, int32_t k) {
  for (int32_t i = 1; i < k; ++i) bits &= bits - 1;
  return std::countr_zero(bits);
}

// Bit index of the k-th highest set bit of `bits` (1 <= k <= popcount(bits)).
int KthHighest(uint32_t bits, int32_t k) {
  for (int32_t i = 1; i < k; ++i) bits &= ~(uint32_t{0x80000000} >> std::countl_zero(bits));
  return 31 - std::countl_zero(bits);
}

// Set bits of one word. std::popcount becomes a library call where the compiler may not
// assume the processor's instruction (the default x86-64 target), several times slower
// than these few operations on the walks below.
int PopCount(uint32_t v) {
  v = v - ((v >> 1) & 0x55555555u);
  v = (v & 0x33333333u) + ((v >> 2) & 0x33333333u);
  return static_cast<int>((((v + (v >> 4)) & 0x0F0F0F0Fu) * 0x01010101u) >> 24);
}

// Set bits of words[0..n): counting whole bitmaps is what a filter does on every run,
// so the processor's population count instruction is used where it has one (chosen
// once, when the program loads).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("popcnt", "default")))
#endif
int32_t CountWords(const uint32_t* words, size_t n) {
  int64_t count = 0;
  size_t w = 0;
  for (; w + 2 <= n; w += 2) {
    count += __builtin_popcountll(uint64_t{words[w]} | uint64_t{words[w + 1]} << 32);
  }
  if (w < n) count += __builtin_popcount(words[w]);
  return static_cast<int32_t>(count);
}

// Record number of bit `bit` of word w.
int32_t RecordAt(size_t w, int bit) { return static_cast<int32_t>(w * 32) + bit + 1; }

}  // namespace

void TRecordsBitmap::Reserve(int64_t bytes) {
  const int64_t rounded = (bytes + kAllocationStep - 1) / kAllocationStep * kAllocationStep;
  const auto words = static_cast<size_t>(rounded / 4);
  if (words > Words.size()) Words.resize(words, 0);
}

void TRecordsBitmap::SetRecordCount(int32_t n) {
  if (n < 0) n = 0;
  if (n > kMaxRecordCount) RaiseEngineError(KURA_TABLEFULL);
  if (n == RecordCount_) return;
  const int32_t rounded = (n + 31) & ~int32_t{31};
  Reserve(rounded / 8);
  const int32_t old = RecordCount_;
  RecordCount_ = n;
  RoundedCount_ = rounded;
  WordCount_ = rounded / 32;
  // Records that join the set start excluded, whatever the padding or an earlier, larger
  // count left in the storage.
  if (n > old) ClearRange(old + 1, n);
}

void TRecordsBitmap::ClearRange(int32_t first, int32_t last) {
  const size_t firstWord = WordOf(first);
  const size_t lastWord = WordOf(last);
  if (firstWord == lastWord) {
    Words[firstWord] &= ~(FromMask(first) & ThroughMask(last));
    return;
  }
  Words[firstWord] &= ~FromMask(first);
  std::fill(Words.begin() + static_cast<std::ptrdiff_t>(firstWord + 1),
            Words.begin() + static_cast<std::ptrdiff_t>(lastWord), 0u);
  Words[lastWord] &= ~ThroughMask(last);
}

bool TRecordsBitmap::IsSet(int32_t r) const {
  if (r < 1 || r > RoundedCount_) return false;
  return (Words[WordOf(r)] & BitOf(r)) != 0;
}

void TRecordsBitmap::Include(int32_t r) {
  if (r < 1 || r > RoundedCount_) return;
  Words[WordOf(r)] |= BitOf(r);
}

void TRecordsBitmap::Exclude(int32_t r) {
  if (r < 1 || r > RoundedCount_) return;
  Words[WordOf(r)] &= ~BitOf(r);
}

void TRecordsBitmap::ClearAll() { std::fill(Words.begin(), Words.end(), 0u); }

void TRecordsBitmap::SetAll() { std::fill(Words.begin(), Words.end(), kAllOnes); }

int32_t TRecordsBitmap::CountThrough(int32_t last) const {
  if (last < 1) return 0;
  const size_t lastWord = WordOf(last);
  return CountWords(Words.data(), lastWord) + PopCount(Words[lastWord] & ThroughMask(last));
}

int32_t TRecordsBitmap::CountSet() const { return CountThrough(RecordCount_); }

int32_t TRecordsBitmap::CountSetBefore(int32_t r) const {
  if (r < 2) return 0;
  return CountThrough(std::min(r - 1, RecordCount_));
}

bool TRecordsBitmap::FindNext(int32_t& position, int32_t count, int32_t& counter) const {
  if (count < 1 || RecordCount_ < 1 || position >= RecordCount_) return false;
  const int32_t start = std::max(position, 0) + 1;  // within 1..RecordCount_
  const size_t lastWord = WordOf(RecordCount_);
  const uint32_t lastMask = ThroughMask(RecordCount_);
  int32_t remaining = count;
  for (size_t w = WordOf(start); w <= lastWord; ++w) {
    uint32_t bits = Words[w];
    if (w == WordOf(start)) bits &= FromMask(start);
    if (w == lastWord) bits &= lastMask;
    if (bits == 0) continue;
    const int32_t found = PopCount(bits);
    if (found >= remaining) {
      position = RecordAt(w, KthLowest(bits, remaining));
      counter += remaining;
      return true;
    }
    remaining -= found;
    counter += found;
    position = RecordAt(w, 31 - std::countl_zero(bits));
  }
  return false;
}

bool TRecordsBitmap::FindPrior(int32_t& position, int32_t count, int32_t& counter) const {
  if (count < 1 || position < 2 || RecordCount_ < 1) return false;
  const int32_t start = std::min(position - 1, RecordCount_);
  int32_t remaining = count;
  for (size_t w = WordOf(start) + 1; w-- > 0;) {
    uint32_t bits = Words[w];
    if (w == WordOf(start)) bits &= ThroughMask(start);
    if (bits == 0) continue;
    const int32_t found = PopCount(bits);
    if (found >= remaining) {
      position = RecordAt(w, KthHighest(bits, remaining));
      counter -= remaining;
      return true;
    }
    remaining -= found;
    counter -= found;
    position = RecordAt(w, std::countr_zero(bits));
  }
  return false;
}

int32_t TRecordsBitmap::NextSet(int32_t after) const {
  if (RecordCount_ < 1 || after >= RecordCount_) return 0;
  const int32_t start = std::max(after, 0) + 1;  // within 1..RecordCount_
  const size_t lastWord = WordOf(RecordCount_);
  for (size_t w = WordOf(start); w <= lastWord; ++w) {
    uint32_t bits = Words[w];
    if (w == WordOf(start)) bits &= FromMask(start);
    if (w == lastWord) bits &= ThroughMask(RecordCount_);
    if (bits != 0) return RecordAt(w, std::countr_zero(bits));
  }
  return 0;
}

int32_t TRecordsBitmap::PriorSet(int32_t before) const {
  if (before < 2 || RecordCount_ < 1) return 0;
  const int32_t start = std::min(before - 1, RecordCount_);
  for (size_t w = WordOf(start) + 1; w-- > 0;) {
    uint32_t bits = Words[w];
    if (w == WordOf(start)) bits &= ThroughMask(start);
    if (bits != 0) return RecordAt(w, 31 - std::countl_zero(bits));
  }
  return 0;
}

int32_t TRecordsBitmap::NthSet(int32_t n) const {
  if (n < 1 || RecordCount_ < 1) return 0;
  const size_t lastWord = WordOf(RecordCount_);
  int32_t remaining = n;
  for (size_t w = 0; w <= lastWord; ++w) {
    uint32_t bits = Words[w];
    if (w == lastWord) bits &= ThroughMask(RecordCount_);
    const int32_t found = PopCount(bits);
    if (found >= remaining) return RecordAt(w, KthLowest(bits, remaining));
    remaining -= found;
  }
  return 0;
}

void TRecordsBitmap::IntersectWith(const TRecordsBitmap& other) {
  const auto common = static_cast<size_t>(std::min(WordCount_, other.WordCount_));
  for (size_t w = 0; w < common; ++w) Words[w] &= other.Words[w];
  std::fill(Words.begin() + static_cast<std::ptrdiff_t>(common), Words.begin() + WordCount_, 0u);
}

void TRecordsBitmap::UnionWith(const TRecordsBitmap& other) {
  const auto common = static_cast<size_t>(std::min(WordCount_, other.WordCount_));
  for (size_t w = 0; w < common; ++w) Words[w] |= other.Words[w];
}

void TRecordsBitmap::Complement() {
  for (size_t w = 0; w < static_cast<size_t>(WordCount_); ++w) Words[w] = ~Words[w];
}

void TRecordsBitmap::Assign(const TRecordsBitmap& other) {
  if (&other == this) return;
  Reserve(other.AllocatedBytes());
  std::copy(other.Words.begin(), other.Words.end(), Words.begin());
  std::fill(Words.begin() + static_cast<std::ptrdiff_t>(other.Words.size()), Words.end(), 0u);
  RecordCount_ = other.RecordCount_;
  RoundedCount_ = other.RoundedCount_;
  WordCount_ = other.WordCount_;
}

TRecordsBitmapStack::TRecordsBitmapStack() { Free.reserve(kCapacity); }

TRecordsBitmapStack::~TRecordsBitmapStack() = default;

std::unique_ptr<TRecordsBitmap> TRecordsBitmapStack::Acquire() {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (Free.empty()) return std::make_unique<TRecordsBitmap>();
  std::unique_ptr<TRecordsBitmap> bitmap = std::move(Free.back());
  Free.pop_back();
  bitmap->ClearAll();
  bitmap->SetRecordCount(0);
  return bitmap;
}

void TRecordsBitmapStack::Release(std::unique_ptr<TRecordsBitmap>& bitmap) {
  if (!bitmap) return;
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (Free.size() < kCapacity) {
    Free.push_back(std::move(bitmap));  // never reallocates: the capacity is reserved
  } else {
    bitmap.reset();
  }
}

size_t TRecordsBitmapStack::Count() const {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  return Free.size();
}

TRecordsBitmapStack& RecordsBitmapStack() {
  static TRecordsBitmapStack stack;
  return stack;
}

}  // namespace kura
