#include "platform/extension_host/app/HostOptions.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "platform/extension_host/device/LocalizedStrings.h"
#include "platform/extension_host/intake/ProviderRequest.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Result.h"
#include "platform/url_loading/CurlEngine.h"

namespace corvanta {
namespace {

constexpr const char* kDescription =
    "Runs the notification service extension on push payloads and prints what a device would\n"
    "display: one delivery per call of the content handler.";

constexpr const char* kFooter =
    "Input: the FILEs in order, or standard input when there are none or a FILE is '-'.\n"
    "An input starting with '[' is an array, one request per element; any other holds one\n"
    "request per JSON value (JSON Lines, or values written over several lines). Inputs are\n"
    "streamed: pipes and devices work, nothing is copied aside. A request is a push payload,\n"
    "or an envelope {\"identifier\": \"...\", \"payload\": {...}}, which may say how the push\n"
    "came as the endpoint's headers do: \"device\", \"push_type\", \"priority\", \"topic\",\n"
    "\"collapse_id\", \"expiration\". A line that is not a request is reported on standard\n"
    "error. A push the push service would refuse (a payload over 4096 bytes, 5120 for voip;\n"
    "an envelope field the endpoint would refuse) is delivered not shown, with the reason.\n"
    "\n"
    "A delivery is displayed when a device would show it: not a background push, not a push\n"
    "of another type than alert, not an alert with no title, subtitle or body. The notes say\n"
    "why, and name each payload field a device ignores. A download over plain http is noted\n"
    "(a device refuses it unless the app allows insecure loads); --require-https refuses it.\n"
    "\n"
    "A request that has had no delivery when its time limit passes is told its time is about\n"
    "to run out, so every request is delivered by then. When the input ends, the host exits\n"
    "once every request has been delivered and no download is running, at the latest twice\n"
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
    "At exit, a summary goes to standard error (requests, displayed, not shown and why,\n"
    "refused pushes, attached, without an attachment and why, expired, downloads over plain\n"
    "http, where the preview is); on a terminal, a progress line while\n"
    "requests run. --quiet leaves both out; rejected lines and errors are still reported.\n"
    "\n"
    "With --listen, no FILE and no standard input is read: pushes come over HTTP/2 as a push\n"
    "service takes them from a provider (POST /3/device/<token>, a JSON payload, apns-*\n"
    "headers, an optional 'authorization: bearer <JWT>'), each answered at once: 200 with\n"
    "its apns-id, or the status and {\"reason\": ...} the provider API documents. Over TLS\n"
    "(ALPN h2) with --tls-cert and --tls-key, or else with a certificate signed by a CA made\n"
    "in the container on first start, DIR/endpoint/ca.crt, for clients to trust; --h2c serves\n"
    "cleartext HTTP/2 with prior knowledge. Only loopback addresses unless --allow-remote.\n"
    "Each push refused is told on standard error (status, reason, apns-id, what was at\n"
    "fault), up to 20 a second; more in one second are told as a count. SIGINT or SIGTERM\n"
    "stops taking connections, answers the streams in flight, waits for their\n"
    "notifications as after the last line of a file, and exits 0.\n"
    "\n"
    "With --ui, a page at http://HOST:PORT/ shows the notifications as a device does,\n"
    "newest first, and follows each delivery as it happens; the same port answers the API\n"
    "(GET /api/requests, /api/requests/ID, /api/requests/ID/attachment, /api/refused,\n"
    "/api/events; DELETE /api/requests), JSON read from the container's store. Only\n"
    "loopback addresses unless --allow-remote. Reading files, the host keeps serving the page\n"
    "once the input ends, until SIGINT or SIGTERM.\n"
    "\n"
    "Exit status: 0 when every input was read and every request in it accepted (with\n"
    "--listen: once stopped by a signal); 1 when a request was rejected, an input could not\n"
    "be read, the container could not be used, the endpoint could not listen, or the\n"
    "deliveries or the preview could not be written; 2 on usage errors (a --preview folder\n"
    "that does not exist, a --cacert file without certificates, a --listen address or TLS\n"
    "certificate or key that cannot be used included); 130 or 143 when stopped by SIGINT or\n"
    "SIGTERM while reading files.";

// A usage error worded whole by us: CLI11 words a validator's refusal "NAME: <message>", and
// some of ours read "--format must be ...". Being our own, it also lets --help and --version
// win over our checks, as they did when the checks ran after parsing.
class UsageError : public CLI::ParseError {
 public:
  explicit UsageError(std::string message)
      : CLI::ParseError("UsageError", std::move(message), CLI::ExitCodes::ValidationError) {}
};

// A validator that throws what `problem` finds wrong with a value, if anything. It sees only
// the value taken: CLI11 numbers the earlier values of a repeated option below 0.
CLI::Validator refusing(std::function<std::optional<std::string>(const std::string&)> problem) {
  CLI::Validator validator(
      [problem = std::move(problem)](std::string& value) {
        if (auto what = problem(value)) throw UsageError(std::move(*what));
        return std::string();
      },
      "");
  validator.application_index(0);
  return validator;
}

// An option's callback that reads the value taken into `target` with `parse`, and refuses
// what `parse` cannot read with "<rule>, not '<value>'". Our parsers rather than CLI11's
// conversions, which read "010" as octal and a double through a long double.
template <class T>
std::function<void(const std::string&)> readInto(T& target,
                                                 std::optional<T> (*parse)(const std::string&),
                                                 std::string rule) {
  return [&target, parse, rule = std::move(rule)](const std::string& text) {
    std::optional<T> value = parse(text);
    if (!value) throw UsageError(rule + ", not '" + text + "'");
    target = std::move(*value);
  };
}

// A decimal number of seconds, above 0 and at most kMaximumTimeLimitSeconds.
std::optional<double> parseTimeLimit(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || errno != 0 || end != text.c_str() + text.size() ||
      text.find_first_of("xXpPnN") != std::string::npos ||  // hex, nan, inf
      value <= 0 || value > kMaximumTimeLimitSeconds) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::size_t> parseMaxInFlight(const std::string& text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == 0 ||
      value > kMaximumInFlight) {
    return std::nullopt;
  }
  return value;
}

std::optional<DeliveryFormat> parseFormat(const std::string& text) {
  if (text == "json") return DeliveryFormat::json;
  if (text == "text") return DeliveryFormat::text;
  return std::nullopt;
}

std::optional<std::string> containerProblem(const std::string& path) {
  if (path.empty()) return "--container needs a directory";
  return std::nullopt;
}

// Checked now, so that a long run does not end in a page it cannot write.
std::optional<std::string> previewProblem(const std::string& path) {
  if (path.empty()) return "--preview needs a file name";
  const std::string parent = std::filesystem::path(path).parent_path();
  if (!parent.empty() && !CLI::ExistingDirectory(parent).empty()) {
    return "--preview: no directory '" + parent + "'";
  }
  if (CLI::ExistingDirectory(path).empty()) return "--preview: '" + path + "' is a directory";
  return std::nullopt;
}

// Checked now: a file that cannot be read, or holds no certificate, would fail every HTTPS
// download of the run.
std::optional<std::string> cacertProblem(const std::string& path) {
  if (!CLI::ExistingFile(path).empty() || ::access(path.c_str(), R_OK) != 0) {
    return "--cacert: cannot read '" + path + "'";
  }
  if (auto usable = CurlEngine::checkCertificateAuthorityFile(path); !usable) {
    return "--cacert: " + usable.failure().message;
  }
  return std::nullopt;
}

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

// One token a line; '#' starts a comment, and lines left blank are skipped.
Result<std::shared_ptr<const std::unordered_set<std::string>>> loadDevices(
    const std::string& path) {
  std::ifstream file(path);
  if (!file) return Failure::ofErrno("cannot read '" + path + "'");
  auto devices = std::make_shared<std::unordered_set<std::string>>();
  std::string line;
  for (std::size_t number = 1; std::getline(file, line); ++number) {
    line.resize(std::min(line.find('#'), line.size()));
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    std::string token = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
    if (!isDeviceToken(token)) {
      return Failure{path + ":" + std::to_string(number) +
                     ": not a device token (hex, an even number of 64 to 200 digits)"};
    }
    devices->insert(asciiLowercase(token));
  }
  if (file.bad()) return Failure::ofErrno("cannot read '" + path + "'");
  return std::shared_ptr<const std::unordered_set<std::string>>(std::move(devices));
}

std::string defaultContainer() {
  return environmentTemporaryDirectory() + "corvanta-nse-" + std::to_string(geteuid());
}

// What the command line gives that becomes options only once parsing is done.
struct Given {
  std::string preview, strings, devices, topic;
  std::pair<std::string, int> address;  // --listen
  std::pair<std::string, int> ui;
  std::vector<std::string> inputs;
};

void addOptions(CLI::App& app, HostOptions& options, Given& given) {
  app.add_option_function<std::string>(
         "--time-limit",
         readInto(options.timeLimitSeconds, parseTimeLimit,
                  "--time-limit must be a number of seconds above 0 and at most 1000000"),
         "Time each request may take (default 30)")
      ->type_name("SECONDS");
  app.add_option("--container", options.container, "The extension's container (see below)")
      ->type_name("DIR")
      ->check(refusing(containerProblem));
  app.add_option_function<std::string>(
         "--format", readInto(options.format, parseFormat, "--format must be json or text"),
         "One JSON object per delivery (default), or a line of text")
      ->type_name("json|text");
  app.add_option("--preview", given.preview, "At exit, write an HTML page of the notifications")
      ->type_name("FILE")
      ->check(refusing(previewProblem));
  app.add_option_function<std::string>(
         "--max-in-flight",
         readInto(options.maxInFlight, parseMaxInFlight,
                  "--max-in-flight must be a whole number from 1 to " +
                      std::to_string(kMaximumInFlight)),
         "Requests running at once before reading waits (default 10000)")
      ->type_name("N");
  app.add_option("--connections-per-host", options.connectionsPerHost,
                 "Connections open at once to one origin, 1 to 1000; more wait (default 8)")
      ->type_name("N")
      ->check(CLI::Range(1, 1000).description(""));
  app.add_flag("--require-https", options.requireHTTPS,
               "Refuse plain http downloads and redirects, as a device does unless the app "
               "allows insecure loads");
  app.add_option("--cacert", options.certificateAuthorities,
                 "Trust the CAs in this PEM file for HTTPS, instead of $SSL_CERT_FILE or the "
                 "system's")
      ->type_name("FILE")
      ->check(refusing(cacertProblem));
  app.add_option("--strings", given.strings, "Formats for the alerts' localization keys")
      ->type_name("FILE");
}

void addEndpointOptions(CLI::App& app, EndpointOptions& endpoint, Given& given) {
  app.add_option_function<std::string>(
         "--listen",
         readInto(given.address, parseListenAddress,
                  "--listen must be [HOST:]PORT, a port from 0 to 65535"),
         "Take pushes over HTTP/2 on this address, not from files")
      ->type_name("[HOST:]PORT");
  app.add_option_function<std::string>(
         "--ui",
         readInto(given.ui, parseListenAddress, "--ui must be [HOST:]PORT, a port from 0 to 65535"),
         "Serve the live device page and the API on this address")
      ->type_name("[HOST:]PORT");
  app.add_flag("--allow-remote", endpoint.allowRemote,
               "Let --listen and --ui use an address other machines reach");
  app.add_option("--tls-cert", endpoint.certificateFile, "The endpoint's certificate chain (PEM)")
      ->type_name("FILE");
  app.add_option("--tls-key", endpoint.keyFile, "The endpoint's private key (PEM)")
      ->type_name("FILE");
  app.add_flag("--h2c", endpoint.cleartext, "Cleartext HTTP/2 with prior knowledge instead of TLS");
  app.add_option("--devices", given.devices, "Registered device tokens, one a line; others get 410")
      ->type_name("FILE");
  app.add_option("--auth-key", endpoint.authKeyFile,
                 "Verify provider tokens with this signing key (.p8)")
      ->type_name("FILE");
  app.add_option("--key-id", endpoint.keyId, "The signing key's ID, a provider token's kid")
      ->type_name("ID");
  app.add_option("--team-id", endpoint.teamId, "The team ID, a provider token's iss")
      ->type_name("ID");
  app.add_option("--topic", given.topic, "The app's topic; a push naming another gets 400 BadTopic")
      ->type_name("TOPIC");
}

// How the endpoint's options go together, checked in the order a problem is reported. An
// explicit check rather than CLI11's needs() and excludes(), which word their refusals
// "A requires B" and "A excludes B".
std::optional<std::string> endpointRelationProblem(const CLI::App& app, bool readsFiles) {
  const auto given = [&app](const char* name) { return app.count(name) > 0; };
  if (given("--allow-remote") && !given("--listen") && !given("--ui")) {
    return "--allow-remote goes with --listen or --ui";
  }
  if (!given("--listen")) {
    for (const char* name : {"--tls-cert", "--tls-key", "--h2c", "--devices", "--auth-key",
                             "--key-id", "--team-id", "--topic"}) {
      if (given(name)) return std::string(name) + " goes with --listen";
    }
    return std::nullopt;
  }
  if (readsFiles) return "--listen takes pushes over HTTP/2 and reads no FILE";
  if (given("--tls-cert") != given("--tls-key")) return "--tls-cert and --tls-key go together";
  if (given("--h2c") && given("--tls-cert")) return "--h2c is cleartext: it takes no --tls-cert";
  const int keys = given("--auth-key") + given("--key-id") + given("--team-id");
  if (keys != 0 && keys != 3) return "--auth-key, --key-id and --team-id go together";
  return std::nullopt;
}

// The endpoint's options once their relations hold.
Result<EndpointOptions> endpointOptions(const CLI::App& app, EndpointOptions endpoint,
                                        const Given& given) {
  std::tie(endpoint.host, endpoint.port) = given.address;
  if (app.count("--devices") > 0) {
    auto devices = loadDevices(given.devices);
    if (!devices) return std::move(devices).failure().within("--devices");
    endpoint.devices = std::move(*devices);
  }
  if (app.count("--topic") > 0) endpoint.topic = given.topic;
  return endpoint;
}

HostOptionsResult usageError(const std::string& what) {
  reportUsageError(what);
  return {std::nullopt, 2};
}

HostOptionsResult help(const CLI::App& app) {
  std::fputs(app.help().c_str(), stdout);
  return {std::nullopt, 0};
}

HostOptionsResult version() {
  std::printf("corvanta-nse %s\n", CORVANTA_VERSION);
  return {std::nullopt, 0};
}

}  // namespace

