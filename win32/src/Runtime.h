/*
 * Runtime.h - the comm layer's side of the world: one lock serialising every
 * client thread's calls, the virtual (or paced) clock that advances only
 * when every client thread is blocked inside the layer, and the I/O
 * manager's operations in types of neither the client's nor the kit's
 * headers, so that the Win32 side and the world's side never share a
 * translation unit.
 */
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace brisum_w32 {

using NtStatus = std::int32_t;
using Time = std::int64_t; /* 100 ns units of the world's clock */
constexpr Time kForever = INT64_MAX;
constexpr NtStatus kStatusPending = 0x103;
constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001u);
constexpr NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008u);
constexpr NtStatus kStatusAccessViolation = static_cast<NtStatus>(0xC0000005u);

/* One I/O operation sent to the world. */
struct IoOp {
    std::shared_ptr<void> Op; /* the world's operation */
    bool Completed() const;
    NtStatus Status() const;
    std::uint64_t Information() const;
    const std::vector<std::uint8_t> &Output() const;
};
using IoRef = std::shared_ptr<IoOp>;

/* Entering the layer: takes the lock and counts the calling thread as a
   client (once). On leaving, finished operations are delivered and the
   threads whose wait is over are released. */
class Enter {
public:
    Enter();
    ~Enter();
    Enter(const Enter &) = delete;
    Enter &operator=(const Enter &) = delete;
    std::unique_lock<std::mutex> Lock;
};

/* ---- with the layer entered ---- */
NtStatus Open(const std::u16string &Name, int *File);
NtStatus Close(int File);
IoRef Read(int File, std::size_t Length);
IoRef Write(int File, const std::uint8_t *Data, std::size_t Length);
IoRef Ioctl(int File, std::uint32_t Code, const std::uint8_t *In, std::size_t InLength, std::size_t OutLength);
IoRef Flush(int File);
bool Cancel(const IoRef &Op);
Time Now();
/* Whether a port of that name ("COM3") is there. */
bool PortExists(const std::u16string &Name);

/* Blocks the calling thread (inside the layer) until Ready() holds, TRUE, or
   the clock reaches Deadline, FALSE. Ready runs under the lock, possibly on
   the thread that is moving the world, and may take what it waits for
   (an auto-reset event). A world in which every client thread waits and
   nothing is left to happen ends each wait with FALSE and a report. */
bool BlockUntil(Enter &E, std::function<bool()> Ready, Time Deadline);
/* Gives up the lock for a moment so other threads run (Sleep(0)). */
void Yield(Enter &E);

/* Called under the lock after every step of the world and every call: the
   Win32 side delivers its finished operations here. */
void SetDeliverer(std::function<void()> Deliver);
/* Called under the lock when the world is replaced: the Win32 side drops
   its files and the operations in flight, which belonged to the old one. */
void SetForgetter(std::function<void()> Forget);

/* Threads the layer started: counted as running from their creation. */
void AdoptNewThread();     /* the creator, before the thread starts */
void StartAdoptedThread(); /* the new thread, first thing */
void EndThread();          /* a thread leaves for good (with the layer entered) */

/* NTSTATUS to Win32 error as the system's table maps them. */
std::uint32_t Win32Error(NtStatus Status);
inline bool IsError(NtStatus Status) { return (static_cast<std::uint32_t>(Status) >> 30) == 3; }

/* ---- the world a program sees ---- */
/* Replaces the world by one set up from scenario text (its device and PnP
   lines). Returns an empty string or the diagnostics. No client may be
   inside the layer. */
std::string ResetWorld(const std::string &ScenarioText, const std::string &File = "scenario");
/* Every control request the layer sent (code and input bytes), in order,
   since the last clear. */
struct IoctlRecord {
    std::uint32_t Code;
    std::vector<std::uint8_t> Input;
};
std::vector<IoctlRecord> IoctlLog();
/* The driver's name of a control code ("IOCTL_SERIAL_SET_BAUD_RATE"). */
std::string IoctlName(std::uint32_t Code);
void ClearIoctlLog();

struct ClassRequest {
    std::uint8_t Request;
    std::uint16_t Value;
    std::vector<std::uint8_t> Data;
};
/* What device Index (0: the first added) saw: class requests, bulk-OUT bytes, control lines. */
std::vector<ClassRequest> ClassRequests(std::size_t Index = 0);
std::vector<std::uint8_t> BulkOut(std::size_t Index = 0);
std::uint16_t ControlLines(std::size_t Index = 0);
/* Runs further scenario lines (device side: bulk-in, serial-state, ...) now. */
std::string RunScenario(const std::string &Text);

} // namespace brisum_w32
