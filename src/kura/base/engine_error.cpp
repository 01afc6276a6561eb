#include "kura/base/engine_error.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <string_view>

namespace kura {
namespace {

constexpr int kTable = ErrorTableName;
constexpr int kIndex = ErrorIndexName;
constexpr int kField = ErrorFieldName;
constexpr int kExtra = ErrorExtraMessage;
constexpr int kServer = ErrorServerName;
constexpr int kUser = ErrorUserName;
constexpr int kDatabase = ErrorDatabaseName;
constexpr int kOsError = OSErrorCode;

constexpr size_t kMaxMessageLength = 254;
constexpr size_t kMaxNameLength = 255;
constexpr std::string_view kUnknownError = "An unknown error occurred";

struct TMessage {
  TErrorCode Code;
  const char* Name;
  const char* Text;  // nullptr: no text of its own
  std::array<int, 3> Fills;  // context slots for the %s placeholders, in order; unused: 0 with no placeholder
};

// Sorted by code.
constexpr TMessage kMessages[] = {
    {KURA_NONE, "KURA_NONE", "", {}},
    {KURA_BOF, "KURA_BOF", "Beginning of table '%s' unexpectedly encountered", {kTable}},
    {KURA_EOF, "KURA_EOF", "End of table '%s' unexpectedly encountered", {kTable}},
    {KURA_KEYORRECDELETED, "KURA_KEYORRECDELETED", "Record has been changed or deleted by another user, session, or table cursor in the table '%s'", {kTable}},
    {KURA_NOCURRREC, "KURA_NOCURRREC", "No current record in the table '%s'", {kTable}},
    {KURA_RECNOTFOUND, "KURA_RECNOTFOUND", "Record not found in the table '%s'", {kTable}},
    {KURA_ENDOFBLOB, "KURA_ENDOFBLOB", "End of blob data in the table '%s' reached prematurely", {kTable}},
    {KURA_HEADERCORRUPT, "KURA_HEADERCORRUPT", "Header information corrupt in the table '%s'", {kTable}},
    {KURA_FILECORRUPT, "KURA_FILECORRUPT", "Data record buffers corrupt in the table '%s'", {kTable}},
    {KURA_MEMOCORRUPT, "KURA_MEMOCORRUPT", "BLOB block buffers corrupt in the table '%s'", {kTable}},
    {KURA_INDEXCORRUPT, "KURA_INDEXCORRUPT", "Index page buffers corrupt in the table '%s'", {kTable}},
    {KURA_READERR, "KURA_READERR", "Error reading from the table '%s'", {kTable}},
    {KURA_WRITEERR, "KURA_WRITEERR", "Error writing to the table '%s'", {kTable}},
    {KURA_FILEDELETEFAIL, "KURA_FILEDELETEFAIL", "Cannot delete the table '%s'", {kTable}},
    {KURA_FILENOACCESS, "KURA_FILENOACCESS", "Error accessing header information for the table '%s'", {kTable}},
    {KURA_RECTOOBIG, "KURA_RECTOOBIG", "Maximum record size exceeded in the table '%s'", {kTable}},
    {KURA_TABLEFULL, "KURA_TABLEFULL", "The table '%s' is full and cannot contain any more data", {kTable}},
    {KURA_INTERNALLIMIT, "KURA_INTERNALLIMIT", "Too many filters defined for the table '%s'", {kTable}},
    {KURA_INDEXLIMIT, "KURA_INDEXLIMIT", "Maximum or minimum limits on number of indexes or fields in an index exceeded in the table '%s'", {kTable}},
    {KURA_FLDLIMIT, "KURA_FLDLIMIT", "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in the table '%s'", {kTable}},
    {KURA_OPENBLOBLIMIT, "KURA_OPENBLOBLIMIT", "Too many blobs opened in the table '%s'", {kTable}},
    {KURA_BLOBLIMIT, "KURA_BLOBLIMIT", "Too many blob fields or invalid blob block size specified for the table '%s'", {kTable}},
    {KURA_KEYVIOL, "KURA_KEYVIOL", "Duplicate key found in the index '%s' of the table '%s'", {kIndex, kTable}},
    {KURA_MINVALERR, "KURA_MINVALERR", "The value for the field '%s' in the table '%s' is below the minimum allowable value", {kField, kTable}},
    {KURA_MAXVALERR, "KURA_MAXVALERR", "The value for the field '%s' in the table '%s' is above the maximum allowable value", {kField, kTable}},
    {KURA_REQDERR, "KURA_REQDERR", "A value must be provided for the field '%s' in the table '%s'", {kField, kTable}},
    {KURA_OUTOFRANGE, "KURA_OUTOFRANGE", "Invalid field number or name '%s' specified for the table '%s'", {kField, kTable}},
    {KURA_PRIMARYKEYREDEFINE, "KURA_PRIMARYKEYREDEFINE", "A primary index is already defined for the table '%s' and cannot be added again", {kTable}},
    {KURA_INVALIDBLOBOFFSET, "KURA_INVALIDBLOBOFFSET", "Invalid blob offset into the table '%s' specified", {kTable}},
    {KURA_INVALIDFLDTYPE, "KURA_INVALIDFLDTYPE", "Invalid field definition specified for the field '%s' in the table '%s'", {kField, kTable}},
    {KURA_INVALIDVCHKSTRUCT, "KURA_INVALIDVCHKSTRUCT", "Invalid default, min or max validity check, or expression specified for the field '%s' in the table '%s'", {kField, kTable}},
    {KURA_INDEXNAMEREQUIRED, "KURA_INDEXNAMEREQUIRED", "The secondary index name is missing or not specified for the table '%s'", {kTable}},
    {KURA_INVALIDPASSWORD, "KURA_INVALIDPASSWORD", "Password provided for the table '%s' is invalid", {kTable}},
    {KURA_INVALIDINDEXNAME, "KURA_INVALIDINDEXNAME", "Invalid secondary index name '%s' specified for the table '%s'", {kIndex, kTable}},
    {KURA_INVALIDIDXDESC, "KURA_INVALIDIDXDESC", "Invalid field number '%s' specified in the index '%s' for the table '%s'", {kField, kIndex, kTable}},
    {KURA_INVALIDKEY, "KURA_INVALIDKEY", "Invalid key size specified in the index '%s' for the table '%s'", {kIndex, kTable}},
    {KURA_INDEXEXISTS, "KURA_INDEXEXISTS", "The secondary index '%s' already exists for the table '%s'", {kIndex, kTable}},
    {KURA_INVALIDBLOBLEN, "KURA_INVALIDBLOBLEN", "Invalid blob length in the table '%s'", {kTable}},
    {KURA_INVALIDBLOBHANDLE, "KURA_INVALIDBLOBHANDLE", "Invalid blob handle for the table '%s' specified", {kTable}},
    {KURA_TABLEOPEN, "KURA_TABLEOPEN", "The table '%s' is already in use", {kTable}},
    {KURA_INVALIDFIELDNAME, "KURA_INVALIDFIELDNAME", "Invalid or duplicate field name '%s' specified for the table '%s'", {kField, kTable}},
    {KURA_NOSUCHFILTER, "KURA_NOSUCHFILTER", "Invalid filter handle specified for the table '%s'", {kTable}},
    {KURA_INVALIDFILTER, "KURA_INVALIDFILTER", "Filter error for the table '%s' - %s", {kTable, kExtra}},
    {KURA_INVALIDINDEXDELETE, "KURA_INVALIDINDEXDELETE", "The primary index cannot be removed from the table '%s'", {kTable}},
    {KURA_LOCKED, "KURA_LOCKED", "The table '%s' is already locked by another user", {kTable}},
    {KURA_UNLOCKFAILED, "KURA_UNLOCKFAILED", "Cannot unlock table or record in the table '%s'", {kTable}},
    {KURA_LOCKTIMEOUT, "KURA_LOCKTIMEOUT", "General lock failure with the table '%s'", {kTable}},
    {KURA_NEEDEXCLACCESS, "KURA_NEEDEXCLACCESS", "The table '%s' must be opened exclusively", {kTable}},
    {KURA_RECLOCKFAILED, "KURA_RECLOCKFAILED", "Record in the table '%s' is in use by another user", {kTable}},
    {KURA_NOTSUFFTABLERIGHTS, "KURA_NOTSUFFTABLERIGHTS", "Insufficient rights to the table '%s', a password is required", {kTable}},
    {KURA_NOTABLOB, "KURA_NOTABLOB", "Invalid blob field '%s' specified for the table '%s'", {kField, kTable}},
    {KURA_NOTINITIALIZED, "KURA_NOTINITIALIZED", "The database engine is not initialized", {}},
    {KURA_OSENOENT, "KURA_OSENOENT", "Table '%s' does not exist", {kTable}},
    {KURA_OSEMFILE, "KURA_OSEMFILE", "Too many operating system files open while attempting to open the table '%s'", {kTable}},
    {KURA_OSEACCES, "KURA_OSEACCES", "Access denied to table '%s'", {kTable}},
    {KURA_OSEBADF, "KURA_OSEBADF", "Invalid operating system file handle for the table '%s'", {kTable}},
    {KURA_OSENOMEM, "KURA_OSENOMEM", "There is insufficient operating system memory available for the current operation", {}},
    {KURA_OSEINVMEM, "KURA_OSEINVMEM", "Invalid length for the in-memory table '%s'", {kTable}},
    {KURA_OSENODEV, "KURA_OSENODEV", "Access denied to logical operating system device for the table '%s'", {kTable}},
    {KURA_OSENOTSAM, "KURA_OSENOTSAM", "The table '%s' has been moved", {kTable}},
    {KURA_OSUNKNOWN, "KURA_OSUNKNOWN", "An unknown operating system error %s occurred with the table '%s'", {kOsError, kTable}},
    {KURA_REMOTECOMMLOST, "KURA_REMOTECOMMLOST", "The connection to the database server at '%s' has been lost", {kServer}},
    {KURA_REMOTEUNKNOWN, "KURA_REMOTEUNKNOWN", "An unknown error ('%s') occurred with the connection to the database server at '%s', please check the server log", {kExtra, kServer}},
    {KURA_REMOTECONNECT, "KURA_REMOTECONNECT", "A connection to the database server at '%s' cannot be established", {kServer}},
    {KURA_REMOTENOLOGIN, "KURA_REMOTENOLOGIN", "A connection to the database server at '%s' cannot be established, the server is not accepting new logins", {kServer}},
    {KURA_REMOTEMAXCONNECT, "KURA_REMOTEMAXCONNECT", "A connection to the database server at '%s' cannot be established, the maximum number of connections has been reached", {kServer}},
    {KURA_REMOTEADDRESSBLOCK, "KURA_REMOTEADDRESSBLOCK", "A connection to the database server at '%s' cannot be established, the client address is blocked", {kServer}},
    {KURA_REMOTECALLBACK, "KURA_REMOTECALLBACK", nullptr, {}},
    {KURA_REMOTECALLBACKERR, "KURA_REMOTECALLBACKERR", "A server callback error occurred for the database server at '%s'", {kServer}},
    {KURA_REMOTEVERSION, "KURA_REMOTEVERSION", "A call to the database server at '%s' failed, the client engine version does not match the server", {kServer}},
    {KURA_REMOTEINVLOGIN, "KURA_REMOTEINVLOGIN", "A connection to the database server at '%s' cannot be established, the login information provided is invalid", {kServer}},
    {KURA_REMOTENOTAUTH, "KURA_REMOTENOTAUTH", "The user '%s' is not authorized to perform this operation with the database '%s' on the database server at '%s'", {kUser, kDatabase, kServer}},
    {KURA_REMOTENOTADMIN, "KURA_REMOTENOTADMIN", "The user '%s' is not authorized to perform administration functions on the database server at '%s'", {kUser, kServer}},
    {KURA_REMOTEINVUSER, "KURA_REMOTEINVUSER", "The user name is either invalid or blank", {}},
    {KURA_REMOTENOUSER, "KURA_REMOTENOUSER", "The user '%s' does not exist on the database server at '%s'", {kUser, kServer}},
    {KURA_REMOTEDUPUSER, "KURA_REMOTEDUPUSER", "The user '%s' already exists on the database server at '%s'", {kUser, kServer}},
    {KURA_REMOTEINVDB, "KURA_REMOTEINVDB", "The database name or directory is either invalid or blank", {}},
    {KURA_REMOTENODB, "KURA_REMOTENODB", "The database '%s' does not exist on the database server at '%s'", {kDatabase, kServer}},
    {KURA_REMOTEDUPDB, "KURA_REMOTEDUPDB", "The database '%s' already exists on the database server at '%s'", {kDatabase, kServer}},
    {KURA_REMOTEINVDBUSER, "KURA_REMOTEINVDBUSER", "The database user name is either invalid or blank", {}},
    {KURA_REMOTENODBUSER, "KURA_REMOTENODBUSER", "The database user '%s' does not exist for the database '%s' on the database server at '%s'", {kUser, kDatabase, kServer}},
    {KURA_REMOTEDUPDBUSER, "KURA_REMOTEDUPDBUSER", "The database user '%s' already exists for the database '%s' on the database server at '%s'", {kUser, kDatabase, kServer}},
    {KURA_REMOTEINVREQUEST, "KURA_REMOTEINVREQUEST", "An invalid or unknown request was made to the database server at '%s'", {kServer}},
    {KURA_IMPORTERROR, "KURA_IMPORTERROR", "An error occurred during the import into the table '%s' - %s", {kTable, kExtra}},
    {KURA_EXPORTERROR, "KURA_EXPORTERROR", "An error occurred during the export from the table '%s' - %s", {kTable, kExtra}},
    {KURA_SQLPARSE, "KURA_SQLPARSE", "SQL error - %s", {kExtra}},
    {KURA_OLDVERSION, "KURA_OLDVERSION", "The table '%s' is not the correct version", {kTable}},
    {KURA_SEARCHCOLREQD, "KURA_SEARCHCOLREQD", "Invalid field '%s' specified for the index '%s' in the table '%s'", {kField, kIndex, kTable}},
    {KURA_TABLEEXISTS, "KURA_TABLEEXISTS", "The table '%s' already exists", {kTable}},
    {KURA_COMPRESS, "KURA_COMPRESS", "Error compressing data", {}},
    {KURA_UNCOMPRESS, "KURA_UNCOMPRESS", "Error uncompressing data", {}},
    {KURA_CANNOTLOADLDDRV, "KURA_CANNOTLOADLDDRV", "The language driver for the table '%s' is not available or installed", {kTable}},
};

constexpr bool SortedByCode() {
  for (size_t i = 1; i < std::size(kMessages); ++i) {
    if (kMessages[i - 1].Code >= kMessages[i].Code) return false;
  }
  return true;
}
static_assert(SortedByCode(), "the message table is searched by binary search");

const TMessage* FindMessage(TErrorCode code) {
  const auto* end = std::end(kMessages);
  const auto* it = std::lower_bound(std::begin(kMessages), end, code,
                                    [](const TMessage& m, TErrorCode c) { return m.Code < c; });
  return it != end && it->Code == code ? it : nullptr;
}

// The process-wide error context: the values of the most recent raise.
struct TErrorContext {
  TErrorCode LastCode = 0;
  int32_t OSError = 0;
  int32_t SocketError = 0;
  std::array<std::string, 7> Names;
};

std::recursive_mutex ErrorContextLock;
TErrorContext Context;

std::string Shorten(const std::string& text, size_t limit) {
  return text.size() > limit ? text.substr(0, limit) : text;
}

std::string SlotText(int slot) {
  if (slot >= 0 && slot < 7) return Context.Names[slot];
  if (slot == OSErrorCode) return std::to_string(Context.OSError);
  if (slot == SocketErrorCode) return std::to_string(Context.SocketError);
  return {};
}

[[noreturn]] void Raise(TErrorCode code, int32_t osError, const TErrorNames& names) {
  std::unique_lock guard(ErrorContextLock);
  Context = TErrorContext{};
  Context.LastCode = code;
  Context.OSError = osError;
  Context.SocketError = 0;  // no socket layer in local work
  const std::string* given[] = {&names.ServerName, &names.UserName,  &names.DatabaseName, &names.TableName,
                                &names.FieldName,  &names.IndexName, &names.ExtraMessage};
  for (size_t i = 0; i < Context.Names.size(); ++i) Context.Names[i] = Shorten(*given[i], kMaxNameLength);
  EKuraEngineError error(code, Context.OSError, Context.SocketError, Context.Names[0], Context.Names[1],
                         Context.Names[2], Context.Names[3], Context.Names[4], Context.Names[5], Context.Names[6],
                         BuildErrorMessage(code));
  guard.unlock();  // the exception owns its copies now
  throw error;
}

}  // namespace

EKuraEngineError::EKuraEngineError(TErrorCode code, int32_t osErrorCode, int32_t socketErrorCode,
                                   std::string serverName, std::string userName, std::string databaseName,
                                   std::string tableName, std::string fieldName, std::string indexName,
                                   std::string extraMessage, const std::string& text)
    : EDatabaseError("Kura Engine Error # " + std::to_string(code) + " " + text),
      ErrorCode(code),
      OSErrorCode(osErrorCode),
      SocketErrorCode(socketErrorCode),
      ErrorServerName(std::move(serverName)),
      ErrorUserName(std::move(userName)),
      ErrorDatabaseName(std::move(databaseName)),
      ErrorTableName(std::move(tableName)),
      ErrorFieldName(std::move(fieldName)),
      ErrorIndexName(std::move(indexName)),
      ErrorExtraMessage(std::move(extraMessage)) {}

void RaiseEngineError(TErrorCode code, const TErrorNames& names) {
  const int32_t osError = errno;  // captured before anything here can change it
  Raise(code, osError, names);
}

void RaiseEngineError(TErrorCode code, const std::string& serverName, const std::string& userName,
                      const std::string& databaseName, const std::string& tableName, const std::string& fieldName,
                      const std::string& indexName, const std::string& extraMessage) {
  const int32_t osError = errno;
  Raise(code, osError, TErrorNames{serverName, userName, databaseName, tableName, fieldName, indexName, extraMessage});
}

void RaiseEngineErrorWithOSCode(TErrorCode code, int32_t osErrorCode, const TErrorNames& names) {
  Raise(code, osErrorCode, names);
}

TErrorCode GetEngineErrorCode(const std::exception& error) {
  if (const auto* engineError = dynamic_cast<const EKuraEngineError*>(&error)) return engineError->ErrorCode;
  return KURA_OSUNKNOWN;
}

TErrorCode GetLastEngineErrorCode() {
  std::lock_guard guard(ErrorContextLock);
  return Context.LastCode;
}

std::string GetErrorContext(int slot) {
  std::lock_guard guard(ErrorContextLock);
  return SlotText(slot);
}

std::string BuildErrorMessage(TErrorCode code) {
  const TMessage* message = FindMessage(code);
  if (message == nullptr || message->Text == nullptr) return std::string(kUnknownError);
  std::lock_guard guard(ErrorContextLock);
  std::string text;
  std::string_view rest = message->Text;
  size_t fill = 0;
  for (size_t at = rest.find("%s"); at != std::string_view::npos; at = rest.find("%s")) {
    text.append(rest.substr(0, at));
    if (fill < message->Fills.size()) text.append(SlotText(message->Fills[fill++]));
    rest.remove_prefix(at + 2);
  }
  text.append(rest);
  return Shorten(text, kMaxMessageLength);
}

const char* EngineErrorName(TErrorCode code) {
  const TMessage* message = FindMessage(code);
  return message == nullptr ? "" : message->Name;
}

}  // namespace kura
