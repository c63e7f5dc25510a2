// Modbus/TCP load generator: N clients on raw non-blocking sockets driven by
// one epoll loop, each with a fixed number of outstanding requests. Optional
// "bad" clients send nothing but requests that end in exceptions (unknown
// function codes and reads of missing addresses) as fast as they are answered.
// Prints one JSON object: requests per second, latency percentiles, the
// largest latency and the time-outs of the good clients, and the bad clients'
// rate. Every client connects at the same moment, as masters do when a
// control system restarts, and the first request of each counts too. A
// time-out is a request answered later than --timeout-ms, or not at all by
// the end of the run.
//
//   tcp_load --port P [--clients 8] [--bad-clients 0] [--seconds 10]
//            [--function 3|16] [--count 100] [--pipeline 1] [--unit 1]
//            [--timeout-ms 1000]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    uint16_t port = 1502;
    int clients = 8;
    int badClients = 0;
    double seconds = 10;
    int function = 3;
    int count = 100;
    int pipeline = 1;
    int unit = 1;
    int timeoutMs = 1000;
};

struct Conn {
    int fd = -1;
    bool bad = false;
    uint16_t nextTid = 0;
    uint32_t sent = 0;
    std::deque<std::pair<uint16_t, Clock::time_point>> outstanding;
    std::vector<uint8_t> in;
    uint64_t answered = 0;
    uint64_t exceptions = 0;
    uint64_t errors = 0;
    uint64_t connectNs = 0; // from the common start to the completed connect
};

[[noreturn]] void Usage() {
    std::fprintf(stderr, "usage: tcp_load --port P [--clients N] [--bad-clients N] [--seconds S] "
                         "[--function 3|16] [--count Q] [--pipeline D] [--unit U] [--timeout-ms T]\n");
    std::exit(2);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) Usage();
        const char* v = argv[++i];
        if (a == "--port") o.port = static_cast<uint16_t>(std::atoi(v));
        else if (a == "--clients") o.clients = std::atoi(v);
        else if (a == "--bad-clients") o.badClients = std::atoi(v);
        else if (a == "--seconds") o.seconds = std::atof(v);
        else if (a == "--function") o.function = std::atoi(v);
        else if (a == "--count") o.count = std::atoi(v);
        else if (a == "--pipeline") o.pipeline = std::atoi(v);
        else if (a == "--unit") o.unit = std::atoi(v);
        else if (a == "--timeout-ms") o.timeoutMs = std::atoi(v);
        else Usage();
    }
    if (o.clients < 0 || o.badClients < 0 || o.clients + o.badClients < 1 || o.pipeline < 1 || o.count < 1 ||
        o.count > 123 || (o.function != 3 && o.function != 16) || o.seconds <= 0 || o.seconds > 3600 ||
        o.timeoutMs < 1 || o.timeoutMs > 4000)
        Usage();
    return o;
}

void Put16(std::vector<uint8_t>& b, int v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

// The three request kinds, built once; only the transaction id changes.
struct Templates {
    std::vector<uint8_t> good, unknownFunction, missingAddress;
};

std::vector<uint8_t> Frame(int unit, const std::vector<uint8_t>& pdu) {
    std::vector<uint8_t> frame;
    Put16(frame, 0);
    Put16(frame, 0);
    Put16(frame, static_cast<int>(pdu.size()) + 1);
    frame.push_back(static_cast<uint8_t>(unit));
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

Templates BuildTemplates(const Options& o) {
    Templates t;
    std::vector<uint8_t> pdu{static_cast<uint8_t>(o.function)};
    Put16(pdu, o.function == 3 ? 0 : 100);
    Put16(pdu, o.count);
    if (o.function == 16) {
        pdu.push_back(static_cast<uint8_t>(2 * o.count));
        for (int i = 0; i < o.count; ++i) Put16(pdu, 0x1000 + i);
    }
    t.good = Frame(o.unit, pdu);
    t.unknownFunction = Frame(o.unit, {0x41, 0, 0, 0, 1});
    pdu = {3};
    Put16(pdu, 60000); // no block holds this address
    Put16(pdu, 10);
    t.missingAddress = Frame(o.unit, pdu);
    return t;
}

// A bad client alternates its two kinds of failing request.
std::vector<uint8_t>& Request(Templates& t, const Conn& c, uint16_t tid) {
    std::vector<uint8_t>& frame = !c.bad ? t.good : (c.sent % 2 == 0 ? t.unknownFunction : t.missingAddress);
    frame[0] = static_cast<uint8_t>(tid >> 8);
    frame[1] = static_cast<uint8_t>(tid);
    return frame;
}

bool SendAll(int fd, const std::vector<uint8_t>& b) {
    size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue; // requests are small: the socket takes them at once in practice
        } else {
            return false;
        }
    }
    return true;
}

bool SendNext(Templates& t, Conn& c) {
    const uint16_t tid = c.nextTid++;
    const std::vector<uint8_t>& frame = Request(t, c, tid);
    c.outstanding.emplace_back(tid, Clock::now());
    ++c.sent;
    return SendAll(c.fd, frame);
}

int Connect(uint16_t port) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        ::close(fd);
        ::usleep(20000);
    }
    return -1;
}

double Percentile(std::vector<uint32_t>& v, double p) {
    if (v.empty()) return 0;
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k] / 1000.0; // ns -> us
}

// Requests of the good clients still unanswered at the end that waited longer
// than the time-out.
uint64_t OverdueAtEnd(const std::vector<Conn>& conns, Clock::time_point end, std::chrono::milliseconds timeout) {
    uint64_t overdue = 0;
    for (const Conn& c : conns)
        for (const auto& [tid, sent] : c.outstanding) overdue += !c.bad && end - sent > timeout;
    return overdue;
}

