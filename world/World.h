/*
 * World.h - the simulated system a test or the simulator command drives.
 *
 * One World holds the clock and scheduler, the hosted kernel and framework
 * state (object namespace, registry device map, serial-port count, pool),
 * the loaded driver, the PnP manager that adds and removes USB devices, and
 * the I/O manager that applications call. Everything the driver does is
 * reached only through the kit's API; this header is for the world's side.
 *
 * Several Worlds never exist at once: the kit's calls reach the current one.
 */
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostTypes.h"
#include "Scheduler.h"
#include "UsbDeviceModel.h"

#include <ntddk.h>
#include <wdf.h>

namespace world {

/* The framework host's clock, bus and registry types, under the world's names. */
using fx::Bytes;
using fx::DevicePowerState;
using fx::EventId;
using fx::HardwareKey;
using fx::kMillisecond;
using fx::kSecond;
using fx::RegistryValue;
using fx::Scheduler;
using fx::SetupPacket;
using fx::TransferKind;
using fx::TransferRecord;
using fx::UsbDeviceModel;
using fx::VirtualTime;

/* ---- one device node of the PnP manager ---- */
enum class DevicePnpState { Added, Started, Stopped, Removed, SurpriseRemoved, AddFailed, StartFailed };

/* The physical device (USB model, hardware key, power state, NT name) and
   the PnP manager's record of it. */
struct DeviceNode : fx::PhysicalDevice {
    int Id = 0;
    DevicePnpState State = DevicePnpState::Added;
    NTSTATUS AddStatus = 0;   /* result of the driver's device add */
    NTSTATUS StartStatus = 0; /* result of the last start (prepare + D0 entry) */
};

/* ---- an application's view of one I/O operation ---- */
struct Operation {
    bool Completed = false;
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    Bytes Output;    /* output buffer as the driver left it (OutputLength bytes) */
    std::string Tag; /* free label for transcripts */
    VirtualTime CompletedAt = -1;
    int Completions = 0; /* times the operation was completed; 1 once done */
};
using OpHandle = std::shared_ptr<Operation>;
using FileHandle = int; /* 0 is never a valid handle */

class World {
public:
    World();
    ~World();
    World(const World &) = delete;
    World &operator=(const World &) = delete;

    Scheduler &Clock();

    /* -- the system clock tick (timers fire at the first tick at or after
          their due time); 156,250 units = 15.625 ms unless set -- */
    void SetClockTick(VirtualTime Tick);

    /* -- simulated processors: with Count above 1 the world's events and the
          driver callbacks they make run interleaved, switching at kit
          calls, under the schedule Schedule ("random" or "priority") seeded
          by Seed, which replays exactly (docs/architecture.md). Set before
          anything runs. BRISUM_PROCESSORS, BRISUM_SCHEDULE_SEED and
          BRISUM_SCHEDULE in the environment set every world's. FALSE for
          an unknown schedule. -- */
    bool SetProcessors(int Count, std::uint64_t Seed = 1, const std::string &Schedule = "random");

    /* -- the driver: DriverEntry of the linked driver unless a test sets
          another entry (before the first AddDevice) -- */
    void SetDriverEntry(PDRIVER_INITIALIZE Entry);

    /* -- PnP manager -- */
    /* Loads the driver (DriverEntry) on first use, then runs device add;
       with Start, goes on to prepare hardware and D0 entry. */
    DeviceNode *AddDevice(std::shared_ptr<UsbDeviceModel> Usb, const HardwareKey &Key, bool Start = true);
    NTSTATUS StartDevice(DeviceNode *Node);      /* prepare hardware, D0 entry */
    NTSTATUS StopDevice(DeviceNode *Node);       /* PnP stop: D0 exit, release hardware */
    void RemoveDevice(DeviceNode *Node);         /* orderly removal */
    void SurpriseRemoveDevice(DeviceNode *Node); /* device gone; cleanup after the last handle closes */
    void SystemSleep();                          /* every started device leaves D0 */
    void SystemResume();                         /* and comes back */
    std::vector<DeviceNode *> Devices();

