// Holds a process-wide lock on one staging file, keyed by its path, for the life of the
// object. Completions whose downloads share a staging file take it from their write through
// their attachment creation, so that no other download's bytes can replace the file in
// between. Locks on different paths never wait for each other. Any thread may use it.
#pragma once

#include <string>

namespace corvanta {

struct StagingLockEntry;

class StagingFileLock {
 public:
  explicit StagingFileLock(std::string path);
  ~StagingFileLock();
  StagingFileLock(const StagingFileLock&) = delete;
  StagingFileLock& operator=(const StagingFileLock&) = delete;

 private:
  std::string _path;
  StagingLockEntry* _entry;
};

}  // namespace corvanta
