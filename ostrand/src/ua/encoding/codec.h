// The OPC UA binary encoding (Part 6 5.2) of the built-in types: a Writer that
// appends to a growing buffer and a Reader over bytes received from a peer.
//
// Contract:
// - Pure: no I/O, no globals, no exceptions, no locale. Little-endian on the
//   wire whatever the host.
// - Writer never fails; what it writes a Reader reads back as an equal value.
// - Reader has a sticky error: the first failure records a status code
//   (BadDecodingError for malformed or truncated input,
//   BadEncodingLimitsExceeded for limits) and every later read returns a
//   default value and changes nothing. Callers read a whole structure and
//   check `ok()` once at the end.
// - Reader trusts no length: a string or array longer than the bytes that
//   remain is an error before anything is allocated, and an array reserves at
//   most kMaxReserveBytes before its elements arrive. Arrays also draw on an
//   element budget per Reader, so a message cannot make it build more than
//   that many elements however small each one is on the wire. And what the
//   arrays and strings of one message take in memory is bounded too
//   (allocation_budget_for its size): a message of many small values fails
//   with BadEncodingLimitsExceeded rather than growing a hundred times its
//   size. A negative length is a null string / empty array. Nesting of Variant, DataValue,
//   DiagnosticInfo and the structures that contain them stops at
//   kMaxNestingDepth.
// - The Reader only points into the caller's bytes, which must outlive it.
#pragma once

#include "ua/encoding/types.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace ostrand::ua {

// Part 6 asks decoders to accept at least 100 levels and refuse deeper input.
constexpr int kMaxNestingDepth = 100;
// Elements a Reader creates over all arrays of one message unless told otherwise.
constexpr size_t kDefaultElementBudget = 1'000'000;
// The most an array reserves before its elements have been read.
constexpr size_t kMaxReserveBytes = 1 << 20;
// Memory the arrays and strings of one message may take: 16 bytes per byte
// received, and at least kMinAllocationBudget so that a small message of
// small values (a DataValue is one byte on the wire) still decodes.
constexpr size_t kAllocationPerByte = 16;
constexpr size_t kMinAllocationBudget = size_t{64} << 20;
constexpr size_t allocation_budget_for(size_t message_bytes) {
    return message_bytes > kMinAllocationBudget / kAllocationPerByte ? message_bytes * kAllocationPerByte
                                                                      : kMinAllocationBudget;
}

class Writer {
public:
    Writer() = default;
    // Appends to `buffer` (for example after a chunk header written by the caller).
    explicit Writer(std::vector<uint8_t> buffer) : buf_(std::move(buffer)) {}

    const std::vector<uint8_t>& bytes() const { return buf_; }
    std::vector<uint8_t> take() { return std::move(buf_); }
    size_t size() const { return buf_.size(); }
    void raw(const void* data, size_t size);
    void raw(std::span<const uint8_t> data) { raw(data.data(), data.size()); }
    // Overwrites 4 bytes at `offset` (< size() - 3): message sizes known only at the end.
    void patch_uint32(size_t offset, uint32_t value);

    void boolean(bool v) { byte(v ? 1 : 0); }
    void sbyte(int8_t v) { byte(static_cast<uint8_t>(v)); }
    void byte(uint8_t v) { buf_.push_back(v); }
    void int16(int16_t v) { uint16(static_cast<uint16_t>(v)); }
    void uint16(uint16_t v);
    void int32(int32_t v) { uint32(static_cast<uint32_t>(v)); }
    void uint32(uint32_t v);
    void int64(int64_t v) { uint64(static_cast<uint64_t>(v)); }
    void uint64(uint64_t v);
    void float32(float v);
    void float64(double v);
    void string(const String& v);
    void date_time(DateTime v) { int64(v); }
    void guid(const Guid& v);
    void byte_string(const ByteString& v) { string(v); }
    void xml_element(const XmlElement& v) { string(v); }
    // The most compact of the six NodeId forms that holds the id.
    void node_id(const NodeId& v);
    void expanded_node_id(const ExpandedNodeId& v);
    void status_code(StatusCode v) { uint32(v); }
    void qualified_name(const QualifiedName& v);
    void localized_text(const LocalizedText& v);
    void extension_object(const ExtensionObject& v);
    void data_value(const DataValue& v);
    void variant(const Variant& v);
    void diagnostic_info(const DiagnosticInfo& v);

    // Int32 count, then each element through `write_one(element)`.
    template <class T, class F>
    void array(const std::vector<T>& items, F&& write_one) {
        int32(static_cast<int32_t>(items.size()));
        for (const auto& item : items) write_one(item);
    }

private:
    std::vector<uint8_t> buf_;
};

