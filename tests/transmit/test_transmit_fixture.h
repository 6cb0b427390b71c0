// The transmit-path tests' port: a started and opened device, writes of a
// byte pattern through the I/O manager, and checks of what the writes
// report against the bytes the device took on bulk-OUT.
#pragma once
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/TestSupport.h"

#include <ntddk.h>
#include <ntddser.h>

namespace transmit_test {

using namespace world;
using namespace test_support;

constexpr ULONG kWritePoolTag = 0x52574452; // "RDWR": sub-request data

inline Bytes Pattern(std::size_t Length, unsigned Seed = 1)
{
    Bytes data(Length);
    for (std::size_t i = 0; i < Length; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + Seed * 31 + i / 251);
    return data;
}

inline Bytes Slice(const Bytes &Data, std::size_t From, std::size_t Count)
{
    return Bytes(Data.begin() + From, Data.begin() + From + Count);
}

class Transmit : public PortTest {
protected:
    void Start(CdcAcmOptions Options = {}, ULONG DriverMode = 0)
    {
        PortTest::Start(Options, DriverMode);
        Open();
        Run();
    }
    // Issues a control code and leaves it to the test to run the world.
    OpHandle Ioctl(ULONG Code, const Bytes &In, std::size_t OutLength = 0)
    {
        return W.DeviceIoControl(H, Code, In, OutLength);
    }
    void SetWriteTimeouts(ULONG Multiplier, ULONG Constant)
    {
        SERIAL_TIMEOUTS t{};
        t.WriteTotalTimeoutMultiplier = Multiplier;
        t.WriteTotalTimeoutConstant = Constant;
        auto op = Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(t));
        Run();
        ASSERT_TRUE(op->Completed);
        ASSERT_EQ(op->Status, STATUS_SUCCESS);
    }
    void ExpectNoSubRequestsLeft() { EXPECT_EQ(W.PoolBlocksOutstanding(kWritePoolTag), 0u); }
    // Every write completed, and the wire holds, in order, exactly the
    // bytes each reports written.
    void ExpectWireHoldsWhatWritesReport(const std::vector<std::pair<Bytes, OpHandle>> &Writes)
    {
        Bytes expected;
        for (const auto &[data, op] : Writes) {
            ASSERT_TRUE(op->Completed);
            ASSERT_LE(op->Information, data.size());
            expected.insert(expected.end(), data.begin(), data.begin() + std::ptrdiff_t(op->Information));
        }
        EXPECT_EQ(Usb->BulkOutBytes(), expected);
    }
};

} // namespace transmit_test
