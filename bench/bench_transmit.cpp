// Transmit path throughput: writes streamed through the driver to a simulated
// device whose bulk-OUT endpoint takes every packet at once, reported in
// bytes per CPU second next to a plain memcpy of the same data, with the heap
// allocations the path makes per packet.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "AllocationCount.h"
#include "CdcAcmDevice.h"
#include "World.h"

using namespace world;

namespace {

struct Port {
    World W;
    std::shared_ptr<CdcAcmDevice> Dev;
    FileHandle H = 0;

    explicit Port(std::uint16_t Packet)
    {
        CdcAcmOptions options;
        options.BulkOutPacket = Packet;
        // A short transfer log: the device model reaches the steady state of a long
        // run (its log's buffers reused) within the first iterations.
        options.TransferLogWindow = 256;
        Dev = std::make_shared<CdcAcmDevice>(options);
        W.AddDevice(Dev, {{u"PortName", RegistryValue::String(u"COM5")}});
        W.Open(u"COM5", &H);
        W.Clock().RunUntilIdle();
    }
};

// Args: write length, bulk-OUT packet size.
void BM_TransmitWrite(benchmark::State &State)
{
    const auto length = static_cast<std::size_t>(State.range(0));
    Port port(static_cast<std::uint16_t>(State.range(1)));
    const Bytes data(length, 0x5A);

    const std::uint64_t allocationsBefore = bench::Allocations();
    for (auto _ : State) {
        auto op = port.W.Write(port.H, data);
        port.W.Clock().RunUntilIdle();
        if (!op->Completed || op->Status != STATUS_SUCCESS || op->Information != length) {
            State.SkipWithError("write did not complete in full");
            break;
        }
    }
    const std::uint64_t allocations = bench::Allocations() - allocationsBefore;
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * static_cast<std::int64_t>(length));
    const auto packetsPerWrite = static_cast<double>((length + State.range(1) - 1) / State.range(1));
    State.counters["packets/write"] = packetsPerWrite;
    const double packets = static_cast<double>(State.iterations()) * packetsPerWrite;
    State.counters["allocs/packet"] = packets > 0 ? static_cast<double>(allocations) / packets : 0;
}

// The same bytes copied once by memcpy: the floor of any transmit path.
void BM_MemcpySameData(benchmark::State &State)
{
    const auto length = static_cast<std::size_t>(State.range(0));
    const Bytes source(length, 0x5A);
    Bytes target(length);

    for (auto _ : State) {
        std::memcpy(target.data(), source.data(), length);
        benchmark::ClobberMemory();
    }
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * static_cast<std::int64_t>(length));
}

BENCHMARK(BM_TransmitWrite)->Args({1000, 64})->Args({4096, 64})->Args({4096, 512});
BENCHMARK(BM_MemcpySameData)->Args({1000, 64})->Args({4096, 64})->Args({4096, 512});

} // namespace
