// File objects of the hosted framework as the I/O manager drives them: the
// clean-up when a file's handle is closed, the close once the file's I/O is
// done, and the device object that lives as long as a file refers to it.
#include "test_framework_fixture.h"

#include <algorithm>

using namespace fwtest;

namespace {

/* A non-exclusive device whose driver parks every read on a manual queue
   and keeps every write. */
class Files : public FxTest {
protected:
    WDFQUEUE Manual = nullptr;
    std::vector<WDFREQUEST> Writes;

    void AddParking()
    {
        H.Exclusive = false;
        H.WithFileCallbacks = true;
        H.Read = [this](WDFQUEUE, WDFREQUEST R, size_t) {
            ASSERT_EQ(WdfRequestForwardToIoQueue(R, Manual), STATUS_SUCCESS);
        };
        H.Write = [this](WDFQUEUE, WDFREQUEST R, size_t) { Writes.push_back(R); };
        H.AfterCreate = [this](WDFDEVICE D) { return CreateManualQueue(D, &Manual); };
        Add();
    }
    std::size_t Count(const std::string &Entry) const
    {
        return (std::size_t)std::count(H.Log.begin(), H.Log.end(), Entry);
    }
};

} // namespace

// Guards against a clean-up that cancels more (or earlier) than the real
// framework: EvtFileCleanup first, then only the closed file's requests
// still waiting in a queue; the driver's own requests and other files' are
// left, and EvtFileClose waits for the file's last request.
TEST_F(Files, CloseHandle_CancelsOnlyThatFilesWaitingRequests_AfterEvtFileCleanup)
{
    bool WaitingAtCleanup = false;
    OpHandle Parked;
    H.FileCleanup = [&](WDFFILEOBJECT) { WaitingAtCleanup = !Parked->Completed; };
    AddParking();
    world::FileHandle Other = 0;
    ASSERT_EQ(W.Open(H.Name, &Other), STATUS_SUCCESS);
    Parked = W.Read(File, 1);
    OpHandle Kept = W.Write(File, Bytes{1});
    OpHandle OthersRead = W.Read(Other, 1);

    ASSERT_EQ(W.Close(File), STATUS_SUCCESS);
    Run();

    EXPECT_TRUE(WaitingAtCleanup);
    ASSERT_TRUE(Parked->Completed);
    EXPECT_EQ(Parked->Status, STATUS_CANCELLED);
    EXPECT_FALSE(Kept->Completed) << "a request the driver holds is the driver's to end";
    EXPECT_FALSE(OthersRead->Completed);
    EXPECT_EQ(Count("close"), 0u) << "EvtFileClose before the file's last request completed";
    auto Cleanup = std::find(H.Log.begin(), H.Log.end(), "file-cleanup");
    ASSERT_NE(Cleanup, H.Log.end());
    EXPECT_NE(std::find(Cleanup, H.Log.end(), "canceled-on-queue"), H.Log.end());

    WdfRequestCompleteWithInformation(Writes[0], STATUS_SUCCESS, 1);
    Run();
    EXPECT_EQ(Kept->Status, STATUS_SUCCESS);
    EXPECT_EQ(Count("close"), 1u);
    EXPECT_FALSE(OthersRead->Completed);
    W.Close(Other);
    Run();
    EXPECT_EQ(OthersRead->Status, STATUS_CANCELLED);
    EXPECT_EQ(Count("close"), 2u);
}

// Regression: a start that failed after a stop removed the device and freed
// its object while a handle was still open; the close then read freed
// memory.
TEST_F(FxTest, FailedRestart_HandleOpen_DeviceDeletedOnlyAfterClose)
{
    H.WithFileCallbacks = true;
    Add();
    ASSERT_EQ(W.StopDevice(Node), STATUS_SUCCESS);
    H.D0Entry = [](WDFDEVICE, WDF_POWER_DEVICE_STATE) { return STATUS_DEVICE_NOT_CONNECTED; };

    EXPECT_EQ(W.StartDevice(Node), STATUS_DEVICE_NOT_CONNECTED);

    EXPECT_EQ(Node->State, world::DevicePnpState::StartFailed);
    EXPECT_NE(H.Log.back(), "cleanup") << "device deleted with a file still open";
    EXPECT_EQ(W.Read(File, 1)->Status, STATUS_DELETE_PENDING);
    const std::size_t Entries = H.Log.size();
    EXPECT_EQ(W.StartDevice(Node), STATUS_NO_SUCH_DEVICE) << "a device in removal was started again";
    EXPECT_EQ(H.Log.size(), Entries);
    EXPECT_EQ(W.Close(File), STATUS_SUCCESS);
    EXPECT_EQ((std::vector<std::string>(H.Log.end() - 2, H.Log.end())), (std::vector<std::string>{"close", "cleanup"}));
    W.RemoveDevice(Node);
    EXPECT_EQ(W.LiveObjects(), 0u);
}

// Guards against a removal that deletes the device under a file whose close
// still waits for a request the driver holds.
TEST_F(FxTest, Removal_FileCloseWaitingForHeldRequest_DeviceDeletedAfterIt)
{
    std::vector<WDFREQUEST> Held;
    H.WithFileCallbacks = true;
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { Held.push_back(R); };
    /* keeps the read through the removal: acknowledged, not completed */
    H.Stop = [](WDFQUEUE, WDFREQUEST R, ULONG) { WdfRequestStopAcknowledge(R, FALSE); };
    Add();
    OpHandle Read = W.Read(File, 1);

    W.RemoveDevice(Node);

    EXPECT_FALSE(Read->Completed);
    EXPECT_EQ(std::count(H.Log.begin(), H.Log.end(), "cleanup"), 0);
    WdfRequestCompleteWithInformation(Held[0], STATUS_SUCCESS, 1);
    Run();
    EXPECT_EQ(Read->Status, STATUS_SUCCESS);
    EXPECT_EQ((std::vector<std::string>(H.Log.end() - 2, H.Log.end())), (std::vector<std::string>{"close", "cleanup"}));
}
