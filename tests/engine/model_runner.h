// Randomized model test of the block engine: random writes of data, zeros
// and absent data (whole and partial blocks, across blocks, lengths that fail
// the zero test, the bytes the disk already holds, those with one byte
// changed) and trims of several ranges into a dynamic image, then writes
// into differencing images stacked on it (of another block size or a larger
// disk if asked), against a plain in-memory disk and the allocation the
// write path's rules give. After each batch the image reads as the model
// through its open record and reopened; a dynamic image is compact and reads
// the same with an independent reader, a differencing one grew by one span
// per block it allocated, and the parents are unchanged.
#pragma once

#include <random>
#include <vector>

#include "engine_fixture.h"

namespace dorvane::test {

struct ModelConfig {
  uint32_t blockSize;
  uint32_t blocks;      // of the disk; the last one is cut short by a sector
  uint32_t layers;      // differencing images stacked on the dynamic one
  uint32_t batches;     // per image
  uint32_t operations;  // per batch
  uint64_t seed;
  uint32_t childBlockSize = 0;  // of the differencing images (0: their parent's)
  uint32_t childBlocks = 0;     // of their disk, in their blocks (0: their parent's disk)
};

class EngineModelTest : public EngineTest {
 protected:
  void RunModel(const ModelConfig &config) {
    blockSize_ = config.blockSize;
    size_ = uint64_t(config.blocks) * blockSize_ - 512;
    random_.seed(config.seed);
    disk_.assign(size_, 0);
    std::vector<std::pair<std::string, Bytes>> parents;
    for (uint32_t layer = 0; layer <= config.layers; ++layer) {
      std::string parent = path_;
      image_.Close();
      path_ = File("run" + std::to_string(++runs_) + ".vhd");
      if (layer == 0) {
        MakeDynamicImage(path_, size_, blockSize_);
      } else {
        parents.emplace_back(parent, ReadFileBytes(parent));
        MakeDifferencingImage(path_, parent);
        Reshape(config);
      }
      allocated_.assign((size_ + blockSize_ - 1) / blockSize_, false);
      emptySize_ = FileSize(path_);
      ASSERT_NO_FATAL_FAILURE(OpenImage());
      for (uint32_t batch = 0; batch < config.batches; ++batch) {
        SCOPED_TRACE("layer " + std::to_string(layer) + " batch " + std::to_string(batch));
        for (uint32_t operation = 0; operation < config.operations; ++operation) {
          ASSERT_NO_FATAL_FAILURE(Step(layer > 0)) << "operation " << operation;
        }
        ASSERT_NO_FATAL_FAILURE(CheckBatch(layer > 0));
        for (const auto &[file, bytes] : parents) {
          ASSERT_TRUE(bytes == ReadFileBytes(file)) << file << " changed";
        }
      }
    }
  }

 private:
  uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : random_() % bound; }

