#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "kura/base/database_error.h"

namespace kura {

// Engine error codes. 0 is success; the high byte groups them: 0x22 positioning, 0x23
// corruption, 0x24 file I/O, 0x25 limits, 0x26 integrity and validity, 0x27 invalid
// requests, 0x28 locking, 0x29 security, 0x2A BLOBs and initialisation, 0x2B operating
// system, 0x2C remote access and import/export, 0x2E SQL, 0x2F version, 0x30 index
// definitions, 0x33 table existence, 0x3A compression, 0x3E language drivers.
using TErrorCode = uint16_t;

constexpr TErrorCode KURA_NONE = 0;
constexpr TErrorCode KURA_BOF = 8705;
constexpr TErrorCode KURA_EOF = 8706;
constexpr TErrorCode KURA_KEYORRECDELETED = 8708;
constexpr TErrorCode KURA_NOCURRREC = 8709;
constexpr TErrorCode KURA_RECNOTFOUND = 8710;
constexpr TErrorCode KURA_ENDOFBLOB = 8711;
constexpr TErrorCode KURA_HEADERCORRUPT = 8961;
constexpr TErrorCode KURA_FILECORRUPT = 8962;
constexpr TErrorCode KURA_MEMOCORRUPT = 8963;
constexpr TErrorCode KURA_INDEXCORRUPT = 8965;
constexpr TErrorCode KURA_READERR = 9217;
constexpr TErrorCode KURA_WRITEERR = 9218;
constexpr TErrorCode KURA_FILEDELETEFAIL = 9220;
constexpr TErrorCode KURA_FILENOACCESS = 9221;
constexpr TErrorCode KURA_RECTOOBIG = 9477;
constexpr TErrorCode KURA_TABLEFULL = 9479;
constexpr TErrorCode KURA_INTERNALLIMIT = 9482;
constexpr TErrorCode KURA_INDEXLIMIT = 9487;
constexpr TErrorCode KURA_FLDLIMIT = 9492;
constexpr TErrorCode KURA_OPENBLOBLIMIT = 9494;
constexpr TErrorCode KURA_BLOBLIMIT = 9498;
constexpr TErrorCode KURA_KEYVIOL = 9729;
constexpr TErrorCode KURA_MINVALERR = 9730;
constexpr TErrorCode KURA_MAXVALERR = 9731;
constexpr TErrorCode KURA_REQDERR = 9732;
constexpr TErrorCode KURA_OUTOFRANGE = 9985;
constexpr TErrorCode KURA_PRIMARYKEYREDEFINE = 9993;
constexpr TErrorCode KURA_INVALIDBLOBOFFSET = 9998;
constexpr TErrorCode KURA_INVALIDFLDTYPE = 10000;
constexpr TErrorCode KURA_INVALIDVCHKSTRUCT = 10006;
constexpr TErrorCode KURA_INDEXNAMEREQUIRED = 10010;
constexpr TErrorCode KURA_INVALIDPASSWORD = 10015;
constexpr TErrorCode KURA_INVALIDINDEXNAME = 10022;
constexpr TErrorCode KURA_INVALIDIDXDESC = 10023;
constexpr TErrorCode KURA_INVALIDKEY = 10026;
constexpr TErrorCode KURA_INDEXEXISTS = 10027;
constexpr TErrorCode KURA_INVALIDBLOBLEN = 10029;
constexpr TErrorCode KURA_INVALIDBLOBHANDLE = 10030;
constexpr TErrorCode KURA_TABLEOPEN = 10031;
constexpr TErrorCode KURA_INVALIDFIELDNAME = 10038;
constexpr TErrorCode KURA_NOSUCHFILTER = 10050;
constexpr TErrorCode KURA_INVALIDFILTER = 10051;
constexpr TErrorCode KURA_INVALIDINDEXDELETE = 10055;
constexpr TErrorCode KURA_LOCKED = 10241;
constexpr TErrorCode KURA_UNLOCKFAILED = 10242;
constexpr TErrorCode KURA_LOCKTIMEOUT = 10249;
constexpr TErrorCode KURA_NEEDEXCLACCESS = 10253;
constexpr TErrorCode KURA_RECLOCKFAILED = 10258;
constexpr TErrorCode KURA_NOTSUFFTABLERIGHTS = 10498;
constexpr TErrorCode KURA_NOTABLOB = 10753;
constexpr TErrorCode KURA_NOTINITIALIZED = 10758;
constexpr TErrorCode KURA_OSENOENT = 11010;
constexpr TErrorCode KURA_OSEMFILE = 11012;
constexpr TErrorCode KURA_OSEACCES = 11013;
constexpr TErrorCode KURA_OSEBADF = 11014;
constexpr TErrorCode KURA_OSENOMEM = 11016;
constexpr TErrorCode KURA_OSEINVMEM = 11017;
constexpr TErrorCode KURA_OSENODEV = 11023;
constexpr TErrorCode KURA_OSENOTSAM = 11025;
constexpr TErrorCode KURA_OSUNKNOWN = 11047;
constexpr TErrorCode KURA_REMOTECOMMLOST = 11276;
constexpr TErrorCode KURA_REMOTEUNKNOWN = 11279;
constexpr TErrorCode KURA_REMOTECONNECT = 11280;
constexpr TErrorCode KURA_REMOTENOLOGIN = 11281;
constexpr TErrorCode KURA_REMOTEMAXCONNECT = 11282;
constexpr TErrorCode KURA_REMOTEADDRESSBLOCK = 11283;
constexpr TErrorCode KURA_REMOTECALLBACK = 11284;
constexpr TErrorCode KURA_REMOTECALLBACKERR = 11285;
constexpr TErrorCode KURA_REMOTEVERSION = 11286;
constexpr TErrorCode KURA_REMOTEINVLOGIN = 11287;
constexpr TErrorCode KURA_REMOTENOTAUTH = 11288;
constexpr TErrorCode KURA_REMOTENOTADMIN = 11289;
constexpr TErrorCode KURA_REMOTEINVUSER = 11290;
constexpr TErrorCode KURA_REMOTENOUSER = 11291;
constexpr TErrorCode KURA_REMOTEDUPUSER = 11292;
constexpr TErrorCode KURA_REMOTEINVDB = 11293;
constexpr TErrorCode KURA_REMOTENODB = 11294;
constexpr TErrorCode KURA_REMOTEDUPDB = 11295;
constexpr TErrorCode KURA_REMOTEINVDBUSER = 11296;
constexpr TErrorCode KURA_REMOTENODBUSER = 11297;
constexpr TErrorCode KURA_REMOTEDUPDBUSER = 11298;
constexpr TErrorCode KURA_REMOTEINVREQUEST = 11299;
constexpr TErrorCode KURA_IMPORTERROR = 11300;
constexpr TErrorCode KURA_EXPORTERROR = 11301;
constexpr TErrorCode KURA_SQLPARSE = 11949;
constexpr TErrorCode KURA_OLDVERSION = 12035;
constexpr TErrorCode KURA_SEARCHCOLREQD = 12292;
constexpr TErrorCode KURA_TABLEEXISTS = 13060;
constexpr TErrorCode KURA_COMPRESS = 15001;
constexpr TErrorCode KURA_UNCOMPRESS = 15002;
constexpr TErrorCode KURA_CANNOTLOADLDDRV = 15878;

// Slots of the process-wide error context, filled by every raise.
enum TErrorContextSlot {
  ErrorServerName = 0,    // remote access only
  ErrorUserName = 1,      // remote access only
  ErrorDatabaseName = 2,  // for local tables the directory path of the table
  ErrorTableName = 3,
  ErrorFieldName = 4,
  ErrorIndexName = 5,
  ErrorExtraMessage = 6,  // SQL or filter detail, or the message of a converted exception
  OSErrorCode = 7,        // errno captured at raise time, as decimal text
  SocketErrorCode = 8,    // socket error captured at raise time, as decimal text
};

// The one exception class of the engine. The message is
// "Kura Engine Error # " + code + " " + the code's text with the names filled in.
// It owns copies of every value; nothing refers back to the error context.
class EKuraEngineError : public EDatabaseError {
public:
  EKuraEngineError(TErrorCode code, int32_t osErrorCode, int32_t socketErrorCode, std::string serverName,
                   std::string userName, std::string databaseName, std::string tableName, std::string fieldName,
                   std::string indexName, std::string extraMessage, const std::string& text);

