/*
 * test_control_fixture.h - the serial-control tests' port: the shared port
 * fixture with the clock moved on by fixed steps (Settle) rather than run
 * idle, and helpers to issue control codes and read their results.
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

class ControlFixture : public PortTest {
public:
    /* Adds and starts a device with Options, opens it as COM5 and lets the
       first 100 ms pass. */
    void Bring(world::CdcAcmOptions Options = {})
    {
        Add(Options);
        ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
        Open();
        Settle();
    }

    void Settle(world::VirtualTime For = 100 * world::kMillisecond) { W.Clock().AdvanceBy(For); }

    OpHandle Ioctl(ULONG Code, const Bytes &Input = {}, std::size_t OutputLength = 0, bool SettleAfter = true)
    {
        OpHandle Op = W.DeviceIoControl(H, Code, Input, OutputLength);
        if (SettleAfter) {
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
    /* Sets Mask and issues a wait on it. */
    OpHandle WaitFor(std::uint32_t Mask)
    {
        SetWaitMask(Mask);
        return WaitOnMask();
    }
    void ExpectWaitResult(const OpHandle &Op, std::uint32_t Events)
    {
        ExpectDone(Op, STATUS_SUCCESS, 4);
        EXPECT_EQ(U32At(Op->Output, 0), Events);
    }

    /* Delivers one raw interrupt transfer and lets the driver take it. */
    void Interrupt(const Bytes &Transfer)
    {
        Usb->SendInterrupt(Transfer);
        Settle();
    }

    /* Closes the port, removes the device and checks it left nothing. */
    void ExpectCleanRemoval()
    {
        ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
        RemoveAndExpectNothingLeft();
    }
};

} // namespace control_test
