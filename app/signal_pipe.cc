#include "app/signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "velko/base/errors.h"

namespace velko::app {
namespace {

// The write end of the live pipe; -1 when none.
std::atomic<int> g_write_fd{-1};
constexpr char kStop = 0;  // written by the destructor; no signal has number 0

extern "C" void on_caught_signal(int signo) {
  int saved_errno = errno;
  int fd = g_write_fd.load();
  if (fd >= 0) {
    char byte = static_cast<char>(signo);
    [[maybe_unused]] ssize_t written = ::write(fd, &byte, 1);
  }
  errno = saved_errno;
}

}  // namespace

SignalPipe::SignalPipe(std::initializer_list<int> signals, std::function<void(int)> on_signal)
    : signals_(signals), previous_(signals.size()), on_signal_(std::move(on_signal)) {
  if (::pipe2(fds_, O_CLOEXEC) != 0) throw base::OSError("cannot create a pipe for signals");
  int none = -1;
  if (!g_write_fd.compare_exchange_strong(none, fds_[1])) {
    ::close(fds_[0]);
    ::close(fds_[1]);
    throw base::OSError("signals are already being watched");
  }
  struct sigaction action {};
  action.sa_handler = &on_caught_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (size_t idx = 0; idx < signals_.size(); ++idx) ::sigaction(signals_[idx], &action, &previous_[idx]);
  thread_ = std::thread([this] { run(); });
}

SignalPipe::~SignalPipe() {
  for (size_t idx = 0; idx < signals_.size(); ++idx) ::sigaction(signals_[idx], &previous_[idx], nullptr);
  g_write_fd.store(-1);
  char stop = kStop;
  [[maybe_unused]] ssize_t written = ::write(fds_[1], &stop, 1);
  thread_.join();
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void SignalPipe::restore_defaults() {
  for (int signo : signals_) ::signal(signo, SIG_DFL);
}

void SignalPipe::run() {
  for (;;) {
    char byte = 0;
    ssize_t got = ::read(fds_[0], &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || byte == kStop) return;
    on_signal_(static_cast<unsigned char>(byte));
  }
}

}  // namespace velko::app
