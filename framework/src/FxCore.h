/*
 * FxCore.h - the hosted framework's object model and execution context.
 *
 * Everything behind a WDF handle is an fx::Object: a type tag, a parent and
 * children, typed contexts allocated zero-filled with the object, cleanup
 * and destroy callbacks, and a reference count. Handles are opaque values
 * that are never reused, so a handle of a deleted object or of the wrong type
 * is caught (verifier report) instead of touching freed memory.
 *
 * Lifetime
 *   Creation holds one reference. Delete() (WdfObjectDelete, or deletion of
 *   the parent) deletes the children first, runs EvtCleanupCallback, detaches
 *   the object from its parent and drops the creation reference. When the
 *   last reference goes, EvtDestroyCallback runs and the memory (contexts
 *   included) is freed. Between the two the handle still resolves for
 *   context access and dereference only.
 *
 * Execution context
 *   One host thread runs the world. fx::Irql() is the current IRQL;
 *   IrqlScope sets it for a callback. The device-wide lock of
 *   WdfSynchronizationScopeDevice is held through DeviceLockScope around
 *   queue callbacks, cancel routines of requests and serialized timer, DPC
 *   and work-item callbacks; taking it again while it is held is a verifier
 *   report. The driver's pool allocations are charged to fx::CurrentDevice()
 *   (set while a callback of that device runs) for the leak check at device
 *   deletion.
 *
 * How a USB I/O target plugs in
 *   A pipe or the USB device's control target is a subclass of fx::IoTarget.
 *   It implements Submit(Request*): called by WdfRequestSend after the
 *   generic checks (target started or IGNORE_TARGET_STATE, request formatted
 *   for this target, device present). Submit reads the request's UsbFormat
 *   slot (filled by the WdfUsb*Format* calls), hands the transfer to the
 *   device's UsbDeviceModel (fx::UsbModelOf) and returns
 *   STATUS_PENDING; the model's completion (a scheduler event) calls
 *   CompleteSent(Request*, Status, Information) after filling
 *   Request::Usb.Params, which runs the driver's completion routine at
 *   DISPATCH_LEVEL. fx::DeviceFromHandle and fx::UsbModelOf lead from a
 *   WDFDEVICE to its USB model. A non-pending status from Submit makes WdfRequestSend
 *   return FALSE with that status, no completion routine run. Abort(Request*)
 *   asks for an in-flight request to be cancelled (stop with cancel, send
 *   time-out, WdfRequestCancelSentRequest); its completion still arrives
 *   through CompleteSent. OnStart/OnStop let a pipe start and stop its
 *   continuous reader. Objects of the USB stand-in use the ObjectType values
 *   UsbDevice, UsbInterface and UsbPipe.
 */
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <ntddk.h>
#include <wdf.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdfusb.h>

#include "KitCalls.h"
#include "NodePool.h"
#include "Scheduler.h"

