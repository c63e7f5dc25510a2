// The OPC UA binary encoding of the built-in types (OPC UA Part 6 5.2).

#include "ua/encoding/codec.h"

#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

namespace ostrand::ua {

namespace {

// NodeId encoding bytes (Part 6 5.2.2.9) and the ExpandedNodeId flags.
constexpr uint8_t kTwoByte = 0x00;
constexpr uint8_t kFourByte = 0x01;
constexpr uint8_t kNumeric = 0x02;
constexpr uint8_t kStringId = 0x03;
constexpr uint8_t kGuidId = 0x04;
constexpr uint8_t kByteStringId = 0x05;
constexpr uint8_t kNamespaceUriFlag = 0x80;
constexpr uint8_t kServerIndexFlag = 0x40;

// Variant encoding mask (Part 6 5.2.2.16).
constexpr uint8_t kVariantTypeMask = 0x3F;
constexpr uint8_t kVariantDimensions = 0x40;
constexpr uint8_t kVariantArray = 0x80;

// DataValue encoding mask (Part 6 5.2.2.17).
constexpr uint8_t kDvValue = 0x01;
constexpr uint8_t kDvStatus = 0x02;
constexpr uint8_t kDvSourceTime = 0x04;
constexpr uint8_t kDvServerTime = 0x08;
constexpr uint8_t kDvSourcePico = 0x10;
constexpr uint8_t kDvServerPico = 0x20;

// DiagnosticInfo encoding mask (Part 6 5.2.2.12).
constexpr uint8_t kDiSymbolicId = 0x01;
constexpr uint8_t kDiNamespace = 0x02;
constexpr uint8_t kDiLocalizedText = 0x04;
constexpr uint8_t kDiLocale = 0x08;
constexpr uint8_t kDiAdditionalInfo = 0x10;
constexpr uint8_t kDiInnerStatus = 0x20;
constexpr uint8_t kDiInner = 0x40;

// LocalizedText encoding mask.
constexpr uint8_t kLtLocale = 0x01;
constexpr uint8_t kLtText = 0x02;

// The NodeId body after its encoding byte; `flags` go into that byte.
void write_node_id(Writer& w, const NodeId& v, uint8_t flags) {
    switch (v.type) {
    case IdType::Numeric:
        if (v.namespace_index == 0 && v.numeric <= 0xFF) {
            w.byte(kTwoByte | flags);
            w.byte(static_cast<uint8_t>(v.numeric));
        } else if (v.namespace_index <= 0xFF && v.numeric <= 0xFFFF) {
            w.byte(kFourByte | flags);
            w.byte(static_cast<uint8_t>(v.namespace_index));
            w.uint16(static_cast<uint16_t>(v.numeric));
        } else {
            w.byte(kNumeric | flags);
            w.uint16(v.namespace_index);
            w.uint32(v.numeric);
        }
        return;
    case IdType::String:
        w.byte(kStringId | flags);
        w.uint16(v.namespace_index);
        w.string(v.string);
        return;
    case IdType::Guid:
        w.byte(kGuidId | flags);
        w.uint16(v.namespace_index);
        w.guid(v.guid());
        return;
    case IdType::Opaque:
        w.byte(kByteStringId | flags);
        w.uint16(v.namespace_index);
        w.byte_string(v.string);
        return;
    }
}

// The NodeId whose encoding byte (flags removed) is `form`.
NodeId read_node_id(Reader& r, uint8_t form) {
    NodeId v;
    switch (form) {
    case kTwoByte:
        v.numeric = r.byte();
        break;
    case kFourByte:
        v.namespace_index = r.byte();
        v.numeric = r.uint16();
        break;
    case kNumeric:
        v.namespace_index = r.uint16();
        v.numeric = r.uint32();
        break;
    case kStringId:
        v.namespace_index = r.uint16();
        v.type = IdType::String;
        v.string = r.string().value_or(std::string());
        break;
    case kGuidId: {
        const uint16_t ns = r.uint16(); // read before the Guid that follows it
        v = NodeId::guid_id(ns, r.guid());
        break;
    }
    case kByteStringId:
        v.namespace_index = r.uint16();
        v.type = IdType::Opaque;
        v.string = r.byte_string().value_or(std::string());
        break;
    default:
        r.fail();
        break;
    }
    if (!r.ok()) return {};
    return v;
}

// One element of built-in type T, both ways.
template <uint8_t T>
void write_element(Writer& w, const VariantElement<T>& e) {
    if constexpr (T == kBoolean) w.boolean(e != 0);
    else if constexpr (T == kSByte) w.sbyte(e);
    else if constexpr (T == kByte) w.byte(e);
    else if constexpr (T == kInt16) w.int16(e);
    else if constexpr (T == kUInt16) w.uint16(e);
    else if constexpr (T == kInt32) w.int32(e);
    else if constexpr (T == kUInt32 || T == kStatusCode) w.uint32(e);
    else if constexpr (T == kInt64 || T == kDateTime) w.int64(e);
    else if constexpr (T == kUInt64) w.uint64(e);
    else if constexpr (T == kFloat) w.float32(e);
    else if constexpr (T == kDouble) w.float64(e);
    else if constexpr (T == kString || T == kByteString || T == kXmlElement) w.string(e);
    else if constexpr (T == kGuid) w.guid(e);
    else if constexpr (T == kNodeId) w.node_id(e);
    else if constexpr (T == kExpandedNodeId) w.expanded_node_id(e);
    else if constexpr (T == kQualifiedName) w.qualified_name(e);
    else if constexpr (T == kLocalizedText) w.localized_text(e);
    else if constexpr (T == kExtensionObject) w.extension_object(e);
    else if constexpr (T == kDataValue) w.data_value(e);
    else if constexpr (T == kVariant) w.variant(e);
    else if constexpr (T == kDiagnosticInfo) w.diagnostic_info(e);
}

template <uint8_t T>
VariantElement<T> read_element(Reader& r) {
    if constexpr (T == kBoolean) return r.boolean() ? 1 : 0;
    else if constexpr (T == kSByte) return r.sbyte();
    else if constexpr (T == kByte) return r.byte();
    else if constexpr (T == kInt16) return r.int16();
    else if constexpr (T == kUInt16) return r.uint16();
    else if constexpr (T == kInt32) return r.int32();
    else if constexpr (T == kUInt32 || T == kStatusCode) return r.uint32();
    else if constexpr (T == kInt64 || T == kDateTime) return r.int64();
    else if constexpr (T == kUInt64) return r.uint64();
    else if constexpr (T == kFloat) return r.float32();
    else if constexpr (T == kDouble) return r.float64();
    else if constexpr (T == kString || T == kByteString || T == kXmlElement) return r.string();
    else if constexpr (T == kGuid) return r.guid();
    else if constexpr (T == kNodeId) return r.node_id();
    else if constexpr (T == kExpandedNodeId) return r.expanded_node_id();
    else if constexpr (T == kQualifiedName) return r.qualified_name();
    else if constexpr (T == kLocalizedText) return r.localized_text();
    else if constexpr (T == kExtensionObject) return r.extension_object();
    else if constexpr (T == kDataValue) return r.data_value();
    else if constexpr (T == kVariant) return r.variant();
    else if constexpr (T == kDiagnosticInfo) return r.diagnostic_info();
}

// Calls f(std::integral_constant<uint8_t, T>) for the built-in type `type` (1..25).
template <class F, uint8_t... Ts>
void dispatch_impl(uint8_t type, F&& f, std::integer_sequence<uint8_t, Ts...>) {
    ((type == Ts + 1 ? (f(std::integral_constant<uint8_t, Ts + 1>{}), 0) : 0), ...);
}
template <class F>
void dispatch(uint8_t type, F&& f) {
    dispatch_impl(type, f, std::make_integer_sequence<uint8_t, kMaxBuiltinType>{});
}

size_t element_count(const VariantStorage& values) {
    return std::visit(
        [](const auto& items) -> size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(items)>, std::monostate>) return 0;
            else return items.size();
        },
        values);
}

} // namespace

