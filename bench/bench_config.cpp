// Configuration file figures: restoring and writing a large set-up (250
// groups of 100 items, as many as the slave library's 250 data blocks hold),
// without the libraries, so that only the file handling is measured.
#include "frame/config/config_file.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace quorvane;

std::string LargeFile(int groups, int items) {
    std::string file = "\r\n[MODBUS]\r\nCONNECT RTU,COMM1,9600,8,1,NONE,,\r\nCONNECT TCP, 502\r\n"
                       "\r\n[SERVER]\r\nLOCAL MACHINE\r\nDemo.Server.1\r\n";
    for (int g = 1; g <= groups; ++g) {
        file += "\r\n[GROUP" + std::to_string(g) + "]\r\nGroup" + std::to_string(g) + ",1000,0.000000\r\n";
        for (int i = 0; i < items; ++i) {
            file += "Plant.Area" + std::to_string(g) + ".Tag" + std::to_string(i) + "," + std::to_string(g % 247 + 1) +
                    "," + std::to_string(40001 + i) + (i % 2 ? ",SHORT\r\n" : ",SCALED0-4095,0.00,100.00\r\n");
        }
    }
    return file;
}

class CountingTarget : public RestoreTarget {
public:
    long items = 0;
    void CloseAllGroups() override {}
    void Disconnect() override {}
    void OpenSerialLink(const LinkLine&) override {}
    void OpenTcpLink() override {}
    void ConnectFromConfiguration(const std::string&, const std::string&) override {}
    bool IsConnected() const override { return true; }
    void AddGroupFromConfiguration(const GroupLine&) override {}
    void AddItemFromConfiguration(const std::string&, const ItemLine&) override { ++items; }
    void SkipLine(const std::string&) override {}
};

void BM_RestoreLargeFile(benchmark::State& state) {
    const int groups = static_cast<int>(state.range(0));
    const std::string file = LargeFile(groups, 100);
    long items = 0;
    for (auto _ : state) {
        CountingTarget target;
        RestoreConfiguration(file, target);
        items = target.items;
        benchmark::DoNotOptimize(items);
    }
    state.counters["items"] = static_cast<double>(items);
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(file.size()) * state.iterations() / 1e6,
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RestoreLargeFile)->Arg(10)->Arg(50)->Arg(250)->Unit(benchmark::kMillisecond);

void BM_ParseItemLine(benchmark::State& state) {
    const std::string line = "Channel1.Device1.Level,2,30005,SCALED0-4095,0.00,100.00";
    for (auto _ : state) {
        ItemLine item;
        benchmark::DoNotOptimize(ParseItemLine(line, item));
    }
}
BENCHMARK(BM_ParseItemLine);

} // namespace

BENCHMARK_MAIN();
