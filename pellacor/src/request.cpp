// Request processing: one Modbus request in, a reply description out. The
// transports differ only through the rules table below.
#include "core.h"
#include "table.h"

namespace pellacor {
namespace {

struct TransportRules {
    bool acceptance;          // serial slave acceptance before anything else
    bool answerBroadcast;     // slave id 0 gets a reply
    bool unitZeroReadsSlave1; // a read from slave id 0 is served from slave id 1
    bool wideRegisters;       // the wide register option is honoured
    bool coilOnHighByteOnly;  // function 5: ON when the value's high byte is nonzero
    uint8_t exceptionBits;    // function code for an exception: XOR (serial) or OR (TCP)
    bool exceptionByXor;
    // Read limit: factor x data bytes + overhead <= frameLimit.
    size_t bitsFactor;
    size_t registersFactor;
    size_t overhead;
    size_t frameLimit;
    size_t diagnosticsFields; // field bytes function 8 needs (for the echo)
};

constexpr TransportRules kRules[] = {
    // RTU: slave, function, byte count, data, CRC.
    {true, false, false, true, false, 0x80, true, 1, 1, 5, 2025, 0},
    // ASCII: colon, 2 characters per byte, LRC, CR LF.
    {true, false, false, true, false, 0x80, true, 2, 4, 9, 2025, 0},
    // Modbus/TCP: reads bounded by kTcpMaxReadData.
    {false, true, true, false, true, 0x80, false, 1, 1, 2025 - kTcpMaxReadData, 2025, 4},
};

const TransportRules& RulesOf(Transport t) { return kRules[static_cast<int>(t)]; }

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

Result Exception(uint8_t code) { return Result{Outcome::Exception, code, 0}; }

struct Context {
    const TransportRules& rules;
    const Request& request;
    bool wideOption;
    uint8_t* out;
    size_t outCapacity;

