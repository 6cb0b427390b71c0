// The transmit path's parties beside one another on two simulated
// processors. The bulk-OUT completion, and the next sub-request's start and
// cancellation it makes, run outside the device-wide lock; the write
// callback, the cancel routine, the time-out and the completion pass under
// it. Each case is an arrangement in which a WriteLock or EventLock hold is
// all that orders two of them: under the tsan preset a hold left out is a
// race report, and in every build each write ends once, as on one
// processor, with the wire holding exactly the bytes it reports.
#include "test_transmit_fixture.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace transmit_test {
namespace {

constexpr std::size_t kPacket = 64;

// What ends the first write.
enum class Ender { Timeout, Cancel, Purge };

struct RaceCase {
    const char *Name;
    std::uint64_t Seed;        // the random schedule's, verified to produce the interleaving
    Ender By;                  // the write total time-out, the application's cancel or a transmit purge
    VirtualTime EndAt;         // after the write: when the time-out is due, or the cancel or purge lands
    const char *AtCall;        // else the cancel lands inside the driver's AtNth call of this kit routine
    int AtNth;                 //
    const char *FailCall;      // this kit call fails at its FailNth call (nullptr: none)
    int FailNth;               //
    std::size_t Taken;         // packets the device takes, each Delay after it was offered; the rest never
    VirtualTime Delay;         //
    std::size_t SecondLength;  // a second write issued SecondAt after the first (0: none)
    VirtualTime SecondAt;      //
    NTSTATUS Status;           // how the first write ends
    std::size_t Information;   //
};

constexpr VirtualTime kMs = kMillisecond;

const RaceCase kRaceCases[] = {
    // Guards against the next sub-request's start testing WriteAbortCode
    // outside WriteLock (at its entry and where it publishes the sub-request)
    // while the time-out stores it, and against the chain giving up the write
    // (WriteTransferActive) outside WriteLock while the completion pass the
    // time-out scheduled tests it.
    {"TimeoutAtPacketReturn", 1, Ender::Timeout, 10 * kMs, nullptr, 0, nullptr, 0, 5, 5 * kMs, 0, 0,
     STATUS_SUCCESS, 2 * kPacket},
    // Guards against the cancel routine storing WriteAbortCode outside
    // WriteLock while the bulk-OUT completion and the start it makes test it.
    {"CancelAtPacketReturn", 1, Ender::Cancel, 10 * kMs, nullptr, 0, nullptr, 0, 5, 5 * kMs, 0, 0,
     STATUS_CANCELLED, 2 * kPacket},
    // The same through the transmit purge, which calls the cancel routine
    // from the control dispatcher.
    {"PurgeAtPacketReturn", 1, Ender::Purge, 10 * kMs, nullptr, 0, nullptr, 0, 5, 5 * kMs, 0, 0, STATUS_CANCELLED,
     2 * kPacket},
    // Guards against the completion pass's cancellation of the sub-request
    // out taking it, and afterwards deciding on the returned one, outside
    // WriteLock while its completion, which the cancellation brings about,
    // runs on the other processor.
    {"TimeoutWhilePacketOut", 1, Ender::Timeout, 12 * kMs, nullptr, 0, nullptr, 0, 2, 5 * kMs, 0, 0,
     STATUS_SUCCESS, 2 * kPacket},
    {"CancelWhilePacketOut", 1, Ender::Cancel, 12 * kMs, nullptr, 0, nullptr, 0, 2, 5 * kMs, 0, 0,
     STATUS_CANCELLED, 2 * kPacket},
    // Guards against the sender marking the sub-request sent, and cancelling
    // it on the cancel routine's behalf, outside WriteLock while the cancel
    // routine and the completion pass it schedules look at it.
    {"CancelInsideSend", 1, Ender::Cancel, 0, "WdfRequestSend", 2, nullptr, 0, 5, 5 * kMs, 0, 0, STATUS_CANCELLED,
     kPacket},
    // Guards against the sender withdrawing a sub-request it could not send
    // outside WriteLock while the completion pass the cancel scheduled tests
    // it for cancellation.
    {"CancelInsideFailingSend", 1, Ender::Cancel, 0, "WdfRequestSend", 2, "WdfRequestSend", 2, 5, 5 * kMs, 0, 0,
     STATUS_INSUFFICIENT_RESOURCES, kPacket},
    // Guards against the next write's set-up beside the cancelled one's
    // chain: the new write, queued behind, is presented by the completion of
    // the first.
    {"CancelWithWriteQueued", 1, Ender::Cancel, 10 * kMs, nullptr, 0, nullptr, 0, 7, 5 * kMs, 70, 0,
     STATUS_CANCELLED, 2 * kPacket},
    {"TimeoutWithWriteArriving", 1, Ender::Timeout, 10 * kMs, nullptr, 0, nullptr, 0, 7, 5 * kMs, 70, 10 * kMs,
     STATUS_SUCCESS, 2 * kPacket},
};

class RacesTransmit : public Transmit, public ::testing::WithParamInterface<RaceCase> {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        std::uint64_t Seed = GetParam().Seed;
        if (const char *Override = std::getenv("WR_SEED")) Seed = std::strtoull(Override, nullptr, 0);
        ASSERT_TRUE(W.SetProcessors(2, Seed, "random"));
        W.SetClockTick(kMillisecond); // a time-out fires at its due time, with the packet due then
        Start();
    }
    // The next tick: the write starts there, so its time-out's due time is one.
    void ToNextTick() { W.Clock().AdvanceTo((W.Clock().Now() / kMillisecond + 1) * kMillisecond); }
};

TEST_P(RacesTransmit, WriteEndedBesideItsTransfer_CompletedOnceWireHoldsWhatItReports)
{
    const RaceCase c = GetParam();
    if (c.By == Ender::Timeout) SetWriteTimeouts(0, ULONG(c.EndAt / kMillisecond));
    for (std::size_t i = 0; i < c.Taken; ++i) Usb->QueueBulkOutAnswer({Answer::Accept, c.Delay});
    Usb->SetDefaultBulkOutAnswer({Answer::Never});
    if (c.FailCall != nullptr) W.FailNthCall(c.FailCall, c.FailNth, STATUS_INSUFFICIENT_RESOURCES);
    ToNextTick();
    const VirtualTime Start = W.Clock().Now();
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
        W.Clock().ScheduleAt(Start + c.EndAt, End);
    }
    Op = W.Write(H, First);
    OpHandle Next;
    if (c.SecondLength != 0) {
        if (c.SecondAt == 0) {
            Next = W.Write(H, Second);
        } else {
            W.Clock().ScheduleAt(Start + c.SecondAt, [&]() { Next = W.Write(H, Second); });
        }
    }
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
    if (Purge) EXPECT_EQ(StatusName(Purge->Status), StatusName(STATUS_SUCCESS));
    EXPECT_EQ(Usb->BulkOutBytes(), Wire);
    ExpectNoSubRequestsLeft();
    W.ClearFaults();
}

INSTANTIATE_TEST_SUITE_P(, RacesTransmit, ::testing::ValuesIn(kRaceCases), CaseName());

} // namespace
} // namespace transmit_test
