#include "platform/extension_host/app/HostOptions.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "platform/extension_host/device/LocalizedStrings.h"
#include "platform/extension_host/intake/ProviderRequest.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/FileSystem.h"

namespace corvanta {
namespace {

constexpr const char* kDescription =
    "Runs the notification service extension on push payloads and prints what a device would\n"
    "display: one delivery per call of the content handler.";

constexpr const char* kFooter =
    "Input: the FILEs in order, or standard input when there are none or a FILE is '-'.\n"
    "Standard input is JSON Lines. A FILE starting with '[' is an array, one request per\n"
    "element; any other FILE holds one request per JSON value (JSON Lines, or values written\n"
    "over several lines). Inputs are streamed: pipes and devices work, nothing is copied\n"
    "aside. A request is a push payload, or an envelope {\"identifier\": \"...\",\n"
    "\"payload\": {...}}. A line that is not a request is reported on standard error.\n"
    "\n"
    "A request that has had no delivery when its time limit passes is told its time is about\n"
    "to run out, so every request is displayed by then. When the input ends, the host exits\n"
    "once every request has been displayed and no download is running, at the latest twice\n"
    "the time limit after the last request. With --max-in-flight requests running, reading\n"
    "waits for one to end. SIGINT or SIGTERM stops reading and exits once the deliveries\n"
    "already due are written; a second one ends at once.\n"
    "\n"
    "With --strings, an alert's title-loc-key, subtitle-loc-key and loc-key are looked up in\n"
    "FILE (a strings file of \"KEY\" = \"format\"; lines, or a JSON object of key to format)\n"
    "and filled from their -loc-args; without it, or for a key it lacks, the key is shown.\n"
    "\n"
    "The container (default $TMPDIR/corvanta-nse-<uid>) holds the extension's temporary\n"
    "directory, DIR/tmp/, and its attachment store, DIR/Attachments/, one folder per run.\n"
    "\n"
    "At exit, a summary goes to standard error (requests, displayed, attached, without an\n"
    "attachment and why, expired, where the preview is); on a terminal, a progress line while\n"
    "requests run. --quiet leaves both out; rejected lines and errors are still reported.\n"
    "\n"
    "With --listen, no FILE and no standard input is read: pushes come over HTTP/2 as a push\n"
    "service takes them from a provider (POST /3/device/<token>, a JSON payload, apns-*\n"
    "headers, an optional 'authorization: bearer <JWT>'), each answered at once: 200 with\n"
    "its apns-id, or the status and {\"reason\": ...} the provider API documents. Over TLS\n"
    "(ALPN h2) with --tls-cert and --tls-key, or else with a certificate signed by a CA made\n"
    "in the container on first start, DIR/endpoint/ca.crt, for clients to trust; --h2c serves\n"
    "cleartext HTTP/2 with prior knowledge. Only loopback addresses unless --allow-remote.\n"
    "SIGINT or SIGTERM stops taking connections, answers the streams in flight, waits for\n"
    "their notifications as after the last line of a file, and exits 0.\n"
    "\n"
    "Exit status: 0 when every input was read and every request in it accepted (with\n"
    "--listen: once stopped by a signal); 1 when a request was rejected, an input could not\n"
    "be read, the container could not be used, the endpoint could not listen, or the\n"
    "deliveries or the preview could not be written; 2 on usage errors (checked before\n"
    "anything runs, a --preview folder that does not exist included); 130 or 143 when\n"
    "stopped by SIGINT or SIGTERM while reading files.";

// "[HOST:]PORT", the host a name or a numeric address, an IPv6 one in brackets.
std::optional<std::pair<std::string, int>> parseListenAddress(const std::string& text) {
  std::string host = "127.0.0.1";
  std::string port = text;
  if (text.starts_with('[')) {
    const auto close = text.find("]:");
    if (close == std::string::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const auto colon = text.find(':'); colon != std::string::npos) {
    if (text.find(':', colon + 1) != std::string::npos) return std::nullopt;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int number = std::stoi(port);
  if (number > 65535) return std::nullopt;
  return std::pair{host, number};
}

// One token a line; blank lines and lines starting with '#' are skipped.
std::shared_ptr<const std::unordered_set<std::string>> loadDevices(const std::string& path,
                                                                   std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  auto devices = std::make_shared<std::unordered_set<std::string>>();
  std::string line;
  for (std::size_t number = 1; std::getline(file, line); ++number) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    std::string token = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
    if (!isDeviceToken(token)) {
      *error = path + ":" + std::to_string(number) +
               ": not a device token (hex, an even number of 64 to 200 digits)";
      return nullptr;
    }
    devices->insert(asciiLowercase(token));
  }
  if (file.bad()) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  return devices;
}

std::string defaultContainer() {
  return environmentTemporaryDirectory() + "corvanta-nse-" + std::to_string(geteuid());
}

int usageError(const std::string& what) {
  std::fprintf(stderr, "corvanta-nse: %s\nTry 'corvanta-nse --help' for more information.\n",
               what.c_str());
  return 2;
}

// strtod rather than CLI11's conversion, to accept exactly a decimal number of seconds and
// to say precisely what was wrong.
std::optional<double> parseTimeLimit(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  if (text.find_first_of("xXpPnN") != std::string::npos) return std::nullopt;  // hex, nan, inf
  return value;
}

}  // namespace

HostOptionsResult parseHostOptions(int argc, char* argv[]) {
  CLI::App app(kDescription, "corvanta-nse");
  app.footer(kFooter);
  app.get_formatter()->column_width(26);

  std::string timeLimit = "30";
  std::string container = defaultContainer();
  std::string format = "json";
  std::string preview;
  std::string maxInFlight = "10000";
  int connectionsPerHost = 8;
  std::string cacert;
  std::string strings;
  std::vector<std::string> inputs;
  bool quiet = false;
  bool version = false;
  std::string listen, tlsCert, tlsKey, devices, authKey, keyId, teamId, topic;
  bool allowRemote = false;
  bool cleartext = false;

  app.add_option("--time-limit", timeLimit, "Time each request may take (default 30)")
      ->type_name("SECONDS");
  app.add_option("--container", container, "The extension's container (see below)")
      ->type_name("DIR");
  app.add_option("--format", format, "One JSON object per delivery (default), or a line of text")
      ->type_name("json|text");
  app.add_option("--preview", preview, "At exit, write an HTML page of the notifications")
      ->type_name("FILE");
  app.add_option("--max-in-flight", maxInFlight,
                 "Requests running at once before reading waits (default 10000)")
      ->type_name("N");
  app.add_option("--connections-per-host", connectionsPerHost,
                 "Connections open at once to one origin; more wait (default 8)")
      ->type_name("N")
      ->check(CLI::Range(1, 1000));
  app.add_option("--cacert", cacert,
                 "Trust the CAs in this PEM file for HTTPS, instead of $SSL_CERT_FILE or the "
                 "system's")
      ->type_name("FILE");
  app.add_option("--strings", strings, "Formats for the alerts' localization keys")
      ->type_name("FILE");
  app.add_option("--listen", listen, "Take pushes over HTTP/2 on this address, not from files")
      ->type_name("[HOST:]PORT");
  app.add_flag("--allow-remote", allowRemote, "Let --listen use an address other machines reach");
  app.add_option("--tls-cert", tlsCert, "The endpoint's certificate chain (PEM)")
      ->type_name("FILE");
  app.add_option("--tls-key", tlsKey, "The endpoint's private key (PEM)")->type_name("FILE");
  app.add_flag("--h2c", cleartext, "Cleartext HTTP/2 with prior knowledge instead of TLS");
  app.add_option("--devices", devices, "Registered device tokens, one a line; others get 410")
      ->type_name("FILE");
  app.add_option("--auth-key", authKey, "Verify provider tokens with this signing key (.p8)")
      ->type_name("FILE");
  app.add_option("--key-id", keyId, "The signing key's ID, a provider token's kid")
      ->type_name("ID");
  app.add_option("--team-id", teamId, "The team ID, a provider token's iss")->type_name("ID");
  app.add_option("--topic", topic, "The app's topic; a push naming another gets 400 BadTopic")
      ->type_name("TOPIC");
  app.add_flag("--quiet", quiet, "No summary at exit and no progress line on standard error");
  app.add_flag("--version", version, "Print the version and exit");
  // As with most commands, a repeated option takes its last value: scripts append to a base.
  for (const char* name :
       {"--time-limit", "--container", "--format", "--preview", "--max-in-flight", "--strings",
        "--connections-per-host", "--cacert", "--listen", "--tls-cert", "--tls-key", "--devices",
        "--auth-key", "--key-id", "--team-id", "--topic"}) {
    app.get_option(name)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  app.add_option("FILE", inputs, "Requests to read; '-' is standard input")->type_name("");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return {std::nullopt, 0};
  } catch (const CLI::ParseError& error) {
    return {std::nullopt, usageError(error.what())};
  }

  if (version) {
    std::printf("corvanta-nse %s\n", CORVANTA_VERSION);
    return {std::nullopt, 0};
  }

  HostOptions options;
  const auto seconds = parseTimeLimit(timeLimit);
  if (!seconds || *seconds <= 0 || *seconds > kMaximumTimeLimitSeconds) {
    return {std::nullopt, usageError("--time-limit must be a number of seconds above 0 and at "
                                     "most 1000000, not '" +
                                     timeLimit + "'")};
  }
  options.timeLimitSeconds = *seconds;

  {
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(maxInFlight.c_str(), &end, 10);
    if (maxInFlight.empty() || maxInFlight.find_first_not_of("0123456789") != std::string::npos ||
        errno != 0 || *end != '\0' || n == 0 || n > kMaximumInFlight) {
      return {std::nullopt,
              usageError("--max-in-flight must be a whole number from 1 to " +
                         std::to_string(kMaximumInFlight) + ", not '" + maxInFlight + "'")};
    }
    options.maxInFlight = static_cast<std::size_t>(n);
  }
  options.connectionsPerHost = connectionsPerHost;
  if (app.count("--cacert") > 0) {
    // Checked now: a file that cannot be read would fail every HTTPS download of the run.
    if (cacert.empty() || ::access(cacert.c_str(), R_OK) != 0 ||
        std::filesystem::is_directory(cacert)) {
      return {std::nullopt, usageError("--cacert: cannot read '" + cacert + "'")};
    }
    options.certificateAuthorities = cacert;
  }

  if (format == "json") {
    options.format = DeliveryFormat::json;
  } else if (format == "text") {
    options.format = DeliveryFormat::text;
  } else {
    return {std::nullopt, usageError("--format must be json or text, not '" + format + "'")};
  }

  if (container.empty()) return {std::nullopt, usageError("--container needs a directory")};
  options.container = container;

  if (app.count("--preview") > 0) {
    if (preview.empty()) return {std::nullopt, usageError("--preview needs a file name")};
    // Checked now rather than at exit, so a long run does not end in a page it cannot write.
    std::error_code error;
    const auto parent = std::filesystem::path(preview).parent_path();
    if (!parent.empty() && !std::filesystem::is_directory(parent, error)) {
      return {std::nullopt, usageError("--preview: no directory '" + parent.string() + "'")};
    }
    if (std::filesystem::is_directory(preview, error)) {
      return {std::nullopt, usageError("--preview: '" + preview + "' is a directory")};
    }
    options.previewPath = preview;
  }

  if (app.count("--strings") > 0) {
    auto table = LocalizedStrings::load(strings);
    if (!table) return {std::nullopt, usageError("--strings: " + table.failure().message)};
    options.strings = std::make_shared<const LocalizedStrings>(std::move(*table));
    setLocalizedStrings(options.strings);
  }

  const bool listening = app.count("--listen") > 0;
  if (!listening) {
    for (const char* name : {"--allow-remote", "--tls-cert", "--tls-key", "--h2c", "--devices",
                             "--auth-key", "--key-id", "--team-id", "--topic"}) {
      if (app.count(name) > 0) {
        return {std::nullopt, usageError(std::string(name) + " goes with --listen")};
      }
    }
  } else {
    EndpointOptions endpoint;
    const auto address = parseListenAddress(listen);
    if (!address) {
      return {
          std::nullopt,
          usageError("--listen must be [HOST:]PORT, a port from 0 to 65535, not '" + listen + "'")};
    }
    std::tie(endpoint.host, endpoint.port) = *address;
    if (!inputs.empty()) {
      return {std::nullopt, usageError("--listen takes pushes over HTTP/2 and reads no FILE")};
    }
    if ((app.count("--tls-cert") > 0) != (app.count("--tls-key") > 0)) {
      return {std::nullopt, usageError("--tls-cert and --tls-key go together")};
    }
    if (cleartext && app.count("--tls-cert") > 0) {
      return {std::nullopt, usageError("--h2c is cleartext: it takes no --tls-cert")};
    }
    const auto keyOptions =
        app.count("--auth-key") + app.count("--key-id") + app.count("--team-id");
    if (keyOptions > 0 && (app.count("--auth-key") == 0 || app.count("--key-id") == 0 ||
                           app.count("--team-id") == 0)) {
      return {std::nullopt, usageError("--auth-key, --key-id and --team-id go together")};
    }
    if (app.count("--devices") > 0) {
      std::string error;
      endpoint.devices = loadDevices(devices, &error);
      if (!endpoint.devices) return {std::nullopt, usageError("--devices: " + error)};
    }
    endpoint.allowRemote = allowRemote;
    endpoint.cleartext = cleartext;
    endpoint.certificateFile = tlsCert;
    endpoint.keyFile = tlsKey;
    endpoint.authKeyFile = authKey;
    endpoint.keyId = keyId;
    endpoint.teamId = teamId;
    if (app.count("--topic") > 0) endpoint.topic = topic;
    options.endpoint = std::move(endpoint);
  }

  options.quiet = quiet;
  options.inputs = inputs.empty() ? std::vector<std::string>{"-"} : std::move(inputs);
  return {std::move(options), 0};
}

}  // namespace corvanta
