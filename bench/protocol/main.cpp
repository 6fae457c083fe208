// tarsyn-bench-protocol: what building the firmware messages, packing and decoding cost,
// in ns per operation and MB/s of payload (image or preset bytes; message bytes for replies).
// The messages go to a sink that drops them.
#include "DeviceLink.h"
#include "FirmwareFile.h"
#include "SysEx.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

using namespace Tarsyn;

namespace {

class DropSink : public MessageSink {
public:
    bool sendLongMessage(const QByteArray &message) override
    {
        benchmark::DoNotOptimize(message.constData());
        return true;
    }
};

// A link whose image holds the placeholder firmware's payload, in the given block form.
struct Rig {
    explicit Rig(bool multiPart)
    {
        auto file = std::make_unique<std::uint8_t[]>(FirmwareFileSize);
        makePlaceholderFirmware(file.get());
        std::copy(file.get() + FileSkip, file.get() + FirmwareFileSize, link.imageBuffer());
        // The block form as the session chooses it: by an identity of firmware 2.10 or 2.09.
        const char identity[] = {'\xF0', 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, 0x20, 0x02, char(multiPart ? 20 : 18), '\xF7'};
        link.decodeReply(QByteArray(identity, sizeof identity));
        link.acceptIdentity();
    }
    DropSink sink;
    DeviceLink link{&sink};
};

void singleBlock(benchmark::State &state)
{
    const std::uint32_t size = std::uint32_t(state.range(0));
    const std::uint32_t at = size == 256 ? 0x2C300 : 0x9A000;
    Rig rig(false);
    for (auto _ : state) {
        rig.link.moveToBlock(at);
        benchmark::DoNotOptimize(rig.link.advanceTransfer());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * size);
}
BENCHMARK(singleBlock)->Arg(256)->Arg(512);

// One part of a block in the multi-part form. Each part walks the whole block (part 0 carries
// the checksum over all of it); the bytes counted are the image bytes the part carries.
void blockPart(benchmark::State &state)
{
    const int size = int(state.range(0));
    const int part = int(state.range(1));
    const int streamLength = 3 + size / 4 * 5;
    const int carried = std::min(132, streamLength - part * 132) - (part == 0 ? 3 : 0);
    const std::uint8_t command = std::uint8_t(part == 0 ? (size == 256 ? CmdSmallBlock : CmdLargeBlock) : CmdSmallBlock + part);
    Rig rig(true);
    rig.link.moveToBlock(size == 256 ? 0x2C300 : 0x9A000);
    for (auto _ : state)
        benchmark::DoNotOptimize(rig.link.sendBlockPart(size, part, command));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * carried * 4 / 5);
}
BENCHMARK(blockPart)
    ->ArgNames({"size", "part"})
    ->Args({256, 1})->Args({256, 2})->Args({256, 0})
    ->Args({512, 1})->Args({512, 2})->Args({512, 3})->Args({512, 4})->Args({512, 0});

void pack256(benchmark::State &state)
{
    std::array<std::uint8_t, 256> data;
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 37 + 0x80);
    std::array<std::uint8_t, 320> wire;
    for (auto _ : state) {
        benchmark::DoNotOptimize(packSevenBit(data.data(), int(data.size()), wire.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * 256);
}
BENCHMARK(pack256);

void parseReply(benchmark::State &state, std::vector<std::uint8_t> message)
{
    DeviceLink link;
    for (auto _ : state)
        benchmark::DoNotOptimize(link.parseReply(message.data(), qsizetype(message.size())));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(message.size()));
}
BENCHMARK_CAPTURE(parseReply, ack, std::vector<std::uint8_t>{0xF0, 0x00, 0x11, 0x22, 0x02, 0, 0, 0, 0, 0x24, 0xF7});
BENCHMARK_CAPTURE(parseReply, identity,
                  std::vector<std::uint8_t>{0xF0, 0x00, 0x11, 0x22, 0x02, 0x15, 0x2C, 0x01, 0x00, 0x20, 0x02, 0x14,
                                            'T', 'a', 'r', 's', 'y', 'n', '+', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF7});

} // namespace

BENCHMARK_MAIN();
