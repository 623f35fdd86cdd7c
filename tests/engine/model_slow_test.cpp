// The randomized model test at length: more seeds, batches and operations.
#include "model_runner.h"

namespace dorvane::test {
namespace {

class EngineModelSlowTest : public EngineModelTest,
                            public ::testing::WithParamInterface<uint64_t> {};

TEST_P(EngineModelSlowTest, SectorBlocks) { RunModel({512, 40, 0, 20, 400, GetParam()}); }
TEST_P(EngineModelSlowTest, SmallBlocks) {
  RunModel({4 * kKiB, 64, 2, 20, 500, GetParam(), 8 * kKiB, 40});
}
TEST_P(EngineModelSlowTest, OtherChildBlocks) {
  RunModel({64 * kKiB, 16, 2, 10, 300, GetParam(), 16 * kKiB});
}
TEST_P(EngineModelSlowTest, UsualBlocks) { RunModel({2048 * kKiB, 8, 1, 6, 120, GetParam()}); }

INSTANTIATE_TEST_SUITE_P(EngineSeeds, EngineModelSlowTest, ::testing::Values(11, 12, 13));

}  // namespace
}  // namespace dorvane::test
