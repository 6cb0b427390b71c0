// The shared queue routines, SerialIsQueueIdle and SerialFlushQueue, on the
// read queue of a live device, and the sequential write queue.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

#include "FxHost.h"
#include "driver/Driver.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;

namespace {

class SetupQueues : public test_support::PortTest {
protected:
    PDEVICE_EXT_CONTEXT Context = nullptr;

    void SetUp() override
    {
        PortTest::SetUp();
        Start();
        ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
        Open();
        // The routines under test take a queue handle: find the device's.
        Context = GetDeviceContext(fx::DeviceOfNode(Node)->DeviceHandle());
    }
    ULONG ReadQueueState() { return static_cast<ULONG>(WdfIoQueueGetState(Context->ReadQueue, nullptr, nullptr)); }
};

TEST_F(SetupQueues, IsQueueIdle_FalseWhileRetrievedRequestUncompleted)
{
    EXPECT_TRUE(SerialIsQueueIdle(Context->ReadQueue));
    auto first = W.Read(H, 1);  // becomes the current read
    auto second = W.Read(H, 1); // parked in the read queue
    Run();
    EXPECT_FALSE(SerialIsQueueIdle(Context->ReadQueue)) << "a request waits in the queue";

    Usb->SendBulkIn(Bytes{1});
    Run();
    ASSERT_TRUE(first->Completed);
    ASSERT_FALSE(second->Completed);
    // The second read was taken from the queue and is now the driver's.
    EXPECT_NE(ReadQueueState() & WdfIoQueueNoRequests, 0u);
    EXPECT_FALSE(SerialIsQueueIdle(Context->ReadQueue)) << "a retrieved request is still owned";

    Usb->SendBulkIn(Bytes{2});
    Run();
    ASSERT_TRUE(second->Completed);
    EXPECT_EQ(second->Output, (Bytes{2}));
    EXPECT_TRUE(SerialIsQueueIdle(Context->ReadQueue));
}

TEST_F(SetupQueues, FlushQueue_EmptyQueueAndNoCurrent_OnlyPurgesAndRestarts)
{
    auto current = W.Read(H, 1); // current read: not in the read queue
    Run();
    ASSERT_FALSE(current->Completed);
    WDFREQUEST none = nullptr;

    SerialFlushQueue(Context->ReadQueue, &none);
    Run();

    EXPECT_EQ(none, nullptr);
    EXPECT_FALSE(current->Completed) << "a request outside the flushed queue was touched";
    EXPECT_NE(ReadQueueState() & WdfIoQueueAcceptRequests, 0u);
    // The queue accepts parked reads again and hands them out in order.
    auto parked = W.Read(H, 1);
    Run();
    Usb->SendBulkIn(Bytes{7});
    Usb->SendBulkIn(Bytes{8});
    Run();
    ASSERT_TRUE(current->Completed);
    ASSERT_TRUE(parked->Completed);
    EXPECT_EQ(current->Output, (Bytes{7}));
    EXPECT_EQ(parked->Output, (Bytes{8}));
}

TEST_F(SetupQueues, FlushQueue_WaitingRequestsCancelled)
{
    auto current = W.Read(H, 1);
    auto parked = W.Read(H, 1);
    Run();
    WDFREQUEST none = nullptr;

    SerialFlushQueue(Context->ReadQueue, &none);
    Run();

    ASSERT_TRUE(parked->Completed);
    EXPECT_EQ(parked->Status, STATUS_CANCELLED);
    EXPECT_FALSE(current->Completed);
    Usb->SendBulkIn(Bytes{3});
    Run();
    ASSERT_TRUE(current->Completed);
    EXPECT_EQ(current->Output, (Bytes{3}));
}

} // namespace
