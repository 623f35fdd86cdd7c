// The randomized model test of dynamic images, in sizes quick enough for the
// default suite.
#include "model_runner.h"

namespace dorvane::test {
namespace {

TEST_F(EngineModelTest, SectorBlocks) {
  RunModel({512, 24, 5, 200, 4});
}

TEST_F(EngineModelTest, SmallBlocks) {
  RunModel({4 * kKiB, 16, 10, 300, 1});
}

TEST_F(EngineModelTest, MediumBlocks) {
  RunModel({64 * kKiB, 12, 6, 250, 2});
}

TEST_F(EngineModelTest, UsualBlocks) {
  RunModel({2 * kMiB, 6, 3, 60, 3});
}

}  // namespace
}  // namespace dorvane::test
