/*
 * fuzz_descriptors.cpp - the device serves arbitrary device and
 * configuration descriptor bytes. The start either succeeds with a port
 * that opens and closes or fails with a status; nothing crashes, the
 * verifier stays silent and nothing is left after removal.
 */
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "CdcAcmDevice.h"
#include "FuzzInput.h"
#include "World.h"

#include <ntddk.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size)
{
    fuzz::Input In(Data, Size);
    world::CdcAcmOptions O;
    std::uint8_t Shape = In.Byte();
    O.Interfaces = (Shape & 1) ? 1 : 2;
    world::Bytes Device = (Shape & 2) != 0 ? In.Bytes(In.Below(40)) : world::Bytes{};
    world::Bytes Configuration = In.Bytes(In.Below(512));
    if ((Shape & 4) != 0) O.ReportedTotalLength = In.U16();

    world::World W;
    W.CollectVerifierReports(true);
    auto Usb = std::make_shared<world::CdcAcmDevice>(O);
    Usb->ServeRawDescriptors(Device, Configuration);
    world::HardwareKey Key{{u"PortName", world::RegistryValue::String(u"COM5")}};
    world::DeviceNode *Node = W.AddDevice(Usb, Key);
    W.Clock().RunUntilIdle(W.Clock().Now() + world::kSecond, 100'000);
    if (Node->StartStatus == STATUS_SUCCESS) {
        world::FileHandle H = 0;
        if (W.Open(u"COM5", &H) == STATUS_SUCCESS) {
            W.Write(H, world::Bytes{1, 2, 3});
            W.Clock().RunUntilIdle(W.Clock().Now() + world::kSecond, 100'000);
            W.Close(H);
        }
    }
    W.RemoveDevice(Node);
    W.Clock().RunUntilIdle(W.Clock().Now() + 60 * world::kSecond, 1'000'000);
    for (const std::string &Report : W.VerifierReports()) {
        std::fprintf(stderr, "verifier: %s\n", Report.c_str());
        std::abort();
    }
    if (W.PoolBlocksOutstanding() != 0 || W.MemoryBlocksOutstanding() != 0 || W.LiveObjects() != 0) {
        std::fprintf(stderr, "fuzz_descriptors: allocations left after removal\n");
        std::abort();
    }
    return 0;
}
