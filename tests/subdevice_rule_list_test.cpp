// The host writes a round's rules into the entries of the last batch it took
// back. Whatever the counts do from round to round, a batch carries exactly
// the rules stated since the last hand-over, with their own words, and the
// pending list never shows an entry left from an earlier round.
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VX42BDC.h"
#include "recording_controller.h"

namespace {

// Hands its list over the way a sub-device's round end does.
class ListDevice : public VX42BDC {
public:
    std::vector<rule_value> HandOver()
    {
        std::vector<rule_value> batch;
        batch.swap(pendingRules_);
        return batch;
    }
    std::vector<rule_value>& List() { return pendingRules_; }
};

// Longer than a string keeps in place, so that reused room matters.
std::string Word(const char* what, int round, int n)
{
    return std::string(what) + " of a rule long enough for the heap, round " + std::to_string(round) + " rule " +
           std::to_string(n);
}

void StateRound(ListDevice& d, int round, int count)
{
    for (int n = 0; n < count; ++n) {
        d.CheckThresholdBool(n % 3, Word("key", round, n), Word("code", round, n), Word("name", round, n),
                             Word("text", round, n), n % 2 == 0, static_cast<unsigned short>(n + 1));
    }
}

void ExpectRound(const std::vector<rule_value>& rules, int round, int count)
{
    ASSERT_EQ(rules.size(), static_cast<size_t>(count)) << "round " << round;
    for (int n = 0; n < count; ++n) {
        const rule_value& r = rules[static_cast<size_t>(n)];
        EXPECT_EQ(r.key, Word("key", round, n));
        EXPECT_EQ(r.code, Word("code", round, n));
        EXPECT_EQ(r.name, Word("name", round, n));
        EXPECT_EQ(r.text, Word("text", round, n));
        EXPECT_EQ(r.level, n % 3);
        EXPECT_EQ(r.value, n % 2 == 0 ? 1 : 0);
        EXPECT_EQ(r.sequence, n + 1);
    }
}

struct Fixture {
    std::shared_ptr<RecordingController> host = std::make_shared<RecordingController>();
    std::shared_ptr<ListDevice> device = std::make_shared<ListDevice>();
    Fixture() { device->SetController(host); }
};

TEST(RuleList, EachBatchCarriesItsOwnRoundsRules)
{
    // Growing, shrinking, steady, none and back: each evaluated as handed over.
    const int counts[] = {3, 2, 5, 5, 1, 0, 4};
    Fixture f;
    for (int round = 0; round < static_cast<int>(std::size(counts)); ++round) {
        SCOPED_TRACE(round);
        StateRound(*f.device, round, counts[round]);
        ExpectRound(f.device->PendingRules(), round, counts[round]);
        std::vector<rule_value> batch = f.device->HandOver();
        f.device->DoBatchCheckThreshold(batch);
        ASSERT_EQ(f.host->batches.size(), static_cast<size_t>(round + 1));
        ExpectRound(f.host->batches.back().rules, round, counts[round]);
    }
}

TEST(RuleList, TakenPendingRulesAreTheStatedOnes)
{
    Fixture f;
    StateRound(*f.device, 0, 4);
    std::vector<rule_value> batch = f.device->HandOver();
    f.device->DoBatchCheckThreshold(batch);
    StateRound(*f.device, 1, 2);
    ExpectRound(f.device->TakePendingRules(), 1, 2);
    EXPECT_TRUE(f.device->PendingRules().empty());
}

// Batches the host did not get from the pending list keep their entries.
TEST(RuleList, OtherBatchesAreLeftAsTheyAre)
{
    Fixture f;
    StateRound(*f.device, 0, 3);
    const std::vector<rule_value> copy = f.device->PendingRules();
    f.device->DoBatchCheckThreshold(copy);
    ExpectRound(copy, 0, 3);
    // The pending list itself, evaluated in the middle of a round.
    f.device->DoBatchCheckThreshold(f.device->List());
    ExpectRound(f.device->PendingRules(), 0, 3);
    StateRound(*f.device, 1, 1);
    EXPECT_EQ(f.device->PendingRules().size(), 4u);
}

}  // namespace
