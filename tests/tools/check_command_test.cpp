// dorvane check against the driver's open: one table of damaged images, each
// opened by the driver, checked, repaired, repaired again and undone. What
// the driver refuses, check reports; what check calls clean, the driver
// opens; a repair ends with an image that opens or says it could not, keeps
// the data of every block it did not name as given up, changes nothing the
// second time, and is undone byte for byte.
#include <sys/stat.h>

#include <functional>

#include "../engine/engine_fixture.h"
#include "mount_support.h"
#include "support/differencing_chain.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlock = 64 * kKiB;
// The dynamic image of the table: 120 blocks of 64 KiB, 0 to 15 holding
// data in that order from sector 4 on (one sector of table at sector 3, room
// for 128 entries).
constexpr uint64_t kDisk = 120 * kBlock;
constexpr uint32_t kSpanSectors = (kBlock + 512) / 512;
constexpr uint32_t SectorOf(uint32_t block) { return 4 + block * kSpanSectors; }

class CheckCommand : public EngineTest {
 protected:
  void PokeHeader64(size_t field, uint64_t value) {
    Bytes bytes(8);
    for (int b = 0; b < 8; ++b) bytes[b] = uint8_t(value >> (56 - 8 * b));
    PokeFile(path_, kHeaderOffset + field, bytes);
    RefreshHeaderChecksum(path_);
  }
  NTSTATUS DriverOpen() {
    NTSTATUS status = image_.Open(path_, GENERIC_READ);
    image_.Close();
    return status;
  }
};

