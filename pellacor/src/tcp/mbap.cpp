// MBAP framing: request assembly from a client's byte stream and the replies.
#include "tcp/server.h"

#include <cstring>

namespace pellacor::tcp {
namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void PutBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// Transaction id, protocol id (both as received), length, unit id.
void PutHeader(const uint8_t* request, uint16_t lengthField, uint8_t* reply) {
    std::memcpy(reply, request, 4);
    PutBe16(reply + 4, lengthField);
    reply[6] = request[6];
}

} // namespace

// Modbus/TCP is protocol id 0 (Modbus Messaging on TCP/IP, 4.4.1); any other
// id is another protocol sharing the framing, and none of ours to answer.
bool IsModbusFrame(const uint8_t* request) { return Be16(request + 2) == 0; }

size_t BuildReply(const uint8_t* request, size_t length, uint8_t* reply, int* exception) {
    if (length < kMbapHeaderSize + 1 || !IsModbusFrame(request)) return 0;
    const uint8_t function = request[7];
    Request r;
    r.slave = request[6];
    r.function = function;
    r.fields = request + 8;
    r.fieldsLength = length - 8;

    // Read data goes straight to its place in the reply frame.
    uint8_t* data = reply + kMbapHeaderSize + 2;
    const Result result = ProcessRequest(Transport::Tcp, 0, r, data, kReplyDataCapacity);
    switch (result.outcome) {
    case Outcome::Silent:
        return 0;
    case Outcome::Exception:
        if (exception != nullptr) *exception = result.exception;
        PutHeader(request, 3, reply);
        reply[7] = ExceptionFunction(Transport::Tcp, function);
        reply[8] = result.exception;
        return 9;
    case Outcome::Data: {
        // Never trust a count beyond the space handed out.
        const size_t n = result.dataBytes <= kReplyDataCapacity ? result.dataBytes : kReplyDataCapacity;
        PutHeader(request, static_cast<uint16_t>(n + 3), reply);
        reply[7] = function;
        reply[8] = static_cast<uint8_t>(n);
        return kMbapHeaderSize + 2 + n;
    }
    case Outcome::Echo: {
        // The four bytes after the function code; a short request echoes
        // zeros for what it did not carry rather than stale buffer bytes.
        PutHeader(request, 6, reply);
        reply[7] = function;
        const size_t have = r.fieldsLength < 4 ? r.fieldsLength : 4;
        std::memset(reply + 8, 0, 4);
        std::memcpy(reply + 8, r.fields, have);
        return 12;
    }
    }
    return 0;
}

DrainStatus DrainRequests(Assembly& a, Connection& c, uint32_t now, uint32_t* lastActivity,
                          const ReplySink& sink, const std::atomic<bool>* stop) {
    uint8_t reply[kReplyCapacity];
    size_t offset = 0;
    DrainStatus status = DrainStatus::Ok;
    while (a.fill - offset >= kMbapHeaderSize) {
        const uint8_t* request = a.buffer + offset;
        const uint16_t lengthField = Be16(request + 4);
        if (lengthField < kMinLengthField || lengthField > kMaxLengthField) {
            a.fill = 0;
            return DrainStatus::Drop;
        }
        const size_t frame = static_cast<size_t>(lengthField) + 6;
        if (a.fill - offset < frame) break;

        if (!IsModbusFrame(request)) {
            // Its length still frames it, so the stream stays in step.
            c.badFrames.fetch_add(1, std::memory_order_relaxed);
            offset += frame;
            continue;
        }
        c.goodFrames.fetch_add(1, std::memory_order_relaxed);
        *lastActivity = now;
        int exception = -1;
        const size_t n = BuildReply(request, frame, reply, &exception);
        if (exception >= 0) CountException(c, static_cast<uint8_t>(exception));
        offset += frame;
        if (stop != nullptr && stop->load(std::memory_order_acquire)) {
            status = DrainStatus::Stopped;
            break;
        }
        if (n > 0 && sink.send != nullptr) sink.send(sink.context, reply, n);
    }
    if (offset > 0) {
        std::memmove(a.buffer, a.buffer + offset, a.fill - offset);
        a.fill -= offset;
    }
    return status;
}

} // namespace pellacor::tcp
