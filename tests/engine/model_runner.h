// Randomized model test of dynamic images: random writes of data and zeros
// (whole and partial blocks, across blocks, lengths that fail the zero test)
// against a plain in-memory disk and the allocation the rules of the write
// path give, checking every read, and after each batch that the image is
// compact and reopens with the same contents.
#pragma once

#include <random>

#include "engine_fixture.h"

namespace dorvane::test {

struct ModelConfig {
  uint32_t blockSize;
  uint32_t blocks;      // blocks of the disk; the last one is cut short by a sector
  uint32_t batches;
  uint32_t operations;  // per batch
  uint64_t seed;
};

class DynamicModel {
 public:
  DynamicModel(uint64_t size, uint32_t blockSize, uint32_t blocks)
      : disk_(size, 0), allocated_(blocks, false), blockSize_(blockSize) {}

  // The write path's rules, piece by piece: zeros (absent data, or data that
  // passes the zero test) never allocate and release a block they leave all
  // zero; anything else allocates.
  void Write(uint64_t offset, const Bytes *data, uint64_t length) {
    uint64_t done = 0;
    while (done < length) {
      uint64_t at = offset + done;
      uint32_t block = uint32_t(at / blockSize_);
      uint64_t piece = std::min<uint64_t>(length - done, blockSize_ - at % blockSize_);
      bool zeros = data == nullptr ||
                   (piece % 4 == 0 && std::all_of(data->begin() + long(done),
                                                  data->begin() + long(done + piece),
                                                  [](uint8_t b) { return b == 0; }));
      if (data == nullptr) {
        std::fill(disk_.begin() + long(at), disk_.begin() + long(at + piece), 0);
      } else {
        std::copy(data->begin() + long(done), data->begin() + long(done + piece),
                  disk_.begin() + long(at));
      }
      if (!allocated_[block]) {
        allocated_[block] = !zeros;
      } else if (zeros && BlockIsZero(block)) {
        allocated_[block] = false;
      }
      done += piece;
    }
  }

  bool BlockIsZero(uint32_t block) const {
    uint64_t start = uint64_t(block) * blockSize_;
    uint64_t end = std::min<uint64_t>(start + blockSize_, disk_.size());
    return std::all_of(disk_.begin() + long(start), disk_.begin() + long(end),
                       [](uint8_t b) { return b == 0; });
  }

  const Bytes &Disk() const { return disk_; }
  const std::vector<bool> &Allocated() const { return allocated_; }

 private:
  Bytes disk_;
  std::vector<bool> allocated_;
  uint32_t blockSize_;
};

class EngineModelTest : public EngineTest {
 protected:
  void RunModel(const ModelConfig &config) {
    const uint32_t blockSize = config.blockSize;
    const uint64_t size = uint64_t(config.blocks) * blockSize - 512;
    const uint32_t entries = uint32_t((size + blockSize - 1) / blockSize);
    MakeDynamicImage(path_, size, blockSize);
    DynamicModel model(size, blockSize, entries);
    OpenImage();
    std::mt19937_64 random(config.seed);
    auto below = [&random](uint64_t bound) { return bound == 0 ? 0 : random() % bound; };

    for (uint32_t batch = 0; batch < config.batches; ++batch) {
      for (uint32_t operation = 0; operation < config.operations; ++operation) {
        uint64_t offset = 0;
        uint64_t length = 0;
        uint32_t kind = uint32_t(below(100));
        if (kind < 30) {
          // Data or zeros anywhere, up to three blocks long.
          offset = below(size);
          length = 1 + below(std::min<uint64_t>(size - offset, 3ull * blockSize));
        } else if (kind < 55) {
          // Whole blocks, the last one cut by the disk's end.
          offset = below(entries) * blockSize;
          length = std::min<uint64_t>(size - offset, (1 + below(2)) * blockSize);
        } else if (kind < 75) {
          // Sector-sized pieces inside one block.
          offset = below(size / 512) * 512;
          length = std::min<uint64_t>(size - offset, 512 * (1 + below(8)));
        } else {
          // A few bytes.
          offset = below(size);
          length = 1 + below(std::min<uint64_t>(size - offset, 8));
        }
        uint32_t payload = uint32_t(below(10));
        SCOPED_TRACE("batch " + std::to_string(batch) + " operation " +
                     std::to_string(operation) + " at " + std::to_string(offset) + "+" +
                     std::to_string(length) + " payload " + std::to_string(payload));
        if (payload < 4) {
          Bytes data = PatternBytes(length, uint32_t(random()));
          // Sometimes mostly zero, so that single pieces pass the zero test.
          if (payload == 3) {
            for (uint64_t index = 0; index < length; ++index) {
              if (index % 1531 != 7) {
                data[index] = 0;
              }
            }
          }
          ApplyWrite(&model, offset, &data);
        } else if (payload < 8) {
          Bytes zeros(length, 0);
          ApplyWrite(&model, offset, &zeros);
        } else if (payload < 9) {
          ApplyAbsent(&model, offset, length);
        } else {
          uint64_t at = below(size);
          uint64_t count = 1 + below(std::min<uint64_t>(size - at, 2ull * blockSize));
          ASSERT_TRUE(Slice(model.Disk(), at, count) == ReadBack(at, count));
        }
        if (HasFatalFailure()) {
          return;
        }
      }
      CheckBatch(model, batch);
      if (HasFatalFailure()) {
        return;
      }
    }
  }

 private:
  void ApplyWrite(DynamicModel *model, uint64_t offset, Bytes *data) {
    TransferResult result = Write(offset, *data);
    ASSERT_EQ(STATUS_SUCCESS, result.status);
    ASSERT_EQ(data->size(), result.moved);
    model->Write(offset, data, data->size());
    ASSERT_TRUE(Slice(model->Disk(), offset, data->size()) == ReadBack(offset, data->size()));
  }

  // Absent data, block by block through the shared write path.
  void ApplyAbsent(DynamicModel *model, uint64_t offset, uint64_t length) {
    uint64_t done = 0;
    while (done < length) {
      uint64_t at = offset + done;
      uint32_t inBlock = uint32_t(at % image_->BlockSize);
      uint32_t piece = uint32_t(std::min<uint64_t>(length - done, image_->BlockSize - inBlock));
      ULONG sector = 0;
      IO_STATUS_BLOCK ioStatus{};
      ASSERT_EQ(STATUS_SUCCESS,
                ZeroBlockRange(image_.Get(), nullptr, piece, uint32_t(at / image_->BlockSize),
                               inBlock, &sector, &ioStatus));
      ASSERT_EQ(piece, ioStatus.Information);
      done += piece;
    }
    model->Write(offset, nullptr, length);
    ASSERT_TRUE(Slice(model->Disk(), offset, length) == ReadBack(offset, length));
  }

  void CheckBatch(const DynamicModel &model, uint32_t batch) {
    SCOPED_TRACE("after batch " + std::to_string(batch));
    ExpectPoolSettled();
    for (uint32_t index = 0; index < model.Allocated().size(); ++index) {
      ASSERT_EQ(model.Allocated()[index], MemoryEntry(index) != VHD_BAT_UNALLOCATED)
          << "block " << index;
    }
    ASSERT_EQ("", CheckCompact(path_));
    ASSERT_TRUE(model.Disk() == ReadDiskThroughEngine(image_.Get()));
    image_.Close();
    OpenImage();
    ASSERT_TRUE(model.Disk() == ReadDiskThroughEngine(image_.Get(), 65536 + 512));
    ASSERT_TRUE(model.Disk() == ReadDiskFromFile(path_));
  }
};

}  // namespace dorvane::test
