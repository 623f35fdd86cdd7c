// Long commands on a terminal: a progress line on standard error, redrawn
// in place, and Ctrl-C as a request to stop after the step in progress.
// Nothing is shown when standard error is not a terminal, nor for work that
// ends within the first half second.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace dorvane {

// While the object lives, Ctrl-C only asks for a stop, which the command
// looks for between its steps (interrupt_posix.cpp: SIGINT, one that was
// pending, blocked, when the command began taken as asked at once;
// interrupt_windows.cpp: the console's Ctrl-C and Ctrl-Break).
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard &) = delete;
  InterruptGuard &operator=(const InterruptGuard &) = delete;
  bool Requested() const;

  struct Saved;

 private:
  std::unique_ptr<Saved> saved_;
};

// Whether fd is a terminal (a console on Windows), where progress is drawn.
bool IsTerminal(int fd);

// "0:42": minutes and seconds.
std::string Duration(double seconds);

// "1.5 GiB", "512 bytes".
std::string ByteCount(uint64_t bytes);

class Progress {
 public:
  enum class Unit { Bytes, Blocks };

  // "VERB: DONE of TOTAL (PERCENT), RATE, TIME left" on fd when it is a
  // terminal and shown is true.
  Progress(int fd, const std::string &verb, uint64_t total, Unit unit = Unit::Bytes,
           bool shown = true);
  ~Progress() { Finish(); }
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  // Redraws the line, at most a few times a second.
  void Update(uint64_t done);
  // Ends the line, if one was drawn.
  void Finish();
  double Seconds() const;

 private:
  void Draw(uint64_t done);
  // "1.0 GiB of 4.0 GiB", "12 of 40 blocks".
  std::string Amounts(uint64_t done) const;

  int fd_;
  std::string verb_;
  uint64_t total_;
  Unit unit_;
  bool terminal_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDrawn_ = start_;
};

}  // namespace dorvane