void reportUsageError(const std::string& what) {
  std::fprintf(stderr, "corvanta-nse: %s\nTry 'corvanta-nse --help' for more information.\n",
               what.c_str());
}

HostOptionsResult parseHostOptions(int argc, char* argv[]) {
  CLI::App app(kDescription, "corvanta-nse");
  app.footer(kFooter);
  app.get_formatter()->column_width(26);
  // As with most commands, a repeated option takes its last value: scripts append to a base.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  HostOptions options;
  options.container = defaultContainer();
  EndpointOptions endpoint;
  Given given;
  addOptions(app, options, given);
  addEndpointOptions(app, endpoint, given);
  app.add_flag("--quiet", options.quiet,
               "No summary at exit and no progress line on standard error");
  app.add_flag("--version")->description("Print the version and exit");
  app.add_option("FILE", given.inputs, "Requests to read; '-' is standard input")->type_name("");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return help(app);
  } catch (const UsageError& error) {
    if (app.count("--help") > 0) return help(app);
    if (app.count("--version") > 0) return version();
    return usageError(error.what());
  } catch (const CLI::ParseError& error) {
    return usageError(error.what());
  }
  if (app.count("--version") > 0) return version();

  if (app.count("--preview") > 0) options.previewPath = given.preview;
  if (app.count("--strings") > 0) {
    auto table = LocalizedStrings::load(given.strings);
    if (!table) return usageError("--strings: " + table.failure().message);
    options.strings = std::make_shared<const LocalizedStrings>(std::move(*table));
    options.stringsFile = given.strings;
  }
  if (auto problem = endpointRelationProblem(app, !given.inputs.empty())) {
    return usageError(*problem);
  }
  if (app.count("--listen") > 0) {
    auto listening = endpointOptions(app, std::move(endpoint), given);
    if (!listening) return usageError(listening.failure().message);
    options.endpoint = std::move(*listening);
  }
  if (app.count("--ui") > 0) {
    options.live = LiveOptions{given.ui.first, given.ui.second, app.count("--allow-remote") > 0};
  }
  options.inputs = given.inputs.empty() ? std::vector<std::string>{"-"} : std::move(given.inputs);
  return {std::move(options), 0};
}

}  // namespace corvanta
