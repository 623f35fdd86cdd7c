// What the benchmarks share: failing loudly, timing, an image opened through
// the image code, and a raw file to measure it against.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "host/host_kernel.h"

namespace bench {

[[noreturn]] inline void Fail(const std::string &what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  std::exit(1);
}

inline double Seconds(const std::function<void()> &work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Command-line options of the image benchmarks; each starts from its own
// defaults.
struct Options {
  std::string dir;
  uint64_t size = 0;
  int rounds = 0;
  uint64_t randomReads = 0;
};

// --dir DIR, --size-mib N, --rounds N, --random-reads N over the defaults.
inline Options ParseOptions(int argc, char **argv, Options options) {
  for (int index = 1; index < argc; ++index) {
    std::string arg = argv[index];
    auto value = [&]() -> std::string {
      if (index + 1 >= argc) {
        Fail("missing value after " + arg);
      }
      return argv[++index];
    };
    if (arg == "--dir") {
      options.dir = value();
    } else if (arg == "--size-mib") {
      options.size = std::stoull(value()) << 20;
    } else if (arg == "--rounds") {
      options.rounds = std::stoi(value());
    } else if (arg == "--random-reads") {
      options.randomReads = std::stoull(value());
    } else {
      Fail("unknown argument " + arg);
    }
  }
  return options;
}

// The folder a benchmark works in: --dir as given, or a temporary folder
// that is removed with everything in it when the benchmark ends.
class WorkFolder {
 public:
  explicit WorkFolder(const std::string &dir) : path_(dir) {
    if (!path_.empty()) {
      return;
    }
    char pattern[] = "/tmp/dorvane-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      Fail("cannot make a temporary folder");
    }
    path_ = pattern;
    owned_ = true;
  }
  ~WorkFolder() {
    if (owned_) {
      std::error_code ignored;
      std::filesystem::remove_all(path_, ignored);
    }
  }
  WorkFolder(const WorkFolder &) = delete;
  WorkFolder &operator=(const WorkFolder &) = delete;
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
  bool owned_ = false;
};

// An image opened for reading and writing, transfers through ImageTransfer.
class Image {
 public:
  explicit Image(const std::string &path) {
    std::u16string name = host::NtPathForHostPath(path);
    UNICODE_STRING ntPath;
    ntPath.Buffer = name.data();
    ntPath.Length = USHORT(name.size() * sizeof(char16_t));
    ntPath.MaximumLength = ntPath.Length;
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = OpenImageFile(&context_, &ntPath, FILE_ATTRIBUTE_NORMAL, FILE_OPEN, 0,
                                    GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &ioStatus);
    if (status != STATUS_SUCCESS) {
      Fail("cannot open " + path + ": " + host::StatusName(status));
    }
  }
  ~Image() {
    CloseImageContext(context_);
    FreePool(context_);
  }
  Image(const Image &) = delete;
  Image &operator=(const Image &) = delete;

  PIMAGE_CONTEXT Context() const { return context_; }

  void Transfer(UCHAR operation, uint64_t offset, void *buffer, uint32_t length) {
    LARGE_INTEGER byteOffset;
    byteOffset.QuadPart = int64_t(offset);
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = ImageTransfer(context_, operation, length, &byteOffset, buffer, &ioStatus);
    if (status != STATUS_SUCCESS || ioStatus.Information != length) {
      Fail(std::string("image transfer failed: ") + host::StatusName(status));
    }
  }

 private:
  PIMAGE_CONTEXT context_ = nullptr;
};

// A plain file read and written with pread and pwrite.
class RawFile {
 public:
  explicit RawFile(const std::string &path, bool truncate = false) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | (truncate ? O_TRUNC : 0), 0644);
    if (fd_ < 0) {
      Fail("cannot open " + path);
    }
  }
  ~RawFile() { close(fd_); }
  RawFile(const RawFile &) = delete;
  RawFile &operator=(const RawFile &) = delete;

  void Read(uint64_t offset, void *buffer, uint32_t length) {
    if (pread(fd_, buffer, length, off_t(offset)) != ssize_t(length)) {
      Fail("raw read failed");
    }
  }
  void Write(uint64_t offset, const void *buffer, uint32_t length) {
    if (pwrite(fd_, buffer, length, off_t(offset)) != ssize_t(length)) {
      Fail("raw write failed");
    }
  }
  // Written back, dropped from the page cache, and read in again in order.
  void Settle() {
    if (fdatasync(fd_) != 0 || posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED) != 0) {
      Fail("cannot drop a file from the page cache");
    }
    const uint32_t chunkSize = 1u << 20;
    std::vector<uint8_t> chunk(chunkSize);
    for (off_t offset = 0; pread(fd_, chunk.data(), chunkSize, offset) > 0; offset += chunkSize) {
    }
  }

 private:
  int fd_;
};

}  // namespace bench
