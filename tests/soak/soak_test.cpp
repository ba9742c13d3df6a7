// The soak: thousands of requests in flight at once through the built host, against the media
// origin in its own process, with every kind of fault mixed in. Whatever the faults, each
// accepted request is displayed exactly once and in time, every attachment holds its own
// URL's bytes, only the malformed lines are rejected, nothing outside the container changes,
// and the host ends by exiting, never by a signal. SOAK_REQUESTS sets how many lines (5000).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr double kTimeLimitSeconds = 2;
constexpr double kSlackSeconds = 0.5;

// pic.png with a text chunk naming `n` (and `padding` bytes more) before its end: a valid
// image, distinct bytes.
std::string distinctPNG(int n, std::size_t padding = 0) {
  std::string png = media("pic.png");
  const std::string typed =
      std::string("tEXt") + "n" + '\0' + std::to_string(n) + std::string(padding, ' ');
  auto be32 = [](uLong value) {
    return std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                       static_cast<char>(value >> 8), static_cast<char>(value)};
  };
  const uLong crc =
      crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()));
  png.insert(png.size() - 12, be32(typed.size() - 4) + typed + be32(crc));
  return png;
}

struct Line {
  std::string kind, text;
  std::string id;                       // "" for a malformed line, which the host must reject
  const std::string* served = nullptr;  // what an attachment may hold; nullptr: none at all
};

// A kind of input line and its share of every cycle of lines. `attURL` is the payload's
// "att_url": a path on the origin, where "*" stands for a PNG of the line's own at
// /a/<n>/pic.png (all of them stage as "pic.png"), or after "=" the value's JSON text.
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
    {"malformed", 20, ""},
};

class Soak {
 public:
  explicit Soak(const std::string& binary) : _binary(binary) {
    fs::create_directories(path("decoy/tmp"));
    _scratch.write("decoy/keep.txt", "the container's neighbour");
    add("/wrong/text.png", "plain text, not an image\n");
    add("/wrong/png.mp3", media("pic.png"));
    add("/media/large.png", distinctPNG(0, 300 * 1024));
    for (const char* name :
         {"pic.png", "photo.jpg", "anim.gif", "tone.mp3", "tone.wav", "clip.mp4"})
      add(std::string("/media/") + name, media(name));
  }

  void run();

 private:
  std::string path(const std::string& name) const { return _scratch.path() + name; }
  Line line(const Kind& kind, int n);
  std::vector<Line> lines();
  void check(const std::vector<Line>& lines, const HostResult& result);

  // Writes an origin file, so that the test knows every byte the origin serves.
  void add(const std::string& file, std::string bytes) {
    fs::create_directories(fs::path(path("origin") + file).parent_path());
    std::ofstream(path("origin") + file, std::ios::binary) << bytes;
    _files[file] = std::move(bytes);
  }

  std::string _binary;
  ScratchDirectory _scratch;
  std::map<std::string, std::string> _files;
  std::string _origin;  // "http://127.0.0.1:PORT"
};

Line Soak::line(const Kind& kind, int n) {
  if (kind.name == "malformed") {
    const char* texts[] = {R"({"identifier":"x","payload":{"aps":)", "not json", R"({"aps":{},})"};
    return {kind.name, texts[n % 3], "", nullptr};
  }
  std::string attURL = kind.attURL.substr(kind.attURL.starts_with('=') ? 1 : 0);
  std::string file = attURL;
  if (const auto star = attURL.find('*'); star != std::string::npos) {
    file = "/a/" + std::to_string(n) + "/pic.png";
    add(file, distinctPNG(n));
    attURL.replace(star, 1, file);
  }
  if (!kind.attURL.starts_with('=')) attURL = json(_origin + attURL).dump();
  const std::string id = "r" + std::to_string(n);
  const char* mutableContent = kind.name == "not-mutable" ? "" : R"(,"mutable-content":1)";
  return {kind.name,
          R"({"identifier":")" + id + R"(","payload":{"aps":{"alert":{"title":")" + kind.name +
              R"(","body":"soak"})" + mutableContent + R"(},"att_url":)" + attURL + "}}",
          id, kind.attachable ? &_files.at(file) : nullptr};
}

std::vector<Line> Soak::lines() {
  std::vector<const Kind*> cycle;
  for (const Kind& kind : kKinds) cycle.insert(cycle.end(), kind.share, &kind);
  const char* count = std::getenv("SOAK_REQUESTS");
  std::vector<Line> result;
  // A prime stride spreads each kind over the run instead of sending it in one burst.
  for (int n = 1; n <= (count ? std::atoi(count) : 5000); ++n)
    result.push_back(line(*cycle[(static_cast<std::size_t>(n) * 7919) % cycle.size()], n));
  return result;
}

// Every file and folder under `root` but `except`, with its mode, modification time and a
// hash of its bytes.
std::map<std::string, std::string> snapshot(const std::string& root, const std::string& except) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().string();
    if (name.starts_with(except)) continue;
    struct stat info {};
    ::lstat(name.c_str(), &info);
    entries[name] =
        std::to_string(info.st_mode) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
        std::to_string(info.st_mtim.tv_nsec) + " " +
        std::to_string(std::hash<std::string>()(entry.is_regular_file() ? readFile(name) : ""));
  }
  return entries;
}

