#include "kura/base/language_string_list.h"

#include <algorithm>
#include <stdexcept>

#include "kura/base/collation.h"

namespace kura {

namespace {

// The first length bytes of text, stopping at a zero byte (as CollateCompare reads a
// text with a length).
std::string_view Cut(std::string_view text, size_t length) {
  if (length != 0 && text.size() > length) text = text.substr(0, length);
  const size_t zero = text.find('\0');
  return zero == std::string_view::npos ? text : text.substr(0, zero);
}

}  // namespace

int TLanguageStringList::Compare(std::string_view a, std::string_view b) const {
  return CollateCompare(FLocaleId, FSortId, a, b, true);
}

size_t TLanguageStringList::LowerBound(std::string_view s, size_t first, size_t length) const {
  const std::string_view key = Cut(s, length);
  size_t low = std::min(first, FEntries.size());
  size_t high = FEntries.size();
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (Compare(Cut(FEntries[middle].Text, length), key) < 0)
      low = middle + 1;
    else
      high = middle;
  }
  return low;
}

bool TLanguageStringList::Find(std::string_view s, size_t& index) const {
  return FindPrefix(s, 0, 0, index);
}

bool TLanguageStringList::FindPrefix(std::string_view s, size_t start, size_t length, size_t& index) const {
  index = LowerBound(s, start, length);
  return index < FEntries.size() && Compare(Cut(FEntries[index].Text, length), Cut(s, length)) == 0;
}

size_t TLanguageStringList::Add(std::string_view s, int32_t value) {
  size_t index = 0;
  if (Find(s, index)) {
    if (!FAcceptDuplicates) return index;
    // After the run of equal entries, so that equal strings keep their order of arrival.
    while (index < FEntries.size() && Compare(FEntries[index].Text, s) == 0) ++index;
  }
  FEntries.insert(FEntries.begin() + static_cast<std::ptrdiff_t>(index), TEntry{std::string(s), value});
  return index;
}

void TLanguageStringList::Delete(size_t index) {
  if (index >= FEntries.size()) throw std::out_of_range("TLanguageStringList::Delete");
  FEntries.erase(FEntries.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace kura
