#include "attachment/StagingFileLock.h"

#include <mutex>
#include <unordered_map>

namespace corvanta {

// One mutex per path in use; the entry goes away with its last user, so the table stays as
// small as the number of staging files being written at once.
struct StagingLockEntry {
  std::mutex mutex;
  int users = 0;
};

namespace {

struct LockTable {
  std::mutex mutex;
  std::unordered_map<std::string, StagingLockEntry> entries;
};

LockTable& lockTable() {
  static LockTable table;
  return table;
}

}  // namespace

StagingFileLock::StagingFileLock(std::string path) : _path(std::move(path)) {
  auto& table = lockTable();
  {
    std::lock_guard guard(table.mutex);
    _entry = &table.entries[_path];  // references into an unordered_map stay valid
    ++_entry->users;
  }
  _entry->mutex.lock();
}

StagingFileLock::~StagingFileLock() {
  _entry->mutex.unlock();
  auto& table = lockTable();
  std::lock_guard guard(table.mutex);
  if (--_entry->users == 0) table.entries.erase(_path);
}

}  // namespace corvanta
