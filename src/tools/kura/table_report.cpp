#include "tools/kura/table_report.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <vector>

#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include "kura/base/calendar.h"
#include "kura/base/code_page_text.h"
#include "kura/base/collation.h"
#include "kura/base/engine_error.h"
#include "kura/base/language_driver.h"
#include "kura/base/names_paths.h"
#include "kura/base/text_forms.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_file.h"
#include "kura/storage/index_tree.h"
#include "kura/storage/index_walker.h"
#include "kura/storage/table_files.h"
#include "kura/storage/table_journal.h"
#include "tools/kura/sql_shell.h"

namespace kura::tool {

namespace {

const char* TypeName(TFieldType type) {
  switch (type) {
    case TFieldType::String: return "String";
    case TFieldType::Date: return "Date";
    case TFieldType::Blob: return "BLOB";
    case TFieldType::Boolean: return "Boolean";
    case TFieldType::SmallInt: return "SmallInt";
    case TFieldType::Integer: return "Integer";
    case TFieldType::Float: return "Float";
    case TFieldType::Bcd: return "BCD";
    case TFieldType::Bytes: return "Bytes";
    case TFieldType::Time: return "Time";
    case TFieldType::Timestamp: return "Timestamp";
    case TFieldType::Word: return "Word";
    case TFieldType::LongWord: return "LongWord";
    case TFieldType::Extended: return "Extended";
    case TFieldType::VarBytes: return "VarBytes";
    case TFieldType::LargeInt: return "LargeInt";
    case TFieldType::Unknown: break;
  }
  return "?";
}

std::string SubTypeName(TFieldSubType subType) {
  switch (subType) {
    case TFieldSubType::None: return "";
    case TFieldSubType::Money: return "Money";
    case TFieldSubType::Memo: return "Memo";
    case TFieldSubType::Binary: return "Binary";
    case TFieldSubType::Graphic: return "Graphic";
    case TFieldSubType::AutoInc: return "AutoInc";
  }
  return std::to_string(static_cast<int>(subType));
}

std::string CharCaseName(TCharCase charCase) {
  switch (charCase) {
    case TCharCase::Keep: return "";
    case TCharCase::Lower: return "lower";
    case TCharCase::Upper: return "upper";
  }
  return std::to_string(static_cast<int>(charCase));
}

// The header's LastUpdated as date and time text. The stored value is the local time
// in days since 1899-12-30 less 693594, and day 693594 is 1899-12-30 itself.
std::string LastUpdatedText(double stored) {
  const double dayNumber = stored + 2 * 693594.0;
  const double timestamp = std::round(dayNumber * 86400000.0);
  if (!std::isfinite(timestamp) || !IsValidDate(static_cast<int32_t>(std::floor(dayNumber)))) return "-";
  return TimestampToText(timestamp);
}

std::string LocaleText(uint16_t localeId, uint16_t sortId) {
  std::ostringstream text;
  text << localeId;
  if (const TLanguageInfo* language = FindLanguage(localeId)) text << " (" << language->Name << ")";
  text << ", sort " << sortId;
  return text.str();
}

}  // namespace

// Table text (names, descriptions, value texts) in the code page the table holds it in,
// printed as UTF-8.
std::string Shown(const std::string& text, uint16_t codePage) {
  return CodePageToUtf8(codePage, text).value_or(text);
}

// Display width of UTF-8 text as a terminal shows it: two columns for a wide or
// fullwidth character (kanji, kana, fullwidth forms), one for any other; a byte that
// is no well-formed UTF-8 counts one.
static size_t Columns(const std::string& text) {
  size_t columns = 0;
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(text.data(), i, length, c);
    const auto width = static_cast<UEastAsianWidth>(u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH));
    columns += c >= 0 && (width == U_EA_WIDE || width == U_EA_FULLWIDTH) ? 2 : 1;
  }
  return columns;
}

void PrintTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Columns(row[i]));
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - Columns(row[i]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  }
}

