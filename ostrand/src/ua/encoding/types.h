// The OPC UA built-in types (OPC UA Part 6, "Built-in Types") as plain values,
// the status codes and the namespace-0 ids the client uses.
//
// Contract:
// - Every type is a value: copyable, comparable with ==, no pointers to share.
//   Decoding and re-encoding a value gives an equal value.
// - A null String/ByteString/XmlElement is std::nullopt; an empty one is "".
//   ByteStrings hold their bytes in a std::string.
// - Arrays of the wire are std::vectors; a null array (length -1) reads as an
//   empty vector and an empty vector is written with length 0.
// - A Variant's storage index is its built-in type id (0 = null), so
//   `Variant::type()` never disagrees with what it holds. Scalars hold exactly
//   one element; arrays hold any number and may carry dimensions.
// - ExtensionObject keeps its body as bytes; ua/encoding/messages.h knows the bodies.
// - DateTime is the raw wire count: 100 ns ticks since 1601-01-01 UTC (the
//   same count as a Windows FILETIME); 0 is the null time.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ostrand::ua {

using String = std::optional<std::string>;
using ByteString = std::optional<std::string>; // bytes, not text
using XmlElement = std::optional<std::string>;
using DateTime = int64_t;
using StatusCode = uint32_t;

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};
    friend auto operator<=>(const Guid&, const Guid&) = default;
};

// Identifier types as numbered in Part 3 (and used by the text forms).
enum class IdType : uint8_t { Numeric = 0, String = 1, Guid = 2, Opaque = 3 };

// The members `type` does not use stay at their defaults, so that == and <
// compare the identity. A Guid has no member of its own (it is the rarest
// kind, and a NodeId is kept per monitored item): its first field is
// `numeric`, its other twelve bytes are `string`, short enough to stay inline.
struct NodeId {
    uint16_t namespace_index = 0;
    IdType type = IdType::Numeric;
    uint32_t numeric = 0;
    std::string string; // String: UTF-8 text; Opaque: the bytes; Guid: see above

    static NodeId numeric_id(uint16_t ns, uint32_t id) {
        NodeId n;
        n.namespace_index = ns;
        n.numeric = id;
        return n;
    }
    static NodeId string_id(uint16_t ns, std::string s) {
        NodeId n;
        n.namespace_index = ns;
        n.type = IdType::String;
        n.string = std::move(s);
        return n;
    }
    static NodeId guid_id(uint16_t ns, const Guid& g) {
        NodeId n;
        n.namespace_index = ns;
        n.type = IdType::Guid;
        n.numeric = g.data1;
        char rest[12];
        std::memcpy(rest, &g.data2, 2);
        std::memcpy(rest + 2, &g.data3, 2);
        std::memcpy(rest + 4, g.data4.data(), 8);
        n.string.assign(rest, sizeof rest);
        return n;
    }
    // Meaningful when `type` is Guid.
    Guid guid() const {
        Guid g;
        g.data1 = numeric;
        if (string.size() != 12) return g;
        std::memcpy(&g.data2, string.data(), 2);
        std::memcpy(&g.data3, string.data() + 2, 2);
        std::memcpy(g.data4.data(), string.data() + 4, 8);
        return g;
    }
    static NodeId opaque_id(uint16_t ns, std::string bytes) {
        NodeId n;
        n.namespace_index = ns;
        n.type = IdType::Opaque;
        n.string = std::move(bytes);
        return n;
    }
    // ns=0;i=0: "no node" (an unset authentication token, no type id).
    bool is_null() const { return namespace_index == 0 && type == IdType::Numeric && numeric == 0; }
    friend auto operator<=>(const NodeId&, const NodeId&) = default;
};

struct ExpandedNodeId {
    NodeId node_id;
    String namespace_uri; // when set, it names the namespace instead of node_id.namespace_index
    uint32_t server_index = 0;
    friend bool operator==(const ExpandedNodeId&, const ExpandedNodeId&) = default;
};

struct QualifiedName {
    uint16_t namespace_index = 0;
    String name;
    friend bool operator==(const QualifiedName&, const QualifiedName&) = default;
};

// An absent part and a null part are the same thing here (both std::nullopt).
struct LocalizedText {
    String locale;
    String text;
    friend bool operator==(const LocalizedText&, const LocalizedText&) = default;
};

