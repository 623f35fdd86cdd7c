// The dorvane command end to end: every subcommand through the built binary,
// the error line of every way it fails, the bytes `write` moves across
// request boundaries, and sizes on the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include <sys/stat.h>

#include "host/testing/host_testing.h"
#include "tools/commands/size_parse.h"
#include "support/differencing_chain.h"
#include "support/image_builder.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

const uint64_t kMiB = 1ull << 20;

std::string Hex(const Bytes &bytes) {
  std::string hex;
  for (uint8_t byte : bytes) {
    hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
  }
  return hex;
}

class ToolCommand : public TempDirTest {};

// Through the built binary: create, write, cat and info on a dynamic image
// and a differencing child of it.
TEST_F(ToolCommand, EverySubcommandOnADynamicImageAndItsChild) {
  std::string base = File("base.vhd"), child = File("child.vhd");
  std::string data = AsString(PatternBytes(8192, 1));  // across blocks 0 and 1
  WriteFileBytes(File("data.bin"), Bytes(data.begin(), data.end()));
  WriteFileBytes(File("child.txt"), {'c', 'h', 'i', 'l', 'd'});
  for (const std::string &step :
       {"create --type dynamic --size 6M --block-size 1M " + base,
        "write " + base + " --offset " + std::to_string(kMiB - 4096) + " --input " +
            File("data.bin"),
        "create --parent " + base + " " + child, "write " + child + " --offset 100 <" +
            File("child.txt")}) {
    EXPECT_EQ(RunBinary(step), "");
  }
  EXPECT_TRUE(RunBinary("cat " + child) ==
              DiskWith(6 * kMiB, {{kMiB - 4096, data}, {100, "child"}}));
  EXPECT_EQ(RunBinary("cat " + child + " --offset 99 --length 7"), std::string("\0child\0", 7));
  EXPECT_TRUE(RunBinary("cat " + base) == DiskWith(6 * kMiB, {{kMiB - 4096, data}}))
      << "the parent changed";

  auto json = [&](const std::string &path, const char *type, int allocated,
                  const std::string &parent) {
    return "{\"path\": \"" + path + "\", \"disk_type\": \"" + type +
           "\", \"virtual_size\": 6291456, \"file_size\": " + std::to_string(FileSize(path)) +
           ", \"block_size\": 1048576, \"bat_entries\": 6, \"allocated_blocks\": " +
           std::to_string(allocated) + ", \"unique_id_hex\": \"" + Hex(PeekFile(path, 68, 16)) +
           "\", \"parent\": " + parent + "}";
  };
  EXPECT_EQ(RunBinary("info --json " + child),
            json(child, "differencing", 1, json(base, "dynamic", 2, "null")) + "\n");
  EXPECT_NE(RunBinary("info " + child).find("\nparent:            " + base + "\n"),
            std::string::npos);
}

// Inputs longer than one request land byte for byte at their offsets, from a
// pipe (copied aside first to learn its length) and from a file alike.
TEST_F(ToolCommand, WriteMovesTheBytesToTheirOffsetsAcrossRequests) {
  std::string image = File("w.vhd"), input = File("in.bin");
  MakeFixedImage(image, 8 * kMiB);
  std::string first = AsString(PatternBytes(2 * kMiB + 4097, 1));
  std::string second = AsString(PatternBytes(5 * kMiB + 123, 2));  // to the end of the disk
  WriteFileBytes(input, Bytes(second.begin(), second.end()));
  ToolRun run = RunTool({"write", image, "--offset", "1001"}, first);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  run = RunTool({"write", image, "--offset", std::to_string(3 * kMiB - 123), "--input", input});
  ASSERT_EQ(run.exitCode, 0) << run.err;

  std::string disk = DiskWith(8 * kMiB, {{1001, first}, {3 * kMiB - 123, second}});
  // A fixed image holds byte x of the disk at byte x of the file.
  EXPECT_TRUE(AsString(PeekFile(image, 0, 8 * kMiB)) == disk);
  EXPECT_TRUE(RunTool({"cat", image}).out == disk);
  EXPECT_NE(RunTool({"info", "--json", image}).out.find("null, \"allocated_blocks\": null"),
            std::string::npos);
}

