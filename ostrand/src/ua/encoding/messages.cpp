// The OPC UA service messages: each structure lists its fields once, in wire
// order, and the same list drives the encoder and the decoder.

#include "ua/encoding/messages.h"

#include <type_traits>
#include <utility>

namespace ostrand::ua {

namespace {

template <class T>
constexpr size_t min_size() {
    if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>) return sizeof(T);
    else if constexpr (std::is_same_v<T, String>) return 4;
    else return 1;
}

// Writes fields of any of the types that occur in the structures.
struct Enc {
    Writer& w;
    void one(bool v) { w.boolean(v); }
    void one(uint8_t v) { w.byte(v); }
    void one(int32_t v) { w.int32(v); }
    void one(uint32_t v) { w.uint32(v); }
    void one(int64_t v) { w.int64(v); }
    void one(double v) { w.float64(v); }
    void one(const String& v) { w.string(v); }
    void one(const NodeId& v) { w.node_id(v); }
    void one(const ExpandedNodeId& v) { w.expanded_node_id(v); }
    void one(const QualifiedName& v) { w.qualified_name(v); }
    void one(const LocalizedText& v) { w.localized_text(v); }
    void one(const ExtensionObject& v) { w.extension_object(v); }
    void one(const DataValue& v) { w.data_value(v); }
    void one(const DiagnosticInfo& v) { w.diagnostic_info(v); }
    template <class E>
        requires std::is_enum_v<E>
    void one(E v) {
        one(static_cast<std::underlying_type_t<E>>(v));
    }
    template <class T>
    void one(const std::vector<T>& v) {
        w.array(v, [&](const T& e) { one(e); });
    }
    template <class T>
        requires requires(Enc& e, const T& t) { fields(e, t); }
    void one(const T& v) {
        fields(*this, v);
    }
    template <class... A>
    void operator()(const A&... a) {
        (one(a), ...);
    }
};

// Reads the same fields; the Reader's sticky error makes partial reads harmless.
struct Dec {
    Reader& r;
    void one(bool& v) { v = r.boolean(); }
    void one(uint8_t& v) { v = r.byte(); }
    void one(int32_t& v) { v = r.int32(); }
    void one(uint32_t& v) { v = r.uint32(); }
    void one(int64_t& v) { v = r.int64(); }
    void one(double& v) { v = r.float64(); }
    void one(String& v) { v = r.string(); }
    void one(NodeId& v) { v = r.node_id(); }
    void one(ExpandedNodeId& v) { v = r.expanded_node_id(); }
    void one(QualifiedName& v) { v = r.qualified_name(); }
    void one(LocalizedText& v) { v = r.localized_text(); }
    void one(ExtensionObject& v) { v = r.extension_object(); }
    void one(DataValue& v) { r.data_value(v); }
    void one(DiagnosticInfo& v) { v = r.diagnostic_info(); }
    template <class E>
        requires std::is_enum_v<E>
    void one(E& v) {
        std::underlying_type_t<E> raw{};
        one(raw);
        v = static_cast<E>(raw);
    }
    // Over the elements `v` already holds (a body decoded over the previous
    // one reuses their storage), then new ones; empty after an error.
    template <class T>
    void one(std::vector<T>& v) {
        const size_t count = r.array_length(min_size<T>());
        // Charged whether or not the storage is reused, so what one message
        // may make stays bounded by its size either way.
        if (!r.charge(count * sizeof(T))) {
            v.clear();
            return;
        }
        if (count < v.size()) v.resize(count);
        const size_t kept = v.size();
        if (count > v.capacity() && count * sizeof(T) <= kMaxReserveBytes) v.reserve(count);
        for (size_t i = 0; i < kept && r.ok(); ++i) one(v[i]);
        for (size_t i = kept; i < count && r.ok(); ++i) one(v.emplace_back());
        if (!r.ok()) v.clear();
    }
    template <class T>
        requires requires(Dec& d, T& t) { fields(d, t); }
    void one(T& v) {
        fields(*this, v);
    }
    template <class... A>
    void operator()(A&... a) {
        (one(a), ...);
    }
};

} // namespace

