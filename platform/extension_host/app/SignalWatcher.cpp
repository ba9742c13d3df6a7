#include "platform/extension_host/app/SignalWatcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvanta {
namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

FileDescriptor blockAndOpenSignals() {
  SignalWatcher::blockStopSignals();
  const sigset_t set = stopSignals();
  return FileDescriptor(::signalfd(-1, &set, SFD_CLOEXEC));
}

}  // namespace

void SignalWatcher::blockStopSignals() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatcher::SignalWatcher(std::function<void(int signal)> onFirst, std::string stopping,
                             std::function<std::string()> lastWords)
    : _onFirst(std::move(onFirst)),
      _stopping(std::move(stopping)),
      _lastWords(std::move(lastWords)),
      _signals(blockAndOpenSignals()),
      _thread([this] { run(); }) {}

SignalWatcher::~SignalWatcher() {
  _stop.notify();
  _thread.join();
}

void SignalWatcher::run() {
  if (!_signals.valid() || !_stop.valid()) return;
  pollfd fds[2] = {{_signals.get(), POLLIN, 0}, {_stop.fd(), POLLIN, 0}};
  while (true) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info{};
    if (::read(_signals.get(), &info, sizeof info) != sizeof info) continue;
    const int signal = static_cast<int>(info.ssi_signo);
    if (_received.exchange(signal) != 0) {
      const std::string lost = _lastWords ? _lastWords() : "";
      std::fprintf(stderr, "corvanta-nse: SIG%s again: ending at once%s\n", sigabbrev_np(signal),
                   lost.c_str());
      std::_Exit(128 + signal);
    }
    std::fprintf(stderr, "corvanta-nse: SIG%s: stopping; %s (send it again to end at once)\n",
                 sigabbrev_np(signal), _stopping.c_str());
    _onFirst(signal);
  }
}

}  // namespace corvanta
