#pragma once

// The engine-side state of one session: the lock and flush settings every table
// operation of the session obeys, the table passwords it knows, the private directory
// for temporary tables, and the open database directories (each owned here and shared by
// every cursor of the session that opens the same path).
//
// A session and its directories are used by one thread at a time; nothing here takes a
// lock. Two sessions never share a directory or a table object: tables are shared
// between sessions and processes only through the files' byte-range locks.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kura {

class TDataDirectory;

// When records are locked for editing: for the whole edit, or only while a change is
// posted.
enum TLockProtocol : uint8_t { lpPessimistic = 0, lpOptimistic = 1 };

class TDataSession {
public:
  // The defaults: DefaultDirectory is the working directory with a trailing "/",
  // PrivateDir the system's temporary directory, 15 record-lock retries 100 ms apart,
  // pessimistic locking, no forced flush, no strict change detection, 20 progress steps,
  // buffer limits 16384 bytes / 8192 records (data), 16384 bytes (index), 32768 bytes /
  // 8192 blocks (BLOB).
  TDataSession();
  // Removes all passwords and destroys every directory (each rolls back its transaction
  // and destroys its tables).
  ~TDataSession();
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;

  // The directory for (databaseName, directory): the in-memory database when
  // databaseName is "Memory" in any letter case (its path is `directory` with a trailing
  // "/", or empty), otherwise the folder `directory` (trimmed, "\" read as "/", trailing
  // "/" added) or DefaultDirectory when `directory` is empty. An open directory whose
  // path equals the new one without regard to case is reused (its RefCount goes up);
  // otherwise a new one is made with RefCount 1. Never null.
  TDataDirectory* OpenDirectory(const std::string& databaseName, const std::string& directory);
  // Undoes one OpenDirectory; the directory is destroyed when its RefCount reaches 0. An
  // unknown directory (or one already at 0) is ignored.
  void CloseDirectory(TDataDirectory* directory);
  const std::vector<std::unique_ptr<TDataDirectory>>& Directories() const { return FDirectories; }

  // Table passwords. Comparisons are exact (case-sensitive, untrimmed). An empty
  // password, or one already known, is not added.
  void AddPassword(const std::string& password);
  // Removes the first entry equal to `password`, if any.
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  bool HasPassword(const std::string& password) const;
  const std::vector<std::string>& Passwords() const { return FPasswords; }

  // Settings. Setters take effect with the next operation that reads them.
  const std::string& DefaultDirectory() const { return FDefaultDirectory; }
  // Trimmed, "\" read as "/", trailing "/" added (empty stays empty).
  void SetDefaultDirectory(const std::string& directory);
  const std::string& PrivateDir() const { return FPrivateDir; }
  // Empty stays empty; otherwise trimmed with a trailing "/" added.
  void SetPrivateDir(const std::string& path);
  // Where temporary tables and work files go: PrivateDir, or DefaultDirectory when
  // PrivateDir is empty.
  std::string GetPrivateDir() const;

  uint8_t LockRetryCount() const { return FLockRetryCount; }
  void SetLockRetryCount(uint8_t value) { FLockRetryCount = value; }
  uint16_t LockWaitTime() const { return FLockWaitTime; }
  void SetLockWaitTime(uint16_t milliseconds) { FLockWaitTime = milliseconds; }
  TLockProtocol LockProtocol() const { return FLockProtocol; }
  void SetLockProtocol(TLockProtocol value) { FLockProtocol = value; }
  bool ForceBufferFlush() const { return FForceBufferFlush; }
  void SetForceBufferFlush(bool value) { FForceBufferFlush = value; }
  bool StrictChangeDetection() const { return FStrictChangeDetection; }
  void SetStrictChangeDetection(bool value) { FStrictChangeDetection = value; }
  uint16_t ProgressSteps() const { return FProgressSteps; }
  void SetProgressSteps(uint16_t value) { FProgressSteps = value; }
  int32_t MaxDataBufferSize() const { return FMaxDataBufferSize; }
  void SetMaxDataBufferSize(int32_t bytes) { FMaxDataBufferSize = bytes; }
  int32_t MaxDataBufferCount() const { return FMaxDataBufferCount; }
  void SetMaxDataBufferCount(int32_t records) { FMaxDataBufferCount = records; }
  int32_t MaxIndexBufferSize() const { return FMaxIndexBufferSize; }
  void SetMaxIndexBufferSize(int32_t bytes) { FMaxIndexBufferSize = bytes; }
  int32_t MaxBlobBufferSize() const { return FMaxBlobBufferSize; }
  void SetMaxBlobBufferSize(int32_t bytes) { FMaxBlobBufferSize = bytes; }
  int32_t MaxBlobBufferCount() const { return FMaxBlobBufferCount; }
  void SetMaxBlobBufferCount(int32_t blocks) { FMaxBlobBufferCount = blocks; }
  // Attempts made for a table's read, write and transaction locks (3 ms apart) before
  // they fail with KURA_LOCKTIMEOUT. 32767 by default; tests lower it.
  int32_t TableLockAttempts() const { return FTableLockAttempts; }
  void SetTableLockAttempts(int32_t attempts) { FTableLockAttempts = attempts < 1 ? 1 : attempts; }

  // Notifications installed by the session component. Progress receives a percentage
  // (0..100); log receives one line of text. Either may be empty.
  std::function<void(int32_t percentDone)> OnProgress;
  std::function<void(const std::string& text)> OnLog;

  // The pause between lock attempts (record-lock retries and the 3 ms steps of table
  // locks), in milliseconds. Defaults to a real sleep; tests replace it to run fast and
  // to count the pauses. An empty function sleeps for real.
  std::function<void(int milliseconds)> Sleep;
  // The current thread's identifier, the stem of temporary table names. Defaults to the
  // OS thread id; tests replace it.
  std::function<int64_t()> ThreadId;

  // Calls Sleep, or sleeps for real when it is empty.
  void Pause(int milliseconds) const;
  // Calls ThreadId, or the OS thread id when it is empty.
  int64_t CurrentThreadId() const;

private:
  std::string FDefaultDirectory;
  std::string FPrivateDir;
  uint8_t FLockRetryCount = 15;
  uint16_t FLockWaitTime = 100;
  TLockProtocol FLockProtocol = lpPessimistic;
  bool FForceBufferFlush = false;
  bool FStrictChangeDetection = false;
  uint16_t FProgressSteps = 20;
  int32_t FMaxDataBufferSize = 16384;
  int32_t FMaxDataBufferCount = 8192;
  int32_t FMaxIndexBufferSize = 16384;
  int32_t FMaxBlobBufferSize = 32768;
  int32_t FMaxBlobBufferCount = 8192;
  int32_t FTableLockAttempts = 32767;
  std::vector<std::string> FPasswords;
  std::vector<std::unique_ptr<TDataDirectory>> FDirectories;
};

}  // namespace kura
