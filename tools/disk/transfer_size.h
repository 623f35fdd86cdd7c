// Bytes moved per call of the disk layer by cat and write: large enough that
// copying runs at the speed of the disk, and a whole default block. The
// buffers of those calls are page-aligned, as a Windows client's are: the
// kernel copies into and out of aligned pages several times faster.
#pragma once

#include <cstdint>
#include <cstddef>
#include <new>

namespace dorvane {

const uint32_t kTransferSize = 2u << 20;
const size_t kPageSize = 4096;

// The first byte past offset at which the disk layer breaks a transfer: the
// next multiple of kTransferSize. Requests then never split a block of the
// default size or smaller, nor any sector, wherever the transfer starts.
inline uint32_t TransferChunk(uint64_t offset, uint64_t left) {
  uint64_t toBoundary = kTransferSize - offset % kTransferSize;
  return static_cast<uint32_t>(left < toBoundary ? left : toBoundary);
}

// A page-aligned buffer of length bytes (rounded up to whole pages).
class TransferBuffer {
 public:
  explicit TransferBuffer(size_t length)
      : bytes_(static_cast<uint8_t *>(::operator new(
            (length + kPageSize - 1) / kPageSize * kPageSize + (length == 0 ? 1 : 0),
            std::align_val_t(kPageSize)))) {}
  ~TransferBuffer() { ::operator delete(bytes_, std::align_val_t(kPageSize)); }
  TransferBuffer(const TransferBuffer &) = delete;
  TransferBuffer &operator=(const TransferBuffer &) = delete;

  uint8_t *data() const { return bytes_; }

 private:
  uint8_t *bytes_;
};

}  // namespace dorvane
