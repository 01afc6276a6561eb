#include "kura/storage/text_index_words.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "kura/base/byte_order.h"
#include "kura/base/collation.h"
#include "kura/storage/index_key.h"

namespace kura {

TTextIndexParameters DefaultTextIndexParameters() {
  TTextIndexParameters p;
  p.StopWords = {"A",  "AN",   "AND", "BE",   "FOR",  "HOW",   "IN",  "IS",   "IT",   "OF",   "ON",
                 "OR", "THAT", "THE", "THIS", "TO",   "WAS",   "WHAT", "WHEN", "WHICH", "WHY", "WILL"};
  for (int c = 1; c <= 32; ++c) AddToCharSet(p.SpaceChars, static_cast<uint8_t>(c));
  for (const char c : std::string_view("*+,-./:;<=>\\`")) AddToCharSet(p.SpaceChars, static_cast<uint8_t>(c));
  for (int c = 'A'; c <= 'Z'; ++c) AddToCharSet(p.IncludeChars, static_cast<uint8_t>(c));
  for (int c = 'a'; c <= 'z'; ++c) AddToCharSet(p.IncludeChars, static_cast<uint8_t>(c));
  for (int c = '0'; c <= '9'; ++c) AddToCharSet(p.IncludeChars, static_cast<uint8_t>(c));
  AddToCharSet(p.IncludeChars, '_');
  for (int c = 128; c <= 254; ++c) AddToCharSet(p.IncludeChars, static_cast<uint8_t>(c));
  return p;
}

std::vector<std::vector<uint8_t>> EncodeTextParameters(const TTextIndexParameters& p, int pageBytes) {
  std::vector<std::vector<uint8_t>> pages(1);
  auto put = [&](const std::vector<uint8_t>& item) {
    if (static_cast<int>(pages.back().size() + item.size()) > pageBytes) pages.emplace_back();
    // An item longer than a page (a stop word of more than pageBytes - 4 characters)
    // cannot be stored whole; it is cut to fit.
    const size_t n = std::min<size_t>(item.size(), static_cast<size_t>(pageBytes));
    pages.back().insert(pages.back().end(), item.begin(), item.begin() + static_cast<std::ptrdiff_t>(n));
  };
  auto intItem = [](int32_t v) {
    std::vector<uint8_t> item(4);
    WriteI32(item.data(), v);
    return item;
  };
  int32_t written = 0;
  for (const std::string& word : p.StopWords) written += word.empty() ? 0 : 1;
  pages.back().clear();
  put(intItem(written));
  for (const std::string& word : p.StopWords) {
    if (word.empty()) continue;
    const size_t length = std::min<size_t>(word.size(), static_cast<size_t>(pageBytes - 4));
    std::vector<uint8_t> item = intItem(static_cast<int32_t>(length));
    item.insert(item.end(), word.begin(), word.begin() + static_cast<std::ptrdiff_t>(length));
    put(item);
  }
  for (const TCharSet* set : {&p.SpaceChars, &p.IncludeChars}) {
    std::vector<uint8_t> item = intItem(32);
    item.insert(item.end(), set->begin(), set->end());
    put(item);
  }
  for (auto& page : pages) page.resize(static_cast<size_t>(pageBytes), 0);
  return pages;
}

bool DecodeTextParameters(const std::function<const std::vector<uint8_t>*()>& nextPage, TTextIndexParameters& p) {
  const std::vector<uint8_t>* page = nextPage();
  if (!page || page->size() < 4) return false;
  size_t at = 0;
  // The int32 that starts the next item. Items never straddle pages, so when fewer than
  // 4 bytes are left, or the rest of the page is zero padding (no item starts with 0:
  // empty stop words are never written), the item starts on the next page.
  auto itemHead = [&](int32_t& value) -> bool {
    if (at + 4 <= page->size()) {
      value = ReadI32(page->data() + at);
      if (value != 0) return true;
    }
    page = nextPage();
    at = 0;
    if (!page || page->size() < 4) return false;
    value = ReadI32(page->data());
    return true;
  };
  const int32_t count = ReadI32(page->data());
  at = 4;
  if (count < 0 || count > 100000) return false;
  p.StopWords.clear();
  for (int32_t i = 0; i < count; ++i) {
    int32_t length = 0;
    if (!itemHead(length)) return false;
    if (length <= 0 || at + 4 + static_cast<size_t>(length) > page->size()) return false;
    p.StopWords.emplace_back(reinterpret_cast<const char*>(page->data() + at + 4), static_cast<size_t>(length));
    at += 4 + static_cast<size_t>(length);
  }
  for (TCharSet* set : {&p.SpaceChars, &p.IncludeChars}) {
    int32_t size = 0;
    if (!itemHead(size) || size != 32 || at + 36 > page->size()) return false;
    std::memcpy(set->data(), page->data() + at + 4, 32);
    at += 36;
  }
  return true;
}

TWordRules WordRulesFor(uint16_t localeId, uint16_t sortId) {
  TWordRules rules;
  rules.UpperCase = [localeId, sortId](std::string& word) { UpperCaseText(localeId, sortId, word); };
  rules.Compare = [localeId, sortId](const std::string& a, const std::string& b) {
    return CollateCompare(localeId, sortId, a, b, false);
  };
  return rules;
}

std::vector<TTextWord> SplitWords(std::string_view text, const TTextIndexParameters& parameters,
                                  const TWordRules& rules, bool allowWildcards, bool sorted) {
  std::vector<TTextWord> words;
  std::string word;
  uint32_t start = 0;
  auto finish = [&]() {
    if (word.empty()) return;
    if (rules.UpperCase) rules.UpperCase(word);
    const bool stop = std::any_of(parameters.StopWords.begin(), parameters.StopWords.end(), [&](const std::string& s) {
      return rules.Compare ? rules.Compare(s, word) == 0 : s == word;
    });
    if (!stop) {
      if (!sorted) {
        words.push_back({word, 1, start});
      } else {
        auto less = [&](const TTextWord& a, const std::string& b) {
          return rules.Compare ? rules.Compare(a.Word, b) < 0 : a.Word < b;
        };
        auto it = std::lower_bound(words.begin(), words.end(), word, less);
        if (it != words.end() && (rules.Compare ? rules.Compare(it->Word, word) == 0 : it->Word == word)) {
          if (it->Count < kMaxWordOccurrences) ++it->Count;
        } else {
          words.insert(it, {word, 1, start});
        }
      }
    }
    word.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<uint8_t>(text[i]);
    const bool wildcard = allowWildcards && c == '*';
    if (!wildcard && InCharSet(parameters.SpaceChars, c)) {
      finish();
    } else if (wildcard || InCharSet(parameters.IncludeChars, c)) {
      if (word.empty()) start = static_cast<uint32_t>(i);
      if (word.size() < kMaxWordLength) word.push_back(static_cast<char>(c));
    }
  }
  finish();
  return words;
}

std::vector<std::vector<uint8_t>> BuildTextIndexKeys(uint16_t fieldNo, std::string_view text, int32_t uniqueId,
                                                     const TTextIndexParameters& parameters, const TWordRules& rules) {
  std::vector<std::vector<uint8_t>> keys;
  for (const TTextWord& word : SplitWords(text, parameters, rules, false, true)) {
    std::vector<uint8_t> key(kSysTextKeySize);
    BuildSysTextKey(fieldNo, reinterpret_cast<const uint8_t*>(word.Word.data()), word.Word.size(), uniqueId,
                    key.data());
    keys.push_back(std::move(key));
  }
  return keys;
}

}  // namespace kura
