// The receive-path tests' port: the shared port fixture opened before the
// clock moves, a numbered byte stream sent from the device, and helpers that
// read through the I/O manager and check what came back.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

#include <ntddk.h>
#include <ntddser.h>

namespace receive_test {

using namespace world;
using namespace test_support;

constexpr VirtualTime kDefaultTick = 156'250; // 15.625 ms
constexpr std::size_t kPacket = 64;
constexpr std::size_t kHeldLimit = 64 * 1024; // the driver's pause threshold

// Byte N of the device's stream: a pattern that repeats only every 65,280
// bytes, so a block delivered twice, dropped or out of order shows up.
inline std::uint8_t StreamByte(std::size_t N) { return static_cast<std::uint8_t>(N * 7 + N / 255); }

// First tick of the system clock at or after Time.
inline VirtualTime TickAtOrAfter(VirtualTime Time, VirtualTime Tick = kDefaultTick)
{
    return (Time + Tick - 1) / Tick * Tick;
}
// First tick strictly after Time.
inline VirtualTime TickAfter(VirtualTime Time, VirtualTime Tick = kDefaultTick) { return (Time / Tick + 1) * Tick; }

class ReceiveFixture : public PortTest {
protected:
    std::size_t Sent = 0;     // bytes of the stream handed to the device so far
    std::size_t Received = 0; // bytes of the stream checked in completed reads so far

    // The port is open before any time passes: the tests count ticks from 0.
    void SetUp() override
    {
        PortTest::SetUp();
        Add();
        Open();
        Settle();
    }

    void Settle() { W.Clock().RunDue(); } // what is due now, clock unmoved
    void Advance(VirtualTime Duration) { W.Clock().AdvanceBy(Duration); }
    VirtualTime Now() { return W.Clock().Now(); }

    Bytes NextStream(std::size_t Length)
    {
        Bytes data(Length);
        for (std::size_t i = 0; i < Length; ++i) data[i] = StreamByte(Sent + i);
        Sent += Length;
        return data;
    }
    // Length stream bytes, cut into packets by the device.
    void Send(std::size_t Length, VirtualTime After = 0)
    {
        Usb->SendBulkIn(NextStream(Length), After);
        if (After == 0) Settle();
    }
    // Stream bytes that never reach a read (closed port, receive purge).
    void Skip(std::size_t Length) { Received += Length; }

    OpHandle Read(std::size_t Length)
    {
        auto op = W.Read(H, Length);
        Settle();
        return op;
    }
    OpHandle Ioctl(ULONG Code, const Bytes &In, std::size_t OutLength = 0)
    {
        auto op = W.DeviceIoControl(H, Code, In, OutLength);
        Settle();
        return op;
    }
    void SetTimeouts(ULONG Interval, ULONG Multiplier, ULONG Constant)
    {
        SERIAL_TIMEOUTS t{};
        t.ReadIntervalTimeout = Interval;
        t.ReadTotalTimeoutMultiplier = Multiplier;
        t.ReadTotalTimeoutConstant = Constant;
        auto op = Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(t), sizeof(t));
        ASSERT_TRUE(op->Completed);
        ASSERT_EQ(op->Status, STATUS_SUCCESS);
    }
    void SetReturnImmediately() { SetTimeouts(MAXULONG, 0, 0); }

    ULONG AmountInInQueue() // ring bytes
    {
        auto op = Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
        EXPECT_TRUE(op->Completed);
        return FromBytes<SERIAL_STATUS>(op->Output).AmountInInQueue;
    }
    void Purge(ULONG Flags)
    {
        auto op = Ioctl(IOCTL_SERIAL_PURGE, AsBytes(Flags), sizeof(ULONG));
        ASSERT_TRUE(op->Completed);
        ASSERT_EQ(op->Status, STATUS_SUCCESS);
    }
    OpHandle WaitOnMask(ULONG Mask)
    {
        auto set = Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(Mask), sizeof(ULONG));
        EXPECT_TRUE(set->Completed);
        EXPECT_EQ(set->Status, STATUS_SUCCESS);
        return Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }

    // Cancels Op from inside the driver, the first time it traces a line
    // holding Text while Op is pending: the moment a cancellation from
    // another processor could come. CancelTraced tells whether it did.
    bool CancelTraced = false;
    void CancelOnTrace(const std::string &Text, const OpHandle &Op)
    {
        CancelTraced = false;
        W.SetTraceSink([this, Text, Op](const std::string &Line) {
            if (!CancelTraced && !Op->Completed && Line.find(Text) != std::string::npos) {
                CancelTraced = true;
                W.Cancel(Op);
            }
        });
    }

    void ExpectRead(const OpHandle &Op, NTSTATUS Status, std::size_t Count, const char *What = "")
    {
        ASSERT_TRUE(Op->Completed) << What;
        EXPECT_EQ(StatusName(Op->Status), StatusName(Status)) << What;
        ASSERT_EQ(Op->Information, Count) << What;
        ExpectStream(Op, What);
    }
    // The completed read's bytes are the next bytes of the stream. A read
    // that ends with an error status (cancelled) has taken Information bytes
    // from the stream, but with buffered I/O they are not copied back to the
    // application.
    void ExpectStream(const OpHandle &Op, const char *What = "")
    {
        ASSERT_LE(Op->Information, Op->Output.size()) << What;
        if (static_cast<ULONG>(Op->Status) >= 0xC0000000U) {
            Received += Op->Information;
            return;
        }
        for (std::size_t i = 0; i < Op->Information; ++i) {
            ASSERT_EQ(Op->Output[i], StreamByte(Received + i))
                << What << ": byte " << i << " of the read, stream byte " << Received + i;
        }
        Received += Op->Information;
    }
    // Reads all that is buffered and checks it continues the stream.
    std::size_t DrainAndCheck()
    {
        SetReturnImmediately();
        std::size_t total = 0;
        for (;;) {
            auto op = Read(4096);
            EXPECT_TRUE(op->Completed);
            if (!op->Completed || op->Information == 0) break;
            ExpectStream(op, "drain");
            total += op->Information;
        }
        return total;
    }
};

} // namespace receive_test
