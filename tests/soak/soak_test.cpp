// The soak: thousands of requests in flight at once through the built host, against the media
// origin in its own process, with every kind of fault mixed in. Whatever the faults, each
// accepted request is displayed exactly once and in time, every attachment holds its own
// URL's bytes, only the malformed lines are rejected, nothing outside the container changes,
// and the host ends by exiting, never by a signal. SOAK_REQUESTS sets how many lines (5000).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr double kTimeLimitSeconds = 2, kSlackSeconds = 0.5;

// A kind of input line and its share of every cycle of lines. `attURL` is the payload's
// "att_url": a path on the origin, where "*" stands for a PNG of the line's own at
// /a/<n>/pic.png (all of them stage as "pic.png"); after "=" the value's JSON text; after "!"
// the whole line, malformed, which the host must reject.
struct Kind {
  std::string name;
  int share;
  std::string attURL;
  bool attachable = false;  // an attachment may come of it, holding the file's bytes
};

const std::vector<Kind> kKinds = {
    {"png", 50, "/media/pic.png", true},
    {"jpeg", 50, "/media/photo.jpg", true},
    {"gif", 50, "/media/anim.gif", true},
    {"mp3", 50, "/media/tone.mp3", true},
    {"wav", 50, "/media/tone.wav", true},
    {"mp4", 50, "/media/clip.mp4", true},
    // Over the largest body kept in memory: spooled to a file, then placed.
    {"large-png", 10, "/media/large.png", true},
    {"same-name", 300, "*", true},
    {"404-image", 20, "/status/404*", true},
    {"500-image", 20, "/status/500*", true},
    {"cut-mid-body", 20, "/cut*"},
    {"stall-past-limit", 20, "/stall/3*", true},
    {"stall-forever", 10, "/stall/3600/media/pic.png"},
    {"redirect-chain", 20, "/redirect/3*", true},
    {"redirect-loop", 10, "/loop/media/pic.png"},
    {"redirect-to-file", 10, "/to/pic.png?url=file:///etc/passwd"},
    {"oversized-with-length", 4, "/bytes/60000000/big.png"},
    {"oversized-chunked", 2, "/chunked/60000000/big.png"},
    {"text-as-png", 10, "/wrong/text.png"},
    {"png-as-mp3", 10, "/wrong/png.mp3", true},
    {"name-dotdot", 10, "/names/.."},
    {"name-dot", 10, "/names/."},
    {"name-empty", 10, "/names/"},
    {"name-slash", 10, "/"},
    {"name-300", 10, "/names/" + std::string(296, 'n') + ".png"},
    {"name-nul", 10, "/names/%00"},
    {"name-escaped-dotdot", 10, "/names/%2F..%2F..%2Fdecoy%2Fpic.png"},
    {"att-url-number", 10, "=42"},
    {"att-url-object", 10, R"(={"url":"/media/pic.png"})"},
    {"att-url-null", 10, "=null"},
    {"not-mutable", 20, "/media/pic.png"},
    {"malformed-cut", 7, R"(!{"identifier":"x","payload":{"aps":)"},
    {"malformed-not-json", 7, "!not json"},
    {"malformed-trailing-comma", 6, R"(!{"aps":{},})"},
};

// pic.png with `n` (and `padding` spaces) after its end: still a PNG to any reader, and bytes
// of its own.
std::string distinctPNG(int n, std::size_t padding = 0) {
  return media("pic.png") + std::to_string(n) + std::string(padding, ' ');
}

// Every file and folder under `root` but `except`, with its mode, modification time and a
// hash of its bytes.
std::map<std::string, std::string> snapshot(const std::string& root, const std::string& except) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().string();
    struct stat info = {};
    if (name.starts_with(except) || ::lstat(name.c_str(), &info) != 0) continue;
    entries[name] =
        std::to_string(info.st_mode) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
        std::to_string(info.st_mtim.tv_nsec) + " " +
        std::to_string(std::hash<std::string>()(S_ISREG(info.st_mode) ? readFile(name) : ""));
  }
  return entries;
}