namespace fx {

class Processors;
class UsbDeviceModel;
class Object;
class LockOrder;

class Device;
class Queue;
class FileObject;
class Request;
class IoTarget;
class Memory;
struct LockStack;
struct PhysicalDevice;

enum class ObjectType {
    Driver,
    Device,
    Queue,
    Request,
    FileObject,
    Timer,
    Dpc,
    WorkItem,
    SpinLock,
    WaitLock,
    Memory,
    String,
    Key,
    IoTarget,
    UsbDevice,
    UsbInterface,
    UsbPipe,
    Generic,
};
const char *TypeName(ObjectType Type);

/* A counted UNICODE_STRING as text (empty for none), and text narrowed to
   ASCII for reports ('?' for the rest). */
inline std::u16string FromUnicode(PCUNICODE_STRING S)
{
    if (S == nullptr || S->Buffer == nullptr) return {};
    return std::u16string(reinterpret_cast<const char16_t *>(S->Buffer), S->Length / sizeof(WCHAR));
}
inline std::string Narrow(const std::u16string &S)
{
    std::string R;
    for (char16_t C : S) R.push_back(C < 0x80 ? static_cast<char>(C) : '?');
    return R;
}

/* ------------------------------------------------------------------ */
/* Verifier, fault injection, host access                              */
/* ------------------------------------------------------------------ */

/* A misuse the kit's verifier would catch. Fatal (printed, then abort)
   unless the host collects reports. */
void VerifierReport(const char *Rule, const std::string &Message);

/* The execution context of the one caller running now (IRQL, device,
   locks, callback depth); a blocking call that waits on a thread of its own
   keeps its own and gets it back when it resumes. */
struct ExecutionContext {
    KIRQL Irql;
    Device *Current;
    int LocksHeld;
    int CallDepth;
    std::uint64_t Context;
    LockStack *HeldLocks; /* the locks this thread holds (core/LockOrder.h); nullptr: the world's thread */
};
ExecutionContext SaveContext();
void RestoreContext(const ExecutionContext &Saved);

/* The handles of the live objects: one slot per object, slots reused
   through a free list. A handle names its slot and the slot's generation,
   which moves on each time the slot is freed, so no handle value is ever
   handed out twice, a lookup is an index, and the handle of a deleted
   object is told from a value never handed out. A slot whose generation
   is spent is retired. */
class HandleTable {
public:
    std::uintptr_t Insert(Object *Obj)
    {
        std::uint32_t Slot;
        if (free_ != kNoSlot) {
            Slot = free_;
            free_ = slots_[Slot].NextFree;
        } else {
            Slot = static_cast<std::uint32_t>(slots_.size());
            slots_.push_back(Entry{nullptr, 0, 0, kNoSlot});
            count_ = slots_.size();
        }
        Entry &E = slots_[Slot];
        E.Obj = Obj;
        E.Handle = Encode(Slot, E.Generation);
        ++live_;
        return E.Handle;
    }
    /* The live object Handle names, or nullptr. A live slot keeps its
       handle whole, so one comparison checks base, alignment, slot and
       generation at once; a free slot's is 0, which no handle is. */
    [[gnu::always_inline]] Object *Find(std::uintptr_t Handle) const
    {
        const std::uintptr_t Slot = ((Handle - kBase) >> 4) & 0xFFFFFFFFU;
        if (Slot >= count_) {
            return nullptr;
        }
        const Entry &E = slots_[Slot];
        return E.Handle == Handle ? E.Obj : nullptr;
    }
    /* TRUE when the table handed Handle out (to an object live or gone). */
    bool Issued(std::uintptr_t Handle) const
    {
        std::uint32_t Slot;
        std::uint32_t Generation;
        if (!Decode(Handle, &Slot, &Generation) || Slot >= slots_.size()) {
            return false;
        }
        const Entry &E = slots_[Slot];
        return Generation < E.Generation || (Generation == E.Generation && E.Obj != nullptr);
    }
    void Erase(std::uintptr_t Handle)
    {
        std::uint32_t Slot;
        std::uint32_t Generation;
        if (Find(Handle) == nullptr || !Decode(Handle, &Slot, &Generation)) {
            return;
        }
        Entry &E = slots_[Slot];
        E.Obj = nullptr;
        E.Handle = 0;
        --live_;
        if (++E.Generation < kGenerations) {
            E.NextFree = free_;
            free_ = Slot;
        }
    }
    std::size_t Size() const { return live_; }
    /* The live objects, in slot order. */
    std::vector<Object *> Live() const
    {
        std::vector<Object *> Out;
        for (const Entry &E : slots_) {
            if (E.Obj != nullptr) Out.push_back(E.Obj);
        }
        return Out;
    }
    void Clear()
    {
        for (std::uint32_t Slot = 0; Slot < slots_.size(); ++Slot) {
            if (slots_[Slot].Obj != nullptr) {
                Erase(Encode(Slot, slots_[Slot].Generation));
            }
        }
    }

private:
    static constexpr std::uintptr_t kBase = 0x1000;
    static constexpr std::uint32_t kNoSlot = 0xFFFFFFFF;
    static constexpr std::uint32_t kGenerations = 1U << 27; /* keeps a handle within 64 bits */
    struct Entry {
        Object *Obj;
        std::uintptr_t Handle; /* while live; 0 while free */
        std::uint32_t Generation;
        std::uint32_t NextFree;
    };
    static std::uintptr_t Encode(std::uint32_t Slot, std::uint32_t Generation)
    {
        return kBase + (((static_cast<std::uintptr_t>(Generation) << 32) | Slot) << 4);
    }
    [[gnu::always_inline]] static bool Decode(std::uintptr_t Handle, std::uint32_t *Slot, std::uint32_t *Generation)
    {
        if (Handle < kBase || (Handle & 0xF) != 0) {
            return false;
        }
        const std::uintptr_t Index = (Handle - kBase) >> 4;
        *Slot = static_cast<std::uint32_t>(Index & 0xFFFFFFFF);
        *Generation = static_cast<std::uint32_t>(Index >> 32);
        return *Generation < kGenerations;
    }
    std::vector<Entry> slots_;
    /* slots_.size(), kept apart so the look-up of every kit call compares
       with one load instead of dividing the vector's extent. */
    std::size_t count_ = 0;
    std::uint32_t free_ = kNoSlot;
    std::size_t live_ = 0;
};

/* The part of the one host (FxHost.h) that nearly every kit call reads:
   reached through an inline accessor instead of a call. */
struct HostCore {
    Scheduler Clock;
    KIRQL Irql = PASSIVE_LEVEL;
    Device *Current = nullptr; /* the device whose callback runs (pool accounting) */
    /* Work run at the Remaining-th next call of Call, at its preemption
       point (World::AtNthCall). */
    struct CallHook {
        KitCall Call;
        int Remaining;
        std::function<void()> Action;
    };
    std::vector<CallHook> CallHooks;
    /* Faults asked for: the Remaining-th next call of Call that reaches its
       injection point fails with Status (World::FailNthCall). */
    struct Fault {
        KitCall Call;
        int Remaining;
        NTSTATUS Status;
    };
    std::vector<Fault> Faults;
    HandleTable Handles;
    /* The lock-order verifier (core/LockOrder.h), made on first use, and
       the locks the running thread of execution holds (nullptr: the
       world's own thread). */
    std::shared_ptr<LockOrder> LockVerifier;
    LockStack *HeldLocks = nullptr;
};
namespace detail {
/* The one host, set while a HostState exists. */
extern HostCore *CurrentHost;
/* A host was needed and none exists: reported, then fatal. */
[[noreturn]] void NoHost();
} // namespace detail

/* TRUE while the one host exists (FxHost.h); the host's clock. */
inline bool HaveHost() { return detail::CurrentHost != nullptr; }
inline Scheduler &Clock();

/* The driver's trace messages go here (DbgPrint / DbgPrintEx). TraceWanted
   is FALSE while nobody listens: the print routines then skip formatting,
   as the kernel's do for a component and level its filter leaves out. */
void Trace(const std::string &Message);
bool TraceWanted();

/* printf-style formatting with the kernel's conversions: %d %i %u %x %X %p
   %c %s %ws %S %wZ %% with the l, ll, h, w, I64 and z prefixes, width and
   zero padding. */
std::string FormatV(const char *Format, va_list Args);
std::u16string FormatWV(const char16_t *Format, va_list Args);

/* ------------------------------------------------------------------ */
/* Execution context                                                   */
/* ------------------------------------------------------------------ */
/* The core of the one host (fatal when none exists). */
inline HostCore &Core()
{
    if (detail::CurrentHost == nullptr) [[unlikely]] {
        detail::NoHost();
    }
    return *detail::CurrentHost;
}
inline Scheduler &Clock() { return Core().Clock; }
/* PASSIVE_LEVEL while no host exists. */
inline KIRQL Irql() { return HaveHost() ? detail::CurrentHost->Irql : (KIRQL)PASSIVE_LEVEL; }
inline void SetIrql(KIRQL Level) { Core().Irql = Level; }

/* A kit call's preemption point on several simulated processors. */
void PreemptKitCall(Processors *Cpus);

inline KitEntry::KitEntry(KitCall Call) : call_(Call), irqlOk_(true)
{
    const KIRQL Level = Irql();
    const KitIrql Rule = kKitIrql[static_cast<std::size_t>(Call)];
    if ((Rule == KitIrql::PASSIVE && Level > PASSIVE_LEVEL) || (Rule == KitIrql::DISPATCH && Level > DISPATCH_LEVEL))
        [[unlikely]] {
        irqlOk_ = IrqlAllowed(Call, Level);
    }
    if (HostCore *H = detail::CurrentHost) [[likely]] {
        /* Every kit call is a point where another processor may go on. */
        if (Processors *Cpus = H->Clock.Cpus()) [[unlikely]] {
            PreemptKitCall(Cpus);
        }
        /* What the world asked to land at this point runs before the routine
           looks at anything, as work from another processor would. */
        if (!H->CallHooks.empty()) [[unlikely]] {
            RunCallHooks(Call);
        }
    }
}

inline bool KitEntry::Injected(NTSTATUS *Status) const
{
    if (kKitFault[static_cast<std::size_t>(call_)] != KitFault::FAILABLE) [[unlikely]] {
        NotFailable();
    }
    HostCore *H = detail::CurrentHost;
    return H != nullptr && !H->Faults.empty() && InjectedNow(Status);
}

class IrqlScope {
public:
    explicit IrqlScope(KIRQL Level) : saved_(Core().Irql) { Core().Irql = Level; }
    ~IrqlScope() { Core().Irql = saved_; }
    IrqlScope(const IrqlScope &) = delete;
    IrqlScope &operator=(const IrqlScope &) = delete;

private:
    KIRQL saved_;
};

/* The device whose callback is running (pool accounting), or nullptr. */
inline Device *CurrentDevice() { return HaveHost() ? detail::CurrentHost->Current : nullptr; }
class CurrentDeviceScope {
public:
    explicit CurrentDeviceScope(Device *Dev) : saved_(Core().Current) { Core().Current = Dev; }
    ~CurrentDeviceScope() { Core().Current = saved_; }
    CurrentDeviceScope(const CurrentDeviceScope &) = delete;
    CurrentDeviceScope &operator=(const CurrentDeviceScope &) = delete;

private:
    Device *saved_;
};

/* Holds the device-wide lock (raising to DISPATCH_LEVEL) for its lifetime.
   Re-entry is a verifier report. Site: the framework code that runs the
   callback under it (the lock-order verifier's name for the acquisition). */
class DeviceLockScope {
public:
    explicit DeviceLockScope(Device *Dev, const void *Site = nullptr);
    ~DeviceLockScope();
    DeviceLockScope(const DeviceLockScope &) = delete;
    DeviceLockScope &operator=(const DeviceLockScope &) = delete;

private:
    Device *dev_;
    KIRQL saved_;
    Device *savedCurrent_;
};
bool DeviceLockHeld(const Device *Dev);

/* A callable passed down for the length of one call, not kept: refers to
   the caller's callable instead of copying it, so handing a lambda to a
   routine that runs it at once allocates nothing. */
class CallableRef {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, CallableRef>>>
    CallableRef(F &&Fn) // NOLINT(google-explicit-constructor): stands in for the callable it refers to
        : target_(const_cast<void *>(static_cast<const void *>(&Fn))),
          invoke_([](void *T) { (*static_cast<std::remove_reference_t<F> *>(T))(); })
    {}
    void operator()() const { invoke_(target_); }

private:
    void *target_;
    void (*invoke_)(void *);
};

/* Runs Fn as a driver callback of Dev at Level (PASSIVE_LEVEL or
   DISPATCH_LEVEL), under the device-wide lock when Serialized. */
void CallDriver(Device *Dev, KIRQL Level, bool Serialized, CallableRef Fn);

/* Runs Fn as a PnP or power callback (device add included) of the device
   node Node at PASSIVE_LEVEL. The framework's PnP and power state machine
   runs a device's callbacks one at a time, each after the one before: the
   race build is told so on Node. */
void CallPnpPower(PhysicalDevice *Node, Device *Dev, CallableRef Fn);

/* Schedules Fn as an event of the world at the current time (after the
   events already due). */
void Defer(std::function<void()> Fn, const char *What);

/* Passive-only calls: a report when called above PASSIVE_LEVEL. */
bool RequirePassive(const char *Api);

/* ------------------------------------------------------------------ */
/* Objects                                                             */
/* ------------------------------------------------------------------ */
class Object {
public:
    Object(ObjectType Type, Device *Owner);
    virtual ~Object();
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;

