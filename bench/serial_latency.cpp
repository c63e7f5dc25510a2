// Reply latency of the serial links at 115200 baud (5 ms of silence ends an
// RTU frame) over a pseudo-terminal. Prints one line per mode; bounded to a
// fixed number of requests.
#include "test_serial_support.h"

#include <algorithm>
#include <cstdio>

using namespace serial_test;

namespace {

constexpr int kRequests = 300;

void Measure(const char* mode, uint16_t protocol, const PellacorWindow* window) {
    PtyLine line;
    int32_t h = OpenOn(line, 1, protocol, window, Settings(115200));
    if (h == -1) {
        std::printf("%-22s open failed\n", mode);
        return;
    }
    const Bytes rtu = Rtu(1, 3, 0, 10);
    const std::string asciiText = Ascii("01030000000A");
    const Bytes& request = protocol == 1 ? rtu : Bytes(asciiText.begin(), asciiText.end());
    std::vector<double> micros;
    int lost = 0;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kRequests; ++i) {
        line.Write(request);
        Clock::time_point sent = Clock::now(), first{};
        Bytes reply = line.Read(milliseconds(500), milliseconds(2), &first);
        if (reply.empty()) {
            ++lost;
            continue;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(first - sent).count());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    CloseConnection(h);
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros.empty() ? 0.0 : micros[static_cast<size_t>(q * (micros.size() - 1))]; };
    std::printf("%-22s requests %d  lost %d  latency p50 %.0f us  p99 %.0f us  max %.0f us  %.0f requests/s\n", mode,
                kRequests, lost, at(0.5), at(0.99), at(1.0), kRequests / seconds);
}

} // namespace

int main() {
    Blocks blocks;
    blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 10);
    Measure("RTU, reader timed", 1, nullptr);
    FakeWindow window;
    Measure("RTU, window timed", 1, window.window());
    Measure("ASCII", 0, nullptr);
    return 0;
}
