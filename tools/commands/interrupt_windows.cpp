// Ctrl-C of long commands in a Windows console: Ctrl-C and Ctrl-Break,
// caught while a guard lives.
#include "tools/commands/progress.h"

#include <windows.h>

#include <io.h>

namespace dorvane {

namespace {

volatile LONG interruptRequested = 0;

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
    return FALSE;
  }
  InterlockedExchange(&interruptRequested, 1);
  return TRUE;
}

}  // namespace

struct InterruptGuard::Saved {};

InterruptGuard::InterruptGuard() : saved_(new Saved) {
  InterlockedExchange(&interruptRequested, 0);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptGuard::~InterruptGuard() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }

bool InterruptGuard::Requested() const { return interruptRequested != 0; }

// A console, not merely a character device (NUL is one too).
bool IsTerminal(int fd) {
  DWORD mode = 0;
  return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode) != 0;
}

}  // namespace dorvane
