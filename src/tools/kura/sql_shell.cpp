#include "tools/kura/sql_shell.h"

#include <readline/history.h>
#include <readline/readline.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>

#include "kura/base/code_page_text.h"
#include "kura/base/collation.h"
#include "kura/base/engine_error.h"
#include "kura/base/names_paths.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/expr/expression_type_rules.h"
#include "kura/sql/definition_text.h"
#include "kura/sql/query_statement.h"
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

std::optional<TOutputMode> OutputModeByName(std::string_view name) {
  if (name == "table") return TOutputMode::Table;
  if (name == "csv") return TOutputMode::Csv;
  if (name == "tsv") return TOutputMode::Tsv;
  if (name == "json") return TOutputMode::Json;
  return std::nullopt;
}

TResultSet ReadResult(TDataCursor& cursor) {
  const std::vector<TFieldDefinition>& fields = cursor.FieldDefinitions();
  const uint16_t codePage = TextCodePage(cursor.LocaleId());
  TResultSet result;
  for (const TFieldDefinition& field : fields) result.Columns.push_back({Shown(field.Name, codePage), field.FieldType});
  std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
  cursor.SetToBegin();
  while (cursor.GetNextRecord(record.data()) == 0) {
    std::vector<std::optional<std::string>> row;
    for (const TFieldDefinition& field : fields) {
      if (field.IsStored() && FieldIsNull(record.data(), field)) {
        row.emplace_back();
      } else {
        row.emplace_back(FieldText(field, record.data(), codePage));
      }
    }
    result.Rows.push_back(std::move(row));
  }
  return result;
}

namespace {

std::string CsvValue(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string TsvValue(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
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
// exponent. Texts of numeric columns that are not (such as "INF") stay strings.
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

std::string JsonValue(const std::optional<std::string>& value, TFieldType type) {
  if (!value) return "null";
  if (IsNumericType(type) && IsJsonNumber(*value)) return *value;
  if (type == TFieldType::Boolean && SameText(*value, "true")) return "true";
  if (type == TFieldType::Boolean && SameText(*value, "false")) return "false";
  return JsonString(*value);
}

void PrintSeparated(std::ostream& out, const TResultSet& result, char separator,
                    const std::function<std::string(const std::string&)>& escape) {
  auto line = [&](const auto& values, const auto& text) {
    for (size_t i = 0; i < values.size(); ++i) {
      if (i > 0) out << separator;
      out << escape(text(values[i]));
    }
    out << '\n';
  };
  line(result.Columns, [](const TResultColumn& column) { return column.Name; });
  for (const auto& row : result.Rows) {
    line(row, [](const std::optional<std::string>& value) { return value.value_or(std::string()); });
  }
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
      out << "[";
      for (size_t r = 0; r < result.Rows.size(); ++r) {
        out << (r == 0 ? "\n" : ",\n") << "{";
        for (size_t i = 0; i < result.Columns.size() && i < result.Rows[r].size(); ++i) {
          if (i > 0) out << ",";
          out << JsonString(result.Columns[i].Name) << ":" << JsonValue(result.Rows[r][i], result.Columns[i].Type);
        }
        out << "}";
      }
      out << (result.Rows.empty() ? "]\n" : "\n]\n");
      break;
  }
}

// ---- the shell ----

namespace {

constexpr const char* kHelpText =
    "Statements end with \";\". Commands:\n"
    "  .tables                  the tables of the directory\n"
    "  .schema [TABLE]          the statements that recreate every table, or TABLE\n"
    "  .indexes TABLE           the indexes of TABLE\n"
    "  .mode table|csv|tsv|json how results are printed\n"
    "  .timer on|off            print each statement's time\n"
    "  .help                    this text\n"
    "  .quit                    leave the shell\n";

// A failure of the shell itself (not of the engine): its message is printed as it is.
struct TShellError {
  std::string Message;
};

class TSqlShell {
public:
  TSqlShell(TDataDirectory& directory, std::ostream& out, std::ostream& err)
      : FDirectory(directory), FOut(out), FErr(err) {}

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
    if (!bytes) {
      throw TShellError{"the text holds characters that code page " + std::to_string(codePage) + " cannot hold"};
    }
    return *bytes;
  }

  void RunStatement(const std::string& utf8) {
    TQueryStatement statement(FDirectory);
    const auto start = std::chrono::steady_clock::now();
    statement.Prepare(ToEngineText(utf8));
    TDataCursor* result = nullptr;
    statement.Execute(result);
    if (result != nullptr) {
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
    } else if (command == ".mode" && OutputModeByName(argument)) {
      FMode = *OutputModeByName(argument);
    } else if (command == ".indexes" || command == ".timer" || command == ".mode") {
      throw TShellError{"usage: " + std::string(command == ".indexes" ? ".indexes TABLE"
                                                : command == ".timer"  ? ".timer on|off"
                                                                       : ".mode table|csv|tsv|json")};
    } else {
      throw TShellError{"unknown command '" + command + "' (.help lists the commands)"};
    }
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
  std::ostream& FOut;
  std::ostream& FErr;
  std::string FPending;
  TOutputMode FMode = TOutputMode::Table;
  bool FTimer = false;
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

int SqlCommand(const std::vector<std::string>& args, std::istream& in, bool interactive, std::ostream& out,
               std::ostream& err) {
  bool create = false;
  std::optional<std::string> directoryName;
  std::optional<std::string> file;
  std::optional<std::string> text;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--create") {
      create = true;
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
    err << "usage: kura [--codepage N] sql [--create] DIR [-f FILE | -c TEXT]\n";
    return 2;
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
    TSqlShell shell(*directory, out, err);
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
    return ok ? 0 : 1;
  } catch (const EKuraEngineError& engineError) {
    err << Shown(engineError.what(), GetEngineAnsiCodePage()) << '\n';
    return 1;
  }
}

}  // namespace kura::tool
