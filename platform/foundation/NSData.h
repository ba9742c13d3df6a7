// An immutable run of bytes. Safe to share between threads.
//
// Either held in memory, or kept in a file (a large download) and mapped read-only, so that
// its bytes are read from the file only where someone looks at them.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/FileDescriptor.h"

namespace corvanta {

class NSURL;

class NSData {
 public:
  explicit NSData(std::string bytes) : _bytes(std::move(bytes)) {}
  static std::shared_ptr<NSData> dataWithBytes(std::string bytes) {
    return std::make_shared<NSData>(std::move(bytes));
  }

  // The bytes of `file`, which holds exactly `length` of them; this data owns it from then on
  // and nothing may write it any more. nullptr, with the file closed, when it cannot be
  // mapped.
  static std::shared_ptr<NSData> dataWithFile(FileDescriptor file, std::size_t length);

  std::string_view bytes() const { return _view; }
  std::size_t length() const { return _view.size(); }
  // Whether the bytes live in a file rather than in memory.
  bool isFileBacked() const { return _file.valid(); }

  // Writes the bytes to the file that `url` names (a file URL; its path, escapes decoded).
  // The file holds either its old content or all of the new bytes, never a part, with or
  // without `atomically`: no caller needs a write in place, which would also reach a stored
  // attachment linked to the file. File-backed bytes are placed by
  // FileSystem::placeFileAtomically, linked or copied by the kernel, never through memory (a
  // linked target shares the file: changing it in place would change these bytes too).
  // Returns false, leaving no partial file, when `url` is nullptr or not a file URL or the
  // write fails. Goes through the current FileSystem backend.
  bool writeToURL(const std::shared_ptr<NSURL>& url, bool atomically) const;

  NSData(FileDescriptor file, std::shared_ptr<const char> mapping, std::size_t length)
      : _file(std::move(file)), _mapping(std::move(mapping)), _view(_mapping.get(), length) {}
  // The view points into this object: shared by pointer only.
  NSData(const NSData&) = delete;
  NSData& operator=(const NSData&) = delete;

 private:
  std::string _bytes;
  FileDescriptor _file;
  std::shared_ptr<const char> _mapping;
  // Over _bytes or over the mapping; set once both are in place.
  std::string_view _view = _bytes;
};

}  // namespace corvanta