    /* -- I/O manager (what an application sees) -- */
    /* Opens "COM5" (through \DosDevices\COM5) or an NT name. */
    NTSTATUS Open(const std::u16string &Name, FileHandle *Handle);
    NTSTATUS Close(FileHandle Handle);
    OpHandle Read(FileHandle Handle, std::size_t Length);
    OpHandle Write(FileHandle Handle, const Bytes &Data);
    OpHandle DeviceIoControl(FileHandle Handle, ULONG Code, const Bytes &Input, std::size_t OutputLength);
    OpHandle InternalDeviceControl(FileHandle Handle, ULONG Code, const Bytes &Input, std::size_t OutputLength);
    /* CancelIoEx of one operation; FALSE when it was already completed. */
    bool Cancel(const OpHandle &Op);
    /* Flush, query and set information go to the WDM pre-processing
       callbacks and complete before the call returns (a flush runs the world
       until the write in progress is done). */
    OpHandle Flush(FileHandle Handle);
    /* The same flush from a caller of its own: returns at once, the
       operation completing when the flush returns, so the world (a cancel,
       a purge, a removal) goes on while it waits. */
    OpHandle FlushAsync(FileHandle Handle);
    OpHandle QueryInformation(FileHandle Handle, ULONG InformationClass, std::size_t Length);
    OpHandle SetInformation(FileHandle Handle, ULONG InformationClass, const Bytes &Input);

    /* -- the host's records, for assertions -- */
    ULONG SerialCount() const;
    /* Values under HKLM\HARDWARE\DEVICEMAP\<Key>: value name -> (type, data). */
    std::map<std::u16string, RegistryValue> DeviceMap(const std::u16string &Key = u"SERIALCOMM") const;
    /* Target of a symbolic link such as u"\\DosDevices\\COM5", if any. */
    std::optional<std::u16string> SymbolicLink(const std::u16string &Link) const;
    bool NameExists(const std::u16string &NtName) const;
    /* Reserves an NT name for "another driver's" device. */
    void ReserveName(const std::u16string &NtName);
    /* Device interfaces registered for a device node (class GUID text, enabled). */
    std::vector<std::pair<std::string, bool>> DeviceInterfaces(const DeviceNode *Node) const;

    /* -- pool and objects -- */
    std::size_t PoolBlocksOutstanding(ULONG Tag = 0) const; /* blocks of ExAllocatePoolWithTag; 0: every tag */
    std::size_t PoolBytesOutstanding(ULONG Tag = 0) const;
    /* Buffers of the framework memory objects the driver created with
       WdfMemoryCreate (pool under the tag it gave); 0: every tag. */
    std::size_t MemoryBlocksOutstanding(ULONG Tag = 0) const;
    std::size_t MemoryBytesOutstanding(ULONG Tag = 0) const;
    std::size_t LiveObjects() const; /* framework objects of the driver not yet deleted */
    /* Application operations issued to the driver and not yet completed. */
    std::size_t OperationsInFlight() const;
    /* The same operations, oldest first. */
    std::vector<OpHandle> PendingOperations() const;
    /* Power policy the driver assigned to a device (WdfDeviceAssignS0IdleSettings,
       WdfDeviceAssignSxWakeSettings), if any. */
    std::optional<WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> IdleSettings(const DeviceNode *Node) const;
    std::optional<WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS> WakeSettings(const DeviceNode *Node) const;

    /* -- fault injection: the Nth call (1-based, counted from now) of Api
          fails with Status. Api is the kit's name, e.g. "WdfIoQueueCreate",
          "ExAllocatePoolWithTag", "RtlWriteRegistryValue". -- */
    void FailNthCall(const std::string &Api, int Nth, NTSTATUS Status); /* Api must be one CanFail accepts */
    void ClearFaults();
    std::size_t PendingFaults() const; /* asked for and not yet fired */
    /* -- another processor's work landing at one of the driver's
          preemption points: Action runs when the driver makes its Nth call
          (1-based, counted from now) of Api, any kit routine, after the
          call's preemption point and before the routine does anything. It
          runs on the calling thread as the world's work (a Cancel, a
          device-side answer): it must not wait. FALSE for an unknown Api. -- */
    bool AtNthCall(const std::string &Api, int Nth, std::function<void()> Action);
    /* The kit calls that can be failed, from the one table their hooks use. */
    static bool CanFail(const std::string &Api);
    static std::vector<std::string> FailableCalls();

    /* -- the driver's trace messages ("brisum : ...") -- */
    void SetTraceSink(std::function<void(const std::string &)> Sink); /* empty: discard */

    /* -- verifier: misuse reports; under test each report is fatal unless
          the test collects them -- */
    void CollectVerifierReports(bool Collect);
    std::vector<std::string> VerifierReports() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

/* Readable name of a status ("STATUS_TIMEOUT"), or the hex value. */
std::string StatusName(NTSTATUS Status);
/* The one table of NTSTATUS names ("STATUS_CANCELLED"), for names and parsing. */
struct StatusNameRow {
    const char *Name;
    NTSTATUS Value;
};
const StatusNameRow *StatusNames(std::size_t *Count);

} // namespace world
