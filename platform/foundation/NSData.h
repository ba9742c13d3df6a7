// An immutable run of bytes. Safe to share between threads.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace corvanta {

class NSURL;

class NSData {
 public:
  explicit NSData(std::string bytes) : _bytes(std::move(bytes)) {}
  static std::shared_ptr<NSData> dataWithBytes(std::string bytes) {
    return std::make_shared<NSData>(std::move(bytes));
  }

  std::string_view bytes() const { return _bytes; }
  std::size_t length() const { return _bytes.size(); }

  // Writes the bytes to the file that `url` names (a file URL; its path, escapes decoded).
  // With `atomically` the file holds either its old content or all of the new bytes, never
  // a part. Returns false, leaving no partial file, when `url` is nullptr or not a file URL
  // or the write fails. Goes through the current FileSystem backend.
  bool writeToURL(const std::shared_ptr<NSURL>& url, bool atomically) const;

 private:
  std::string _bytes;
};

}  // namespace corvanta
