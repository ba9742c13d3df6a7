// Base64, as RFC 4648 writes it: the standard alphabet with padding, and the URL alphabet
// without it (as JWT parts are written). OpenSSL's block coder does the work. Pure functions;
// any thread may call them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvanta {

std::string encodeBase64(std::string_view bytes);
// nullopt when `text` is not padded standard base64.
std::optional<std::string> decodeBase64(std::string_view text);

std::string encodeBase64URL(std::string_view bytes);
// nullopt when `text` is empty or not unpadded base64url.
std::optional<std::string> decodeBase64URL(std::string_view text);

}  // namespace corvanta