    /* Applies the caller's attributes (context type, callbacks, parent:
       Attributes->ParentObject, else DefaultParent) and publishes the handle.
       On failure the caller deletes the object with Destroy(). */
    NTSTATUS Commit(PWDF_OBJECT_ATTRIBUTES Attributes, Object *DefaultParent, const char *Api);
    /* Frees an object whose Commit failed or that was never committed. */
    static void Destroy(Object *Obj);

    WDFOBJECT Handle() const { return handle_; }
    template <class H> H HandleAs() const { return reinterpret_cast<H>(handle_); }
    ObjectType Type() const { return type_; }
    Object *Parent() const { return parent_; }
    Device *OwnerDevice() const { return owner_; }
    using ChildList = std::vector<Object *, FewAllocator<Object *>>;
    const ChildList &Children() const { return children_; }

    /* Not yet deleted. */
    bool Alive() const { return state_ == State::Live; }
    /* Delete was called (cleanup done or running) but references remain. */
    bool Disposed() const { return state_ != State::Live; }
    /* Disposed as a child of an object whose deletion is still running:
       its handle stays usable until the parent's cleanup is done. */
    bool DisposedWithParent() const { return disposedWithParent_; }

    /* Framework-side deletion: children first, cleanup callbacks, then the
       creation reference goes. Idempotent. */
    void Delete();
    void Reference();
    void Dereference();
    long References() const { return refs_; }
    /* The framework is done with this object but others still hold
       references: it is deleted when the last of those goes (at once when
       none is held). How the framework releases a buffer it handed to a
       driver that may have referenced it. */
    void DeleteWhenUnreferenced();

