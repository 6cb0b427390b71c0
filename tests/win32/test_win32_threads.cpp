/* Threads, waits and virtual time; the native calls, text conversions and
   the layer's own module. */
#include "support/Win32Fixture.h"

#include <winternl.h>

#include <atomic>
#include <cstring>

using Win32Threads = Win32Fixture;

namespace {

struct ReaderArgs {
    HANDLE Port;
    DWORD Got = 0;
    char Data[8] = {};
};

DWORD WINAPI Reader(LPVOID P)
{
    auto *A = static_cast<ReaderArgs *>(P);
    ReadFile(A->Port, A->Data, 4, &A->Got, nullptr);
    return A->Got == 4 ? 7 : 1;
}

} // namespace

TEST_F(Win32Threads, ClockMovesOnlyWhenEveryThreadWaits)
{
    HANDLE H = Open();
    Timeouts(H, 0, 0, 200);
    ReaderArgs A{H};
    const ULONGLONG Start = GetTickCount64();
    HANDLE T = CreateThread(nullptr, 0, Reader, &A, 0, nullptr);
    ASSERT_NE(T, nullptr);
    /* The reader blocks; this thread still runs, so no time passes. */
    for (int I = 0; I < 100; ++I) Sleep(0);
    EXPECT_EQ(GetTickCount64(), Start);
    DWORD N = 0;
    ASSERT_TRUE(WriteFile(H, "ping", 4, &N, nullptr));
    ASSERT_EQ(WaitForSingleObject(T, INFINITE), WAIT_OBJECT_0);
    DWORD Code = 0;
    ASSERT_TRUE(GetExitCodeThread(T, &Code));
    EXPECT_EQ(Code, 7u);
    EXPECT_EQ(std::string(A.Data, 4), "ping");
    EXPECT_LT(GetTickCount64() - Start, 200u) << "the read ended with the data, not at its time-out";
    CloseHandle(T);
}

TEST_F(Win32Threads, WaitForMultipleObjects_anyAndAllAndTimeout)
{
    HANDLE E1 = CreateEventA(nullptr, FALSE, FALSE, nullptr); /* auto-reset */
    HANDLE E2 = CreateEventW(nullptr, TRUE, TRUE, nullptr);   /* manual, set */
    HANDLE Both[] = {E1, E2};
    EXPECT_EQ(WaitForMultipleObjects(2, Both, FALSE, 0), WAIT_OBJECT_0 + 1);
    const ULONGLONG Start = GetTickCount64();
    EXPECT_EQ(WaitForMultipleObjects(2, Both, TRUE, 25), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount64() - Start, 25u);
    ASSERT_TRUE(SetEvent(E1));
    EXPECT_EQ(WaitForMultipleObjects(2, Both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(E1, 0), (DWORD)WAIT_TIMEOUT) << "the auto-reset event was taken";
    EXPECT_EQ(WaitForSingleObject(E2, 0), WAIT_OBJECT_0) << "the manual one stays set";
    ASSERT_TRUE(ResetEvent(E2));
    EXPECT_EQ(WaitForSingleObject(E2, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(0, Both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(E1);
    CloseHandle(E2);
}

TEST_F(Win32Threads, SleepAndCountersFollowVirtualTime)
{
    LARGE_INTEGER F{}, A{}, B{};
    ASSERT_TRUE(QueryPerformanceFrequency(&F));
    ASSERT_TRUE(QueryPerformanceCounter(&A));
    const DWORD T0 = GetTickCount();
    Sleep(1500);
    ASSERT_TRUE(QueryPerformanceCounter(&B));
    EXPECT_EQ(GetTickCount() - T0, 1500u);
    EXPECT_EQ((B.QuadPart - A.QuadPart) * 1000 / F.QuadPart, 1500);
}

TEST_F(Win32Threads, NtReadFile_statusAndIoStatusBlock)
{
    HANDLE H = Open("COM1", true);
    HANDLE Ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    IO_STATUS_BLOCK Iosb{};
    char B[4] = {};
    EXPECT_EQ(NtReadFile(H, Ev, nullptr, nullptr, &Iosb, B, 3, nullptr, nullptr), (NTSTATUS)STATUS_PENDING);
    IO_STATUS_BLOCK Wsb{};
    char Out[] = "abc";
    NTSTATUS S = NtWriteFile(H, nullptr, nullptr, nullptr, &Wsb, Out, 3, nullptr, nullptr);
    EXPECT_TRUE(S == 0 || S == (NTSTATUS)STATUS_PENDING);
    ASSERT_EQ(WaitForSingleObject(Ev, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(Iosb.Status, 0);
    EXPECT_EQ(Iosb.Information, 3u);
    EXPECT_EQ(std::string(B, 3), "abc");
    EXPECT_EQ(NtReadFile(INVALID_HANDLE_VALUE, nullptr, nullptr, nullptr, &Iosb, B, 1, nullptr, nullptr),
              (NTSTATUS)0xC0000008);
    EXPECT_EQ(RtlNtStatusToDosError((NTSTATUS)0xC0000120), (ULONG)ERROR_OPERATION_ABORTED);
    CloseHandle(Ev);
}

TEST_F(Win32Threads, TextConversions_utf8RoundTrip)
{
    const char *Utf8 = "COM\xC3\xA9\xF0\x9F\x98\x80"; /* "COMé" and one astral character */
    const int Need = MultiByteToWideChar(CP_UTF8, 0, Utf8, -1, nullptr, 0);
    EXPECT_EQ(Need, 7) << "four, one, a surrogate pair and the null";
    WCHAR W[8] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, Utf8, -1, W, 8), 7);
    EXPECT_EQ(W[3], 0xE9);
    EXPECT_EQ(W[4], 0xD83D);
    char Back[16] = {};
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, W, -1, Back, sizeof Back, nullptr, nullptr), 10);
    EXPECT_STREQ(Back, Utf8);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC3", 1, W, 8), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, Utf8, -1, W, 2), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(Win32Threads, GetProcAddress_overTheLayersExports)
{
    HMODULE K = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(K, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"KERNEL32"), K);
    EXPECT_EQ(GetProcAddress(K, "SetCommState"),
              reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&SetCommState)));
    EXPECT_EQ(GetProcAddress(K, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetModuleHandleA("user32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}
