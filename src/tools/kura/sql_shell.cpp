#include "tools/kura/sql_shell.h"

#include <readline/history.h>
#include <readline/readline.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"
#include "kura/base/code_page_text.h"
#include "kura/base/collation.h"
#include "kura/base/engine_error.h"
#include "kura/base/names_paths.h"
#include "kura/base/scope_guard.h"
#include "kura/base/text_forms.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/expr/expression_type_rules.h"
#include "kura/sql/data_query.h"
#include "kura/sql/definition_text.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/select_execute.h"
#include "kura/storage/record.h"
#include "tools/kura/table_report.h"

namespace kura::tool {

// ---- statements of a script ----

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string Trimmed(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

// True when the text holds something besides blanks and whole comments.
bool HasContent(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsBlank(text[i])) continue;
    if (text.compare(i, 2, "/*") != 0) return true;
    const size_t close = text.find("*/", i + 2);
    if (close == std::string_view::npos) return true;
    i = close + 1;
  }
  return false;
}

}  // namespace

TStatementSplit SplitStatements(std::string_view text) {
  TStatementSplit split;
  size_t start = 0;
  size_t i = 0;
  auto skipTo = [&](std::string_view close, size_t from) {
    const size_t end = text.find(close, from);
    i = end == std::string_view::npos ? text.size() : end + close.size();
  };
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\'' || c == '"') {
      // A doubled quote closes the string and opens it again at once.
      skipTo(std::string_view(&c, 1), i + 1);
    } else if (c == '[') {
      skipTo("]", i + 1);
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      skipTo("*/", i + 2);
    } else if (c == ';') {
      const std::string_view statement = text.substr(start, i - start);
      if (HasContent(statement)) split.Statements.push_back(Trimmed(statement));
      start = ++i;
    } else {
      ++i;
    }
  }
  const std::string_view rest = text.substr(start);
  if (HasContent(rest)) split.Rest = Trimmed(rest);
  return split;
}

// ---- results ----

namespace {

constexpr std::pair<std::string_view, TOutputMode> kOutputModes[] = {
    {"table", TOutputMode::Table}, {"csv", TOutputMode::Csv}, {"tsv", TOutputMode::Tsv}, {"json", TOutputMode::Json}};

}  // namespace

std::optional<TOutputMode> OutputModeByName(std::string_view name) {
  for (const auto& [modeName, mode] : kOutputModes) {
    if (name == modeName) return mode;
  }
  return std::nullopt;
}

std::string_view OutputModeName(TOutputMode mode) {
  for (const auto& [modeName, known] : kOutputModes) {
    if (mode == known) return modeName;
  }
  return {};
}

TOutputMode DefaultOutputMode(bool outputIsTerminal) { return outputIsTerminal ? TOutputMode::Table : TOutputMode::Csv; }

namespace {

// The shortest text that reads back as the same double (std::to_chars without a
// precision); infinities and NaN, which have no such text, as the engine writes them.
std::string FloatText(double value) {
  if (!std::isfinite(value)) return FloatToText(value);
  char text[32];
  const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
  return std::string(text, written.ptr);
}

std::string BcdText(const uint8_t* bcd) {
  char text[kMaxBcdTextLength];
  const char* end = BcdToChars(bcd, text, text + sizeof text);
  return end == nullptr ? "?" : std::string(static_cast<const char*>(text), end);
}

// The text of a BLOB field of the current record: a memo's content from the cursor's
// code page, another BLOB's size; nullopt for an empty BLOB (which is NULL).
std::optional<std::string> BlobText(TDataCursor& cursor, const TFieldDefinition& field, uint8_t* record,
                                    uint16_t codePage) {
  int32_t size = 0;
  if (const int code = cursor.OpenBlob(field.FieldNo, record, TBlobOpenMode::Read, size); code != 0) {
    RaiseEngineError(static_cast<TErrorCode>(code));
  }
  const auto release = OnScopeExit([&] { cursor.FreeBlob(field.FieldNo, record); });
  if (size == 0) return std::nullopt;
  if (field.SubType != TFieldSubType::Memo) return "(BLOB " + std::to_string(size) + " bytes)";
  std::string bytes(static_cast<size_t>(size), '\0');
  int32_t count = 0;
  if (const int code =
          cursor.GetBlob(field.FieldNo, record, 0, size, reinterpret_cast<uint8_t*>(bytes.data()), count);
      code != 0) {
    RaiseEngineError(static_cast<TErrorCode>(code));
  }
  bytes.resize(static_cast<size_t>(count));
  return Shown(bytes, codePage);
}

std::optional<std::string> ValueText(TDataCursor& cursor, const TFieldDefinition& field, uint8_t* record,
                                     uint16_t codePage) {
  if (field.IsStored() && FieldIsNull(record, field)) return std::nullopt;
  const uint8_t* value = FieldValue(record, field);
  switch (field.FieldType) {
    case TFieldType::Float: return FloatText(ReadF64(value));
    case TFieldType::Bcd: return BcdText(value);
    case TFieldType::Blob: return BlobText(cursor, field, record, codePage);
    default: return FieldText(field, record, codePage);
  }
}

// A computed column of a live result: its value laid out as a one-field record.
std::optional<std::string> ComputedText(TDataCursor& cursor, const TFieldDefinition& field, const uint8_t* record,
                                        uint16_t codePage) {
  const TExpTree value = cursor.ComputeField(field, record);
  if (value->IsNull != 0) return std::nullopt;
  TFieldDefinition layout = field;
  layout.Computed = false;
  layout.Offset = 0;
  layout.DataSize = static_cast<uint8_t>(std::min<int32_t>(value->DataLength, 255));
  std::vector<uint8_t> image(1 + static_cast<size_t>(layout.DataSize) + 1, 0);
  image[0] = 1;
  std::memcpy(image.data() + 1, value->Data.data(), layout.DataSize);
  return ValueText(cursor, layout, image.data(), codePage);
}

}  // namespace

