// The extension's container: a private directory holding its temporary directory (tmp/),
// its attachment store (Attachments/, one run-<time>-<pid> folder per run) and the store of
// what the host took and showed (store.db).
//
// Opening it creates what is missing (mode 0700), refuses a directory that could let another
// user or a staging file URL reach outside it, takes an exclusive lock held until the
// object is destroyed (or the process ends), and tidies what earlier runs left: empty run
// folders, those beyond the newest kRunFoldersKept (this run's counted), and files in tmp/
// older than a day. Not thread-safe;
// the host opens it once, before any request runs.
#pragma once

#include <time.h>

#include <memory>
#include <string>

#include "platform/foundation/FileDescriptor.h"
#include "platform/foundation/Result.h"

namespace corvanta {

class Container {
 public:
  static constexpr int kRunFoldersKept = 20;

  // The container at `path` (made absolute, otherwise used as given). Fails, with a one-line
  // reason that starts "container PATH", when it cannot be used: a symlink, not a directory,
  // owned by another user, a path holding '?' (a staging file URL built from it would name
  // another file) or not valid UTF-8 (no staging file URL can be built from it), locked by
  // another process, or a file system error.
  static Result<std::unique_ptr<Container>> open(const std::string& path);

  const std::string& path() const { return _path; }
  // DIR/tmp/
  std::string temporaryDirectory() const { return _path + "/tmp/"; }
  // DIR/endpoint/: the provider endpoint's CA and certificate, made when first needed.
  std::string endpointDirectory() const { return _path + "/endpoint"; }
  // DIR/Attachments/run-<time>-<pid>/, this run's, made by the store with its first
  // attachment.
  const std::string& runDirectory() const { return _runDirectory; }
  // DIR/store.db
  std::string storeFile() const { return _path + "/store.db"; }
  // This run's name, as its folder is named: run-<time>-<pid>.
  std::string runName() const;

  // Removes the files in tmp/ that no attachment was made from (a refused or unfinished
  // staging file): the host calls it as it exits. Files the store took stay.
  void removeUnattachedStagingFiles() const;

  Container(std::string path, FileDescriptor lock, std::string runDirectory, timespec opened)
      : _path(std::move(path)),
        _lock(std::move(lock)),
        _runDirectory(std::move(runDirectory)),
        _opened(opened) {}

 private:
  std::string _path;
  FileDescriptor _lock;
  std::string _runDirectory;
  timespec _opened;  // when it was opened, by the file system's clock
};

}  // namespace corvanta
