// 10,000 changing items in one group at 100 ms: how many data changes reach
// the callback per second, and how much CPU the process uses meanwhile.
//
//   bench_opc [seconds=5] [items=10000]
//
// Each callback copies and clears the value, as the application does.

#include "ostrand.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {

std::atomic<long> delivered{0};

int32_t on_change(int32_t, int32_t, int32_t, VARIANT* value, uint32_t, uint32_t, int32_t) {
    VARIANT copy;
    VariantInit(&copy);
    VariantCopy(&copy, value);
    VariantClear(&copy);
    delivered.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int items = argc > 2 ? std::atoi(argv[2]) : 10000;
    if (seconds < 1 || seconds > 120 || items < 1 || items > 1000000) {
        std::fprintf(stderr, "usage: bench_opc [seconds 1..120] [items 1..1000000]\n");
        return 2;
    }
    if (OstrandInitialize() != 0) return 1;
    int32_t server = ConnectServer("", "Demo.Server.1", 0);
    if (server == -1 || !EnableDataCallback(server, &on_change)) return 1;
    int32_t rate = 100;
    float deadband = 0;
    int32_t group = AddGroup(server, "bench", &rate, &deadband);
    if (group == -1) return 1;

    // Items that change on every 100 ms update: a ramp, a sine and a fast counter.
    const char* ids[] = {"Channel1.Device1.Speed", "Channel1.Device1.Temp", "Channel2.Device1.Total"};
    auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < items; ++k) {
        if (AddItem(server, group, ids[k % 3]) == -1) return 1;
    }
    double add_seconds = since(start);

    // Let the first full report pass, then measure whole seconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long d0 = delivered.load();
    double c0 = cpu_seconds();
    start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double wall = since(start);
    long d1 = delivered.load();
    double c1 = cpu_seconds();

    auto teardown = std::chrono::steady_clock::now();
    RemoveGroup(server, group);
    double remove_seconds = since(teardown);
    DisconnectServer(server);
    OstrandUninitialize();

    double per_second = static_cast<double>(d1 - d0) / wall;
    double expected = items * 1000.0 / rate;
    double cpu = (c1 - c0) / wall;
    std::printf("bench_opc: %d items, one group at %d ms, %.1f s measured\n", items, rate, wall);
    std::printf("  adding the items:        %.3f s\n", add_seconds);
    std::printf("  callbacks per second:    %.0f (%.1f %% of the %.0f changes made)\n", per_second,
                100.0 * per_second / expected, expected);
    std::printf("  CPU used:                %.1f %% of one core (%.2f us per callback)\n", 100.0 * cpu,
                per_second > 0 ? 1e6 * cpu / per_second : 0.0);
    std::printf("  RemoveGroup:             %.3f s\n", remove_seconds);
    return 0;
}
