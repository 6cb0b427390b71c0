/*
 * test_control_races.cpp - the interleavings in which the data-race
 * detector (scripts/tsan.sh) found a driver field touched outside its lock:
 * each runs on two simulated processors under a fixed schedule, and checks
 * what the application sees; under the tsan preset a lock left out again is
 * a race report.
 */
#include "test_control_fixture.h"

#include <string>
#include <utility>

namespace control_test {
namespace {

/* The random schedule's seed of each test whose interleaving needs another
   than 1, each verified to produce it. */
const std::pair<const char *, std::uint64_t> kSeeds[] = {
    {"CloseBesideWaitDpc_ExcludedByMaskLock", 9},
    {"CloseBesideFrameworkCancel_WaitEndsOnce", 25},
    {"CloseBesideFrameworkCancel_CancelRoutineExcludedByMaskLock", 36},
};

class Races : public ControlFixture {
public:
    void SetUp() override
    {
        std::uint64_t Seed = 1;
        const std::string Name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (const auto &Row : kSeeds) {
            if (Name == Row.first) {
                Seed = Row.second;
            }
        }
        ASSERT_TRUE(W.SetProcessors(2, Seed, "random"));
        Bring();
    }

protected:
    /* A wait for RXCHAR, cancelled by the application as the handle is
       closed; the wait ends once, as cancelled. */
    void CloseBesideCancelledWait()
    {
        OpHandle Wait = WaitFor(SERIAL_EV_RXCHAR);
        ASSERT_TRUE(W.Cancel(Wait));
        ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
        Settle();
        ExpectDone(Wait, STATUS_CANCELLED, 0);
        EXPECT_EQ(Wait->Completions, 1);
        RemoveAndExpectNothingLeft();
    }
    /* A wait for RXCHAR, the character that satisfies it and the close of
       the handle, issued together; the wait ends exactly once. */
    void CloseBesideSatisfiedWait()
    {
        OpHandle Wait = WaitFor(SERIAL_EV_RXCHAR);
        Usb->SendBulkInText("x");
        ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
        Settle();
        ASSERT_TRUE(Wait->Completed);
        EXPECT_EQ(Wait->Completions, 1);
        RemoveAndExpectNothingLeft();
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
TEST_F(Races, CloseBesideWaitCompletion_WaitEndsOnce) { CloseBesideSatisfiedWait(); }

// Guards against a line setting built from the stored rate outside IoctlLock
// while the class-request completion of the setting before it stores the
// rate on the other processor (and that store made outside IoctlLock).
TEST_F(Races, LineControlBesideBaudRateCompletion_BothStored)
{
    OpHandle Rate = W.DeviceIoControl(H, IOCTL_SERIAL_SET_BAUD_RATE, Le32(115200), 0);
    OpHandle Line = W.DeviceIoControl(H, IOCTL_SERIAL_SET_LINE_CONTROL, Bytes{2, 0, 8}, 0);
    Settle();
    ExpectDone(Rate, STATUS_SUCCESS, 4);
    ExpectDone(Line, STATUS_SUCCESS, 3);
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), (Bytes{2, 0, 8}));
    ExpectCleanRemoval();
}

// Guards against GET_LINE_CONTROL and GET_BAUD_RATE copying the setting
// outside IoctlLock while the class-request completion of the setting
// stores it on the other processor.
TEST_F(Races, LineQueriesBesideLineSettingCompletion_EachSeesOneSetting)
{
    OpHandle Line = W.DeviceIoControl(H, IOCTL_SERIAL_SET_LINE_CONTROL, Bytes{2, 0, 8}, 0);
    OpHandle GetLine = W.DeviceIoControl(H, IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3);
    OpHandle Rate = W.DeviceIoControl(H, IOCTL_SERIAL_SET_BAUD_RATE, Le32(115200), 0);
    OpHandle GetRate = W.DeviceIoControl(H, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
    Settle();
    ExpectDone(Line, STATUS_SUCCESS, 3);
    ExpectDone(Rate, STATUS_SUCCESS, 4);
    ExpectDone(GetLine, STATUS_SUCCESS, 3);
    ExpectDone(GetRate, STATUS_SUCCESS, 4);
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), (Bytes{2, 0, 8}));
    ExpectCleanRemoval();
}

// Guards against the wait's cancel routine, called by the framework, deciding
// outside MaskLock while file clean-up unmarks and ends the same wait on the
// other processor (and clean-up ending it outside MaskLock).
TEST_F(Races, CloseBesideFrameworkCancel_WaitEndsOnce) { CloseBesideCancelledWait(); }

// Guards against the wait's cancel routine, called by the framework,
// clearing the wait outside MaskLock while file clean-up, which read it
// under MaskLock alone, calls the routine itself on a wait already ended:
// the close of CloseBesideFrameworkCancel under the seed that runs the
// framework's call inside clean-up's hold.
TEST_F(Races, CloseBesideFrameworkCancel_CancelRoutineExcludedByMaskLock) { CloseBesideCancelledWait(); }

// Guards against the wait's DPC deciding outside MaskLock while file clean-up
// unmarks and ends the same wait on the other processor (and clean-up ending
// it outside MaskLock): the close of CloseBesideWaitCompletion under the seed
// that runs the DPC inside clean-up's hold.
TEST_F(Races, CloseBesideWaitDpc_ExcludedByMaskLock) { CloseBesideSatisfiedWait(); }

// Guards against the wait's cancel routine clearing the wait outside EventLock
// while the bulk-in completion delivers RXCHAR into it on the other processor.
TEST_F(Races, CancelBesideRxChar_WaitEndsOnce)
{
    OpHandle Wait = WaitFor(SERIAL_EV_RXCHAR);
    Usb->SendBulkInText("x");
    W.Cancel(Wait);
    Settle();
    ASSERT_TRUE(Wait->Completed);
    EXPECT_EQ(Wait->Completions, 1);
    ExpectCleanRemoval();
}

// Guards against the interrupt reader's failure callback forgetting a half
// notification outside BulkInLock while open clears it on the other processor.
TEST_F(Races, OpenBesideInterruptReaderFailure_LinesStillFollowed)
{
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Usb->FailNextIn(Usb->InterruptAddress());
    Open();
    Settle();
    Interrupt(Bytes{0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x03, 0x00});
    EXPECT_EQ(ModemStatus() & 0xB0u, 0xB0u);
    ExpectCleanRemoval();
}

} // namespace
} // namespace control_test
