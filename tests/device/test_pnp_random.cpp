// PnP and power beside the application: a randomized run of stops and
// starts, system sleep and resume, selective suspend and the request that
// wakes the device, surprise and orderly removal with a new device plugged
// in after, against opens, closes, reads, writes, waits and cancels on a
// loopback device. Whatever the order, every request ends exactly once, the
// verifier stays silent, what each device echoed arrives in order without a
// byte invented, and nothing is left once the last device is removed. On
// several simulated processors (tests/stress) the same runs explore the
// interleavings of these callbacks.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/Subsequence.h"
#include "support/TestSupport.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;
using namespace test_support;

namespace {

// Longer than the idle time-out the driver asks for: a wake-capable device
// whose port has nothing outstanding is selectively suspended.
constexpr VirtualTime kIdleLong = 11 * kSecond;

// What one device instance was given and gave back on its handles.
struct Plugged {
    Bytes Written;
    std::vector<OpHandle> Reads;
};

class PnpRandom : public PortTest, public ::testing::WithParamInterface<unsigned> {
protected:
    std::mt19937 Rng{GetParam()};
    std::vector<OpHandle> Ops;
    std::vector<Plugged> Devices;
    bool Gone = false; // the current node was removed; a new one comes next

    int Pick(int Low, int High) { return std::uniform_int_distribution<int>(Low, High)(Rng); }

    void Plug()
    {
        CdcAcmOptions Options;
        Options.Loopback = true;
        Options.RemoteWake = true; // the port's idleness then suspends the device
        Add(Options);
        Devices.emplace_back();
        Gone = false;
        H = 0;
    }

    // Runs what is due and what follows from it, within a bound: a run that
    // never goes idle fails on its own checks afterwards.
    void Drain() { W.Clock().RunUntilIdle(W.Clock().Now() + kSecond, 100'000); }

    void OpenPort()
    {
        if (H != 0 || W.Open(u"COM5", &H) != STATUS_SUCCESS) return;
        // Every read and write ends in bounded time, whatever the device does.
        SERIAL_TIMEOUTS T{};
        T.ReadIntervalTimeout = 5;
        T.ReadTotalTimeoutConstant = static_cast<ULONG>(Pick(0, 60));
        T.WriteTotalTimeoutConstant = 200;
        Ops.push_back(W.DeviceIoControl(H, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(T), 0));
        Ops.push_back(W.DeviceIoControl(H, IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(ULONG{SERIAL_EV_RXCHAR}), 0));
    }

    void ClosePort()
    {
        if (H == 0) return;
        EXPECT_EQ(W.Close(H), STATUS_SUCCESS);
        H = 0;
    }

    void Step()
    {
        // Mostly the application's requests on an open port; now and then
        // a transition, and rarely a removal and a new device.
        if (Gone && Pick(0, 3) == 0) {
            ClosePort();
            Drain();
            Plug();
        }
        if (H == 0 && !Gone && Pick(0, 3) != 0) OpenPort();
        switch (Pick(0, 24)) {
        case 0: ClosePort(); break;
        case 1:
        case 2:
        case 3:
        case 4: {
            OpHandle Op = W.Read(H, static_cast<std::size_t>(Pick(1, 300)));
            Ops.push_back(Op);
            Devices.back().Reads.push_back(Op);
            break;
        }
        case 5:
        case 6:
        case 7:
        case 8: {
            Bytes Data(static_cast<std::size_t>(Pick(1, 300)));
            for (std::uint8_t &B : Data) B = static_cast<std::uint8_t>(Pick(0, 255));
            Devices.back().Written.insert(Devices.back().Written.end(), Data.begin(), Data.end());
            Ops.push_back(W.Write(H, Data));
            break;
        }
        case 9:
        case 10: Ops.push_back(W.DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG))); break;
        case 11:
        case 12:
            if (!Ops.empty()) W.Cancel(Ops[Ops.size() - 1 - static_cast<std::size_t>(Pick(0, 2)) % Ops.size()]);
            break;
        case 13:
        case 14:
            if (Gone) break;
            if (Node->State == DevicePnpState::Started)
                W.StopDevice(Node);
            else if (Node->State == DevicePnpState::Stopped)
                W.StartDevice(Node);
            break;
        case 15:
        case 16:
            W.SystemSleep();
            if (Pick(0, 1) == 0) Drain();
            W.SystemResume();
            break;
        case 17: W.Clock().AdvanceBy(kIdleLong + Pick(0, 200) * kMillisecond); break;
        case 18:
            // The handle is the application's until it closes it; the
            // removal completes once it does.
            if (Gone) break;
            Gone = true;
            if (Pick(0, 1) == 0) {
                W.SurpriseRemoveDevice(Node);
            } else {
                ClosePort();
                W.RemoveDevice(Node);
            }
            break;
        case 19:
        case 20: W.Clock().AdvanceBy(Pick(0, 80) * kMillisecond); break;
        default: Drain(); break;
        }
    }

    void Finish()
    {
        W.SystemResume();
        ClosePort();
        W.Clock().RunUntilIdle(W.Clock().Now() + 60 * kSecond, 1'000'000);
        if (!Gone) W.RemoveDevice(Node);
        W.Clock().RunUntilIdle(W.Clock().Now() + 60 * kSecond, 1'000'000);
    }
};

// Requests lost or completed twice, objects or pool left, or echoed bytes
// invented or reordered, when PnP and power transitions meet the
// application's requests.
TEST_P(PnpRandom, RandomizedRun_EveryRequestEndsOnceNothingLeft)
{
    Plug();
    Run();
    for (int I = 0; I < 150; ++I) Step();
    Finish();

    for (std::size_t I = 0; I < Ops.size(); ++I) {
        EXPECT_EQ(Ops[I]->Completions, 1) << "operation " << I << " of " << Ops.size();
    }
    EXPECT_EQ(W.OperationsInFlight(), 0u);
    for (std::size_t D = 0; D < Devices.size(); ++D) {
        Bytes Read;
        for (const OpHandle &Op : Devices[D].Reads) {
            if (Op->Status != STATUS_SUCCESS && Op->Status != STATUS_TIMEOUT) continue;
            Read.insert(Read.end(), Op->Output.begin(),
                        Op->Output.begin() + static_cast<std::ptrdiff_t>(Op->Information));
        }
        EXPECT_TRUE(IsSubsequence(Read, Devices[D].Written)) << "device " << D << " echoed what it was never given";
    }
    EXPECT_EQ(W.PoolBlocksOutstanding(), 0u);
    EXPECT_EQ(W.MemoryBlocksOutstanding(), 0u);
    EXPECT_EQ(W.LiveObjects(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, PnpRandom, ::testing::Values(1u, 2u, 3u, 4u));

} // namespace
