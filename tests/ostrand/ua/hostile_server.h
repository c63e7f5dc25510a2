// A scripted OPC UA server on loopback that misbehaves on purpose, for tests
// of how the client copes with a server it cannot trust: garbage, absurd
// sizes, chunks of another channel, endless continuation chunks, silence,
// slowness. One joinable thread; it serves one connection at a time, as
// many in a row as come, and plays the same script on each.
//
// A well-behaved part (`Play::Normal`) answers HEL, OPN, CreateSession and
// ActivateSession (anonymous, SecurityPolicy None) and then stays silent, so
// a script can misbehave at any step after a valid start. `reply_delay`
// holds every reply back by that much (the slow server).
#pragma once

#include "server_chunks.h"

#include "ua/encoding/messages.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrand::ua::test {

class HostileServer {
public:
    enum class Play : uint8_t {
        Normal,              // a valid handshake, then silence
        Silent,              // reads, never answers
        GarbageAfterHello,   // 4 KiB of noise instead of ACK
        ErrAfterHello,       // ERR BadTcpEndpointUrlInvalid
        TinyReceiveBuffer,   // ACK announcing a 100-byte receive buffer (below the 8192 minimum)
        HugeMessageSize,     // ACK announcing MaxMessageSize 2^31 and chunk size 2^31
        HugeChunkHeader,     // ACK, then a MSG chunk header claiming 4 GiB
        ForeignChannelId,    // CreateSession answered on another secure channel id
        ForeignTokenId,      // CreateSession answered under a token never issued
        ForeignRequestId,    // CreateSession answered for a request id never sent
        EndlessContinuation, // CreateSession answered with 'C' chunks that never end
    };
    using Clock = std::chrono::steady_clock;
    static constexpr uint32_t kChannelId = 7;
    static constexpr uint32_t kTokenId = 3;
    static constexpr uint32_t kEndlessChunks = 100000; // the bound on EndlessContinuation

    explicit HostileServer(Play play, std::chrono::milliseconds reply_delay = {})
        : play_(play), delay_(reply_delay) {}
    ~HostileServer() { Stop(); }
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;

    bool Start() {
        int p[2];
        if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        wake_read_ = p[0];
        wake_write_ = p[1];
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return false;
        port_ = ntohs(a.sin_port);
        running_ = true;
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    void Stop() {
        if (thread_.joinable()) {
            running_ = false;
            const uint8_t b = 1;
            [[maybe_unused]] const ssize_t n = ::write(wake_write_, &b, 1);
            thread_.join();
        }
        for (int* fd : {&conn_, &listener_, &wake_read_, &wake_write_})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
    }

    std::string Url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
    int Connections() const { return connections_.load(); }
    // Whole client chunks seen, by message type ("HEL", "OPN", "MSG", "CLO").
    std::vector<std::string> Seen() const {
        std::lock_guard lock(mu_);
        return seen_;
    }

private:
    struct Out {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };

    void Queue(std::vector<uint8_t> bytes) { out_.push_back({Clock::now() + delay_, std::move(bytes)}); }

    static std::vector<uint8_t> RawHeader(const char type[4], uint32_t size) {
        std::vector<uint8_t> h(type, type + 4);
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(size >> (8 * i)));
        return h;
    }

