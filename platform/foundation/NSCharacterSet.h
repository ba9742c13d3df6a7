// A set of ASCII characters, as the percent-encoding operations need. Bytes of 0x80 and
// above are never members: they are always encoded.
#pragma once

#include <bitset>
#include <string_view>

namespace corvanta {

class NSCharacterSet {
 public:
  // The characters RFC 3986 allows in a query: ASCII letters and digits and
  // - . _ ~ ! $ & ' ( ) * + , ; = : @ / ?
  static const NSCharacterSet& URLQueryAllowedCharacterSet();

  explicit NSCharacterSet(std::string_view members);
  bool characterIsMember(unsigned char c) const { return c < 128 && _members[c]; }

 private:
  std::bitset<128> _members;
};

}  // namespace corvanta
