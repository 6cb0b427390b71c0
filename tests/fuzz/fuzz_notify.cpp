/*
 * fuzz_notify.cpp - notifications alone: whole notifications of any code,
 * value and data, cut into interrupt packets, and stray fragments shorter
 * than a packet (which end a notification and are dropped), against a
 * reference model of the modem status. After each step GET_MODEMSTATUS
 * must give the model's DCD, DSR and RI.
 */
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "CdcAcmDevice.h"
#include "FuzzInput.h"
#include "World.h"

#include <ntddk.h>
#include <ntddser.h>

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

    ULONG Model = 0; /* DCD, DSR, RI as the notifications so far set them */
    const ULONG Watched = SERIAL_DCD_STATE | SERIAL_DSR_STATE | SERIAL_RI_STATE;
    for (int Step = 0; Step < 64 && !In.Empty(); ++Step) {
        std::uint8_t Kind = In.Byte() % 4;
        if (Kind == 0) {
            std::uint16_t Bitmap = In.U16();
            Usb->SendSerialState(Bitmap);
            Model = (Bitmap & 0x01 ? SERIAL_DCD_STATE : 0) | (Bitmap & 0x02 ? SERIAL_DSR_STATE : 0) |
                    (Bitmap & 0x08 ? SERIAL_RI_STATE : 0);
        } else if (Kind == 1) {
            bool Up = In.Byte() & 1;
            Usb->SendNetworkConnection(Up);
            Model = Up ? (Model | SERIAL_DCD_STATE) : (Model & ~SERIAL_DCD_STATE);
        } else if (Kind == 2) {
            /* a notification this port does not act on: any other code */
            std::uint8_t Code = In.Byte();
            if (Code == 0x20 || Code == 0x00) Code = 0x2A;
            Usb->SendNotification(Code, In.U16(), In.Bytes(In.Below(24)));
        } else {
            Usb->SendInterrupt(In.Bytes(1 + In.Below(7))); /* a fragment: dropped */
        }
        W.Clock().AdvanceBy(20 * world::kMillisecond);
        world::OpHandle Op = W.DeviceIoControl(H, IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
        W.Clock().AdvanceBy(20 * world::kMillisecond);
        ULONG Have = 0;
        if (!Op->Completed || Op->Status != STATUS_SUCCESS || Op->Output.size() < sizeof(ULONG)) std::abort();
        Have = Op->Output[0] | (Op->Output[1] << 8);
        if ((Have & Watched) != Model) {
            std::fprintf(stderr, "fuzz_notify: modem status 0x%lx, model 0x%lx\n", (unsigned long)(Have & Watched),
                         (unsigned long)Model);
            std::abort();
        }
    }
    W.Close(H);
    W.RemoveDevice(Node);
    W.Clock().RunUntilIdle(W.Clock().Now() + 60 * world::kSecond, 1'000'000);
    if (!W.VerifierReports().empty() || W.PoolBlocksOutstanding() != 0 || W.LiveObjects() != 0) std::abort();
    return 0;
}