    static uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
        if (at + 4 > b.size()) return 0;
        return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
    }

    // The request id of a client OPN or MSG chunk (0 when it cannot be found).
    static uint32_t RequestId(const std::vector<uint8_t>& chunk) {
        if (chunk[0] == 'M') return U32(chunk, 20); // header, channel, token, sequence
        size_t at = 12;                              // header, channel id; then policy, certificate, thumbprint
        for (int i = 0; i < 3; ++i) {
            const int32_t len = static_cast<int32_t>(U32(chunk, at));
            at += 4 + (len > 0 ? static_cast<size_t>(len) : 0);
        }
        return U32(chunk, at + 4); // after the sequence number
    }

    static EndpointDescription NoneEndpoint() {
        EndpointDescription e;
        e.security_mode = MessageSecurityMode::None;
        e.security_policy_uri = kSecurityPolicyNone;
        e.user_identity_tokens = {{"anonymous", UserTokenType::Anonymous, {}, {}, {}}};
        return e;
    }

    template <class M>
    static std::vector<uint8_t> Encode(const M& m) {
        Writer w;
        encode_message(w, m);
        return w.take();
    }

    void OnChunk(const std::vector<uint8_t>& chunk) {
        const std::string type(chunk.begin(), chunk.begin() + 3);
        {
            std::lock_guard lock(mu_);
            seen_.push_back(type);
        }
        if (play_ == Play::Silent) return;
        if (type == "HEL") {
            TransportLimits limits{0, 65536, 65536, 16 << 20, 256};
            switch (play_) {
            case Play::GarbageAfterHello: {
                std::vector<uint8_t> noise(4096);
                uint32_t x = 2463534242u;
                for (auto& b : noise) {
                    x = x * 1103515245u + 12345u;
                    b = static_cast<uint8_t>(x >> 16);
                }
                Queue(std::move(noise));
                return;
            }
            case Play::ErrAfterHello:
                Queue(ServerChunks::Err(status::BadTcpEndpointUrlInvalid, "refused by script"));
                return;
            case Play::TinyReceiveBuffer: limits.receive_buffer_size = limits.send_buffer_size = 100; break;
            case Play::HugeMessageSize:
                limits.max_message_size = 1u << 31;
                limits.receive_buffer_size = limits.send_buffer_size = 1u << 31;
                break;
            default: break;
            }
            Queue(ServerChunks::Ack(limits));
            if (play_ == Play::HugeChunkHeader) {
                Queue(RawHeader("MSGF", 0xFFFFFFFFu));
                Queue(std::vector<uint8_t>(1024, 0x41));
            }
            return;
        }
        if (type == "OPN") {
            chunks_.channel_id = kChannelId;
            chunks_.token_id = kTokenId;
            Queue(chunks_.Open(RequestId(chunk), ServerChunks::OpenResponse({kChannelId, kTokenId, 0, 600000})));
            return;
        }
        if (type != "MSG") return;
        const uint32_t id = RequestId(chunk);
        ++requests_;
        if (requests_ == 1) { // CreateSession
            CreateSessionResponse cs;
            cs.session_id = NodeId::numeric_id(1, 42);
            cs.authentication_token = NodeId::opaque_id(0, "hostile");
            cs.revised_session_timeout = 60000;
            cs.server_endpoints = {NoneEndpoint()};
            const std::vector<uint8_t> body = Encode(cs);
            switch (play_) {
            case Play::ForeignChannelId:
                chunks_.channel_id = kChannelId + 1;
                break;
            case Play::ForeignTokenId:
                chunks_.token_id = kTokenId + 1;
                break;
            case Play::ForeignRequestId:
                Queue(chunks_.Msg(id + 1000, body));
                return;
            case Play::EndlessContinuation:
                endless_ = true;
                endless_request_ = id;
                return;
            default: break;
            }
            Queue(chunks_.Msg(id, body));
            return;
        }
        if (requests_ == 2) Queue(chunks_.Msg(id, Encode(ActivateSessionResponse{}))); // then silence
    }

    // Splits `in_` into whole chunks; a client chunk that claims to be huge ends the connection.
    bool Parse() {
        while (in_.size() >= 8) {
            const uint32_t size = U32(in_, 4);
            if (size < 8 || size > (1u << 24)) return false;
            if (in_.size() < size) return true;
            OnChunk(std::vector<uint8_t>(in_.begin(), in_.begin() + size));
            in_.erase(in_.begin(), in_.begin() + size);
        }
        return true;
    }

    // Sends what is due; false when the connection is gone.
    bool Flush() {
        const auto now = Clock::now();
        for (;;) {
            while (!out_.empty() && out_.front().due <= now) {
                auto& o = out_.front();
                const ssize_t n = ::send(conn_, o.bytes.data(), o.bytes.size(), MSG_NOSIGNAL);
                if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
                o.bytes.erase(o.bytes.begin(), o.bytes.begin() + n);
                if (!o.bytes.empty()) return true;
                out_.pop_front();
            }
            if (!endless_ || !out_.empty() || endless_sent_ >= kEndlessChunks) return true;
            ++endless_sent_;
            out_.push_back(
                {now, chunks_.Msg(endless_request_, std::vector<uint8_t>(4000, 0x5A), ChunkType::Intermediate)});
        }
    }

    void Drop() {
        if (conn_ >= 0) ::close(conn_);
        conn_ = -1;
        in_.clear();
        out_.clear();
        requests_ = 0;
        endless_ = false;
        endless_sent_ = 0;
        chunks_ = ServerChunks{};
    }

    void Run() {
        while (running_) {
            pollfd fds[2] = {{wake_read_, POLLIN, 0}, {conn_ >= 0 ? conn_ : listener_, POLLIN, 0}};
            int timeout = -1;
            if (conn_ >= 0 && !out_.empty()) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(out_.front().due - Clock::now());
                if (wait.count() <= 0) fds[1].events |= POLLOUT;
                else timeout = static_cast<int>(wait.count());
            }
            if (conn_ >= 0 && endless_ && out_.empty()) fds[1].events |= POLLOUT;
            if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return;
            if (!running_) return;
            if (conn_ < 0) {
                if (fds[1].revents & POLLIN) {
                    conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                    if (conn_ >= 0) ++connections_;
                }
                continue;
            }
            bool ok = true;
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                uint8_t buf[8192];
                const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
                if (n > 0) {
                    in_.insert(in_.end(), buf, buf + n);
                    ok = Parse();
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    ok = false;
                }
            }
            if (ok) ok = Flush();
            if (!ok) Drop();
        }
    }

    const Play play_;
    const std::chrono::milliseconds delay_;
    uint16_t port_ = 0;
    int listener_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mu_;
    std::vector<std::string> seen_;

    // The server's thread only.
    int conn_ = -1;
    std::vector<uint8_t> in_;
    std::deque<Out> out_;
    ServerChunks chunks_;
    int requests_ = 0;
    bool endless_ = false;
    uint32_t endless_request_ = 0;
    uint32_t endless_sent_ = 0;
};

} // namespace ostrand::ua::test