// A structure the codec does not interpret. Body encoding 0 (none) has no
// body; 1 is binary, 2 is XML.
struct ExtensionObject {
    enum class Encoding : uint8_t { None = 0, Binary = 1, Xml = 2 };
    NodeId type_id;
    Encoding encoding = Encoding::None;
    std::string body;
    bool empty() const { return encoding == Encoding::None && type_id.is_null(); }
    friend bool operator==(const ExtensionObject&, const ExtensionObject&) = default;
};

// Field order on the wire: SymbolicId, NamespaceUri, Locale, LocalizedText,
// AdditionalInfo, InnerStatusCode, InnerDiagnosticInfo (Part 6 5.2.2.12).
struct DiagnosticInfo {
    std::optional<int32_t> symbolic_id;
    std::optional<int32_t> namespace_uri;
    std::optional<int32_t> localized_text;
    std::optional<int32_t> locale;
    String additional_info;
    std::optional<StatusCode> inner_status_code;
    std::vector<DiagnosticInfo> inner; // zero or one element: the inner DiagnosticInfo
    bool empty() const {
        return !symbolic_id && !namespace_uri && !localized_text && !locale && !additional_info &&
               !inner_status_code && inner.empty();
    }
    friend bool operator==(const DiagnosticInfo&, const DiagnosticInfo&) = default;
};

// Built-in type ids (Part 6 Table 1).
enum BuiltinType : uint8_t {
    kNull = 0,
    kBoolean = 1,
    kSByte = 2,
    kByte = 3,
    kInt16 = 4,
    kUInt16 = 5,
    kInt32 = 6,
    kUInt32 = 7,
    kInt64 = 8,
    kUInt64 = 9,
    kFloat = 10,
    kDouble = 11,
    kString = 12,
    kDateTime = 13,
    kGuid = 14,
    kByteString = 15,
    kXmlElement = 16,
    kNodeId = 17,
    kExpandedNodeId = 18,
    kStatusCode = 19,
    kQualifiedName = 20,
    kLocalizedText = 21,
    kExtensionObject = 22,
    kDataValue = 23,
    kVariant = 24,
    kDiagnosticInfo = 25,
};
constexpr uint8_t kMaxBuiltinType = 25;

struct DataValue;
struct Variant;

// Storage index == built-in type id. Boolean elements are 0/1 bytes.
using VariantStorage =
    std::variant<std::monostate, std::vector<uint8_t>, std::vector<int8_t>, std::vector<uint8_t>,
                 std::vector<int16_t>, std::vector<uint16_t>, std::vector<int32_t>, std::vector<uint32_t>,
                 std::vector<int64_t>, std::vector<uint64_t>, std::vector<float>, std::vector<double>,
                 std::vector<String>, std::vector<DateTime>, std::vector<Guid>, std::vector<ByteString>,
                 std::vector<XmlElement>, std::vector<NodeId>, std::vector<ExpandedNodeId>,
                 std::vector<StatusCode>, std::vector<QualifiedName>, std::vector<LocalizedText>,
                 std::vector<ExtensionObject>, std::vector<DataValue>, std::vector<Variant>,
                 std::vector<DiagnosticInfo>>;

template <uint8_t T>
using VariantElement = typename std::variant_alternative_t<T, VariantStorage>::value_type;

struct Variant {
    VariantStorage values;
    bool array = false;
    std::vector<int32_t> dimensions; // arrays only; empty when the sender gave none

    uint8_t type() const { return static_cast<uint8_t>(values.index()); }
    bool is_null() const { return values.index() == 0; }

    // Bodies below DataValue: they need every storage type complete.
    template <uint8_t T>
    static Variant scalar(VariantElement<T> v);
    template <uint8_t T>
    static Variant array_of(std::vector<VariantElement<T>> v, std::vector<int32_t> dims = {});
    // The scalar of type T, or nullptr when this holds another type or an array.
    template <uint8_t T>
    const VariantElement<T>* get() const;
    // The elements of type T (one for a scalar), or nullptr for another type.
    template <uint8_t T>
    const std::vector<VariantElement<T>>* elements() const {
        return values.index() == T ? &std::get<T>(values) : nullptr;
    }
    friend bool operator==(const Variant&, const Variant&) = default;
};

// Absent fields are std::nullopt: a DataValue without a value differs from one
// whose value is a null Variant.
struct DataValue {
    std::optional<Variant> value;
    std::optional<StatusCode> status;
    std::optional<DateTime> source_timestamp;
    std::optional<uint16_t> source_picoseconds;
    std::optional<DateTime> server_timestamp;
    std::optional<uint16_t> server_picoseconds;
    friend bool operator==(const DataValue&, const DataValue&) = default;
};