namespace {

const char* CompressionName(TIndexCompression compression) {
  switch (compression) {
    case TIndexCompression::None: return "none";
    case TIndexCompression::DupByte: return "dupbyte";
    case TIndexCompression::TrailByte: return "trailbyte";
    case TIndexCompression::Full: return "full";
  }
  return "?";
}

std::string IndexName(int index, const TIndexDescriptor& d) {
  if (index == kPrimaryIndex) return "(primary)";
  return d.Name;
}

// The index file beside an open data file, opened with the table's fields and language
// driver; nullptr when the table has no index file.
std::unique_ptr<TIndexFile> OpenIndexFileOf(const TDataFile& data) {
  const std::string name = IndexFileNameOf(data.FileName);
  if (!std::filesystem::exists(name)) return nullptr;
  auto file = std::make_unique<TIndexFile>(name);
  file->SetTableInfo(data.FieldDefinitions(), data.LocaleId(), data.SortId(), data.Encrypted());
  file->OpenIndexFile();
  return file;
}

void PrintIndexes(const TDataFile& data, std::ostream& out, uint16_t codePage) {
  std::unique_ptr<TIndexFile> file = OpenIndexFileOf(data);
  if (!file) return;
  out << '\n';
  std::vector<std::vector<std::string>> rows = {
      {"Index", "Name", "Fields", "Flags", "Compression", "Key", "Root", "Records"}};
  for (int i = 0; i < kIndexCount; ++i) {
    if (!file->IndexInUse(i)) continue;
    const TIndexDescriptor& d = file->Descriptor(i);
    if (i == kPrimaryIndex && d.IndexFieldCount == 0) continue;
    std::string fields;
    for (int f = 0; f < std::min<int>(d.IndexFieldCount, kMaxIndexFields); ++f) {
      const TFieldDefinition* field = data.FieldByNumber(d.IndexFields[static_cast<size_t>(f)]);
      if (!fields.empty()) fields += ";";
      fields += field ? Shown(field->Name, codePage) : "#" + std::to_string(d.IndexFields[static_cast<size_t>(f)]);
      if (d.FieldDescending[static_cast<size_t>(f)]) fields += " desc";
    }
    std::string flags;
    auto flag = [&](bool on, const char* text) {
      if (!on) return;
      if (!flags.empty()) flags += ",";
      flags += text;
    };
    flag(d.Unique, "unique");
    flag(d.Descending, "descending");
    flag(d.CaseInsensitive, "nocase");
    flag(d.NoCounts, "nocounts");
    std::string records;
    try {
      records = std::to_string(TIndexTree(*file, i).KeyCount());
    } catch (const EKuraEngineError&) {
      records = "?";
    }
    rows.push_back({std::to_string(i), Shown(IndexName(i, d), codePage), fields, flags, CompressionName(d.Compression),
                    std::to_string(d.KeySize), std::to_string(d.RootPage), records});
  }
  PrintTable(out, rows);
}

// A warning line of a verify report for bytes beyond what a file's header declares: no
// reader looks there and the next writer (or a repair) cuts them.
template <typename TFile>
void WarnOfSurplus(TFile& file, const char* beyond, std::ostream& out) {
  if (const int64_t surplus = file.SurplusBytes(); surplus > 0) {
    out << "warning: " << ExtractFileName(file.FileName) << ": " << surplus << " bytes beyond the last " << beyond
        << '\n';
  }
}

// The second line of a verify report on a damaged file: where the damage was found.
void PrintDamagePlace(std::ostream& out, const std::string& place) {
  if (!place.empty()) out << "damage found in " << place << '\n';
}

// Cross-checks the index file against the data file: every active record is in every
// regular index exactly once under the key its values give, no key names a deleted or
// missing slot, the internal record index lists every slot once under its state and
// unique id, and the header's active count is the data file's. The first problem in
// words, or empty.
std::string CrossCheck(TDataFile& data, TIndexFile& index) {
  const int32_t count = data.RecordCount();
  std::vector<uint8_t> states(static_cast<size_t>(count) + 1, kRecordDeleted);
  std::vector<int32_t> ids(static_cast<size_t>(count) + 1, 0);
  int32_t active = 0;
  for (int32_t recNo = 1; recNo <= count; ++recNo) {
    TRecordPin record(data, data.GetRecord(recNo, TReadAhead{true, false, count - recNo + 1}));
    states[static_cast<size_t>(recNo)] = record->State();
    ids[static_cast<size_t>(recNo)] = record->UniqueId();
    if (!record->IsDeleted()) ++active;
  }
  if (index.ActiveRecordCount() != active) {
    return "the index header counts " + std::to_string(index.ActiveRecordCount()) +
           " active records, the data file holds " + std::to_string(active);
  }
  TLanguageKeyTextMapper mapper(data.LocaleId(), data.SortId());
  std::vector<uint8_t> seen(static_cast<size_t>(count) + 1);
  std::vector<uint8_t> expected(kMaxKeySize);
  for (int i = 0; i <= kSysDeletedIndex; ++i) {
    const bool records = i == kSysDeletedIndex;
    if (!index.IndexInUse(i) || (!records && index.Descriptor(i).IndexFieldCount == 0)) continue;
    const std::string where = "index " + std::to_string(i) + " (" + IndexName(i, index.Descriptor(i)) + "): ";
    std::optional<TIndexKeyBuilder> builder;
    if (!records) builder.emplace(index.Descriptor(i), data.FieldDefinitions(), data.LocaleId(), &mapper);
    const TIndexKeyComparer comparer = index.Comparer(i);
    std::fill(seen.begin(), seen.end(), 0);
    TIndexWalker walker(index, i);
    for (bool ok = walker.First(); ok; ok = walker.Next()) {
      const int32_t recNo = walker.Value();
      if (recNo < 1 || recNo > count) return where + "a key names slot " + std::to_string(recNo) + " beyond the data";
      const auto slot = static_cast<size_t>(recNo);
      if (!records && states[slot] != kRecordActive) {
        return where + "a key names the deleted record " + std::to_string(recNo);
      }
      if (seen[slot]++ != 0) return where + "record " + std::to_string(recNo) + " is listed twice";
      if (records) {
        BuildSysDeletedKey(states[slot], ids[slot], expected.data());
      } else {
        TRecordPin record(data, data.GetRecord(recNo));
        builder->BuildKey(record->Bytes(), expected.data());
      }
      if (comparer.Compare(walker.Key().data(), expected.data()) != 0) {
        return where + "the key of record " + std::to_string(recNo) + " does not match its values";
      }
    }
    for (int32_t recNo = 1; recNo <= count; ++recNo) {
      const auto slot = static_cast<size_t>(recNo);
      if (seen[slot] == 0 && (records || states[slot] == kRecordActive)) {
        return where + "record " + std::to_string(recNo) + " is missing";
      }
    }
  }
  return {};
}

}  // namespace

