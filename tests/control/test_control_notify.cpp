/*
 * test_control_notify.cpp - CDC notifications on the interrupt-IN
 * endpoint: line levels, carrier, events, reassembly of notifications
 * longer than a packet, and short, truncated, malformed or garbage ones.
 */
#include "test_control_fixture.h"

#include <functional>

namespace control_test {
namespace {

class Notifications : public ControlFixture {
public:
    void SetUp() override { Bring(); } /* 16-byte interrupt packets */
};

/* 8-byte interrupt packets: a SERIAL_STATE spans two transfers. */
class SplitNotifications : public ControlFixture {
public:
    void SetUp() override
    {
        world::CdcAcmOptions Options;
        Options.InterruptPacket = 8;
        Bring(Options);
    }
    Bytes Head(const Bytes &N) { return Bytes(N.begin(), N.begin() + 8); }
    Bytes Tail(const Bytes &N) { return Bytes(N.begin() + 8, N.end()); }
};

TEST_F(Notifications, SerialState_SetsInputLines)
{
    const std::pair<std::uint16_t, std::uint32_t> Cases[] = {
        {0x03, 0xB0}, {0x00, 0x00}, {0x01, 0x90}, {0x02, 0x20},   {0x08, 0x40},
        {0x0B, 0xF0}, {0x04, 0x00}, {0x70, 0x00}, {0xFF0B, 0xF0}, /* high byte not read */
    };
    for (const auto &[Bitmap, Lines] : Cases) {
        SCOPED_TRACE(Bitmap);
        Interrupt(SerialState(Bitmap));
        EXPECT_EQ(ModemStatus(), Lines);
    }
}

TEST_F(Notifications, CarrierReport_LeavesHostDtrAlone)
{
    /* Guards a carrier report clearing the DTR state the host set. */
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS, 0);
    Interrupt(SerialState(0x01));
    EXPECT_EQ(ModemStatus(), 0x91u);
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS, 0);
    EXPECT_EQ(Usb->ClassRequests().back().Setup.wValue, 0x0003);
}

TEST_F(Notifications, Carrier_GatesRxFlagEvent)
{
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    const std::pair<Bytes, std::uint32_t> Steps[] = {
        {Notification(0x01, 0, {}), SERIAL_EV_RXCHAR},                    /* no carrier since the open */
        {SerialState(0x01), SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG},         /* carrier */
        {Notification(0x00, 0, {}), SERIAL_EV_RXCHAR},                    /* disconnected */
        {Notification(0x00, 1, {}), SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG}, /* connected */
    };
    for (const auto &[Report, Events] : Steps) {
        Interrupt(Report);
        OpHandle Wait = WaitOnMask();
        Usb->SendBulkInText("x");
        Settle();
        ExpectWaitResult(Wait, Events);
    }
}

TEST_F(Notifications, Events_RaisedPerMaskAndWait)
{
    SetWaitMask(SERIAL_EV_ERR);
    for (std::uint16_t Bit : {0x10, 0x20, 0x40}) {
        Interrupt(SerialState(Bit)); /* kept without a wait */
        ExpectWaitResult(WaitOnMask(), SERIAL_EV_ERR);
    }
    OpHandle Wait = WaitOnMask();
    Interrupt(SerialState(0x04 | 0x0B)); /* outside the mask */
    Interrupt(Notification(0x00, 1, {}));
    EXPECT_FALSE(Wait->Completed);

    /* Levels raise events only while a wait is pending, at any notification. */
    SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RING);
    ExpectWaitResult(Wait, 0);
    Interrupt(SerialState(0x0B));
    Wait = WaitOnMask();
    EXPECT_FALSE(Wait->Completed);
    Interrupt(Notification(0x01, 0, {})); /* RESPONSE_AVAILABLE */
    ExpectWaitResult(Wait, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RING);
    Wait = WaitOnMask();
    Interrupt(Notification(0x2A, 0x1234, Bytes(8, 0xFF))); /* unknown code: lines unchanged */
    ExpectWaitResult(Wait, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RING);
    EXPECT_EQ(ModemStatus(), 0xF0u);
}

