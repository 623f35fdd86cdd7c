// The long power-loss campaign: many cuts of each scenario, with what the
// cuts kept and how often the image needed a repair printed at the end.
#include "power_loss_campaign.h"

namespace dorvane::test {
namespace {

class PowerLossSlowCampaign : public PowerLossCampaign,
                              public ::testing::WithParamInterface<CutScenario> {};

TEST_P(PowerLossSlowCampaign, ManyCuts) {
  RunCampaign(GetParam(), GetParam() == kMergeSteps ? 600 : 2000, 1000 + GetParam());
  std::printf("cuts repaired %llu; unflushed changes %llu, kept %llu, torn %llu\n",
              (unsigned long long)stats_.repaired, (unsigned long long)stats_.pending,
              (unsigned long long)stats_.kept, (unsigned long long)stats_.torn);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PowerLossSlowCampaign,
                         ::testing::Values(kDynamicSteps, kDifferencingSteps, kMergeSteps));

}  // namespace
}  // namespace dorvane::test
