// dorvane info: the records of an image and of its parent chain, as the
// inspector reads them from the files.
#include "tools/commands/command_line.h"
#include "tools/disk/errors.h"
#include "tools/image_files/image_inspector.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dorvane {

namespace {

const char *DiskTypeName(uint32_t diskType) {
  switch (diskType) {
    case VHD_DISK_TYPE_FIXED:
      return "fixed";
    case VHD_DISK_TYPE_DYNAMIC:
      return "dynamic";
    case VHD_DISK_TYPE_DIFFERENCING:
      return "differencing";
    default:
      return "unknown";
  }
}

std::string HexId(const UCHAR (&id)[16]) {
  std::string hex;
  char digits[3];
  for (UCHAR byte : id) {
    std::snprintf(digits, sizeof(digits), "%02x", byte);
    hex += digits;
  }
  return hex;
}

// Block size, table entries and allocated blocks of a dynamic or
// differencing image; none for a fixed one.
struct BlockCounts {
  uint64_t blockSize = 0, tableEntries = 0, allocatedBlocks = 0;
};

std::optional<BlockCounts> BlocksOf(const ImageRecords &image) {
  if (!image.header) {
    return std::nullopt;
  }
  return BlockCounts{LoadBe32(image.header->BlockSize), LoadBe32(image.header->MaxTableEntries),
                     image.allocatedBlocks};
}

// The object of chain[level], with its parent nested inside it.
std::string JsonImage(const std::vector<ImageRecords> &chain, size_t level) {
  const ImageRecords &image = chain[level];
  std::optional<BlockCounts> blocks = BlocksOf(image);
  BlockCounts counts = blocks.value_or(BlockCounts{});
  auto number = [&](uint64_t value) {
    return blocks ? std::to_string(value) : std::string("null");
  };
  std::string parent = level + 1 < chain.size() ? JsonImage(chain, level + 1) : "null";
  return "{\"path\": " + JsonString(image.path) + ", \"disk_type\": \"" +
         DiskTypeName(image.DiskType()) + "\", \"virtual_size\": " +
         std::to_string(image.CurrentSize()) + ", \"file_size\": " +
         std::to_string(image.fileSize) +
         ", \"block_size\": " + number(counts.blockSize) +
         ", \"bat_entries\": " + number(counts.tableEntries) +
         ", \"allocated_blocks\": " + number(counts.allocatedBlocks) +
         ", \"unique_id_hex\": \"" + HexId(image.footer.UniqueId) + "\", \"parent\": " + parent +
         "}";
}

// "10485760 bytes (10 MiB)"; the unit part only where it says something.
std::string ByteCount(uint64_t bytes) {
  std::string text = std::to_string(bytes) + " bytes";
  static const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
  int unit = -1;
  double value = static_cast<double>(bytes);
  while (unit < 3 && value >= 1024) {
    value /= 1024;
    ++unit;
  }
  if (unit >= 0) {
    char scaled[32];
    std::snprintf(scaled, sizeof(scaled), " (%.1f %s)", value, units[unit]);
    text += scaled;
  }
  return text;
}

std::string TextImage(const ImageRecords &image, bool isParent) {
  std::string text = std::string(isParent ? "parent" : "image") + ":            " + image.path +
                     "\n  disk type:        " + DiskTypeName(image.DiskType()) +
                     "\n  virtual size:     " + ByteCount(image.CurrentSize()) +
                     "\n  file size:        " + ByteCount(image.fileSize);
  if (std::optional<BlockCounts> blocks = BlocksOf(image)) {
    text += "\n  block size:       " + ByteCount(blocks->blockSize) +
            "\n  table entries:    " + std::to_string(blocks->tableEntries) +
            "\n  allocated blocks: " + std::to_string(blocks->allocatedBlocks);
  }
  text += "\n  unique id:        " + HexId(image.footer.UniqueId) + "\n";
  return text;
}

}  // namespace

int RunInfo(const CommandCall &call) {
  const std::string &image = call.Image();
  std::vector<ImageRecords> chain;
  if (InspectFailure failure = InspectChain(image, &chain)) {
    ReportError(call.io.err, failure.path, "cannot inspect image", failure.what);
    return kExitFailure;
  }

  std::string text;
  if (call.args.Has("--json")) {
    text = JsonImage(chain, 0) + "\n";
  } else {
    for (size_t level = 0; level < chain.size(); ++level) {
      text += TextImage(chain[level], level > 0);
    }
  }
  if (!WriteText(call.io.out, text)) {
    ReportError(call.io.err, image, "cannot write to standard output", std::strerror(errno));
    return kExitFailure;
  }
  return 0;
}

std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace dorvane
