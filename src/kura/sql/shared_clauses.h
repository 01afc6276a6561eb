#pragma once

// Clauses that several statement grammars share.

namespace kura {

class TSqlReader;
struct TTableOptions;

// The rest of LANGUAGE name [SORT name], the keyword LANGUAGE read: the language must
// be one the language drivers know ("Invalid language constant '...' specified after
// LANGUAGE keyword") and the sort order one of that language's ("Invalid sort constant
// ..."). Sets options.LocaleId and, when SORT is written, options.SortId.
void ParseLanguageClause(TSqlReader& reader, TTableOptions& options);
// The rest of ENCRYPTED WITH name, the keyword ENCRYPTED read: the name is the password
// (an empty name: not encrypted).
void ParseEncryptedClause(TSqlReader& reader, TTableOptions& options);

}  // namespace kura
