// Feeds arbitrary byte streams, in arbitrary chunks, to open serial links
// over pseudo-terminals: an ASCII port, an RTU port timed by its reader, an
// RTU port timed by a window and an RTU port that ends frames after 3.5
// characters and cuts them by length. The reader threads collect, clamp and hand
// over the bytes exactly as they do for a real line; the sanitizers watch.
//
// Input: [port selector byte] then repeated [chunk length byte][chunk bytes].
#include "../pellacor/serial/test_serial_support.h"

#include <sys/ioctl.h>
#include <unistd.h>

using namespace serial_test;

namespace {

uint16_t gHolding[300];
uint16_t gCoils[64];

int32_t IgnoreWrite(int32_t, int32_t, int32_t, int32_t) { return 0; }

struct Links {
    FakeWindow window;
    PtyLine lines[4];
    int32_t handles[4];
    Links() {
        DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 300, gHolding);
        DefineDataBlock(1, PELLACOR_COIL_STATUS, 1, 64, gCoils);
        EnableCallback(&IgnoreWrite);
        handles[0] = OpenOn(lines[0], 1, 0, nullptr, Settings(115200));
        handles[1] = OpenOn(lines[1], 2, 1, nullptr, Settings(115200));
        handles[2] = OpenOn(lines[2], 3, 1, window.window(), Settings(115200));
        SetPortOptions(4, PELLACOR_PORT_END_AFTER_3_5_CHARACTERS);
        handles[3] = OpenOn(lines[3], 4, 1, nullptr, Settings(115200));
        for (int32_t h : handles)
            if (h == -1) std::abort();
    }
    // The window and the lines must outlive the links that use them.
    ~Links() {
        for (int32_t h : handles) CloseConnection(h);
    }
};

// Waits (briefly, bounded) until the port's reader has taken the bytes.
void WaitConsumed(const PtyLine& line) {
    for (int i = 0; i < 200; ++i) {
        int waiting = 0;
        if (::ioctl(line.slave(), FIONREAD, &waiting) != 0 || waiting == 0) return;
        ::usleep(50);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Links links;
    if (size == 0) return 0;
    const PtyLine& line = links.lines[data[0] % 4];
    size_t at = 1;
    while (at < size) {
        size_t length = std::min<size_t>(data[at], size - at - 1);
        ++at;
        if (length > 0) ::write(line.master(), data + at, length);
        at += length;
        WaitConsumed(line);
        line.Drain();
    }
    line.Drain();
    return 0;
}
