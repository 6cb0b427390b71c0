// Device add end to end: naming, the port's external names, DriverMode, the
// serial-port count, failures of every creation step, and the traces a
// device leaves (or must not leave) in the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/TestSupport.h"

#include "FxHost.h"
#include "driver/DeviceContext.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;
using namespace test_support;

namespace {

Bytes Utf16(const std::u16string &Text)
{
    Bytes out;
    for (char16_t c : Text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

std::u16string U16(const std::string &Text) { return std::u16string(Text.begin(), Text.end()); }

HardwareKey Key(const std::u16string &PortName) { return PortKey(PortName); }

class SetupDeviceAdd : public WorldTest {
protected:
    std::shared_ptr<CdcAcmDevice> NewUsb(CdcAcmOptions Options = {}) { return std::make_shared<CdcAcmDevice>(Options); }
    DeviceNode *Add(const HardwareKey &K, bool Start = true)
    {
        DeviceNode *node = W.AddDevice(NewUsb(), K, Start);
        W.Clock().RunUntilIdle();
        return node;
    }

    // Everything a failed or removed device could leave behind.
    void ExpectNoTrace(ULONG SerialCountBefore)
    {
        EXPECT_EQ(W.SerialCount(), SerialCountBefore);
        EXPECT_TRUE(W.DeviceMap().empty());
        EXPECT_FALSE(W.SymbolicLink(u"\\DosDevices\\COM5").has_value());
        EXPECT_FALSE(W.NameExists(u"\\Device\\Serial0"));
        ExpectNothingLeft();
    }
};

// ---- names ----

TEST_F(SetupDeviceAdd, FirstAndSecondDevice_GetSerial0AndSerial1)
{
    DeviceNode *first = Add(Key(u"COM5"));
    DeviceNode *second = Add(Key(u"COM6"));

    ASSERT_EQ(first->AddStatus, STATUS_SUCCESS);
    ASSERT_EQ(second->AddStatus, STATUS_SUCCESS);
    EXPECT_EQ(first->NtName, u"\\Device\\Serial0");
    EXPECT_EQ(second->NtName, u"\\Device\\Serial1");
    EXPECT_EQ(W.SymbolicLink(u"\\DosDevices\\COM5"), std::optional<std::u16string>(u"\\Device\\Serial0"));
    EXPECT_EQ(W.SymbolicLink(u"\\DosDevices\\COM6"), std::optional<std::u16string>(u"\\Device\\Serial1"));
    const auto map = W.DeviceMap();
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.at(u"\\Device\\Serial0").Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(map.at(u"\\Device\\Serial0").Data, Utf16(u"COM5")); // no terminating null
    const auto interfaces = W.DeviceInterfaces(first);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_NE(interfaces[0].first.find("D6B78DFF"), std::string::npos) << interfaces[0].first;
}

TEST_F(SetupDeviceAdd, NumberHeldByAnotherDriver_IsSkipped)
{
    W.ReserveName(u"\\Device\\Serial0");
    W.ReserveName(u"\\Device\\Serial1");

    DeviceNode *node = Add(Key(u"COM5"));

    ASSERT_EQ(node->AddStatus, STATUS_SUCCESS);
    EXPECT_EQ(node->NtName, u"\\Device\\Serial2");
}

TEST_F(SetupDeviceAdd, EveryNumberTaken_AddFailsWithoutTouchingTheCount)
{
    const ULONG before = W.SerialCount();
    for (int n = 0; n <= 255; ++n) W.ReserveName(u"\\Device\\Serial" + U16(std::to_string(n)));

    DeviceNode *node = Add(Key(u"COM5"));

    EXPECT_EQ(node->State, DevicePnpState::AddFailed);
    EXPECT_FALSE(NT_SUCCESS(node->AddStatus));
    EXPECT_EQ(W.SerialCount(), before);
    EXPECT_EQ(W.LiveObjects(), 0u);
}

struct PortNameCase {
    const char *Name;
    HardwareKey Key;
    bool Succeeds;
    std::u16string Port; // expected COM name when the add succeeds
};

class SetupPortName : public SetupDeviceAdd, public ::testing::WithParamInterface<PortNameCase> {};

TEST_P(SetupPortName, PortNameSources)
{
    const PortNameCase c = GetParam();
    const ULONG before = W.SerialCount();

    DeviceNode *node = Add(c.Key);

    if (c.Succeeds) {
        ASSERT_EQ(node->AddStatus, STATUS_SUCCESS);
        EXPECT_EQ(W.SymbolicLink(u"\\DosDevices\\" + c.Port), std::optional<std::u16string>(u"\\Device\\Serial0"));
        ASSERT_EQ(W.DeviceMap().count(u"\\Device\\Serial0"), 1u);
        EXPECT_EQ(W.DeviceMap().at(u"\\Device\\Serial0").Data, Utf16(c.Port));
        EXPECT_EQ(W.SerialCount(), before + 1);
    } else {
        EXPECT_EQ(node->State, DevicePnpState::AddFailed);
        EXPECT_FALSE(NT_SUCCESS(node->AddStatus));
        ExpectNoTrace(before);
    }
}

const std::u16string k116(116, u'A');
const std::u16string k117(117, u'B');

INSTANTIATE_TEST_SUITE_P(
    Table, SetupPortName,
    ::testing::Values(
        PortNameCase{"PortName", Key(u"COM7"), true, u"COM7"},
        PortNameCase{"IdentifierWhenNoPortName", {{u"Identifier", RegistryValue::String(u"COM2")}}, true, u"COM2"},
        PortNameCase{"PortNameWinsOverIdentifier",
                     {{u"PortName", RegistryValue::String(u"COM3")}, {u"Identifier", RegistryValue::String(u"COM4")}},
                     true,
                     u"COM3"},
        PortNameCase{"PortNameOfWrongTypeFallsBack",
                     {{u"PortName", RegistryValue::Dword(5)}, {u"Identifier", RegistryValue::String(u"COM9")}},
                     true,
                     u"COM9"},
        PortNameCase{"NoName", {}, false, u""},
        PortNameCase{"NoNameButDriverMode", {{u"DriverMode", RegistryValue::Dword(1)}}, false, u""},
        PortNameCase{"EmptyName", Key(u""), false, u""},
        // "\DosDevices\" + 116 characters fills the 128 code units exactly
        PortNameCase{"LinkOfExactlyFullLength", Key(k116), true, k116},
        PortNameCase{"LinkTooLong", Key(k117), false, u""}),
    test_support::CaseName());

TEST_F(SetupDeviceAdd, LinkAlreadyHeld_AddFailsAndLeavesNoMapEntry)
{
    DeviceNode *first = Add(Key(u"COM5"));
    ASSERT_EQ(first->AddStatus, STATUS_SUCCESS);
    const ULONG count = W.SerialCount();

    DeviceNode *second = Add(Key(u"COM5"));

    EXPECT_EQ(second->State, DevicePnpState::AddFailed);
    EXPECT_FALSE(NT_SUCCESS(second->AddStatus));
    EXPECT_EQ(W.SerialCount(), count);
    const auto map = W.DeviceMap();
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.count(u"\\Device\\Serial0"), 1u);
    EXPECT_EQ(W.SymbolicLink(u"\\DosDevices\\COM5"), std::optional<std::u16string>(u"\\Device\\Serial0"));
    EXPECT_FALSE(W.NameExists(u"\\Device\\Serial1"));
}

// ---- every creation step failing ----

struct FaultCase {
    const char *Api;
    int Nth;
    bool AddFails; // FALSE: the failure is tolerated
};

class SetupAddFault : public SetupDeviceAdd, public ::testing::WithParamInterface<FaultCase> {};

// Regression (WdfDeviceCreateDeviceInterface row): a map value written before
// a later naming step failed stayed behind for a device that never existed.
TEST_P(SetupAddFault, FailingStep_CountUnchangedNothingLeaked)
{
    const FaultCase c = GetParam();
    const ULONG before = W.SerialCount();
    const NTSTATUS injected = static_cast<NTSTATUS>(0xC0000001 + 0x100 * c.Nth); // recognisable, never a real success
    W.FailNthCall(c.Api, c.Nth, injected);

    DeviceNode *node = Add(Key(u"COM5"), false);

    if (c.AddFails) {
        EXPECT_EQ(node->State, DevicePnpState::AddFailed);
        EXPECT_EQ(node->AddStatus, injected);
        ExpectNoTrace(before);
    } else {
        EXPECT_EQ(node->AddStatus, STATUS_SUCCESS);
        EXPECT_EQ(W.SerialCount(), before + 1);
        W.RemoveDevice(node);
        Run();
        ExpectNoTrace(before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetupAddFault,
    ::testing::Values(FaultCase{"WdfDeviceInitAssignWdmIrpPreprocessCallback", 1, true},
                      FaultCase{"WdfDeviceInitAssignWdmIrpPreprocessCallback", 2, true},
                      FaultCase{"WdfDeviceInitAssignWdmIrpPreprocessCallback", 3, true},
                      FaultCase{"WdfDeviceInitAssignName", 1, true},
                      FaultCase{"RtlUnicodeStringPrintf", 1, true}, // device name
                      FaultCase{"RtlUnicodeStringPrintf", 2, true}, // link name
                      FaultCase{"WdfSpinLockCreate", 1, true}, FaultCase{"WdfSpinLockCreate", 3, true},
                      FaultCase{"WdfSpinLockCreate", 6, true}, FaultCase{"WdfIoQueueCreate", 1, true},
                      FaultCase{"WdfIoQueueCreate", 2, true}, FaultCase{"WdfIoQueueCreate", 3, true},
                      FaultCase{"WdfIoQueueCreate", 4, true}, FaultCase{"WdfIoQueueCreate", 5, true},
                      FaultCase{"WdfDeviceConfigureRequestDispatching", 1, true}, FaultCase{"WdfTimerCreate", 1, true},
                      FaultCase{"WdfTimerCreate", 2, true}, FaultCase{"WdfTimerCreate", 3, true},
                      FaultCase{"WdfDpcCreate", 1, true}, FaultCase{"WdfDpcCreate", 2, true},
                      FaultCase{"WdfDpcCreate", 3, true}, FaultCase{"WdfWorkItemCreate", 1, true},
                      FaultCase{"WdfStringCreate", 1, true}, FaultCase{"WdfDeviceRetrieveDeviceName", 1, true},
                      FaultCase{"WdfDeviceOpenRegistryKey", 1, true}, // the port name's key
                      FaultCase{"WdfDeviceCreateSymbolicLink", 1, true}, FaultCase{"RtlWriteRegistryValue", 1, true},
                      FaultCase{"WdfDeviceCreateDeviceInterface", 1, true},
                      // DriverMode's key: a failure only leaves the mode at 0
                      FaultCase{"WdfDeviceOpenRegistryKey", 2, false}, FaultCase{"WdfRegistryQueryULong", 1, false}),
    [](const auto &Info) { return std::string(Info.param.Api) + "_" + std::to_string(Info.param.Nth); });

// ---- the serial-port count ----

TEST_F(SetupDeviceAdd, AddTwoRemoveOne_CountOneHigher)
{
    const ULONG before = W.SerialCount();
    DeviceNode *first = Add(Key(u"COM5"));
    DeviceNode *second = Add(Key(u"COM6"));
    EXPECT_EQ(W.SerialCount(), before + 2);

    W.RemoveDevice(first);
    Run();

    EXPECT_EQ(W.SerialCount(), before + 1);
    EXPECT_EQ(W.DeviceMap().count(u"\\Device\\Serial0"), 0u);
    EXPECT_EQ(W.DeviceMap().count(u"\\Device\\Serial1"), 1u);
    W.RemoveDevice(second);
    Run();
    EXPECT_EQ(W.SerialCount(), before);
}

// ---- DriverMode ----

struct ModeCase {
    const char *Name;
    std::optional<RegistryValue> Value;
    ULONG Mode;
};

class SetupDriverMode : public SetupDeviceAdd, public ::testing::WithParamInterface<ModeCase> {};

// No request-level difference exists between the two modes (the transfers on
// the wire are the same), so this one suite reads the mode from the context.
TEST_P(SetupDriverMode, OnlyDwordOneSetsTheMode)
{
    const ModeCase c = GetParam();
    HardwareKey key = Key(u"COM5");
    if (c.Value) key[u"DriverMode"] = *c.Value;

    DeviceNode *node = Add(key);

    ASSERT_EQ(node->AddStatus, STATUS_SUCCESS);
    fx::Device *device = fx::DeviceOfNode(node);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(GetDeviceContext(device->DeviceHandle())->DriverMode, c.Mode);
}

INSTANTIATE_TEST_SUITE_P(Table, SetupDriverMode,
                         ::testing::Values(ModeCase{"One", RegistryValue::Dword(1), 1},
                                           ModeCase{"Two", RegistryValue::Dword(2), 0},
                                           ModeCase{"Zero", RegistryValue::Dword(0), 0},
                                           ModeCase{"Missing", std::nullopt, 0},
                                           ModeCase{"String", RegistryValue::String(u"1"), 0},
                                           ModeCase{"Binary", RegistryValue{REG_BINARY, Bytes{1, 0, 0, 0}}, 0}),
                         test_support::CaseName());

// ---- initial settings, seen by the first application ----

class SetupFreshPort : public SetupDeviceAdd {
protected:
    FileHandle H = 0;
    void SetUp() override
    {
        ASSERT_EQ(Add(Key(u"COM5"))->AddStatus, STATUS_SUCCESS);
        ASSERT_EQ(W.Open(u"COM5", &H), STATUS_SUCCESS);
    }
    OpHandle Get(ULONG Code, std::size_t Length)
    {
        auto op = W.DeviceIoControl(H, Code, {}, Length);
        Run();
        EXPECT_TRUE(op->Completed);
        EXPECT_EQ(op->Status, STATUS_SUCCESS);
        return op;
    }
};

TEST_F(SetupFreshPort, InitialSettings_AsAfterDeviceAdd)
{
    EXPECT_EQ(FromBytes<ULONG>(Get(IOCTL_SERIAL_GET_BAUD_RATE, sizeof(ULONG))->Output), 2400u);

    const auto line = FromBytes<SERIAL_LINE_CONTROL>(Get(IOCTL_SERIAL_GET_LINE_CONTROL, 3)->Output);
    EXPECT_EQ(line.StopBits, STOP_BIT_1);
    EXPECT_EQ(line.Parity, EVEN_PARITY);
    EXPECT_EQ(line.WordLength, 5);

    const auto flow = FromBytes<SERIAL_HANDFLOW>(Get(IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW))->Output);
    EXPECT_EQ(flow.ControlHandShake, 0u);
    EXPECT_EQ(flow.FlowReplace, 0x40u);
    EXPECT_EQ(flow.XonLimit, 17);
    EXPECT_EQ(flow.XoffLimit, 19);

    const auto props = FromBytes<SERIAL_COMMPROP>(Get(IOCTL_SERIAL_GET_PROPERTIES, sizeof(SERIAL_COMMPROP))->Output);
    EXPECT_EQ(props.CurrentRxQueue, 8192u);
    EXPECT_EQ(W.PoolBytesOutstanding(RECEIVE_BUFFER_POOL_TAG), 8192u);
}

// ---- request routing ----

TEST_F(SetupFreshPort, Routing_WritesReadsAndControlCodesReachTheirOwnCallbacks)
{
    auto usb = std::static_pointer_cast<CdcAcmDevice>(W.Devices()[0]->Usb);

    auto write = W.Write(H, Bytes{1, 2, 3});
    Run();
    ASSERT_TRUE(write->Completed);
    EXPECT_EQ(write->Status, STATUS_SUCCESS);
    EXPECT_EQ(write->Information, 3u);
    EXPECT_EQ(usb->BulkOutBytes(), (Bytes{1, 2, 3}));

    usb->SendBulkIn(Bytes{9, 8});
    Run();
    auto read = W.Read(H, 2);
    Run();
    ASSERT_TRUE(read->Completed);
    EXPECT_EQ(read->Status, STATUS_SUCCESS);
    EXPECT_EQ(read->Output, (Bytes{9, 8}));

    auto baud = Get(IOCTL_SERIAL_GET_BAUD_RATE, sizeof(ULONG));
    EXPECT_EQ(FromBytes<ULONG>(baud->Output), 2400u);

    // Neither the read nor the control code produced bulk-OUT traffic.
    EXPECT_EQ(usb->BulkOutPackets().size(), 1u);
}

// ---- the whole life of a device ----

TEST_F(SetupDeviceAdd, FullLife_LeavesNoPoolObjectOrRegistryTrace)
{
    const ULONG before = W.SerialCount();
    CdcAcmOptions options;
    options.RemoteWake = true;
    auto usb = NewUsb(options);
    DeviceNode *node = W.AddDevice(usb, Key(u"COM5"));
    Run();
    ASSERT_EQ(node->StartStatus, STATUS_SUCCESS);

    FileHandle h = 0;
    ASSERT_EQ(W.Open(u"COM5", &h), STATUS_SUCCESS);
    // A small ring: most of what arrives is held back as reader buffers,
    // still held when the device goes away.
    SERIAL_QUEUE_SIZE size{128, 0};
    auto resize = W.DeviceIoControl(h, IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(size), 0);
    Run();
    ASSERT_EQ(resize->Status, STATUS_SUCCESS);
    usb->SendBulkIn(Bytes(400, 0x55));
    auto write = W.Write(h, Bytes(100, 0x11));
    Run();
    ASSERT_EQ(write->Status, STATUS_SUCCESS);
    ASSERT_EQ(W.Close(h), STATUS_SUCCESS);

    W.Clock().AdvanceBy(11 * kSecond); // idles out
    W.SystemSleep();
    Run();
    W.SystemResume();
    Run();
    ASSERT_EQ(W.Open(u"COM5", &h), STATUS_SUCCESS);
    ASSERT_EQ(W.Close(h), STATUS_SUCCESS);

    W.RemoveDevice(node);
    Run();

    ExpectNoTrace(before);
    EXPECT_TRUE(W.DeviceInterfaces(node).empty() || !W.DeviceInterfaces(node)[0].second);
}

} // namespace