void Soak::run() {
  // Stalled requests hold a worker each until the origin stops.
  HostProcess origin(CORVANTA_MEDIA_ORIGIN_BINARY, {"--root", path("origin"), "--workers", "256"});
  const std::string announced = origin.readLine(20s).value_or("");
  ASSERT_TRUE(announced.starts_with("listening on http://127.0.0.1:")) << announced;
  _origin = announced.substr(std::string("listening on ").size());
  const std::vector<Line> input = lines();

  const auto before = snapshot(_scratch.path(), path("container"));
  // Every request goes to the one origin, where stalled ones would take the few connections
  // a host gets by default and starve the rest: give it as many as the origin has workers.
  HostProcess host(_binary,
                   {"--quiet", "--time-limit", std::to_string(kTimeLimitSeconds),
                    "--connections-per-host", "200", "--container", path("container")},
                   {"no_proxy=127.0.0.1", "NO_PROXY=127.0.0.1"});
  for (const Line& line : input) host.write(line.text + "\n");
  // Once every request is in flight, the reader stalls until after their expiries, near the
  // time the host stops waiting for downloads: what is written then must not be lost.
  for (const auto start = std::chrono::steady_clock::now();
       std::chrono::steady_clock::now() < start + 1s;)
    host.readLine(100ms);
  host.pauseOutput(3s);
  const HostResult result = host.wait(150s);
  const auto after = snapshot(_scratch.path(), path("container"));
  std::vector<std::pair<std::string, std::string>> changed;
  std::set_symmetric_difference(before.begin(), before.end(), after.begin(), after.end(),
                                std::back_inserter(changed));
  EXPECT_EQ(changed, decltype(changed){}) << "created or changed outside the container";
  check(input, result);
}

void Soak::check(const std::vector<Line>& lines, const HostResult& result) {
  std::map<std::string, const Line*> accepted;
  std::set<std::size_t> malformed;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].id.empty())
      malformed.insert(i + 1);
    else
      accepted[lines[i].id] = &lines[i];
  }
  // Each fault named with the kinds of line it struck, so that a failure points at its cause.
  std::map<std::string, std::map<std::string, int>> faults;
  std::map<std::string, int> displayed;
  std::set<std::string> attached;
  for (const json& delivery : jsonLines(result.out)) {
    const auto found =
        delivery.is_object() ? accepted.find(delivery.value("request", "")) : accepted.end();
    if (found == accepted.end()) {
      ++faults["stray line"][delivery.dump().substr(0, 40)];
      continue;
    }
    const Line& line = *found->second;
    if (delivery.value("displayed", false)) {
      ++displayed[line.id];
      if (delivery.value("elapsed_ms", 0.0) > (kTimeLimitSeconds + kSlackSeconds) * 1000)
        ++faults["late"][line.kind];
    }
    for (const json& attachment :
         delivery.value(json::json_pointer("/content/attachments"), json::array())) {
      attached.insert(line.id);
      if (!line.served || readFile(attachment.value("file", "")) != *line.served)
        ++faults["wrong media"][line.kind];
    }
  }
  std::size_t attachableWithout = 0;
  for (const auto& [id, line] : accepted) {
    if (displayed[id] != 1) ++faults[displayed[id] ? "duplicate" : "lost"][line->kind];
    attachableWithout += line->served && !attached.count(id);
  }
  std::set<std::size_t> rejected;
  std::vector<std::string> otherErrors;
  const std::regex reject(R"(corvanta-nse: <stdin>:([0-9]+): .*)");
  for (const std::string& text : result.errLines()) {
    std::smatch match;
    if (std::regex_match(text, match, reject))
      rejected.insert(std::stoul(match[1]));
    else
      otherErrors.push_back(text);
  }
  std::set<std::string> containerEntries;
  for (const auto& entry : fs::directory_iterator(path("container")))
    containerEntries.insert(entry.path().filename().string());

  EXPECT_LT(result.status, 128) << "the host ended by signal " << result.status - 128;
  EXPECT_EQ(result.status, malformed.empty() ? 0 : 1);
  EXPECT_EQ(faults, decltype(faults){});
  EXPECT_EQ(rejected, malformed);
  EXPECT_EQ(otherErrors, std::vector<std::string>{}) << "standard error beyond rejections";
  EXPECT_EQ(containerEntries, (std::set<std::string>{".lock", "Attachments", "tmp"}));
  if (_binary.ends_with("faulty-fs")) {
    EXPECT_GT(attachableWithout, 0u) << "no staging write failed";
  }
}

TEST(Soak, EveryRequestDisplayedOnceWithItsOwnMedia) {
  Soak(CORVANTA_NSE_BINARY).run();
}

TEST(Soak, FailingStagingWritesLoseNoRequest) {
  Soak(CORVANTA_NSE_FAULTY_FS_BINARY).run();
}

}  // namespace
}  // namespace corvanta::testing
