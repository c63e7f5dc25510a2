// The OPC UA client (I/O loop + engine) against the node-opcua test peer on
// loopback: connect, ServerStatus scalars, browsing a 5,000-variable folder
// through BrowseNext, writes read back, and the failures a caller must see.
#include "ua_loop.h"
#include "ua_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using namespace std::chrono_literals;
using quorvane::test::UaPeer;

constexpr Millis kWait = 20s; // longer than any engine deadline below: a completion that misses it hangs
constexpr int kBigFolder = 5000;

class UaPeerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        peer_ = new UaPeer(UaPeer::Options{300, {"--big-folder", std::to_string(kBigFolder)}});
        start_error_ = peer_->Start();
    }
    static void TearDownTestSuite() {
        delete peer_;
        peer_ = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ(start_error_, "");
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

    static inline UaPeer* peer_ = nullptr;
    static inline std::string start_error_;
    SystemClock clock_;
    UaLoop loop_{clock_};
};

TEST_F(UaPeerTest, ConnectsByAddressAndByNameAndReadsServerStatus) {
    for (const std::string& url : {peer_->Url(), "opc.tcp://localhost:" + std::to_string(peer_->Port())}) {
        SCOPED_TRACE(url);
        const UaLoop::ConnectionId id = Connect(url);
        ASSERT_NE(id, 0u);
        ReadRequest read;
        for (uint32_t n : {node::Server_ServerStatus_StartTime, node::Server_ServerStatus_CurrentTime,
                           node::Server_ServerStatus_State, node::Server_ServerStatus_BuildInfo_ProductName,
                           node::Server_ServerStatus_BuildInfo_ManufacturerName,
                           node::Server_ServerStatus_BuildInfo_SoftwareVersion,
                           node::Server_ServerStatus_BuildInfo_BuildNumber})
            read.nodes_to_read.push_back(Value(NodeId::numeric_id(0, n)));
        const FileTime before = clock_.filetime();
        const auto r = Call<ReadResponse>(id, read);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->results.size(), 7u);
        for (const DataValue& v : r->results) EXPECT_EQ(v.status.value_or(status::Good), status::Good);
        const auto text = [&](size_t i) {
            const String* s = r->results[i].value ? r->results[i].value->get<kString>() : nullptr;
            return s && *s ? **s : std::string("?");
        };
        const DateTime* start = r->results[0].value->get<kDateTime>();
        const DateTime* current = r->results[1].value->get<kDateTime>();
        const int32_t* state = r->results[2].value->get<kInt32>();
        ASSERT_TRUE(start && current && state);
        EXPECT_LE(*start, *current);
        EXPECT_LT(std::abs(*current - before), 5 * 10'000'000LL) << "CurrentTime is not within 5 s of now";
        EXPECT_EQ(*state, 0); // Running
        EXPECT_EQ(text(3), "OPC UA Test Peer");
        EXPECT_EQ(text(4), "Test Peer Maker");
        EXPECT_EQ(text(5), "1.2.3");
        EXPECT_EQ(text(6), "4567");

        auto closed = loop_.close(id);
        ASSERT_TRUE(closed->wait_for(kWait));
        auto after = loop_.request(id, read);
        ASSERT_TRUE(after->wait_for(kWait));
        EXPECT_EQ(after->status(), status::BadNotConnected);
    }
}

TEST_F(UaPeerTest, BrowsesObjectsAndTheBigFolderThroughBrowseNext) {
    const UaLoop::ConnectionId id = Connect(peer_->Url());
    ASSERT_NE(id, 0u);
    auto describe = [](NodeId node) {
        BrowseDescription d;
        d.node_id = std::move(node);
        d.reference_type_id = NodeId::numeric_id(0, node::HierarchicalReferences);
        d.node_class_mask = node_class::Object | node_class::Variable;
        return d;
    };

    BrowseRequest objects;
    objects.nodes_to_browse = {describe(NodeId::numeric_id(0, node::ObjectsFolder))};
    const auto top = Call<BrowseResponse>(id, objects);
    ASSERT_TRUE(top && top->results.size() == 1);
    std::set<std::string> names;
    for (const ReferenceDescription& ref : top->results[0].references)
        names.insert(std::to_string(ref.browse_name.namespace_index) + ":" + ref.browse_name.name.value_or(""));
    for (const char* expected : {"0:Server", "1:Channel1", "1:Flat", "1:Static", "1:BigFolder"})
        EXPECT_TRUE(names.count(expected)) << expected;

    BrowseRequest big;
    big.requested_max_references_per_node = 1000;
    big.nodes_to_browse = {describe(NodeId::string_id(1, "BigFolder"))};
    auto page = Call<BrowseResponse>(id, big);
    ASSERT_TRUE(page && page->results.size() == 1);
    BrowseResult result = page->results[0];
    std::set<std::string> variables;
    int calls = 1;
    for (;;) {
        EXPECT_EQ(result.status_code, status::Good);
        EXPECT_LE(result.references.size(), 1000u);
        for (const ReferenceDescription& ref : result.references) variables.insert(ref.browse_name.name.value_or(""));
        if (!result.continuation_point || calls > kBigFolder) break;
        BrowseNextRequest next;
        next.continuation_points = {result.continuation_point};
        const auto more = Call<BrowseNextResponse>(id, next);
        ASSERT_TRUE(more && more->results.size() == 1);
        result = more->results[0];
        ++calls;
    }
    EXPECT_EQ(variables.size(), static_cast<size_t>(kBigFolder));
    EXPECT_TRUE(variables.count("V0") && variables.count("V4999"));
    EXPECT_EQ(calls, 5);
}

TEST_F(UaPeerTest, WritesEveryTypeAndReadsItBack) {
    const UaLoop::ConnectionId id = Connect(peer_->Url());
    ASSERT_NE(id, 0u);
    struct Case {
        const char* node;
        Variant value;
    };
    const Case cases[] = {
        {"Static.Int16", Variant::scalar<kInt16>(-12)},
        {"Static.Byte", Variant::scalar<kByte>(254)},
        {"Static.UInt32", Variant::scalar<kUInt32>(4000000001u)},
        {"Static.Double", Variant::scalar<kDouble>(-0.125)},
        {"Static.DateTime", Variant::scalar<kDateTime>(133485408000000000)}, // 2024-01-01, whole ms
        {"Static.String", Variant::scalar<kString>(std::string("gateway"))},
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
