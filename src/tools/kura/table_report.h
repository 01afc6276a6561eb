#pragma once

// The work of the kura command-line tool, kept out of main() so that it can be tested:
// each command writes its report to `out` (errors to `err`) and returns the process's
// exit status.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "kura/storage/field_definition.h"

namespace kura::tool {

// The data file name of a table argument: the path as given when it ends in ".DAT" (any
// letter case), otherwise with ".DAT" appended.
std::string DataFileNameOf(const std::string& table);

// The index file name of a table argument: the data file name with ".IDX" instead of
// ".DAT".
std::string IndexFileNameOf(const std::string& table);
// The BLOB file name of a table argument (".BLB").
std::string BlobFileNameOf(const std::string& table);

// "kura info TABLE": header fields and a table of the field definitions, and when the
// table has an index file, its index descriptors (number, name, fields, flags,
// compression, key size, root page, records). 0, or 1 with the engine's message when a
// file cannot be read.
int InfoCommand(const std::string& table, std::ostream& out, std::ostream& err);

// "kura verify TABLE": "ok" and 0 when the data file passes its consistency check and
// its chain of deleted slots is sound; when the table has a BLOB file, its header check
// and its chain of free blocks pass; and when it has an index file, its header check and
// the tree check of every index (key order, counts, sibling links) pass, and every
// active record is in every index exactly once under its own key with the header's
// active count equal to the data file's. Otherwise the engine's message, or the index
// and its first inconsistency, and 1. A damaged file adds a line
// "damage found in FILE: PLACE" naming what was found damaged and where (header field,
// record slot, block or page, with its byte offset). Bytes beyond what a file's header
// declares are no damage: a line "warning: FILE: N bytes beyond the last record" (block,
// page) each, before the verdict. An index file made anew when it was missing ("index
// definitions lost: ...") fails the table. A table whose journal holds a commit that did
// not finish is not judged: a line "interrupted commit: ..." and 1.
int VerifyCommand(const std::string& table, std::ostream& out);

// "kura repair TABLE": rolls back an interrupted commit, makes the data file whole again
// where it can (see TDataCursor::RepairTable), and rebuilds every index of the table
// from its data file (the old index file kept as ".IBK"); "repaired" followed by a line
// for each thing it found and did, and 0, or the engine's message and 1. The table must
// not be open elsewhere.
int RepairCommand(const std::string& table, std::ostream& out);

// "kura count TABLE FILTER": the number of records that pass the filter expression; with
// explain also the filter's optimisation level and which index served each part. 0, or
// the engine's message (a bad filter's included) and 1.
int CountCommand(const std::string& table, const std::string& filter, bool explain, std::ostream& out);
// "kura dump TABLE [--filter F] [--index NAME]": the records as a table (a header row of
// field names, one row per record in the index's order, NULL shown empty), then the
// number of records. 0, or the engine's message and 1.
int DumpCommand(const std::string& table, const std::string& filter, const std::string& index, std::ostream& out);
// The value of one field of a record as the tool shows it, in UTF-8: "" for NULL,
// "(memo)" or "(blob)" for a BLOB, otherwise the value's text; strings are held in
// `codePage`.
std::string FieldText(const TFieldDefinition& field, const uint8_t* record, uint16_t codePage);
// Table text (names, value texts) held in `codePage`, as UTF-8.
std::string Shown(const std::string& text, uint16_t codePage);
// Rows as columns aligned by their display width.
void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows);
// Parses the arguments (without the program name) and runs the command; 2 with a usage
// text for anything else.
int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace kura::tool