// fields(io, v): the wire order of one structure, for Enc (const v) and Dec.
#define QV_FIELDS(Type, ...)                                                                             \
    template <class IO, class V>                                                                         \
        requires std::is_same_v<std::remove_const_t<V>, Type>                                            \
    void fields(IO& io, V& v) {                                                                          \
        io(__VA_ARGS__);                                                                                 \
    }

QV_FIELDS(RequestHeader, v.authentication_token, v.timestamp, v.request_handle, v.return_diagnostics,
          v.audit_entry_id, v.timeout_hint, v.additional_header)
QV_FIELDS(ResponseHeader, v.timestamp, v.request_handle, v.service_result, v.service_diagnostics,
          v.string_table, v.additional_header)
QV_FIELDS(ApplicationDescription, v.application_uri, v.product_uri, v.application_name, v.application_type,
          v.gateway_server_uri, v.discovery_profile_uri, v.discovery_urls)
QV_FIELDS(UserTokenPolicy, v.policy_id, v.token_type, v.issued_token_type, v.issuer_endpoint_url,
          v.security_policy_uri)
QV_FIELDS(EndpointDescription, v.endpoint_url, v.server, v.server_certificate, v.security_mode,
          v.security_policy_uri, v.user_identity_tokens, v.transport_profile_uri, v.security_level)
QV_FIELDS(SignatureData, v.algorithm, v.signature)
QV_FIELDS(SignedSoftwareCertificate, v.certificate_data, v.signature)
QV_FIELDS(ChannelSecurityToken, v.channel_id, v.token_id, v.created_at, v.revised_lifetime)
QV_FIELDS(ReadValueId, v.node_id, v.attribute_id, v.index_range, v.data_encoding)
QV_FIELDS(WriteValue, v.node_id, v.attribute_id, v.index_range, v.value)
QV_FIELDS(ViewDescription, v.view_id, v.timestamp, v.view_version)
QV_FIELDS(BrowseDescription, v.node_id, v.browse_direction, v.reference_type_id, v.include_subtypes,
          v.node_class_mask, v.result_mask)
QV_FIELDS(ReferenceDescription, v.reference_type_id, v.is_forward, v.node_id, v.browse_name, v.display_name,
          v.node_class, v.type_definition)
QV_FIELDS(BrowseResult, v.status_code, v.continuation_point, v.references)
QV_FIELDS(MonitoringParameters, v.client_handle, v.sampling_interval, v.filter, v.queue_size,
          v.discard_oldest)
QV_FIELDS(MonitoredItemCreateRequest, v.item_to_monitor, v.monitoring_mode, v.requested_parameters)
QV_FIELDS(MonitoredItemCreateResult, v.status_code, v.monitored_item_id, v.revised_sampling_interval,
          v.revised_queue_size, v.filter_result)
QV_FIELDS(SubscriptionAcknowledgement, v.subscription_id, v.sequence_number)
QV_FIELDS(NotificationMessage, v.sequence_number, v.publish_time, v.notification_data)

QV_FIELDS(AnonymousIdentityToken, v.policy_id)
QV_FIELDS(UserNameIdentityToken, v.policy_id, v.user_name, v.password, v.encryption_algorithm)
QV_FIELDS(DataChangeFilter, v.trigger, v.deadband_type, v.deadband_value)
QV_FIELDS(MonitoredItemNotification, v.client_handle, v.value)
QV_FIELDS(DataChangeNotification, v.monitored_items, v.diagnostic_infos)
QV_FIELDS(StatusChangeNotification, v.status, v.diagnostic_info)
QV_FIELDS(Range, v.low, v.high)

QV_FIELDS(OpenSecureChannelRequest, v.header, v.client_protocol_version, v.request_type, v.security_mode,
          v.client_nonce, v.requested_lifetime)
QV_FIELDS(CloseSecureChannelRequest, v.header)
QV_FIELDS(CreateSessionRequest, v.header, v.client_description, v.server_uri, v.endpoint_url, v.session_name,
          v.client_nonce, v.client_certificate, v.requested_session_timeout, v.max_response_message_size)
QV_FIELDS(ActivateSessionRequest, v.header, v.client_signature, v.client_software_certificates, v.locale_ids,
          v.user_identity_token, v.user_token_signature)