template <uint8_t T>
Variant Variant::scalar(VariantElement<T> v) {
    Variant out;
    out.values.template emplace<T>().push_back(std::move(v));
    return out;
}

template <uint8_t T>
Variant Variant::array_of(std::vector<VariantElement<T>> v, std::vector<int32_t> dims) {
    Variant out;
    out.values.template emplace<T>(std::move(v));
    out.array = true;
    out.dimensions = std::move(dims);
    return out;
}

template <uint8_t T>
const VariantElement<T>* Variant::get() const {
    if (array || values.index() != T) return nullptr;
    const auto& v = std::get<T>(values);
    return v.empty() ? nullptr : &v.front();
}

// ---- Status codes (Part 6 Annex A, StatusCode.csv) -------------------------

namespace status {
constexpr StatusCode Good = 0x00000000;
constexpr StatusCode GoodSubscriptionTransferred = 0x002D0000;
constexpr StatusCode BadUnexpectedError = 0x80010000;
constexpr StatusCode BadInternalError = 0x80020000;
constexpr StatusCode BadOutOfMemory = 0x80030000;
constexpr StatusCode BadCommunicationError = 0x80050000;
constexpr StatusCode BadEncodingError = 0x80060000;
constexpr StatusCode BadDecodingError = 0x80070000;
constexpr StatusCode BadEncodingLimitsExceeded = 0x80080000;
constexpr StatusCode BadUnknownResponse = 0x80090000;
constexpr StatusCode BadTimeout = 0x800A0000;
constexpr StatusCode BadServiceUnsupported = 0x800B0000;
constexpr StatusCode BadShutdown = 0x800C0000;
constexpr StatusCode BadServerNotConnected = 0x800D0000;
constexpr StatusCode BadServerHalted = 0x800E0000;
constexpr StatusCode BadNothingToDo = 0x800F0000;
constexpr StatusCode BadTooManyOperations = 0x80100000;
constexpr StatusCode BadSecurityChecksFailed = 0x80130000;
constexpr StatusCode BadUserAccessDenied = 0x801F0000;
constexpr StatusCode BadIdentityTokenInvalid = 0x80200000;
constexpr StatusCode BadIdentityTokenRejected = 0x80210000;
constexpr StatusCode BadSecureChannelIdInvalid = 0x80220000;
constexpr StatusCode BadInvalidTimestamp = 0x80230000;
constexpr StatusCode BadNonceInvalid = 0x80240000;
constexpr StatusCode BadSessionIdInvalid = 0x80250000;
constexpr StatusCode BadSessionClosed = 0x80260000;
constexpr StatusCode BadSessionNotActivated = 0x80270000;
constexpr StatusCode BadSubscriptionIdInvalid = 0x80280000;
constexpr StatusCode BadRequestHeaderInvalid = 0x802A0000;
constexpr StatusCode BadTimestampsToReturnInvalid = 0x802B0000;
constexpr StatusCode BadRequestCancelledByClient = 0x802C0000;
constexpr StatusCode BadNodeIdInvalid = 0x80330000;
constexpr StatusCode BadNodeIdUnknown = 0x80340000;
constexpr StatusCode BadNotFound = 0x803E0000;
constexpr StatusCode BadAttributeIdInvalid = 0x80350000;
constexpr StatusCode BadNotReadable = 0x803A0000;
constexpr StatusCode BadNotWritable = 0x803B0000;
constexpr StatusCode BadOutOfRange = 0x803C0000;
constexpr StatusCode BadNotSupported = 0x803D0000;
constexpr StatusCode BadMonitoredItemIdInvalid = 0x80420000;
constexpr StatusCode BadMonitoredItemFilterInvalid = 0x80430000;
constexpr StatusCode BadMonitoredItemFilterUnsupported = 0x80440000;
constexpr StatusCode BadFilterNotAllowed = 0x80450000;
constexpr StatusCode BadContinuationPointInvalid = 0x804A0000;
constexpr StatusCode BadNoContinuationPoints = 0x804B0000;
constexpr StatusCode BadTooManySessions = 0x80560000;
constexpr StatusCode BadTypeMismatch = 0x80740000;
constexpr StatusCode BadTooManySubscriptions = 0x80770000;
constexpr StatusCode BadTooManyPublishRequests = 0x80780000;
constexpr StatusCode BadNoSubscription = 0x80790000;
constexpr StatusCode BadSequenceNumberUnknown = 0x807A0000;
constexpr StatusCode BadMessageNotAvailable = 0x807B0000;
constexpr StatusCode BadTcpServerTooBusy = 0x807D0000;
constexpr StatusCode BadTcpMessageTypeInvalid = 0x807E0000;
constexpr StatusCode BadTcpSecureChannelUnknown = 0x807F0000;
constexpr StatusCode BadTcpMessageTooLarge = 0x80800000;
constexpr StatusCode BadTcpNotEnoughResources = 0x80810000;
constexpr StatusCode BadTcpInternalError = 0x80820000;
constexpr StatusCode BadTcpEndpointUrlInvalid = 0x80830000;
constexpr StatusCode BadRequestInterrupted = 0x80840000;
constexpr StatusCode BadRequestTimeout = 0x80850000;
constexpr StatusCode BadSecureChannelClosed = 0x80860000;
constexpr StatusCode BadSecureChannelTokenUnknown = 0x80870000;
constexpr StatusCode BadSequenceNumberInvalid = 0x80880000;
constexpr StatusCode BadNotConnected = 0x808A0000;
constexpr StatusCode BadDeadbandFilterInvalid = 0x808E0000;
constexpr StatusCode BadConnectionRejected = 0x80AC0000;
constexpr StatusCode BadDisconnect = 0x80AD0000;
constexpr StatusCode BadConnectionClosed = 0x80AE0000;
constexpr StatusCode BadInvalidState = 0x80AF0000;
constexpr StatusCode BadRequestTooLarge = 0x80B80000;
constexpr StatusCode BadResponseTooLarge = 0x80B90000;
constexpr StatusCode BadProtocolVersionUnsupported = 0x80BE0000;
constexpr StatusCode BadTooManyMonitoredItems = 0x80DB0000;
constexpr StatusCode BadNoCommunication = 0x80310000;
constexpr StatusCode BadWaitingForInitialData = 0x80320000;
constexpr StatusCode UncertainNoCommunicationLastUsableValue = 0x408F0000;
constexpr StatusCode UncertainLastUsableValue = 0x40900000;
constexpr StatusCode UncertainSubstituteValue = 0x40910000;
constexpr StatusCode UncertainInitialValue = 0x40920000;
constexpr StatusCode UncertainSensorNotAccurate = 0x40930000;
constexpr StatusCode UncertainEngineeringUnitsExceeded = 0x40940000;
constexpr StatusCode UncertainSubNormal = 0x40950000;
} // namespace status

