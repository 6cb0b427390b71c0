/*
 * FxHost.h - the hosted kernel and framework state (HostState), the entry
 * points of the PnP and I/O managers into the framework, and the framework
 * object classes other than the core ones of FxCore.h.
 *
 * The world builds on this header: its World owns the one HostState and its
 * PnP and I/O managers call the entry points below. The USB stand-in builds
 * only on FxCore.h.
 */
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "FxCore.h"
#include "HostTypes.h"
#include "NodePool.h"
#include "Scheduler.h"

struct _DEVICE_OBJECT {
    fx::Device *Dev;
};
struct _FILE_OBJECT {
    fx::FileObject *File;
};

namespace fx {

class Driver;
class Timer;
class LockOrder;

/* The WDFDEVICE_INIT record the driver fills before WdfDeviceCreate. */
struct DeviceInitData {
    bool Exclusive = false;
    DEVICE_TYPE DeviceType = FILE_DEVICE_UNKNOWN;
    WDF_DEVICE_IO_TYPE IoType = WdfDeviceIoBuffered;
    bool HaveRequestAttributes = false;
    WDF_OBJECT_ATTRIBUTES RequestAttributes{};
    WDF_PNPPOWER_EVENT_CALLBACKS PnpPower{};
    bool HaveFileConfig = false;
    WDF_FILEOBJECT_CONFIG FileConfig{};
    bool HaveFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES FileAttributes{};
    std::map<UCHAR, PFN_WDFDEVICE_WDM_IRP_PREPROCESS> Preprocess;
    bool HaveName = false;
    std::u16string Name;
    bool PowerPolicyOwner = true;
};

} // namespace fx

struct WDFDEVICE_INIT {
    fx::PhysicalDevice *Node = nullptr;
    fx::DeviceInitData Data;
    bool Consumed = false; /* WdfDeviceCreate succeeded: the record belongs to the device */
};

namespace fx {

/* The lower (default) I/O target of a device: there is no driver below in
   this system, so everything sent there fails as not supported. */
class LowerTarget : public IoTarget {
public:
    explicit LowerTarget(Device *Owner) : IoTarget(ObjectType::IoTarget, Owner) {}
    NTSTATUS Submit(Request *) override { return STATUS_NOT_SUPPORTED; }
    void Abort(Request *) override {}
};

class Driver : public Object {
public:
    Driver() : Object(ObjectType::Driver, nullptr) {}
    WDF_DRIVER_CONFIG Config{};
    bool DriverMayDelete() const override;
};

class Queue : public Object {
public:
    Queue(Device *Owner, const WDF_IO_QUEUE_CONFIG &Config);

    WDF_IO_QUEUE_CONFIG Config;
    bool PowerManaged = true;
    bool Accepting = true;
    bool Started = true; /* WdfIoQueueStart / Stop */
    bool Purged = false;
    /* A power-managed queue is powered off from the end of the power-down's
       stop processing (before EvtDeviceD0Exit) until its device is back in
       D0 (after EvtDeviceD0Entry); it starts powered off when created
       outside D0. Retrieval then returns STATUS_WDF_PAUSED. */
    bool PoweredOff = false;
    /* WdfIoQueueReadyNotify of a manual queue: called when the queue goes
       from empty to holding requests, and again when the queue is started
       or powered on with requests in it (TransitionFromEmpty). */
    PFN_WDF_IO_QUEUE_STATE ReadyNotify = nullptr;
    WDFCONTEXT ReadyNotifyContext = nullptr;
    bool TransitionFromEmpty = false;
    std::deque<Request *> Pending;
    std::set<Request *, std::less<Request *>, NodeAllocator<Request *>>
        Owned; /* presented to or retrieved by the driver */
    bool DispatchScheduled = false;

    struct Waiter {
        enum Kind { Stop, Purge } What;
        PFN_WDF_IO_QUEUE_STATE Callback;
        WDFCONTEXT Context;
    };
    std::vector<Waiter> Waiters;

    WDFQUEUE QueueHandle() const { return HandleAs<WDFQUEUE>(); }
    bool Manual() const { return Config.DispatchType == WdfIoQueueDispatchManual; }
    bool Serialized() const;

