// Ctrl-C of long commands on a POSIX terminal: SIGINT, caught while a guard
// lives.
#include "tools/commands/progress.h"

#include <signal.h>
#include <unistd.h>

namespace dorvane {

namespace {

volatile sig_atomic_t interruptRequested = 0;

void OnInterrupt(int) { interruptRequested = 1; }

}  // namespace

struct InterruptGuard::Saved {
  struct sigaction action {};
  sigset_t mask{};
};

InterruptGuard::InterruptGuard() : saved_(new Saved) {
  interruptRequested = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &saved_->action);
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_UNBLOCK, &interrupt, &saved_->mask);
}

InterruptGuard::~InterruptGuard() {
  pthread_sigmask(SIG_SETMASK, &saved_->mask, nullptr);
  sigaction(SIGINT, &saved_->action, nullptr);
}

bool InterruptGuard::Requested() const { return interruptRequested != 0; }

bool IsTerminal(int fd) { return isatty(fd) != 0; }

}  // namespace dorvane
