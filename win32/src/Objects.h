/*
 * Objects.h - the Win32 side's kernel objects (files, events, threads) and
 * its handle table. Everything here is touched only with the layer entered.
 */
#pragma once
#include <windows.h>

#include <list>
#include <memory>
#include <vector>

#include "Runtime.h"

namespace brisum_w32 {

struct Object {
    enum class Kind { File, Event, Thread, Std } K;
    explicit Object(Kind Which) : K(Which) {}
    virtual ~Object() = default;
    /* For waits: whether the object is signalled, taking it when it is an
       auto-reset event. */
    virtual bool TakeSignal() = 0;
};

struct FileObject;

/* One operation in flight and what is to happen when it completes. */
struct Pending {
    IoRef Op;
    std::shared_ptr<FileObject> File;
    LPOVERLAPPED Overlapped = nullptr; /* the caller's, or null (CancelIoEx matches it) */
    ULONG_PTR *StatusWord = nullptr;   /* OVERLAPPED.Internal or IO_STATUS_BLOCK.Status */
    ULONG_PTR *InfoWord = nullptr;     /* OVERLAPPED.InternalHigh or IO_STATUS_BLOCK.Information */
    HANDLE Event = nullptr;            /* set when the operation completes */
    void *Buffer = nullptr;            /* where buffered output goes */
    DWORD BufferLength = 0;
    DWORD IssuedBy = 0; /* thread id, for CancelIo */
    bool Done = false;
    NtStatus Status = kStatusPending;
    ULONG_PTR Information = 0;
};
using PendingRef = std::shared_ptr<Pending>;

struct FileObject : Object {
    FileObject() : Object(Kind::File) {}
    int World = 0;
    bool Overlapped = false;
    bool Open = true;
    bool Signalled = true;
    bool TakeSignal() override { return Signalled; }
};

struct EventObject : Object {
    EventObject() : Object(Kind::Event) {}
    bool Manual = false;
    bool Signalled = false;
    bool TakeSignal() override
    {
        if (!Signalled) return false;
        if (!Manual) Signalled = false;
        return true;
    }
};

struct ThreadObject : Object {
    ThreadObject() : Object(Kind::Thread) {}
    bool Ended = false;
    DWORD ExitCode = STILL_ACTIVE;
    DWORD Id = 0;
    bool TakeSignal() override { return Ended; }
};

HANDLE AddHandle(std::shared_ptr<Object> O);
std::shared_ptr<Object> Lookup(HANDLE H);
std::shared_ptr<FileObject> LookupFile(HANDLE H);
std::shared_ptr<EventObject> LookupEvent(HANDLE H);
bool RemoveHandle(HANDLE H);

/* Where a request's completion goes: the caller's status words (those of
   an OVERLAPPED or an IO_STATUS_BLOCK) and event. */
struct Completion {
    LPOVERLAPPED Overlapped = nullptr;
    ULONG_PTR *StatusWord = nullptr;
    ULONG_PTR *InfoWord = nullptr;
    HANDLE Event = nullptr;
    static Completion Of(LPOVERLAPPED Ov)
    {
        return Ov ? Completion{Ov, &Ov->Internal, &Ov->InternalHigh, Ov->hEvent} : Completion{};
    }
};

/* Starts an I/O and registers it; completion is delivered by Deliver(). */
PendingRef Track(IoRef Op, std::shared_ptr<FileObject> File, const Completion &C, void *Buffer, DWORD Length);
std::list<PendingRef> &InFlight();

/* A synchronous control request on File (as kernel32's own calls make
   them, whatever the handle's kind): waits for it; output into Out. */
NtStatus SyncIoctl(Enter &E, FileObject &File, DWORD Code, const void *In, DWORD InLength, void *Out, DWORD OutLength,
                   DWORD *Returned);

/* ClearCommError's mapping: SERIAL_ERROR_* bits to CE_* bits, and the
   hold reasons and queue amounts of SERIAL_STATUS to a COMSTAT. */
DWORD CommErrorsOf(ULONG SerialErrors);
COMSTAT ComstatOf(ULONG HoldReasons, ULONG InQueue, ULONG OutQueue);

/* Sets the thread's last error and returns FALSE. */
BOOL Fail(DWORD Error);
BOOL FailStatus(NtStatus Status);

} // namespace brisum_w32
