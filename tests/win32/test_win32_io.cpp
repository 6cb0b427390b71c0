/* The Win32 layer's files, I/O and the I/O manager's rules. */
#include "support/Win32Fixture.h"

#include <cstring>

using Win32Io = Win32Fixture;

TEST_F(Win32Io, CreateFile_portNames)
{
    static const char *const Names[] = {
        "COM1", "com1:", "\\\\.\\COM1", "\\\\?\\COM1", "\\??\\COM1", "\\DosDevices\\COM1", "\\Device\\Serial0"};
    for (const char *Name : Names) {
        HANDLE H = Open(Name);
        ASSERT_NE(H, INVALID_HANDLE_VALUE) << Name << " error " << GetLastError();
        EXPECT_TRUE(CloseHandle(H)) << Name;
        Forget(H);
    }
    SetLastError(0);
    EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Io, CreateFile_twoDigitPortNeedsDevicePrefix)
{
    World("add loopback-plug PortName=\"COM10\"\n");
    EXPECT_EQ(Open("COM10"), INVALID_HANDLE_VALUE) << "a bare COM10 is a file of the current directory";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    HANDLE H = Open("\\\\.\\COM10");
    ASSERT_NE(H, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE W = CreateFileW(L"\\\\.\\COM10", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(W, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(Win32Io, CreateFile_secondOpenOfExclusivePortDenied)
{
    HANDLE A = Open();
    ASSERT_NE(A, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(A));
    Forget(A);
    EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(Win32Io, CreateFile_createDispositionRefused)
{
    HANDLE H = CreateFileA("COM1", GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(H, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(Win32Io, Handles_invalidAndClosedAreRefused)
{
    char B[4];
    DWORD N = 0;
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, B, 4, &N, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE H = Open();
    ASSERT_TRUE(CloseHandle(H));
    Forget(H);
    EXPECT_FALSE(CloseHandle(H));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    HANDLE Ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(WriteFile(Ev, "x", 1, &N, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(Ev);
}

TEST_F(Win32Io, SyncHandle_writeThenReadLoopsBack)
{
    HANDLE H = Open();
    Timeouts(H, 0, 0, 100);
    DWORD N = 0;
    SetLastError(1234);
    ASSERT_TRUE(WriteFile(H, "hello", 5, &N, nullptr));
    EXPECT_EQ(N, 5u);
    EXPECT_EQ(GetLastError(), 1234u) << "success leaves the last error alone";
    char B[16] = {};
    ASSERT_TRUE(ReadFile(H, B, 5, &N, nullptr));
    EXPECT_EQ(N, 5u);
    EXPECT_EQ(std::string(B, 5), "hello");
    EXPECT_EQ(brisum_w32::BulkOut(), (std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(Win32Io, SyncRead_timeoutReturnsTrueWithFewerBytes)
{
    HANDLE H = Open();
    Timeouts(H, 0, 0, 50);
    DWORD N = 0;
    ASSERT_TRUE(WriteFile(H, "abc", 3, &N, nullptr));
    char B[10] = {};
    const DWORD Before = GetTickCount();
    ASSERT_TRUE(ReadFile(H, B, 10, &N, nullptr));
    EXPECT_EQ(N, 3u);
    EXPECT_EQ(std::string(B, 3), "abc");
    EXPECT_GE(GetTickCount() - Before, 50u) << "the clock moved to the time-out while the caller waited";
}

TEST_F(Win32Io, OverlappedHandle_readWithoutOverlappedIsInvalidParameter)
{
    HANDLE H = Open("COM1", true);
    char B[4];
    DWORD N = 0;
    EXPECT_FALSE(ReadFile(H, B, 4, &N, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteFile(H, B, 4, &N, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(Win32Io, OverlappedRead_pendsThenCompletesAndSetsEvent)
{
    HANDLE H = Open("COM1", true);
    OVERLAPPED Ov{};
    Ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr); /* reset by the read's start */
    char B[8] = {};
    DWORD N = 99;
    EXPECT_FALSE(ReadFile(H, B, 4, &N, &Ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(Ov.hEvent, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_FALSE(GetOverlappedResult(H, &Ov, &N, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(HasOverlappedIoCompleted(&Ov));

    OVERLAPPED Wo{};
    Wo.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!WriteFile(H, "wxyz", 4, &N, &Wo)) {
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    }
    ASSERT_TRUE(GetOverlappedResult(H, &Wo, &N, TRUE));
    EXPECT_EQ(N, 4u);
    EXPECT_EQ(WaitForSingleObject(Ov.hEvent, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(H, &Ov, &N, FALSE));
    EXPECT_EQ(N, 4u);
    EXPECT_EQ(std::string(B, 4), "wxyz");
    EXPECT_EQ(Ov.InternalHigh, 4u);
    CloseHandle(Ov.hEvent);
    CloseHandle(Wo.hEvent);
}

TEST_F(Win32Io, CancelIoEx_abortsPendingReadAndLeavesBufferAlone)
{
    HANDLE H = Open("COM1", true);
    OVERLAPPED Ov{};
    Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char B[4] = {'-', '-', '-', '-'};
    DWORD N = 0;
    ASSERT_FALSE(ReadFile(H, B, 4, &N, &Ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(CancelIoEx(H, &Ov));
    EXPECT_FALSE(GetOverlappedResult(H, &Ov, &N, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(N, 0u);
    EXPECT_EQ(std::string(B, 4), "----");
    EXPECT_FALSE(CancelIoEx(H, &Ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    EXPECT_FALSE(CancelIoEx(H, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    CloseHandle(Ov.hEvent);
}

TEST_F(Win32Io, CancelIo_cancelsOnlyTheCallingThreadsIo)
{
    HANDLE H = Open("COM1", true);
    OVERLAPPED Ov{};
    char B[4];
    DWORD N = 0;
    ASSERT_FALSE(ReadFile(H, B, 4, &N, &Ov));
    ASSERT_TRUE(CancelIo(H));
    EXPECT_FALSE(GetOverlappedResult(H, &Ov, &N, TRUE)) << "waits on the file when the OVERLAPPED has no event";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
}

TEST_F(Win32Io, GetOverlappedResultEx_timesOut)
{
    HANDLE H = Open("COM1", true);
    OVERLAPPED Ov{};
    char B[4];
    DWORD N = 0;
    ASSERT_FALSE(ReadFile(H, B, 4, &N, &Ov));
    const ULONGLONG Before = GetTickCount64();
    EXPECT_FALSE(GetOverlappedResultEx(H, &Ov, &N, 30, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount64() - Before, 30u);
    EXPECT_FALSE(GetOverlappedResultEx(H, &Ov, &N, 0, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    CancelIoEx(H, &Ov);
    GetOverlappedResult(H, &Ov, &N, TRUE);
}

TEST_F(Win32Io, FlushFileBuffers_waitsForTheWrite)
{
    HANDLE H = Open();
    DWORD N = 0;
    ASSERT_TRUE(WriteFile(H, "12345678", 8, &N, nullptr));
    EXPECT_TRUE(FlushFileBuffers(H));
}

TEST_F(Win32Io, DeviceIoControl_driverStatusReachesCallerMapped)
{
    HANDLE H = Open();
    DWORD N = 0;
    EXPECT_FALSE(DeviceIoControl(H, SerialIoctl(0x7ff), nullptr, 0, nullptr, 0, &N, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ULONG Baud = 0;
    EXPECT_FALSE(DeviceIoControl(H, SerialIoctl(1), &Baud, 1, nullptr, 0, &N, nullptr)) << "short SET_BAUD_RATE";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(Win32Io, Win32Error_mapsAsTheSystemTable)
{
    static const struct {
        std::uint32_t Status;
        DWORD Error;
    } Table[] = {{0xC000000D, ERROR_INVALID_PARAMETER},   {0xC0000120, ERROR_OPERATION_ABORTED},
                 {0xC0000023, ERROR_INSUFFICIENT_BUFFER}, {0xC0000010, ERROR_INVALID_FUNCTION},
                 {0xC0000022, ERROR_ACCESS_DENIED},       {0xC0000056, ERROR_ACCESS_DENIED},
                 {0xC0000034, ERROR_FILE_NOT_FOUND},      {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
                 {0xC0000001, ERROR_GEN_FAILURE},         {0xC00000B5, ERROR_SEM_TIMEOUT},
                 {0xC000000E, ERROR_FILE_NOT_FOUND},      {0xC000009D, ERROR_DEVICE_NOT_CONNECTED},
                 {0xC0001234, ERROR_MR_MID_NOT_FOUND}};
    for (const auto &E : Table)
        EXPECT_EQ(brisum_w32::Win32Error(static_cast<std::int32_t>(E.Status)), E.Error) << std::hex << E.Status;
}

TEST_F(Win32Io, LineRate_writeTakesTheLinesTime)
{
    World("add loopback-plug line-rate PortName=\"COM1\"\n");
    HANDLE H = OpenWithMode("baud=9600 parity=n data=8 stop=1");
    Timeouts(H, 0, 0, 500);
    char Out[96];
    for (int I = 0; I < 96; ++I) Out[I] = static_cast<char>('0' + I % 10);
    DWORD N = 0;
    const ULONGLONG Before = GetTickCount64();
    ASSERT_TRUE(WriteFile(H, Out, sizeof Out, &N, nullptr));
    EXPECT_EQ(N, sizeof Out);
    const ULONGLONG Took = GetTickCount64() - Before;
    EXPECT_GE(Took, 99u) << "96 characters of 10 bits at 9600 baud: 100 ms, less the rounding of each packet";
    EXPECT_LT(Took, 120u);
    char In[96] = {};
    ASSERT_TRUE(ReadFile(H, In, sizeof In, &N, nullptr));
    EXPECT_EQ(N, sizeof In);
    EXPECT_EQ(std::memcmp(In, Out, sizeof In), 0);
}

TEST_F(Win32Io, LineRate_writeTimeoutReturnsTrueWithFewerBytes)
{
    World("add loopback-plug line-rate PortName=\"COM1\"\n");
    HANDLE H = OpenWithMode("baud=1200 parity=n data=8 stop=1");
    COMMTIMEOUTS T{0, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(H, &T));
    static char Out[1200] = {};
    DWORD N = 0;
    ASSERT_TRUE(WriteFile(H, Out, sizeof Out, &N, nullptr)) << "STATUS_TIMEOUT is a success";
    EXPECT_LT(N, sizeof Out);
}

TEST_F(Win32Io, SurpriseRemoval_pendingReadFailsAndThePortIsGone)
{
    HANDLE H = Open("COM1", true);
    OVERLAPPED Ov{};
    Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char B[4];
    DWORD N = 0;
    ASSERT_FALSE(ReadFile(H, B, 4, &N, &Ov));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_EQ(brisum_w32::RunScenario("surprise-remove\n"), "");
    EXPECT_FALSE(GetOverlappedResult(H, &Ov, &N, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED) << "the driver cancels what it holds";
    EXPECT_FALSE(WriteFile(H, "x", 1, &N, &Ov)) << "a request on the removed port is refused";
    CloseHandle(Ov.hEvent);
    ASSERT_TRUE(CloseHandle(H));
    Forget(H);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Io, StdHandles_writeGoesToTheDescriptor)
{
    HANDLE Out = GetStdHandle(STD_OUTPUT_HANDLE);
    ASSERT_NE(Out, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), Out);
    DWORD N = 99;
    EXPECT_TRUE(WriteFile(Out, "", 0, &N, nullptr));
    EXPECT_EQ(N, 0u);
    EXPECT_FALSE(CloseHandle(Out)) << "the standard handles stay";
    EXPECT_EQ(GetStdHandle(12345), INVALID_HANDLE_VALUE);
}
