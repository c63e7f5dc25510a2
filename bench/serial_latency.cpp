// Reply latency of the serial links over a pseudo-terminal.
//
// First, one line per mode at 115200 baud (RTU timed by the reader thread,
// RTU timed by a window, ASCII), bounded to a fixed number of requests.
//
// Then the two ways an RTU frame ends, side by side: the fixed silence chosen
// from the baud rate (50 ms at 9600 and 19200, 5 ms from 38400) and the end
// after 3.5 characters. A pseudo-terminal moves bytes at once, so the master
// here plays the wire: it waits the request's time on the wire (11 bits a
// character) and then hands the slave the whole request, as a USB adapter
// hands over what it received in one transfer (writing it byte by byte from
// a busy machine would put pauses of the test's own inside the frame). A
// request-to-reply time is counted as the request's time on the wire, plus
// the wait from its last byte until the first byte of the reply, plus the
// reply's time on the wire. The wire's
// minimum beside each figure is both frames' bytes at 11 bits a character
// plus 3.5 characters of silence. Usage: bench_serial_latency [exchanges]
// (2,000 by default; the fixed silence at 9600 baud makes that about two
// minutes per rate).
#include "test_serial_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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

using Micros = std::chrono::duration<double, std::micro>;

Micros CharacterTimes(double characters, uint32_t baud) { return Micros(characters * 11.0 * 1e6 / baud); }

struct Percentiles {
    double p50 = 0, p99 = 0;
    int lost = 0;
};

// Writes `request` once its time on the wire has passed; returns when its
// last byte was written.
Clock::time_point WritePaced(const PtyLine& line, const Bytes& request, uint32_t baud) {
    std::this_thread::sleep_for(CharacterTimes(static_cast<double>(request.size()), baud));
    line.Write(request);
    return Clock::now();
}

// Reads `expected` bytes within `limit`; false when they did not all come.
bool ReadReply(const PtyLine& line, size_t expected, milliseconds limit, Clock::time_point& first) {
    size_t got = 0;
    const Clock::time_point until = Clock::now() + limit;
    while (got < expected) {
        const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{line.master(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
        uint8_t chunk[512];
        const ssize_t n = ::read(line.master(), chunk, sizeof chunk);
        if (n <= 0) continue;
        if (got == 0) first = Clock::now();
        got += static_cast<size_t>(n);
    }
    return true;
}

Percentiles Exchange(uint32_t baud, uint32_t portOptions, int exchanges) {
    Percentiles out;
    PtyLine line;
    SetPortOptions(1, portOptions);
    Link h(line, 1, 1, nullptr, Settings(baud));
    SetPortOptions(1, 0);
    if (h == -1) {
        out.lost = exchanges;
        return out;
    }
    const Bytes request = Rtu(1, 3, 0, 10);
    const size_t replyBytes = 5 + 2 * 10;
    const Micros onTheWire = CharacterTimes(static_cast<double>(request.size() + replyBytes), baud);
    // The master keeps 3.5 characters of silence before its next request.
    const auto idle = std::chrono::duration_cast<Clock::duration>(CharacterTimes(3.5, baud));
    std::vector<double> micros;
    for (int i = 0; i < exchanges; ++i) {
        const Clock::time_point last = WritePaced(line, request, baud);
        Clock::time_point first{};
        if (!ReadReply(line, replyBytes, milliseconds(1000), first)) {
            ++out.lost;
            line.Drain();
        } else {
            micros.push_back((onTheWire + Micros(first - last)).count());
        }
        std::this_thread::sleep_for(idle);
    }
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros.empty() ? 0.0 : micros[static_cast<size_t>(q * (micros.size() - 1))]; };
    out.p50 = at(0.5);
    out.p99 = at(0.99);
    return out;
}

void CompareFramings(int exchanges) {
    std::printf("\nRTU read of 10 registers (8-byte request, 25-byte reply), %d exchanges per figure, times in ms\n",
                exchanges);
    std::printf("%7s  %9s  %19s  %19s  %15s  %s\n", "baud", "wire min", "fixed silence", "3.5 characters",
                "p99 fixed/3.5", "3.5 p99 <= min + 1 ms");
    std::printf("%7s  %9s  %9s %9s  %9s %9s\n", "", "", "p50", "p99", "p50", "p99");
    for (uint32_t baud : {9600u, 19200u, 115200u}) {
        const double minimum = CharacterTimes(8 + 25 + 3.5, baud).count() / 1000.0;
        const Percentiles fixed = Exchange(baud, 0, exchanges);
        const Percentiles t35 = Exchange(baud, PELLACOR_PORT_END_AFTER_3_5_CHARACTERS, exchanges);
        std::printf("%7u  %9.2f  %9.2f %9.2f  %9.2f %9.2f  %15.1f  %s", baud, minimum, fixed.p50 / 1000,
                    fixed.p99 / 1000, t35.p50 / 1000, t35.p99 / 1000, t35.p99 > 0 ? fixed.p99 / t35.p99 : 0.0,
                    t35.p99 / 1000 <= minimum + 1.0 ? "yes" : "NO");
        if (fixed.lost + t35.lost != 0) std::printf("  (lost %d fixed, %d 3.5)", fixed.lost, t35.lost);
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char** argv) {
    int exchanges = 2000;
    if (argc > 1) exchanges = std::max(1, std::atoi(argv[1]));
    Blocks blocks;
    blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 10);
    Measure("RTU, reader timed", 1, nullptr);
    FakeWindow window;
    Measure("RTU, window timed", 1, window.window());
    Measure("ASCII", 0, nullptr);
    CompareFramings(exchanges);
    return 0;
}
