// TCP for the OPC UA client: address resolution and one non-blocking socket
// with its outgoing buffer.
//
// Contract:
// - resolve() may block (getaddrinfo has no time limit), so only the I/O
//   loop's one-shot resolver thread calls it for host names; numeric
//   addresses resolve at once with `numeric_only`.
// - TcpTransport never blocks: connect() starts a connection and the owner
//   waits for writability (epoll) before finish_connect(); it applies the
//   time limit itself. Every socket has TCP_NODELAY (a request written right
//   after another would otherwise wait for the first one's ACK under Nagle)
//   and SO_KEEPALIVE with short probes, so a dead peer is noticed even when
//   idle.
// - Bytes queued with send() stay in order until flush() has written them;
//   the queue has no cap of its own: the engine bounds what it produces.
// - One thread at a time; close() is idempotent and the destructor closes.
#pragma once

#include "page_allocator.h"
#include "ua/encoding/types.h"

#include <sys/socket.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ostrand::ua {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// The TCP addresses of host:port, IPv4 and IPv6, in getaddrinfo's order.
// BadTcpEndpointUrlInvalid when the name does not resolve (or, with
// `numeric_only`, is not an address literal).
StatusCode resolve(const std::string& host, uint16_t port, bool numeric_only, std::vector<SocketAddress>* out);
// True when `host` is an IPv4 or IPv6 literal.
bool is_numeric_host(const std::string& host);

class TcpTransport {
public:
    enum class Io : uint8_t { Ok, WouldBlock, Closed, Failed };

    TcpTransport() = default;
    ~TcpTransport() { close(); }
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    // Opens a non-blocking socket and starts connecting. Good when the
    // connection is under way (or already up); wait for EPOLLOUT, then call
    // finish_connect(). A Bad status leaves no socket.
    StatusCode connect(const SocketAddress& address);
    // The outcome once the socket is writable: Good, or why it failed
    // (BadConnectionRejected for a refusal, BadCommunicationError otherwise).
    StatusCode finish_connect();

    // Appends what the socket holds, at most `limit` bytes, to `out`.
    Io read(std::vector<uint8_t>& out, size_t limit);
    // Reads into `into`; `got` bytes came when Ok.
    Io read(std::span<uint8_t> into, size_t& got);
    void send(std::span<const uint8_t> bytes);
    // Writes queued bytes until done or the socket is full.
    Io flush();
    bool wants_write() const { return written_ < queue_.size(); }
    size_t queued() const { return queue_.size() - written_; }

    int fd() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void close();

private:
    int fd_ = -1;
    // Bytes waiting for the socket: a burst of requests (creating thousands
    // of items) grows it for a moment, and it goes back with munmap.
    std::vector<uint8_t, PageAllocator<uint8_t>> queue_;
    size_t written_ = 0;
};

} // namespace ostrand::ua
