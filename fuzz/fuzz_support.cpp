// Files and end-of-input checks of the fuzz targets.
#include "fuzz_support.h"

#include "host/host_kernel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace dorvane::fuzz {

const std::string &WorkFolder() {
  static const std::string folder = [] {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/dorvane-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("dorvane fuzz: mkdtemp");
      std::abort();
    }
    return pattern;
  }();
  return folder;
}

void WriteWholeFile(const std::string &path, const uint8_t *data, size_t size) {
  // Cut to length after writing rather than emptied at open: ext4 writes an
  // emptied and rewritten file back at close, which slows every input.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror("dorvane fuzz: open");
    std::abort();
  }
  for (size_t done = 0; done < size;) {
    ssize_t put = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (put <= 0) {
      std::perror("dorvane fuzz: write");
      std::abort();
    }
    done += static_cast<size_t>(put);
  }
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    std::perror("dorvane fuzz: truncate");
    std::abort();
  }
  close(fd);
}

void CheckNothingKept(size_t poolBefore, size_t handlesBefore) {
  size_t pool = host::OutstandingAllocations();
  size_t handles = host::OpenHandleCount();
  if (pool != poolBefore || handles != handlesBefore) {
    std::fprintf(stderr, "dorvane fuzz: %zu pool allocations and %zu handles kept\n",
                 pool - poolBefore, handles - handlesBefore);
    std::abort();
  }
}

}  // namespace dorvane::fuzz
