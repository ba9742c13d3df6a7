// Owning handles for the libcurl objects URL loading uses, so that each is cleaned up
// exactly once on every path. An easy handle must be removed from its multi handle before
// it is destroyed; the owner of both sees to that.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace corvanta {

struct CurlEasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlMultiCleanup {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct CurlShareCleanup {
  void operator()(CURLSH* handle) const { curl_share_cleanup(handle); }
};
struct CurlURLCleanup {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;
using CurlShare = std::unique_ptr<CURLSH, CurlShareCleanup>;
using CurlURL = std::unique_ptr<CURLU, CurlURLCleanup>;
using CurlString = std::unique_ptr<char, CurlFree>;

}  // namespace corvanta