    /* Contexts. */
    void *FindContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) const;
    /* Adds a zero-filled context; STATUS_OBJECT_NAME_EXISTS-like failure when
       the type is already present (returns nullptr). */
    void *AddContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo, size_t Size, PFN_WDF_OBJECT_CONTEXT_CLEANUP Cleanup,
                     PFN_WDF_OBJECT_CONTEXT_DESTROY Destroy);
    static Object *FromContext(const void *Context);

    /* Attributes kept for children that inherit them. */
    WDF_EXECUTION_LEVEL ExecutionLevel = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE SyncScope = WdfSynchronizationScopeInheritFromParent;

    /* Debug label for reports. */
    std::string Describe() const;

    /* Whether WdfObjectDelete by the driver is allowed for this object
       (reports the reason when not). */
    virtual bool DriverMayDelete() const { return true; }
    /* This object as an I/O target, or nullptr when it is none. */
    virtual IoTarget *AsIoTarget() { return nullptr; }

protected:
    /* The device an object belongs to for accounting (a device owns itself). */
    void SetOwnerDevice(Device *Dev) { owner_ = Dev; }
    /* Subclass teardown run by Delete() before the children go (stop timers,
       cancel requests, fail queued I/O). */
    virtual void OnDelete() {}

private:
    enum class State { Live, Deleting, Disposed };
    struct Context {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO Type;
        void *Block; /* header + data */
        PFN_WDF_OBJECT_CONTEXT_CLEANUP Cleanup;
        PFN_WDF_OBJECT_CONTEXT_DESTROY Destroy;
    };
    void Free();
    void AttachTo(Object *Parent);
    void DetachFromParent();

    ObjectType type_;
    Device *owner_;
    WDFOBJECT handle_ = nullptr;
    Object *parent_ = nullptr;
    ChildList children_;
    std::vector<Context, FewAllocator<Context>> contexts_;
    State state_ = State::Live;
    long refs_ = 1;
    bool committed_ = false;
    bool disposedWithParent_ = false;
    bool deleteWhenUnreferenced_ = false;
};