void soak(const std::string& binary, bool writesFail) {
  ScratchDirectory scratch;
  const std::string origin = scratch.path() + "origin", container = scratch.path() + "container";
  std::map<std::string, std::string> files;  // every byte the origin serves, by path
  const auto add = [&](const std::string& file, std::string bytes) {
    fs::create_directories(fs::path(origin + file).parent_path());
    scratch.write("origin" + file, bytes);
    files[file] = std::move(bytes);
  };
  fs::create_directories(scratch.path() + "decoy/tmp");
  scratch.write("decoy/keep.txt", "the container's neighbour");
  add("/wrong/text.png", "plain text, not an image\n");
  add("/wrong/png.mp3", media("pic.png"));
  add("/media/large.png", distinctPNG(0, 300 * 1024));
  for (const char* name : {"pic.png", "photo.jpg", "anim.gif", "tone.mp3", "tone.wav", "clip.mp4"})
    add(std::string("/media/") + name, media(name));

  // Stalled requests hold a worker each until the origin stops.
  HostProcess server(CORVANTA_MEDIA_ORIGIN_BINARY, {"--root", origin, "--workers", "256"});
  const std::string announced = server.readLine(20s).value_or("");
  ASSERT_TRUE(announced.starts_with("listening on http://127.0.0.1:")) << announced;
  const std::string base = announced.substr(std::string("listening on ").size());

  std::vector<const Kind*> cycle;
  for (const Kind& kind : kKinds) cycle.insert(cycle.end(), kind.share, &kind);
  const char* count = std::getenv("SOAK_REQUESTS");
  std::string input;
  // Each accepted request's kind and what an attachment may hold (nullptr: none at all).
  std::map<std::string, std::pair<std::string, const std::string*>> accepted;
  std::set<std::size_t> malformed, rejected;  // line numbers
  // A prime stride spreads each kind over the run instead of sending it in one burst.
  for (std::size_t n = 1; n <= (count ? std::stoul(count) : 5000); ++n) {
    const Kind& kind = *cycle[n * 7919 % cycle.size()];
    if (kind.attURL.starts_with('!')) {
      input += kind.attURL.substr(1) + "\n";
      malformed.insert(n);
      continue;
    }
    std::string url = kind.attURL, file = url;
    if (const auto star = url.find('*'); star != std::string::npos) {
      file = "/a/" + std::to_string(n) + "/pic.png";
      add(file, distinctPNG(n));
      url.replace(star, 1, file);
    }
    json payload = {{"aps", {{"alert", {{"title", kind.name}, {"body", "soak"}}}}}};
    if (kind.name != "not-mutable") payload["aps"]["mutable-content"] = 1;
    payload["att_url"] = url.starts_with('=') ? json::parse(url.substr(1)) : json(base + url);
    const std::string id = "r" + std::to_string(n);
    input += json{{"identifier", id}, {"payload", payload}}.dump() + "\n";
    accepted[id] = {kind.name, kind.attachable ? &files.at(file) : nullptr};
  }

  const auto before = snapshot(scratch.path(), container);
  // Every request goes to the one origin, where stalled ones would take the few connections
  // a host gets by default and starve the rest: give it as many as the origin has workers.
  HostProcess host(binary,
                   {"--quiet", "--time-limit", std::to_string(kTimeLimitSeconds),
                    "--connections-per-host", "200", "--container", container},
                   {"no_proxy=127.0.0.1", "NO_PROXY=127.0.0.1"});
  host.write(input);
  // Once every request is in flight, the reader stalls until after their expiries, near the
  // time the host stops waiting for downloads: what is written then must not be lost.
  host.serveUntil([] { return false; }, 1s);
  host.pauseOutput(3s);
  const HostResult result = host.wait(150s);
  const auto after = snapshot(scratch.path(), container);
  std::vector<std::pair<std::string, std::string>> changed;
  std::ranges::set_symmetric_difference(before, after, std::back_inserter(changed));
  EXPECT_EQ(changed, decltype(changed){}) << "created or changed outside the container";

  // Each fault named with the kinds of line it struck, so that a failure points at its cause.
  std::map<std::string, std::map<std::string, int>> faults;
  std::map<std::string, int> displayed;
  bool fullDisk = false;  // a staging write failed as the faulty host's file system fails them
  for (const json& delivery : jsonLines(result.out)) {
    const auto found =
        delivery.is_object() ? accepted.find(delivery.value("request", "")) : accepted.end();
    if (found == accepted.end()) {
      ++faults["stray line"][delivery.dump().substr(0, 40)];
      continue;
    }
    const auto& [id, sent] = *found;
    const auto& [kind, served] = sent;
    if (delivery.value("displayed", false)) {
      ++displayed[id];
      if (delivery.value("elapsed_ms", 0.0) > (kTimeLimitSeconds + kSlackSeconds) * 1000)
        ++faults["late"][kind];
    }
    for (const json& why : delivery.value("diagnostics", json::array()))
      fullDisk |= why.value("stage", "") == "staging" && why.value("code", 0) == ENOSPC;
    for (const json& attachment :
         delivery.value(json::json_pointer("/content/attachments"), json::array()))
      if (!served || readFile(attachment.value("file", "")) != *served)
        ++faults["wrong media"][kind];
  }
  for (const auto& [id, sent] : accepted)
    if (displayed[id] != 1) ++faults[displayed[id] ? "duplicate" : "lost"][sent.first];
  const std::string reject = "corvanta-nse: <stdin>:";
  for (const std::string& text : result.errLines()) {
    if (text.starts_with(reject))
      rejected.insert(std::stoul(text.substr(reject.size())));
    else
      ++faults["standard error beyond rejections"][text];
  }
  std::set<std::string> entries;
  // The store's write-ahead log may stay when downloads were abandoned: the next run replays it.
  for (const auto& entry : fs::directory_iterator(container))
    if (!entry.path().filename().string().starts_with("store.db-"))
      entries.insert(entry.path().filename());

  EXPECT_EQ(result.status, malformed.empty() ? 0 : 1) << "128 and over: ended by a signal";
  EXPECT_EQ(faults, decltype(faults){});
  EXPECT_EQ(rejected, malformed);
  EXPECT_EQ(entries, (std::set<std::string>{".lock", "Attachments", "store.db", "tmp"}));
  EXPECT_EQ(fullDisk, writesFail) << "staging writes failed as, and only where, the disk was full";
}

TEST(Soak, EveryRequestDisplayedOnceWithItsOwnMedia) {
  soak(CORVANTA_NSE_BINARY, false);
}

TEST(Soak, FailingStagingWritesLoseNoRequest) {
  soak(CORVANTA_NSE_FAULTY_FS_BINARY, true);
}

}  // namespace
}  // namespace corvanta::testing