    /* A request arrives (I/O manager or forward). Status of refusal (the
       caller completes it), or STATUS_PENDING when queued or already
       completed by the framework (the request may be gone). */
    NTSTATUS Accept(Request *Req, bool FromIoManager);
    /* Presents waiting requests while the queue may (inline when no
       driver callback is running, else as a scheduled step); for a manual
       queue, delivers a due ready notification the same way. */
    void Dispatch();
    /* A manual queue that is started and powered on with requests in it
       owes its ready notification. */
    void NoteRestarted();
    void ScheduleDispatch();
    bool CanPresent() const;
    bool PowerOk() const;
    bool HasCallbackFor(const Request *Req) const;
    /* The driver gives up a request it owned from this queue (forwarded or
       requeued): bookkeeping without completion. */
    void Disown(Request *Req);
    /* A request of this queue left the driver (completed or forwarded). */
    void Released(Request *Req);
    /* A waiting request was cancelled by the I/O manager. */
    void CancelQueued(Request *Req);
    void CheckWaiters();
    void Purge(PFN_WDF_IO_QUEUE_STATE Callback, WDFCONTEXT Context);
    /* Runs EvtIoStop for driver-owned requests (power-down, removal). */
    void StopOwned(ULONG ActionFlags);
    /* Fails every waiting request (device removal). */
    void Drain(NTSTATUS Status);

protected:
    void OnDelete() override;

private:
    void Present(Request *Req);
    void NotifyReady();
};

class FileObject : public Object {
public:
    explicit FileObject(Device *Owner) : Object(ObjectType::FileObject, Owner) { Wdm.File = this; }
    FILE_OBJECT Wdm;
    bool Closed = false;
    bool ClosePending = false; /* handle closed and cleaned up; FileClose once its I/O is done */
    bool DriverMayDelete() const override;
};

/* What a timer, a DPC and a work item share: a driver callback run from a
   clock event, at most one run queued at a time, under the device-wide lock
   when Serialized. Deleting the object takes its queued run off the clock. */
class ClockCallbackObject : public Object {
public:
    bool Serialized = false;
    EventId Event = 0; /* queued run, 0 when none */
    bool Running = false;
    const void *Runner = nullptr; /* the thread running the callback (its lock stack) */
    /* Queues Run() at time At (an event named What); a run that comes due
       after the object was deleted does nothing. */
    void QueueRun(VirtualTime At, const char *What);
    virtual void Run() = 0;
    /* WdfTimerStop and WdfDpcCancel (Api): takes a queued run off the clock,
       TRUE when one was queued. Wait needs PASSIVE_LEVEL (a report, and no
       wait, above it); waiting from the object's own callback (What: "timer",
       "DPC") is a Deadlock report. */
    BOOLEAN CancelRun(const char *Api, BOOLEAN Wait, const char *What);

protected:
    ClockCallbackObject(ObjectType Type, Device *Owner) : Object(Type, Owner) {}
    /* Runs Callback as the driver's callback at Level, Running set while it
       runs: TRUE when the object is still there after it (the callback may
       delete it). */
    bool RunCallback(KIRQL Level, const std::function<void()> &Callback);
    void OnDelete() override;
};

class Timer : public ClockCallbackObject {
public:
    Timer(Device *Owner, const WDF_TIMER_CONFIG &Config) : ClockCallbackObject(ObjectType::Timer, Owner), Config(Config)
    {}
    WDF_TIMER_CONFIG Config;
    /* The expiry: the callback, then the next period's expiry when periodic. */
    void Run() override;
};

class Dpc : public ClockCallbackObject {
public:
    Dpc(Device *Owner, const WDF_DPC_CONFIG &Config) : ClockCallbackObject(ObjectType::Dpc, Owner), Config(Config) {}
    WDF_DPC_CONFIG Config;
    void Run() override;
};

class WorkItem : public ClockCallbackObject {
public:
    WorkItem(Device *Owner, const WDF_WORKITEM_CONFIG &Config)
        : ClockCallbackObject(ObjectType::WorkItem, Owner), Config(Config)
    {}
    WDF_WORKITEM_CONFIG Config;
    void Run() override;
};

class SpinLock : public Object {
public:
    explicit SpinLock(Device *Owner) : Object(ObjectType::SpinLock, Owner) {}
    bool Held = false;
    KIRQL SavedIrql = PASSIVE_LEVEL;
    /* Held, with the spins of the simulated processors (SpinWhileHeld), is
       the lock: one caller runs at a time, and a blocking call's thread gets
       the baton through a handshake that orders its memory. */
    std::uint64_t OwnerContext = 0; /* execution context that holds it */
};

class String : public Object {
public:
    explicit String(Device *Owner) : Object(ObjectType::String, Owner) {}
    std::u16string Text;
    std::vector<WCHAR> Storage;
    void Set(const std::u16string &T);
};

class Key : public Object {
public:
    Key(Device *Owner, HardwareKey *Values) : Object(ObjectType::Key, Owner), Values(Values) {}
    HardwareKey *Values;
};
/* The value named Name in Key, names compared as the registry compares
   them (case ignored), or Key.end(). */
HardwareKey::iterator FindRegistryValue(HardwareKey &Key, const std::u16string &Name);

class Device : public Object {
public:
    explicit Device(PhysicalDevice *Node);
    ~Device() override;

