// Feeds an arbitrary server byte stream, cut into arbitrary slices, into the
// OPC UA client's secure channel, answering as the engine does (OPN after
// ACK, a Renew after each token, a request after each response), and checks
// what comes out.
//
// Input: [start][slice]... where start bit 0 picks a fresh channel (waiting
// for ACK) or one already open on channel 1, token 1; each slice is
// [length byte][bytes], and a length byte of 0 moves the clock on by a minute
// (past the old token's expiry after a few).
#include "../ostrand/ua/server_chunks.h"
#include "fuzz_check.h"
#include "ua/secure_channel/channel.h"

#include <cstdlib>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using Kind = ChannelEvent::Kind;

using fuzz::Check;

// What the channel sends stays under the server's limits: a message it
// cannot fit is refused whole.
void Sent(StatusCode st, const std::vector<uint8_t>& out) {
    Check(st == status::Good ? !out.empty() : (st == status::BadRequestTooLarge && out.empty()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const TransportLimits ours{0, 65536, 65536, 1 << 20, 64};
    SecureChannel channel(std::make_unique<NonePolicy>(), ours);
    std::vector<uint8_t> out = channel.hello("opc.tcp://127.0.0.1:4840");
    SteadyTime now = SteadyTime{} + std::chrono::hours(1);
    const bool open = data[0] & 1;
    if (open) {
        test::ServerChunks server;
        channel.receive(test::ServerChunks::Ack({}));
        Check(channel.next(now).kind == Kind::Acknowledged);
        Check(channel.send_open({}, channel.next_request_id(), out) == status::Good);
        channel.receive(server.Open(1, test::ServerChunks::OpenResponse({1, 1, 0, 180000})));
        Check(channel.next(now).kind == Kind::Opened);
    }
    bool failed = false;
    for (size_t at = 1; at < size;) {
        const size_t length = data[at++];
        if (length == 0) {
            now += std::chrono::minutes(1);
            continue;
        }
        const size_t n = std::min(length, size - at);
        channel.receive({data + at, n});
        at += n;
        for (;;) {
            ChannelEvent e = channel.next(now);
            if (e.kind == Kind::None) break;
            Check(!failed);
            out.clear();
            switch (e.kind) {
            case Kind::Acknowledged:
                Check(channel.limits().send_chunk_size >= kMinBufferSize);
                Sent(channel.send_open({}, channel.next_request_id(), out), out);
                break;
            case Kind::Opened:
                Check(channel.state() == SecureChannel::State::Open && channel.token().token_id != 0);
                Check(channel.renew_at() <= channel.expires_at());
                Sent(channel.send_open({}, channel.next_request_id(), out), out);
                break;
            case Kind::Response:
                Check(e.body.size() <= ours.max_message_size);
                Sent(channel.send_message(e.body, channel.next_request_id(), out), out);
                break;
            case Kind::Aborted:
                Check(is_bad(e.status) && e.reason.size() <= kMaxReasonLength);
                break;
            case Kind::Failed:
                Check(is_bad(e.status) && channel.state() == SecureChannel::State::Failed);
                failed = true;
                break;
            case Kind::None:
                break;
            }
        }
    }
    return 0;
}
