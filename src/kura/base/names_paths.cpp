#include "kura/base/names_paths.h"

#include <unistd.h>

#include <cstdlib>

namespace kura {

namespace {

constexpr char ToUpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr bool IsBlank(char c) { return static_cast<uint8_t>(c) <= ' '; }

// Position of the last delimiter, or npos.
size_t LastDelimiter(std::string_view name) {
  for (size_t i = name.size(); i > 0; --i) {
    if (IsPathDelimiter(name[i - 1])) return i - 1;
  }
  return std::string_view::npos;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToUpperAscii(a[i]) != ToUpperAscii(b[i])) return false;
  }
  return true;
}

bool SameName(std::string_view a, std::string_view b) { return SameText(TrimBlanks(a), TrimBlanks(b)); }

std::string UpperCaseAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = ToUpperAscii(c);
  return result;
}

std::string NormalizePath(std::string_view name) {
  std::string result(name);
  for (char& c : result) {
    if (c == '\\') c = kPathDelimiter;
  }
  return result;
}

std::string IncludeTrailingDelimiter(std::string_view dir) {
  std::string result = NormalizePath(TrimBlanks(dir));
  if (!result.empty() && result.back() != kPathDelimiter) result += kPathDelimiter;
  return result;
}

std::string StripDelimiters(std::string_view name) {
  name = TrimBlanks(name);
  const bool absolute = !name.empty() && name.front() == kPathDelimiter;
  while (!name.empty() && IsPathDelimiter(name.front())) name.remove_prefix(1);
  while (!name.empty() && IsPathDelimiter(name.back())) name.remove_suffix(1);
  std::string result;
  if (absolute) result += kPathDelimiter;
  result += NormalizePath(name);
  return result;
}

bool HasPath(std::string_view name) { return name.empty() || LastDelimiter(name) != std::string_view::npos; }

std::string_view ExtractFileName(std::string_view name) {
  const size_t delimiter = LastDelimiter(name);
  return delimiter == std::string_view::npos ? name : name.substr(delimiter + 1);
}

std::string_view ExtractExtension(std::string_view name) {
  const std::string_view fileName = ExtractFileName(name);
  const size_t dot = fileName.rfind('.');
  return dot == std::string_view::npos ? std::string_view{} : fileName.substr(dot);
}

std::string StripExtension(std::string_view name, std::string_view ext) {
  const std::string_view current = ExtractExtension(name);
  if (!current.empty() && (ext.empty() || SameText(current, ext))) {
    return std::string(name.substr(0, name.size() - current.size()));
  }
  return std::string(name);
}

std::string TableBaseName(std::string_view name, std::string_view ext) {
  return StripExtension(ExtractFileName(name), ext);
}

std::string ForceExtension(std::string_view name, std::string_view ext, std::string_view newExt) {
  std::string_view trimmed = TrimBlanks(name);
  const std::string_view current = ExtractExtension(trimmed);
  if (SameText(current, ext)) trimmed.remove_suffix(current.size());
  std::string result(trimmed);
  result += newExt;
  return result;
}

std::string RemoveLineBreaks(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') result += c;
  }
  return result;
}

std::string TempNameStem() {
  const long id = std::labs(static_cast<long>(gettid()));
  return std::to_string(id).substr(0, 5);
}

std::string MakeTempFileName(std::string_view dir, std::string_view ext,
                             const std::function<bool(const std::string&)>& fileExists) {
  const std::string prefix = IncludeTrailingDelimiter(dir) + TempNameStem();
  for (uint64_t counter = 0;; ++counter) {
    std::string name = prefix + std::to_string(counter);
    name += ext;
    if (!fileExists(name)) return name;
  }
}

}  // namespace kura