    PhysicalDevice *Node;
    DeviceInitData Init;
    std::u16string Name;
    DEVICE_OBJECT Wdm;
    LowerTarget *Lower = nullptr;

    /* Queues and routing. */
    std::vector<Queue *> Queues;
    Queue *DefaultQueue = nullptr;
    std::map<WDF_REQUEST_TYPE, Queue *> Routes;

    /* The device-wide lock. */
    bool LockHeld = false;

    /* PnP and power. */
    bool HardwarePrepared = false;
    bool InD0 = false;
    bool Removed = false; /* no new I/O (removal or surprise removal began) */
    bool SurpriseRemoved = false;
    bool FirstD0 = true;
    bool IdleSuspended = false;   /* in Dx because of idleness */
    bool PowerTransition = false; /* between D0 and Dx */
    bool PowerUpScheduled = false;
    bool SleptFromD0 = false;
    bool Deleted = false;
    EventId IdleEvent = 0;
    bool IdleAssigned = false;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Idle{};
    bool WakeAssigned = false;
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Wake{};
    WDF_DEVICE_PNP_CAPABILITIES Caps{};
    bool CapsSet = false;

    /* Names. */
    std::vector<std::u16string> Links;
    struct Interface {
        GUID Class;
        std::u16string Reference;
        bool Enabled = false;
    };
    std::vector<Interface> Interfaces;

    /* File objects created and not yet closed (IRP_MJ_CLOSE): each refers
       to the device object and keeps it from deletion. */
    int OpenHandles = 0;
    bool DeletePending = false; /* removed with files open: deleted at the last close */

    WDFDEVICE DeviceHandle() const { return HandleAs<WDFDEVICE>(); }

    /* I/O manager entry: routes a new request to its queue. */
    void DispatchIo(Request *Req);
    Queue *RouteFor(const Request *Req) const;
    /* Power activity bookkeeping for idle detection. */
    size_t PowerManagedActivity() const;
    void ActivityChanged();

    /* Power transitions (PASSIVE_LEVEL). */
    NTSTATUS EnterD0(WDF_POWER_DEVICE_STATE Previous);
    void LeaveD0(WDF_POWER_DEVICE_STATE Target, bool Removal);
    /* Removal: the power-managed queues are purged (waiting requests and
       held cancelable ones cancelled, their routines run), then EvtIoStop
       with WdfRequestStopActionPurge goes to every request the driver
       still holds from them, and the removal waits for each to be
       acknowledged or completed. */
    void PurgeQueuesForRemoval();
    /* The power-down waits until every request the driver holds from a
       power-managed queue is acknowledged or completed. */
    void WaitForStopAcknowledged(const char *Rule);
    void HoldQueues(bool Hold);

