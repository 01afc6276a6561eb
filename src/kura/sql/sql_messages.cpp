#include "kura/sql/sql_messages.h"

#include "kura/base/engine_error.h"

namespace kura {

void RaiseSqlError(std::string_view message) {
  constexpr size_t kMaxMessage = 255;
  TErrorNames names;
  names.ExtraMessage = std::string(message.substr(0, kMaxMessage));
  RaiseEngineError(KURA_SQLPARSE, names);
}

}  // namespace kura
