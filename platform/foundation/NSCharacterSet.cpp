#include "platform/foundation/NSCharacterSet.h"

namespace corvanta {

NSCharacterSet::NSCharacterSet(std::string_view members) {
  for (unsigned char c : members) {
    if (c < 128) _members.set(c);
  }
}

const NSCharacterSet& NSCharacterSet::URLQueryAllowedCharacterSet() {
  static const NSCharacterSet set(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
      "-._~!$&'()*+,;=:@/?");
  return set;
}

}  // namespace corvanta
