// The dorvane command end to end: the built binary, and RunCommand in this
// process where the host kernel's state is checked afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "format/vhd_format.h"
#include "host/host_kernel.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane {
namespace {

using test::Bytes;
using test::InputKind;
using test::ToolRun;

const uint64_t kMiB = 1ull << 20;

class ToolCommand : public test::TempDirTest {
 protected:
  // Nothing the command opened or allocated outlives it.
  void ExpectNothingLeft(const std::string &when) {
    EXPECT_EQ(host::OutstandingAllocations(), 0u) << when;
    EXPECT_EQ(host::OpenHandleCount(), 0u) << when;
  }
};

std::string Hex(const Bytes &bytes) {
  std::string hex;
  char digits[3];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof(digits), "%02x", byte);
    hex += digits;
  }
  return hex;
}

// The whole virtual disk, with pieces of data written at offsets.
std::string Expected(uint64_t size, std::initializer_list<std::pair<uint64_t, std::string>> data) {
  std::string disk(size, '\0');
  for (const auto &piece : data) {
    disk.replace(piece.first, piece.second.size(), piece.second);
  }
  return disk;
}

TEST_F(ToolCommand, FixedImageRoundTripThroughTheBinary) {
  std::string image = File("disk.vhd");
  ToolRun run = test::RunTool({"create", "--type", "fixed", "--size", "4M", image});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");

  // A piped input of unknown length, and a file crossing the 2 MiB transfer
  // size, ending exactly at the end of the disk.
  std::string first = test::AsString(test::PatternBytes(kMiB + 700, 1));
  std::string last = test::AsString(test::PatternBytes(2 * kMiB + 4096, 2));
  uint64_t lastOffset = 4 * kMiB - last.size();
  run = test::RunTool({"write", image, "--offset", "1000"}, first, InputKind::Pipe);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::string input = File("input.bin");
  test::WriteFileBytes(input, Bytes(last.begin(), last.end()));
  run = test::RunTool({"write", image, "--offset", std::to_string(lastOffset), "--input", input});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");

  std::string disk = Expected(4 * kMiB, {{1000, first}, {lastOffset, last}});
  // A fixed image holds byte x of the disk at byte x of the file.
  EXPECT_TRUE(test::AsString(test::PeekFile(image, 0, 4 * kMiB)) == disk);
  EXPECT_EQ(test::FileSize(image), 4 * kMiB + 512);

  run = test::RunTool({"cat", image});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out.size(), disk.size());
  EXPECT_TRUE(run.out == disk);

  run = test::RunTool({"cat", image, "--offset", "999", "--length", "2K"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(run.out == disk.substr(999, 2048));
}

TEST_F(ToolCommand, DynamicImageRoundTrip) {
  std::string image = File("dyn.vhd");
  ToolRun run = test::RunInProcess({"create", "--type=dynamic", "--size=6M", image});
  ASSERT_EQ(run.exitCode, 0) << run.err;

  // Crosses from block 0 into block 1; block 2 stays unallocated.
  std::string data = test::AsString(test::PatternBytes(8192, 3));
  uint64_t offset = 2 * kMiB - 4096;
  run = test::RunInProcess({"write", image, "--offset", std::to_string(offset)}, data);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ExpectNothingLeft("after write");

  run = test::RunInProcess({"cat", image});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(run.out == Expected(6 * kMiB, {{offset, data}}));

  run = test::RunInProcess({"info", "--json", image});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("\"allocated_blocks\": 2,"), std::string::npos) << run.out;
  ExpectNothingLeft("after cat and info");
}

