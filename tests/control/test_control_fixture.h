/*
 * test_control_fixture.h - shared set-up for the serial-control tests: one
 * simulated CDC ACM device, added, started and opened as COM5, and helpers
 * to issue control codes and read their results.
 */
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/TestSupport.h"

#include <ntddk.h>
#include <ntddser.h>

namespace control_test {

using namespace test_support;

/* A CDC notification as it crosses the wire: 8-byte header, then data. */
inline Bytes Notification(std::uint8_t Code, std::uint16_t Value, const Bytes &Data)
{
    Bytes Out{0xA1, Code, std::uint8_t(Value), std::uint8_t(Value >> 8), 0, 0, std::uint8_t(Data.size()),
              std::uint8_t(Data.size() >> 8)};
    Out.insert(Out.end(), Data.begin(), Data.end());
    return Out;
}

inline Bytes SerialState(std::uint16_t Bitmap)
{
    return Notification(0x20, 0, Bytes{std::uint8_t(Bitmap), std::uint8_t(Bitmap >> 8)});
}

class ControlFixture : public WorldTest {
public:
    std::shared_ptr<world::CdcAcmDevice> Device;
    world::DeviceNode *Node = nullptr;
    world::FileHandle Port = 0;

    /* Adds and starts a device with Options and opens it as COM5. */
    void Bring(world::CdcAcmOptions Options = {})
    {
        Device = std::make_shared<world::CdcAcmDevice>(Options);
        world::HardwareKey Key;
        Key[u"PortName"] = world::RegistryValue::String(u"COM5");
        Node = W.AddDevice(Device, Key, true);
        ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
        ASSERT_EQ(W.Open(u"COM5", &Port), STATUS_SUCCESS);
        Settle();
    }

    void Settle(world::VirtualTime For = 100 * world::kMillisecond) { W.Clock().AdvanceBy(For); }

    OpHandle Ioctl(ULONG Code, const Bytes &Input = {}, std::size_t OutputLength = 0, bool Run = true)
    {
        OpHandle Op = W.DeviceIoControl(Port, Code, Input, OutputLength);
        if (Run) {
            Settle();
        }
        return Op;
    }

    void ExpectDone(const OpHandle &Op, NTSTATUS Status, ULONG_PTR Information)
    {
        ASSERT_TRUE(Op->Completed) << "still pending";
        EXPECT_EQ(Op->Status, Status) << world::StatusName(Op->Status) << " instead of " << world::StatusName(Status);
        EXPECT_EQ(Op->Information, Information);
    }

    /* Issues a code that must succeed with a full OutputLength record. */
    Bytes Query(ULONG Code, std::size_t OutputLength)
    {
        OpHandle Op = Ioctl(Code, {}, OutputLength);
        ExpectDone(Op, STATUS_SUCCESS, OutputLength);
        return Op->Output;
    }

    std::uint32_t QueryUlong(ULONG Code) { return U32At(Query(Code, 4), 0); }
    std::uint32_t ModemStatus() { return QueryUlong(IOCTL_SERIAL_GET_MODEMSTATUS); }

    void SetWaitMask(std::uint32_t Mask)
    {
        ExpectDone(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Le32(Mask)), STATUS_SUCCESS, 4);
    }
    OpHandle WaitOnMask() { return Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4); }
    void ExpectWaitResult(const OpHandle &Op, std::uint32_t Events)
    {
        ExpectDone(Op, STATUS_SUCCESS, 4);
        EXPECT_EQ(U32At(Op->Output, 0), Events);
    }

    /* Delivers one raw interrupt transfer and lets the driver take it. */
    void Interrupt(const Bytes &Transfer)
    {
        Device->SendInterrupt(Transfer);
        Settle();
    }

    /* Removes the device and checks that it left nothing behind. */
    void ExpectCleanRemoval()
    {
        ASSERT_EQ(W.Close(Port), STATUS_SUCCESS);
        W.RemoveDevice(Node);
        W.Clock().RunUntilIdle();
        EXPECT_EQ(W.PoolBlocksOutstanding(), 0u);
        EXPECT_EQ(W.LiveObjects(), 0u);
    }
};

} // namespace control_test