TEST_F(Notifications, NetworkConnection_ConnectRaisesRlsdDisconnectDoesNot)
{
    OpHandle Wait = WaitFor(SERIAL_EV_RLSD);
    Interrupt(Notification(0x00, 1, {}));
    ExpectWaitResult(Wait, SERIAL_EV_RLSD);
    EXPECT_EQ(ModemStatus(), 0x80u);
    Wait = WaitOnMask();
    Interrupt(Notification(0x00, 0, {}));
    EXPECT_FALSE(Wait->Completed);
    EXPECT_EQ(ModemStatus(), 0x00u);
    Interrupt(Notification(0x00, 0x8000, {})); /* any non-zero value: connected */
    ExpectWaitResult(Wait, SERIAL_EV_RLSD);
}

TEST_F(Notifications, PortClosed_NotificationsDropped)
{
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Interrupt(SerialState(0x0B));
    ASSERT_EQ(W.Open(u"COM5", &H), STATUS_SUCCESS);
    EXPECT_EQ(ModemStatus(), 0u);
    Interrupt(SerialState(0x03));
    EXPECT_EQ(ModemStatus(), 0xB0u);
}

TEST_F(Notifications, BadTransfers_DroppedWholeChangingNothing)
{
    Interrupt(SerialState(0x02));
    OpHandle Wait = WaitFor(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_BREAK | SERIAL_EV_RLSD);
    Bytes Truncated = SerialState(0x05);
    Truncated.resize(9);
    Bytes HugeLength = SerialState(0x05);
    HugeLength[6] = HugeLength[7] = 0xFF;
    Bytes Overlong = Notification(0x20, 0, Bytes(57, 0x05)); /* 65 bytes announced */
    Overlong.resize(16);
    const Bytes Cases[] = {
        {},         {0xA1},   {0xA1, 0x20, 0, 0, 0, 0, 2}, Truncated, Notification(0x20, 0, {}) /* no state byte */,
        HugeLength, Overlong, {0xA1, 0x00, 0x01, 0x00},
    };
    for (const Bytes &Transfer : Cases) {
        SCOPED_TRACE(Transfer.size());
        Interrupt(Transfer);
        EXPECT_FALSE(Wait->Completed);
        EXPECT_EQ(ModemStatus(), 0x20u);
    }
    Bytes Padded = SerialState(0x01);
    Padded.resize(16, 0xEE); /* bytes past wLength are ignored */
    Interrupt(Padded);
    ExpectWaitResult(Wait, SERIAL_EV_CTS);
    EXPECT_EQ(ModemStatus(), 0x90u);
}

TEST_F(SplitNotifications, SerialState_ReassembledFromTwoPackets)
{
    OpHandle Wait = WaitFor(SERIAL_EV_BREAK);
    const Bytes Whole = SerialState(0x07);
    Interrupt(Head(Whole));
    EXPECT_EQ(ModemStatus(), 0u) << "applied before its state byte arrived";
    EXPECT_FALSE(Wait->Completed);
    Interrupt(Tail(Whole));
    EXPECT_EQ(ModemStatus(), 0xB0u);
    ExpectWaitResult(Wait, SERIAL_EV_BREAK);
    Usb->SendSerialState(0x08); /* the device's own packetising */
    Settle();
    EXPECT_EQ(ModemStatus(), 0x40u);
}

TEST_F(SplitNotifications, BrokenSequences_RecoverOnNextNotification)
{
    const Bytes Whole = SerialState(0x03);
    Interrupt(Head(Whole));
    Interrupt(Notification(0x00, 1, {})); /* cannot continue: starts anew */
    EXPECT_EQ(ModemStatus(), 0x80u);
    Interrupt(Tail(Whole)); /* orphaned tail */
    EXPECT_EQ(ModemStatus(), 0x80u);
    Interrupt(Bytes(Whole.begin(), Whole.begin() + 7)); /* short first packet ends the transfer */
    Interrupt(Bytes(Whole.begin() + 7, Whole.end()));
    EXPECT_EQ(ModemStatus(), 0x80u);
    Interrupt(Bytes{0xA1, 0x77, 0, 0, 0, 0, 0x00, 0x01}); /* announces 256 bytes, too long to apply */
    Usb->SendSerialState(0x01);                           /* within the announced length: its tail, dropped with it */
    Settle();
    EXPECT_EQ(ModemStatus(), 0x80u);
    Usb->SendSerialState(0x01);
    Settle();
    EXPECT_EQ(ModemStatus(), 0x90u);
    Interrupt(Head(Whole)); /* half left over a close and reopen */
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    ASSERT_EQ(W.Open(u"COM5", &H), STATUS_SUCCESS);
    Usb->SendSerialState(0x02);
    Settle();
    EXPECT_EQ(ModemStatus(), 0x20u);
}

