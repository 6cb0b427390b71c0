/*
 * soak.cpp - a long run in bounded memory: a loopback device and an
 * application that keeps one write and one read in flight, with random
 * write and read sizes, random read time-outs and random cancels of either,
 * until the device has moved the asked-for number of bulk packets.
 *
 * Every byte is accounted for: the bytes the reads return (whatever their
 * status, Information bytes of their buffer) must be, in order, exactly the
 * bytes the writes report as written (the first Information bytes of each),
 * and after the run nothing may be left over on either side. Memory is
 * sampled after a warm-up and at the end; the resident size may grow by no
 * more than --max-growth-mb (the check is skipped under AddressSanitizer,
 * whose quarantine holds freed memory on purpose).
 *
 *   brisum-soak [--packets N] [--seed S] [--max-growth-mb M]
 * Prints one line of figures; exits 1 with the reason on a fault.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>

#include "CdcAcmDevice.h"
#include "World.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

/* Resident set size of this process, in bytes. */
std::size_t ResidentBytes()
{
    std::FILE *F = std::fopen("/proc/self/statm", "r");
    if (F == nullptr) return 0;
    unsigned long Size = 0, Resident = 0;
    int Got = std::fscanf(F, "%lu %lu", &Size, &Resident);
    std::fclose(F);
    return Got == 2 ? Resident * 4096ul : 0;
}

[[noreturn]] void Fault(const std::string &What)
{
    std::fprintf(stderr, "soak: %s\n", What.c_str());
    std::exit(1);
}

Bytes Record(const void *P, std::size_t N)
{
    const auto *B = static_cast<const std::uint8_t *>(P);
    return Bytes(B, B + N);
}

/* The two byte streams, matched as they grow: what the writes report as
   written, and what the reads returned. Only the part not yet matched is
   held. */
struct Ledger {
    std::deque<std::uint8_t> Written;
    std::deque<std::uint8_t> Read;
    std::uint64_t Matched = 0;

    void Match()
    {
        while (!Written.empty() && !Read.empty()) {
            if (Written.front() != Read.front()) {
                Fault("byte " + std::to_string(Matched) + " read as " + std::to_string(Read.front()) + ", written as " +
                      std::to_string(Written.front()));
            }
            Written.pop_front();
            Read.pop_front();
            ++Matched;
        }
    }
};

} // namespace

