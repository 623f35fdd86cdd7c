// The long power-loss campaign: many cuts of each scenario, with what the
// cuts kept and how often the image needed a repair printed at the end.
#include <iostream>

#include "power_loss_campaign.h"

namespace dorvane::test {
namespace {

class PowerLossSlowCampaign : public PowerLossCampaign,
                              public ::testing::WithParamInterface<CutScenario> {};

TEST_P(PowerLossSlowCampaign, ManyCuts) {
  RunCampaign(GetParam(), GetParam() == kMergeSteps ? 600 : 2000, 1000 + GetParam());
  std::cout << "cuts repaired " << stats_.repaired << "; unflushed changes " << stats_.pending
            << ", kept " << stats_.kept << ", torn " << stats_.torn << "\n";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PowerLossSlowCampaign,
                         ::testing::Values(kDynamicSteps, kDifferencingSteps, kMergeSteps,
                                           kAppendSteps, kAppendStepsOnFat));

}  // namespace
}  // namespace dorvane::test
