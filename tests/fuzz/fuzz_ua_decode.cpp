// OPC UA binary decoding of what a server may send: `[kind][bytes]`, where kind
// picks a response or request (type id + body), a Variant, DataValue,
// DiagnosticInfo, ExpandedNodeId or an ExtensionObject body. Beyond the
// sanitizers' checks: whatever decodes must re-encode to bytes that decode
// again, completely, and re-encode to the same bytes (the value survived).

#include "ua/encoding/messages.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

namespace ua = ostrand::ua;

void check(bool condition) {
    if (!condition) std::abort();
}

// decode(reader) -> optional value, encode(writer, value).
template <class Decode, class Encode>
void round_trip(const uint8_t* data, size_t size, Decode decode, Encode encode) {
    ua::Reader first(data, size);
    auto value = decode(first);
    if (!first.ok() || !value) return;
    ua::Writer once;
    encode(once, *value);
    ua::Reader second(once.bytes());
    auto again = decode(second);
    check(second.ok() && again && second.at_end());
    ua::Writer twice;
    encode(twice, *again);
    check(once.bytes() == twice.bytes());
}

template <class Body>
void body_round_trip(const uint8_t* data, size_t size) {
    round_trip(
        data, size,
        [](ua::Reader& r) {
            Body b;
            ua::decode(r, b);
            return r.ok() ? std::optional<Body>(b) : std::nullopt;
        },
        [](ua::Writer& w, const Body& b) { ua::encode(w, b); });
}

// A built-in type through the Reader and Writer member that handle it.
template <auto read, auto write>
void builtin_round_trip(const uint8_t* data, size_t size) {
    round_trip(
        data, size, [](ua::Reader& r) { return std::optional((r.*read)()); },
        [](ua::Writer& w, const auto& v) { (w.*write)(v); });
}

// The notification bodies inside a Publish or Republish answer.
void notifications(const ua::Response& response) {
    const ua::NotificationMessage* message = nullptr;
    if (auto* p = std::get_if<ua::PublishResponse>(&response)) message = &p->notification_message;
    if (auto* p = std::get_if<ua::RepublishResponse>(&response)) message = &p->notification_message;
    if (!message) return;
    for (const auto& e : message->notification_data) {
        if (auto dcn = ua::from_extension<ua::DataChangeNotification>(e)) {
            const auto once = ua::to_extension(*dcn);
            const auto again = ua::from_extension<ua::DataChangeNotification>(once);
            check(again && ua::to_extension(*again) == once);
        }
        if (auto scn = ua::from_extension<ua::StatusChangeNotification>(e)) {
            const auto once = ua::to_extension(*scn);
            const auto again = ua::from_extension<ua::StatusChangeNotification>(once);
            check(again && ua::to_extension(*again) == once);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    const uint8_t kind = data[0];
    ++data;
    --size;
    switch (kind % 12) {
    case 0:
        round_trip(
            data, size,
            [](ua::Reader& r) {
                ua::Response out;
                return ua::decode_response(r, out) ? std::optional<ua::Response>(out) : std::nullopt;
            },
            [](ua::Writer& w, const ua::Response& v) {
                notifications(v);
                ua::encode_response(w, v);
            });
        break;
    case 1:
        round_trip(
            data, size,
            [](ua::Reader& r) {
                ua::Request out;
                return ua::decode_request(r, out) ? std::optional<ua::Request>(out) : std::nullopt;
            },
            [](ua::Writer& w, const ua::Request& v) { ua::encode_request(w, v); });
        break;
    case 2:
        builtin_round_trip<static_cast<ua::Variant (ua::Reader::*)()>(&ua::Reader::variant), &ua::Writer::variant>(data, size);
        break;
    case 3:
        builtin_round_trip<static_cast<ua::DataValue (ua::Reader::*)()>(&ua::Reader::data_value), &ua::Writer::data_value>(data, size);
        break;
    case 4:
        builtin_round_trip<&ua::Reader::diagnostic_info, &ua::Writer::diagnostic_info>(data, size);
        break;
    case 5:
        builtin_round_trip<&ua::Reader::expanded_node_id, &ua::Writer::expanded_node_id>(data, size);
        break;
    case 6:
        body_round_trip<ua::DataChangeNotification>(data, size);
        break;
    case 7:
        body_round_trip<ua::StatusChangeNotification>(data, size);
        break;
    case 8:
        body_round_trip<ua::DataChangeFilter>(data, size);
        break;
    case 9:
        body_round_trip<ua::EndpointDescription>(data, size);
        break;
    case 10:
        body_round_trip<ua::ApplicationDescription>(data, size);
        break;
    default:
        body_round_trip<ua::Range>(data, size);
        break;
    }
    return 0;
}
