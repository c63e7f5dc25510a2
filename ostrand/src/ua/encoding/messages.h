// The OPC UA service messages the client exchanges (OPC UA Part 4 for their
// meaning, Part 6 for their encoding) and the structures carried in
// ExtensionObjects that the client understands.
//
// Contract:
// - Each message is a plain struct with its fields in wire order and
//   `kEncodingId`, the id of its DefaultBinary encoding. On the wire a
//   message is that id as a NodeId followed by the body.
// - The client encodes requests and decodes responses; the opposite
//   directions exist for tests and for the fuzz target and cover the same set.
// - `decode_response` reads "type id + body" into a `Response`; a type id
//   outside the set, or a malformed body, is false with the Reader's error set
//   (BadServiceUnsupported / BadDecodingError / BadEncodingLimitsExceeded).
//   Bytes after the body are left unread: the caller decides whether they matter.
// - Enumerations keep the number received, also an unknown one.
// - Nothing here fills in header fields: the session layer sets the
//   authentication token, timestamp, request handle and time-out hint.
#pragma once

#include "ua/encoding/codec.h"
#include "ua/encoding/types.h"

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace ostrand::ua {

constexpr const char* kSecurityPolicyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";
constexpr const char* kTransportProfileBinary =
    "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";

// ---- Enumerations ---------------------------------------------------------------

enum class MessageSecurityMode : int32_t { Invalid = 0, None = 1, Sign = 2, SignAndEncrypt = 3 };
enum class SecurityTokenRequestType : int32_t { Issue = 0, Renew = 1 };
enum class ApplicationType : int32_t { Server = 0, Client = 1, ClientAndServer = 2, DiscoveryServer = 3 };
enum class UserTokenType : int32_t { Anonymous = 0, UserName = 1, Certificate = 2, IssuedToken = 3 };
enum class TimestampsToReturn : int32_t { Source = 0, Server = 1, Both = 2, Neither = 3 };
enum class BrowseDirection : int32_t { Forward = 0, Inverse = 1, Both = 2 };
enum class MonitoringMode : int32_t { Disabled = 0, Sampling = 1, Reporting = 2 };
enum class DataChangeTrigger : int32_t { Status = 0, StatusValue = 1, StatusValueTimestamp = 2 };
enum class DeadbandType : uint32_t { None = 0, Absolute = 1, Percent = 2 };

// NodeClass values, also the bits of a Browse nodeClassMask.
namespace node_class {
constexpr int32_t Unspecified = 0;
constexpr int32_t Object = 1;
constexpr int32_t Variable = 2;
constexpr int32_t Method = 4;
constexpr int32_t ObjectType = 8;
constexpr int32_t VariableType = 16;
constexpr int32_t ReferenceType = 32;
constexpr int32_t DataType = 64;
constexpr int32_t View = 128;
} // namespace node_class

// BrowseResultMask bits; All = 63.
namespace browse_result {
constexpr uint32_t ReferenceTypeId = 1;
constexpr uint32_t IsForward = 2;
constexpr uint32_t NodeClass = 4;
constexpr uint32_t BrowseName = 8;
constexpr uint32_t DisplayName = 16;
constexpr uint32_t TypeDefinition = 32;
constexpr uint32_t All = 63;
} // namespace browse_result

// ---- Headers and shared structures ----------------------------------------------

struct RequestHeader {
    NodeId authentication_token;
    DateTime timestamp = 0;
    uint32_t request_handle = 0;
    uint32_t return_diagnostics = 0;
    String audit_entry_id;
    uint32_t timeout_hint = 0; // ms
    ExtensionObject additional_header;
    friend bool operator==(const RequestHeader&, const RequestHeader&) = default;
};

struct ResponseHeader {
    DateTime timestamp = 0;
    uint32_t request_handle = 0;
    StatusCode service_result = status::Good;
    DiagnosticInfo service_diagnostics;
    std::vector<String> string_table;
    ExtensionObject additional_header;
    friend bool operator==(const ResponseHeader&, const ResponseHeader&) = default;
};

struct ApplicationDescription {
    static constexpr uint32_t kEncodingId = encoding::ApplicationDescription;
    String application_uri;
    String product_uri;
    LocalizedText application_name;
    ApplicationType application_type = ApplicationType::Server;
    String gateway_server_uri;
    String discovery_profile_uri;
    std::vector<String> discovery_urls;
    friend bool operator==(const ApplicationDescription&, const ApplicationDescription&) = default;
};

struct UserTokenPolicy {
    String policy_id;
    UserTokenType token_type = UserTokenType::Anonymous;
    String issued_token_type;
    String issuer_endpoint_url;
    String security_policy_uri;
    friend bool operator==(const UserTokenPolicy&, const UserTokenPolicy&) = default;
};

struct EndpointDescription {
    static constexpr uint32_t kEncodingId = encoding::EndpointDescription;
    String endpoint_url;
    ApplicationDescription server;
    ByteString server_certificate;
    MessageSecurityMode security_mode = MessageSecurityMode::Invalid;
    String security_policy_uri;
    std::vector<UserTokenPolicy> user_identity_tokens;
    String transport_profile_uri;
    uint8_t security_level = 0;
    friend bool operator==(const EndpointDescription&, const EndpointDescription&) = default;
};

struct SignatureData {
    String algorithm;
    ByteString signature;
    friend bool operator==(const SignatureData&, const SignatureData&) = default;
};

struct SignedSoftwareCertificate {
    ByteString certificate_data;
    ByteString signature;
    friend bool operator==(const SignedSoftwareCertificate&, const SignedSoftwareCertificate&) = default;
};

struct ChannelSecurityToken {
    uint32_t channel_id = 0;
    uint32_t token_id = 0;
    DateTime created_at = 0;
    uint32_t revised_lifetime = 0; // ms
    friend bool operator==(const ChannelSecurityToken&, const ChannelSecurityToken&) = default;
};

struct ReadValueId {
    NodeId node_id;
    uint32_t attribute_id = attribute::Value;
    String index_range;
    QualifiedName data_encoding;
    friend bool operator==(const ReadValueId&, const ReadValueId&) = default;
};

struct WriteValue {
    NodeId node_id;
    uint32_t attribute_id = attribute::Value;
    String index_range;
    DataValue value;
    friend bool operator==(const WriteValue&, const WriteValue&) = default;
};

struct ViewDescription {
    NodeId view_id;
    DateTime timestamp = 0;
    uint32_t view_version = 0;
    friend bool operator==(const ViewDescription&, const ViewDescription&) = default;
};

struct BrowseDescription {
    NodeId node_id;
    BrowseDirection browse_direction = BrowseDirection::Forward;
    NodeId reference_type_id;
    bool include_subtypes = true;
    uint32_t node_class_mask = 0;
    uint32_t result_mask = browse_result::All;
    friend bool operator==(const BrowseDescription&, const BrowseDescription&) = default;
};

struct ReferenceDescription {
    NodeId reference_type_id;
    bool is_forward = true;
    ExpandedNodeId node_id;
    QualifiedName browse_name;
    LocalizedText display_name;
    int32_t node_class = node_class::Unspecified;
    ExpandedNodeId type_definition;
    friend bool operator==(const ReferenceDescription&, const ReferenceDescription&) = default;
};

struct BrowseResult {
    StatusCode status_code = status::Good;
    ByteString continuation_point; // null: the listing is complete
    std::vector<ReferenceDescription> references;
    friend bool operator==(const BrowseResult&, const BrowseResult&) = default;
};

struct MonitoringParameters {
    uint32_t client_handle = 0;
    double sampling_interval = 0; // ms
    ExtensionObject filter;       // empty, or a DataChangeFilter
    uint32_t queue_size = 1;
    bool discard_oldest = true;
    friend bool operator==(const MonitoringParameters&, const MonitoringParameters&) = default;
};

struct MonitoredItemCreateRequest {
    ReadValueId item_to_monitor;
    MonitoringMode monitoring_mode = MonitoringMode::Reporting;
    MonitoringParameters requested_parameters;
    friend bool operator==(const MonitoredItemCreateRequest&, const MonitoredItemCreateRequest&) = default;
};

struct MonitoredItemCreateResult {
    StatusCode status_code = status::Good;
    uint32_t monitored_item_id = 0;
    double revised_sampling_interval = 0;
    uint32_t revised_queue_size = 0;
    ExtensionObject filter_result;
    friend bool operator==(const MonitoredItemCreateResult&, const MonitoredItemCreateResult&) = default;
};

struct SubscriptionAcknowledgement {
    uint32_t subscription_id = 0;
    uint32_t sequence_number = 0;
    friend bool operator==(const SubscriptionAcknowledgement&, const SubscriptionAcknowledgement&) = default;
};

// notification_data holds DataChangeNotification, StatusChangeNotification or
// other bodies (events); `from_extension` tells them apart. None: a keep-alive.
struct NotificationMessage {
    uint32_t sequence_number = 0;
    DateTime publish_time = 0;
    std::vector<ExtensionObject> notification_data;
    friend bool operator==(const NotificationMessage&, const NotificationMessage&) = default;
};

// ---- ExtensionObject bodies -------------------------------------------------------

struct AnonymousIdentityToken {
    static constexpr uint32_t kEncodingId = encoding::AnonymousIdentityToken;
    String policy_id;
    friend bool operator==(const AnonymousIdentityToken&, const AnonymousIdentityToken&) = default;
};

// A user name with its password, encrypted for the server as its token
// policy asks (encryption_algorithm names how; null: in clear).
struct UserNameIdentityToken {
    static constexpr uint32_t kEncodingId = encoding::UserNameIdentityToken;
    String policy_id;
    String user_name;
    ByteString password;
    String encryption_algorithm;
    friend bool operator==(const UserNameIdentityToken&, const UserNameIdentityToken&) = default;
};

struct DataChangeFilter {
    static constexpr uint32_t kEncodingId = encoding::DataChangeFilter;
    DataChangeTrigger trigger = DataChangeTrigger::StatusValue;
    DeadbandType deadband_type = DeadbandType::None;
    double deadband_value = 0;
    friend bool operator==(const DataChangeFilter&, const DataChangeFilter&) = default;
};

struct MonitoredItemNotification {
    uint32_t client_handle = 0;
    DataValue value;
    friend bool operator==(const MonitoredItemNotification&, const MonitoredItemNotification&) = default;
};

struct DataChangeNotification {
    static constexpr uint32_t kEncodingId = encoding::DataChangeNotification;
    std::vector<MonitoredItemNotification> monitored_items;
    std::vector<DiagnosticInfo> diagnostic_infos;
    friend bool operator==(const DataChangeNotification&, const DataChangeNotification&) = default;
};

struct StatusChangeNotification {
    static constexpr uint32_t kEncodingId = encoding::StatusChangeNotification;
    StatusCode status = status::Good;
    DiagnosticInfo diagnostic_info;
    friend bool operator==(const StatusChangeNotification&, const StatusChangeNotification&) = default;
};

// The EURange property's value.
struct Range {
    static constexpr uint32_t kEncodingId = encoding::Range;
    double low = 0;
    double high = 0;
    friend bool operator==(const Range&, const Range&) = default;
};

// ---- Requests ----------------------------------------------------------------------

#define QV_UA_MESSAGE(Name)                                                                              \
    static constexpr uint32_t kEncodingId = encoding::Name;                                            \
    friend bool operator==(const Name&, const Name&) = default

struct OpenSecureChannelRequest {
    RequestHeader header;
    uint32_t client_protocol_version = 0;
    SecurityTokenRequestType request_type = SecurityTokenRequestType::Issue;
    MessageSecurityMode security_mode = MessageSecurityMode::None;
    ByteString client_nonce;
    uint32_t requested_lifetime = 0; // ms
    QV_UA_MESSAGE(OpenSecureChannelRequest);
};

struct CloseSecureChannelRequest {
    RequestHeader header;
    QV_UA_MESSAGE(CloseSecureChannelRequest);
};

struct CreateSessionRequest {
    RequestHeader header;
    ApplicationDescription client_description;
    String server_uri;
    String endpoint_url;
    String session_name;
    ByteString client_nonce;
    ByteString client_certificate;
    double requested_session_timeout = 0; // ms
    uint32_t max_response_message_size = 0;
    QV_UA_MESSAGE(CreateSessionRequest);
};

struct ActivateSessionRequest {
    RequestHeader header;
    SignatureData client_signature;
    std::vector<SignedSoftwareCertificate> client_software_certificates;
    std::vector<String> locale_ids;
    ExtensionObject user_identity_token; // to_extension(AnonymousIdentityToken{...})
    SignatureData user_token_signature;
    QV_UA_MESSAGE(ActivateSessionRequest);
};

struct CloseSessionRequest {
    RequestHeader header;
    bool delete_subscriptions = true;
    QV_UA_MESSAGE(CloseSessionRequest);
};

struct ReadRequest {
    RequestHeader header;
    double max_age = 0;
    TimestampsToReturn timestamps_to_return = TimestampsToReturn::Both;
    std::vector<ReadValueId> nodes_to_read;
    QV_UA_MESSAGE(ReadRequest);
};

struct WriteRequest {
    RequestHeader header;
    std::vector<WriteValue> nodes_to_write;
    QV_UA_MESSAGE(WriteRequest);
};

struct BrowseRequest {
    RequestHeader header;
    ViewDescription view;
    uint32_t requested_max_references_per_node = 0;
    std::vector<BrowseDescription> nodes_to_browse;
    QV_UA_MESSAGE(BrowseRequest);
};

struct BrowseNextRequest {
    RequestHeader header;
    bool release_continuation_points = false;
    std::vector<ByteString> continuation_points;
    QV_UA_MESSAGE(BrowseNextRequest);
};

struct FindServersRequest {
    RequestHeader header;
    String endpoint_url;
    std::vector<String> locale_ids;
    std::vector<String> server_uris;
    QV_UA_MESSAGE(FindServersRequest);
};

struct GetEndpointsRequest {
    RequestHeader header;
    String endpoint_url;
    std::vector<String> locale_ids;
    std::vector<String> profile_uris;
    QV_UA_MESSAGE(GetEndpointsRequest);
};

struct CreateSubscriptionRequest {
    RequestHeader header;
    double requested_publishing_interval = 0; // ms
    uint32_t requested_lifetime_count = 0;
    uint32_t requested_max_keep_alive_count = 0;
    uint32_t max_notifications_per_publish = 0;
    bool publishing_enabled = true;
    uint8_t priority = 0;
    QV_UA_MESSAGE(CreateSubscriptionRequest);
};

struct DeleteSubscriptionsRequest {
    RequestHeader header;
    std::vector<uint32_t> subscription_ids;
    QV_UA_MESSAGE(DeleteSubscriptionsRequest);
};

struct CreateMonitoredItemsRequest {
    RequestHeader header;
    uint32_t subscription_id = 0;
    TimestampsToReturn timestamps_to_return = TimestampsToReturn::Both;
    std::vector<MonitoredItemCreateRequest> items_to_create;
    QV_UA_MESSAGE(CreateMonitoredItemsRequest);
};

struct DeleteMonitoredItemsRequest {
    RequestHeader header;
    uint32_t subscription_id = 0;
    std::vector<uint32_t> monitored_item_ids;
    QV_UA_MESSAGE(DeleteMonitoredItemsRequest);
};

struct PublishRequest {
    RequestHeader header;
    std::vector<SubscriptionAcknowledgement> subscription_acknowledgements;
    QV_UA_MESSAGE(PublishRequest);
};

struct RepublishRequest {
    RequestHeader header;
    uint32_t subscription_id = 0;
    uint32_t retransmit_sequence_number = 0;
    QV_UA_MESSAGE(RepublishRequest);
};

// ---- Responses ---------------------------------------------------------------------

struct ServiceFault {
    ResponseHeader header;
    QV_UA_MESSAGE(ServiceFault);
};

struct OpenSecureChannelResponse {
    ResponseHeader header;
    uint32_t server_protocol_version = 0;
    ChannelSecurityToken security_token;
    ByteString server_nonce;
    QV_UA_MESSAGE(OpenSecureChannelResponse);
};

struct CloseSecureChannelResponse {
    ResponseHeader header;
    QV_UA_MESSAGE(CloseSecureChannelResponse);
};

struct CreateSessionResponse {
    ResponseHeader header;
    NodeId session_id;
    NodeId authentication_token; // opaque: copied into every later RequestHeader
    double revised_session_timeout = 0;
    ByteString server_nonce;
    ByteString server_certificate;
    std::vector<EndpointDescription> server_endpoints;
    std::vector<SignedSoftwareCertificate> server_software_certificates;
    SignatureData server_signature;
    uint32_t max_request_message_size = 0;
    QV_UA_MESSAGE(CreateSessionResponse);
};

struct ActivateSessionResponse {
    ResponseHeader header;
    ByteString server_nonce;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnostic_infos;
    QV_UA_MESSAGE(ActivateSessionResponse);
};

struct CloseSessionResponse {
    ResponseHeader header;
    QV_UA_MESSAGE(CloseSessionResponse);
};

struct ReadResponse {
    ResponseHeader header;
    std::vector<DataValue> results;
    std::vector<DiagnosticInfo> diagnostic_infos;
    QV_UA_MESSAGE(ReadResponse);
};

struct WriteResponse {
    ResponseHeader header;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnostic_infos;
    QV_UA_MESSAGE(WriteResponse);
};

struct BrowseResponse {
    ResponseHeader header;
    std::vector<BrowseResult> results;
    std::vector<DiagnosticInfo> diagnostic_infos;
    QV_UA_MESSAGE(BrowseResponse);
};

struct BrowseNextResponse {
    ResponseHeader header;
    std::vector<BrowseResult> results;
    std::vector<DiagnosticInfo> diagnostic_infos;
    QV_UA_MESSAGE(BrowseNextResponse);
};

struct FindServersResponse {
    ResponseHeader header;
    std::vector<ApplicationDescription> servers;
    QV_UA_MESSAGE(FindServersResponse);
};

struct GetEndpointsResponse {
    ResponseHeader header;
    std::vector<EndpointDescription> endpoints;
    QV_UA_MESSAGE(GetEndpointsResponse);
};

struct CreateSubscriptionResponse {
    ResponseHeader header;
    uint32_t subscription_id = 0;
    double revised_publishing_interval = 0;
    uint32_t revised_lifetime_count = 0;
    uint32_t revised_max_keep_alive_count = 0;
    QV_UA_MESSAGE(CreateSubscriptionResponse);
};

struct DeleteSubscriptionsResponse {
    ResponseHeader header;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnostic_infos;
    QV_UA_MESSAGE(DeleteSubscriptionsResponse);
};

struct CreateMonitoredItemsResponse {
    ResponseHeader header;
    std::vector<MonitoredItemCreateResult> results;
    std::vector<DiagnosticInfo> diagnostic_infos;
    QV_UA_MESSAGE(CreateMonitoredItemsResponse);
};

struct DeleteMonitoredItemsResponse {
    ResponseHeader header;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnostic_infos;
    QV_UA_MESSAGE(DeleteMonitoredItemsResponse);
};

struct PublishResponse {
    ResponseHeader header;
    uint32_t subscription_id = 0;
    std::vector<uint32_t> available_sequence_numbers;
    bool more_notifications = false;
    NotificationMessage notification_message;
    std::vector<StatusCode> results; // one per acknowledgement sent
    std::vector<DiagnosticInfo> diagnostic_infos;
    QV_UA_MESSAGE(PublishResponse);
};

struct RepublishResponse {
    ResponseHeader header;
    NotificationMessage notification_message;
    QV_UA_MESSAGE(RepublishResponse);
};

#undef QV_UA_MESSAGE

using Request =
    std::variant<OpenSecureChannelRequest, CloseSecureChannelRequest, CreateSessionRequest,
                 ActivateSessionRequest, CloseSessionRequest, ReadRequest, WriteRequest, BrowseRequest,
                 BrowseNextRequest, FindServersRequest, GetEndpointsRequest, CreateSubscriptionRequest,
                 DeleteSubscriptionsRequest, CreateMonitoredItemsRequest, DeleteMonitoredItemsRequest,
                 PublishRequest, RepublishRequest>;

using Response =
    std::variant<ServiceFault, OpenSecureChannelResponse, CloseSecureChannelResponse, CreateSessionResponse,
                 ActivateSessionResponse, CloseSessionResponse, ReadResponse, WriteResponse, BrowseResponse,
                 BrowseNextResponse, FindServersResponse, GetEndpointsResponse, CreateSubscriptionResponse,
                 DeleteSubscriptionsResponse, CreateMonitoredItemsResponse, DeleteMonitoredItemsResponse,
                 PublishResponse, RepublishResponse>;

// ---- Encoding -----------------------------------------------------------------------

// Bodies only (no type id). One overload per message and structure above.
#define QV_UA_CODEC(T)                                                                                   \
    void encode(Writer& w, const T& v);                                                                  \
    void decode(Reader& r, T& v)
QV_UA_CODEC(RequestHeader);
QV_UA_CODEC(ResponseHeader);
QV_UA_CODEC(ApplicationDescription);
QV_UA_CODEC(EndpointDescription);
QV_UA_CODEC(AnonymousIdentityToken);
QV_UA_CODEC(UserNameIdentityToken);
QV_UA_CODEC(DataChangeFilter);
QV_UA_CODEC(DataChangeNotification);
QV_UA_CODEC(StatusChangeNotification);
QV_UA_CODEC(Range);
QV_UA_CODEC(OpenSecureChannelRequest);
QV_UA_CODEC(CloseSecureChannelRequest);
QV_UA_CODEC(CreateSessionRequest);
QV_UA_CODEC(ActivateSessionRequest);
QV_UA_CODEC(CloseSessionRequest);
QV_UA_CODEC(ReadRequest);
QV_UA_CODEC(WriteRequest);
QV_UA_CODEC(BrowseRequest);
QV_UA_CODEC(BrowseNextRequest);
QV_UA_CODEC(FindServersRequest);
QV_UA_CODEC(GetEndpointsRequest);
QV_UA_CODEC(CreateSubscriptionRequest);
QV_UA_CODEC(DeleteSubscriptionsRequest);
QV_UA_CODEC(CreateMonitoredItemsRequest);
QV_UA_CODEC(DeleteMonitoredItemsRequest);
QV_UA_CODEC(PublishRequest);
QV_UA_CODEC(RepublishRequest);
QV_UA_CODEC(ServiceFault);
QV_UA_CODEC(OpenSecureChannelResponse);
QV_UA_CODEC(CloseSecureChannelResponse);
QV_UA_CODEC(CreateSessionResponse);
QV_UA_CODEC(ActivateSessionResponse);
QV_UA_CODEC(CloseSessionResponse);
QV_UA_CODEC(ReadResponse);
QV_UA_CODEC(WriteResponse);
QV_UA_CODEC(BrowseResponse);
QV_UA_CODEC(BrowseNextResponse);
QV_UA_CODEC(FindServersResponse);
QV_UA_CODEC(GetEndpointsResponse);
QV_UA_CODEC(CreateSubscriptionResponse);
QV_UA_CODEC(DeleteSubscriptionsResponse);
QV_UA_CODEC(CreateMonitoredItemsResponse);
QV_UA_CODEC(DeleteMonitoredItemsResponse);
QV_UA_CODEC(PublishResponse);
QV_UA_CODEC(RepublishResponse);
#undef QV_UA_CODEC

// Type id + body of one message, without copying it into a Request/Response.
template <class Message>
void encode_message(Writer& w, const Message& m) {
    w.node_id(NodeId::numeric_id(0, Message::kEncodingId));
    encode(w, m);
}

// Type id + body. The decoders leave `out` unspecified when they return false.
void encode_request(Writer& w, const Request& request);
bool decode_request(Reader& r, Request& out);
void encode_response(Writer& w, const Response& response);
bool decode_response(Reader& r, Response& out);

uint32_t encoding_id(const Request& request);
uint32_t encoding_id(const Response& response);
RequestHeader& request_header(Request& request);
const RequestHeader& request_header(const Request& request);
const ResponseHeader& response_header(const Response& response);

// An ExtensionObject holding `body` in its binary encoding.
template <class Body>
ExtensionObject to_extension(const Body& body) {
    Writer w;
    encode(w, body);
    ExtensionObject e;
    e.type_id = NodeId::numeric_id(0, Body::kEncodingId);
    e.encoding = ExtensionObject::Encoding::Binary;
    e.body.assign(w.bytes().begin(), w.bytes().end());
    return e;
}

// The body of `e` when it is a binary Body (its type id matches) that decodes
// completely; std::nullopt otherwise. `depth` continues the nesting count of
// the Reader that held `e`; `allocation_left`, when given, is the memory
// budget the bodies of one message share (Reader::allocation_left), lowered by
// what this one takes.
template <class Body>
std::optional<Body> from_extension(const ExtensionObject& e, int depth = 0, size_t* allocation_left = nullptr) {
    Body body;
    if (!from_extension(e, body, depth, allocation_left)) return std::nullopt;
    return body;
}

// The same, decoded over `into` (false: `into` unspecified). A body decoded
// over the previous one of its type reuses that one's storage: a stream of
// data changes allocates nothing per scalar value.
template <class Body>
bool from_extension(const ExtensionObject& e, Body& into, int depth = 0, size_t* allocation_left = nullptr) {
    if (e.encoding != ExtensionObject::Encoding::Binary ||
        e.type_id != NodeId::numeric_id(0, Body::kEncodingId))
        return false;
    Reader r(e.body.data(), e.body.size());
    if (allocation_left) r.set_allocation_left(*allocation_left);
    for (int i = 0; i < depth; ++i) r.enter();
    decode(r, into);
    if (allocation_left) *allocation_left = r.allocation_left();
    return r.ok() && r.at_end();
}

} // namespace ostrand::ua
