// Request processing figures: Read Holding Registers of 125 registers with one
// defined block and with a full table of 250 blocks, the match in the last
// entry. The 249 blocks before it either belong to other slave ids or are
// blocks of the same slave and type at other addresses (every one of them
// must then be range-checked for every point).
#include "core.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

enum Others { OtherSlaves = 0, SameSlaveOtherAddresses = 1 };

void ReadHolding125(benchmark::State& state, pellacor::Transport transport) {
    const int blocks = static_cast<int>(state.range(0));
    const auto others = static_cast<Others>(state.range(1));
    static std::vector<uint16_t> memory(250 * 200);
    for (int h = 1; h <= pellacor::kBlockCount; ++h) RemoveDataBlock(h);
    for (int i = 0; i < blocks - 1; ++i) {
        const bool sameSlave = others == SameSlaveOtherAddresses;
        DefineDataBlock(sameSlave ? 1 : static_cast<uint8_t>(2 + i % 200), PELLACOR_HOLDING_REGISTER,
                        static_cast<uint16_t>(sameSlave ? 1000 + 200 * i : 1), 200, &memory[200 * i]);
    }
    if (DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 125, &memory[200 * 249]) != blocks) {
        state.SkipWithError("the table did not fill as planned");
        return;
    }
    const uint8_t fields[] = {0x00, 0x00, 0x00, 125};
    const pellacor::Request request{1, 3, fields, sizeof fields};
    uint8_t out[pellacor::kTcpMaxReadData];
    for (auto _ : state) {
        const pellacor::Result r = pellacor::ProcessRequest(transport, 0, request, out, sizeof out);
        if (r.dataBytes != 250) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(blocks == 1 ? "1 block" : others == OtherSlaves ? "250 blocks, others of other slaves"
                                                                   : "250 blocks, others of the same slave");
}

void Args(benchmark::internal::Benchmark* b) {
    b->Args({1, OtherSlaves})->Args({250, OtherSlaves})->Args({250, SameSlaveOtherAddresses});
}

BENCHMARK_CAPTURE(ReadHolding125, rtu, pellacor::Transport::Rtu)->Apply(Args);
BENCHMARK_CAPTURE(ReadHolding125, tcp, pellacor::Transport::Tcp)->Apply(Args);

} // namespace

BENCHMARK_MAIN();