TEST_F(Notifications, Oversized_DroppedWithAllItsPackets)
{
    /* Guards an oversized notification dropped in its first packet only, its later packets read as notifications. */
    Interrupt(SerialState(0x0B));
    OpHandle Wait = WaitFor(SERIAL_EV_BREAK);
    const Bytes FakeHeader{0xA1, 0x20, 0, 0, 0, 0, 2, 0,
                           0x04, 0,    0, 0, 0, 0, 0, 0}; /* a whole SERIAL_STATE with break */
    const std::pair<std::uint8_t, Bytes> Cases[] = {
        {0x2A,
         Concat({Bytes(8, 0), FakeHeader, Bytes(40, 0)})}, /* 72 bytes: its second packet looks like a notification */
        {0x20, Bytes(57, 0)}, /* a SERIAL_STATE of 65 bytes: its zero padding looks like disconnects */
    };
    for (const auto &[Code, Data] : Cases) {
        SCOPED_TRACE(Code);
        Usb->SendNotification(Code, 0, Data);
        Settle();
        EXPECT_FALSE(Wait->Completed);
        EXPECT_EQ(ModemStatus(), 0xF0u);
    }
    /* 64 bytes fit: applied at its fourth full packet; a zero-length packet after it is nothing. */
    Usb->SendNotification(0x20, 0, Bytes(56, 0));
    Usb->SendInterrupt({});
    Settle();
    EXPECT_EQ(ModemStatus(), 0x00u);
    EXPECT_FALSE(Wait->Completed);

    /* A short packet ends an oversized notification before its announced end. */
    Bytes Cut = Notification(0x20, 0, Bytes(100, 0));
    Interrupt(Bytes(Cut.begin(), Cut.begin() + 16));
    Interrupt(Bytes(Cut.begin() + 16, Cut.begin() + 32));
    Interrupt(Bytes(Cut.begin() + 32, Cut.begin() + 40));
    Usb->SendSerialState(0x0F);
    Settle();
    EXPECT_EQ(ModemStatus(), 0xF0u);
    ExpectWaitResult(Wait, SERIAL_EV_BREAK);
}

/* The first packet of a 20-byte notification; the next transfers would be its tail. */
static const Bytes HalfNotification{0xA1, 0x2A, 0, 0, 0, 0, 0x0C, 0};

TEST_F(SplitNotifications, HalfNotification_ForgottenAtReaderFailure)
{
    /* Guards a half-received notification joined with the first transfers after a reader failure. */
    Interrupt(HalfNotification);
    Usb->FailNextIn(Usb->InterruptAddress());
    Settle();
    Usb->SendSerialState(0x03);
    Settle();
    EXPECT_EQ(ModemStatus(), 0xB0u);
}

TEST_F(SplitNotifications, HalfNotification_ForgottenAcrossPowerAndPnp)
{
    /* Guards a half-received notification surviving a sleep, a PnP restart or a reopen. */
    const std::pair<const char *, std::function<void()>> Breaks[] = {
        {"sleep",
         [&] {
             W.SystemSleep();
             Settle();
             W.SystemResume();
         }},
        {"restart",
         [&] {
             ASSERT_EQ(W.StopDevice(Node), STATUS_SUCCESS);
             ASSERT_EQ(W.StartDevice(Node), STATUS_SUCCESS);
         }},
        {"reopen",
         [&] {
             ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
             ASSERT_EQ(W.Open(u"COM5", &H), STATUS_SUCCESS);
         }},
    };
    std::uint16_t Bitmap = 0x03;
    for (const auto &[Name, Break] : Breaks) {
        SCOPED_TRACE(Name);
        Interrupt(HalfNotification);
        Break();
        Settle();
        Usb->SendSerialState(Bitmap);
        Settle();
        EXPECT_EQ(ModemStatus(), Bitmap == 0x03 ? 0xB0u : 0x20u);
        Bitmap = Bitmap == 0x03 ? 0x02 : 0x03;
    }
}

} // namespace
} // namespace control_test
