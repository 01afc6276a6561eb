#pragma once

// Names and paths shared by the storage layer and the SQL engine: the character
// classes of identifiers, trimming and case-insensitive comparison of names, and the
// small operations on file names.
//
// Paths use "/" as their delimiter. Names that come from elsewhere (SQL texts, old
// table definitions) may use "\": every operation that looks for a delimiter accepts
// both, and NormalizePath turns "\" into "/".

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kura {

constexpr char kPathDelimiter = '/';

// Character classes of identifiers.
// Name start: A-Z, a-z, "_" and bytes 128 to 254.
constexpr bool IsNameStartChar(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}
// Name character: a name start character or a digit.
constexpr bool IsNameChar(uint8_t c) { return IsNameStartChar(c) || (c >= '0' && c <= '9'); }
// Allowed inside names by the expression scanner: "!", "$", "@".
constexpr bool IsNameExtraChar(uint8_t c) { return c == '!' || c == '$' || c == '@'; }
// Separators: * + , - . / : ; < = > \ and the back-quote.
constexpr bool IsSeparatorChar(uint8_t c) {
  switch (c) {
    case '*': case '+': case ',': case '-': case '.': case '/': case ':':
    case ';': case '<': case '=': case '>': case '\\': case '`':
      return true;
    default:
      return false;
  }
}
constexpr bool IsPathDelimiter(char c) { return c == '/' || c == '\\'; }

// The text without leading and trailing blanks and control characters (bytes <= 32).
std::string_view TrimBlanks(std::string_view text);
// Equal without regard to the case of ASCII letters.
bool SameText(std::string_view a, std::string_view b);
// Names of tables, fields, indexes and directories: equal after trimming, without
// regard to case.
bool SameName(std::string_view a, std::string_view b);
// ASCII letters upper-cased; every other byte unchanged.
std::string UpperCaseAscii(std::string_view text);

// Every "\" replaced by "/".
std::string NormalizePath(std::string_view name);
// Trimmed and normalized; when not empty and not ending in "/", "/" is appended.
std::string IncludeTrailingDelimiter(std::string_view dir);
// Trimmed and normalized, then the delimiters at both ends removed, except that a
// leading "/" stays so that an absolute path keeps its root ("/" itself stays "/").
std::string StripDelimiters(std::string_view name);
// True when the name is empty or contains a delimiter, so that it is not a bare name
// to be looked up in a database directory. (A drive colon means nothing here: ":" is
// an ordinary character of a file name.)
bool HasPath(std::string_view name);
// The extension of the name's last component including its ".", or "" when the last
// component has no ".".
std::string_view ExtractExtension(std::string_view name);
// The last component of the name (after the last delimiter).
std::string_view ExtractFileName(std::string_view name);
// When the name has an extension and `ext` is empty or equal to it without regard to
// case, the name without the extension; otherwise the name unchanged.
std::string StripExtension(std::string_view name, std::string_view ext);
// The name without its directory part, then StripExtension.
std::string TableBaseName(std::string_view name, std::string_view ext);
// The trimmed name; when its extension equals `ext` without regard to case, that
// extension is replaced by `newExt`, otherwise `newExt` is appended.
std::string ForceExtension(std::string_view name, std::string_view ext, std::string_view newExt);
// The text without carriage returns and line feeds.
std::string RemoveLineBreaks(std::string_view text);

// The first five characters of the decimal text of the absolute value of the calling
// thread's identifier: the stem of every temporary name the thread makes.
std::string TempNameStem();
// The temporary-name rule: for n = 0, 1, 2, ... the name
// IncludeTrailingDelimiter(dir) + TempNameStem() + n + ext, and the first one for which
// `fileExists` is false is returned. The file layer passes its own lookup: the memory
// files for an in-memory directory, the disk otherwise.
std::string MakeTempFileName(std::string_view dir, std::string_view ext,
                             const std::function<bool(const std::string&)>& fileExists);

}  // namespace kura
