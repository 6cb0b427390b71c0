/*
 * fuzz_notify.cpp - notifications alone: whole notifications of any code,
 * value and data, cut into interrupt packets, and stray fragments shorter
 * than a packet (which end a notification and are dropped), against a
 * reference model of the modem status and the wait-on-mask events, with
 * SET_WAIT_MASK and WAIT_ON_MASK in between. After each step a pending wait
 * has completed exactly when the model has events due for it, with those
 * events, and GET_MODEMSTATUS gives the model's DCD, DSR, RI and CTS.
 */
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "CdcAcmDevice.h"
#include "FuzzInput.h"
#include "World.h"

#include <ntddk.h>
#include <ntddser.h>

namespace {

/* The port's line levels and wait-mask state as the notifications so far
   set them: CTS follows the carrier bit of SERIAL_STATE; BREAK, ERR and
   RLSD are gathered whether or not a wait is pending; CTS, DSR and RING
   follow the level at every notification while a wait is pending; every
   event only when the mask has it. */
struct Model {
    ULONG Lines = 0; /* SERIAL_*_STATE of DCD, DSR, RI, CTS */
    ULONG Mask = 0;
    ULONG History = 0;

    void SerialState(std::uint8_t State, bool WaitPending)
    {
        Lines = (State & 0x01 ? SERIAL_DCD_STATE | SERIAL_CTS_STATE : 0) | (State & 0x02 ? SERIAL_DSR_STATE : 0) |
                (State & 0x08 ? SERIAL_RI_STATE : 0);
        if (State & 0x04) History |= Mask & SERIAL_EV_BREAK;
        if (State & 0x70) History |= Mask & SERIAL_EV_ERR;
        EventStep(WaitPending);
    }
    void NetworkConnection(bool Up, bool WaitPending)
    {
        Lines = Up ? (Lines | SERIAL_DCD_STATE) : (Lines & ~SERIAL_DCD_STATE);
        if (Up) History |= Mask & SERIAL_EV_RLSD;
        EventStep(WaitPending);
    }
    void EventStep(bool WaitPending)
    {
        if (Mask == 0 || !WaitPending) return;
        if (Lines & SERIAL_CTS_STATE) History |= Mask & SERIAL_EV_CTS;
        if (Lines & SERIAL_DSR_STATE) History |= Mask & SERIAL_EV_DSR;
        if (Lines & SERIAL_RI_STATE) History |= Mask & SERIAL_EV_RING;
    }
};

/* The WAIT_ON_MASK pending, and the events it must complete with once due. */
struct Wait {
    world::OpHandle Op;
    std::optional<ULONG> Due;
};

/* A wait mask from a byte: RXCHAR and TXEMPTY (never raised here) and the
   six line events. */
ULONG EventsOf(std::uint8_t Bits)
{
    static const ULONG kEvents[8] = {SERIAL_EV_RXCHAR, SERIAL_EV_TXEMPTY, SERIAL_EV_CTS, SERIAL_EV_DSR,
                                     SERIAL_EV_RLSD,   SERIAL_EV_BREAK,   SERIAL_EV_ERR, SERIAL_EV_RING};
    ULONG Mask = 0;
    for (int I = 0; I < 8; ++I) {
        if (Bits & (1u << I)) Mask |= kEvents[I];
    }
    return Mask;
}

world::Bytes Le32(ULONG V)
{
    return {static_cast<std::uint8_t>(V), static_cast<std::uint8_t>(V >> 8), static_cast<std::uint8_t>(V >> 16),
            static_cast<std::uint8_t>(V >> 24)};
}

ULONG Value32(const world::OpHandle &Op)
{
    if (Op->Output.size() < sizeof(ULONG)) return 0;
    return Op->Output[0] | (Op->Output[1] << 8) | (Op->Output[2] << 16) | (static_cast<ULONG>(Op->Output[3]) << 24);
}

/* The operation completed with Status (and, when given, the ULONG Value). */
void Expect(const world::OpHandle &Op, NTSTATUS Status, std::optional<ULONG> Value, const char *What)
{
    if (Op->Completed && Op->Status == Status && (!Value || Value32(Op) == *Value)) return;
    std::fprintf(stderr, "fuzz_notify: %s: completed %d, status 0x%08lx, value 0x%lx; expected 0x%08lx", What,
                 Op->Completed, (unsigned long)Op->Status, (unsigned long)Value32(Op), (unsigned long)Status);
    if (Value) std::fprintf(stderr, " with 0x%lx", (unsigned long)*Value);
    std::fprintf(stderr, "\n");
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size)
{
    fuzz::Input In(Data, Size);
    world::World W;
    W.CollectVerifierReports(true);
    auto Usb = std::make_shared<world::CdcAcmDevice>(world::CdcAcmOptions{});
    world::HardwareKey Key{{u"PortName", world::RegistryValue::String(u"COM5")}};
    world::DeviceNode *Node = W.AddDevice(Usb, Key);
    world::FileHandle H = 0;
    if (Node->StartStatus != STATUS_SUCCESS || W.Open(u"COM5", &H) != STATUS_SUCCESS) std::abort();
    W.Clock().AdvanceBy(100 * world::kMillisecond);

    Model M;
    Wait Pending;
    for (int Step = 0; Step < 64 && !In.Empty(); ++Step) {
        std::uint8_t Kind = In.Byte() % 6;
        if (Kind == 0) {
            std::uint16_t Bitmap = In.U16();
            Usb->SendSerialState(Bitmap);
            M.SerialState(static_cast<std::uint8_t>(Bitmap), Pending.Op != nullptr);
        } else if (Kind == 1) {
            bool Up = In.Byte() & 1;
            Usb->SendNetworkConnection(Up);
            M.NetworkConnection(Up, Pending.Op != nullptr);
        } else if (Kind == 2) {
            /* a notification this port does not act on: any other code */
            std::uint8_t Code = In.Byte();
            if (Code == 0x20 || Code == 0x00) Code = 0x2A;
            Usb->SendNotification(Code, In.U16(), In.Bytes(In.Below(24)));
            M.EventStep(Pending.Op != nullptr);
        } else if (Kind == 3) {
            Usb->SendInterrupt(In.Bytes(1 + In.Below(7))); /* a fragment: dropped */
        } else if (Kind == 4) {
            world::OpHandle Op = W.DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
            if (M.Mask == 0 || Pending.Op != nullptr) {
                Expect(Op, STATUS_INVALID_PARAMETER, std::nullopt, "a refused wait");
            } else {
                Pending.Op = Op;
            }
        } else {
            ULONG Mask = EventsOf(In.Byte());
            world::OpHandle Op = W.DeviceIoControl(H, IOCTL_SERIAL_SET_WAIT_MASK, Le32(Mask), 0);
            if (Pending.Op != nullptr) Pending.Due = 0; /* the pending wait completes with no events */
            M.Mask = Mask;
            M.History &= Mask;
            W.Clock().AdvanceBy(20 * world::kMillisecond);
            Expect(Op, STATUS_SUCCESS, std::nullopt, "SET_WAIT_MASK");
        }
        /* Delivery: a pending wait takes what has been gathered. */
        if (Pending.Op != nullptr && !Pending.Due && M.History != 0) {
            Pending.Due = M.History;
            M.History = 0;
        }
        W.Clock().AdvanceBy(20 * world::kMillisecond);
        if (Pending.Op != nullptr) {
            if (Pending.Due) {
                Expect(Pending.Op, STATUS_SUCCESS, *Pending.Due, "the pending wait");
                Pending = Wait{};
            } else if (Pending.Op->Completed) {
                std::fprintf(stderr, "fuzz_notify: the wait completed with 0x%lx, none due\n",
                             (unsigned long)Value32(Pending.Op));
                std::abort();
            }
        }
        world::OpHandle Op = W.DeviceIoControl(H, IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
        W.Clock().AdvanceBy(20 * world::kMillisecond);
        const ULONG Watched = SERIAL_DCD_STATE | SERIAL_DSR_STATE | SERIAL_RI_STATE | SERIAL_CTS_STATE;
        Expect(Op, STATUS_SUCCESS, std::nullopt, "GET_MODEMSTATUS");
        if ((Value32(Op) & Watched) != M.Lines) {
            std::fprintf(stderr, "fuzz_notify: modem status 0x%lx, model 0x%lx\n",
                         (unsigned long)(Value32(Op) & Watched), (unsigned long)M.Lines);
            std::abort();
        }
    }
    W.Close(H);
    W.RemoveDevice(Node);
    W.Clock().RunUntilIdle(W.Clock().Now() + 60 * world::kSecond, 1'000'000);
    if (!W.VerifierReports().empty() || W.PoolBlocksOutstanding() != 0 || W.LiveObjects() != 0) std::abort();
    return 0;
}