/* Commit for an object that its creator gives up when Commit fails: the
   object is then destroyed (Object::Destroy) and Commit's status returned. */
inline NTSTATUS CommitOrDestroy(Object *Obj, PWDF_OBJECT_ATTRIBUTES Attributes, Object *DefaultParent, const char *Api)
{
    NTSTATUS Status = Obj->Commit(Attributes, DefaultParent, Api);
    if (!NT_SUCCESS(Status)) {
        Object::Destroy(Obj);
    }
    return Status;
}
/* The end of a create call: CommitOrDestroy, and on success the new
   object's handle in *Out (left as it was on failure). */
template <class H>
NTSTATUS CommitNew(Object *Obj, PWDF_OBJECT_ATTRIBUTES Attributes, Object *DefaultParent, const char *Api, H *Out)
{
    NTSTATUS Status = CommitOrDestroy(Obj, Attributes, DefaultParent, Api);
    if (NT_SUCCESS(Status)) {
        *Out = Obj->HandleAs<H>();
    }
    return Status;
}

/* Handle lookup with type and liveness checks: a report and nullptr when
   the handle is null, unknown, deleted or of another type. AllowDisposed
   lets context access and dereference reach a deleted-but-referenced object. */
namespace detail {
/* The reports of a failed lookup, out of the callers' way: both return nullptr. */
[[gnu::cold]] Object *BadHandle(WDFOBJECT Handle, const char *Api, bool AllowDisposed);
[[gnu::cold]] Object *WrongType(const Object *O, ObjectType Type, const char *Api);
} // namespace detail
[[gnu::always_inline]] inline Object *Lookup(WDFOBJECT Handle, const char *Api, bool AllowDisposed = false)
{
    Object *O = Core().Handles.Find(reinterpret_cast<std::uintptr_t>(Handle));
    if (O == nullptr || (!AllowDisposed && !O->Alive() && !O->DisposedWithParent())) [[unlikely]] {
        return detail::BadHandle(Handle, Api, AllowDisposed);
    }
    return O;
}
[[gnu::always_inline]] inline Object *LookupTyped(WDFOBJECT Handle, ObjectType Type, const char *Api,
                                                  bool AllowDisposed = false)
{
    Object *O = Lookup(Handle, Api, AllowDisposed);
    if (O != nullptr && O->Type() != Type) [[unlikely]] {
        return detail::WrongType(O, Type, Api);
    }
    return O;
}
template <class T> [[gnu::always_inline]] inline T *As(void *Handle, ObjectType Type, const char *Api)
{
    return static_cast<T *>(LookupTyped(reinterpret_cast<WDFOBJECT>(Handle), Type, Api));
}
/* Lookup without reports (nullptr when not a live handle). */
Object *TryLookup(WDFOBJECT Handle);
/* TryLookup of a handle whose object type the caller knows: an event or a
   wait that may outlive the object it was made for. */