// Failures exit 1 with one line naming the file at fault; usage errors exit 2
// with the usage. Nothing may be left open or allocated.
TEST_F(ToolCommand, FailuresAreOneLineNamingTheFile) {
  std::string disk = File("disk.vhd"), corrupt = File("corrupt.vhd"), tiny = File("tiny.vhd");
  std::string missing = File("missing.vhd"), orphan = File("orphan.vhd"), fresh = File("new.vhd");
  std::string faulty = File("faulty.vhd"), input = File("input.bin");
  MakeFixedImage(disk, 64 * 1024);
  MakeFixedImage(corrupt, 64 * 1024);
  PokeFile(corrupt, 64 * 1024 + 70, {0x5A});  // the footer's Unique Id: its checksum fails
  WriteFileBytes(tiny, Bytes(1024, 0));
  MakeDynamicImage(File("gone.vhd"), kMiB);
  MakeDifferencingImage(orphan, File("gone.vhd"));
  std::filesystem::remove(File("gone.vhd"));
  MakeFixedImage(faulty, 4 * kMiB);
  WriteFileBytes(input, Bytes(101, 'x'));
  std::string fifo = File("fifo"), loop = File("loop.vhd");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  MakeDifferencingImage(loop, disk);
  ClearLocators(loop);  // the image is its own parent
  SetLocator(loop, 0, "W2ru", u".\\loop.vhd");
  PokeFile(loop, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, ParentUniqueId), UniqueId(loop));
  RefreshHeaderChecksum(loop);
  const std::string tooFar = " would run past the end of the disk (65536 bytes): only 100 "
                             "bytes fit; nothing was written";
  // err: the start of the line (exit 1), or a part of it (usage errors, exit 2).
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string err, input = "";
    host::FileCall faultCall = host::FileCall::Read;
    uint64_t faultNth = 0;
    NTSTATUS faultStatus = STATUS_SUCCESS;
  } cases[] = {
      /* 0 */ {{"info", missing}, 1, missing + ": cannot inspect image: cannot open the file: No"},
      /* 1 */ {{"info", corrupt}, 1, corrupt + ": cannot inspect image: the footer at offset"},
      /* 2 */ {{"info", orphan}, 1,
               orphan + ": cannot inspect image: its parent is not found at .\\gone.vhd, Z:\\"},
      /* 3 */ {{"cat", tiny}, 1,
               tiny + ": cannot open image: the file is 1024 bytes long, shorter than any image "
                      "(1536 bytes): STATUS_BAD_FILE_TYPE (0xC0000903)"},
      /* 4 */ {{"cat", orphan}, 1,
               orphan + ": cannot open image: its parent is not found at .\\gone.vhd, Z:\\"},
      /* 5 */ {{"cat", disk, "--offset", "32K", "--length", "32769"}, 1,
               disk + ": cannot read: 32769 bytes at offset 32768 run past the end of the disk "
                      "(65536 bytes)"},
      /* 6 */ {{"cat", faulty}, 1,
               faulty + ": cannot read at offset 2097152: STATUS_IO_DEVICE_ERROR (0xC0000185)", "",
               host::FileCall::Read, 3, STATUS_IO_DEVICE_ERROR},
      /* 7 */ {{"write", missing, "--offset", "0"}, 1, missing + ": cannot open image for writing"},
      /* 8 */ {{"write", disk, "--offset", "65436"}, 1,
                disk + ": cannot write: the input at offset 65436" + tooFar, std::string(101, 'x')},
      /* 9 */ {{"write", disk, "--offset", "65436", "--input", input}, 1,
                disk + ": cannot write: 101 bytes at offset 65436" + tooFar},
      /* 10 */ {{"write", disk, "--offset", "65537"}, 1,
                disk + ": cannot write: offset 65537 is past the end of the disk (65536 bytes); "
                       "nothing was written"},
      /* 11 */ {{"write", disk, "--offset", "0", "--input", missing}, 1,
                missing + ": cannot open input: No such file or directory"},
      /* 12 */ {{"write", faulty, "--offset", "4096"}, 1,
                faulty + ": cannot write at offset 2097152: STATUS_DISK_FULL (0xC000007F)",
                std::string(3 * kMiB, 'd'), host::FileCall::Write, 2, STATUS_DISK_FULL},
      /* 13 */ {{"write", faulty, "--offset", "4196"}, 1,  // requests break at 2 MiB, not 2101348
                faulty + ": cannot write at offset 2097152: STATUS_DISK_FULL (0xC000007F)",
                std::string(3 * kMiB, 'd'), host::FileCall::Write, 2, STATUS_DISK_FULL},
      /* 14 */ {{"create", "--type", "dynamic", "--size", "1M", disk}, 1,
                disk + ": cannot create image: the file already exists; it is left as it is"},
      /* 15 */ {{"create", "--parent", missing, fresh}, 1,
                fresh + ": cannot create image: in the parent chain, " + missing +
                    ": cannot open the file"},
      /* 16 */ {{"info"}, 2, "missing IMAGE"},
      /* 17 */ {{"cat", disk, "--offset", "1Q"}, 2, "--offset: \"1Q\" is not a size"},
      /* 18 */ {{"write", disk}, 2, "--offset is required"},
      /* 19 */ {{"create", "--parent", disk, "--size", "1M", fresh}, 2,
                "--size does not apply with --parent"},
      /* 19 */ {{"cat", DirPath()}, 1,
                DirPath() + ": cannot open image: it is a directory, not an image file: STATUS_"},
      /* 20 */ {{"cat", ""}, 1, "\"\": cannot open image: an image's name cannot be empty: "},
      /* 21 */ {{"cat", loop}, 1,
                loop + ": cannot open image: its parent chain leads back to " + loop + ": STATUS_"},
      /* 22 */ {{"create", "--parent", fifo, fresh}, 1,
                fresh + ": cannot create image: in the parent chain, " + fifo + ": it is a FIFO"},
      /* 23 */ {{"create", "--type", "fixed", "--size", "1M", File("a\\b.vhd")}, 1,
                File("a\\b.vhd") + ": cannot create image: the name holds a backslash"},
      /* 24 */ {{"create", "--type", "fixed", "--size", "1M", File("bad\xFF.vhd")}, 1,
                File("bad\xFF.vhd") + ": cannot create image: the name is not UTF-8 text"},
      /* 25 */ {{"driver", "install", "dorvane.sys"}, 1,
                "service dorvane: cannot install: the driver runs as a kernel service on "
                "Windows only; here every dorvane command loads it"},
      /* 26 */ {{"driver", "status"}, 1, "service dorvane: cannot query: the driver runs as a "},
      /* 27 */ {{"driver"}, 2, "missing ACTION: install, start, stop, remove or status"},
      /* 28 */ {{"driver", "reload"}, 2, "unknown action \"reload\""},
      /* 29 */ {{"driver", "start", "dorvane.sys"}, 2, "unexpected argument \"dorvane.sys\""},
      /* 30 */ {{"driver", "install", "a.sys", "b.sys"}, 2, "unexpected argument \"b.sys\""},
  };
  Bytes diskBefore = ReadFileBytes(disk);
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    if (c.faultNth != 0) {
      host::InjectFileFault(c.faultCall, c.faultNth, host::FileFault::Fail(c.faultStatus),
                            "faulty.vhd");
    }
    ToolRun run = RunTool(c.args, c.input);
    host::ClearFaults();
    EXPECT_EQ(run.exitCode, c.exitCode) << "case " << i << ": " << run.err;
    if (c.exitCode == 1) {
      EXPECT_EQ(run.err.rfind("dorvane: " + c.err, 0), 0u) << "case " << i << ": " << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "case " << i;
    } else {
      EXPECT_NE(run.err.find(c.err), std::string::npos) << "case " << i << ": " << run.err;
      EXPECT_NE(run.err.find("\nusage: dorvane"), std::string::npos) << "case " << i;
    }
    EXPECT_TRUE(run.out.empty() || c.faultNth != 0) << "case " << i;
    EXPECT_EQ(host::OutstandingAllocations(), 0u) << "case " << i;
    EXPECT_EQ(host::OpenHandleCount(), 0u) << "case " << i;
  }
  EXPECT_TRUE(ReadFileBytes(disk) == diskBefore);
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_FALSE(std::filesystem::exists(File("a\\b.vhd")));
}

