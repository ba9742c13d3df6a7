// A failure as the platform reports it: a domain, a code and a readable message. Immutable.
#pragma once

#include <memory>
#include <string>

namespace corvanta {

inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* UNErrorDomain = "UNErrorDomain";

class NSError {
 public:
  NSError(std::string domain, long code, std::string localizedDescription)
      : _domain(std::move(domain)),
        _code(code),
        _localizedDescription(std::move(localizedDescription)) {}

  static std::shared_ptr<NSError> errorWithDomain(std::string domain, long code,
                                                  std::string localizedDescription) {
    return std::make_shared<NSError>(std::move(domain), code, std::move(localizedDescription));
  }

  const std::string& domain() const { return _domain; }
  long code() const { return _code; }
  const std::string& localizedDescription() const { return _localizedDescription; }

 private:
  std::string _domain;
  long _code;
  std::string _localizedDescription;
};

// Where an operation may store an error: nullptr when the caller gives no place for one.
using NSErrorOut = std::shared_ptr<NSError>*;

}  // namespace corvanta
