// Receive throughput: bytes streamed from the simulated device through the
// bulk-IN completion, the ring and the read path into application reads, per
// second of CPU, next to a plain memcpy of the same data in the same run,
// with the heap allocations the path makes per packet.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "AllocationCount.h"
#include "CdcAcmDevice.h"
#include "World.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;

namespace {

constexpr std::size_t kReadLength = 4096;

Bytes MakeData(std::size_t Length)
{
    Bytes data(Length);
    for (std::size_t i = 0; i < Length; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 255);
    return data;
}

// Args: data per iteration, bulk-IN packet size.
void BM_ReceiveThroughDriver(benchmark::State &State)
{
    const std::size_t total = static_cast<std::size_t>(State.range(0));
    const auto packet = static_cast<std::uint16_t>(State.range(1));
    const std::size_t reads = total / kReadLength;
    const Bytes data = MakeData(total);

    World w;
    CdcAcmOptions options;
    options.BulkInPacket = packet;
    // A short transfer log: the device model reaches the steady state of a long
    // run (its log's buffers reused) within the first iterations.
    options.TransferLogWindow = 256;
    auto dev = std::make_shared<CdcAcmDevice>(options);
    FileHandle h = 0;
    if (w.AddDevice(dev, {{u"PortName", RegistryValue::String(u"COM9")}}) == nullptr ||
        w.Open(u"COM9", &h) != STATUS_SUCCESS) {
        State.SkipWithError("device did not start");
        return;
    }
    SERIAL_TIMEOUTS timeouts{}; // reads wait until full
    const auto *raw = reinterpret_cast<const std::uint8_t *>(&timeouts);
    w.DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, Bytes(raw, raw + sizeof(timeouts)), sizeof(timeouts));
    w.Clock().RunDue();

    std::vector<OpHandle> ops(reads);
    const std::uint64_t allocationsBefore = bench::Allocations();
    for (auto _ : State) {
        for (std::size_t i = 0; i < reads; ++i) ops[i] = w.Read(h, kReadLength);
        dev->SendBulkIn(data);
        w.Clock().RunDue();
        if (!ops.back()->Completed || ops.back()->Information != kReadLength) {
            State.SkipWithError("stream not delivered");
            break;
        }
        benchmark::DoNotOptimize(ops.back()->Output.data());
    }
    const std::uint64_t allocations = bench::Allocations() - allocationsBefore;
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * static_cast<std::int64_t>(total));
    const double packets = static_cast<double>(State.iterations()) * static_cast<double>((total + packet - 1) / packet);
    State.counters["allocs/packet"] = packets > 0 ? static_cast<double>(allocations) / packets : 0;
}

void BM_ReceiveMemcpySameData(benchmark::State &State)
{
    const std::size_t total = static_cast<std::size_t>(State.range(0));
    const Bytes data = MakeData(total);
    Bytes out(total);
    for (auto _ : State) {
        std::memcpy(out.data(), data.data(), total);
        benchmark::ClobberMemory();
    }
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * static_cast<std::int64_t>(total));
}

BENCHMARK(BM_ReceiveThroughDriver)->Args({64 * 1024, 64})->Args({256 * 1024, 64})->Args({256 * 1024, 512});
BENCHMARK(BM_ReceiveMemcpySameData)->Arg(64 * 1024)->Arg(256 * 1024);

} // namespace