int main(int Argc, char **Argv)
{
    std::uint64_t Packets = 100'000;
    std::uint32_t Seed = 1;
    double MaxGrowthMb = 8;
    for (int I = 1; I + 1 < Argc; I += 2) {
        std::string Arg = Argv[I];
        if (Arg == "--packets")
            Packets = std::strtoull(Argv[I + 1], nullptr, 10);
        else if (Arg == "--seed")
            Seed = static_cast<std::uint32_t>(std::strtoul(Argv[I + 1], nullptr, 10));
        else if (Arg == "--max-growth-mb")
            MaxGrowthMb = std::strtod(Argv[I + 1], nullptr);
        else
            Fault("unknown option " + Arg);
    }

    const auto Started = std::chrono::steady_clock::now();
    std::mt19937 Random(Seed);
    auto Below = [&Random](std::uint32_t Bound) { return Bound == 0 ? 0u : Random() % Bound; };

    World W;
    CdcAcmOptions Options;
    Options.Loopback = true;
    Options.TransferLogWindow = 1024;
    auto Usb = std::make_shared<CdcAcmDevice>(Options);
    DeviceNode *Node = W.AddDevice(Usb, {{u"PortName", RegistryValue::String(u"COM7")}});
    FileHandle H = 0;
    if (Node == nullptr || Node->StartStatus != STATUS_SUCCESS || W.Open(u"COM7", &H) != STATUS_SUCCESS) {
        Fault("the port did not open");
    }

    Ledger L;
    std::uint8_t NextByte = 0;
    OpHandle Write, Read;
    Bytes WriteData;
    std::uint64_t Writes = 0, Reads = 0, Cancels = 0, TimedOut = 0;
    std::size_t ResidentAtWarmup = 0, PeakResident = 0;
    const std::uint64_t Warmup = Packets / 10;

    auto Settle = [&]() {
        if (Write && Write->Completed) {
            if (Write->Information > WriteData.size()) Fault("a write reported more bytes than it had");
            L.Written.insert(L.Written.end(), WriteData.begin(),
                             WriteData.begin() + static_cast<std::ptrdiff_t>(Write->Information));
            Write.reset();
        }
        if (Read && Read->Completed) {
            if (Read->Information > Read->Output.size()) Fault("a read reported more bytes than its buffer");
            if (Read->Status == STATUS_TIMEOUT) ++TimedOut;
            L.Read.insert(L.Read.end(), Read->Output.begin(),
                          Read->Output.begin() + static_cast<std::ptrdiff_t>(Read->Information));
            Read.reset();
        }
        L.Match();
    };

    while (Usb->TransfersRecorded() < Packets) {
        if (!Write) {
            WriteData.resize(1 + Below(2048));
            for (std::uint8_t &B : WriteData) B = NextByte++;
            Write = W.Write(H, WriteData);
            ++Writes;
        }
        if (!Read) {
            /* a read time-out of its own for each read: interval, total, or none */
            SERIAL_TIMEOUTS T{};
            switch (Below(3)) {
            case 0: T.ReadIntervalTimeout = 1 + Below(20); break;
            case 1: T.ReadTotalTimeoutConstant = 1 + Below(50); break;
            default: T.ReadIntervalTimeout = MAXULONG; break;
            }
            OpHandle Set = W.DeviceIoControl(H, IOCTL_SERIAL_SET_TIMEOUTS, Record(&T, sizeof T), 0);
            if (!Set->Completed || Set->Status != STATUS_SUCCESS) Fault("SET_TIMEOUTS failed");
            Read = W.Read(H, 1 + Below(4096));
            ++Reads;
        }
        switch (Below(16)) {
        case 0:
            if (Write) {
                W.Cancel(Write);
                ++Cancels;
            }
            break;
        case 1:
            if (Read) {
                W.Cancel(Read);
                ++Cancels;
            }
            break;
        default: break;
        }
        W.Clock().AdvanceBy(static_cast<VirtualTime>(1 + Below(20)) * kMillisecond);
        Settle();
        if (ResidentAtWarmup == 0 && Usb->TransfersRecorded() >= Warmup) ResidentAtWarmup = ResidentBytes();
        if ((Writes & 1023) == 0) PeakResident = std::max(PeakResident, ResidentBytes());
    }

    /* Drain: no more writes; reads until every written byte has come back. */
    if (Write) {
        W.Clock().RunUntil([&]() { return Write->Completed; }, "the last write");
        Settle();
    }
    for (int Round = 0; Round < 1000 && !L.Written.empty(); ++Round) {
        if (!Read) {
            SERIAL_TIMEOUTS T{};
            T.ReadIntervalTimeout = MAXULONG;
            W.DeviceIoControl(H, IOCTL_SERIAL_SET_TIMEOUTS, Record(&T, sizeof T), 0);
            Read = W.Read(H, 4096);
        }
        W.Clock().AdvanceBy(10 * kMillisecond);
        Settle();
    }
    if (Read) {
        W.Cancel(Read);
        W.Clock().AdvanceBy(10 * kMillisecond);
        Settle();
    }
    if (!L.Written.empty()) Fault(std::to_string(L.Written.size()) + " written bytes never came back");
    if (!L.Read.empty()) Fault(std::to_string(L.Read.size()) + " bytes read that were never written");
    if (L.Matched > Usb->BulkOutBytesAccepted()) Fault("more bytes matched than the device accepted");

    const std::size_t ResidentAtEnd = ResidentBytes();
    PeakResident = std::max(PeakResident, ResidentAtEnd);
    W.Close(H);
    W.RemoveDevice(Node);
    W.Clock().RunUntilIdle(W.Clock().Now() + 60 * kSecond, 1'000'000);
    if (!W.VerifierReports().empty()) Fault("verifier: " + W.VerifierReports().front());
    if (W.PoolBlocksOutstanding() != 0 || W.LiveObjects() != 0) Fault("the driver left memory or objects");

    const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
    const double GrowthMb = (static_cast<double>(ResidentAtEnd) - static_cast<double>(ResidentAtWarmup)) / 1048576.0;
    std::printf("soak: %llu packets, %llu writes, %llu reads (%llu timed out), %llu cancels, %llu bytes matched, "
                "%.1f s of virtual time in %.1f s; resident %.1f MB after warm-up, %.1f MB at the end, peak %.1f MB\n",
                (unsigned long long)Usb->TransfersRecorded(), (unsigned long long)Writes, (unsigned long long)Reads,
                (unsigned long long)TimedOut, (unsigned long long)Cancels, (unsigned long long)L.Matched,
                static_cast<double>(W.Clock().Now()) / kSecond, Seconds, ResidentAtWarmup / 1048576.0,
                ResidentAtEnd / 1048576.0, PeakResident / 1048576.0);
    if (!kSanitized && GrowthMb > MaxGrowthMb) {
        Fault("resident memory grew by " + std::to_string(GrowthMb) + " MB after the warm-up");
    }
    return 0;
}
