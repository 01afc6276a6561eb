#pragma once

// Word splitting of the text index and of the text-search functions, and the text
// index's parameters.
//
// Parameter stream (over a chain of parameter pages; an item that does not fit in the
// rest of a page starts at offset 0 of the next page of the chain):
//   int32 number of stop words
//   per stop word: int32 length, the characters           (one item per word)
//   int32 32, then the 32-byte set of space characters    (one item)
//   int32 32, then the 32-byte set of include characters  (one item)
// A character set holds one bit per character code: bit c mod 8 of byte c div 8.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kura {

constexpr int kMaxWordLength = 60;
constexpr int kMaxWordOccurrences = 65535;

using TCharSet = std::array<uint8_t, 32>;

inline bool InCharSet(const TCharSet& set, uint8_t c) { return (set[c / 8] >> (c % 8)) & 1; }
inline void AddToCharSet(TCharSet& set, uint8_t c) { set[c / 8] = static_cast<uint8_t>(set[c / 8] | (1 << (c % 8))); }

struct TTextIndexParameters {
  std::vector<std::string> StopWords;
  TCharSet SpaceChars{};
  TCharSet IncludeChars{};
};

// The parameters of an index without a parameter chain.
TTextIndexParameters DefaultTextIndexParameters();

// The parameter stream cut into page-sized pieces of `pageBytes` each, items whole.
std::vector<std::vector<uint8_t>> EncodeTextParameters(const TTextIndexParameters& parameters, int pageBytes);
// Reads the stream from the pages of a chain. `nextPage` returns the bytes of the next
// page of the chain, or nullptr at its end. False when the stream is malformed.
bool DecodeTextParameters(const std::function<const std::vector<uint8_t>*()>& nextPage,
                          TTextIndexParameters& parameters);

struct TTextWord {
  std::string Word;
  uint32_t Count = 0;     // sorted mode: occurrences, at most 65535
  uint32_t Position = 0;  // ordered mode: offset of the word's first character
};

// Upper-cases a word in place (the table's locale); compares two words with the table's
// collation (negative, 0, positive).
struct TWordRules {
  std::function<void(std::string&)> UpperCase;
  std::function<int(const std::string&, const std::string&)> Compare;
};

// The rules of a table's language driver: upper case and collation of the driver (US
// English and byte order for LocaleId 0).
TWordRules WordRulesFor(uint16_t localeId, uint16_t sortId);

// Splits text into words: a space character (except '*' when wildcards are allowed)
// ends a word; an include character (or '*' with wildcards) is appended while the word
// has fewer than 60 characters; any other character is skipped. Words are upper-cased
// and stop words dropped. sorted: a sorted list without duplicates with occurrence
// counts; otherwise the words in order with the position of their first character.
std::vector<TTextWord> SplitWords(std::string_view text, const TTextIndexParameters& parameters,
                                  const TWordRules& rules, bool allowWildcards, bool sorted);

// The "Sys Text" keys of one field's text: one per distinct word that is not a stop
// word, in key order (index_key.h gives the key layout).
std::vector<std::vector<uint8_t>> BuildTextIndexKeys(uint16_t fieldNo, std::string_view text, int32_t uniqueId,
                                                     const TTextIndexParameters& parameters, const TWordRules& rules);

}  // namespace kura