TEST_F(CheckCommand, DamagedImagesThroughTheDriverCheckRepairAndUndo) {
  enum Kind { kDynamic, kChild, kFixed };
  const struct {
    const char *name;
    Kind kind;
    std::function<void()> damage;
    int check, repair;            // exit codes
    std::vector<uint32_t> lost;   // blocks a repair gives up
  } cases[] = {
      {"clean", kDynamic, [] {}, 0, 0, {}},
      {"trailing footer", kDynamic, [&] { PokeFile(path_, FileSize(path_) - 500, {1}); }, 2, 1, {}},
      {"footer copy", kDynamic, [&] { PokeFile(path_, 20, {1}); }, 2, 1, {}},
      // An entry on the dynamic header, the table, inside block 0, on block
      // 3's place, into the trailing footer, past the end of the file.
      {"entry on the header", kDynamic, [&] { PokeBe32(path_, kBatOffset + 400, 1); }, 2, 1, {}},
      {"entry on the table", kDynamic, [&] { PokeBe32(path_, kBatOffset + 400, 3); }, 2, 1, {}},
      {"entry inside a block", kDynamic, [&] { PokeBe32(path_, kBatOffset + 400, 5); }, 2, 1, {}},
      {"two entries, one place", kDynamic,
       [&] { PokeBe32(path_, kBatOffset + 4 * 9, SectorOf(3)); }, 2, 1, {9}},
      {"block into the footer", kDynamic,
       [&] { PokeBe32(path_, kBatOffset + 4 * 15, SectorOf(15) + 1); }, 2, 1, {15}},
      {"entry past the end", kDynamic, [&] { PokeBe32(path_, kBatOffset + 400, 1u << 20); }, 2, 1,
       {}},
      // Entries a power loss kept of two appends whose blocks it lost: the
      // driver opens the image and reads them as zeros, and check repairs.
      {"lost appends", kDynamic,
       [&] {
         PokeBe32(path_, kBatOffset + 4 * 20, SectorOf(16));
         PokeBe32(path_, kBatOffset + 4 * 30, SectorOf(17));
         EXPECT_EQ(NTSTATUS(STATUS_SUCCESS), DriverOpen());
       },
       2, 1, {}},
      {"bitmap", kDynamic, [&] { PokeFile(path_, SectorOf(2) * 512ull, {0x7F}); }, 2, 1, {}},
      {"space behind the last block", kDynamic,
       [&] {
         Bytes footer = ReadFooter(path_);
         TruncateFile(path_, FileSize(path_) + 3 * kBlock);
         RewriteFooter(path_, footer);
       },
       2, 1, {}},
      {"growth stopped before the header",  // both footers name the grown size
       kDynamic,
       [&] {
         Bytes footer = ReadFooter(path_);
         StoreBe64(footer.data(), 128 * kBlock, offsetof(VHD_FOOTER, CurrentSize));
         RewriteFooter(path_, footer);
         disk_.resize(128 * kBlock, 0);
       },
       2, 1, {}},
      {"end lost inside the last block",  // an append whose end a power loss lost
       kDynamic,
       [&] {
         TruncateFile(path_, SectorOf(15) * 512ull + 512 + kBlock / 2);
         std::fill(disk_.begin() + 15 * kBlock + kBlock / 2, disk_.begin() + 16 * kBlock, 0);
       },
       2, 1, {}},
      {"table on the header", kDynamic,
       [&] { PokeHeader64(offsetof(VHD_DYNAMIC_HEADER, TableOffset), 512); }, 2, 2, {}},
      {"header checksum", kDynamic, [&] { PokeFile(path_, kHeaderOffset + 100, {1}); }, 2, 2, {}},
      {"block size", kDynamic,
       [&] { PokeBe32(path_, kHeaderOffset + 32, 3 * kBlock), RefreshHeaderChecksum(path_); }, 2,
       2, {}},
      // A differencing image whose table names the dynamic header, or lies
      // far past the end of the file; a block on a parent locator's data.
      {"child's table on the header", kChild,
       [&] { PokeHeader64(offsetof(VHD_DYNAMIC_HEADER, TableOffset), 512); }, 2, 2, {}},
      {"child's table past the end", kChild,
       [&] { PokeHeader64(offsetof(VHD_DYNAMIC_HEADER, TableOffset), (1ull << 58) + 1536); }, 2,
       2, {}},
      {"child's block on locator data", kChild,
       [&] { PokeBe32(path_, kBatOffset + 4 * 7, ReadLocator(path_, 0).offset / 512); }, 2, 1,
       {}},
      {"fixed disk past its footer", kFixed,
       [&] {
         Bytes footer = ReadFooter(path_);
         StoreBe64(footer.data(), 2 * kDisk, offsetof(VHD_FOOTER, CurrentSize));
         RewriteFooter(path_, footer);
       },
       2, 2, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string undo = path_ + ".repair-undo";
    std::remove(undo.c_str());
    if (c.kind == kDynamic) {
      std::vector<uint32_t> blocks(16);
      for (uint32_t b = 0; b < 16; ++b) blocks[b] = b;
      MakeDynamic(kDisk, kBlock, blocks);
    } else if (c.kind == kChild) {
      MakeChain();
      PlaceChildBlock(3, PatternBytes(kChainBlock, 3), {0, 1, 2, 5});
    } else {
      std::remove(path_.c_str());
      MakeFixedImage(path_, kDisk);
      disk_.assign(kDisk, 0);
    }
    c.damage();
    for (uint32_t block : c.lost) std::fill_n(disk_.begin() + long(block) * kBlock, kBlock, 0);
    Bytes damaged = ReadFileBytes(path_);

    // The driver and check agree.
    bool opens = NT_SUCCESS(DriverOpen());
    ToolRun check = RunTool({"check", path_});
    EXPECT_EQ(c.check, check.exitCode) << check.out << check.err;
    EXPECT_TRUE(check.exitCode != 0 || opens) << "check calls clean what the driver refuses";
    EXPECT_TRUE(opens || check.exitCode != 0) << "the driver refuses what check calls clean";
    EXPECT_TRUE(damaged == ReadFileBytes(path_)) << "check without --repair wrote to the file";

    ToolRun repair = RunTool({"check", "--repair", path_});
    EXPECT_EQ(c.repair, repair.exitCode) << repair.out << repair.err;
    if (c.repair != 1) {
      EXPECT_TRUE(damaged == ReadFileBytes(path_)) << "nothing to repair, yet written";
      EXPECT_NE(0, access(undo.c_str(), F_OK)) << "an undo file of no repair";
      continue;
    }
    EXPECT_EQ(NTSTATUS(STATUS_SUCCESS), DriverOpen()) << "repaired, yet the driver refuses it";
    Bytes repaired = ReadFileBytes(path_), undoBytes = ReadFileBytes(undo);
    ToolRun again = RunTool({"check", "--repair", path_});
    EXPECT_EQ(0, again.exitCode) << "the second repair found: " << again.out;
    EXPECT_TRUE(repaired == ReadFileBytes(path_)) << "the second repair wrote to the image";
    EXPECT_TRUE(undoBytes == ReadFileBytes(undo)) << "the second repair touched the undo file";
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    EXPECT_TRUE(disk_ == ReadDiskThroughEngine(image_.Get())) << "the repair lost data";
    image_.Close();

    ToolRun undone = RunTool({"check", "--undo", path_});
    EXPECT_EQ(0, undone.exitCode) << undone.err;
    EXPECT_TRUE(damaged == ReadFileBytes(path_)) << "undo did not restore the file";
    EXPECT_NE(0, access(undo.c_str(), F_OK)) << "the undo file stayed";
  }
}

// Every 4-byte field of a differencing child's header and of its footer's
// offsets, sizes and type set to values that break it in different ways:
// the driver's open and check agree on each, and a repair that reports
// success leaves an image that opens and that a second repair leaves alone.
TEST_F(CheckCommand, HeaderAndFooterMutationsAgreeWithTheDriver) {
  const uint32_t values[] = {0, 1, 3, 512, 0x80000000u, 0xFFFFFFFFu};
  std::vector<std::pair<bool, uint32_t>> fields;  // in the header?, offset
  for (uint32_t at = 8; at < 40; at += 4) fields.push_back({true, at});
  for (uint32_t at = 576; at < 576 + 48; at += 4) fields.push_back({true, at});
  for (uint32_t at : {16u, 20u, 48u, 52u, 60u}) fields.push_back({false, at});
  size_t refused = 0;
  for (const auto &[inHeader, at] : fields) {
    for (uint32_t value : values) {
      SCOPED_TRACE((inHeader ? "header " : "footer ") + std::to_string(at) + " = " +
                   std::to_string(value));
      MakeChain();
      PlaceChildBlock(3, PatternBytes(kChainBlock, 3), {0, 1});
      if (inHeader) {
        PokeBe32(path_, kHeaderOffset + at, value);
        RefreshHeaderChecksum(path_);
      } else {
        Bytes footer = ReadFooter(path_);
        StoreBe32(footer.data(), value, at);
        RewriteFooter(path_, footer);
      }
      bool opens = NT_SUCCESS(DriverOpen());
      refused += opens ? 0 : 1;
      int check = RunTool({"check", path_}).exitCode;
      EXPECT_TRUE(opens ? check != 3 : check == 2) << "driver opens: " << opens << ", check " << check;
      EXPECT_TRUE(check != 0 || opens);
      std::remove((path_ + ".repair-undo").c_str());
      int repair = RunTool({"check", "--repair", path_}).exitCode;
      if (repair <= 1) {
        EXPECT_EQ(NTSTATUS(STATUS_SUCCESS), DriverOpen());
      }
      if (repair == 1) {
        Bytes repaired = ReadFileBytes(path_);
        EXPECT_EQ(0, RunTool({"check", "--repair", path_}).exitCode);
        EXPECT_TRUE(repaired == ReadFileBytes(path_)) << "the second repair wrote to the image";
      }
    }
  }
  EXPECT_GT(refused, fields.size()) << "the mutations hardly break anything";
}

// The undo file is written before anything changes, is never replaced, and
// puts nothing back over an image changed since the repair.
TEST_F(CheckCommand, UndoFilesAreKeptAndRefusedWhenStale) {
  MakeDynamic(kDisk, kBlock, {0, 1, 2});
  PokeBe32(path_, kBatOffset + 400, 1);
  std::string undo = File("kept.undo");
  ToolRun repair = RunTool({"check", "--repair", "--undo-file", undo, path_});
  ASSERT_EQ(1, repair.exitCode) << repair.err;
  EXPECT_NE(std::string::npos, repair.out.find("--undo-file " + undo)) << repair.out;
  // The entry the repair cleared damaged again: a second repair may not
  // replace the first one's file, and undoing it would lose the change.
  PokeBe32(path_, kBatOffset + 400, 3);
  Bytes damaged = ReadFileBytes(path_);
  ToolRun refused = RunTool({"check", "--repair", "--undo-file", undo, path_});
  EXPECT_EQ(3, refused.exitCode);
  EXPECT_NE(std::string::npos, refused.err.find("of an earlier repair is in the way")) << refused.err;
  EXPECT_TRUE(damaged == ReadFileBytes(path_));
  ToolRun undone = RunTool({"check", "--undo", "--undo-file", undo, path_});
  EXPECT_EQ(3, undone.exitCode);
  EXPECT_NE(std::string::npos, undone.err.find("has changed since the repair")) << undone.err;
  EXPECT_TRUE(damaged == ReadFileBytes(path_));
  PokeBe32(path_, kBatOffset + 400, VHD_BAT_UNALLOCATED);
  undone = RunTool({"check", "--undo", "--undo-file", undo, path_});
  EXPECT_EQ(0, undone.exitCode) << undone.err;
  EXPECT_EQ(1u, PeekBe32(path_, kBatOffset + 400));
  EXPECT_NE(0, access(undo.c_str(), F_OK));

  // A repair that cut a block no entry named; a new block written where it
  // stood brings the file back to its old length: its data stays.
  std::remove(path_.c_str());
  Bytes data = PatternBytes(kMiB, 8);
  ASSERT_EQ(0, RunTool({"create", "--type", "dynamic", "--size", "64M", path_}).exitCode);
  for (const char *offset : {"0", "4M"}) {
    ASSERT_EQ(0, RunTool({"write", path_, "--offset", offset}, std::string(data.begin(), data.end()))
                     .exitCode);
  }
  Bytes table = PeekFile(path_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, TableOffset), 8);
  PokeBe32(path_, LoadBe64(table.data()) + 4 * 2, VHD_BAT_UNALLOCATED);
  uint64_t damagedSize = FileSize(path_);
  ASSERT_EQ(1, RunTool({"check", "--repair", "--undo-file", undo, path_}).exitCode);
  Bytes fresh = PatternBytes(kMiB, 9);
  ASSERT_EQ(0, RunTool({"write", path_, "--offset", "14M"},
                       std::string(fresh.begin(), fresh.end()))
                   .exitCode);
  ASSERT_EQ(damagedSize, FileSize(path_));
  Bytes written = ReadFileBytes(path_);
  undone = RunTool({"check", "--undo", "--undo-file", undo, path_});
  EXPECT_EQ(3, undone.exitCode);
  EXPECT_NE(std::string::npos, undone.err.find("has changed since the repair")) << undone.err;
  EXPECT_TRUE(written == ReadFileBytes(path_));
}

