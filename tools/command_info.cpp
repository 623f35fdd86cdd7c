// dorvane info: what the driver sees of an image and its parent chain.
#include "command_line.h"
#include "disk_access.h"
#include "errors.h"

#include "format/vhd_format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dorvane {

namespace {

int RunInfo(const Arguments &args, const CommandIo &io);

const CommandDef kInfo = {
    "info",
    "info [--json] IMAGE",
    "Show the image's type, sizes, blocks and parent chain (--json: one JSON object).",
    {{"--json", false, false}},
    1,
    RunInfo,
};

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

std::string HexId(const std::array<uint8_t, 16> &id) {
  std::string hex;
  char digits[3];
  for (uint8_t byte : id) {
    std::snprintf(digits, sizeof(digits), "%02x", byte);
    hex += digits;
  }
  return hex;
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

template <typename T>
std::string JsonNumber(const std::optional<T> &value) {
  return value ? std::to_string(*value) : "null";
}

// The object of chain[level], with its parent nested inside it.
std::string JsonImage(const std::vector<ImageDescription> &chain, size_t level) {
  const ImageDescription &image = chain[level];
  std::string parent = level + 1 < chain.size() ? JsonImage(chain, level + 1) : "null";
  return "{\"path\": " + JsonString(image.path) + ", \"disk_type\": \"" +
         DiskTypeName(image.diskType) + "\", \"virtual_size\": " +
         std::to_string(image.virtualSize) + ", \"file_size\": " +
         std::to_string(image.fileSize) + ", \"block_size\": " + JsonNumber(image.blockSize) +
         ", \"bat_entries\": " + JsonNumber(image.batEntries) +
         ", \"allocated_blocks\": " + JsonNumber(image.allocatedBlocks) +
         ", \"unique_id_hex\": \"" + HexId(image.uniqueId) + "\", \"parent\": " + parent + "}";
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

std::string TextImage(const ImageDescription &image, bool isParent) {
  std::string text = std::string(isParent ? "parent" : "image") + ":            " + image.path +
                     "\n  disk type:        " + DiskTypeName(image.diskType) +
                     "\n  virtual size:     " + ByteCount(image.virtualSize) +
                     "\n  file size:        " + ByteCount(image.fileSize);
  if (image.blockSize) {
    text += "\n  block size:       " + ByteCount(*image.blockSize) +
            "\n  table entries:    " + std::to_string(*image.batEntries) +
            "\n  allocated blocks: " + std::to_string(*image.allocatedBlocks);
  }
  text += "\n  unique id:        " + HexId(image.uniqueId) + "\n";
  return text;
}

int RunInfo(const Arguments &args, const CommandIo &io) {
  const std::string &image = args.positional[0];
  Disk disk;
  NTSTATUS status = disk.OpenDisk(image, false);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot open image", status);
    return kExitFailure;
  }
  std::vector<ImageDescription> chain = disk.DescribeChain();
  disk.Close();

  std::string text;
  if (args.Has("--json")) {
    text = JsonImage(chain, 0) + "\n";
  } else {
    for (size_t level = 0; level < chain.size(); ++level) {
      text += TextImage(chain[level], level > 0);
    }
  }
  if (!WriteText(io.out, text)) {
    ReportError(io.err, image, "cannot write to standard output", std::strerror(errno));
    return kExitFailure;
  }
  return 0;
}

}  // namespace

const CommandDef &InfoCommand() { return kInfo; }

}  // namespace dorvane
