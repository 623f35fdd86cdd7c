// The owner of a POSIX file descriptor: closed on every exit, unless it was
// only borrowed (a standard stream the command was handed).
#pragma once

#include <unistd.h>

namespace dorvane {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd, bool owned = true) : fd_(fd), owned_(owned) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.fd_), owned_(other.owned_) {
    other.fd_ = -1;
  }
  FileDescriptor &operator=(FileDescriptor &&other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.fd_;
      owned_ = other.owned_;
      other.fd_ = -1;
    }
    return *this;
  }

  int Get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }

  void Reset() {
    if (owned_ && fd_ >= 0) {
      close(fd_);
    }
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool owned_ = false;
};

}  // namespace dorvane
