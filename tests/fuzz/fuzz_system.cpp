/*
 * fuzz_system.cpp - the whole system under a program of operations decoded
 * from the input: the application, the device, PnP and power (system
 * sleep, and the selective suspend of a wake-capable device left idle and
 * the request that wakes it), kit faults and the clock. After the program the port is closed and the device
 * removed; then every operation must have completed exactly once, the
 * verifier must be silent, nothing the driver allocated may be left, and in
 * loopback the bytes read must be an in-order subsequence of those written
 * (checked when the program sent no bulk-IN data of the device's own, whose
 * bytes would interleave with the echo).
 */
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CdcAcmDevice.h"
#include "FuzzInput.h"
#include "../support/Subsequence.h"
#include "World.h"

#include <ntddk.h>
#include <ntddser.h>

namespace {

using world::Bytes;

const ULONG kSerialCodes[] = {
#define SERIAL_CODE(Name, Path, Side, Minimum) IOCTL_SERIAL_##Name,
#include "control/SerialCodes.def"
#undef SERIAL_CODE
};

/* longer than the idle timeout the driver asks for */
constexpr world::VirtualTime kIdleLong = 11 * world::kSecond;

const NTSTATUS kFaultStatus[] = {STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED};
const USBD_STATUS kUsbFailure[] = {USBD_STATUS_STALL_PID, USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_CANCELED,
                                   USBD_STATUS_DEVICE_GONE};

[[noreturn]] void Finding(const char *What)
{
    std::fprintf(stderr, "fuzz_system: %s\n", What);
    std::abort();
}

world::AnswerSpec AnswerFrom(fuzz::Input &In)
{
    world::AnswerSpec A;
    A.Kind = static_cast<world::Answer>(In.Below(5));
    A.Delay = static_cast<world::VirtualTime>(In.Below(200)) * world::kMillisecond;
    A.AcceptBytes = In.Below(600);
    A.Status = kUsbFailure[In.Below(4)];
    return A;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size)
{
    fuzz::Input In(Data, Size);
    world::World W;
    W.CollectVerifierReports(true);

    world::CdcAcmOptions O;
    std::uint8_t Shape = In.Byte();
    O.Interfaces = (Shape & 1) ? 1 : 2;
    O.InterruptEndpoint = (Shape & 2) == 0;
    O.BulkInEndpoint = (Shape & 4) == 0 || (Shape & 0x80) == 0;
    O.BulkOutEndpoint = (Shape & 8) == 0 || (Shape & 0x80) == 0;
    O.Loopback = (Shape & 16) != 0;
    O.RemoteWake = (Shape & 32) != 0; /* the driver then lets the port's idleness suspend the device */
    const std::uint16_t Packets[] = {8, 16, 64, 512, 1, 0, 1023};
    O.BulkInPacket = Packets[In.Below(7)];
    O.BulkOutPacket = Packets[In.Below(7)];
    O.InterruptPacket = Packets[In.Below(7)];
    /* Nothing here reads the transfer log: a short window recycles its
       records' buffers instead of keeping a copy of every transfer. */
    O.TransferLogWindow = 16;
    ULONG Mode = In.Below(3);
    auto Usb = std::make_shared<world::CdcAcmDevice>(O);
    world::HardwareKey Key{{u"PortName", world::RegistryValue::String(u"COM5")}};
    if (Mode != 0) Key[u"DriverMode"] = world::RegistryValue::Dword(Mode);
    world::DeviceNode *Node = W.AddDevice(Usb, Key);
    W.Clock().RunUntilIdle(W.Clock().Now() + world::kSecond, 100'000);

    std::vector<world::OpHandle> Ops;
    std::vector<world::OpHandle> Reads;
    Bytes Written;
    world::FileHandle H = 0;
    bool Gone = false;     /* removed or surprise-removed: PnP requests no longer apply */
    bool Injected = false; /* the device sent bulk-IN data besides any echo */
    static const std::vector<std::string> Failable = world::World::FailableCalls(); /* the same for every input */

    for (int Step = 0; Step < 200 && !In.Empty(); ++Step) {
        switch (In.Byte() % 26) {
        case 0:
            if (H == 0) W.Open(u"COM5", &H);
            break;
        case 1:
            if (H != 0) {
                W.Close(H);
                H = 0;
            }
            break;
        case 2: {
            world::OpHandle Op = W.Read(H, In.Below(3000));
            Ops.push_back(Op);
            Reads.push_back(Op);
            break;
        }
        case 3: {
            Bytes B = In.Bytes(In.Below(1500));
            Written.insert(Written.end(), B.begin(), B.end());
            Ops.push_back(W.Write(H, B));
            break;
        }
        case 4: {
            ULONG Code = kSerialCodes[In.Below(sizeof kSerialCodes / sizeof kSerialCodes[0])];
            Ops.push_back(W.DeviceIoControl(H, Code, In.Bytes(In.Below(40)), In.Below(64)));
            break;
        }
        case 5: Ops.push_back(W.DeviceIoControl(H, In.U32(), In.Bytes(In.Below(40)), In.Below(64))); break;
        case 6:
            if (!Ops.empty()) W.Cancel(Ops[In.Below(Ops.size())]);
            break;
        case 7: Ops.push_back(W.FlushAsync(H)); break;
        case 8: Ops.push_back(W.QueryInformation(H, In.Below(64), In.Below(64))); break;
        case 9: Ops.push_back(W.SetInformation(H, In.Below(64), In.Bytes(In.Below(32)))); break;
        case 10:
            Injected = true;
            Usb->SendBulkIn(In.Bytes(In.Below(O.BulkInPacket + 2u)), In.Below(50) * world::kMillisecond);
            break;
        case 11: Usb->SendInterrupt(In.Bytes(In.Below(24)), In.Below(50) * world::kMillisecond); break;
        case 12: Usb->SendSerialState(In.U16()); break;
        case 13: Usb->SendNetworkConnection(In.Byte() & 1); break;
        case 14: Usb->QueueControlAnswer(AnswerFrom(In)); break;
        case 15: Usb->QueueBulkOutAnswer(AnswerFrom(In)); break;
        case 16: {
            const std::uint8_t Pipes[] = {Usb->BulkInAddress(), Usb->InterruptAddress()};
            Usb->FailNextIn(Pipes[In.Byte() & 1], kUsbFailure[In.Below(4)]);
            break;
        }
        case 17: Usb->Disconnect(); break;
        case 18:
            if (Gone) break;
            if (Node->State == world::DevicePnpState::Started)
                W.StopDevice(Node);
            else if (Node->State == world::DevicePnpState::Stopped)
                W.StartDevice(Node);
            break;
        case 19:
            if ((In.Byte() & 1) != 0)
                W.SystemSleep();
            else
                W.SystemResume();
            break;
        case 20:
            if (Gone) break;
            Gone = true;
            if ((In.Byte() & 1) != 0)
                W.SurpriseRemoveDevice(Node);
            else
                W.RemoveDevice(Node);
            break;
        case 21:
            if (!Failable.empty())
                W.FailNthCall(Failable[In.Below(Failable.size())], 1 + static_cast<int>(In.Below(4)),
                              kFaultStatus[In.Below(3)]);
            break;
        case 22: W.Clock().AdvanceBy(static_cast<world::VirtualTime>(In.U16()) * world::kMillisecond / 8); break;
        case 23:
            /* idle past the idle timeout: a wake-capable device whose port has
               nothing outstanding is selectively suspended */
            W.Clock().AdvanceBy(kIdleLong + static_cast<world::VirtualTime>(In.Byte()) * world::kMillisecond * 8);
            break;
        case 24: {
            /* a request that wakes a suspended device, with the clock running
               a little or not at all before the next operation */
            const ULONG Wakers[] = {IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_COMMSTATUS,
                                    IOCTL_SERIAL_GET_BAUD_RATE};
            std::uint8_t How = In.Byte();
            if ((How & 3) == 0) {
                world::OpHandle Op = W.Read(H, 1 + In.Below(64));
                Ops.push_back(Op);
                Reads.push_back(Op);
            } else if ((How & 3) == 1) {
                Bytes B = In.Bytes(1 + In.Below(64));
                Written.insert(Written.end(), B.begin(), B.end());
                Ops.push_back(W.Write(H, B));
            } else {
                Ops.push_back(W.DeviceIoControl(H, Wakers[In.Below(3)], {}, 64));
            }
            if ((How & 4) != 0) W.Clock().AdvanceBy(static_cast<world::VirtualTime>(In.Byte()) * world::kMillisecond);
            break;
        }
        default: W.Clock().RunUntilIdle(W.Clock().Now() + world::kSecond, 100'000); break;
        }
    }

    W.ClearFaults();
    W.SystemResume();
    if (H != 0) W.Close(H);
    W.Clock().RunUntilIdle(W.Clock().Now() + 60 * world::kSecond, 1'000'000);
    if (!Gone) W.RemoveDevice(Node);
    W.Clock().RunUntilIdle(W.Clock().Now() + 60 * world::kSecond, 1'000'000);

    for (std::size_t I = 0; I < Ops.size(); ++I) {
        if (Ops[I]->Completions == 1) continue;
        std::fprintf(stderr, "operation %zu of %zu: %d completions\n", I, Ops.size(), Ops[I]->Completions);
        Finding("an operation did not complete exactly once");
    }
    if (W.OperationsInFlight() != 0) Finding("operations are still in flight");
    for (const std::string &Report : W.VerifierReports()) {
        std::fprintf(stderr, "verifier: %s\n", Report.c_str());
        Finding("the verifier reported misuse");
    }
    if (W.PoolBlocksOutstanding() != 0 || W.MemoryBlocksOutstanding() != 0) Finding("pool left allocated");
    if (W.LiveObjects() != 0) Finding("framework objects left");
    if (O.Loopback && !Injected) {
        Bytes Read;
        for (const world::OpHandle &Op : Reads)
            if (Op->Status == STATUS_SUCCESS || Op->Status == STATUS_TIMEOUT)
                Read.insert(Read.end(), Op->Output.begin(),
                            Op->Output.begin() + static_cast<std::ptrdiff_t>(Op->Information));
        if (!test_support::IsSubsequence(Read, Written))
            Finding("loopback read bytes that were never written in that order");
    }
    return 0;
}
