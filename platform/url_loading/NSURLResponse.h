// What the server answered: immutable, safe to share.
#pragma once

#include <memory>
#include <string>

namespace corvanta {

class NSURL;

class NSURLResponse {
 public:
  NSURLResponse(std::shared_ptr<NSURL> url, long statusCode, std::string MIMEType,
                long long expectedContentLength)
      : _url(std::move(url)),
        _statusCode(statusCode),
        _MIMEType(std::move(MIMEType)),
        _expectedContentLength(expectedContentLength) {}

  // The URL the body came from, after redirects.
  const std::shared_ptr<NSURL>& URL() const { return _url; }
  long statusCode() const { return _statusCode; }
  // The Content-Type's media type without parameters, "" when the server sent none.
  const std::string& MIMEType() const { return _MIMEType; }
  // Content-Length, or -1 when the server sent none.
  long long expectedContentLength() const { return _expectedContentLength; }

 private:
  std::shared_ptr<NSURL> _url;
  long _statusCode;
  std::string _MIMEType;
  long long _expectedContentLength;
};

}  // namespace corvanta
