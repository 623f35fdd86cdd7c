// The randomized model test in sizes quick enough for the default suite.
#include "model_runner.h"

namespace dorvane::test {
namespace {

TEST_F(EngineModelTest, RandomWritesReadAsTheModel) {
  const ModelConfig configs[] = {
      /* 0 */ {512, 24, 0, 5, 200, 4},
      /* 1 */ {4 * kKiB, 16, 2, 6, 200, 1, 16 * kKiB, 6},  // children of larger blocks and disk
      /* 2 */ {64 * kKiB, 12, 1, 4, 200, 2, 16 * kKiB},    // a child of smaller blocks
      /* 3 */ {2048 * kKiB, 5, 1, 2, 60, 3},
  };
  for (const ModelConfig &config : configs) {
    SCOPED_TRACE("config " + std::to_string(&config - configs));
    ASSERT_NO_FATAL_FAILURE(RunModel(config));
  }
}

}  // namespace
}  // namespace dorvane::test
