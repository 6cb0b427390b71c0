// Open and close of the port, and the requests answered before the
// framework sees them: flush, query and set file information.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/TestSupport.h"

#include "receive/CircularBuffer.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;
using namespace test_support;

namespace {

class FileOpenClose : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        Start();
        ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    }
    OpHandle Ioctl(ULONG Code, const Bytes &In, std::size_t OutLength = 0)
    {
        auto op = PortTest::Ioctl(Code, In, OutLength);
        EXPECT_TRUE(op->Completed);
        return op;
    }
    std::size_t Ring() const { return W.PoolBytesOutstanding(RECEIVE_BUFFER_POOL_TAG); }
};

// ---- open and close ----

TEST_F(FileOpenClose, Open_AllocatesDefaultRing_CloseFreesIt)
{
    EXPECT_EQ(Ring(), 0u);
    Open();
    EXPECT_EQ(Ring(), 8192u);
    EXPECT_EQ(W.Close(H), STATUS_SUCCESS);
    EXPECT_EQ(Ring(), 0u);
    EXPECT_EQ(W.PoolBlocksOutstanding(RECEIVE_BUFFER_POOL_TAG), 0u);
}

TEST_F(FileOpenClose, SecondOpen_RefusedWhileFirstIsOpen_AllowedAfterClose)
{
    Open();
    FileHandle second = 0;
    EXPECT_FALSE(NT_SUCCESS(W.Open(u"COM5", &second)));
    EXPECT_EQ(W.PoolBlocksOutstanding(RECEIVE_BUFFER_POOL_TAG), 1u) << "a refused open must not allocate";

    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    EXPECT_EQ(W.Open(u"COM5", &second), STATUS_SUCCESS);
    EXPECT_EQ(W.Close(second), STATUS_SUCCESS);
}

TEST_F(FileOpenClose, OpenAfterQueueSizeChange_AllocatesThatSize)
{
    Open();
    SERIAL_QUEUE_SIZE size{4096, 0};
    auto op = Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(size));
    ASSERT_EQ(op->Status, STATUS_SUCCESS);
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);

    Open();

    EXPECT_EQ(Ring(), 4096u);
}

// Regression: a ring that could not be allocated at open left a port that
// silently dropped every received byte.
TEST_F(FileOpenClose, RingAllocationFails_OpenFailsAndNothingAllocated)
{
    W.FailNthCall("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);
    FileHandle h = 0;

    EXPECT_EQ(W.Open(u"COM5", &h), STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(W.PoolBlocksOutstanding(RECEIVE_BUFFER_POOL_TAG), 0u);
    // The port is not left half-open: the next open works normally.
    Open();
    EXPECT_EQ(Ring(), 8192u);
}

TEST_F(FileOpenClose, Reopen_MaskAndHistoryCleared)
{
    constexpr std::uint16_t kBreak = 0x04; // SERIAL_STATE bBreak
    Open();
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(ULONG{SERIAL_EV_BREAK}))->Status, STATUS_SUCCESS);
    Usb->SendSerialState(kBreak); // remembered: no wait is pending
    Run();
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);

    Open();

    auto get = Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, sizeof(ULONG));
    ASSERT_EQ(get->Status, STATUS_SUCCESS);
    EXPECT_EQ(FromBytes<ULONG>(get->Output), 0u);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(ULONG{SERIAL_EV_BREAK}))->Status, STATUS_SUCCESS);
    auto wait = W.DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    Run();
    EXPECT_FALSE(wait->Completed) << "the break of the previous open was reported to this one";
    Usb->SendSerialState(kBreak);
    Run();
    ASSERT_TRUE(wait->Completed);
    EXPECT_EQ(wait->Status, STATUS_SUCCESS);
    EXPECT_EQ(FromBytes<ULONG>(wait->Output), static_cast<ULONG>(SERIAL_EV_BREAK));
}