TEST(ToolSize, ParsesBinarySuffixesAndQuotesWhatItRefuses) {
  const std::nullopt_t refused = std::nullopt;
  struct Case {
    const char *text;
    std::optional<uint64_t> value;
  } cases[] = {
      {"0", 0}, {"512", 512}, {"007", 7}, {"1K", 1024}, {"1k", 1024}, {"3M", 3ull << 20},
      {"2g", 2ull << 30}, {"1T", 1ull << 40}, {"16777215T", 16777215ull << 40},
      {"18446744073709551615", UINT64_MAX}, {"", refused}, {"K", refused}, {"-1", refused},
      {"+1", refused}, {"1.5M", refused}, {"1KB", refused}, {"1 K", refused}, {" 1", refused},
      {"1 ", refused}, {"0x10", refused}, {"1P", refused},
      {"18446744073709551616", refused}, {"16777216T", refused}, {"17179869184G", refused},
  };
  for (const Case &c : cases) {
    uint64_t value = 12345;
    std::string error = ParseSize(c.text, &value);
    // A refusal quotes the text and leaves the value alone.
    EXPECT_EQ(value, c.value.value_or(12345)) << "\"" << c.text << "\": " << error;
    EXPECT_EQ(error.rfind(std::string("\"") + c.text + "\"", 0), c.value ? std::string::npos : 0)
        << "\"" << c.text << "\": " << error;
  }
}

}  // namespace
}  // namespace dorvane::test