// Drives one group of clients (all good or all bad) until `end`; false when
// the server dropped a connection or refused a send.
bool Drive(std::vector<Conn>& conns, Templates templates, int pipeline, Clock::time_point end,
           std::vector<uint32_t>& latencies) {
    if (conns.empty()) return true;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < conns.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
    }
    for (Conn& c : conns)
        for (int k = 0; k < pipeline; ++k) SendNext(templates, c);

    bool ok = true;
    std::vector<epoll_event> events(conns.size());
    uint8_t buf[65536];
    while (ok && Clock::now() < end) {
        const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
        for (int e = 0; ok && e < n; ++e) {
            Conn& c = conns[events[e].data.u64];
            const ssize_t got = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got <= 0) {
                if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    std::fprintf(stderr, "tcp_load: server closed a connection\n");
                    ok = false;
                }
                continue;
            }
            c.in.insert(c.in.end(), buf, buf + got);
            size_t off = 0;
            const auto now = Clock::now();
            while (c.in.size() - off >= 7) {
                const size_t frame = static_cast<size_t>((c.in[off + 4] << 8) | c.in[off + 5]) + 6;
                if (c.in.size() - off < frame) break;
                const uint16_t tid = static_cast<uint16_t>((c.in[off] << 8) | c.in[off + 1]);
                if (c.outstanding.empty() || c.outstanding.front().first != tid) {
                    ++c.errors;
                } else {
                    if (frame > 7 && (c.in[off + 7] & 0x80)) ++c.exceptions;
                    if (!c.bad && now < end)
                        latencies.push_back(static_cast<uint32_t>(std::min<int64_t>(
                            std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.outstanding.front().second)
                                .count(),
                            UINT32_MAX)));
                    c.outstanding.pop_front();
                }
                if (now < end) ++c.answered;
                off += frame;
                if (now < end && !SendNext(templates, c)) {
                    std::fprintf(stderr, "tcp_load: send failed\n");
                    ok = false;
                    break;
                }
            }
            c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(off));
        }
    }
    ::close(ep);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    // Good and bad clients run on threads of their own, so that handling the
    // bad clients' replies never delays the measured clients in this tool.
    std::vector<Conn> good(static_cast<size_t>(o.clients)), bad(static_cast<size_t>(o.badClients));
    {
        // All clients connect at the same moment.
        std::latch ready(o.clients + o.badClients);
        std::vector<std::thread> connecting;
        for (auto* group : {&good, &bad}) {
            for (Conn& c : *group) {
                c.bad = group == &bad;
                connecting.emplace_back([&ready, &c, port = o.port] {
                    ready.arrive_and_wait();
                    const auto t0 = Clock::now();
                    c.fd = Connect(port);
                    c.connectNs = static_cast<uint64_t>(
                        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
                });
            }
        }
        for (std::thread& t : connecting) t.join();
    }
    uint64_t connectMaxNs = 0;
    for (auto* group : {&good, &bad}) {
        for (const Conn& c : *group) {
            if (c.fd < 0) {
                std::fprintf(stderr, "tcp_load: cannot connect to port %u\n", o.port);
                return 1;
            }
            connectMaxNs = std::max(connectMaxNs, c.connectNs);
        }
    }

    const Templates templates = BuildTemplates(o);
    std::vector<uint32_t> latencies, unused;
    latencies.reserve(1 << 20);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    bool badOk = true;
    std::thread badThread([&] { badOk = Drive(bad, templates, 1, end, unused); });
    const bool goodOk = Drive(good, templates, o.pipeline, end, latencies);
    badThread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (!goodOk || !badOk) return 1;

    uint64_t goodCount = 0, badCount = 0, goodExceptions = 0, errors = 0;
    for (auto* group : {&good, &bad}) {
        for (const Conn& c : *group) {
            (c.bad ? badCount : goodCount) += c.answered;
            if (!c.bad) goodExceptions += c.exceptions;
            errors += c.errors;
            ::close(c.fd);
        }
    }
    const auto timeout = std::chrono::milliseconds(o.timeoutMs);
    uint64_t timeouts = OverdueAtEnd(good, end, timeout);
    const auto timeoutNs = static_cast<uint32_t>(std::chrono::nanoseconds(timeout).count());
    for (uint32_t ns : latencies) timeouts += ns > timeoutNs;
    const double maxUs = latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end()) / 1000.0;
    const double p50 = Percentile(latencies, 0.50);
    const double p99 = Percentile(latencies, 0.99);
    std::printf("{\"clients\":%d,\"bad_clients\":%d,\"function\":%d,\"count\":%d,\"pipeline\":%d,"
                "\"seconds\":%.3f,\"requests\":%llu,\"rps\":%.1f,\"p50_us\":%.1f,\"p99_us\":%.1f,"
                "\"max_us\":%.1f,\"timeouts\":%llu,\"connect_max_us\":%.1f,"
                "\"bad_requests\":%llu,\"bad_rps\":%.1f,\"exceptions\":%llu,\"errors\":%llu}\n",
                o.clients, o.badClients, o.function, o.count, o.pipeline, elapsed,
                static_cast<unsigned long long>(goodCount), goodCount / elapsed, p50, p99, maxUs,
                static_cast<unsigned long long>(timeouts), connectMaxNs / 1000.0,
                static_cast<unsigned long long>(badCount), badCount / elapsed,
                static_cast<unsigned long long>(goodExceptions), static_cast<unsigned long long>(errors));
    return 0;
}