    size_t Fields() const { return request.fieldsLength; }
    uint16_t Field(size_t offset) const { return Be16(request.fields + offset); }
    // Point address of the request's first field: protocol address plus one.
    uint16_t FirstPoint() const { return static_cast<uint16_t>(Field(0) + 1); }
    bool Wide(uint16_t firstPoint) const { return wideOption && rules.wideRegisters && firstPoint >= 5001; }
    // A wide request may not wrap past 65535: its later points would land on
    // low addresses, whose blocks hold 16-bit elements, and be read or written
    // as 32-bit values beyond the application's memory.
    static bool WideWraps(uint16_t firstPoint, size_t quantity) { return quantity && firstPoint + quantity - 1 > 0xFFFF; }
    bool ReadFits(size_t dataBytes, size_t factor) const {
        return dataBytes <= outCapacity && factor * dataBytes + rules.overhead <= rules.frameLimit;
    }
    uint8_t ReadSlave() const {
        return request.slave == 0 && rules.unitZeroReadsSlave1 ? 1 : request.slave;
    }
};

// Reads the request's range with `readAll` (false: a point no block holds)
// until no block it read from was updated meanwhile, so that words the
// application stored in one update are never answered half old, half new.
// After a few tries, which only a steady stream of updates to the same
// blocks can use up, the range is read once more with their updates held off.
constexpr int kReadTries = 4;

template <class F> Result ReadConsistent(PointReader& reader, size_t dataBytes, F readAll) {
    for (int attempt = 1;; ++attempt) {
        if (attempt == kReadTries) {
            reader.HoldUpdates();
            const bool found = readAll();
            reader.ReleaseUpdates();
            return found ? Result{Outcome::Data, 0, dataBytes} : Exception(2);
        }
        if (!readAll()) return Exception(2);
        if (reader.Unchanged()) return Result{Outcome::Data, 0, dataBytes};
        reader.Restart();
    }
}

Result ReadBits(const Context& c) {
    if (c.Fields() < 4) return Exception(2);
    const uint16_t first = c.FirstPoint();
    const size_t quantity = c.Field(2);
    const size_t dataBytes = (quantity + 7) / 8;
    if (!c.ReadFits(dataBytes, c.rules.bitsFactor)) return Exception(2);
    PointReader reader(c.ReadSlave(), c.request.function);
    return ReadConsistent(reader, dataBytes, [&] {
        for (size_t i = 0; i < dataBytes; ++i) c.out[i] = 0;
        for (size_t i = 0; i < quantity; ++i) {
            uint16_t v = 0;
            if (!reader.Read16(static_cast<uint16_t>(first + i), v)) return false;
            if (v) c.out[i / 8] = static_cast<uint8_t>(c.out[i / 8] | 1u << (i % 8));
        }
        return true;
    });
}

Result ReadRegisters(const Context& c) {
    if (c.Fields() < 4) return Exception(2);
    const uint16_t first = c.FirstPoint();
    const size_t quantity = c.Field(2);
    const bool wide = c.Wide(first);
    const size_t width = wide ? 4 : 2;
    const size_t dataBytes = quantity * width;
    if (!c.ReadFits(dataBytes, c.rules.registersFactor) || (wide && c.WideWraps(first, quantity))) return Exception(2);
    PointReader reader(c.ReadSlave(), c.request.function);
    return ReadConsistent(reader, dataBytes, [&] {
        uint8_t* p = c.out;
        for (size_t i = 0; i < quantity; ++i) {
            const uint16_t point = static_cast<uint16_t>(first + i);
            uint32_t v = 0;
            if (wide) {
                if (!reader.Read32(point, v)) return false;
            } else {
                uint16_t v16 = 0;
                if (!reader.Read16(point, v16)) return false;
                v = v16;
            }
            for (size_t b = width; b-- > 0;) *p++ = static_cast<uint8_t>(v >> (8 * b));
        }
        return true;
    });
}

Result WriteSingle(const Context& c, uint8_t type) {
    if (c.Fields() < 4) return Exception(2);
    const uint16_t raw = c.Field(2);
    uint32_t value = raw;
    if (type == PELLACOR_COIL_STATUS) value = (c.rules.coilOnHighByteOnly ? (raw >> 8) != 0 : raw != 0) ? 1 : 0;
    if (!WritePoint(c.request.slave, type, c.FirstPoint(), value, false)) return Exception(2);
    return Result{Outcome::Echo, 0, 0};
}

// Functions 15 and 16: the whole data the quantity needs must have arrived,
// otherwise nothing is written.
Result WriteMultiple(const Context& c, uint8_t type) {
    if (c.Fields() < 5) return Exception(2);
    const uint16_t first = c.FirstPoint();
    const size_t quantity = c.Field(2);
    const uint8_t* data = c.request.fields + 5;
    const size_t available = c.Fields() - 5;
    if (type == PELLACOR_COIL_STATUS) {
        if ((quantity + 7) / 8 > available) return Exception(2);
        for (size_t i = 0; i < quantity; ++i) {
            const uint32_t on = data[i / 8] >> (i % 8) & 1u;
            if (!WritePoint(c.request.slave, type, static_cast<uint16_t>(first + i), on, false)) return Exception(2);
        }
    } else {
        const bool wide = c.Wide(first);
        const size_t width = wide ? 4 : 2;
        if (quantity * width > available || (wide && c.WideWraps(first, quantity))) return Exception(2);
        for (size_t i = 0; i < quantity; ++i) {
            uint32_t v = 0;
            for (size_t b = 0; b < width; ++b) v = v << 8 | data[i * width + b];
            if (!WritePoint(c.request.slave, type, static_cast<uint16_t>(first + i), v, wide)) return Exception(2);
        }
    }
    return Result{Outcome::Echo, 0, 0};
}

Result Dispatch(const Context& c) {
    switch (c.request.function) {
    case 1:
    case 2:
        return ReadBits(c);
    case 3:
    case 4:
        return ReadRegisters(c);
    case 5:
        return WriteSingle(c, PELLACOR_COIL_STATUS);
    case 6:
        return WriteSingle(c, PELLACOR_HOLDING_REGISTER);
    case 8:
        if (c.Fields() < c.rules.diagnosticsFields) return Exception(2);
        return Result{Outcome::Echo, 0, 0};
    case 15:
        return WriteMultiple(c, PELLACOR_COIL_STATUS);
    case 16:
        return WriteMultiple(c, PELLACOR_HOLDING_REGISTER);
    default:
        return Exception(1);
    }
}

bool IsWrite(uint8_t function) { return function == 5 || function == 6 || function == 15 || function == 16; }

} // namespace

uint8_t ExceptionFunction(Transport transport, uint8_t function) {
    const TransportRules& r = RulesOf(transport);
    return r.exceptionByXor ? static_cast<uint8_t>(function ^ r.exceptionBits)
                            : static_cast<uint8_t>(function | r.exceptionBits);
}

Result ProcessRequest(Transport transport, uint32_t options, const Request& request, uint8_t* out,
                      size_t outCapacity) {
    const TransportRules& rules = RulesOf(transport);
    if (rules.acceptance && !SlaveAccepted(request.slave, request.function)) return Result{};
    Request safe = request;
    if (!safe.fields) safe.fieldsLength = 0;
    const Context c{rules, safe, options != 0, out, out ? outCapacity : 0};
    const Result result = Dispatch(c);
    if (result.outcome != Outcome::Exception && IsWrite(request.function)) PostWriteNotifications();
    if (request.slave == 0 && !rules.answerBroadcast) return Result{};
    return result;
}

} // namespace pellacor
