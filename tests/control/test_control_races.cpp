/*
 * test_control_races.cpp - the interleavings in which the data-race
 * detector (scripts/tsan.sh) found a driver field touched outside its lock:
 * each runs on two simulated processors under a fixed schedule, and checks
 * what the application sees; under the tsan preset a lock left out again is
 * a race report.
 */
#include "test_control_fixture.h"

namespace control_test {
namespace {

class Races : public ControlFixture {
public:
    void SetUp() override
    {
        ASSERT_TRUE(W.SetProcessors(2, 1, "random"));
        Bring();
    }
};

// Guards against the accept check reading LastReadFailed outside BulkInLock
// while the bulk-in completion stores it on the other processor.
TEST_F(Races, ReadBesideBulkInCompletion_ReadGetsTheBytes)
{
    Usb->SendBulkInText("abc");
    OpHandle Read = W.Read(H, 3);
    Settle();
    ExpectDone(Read, STATUS_SUCCESS, 3);
    EXPECT_EQ(Read->Output, (Bytes{'a', 'b', 'c'}));
    ExpectCleanRemoval();
}

// Guards against D0 exit storing DeviceInD0 outside BulkInLock while a
// write's completion reads it in the accept check on the other processor.
TEST_F(Races, WriteCompletionBesideD0Exit_WriteCompletesOnce)
{
    OpHandle Write = W.Write(H, Bytes{'h', 'i'});
    W.SystemSleep();
    W.SystemResume();
    Settle();
    ASSERT_TRUE(Write->Completed);
    ExpectCleanRemoval();
}

// Guards against file clean-up testing CurrentWaitRequest outside EventLock
// while the wait's DPC clears it on the other processor.
TEST_F(Races, CloseBesideWaitCompletion_WaitEndsOnce)
{
    OpHandle Wait = WaitFor(SERIAL_EV_RXCHAR);
    Usb->SendBulkInText("x");
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Settle();
    ASSERT_TRUE(Wait->Completed);
    RemoveAndExpectNothingLeft();
}

} // namespace
} // namespace control_test
