// The race preset catches a real race: two DPCs due together on two
// simulated processors write one counter. Unlocked, the detector reports
// the race with both routines' stacks (ctest expects the report); inside a
// spin lock the lock's ordering reaches the detector and nothing is
// reported. Built only in the tsan preset.
#include "race_fixture.h"
#include "test_framework_fixture.h"

using namespace fwtest;

namespace {

class RaceSelfTest : public FxTest {
protected:
    RaceShared Shared{};

    void RunBothDpcs(bool Locked)
    {
        ASSERT_TRUE(W.SetProcessors(2, 1, "random"));
        Add(false);
        if (Locked) {
            WDF_OBJECT_ATTRIBUTES Attr = ChildOfDevice();
            ASSERT_EQ(WdfSpinLockCreate(&Attr, &Shared.Lock), STATUS_SUCCESS);
        }
        RaceFixtureShare(&Shared);
        WdfDpcEnqueue(MakeDpc(RaceFixtureTransmitDpc));
        WdfDpcEnqueue(MakeDpc(RaceFixtureReceiveDpc));
        Run();
    }
};

TEST_F(RaceSelfTest, UnlockedCounter_Reported) { RunBothDpcs(false); }

TEST_F(RaceSelfTest, SpinLockedCounter_Quiet)
{
    RunBothDpcs(true);
    EXPECT_EQ(Shared.Count, 2);
}

} // namespace
