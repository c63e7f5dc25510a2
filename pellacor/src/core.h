// Pellacor internals shared by the transports: the data-block table, the
// connection records, request processing and the serial framing.
//
// Ownership: core (table.cpp, request.cpp, framing.cpp, connection.cpp),
// serial links (serial*.cpp), Modbus/TCP server (tcp*.cpp). The transports
// only use what this header declares.
#pragma once

#include "pellacor.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pellacor {

constexpr int kBlockCount = 250;
constexpr int kSerialPorts = 9;
constexpr int kRingEntries = 1024;
constexpr size_t kSerialRxSize = 520;

// ---------------------------------------------------------------------------
// Connection records: index 0..8 = COM1..COM9, index 9 = the Modbus/TCP server.
constexpr int kTcpIndex = kSerialPorts;
constexpr int kExceptionSlots = 12;

struct Connection {
    std::atomic<int32_t> handle{-1};              // -1 closed; 8050 for TCP
    std::atomic<const PellacorWindow*> window{nullptr};
    uintptr_t timerId = 0;
    uint32_t endOfFrameMs = 0;
    uint16_t protocol = 0;                        // 1 RTU, else ASCII
    std::atomic<uint32_t> options{0};             // nonzero: wide registers
    std::atomic<uint32_t> goodFrames{0};
    std::atomic<uint32_t> badFrames{0};
    std::atomic<uint32_t> skippedFrames{0};       // RTU: good CRC, another slave's
    // Exception replies sent, by code (1..11); other codes count at 0.
    std::atomic<uint32_t> exceptions[kExceptionSlots] = {};
    uint8_t rtsLeadMs = 0;
    uint8_t rtsTailMs = 0;
    // Traffic ring: allocated on open, released on close. Writers are the
    // thread(s) handling this connection; readers use ReadDebugData.
    std::atomic<std::atomic<uint16_t>*> ring{nullptr};
    std::atomic<uint32_t> ringPos{0};
};

Connection& ConnectionAt(int index);
// 8050 -> TCP record (open or not); -1 -> none; else the open serial record
// with that handle; nullptr when unknown.
Connection* FindConnection(int32_t handle);

// Ring lifetime (the transports call these on open and close).
void AllocateRing(Connection& c);
void ReleaseRing(Connection& c);
// Appends a chunk to the connection's ring (received: high byte 1) and then
// calls the traffic callback with (handle, start position, length). Nothing is
// recorded and no callback is made while the connection has no ring.
// Who records what: the transport records each received chunk as it arrives
// (received = true) and its send function records each frame it sends
// (received = false). The framing and request functions below record nothing.
// A released ring's storage stays valid (it is reused on the next open), so a
// late RecordTraffic racing with ReleaseRing writes nowhere harmful.
void RecordTraffic(Connection& c, const uint8_t* data, size_t length, bool received);

// ---------------------------------------------------------------------------
// Request processing, transport independent.

enum class Transport : uint8_t { Rtu, Ascii, Tcp };

struct Request {
    uint8_t slave = 0;
    uint8_t function = 0;
    const uint8_t* fields = nullptr; // the bytes after the function code, binary
    size_t fieldsLength = 0;         // how many of them were received
};

enum class Outcome : uint8_t {
    Silent,    // no reply at all (acceptance refused, or a serial broadcast)
    Exception, // reply with exception code `exception`
    Data,      // read reply: `dataBytes` data bytes were written to `out`
    Echo       // write or diagnostics: the transport builds its echo
};

struct Result {
    Outcome outcome = Outcome::Silent;
    uint8_t exception = 0;
    size_t dataBytes = 0;
};

