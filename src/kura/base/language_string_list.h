#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kura {

// A sorted list of strings, each with an attached integer (the text index's word lists
// keep occurrence counts there), ordered by a language driver: ascending by
// CollateCompare with case ignored. Belongs to one caller; not thread-safe.
//
// Comparisons that need a driver raise KURA_CANNOTLOADLDDRV when the list's pair
// is not installed.
class TLanguageStringList {
public:
  TLanguageStringList(uint16_t localeId, uint16_t sortId, bool acceptDuplicates = false)
      : FLocaleId(localeId), FSortId(sortId), FAcceptDuplicates(acceptDuplicates) {}

  uint16_t LocaleId() const { return FLocaleId; }
  uint16_t SortId() const { return FSortId; }
  // When false, adding a string equal to an entry leaves the list unchanged.
  bool AcceptDuplicates() const { return FAcceptDuplicates; }
  void SetAcceptDuplicates(bool accept) { FAcceptDuplicates = accept; }

  size_t Count() const { return FEntries.size(); }
  const std::string& Strings(size_t index) const { return FEntries.at(index).Text; }
  int32_t Objects(size_t index) const { return FEntries.at(index).Value; }
  void SetObject(size_t index, int32_t value) { FEntries.at(index).Value = value; }

  // Binary search for s. Found: true and index is the first equal entry. Not found:
  // false and index is where s would be inserted.
  bool Find(std::string_view s, size_t& index) const;
  // The same search over the entries from start on, comparing only the first length
  // bytes of s and of each entry (length 0: whole texts). start beyond the end is
  // treated as the end.
  bool FindPrefix(std::string_view s, size_t start, size_t length, size_t& index) const;

  // Inserts s with value at its sorted position (after entries equal to it) and returns
  // its index. When duplicates are not accepted and an equal entry exists, nothing is
  // inserted and that entry's index is returned.
  size_t Add(std::string_view s, int32_t value = 0);
  // Removes the entry at index (out of range: std::out_of_range).
  void Delete(size_t index);
  void Clear() { FEntries.clear(); }

private:
  struct TEntry {
    std::string Text;
    int32_t Value;
  };

  int Compare(std::string_view a, std::string_view b) const;
  // The first position in [first, Count()) whose entry (cut to length bytes when
  // length > 0) does not sort before s (cut the same way).
  size_t LowerBound(std::string_view s, size_t first, size_t length) const;

  uint16_t FLocaleId;
  uint16_t FSortId;
  bool FAcceptDuplicates;
  std::vector<TEntry> FEntries;
};

}  // namespace kura
