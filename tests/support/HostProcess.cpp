#include "support/HostProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace corvanta::testing {
namespace {

using Clock = std::chrono::steady_clock;

// What posix_spawn takes; points into `strings`.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& string : strings) result.push_back(string.data());
  result.push_back(nullptr);
  return result;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::vector<std::string> HostResult::lines(const std::string& text) {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) all.push_back(line);
  return all;
}

HostProcess::HostProcess(const std::string& binary, const std::vector<std::string>& args,
                         const std::vector<std::string>& environment) {
  // A child that exits before reading all its input must not kill the test with SIGPIPE.
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
  std::vector<std::string> argv{binary};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = environment;  // getenv takes the first of a repeated name
  for (char** entry = environ; *entry; ++entry) env.emplace_back(*entry);

  _start = Clock::now();
  const int spawned = ::posix_spawn(&_pid, binary.c_str(), &actions, nullptr, pointers(argv).data(),
                                    pointers(env).data());
  posix_spawn_file_actions_destroy(&actions);
  for (const int end : {in[0], out[1], err[1]}) ::close(end);
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
  for (int* fd : {&_in, &_out, &_err}) closeFd(*fd);
}

void HostProcess::write(std::string_view text) {
  _pending += text;
  pump(Clock::now(), [] { return true; });
}

void HostProcess::closeInput() {
  _closeInput = true;
  pump(Clock::now(), [] { return true; });
}

template <class Done>
void HostProcess::pump(Clock::time_point deadline, Done done) {
  while (true) {
    if (_closeInput && _pending.empty()) closeFd(_in);
    // poll skips a negative descriptor.
    pollfd fds[3] = {{_pending.empty() ? -1 : _in, POLLOUT, 0},
                     {_outputPaused ? -1 : _out, POLLIN, 0},
                     {_err, POLLIN, 0}};
    if (fds[0].fd < 0 && _out < 0 && _err < 0) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (::poll(fds, 3, static_cast<int>(std::max<long long>(0, left.count()))) < 0 &&
        errno == EINTR) {
      continue;
    }
    if (fds[0].revents != 0) {
      const auto written = ::write(_in, _pending.data(), _pending.size());
      if (written > 0) {
        _pending.erase(0, static_cast<std::size_t>(written));
      } else if (written < 0 && errno != EAGAIN) {
        _pending.clear();  // the child closed its input
        closeFd(_in);
      }
    }
    for (int i = 1; i < 3; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[65536];
      const auto got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 1 ? _result.out : _result.err).append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        closeFd(i == 1 ? _out : _err);
      }
    }
    if (done() || Clock::now() >= deadline) return;
  }
}

void HostProcess::pauseOutput(std::chrono::milliseconds duration) {
  _outputPaused = true;
  pump(Clock::now() + duration, [] { return false; });
  _outputPaused = false;
}

std::optional<std::string> HostProcess::readLine(std::chrono::milliseconds timeout) {
  pump(Clock::now() + timeout,
       [this] { return _out < 0 || _result.out.find('\n', _readOffset) != std::string::npos; });
  const auto end = _result.out.find('\n', _readOffset);
  if (end == std::string::npos) return std::nullopt;
  std::string line = _result.out.substr(_readOffset, end - _readOffset);
  _readOffset = end + 1;
  return line;
}

bool HostProcess::serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    pump(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)), [] { return false; });
  }
  return true;
}

std::optional<std::string> HostProcess::waitForError(std::string_view marker,
                                                     std::chrono::milliseconds timeout) {
  const auto lineEnd = [&] {
    const auto at = _result.err.find(marker);
    return at == std::string::npos ? at : _result.err.find('\n', at);
  };
  // pump() looks for the line only after a poll: one read already may have brought it.
  if (lineEnd() == std::string::npos) {
    pump(Clock::now() + timeout, [&] { return _err < 0 || lineEnd() != std::string::npos; });
  }
  const auto end = lineEnd();
  if (end == std::string::npos) return std::nullopt;
  return _result.err.substr(0, end + 1);
}

HostResult HostProcess::wait(std::chrono::seconds timeout) {
  _closeInput = true;
  pump(Clock::now() + timeout, [this] { return _out < 0 && _err < 0; });
  if (_out >= 0 || _err >= 0) {
    ADD_FAILURE() << "the child did not exit within " << timeout.count() << " s";
    ::kill(_pid, SIGKILL);
  }
  int status = 0;
  ::waitpid(_pid, &status, 0);
  _pid = -1;
  _result.elapsed = Clock::now() - _start;
  _result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  for (int* fd : {&_in, &_out, &_err}) closeFd(*fd);
  return _result;
}

}  // namespace corvanta::testing
