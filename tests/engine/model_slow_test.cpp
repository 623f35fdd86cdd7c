// The randomized model test of dynamic images at length: more seeds, more
// operations, the usual 2 MiB blocks.
#include "model_runner.h"

namespace dorvane::test {
namespace {

class EngineModelSlowTest : public EngineModelTest,
                            public ::testing::WithParamInterface<uint64_t> {};

TEST_P(EngineModelSlowTest, SmallBlocks) { RunModel({4 * kKiB, 64, 40, 500, GetParam()}); }

TEST_P(EngineModelSlowTest, SectorBlocks) { RunModel({512, 40, 20, 400, GetParam()}); }

TEST_P(EngineModelSlowTest, UsualBlocks) { RunModel({2 * kMiB, 8, 6, 120, GetParam()}); }

INSTANTIATE_TEST_SUITE_P(EngineSeeds, EngineModelSlowTest, ::testing::Values(11, 12, 13));

}  // namespace
}  // namespace dorvane::test