// Regression: the close left the reads, writes and wait-on-mask the driver
// held pending (the framework cancels only requests still waiting in its
// queues), so the ring was never freed and the exclusive port could not be
// opened again.
TEST_F(FileOpenClose, Close_PendingReadsWritesAndWait_EndedByCleanup_ReopenWorks)
{
    Open();
    Usb->SetDefaultBulkOutAnswer({Answer::Never});
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(ULONG{SERIAL_EV_CTS}))->Status, STATUS_SUCCESS);
    const std::vector<OpHandle> pending{
        W.DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)),
        W.Read(H, 10),               // the current read
        W.Read(H, 10),               // parked behind it
        W.Write(H, Bytes(10, 0x41)), // its packet is never answered
        W.Write(H, Bytes(5, 0x42)),  // waits in the write queue
    };
    Run();
    for (const auto &op : pending) ASSERT_FALSE(op->Completed);

    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Run();

    for (std::size_t i = 0; i < pending.size(); ++i) {
        ASSERT_TRUE(pending[i]->Completed) << "request " << i;
        EXPECT_EQ(pending[i]->Status, STATUS_CANCELLED) << "request " << i;
        EXPECT_EQ(pending[i]->Information, 0u) << "request " << i;
    }
    EXPECT_EQ(Ring(), 0u) << "the file was never closed";
    EXPECT_EQ(Usb->OutstandingOut(), 0u);

    Open();
    EXPECT_EQ(Ring(), 8192u);
    Usb->SetDefaultBulkOutAnswer({Answer::Accept});
    Usb->SendBulkInText("hello");
    auto read = W.Read(H, 5);
    auto write = W.Write(H, Bytes(3, 0x43));
    Run();
    ASSERT_TRUE(read->Completed && write->Completed);
    EXPECT_EQ(read->Status, STATUS_SUCCESS);
    EXPECT_EQ(read->Output, (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(write->Status, STATUS_SUCCESS);
}

// Guards against the file cleanup taking IoctlLock then ReadLock while the
// read callback, which the device-wide lock does not keep from it, takes
// ReadLock then IoctlLock: two processors doing both at once deadlock.
TEST_F(FileOpenClose, Close_AfterReads_LockOrderAgreesWithTheReadPath)
{
    Open();
    auto current = W.Read(H, 10);
    auto parked = W.Read(H, 10);
    Run();
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Run();
    EXPECT_TRUE(current->Completed && parked->Completed);
    for (const std::string &Report : TakeReports()) ADD_FAILURE() << Report;
}

// Guards against a close that frees the ring while a request of the file is
// still in the driver: a class request held at the device delays the close
// until it completes.
TEST_F(FileOpenClose, Close_ClassRequestInFlight_FileClosedWhenItCompletes)
{
    Open();
    Usb->QueueControlAnswer({Answer::Accept, 50 * kMillisecond});
    auto baud = W.DeviceIoControl(H, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(SERIAL_BAUD_RATE{19200}), 0);
    W.Clock().RunDue();
    ASSERT_FALSE(baud->Completed);

    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    W.Clock().RunDue();

    EXPECT_EQ(Ring(), 8192u);
    FileHandle early = 0;
    EXPECT_EQ(W.Open(u"COM5", &early), STATUS_ACCESS_DENIED) << "the exclusive port reopened before its close";
    Run();
    ASSERT_TRUE(baud->Completed);
    EXPECT_EQ(baud->Status, STATUS_SUCCESS);
    EXPECT_EQ(Ring(), 0u);
    Open();
}

// ---- flush ----

TEST_F(FileOpenClose, Flush_NoWriteInProgress_SucceedsAtOnce)
{
    Open();
    const VirtualTime before = W.Clock().Now();

    auto op = W.Flush(H);

    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, STATUS_SUCCESS);
    EXPECT_EQ(op->Information, 0u);
    EXPECT_EQ(W.Clock().Now(), before);
}