enum class Severity : uint8_t { Good = 0, Uncertain = 1, Bad = 2 };

// The two top bits decide; 11 is reserved and treated as Bad.
constexpr Severity severity(StatusCode s) {
    const uint32_t top = s >> 30;
    return top == 0 ? Severity::Good : top == 1 ? Severity::Uncertain : Severity::Bad;
}
constexpr bool is_good(StatusCode s) { return severity(s) == Severity::Good; }
constexpr bool is_bad(StatusCode s) { return severity(s) == Severity::Bad; }
// The code without its info bits (the low 16 bits), for comparisons with the constants.
constexpr StatusCode status_code_only(StatusCode s) { return s & 0xFFFF0000u; }

// ---- Namespace-0 ids --------------------------------------------------------

// Nodes and reference types the client reads, browses or compares against.
namespace node {
constexpr uint32_t HierarchicalReferences = 33;
constexpr uint32_t HasSubtype = 45;
constexpr uint32_t HasProperty = 46;
constexpr uint32_t BaseDataType = 24;
constexpr uint32_t Number = 26;
constexpr uint32_t Integer = 27;
constexpr uint32_t UInteger = 28;
constexpr uint32_t Enumeration = 29;
constexpr uint32_t IntegerId = 288;
constexpr uint32_t Counter = 289;
constexpr uint32_t Duration = 290;
constexpr uint32_t UtcTime = 294;
constexpr uint32_t ObjectsFolder = 85;
constexpr uint32_t Server = 2253;
constexpr uint32_t Server_NamespaceArray = 2255;
constexpr uint32_t Server_ServerStatus = 2256;
constexpr uint32_t Server_ServerStatus_StartTime = 2257;
constexpr uint32_t Server_ServerStatus_CurrentTime = 2258;
constexpr uint32_t Server_ServerStatus_State = 2259;
constexpr uint32_t Server_ServerStatus_BuildInfo_ProductName = 2261;
constexpr uint32_t Server_ServerStatus_BuildInfo_ManufacturerName = 2263;
constexpr uint32_t Server_ServerStatus_BuildInfo_SoftwareVersion = 2264;
constexpr uint32_t Server_ServerStatus_BuildInfo_BuildNumber = 2265;
constexpr uint32_t Server_ServerDiagnostics_CurrentSessionCount = 2277;
constexpr uint32_t Server_ServerDiagnostics_CurrentSubscriptionCount = 2285;
constexpr uint32_t Server_ServerCapabilities_MaxBrowseContinuationPoints = 2735;
constexpr uint32_t OperationLimits_MaxNodesPerRead = 11705;
constexpr uint32_t OperationLimits_MaxNodesPerWrite = 11707;
constexpr uint32_t OperationLimits_MaxNodesPerBrowse = 11710;
constexpr uint32_t OperationLimits_MaxNodesPerTranslateBrowsePaths = 11712;
constexpr uint32_t OperationLimits_MaxMonitoredItemsPerCall = 11714;
} // namespace node

