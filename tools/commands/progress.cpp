// Progress lines of long commands.
#include "tools/commands/progress.h"

#include "tools/disk/errors.h"

#include <cstdio>

namespace dorvane {

namespace {

// The first line waits this long, so that short work shows none; later
// lines come at most this often.
constexpr auto kQuietStart = std::chrono::milliseconds(500);
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);

}  // namespace

std::string Duration(double seconds) {
  long whole = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof(text), "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

std::string ByteCount(uint64_t bytes) {
  static const char *const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) {
    return std::to_string(bytes) + " bytes";
  }
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  for (; value >= 1024 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0]); ++unit) {
    value /= 1024;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  return text;
}

Progress::Progress(int fd, const std::string &verb, uint64_t total, Unit unit, bool shown)
    : fd_(fd), verb_(verb), total_(total), unit_(unit), terminal_(shown && IsTerminal(fd)) {}

double Progress::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Progress::Amounts(uint64_t done) const {
  return unit_ == Unit::Bytes ? ByteCount(done) + " of " + ByteCount(total_)
                              : std::to_string(done) + " of " + std::to_string(total_) + " blocks";
}

void Progress::Update(uint64_t done) {
  if (!terminal_) {
    return;
  }
  auto now = std::chrono::steady_clock::now();
  if (now - start_ < kQuietStart || (drawn_ && now - lastDrawn_ < kRedrawEvery)) {
    return;
  }
  lastDrawn_ = now;
  Draw(done);
}

void Progress::Draw(uint64_t done) {
  double seconds = Seconds();
  double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  char blockRate[32];
  std::snprintf(blockRate, sizeof(blockRate), "%.1f blocks/s", rate);
  std::string rateText =
      unit_ == Unit::Bytes ? ByteCount(static_cast<uint64_t>(rate)) + "/s" : blockRate;
  std::string left = rate > 0 && done <= total_
                         ? Duration(static_cast<double>(total_ - done) / rate)
                         : std::string("-:--");
  uint64_t percent = total_ == 0 ? 100 : done * 100 / total_;
  WriteText(fd_, "\r" + verb_ + ": " + Amounts(done) + " (" +
                     std::to_string(percent) + "%), " + rateText + ", " + left + " left ");
  drawn_ = true;
}

void Progress::Finish() {
  if (drawn_) {
    WriteText(fd_, "\n");
    drawn_ = false;
  }
}

}  // namespace dorvane
