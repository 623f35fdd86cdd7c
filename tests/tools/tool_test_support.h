// Running the dorvane command in tests: the built binary in a child process,
// or RunCommand in this process, with standard input fed from a pipe or a
// file and both output streams captured.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"

namespace dorvane::test {

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// How standard input reaches the command: a pipe (length unknown to it) or a
// regular file.
enum class InputKind { Pipe, File };

inline int TemporaryFd() {
  char name[] = "/tmp/dorvane-tool-io-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) {
    throw std::runtime_error("mkstemp failed");
  }
  unlink(name);
  return fd;
}

inline std::string ReadAllFrom(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char chunk[65536];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof(chunk))) > 0) {
    text.append(chunk, static_cast<size_t>(got));
  }
  return text;
}

// Standard input for one run: the read end the command gets, and for a pipe
// the thread that feeds it.
class ToolInput {
 public:
  ToolInput(const std::string &data, InputKind kind) {
    // A command that refuses its input stops reading; the feeder then sees
    // EPIPE instead of being killed.
    signal(SIGPIPE, SIG_IGN);
    if (kind == InputKind::File) {
      readFd_ = TemporaryFd();
      if (write(readFd_, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
        throw std::runtime_error("cannot write test input");
      }
      lseek(readFd_, 0, SEEK_SET);
      return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    readFd_ = fds[0];
    int writeFd = fds[1];
    feeder_ = std::thread([writeFd, data] {
      size_t done = 0;
      while (done < data.size()) {
        ssize_t put = write(writeFd, data.data() + done, data.size() - done);
        if (put <= 0) {
          break;
        }
        done += static_cast<size_t>(put);
      }
      close(writeFd);
    });
  }
  ~ToolInput() {
    CloseReadEnd();
    if (feeder_.joinable()) {
      feeder_.join();
    }
  }
  int fd() const { return readFd_; }
  void CloseReadEnd() {
    if (readFd_ >= 0) {
      close(readFd_);
      readFd_ = -1;
    }
  }

 private:
  int readFd_ = -1;
  std::thread feeder_;
};

// The built binary, run with args.
inline ToolRun RunTool(const std::vector<std::string> &args, const std::string &input = "",
                       InputKind kind = InputKind::Pipe) {
  ToolInput in(input, kind);
  int out = TemporaryFd();
  int err = TemporaryFd();
  std::string binary = DORVANE_BINARY_DIR "/dorvane";
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(binary.c_str()));
  for (const std::string &arg : args) {
    argv.push_back(const_cast<char *>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in.fd(), 0);
    dup2(out, 1);
    dup2(err, 2);
    signal(SIGPIPE, SIG_DFL);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  in.CloseReadEnd();
  int status = 0;
  waitpid(pid, &status, 0);
  ToolRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadAllFrom(out);
  run.err = ReadAllFrom(err);
  close(out);
  close(err);
  return run;
}

// RunCommand in this process, so that tests can look into the host kernel
// afterwards (pool, handles, file calls).
inline ToolRun RunInProcess(const std::vector<std::string> &args, const std::string &input = "",
                            InputKind kind = InputKind::File) {
  ToolInput in(input, kind);
  CommandIo io;
  io.in = in.fd();
  io.out = TemporaryFd();
  io.err = TemporaryFd();
  ToolRun run;
  run.exitCode = RunCommand(args, io);
  run.out = ReadAllFrom(io.out);
  run.err = ReadAllFrom(io.err);
  close(io.out);
  close(io.err);
  return run;
}

inline std::string AsString(const std::vector<uint8_t> &bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace dorvane::test
