// The OPC UA client engine without I/O: the golden session reproduced byte
// for byte, and a scripted server under a fake clock for the handshake, the
// request deadlines, ServiceFaults, token renewal and connection loss.
#include "ua_client.h"
#include "ua_golden.h"
#include "ua_server_chunks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using namespace std::chrono_literals;
namespace golden = quorvane::test::ua_golden;
using Kind = UaEvent::Kind;

const SteadyTime kT0 = SteadyTime{} + 1000h;

class FakeClock final : public Clock {
public:
    SteadyTime now() const override { return steady; }
    FileTime filetime() const override { return wall; }
    SteadyTime steady = kT0;
    FileTime wall = golden::kClientTime;
};

void ZeroRandom(std::span<uint8_t> out) { std::fill(out.begin(), out.end(), uint8_t{0}); }

std::vector<UaEvent> Drain(UaClient& c) {
    std::vector<UaEvent> out;
    while (auto e = c.next_event()) out.push_back(std::move(*e));
    return out;
}

// The settings of the capturing client of the golden session.
UaSettings GoldenSettings() {
    UaSettings s;
    s.limits = {0, 65536, 65536, 0, 0};
    s.request_timeout = 10000ms;
    s.session_nonce_length = 0;
    s.max_response_message_size = 0;
    s.session_name = "raw-session";
    s.client_description.application_uri = "urn:opcua-peer:raw-client";
    s.client_description.product_uri = "urn:opcua-peer";
    s.client_description.application_name = {std::nullopt, "raw-session"};
    return s;
}

TEST(UaEngine, GoldenSessionIsReproducedByteForByte) {
    FakeClock clock;
    UaClient c(GoldenSettings(), clock, ZeroRandom);
    c.connect(golden::kEndpointUrl, kT0);
    EXPECT_EQ(c.take_output(), golden::load("01_c2s_Hello.bin"));
    const std::pair<const char*, const char*> handshake[] = {
        {"02_s2c_Acknowledge.bin", "03_c2s_OpenSecureChannelRequest.bin"},
        {"04_s2c_OpenSecureChannelResponse.bin", "05_c2s_CreateSessionRequest.bin"},
        {"06_s2c_CreateSessionResponse.bin", "07_c2s_ActivateSessionRequest.bin"}};
    for (const auto& [in, out] : handshake) {
        c.receive(golden::load(in), kT0);
        EXPECT_EQ(c.take_output(), golden::load(out)) << out;
    }
    EXPECT_TRUE(Drain(c).empty());
    c.receive(golden::load("08_s2c_ActivateSessionResponse.bin"), kT0);
    auto events = Drain(c);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Connected);
    EXPECT_EQ(c.session_id().type, IdType::Guid);

    // The services, each with the server's answer fed right after the
    // request (the two first Publish requests go out back to back).
    const auto messages = golden::client_messages();
    const std::vector<std::pair<size_t, std::vector<const char*>>> script = {
        {3, {"10_s2c_ReadResponse.bin"}},         {4, {"12_s2c_BrowseResponse.bin"}},
        {5, {"14_s2c_ReadResponse.bin"}},         {6, {"16_s2c_CreateSubscriptionResponse.bin"}},
        {7, {"18_s2c_CreateMonitoredItemsResponse.bin"}}, {8, {}},
        {9, {"21_s2c_PublishResponse.bin", "22_s2c_PublishResponse.bin"}},
        {10, {"24_s2c_PublishResponse.bin"}},     {11, {"26_s2c_WriteResponse.bin"}},
        {12, {"28_s2c_PublishResponse.bin"}}};
    for (const auto& [index, answers] : script) {
        const golden::ClientMessage& m = messages[index];
        Request r = m.request;
        const Millis hint{request_header(r).timeout_hint};
        request_header(r) = {};
        EXPECT_EQ(c.request(r, kT0, hint), m.request_id) << m.file;
        EXPECT_EQ(c.take_output(), golden::load(m.file)) << m.file;
        for (const char* answer : answers) c.receive(golden::load(answer), kT0);
        for (const UaEvent& e : Drain(c)) {
            EXPECT_EQ(e.kind, Kind::Response) << m.file;
            EXPECT_EQ(e.status, status::Good);
        }
    }
    EXPECT_EQ(c.pending(), 0u);

    c.close(kT0);
    EXPECT_EQ(c.take_output(), golden::load("29_c2s_CloseSessionRequest.bin"));
    c.receive(golden::load("30_s2c_CloseSessionResponse.bin"), kT0);
    EXPECT_EQ(c.take_output(), golden::load("31_c2s_CloseSecureChannelRequest.bin"));
    events = Drain(c);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Closed);
    EXPECT_EQ(c.state(), UaClient::State::Closed);
}

} // namespace
