#pragma once

// Sets of record numbers, one bit per record, and the process-wide pool of free ones.
//
// A cursor keeps its visible records in such sets and a filter builds one per condition,
// combining them with AND (IntersectWith), OR (UnionWith) and NOT (Complement). Record r
// lives in bit (r - 1) mod 32 of word (r - 1) div 32. The set covers records 1..n (the
// record count); the storage always holds whole words, so the last word may carry bits
// of records n + 1 .. RoundedCount (the "padding"). Padding bits can be set (SetAll,
// Complement, Include) and IsSet reports them, but every counting and walking operation
// looks only at records 1..n.
//
// Every counting and walking operation works a word at a time: whole words are counted
// with a population count and searched with bit scans, so a walk over m records costs
// about m / 32 steps however the bits are spread.
//
// A bitmap is not thread-safe; one filter or cursor uses it at a time. The pool is.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kura {

class TRecordsBitmap {
public:
  // The highest record count a bitmap can represent (its rounded count must fit int32).
  static constexpr int32_t kMaxRecordCount = INT32_MAX & ~int32_t{31};
  // Storage grows in steps of this many bytes.
  static constexpr int32_t kAllocationStep = 256;

  // Sets the record count n. When n differs from the current count: the rounded count
  // becomes n rounded up to a multiple of 32, the word count rounded count / 32, and the
  // storage grows (in 256-byte steps, new bytes zero) until it holds them; it never
  // shrinks. When n grows, the records old n + 1 .. n start excluded, whatever the
  // padding of the old last word or bytes left from a larger earlier count held. When n
  // shrinks, the bits beyond it are kept in storage but are no longer part of the set.
  // The same n changes nothing. A negative n counts as 0. Raises KURA_TABLEFULL when n
  // is above kMaxRecordCount; the bitmap is then unchanged.
  void SetRecordCount(int32_t n);
  int32_t RecordCount() const { return RecordCount_; }
  int32_t RoundedCount() const { return RoundedCount_; }
  int32_t WordCount() const { return WordCount_; }
  int32_t AllocatedBytes() const { return static_cast<int32_t>(Words.size() * sizeof(uint32_t)); }

  // The bit of record r; false for r outside 1..RoundedCount.
  bool IsSet(int32_t r) const;
  // Sets or clears the bit of record r; r outside 1..RoundedCount is ignored.
  void Include(int32_t r);
  void Exclude(int32_t r);

  // Fill every allocated byte (not only the words in use) with 0 or with 255. After
  // SetAll the padding bits of the last word are set too.
  void ClearAll();
  void SetAll();

  // Number of set records among 1..n.
  int32_t CountSet() const;
  // Number of set records among 1..r-1 (clamped to n); 0 for r below 2. This is the
  // position of record r within the set, counting from 0.
  int32_t CountSetBefore(int32_t r) const;

  // Walks forward from record position + 1 to the count-th set record within 1..n.
  // Returns true when it was reached: position is then that record and count has been
  // added to counter. Returns false when fewer than count set records follow: position
  // is then the last set record passed (unchanged when none) and the number passed has
  // been added to counter. A count below 1, a position at or beyond n, or an empty
  // bitmap return false with position and counter untouched. A negative position walks
  // from record 1.
  bool FindNext(int32_t& position, int32_t count, int32_t& counter) const;
  // The mirror image: walks backward from record position - 1 (clamped to n) down to
  // record 1, subtracting the set records passed from counter. On failure position is
  // the lowest set record passed. A position below 2 or a count below 1 return false
  // with nothing changed.
  bool FindPrior(int32_t& position, int32_t count, int32_t& counter) const;

  // The first set record above `after` within 1..n, 0 when none (after may be 0 or
  // negative: the search then starts at record 1).
  int32_t NextSet(int32_t after) const;
  // The last set record below `before` within 1..n, 0 when none (before may be n + 1 or
  // above: the search then starts at record n).
  int32_t PriorSet(int32_t before) const;
  // The record number of the n-th set record (1-based) within 1..RecordCount, 0 when
  // fewer are set or n is below 1.
  int32_t NthSet(int32_t n) const;

  // Word-wise AND, OR and NOT over the words in use. The operand's words are taken as
  // stored, padding included. When the two word counts differ, only the common words are
  // combined; beyond them the operand counts as empty: IntersectWith clears this
  // bitmap's remaining words in use and UnionWith leaves them as they are. Neither
  // changes this bitmap's record count. Complement also flips the padding bits of the
  // last word (they stay outside the set).
  void IntersectWith(const TRecordsBitmap& other);
  void UnionWith(const TRecordsBitmap& other);
  void Complement();

  // Makes this bitmap a copy of other: the same counts, the storage grown to at least
  // other's allocated size, other's allocated bytes copied and any bytes beyond them zero.
  void Assign(const TRecordsBitmap& other);

private:
  // Grows the storage to hold `bytes` bytes, rounded up to a 256-byte step; new words are
  // zero. A smaller need leaves the storage as it is.
  void Reserve(int64_t bytes);
  // Set records among 1..last, for 0 <= last <= n.
  int32_t CountThrough(int32_t last) const;
  // Clears the bits of records first..last (1 <= first, last <= RoundedCount).
  void ClearRange(int32_t first, int32_t last);

  std::vector<uint32_t> Words;
  int32_t RecordCount_ = 0;
  int32_t RoundedCount_ = 0;
  int32_t WordCount_ = 0;
};

// The pool of free bitmaps, shared by every session and thread of the process. Both
// operations hold the pool's lock for their whole duration. A pooled bitmap keeps its
// storage.
class TRecordsBitmapStack {
public:
  static constexpr size_t kCapacity = 64;

  TRecordsBitmapStack();
  ~TRecordsBitmapStack();
  TRecordsBitmapStack(const TRecordsBitmapStack&) = delete;
  TRecordsBitmapStack& operator=(const TRecordsBitmapStack&) = delete;

  // The most recently released bitmap, cleared (all allocated bytes zero, record count
  // 0, storage kept), or a new bitmap without storage when the pool is empty. The caller
  // owns it until it gives it back with Release.
  std::unique_ptr<TRecordsBitmap> Acquire();
  // Takes the bitmap back: pooled when fewer than kCapacity are pooled, destroyed
  // otherwise. Always leaves `bitmap` empty; an empty `bitmap` is ignored. Never throws.
  void Release(std::unique_ptr<TRecordsBitmap>& bitmap);
  // Number of pooled bitmaps.
  size_t Count() const;

private:
  mutable std::recursive_mutex Lock;
  std::vector<std::unique_ptr<TRecordsBitmap>> Free;  // capacity reserved up front
};

// The process-wide pool, created on first use and destroyed (with its pooled bitmaps) at
// process exit. Nothing may be released to it from a static destructor that runs later.
TRecordsBitmapStack& RecordsBitmapStack();

}  // namespace kura
