#include "kura/sql/result_columns.h"

#include "kura/base/names_paths.h"
#include "kura/sql/sql_messages.h"

namespace kura {

namespace {

constexpr int32_t kMaxStringLength = 251;  // 250 characters and the terminator
constexpr int32_t kMaxBytesLength = 250;

std::string_view AggregatePrefix(TAggregateKind aggregate) {
  switch (aggregate) {
    case TAggregateKind::Sum: return "Sum Of ";
    case TAggregateKind::RunSum: return "Running Sum Of ";
    case TAggregateKind::Min: return "Min Of ";
    case TAggregateKind::Max: return "Max Of ";
    case TAggregateKind::Avg: return "Average Of ";
    case TAggregateKind::Count: return "Count Of ";
    case TAggregateKind::None: break;
  }
  return {};
}

}  // namespace

std::string DerivedColumnName(TAggregateKind aggregate, bool isExpression, const std::string& sourceColumnName) {
  std::string name;
  if (aggregate == TAggregateKind::None) {
    name = isExpression ? "Expression" : sourceColumnName;
  } else {
    name = std::string(AggregatePrefix(aggregate)) + (isExpression ? "Expr" : sourceColumnName);
  }
  return name.substr(0, kMaxResultColumnName);
}

void MakeColumnNamesUnique(std::vector<std::string>& names) {
  auto takenBefore = [&](size_t count, const std::string& name) {
    for (size_t i = 0; i < count; ++i) {
      if (SameText(names[i], name)) return true;
    }
    return false;
  };
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string base = names[i].substr(0, kMaxResultColumnName);
    std::string name = base;
    for (int n = 1; takenBefore(i, name); ++n) {
      std::string suffix = "_";  // appended, not "_" + ...: GCC 12 warns falsely on that at -O2
      suffix += std::to_string(n);
      name = base.substr(0, kMaxResultColumnName - suffix.size()) + suffix;
    }
    names[i] = std::move(name);
  }
}

TExpType ResultColumnType(const TExpType& expressionType, bool isNullConstant, const std::string& columnText) {
  TExpType type = expressionType;
  auto tooLarge = [&] {
    RaiseSqlError(std::string(sqlmsg::kColumnTooLargePrefix) + columnText + "'" +
                  std::string(sqlmsg::kColumnTooLargeSuffix));
  };
  switch (type.DataType) {
    case TFieldType::String:
      if (type.DataLength > kMaxStringLength) tooLarge();
      if (type.DataLength <= 1) type.DataLength = kMaxStringLength;
      break;
    case TFieldType::Bytes:
    case TFieldType::VarBytes:
      if (type.DataLength > kMaxBytesLength) tooLarge();
      if (type.DataLength == 0) type.DataLength = kMaxBytesLength;
      break;
    default:
      if (isNullConstant || type.DataType == TFieldType::Unknown) RaiseSqlError(sqlmsg::kColumnNullConstant);
      break;
  }
  if (type.SubType == TFieldSubType::AutoInc) type.SubType = TFieldSubType::None;
  return type;
}

}  // namespace kura
