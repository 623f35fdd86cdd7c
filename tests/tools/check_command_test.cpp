// dorvane check: damages made by hand in a dynamic image with four blocks,
// each found, and repaired by --repair so that the image opens and reads as
// before; damages no repair may guess at stay, with nothing written.
#include <functional>

#include "../engine/engine_fixture.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlock = kChainBlock;

using CheckCommand = EngineTest;

TEST_F(CheckCommand, RepairsWhatNeedsNoGuessAndNothingElse) {
  const struct {
    const char *name;
    std::function<void()> damage;
    int exitCode;  // of check --repair
  } cases[] = {
      {"clean", [] {}, 0},
      {"trailing footer", [this] { PokeFile(path_, FileSize(path_) - 500, {1}); }, 1},
      {"footer copy", [this] { PokeFile(path_, 20, {1}); }, 1},
      {"entry past the end", [this] { PokeBe32(path_, kBatOffset + 4 * 9, 1u << 20); }, 1},
      {"bitmap", [this] { PokeFile(path_, DiskEntry(2) * 512ull, {0x7F}); }, 1},
      {"space behind the last block",
       [this] {
         Bytes footer = ReadFooter(path_);
         TruncateFile(path_, FileSize(path_) + 3 * kBlock);
         RewriteFooter(path_, footer);
       },
       1},
      {"growth stopped before the header",  // both footers name the grown size
       [this] {
         Bytes footer = ReadFooter(path_);
         StoreBe64(footer.data(), 20 * kBlock, offsetof(VHD_FOOTER, CurrentSize));
         RewriteFooter(path_, footer);
         disk_.resize(20 * kBlock, 0);
       },
       1},
      {"end lost inside the last block",  // an append whose end a power loss lost
       [this] {
         TruncateFile(path_, DiskEntry(3) * 512ull + SectorBitmapLength(kBlock) + kBlock / 2);
         std::fill(disk_.begin() + 3 * kBlock + kBlock / 2, disk_.begin() + 4 * kBlock, 0);
       },
       1},
      {"footer inside the last block",
       [this] {
         Bytes footer = ReadFooter(path_);
         TruncateFile(path_, DiskEntry(3) * 512ull + SectorBitmapLength(kBlock) + kBlock / 2);
         PokeFile(path_, FileSize(path_), footer);
       },
       2},
      {"overlapping blocks", [this] { PokeBe32(path_, kBatOffset + 4 * 9, DiskEntry(0)); }, 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    MakeDynamic(16 * kBlock, kBlock, {0, 1, 2, 3});
    c.damage();
    Bytes damaged = ReadFileBytes(path_);
    ToolRun check = RunTool({"check", path_});
    EXPECT_EQ(c.exitCode == 0 ? 0 : 2, check.exitCode) << check.out;
    EXPECT_TRUE(damaged == ReadFileBytes(path_)) << "check without --repair wrote to the file";
    ToolRun repair = RunTool({"check", "--repair", path_});
    EXPECT_EQ(c.exitCode, repair.exitCode) << repair.out;
    EXPECT_TRUE(c.exitCode != 2 || damaged == ReadFileBytes(path_)) << "unrepairable, yet written";
    if (c.exitCode == 2) continue;
    EXPECT_EQ(0, RunTool({"check", path_}).exitCode) << "problems left after the repair";
    EXPECT_EQ("", CheckCompact(path_));
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    EXPECT_TRUE(disk_ == ReadDiskThroughEngine(image_.Get()));
    image_.Close();
  }
}

TEST_F(CheckCommand, JsonNamesEveryProblemAndItsFile) {
  MakeChain();
  PokeFile(path_, FileSize(path_) - 500, {1});
  ToolRun run = RunTool({"check", "--json", path_});
  EXPECT_EQ(2, run.exitCode);
  EXPECT_EQ("{\"image\": \"" + path_ + "\", \"chain\": [\"" + path_ + "\", \"" + File("base.vhd") +
                "\"], \"problems\": [{\"file\": \"" + path_ + "\", \"problem\": \"the footer at offset " +
                std::to_string(FileSize(path_) - 512) +
                " is damaged; the copy at offset 0 is intact\", \"repairable\": true, \"repaired\": "
                "false}], \"repaired\": 0, \"remaining\": 1}\n",
            run.out);
}

}  // namespace
}  // namespace dorvane::test