template <class T, class H> T *TryLookupAs(H Handle)
{
    return static_cast<T *>(TryLookup(reinterpret_cast<WDFOBJECT>(Handle)));
}

/* The device behind a WDFDEVICE handle (a report and nullptr when it is not one). */
Device *DeviceFromHandle(WDFDEVICE Handle, const char *Api);
/* The USB model of the device's physical device, or nullptr. */
UsbDeviceModel *UsbModelOf(Device *Dev);
/* TRUE while the device is present (not removed or surprise-removed). */
bool DevicePresent(Device *Dev);

/* ------------------------------------------------------------------ */
/* Memory                                                              */
/* ------------------------------------------------------------------ */
class Memory : public Object, public PooledNew<Memory> {
public:
    Memory(Device *Owner, void *Buffer, size_t Size, ULONG Tag, bool Owned);
    ~Memory() override;
    void *Buffer() const { return buffer_; }
    size_t Size() const { return size_; }
    ULONG Tag() const { return tag_; }
    /* Made by the driver's WdfMemoryCreate: pool under the driver's tag, as
       the kit allocates it, and counted as the driver's memory. */
    bool DriverMade = false;

private:
    void *buffer_;
    size_t size_;
    ULONG tag_;
    bool owned_;
};
/* Creates a framework memory object outside any driver call (for the USB
   stand-in's reader buffers); the buffer is zero-filled. nullptr on failure. */
