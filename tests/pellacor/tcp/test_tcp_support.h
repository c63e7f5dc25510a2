// Loopback helpers for the Modbus/TCP server tests: a free port, a blocking
// MBAP client with time-outs, request builders and a recording window.
#pragma once

#include "../../support/loopback.h"
#include "../../support/recording_window.h"
#include "pellacor.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

namespace tcptest {

using Bytes = std::vector<uint8_t>;

using quorvane::test::FreeLoopbackPort;

inline int OpenDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

// Polls `done` every 5 ms for at most `ms`; true once it holds.
inline bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// MBAP frame: transaction id, protocol id 0, length, unit id, then the PDU.
inline Bytes Mbap(uint16_t tid, uint8_t unit, std::initializer_list<uint8_t> pdu) {
    // Sized once: GCC 12 at -O3 misreads a grown vector's copy (-Warray-bounds).
    Bytes b(7 + pdu.size());
    const uint8_t header[7] = {static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0, 0,
                               static_cast<uint8_t>((pdu.size() + 1) >> 8), static_cast<uint8_t>(pdu.size() + 1),
                               unit};
    std::copy(std::begin(header), std::end(header), b.begin());
    std::copy(pdu.begin(), pdu.end(), b.begin() + 7);
    return b;
}

inline uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
inline uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v); }

// Request with function code and two 16-bit fields (reads, single writes).
inline Bytes Req(uint16_t tid, uint8_t unit, uint8_t fc, uint16_t a, uint16_t b) {
    return Mbap(tid, unit, {fc, Hi(a), Lo(a), Hi(b), Lo(b)});
}

class Client {
public:
    // Connects, retrying while nothing listens yet: the server starts
    // listening on its own thread after OpenTCPConnection has returned.
    explicit Client(uint16_t port, int receiveBuffer = 0) {
        for (int attempt = 0; attempt < 200 && !connected_; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            Close();
            fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        }
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return connected_; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool Send(const Bytes& b) {
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = ::send(fd_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Exactly n bytes, or fewer when the time runs out or the peer closes.
    Bytes ReadExact(size_t n, int ms = 3000) {
        Bytes out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            uint8_t buf[4096];
            const size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
            const ssize_t got = ::recv(fd_, buf, want, 0);
            if (got <= 0) {
                eof_ = true;
                break;
            }
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    // One whole MBAP reply; empty on time-out or close.
    Bytes ReadReply(int ms = 3000) {
        Bytes head = ReadExact(7, ms);
        if (head.size() < 7) return {};
        const size_t rest = static_cast<size_t>((head[4] << 8) | head[5]) - 1;
        Bytes body = ReadExact(rest, ms);
        if (body.size() < rest) return {};
        head.insert(head.end(), body.begin(), body.end());
        return head;
    }
    // True when the server closed the connection within `ms` (data is discarded).
    bool ClosedByPeer(int ms = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[4096];
            if (::recv(fd_, buf, sizeof buf, 0) <= 0) return true;
        }
        return false;
    }
    bool SawEof() const { return eof_; }
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
};

using quorvane::test::RecordingWindow;

} // namespace tcptest
