// RTU and ASCII framing over one complete received frame: checks, counters,
// decoding, and every reply layout. The caller's transport sends the reply and
// records traffic; nothing here touches a port.
#include "core.h"

#include <cstring>

namespace pellacor {
namespace {

constexpr size_t kRtuReplyMax = 2025;
// Colon, 6 header characters, 2 per data byte, LRC, CR LF.
constexpr size_t kAsciiReplyMax = 1 + 6 + 2 * kSerialMaxReadData + 2 + 2;
constexpr char kHexDigits[] = "0123456789ABCDEF";

uint8_t Nibble(char ch) {
    if (ch >= '0' && ch <= '9') return static_cast<uint8_t>(ch - '0');
    if (ch >= 'A' && ch <= 'F') return static_cast<uint8_t>(ch - 'A' + 10);
    if (ch >= 'a' && ch <= 'f') return static_cast<uint8_t>(ch - 'a' + 10);
    return 0; // anything else decodes as 0
}

// Hex digits only (either case) between the colon and the line end: any other
// byte makes the frame bad rather than decoding as some value.
bool AllHex(const uint8_t* p, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const uint8_t ch = p[i];
        if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F') || (ch >= 'a' && ch <= 'f'))) return false;
    }
    return true;
}

uint8_t DecodePair(const char* p) { return static_cast<uint8_t>(Nibble(p[0]) << 4 | Nibble(p[1])); }

char* EncodeByte(char* p, uint8_t b) {
    *p++ = kHexDigits[b >> 4];
    *p++ = kHexDigits[b & 0xF];
    return p;
}

void Send(const ReplySink& sink, const void* data, size_t length) {
    if (sink.send) sink.send(sink.context, static_cast<const uint8_t*>(data), length);
}

void SendRtu(const ReplySink& sink, uint8_t* frame, size_t message) {
    const uint16_t crc = Crc16(frame, message);
    frame[message] = static_cast<uint8_t>(crc & 0xFF);
    frame[message + 1] = static_cast<uint8_t>(crc >> 8);
    Send(sink, frame, message + 2);
}

// Appends LRC and CR LF to the characters after the colon and sends the frame.
void SendAscii(const ReplySink& sink, char* frame, char* end) {
    end = EncodeByte(end, Lrc(frame + 1, static_cast<size_t>(end - frame - 1)));
    *end++ = '\r';
    *end++ = '\n';
    Send(sink, frame, static_cast<size_t>(end - frame));
}

} // namespace

uint16_t Crc16(const uint8_t* data, size_t length, uint16_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? static_cast<uint16_t>(crc >> 1 ^ 0xA001) : crc >> 1;
    }
    return crc;
}

uint8_t Lrc(const char* hex, size_t length) {
    uint8_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) sum = static_cast<uint8_t>(sum + DecodePair(hex + i));
    if (i < length) sum = static_cast<uint8_t>(sum + (Nibble(hex[i]) << 4)); // a lone last character
    return static_cast<uint8_t>(-sum);
}

uint32_t EndOfFrameTimeMs(uint32_t baudRate) {
    switch (baudRate) {
    case 300:
    case 600:
    case 1200:
        return 250;
    case 2400:
    case 4800:
        return 100;
    case 9600:
    case 14400:
    case 19200:
        return 50;
    case 38400:
    case 56000:
    case 57600:
    case 115200:
    case 128000:
    case 256000:
        return 5;
    default:
        return 500;
    }
}