TResultSet ReadResult(TDataCursor& cursor) {
  const std::vector<TFieldDefinition>& fields = cursor.ResultFields();
  const uint16_t codePage = TextCodePage(cursor.LocaleId());
  TResultSet result;
  for (const TFieldDefinition& field : fields) {
    result.Columns.push_back({Shown(field.Name, codePage), field.FieldType, field.SubType});
  }
  std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
  cursor.SetToBegin();
  while (cursor.GetNextRecord(record.data()) == 0) {
    std::vector<std::optional<std::string>> row;
    for (const TFieldDefinition& field : fields) {
      row.push_back(field.Computed ? ComputedText(cursor, field, record.data(), codePage)
                                   : ValueText(cursor, field, record.data(), codePage));
    }
    result.Rows.push_back(std::move(row));
  }
  return result;
}

namespace {

// RFC 4180 field; the empty text is quoted so that it differs from NULL (an empty
// field).
std::string CsvValue(const std::optional<std::string>& value) {
  if (!value) return {};
  if (!value->empty() && value->find_first_of(",\"\r\n") == std::string::npos) return *value;
  std::string quoted = "\"";
  for (const char c : *value) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string TsvValue(const std::optional<std::string>& value) {
  std::string escaped;
  for (const char c : value.value_or(std::string())) {
    switch (c) {
      case '\t': escaped += "\\t"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '\\': escaped += "\\\\"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// A JSON number: optional minus, digits without a leading zero, optional fraction and
// exponent.
bool IsJsonNumber(const std::string& text) {
  size_t i = 0;
  auto digits = [&] {
    const size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - from;
  };
  if (i < text.size() && text[i] == '-') ++i;
  const size_t intStart = i;
  const size_t intDigits = digits();
  if (intDigits == 0 || (intDigits > 1 && text[intStart] == '0')) return false;
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

std::string JsonValue(const std::optional<std::string>& value, const TResultColumn& column) {
  if (!value) return "null";
  // A number's text that is none in JSON ("INF", "NAN", "?") has no JSON form.
  if (IsNumericType(column.Type)) return IsJsonNumber(*value) ? *value : "null";
  if (column.Type == TFieldType::Boolean && SameText(*value, "true")) return "true";
  if (column.Type == TFieldType::Boolean && SameText(*value, "false")) return "false";
  return JsonString(*value);
}

void PrintSeparated(std::ostream& out, const TResultSet& result, char separator,
                    std::string (*escape)(const std::optional<std::string>&)) {
  auto line = [&](const auto& values, const auto& text) {
    for (size_t i = 0; i < values.size(); ++i) {
      if (i > 0) out << separator;
      out << escape(text(values[i]));
    }
    out << '\n';
  };
  line(result.Columns, [](const TResultColumn& column) { return std::optional<std::string>(column.Name); });
  for (const auto& row : result.Rows) line(row, [](const std::optional<std::string>& value) { return value; });
}

}  // namespace

void PrintResult(std::ostream& out, const TResultSet& result, TOutputMode mode) {
  switch (mode) {
    case TOutputMode::Table: {
      std::vector<std::vector<std::string>> rows(1);
      for (const TResultColumn& column : result.Columns) rows[0].push_back(column.Name);
      for (const auto& row : result.Rows) {
        rows.emplace_back();
        for (const auto& value : row) rows.back().push_back(value.value_or("NULL"));
      }
      PrintTable(out, rows);
      out << "(" << result.Rows.size() << " row(s))\n";
      break;
    }
    case TOutputMode::Csv:
      PrintSeparated(out, result, ',', CsvValue);
      break;
    case TOutputMode::Tsv:
      PrintSeparated(out, result, '\t', TsvValue);
      break;
    case TOutputMode::Json:
      for (const auto& row : result.Rows) {
        out << "{";
        for (size_t i = 0; i < result.Columns.size() && i < row.size(); ++i) {
          if (i > 0) out << ",";
          out << JsonString(result.Columns[i].Name) << ":" << JsonValue(row[i], result.Columns[i]);
        }
        out << "}\n";
      }
      break;
  }
}

// ---- parameters ----

namespace {

// An optional sign, then digits and at most one ".", at least one digit, then an
// optional exponent. `decimal` tells whether a "." or an exponent was there.
bool IsNumberText(std::string_view text, bool& decimal) {
  size_t i = 0;
  size_t digits = 0;
  bool point = false;
  decimal = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  for (; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  decimal = point;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    decimal = true;
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponentDigits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return i == text.size();
}

std::string CannotHoldMessage(uint16_t codePage, std::string_view what) {
  return std::string(what) + " holds characters that code page " + std::to_string(codePage) + " cannot hold";
}

// Appends one parameter: its definition and, at its offset, the null flag and `bytes`.
void AddParam(TParamValues& params, TFieldType type, TFieldSubType subType, int size, bool isNull,
              const void* bytes, size_t length) {
  TFieldDefinition definition;
  definition.FieldNo = static_cast<uint16_t>(params.Definitions.size() + 1);
  definition.FieldType = type;
  definition.SubType = subType;
  definition.Size = static_cast<uint8_t>(size);
  definition.DataSize = static_cast<uint8_t>(length);
  if (params.Values.size() > UINT16_MAX) throw std::invalid_argument("too many --param values");
  definition.Offset = static_cast<uint16_t>(params.Values.size());
  params.Values.push_back(isNull ? 0 : 1);
  const auto* first = static_cast<const uint8_t*>(bytes);
  params.Values.insert(params.Values.end(), first, first + length);
  params.Definitions.push_back(std::move(definition));
}

// Appends a text parameter (bytes in the engine's code page): a String, or beyond a
// string's size a Memo BLOB pointing into MemoTexts, whose capacity the caller must have
// reserved (the pointers of earlier memos must stay valid).
void AddTextParam(TParamValues& params, const std::string& bytes) {
  if (bytes.size() <= kMaxFieldSize) {
    AddParam(params, TFieldType::String, TFieldSubType::None, static_cast<int>(bytes.size()), false, bytes.c_str(),
             bytes.size() + 1);
    return;
  }
  if (params.MemoTexts.size() == params.MemoTexts.capacity()) throw std::logic_error("memo texts not reserved");
  params.MemoTexts.push_back(bytes);
  const char* memo = params.MemoTexts.back().data();
  uint8_t value[sizeof(int32_t) + sizeof(const char*)] = {};
  WriteI32(value, static_cast<int32_t>(bytes.size()));
  std::memcpy(value + sizeof(int32_t), &memo, sizeof memo);
  AddParam(params, TFieldType::Blob, TFieldSubType::Memo, 0, false, value, sizeof value);
}

}  // namespace

TParamValues TextParamValues(const std::vector<std::optional<std::string>>& texts, uint16_t codePage) {
  TParamValues params;
  params.MemoTexts.reserve(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    if (!texts[i]) {
      AddParam(params, TFieldType::Unknown, TFieldSubType::None, 0, true, nullptr, 0);
      continue;
    }
    const std::optional<std::string> bytes = Utf8ToCodePage(codePage, *texts[i]);
    if (!bytes) throw std::invalid_argument(CannotHoldMessage(codePage, "value " + std::to_string(i + 1)));
    AddTextParam(params, *bytes);
  }
  return params;
}

// ---- CSV ----

std::optional<TCsvRecord> ReadCsvRecord(std::istream& in, int& line) {
  if (in.peek() == std::char_traits<char>::eof()) return std::nullopt;
  TCsvRecord record;
  record.Line = ++line;
  auto fail = [&](const std::string& what) { throw TCsvError(record.Line, what); };
  std::string field;
  bool quoted = false;   // the field began with a quote
  bool closed = false;   // its closing quote was read
  bool any = false;      // the field has a character or quotes
  auto finish = [&] {
    if (!any) {
      record.Fields.emplace_back(std::nullopt);
    } else {
      record.Fields.emplace_back(std::move(field));
    }
    field.clear();
    quoted = closed = any = false;
  };
  while (true) {
    const int c = in.get();
    if (c == std::char_traits<char>::eof()) {
      if (quoted && !closed) fail("a quoted value is not closed before the end of the file");
      finish();
      return record;
    }
    if (quoted && !closed) {
      if (c == '"') {
        if (in.peek() == '"') {
          in.get();
          field += '"';
        } else {
          closed = true;
        }
      } else {
        if (c == '\n') ++line;
        field += static_cast<char>(c);
      }
      continue;
    }
    if (c == ',') {
      finish();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && in.peek() == '\n') in.get();
      finish();
      return record;
    } else if (closed) {
      fail("text after the closing quote of a value");
    } else if (c == '"') {
      if (any) fail("a quote inside a value that does not begin with one");
      quoted = any = true;
    } else {
      field += static_cast<char>(c);
      any = true;
    }
  }
}

TParamValues ParamValuesOf(const std::vector<std::string>& texts, uint16_t codePage) {
  // What each text stands for; texts that are no NULL and no number in range are
  // converted to the code page first, so that the memo texts are all known before
  // their pointers are taken (MemoTexts must not grow after that).
  struct TParamText {
    TFieldType Type = TFieldType::Unknown;
    int64_t Integer = 0;
    double Real = 0;
    std::string Bytes;
  };
  std::vector<TParamText> classified;
  size_t memos = 0;
  for (const std::string& text : texts) {
    TParamText param;
    bool decimal = false;
    if (SameText(text, "NULL")) {
      classified.push_back(param);
      continue;
    }
    if (IsNumberText(text, decimal) && !decimal) {
      if (const std::optional<int64_t> number = TryTextToInt64(text)) {
        param.Type = TryTextToInt32(text) ? TFieldType::Integer : TFieldType::LargeInt;
        param.Integer = *number;
      }
    } else if (decimal) {
      // from_chars reads the nearest double; it takes no "+" sign.
      const std::string_view number = text[0] == '+' ? std::string_view(text).substr(1) : std::string_view(text);
      const std::from_chars_result read = std::from_chars(number.data(), number.data() + number.size(), param.Real);
      if (read.ec == std::errc() && read.ptr == number.data() + number.size()) param.Type = TFieldType::Float;
    }
    if (param.Type == TFieldType::Unknown) {
      std::optional<std::string> bytes = Utf8ToCodePage(codePage, text);
      if (!bytes) throw std::invalid_argument(CannotHoldMessage(codePage, "the --param value '" + text + "'"));
      param.Type = TFieldType::String;
      param.Bytes = std::move(*bytes);
      if (param.Bytes.size() > kMaxFieldSize) ++memos;
    }
    classified.push_back(std::move(param));
  }

  TParamValues params;
  params.MemoTexts.reserve(memos);
  for (const TParamText& param : classified) {
    uint8_t value[sizeof(int32_t) + sizeof(const char*)] = {};
    switch (param.Type) {
      case TFieldType::Integer:
        WriteI32(value, static_cast<int32_t>(param.Integer));
        AddParam(params, param.Type, TFieldSubType::None, 0, false, value, sizeof(int32_t));
        break;
      case TFieldType::LargeInt:
        WriteI64(value, param.Integer);
        AddParam(params, param.Type, TFieldSubType::None, 0, false, value, sizeof(int64_t));
        break;
      case TFieldType::Float:
        WriteF64(value, param.Real);
        AddParam(params, param.Type, TFieldSubType::None, 0, false, value, sizeof(double));
        break;
      case TFieldType::String: AddTextParam(params, param.Bytes); break;
      default:
        AddParam(params, TFieldType::Unknown, TFieldSubType::None, 0, true, nullptr, 0);
        break;
    }
  }
  return params;
}

// ---- the shell ----

namespace {

constexpr const char* kHelpText =
    "Statements end with \";\". Commands:\n"
    "  .tables                     the tables of the directory\n"
    "  .schema [TABLE]             the statements that recreate every table, or TABLE\n"
    "  .indexes TABLE              the indexes of TABLE\n"
    "  .mode [table|csv|tsv|json]  how results are printed (alone: the current mode)\n"
    "  .timer on|off               print each statement's time\n"
    "  .explain on|off             print how each SELECT is run before its rows\n"
    "  .import FILE TABLE          append the rows of a CSV file whose first line names\n"
    "                              the columns (empty values are NULL)\n"
    "  .help                       this text\n"
    "  .quit                       leave the shell\n";

// A failure of the shell itself (not of the engine): its message is printed as it is.
struct TShellError {
  std::string Message;
};

class TSqlShell {
public:
  // `params` (kept by the caller while the shell runs) are bound to the first
  // statement run.
  TSqlShell(TDataDirectory& directory, const TParamValues& params, TOutputMode mode, std::ostream& out,
            std::ostream& err)
      : FDirectory(directory), FParams(params), FBindParams(!params.Definitions.empty()), FOut(out), FErr(err),
        FMode(mode) {}

  // Feeds one line of input. Returns false when a statement or command failed (its
  // message printed); `quit` is set by .quit.
  bool FeedLine(const std::string& line, bool& quit) {
    if (FPending.empty() && !line.empty() && line[0] == '.') return Guarded([&] { RunCommand(line, quit); });
    FPending += line;
    FPending += '\n';
    TStatementSplit split = SplitStatements(FPending);
    FPending = split.Rest;
    for (const std::string& statement : split.Statements) {
      if (!Guarded([&] { RunStatement(statement); })) {
        FPending.clear();
        return false;
      }
    }
    return true;
  }
  // Runs an unfinished statement left at the end of the input (a last statement
  // without ";").
  bool Finish() {
    const std::string statement = std::move(FPending);
    FPending.clear();
    return statement.empty() || Guarded([&] { RunStatement(statement); });
  }
  bool Continuing() const { return !FPending.empty(); }

private:
  // Runs `work`; an engine error prints the engine's message, a shell error its own,
  // both on the error stream. False after either.
  bool Guarded(const std::function<void()>& work) {
    try {
      work();
      return true;
    } catch (const EKuraEngineError& error) {
      FErr << Shown(error.what(), GetEngineAnsiCodePage()) << '\n';
    } catch (const TShellError& error) {
      FErr << "kura: " << error.Message << '\n';
    }
    return false;
  }

  std::string ToEngineText(const std::string& utf8) const {
    const uint16_t codePage = GetEngineAnsiCodePage();
    std::optional<std::string> bytes = Utf8ToCodePage(codePage, utf8);
    if (!bytes) throw TShellError{CannotHoldMessage(codePage, "the text")};
    return *bytes;
  }

  void RunStatement(const std::string& utf8) {
    TQueryStatement statement(FDirectory);
    // As the program's screens ask: a live result where the query allows one.
    statement.RequestLive = true;
    const auto start = std::chrono::steady_clock::now();
    statement.Prepare(ToEngineText(utf8));
    TDataCursor* result = nullptr;
    if (FBindParams) {
      FBindParams = false;
      const size_t given = FParams.Definitions.size();
      if (static_cast<size_t>(statement.ParamCount()) != given) {
        throw TShellError{"the statement has " + std::to_string(statement.ParamCount()) + " placeholder(s) for " +
                          std::to_string(given) + " --param value(s)"};
      }
      statement.Execute(FParams.Definitions, FParams.Values.data(), result);
    } else {
      statement.Execute(result);
    }
    if (result != nullptr) {
      if (FExplain && statement.StatementKind() == TStatementKind::Select) FOut << ExplainSelect(statement.MasterQuery());
      PrintResult(FOut, ReadResult(*result), FMode);
    } else {
      FOut << statement.RowsAffected() << " row(s) affected\n";
    }
    if (FTimer) {
      const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
      FOut << "Time: " << std::fixed << std::setprecision(3) << seconds.count() << " s\n";
      FOut.unsetf(std::ios::floatfield);
    }
  }

  void RunCommand(const std::string& line, bool& quit) {
    std::istringstream words(line);
    std::string command;
    std::string argument;
    words >> command;
    std::getline(words >> std::ws, argument);
    argument = Trimmed(argument);
    if (command == ".quit" || command == ".exit") {
      quit = true;
    } else if (command == ".help") {
      FOut << kHelpText;
    } else if (command == ".tables") {
      for (const std::string& table : TableNames()) FOut << Shown(table, GetEngineAnsiCodePage()) << '\n';
    } else if (command == ".schema") {
      const std::vector<std::string> tables = argument.empty() ? TableNames() : std::vector{ToEngineText(argument)};
      for (const std::string& table : tables) PrintSchema(table);
    } else if (command == ".indexes" && !argument.empty()) {
      PrintIndexes(ToEngineText(argument));
    } else if (command == ".timer" && (argument == "on" || argument == "off")) {
      FTimer = argument == "on";
    } else if (command == ".explain" && (argument == "on" || argument == "off")) {
      FExplain = argument == "on";
    } else if (command == ".mode" && argument.empty()) {
      FOut << OutputModeName(FMode) << '\n';
    } else if (command == ".mode" && OutputModeByName(argument)) {
      FMode = *OutputModeByName(argument);
    } else if (command == ".import" && argument.find_last_of(" \t") != std::string::npos) {
      const size_t split = argument.find_last_of(" \t");
      Import(Trimmed(argument.substr(0, split)), argument.substr(split + 1));
    } else if (command == ".indexes" || command == ".timer" || command == ".explain" || command == ".mode" ||
               command == ".import") {
      throw TShellError{"usage: " + std::string(command == ".indexes"   ? ".indexes TABLE"
                                                : command == ".timer"   ? ".timer on|off"
                                                : command == ".explain" ? ".explain on|off"
                                                : command == ".import"  ? ".import FILE TABLE"
                                                                        : ".mode [table|csv|tsv|json]")};
    } else {
      throw TShellError{"unknown command '" + command + "' (.help lists the commands)"};
    }
  }

  // Appends the rows of a CSV file to `table` through one prepared INSERT naming the
  // header's columns, each line's texts bound as text parameters (converted to the
  // columns' types by the INSERT). Outside a transaction the import opens one and
  // commits it every so many rows (the interval INSERT ... SELECT would take for the
  // table) and at the end; a bad line (its form, its number of values, a value the
  // column cannot take, a key that exists) stops the import, keeping the rows of the
  // intervals committed before it. Inside a transaction begun earlier the rows stay in
  // that transaction, as any statement's would.
  void Import(const std::string& fileUtf8, const std::string& tableUtf8) {
    const auto start = std::chrono::steady_clock::now();
    std::ifstream in(fileUtf8, std::ios::binary);
    if (!in) throw TShellError{"cannot read '" + fileUtf8 + "'"};
    int line = 0;
    std::optional<TCsvRecord> header;
    try {
      header = ReadCsvRecord(in, line);
    } catch (const TCsvError& error) {
      throw TShellError{fileUtf8 + " line " + std::to_string(error.Line) + ": " + error.what()};
    }
    if (!header || header->Fields.empty()) throw TShellError{fileUtf8 + ": no header line naming the columns"};
    std::string sql = "INSERT INTO " + tableUtf8 + " (";
    for (size_t i = 0; i < header->Fields.size(); ++i) {
      const std::optional<std::string>& name = header->Fields[i];
      if (!name || name->empty() || name->find('"') != std::string::npos) {
        throw TShellError{fileUtf8 + " line 1: column " + std::to_string(i + 1) + " has no usable name"};
      }
      sql += (i == 0 ? "\"" : ", \"") + *name + "\"";
    }
    sql += ") VALUES (";
    for (size_t i = 0; i < header->Fields.size(); ++i) sql += i == 0 ? "?" : ", ?";
    sql += ")";
    TQueryStatement statement(FDirectory);
    statement.Prepare(ToEngineText(sql));
    const int32_t recordSize = std::max(statement.MasterQuery().SourceTables.front()->Cursor->RecordSize(), 1);
    const TDataSession& session = FDirectory.Session();
    const int64_t interval =
        std::max(1, std::min(2 * session.MaxDataBufferSize() / recordSize, session.MaxDataBufferCount()));

    const bool own = !FDirectory.InTransaction();
    if (own) FDirectory.StartTransaction();
    int64_t rows = 0;
    int64_t committed = 0;
    auto stop = [&](int atLine, const std::string& what) {
      std::string message = fileUtf8 + " line " + std::to_string(atLine) + ": " + what + "; ";
      if (own) {
        if (FDirectory.InTransaction()) FDirectory.Rollback();
        message += "import stopped: " + std::to_string(committed) + " row(s) kept (committed every " +
                   std::to_string(interval) + " rows), " + std::to_string(rows - committed) +
                   " row(s) after the last commit rolled back";
      } else {
        message += "import stopped: the " + std::to_string(rows) + " row(s) before it stay in the open transaction";
      }
      throw TShellError{message};
    };
    try {
      while (true) {
        std::optional<TCsvRecord> record;
        try {
          record = ReadCsvRecord(in, line);
        } catch (const TCsvError& error) {
          stop(error.Line, error.what());
        }
        if (!record) break;
        // A last line break leaves no record; an empty line inside the file is one NULL.
        if (record->Fields.size() != header->Fields.size()) {
          stop(record->Line, std::to_string(record->Fields.size()) + " value(s) where the header names " +
                                 std::to_string(header->Fields.size()));
        }
        TParamValues params;
        try {
          params = TextParamValues(record->Fields, GetEngineAnsiCodePage());
        } catch (const std::invalid_argument& error) {
          stop(record->Line, error.what());
        }
        try {
          TDataCursor* result = nullptr;
          statement.Execute(params.Definitions, params.Values.data(), result);
        } catch (const EKuraEngineError& error) {
          stop(record->Line, Shown(error.what(), GetEngineAnsiCodePage()));
        }
        ++rows;
        if (own && rows % interval == 0) {
          FDirectory.Commit(false, false);
          committed = rows;
        }
      }
      if (own) FDirectory.Commit(true, false);
    } catch (const EKuraEngineError&) {
      // A commit that failed ended the transaction itself.
      if (own && FDirectory.InTransaction()) FDirectory.Rollback();
      throw;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    FOut << rows << " row(s) imported in " << std::fixed << std::setprecision(3) << seconds.count() << " s\n";
    FOut.unsetf(std::ios::floatfield);
  }

  // The tables of the directory (data files, by name without ".DAT"), sorted.
  std::vector<std::string> TableNames() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(FDirectory.Path(), error)) {
      const std::string file = entry.path().filename().string();
      if (entry.is_regular_file() && file.size() > 4 && SameText(file.substr(file.size() - 4), ".DAT")) {
        names.push_back(file.substr(0, file.size() - 4));
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // The table's whole definition, read through a shared read-only cursor.
  TTableDefinition DefinitionOf(const std::string& table) {
    TDataCursor cursor(FDirectory);
    cursor.SetTableName(table);
    cursor.SetReadOnly(true);
    cursor.OpenCursor();
    return cursor.TableDefinition();
  }

  void PrintSchema(const std::string& table) {
    const TTableDefinition definition = DefinitionOf(table);
    std::string text = CreateTableText(table, definition);
    for (const TIndexDefinition& index : definition.SecondaryIndexes) text += CreateIndexText(table, definition, index);
    FOut << Shown(text, TextCodePage(definition.LocaleId));
  }

  void PrintIndexes(const std::string& table) {
    const TTableDefinition definition = DefinitionOf(table);
    const uint16_t codePage = TextCodePage(definition.LocaleId);
    std::vector<std::vector<std::string>> rows = {{"Index", "Columns", "Options"}};
    auto columns = [&](const std::vector<uint16_t>& fields) {
      std::string text;
      for (const uint16_t fieldNo : fields) {
        if (!text.empty()) text += ", ";
        if (fieldNo >= 1 && fieldNo <= definition.Fields.size()) text += definition.Fields[fieldNo - 1U].Name;
      }
      return Shown(text, codePage);
    };
    auto add = [&](const std::string& name, const TIndexDefinition& index) {
      std::string options;
      auto option = [&](bool on, const char* word) {
        if (on) options += options.empty() ? word : std::string(" ") + word;
      };
      option(index.Unique, "UNIQUE");
      option(index.Descending, "DESC");
      option(index.CaseInsensitive, "NOCASE");
      option(index.Compression == TIndexCompression::DupByte, "COMPRESS DUPBYTE");
      option(index.Compression == TIndexCompression::TrailByte, "COMPRESS TRAILBYTE");
      option(index.Compression == TIndexCompression::Full, "COMPRESS FULL");
      rows.push_back({name, columns(index.Fields), options});
    };
    if (definition.PrimaryIndex && !definition.PrimaryIndex->Fields.empty()) add("PRIMARY", *definition.PrimaryIndex);
    for (const TIndexDefinition& index : definition.SecondaryIndexes) add(Shown(index.Name, codePage), index);
    if (!definition.TextIndexFields.empty()) rows.push_back({"Sys Text", columns(definition.TextIndexFields), "TEXT"});
    PrintTable(FOut, rows);
  }

  TDataDirectory& FDirectory;
  const TParamValues& FParams;
  // Until the first statement has taken the parameters.
  bool FBindParams;
  std::ostream& FOut;
  std::ostream& FErr;
  std::string FPending;
  TOutputMode FMode;
  bool FTimer = false;
  bool FExplain = false;
};

// Reads lines until the end of the input, .quit, or (unless `goOn`) the first error.
// `readLine` gives the next line without its line break, empty at the end.
bool RunLines(TSqlShell& shell, const std::function<std::optional<std::string>(bool continuing)>& readLine,
              bool goOn) {
  bool ok = true;
  bool quit = false;
  while (!quit) {
    const std::optional<std::string> line = readLine(shell.Continuing());
    if (!line) break;
    if (!shell.FeedLine(*line, quit)) {
      ok = false;
      if (!goOn) return false;
    }
  }
  return shell.Finish() && ok;
}

std::optional<std::string> ReadStreamLine(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> ReadTerminalLine(bool continuing) {
  char* text = readline(continuing ? "   ...> " : "kura> ");
  if (text == nullptr) return std::nullopt;
  std::string line(text);
  std::free(text);
  if (!Trimmed(line).empty()) add_history(line.c_str());
  return line;
}

}  // namespace

int SqlCommand(const std::vector<std::string>& args, std::istream& in, bool interactive, bool outputIsTerminal,
               std::ostream& out, std::ostream& err) {
  bool create = false;
  std::vector<std::string> paramTexts;
  std::optional<std::string> directoryName;
  std::optional<std::string> file;
  std::optional<std::string> text;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--create") {
      create = true;
    } else if (args[i] == "--param" && i + 1 < args.size()) {
      // The value is the next word whatever it looks like ("-1", "-c").
      paramTexts.push_back(args[++i]);
    } else if ((args[i] == "-f" || args[i] == "-c") && i + 1 < args.size() && !file && !text) {
      (args[i] == "-f" ? file : text) = args[i + 1];
      ++i;
    } else if (!directoryName && !args[i].empty() && args[i][0] != '-') {
      directoryName = args[i];
    } else {
      directoryName.reset();
      break;
    }
  }
  if (!directoryName) {
    err << "usage: kura [--codepage N] sql [--create] [--param VALUE]... DIR [-f FILE | -c TEXT]\n";
    return 2;
  }
  TParamValues params;
  try {
    params = ParamValuesOf(paramTexts, GetEngineAnsiCodePage());
  } catch (const std::invalid_argument& error) {
    err << "kura: " << error.what() << '\n';
    return 1;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(*directoryName, error)) {
    if (!create || std::filesystem::exists(*directoryName, error)) {
      err << "kura: no database directory '" << *directoryName << "'"
          << (create ? "" : " (--create makes it)") << '\n';
      return 1;
    }
    if (!std::filesystem::create_directories(*directoryName, error)) {
      err << "kura: cannot create the directory '" << *directoryName << "': " << error.message() << '\n';
      return 1;
    }
  }
  std::ifstream script;
  if (file) {
    script.open(*file, std::ios::binary);
    if (!script) {
      err << "kura: cannot read '" << *file << "'\n";
      return 1;
    }
  }
  try {
    TDataSession session;
    TDataDirectory* directory = session.OpenDirectory("", *directoryName);
    TSqlShell shell(*directory, params, DefaultOutputMode(outputIsTerminal), out, err);
    bool ok = false;
    if (text) {
      std::istringstream lines(*text);
      ok = RunLines(shell, [&](bool) { return ReadStreamLine(lines); }, false);
    } else if (file) {
      ok = RunLines(shell, [&](bool) { return ReadStreamLine(script); }, false);
    } else if (interactive) {
      RunLines(shell, ReadTerminalLine, true);
      ok = true;
    } else {
      ok = RunLines(shell, [&](bool) { return ReadStreamLine(in); }, false);
    }
    if (directory->InTransaction()) {
      // What the script began and did not end is not kept.
      directory->Rollback();
      err << "kura: the transaction left open at the end was rolled back\n";
    }
    return ok ? 0 : 1;
  } catch (const EKuraEngineError& engineError) {
    err << Shown(engineError.what(), GetEngineAnsiCodePage()) << '\n';
    return 1;
  }
}

}  // namespace kura::tool