Memory *CreateMemory(Device *Owner, Object *Parent, size_t Size, ULONG Tag, PWDF_OBJECT_ATTRIBUTES Attributes,
                     NTSTATUS *Status);

/* ------------------------------------------------------------------ */
/* Requests                                                            */
/* ------------------------------------------------------------------ */
/* What a WdfUsb*Format* call stores in a request. */
struct UsbFormat {
    bool Formatted = false;
    IoTarget *Target = nullptr; /* the pipe's or USB device's target */
    WDF_USB_REQUEST_COMPLETION_PARAMS Params{};
    /* The format call takes a reference on Buffer (Buffer->Reference());
       Request::ReleaseUsbFormat drops it (called on re-format by the format
       call, and by the request when it is deleted). */
    Memory *Buffer = nullptr;
    size_t Offset = 0;
    size_t Length = 0;
    WDF_USB_CONTROL_SETUP_PACKET Setup{};
    std::shared_ptr<void> Extra;  /* the USB stand-in's own per-request data */
    std::uint64_t TransferId = 0; /* model transfer while in flight */
    std::uint64_t Submission = 0; /* tag of the submission in flight, which its completion carries */
};

class Request : public Object, public PooledNew<Request> {
public:
    enum class Origin { IoManager, Driver };
    enum class Where {
        Idle,      /* driver-created, not sent */
        InQueue,   /* waiting in Queue() */
        Driver,    /* presented to / retrieved by the driver */
        Sent,      /* at an I/O target */
        Completed, /* done; any further use is a report */
    };

    Request(Device *Owner, Origin From);
    ~Request() override;

    Origin From() const { return from_; }
    Where State() const { return where_; }
    void SetState(Where W) { where_ = W; }

    /* Parameters as the driver sees them. */
    WDF_REQUEST_PARAMETERS Params{};
    UCHAR MajorFunction = 0;
    ULONG IoControlCode = 0;
    /* Buffers: read output, write input, ioctl (METHOD_BUFFERED: one system
       buffer for input and output). */
    std::vector<std::uint8_t> SystemBuffer;
    size_t InputLength = 0;
    size_t OutputLength = 0;

    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;

    Queue *OwningQueue = nullptr; /* queue it is in or was presented by */
    Queue *PresentedBy = nullptr; /* counts as driver-owned for this queue */
    bool Presented = false;       /* ever presented to or retrieved by the driver */
    FileObject *File = nullptr;

    /* Cancellation. */
    bool CancelRequested = false; /* the I/O manager asked */
    PFN_WDF_REQUEST_CANCEL CancelRoutine = nullptr;
    bool CancelRoutineScheduled = false; /* run pending: unmark fails */
    bool CancelRoutineCalled = false;    /* it ran or runs (on another processor): unmark fails */
    bool StopAcknowledged = false;
    bool StopPending = false;

    /* Sending. */
    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine = nullptr;
    WDFCONTEXT CompletionContext = nullptr;
    IoTarget *SentTo = nullptr;
    std::uint64_t Sends = 0;           /* sends so far: tells one send from the next */
    IoTarget *DefaultTarget = nullptr; /* WdfRequestCreate's target */
    bool TimedOut = false;
    std::uint64_t TimeoutEvent = 0;
    WDF_REQUEST_COMPLETION_PARAMS CompletionParams{};
    UsbFormat Usb;

    /* The I/O manager learns of completion here (framework requests). */
    std::function<void(Request *)> OnComplete;