  TErrorCode ErrorCode;
  int32_t OSErrorCode;
  int32_t SocketErrorCode;
  std::string ErrorServerName;
  std::string ErrorUserName;
  std::string ErrorDatabaseName;
  std::string ErrorTableName;
  std::string ErrorFieldName;
  std::string ErrorIndexName;
  std::string ErrorExtraMessage;
};

// The names that describe where a failure happened; empty for what does not apply.
// Conventions: errors about a local table give the table's directory as DatabaseName
// and the cursor's table name as TableName; field validity errors add FieldName, index
// errors IndexName; filter, SQL and import/export errors put their detail in
// ExtraMessage.
struct TErrorNames {
  std::string ServerName{};
  std::string UserName{};
  std::string DatabaseName{};
  std::string TableName{};
  std::string FieldName{};
  std::string IndexName{};
  std::string ExtraMessage{};
};

// Records the names in the error context (replacing what the last raise left there),
// captures errno as the operating-system error code, and raises EKuraEngineError.
// The context lock is held until the exception has copied the context, so two threads
// failing at once each get their own values. Never returns.
[[noreturn]] void RaiseEngineError(TErrorCode code, const TErrorNames& names = {});
[[noreturn]] void RaiseEngineError(TErrorCode code, const std::string& serverName, const std::string& userName,
                                   const std::string& databaseName, const std::string& tableName,
                                   const std::string& fieldName, const std::string& indexName,
                                   const std::string& extraMessage);
// As RaiseEngineError, with an explicit operating-system error code instead of errno.
[[noreturn]] void RaiseEngineErrorWithOSCode(TErrorCode code, int32_t osErrorCode, const TErrorNames& names);

// ErrorCode of an EKuraEngineError; KURA_OSUNKNOWN for any other exception.
TErrorCode GetEngineErrorCode(const std::exception& error);
// The code of the most recent raise in this process (0 before any).
TErrorCode GetLastEngineErrorCode();
// The text of a context slot; slots 7 and 8 as decimal text. Unknown slots give "".
std::string GetErrorContext(int slot);
// The message text of a code with the context's names filled in, at most 254
// characters. An unknown code, or one without a text of its own, gives
// "An unknown error occurred".
std::string BuildErrorMessage(TErrorCode code);
// The symbolic name of a code ("KURA_KEYVIOL"), or "" for an unknown code.
const char* EngineErrorName(TErrorCode code);

}  // namespace kura