  // The new differencing image at path_ takes the block and disk size asked.
  void Reshape(const ModelConfig &config) {
    blockSize_ = config.childBlockSize != 0 ? config.childBlockSize : blockSize_;
    size_ = config.childBlocks != 0 ? uint64_t(config.childBlocks) * blockSize_ : size_;
    PokeBe32(path_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize), blockSize_);
    PokeBe32(path_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, MaxTableEntries),
             uint32_t((size_ + blockSize_ - 1) / blockSize_));
    RefreshHeaderChecksum(path_);
    Bytes footer = ReadFooter(path_);
    StoreBe64(footer.data(), size_, offsetof(VHD_FOOTER, CurrentSize));
    RewriteFooter(path_, footer);
    disk_.resize(size_, 0);
  }

  void Step(bool differencing) {
    uint64_t offset = Below(size_);
    uint64_t length = 1 + Below(std::min<uint64_t>(size_ - offset, 8));  // a few bytes
    switch (Below(4)) {
      case 0:  // anywhere, up to three blocks
        length = 1 + Below(std::min<uint64_t>(size_ - offset, 3ull * blockSize_));
        break;
      case 1:  // whole blocks, the last one cut by the disk's end
        offset = offset / blockSize_ * blockSize_;
        length = std::min<uint64_t>(size_ - offset, (1 + Below(2)) * blockSize_);
        break;
      case 2:  // whole sectors
        offset = offset / 512 * 512;
        length = std::min<uint64_t>(size_ - offset, 512 * (1 + Below(8)));
        break;
    }
    SCOPED_TRACE("at " + std::to_string(offset) + "+" + std::to_string(length));
    Bytes data = Slice(disk_, offset, length);  // the bytes the disk holds
    uint64_t payload = Below(10);
    if (payload < 2) {
      data = PatternBytes(length, uint32_t(random_()));
    } else if (payload == 2) {  // mostly zero: single pieces pass the zero test
      data.assign(length, 0);
      for (uint64_t index = 7; index < length; index += 1531) {
        data[index] = 0x5A;
      }
    } else if (payload == 3 || (payload == 4 && differencing)) {
      data.assign(length, 0);
    } else if (payload == 4) {  // absent data, inside one block
      length = std::min<uint64_t>(length, blockSize_ - offset % blockSize_);
      ASSERT_EQ(STATUS_SUCCESS, WriteAbsent(offset, uint32_t(length)));
      Model(offset, Bytes(length, 0), true);
      return;
    } else if (payload == 5) {
      data[Below(length)] ^= 0x5A;
    } else if (payload == 7) {
      ASSERT_TRUE(Slice(disk_, offset, length) == ReadBack(offset, length));
      return;
    } else if (payload == 9 && !differencing) {
      ASSERT_NO_FATAL_FAILURE(Trim());
      return;
    }
    ASSERT_EQ(STATUS_SUCCESS, Write(offset, data));
    Model(offset, data, false);
    ASSERT_TRUE(data == ReadBack(offset, length));
  }

  // A trim of up to three ranges anywhere, each zeroed block by block, then
  // the request's one compaction.
  void Trim() {
    for (uint64_t ranges = 1 + Below(3); ranges > 0; --ranges) {
      LONGLONG offset = LONGLONG(Below(size_));
      LONGLONG length = LONGLONG(1 + Below(std::min<uint64_t>(size_ - offset, 3ull * blockSize_)));
      SCOPED_TRACE("trim at " + std::to_string(offset) + "+" + std::to_string(length));
      ASSERT_EQ(STATUS_SUCCESS, ZeroDiskBlocks(image_.Get(), &offset, &length));
      Model(uint64_t(offset), Bytes(size_t(length), 0), true);
    }
    ASSERT_EQ(STATUS_SUCCESS, CompactIfGapped(image_.Get()));
  }

  // The write path's rules, piece by piece. A dynamic image: zeros (absent,
  // or passing the zero test: whole 32-bit words of zeros) never allocate and
  // release a block they leave all zero; other data allocates. A
  // differencing image allocates for data other than what the chain returns
  // and keeps its blocks.
  void Model(uint64_t offset, const Bytes &data, bool absent) {
    bool differencing = image_->DiskType == VHD_DISK_TYPE_DIFFERENCING;
    for (uint64_t done = 0; done < data.size();) {
      uint64_t at = offset + done;
      uint32_t block = uint32_t(at / blockSize_);
      uint64_t piece = std::min<uint64_t>(data.size() - done, blockSize_ - at % blockSize_);
      Bytes bytes = Slice(data, done, piece);
      bool zeros = absent || (piece % 4 == 0 && bytes == Bytes(piece, 0));
      bool unchanged = bytes == Slice(disk_, at, piece);
      Splice(&disk_, at, bytes);
      uint64_t start = uint64_t(block) * blockSize_;
      uint64_t blockLength = std::min<uint64_t>(blockSize_, size_ - start);
      if (differencing) {
        allocated_[block] = allocated_[block] || !unchanged;
      } else if (!allocated_[block]) {
        allocated_[block] = !zeros;
      } else if (zeros && Slice(disk_, start, blockLength) == Bytes(blockLength, 0)) {
        allocated_[block] = false;
      }
      done += piece;
    }
  }

  void CheckBatch(bool differencing) {
    ExpectPoolSettled();
    uint64_t count = 0;
    for (uint32_t index = 0; index < allocated_.size(); ++index) {
      ASSERT_EQ(allocated_[index], MemoryEntry(index) != VHD_BAT_UNALLOCATED) << "block " << index;
      count += allocated_[index];
    }
    if (differencing) {
      ASSERT_EQ(emptySize_ + count * BlockSpan(blockSize_), FileSize(path_));
    } else {
      ASSERT_EQ("", CheckCompact(path_));
      ASSERT_TRUE(disk_ == ReadDiskFromFile(path_)) << "the independent reader reads other data";
    }
    ExpectDisk(disk_, "the model");
  }

  std::mt19937_64 random_;
  uint32_t blockSize_ = 0;
  uint64_t size_ = 0;
  uint64_t emptySize_ = 0;
  uint32_t runs_ = 0;
  std::vector<bool> allocated_;
};

}  // namespace dorvane::test