    /* Completes a framework request (status, information); a report when
       already completed or not owned by the driver. */
    void Complete(NTSTATUS St, ULONG_PTR Info, const char *Api);
    /* Verifier check: a report when the request was completed. */
    bool CheckUsable(const char *Api) const;
    /* Drops the USB format (and its reference on Usb.Buffer). */
    void ReleaseUsbFormat();
    /* The I/O manager cancels the request (CancelIoEx). FALSE when it was
       already completed. */
    bool RequestCancel();
    /* Queues Routine, the cancel routine of this driver-owned request, to
       run as a step of its own under the request's callback lock (from
       then on WdfRequestUnmarkCancelable returns STATUS_CANCELLED). */
    void ScheduleCancelRoutine(PFN_WDF_REQUEST_CANCEL Routine);

    WDFREQUEST RequestHandle() const { return HandleAs<WDFREQUEST>(); }

    bool DriverMayDelete() const override;

protected:
    void OnDelete() override;

private:
    Origin from_;
    Where where_ = Where::Idle;
};

Request *ToRequest(WDFREQUEST Handle, const char *Api);

/* ------------------------------------------------------------------ */
/* I/O targets                                                         */
/* ------------------------------------------------------------------ */
class IoTarget : public Object {
public:
    enum class TargetState { Started, Stopped, Closed };

    IoTarget(ObjectType Type, Device *Owner);
    ~IoTarget() override;

    TargetState State() const { return state_; }
    NTSTATUS Start();
    void Stop(WDF_IO_TARGET_SENT_IO_ACTION Action);

    /* WdfRequestSend: generic checks, then Submit. FALSE when not sent (the
       status is in the request), the completion routine then never runs. */
    bool Send(const KitEntry &Kit, Request *Req, PWDF_REQUEST_SEND_OPTIONS Options);
    /* Runs the completion of a sent request at DISPATCH_LEVEL: the driver's
       completion routine, or for a framework request sent without one, its
       completion. A request whose send time-out expired and that came back
       cancelled completes with STATUS_IO_TIMEOUT; any other status stands. */
    void CompleteSent(Request *Req, NTSTATUS Status, ULONG_PTR Information);
    /* WdfRequestCancelSentRequest. */
    bool CancelSent(Request *Req);

    using SentList = std::list<Request *, NodeAllocator<Request *>>;
    const SentList &SentRequests() const { return sent_; }

    /* Subclass interface. */
    /* TRUE (default): WdfRequestSend refuses a request not formatted for
       this target (Request::Usb.Formatted and Usb.Target == this). */
    virtual bool NeedsFormat() const { return true; }
    virtual NTSTATUS Submit(Request *Req) = 0;
    virtual void Abort(Request *Req) = 0;
    virtual void OnStart() {}
    virtual void OnStop(WDF_IO_TARGET_SENT_IO_ACTION Action) { (void)Action; }
    IoTarget *AsIoTarget() override { return this; }

protected:
    void OnDelete() override;

private:
    /* TRUE while the request behind Handle is still this target's, from
       its send numbered Send. */
    bool StillSent(WDFREQUEST Handle, std::uint64_t Send) const;
    void AbortAllSent();

    TargetState state_ = TargetState::Started;
    SentList sent_;
};

IoTarget *ToIoTarget(WDFIOTARGET Handle, const char *Api);
/* Registers how a handle of an object type maps to its I/O target. Not
   needed when the object itself derives from IoTarget (a pipe whose
   WdfUsbTargetPipeGetIoTarget returns its own handle): ToIoTarget accepts
   any live object that is an IoTarget. */
void RegisterTargetResolver(ObjectType Type, IoTarget *(*Resolve)(Object *));

/* ------------------------------------------------------------------ */
/* Pool                                                                */
/* ------------------------------------------------------------------ */
/* A pool block for the driver (ExAllocatePool*), entered in the pool table. */
void *PoolAllocate(SIZE_T Bytes, ULONG Tag, const char *Api);
void PoolFree(void *Block, ULONG Tag, bool CheckTag, const char *Api);

} // namespace fx