TEST_F(FileOpenClose, Flush_DuringLongWrite_ReturnsAfterItAndQueuedWriteFollows)
{
    Open();
    Usb->SetDefaultBulkOutAnswer({Answer::Accept, 100 * kMillisecond});
    auto first = W.Write(H, Bytes(64 * 3, 0x21));
    auto second = W.Write(H, Bytes(10, 0x22));
    W.Clock().RunDue();

    auto flush = W.Flush(H);

    ASSERT_TRUE(flush->Completed);
    EXPECT_EQ(flush->Status, STATUS_SUCCESS);
    EXPECT_TRUE(first->Completed);
    EXPECT_EQ(first->Status, STATUS_SUCCESS);
    Run();
    ASSERT_TRUE(second->Completed);
    EXPECT_EQ(second->Status, STATUS_SUCCESS);
    EXPECT_GE(second->CompletedAt, first->CompletedAt);
    Bytes expected(64 * 3, 0x21);
    expected.insert(expected.end(), 10, 0x22);
    EXPECT_EQ(Usb->BulkOutBytes(), expected);
}

// ---- file information ----

struct QueryCase {
    const char *Name;
    ULONG Class;
    std::size_t Length;
    NTSTATUS Status;
    ULONG_PTR Information;
};

class FileQueryInformation : public FileOpenClose, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(FileQueryInformation, AnswersOnlyStandardAndPosition)
{
    const QueryCase c = GetParam();
    Open();

    auto op = W.QueryInformation(H, c.Class, c.Length);

    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, c.Status);
    EXPECT_EQ(op->Information, c.Information);
    if (c.Status == STATUS_SUCCESS) {
        // Every field zero, padding included.
        ASSERT_GE(op->Output.size(), c.Information);
        EXPECT_TRUE(std::all_of(op->Output.begin(), op->Output.begin() + c.Information, [](auto b) { return b == 0; }));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileQueryInformation,
    ::testing::Values(QueryCase{"StandardExact", FileStandardInformation, 24, STATUS_SUCCESS, 24},
                      QueryCase{"StandardLarger", FileStandardInformation, 100, STATUS_SUCCESS, 24},
                      QueryCase{"StandardShort", FileStandardInformation, 23, STATUS_BUFFER_TOO_SMALL, 0},
                      QueryCase{"StandardEmpty", FileStandardInformation, 0, STATUS_BUFFER_TOO_SMALL, 0},
                      QueryCase{"PositionExact", FilePositionInformation, 8, STATUS_SUCCESS, 8},
                      QueryCase{"PositionShort", FilePositionInformation, 7, STATUS_BUFFER_TOO_SMALL, 0},
                      QueryCase{"Basic", FileBasicInformation, 64, STATUS_INVALID_PARAMETER, 0},
                      QueryCase{"EndOfFile", FileEndOfFileInformation, 64, STATUS_INVALID_PARAMETER, 0},
                      QueryCase{"OutOfRange", 200, 64, STATUS_INVALID_PARAMETER, 0}),
    test_support::CaseName());

struct SetCase {
    const char *Name;
    ULONG Class;
    NTSTATUS Status;
};

class FileSetInformation : public FileOpenClose, public ::testing::WithParamInterface<SetCase> {};

TEST_P(FileSetInformation, AcceptsOnlyEndOfFileAndAllocation_ChangesNothing)
{
    const SetCase c = GetParam();
    Open();

    auto op = W.SetInformation(H, c.Class, Bytes(16, 0x7F));

    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, c.Status);
    EXPECT_EQ(op->Information, 0u);
    auto position = W.QueryInformation(H, FilePositionInformation, 8);
    EXPECT_EQ(position->Output, Bytes(8, 0));
}

INSTANTIATE_TEST_SUITE_P(Table, FileSetInformation,
                         ::testing::Values(SetCase{"EndOfFile", FileEndOfFileInformation, STATUS_SUCCESS},
                                           SetCase{"Allocation", FileAllocationInformation, STATUS_SUCCESS},
                                           SetCase{"Disposition", FileDispositionInformation, STATUS_INVALID_PARAMETER},
                                           SetCase{"Position", FilePositionInformation, STATUS_INVALID_PARAMETER},
                                           SetCase{"Basic", FileBasicInformation, STATUS_INVALID_PARAMETER}),
                         test_support::CaseName());

} // namespace
