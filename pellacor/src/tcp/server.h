// Modbus/TCP server internals: MBAP request assembly and reply building (pure,
// no sockets, so the fuzz target drives them directly), plus the seams the
// tests use to reach the idle check without waiting five minutes.
#pragma once

#include "core.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

namespace pellacor::tcp {

constexpr int kClientSlots = 32;
constexpr size_t kReceiveBufferSize = 2025;
constexpr size_t kMbapHeaderSize = 7;                       // up to and including the unit id
constexpr uint16_t kMaxLengthField = kReceiveBufferSize - 6; // 2019: a request must fit the buffer
constexpr uint16_t kMinLengthField = 2;                      // unit id and function code
// A read reply carries as much data as an RTU reply may (1,010 registers);
// ProcessRequest answers exception 2 to anything larger.
constexpr size_t kReplyDataCapacity = kTcpMaxReadData;
static_assert(kReplyDataCapacity >= 2 * 1010, "a TCP reply holds at least what an RTU reply may");
constexpr size_t kReplyCapacity = kMbapHeaderSize + 2 + kReplyDataCapacity;

// Connections the kernel completes and queues while the service thread is
// busy: a burst of masters reconnecting at once (a control system's restart)
// fills every slot without a handshake being dropped and retried.
constexpr int kListenBacklog = 64;

constexpr uint32_t kIdleLimitMs = 300000;
constexpr uint32_t kIdleCheckPeriodMs = 5000;
// Replies waiting for a client that does not read; past this the client is dropped.
constexpr size_t kOutputQueueLimit = 256 * 1024;

// Event procedure messages (see MBAPWndProc in pellacor.h).
constexpr uint32_t kMsgClose = 1025;
constexpr uint32_t kMsgListen = 1026;
constexpr uint32_t kMsgClientBase = 1124;
constexpr uint32_t kMsgTimer = 0x0113;
constexpr uintptr_t kIdleTimerId = 1;

// Whether a request's MBAP header (kMbapHeaderSize bytes) carries protocol id
// 0; any other id is no Modbus frame and gets no reply.
bool IsModbusFrame(const uint8_t* request);

// Builds the reply to one complete request (MBAP header included, `length`
// bytes in all) into `reply` (kReplyCapacity bytes). Returns the reply's size,
// 0 when the request gets no reply. `exception`, when given, receives the
// code of an exception reply and is left alone otherwise.
size_t BuildReply(const uint8_t* request, size_t length, uint8_t* reply, int* exception = nullptr);

// One client's request assembly.
struct Assembly {
    uint8_t buffer[kReceiveBufferSize];
    size_t fill = 0;
};

enum class DrainStatus : uint8_t {
    Ok,      // every complete request answered; a partial one may remain
    Drop,    // a length field that can never complete: drop the client
    Stopped, // `stop` was raised between requests
};

// Answers every complete request in the assembly buffer, in order, and moves a
// trailing partial request to the front. A request whose protocol id is not 0
// counts a bad frame on `c` and is passed over. For each other complete
// request: counts a good frame on `c`, sets *lastActivity to `now` and hands the reply to `sink`.
// `stop` (may be null) is checked after each request is processed: once it is
// raised, that reply is withheld and nothing further is answered.
DrainStatus DrainRequests(Assembly& a, Connection& c, uint32_t now, uint32_t* lastActivity,
                          const ReplySink& sink, const std::atomic<bool>* stop);

// Access control (tcp/access.cpp).
struct Network {
    int family = 0; // AF_INET or AF_INET6
    uint8_t address[16] = {};
    int prefix = 0; // leading bits that must match
};
// "ADDRESS" or "ADDRESS/PREFIX", IPv4 or IPv6; false for anything else,
// including host bits set below the prefix. An IPv4-mapped network
// (::ffff:a.b.c.d/96 and longer) is kept in its IPv4 form.
bool ParseNetwork(const char* text, Network& out);
// Whether a master's address lies in `n`. An IPv4 master (also one seen on a
// dual-stack socket as ::ffff:a.b.c.d) is compared as IPv4 against an IPv4
// network and as ::ffff:a.b.c.d against an IPv6 one.
bool InNetwork(const sockaddr_storage& peer, const Network& n);
// A numeric IPv4 or IPv6 address with port 0; NULL or "" is every IPv4
// interface. False for anything else.
bool ParseBindAddress(const char* text, sockaddr_storage& out);

// Notes a master refused by the allowed networks under its address, for
// TakeTCPRefusedMasters. Any thread; the table never grows past
// PELLACOR_REFUSED_MASTERS_KEPT addresses plus one for the rest.
void NoteRefused(const sockaddr_storage& peer);

// Millisecond tick of the idle check: monotonic, wrapping in 32 bits.
uint32_t NowMs();

// ---------------------------------------------------------------------------
// Test seams.

// Replaces the idle check's clock with a fixed value (enabled) or restores the
// monotonic clock.
void SetFakeClock(bool enabled, uint32_t nowMs);
// Asks the open server to run its idle check now, as if its timer fired.
// False when no server is open.
bool TriggerIdleCheck();
// Waits until every service thread, including one that ended on its own, has
// ended and been joined. False on timeout.
bool WaitAllServersEnded(int timeoutMs);
// Service threads started and not yet joined.
int LiveServiceThreads();
// Number of client slots in use in the open server (0 when none is open), as
// last updated by its service thread.
int ConnectedClients();

} // namespace pellacor::tcp