QV_FIELDS(CloseSessionRequest, v.header, v.delete_subscriptions)
QV_FIELDS(ReadRequest, v.header, v.max_age, v.timestamps_to_return, v.nodes_to_read)
QV_FIELDS(WriteRequest, v.header, v.nodes_to_write)
QV_FIELDS(BrowseRequest, v.header, v.view, v.requested_max_references_per_node, v.nodes_to_browse)
QV_FIELDS(BrowseNextRequest, v.header, v.release_continuation_points, v.continuation_points)
QV_FIELDS(FindServersRequest, v.header, v.endpoint_url, v.locale_ids, v.server_uris)
QV_FIELDS(GetEndpointsRequest, v.header, v.endpoint_url, v.locale_ids, v.profile_uris)
QV_FIELDS(CreateSubscriptionRequest, v.header, v.requested_publishing_interval, v.requested_lifetime_count,
          v.requested_max_keep_alive_count, v.max_notifications_per_publish, v.publishing_enabled, v.priority)
QV_FIELDS(DeleteSubscriptionsRequest, v.header, v.subscription_ids)
QV_FIELDS(CreateMonitoredItemsRequest, v.header, v.subscription_id, v.timestamps_to_return, v.items_to_create)
QV_FIELDS(DeleteMonitoredItemsRequest, v.header, v.subscription_id, v.monitored_item_ids)
QV_FIELDS(PublishRequest, v.header, v.subscription_acknowledgements)
QV_FIELDS(RepublishRequest, v.header, v.subscription_id, v.retransmit_sequence_number)

QV_FIELDS(ServiceFault, v.header)
QV_FIELDS(OpenSecureChannelResponse, v.header, v.server_protocol_version, v.security_token, v.server_nonce)
QV_FIELDS(CloseSecureChannelResponse, v.header)
QV_FIELDS(CreateSessionResponse, v.header, v.session_id, v.authentication_token, v.revised_session_timeout,
          v.server_nonce, v.server_certificate, v.server_endpoints, v.server_software_certificates,
          v.server_signature, v.max_request_message_size)
QV_FIELDS(ActivateSessionResponse, v.header, v.server_nonce, v.results, v.diagnostic_infos)
QV_FIELDS(CloseSessionResponse, v.header)
QV_FIELDS(ReadResponse, v.header, v.results, v.diagnostic_infos)
QV_FIELDS(WriteResponse, v.header, v.results, v.diagnostic_infos)
QV_FIELDS(BrowseResponse, v.header, v.results, v.diagnostic_infos)
QV_FIELDS(BrowseNextResponse, v.header, v.results, v.diagnostic_infos)
QV_FIELDS(FindServersResponse, v.header, v.servers)
QV_FIELDS(GetEndpointsResponse, v.header, v.endpoints)
QV_FIELDS(CreateSubscriptionResponse, v.header, v.subscription_id, v.revised_publishing_interval,
          v.revised_lifetime_count, v.revised_max_keep_alive_count)
QV_FIELDS(DeleteSubscriptionsResponse, v.header, v.results, v.diagnostic_infos)
QV_FIELDS(CreateMonitoredItemsResponse, v.header, v.results, v.diagnostic_infos)
QV_FIELDS(DeleteMonitoredItemsResponse, v.header, v.results, v.diagnostic_infos)
QV_FIELDS(PublishResponse, v.header, v.subscription_id, v.available_sequence_numbers, v.more_notifications,
          v.notification_message, v.results, v.diagnostic_infos)
QV_FIELDS(RepublishResponse, v.header, v.notification_message)

#undef QV_FIELDS

namespace {

// Reads the type id, then the body of the alternative of V whose encoding id it is.
template <class V, size_t... I>
bool decode_one_of(Reader& r, V& out, std::index_sequence<I...>) {
    const NodeId type = r.node_id();
    if (!r.ok()) return false;
    bool known = false;
    if (type.namespace_index == 0 && type.type == IdType::Numeric) {
        ((!known && type.numeric == std::variant_alternative_t<I, V>::kEncodingId
              ? (known = true, decode(r, out.template emplace<I>()), 0)
              : 0),
         ...);
    }
    if (!known) r.fail(status::BadServiceUnsupported);
    return r.ok();
}

} // namespace

