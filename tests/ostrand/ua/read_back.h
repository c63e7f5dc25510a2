// What an OPC UA server holds, read and set on a session of the test's own,
// apart from the service under test. Each call opens a session of its own,
// so it also works across a server restart.
#pragma once

#include "clock.h"
#include "ua/client/loop.h"
#include "ua/encoding/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace opc_test {

// One request to `url` on a session of its own; nullopt (and a test failure)
// when there is no answer.
inline std::optional<ostrand::ua::Response> CallAt(const std::string& url, ostrand::ua::Request request) {
    using namespace ostrand::ua;
    ostrand::SystemClock clock;
    UaLoop loop(clock);
    EXPECT_TRUE(loop.start());
    UaLoop::ConnectionId id = 0;
    auto opened = loop.open(url, UaSettings{}, &id);
    EXPECT_TRUE(opened->wait_for(std::chrono::seconds(20)));
    auto done = loop.request(id, std::move(request));
    if (!done->wait_for(std::chrono::seconds(20)) || done->status() != status::Good) {
        ADD_FAILURE() << "no answer from " << url;
        return std::nullopt;
    }
    return done->response();
}

// The Value of `node` (NodeId text) at `url`; an empty DataValue (and a test
// failure) when there is no answer.
inline ostrand::ua::DataValue ReadBack(const std::string& url, const std::string& node) {
    using namespace ostrand::ua;
    ReadRequest read;
    ReadValueId r;
    r.node_id = parse_node_id(node)->node_id;
    read.nodes_to_read.push_back(r);
    const auto response = CallAt(url, read);
    const auto* rr = response ? std::get_if<ReadResponse>(&*response) : nullptr;
    if (!rr || rr->results.size() != 1) {
        ADD_FAILURE() << "no read answer for " << node;
        return {};
    }
    return rr->results[0];
}

// Sets `node` at `url` to `value`, which must have the node's own type (the
// server does not convert); the server's result for the node.
inline ostrand::ua::StatusCode WriteAt(const std::string& url, const std::string& node,
                                       const ostrand::ua::Variant& value) {
    using namespace ostrand::ua;
    WriteRequest write;
    WriteValue w;
    w.node_id = parse_node_id(node)->node_id;
    w.value.value = value;
    write.nodes_to_write.push_back(w);
    const auto response = CallAt(url, write);
    const auto* wr = response ? std::get_if<WriteResponse>(&*response) : nullptr;
    return wr && wr->results.size() == 1 ? wr->results[0] : status::BadUnexpectedError;
}

} // namespace opc_test
