#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/extension_host/output/RefusalLines.h"

namespace corvanta {
namespace {

std::string readAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, n);
  return text;
}

std::size_t countOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// A flood of refusals is told a line each up to the second's share, then as one count per
// second, and nothing is left untold at the end.
TEST(RefusalLinesTest, AFloodIsCountedAndNothingGoesUntold) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  int cleared = 0;
  RefusalLines lines(file, [&cleared] { ++cleared; });
  RefusedPush push{"ID-1", {405, "MethodNotAllowed", ":method: \"GET\""}, {}};
  const RefusalLines::TimePoint start{std::chrono::seconds(100)};
  for (int i = 0; i < 1000; ++i) lines.tell(push, start + std::chrono::microseconds(i));
  lines.tell(push, start + std::chrono::milliseconds(1500));  // the next second
  lines.finish();
  lines.finish();  // told once only

  const std::string text = readAll(file);
  std::fclose(file);
  EXPECT_EQ(
      countOf(text, "corvanta-nse: refused push ID-1: 405 MethodNotAllowed: :method: \"GET\"\n"),
      RefusalLines::kToldPerSecond + 1);
  EXPECT_EQ(countOf(text, "and " + std::to_string(1000 - RefusalLines::kToldPerSecond) +
                              " more pushes refused within that second"),
            1u);
  EXPECT_EQ(countOf(text, "more pushes refused"), 1u);
  EXPECT_EQ(cleared, static_cast<int>(RefusalLines::kToldPerSecond) + 2);
}

}  // namespace
}  // namespace corvanta
