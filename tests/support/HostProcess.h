// Runs a built program (the host, or the media origin) as a child process for integration
// tests: standard input written as the test goes, standard output and error captured, exit
// status and running time measured. Not thread-safe; the child is killed when the object goes.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::testing {

struct HostResult {
  int status = -1;  // the exit status, or 128 + signal when killed by one
  std::string out, err;
  std::chrono::duration<double> elapsed{};  // from the start to the exit

  // Split into lines, without their newlines.
  std::vector<std::string> outLines() const { return lines(out); }
  std::vector<std::string> errLines() const { return lines(err); }
  static std::vector<std::string> lines(const std::string& text);
};

class HostProcess {
 public:
  // `environment` entries ("NAME=value") are added to, or replace, the test's own.
  HostProcess(const std::string& binary, const std::vector<std::string>& args,
              const std::vector<std::string>& environment = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Queues `text` for standard input and writes what the pipe takes now.
  void write(std::string_view text);
  // Closes standard input once the queued text is written, as the end of a file would.
  void closeInput();
  void signal(int signal) const { ::kill(_pid, signal); }
  // Stops reading standard output for `duration`, as a stalled consumer would, while still
  // writing the queued input and reading standard error.
  void pauseOutput(std::chrono::milliseconds duration);
  // The next line of standard output, waiting up to `timeout`; nullopt on timeout or end.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Reads standard output and error until `done` holds or `timeout` passes; false on
  // timeout. For a test whose own work (a client on another thread) must not stall on a
  // child blocked writing.
  bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Standard error up to the first line holding `marker`, waiting up to `timeout`; nullopt
  // when none came.
  std::optional<std::string> waitForError(std::string_view marker,
                                          std::chrono::milliseconds timeout);
  // Closes standard input once the queued text is written, reads until the child exits and
  // reaps it. Kills it after `timeout`, failing the test.
  HostResult wait(std::chrono::seconds timeout = std::chrono::seconds(60));

 private:
  // Moves data between the pipes until `deadline` or until `done` holds.
  template <class Done>
  void pump(std::chrono::steady_clock::time_point deadline, Done done);

  pid_t _pid = -1;
  int _in = -1, _out = -1, _err = -1;
  bool _closeInput = false;
  bool _outputPaused = false;
  std::string _pending;
  HostResult _result;
  std::size_t _readOffset = 0;  // how much of _result.out readLine has handed out
  std::chrono::steady_clock::time_point _start;
};

// The integration tests know where the build put the host; the support library does not.
#ifdef CORVANTA_NSE_BINARY
inline constexpr const char* kHostBinary = CORVANTA_NSE_BINARY;

inline HostResult runHost(const std::vector<std::string>& args, const std::string& input = "",
                          const std::vector<std::string>& environment = {}) {
  HostProcess host(kHostBinary, args, environment);
  host.write(input);
  return host.wait();
}
#endif

}  // namespace corvanta::testing
