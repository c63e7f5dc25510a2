// The OPC UA client engine after the golden handshake (ACK, OPN, CreateSession,
// ActivateSession from the server's side), fed what a hostile server and a
// clock could do: `[op][...]` steps where op 0 is `[length: 2 bytes LE][bytes]`
// of server stream, 1 is `[n]` moving the clock n x 20 ms and ticking, 2 sends
// a Read, 3 closes, 4 loses the connection and reconnects (the golden ACK and
// OPN on the new one, so the stream that follows answers the reactivation).
// Beyond the sanitizers: every request id the engine handed
// out completes exactly once (answer, fault, time-out or failure), nothing
// completes that was never sent, and no response follows a channel error.
#include "ua/client/engine.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#ifndef QV_UA_GOLDEN_DIR
#error "QV_UA_GOLDEN_DIR must name tests/ostrand/ua/golden"
#endif

namespace {

namespace ua = ostrand::ua;

void check(bool condition) {
    if (!condition) std::abort();
}

std::vector<uint8_t> load(const char* file) {
    std::ifstream in(std::string(QV_UA_GOLDEN_DIR) + "/" + file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FixedClock final : public ostrand::Clock {
public:
    ostrand::SteadyTime now() const override { return {}; }
    ostrand::FileTime filetime() const override { return 0x01DA3D285848C080; }
};

const std::vector<std::vector<uint8_t>>& handshake() {
    static const std::vector<std::vector<uint8_t>> chunks = {
        load("02_s2c_Acknowledge.bin"), load("04_s2c_OpenSecureChannelResponse.bin"),
        load("06_s2c_CreateSessionResponse.bin"), load("08_s2c_ActivateSessionResponse.bin")};
    return chunks;
}

struct Tracker {
    std::set<uint32_t> open;
    bool dead = false;

    void drain(ua::UaClient& c) {
        while (auto e = c.next_event()) {
            switch (e->kind) {
            case ua::UaEvent::Kind::Connected:
                check(!dead);
                break;
            case ua::UaEvent::Kind::Response:
            case ua::UaEvent::Kind::ServiceFault:
                check(!dead);
                [[fallthrough]];
            case ua::UaEvent::Kind::TimedOut:
            case ua::UaEvent::Kind::RequestFailed:
                check(open.erase(e->request_id) == 1);
                break;
            case ua::UaEvent::Kind::ChannelError:
            case ua::UaEvent::Kind::Closed:
                check(open.empty()); // every pending request was completed first
                dead = true;
                break;
            }
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FixedClock clock;
    ua::UaSettings settings;
    settings.session_nonce_length = 0;
    ua::UaClient client(settings, clock, [](std::span<uint8_t> out) {
        for (uint8_t& b : out) b = 0;
        return true;
    });
    ostrand::SteadyTime now{};
    client.connect("opc.tcp://127.0.0.1:4840", now);
    for (const auto& chunk : handshake()) client.receive(chunk, now);
    check(client.state() == ua::UaClient::State::Connected);
    Tracker t;
    t.drain(client);

    size_t at = 0;
    while (at < size) {
        const uint8_t op = data[at++] % 5;
        if (op == 0) {
            if (size - at < 2) break;
            const size_t length = std::min<size_t>(data[at] | data[at + 1] << 8, size - at - 2);
            at += 2;
            client.receive(std::span(data + at, length), now);
            at += length;
        } else if (op == 1) {
            if (at >= size) break;
            now += std::chrono::milliseconds(20) * data[at++];
            client.tick(now);
        } else if (op == 2) {
            ua::ReadRequest read;
            read.nodes_to_read.emplace_back();
            const uint32_t id = client.read(read, now);
            if (id != 0) check(t.open.insert(id).second);
        } else if (op == 3) {
            client.close(now);
        } else {
            client.connection_lost(ua::status::BadConnectionClosed, now);
            t.drain(client);
            client.reconnect(now);
            for (size_t i = 0; i < 2; ++i) client.receive(handshake()[i], now);
            t.dead = false;
        }
        (void)client.take_output();
        t.drain(client);
        if (t.dead) check(client.next_deadline() == ostrand::SteadyTime::max()); // nothing left to time
    }
    client.connection_lost(ua::status::BadConnectionClosed, now);
    t.drain(client);
    check(t.open.empty());
    return 0;
}