    bool DriverMayDelete() const override;

protected:
    void OnDelete() override;
};

/* Node <-> device. */
Device *DeviceOfNode(const PhysicalDevice *Node);
Queue *ToQueue(WDFQUEUE Handle, const char *Api);

/* PnP manager side (pnp/Pnp.cpp). */
NTSTATUS PnpAddDevice(PhysicalDevice *Node);
NTSTATUS PnpStartDevice(PhysicalDevice *Node);
NTSTATUS PnpStopDevice(PhysicalDevice *Node);
void PnpRemoveDevice(PhysicalDevice *Node, bool Surprise);
/* A system sleep: the device leaves D0 for D3 (when in D0), and on resume
   comes back to the state it slept from. The PnP manager calls these for
   each device in its order. */
void PnpSleepDevice(PhysicalDevice *Node);
void PnpResumeDevice(PhysicalDevice *Node);
/* Deletes a device whose removal is done (last handle closed). */
void PnpFinishRemoval(Device *Dev);

/* File-object side of the framework (pnp/Pnp.cpp). */
/* IRP_MJ_CLEANUP, when the last handle of File is closed: EvtFileCleanup,
   then the file's requests still waiting in any queue of the device are
   cancelled. Requests the driver holds are left to it. */
void FileCleanup(FileObject *File);
/* IRP_MJ_CLOSE, when the I/O manager drops its last reference on File (the
   handle is closed and every request of the file has completed):
   EvtFileClose, then the file object is deleted and the device, if its
   removal waits for its files, is deleted with the last one. */
void FileClose(FileObject *File);
/* Time at which a timer due at DueTime (kit units) fires. */
VirtualTime TimerFireTime(LONGLONG DueTime);

} // namespace fx

/* ------------------------------------------------------------------ */
/* The host state                                                      */
/* ------------------------------------------------------------------ */
namespace fx {

/* The hosted kernel and framework behind one World: clock, verifier and
   fault injection, handles, pool, the execution context, the kernel's name
   space and registry, and the loaded driver. Exactly one exists while the
   driver runs (the kit's calls reach it through Host()); constructing a
   second is fatal. */
struct HostState : HostCore {
    HostState();
    virtual ~HostState();
    /* Ends the host, once the world has removed its devices: reports pool
       blocks the driver never freed, deletes the driver object, reports
       objects still referenced, then frees what is left. The destructor
       runs it when nobody did. */
    void Shutdown();
    HostState(const HostState &) = delete;
    HostState &operator=(const HostState &) = delete;

    /* Clock, IRQL, current device and call hooks: HostCore. */
    VirtualTime Tick = 156'250;

    /* Verifier and fault injection. */
    bool Collect = false;
    std::vector<std::string> Reports;
    std::function<void(const std::string &)> TraceSink;

    /* Objects. */
    template <class K, class V> using Table =
        std::unordered_map<K, V, std::hash<K>, std::equal_to<K>, NodeAllocator<std::pair<const K, V>>>;
    std::size_t LiveObjects = 0;
    std::vector<std::pair<ObjectType, IoTarget *(*)(Object *)>> TargetResolvers;

    /* Pool. */
    struct Block {
        SIZE_T Size;
        ULONG Tag;
        Device *Dev;
    };
    Table<void *, Block> Pool;

    /* Execution context (with Irql and Current of HostCore). */
    int LocksHeld = 0;
    int CallDepth = 0; /* driver callbacks on the stack */
    /* Each driver callback the framework makes is an execution context of
       its own (0: the world's thread outside any callback); a spin lock
       must be released by the context that acquired it. */
    std::uint64_t CurrentContext = 0;
    std::uint64_t ContextSerial = 0;

    /* Kernel records. */
    CONFIGURATION_INFORMATION Config{};
    std::map<std::u16string, std::map<std::u16string, RegistryValue>> DeviceMap;
    std::map<std::u16string, Device *> Names; /* upper-cased NT name -> device (nullptr: another driver's) */
    std::map<std::u16string, std::pair<std::u16string, Device *>> Links; /* upper-cased link -> target, owner */

    /* Driver and PnP. */
    PDRIVER_INITIALIZE Entry = nullptr; /* nullptr: the linked DriverEntry */
    bool DriverLoaded = false;
    NTSTATUS DriverStatus = STATUS_SUCCESS;
    DRIVER_OBJECT DriverObject{};
    Driver *TheDriver = nullptr;
    std::map<const PhysicalDevice *, Device *> NodeDevices;
    bool ShutDown = false;

    /* A verifier report: collected, or printed and fatal. */
    void Report(const char *Rule, const std::string &Message);
    static std::u16string Upper(const std::u16string &S);
    /* A == B, ignoring the case of ASCII letters (Upper's folding). */
    static bool SameIgnoringCase(const std::u16string &A, const std::u16string &B);
};

/* The one host (fatal when none exists). */
inline HostState &Host() { return static_cast<HostState &>(Core()); }

} // namespace fx
