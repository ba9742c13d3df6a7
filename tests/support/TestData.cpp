#include "support/TestData.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace corvanta::testing {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string sourcePath(const std::string& relative) {
  return std::string(CORVANTA_SOURCE_DIR) + "/" + relative;
}

std::string media(const std::string& name) {
  for (const char* folder : {"tests/media/", "examples/media/"}) {
    std::string bytes = readFile(sourcePath(folder + name));
    if (!bytes.empty()) return bytes;
  }
  throw std::runtime_error("no media file " + name);
}

std::vector<nlohmann::json> jsonLines(std::string_view text) {
  std::vector<nlohmann::json> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != text.npos; start = end + 1) {
    lines.push_back(nlohmann::json::parse(text.substr(start, end - start), nullptr, false));
  }
  return lines;
}

std::string pattern(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 131 + i / 4093);
  return bytes;
}

}  // namespace corvanta::testing