void RtuReceive(Connection& c, const uint8_t* frame, size_t length, const ReplySink& sink) {
    if (!frame || length <= 2 ||
        Crc16(frame, length - 2) != static_cast<uint16_t>(frame[length - 2] | frame[length - 1] << 8)) {
        c.badFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // Every frame with a good check counts, whichever slave it is for.
    c.goodFrames.fetch_add(1, std::memory_order_relaxed);
    const size_t message = length - 2;
    if (message < 2) return; // a slave id without a function code: nothing to answer
    if (!SlaveAccepted(frame[0], frame[1])) {
        c.skippedFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }

    const Request request{frame[0], frame[1], frame + 2, message - 2};
    uint8_t reply[kRtuReplyMax];
    const Result r = ProcessRequest(Transport::Rtu, c.options.load(std::memory_order_relaxed), request, reply + 3,
                                    kRtuReplyMax - 5);
    reply[0] = request.slave;
    switch (r.outcome) {
    case Outcome::Silent:
        return;
    case Outcome::Exception:
        CountException(c, r.exception);
        reply[1] = ExceptionFunction(Transport::Rtu, request.function);
        reply[2] = r.exception;
        return SendRtu(sink, reply, 3);
    case Outcome::Data:
        reply[1] = request.function;
        reply[2] = static_cast<uint8_t>(r.dataBytes);
        return SendRtu(sink, reply, 3 + r.dataBytes);
    case Outcome::Echo:
        if (request.function == 8) return Send(sink, frame, length);
        // Writes: slave id, function code and the first two fields with a
        // fresh CRC (for 5 and 6 this is the request itself).
        std::memcpy(reply, frame, 6);
        return SendRtu(sink, reply, 6);
    }
}

void AsciiReceive(Connection& c, const uint8_t* buffer, size_t length, const ReplySink& sink) {
    // Every colon starts a frame: bytes before the last colon ahead of the
    // first line feed are line noise (or the broken start of an earlier
    // frame) and are dropped without counting a frame.
    const auto* lf = buffer ? static_cast<const uint8_t*>(std::memchr(buffer, '\n', length)) : nullptr;
    const auto* colon = buffer ? static_cast<const uint8_t*>(
                                     ::memrchr(buffer, ':', lf ? static_cast<size_t>(lf - buffer) : length))
                               : nullptr;
    if (!colon) {
        c.badFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const size_t frameLength = lf ? static_cast<size_t>(lf - colon) + 1 : 0;
    // The frame ends in CR LF; a lone line feed ends no frame of ours.
    if (frameLength <= 5 || !AllHex(colon + 1, frameLength - 3) || colon[frameLength - 2] != '\r') {
        c.badFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const char* frame = reinterpret_cast<const char*>(colon);
    const char* message = frame + 1;
    const size_t messageLength = frameLength - 5; // without colon, LRC and line end
    char lrc[2];
    EncodeByte(lrc, Lrc(message, messageLength));
    // Too short to name a slave and a function: counted as a broken frame
    // rather than decoded from the check characters.
    if (lrc[0] != message[messageLength] || lrc[1] != message[messageLength + 1] || messageLength < 4) {
        c.badFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const uint8_t slave = DecodePair(message);
    const uint8_t function = DecodePair(message + 2);
    if (!SlaveAccepted(slave, function)) return; // not ours: not counted
    c.goodFrames.fetch_add(1, std::memory_order_relaxed);

    uint8_t fields[kSerialRxSize];
    size_t fieldCount = (messageLength - 4) / 2;
    if (fieldCount > sizeof fields) fieldCount = sizeof fields;
    for (size_t i = 0; i < fieldCount; ++i) fields[i] = DecodePair(message + 4 + 2 * i);

    const Request request{slave, function, fields, fieldCount};
    uint8_t data[kSerialMaxReadData];
    const Result r =
        ProcessRequest(Transport::Ascii, c.options.load(std::memory_order_relaxed), request, data, sizeof data);
    char reply[kAsciiReplyMax];
    char* p = reply;
    *p++ = ':';
    p = EncodeByte(p, slave);
    switch (r.outcome) {
    case Outcome::Silent:
        return;
    case Outcome::Exception:
        CountException(c, r.exception);
        p = EncodeByte(p, ExceptionFunction(Transport::Ascii, function));
        p = EncodeByte(p, r.exception);
        return SendAscii(sink, reply, p);
    case Outcome::Data:
        p = EncodeByte(p, function);
        p = EncodeByte(p, static_cast<uint8_t>(r.dataBytes));
        for (size_t i = 0; i < r.dataBytes; ++i) p = EncodeByte(p, data[i]);
        return SendAscii(sink, reply, p);
    case Outcome::Echo:
        // Diagnostics: the frame as received, up to its line feed.
        if (function == 8) return Send(sink, frame, frameLength);
        // Writes: the 12 characters of slave id, function code and the first
        // two fields as received, with a fresh LRC.
        std::memcpy(reply + 1, message, 12);
        return SendAscii(sink, reply, reply + 13);
    }
}

} // namespace pellacor