std::string IndexFileNameOf(const std::string& table) {
  return TableFileName("", DataFileNameOf(table), kIndexFileExtension);
}

std::string BlobFileNameOf(const std::string& table) { return TableFileName("", DataFileNameOf(table), kBlobFileExtension); }

std::string DataFileNameOf(const std::string& table) {
  // The argument names a file: its own spelling of the extension is kept.
  return SameText(ExtractExtension(table), kDataFileExtension) ? table : table + kDataFileExtension;
}

int InfoCommand(const std::string& table, std::ostream& out, std::ostream& err) {
  try {
    TDataFile file(DataFileNameOf(table));
    file.OpenDataFile();
    const TDataFileHeader& h = file.Header();
    const uint16_t codePage = TextCodePage(h.LocaleId);
    const std::vector<std::vector<std::string>> header = {
        {"File:", file.FileName},
        {"Format version:", std::to_string(h.FormatVersion)},
        {"Engine version:",
         std::to_string(h.EngineVersion / 10000) + "." + std::to_string(h.EngineVersion % 10000 / 100)},
        {"Records:", std::to_string(file.RecordCount())},
        {"First free slot:", std::to_string(h.FirstFreeRecord)},
        {"Record size:", std::to_string(h.RecordSize)},
        {"Fields:", std::to_string(h.FieldCount)},
        {"BLOB fields:", std::to_string(h.BlobFieldCount)},
        {"BLOB block size:", std::to_string(file.BlobBlockSize())},
        {"Change count:", std::to_string(h.ChangeCount)},
        {"Last updated:", LastUpdatedText(h.LastUpdated)},
        {"Last auto-increment:", std::to_string(h.LastAutoIncValue)},
        {"Last BLOB id:", std::to_string(h.LastBlobId)},
        {"Locale:", LocaleText(h.LocaleId, h.SortId)},
        {"Encrypted:", h.Encrypted ? "yes" : "no"},
        {"Description:", Shown(h.Description, codePage)},
        {"Text code page:", std::to_string(codePage)},
        {"User version:", std::to_string(h.UserMajorVersion) + "." + std::to_string(h.UserMinorVersion)},
    };
    PrintTable(out, header);
    out << '\n';
    std::vector<std::vector<std::string>> fields = {{"No", "Name", "Type", "Subtype", "Size", "Scale", "Data",
                                                     "Offset", "Req", "Case", "Min", "Max", "Default"}};
    for (const TFieldDefinition& d : file.FieldDefinitions()) {
      fields.push_back({std::to_string(d.FieldNo), Shown(d.Name, codePage), TypeName(d.FieldType),
                        SubTypeName(d.SubType), std::to_string(d.Size), std::to_string(d.Scale),
                        std::to_string(d.DataSize), std::to_string(d.Offset), d.Required ? "yes" : "",
                        CharCaseName(d.CharCase), Shown(d.MinValue, codePage), Shown(d.MaxValue, codePage),
                        Shown(d.DefaultValue, codePage)});
    }
    PrintTable(out, fields);
    PrintIndexes(file, out, codePage);
    return 0;
  } catch (const EKuraEngineError& error) {
    err << error.what() << '\n';
    return 1;
  }
}