// What is no image file, or cannot be opened for a repair, is an error line
// at once, with the exit code of an error.
TEST_F(CheckCommand, FilesThatAreNoImagesAreErrors) {
  std::string fifo = File("fifo"), folder = File("ro");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  MakeDynamic(kDisk, kBlock, {0});
  mkdir(folder.c_str(), 0755);
  const struct {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"check", fifo}, fifo + ": cannot check image: it is a FIFO (named pipe)"},
      {{"check", DirPath()}, DirPath() + ": cannot check image: it is a directory"},
      {{"check", "/dev/zero"}, "/dev/zero: cannot check image: it is a character device"},
      {{"check", "--repair", File("none.vhd")},
       File("none.vhd") + ": cannot repair image: cannot open the file: No such file"},
  };
  for (const auto &c : cases) {
    ToolRun run = RunTool(c.args);
    EXPECT_EQ(3, run.exitCode) << c.line;
    EXPECT_EQ(0u, run.err.rfind("dorvane: " + c.line, 0)) << run.err;
    EXPECT_EQ("", run.out);
  }
  // A file system mounted read-only: the repair's open for writing fails.
  if (geteuid() != 0 || RunShell("mount -t tmpfs -o size=4m tmpfs " + folder) != 0) {
    GTEST_SKIP() << "a read-only file system cannot be mounted here";
  }
  ShellOnExit unmount{"umount " + folder};
  std::string image = folder + "/d.vhd";
  ASSERT_EQ(0, RunShell("cp " + path_ + " " + image + " && mount -o remount,ro " + folder));
  ToolRun run = RunTool({"check", "--repair", image});
  EXPECT_EQ(3, run.exitCode);
  std::string line = "dorvane: " + image + ": cannot repair image: cannot open the file for writing";
  EXPECT_EQ(0u, run.err.rfind(line, 0)) << run.err;
}

