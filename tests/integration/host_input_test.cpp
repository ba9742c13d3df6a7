// The host's input contract, through the built binary: where requests come from, how they
// are named, which are rejected and how, and the command line's usage errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/extension_host/intake/EndpointCertificates.h"
#include "support/HostProcess.h"
#include "support/ScratchDirectory.h"
#include "support/TestData.h"

namespace corvanta::testing {
namespace {

using nlohmann::json;

class HostInputTest : public ::testing::Test {
 protected:
  std::vector<std::string> args(std::vector<std::string> more = {}) const {
    // --quiet: the run summary would stand among the lines these tests count.
    more.insert(more.begin(),
                {"--quiet", "--container", scratch.path() + "container", "--time-limit", "5"});
    return more;
  }

  ScratchDirectory scratch;
};

TEST_F(HostInputTest, RequestsComeFromFilesAndStandardInputAndBadOnesAreReportedInPlace) {
  const auto alert = [](const std::string& body) {
    return "{\"aps\":{\"alert\":\"" + body + "\"}}";
  };
  const std::string exactlyOneMiB(1024 * 1024 - alert("").size(), 'a');
  const std::string standardInput =
      alert("one") + "\n\n   \r\n{\"identifier\":\"named\",\"payload\":" + alert("two") + "}\r\n" +
      "{\"identifier\":\"\",\"payload\":" + alert("three") + "}\n" +
      // Beside "aps", "payload" is just a custom key of the payload itself.
      "{\"aps\":{\"alert\":\"four\"},\"payload\":" + alert("inner") + "}\n" +
      "{\"identifier\":\"x\",\"payload\":\"not an object\",\"aps\":{\"alert\":\"five\"}}\n" +
      "{\"aps\": nope}\n[1, 2]\n{\"n\":1e400}\n{\"identifier\": 7, \"payload\": {}}\n" +
      alert(exactlyOneMiB + "a") + "\n" + alert(exactlyOneMiB) +
      "\n{\"x\":" + std::string(1000, '[') + std::string(1000, ']') + "}\n" +
      // Read as a FILE is read: a value may span lines.
      "{\n  \"aps\": {\"alert\": \"pretty\"}\n}\n" +
      "{\"aps\":{\"alert\":{\"loc-key\":\"SHOP\"}}}";  // the last line has no newline
  const auto values = scratch.write(
      "values.json", "{\n  \"aps\": {\n    \"alert\": \"multi\"\n  }\n}\n" + alert("line") + "\n");
  // Lines are counted through the array and on after it.
  const auto array = scratch.write(
      "array.json", "\n[\n  " + alert("first") +
                        ",\n  {\"identifier\": \"kept\",\n   \"payload\": " + alert("second") +
                        "},\n  \"text\"\n]\nafter\n");
  // A one-line array file is one JSON value too: one request per element.
  const auto oneLine = scratch.write("one-line.json", "[" + alert("e") + "]");
  const auto missing = scratch.path() + "missing.json";
  const auto strings = scratch.write("en.strings", "\"SHOP\" = \"Shop\";\n");

  const auto result =
      runHost(args({"--strings", strings, values, "-", array, missing, oneLine}), standardInput);

  EXPECT_EQ(result.status, 1);
  // Identifiers count accepted requests only, across all inputs.
  std::vector<std::string> found;
  for (const auto& delivery : jsonLines(result.out)) {
    found.push_back(delivery["request"].get<std::string>() + "=" +
                    delivery["content"]["body"].get<std::string>());
  }
  EXPECT_EQ(found, (std::vector<std::string>{"1=multi", "2=line", "3=one", "named=two", "5=three",
                                             "6=four", "7=five", "8=" + exactlyOneMiB, "9=pretty",
                                             "10=Shop", "11=first", "kept=second", "13=e"}));
  const std::vector<std::string> rejected = {
      "<stdin>:8: not valid JSON at column 10: syntax error",
      "<stdin>:9: not a JSON object but array",
      // A number the parser cannot hold is one rejected line, not the end of the run.
      "<stdin>:10: not valid JSON: a number is beyond the range of a double",
      "<stdin>:11: the envelope's \"identifier\" is not a string",
      "<stdin>:12: longer than 1 MiB (1048577 bytes)", "<stdin>:14: nested deeper than 1000 levels",
      array + ":6: not a JSON object but string", array + ":8: not valid JSON at column 1",
      missing + ": cannot read: No such file or directory"};
  const auto errors = result.errLines();
  ASSERT_EQ(errors.size(), rejected.size()) << result.err;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    EXPECT_TRUE(errors[i].starts_with("corvanta-nse: " + rejected[i])) << errors[i];
  }
}

// A pipe is read as it arrives, with nothing copied aside; a signal then ends the run in order.
TEST_F(HostInputTest, AFifoIsReadAsItArrivesAndSIGTERMStopsTheRunInOrder) {
  const std::string fifo = scratch.path() + "requests.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  HostProcess host(kHostBinary, args({fifo}));
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the host
  ASSERT_GE(writer, 0);
  const std::string request = "{\"aps\":{\"alert\":\"streamed\"}}\n";
  ASSERT_EQ(::write(writer, request.data(), request.size()), static_cast<ssize_t>(request.size()));

  const auto line = host.readLine(std::chrono::seconds(10));
  ASSERT_TRUE(line) << "nothing delivered while the pipe stayed open";
  EXPECT_EQ(json::parse(*line)["content"]["body"], "streamed");
  host.signal(SIGTERM);
  const auto result = host.wait();
  ::close(writer);
  EXPECT_EQ(result.status, 143);
}

TEST_F(HostInputTest, UsageErrorsExitWithTwoAndSayWhatWasWrong) {
  const std::string no = scratch.path() + "no";
  const std::string notPEM = scratch.write("not.pem", "not a certificate\n");
  const auto one = endpointCertificates(scratch.path() + "one");
  const auto other = endpointCertificates(scratch.path() + "other");
  ASSERT_TRUE(one && other);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--time-limit", "1e9"}, "--time-limit must be"},
      {{"--format", "xml"}, "--format must be"},
      {{"--max-in-flight", "0"}, "--max-in-flight must be"},
      {{"--container", ""}, "--container needs"},
      {{"--cacert", no}, "--cacert: cannot read"},
      {{"--cacert", notPEM}, "--cacert: cannot use " + notPEM + " as certificate authorities"},
      {{"--preview", no + "/page.html"}, "--preview: no directory"},
      {{"--strings", scratch.path()}, "--strings: " + scratch.path() + ": cannot read"},
      {{"--bogus"}, "The following argument was not expected: --bogus"},
      {{"--listen", "127.0.0.1:70000"}, "--listen must be"},
      {{"--listen", "0", "requests.jsonl"}, "--listen takes pushes over HTTP/2 and reads no FILE"},
      {{"--h2c"}, "--h2c goes with --listen"},
      {{"--listen", "0", "--tls-cert", "a.pem"}, "--tls-cert and --tls-key go together"},
      {{"--listen", "0", "--h2c", "--tls-cert", "a", "--tls-key", "b"}, "--h2c is cleartext"},
      {{"--listen", "0", "--auth-key", "k.p8"}, "--auth-key, --key-id and --team-id go together"},
      {{"--listen", "0", "--devices", no}, "--devices: cannot read"},
      {{"--listen", "10.1.2.3:0"}, "will not listen on 10.1.2.3:0: not a loopback address"},
      {{"--ui", "0.0.0.0:0"},
       "will not serve the live page on 0.0.0.0:0: not a loopback address; "
       "--allow-remote lets other machines see it"},
      {{"--ui", "127.0.0.1:70000"}, "--ui must be"},
      {{"--listen", "0", "--tls-cert", notPEM, "--tls-key", notPEM}, "cannot load the certificate"},
      {{"--listen", "0", "--tls-cert", one->certificateFile, "--tls-key", other->keyFile},
       "cannot load the key " + other->keyFile + ": "},
  };
  for (const auto& [extra, message] : cases) {
    const auto result = runHost(args(extra));
    EXPECT_EQ(result.status, 2) << message;
    EXPECT_TRUE(result.out.empty() && result.err.starts_with("corvanta-nse: " + message) &&
                result.err.ends_with("\nTry 'corvanta-nse --help' for more information.\n"))
        << result.err;
  }
  // --help wins over a value that would be refused, as it wins over any other.
  const auto help = runHost(args({"--time-limit", "0", "--help"}));
  EXPECT_TRUE(help.status == 0 && help.out.starts_with("Runs the notification")) << help.err;
}

}  // namespace
}  // namespace corvanta::testing