class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes, size_t element_budget = kDefaultElementBudget)
        : data_(bytes.data()), size_(bytes.size()), budget_(element_budget),
          allocation_left_(allocation_budget_for(bytes.size())) {}
    Reader(const void* data, size_t size, size_t element_budget = kDefaultElementBudget)
        : data_(static_cast<const uint8_t*>(data)), size_(size), budget_(element_budget),
          allocation_left_(allocation_budget_for(size)) {}

    bool ok() const { return error_ == status::Good; }
    StatusCode error() const { return error_; }
    // Records the first failure; later calls keep it.
    void fail(StatusCode why = status::BadDecodingError) {
        if (error_ == status::Good) error_ = why;
    }
    size_t position() const { return pos_; }
    size_t remaining() const { return ok() ? size_ - pos_ : 0; }
    bool at_end() const { return remaining() == 0; }
    // The unread bytes (empty after an error).
    std::span<const uint8_t> rest() const { return {data_ + pos_, remaining()}; }
    // Takes `size` raw bytes; an empty span and an error when fewer remain.
    std::span<const uint8_t> raw(size_t size);
    void skip(size_t size) { (void)raw(size); }

    bool boolean() { return byte() != 0; }
    int8_t sbyte() { return static_cast<int8_t>(byte()); }
    uint8_t byte() { return fixed<uint8_t>(); }
    int16_t int16() { return static_cast<int16_t>(uint16()); }
    uint16_t uint16() { return fixed<uint16_t>(); }
    int32_t int32() { return static_cast<int32_t>(uint32()); }
    uint32_t uint32() { return fixed<uint32_t>(); }
    int64_t int64() { return static_cast<int64_t>(uint64()); }
    uint64_t uint64() { return fixed<uint64_t>(); }
    float float32() { return std::bit_cast<float>(uint32()); }
    double float64() { return std::bit_cast<double>(uint64()); }
    String string();
    DateTime date_time() { return int64(); }
    Guid guid();
    ByteString byte_string() { return string(); }
    XmlElement xml_element() { return string(); }
    NodeId node_id();
    ExpandedNodeId expanded_node_id();
    StatusCode status_code() { return uint32(); }
    QualifiedName qualified_name();
    LocalizedText localized_text();
    ExtensionObject extension_object();
    DataValue data_value();
    Variant variant();
    // The same, decoded over `into`: storage it already holds for the type
    // read is reused, so decoding each new value of an item over its last
    // allocates nothing for scalars. `into` is reset on error.
    void data_value(DataValue& into);
    void variant(Variant& into);
    DiagnosticInfo diagnostic_info();

    // Int32 count (negative: empty), checked against the remaining bytes at
    // `min_element_size` bytes per element and against the element budget; then
    // `read_one()` per element, which returns the element. Stops at the first error.
    template <class T, class F>
    void array(std::vector<T>& out, size_t min_element_size, F&& read_one) {
        out.clear();
        const size_t count = array_length(min_element_size);
        if (!charge(count * sizeof(T))) return;
        // The count is known to fit the input by now; reserve only a bounded amount up front.
        if (count * sizeof(T) <= kMaxReserveBytes) out.reserve(count);
        for (size_t i = 0; i < count && ok(); ++i) out.push_back(read_one());
        if (!ok()) out.clear();
    }
    // The validated element count of the array that starts here (0 on error).
    size_t array_length(size_t min_element_size);

    // The memory the rest of the message may still take; a decoder of an
    // ExtensionObject's body sets it from what its holder left, so a message
    // and the bodies inside it share one budget.
    size_t allocation_left() const { return allocation_left_; }
    void set_allocation_left(size_t bytes) { allocation_left_ = bytes; }
    // Takes `bytes` from it; false (BadEncodingLimitsExceeded) past it.
    bool charge(size_t bytes);

    // Nesting guard for decoders of structures that can contain themselves.
    // `enter()` false (and the error set) when the limit is passed; call
    // `leave()` after every `enter()`, true or not.
    bool enter();
    void leave() { --depth_; }
    int depth() const { return depth_; }

private:
    template <uint8_t T>
    void variant_elements(Variant& v, size_t count);
    bool take(void* out, size_t size);
    // A fixed-size integer, little-endian on the wire (OPC UA Part 6,
    // 5.2.2.2); 0 and an error when too few bytes remain. Inline: several
    // are read for every value of a Publish answer.
    template <class T>
    T fixed() {
        if (!ok() || size_ - pos_ < sizeof(T)) {
            fail();
            return 0;
        }
        uint8_t b[sizeof(T)];
        std::memcpy(b, data_ + pos_, sizeof b);
        pos_ += sizeof b;
        if constexpr (std::endian::native == std::endian::big)
            for (size_t i = 0; i < sizeof b / 2; ++i) std::swap(b[i], b[sizeof b - 1 - i]);
        return std::bit_cast<T>(b);
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    size_t budget_ = kDefaultElementBudget;
    size_t allocation_left_ = kMinAllocationBudget;
    int depth_ = 0;
    StatusCode error_ = status::Good;
};

// The smallest encoded size of one element of each built-in type, for
// `Reader::array` (0 and out-of-range types: 1).
size_t min_encoded_size(uint8_t builtin_type);

} // namespace ostrand::ua
