// The extension's container, through the built binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"

namespace corvanta::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kPlainRequest = "{\"aps\":{\"alert\":\"hello\"}}\n";

std::vector<std::string> names(const std::string& folder) {
  std::vector<std::string> all;
  for (const auto& entry : fs::directory_iterator(folder)) all.push_back(entry.path().filename());
  std::ranges::sort(all);
  return all;
}

// The default container, per user under $TMPDIR, is made private and locked while a host
// uses it; the lock ends with its process. What goes in it is the same as in one given with
// --container (the soak, and the run folders below).
TEST(HostContainerTest, TheDefaultContainerIsMadePrivateAndUsedByOneProcessAtATime) {
  ScratchDirectory scratch;
  const std::vector<std::string> environment = {"TMPDIR=" + scratch.path()};
  const std::string container = scratch.path() + "corvanta-nse-" + std::to_string(::geteuid());
  HostProcess first(kHostBinary, {"--time-limit", "5"}, environment);
  first.write(kPlainRequest);
  ASSERT_TRUE(first.readLine(20s).has_value()) << "no delivery before the input ended";
  EXPECT_EQ(fs::status(container).permissions(), fs::perms::owner_all);

  const auto second = runHost({}, kPlainRequest, environment);
  EXPECT_EQ(std::tuple(second.status, second.out, second.err),
            std::tuple(1, "",
                       "corvanta-nse: container " + container +
                           " is in use by another process; give this run its own with "
                           "--container DIR\n"));
  EXPECT_EQ(first.wait().status, 0);
  EXPECT_EQ(runHost({}, kPlainRequest, environment).status, 0);
}

TEST(HostContainerTest, ContainersThatCouldLeadOutsideAreRefused) {
  ScratchDirectory scratch;
  fs::create_directory(scratch.path() + "real");
  fs::create_directory_symlink(scratch.path() + "real", scratch.path() + "link");
  scratch.write("file", "not a directory");
  // Running as root, give a directory away; otherwise "/" already belongs to another user.
  const std::string foreign = ::geteuid() == 0 ? scratch.path() + "foreign" : "/";
  if (::geteuid() == 0) {
    fs::create_directory(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  }
  const std::pair<std::string, std::string> cases[] = {
      {scratch.path() + "link", "is a symlink"},
      {scratch.path() + "file", "is not a directory"},
      {foreign, "is owned by another user"},
      {scratch.path() + "what?", "'?'"},
      {scratch.path() + "latin1-\xe9t\xe9", "not valid UTF-8"},
  };
  for (const auto& [container, reason] : cases) {
    const auto result = runHost({"--container", container}, kPlainRequest);
    EXPECT_EQ(std::pair(result.status, result.out), std::pair(1, std::string())) << container;
    EXPECT_TRUE(result.err.starts_with("corvanta-nse: container " + container) &&
                result.err.find(reason) != std::string::npos)
        << result.err;
  }
  EXPECT_TRUE(fs::is_empty(scratch.path() + "real")) << "a refused container must not be written";
  EXPECT_FALSE(fs::exists(scratch.path() + "what?"));
}

TEST(HostContainerTest, OldRunFoldersAndStaleTemporaryFilesAreRemovedAtStart) {
  ScratchDirectory scratch;
  const std::string container = scratch.path() + "container";
  for (int i = 10; i < 35; ++i) {
    fs::create_directories(container + "/Attachments/run-20000101T0000" + std::to_string(i) +
                           ".000Z-" + std::to_string(i) + "/x");
  }
  fs::create_directories(container + "/Attachments/run-20000101T000099.000Z-99");  // empty
  fs::create_directories(container + "/Attachments/not-a-run");
  fs::create_directories(container + "/tmp");
  scratch.write("container/tmp/stale.png", "old");
  scratch.write("container/tmp/fresh.png", "new");
  fs::last_write_time(container + "/tmp/stale.png", fs::file_time_type::clock::now() - 25h);

  const auto result = runHost({"--container", container}, kPlainRequest);
  ASSERT_EQ(result.status, 0) << result.err;
  // Room is left for this run's, had it attached anything; an empty one never stays.
  const auto kept = names(container + "/Attachments");
  ASSERT_EQ(kept.size(), 20u) << "the 19 newest runs and what is no run";
  EXPECT_EQ(std::tuple(kept[0], kept[1], kept.back()),
            std::tuple("not-a-run", "run-20000101T000016.000Z-16", "run-20000101T000034.000Z-34"))
      << "the oldest must go first";
  EXPECT_EQ(names(container + "/tmp"), std::vector<std::string>{"fresh.png"});
}

}  // namespace
}  // namespace corvanta::testing