// A mount serves the image, or another process writes it: check and repair
// are refused with the line that names the file in use, and write nothing.
TEST_F(MountTest, CheckAndRepairOfAnImageInUseAreRefused) {
  std::string image = File("d.vhd");
  MakeDynamicImage(image, 4 << 20);
  Mount mount(image, File("mnt"));
  ASSERT_TRUE(mount.ready);
  int fd = open(mount.file.c_str(), O_RDWR);
  ASSERT_EQ(pwrite(fd, "data", 4, 1 << 20), 4);
  for (const char *verb : {"check", "repair"}) {
    std::vector<std::string> args = {"check", image};
    if (verb == std::string("repair")) args.insert(args.begin() + 1, "--repair");
    ToolRun run = RunTool(args);
    EXPECT_EQ(3, run.exitCode) << verb;
    EXPECT_EQ("dorvane: " + image + ": cannot " + verb +
                  " image: the file is in use by another process: STATUS_SHARING_VIOLATION "
                  "(0xC0000043)\n",
              run.err);
  }
  ASSERT_EQ(0, fsync(fd));
  close(fd);
  EXPECT_EQ(0, mount.Unmount());
  EXPECT_EQ(0, RunTool({"check", image}).exitCode);
  EXPECT_EQ("data", RunTool({"cat", image, "--offset", "1M", "--length", "4"}).out);
}

}  // namespace
}  // namespace dorvane::test
