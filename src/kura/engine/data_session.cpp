#include "kura/engine/data_session.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "kura/base/names_paths.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_table.h"

namespace kura {

namespace {

constexpr const char* kMemoryDatabaseName = "Memory";

std::string WorkingDirectory() {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::current_path(error);
  return error ? std::string() : IncludeTrailingDelimiter(path.string());
}

std::string SystemTempDirectory() {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::temp_directory_path(error);
  return error ? std::string("/tmp/") : IncludeTrailingDelimiter(path.string());
}

}  // namespace

TDataSession::TDataSession() : FDefaultDirectory(WorkingDirectory()), FPrivateDir(SystemTempDirectory()) {
  Sleep = [](int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  };
}

TDataSession::~TDataSession() {
  RemoveAllPasswords();
  // Newest first, each taken out of the list before it is destroyed.
  while (!FDirectories.empty()) {
    std::unique_ptr<TDataDirectory> last = std::move(FDirectories.back());
    FDirectories.pop_back();
    last.reset();
  }
}

TDataDirectory* TDataSession::OpenDirectory(const std::string& databaseName, const std::string& directory) {
  std::string path;
  if (SameName(databaseName, kMemoryDatabaseName)) {
    path = IncludeTrailingDelimiter(directory);  // empty stays empty
  } else {
    path = IncludeTrailingDelimiter(directory);
    if (path.empty()) path = FDefaultDirectory;
  }
  for (const auto& open : FDirectories) {
    if (SameName(open->Path(), path)) {
      ++open->FRefCount;
      return open.get();
    }
  }
  auto created = std::make_unique<TDataDirectory>(*this, databaseName, path);
  created->FRefCount = 1;
  FDirectories.push_back(std::move(created));
  return FDirectories.back().get();
}

void TDataSession::CloseDirectory(TDataDirectory* directory) {
  const auto it = std::find_if(FDirectories.begin(), FDirectories.end(),
                               [directory](const auto& open) { return open.get() == directory; });
  if (it == FDirectories.end() || (*it)->FRefCount <= 0) return;
  if (--(*it)->FRefCount > 0) return;
  // Out of the list first: the list never names a directory that is being destroyed.
  std::unique_ptr<TDataDirectory> closing = std::move(*it);
  FDirectories.erase(it);
  closing.reset();
}

void TDataSession::AddPassword(const std::string& password) {
  if (password.empty() || HasPassword(password)) return;
  FPasswords.push_back(password);
}

void TDataSession::RemovePassword(const std::string& password) {
  const auto it = std::find(FPasswords.begin(), FPasswords.end(), password);
  if (it != FPasswords.end()) FPasswords.erase(it);
}

void TDataSession::RemoveAllPasswords() { FPasswords.clear(); }

bool TDataSession::HasPassword(const std::string& password) const {
  return std::find(FPasswords.begin(), FPasswords.end(), password) != FPasswords.end();
}

void TDataSession::SetDefaultDirectory(const std::string& directory) {
  FDefaultDirectory = IncludeTrailingDelimiter(directory);
}

void TDataSession::SetPrivateDir(const std::string& path) { FPrivateDir = IncludeTrailingDelimiter(path); }

std::string TDataSession::GetPrivateDir() const { return FPrivateDir.empty() ? FDefaultDirectory : FPrivateDir; }

void TDataSession::Pause(int milliseconds) const {
  if (Sleep) {
    Sleep(milliseconds);
  } else if (milliseconds > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

int64_t TDataSession::CurrentThreadId() const {
  if (ThreadId) return ThreadId();
  return static_cast<int64_t>(gettid());
}

}  // namespace kura
