// What an OPC UA server holds, read on a session of the test's own, apart
// from the service under test.
#pragma once

#include "clock.h"
#include "ua_loop.h"
#include "ua_text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace opc_test {

// The Value of `node` (NodeId text) at `url`; an empty DataValue (and a test
// failure) when there is no answer.
inline ostrand::ua::DataValue ReadBack(const std::string& url, const std::string& node) {
    using namespace ostrand::ua;
    ostrand::SystemClock clock;
    UaLoop loop(clock);
    EXPECT_TRUE(loop.start());
    UaLoop::ConnectionId id = 0;
    auto opened = loop.open(url, UaSettings{}, &id);
    EXPECT_TRUE(opened->wait_for(std::chrono::seconds(20)));
    ReadRequest read;
    ReadValueId r;
    r.node_id = parse_node_id(node)->node_id;
    read.nodes_to_read.push_back(r);
    auto done = loop.request(id, read);
    EXPECT_TRUE(done->wait_for(std::chrono::seconds(20)));
    Response response = done->response();
    auto* rr = std::get_if<ReadResponse>(&response);
    if (!rr || rr->results.size() != 1) {
        ADD_FAILURE() << "no read answer for " << node;
        return {};
    }
    return rr->results[0];
}

} // namespace opc_test
