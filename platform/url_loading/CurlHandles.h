// Owning handles for the libcurl objects URL loading uses, so that each is cleaned up
// exactly once on every path. An easy handle must be removed from its multi handle before
// it is destroyed; the owner of both sees to that.
#pragma once

#include <curl/curl.h>

#include <memory>

#include "platform/foundation/Handle.h"

namespace corvanta {

using CurlEasy = std::unique_ptr<CURL, FreeWith<curl_easy_cleanup>>;
using CurlMulti = std::unique_ptr<CURLM, FreeWith<curl_multi_cleanup>>;
using CurlShare = std::unique_ptr<CURLSH, FreeWith<curl_share_cleanup>>;
using CurlURL = std::unique_ptr<CURLU, FreeWith<curl_url_cleanup>>;
using CurlString = std::unique_ptr<char, FreeWith<curl_free>>;

}  // namespace corvanta