int VerifyCommand(const std::string& table, std::ostream& out) {
  try {
    // The files of a table in the middle of a commit are half old, half new: there is
    // nothing to judge until the commit is rolled back.
    if (const std::string journal = TableJournalFileName(DataFileNameOf(table)); TTableJournal::HoldsCommit(journal)) {
      out << "interrupted commit: " << ExtractFileName(journal)
          << " holds a commit that did not finish; opening the table rolls it back\n";
      return 1;
    }
    TDataFile file(DataFileNameOf(table));
    file.OpenDataFile();
    file.CheckHeader();
    file.CheckFreeChain();
    WarnOfSurplus(file, "record", out);
    // The BLOB file exists only for tables with BLOB fields; its header must agree with
    // the data file's block size and encryption.
    if (const std::string blobName = BlobFileNameOf(file.FileName); std::filesystem::exists(blobName)) {
      TBlobFile blobs(blobName);
      blobs.OpenBlobFile(file.BlobBlockSize(), file.Encrypted());
      blobs.CheckHeader();
      blobs.CheckFreeChain();
      WarnOfSurplus(blobs, "block", out);
    }
    bool sound = true;
    if (std::unique_ptr<TIndexFile> index = OpenIndexFileOf(file)) {
      index->CheckHeader();
      WarnOfSurplus(*index, "page", out);
      if (index->DefinitionsLost()) {
        out << "index definitions lost: " << ExtractFileName(index->FileName)
            << " was made anew when it was missing; the table has no primary or secondary indexes until they are "
               "defined again\n";
        sound = false;
      }
      for (int i = 0; i < kIndexCount; ++i) {
        if (!index->IndexInUse(i)) continue;
        const TIndexCheckResult result = CheckIndexTree(*index, i);
        if (!result.Ok) {
          out << "index " << i << " (" << IndexName(i, index->Descriptor(i)) << "): " << result.Problem << '\n';
          PrintDamagePlace(out, result.DamagePlace);
          return 1;
        }
      }
      if (const std::string problem = CrossCheck(file, *index); !problem.empty()) {
        out << problem << '\n';
        return 1;
      }
    }
    if (!sound) return 1;
    out << "ok\n";
    return 0;
  } catch (const EKuraEngineError& error) {
    out << error.what() << '\n';
    // The table files' corruption errors carry where the damage was found; the engine
    // message does not show it.
    PrintDamagePlace(out, error.ErrorExtraMessage);
    return 1;
  }
}

