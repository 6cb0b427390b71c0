// The receive ring on its own: push, pull, wrap, the one free slot and
// re-sizing, with pool accounting from the hosted kernel.
#include <gtest/gtest.h>

#include <vector>

#include "support/TestSupport.h"

#include "receive/CircularBuffer.h"

using namespace world;

namespace {

std::vector<UCHAR> Seq(std::size_t Length, unsigned First)
{
    std::vector<UCHAR> v(Length);
    for (std::size_t i = 0; i < Length; ++i) v[i] = static_cast<UCHAR>(First + i * 3);
    return v;
}

class ReceiveRing : public ::testing::Test {
protected:
    World W; // the pool the ring allocates from
    CIRCULAR_BUFFER R{};

    void TearDown() override
    {
        FreeCircularBuffer(&R);
        EXPECT_EQ(W.PoolBlocksOutstanding(RECEIVE_BUFFER_POOL_TAG), 0u) << "ring storage leaked";
    }

    // A ring of Size bytes whose indices both stand at Start, holding Held
    // bytes (Seq(Held, 100)) written from there.
    void Make(ULONG Size, ULONG Start, ULONG Held)
    {
        InitCircularBuffer(&R, Size);
        ASSERT_NE(R.Buffer, nullptr);
        ResetCircularBuffer(&R);
        std::vector<UCHAR> skip(Start), sink(Start);
        ASSERT_EQ(PushCircularBuffer(&R, skip.data(), Start), STATUS_SUCCESS);
        ASSERT_EQ(PullCircularBuffer(&R, sink.data(), Start), STATUS_SUCCESS);
        const auto held = Seq(Held, 100);
        ASSERT_EQ(PushCircularBuffer(&R, held.data(), Held), STATUS_SUCCESS);
    }

