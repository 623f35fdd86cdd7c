// Running the dorvane command in tests: RunCommand in this process, so that
// faults can be planted and the host kernel checked afterwards, with standard
// input fed through a pipe (its length unknown to the command) and both
// output streams captured; and the built binary through the shell.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/commands/commands.h"
#include "support/file_bytes.h"

namespace dorvane::test {

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::string ReadAllFrom(int fd) {
  std::string text(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(pread(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  close(fd);
  return text;
}

inline ToolRun RunTool(const std::vector<std::string> &args, const std::string &input = "") {
  // A command that refuses its input stops reading; the feeder then sees
  // EPIPE instead of being killed.
  signal(SIGPIPE, SIG_IGN);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::thread feeder([fd = fds[1], input] {
    for (size_t done = 0; done < input.size();) {
      ssize_t put = write(fd, input.data() + done, input.size() - done);
      if (put <= 0) {
        break;
      }
      done += static_cast<size_t>(put);
    }
    close(fd);
  });
  CommandIo io{fds[0], memfd_create("out", MFD_CLOEXEC), memfd_create("err", MFD_CLOEXEC)};
  ToolRun run;
  run.exitCode = RunCommand(args, io);
  close(io.in);
  feeder.join();
  run.out = ReadAllFrom(io.out);
  run.err = ReadAllFrom(io.err);
  return run;
}

// The built binary with a shell command line's arguments: what it printed on
// both streams, after checking that it succeeded.
inline std::string RunBinary(const std::string &arguments) {
  std::string output;
  EXPECT_EQ(RunShell(DORVANE_BINARY_DIR "/dorvane " + arguments + " 2>&1", &output), 0)
      << arguments << ": " << output;
  return output;
}

inline std::string AsString(const Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

// A virtual disk of `size` zero bytes with pieces of data at their offsets.
inline std::string DiskWith(uint64_t size,
                            const std::vector<std::pair<uint64_t, std::string>> &pieces) {
  std::string disk(size, '\0');
  for (const auto &piece : pieces) {
    disk.replace(piece.first, piece.second.size(), piece.second);
  }
  return disk;
}

}  // namespace dorvane::test
