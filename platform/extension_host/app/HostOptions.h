// The host's command line: what to read, how long each request may take, where the
// extension's container is, and how deliveries are shown.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/extension_host/output/DeliveryFormat.h"

namespace corvanta {

class LocalizedStrings;

// The provider endpoint's options (--listen and those that go with it).
struct EndpointOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  bool allowRemote = false;
  bool cleartext = false;                // --h2c
  std::string certificateFile, keyFile;  // --tls-cert, --tls-key; empty: the container's CA
  // --devices: the registered tokens, lower-case; nullptr: every well-formed token.
  std::shared_ptr<const std::unordered_set<std::string>> devices;
  std::string authKeyFile, keyId, teamId;  // --auth-key, --key-id, --team-id; all or none
  std::optional<std::string> topic;
};

// The live page's options (--ui).
struct LiveOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  bool allowRemote = false;
};

struct HostOptions {
  double timeLimitSeconds = 30;
  std::string container;  // as given, or the default; not yet made absolute
  DeliveryFormat format = DeliveryFormat::json;
  std::optional<std::string> previewPath;
  bool quiet = false;  // no summary at exit, no progress line on a terminal
  std::size_t maxInFlight = 10'000;
  int connectionsPerHost = 8;
  std::string
      certificateAuthorities;       // a CA bundle to trust; "" for $SSL_CERT_FILE or the system's
  bool requireHTTPS = false;        // refuse plain http downloads, as a device does by default
  std::vector<std::string> inputs;  // "-" is standard input; never empty after parsing
  std::optional<EndpointOptions> endpoint;  // --listen: pushes come over HTTP/2, inputs unread
  std::optional<LiveOptions> live;          // --ui: the live page and the API
  // The --strings table, loaded while parsing, and its file; nullptr and "" without the option.
  std::shared_ptr<const LocalizedStrings> strings;
  std::string stringsFile;
};

// The outcome of parsing: options to run with, or the status to exit with at once (after
// --help or --version, whose text went to standard output, or after a usage error, whose
// message went to standard error).
struct HostOptionsResult {
  std::optional<HostOptions> options;
  int exitStatus = 0;
};

// Parses the process arguments. Reads $TMPDIR for the default container, the --devices
// file and the --strings file; a file that cannot be read or parsed is a usage error. Never
// throws.
HostOptionsResult parseHostOptions(int argc, char* argv[]);

// Says on standard error that `what` was wrong in how the host was called, and where to read
// how to call it; the caller exits 2.
void reportUsageError(const std::string& what);

// The largest --time-limit accepted, in seconds: far beyond any useful limit, small enough
// that deadlines computed from it stay within the clock's range.
inline constexpr double kMaximumTimeLimitSeconds = 1'000'000;

// The largest --max-in-flight accepted: each request in flight holds a few kilobytes.
inline constexpr std::size_t kMaximumInFlight = 10'000'000;

}  // namespace corvanta