TEST_F(ToolCommand, InfoJsonReportsWhatTheDriverSees) {
  std::string fixed = File("f.vhd");
  std::string dynamic = File("d.vhd");
  ASSERT_EQ(test::RunInProcess({"create", "--type", "fixed", "--size", "1M", fixed}).exitCode, 0);
  ASSERT_EQ(test::RunInProcess({"create", "--type", "dynamic", "--size", "5M", "--block-size",
                                "512K", dynamic})
                .exitCode,
            0);

  ToolRun run = test::RunTool({"info", "--json", fixed});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "{\"path\": \"" + fixed +
                         "\", \"disk_type\": \"fixed\", \"virtual_size\": 1048576, "
                         "\"file_size\": 1049088, \"block_size\": null, \"bat_entries\": null, "
                         "\"allocated_blocks\": null, \"unique_id_hex\": \"" +
                         Hex(test::PeekFile(fixed, kMiB + 68, 16)) + "\", \"parent\": null}\n");

  run = test::RunTool({"info", dynamic, "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "{\"path\": \"" + dynamic +
                         "\", \"disk_type\": \"dynamic\", \"virtual_size\": 5242880, "
                         "\"file_size\": 2560, \"block_size\": 524288, \"bat_entries\": 10, "
                         "\"allocated_blocks\": 0, \"unique_id_hex\": \"" +
                         Hex(test::PeekFile(dynamic, 68, 16)) + "\", \"parent\": null}\n");

  if (test::HaveProgram("python3")) {
    std::string json = File("info.json");
    test::WriteFileBytes(json, Bytes(run.out.begin(), run.out.end()));
    EXPECT_EQ(test::RunShell("python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " + json),
              0)
        << "not valid JSON: " << run.out;
  }

  run = test::RunTool({"info", dynamic});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("disk type:        dynamic"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("virtual size:     5242880 bytes (5.0 MiB)"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("allocated blocks: 0"), std::string::npos) << run.out;
}

TEST_F(ToolCommand, FailuresAreOneLineWithTheStatus) {
  std::string missing = File("missing.vhd");
  std::string corrupt = File("corrupt.vhd");
  std::string tiny = File("tiny.vhd");
  ASSERT_EQ(test::RunInProcess({"create", "--type", "fixed", "--size", "1M", corrupt}).exitCode, 0);
  // One byte of the footer's Unique Id changed: the checksum no longer passes.
  test::PokeFile(corrupt, kMiB + 70, {0x5A});
  test::WriteFileBytes(tiny, Bytes(1024, 0));

  const std::string notFound = "STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)";
  const std::string corruptStatus = "STATUS_FILE_CORRUPT_ERROR (0xC0000102)";
  const std::string badType = std::string(host::StatusName(0xC0000903)) + " (0xC0000903)";
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      /* 0 */ {{"info", missing},
               missing + ": cannot inspect image: cannot open the file: No such file or directory"},
      /* 1 */ {{"cat", missing}, missing + ": cannot open image: " + notFound},
      /* 2 */ {{"write", missing, "--offset", "0"},
               missing + ": cannot open image for writing: " + notFound},
      /* 3 */ {{"info", "--json", corrupt},
               corrupt + ": cannot inspect image: the footer at offset 1048576 is damaged (its "
                         "cookie, version or checksum)"},
      /* 4 */ {{"cat", corrupt}, corrupt + ": cannot open image: " + corruptStatus},
      /* 5 */ {{"write", corrupt, "--offset", "0"},
               corrupt + ": cannot open image for writing: " + corruptStatus},
      /* 6 */ {{"cat", tiny}, tiny + ": cannot open image: " + badType},
  };
  Bytes corruptBefore = test::ReadFileBytes(corrupt);
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    ToolRun run = test::RunTool(cases[i].args, "data");
    EXPECT_EQ(run.exitCode, 1) << "case " << i;
    EXPECT_EQ(run.err, "dorvane: " + cases[i].line + "\n") << "case " << i;
    EXPECT_EQ(run.out, "") << "case " << i;

    run = test::RunInProcess(cases[i].args, "data");
    EXPECT_EQ(run.err, "dorvane: " + cases[i].line + "\n") << "case " << i << " in process";
    ExpectNothingLeft("case " + std::to_string(i));
  }
  EXPECT_EQ(test::ReadFileBytes(corrupt), corruptBefore);
  EXPECT_NE(access(missing.c_str(), F_OK), 0) << "a failed open created the image";
}