// Attribute ids (Part 6 Annex A.1).
namespace attribute {
constexpr uint32_t NodeId = 1;
constexpr uint32_t NodeClass = 2;
constexpr uint32_t BrowseName = 3;
constexpr uint32_t DisplayName = 4;
constexpr uint32_t Value = 13;
constexpr uint32_t DataType = 14;
constexpr uint32_t ValueRank = 15;
constexpr uint32_t AccessLevel = 17;
constexpr uint32_t UserAccessLevel = 18;
} // namespace attribute

// DefaultBinary encoding ids: the NodeId in front of each message body and of
// each ExtensionObject body.
namespace encoding {
constexpr uint32_t ServiceFault = 397;
constexpr uint32_t ApplicationDescription = 310;
constexpr uint32_t EndpointDescription = 314;
constexpr uint32_t AnonymousIdentityToken = 321;
constexpr uint32_t UserNameIdentityToken = 324;
constexpr uint32_t FindServersRequest = 422;
constexpr uint32_t FindServersResponse = 425;
constexpr uint32_t GetEndpointsRequest = 428;
constexpr uint32_t GetEndpointsResponse = 431;
constexpr uint32_t OpenSecureChannelRequest = 446;
constexpr uint32_t OpenSecureChannelResponse = 449;
constexpr uint32_t CloseSecureChannelRequest = 452;
constexpr uint32_t CloseSecureChannelResponse = 455;
constexpr uint32_t CreateSessionRequest = 461;
constexpr uint32_t CreateSessionResponse = 464;
constexpr uint32_t ActivateSessionRequest = 467;
constexpr uint32_t ActivateSessionResponse = 470;
constexpr uint32_t CloseSessionRequest = 473;
constexpr uint32_t CloseSessionResponse = 476;
constexpr uint32_t BrowseRequest = 527;
constexpr uint32_t BrowseResponse = 530;
constexpr uint32_t BrowseNextRequest = 533;
constexpr uint32_t BrowseNextResponse = 536;
constexpr uint32_t ReadRequest = 631;
constexpr uint32_t ReadResponse = 634;
constexpr uint32_t WriteRequest = 673;
constexpr uint32_t WriteResponse = 676;
constexpr uint32_t DataChangeFilter = 724;
constexpr uint32_t CreateMonitoredItemsRequest = 751;
constexpr uint32_t CreateMonitoredItemsResponse = 754;
constexpr uint32_t DeleteMonitoredItemsRequest = 781;
constexpr uint32_t DeleteMonitoredItemsResponse = 784;
constexpr uint32_t CreateSubscriptionRequest = 787;
constexpr uint32_t CreateSubscriptionResponse = 790;
constexpr uint32_t DataChangeNotification = 811;
constexpr uint32_t StatusChangeNotification = 820;
constexpr uint32_t PublishRequest = 826;
constexpr uint32_t PublishResponse = 829;
constexpr uint32_t RepublishRequest = 832;
constexpr uint32_t RepublishResponse = 835;
constexpr uint32_t DeleteSubscriptionsRequest = 847;
constexpr uint32_t DeleteSubscriptionsResponse = 850;
constexpr uint32_t ServerStatusDataType = 864;
constexpr uint32_t Range = 886;
constexpr uint32_t EventNotificationList = 916;
} // namespace encoding

} // namespace ostrand::ua
