/*
 * Api.cpp - kernel32's handles, files and I/O, synchronisation and time
 * over the world's I/O manager, with the I/O manager's rules: buffered
 * output is copied back only for a status that is not an error
 * (STATUS_TIMEOUT is a success: a read returns TRUE with fewer bytes); an
 * operation that pends returns FALSE with ERROR_IO_PENDING, the OVERLAPPED
 * event reset when it starts and set when it completes; a synchronous
 * handle waits. The last error is per thread and left alone on success.
 */
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include <unistd.h>

#include "Objects.h"

namespace brisum_w32 {
namespace {

thread_local DWORD LastError = 0;
thread_local DWORD ThreadId = 0;
std::atomic<DWORD> NextThreadId{1000};

std::map<std::uintptr_t, std::shared_ptr<Object>> &Handles()
{
    static auto *Table = new std::map<std::uintptr_t, std::shared_ptr<Object>>;
    return *Table;
}

std::uintptr_t NextHandle = 0x100;

DWORD CurrentThreadId()
{
    if (ThreadId == 0) ThreadId = NextThreadId++;
    return ThreadId;
}

void SignalEvent(HANDLE H)
{
    if (auto Ev = LookupEvent(H)) Ev->Signalled = true;
}

/* Completes what finished in the world: the caller's record, its output
   buffer (buffered I/O, not for an error status), its event and the file. */
void Deliver()
{
    auto &List = InFlight();
    for (auto It = List.begin(); It != List.end();) {
        Pending &P = **It;
        if (!P.Op->Completed()) {
            ++It;
            continue;
        }
        P.Done = true;
        P.Status = P.Op->Status();
        P.Information = static_cast<ULONG_PTR>(P.Op->Information());
        if (IsError(P.Status)) {
            P.Information = 0;
        } else if (P.Buffer) {
            const auto &Out = P.Op->Output();
            const std::size_t N = std::min<std::size_t>({P.Information, Out.size(), P.BufferLength});
            if (N) std::memcpy(P.Buffer, Out.data(), N);
        }
        if (P.StatusWord) *P.StatusWord = static_cast<ULONG_PTR>(static_cast<DWORD>(P.Status));
        if (P.InfoWord) *P.InfoWord = P.Information;
        if (P.Event) SignalEvent(P.Event);
        P.File->Signalled = true;
        It = List.erase(It);
    }
}

/* The old world's files and operations go with it; events and threads stay. */
void Forget()
{
    InFlight().clear();
    for (auto It = Handles().begin(); It != Handles().end();)
        It = It->second->K == Object::Kind::File ? Handles().erase(It) : std::next(It);
}

struct DelivererInstall {
    DelivererInstall()
    {
        SetDeliverer(Deliver);
        SetForgetter(Forget);
    }
} InstallDeliverer;

Time DeadlineAfter(DWORD Milliseconds)
{
    if (Milliseconds == INFINITE) return kForever;
    return Now() + static_cast<Time>(Milliseconds) * 10'000;
}

std::u16string Utf8ToUtf16(const char *S)
{
    std::u16string Out;
    for (const unsigned char *P = reinterpret_cast<const unsigned char *>(S); *P; ++P) Out.push_back(*P);
    return Out;
}

/* "\\.\COM10" and "\\?\COM10" name the DOS device; an NT name
   ("\Device\Serial0", "\DosDevices\COM3", "\??\COM3") is taken as given.
   A bare name is a DOS device only for COM1 to COM9 (a trailing colon
   allowed), as Win32 reserves them; any other bare name is a file of the
   current directory, which the layer has none of: empty, and the open fails
   with ERROR_FILE_NOT_FOUND. */
std::u16string DeviceName(std::u16string Name)
{
    for (const char16_t *Prefix : {u"\\\\.\\", u"\\\\?\\"}) {
        std::u16string P(Prefix);
        if (Name.compare(0, P.size(), P) == 0) return Name.substr(P.size());
    }
    if (Name.compare(0, 4, u"\\??\\") == 0) return u"\\DosDevices\\" + Name.substr(4);
    if (!Name.empty() && Name[0] == u'\\') return Name;
    if (!Name.empty() && Name.back() == u':') Name.pop_back();
    auto Upper = [](char16_t C) { return C >= u'a' && C <= u'z' ? static_cast<char16_t>(C - u'a' + u'A') : C; };
    if (Name.size() == 4 && Upper(Name[0]) == u'C' && Upper(Name[1]) == u'O' && Upper(Name[2]) == u'M' &&
        Name[3] >= u'1' && Name[3] <= u'9')
        return u"COM" + Name.substr(3);
    return {};
}

HANDLE OpenPort(const std::u16string &Name, DWORD Disposition, DWORD Flags)
{
    Enter E;
    if (Name.empty()) {
        LastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (Disposition != OPEN_EXISTING && Disposition != OPEN_ALWAYS) {
        /* A device cannot be created or truncated. */
        LastError = Disposition >= CREATE_NEW && Disposition <= TRUNCATE_EXISTING ? ERROR_ACCESS_DENIED
                                                                                  : ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string Device = DeviceName(Name);
    if (Device.empty()) {
        LastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    int World = 0;
    NtStatus S = Open(Device, &World);
    if (IsError(S)) {
        LastError = Win32Error(S);
        return INVALID_HANDLE_VALUE;
    }
    auto F = std::make_shared<FileObject>();
    F->World = World;
    F->Overlapped = (Flags & FILE_FLAG_OVERLAPPED) != 0;
    return AddHandle(F);
}

using Starter = IoRef (*)(int, const void *, DWORD, DWORD, DWORD);

/* The standard handles: the process's descriptors 0 to 2. */
struct StdObject : Object {
    explicit StdObject(int Fd) : Object(Kind::Std), Descriptor(Fd) {}
    int Descriptor;
    bool TakeSignal() override { return true; }
};

int StdDescriptor(HANDLE H)
{
    Enter E;
    auto O = Lookup(H);
    return O && O->K == Object::Kind::Std ? static_cast<StdObject *>(O.get())->Descriptor : -1;
}

/* A read or write of a standard handle goes straight to its descriptor,
   synchronously and outside the layer's lock: a thread reading its input
   counts as running, so virtual time stands still meanwhile. */
BOOL StdIo(int Fd, bool Write, void *Buffer, DWORD Length, LPDWORD Done)
{
    if (Done) *Done = 0;
    const ssize_t N = Write ? ::write(Fd, Buffer, Length) : ::read(Fd, Buffer, Length);
    if (N < 0) return Fail(Write ? ERROR_WRITE_FAULT : ERROR_READ_FAULT);
    if (Done) *Done = static_cast<DWORD>(N);
    return TRUE;
}

/* The common path of ReadFile, WriteFile, DeviceIoControl and the native
   calls: starts the request with its completion words reset (status
   pending) and its event cleared. Returns the status the request has when
   the call returns: STATUS_PENDING on an overlapped handle whose request
   is still in flight; a synchronous handle waits for the completion. */
NtStatus StartTransfer(Enter &E, FileObject &File, const std::shared_ptr<FileObject> &F, Starter Start, DWORD Code,
                       const void *In, DWORD InLength, void *Out, DWORD OutLength, const Completion &C,
                       ULONG_PTR *Information)
{
    if (C.StatusWord) *C.StatusWord = kStatusPending;
    if (C.InfoWord) *C.InfoWord = 0;
    if (C.Event) {
        auto Ev = LookupEvent(C.Event);
        if (!Ev) return kStatusInvalidHandle;
        Ev->Signalled = false;
    }
    File.Signalled = false;
    PendingRef P = Track(Start(File.World, In, InLength, OutLength, Code), F, C, Out, OutLength);
    Deliver();
    if (!P->Done) {
        if (File.Overlapped) return kStatusPending;
        BlockUntil(
            E, [P]() { return P->Done; }, kForever);
        if (!P->Done) return kStatusUnsuccessful;
    }
    *Information = P->Information;
    return P->Status;
}

BOOL Transfer(HANDLE H, Starter Start, DWORD Code, const void *In, DWORD InLength, void *Out, DWORD OutLength,
              LPDWORD Returned, LPOVERLAPPED Ov)
{
    Enter E;
    auto F = LookupFile(H);
    if (!F) return Fail(ERROR_INVALID_HANDLE);
    if (F->Overlapped && !Ov) return Fail(ERROR_INVALID_PARAMETER);
    if (Returned) *Returned = 0;
    ULONG_PTR Information = 0;
    const NtStatus S =
        StartTransfer(E, *F, F, Start, Code, In, InLength, Out, OutLength, Completion::Of(Ov), &Information);
    if (S == kStatusPending) return Fail(ERROR_IO_PENDING);
    if (IsError(S)) return FailStatus(S);
    if (Returned) *Returned = static_cast<DWORD>(Information);
    return TRUE;
}

/* NtReadFile and NtWriteFile: the status itself is the answer. */
NTSTATUS NativeTransfer(HANDLE H, HANDLE Event, PIO_STATUS_BLOCK Iosb, Starter Start, const void *In, DWORD InLength,
                        void *Out, DWORD OutLength)
{
    Enter E;
    auto F = LookupFile(H);
    if (!F) return kStatusInvalidHandle;
    if (!Iosb) return kStatusAccessViolation;
    Completion C{nullptr, reinterpret_cast<ULONG_PTR *>(&Iosb->Pointer), &Iosb->Information, Event};
    ULONG_PTR Information = 0;
    const NtStatus S = StartTransfer(E, *F, F, Start, 0, In, InLength, Out, OutLength, C, &Information);
    return S;
}

IoRef StartRead(int World, const void *, DWORD, DWORD OutLength, DWORD) { return Read(World, OutLength); }
IoRef StartWrite(int World, const void *In, DWORD InLength, DWORD, DWORD)
{
    return Write(World, static_cast<const std::uint8_t *>(In), InLength);
}
IoRef StartIoctl(int World, const void *In, DWORD InLength, DWORD OutLength, DWORD Code)
{
    return Ioctl(World, Code, static_cast<const std::uint8_t *>(In), InLength, OutLength);
}

} // namespace

HANDLE AddHandle(std::shared_ptr<Object> O)
{
    std::uintptr_t Value = NextHandle;
    NextHandle += 4;
    Handles()[Value] = std::move(O);
    return reinterpret_cast<HANDLE>(Value);
}

std::shared_ptr<Object> Lookup(HANDLE H)
{
    auto It = Handles().find(reinterpret_cast<std::uintptr_t>(H));
    return It == Handles().end() ? nullptr : It->second;
}

std::shared_ptr<FileObject> LookupFile(HANDLE H)
{
    auto O = Lookup(H);
    return O && O->K == Object::Kind::File ? std::static_pointer_cast<FileObject>(O) : nullptr;
}

std::shared_ptr<EventObject> LookupEvent(HANDLE H)
{
    auto O = Lookup(H);
    return O && O->K == Object::Kind::Event ? std::static_pointer_cast<EventObject>(O) : nullptr;
}

bool RemoveHandle(HANDLE H) { return Handles().erase(reinterpret_cast<std::uintptr_t>(H)) != 0; }

std::list<PendingRef> &InFlight()
{
    static auto *List = new std::list<PendingRef>;
    return *List;
}

PendingRef Track(IoRef Op, std::shared_ptr<FileObject> File, const Completion &C, void *Buffer, DWORD Length)
{
    auto P = std::make_shared<Pending>();
    P->Op = std::move(Op);
    P->File = std::move(File);
    P->Overlapped = C.Overlapped;
    P->StatusWord = C.StatusWord;
    P->InfoWord = C.InfoWord;
    P->Event = C.Event;
    P->Buffer = Buffer;
    P->BufferLength = Length;
    P->IssuedBy = CurrentThreadId();
    InFlight().push_back(P);
    return P;
}

NtStatus SyncIoctl(Enter &E, FileObject &File, DWORD Code, const void *In, DWORD InLength, void *Out, DWORD OutLength,
                   DWORD *Returned)
{
    IoRef Op = Ioctl(File.World, Code, static_cast<const std::uint8_t *>(In), InLength, OutLength);
    if (!Op->Completed())
        BlockUntil(
            E, [Op]() { return Op->Completed(); }, kForever);
    if (!Op->Completed()) return static_cast<NtStatus>(0xC0000001); /* the world stopped: STATUS_UNSUCCESSFUL */
    const NtStatus S = Op->Status();
    DWORD N = 0;
    if (!IsError(S) && Out) {
        N = static_cast<DWORD>(std::min<std::size_t>({Op->Information(), Op->Output().size(), OutLength}));
        if (N) std::memcpy(Out, Op->Output().data(), N);
    }
    if (Returned) *Returned = N;
    return S;
}

BOOL Fail(DWORD Error)
{
    LastError = Error;
    return FALSE;
}

BOOL FailStatus(NtStatus Status) { return Fail(Win32Error(Status)); }

} // namespace brisum_w32

using namespace brisum_w32;

extern "C" {

DWORD WINAPI GetLastError(void) { return LastError; }
void WINAPI SetLastError(DWORD dwErrCode) { LastError = dwErrCode; }

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE)
{
    if (!lpFileName) {
        LastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    return OpenPort(std::u16string(reinterpret_cast<const char16_t *>(lpFileName)), dwCreationDisposition,
                    dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE)
{
    if (!lpFileName) {
        LastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    return OpenPort(Utf8ToUtf16(lpFileName), dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    Enter E;
    auto O = Lookup(hObject);
    if (!O || O->K == Object::Kind::Std) return Fail(ERROR_INVALID_HANDLE);
    RemoveHandle(hObject);
    if (O->K == Object::Kind::File) {
        auto F = std::static_pointer_cast<FileObject>(O);
        F->Open = false;
        NtStatus S = Close(F->World);
        if (IsError(S)) return FailStatus(S);
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    if (!lpBuffer && nNumberOfBytesToRead) return Fail(ERROR_NOACCESS);
    if (const int Fd = StdDescriptor(hFile); Fd >= 0)
        return StdIo(Fd, false, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead);
    return Transfer(hFile, StartRead, 0, nullptr, 0, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    if (!lpBuffer && nNumberOfBytesToWrite) return Fail(ERROR_NOACCESS);
    if (const int Fd = StdDescriptor(hFile); Fd >= 0)
        return StdIo(Fd, true, const_cast<void *>(lpBuffer), nNumberOfBytesToWrite, lpNumberOfBytesWritten);
    return Transfer(hFile, StartWrite, 0, lpBuffer, nNumberOfBytesToWrite, nullptr, 0, lpNumberOfBytesWritten,
                    lpOverlapped);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) return Fail(ERROR_NOACCESS);
    return Transfer(hDevice, StartIoctl, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                    lpBytesReturned, lpOverlapped);
}

BOOL WINAPI GetOverlappedResultEx(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                  DWORD dwMilliseconds, BOOL)
{
    Enter E;
    if (!lpOverlapped || !lpNumberOfBytesTransferred) return Fail(ERROR_INVALID_PARAMETER);
    auto F = LookupFile(hFile);
    if (!F) return Fail(ERROR_INVALID_HANDLE);
    Deliver();
    auto Completed = [lpOverlapped]() { return lpOverlapped->Internal != kStatusPending; };
    if (!Completed()) {
        if (dwMilliseconds == 0) return Fail(ERROR_IO_INCOMPLETE);
        if (!BlockUntil(E, Completed, DeadlineAfter(dwMilliseconds)))
            return Fail(Completed() ? ERROR_GEN_FAILURE
                                    : (dwMilliseconds == INFINITE ? ERROR_GEN_FAILURE : WAIT_TIMEOUT));
    }
    *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    const NtStatus S = static_cast<NtStatus>(static_cast<DWORD>(lpOverlapped->Internal));
    if (IsError(S)) return FailStatus(S);
    return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    return GetOverlappedResultEx(hFile, lpOverlapped, lpNumberOfBytesTransferred, bWait ? INFINITE : 0, FALSE);
}

static BOOL CancelMatching(HANDLE hFile, LPOVERLAPPED Ov, bool OwnThreadOnly)
{
    Enter E;
    auto F = LookupFile(hFile);
    if (!F) return Fail(ERROR_INVALID_HANDLE);
    Deliver();
    bool Found = false;
    std::vector<PendingRef> Targets;
    for (const auto &P : InFlight())
        if (P->File == F && (!Ov || P->Overlapped == Ov) && (!OwnThreadOnly || P->IssuedBy == CurrentThreadId()))
            Targets.push_back(P);
    for (const auto &P : Targets) {
        Cancel(P->Op);
        Found = true;
    }
    if (!Found && !OwnThreadOnly) return Fail(ERROR_NOT_FOUND);
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) { return CancelMatching(hFile, nullptr, true); }
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) { return CancelMatching(hFile, lpOverlapped, false); }

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    Enter E;
    auto F = LookupFile(hFile);
    if (!F) return Fail(ERROR_INVALID_HANDLE);
    IoRef Op = Flush(F->World);
    if (!Op->Completed())
        BlockUntil(
            E, [Op]() { return Op->Completed(); }, kForever);
    if (!Op->Completed()) return Fail(ERROR_GEN_FAILURE);
    if (IsError(Op->Status())) return FailStatus(Op->Status());
    return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    Enter E;
    static HANDLE Std[3] = {};
    int Index = nStdHandle == STD_INPUT_HANDLE    ? 0
                : nStdHandle == STD_OUTPUT_HANDLE ? 1
                : nStdHandle == STD_ERROR_HANDLE  ? 2
                                                  : -1;
    if (Index < 0) {
        LastError = ERROR_INVALID_HANDLE;
        return INVALID_HANDLE_VALUE;
    }
    if (!Std[Index]) Std[Index] = AddHandle(std::make_shared<StdObject>(Index));
    return Std[Index];
}

/* ---- events, waits, threads ---- */

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR)
{
    Enter E;
    auto Ev = std::make_shared<EventObject>();
    Ev->Manual = bManualReset != FALSE;
    Ev->Signalled = bInitialState != FALSE;
    return AddHandle(Ev);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR)
{
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, nullptr);
}

static BOOL SetSignal(HANDLE hEvent, bool Signalled)
{
    Enter E;
    auto Ev = LookupEvent(hEvent);
    if (!Ev) return Fail(ERROR_INVALID_HANDLE);
    Ev->Signalled = Signalled;
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return SetSignal(hEvent, true); }
BOOL WINAPI ResetEvent(HANDLE hEvent) { return SetSignal(hEvent, false); }

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    Enter E;
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        LastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Object>> Objects;
    for (DWORD I = 0; I < nCount; ++I) {
        auto O = Lookup(lpHandles[I]);
        if (!O) {
            LastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        Objects.push_back(O);
    }
    DWORD Which = 0;
    auto Ready = [&Objects, &Which, bWaitAll]() {
        if (bWaitAll) {
            for (auto &O : Objects) {
                auto *Ev = O->K == Object::Kind::Event ? static_cast<EventObject *>(O.get()) : nullptr;
                if (Ev ? !Ev->Signalled : !O->TakeSignal()) return false;
            }
            for (auto &O : Objects) O->TakeSignal();
            return true;
        }
        for (std::size_t I = 0; I < Objects.size(); ++I)
            if (Objects[I]->TakeSignal()) {
                Which = static_cast<DWORD>(I);
                return true;
            }
        return false;
    };
    if (BlockUntil(E, Ready, DeadlineAfter(dwMilliseconds))) return WAIT_OBJECT_0 + Which;
    if (dwMilliseconds == INFINITE) {
        LastError = ERROR_GEN_FAILURE;
        return WAIT_FAILED;
    }
    return WAIT_TIMEOUT;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL)
{
    return WaitForSingleObject(hHandle, dwMilliseconds);
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    Enter E;
    if (!lpStartAddress) {
        LastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (dwCreationFlags & CREATE_SUSPENDED) {
        LastError = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    auto T = std::make_shared<ThreadObject>();
    T->Id = NextThreadId++;
    if (lpThreadId) *lpThreadId = T->Id;
    AdoptNewThread();
    std::thread([T, lpStartAddress, lpParameter]() {
        StartAdoptedThread();
        ThreadId = T->Id;
        DWORD Code = lpStartAddress(lpParameter);
        Enter Leave;
        T->ExitCode = Code;
        T->Ended = true;
        EndThread();
    }).detach();
    return AddHandle(T);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    Enter E;
    auto O = Lookup(hThread);
    if (!O || O->K != Object::Kind::Thread || !lpExitCode) return Fail(ERROR_INVALID_HANDLE);
    *lpExitCode = static_cast<ThreadObject *>(O.get())->ExitCode;
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadId(); }

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL)
{
    Enter E;
    if (dwMilliseconds == 0)
        Yield(E);
    else
        BlockUntil(
            E, []() { return false; }, DeadlineAfter(dwMilliseconds));
    return 0;
}

void WINAPI Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

ULONGLONG WINAPI GetTickCount64(void)
{
    Enter E;
    return static_cast<ULONGLONG>(Now() / 10'000);
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount)
{
    Enter E;
    if (!lpPerformanceCount) return Fail(ERROR_NOACCESS);
    lpPerformanceCount->QuadPart = Now();
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency)
{
    if (!lpFrequency) return Fail(ERROR_NOACCESS);
    lpFrequency->QuadPart = 10'000'000;
    return TRUE;
}

NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                          PVOID Buffer, ULONG Length, PLARGE_INTEGER, PULONG)
{
    return NativeTransfer(FileHandle, Event, IoStatusBlock, StartRead, nullptr, 0, Buffer, Length);
}

NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                           PVOID Buffer, ULONG Length, PLARGE_INTEGER, PULONG)
{
    return NativeTransfer(FileHandle, Event, IoStatusBlock, StartWrite, Buffer, Length, nullptr, 0);
}

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) { return Win32Error(Status); }

} // extern "C"
