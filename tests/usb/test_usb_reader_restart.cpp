// The continuous reader's restart after a failed read, on a pipe whose every
// read fails at once.
#include "support/TestSupport.h"

using namespace test_support;

namespace {

class ReaderRestart : public PortTest {};

// The configuration descriptors of the usual layout with the bulk-IN
// endpoint moved to an address the device does not serve: every read the
// host sends there fails at once.
Bytes WithUnservedBulkIn(const Bytes &Configuration, std::uint8_t *Moved)
{
    Bytes Out = Configuration;
    for (std::size_t At = 0; At + 4 < Out.size() && Out[At] >= 2; At += Out[At]) {
        const bool Endpoint = Out[At + 1] == 5;
        if (Endpoint && (Out[At + 2] & 0x80) != 0 && (Out[At + 3] & 3) == 2) {
            Out[At + 2] = 0x8E;
            *Moved = 0x8E;
        }
    }
    return Out;
}

// Guards: the framework restarted a failed reader at the same instant, so a
// pipe that fails every read spun without end and the world never became
// idle (a descriptor fuzzer's finding). The restart follows the pipe reset,
// a frame later.
TEST_F(ReaderRestart, EveryReadFails_RetriesOncePerFrame)
{
    world::CdcAcmDevice Layout;
    std::uint8_t Moved = 0;
    Bytes Configuration = WithUnservedBulkIn(Layout.ConfigurationDescriptor(), &Moved);
    ASSERT_EQ(Moved, 0x8E);

    Usb = std::make_shared<world::CdcAcmDevice>();
    Usb->ServeRawDescriptors({}, Configuration);
    Node = W.AddDevice(Usb, PortKey(u"COM5"));
    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    const world::VirtualTime Start = W.Clock().Now();
    W.Clock().RunUntilIdle(Start + 100 * world::kMillisecond, 100'000);
    EXPECT_TRUE(TakeReports().empty());

    std::size_t Reads = 0;
    for (const world::TransferRecord &T : Usb->Transfers()) {
        if (T.Endpoint != Moved) continue;
        ++Reads;
        EXPECT_NE(T.Status, USBD_STATUS_SUCCESS);
    }
    // One read a frame over 100 ms, give or take the first and the last.
    EXPECT_GE(Reads, 99u);
    EXPECT_LE(Reads, 102u);

    W.RemoveDevice(Node);
    Run();
    EXPECT_EQ(W.LiveObjects(), 0u);
}

} // namespace
