#include "platform/foundation/NSString.h"

#include "platform/foundation/ASCII.h"

namespace corvanta {

std::string lastPathComponent(std::string_view path) {
  const auto end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return path.empty() ? "" : "/";
  const std::string_view trimmed = path.substr(0, end + 1);
  const auto slash = trimmed.rfind('/');
  return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

std::string withOneTrailingSlash(std::string path) {
  const auto last = path.find_last_not_of('/');
  if (last == std::string::npos) return "/";
  path.erase(last + 1);
  path += '/';
  return path;
}

bool isValidUTF8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    int length;
    char32_t value;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, value = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (int k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string percentEncodedBytes(std::string_view bytes, const NSCharacterSet& allowed) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (allowed.characterIsMember(c)) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0xF];
    }
  }
  return encoded;
}

std::optional<std::string> stringByAddingPercentEncodingWithAllowedCharacters(
    std::string_view text, const NSCharacterSet& allowed) {
  if (!isValidUTF8(text)) return std::nullopt;
  return percentEncodedBytes(text, allowed);
}

std::string stringByRemovingPercentEncoding(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 &&
        hexDigitValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

}  // namespace corvanta
