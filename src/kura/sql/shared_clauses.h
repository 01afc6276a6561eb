#pragma once

// Clauses that several statement grammars share.

namespace kura {

class TSqlReader;
struct TTableOptions;

// LANGUAGE name [SORT name] at the current token (the keyword LANGUAGE): the language
// must be one the language drivers know ("Invalid language constant '...' specified
// after LANGUAGE keyword") and the sort order one of that language's ("Invalid sort
// constant ..."). Sets options.LocaleId and, when SORT is written, options.SortId.
void ParseLanguageClause(TSqlReader& reader, TTableOptions& options);

}  // namespace kura
