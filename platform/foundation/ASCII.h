// ASCII case and digits, as protocols define them: never the C locale's idea of a letter.
// Pure functions; any thread may call them.
#pragma once

#include <string>
#include <string_view>

namespace corvanta {

constexpr char asciiLowercase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string asciiLowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = asciiLowercase(c);
  return lower;
}

constexpr bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (asciiLowercase(a[i]) != asciiLowercase(b[i])) return false;
  return true;
}

// The value of a hex digit in either case, or -1 for any other character.
constexpr int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace corvanta