size_t min_encoded_size(uint8_t type) {
    switch (type) {
    case kInt16:
    case kUInt16:
    case kNodeId:
    case kExpandedNodeId:
        return 2;
    case kInt32:
    case kUInt32:
    case kFloat:
    case kStatusCode:
    case kString:
    case kByteString:
    case kXmlElement:
        return 4;
    case kInt64:
    case kUInt64:
    case kDouble:
    case kDateTime:
        return 8;
    case kGuid:
        return 16;
    case kQualifiedName:
        return 6;
    case kExtensionObject:
        return 3;
    default:
        return 1;
    }
}

// ---- Writer -------------------------------------------------------------------

void Writer::raw(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + size);
}

void Writer::patch_uint32(size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) buf_[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

void Writer::uint16(uint16_t v) {
    byte(static_cast<uint8_t>(v));
    byte(static_cast<uint8_t>(v >> 8));
}

void Writer::uint32(uint32_t v) {
    for (int i = 0; i < 4; ++i) byte(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::uint64(uint64_t v) {
    for (int i = 0; i < 8; ++i) byte(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::float32(float v) { uint32(std::bit_cast<uint32_t>(v)); }
void Writer::float64(double v) { uint64(std::bit_cast<uint64_t>(v)); }

void Writer::string(const String& v) {
    if (!v) {
        int32(-1);
        return;
    }
    int32(static_cast<int32_t>(v->size()));
    raw(v->data(), v->size());
}

void Writer::guid(const Guid& v) {
    uint32(v.data1);
    uint16(v.data2);
    uint16(v.data3);
    raw(v.data4.data(), v.data4.size());
}

void Writer::node_id(const NodeId& v) { write_node_id(*this, v, 0); }

void Writer::expanded_node_id(const ExpandedNodeId& v) {
    const uint8_t flags = (v.namespace_uri ? kNamespaceUriFlag : 0) | (v.server_index ? kServerIndexFlag : 0);
    write_node_id(*this, v.node_id, flags);
    if (v.namespace_uri) string(v.namespace_uri);
    if (v.server_index) uint32(v.server_index);
}

void Writer::qualified_name(const QualifiedName& v) {
    uint16(v.namespace_index);
    string(v.name);
}

void Writer::localized_text(const LocalizedText& v) {
    byte((v.locale ? kLtLocale : 0) | (v.text ? kLtText : 0));
    if (v.locale) string(v.locale);
    if (v.text) string(v.text);
}

void Writer::extension_object(const ExtensionObject& v) {
    node_id(v.type_id);
    byte(static_cast<uint8_t>(v.encoding));
    if (v.encoding != ExtensionObject::Encoding::None) string(v.body);
}

void Writer::data_value(const DataValue& v) {
    byte((v.value ? kDvValue : 0) | (v.status ? kDvStatus : 0) | (v.source_timestamp ? kDvSourceTime : 0) |
         (v.server_timestamp ? kDvServerTime : 0) | (v.source_picoseconds ? kDvSourcePico : 0) |
         (v.server_picoseconds ? kDvServerPico : 0));
    if (v.value) variant(*v.value);
    if (v.status) status_code(*v.status);
    if (v.source_timestamp) date_time(*v.source_timestamp);
    if (v.source_picoseconds) uint16(*v.source_picoseconds);
    if (v.server_timestamp) date_time(*v.server_timestamp);
    if (v.server_picoseconds) uint16(*v.server_picoseconds);
}

void Writer::variant(const Variant& v) {
    const uint8_t type = v.type();
    const bool no_scalar = !v.array && element_count(v.values) == 0;
    if (type == kNull || no_scalar) { // a scalar without its element is written as the null Variant
        byte(0);
        return;
    }
    const bool dims = v.array && !v.dimensions.empty();
    byte(type | (v.array ? kVariantArray : 0) | (dims ? kVariantDimensions : 0));
    dispatch(type, [&](auto t) {
        constexpr uint8_t T = decltype(t)::value;
        const auto& items = std::get<T>(v.values);
        if (v.array) int32(static_cast<int32_t>(items.size()));
        for (const auto& e : items) {
            write_element<T>(*this, e);
            if (!v.array) break;
        }
    });
    if (dims) array(v.dimensions, [&](int32_t d) { int32(d); });
}

void Writer::diagnostic_info(const DiagnosticInfo& v) {
    byte((v.symbolic_id ? kDiSymbolicId : 0) | (v.namespace_uri ? kDiNamespace : 0) |
         (v.localized_text ? kDiLocalizedText : 0) | (v.locale ? kDiLocale : 0) |
         (v.additional_info ? kDiAdditionalInfo : 0) | (v.inner_status_code ? kDiInnerStatus : 0) |
         (v.inner.empty() ? 0 : kDiInner));
    if (v.symbolic_id) int32(*v.symbolic_id);
    if (v.namespace_uri) int32(*v.namespace_uri);
    if (v.locale) int32(*v.locale);
    if (v.localized_text) int32(*v.localized_text);
    if (v.additional_info) string(v.additional_info);
    if (v.inner_status_code) status_code(*v.inner_status_code);
    if (!v.inner.empty()) diagnostic_info(v.inner.front());
}

// ---- Reader -------------------------------------------------------------------

bool Reader::take(void* out, size_t size) {
    if (!ok() || size_ - pos_ < size) {
        fail();
        std::memset(out, 0, size);
        return false;
    }
    std::memcpy(out, data_ + pos_, size);
    pos_ += size;
    return true;
}

std::span<const uint8_t> Reader::raw(size_t size) {
    if (!ok() || size_ - pos_ < size) {
        fail();
        return {};
    }
    std::span<const uint8_t> out(data_ + pos_, size);
    pos_ += size;
    return out;
}

String Reader::string() {
    const int32_t length = int32();
    if (!ok() || length < 0) return std::nullopt;
    const auto bytes = raw(static_cast<size_t>(length));
    charge(static_cast<size_t>(length));
    if (!ok()) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Guid Reader::guid() {
    Guid g;
    g.data1 = uint32();
    g.data2 = uint16();
    g.data3 = uint16();
    take(g.data4.data(), g.data4.size());
    return g;
}

NodeId Reader::node_id() {
    const uint8_t form = byte();
    return read_node_id(*this, form);
}

ExpandedNodeId Reader::expanded_node_id() {
    ExpandedNodeId v;
    const uint8_t form = byte();
    v.node_id = read_node_id(*this, form & 0x3F);
    if (form & kNamespaceUriFlag) v.namespace_uri = string();
    if (form & kServerIndexFlag) v.server_index = uint32();
    if (!ok()) return {};
    return v;
}

QualifiedName Reader::qualified_name() {
    QualifiedName v;
    v.namespace_index = uint16();
    v.name = string();
    return v;
}

LocalizedText Reader::localized_text() {
    LocalizedText v;
    const uint8_t mask = byte();
    if (mask & ~(kLtLocale | kLtText)) fail();
    if (mask & kLtLocale) v.locale = string();
    if (mask & kLtText) v.text = string();
    if (!ok()) return {};
    return v;
}

ExtensionObject Reader::extension_object() {
    ExtensionObject v;
    v.type_id = node_id();
    const uint8_t encoding = byte();
    if (encoding > 2) fail();
    if (!ok()) return {};
    v.encoding = static_cast<ExtensionObject::Encoding>(encoding);
    if (v.encoding != ExtensionObject::Encoding::None) v.body = string().value_or(std::string());
    if (!ok()) return {};
    return v;
}

bool Reader::enter() {
    if (++depth_ > kMaxNestingDepth) {
        fail(status::BadEncodingLimitsExceeded);
        return false;
    }
    return ok();
}

bool Reader::charge(size_t bytes) {
    if (!ok()) return false;
    if (bytes > allocation_left_) {
        fail(status::BadEncodingLimitsExceeded);
        return false;
    }
    allocation_left_ -= bytes;
    return true;
}

size_t Reader::array_length(size_t min_element_size) {
    const int32_t length = int32();
    if (!ok() || length <= 0) return 0;
    const size_t count = static_cast<size_t>(length);
    if (count > remaining() / (min_element_size ? min_element_size : 1)) {
        fail();
        return 0;
    }
    if (count > budget_) {
        fail(status::BadEncodingLimitsExceeded);
        return 0;
    }
    budget_ -= count;
    return count;
}

DataValue Reader::data_value() {
    DataValue v;
    data_value(v);
    return v;
}

void Reader::data_value(DataValue& v) {
    auto optional = [&](auto& field, bool present, auto read) {
        if (present) field = read();
        else field.reset();
    };
    if (enter()) {
        const uint8_t mask = byte();
        if (mask & 0xC0) fail();
        if (!(mask & kDvValue)) v.value.reset();
        else variant(v.value ? *v.value : v.value.emplace());
        optional(v.status, mask & kDvStatus, [&] { return status_code(); });
        optional(v.source_timestamp, mask & kDvSourceTime, [&] { return date_time(); });
        optional(v.source_picoseconds, mask & kDvSourcePico, [&] { return uint16(); });
        optional(v.server_timestamp, mask & kDvServerTime, [&] { return date_time(); });
        optional(v.server_picoseconds, mask & kDvServerPico, [&] { return uint16(); });
    }
    leave();
    if (!ok()) v = {};
}

template <uint8_t T>
void Reader::variant_elements(Variant& v, size_t count) {
    // Into the storage `v` already has for T (a value decoded over the last
    // one of its item allocates nothing), else into new storage.
    auto& items = v.values.index() == T ? std::get<T>(v.values) : v.values.template emplace<T>();
    items.clear();
    if (count * sizeof(VariantElement<T>) <= kMaxReserveBytes) items.reserve(count);
    for (size_t i = 0; i < count && ok(); ++i) items.push_back(read_element<T>(*this));
}

Variant Reader::variant() {
    Variant v;
    variant(v);
    return v;
}

void Reader::variant(Variant& v) {
    v.array = false;
    v.dimensions.clear();
    bool null = true;
    if (enter()) {
        const uint8_t mask = byte();
        const uint8_t type = mask & kVariantTypeMask;
        const bool is_array = (mask & kVariantArray) != 0;
        const bool dims = (mask & kVariantDimensions) != 0;
        if (type > kMaxBuiltinType || (type == kNull && mask != 0) || (dims && !is_array)) fail();
        if (ok() && type != kNull) {
            null = false;
            v.array = is_array;
            const size_t count = is_array ? array_length(min_encoded_size(type)) : 1;
            dispatch(type, [&](auto t) {
                if (is_array) charge(count * sizeof(VariantElement<decltype(t)::value>));
                variant_elements<decltype(t)::value>(v, count);
            });
            if (dims) {
                array(v.dimensions, 4, [&] { return int32(); });
                // The dimensions must describe exactly the elements present.
                uint64_t product = v.dimensions.empty() ? count : 1;
                for (int32_t d : v.dimensions) {
                    if (d < 0) fail();
                    product = d < 0 || product > count ? count + 1 : product * static_cast<uint64_t>(d);
                }
                if (product != count) fail();
            }
        }
    }
    leave();
    if (!ok()) v = {};
    else if (null) v.values.emplace<kNull>();
}

DiagnosticInfo Reader::diagnostic_info() {
    DiagnosticInfo v;
    if (enter()) {
        const uint8_t mask = byte();
        if (mask & 0x80) fail();
        if (mask & kDiSymbolicId) v.symbolic_id = int32();
        if (mask & kDiNamespace) v.namespace_uri = int32();
        if (mask & kDiLocale) v.locale = int32();
        if (mask & kDiLocalizedText) v.localized_text = int32();
        if (mask & kDiAdditionalInfo) v.additional_info = string();
        if (mask & kDiInnerStatus) v.inner_status_code = status_code();
        if ((mask & kDiInner) && ok()) v.inner.push_back(diagnostic_info());
    }
    leave();
    if (!ok()) return {};
    return v;
}

} // namespace ostrand::ua