#define QV_UA_CODEC(T)                                                                                   \
    void encode(Writer& w, const T& v) {                                                                 \
        Enc e{w};                                                                                        \
        fields(e, v);                                                                                    \
    }                                                                                                    \
    void decode(Reader& r, T& v) {                                                                       \
        Dec d{r};                                                                                        \
        fields(d, v);                                                                                    \
    }
QV_UA_CODEC(RequestHeader)
QV_UA_CODEC(ResponseHeader)
QV_UA_CODEC(ApplicationDescription)
QV_UA_CODEC(EndpointDescription)
QV_UA_CODEC(AnonymousIdentityToken)
QV_UA_CODEC(UserNameIdentityToken)
QV_UA_CODEC(DataChangeFilter)
QV_UA_CODEC(DataChangeNotification)
QV_UA_CODEC(StatusChangeNotification)
QV_UA_CODEC(Range)
QV_UA_CODEC(OpenSecureChannelRequest)
QV_UA_CODEC(CloseSecureChannelRequest)
QV_UA_CODEC(CreateSessionRequest)
QV_UA_CODEC(ActivateSessionRequest)
QV_UA_CODEC(CloseSessionRequest)
QV_UA_CODEC(ReadRequest)
QV_UA_CODEC(WriteRequest)
QV_UA_CODEC(BrowseRequest)
QV_UA_CODEC(BrowseNextRequest)
QV_UA_CODEC(FindServersRequest)
QV_UA_CODEC(GetEndpointsRequest)
QV_UA_CODEC(CreateSubscriptionRequest)
QV_UA_CODEC(DeleteSubscriptionsRequest)
QV_UA_CODEC(CreateMonitoredItemsRequest)
QV_UA_CODEC(DeleteMonitoredItemsRequest)
QV_UA_CODEC(PublishRequest)
QV_UA_CODEC(RepublishRequest)
QV_UA_CODEC(ServiceFault)
QV_UA_CODEC(OpenSecureChannelResponse)
QV_UA_CODEC(CloseSecureChannelResponse)
QV_UA_CODEC(CreateSessionResponse)
QV_UA_CODEC(ActivateSessionResponse)
QV_UA_CODEC(CloseSessionResponse)
QV_UA_CODEC(ReadResponse)
QV_UA_CODEC(WriteResponse)
QV_UA_CODEC(BrowseResponse)
QV_UA_CODEC(BrowseNextResponse)
QV_UA_CODEC(FindServersResponse)
QV_UA_CODEC(GetEndpointsResponse)
QV_UA_CODEC(CreateSubscriptionResponse)
QV_UA_CODEC(DeleteSubscriptionsResponse)
QV_UA_CODEC(CreateMonitoredItemsResponse)
QV_UA_CODEC(DeleteMonitoredItemsResponse)
QV_UA_CODEC(PublishResponse)
QV_UA_CODEC(RepublishResponse)
#undef QV_UA_CODEC

void encode_request(Writer& w, const Request& request) {
    std::visit([&](const auto& m) { encode_message(w, m); }, request);
}

void encode_response(Writer& w, const Response& response) {
    std::visit([&](const auto& m) { encode_message(w, m); }, response);
}

bool decode_request(Reader& r, Request& out) {
    return decode_one_of(r, out, std::make_index_sequence<std::variant_size_v<Request>>{});
}

bool decode_response(Reader& r, Response& out) {
    return decode_one_of(r, out, std::make_index_sequence<std::variant_size_v<Response>>{});
}

uint32_t encoding_id(const Request& request) {
    return std::visit([](const auto& m) { return std::decay_t<decltype(m)>::kEncodingId; }, request);
}

uint32_t encoding_id(const Response& response) {
    return std::visit([](const auto& m) { return std::decay_t<decltype(m)>::kEncodingId; }, response);
}

RequestHeader& request_header(Request& request) {
    return std::visit([](auto& m) -> RequestHeader& { return m.header; }, request);
}

const RequestHeader& request_header(const Request& request) {
    return std::visit([](const auto& m) -> const RequestHeader& { return m.header; }, request);
}

const ResponseHeader& response_header(const Response& response) {
    return std::visit([](const auto& m) -> const ResponseHeader& { return m.header; }, response);
}

} // namespace ostrand::ua