int RepairCommand(const std::string& table, std::ostream& out) {
  try {
    const std::filesystem::path path(DataFileNameOf(table));
    TDataSession session;
    TDataDirectory* directory = session.OpenDirectory("", path.has_parent_path() ? path.parent_path().string() : ".");
    TDataCursor cursor(*directory);
    cursor.SetTableName(path.filename().string());
    cursor.SetExclusive(true);
    const TRepairReport report = cursor.RepairTable();
    out << "repaired\n";
    for (const std::string& line : report.Lines) out << line << '\n';
    return 0;
  } catch (const EKuraEngineError& error) {
    out << error.what() << '\n';
    return 1;
  }
}

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i];
    if (word != "--codepage") {
      words.push_back(word);
      continue;
    }
    // The code page of tables without a language driver (LocaleId 0).
    int codePage = 0;
    if (i + 1 < argc) {
      std::istringstream number(argv[++i]);
      if (!(number >> codePage) || !number.eof()) codePage = 0;
    }
    if (codePage <= 0 || codePage > 65535 || !SetEngineAnsiCodePage(static_cast<uint16_t>(codePage))) {
      err << "kura: unsupported code page" << (i < argc ? std::string(" '") + argv[i] + "'" : std::string()) << '\n';
      return 2;
    }
  }
  if (!words.empty() && words[0] == "sql") {
    return SqlCommand({words.begin() + 1, words.end()}, std::cin, isatty(STDIN_FILENO) != 0,
                      isatty(STDOUT_FILENO) != 0, out, err);
  }
  if (words.size() == 2 && words[0] == "info") return InfoCommand(words[1], out, err);
  if (words.size() == 2 && words[0] == "verify") return VerifyCommand(words[1], out);
  if (words.size() == 2 && words[0] == "repair") return RepairCommand(words[1], out);
  if ((words.size() == 3 || words.size() == 4) && words[0] == "count") {
    const bool explain = words.size() == 4 && words[3] == "--explain";
    if (words.size() == 3 || explain) return CountCommand(words[1], words[2], explain, out);
  }
  if (words.size() >= 2 && words[0] == "dump") {
    std::string filter;
    std::string index;
    bool valid = true;
    for (size_t i = 2; i < words.size(); ++i) {
      if (words[i] == "--filter" && i + 1 < words.size()) {
        filter = words[++i];
      } else if (words[i] == "--index" && i + 1 < words.size()) {
        index = words[++i];
      } else {
        valid = false;
      }
    }
    if (valid) return DumpCommand(words[1], filter, index, out);
  }
  err << "usage: kura [--codepage N] info TABLE\n"
         "       kura [--codepage N] verify TABLE\n"
         "       kura repair TABLE\n"
         "       kura [--codepage N] count TABLE FILTER [--explain]\n"
         "       kura [--codepage N] dump TABLE [--filter FILTER] [--index NAME]\n"
         "       kura [--codepage N] sql [--create] [--param VALUE]... DIR [-f FILE | -c TEXT]\n"
         "TABLE is the data file's path, with or without \".DAT\". Text of tables without a\n"
         "language driver is read in code page N (default 932) and printed as UTF-8.\n";
  return 2;
}

}  // namespace kura::tool
