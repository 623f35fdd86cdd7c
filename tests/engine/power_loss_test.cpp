// A short run of the power-loss campaign (power_loss_campaign.h); the long
// one is power_loss_slow_test.cpp.
#include "power_loss_campaign.h"

namespace dorvane::test {
namespace {

TEST_F(PowerLossCampaign, DynamicSteps) { RunCampaign(kDynamicSteps, 60, 1); }
TEST_F(PowerLossCampaign, DifferencingSteps) { RunCampaign(kDifferencingSteps, 30, 2); }
TEST_F(PowerLossCampaign, MergeSteps) { RunCampaign(kMergeSteps, 15, 3); }
TEST_F(PowerLossCampaign, AppendSteps) { RunCampaign(kAppendSteps, 150, 4); }
TEST_F(PowerLossCampaign, AppendStepsOnFat) { RunCampaign(kAppendStepsOnFat, 150, 5); }

}  // namespace
}  // namespace dorvane::test
