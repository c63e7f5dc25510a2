// TCP for the OPC UA client: see ua/client/transport.h.
#include "ua/client/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrand::ua {

namespace {

constexpr int kKeepAliveIdle = 10;     // s without traffic before the first probe
constexpr int kKeepAliveInterval = 5;  // s between probes
constexpr int kKeepAliveProbes = 3;

StatusCode from_errno(int error) {
    switch (error) {
    case ECONNREFUSED:
        return status::BadConnectionRejected;
    case ETIMEDOUT:
        return status::BadTimeout;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return status::BadTcpNotEnoughResources;
    default:
        return status::BadCommunicationError;
    }
}

void set_option(int fd, int level, int name, int value) {
    (void)::setsockopt(fd, level, name, &value, sizeof value); // a missing option costs detection time only
}

} // namespace

bool is_numeric_host(const std::string& host) {
    in6_addr a6{};
    in_addr a4{};
    return ::inet_pton(AF_INET, host.c_str(), &a4) == 1 || ::inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

StatusCode resolve(const std::string& host, uint16_t port, bool numeric_only, std::vector<SocketAddress>* out) {
    out->clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numeric_only ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr)
        return status::BadTcpEndpointUrlInvalid;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress s;
        std::memcpy(&s.storage, a->ai_addr, a->ai_addrlen);
        s.length = a->ai_addrlen;
        out->push_back(s);
    }
    ::freeaddrinfo(list);
    return out->empty() ? status::BadTcpEndpointUrlInvalid : status::Good;
}

StatusCode TcpTransport::connect(const SocketAddress& address) {
    close();
    const int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return from_errno(errno);
    set_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdle);
    set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveInterval);
    set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0 &&
        errno != EINPROGRESS) {
        const StatusCode st = from_errno(errno);
        ::close(fd);
        return st;
    }
    fd_ = fd;
    return status::Good;
}

StatusCode TcpTransport::finish_connect() {
    if (fd_ < 0) return status::BadNotConnected;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    return error == 0 ? status::Good : from_errno(error);
}

TcpTransport::Io TcpTransport::read(std::vector<uint8_t>& out, size_t limit) {
    const size_t old = out.size();
    out.resize(old + limit);
    size_t got = 0;
    const Io io = read(std::span<uint8_t>(out).subspan(old), got);
    out.resize(old + got);
    return io;
}

TcpTransport::Io TcpTransport::read(std::span<uint8_t> into, size_t& got) {
    got = 0;
    if (fd_ < 0) return Io::Failed;
    ssize_t n;
    do n = ::recv(fd_, into.data(), into.size(), 0);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return Io::Ok;
    }
    if (n == 0) return Io::Closed;
    return errno == EAGAIN || errno == EWOULDBLOCK ? Io::WouldBlock : Io::Failed;
}

void TcpTransport::send(std::span<const uint8_t> bytes) {
    if (written_ == queue_.size()) {
        queue_.clear();
        written_ = 0;
    }
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
}

TcpTransport::Io TcpTransport::flush() {
    if (fd_ < 0) return Io::Failed;
    while (written_ < queue_.size()) {
        const ssize_t n = ::send(fd_, queue_.data() + written_, queue_.size() - written_, MSG_NOSIGNAL);
        if (n > 0) {
            written_ += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Io::WouldBlock;
        } else {
            return Io::Failed;
        }
    }
    // Written out: a burst's room goes back rather than stay resident.
    if (queue_.capacity() * sizeof(queue_[0]) >= PageAllocator<uint8_t>::kMappedFrom) decltype(queue_)().swap(queue_);
    queue_.clear();
    written_ = 0;
    return Io::Ok;
}

void TcpTransport::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    queue_.clear();
    written_ = 0;
}

} // namespace ostrand::ua
