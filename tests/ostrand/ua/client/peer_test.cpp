// The OPC UA client (I/O loop + engine) against the node-opcua test peer on
// loopback: connect by address and by name, close, writes read back and a
// mismatched type refused, and the failures a caller must see. ServerStatus,
// browsing through BrowseNext and most write types: ua_service_test.
#include "../../../support/ua_peer.h"
#include "ua/client/loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using namespace std::chrono_literals;

constexpr Millis kWait = 20s; // longer than any engine deadline below: a completion that misses it hangs

class UaPeerTest : public quorvane::test::UaPeerSuite<UaPeerTest> {
public:
    static std::vector<std::string> PeerArgs() { return {"--big-folder", "0"}; }

protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(UaPeerSuite::SetUp());
        ASSERT_TRUE(loop_.start());
    }

    static UaSettings Settings() {
        UaSettings s;
        s.connect_total = 10s;
        return s;
    }

    // Opens a session to `url`; the connection id, 0 on failure.
    UaLoop::ConnectionId Connect(const std::string& url) {
        UaLoop::ConnectionId id = 0;
        auto done = loop_.open(url, Settings(), &id);
        EXPECT_TRUE(done->wait_for(kWait));
        EXPECT_EQ(done->status(), status::Good) << std::hex << done->status();
        return done->status() == status::Good ? id : 0;
    }

    template <class R>
    std::optional<R> Call(UaLoop::ConnectionId id, Request request) {
        auto done = loop_.request(id, std::move(request));
        if (!done->wait_for(kWait)) {
            ADD_FAILURE() << "no completion";
            return std::nullopt;
        }
        EXPECT_EQ(done->status(), status::Good) << std::hex << done->status();
        Response r = done->response();
        if (auto* typed = std::get_if<R>(&r)) return *typed;
        ADD_FAILURE() << "unexpected response type " << r.index();
        return std::nullopt;
    }

    static ReadValueId Value(NodeId node) {
        ReadValueId r;
        r.node_id = std::move(node);
        return r;
    }

    SystemClock clock_;
    UaLoop loop_{clock_};
};

TEST_F(UaPeerTest, ConnectsByAddressAndByNameReadsAndCloses) {
    for (const std::string& url : {peer_->Url(), "opc.tcp://localhost:" + std::to_string(peer_->Port())}) {
        SCOPED_TRACE(url);
        const UaLoop::ConnectionId id = Connect(url);
        ASSERT_NE(id, 0u);
        ReadRequest read;
        read.nodes_to_read.push_back(Value(NodeId::numeric_id(0, node::Server_ServerStatus_State)));
        const auto r = Call<ReadResponse>(id, read);
        ASSERT_TRUE(r && r->results.size() == 1 && r->results[0].value);
        const int32_t* state = r->results[0].value->get<kInt32>();
        ASSERT_TRUE(state);
        EXPECT_EQ(*state, 0); // Running

        // What only the I/O thread holds is filled in there; its refusal
        // completes the request, which is not sent.
        const auto state_node = [](Request& request) {
            std::get<ReadRequest>(request).nodes_to_read[0].node_id =
                NodeId::numeric_id(0, node::Server_ServerStatus_State);
            return status::Good;
        };
        ReadRequest blank;
        blank.nodes_to_read.push_back(Value(NodeId{}));
        auto filled = loop_.request(id, blank, state_node);
        ASSERT_TRUE(filled->wait_for(kWait));
        const Response answer = filled->response();
        const auto* read_back = std::get_if<ReadResponse>(&answer);
        ASSERT_TRUE(read_back && read_back->results.size() == 1 && read_back->results[0].value);
        EXPECT_TRUE(read_back->results[0].value->get<kInt32>()); // the state, not a refusal of ns=0;i=0
        auto refused = loop_.request(id, blank, [](Request&) { return status::BadNodeIdUnknown; });
        ASSERT_TRUE(refused->wait_for(kWait));
        EXPECT_EQ(refused->status(), status::BadNodeIdUnknown);

        auto closed = loop_.close(id);
        ASSERT_TRUE(closed->wait_for(kWait));
        auto after = loop_.request(id, read);
        ASSERT_TRUE(after->wait_for(kWait));
        EXPECT_EQ(after->status(), status::BadNotConnected);
    }
}

TEST_F(UaPeerTest, WritesAreReadBackAndAMismatchedTypeIsRefused) {
    const UaLoop::ConnectionId id = Connect(peer_->Url());
    ASSERT_NE(id, 0u);
    struct Case {
        const char* node;
        Variant value;
    };
    // Byte, UInt32, Double, DateTime and String go the same way in ua_service_test.
    const Case cases[] = {
        {"Static.Int16", Variant::scalar<kInt16>(-12)},
        {"Static.Boolean", Variant::scalar<kBoolean>(0)},
        {"Static.Float", Variant::scalar<kFloat>(12.5f)},
    };
    WriteRequest write;
    ReadRequest read;
    for (const Case& c : cases) {
        WriteValue w;
        w.node_id = NodeId::string_id(1, c.node);
        w.value.value = c.value;
        write.nodes_to_write.push_back(w);
        read.nodes_to_read.push_back(Value(NodeId::string_id(1, c.node)));
    }
    // The server does not convert: a Double for an Int16 node is refused.
    WriteValue mismatch;
    mismatch.node_id = NodeId::string_id(1, "Static.Int16");
    mismatch.value.value = Variant::scalar<kDouble>(1.0);
    write.nodes_to_write.push_back(mismatch);

    const auto written = Call<WriteResponse>(id, write);
    ASSERT_TRUE(written);
    ASSERT_EQ(written->results.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(written->results[i], status::Good) << cases[i].node;
    EXPECT_EQ(written->results.back(), status::BadTypeMismatch);

    const auto back = Call<ReadResponse>(id, read);
    ASSERT_TRUE(back && back->results.size() == std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_TRUE(back->results[i].value) << cases[i].node;
        EXPECT_EQ(*back->results[i].value, cases[i].value) << cases[i].node;
    }
}

TEST_F(UaPeerTest, RefusedAndMalformedEndpointsFailAtOnce) {
    const uint16_t closed = quorvane::test::FreeLoopbackPort();
    ASSERT_NE(closed, 0);
    const auto start = std::chrono::steady_clock::now();
    UaLoop::ConnectionId id = 0;
    auto refused = loop_.open("opc.tcp://127.0.0.1:" + std::to_string(closed), Settings(), &id);
    ASSERT_TRUE(refused->wait_for(kWait));
    EXPECT_EQ(refused->status(), status::BadConnectionRejected);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    auto malformed = loop_.open("http://127.0.0.1:1", Settings(), &id);
    ASSERT_TRUE(malformed->done());
    EXPECT_EQ(malformed->status(), status::BadTcpEndpointUrlInvalid);
    EXPECT_EQ(id, 0u);
}

} // namespace
