// The transmit path's parties beside one another on two simulated
// processors. The bulk-OUT completion, and the next sub-request's start and
// cancellation it makes, run outside the device-wide lock; the write
// callback, the cancel routine, the time-out and the completion pass under
// it. Each case is an arrangement in which a WriteLock or EventLock hold is
// all that orders two of them: under the tsan preset a hold left out is a
// race report, and in every build each write ends once, as on one
// processor, with the wire holding exactly the bytes it reports. In every
// case the bulk-OUT completion also runs beside the sender's last steps:
// the completion's hold and the sender's marking of the sub-request as sent
// are tested by all of them.
#include "test_transmit_fixture.h"

#include <cstring>
#include <string>

namespace transmit_test {
namespace {

constexpr std::size_t kPacket = 64;

// What ends the first write, besides its last packet.
enum class Ender { None, Timeout, Cancel, Purge };

constexpr VirtualTime kMs = kMillisecond;

struct RaceCase {
    const char *Name;
    std::uint64_t Seed = 1;       // the random schedule's, verified to produce the interleaving
    Ender By = Ender::None;       // the write total time-out, the application's cancel or a purge
    VirtualTime EndAt = 0;        // after the write: the time-out's due time, or when the cancel lands
    const char *AtCall = nullptr; // else the cancel lands inside the driver's AtNth call of this routine
    int AtNth = 0;
    const char *FailCall = nullptr; // this kit routine fails at its FailNth call
    int FailNth = 0;
    std::size_t Taken = 5;        // packets the device takes, each Delay after it was offered; the
    VirtualTime Delay = 5 * kMs;  //   later ones it never takes
    std::size_t SecondLength = 0; // a second write issued SecondAt after the first
    VirtualTime SecondAt = 0;
    ULONG WaitMask = 0;               // a wait on these events pending from before the write
    VirtualTime BulkInAt = -1;        // the device sends a byte then
    NTSTATUS Status = STATUS_SUCCESS; // how the first write ends
    std::size_t Information = 5 * kPacket;
};

// The cancel lands inside the second sub-request's send, which fails.
constexpr RaceCase FailingSendCase(const char *Name, std::uint64_t Seed)
{
    return {.Name = Name,
            .Seed = Seed,
            .By = Ender::Cancel,
            .AtCall = "WdfRequestSend",
            .AtNth = 2,
            .FailCall = "WdfRequestSend",
            .FailNth = 2,
            .Status = STATUS_INSUFFICIENT_RESOURCES,
            .Information = kPacket};
}

const RaceCase kRaceCases[] = {
    // Guards against the time-out storing WriteAbortCode, and the completion
    // pass it schedules testing WriteTransferActive, outside WriteLock while
    // the bulk-OUT completion of the packet due at that moment, and the next
    // start it makes, test and give up the write (and that giving up made
    // outside WriteLock).
    {.Name = "TimeoutAtPacketReturn", .Seed = 9, .By = Ender::Timeout, .EndAt = 10 * kMs, .Information = 2 * kPacket},
    // Guards against the cancel routine storing WriteAbortCode, and the next
    // sub-request's start testing it at its entry, outside WriteLock while
    // the two meet on the two processors; and against the chain's giving up
    // and the completion pass's test of it outside WriteLock.
    {.Name = "CancelAtPacketReturn",
     .Seed = 7,
     .By = Ender::Cancel,
     .EndAt = 10 * kMs,
     .Status = STATUS_CANCELLED,
     .Information = 2 * kPacket},
    // Guards against the cancel routine, called by the transmit purge from
    // the control dispatcher, storing WriteAbortCode outside WriteLock while
    // the next start tests it where it publishes the sub-request (and that
    // test made outside WriteLock).
    {.Name = "PurgeAtPacketReturn",
     .Seed = 6,
     .By = Ender::Purge,
     .EndAt = 10 * kMs,
     .Status = STATUS_CANCELLED,
     .Information = 2 * kPacket},
    // Guards against the completion pass's cancellation of the sub-request
    // out deciding on the returned one outside WriteLock once the cancel call
    // returned, while the completion that call brought about runs on the
    // other processor.
    {.Name = "TimeoutWhilePacketOut", .By = Ender::Timeout, .EndAt = 12 * kMs, .Taken = 2, .Information = 2 * kPacket},
    {.Name = "CancelWhilePacketOut",
     .By = Ender::Cancel,
     .EndAt = 12 * kMs,
     .Taken = 2,
     .Status = STATUS_CANCELLED,
     .Information = 2 * kPacket},
    // Guards against the sender's cancellation of the sub-request on the
    // cancel routine's behalf (the cancel landed while it was being sent)
    // deciding on the returned one outside WriteLock beside its completion.
    {.Name = "CancelInsideSend",
     .By = Ender::Cancel,
     .AtCall = "WdfRequestSend",
     .AtNth = 2,
     .Status = STATUS_CANCELLED,
     .Information = kPacket},
    // Guards against the sender withdrawing a sub-request it could not send
    // outside WriteLock while the completion pass the cancel scheduled tests
    // it for cancellation (seed 45); against its publishing and its giving
    // the write up outside WriteLock beside the cancel and that pass (seed 6).
    FailingSendCase("CancelInsideFailingSend", 6),
    FailingSendCase("CancelInsideFailingSendBesidePass", 45),
    // Guards against the completion pass's cancellation taking the
    // sub-request out for cancellation outside WriteLock while its
    // completion clears it, with the next write queued behind the cancelled
    // one and presented by its completion.
    {.Name = "CancelWithWriteQueued",
     .By = Ender::Cancel,
     .EndAt = 10 * kMs,
     .Taken = 7,
     .SecondLength = 70,
     .Status = STATUS_CANCELLED,
     .Information = 2 * kPacket},
    // Guards against the same, and the time-out's store and the completion
    // pass's test, outside WriteLock, with the time-out ending the write and
    // the next write arriving from the application at that moment.
    {.Name = "TimeoutWithWriteArriving",
     .By = Ender::Timeout,
     .EndAt = 10 * kMs,
     .Taken = 7,
     .SecondLength = 70,
     .SecondAt = 10 * kMs,
     .Information = 2 * kPacket},
    // Guards against the completion pass testing the wait and delivering
    // transmit-empty outside EventLock while the bulk-in completion delivers
    // a received character to the same wait on the other processor.
    {.Name = "TransmitEmptyBesideRxChar",
     .Seed = 19,
     .WaitMask = SERIAL_EV_TXEMPTY | SERIAL_EV_RXCHAR,
     .BulkInAt = 25 * kMs},
};

class RacesTransmit : public Transmit, public ::testing::WithParamInterface<RaceCase> {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        ASSERT_TRUE(W.SetProcessors(2, GetParam().Seed, "random"));
        W.SetClockTick(kMillisecond); // a time-out fires at its due time, with the packet due then
        Start();
    }
    // The next tick: the write starts there, so its time-out's due time is one.
    void ToNextTick() { W.Clock().AdvanceTo((W.Clock().Now() / kMillisecond + 1) * kMillisecond); }
};

TEST_P(RacesTransmit, Write_CompletedOnceWireHoldsWhatItReports)
{
    const RaceCase c = GetParam();
    if (c.By == Ender::Timeout) SetWriteTimeouts(0, ULONG(c.EndAt / kMillisecond));
    for (std::size_t i = 0; i < c.Taken; ++i) Usb->QueueBulkOutAnswer({Answer::Accept, c.Delay});
    Usb->SetDefaultBulkOutAnswer({Answer::Never});
    if (c.FailCall != nullptr) W.FailNthCall(c.FailCall, c.FailNth, STATUS_INSUFFICIENT_RESOURCES);
    OpHandle Wait;
    if (c.WaitMask != 0) {
        OpHandle Set = Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(c.WaitMask));
        Wait = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        Run();
        ASSERT_EQ(StatusName(Set->Status), StatusName(STATUS_SUCCESS));
        ASSERT_FALSE(Wait->Completed);
    }
    ToNextTick();
    const VirtualTime Begin = W.Clock().Now();
    const Bytes First = Pattern(5 * kPacket, 1), Second = Pattern(c.SecondLength, 2);

