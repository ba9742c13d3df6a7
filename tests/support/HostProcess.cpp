#include "support/HostProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace corvanta::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    const auto name = text.substr(0, text.find('=') + 1);
    bool replaced = false;
    for (const auto& added : extra) replaced |= added.rfind(name, 0) == 0;
    if (!replaced) merged.emplace_back(text);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::vector<std::string> HostResult::outLines() const {
  return splitLines(out);
}
std::vector<std::string> HostResult::errLines() const {
  return splitLines(err);
}

HostProcess::HostProcess(const std::string& binary, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment,
                         const std::string& workingDirectory) {
  // A host that exits before reading all its input must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  if (!workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  }

  std::vector<std::string> argv{binary};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argvPointers;
  for (auto& arg : argv) argvPointers.push_back(arg.data());
  argvPointers.push_back(nullptr);
  auto env = mergedEnvironment(environment);
  std::vector<char*> envPointers;
  for (auto& entry : env) envPointers.push_back(entry.data());
  envPointers.push_back(nullptr);

  _start = Clock::now();
  const int spawned = ::posix_spawn(&_pid, argv[0].c_str(), &actions, nullptr, argvPointers.data(),
                                    envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  _in = in[1];
  _out = out[0];
  _err = err[0];
  if (spawned != 0) throw std::runtime_error(std::string("spawn: ") + std::strerror(spawned));
  ::fcntl(_in, F_SETFL, O_NONBLOCK);
}

HostProcess::~HostProcess() {
  if (_pid > 0) {
    ::kill(_pid, SIGKILL);
    ::waitpid(_pid, nullptr, 0);
  }
  closeFd(_in);
  closeFd(_out);
  closeFd(_err);
}

void HostProcess::write(std::string_view text) {
  _pending += text;
  pump(Clock::now(), [] { return true; });
}

void HostProcess::closeInputWhenWritten() {
  if (_closeInput && _pending.empty()) closeFd(_in);
}

template <class Done>
void HostProcess::pump(Clock::time_point deadline, Done done) {
  while (true) {
    closeInputWhenWritten();
    pollfd fds[3];
    nfds_t count = 0;
    if (_in >= 0 && !_pending.empty()) fds[count++] = {_in, POLLOUT, 0};
    if (_out >= 0) fds[count++] = {_out, POLLIN, 0};
    if (_err >= 0) fds[count++] = {_err, POLLIN, 0};
    if (count == 0) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int ready = ::poll(fds, count, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready < 0 && errno == EINTR) continue;
    for (nfds_t i = 0; i < count && ready > 0; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == _in) {
        const auto written = ::write(_in, _pending.data(), _pending.size());
        if (written > 0) {
          _pending.erase(0, static_cast<std::size_t>(written));
        } else if (written < 0 && errno != EAGAIN) {
          _pending.clear();  // the host closed its input
          closeFd(_in);
        }
        continue;
      }
      char buffer[65536];
      const auto got = ::read(fds[i].fd, buffer, sizeof buffer);
      std::string& sink = fds[i].fd == _out ? _result.out : _result.err;
      if (got > 0) {
        sink.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        closeFd(fds[i].fd == _out ? _out : _err);
      }
    }
    if (done() || Clock::now() >= deadline) return;
  }
}

std::optional<std::string> HostProcess::readLine(std::chrono::milliseconds timeout) {
  auto complete = [this] { return _result.out.find('\n', _readOffset) != std::string::npos; };
  pump(Clock::now() + timeout, [&] { return complete() || _out < 0; });
  const auto end = _result.out.find('\n', _readOffset);
  if (end == std::string::npos) return std::nullopt;
  std::string line = _result.out.substr(_readOffset, end - _readOffset);
  _readOffset = end + 1;
  return line;
}

HostResult HostProcess::wait(std::chrono::seconds timeout) {
  _closeInput = true;
  const auto deadline = Clock::now() + timeout;
  pump(deadline, [this] { return _out < 0 && _err < 0; });
  if (_out >= 0 || _err >= 0) {
    ADD_FAILURE() << "the host did not exit within " << timeout.count() << " s";
    ::kill(_pid, SIGKILL);
  }
  int status = 0;
  ::waitpid(_pid, &status, 0);
  _pid = -1;
  _result.elapsed = Clock::now() - _start;
  _result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  closeFd(_in);
  closeFd(_out);
  closeFd(_err);
  return _result;
}

}  // namespace corvanta::testing