// Handles one request to the end: acceptance (serial transports), dispatch,
// reads into `out` (capacity `outCapacity`), writes into the blocks with their
// callbacks, and the write notifications after a successful write. `options`
// is the connection's protocol options word.
//
// For a Data outcome `out` receives only the data bytes; the transport adds
// its header and the byte count field, which carries the low 8 bits of
// `dataBytes`. ProcessRequest never writes past `outCapacity`: a read whose
// data would not fit `outCapacity` or the transport's reply limit is answered
// with exception 2 before any point is read.
//
// Reply limits (data bytes of a read reply):
//   RTU:   data + 5 <= 2025                     (1,010 registers, 505 wide)
//   ASCII: bits 2 x data + 9 <= 2025, registers 4 x data + 9 <= 2025
//          (252 registers, 126 wide)
//   TCP:   data <= kTcpMaxReadData = 2020       (1,010 registers, 16,160 bits),
//          so a TCP read reply is at most 9 + 2020 = 2029 bytes.
//
// A request shorter than its function's fields (4 bytes for 1 to 6; for 15 and
// 16 the 5 bytes of address, quantity and byte count plus the data the
// quantity needs; 4 bytes for 8 on TCP, whose echo repeats them) is answered
// with exception 2 and touches no block.
//
// Write notifications are posted here after every successful write request
// (5, 6, 15, 16, broadcasts included): transports must not post them again.
// Serial broadcasts (slave 0) are processed and then always Silent.
Result ProcessRequest(Transport transport, uint32_t options, const Request& request, uint8_t* out,
                      size_t outCapacity);

constexpr size_t kTcpMaxReadData = 2020;
// Largest data part of a serial read reply (RTU); ASCII needs at most 1,008.
constexpr size_t kSerialMaxReadData = 2020;

// Counts an exception reply of code `code` on `c`.
inline void CountException(Connection& c, uint8_t code) {
    c.exceptions[code < kExceptionSlots ? code : 0].fetch_add(1, std::memory_order_relaxed);
}
// Clears the frame and exception counters (a link that opens starts at 0).
inline void ResetCounters(Connection& c) {
    c.goodFrames.store(0);
    c.badFrames.store(0);
    c.skippedFrames.store(0);
    for (auto& e : c.exceptions) e.store(0);
}

// Exception function code as the transport sends it.
uint8_t ExceptionFunction(Transport transport, uint8_t function);

// Slave acceptance of the serial links: slave 0 only for 5, 6, 15, 16; any
// other slave id when some table entry of that id is active.
bool SlaveAccepted(uint8_t slave, uint8_t function);

// ---------------------------------------------------------------------------
// Serial framing over a complete frame (the caller owns the buffer and empties
// it afterwards). Counts good and bad frames on `c` and sends the reply, if
// any, through `sink`, at most once per call, before returning. The framing
// records no traffic: the sink's send function records what it sends.
//
// RTU: every frame with a good CRC counts as good, whoever it is for, and one
// for a slave id the link does not serve counts as skipped as well. ASCII:
// the frame ends at the first line feed and starts at the last colon before
// it (everything earlier is noise, not a frame); a frame holding anything but
// hex digits between its colon and its line end is bad, nothing of it is
// processed; only accepted frames count as good; a frame whose check is good
// but which is too short to carry a slave id and a function code counts as bad.
// Write replies carry the request's slave id, function code and first two
// fields with a fresh CRC or LRC (for a well-formed 5 or 6 request exactly the
// request); diagnostics echo the RTU frame as received, or the ASCII frame
// from its colon to its first line feed.

struct ReplySink {
    void* context = nullptr;
    void (*send)(void* context, const uint8_t* data, size_t length) = nullptr;
};

void RtuReceive(Connection& c, const uint8_t* frame, size_t length, const ReplySink& sink);
void AsciiReceive(Connection& c, const uint8_t* buffer, size_t length, const ReplySink& sink);

// `crc`: the CRC of the bytes before `data`, to carry one along.
uint16_t Crc16(const uint8_t* data, size_t length, uint16_t crc = 0xFFFF);
uint8_t Lrc(const char* hex, size_t length); // over hex character pairs
uint32_t EndOfFrameTimeMs(uint32_t baudRate);

// ---------------------------------------------------------------------------
// Transport hooks. CloseConnection (serial/link.cpp) hands 8050 to the TCP server.
int32_t CloseTcpServer(); // tcp*.cpp: asynchronous close; 1 also when closed

} // namespace pellacor