TEST_F(ToolCommand, UsageErrorsExitWithTwo) {
  std::string image = File("u.vhd");
  ASSERT_EQ(test::RunInProcess({"create", "--type", "fixed", "--size", "1M", image}).exitCode, 0);
  struct Case {
    std::vector<std::string> args;
    const char *mentions;
  } cases[] = {
      /* 0 */ {{}, "no command"},
      /* 1 */ {{"frobnicate", image}, "unknown command"},
      /* 2 */ {{"--bogus", "info", image}, "unknown option --bogus"},
      /* 3 */ {{"info"}, "missing IMAGE"},
      /* 4 */ {{"info", image, image}, "unexpected argument"},
      /* 5 */ {{"info", "--length", "1", image}, "unknown option --length"},
      /* 6 */ {{"cat", image, "--offset"}, "--offset needs a value"},
      /* 7 */ {{"cat", image, "--offset", "1Q"}, "--offset"},
      /* 8 */ {{"cat", image, "--length", "1", "--length", "2"}, "more than once"},
      /* 9 */ {{"write", image}, "--offset is required"},
      /* 10 */ {{"write", image, "--offset", "-5"}, "not a size"},
      /* 11 */ {{"create", File("n.vhd"), "--size", "1M"}, "--type"},
      /* 12 */ {{"create", "--type", "fixed", File("n.vhd")}, "--size is required"},
      /* 13 */ {{"create", "--type", "sparse", "--size", "1M", File("n.vhd")}, "sparse"},
      /* 14 */ {{"create", "--type", "fixed", "--size", "1M", "--block-size", "4K", File("n.vhd")},
                "dynamic images only"},
      /* 15 */ {{"create", "--parent", image, "--size", "1M", File("n.vhd")}, "--size"},
      /* 16 */ {{"--drive", "Q:/tmp", "info", image}, "X:=DIR"},
      /* 17 */ {{"info", "--drive", "Q:=" + File("nowhere"), image}, "not a directory"},
      /* 18 */ {{"info", "--json=yes", image}, "takes no value"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    ToolRun run = test::RunTool(cases[i].args);
    EXPECT_EQ(run.exitCode, 2) << "case " << i << ": " << run.err;
    EXPECT_EQ(run.out, "") << "case " << i;
    EXPECT_EQ(run.err.rfind("dorvane", 0), 0u) << "case " << i << ": " << run.err;
    EXPECT_NE(run.err.find(cases[i].mentions), std::string::npos)
        << "case " << i << ": " << run.err;
    EXPECT_NE(run.err.find("usage: dorvane"), std::string::npos) << "case " << i;
  }
  EXPECT_NE(access(File("n.vhd").c_str(), F_OK), 0);
}

TEST_F(ToolCommand, DifferencingImageShowsItsChain) {
  std::string base = File("base.vhd");
  std::string child = File("child.vhd");
  ASSERT_EQ(test::RunTool({"create", "--type", "dynamic", "--size", "4M", base}).exitCode, 0);
  std::string data = test::AsString(test::PatternBytes(3000, 8));
  ASSERT_EQ(test::RunTool({"write", base, "--offset", "2M"}, data).exitCode, 0);
  ToolRun run = test::RunTool({"create", "--parent", base, child});
  ASSERT_EQ(run.exitCode, 0) << run.err;

  run = test::RunTool({"info", "--json", child});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::string parentObject = "{\"path\": \"" + base +
                             "\", \"disk_type\": \"dynamic\", \"virtual_size\": 4194304, "
                             "\"file_size\": " +
                             std::to_string(test::FileSize(base)) +
                             ", \"block_size\": 2097152, \"bat_entries\": 2, "
                             "\"allocated_blocks\": 1, \"unique_id_hex\": \"" +
                             Hex(test::PeekFile(base, 68, 16)) + "\", \"parent\": null}";
  EXPECT_EQ(run.out.rfind("{\"path\": \"" + child +
                              "\", \"disk_type\": \"differencing\", \"virtual_size\": 4194304, ",
                          0),
            0u)
      << run.out;
  EXPECT_NE(run.out.find("\"allocated_blocks\": 0, \"unique_id_hex\": \"" +
                         Hex(test::PeekFile(child, 68, 16)) + "\", \"parent\": " + parentObject +
                         "}\n"),
            std::string::npos)
      << run.out;

  // The child reads through to its parent; its own writes stay in it.
  run = test::RunTool({"cat", child});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(run.out == Expected(4 * kMiB, {{2 * kMiB, data}}));
  Bytes baseBefore = test::ReadFileBytes(base);
  ASSERT_EQ(test::RunTool({"write", child, "--offset", "100"}, "child").exitCode, 0);
  run = test::RunTool({"cat", child});
  EXPECT_TRUE(run.out == Expected(4 * kMiB, {{100, "child"}, {2 * kMiB, data}}));
  EXPECT_TRUE(test::ReadFileBytes(base) == baseBefore) << "the parent changed";

  run = test::RunTool({"create", "--parent", File("missing.vhd"), File("orphan.vhd")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err.rfind("dorvane: " + File("orphan.vhd") + ": cannot create image: ", 0), 0u)
      << run.err;
  EXPECT_NE(run.err.find(File("missing.vhd") + ": cannot open the file"), std::string::npos)
      << run.err;
  EXPECT_NE(access(File("orphan.vhd").c_str(), F_OK), 0);
}

TEST_F(ToolCommand, HelpGoesToStandardOutput) {
  ToolRun run = test::RunTool({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  for (const char *command : {"info", "cat", "write", "create"}) {
    EXPECT_NE(run.out.find(std::string("dorvane ") + command + " "), std::string::npos) << command;
  }
  run = test::RunTool({"cat", "--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out.rfind("usage: dorvane cat IMAGE", 0), 0u) << run.out;
  run = test::RunTool({"help", "write"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out.rfind("usage: dorvane write IMAGE", 0), 0u) << run.out;
}

TEST_F(ToolCommand, WritesThatDoNotFitChangeNothing) {
  std::string image = File("w.vhd");
  ASSERT_EQ(test::RunInProcess({"create", "--type", "fixed", "--size", "64K", image}).exitCode, 0);
  Bytes before = test::ReadFileBytes(image);
  std::string inputFile = File("in.bin");
  struct Case {
    uint64_t offset;
    size_t length;
    InputKind kind;
    bool viaFile;
    const char *mentions;
  } cases[] = {
      /* 0 */ {64 * 1024 - 100, 101, InputKind::Pipe, false, "would run past the end"},
      /* 1 */ {64 * 1024 - 100, 101, InputKind::File, false, "101 bytes at offset 65436"},
      /* 2 */ {64 * 1024 - 100, 101, InputKind::File, true, "101 bytes at offset 65436"},
      /* 3 */ {0, 3 * kMiB, InputKind::Pipe, false, "the input at offset 0 would run past the end of the disk (65536 bytes): only 65536 bytes fit"},
      /* 4 */ {64 * 1024 + 1, 0, InputKind::Pipe, false, "offset 65537 is past the end"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    std::string data(cases[i].length, 'x');
    std::vector<std::string> args = {"write", image, "--offset", std::to_string(cases[i].offset)};
    if (cases[i].viaFile) {
      test::WriteFileBytes(inputFile, Bytes(data.begin(), data.end()));
      args.push_back("--input");
      args.push_back(inputFile);
      data.clear();
    }
    ToolRun run = test::RunTool(args, data, cases[i].kind);
    EXPECT_EQ(run.exitCode, 1) << "case " << i;
    EXPECT_NE(run.err.find(cases[i].mentions), std::string::npos) << "case " << i << ": " << run.err;
    EXPECT_NE(run.err.find("nothing was written"), std::string::npos) << "case " << i;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "case " << i;
    EXPECT_TRUE(test::ReadFileBytes(image) == before) << "case " << i << ": the image changed";
  }

  // What fits exactly, and an empty input at the very end, are fine.
  ToolRun run = test::RunTool({"write", image, "--offset", "65436"}, std::string(100, 'y'));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  run = test::RunTool({"write", image, "--offset", "64K", "--input", "-"}, "");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(test::AsString(test::PeekFile(image, 65436, 100)), std::string(100, 'y'));
}

TEST_F(ToolCommand, ReadsOutsideTheDiskAreErrors) {
  std::string image = File("r.vhd");
  ASSERT_EQ(test::RunInProcess({"create", "--type", "fixed", "--size", "8K", image}).exitCode, 0);
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    size_t outputLength;
    const char *mentions;
  } cases[] = {
      /* 0 */ {{"cat", image, "--offset", "8K"}, 0, 0, ""},
      /* 1 */ {{"cat", image, "--offset", "8191"}, 0, 1, ""},
      /* 2 */ {{"cat", image, "--offset", "4K", "--length", "4K"}, 0, 4096, ""},
      /* 3 */ {{"cat", image, "--offset", "8193"}, 1, 0, "offset 8193 is past the end"},
      /* 4 */ {{"cat", image, "--offset", "4K", "--length", "4097"}, 1, 0,
               "4097 bytes at offset 4096 run past the end of the disk (8192 bytes)"},
      /* 5 */ {{"cat", image, "--length", "18446744073709551615"}, 1, 0, "run past the end"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    ToolRun run = test::RunInProcess(cases[i].args);
    EXPECT_EQ(run.exitCode, cases[i].exitCode) << "case " << i << ": " << run.err;
    EXPECT_EQ(run.out.size(), cases[i].outputLength) << "case " << i;
    EXPECT_NE(run.err.find(cases[i].mentions), std::string::npos) << "case " << i << ": " << run.err;
    ExpectNothingLeft("case " + std::to_string(i));
  }
}

TEST_F(ToolCommand, CreateLeavesExistingFilesAlone) {
  std::string image = File("keep.vhd");
  test::WriteFileBytes(image, test::PatternBytes(3000, 9));
  ToolRun run = test::RunTool({"create", "--type", "dynamic", "--size", "1M", image});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err,
            "dorvane: " + image + ": cannot create image: the file already exists; it is left "
                                  "as it is\n");
  EXPECT_EQ(test::ReadFileBytes(image), test::PatternBytes(3000, 9));

  run = test::RunTool({"create", "--type", "fixed", "--size", "1000", File("odd.vhd")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "dorvane: " + File("odd.vhd") +
                         ": cannot create image: the size 1000 is not a multiple of 512\n");
}

TEST_F(ToolCommand, FailedTransfersNameTheOffsetAndStatus) {
  std::string image = File("fault.vhd");
  ASSERT_EQ(test::RunInProcess({"create", "--type", "fixed", "--size", "8M", image}).exitCode, 0);

  // The second 2 MiB piece fails: the first is on the disk, the error says
  // where the write stopped.
  host::InjectFileFault(host::FileCall::Write, 2, host::FileFault::Fail(STATUS_DISK_FULL),
                        "fault.vhd");
  std::string data = test::AsString(test::PatternBytes(5 * kMiB, 4));
  ToolRun run = test::RunInProcess({"write", image, "--offset", "4096"}, data);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "dorvane: " + image + ": cannot write at offset " +
                         std::to_string(4096 + 2 * kMiB) +
                         ": STATUS_DISK_FULL (0xC000007F)\n");
  EXPECT_TRUE(test::AsString(test::PeekFile(image, 4096, 2 * kMiB)) == data.substr(0, 2 * kMiB));
  ExpectNothingLeft("after the failed write");
  host::ClearFaults();

  host::InjectFileFault(host::FileCall::Read, 3, host::FileFault::Fail(STATUS_IO_DEVICE_ERROR),
                        "fault.vhd");
  run = test::RunInProcess({"cat", image});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "dorvane: " + image + ": cannot read at offset " + std::to_string(2 * kMiB) +
                         ": STATUS_IO_DEVICE_ERROR (0xC0000185)\n");
  EXPECT_EQ(run.out.size(), 2 * kMiB) << "what was read before the failure is still written out";
  ExpectNothingLeft("after the failed read");
}

TEST_F(ToolCommand, CatMovesLargePieces) {
  std::string image = File("big.vhd");
  ASSERT_EQ(test::RunInProcess({"create", "--type", "fixed", "--size", "16M", image}).exitCode, 0);
  host::ResetFileCallCounts();
  ToolRun run = test::RunInProcess({"cat", image});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out.size(), 16 * kMiB);
  // The open reads the footer; the data goes in pieces of at least 1 MiB.
  EXPECT_LE(host::FileCallCount(host::FileCall::Read, "big.vhd"), 1u + 16u);
}

}  // namespace
}  // namespace dorvane
