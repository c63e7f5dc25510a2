// The gateway's OPC UA client on a subscription of N changing variables,
// measured through the C interface only, as the program uses it:
//
//   bench_opc_ua URL N SECONDS [--warmup SECONDS] [--callback store|copy]
//
// One group at 100 ms with deadband 0 holding the items ns=1;s=Bench.V<k>
// (k < N), which the test peer's --bench N changes on every period. After the
// warm-up it counts the DataCallback calls for SECONDS and prints
//   WINDOW begin            when counting starts
//   RESULT changes=C seconds=S per_second=R cpu_us_per_change=U cpu_percent=P
// where the CPU is the whole process's (user + system, every thread) over the
// window, so the I/O thread's decoding and the service thread's hand-over both
// count. Each callback copies and clears the value, as the item model does,
// and stores it as a 32-bit float into two holding registers of a Modbus slave
// data block in one update, as the gateway does. With --callback copy it
// only copies, clears and counts, which is all open62541's benchmark client
// does: the two clients then do the same work per change.
// Bad-quality calls are counted apart (they mean unknown ids or an outage).
//
// The gateway's own delay: per Publish response, the time from its last byte
// read off the socket to the last register stored from it, p50 and p99 over
// the window's messages in the RESULT line (delay_p50_us, delay_p99_us).

#include "ostrand.h"
#include "pellacor.h"
#include "service.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> good_changes{0};
std::atomic<long> bad_changes{0};

constexpr size_t kRegisters = 65534; // two per item, item k at 2k modulo this
std::vector<uint16_t> registers(kRegisters);
int32_t block = 0;

// Delay samples, service thread only while counting; read after the window.
std::atomic<bool> counting{false};
std::vector<int64_t> delays; // ns per message
constexpr size_t kMaxDelaySamples = 100000;

// The service calls this once per message, after its last change's callback
// returned: after the last register stored from it.
void on_message_delivered(int64_t received_ns, int64_t delivered_ns) {
    if (counting.load(std::memory_order_relaxed) && delays.size() < kMaxDelaySamples)
        delays.push_back(delivered_ns - received_ns);
}

bool store = true; // --callback store (the default) or copy

int32_t on_change(int32_t, int32_t, int32_t item, VARIANT* value, uint32_t, uint32_t, int32_t quality) {
    VARIANT copy;
    VariantInit(&copy);
    VariantCopy(&copy, value);
    if (store && copy.vt == VT_R8) {
        const float f = static_cast<float>(copy.dblVal);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        const size_t at = (static_cast<size_t>(item) * 2) % kRegisters;
        const PellacorWordStore words[2] = {{block, &registers[at], static_cast<uint16_t>(bits)},
                                            {block, &registers[at + 1], static_cast<uint16_t>(bits >> 16)}};
        StoreDataBlockWords(words, 2);
    }
    VariantClear(&copy);
    (quality == 0 ? bad_changes : good_changes).fetch_add(1, std::memory_order_relaxed);
    return 0;
}

double percentile_us(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(k), v.end());
    return static_cast<double>(v[k]) / 1000.0;
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    return secs(u.ru_utime) + secs(u.ru_stime);
}

int usage() {
    std::fprintf(stderr, "usage: bench_opc_ua opc.tcp://HOST:PORT N(1..100000) SECONDS(1..600) [--warmup 0..60]"
                         " [--callback store|copy]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const char* url = nullptr;
    long items = 0;
    long seconds = 0;
    long warmup = 3;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--warmup") == 0 && i + 1 < argc) {
            warmup = std::strtol(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--callback") == 0 && i + 1 < argc) {
            const std::string kind = argv[++i];
            if (kind != "store" && kind != "copy") return usage();
            store = kind == "store";
        } else if (positional == 0) {
            url = argv[i], ++positional;
        } else if (positional == 1) {
            items = std::strtol(argv[i], nullptr, 10), ++positional;
        } else if (positional == 2) {
            seconds = std::strtol(argv[i], nullptr, 10), ++positional;
        } else {
            return usage();
        }
    }
    if (positional != 3 || std::strncmp(url, "opc.tcp://", 10) != 0 || items < 1 || items > 100000 ||
        seconds < 1 || seconds > 600 || warmup < 0 || warmup > 60)
        return usage();

    block = DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 0, static_cast<uint16_t>(kRegisters), registers.data());
    if (block == 0 || OstrandInitialize() != 0) return 1;
    delays.reserve(kMaxDelaySamples);
    ostrand::Service::instance().set_delivery_observer(&on_message_delivered);
    const int32_t server = ConnectServer("", url, 0);
    if (server == -1) {
        std::fprintf(stderr, "bench_opc_ua: cannot connect to %s\n", url);
        OstrandUninitialize();
        return 1;
    }
    int32_t rate = 100;
    float deadband = 0;
    const int32_t group = EnableDataCallback(server, &on_change) ? AddGroup(server, "bench", &rate, &deadband) : -1;
    if (group == -1) {
        std::fprintf(stderr, "bench_opc_ua: no group\n");
        DisconnectServer(server);
        OstrandUninitialize();
        return 1;
    }
    for (long k = 0; k < items; ++k) {
        const std::string id = "ns=1;s=Bench.V" + std::to_string(k);
        if (AddItem(server, group, id.c_str()) == -1) {
            std::fprintf(stderr, "bench_opc_ua: AddItem %s failed\n", id.c_str());
            DisconnectServer(server);
            OstrandUninitialize();
            return 1;
        }
    }

    std::this_thread::sleep_for(std::chrono::seconds(warmup));
    std::printf("WINDOW begin\n");
    std::fflush(stdout);
    const long good0 = good_changes.load(), bad0 = bad_changes.load();
    const double cpu0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    counting = true;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    counting = false;
    const long counted = good_changes.load() - good0;
    const long bad = bad_changes.load() - bad0;
    const double cpu = cpu_seconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    DisconnectServer(server);
    OstrandUninitialize(); // the service thread is joined: delays is ours now
    RemoveDataBlock(block);

    if (counted > 0) {
        std::printf("RESULT changes=%ld seconds=%.3f per_second=%.0f cpu_us_per_change=%.3f cpu_percent=%.1f"
                    " bad=%ld rate_ms=%d messages=%zu delay_p50_us=%.0f delay_p90_us=%.0f delay_p99_us=%.0f"
                    " delay_max_us=%.0f\n",
                    counted, wall, static_cast<double>(counted) / wall, cpu * 1e6 / static_cast<double>(counted),
                    cpu * 100.0 / wall, bad, rate, delays.size(), percentile_us(delays, 0.5),
                    percentile_us(delays, 0.9), percentile_us(delays, 0.99), percentile_us(delays, 1.0));
    } else {
        std::printf("RESULT changes=0 seconds=%.3f per_second=0 cpu_us_per_change=nan cpu_percent=%.1f bad=%ld"
                    " rate_ms=%d\n",
                    wall, cpu * 100.0 / wall, bad, rate);
    }
    return 0;
}
