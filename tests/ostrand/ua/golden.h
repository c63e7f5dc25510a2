// The golden OPC UA session (tests/ostrand/ua/golden): one real session with the
// node-opcua peer, chunk by chunk, and the request fields that reproduce the
// client's chunks. The values printed by the capture are in
// golden/raw-session.out.txt.
//
// The capturing client used a fixed clock (kClientTime in every request
// header), request handle = request id = sequence number, and an empty client
// nonce in OpenSecureChannel. The session's authentication token and the
// subscription id come from the server's chunks 06 and 16.
#pragma once

#include "ua/encoding/messages.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef QV_UA_GOLDEN_DIR
#error "QV_UA_GOLDEN_DIR must name tests/ostrand/ua/golden"
#endif

namespace quorvane::test::ua_golden {

namespace ua = ostrand::ua;

// 2024-01-02T03:04:05Z.
constexpr ua::DateTime kClientTime = 0x01DA3D285848C080;
constexpr uint32_t kSubscriptionId = 353257;
constexpr const char* kEndpointUrl = "opc.tcp://127.0.0.1:4840";

inline std::vector<uint8_t> load(const std::string& file) {
    std::ifstream in(std::string(QV_UA_GOLDEN_DIR) + "/" + file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Where the message (type id + body) starts in a chunk: after the message
// header, the channel id, the security header and the sequence header. OPN
// carries the asymmetric header with the None policy URI and null certificates.
inline size_t body_offset(const std::vector<uint8_t>& chunk) {
    const bool open = chunk.size() >= 3 && chunk[0] == 'O' && chunk[1] == 'P' && chunk[2] == 'N';
    return open ? 8 + 4 + (4 + 47 + 4 + 4) + 8 : 8 + 4 + 4 + 8;
}

inline std::vector<uint8_t> load_body(const std::string& file) {
    const auto chunk = load(file);
    const size_t at = body_offset(chunk);
    return chunk.size() < at ? std::vector<uint8_t>{} : std::vector<uint8_t>(chunk.begin() + at, chunk.end());
}

// The authentication token the server handed out in chunk 06 (an opaque NodeId).
inline ua::NodeId session_token() {
    std::string bytes = "\xd3\x37\x81\x9d\x14\x3e\xdb\x77\x70\x61\xf0\x09\x2a\xc6\xce\x6d";
    return ua::NodeId::opaque_id(0, bytes);
}

struct ClientMessage {
    const char* file;
    uint32_t request_id; // also the sequence number and the request handle
    ua::Request request;
};

// The 15 client messages (every client chunk but Hello) of the session, in order, with `token` and
// `subscription_id` as decoded from the server.
inline std::vector<ClientMessage> client_messages(const ua::NodeId& token = session_token(),
                                                  uint32_t subscription_id = kSubscriptionId) {
    auto header = [&](uint32_t handle, bool with_token, uint32_t timeout = 10000) {
        ua::RequestHeader h;
        if (with_token) h.authentication_token = token;
        h.timestamp = kClientTime;
        h.request_handle = handle;
        h.timeout_hint = timeout;
        return h;
    };
    auto value_of = [](uint16_t ns, const char* id) {
        ua::ReadValueId r;
        r.node_id = ns == 0 ? ua::NodeId::numeric_id(0, static_cast<uint32_t>(std::stoul(id)))
                            : ua::NodeId::string_id(ns, id);
        return r;
    };
    std::vector<ClientMessage> out;

    ua::OpenSecureChannelRequest opn;
    opn.header = header(1, false);
    opn.client_nonce = std::string();
    opn.requested_lifetime = 600000;
    out.push_back({"03_c2s_OpenSecureChannelRequest.bin", 1, opn});

    ua::CreateSessionRequest cs;
    cs.header = header(2, false);
    cs.client_description.application_uri = "urn:opcua-peer:raw-client";
    cs.client_description.product_uri = "urn:opcua-peer";
    cs.client_description.application_name.text = "raw-session";
    cs.client_description.application_type = ua::ApplicationType::Client;
    cs.endpoint_url = kEndpointUrl;
    cs.session_name = "raw-session";
    cs.requested_session_timeout = 60000;
    out.push_back({"05_c2s_CreateSessionRequest.bin", 2, cs});

    ua::ActivateSessionRequest as;
    as.header = header(3, true);
    as.locale_ids = {"en"};
    as.user_identity_token = ua::to_extension(ua::AnonymousIdentityToken{"anonymous"});
    out.push_back({"07_c2s_ActivateSessionRequest.bin", 3, as});

    ua::ReadRequest ns;
    ns.header = header(4, true);
    ns.timestamps_to_return = ua::TimestampsToReturn::Neither;
    ns.nodes_to_read = {value_of(0, "2255")};
    out.push_back({"09_c2s_ReadRequest.bin", 4, ns});

    ua::BrowseRequest br;
    br.header = header(5, true);
    ua::BrowseDescription objects;
    objects.node_id = ua::NodeId::numeric_id(0, ua::node::ObjectsFolder);
    objects.reference_type_id = ua::NodeId::numeric_id(0, ua::node::HierarchicalReferences);
    br.nodes_to_browse = {objects};
    out.push_back({"11_c2s_BrowseRequest.bin", 5, br});

    ua::ReadRequest st;
    st.header = header(6, true);
    for (const char* id : {"2257", "2258", "2259", "2263", "2264", "2265", "2256"})
        st.nodes_to_read.push_back(value_of(0, id));
    st.nodes_to_read.push_back(value_of(1, "Channel1.Device1.Speed"));
    st.nodes_to_read.push_back(value_of(1, "Channel1.Device1.Nope"));
    out.push_back({"13_c2s_ReadRequest.bin", 6, st});

    ua::CreateSubscriptionRequest sub;
    sub.header = header(7, true);
    sub.requested_publishing_interval = 500;
    sub.requested_lifetime_count = 60;
    sub.requested_max_keep_alive_count = 10;
    out.push_back({"15_c2s_CreateSubscriptionRequest.bin", 7, sub});

    ua::CreateMonitoredItemsRequest mi;
    mi.header = header(8, true);
    mi.subscription_id = subscription_id;
    const ua::DataChangeFilter percent5{ua::DataChangeTrigger::StatusValue, ua::DeadbandType::Percent, 5.0};
    const std::pair<const char*, bool> items[] = {{"Channel1.Device1.Speed", false},
                                                  {"Channel1.Device1.Level", true},
                                                  {"Channel1.Device1.Speed", true}};
    uint32_t handle = 1;
    for (const auto& [id, filtered] : items) {
        ua::MonitoredItemCreateRequest item;
        item.item_to_monitor = value_of(1, id);
        item.requested_parameters.client_handle = handle++;
        item.requested_parameters.sampling_interval = 250;
        if (filtered) item.requested_parameters.filter = ua::to_extension(percent5);
        mi.items_to_create.push_back(item);
    }
    out.push_back({"17_c2s_CreateMonitoredItemsRequest.bin", 8, mi});

    auto publish = [&](uint32_t handle, std::vector<uint32_t> acks) {
        ua::PublishRequest p;
        p.header = header(handle, true, 20000);
        for (uint32_t seq : acks) p.subscription_acknowledgements.push_back({subscription_id, seq});
        return p;
    };
    out.push_back({"19_c2s_PublishRequest.bin", 9, publish(9, {})});
    out.push_back({"20_c2s_PublishRequest.bin", 10, publish(10, {})});
    out.push_back({"23_c2s_PublishRequest.bin", 11, publish(11, {1, 2})});

    ua::WriteRequest wr;
    wr.header = header(12, true);
    ua::WriteValue speed;
    speed.node_id = ua::NodeId::string_id(1, "Channel1.Device1.Speed");
    speed.value.value = ua::Variant::scalar<ua::kInt16>(1000);
    wr.nodes_to_write = {speed};
    out.push_back({"25_c2s_WriteRequest.bin", 12, wr});

    out.push_back({"27_c2s_PublishRequest.bin", 13, publish(13, {3})});

    ua::CloseSessionRequest close;
    close.header = header(14, true);
    out.push_back({"29_c2s_CloseSessionRequest.bin", 14, close});

    ua::CloseSecureChannelRequest clo;
    clo.header = header(15, true);
    out.push_back({"31_c2s_CloseSecureChannelRequest.bin", 15, clo});
    return out;
}

} // namespace quorvane::test::ua_golden
