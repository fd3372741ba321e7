// SignalPipe: turns process signals into calls on an ordinary thread.
//
//   SignalPipe pipe({SIGINT, SIGTERM}, [&](int signo) { cancel->cancel(); });
//
// While the object lives, each listed signal is caught by a handler that only writes the
// signal's number to a pipe (async-signal-safe, errno kept); a thread of the object's own
// reads the pipe and calls `on_signal` with the number, one signal at a time, in arrival
// order. The destructor puts back the handlers that were there before, stops the thread
// and waits for a running `on_signal`. At most one SignalPipe may live at a time (the
// handler has one pipe to write to); constructing a second throws base::OSError, as does
// a failure to create the pipe.
//
// `on_signal` runs on the pipe's thread: it may take locks and call anything but the
// destructor. restore_defaults() may be called from it so that the next signal gets the
// default action (ends the process) instead of another call.
#pragma once

#include <signal.h>

#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

namespace velko::app {

class SignalPipe {
 public:
  SignalPipe(std::initializer_list<int> signals, std::function<void(int)> on_signal);
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  // Gives the listed signals their default action from now on. Thread-safe.
  void restore_defaults();

 private:
  void run();

  std::vector<int> signals_;
  std::vector<struct sigaction> previous_;
  std::function<void(int)> on_signal_;
  int fds_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace velko::app