    std::vector<UCHAR> Drain()
    {
        std::vector<UCHAR> out(R.DataLen);
        EXPECT_EQ(PullCircularBuffer(&R, out.data(), R.DataLen), STATUS_SUCCESS);
        return out;
    }
};

// ---- pushes ----

struct PushCase {
    const char *Name;
    ULONG Size, Start, Held, Push;
    NTSTATUS Status;
    ULONG Stored;     // bytes of the push that went in
    ULONG WriteIndex; // after the push
};

class ReceiveRingPush : public ReceiveRing, public ::testing::WithParamInterface<PushCase> {};

TEST_P(ReceiveRingPush, Push_StoresInOrderUpToTheFreeSlot)
{
    const PushCase c = GetParam();
    Make(c.Size, c.Start, c.Held);
    const auto data = Seq(c.Push, 7);

    EXPECT_EQ(PushCircularBuffer(&R, data.data(), c.Push), c.Status);

    EXPECT_EQ(R.DataLen, c.Held + c.Stored);
    EXPECT_EQ(R.WriteIndex, c.WriteIndex);
    EXPECT_EQ(R.ReadIndex, c.Start);
    auto expected = Seq(c.Held, 100);
    expected.insert(expected.end(), data.begin(), data.begin() + c.Stored);
    EXPECT_EQ(Drain(), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ReceiveRingPush,
                         ::testing::Values(
                             // indices 6, 7, 0, 1: wraps at the end of the storage
                             PushCase{"Wrap", 8, 6, 0, 4, STATUS_SUCCESS, 4, 2},
                             PushCase{"WrapToExactEnd", 8, 6, 0, 2, STATUS_SUCCESS, 2, 0},
                             PushCase{"FillsAllButOneSlot", 8192, 0, 0, 8191, STATUS_SUCCESS, 8191, 8191},
                             PushCase{"FullRingOneMore", 8192, 0, 8191, 1, STATUS_BUFFER_TOO_SMALL, 0, 8191},
                             PushCase{"FullRingTwoMore", 8192, 0, 8191, 2, STATUS_INSUFFICIENT_RESOURCES, 0, 8191},
                             // free space equals the length: all but the last byte go in
                             PushCase{"FreeEqualsLength", 8, 0, 5, 3, STATUS_BUFFER_TOO_SMALL, 2, 7},
                             PushCase{"FreeEqualsLengthWrapped", 8, 5, 5, 3, STATUS_BUFFER_TOO_SMALL, 2, 4},
                             PushCase{"FreeBelowLength", 8, 3, 5, 4, STATUS_INSUFFICIENT_RESOURCES, 0, 0},
                             PushCase{"Empty", 8, 3, 2, 0, STATUS_SUCCESS, 0, 5}),
                         test_support::CaseName());

// ---- pulls ----

TEST_F(ReceiveRing, Pull_MoreThanHeld_FailsAndLeavesEverything)
{
    Make(16, 12, 9);
    std::vector<UCHAR> out(10, 0xEE);

    EXPECT_EQ(PullCircularBuffer(&R, out.data(), 10), STATUS_ARRAY_BOUNDS_EXCEEDED);

    EXPECT_EQ(out, std::vector<UCHAR>(10, 0xEE));
    EXPECT_EQ(R.ReadIndex, 12u);
    EXPECT_EQ(Drain(), Seq(9, 100));
}

// ---- re-size ----

struct ResizeCase {
    const char *Name;
    ULONG Size, Start, Held, NewSize;
    NTSTATUS Status;
};

class ReceiveRingResize : public ReceiveRing, public ::testing::WithParamInterface<ResizeCase> {};

TEST_P(ReceiveRingResize, Resize_KeepsBytesInOrderOrChangesNothing)
{
    const ResizeCase c = GetParam();
    Make(c.Size, c.Start, c.Held);
    const CIRCULAR_BUFFER before = R;

    EXPECT_EQ(SetCircularBufferSize(&R, c.NewSize), c.Status);

    if (c.Status == STATUS_SUCCESS && c.NewSize != c.Size) {
        EXPECT_EQ(R.BufferSize, c.NewSize);
        EXPECT_EQ(R.ReadIndex, 0u);
        EXPECT_EQ(R.WriteIndex, c.Held);
        EXPECT_EQ(R.DataLen, c.Held);
        EXPECT_EQ(W.PoolBlocksOutstanding(RECEIVE_BUFFER_POOL_TAG), 1u) << "old storage not freed";
        EXPECT_EQ(W.PoolBytesOutstanding(RECEIVE_BUFFER_POOL_TAG), c.NewSize);
    } else {
        EXPECT_EQ(R.Buffer, before.Buffer);
        EXPECT_EQ(R.BufferSize, before.BufferSize);
        EXPECT_EQ(R.ReadIndex, before.ReadIndex);
        EXPECT_EQ(R.WriteIndex, before.WriteIndex);
        EXPECT_EQ(W.PoolBytesOutstanding(RECEIVE_BUFFER_POOL_TAG), c.Size);
    }
    EXPECT_EQ(Drain(), Seq(c.Held, 100));
}

INSTANTIATE_TEST_SUITE_P(Table, ReceiveRingResize,
                         ::testing::Values(
                             // 100 bytes wrapped past the end of a 128-byte ring
                             ResizeCase{"WrappedToLarger", 128, 100, 100, 4096, STATUS_SUCCESS},
                             ResizeCase{"WrappedToJustEnough", 128, 100, 100, 101, STATUS_SUCCESS},
                             ResizeCase{"WrappedToHeldSize", 128, 100, 100, 100, STATUS_INSUFFICIENT_RESOURCES},
                             ResizeCase{"WrappedToSmaller", 128, 100, 100, 64, STATUS_INSUFFICIENT_RESOURCES},
                             ResizeCase{"SameSize", 128, 100, 100, 128, STATUS_SUCCESS},
                             ResizeCase{"EmptyToSmaller", 8192, 5000, 0, 64, STATUS_SUCCESS},
                             ResizeCase{"Zero", 128, 0, 0, 0, STATUS_INVALID_PARAMETER}),
                         test_support::CaseName());

TEST_F(ReceiveRing, Resize_AllocationFails_OldStorageAndBytesUntouched)
{
    Make(64, 60, 10);
    W.FailNthCall("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(SetCircularBufferSize(&R, 4096), STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(R.BufferSize, 64u);
    EXPECT_EQ(R.ReadIndex, 60u);
    EXPECT_EQ(Drain(), Seq(10, 100));
}

// ---- storage life ----

TEST_F(ReceiveRing, Init_AllocationFails_NoStorageAndEveryTransferRefused)
{
    W.FailNthCall("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);
    InitCircularBuffer(&R, 8192);
    ResetCircularBuffer(&R);

    EXPECT_EQ(R.Buffer, nullptr);
    EXPECT_EQ(R.BufferSize, 0u);
    const UCHAR byte = 1;
    UCHAR out = 0;
    EXPECT_EQ(PushCircularBuffer(&R, &byte, 1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PullCircularBuffer(&R, &out, 1), STATUS_ARRAY_BOUNDS_EXCEEDED);
}

} // namespace