    OpHandle Op, Purge;
    auto End = [&]() {
        if (c.By == Ender::Purge) {
            Purge = Ioctl(IOCTL_SERIAL_PURGE, AsBytes(ULONG{SERIAL_PURGE_TXABORT}));
        } else {
            W.Cancel(Op);
        }
    };
    if (c.AtCall != nullptr) {
        ASSERT_TRUE(W.AtNthCall(c.AtCall, c.AtNth, End));
    } else if (c.By != Ender::Timeout) {
        W.Clock().ScheduleAt(Begin + c.EndAt, End);
    }
    Op = W.Write(H, First);
    OpHandle Next;
    if (c.SecondLength != 0) {
        if (c.SecondAt == 0) {
            Next = W.Write(H, Second);
        } else {
            W.Clock().ScheduleAt(Begin + c.SecondAt, [&]() { Next = W.Write(H, Second); });
        }
    }
    if (c.BulkInAt >= 0) Usb->SendBulkInText("x", c.BulkInAt);
    Run();

    ASSERT_TRUE(Op->Completed);
    EXPECT_EQ(Op->Completions, 1);
    EXPECT_EQ(StatusName(Op->Status), StatusName(c.Status));
    EXPECT_EQ(Op->Information, c.Information);
    Bytes Wire = Slice(First, 0, c.Information);
    if (Next) {
        ASSERT_TRUE(Next->Completed);
        EXPECT_EQ(Next->Completions, 1);
        EXPECT_EQ(StatusName(Next->Status), StatusName(STATUS_SUCCESS));
        EXPECT_EQ(Next->Information, Second.size());
        Wire.insert(Wire.end(), Second.begin(), Second.end());
    }
    if (Wait) {
        // One of the two events completes the wait, once; the other finds no wait.
        ASSERT_TRUE(Wait->Completed);
        EXPECT_EQ(Wait->Completions, 1);
        EXPECT_EQ(StatusName(Wait->Status), StatusName(STATUS_SUCCESS));
        ULONG Events = 0;
        ASSERT_EQ(Wait->Output.size(), sizeof(Events));
        std::memcpy(&Events, Wait->Output.data(), sizeof(Events));
        EXPECT_NE(Events, 0u);
        EXPECT_EQ(Events & ~c.WaitMask, 0u);
    }
    if (Purge) {
        EXPECT_EQ(StatusName(Purge->Status), StatusName(STATUS_SUCCESS));
    }
    EXPECT_EQ(Usb->BulkOutBytes(), Wire);
    ExpectNoSubRequestsLeft();
    W.ClearFaults();
}

INSTANTIATE_TEST_SUITE_P(, RacesTransmit, ::testing::ValuesIn(kRaceCases), CaseName());

} // namespace
} // namespace transmit_test
