// A session of the test's own on an OPC UA server, beside the client under
// test: it sets node values first and reads back what the server then holds.
// Each call opens its own session and closes it, so it also works across a
// server restart. Needs ostrand_static (the engine's own I/O loop).
#pragma once

#include "clock.h"
#include "ua_loop.h"
#include "ua_text.h"

#include <chrono>
#include <optional>
#include <string>
#include <variant>

namespace quorvane::test {

class UaSession {
public:
    explicit UaSession(std::string url) : url_(std::move(url)) {}

    // The value `node` ("ns=1;s=Static.Int16") holds at the server; nullopt
    // when the server cannot be read or has no value for it.
    std::optional<ostrand::ua::Variant> Read(const std::string& node) const {
        ostrand::ua::ReadRequest read;
        ostrand::ua::ReadValueId id;
        id.node_id = NodeOf(node);
        read.nodes_to_read.push_back(id);
        const auto response = Call(read);
        const auto* r = response ? std::get_if<ostrand::ua::ReadResponse>(&*response) : nullptr;
        if (!r || r->results.size() != 1) return std::nullopt;
        return r->results[0].value;
    }

    // Writes `value` (of the node's own type: the server does not convert);
    // the result for the node, or the call's failure.
    ostrand::ua::StatusCode Write(const std::string& node, const ostrand::ua::Variant& value) const {
        ostrand::ua::WriteRequest write;
        ostrand::ua::WriteValue w;
        w.node_id = NodeOf(node);
        w.value.value = value;
        write.nodes_to_write.push_back(w);
        const auto response = Call(write);
        const auto* r = response ? std::get_if<ostrand::ua::WriteResponse>(&*response) : nullptr;
        return r && r->results.size() == 1 ? r->results[0] : ostrand::ua::status::BadUnexpectedError;
    }

private:
    static ostrand::ua::NodeId NodeOf(const std::string& node) {
        const auto parsed = ostrand::ua::parse_node_id(node);
        return parsed ? parsed->node_id : ostrand::ua::NodeId{};
    }

    std::optional<ostrand::ua::Response> Call(ostrand::ua::Request request) const {
        using namespace std::chrono_literals;
        ostrand::SystemClock clock;
        ostrand::ua::UaLoop loop(clock);
        if (!loop.start()) return std::nullopt;
        ostrand::ua::UaLoop::ConnectionId id = 0;
        auto opened = loop.open(url_, ostrand::ua::UaSettings{}, &id);
        if (!opened->wait_for(20s) || opened->status() != ostrand::ua::status::Good) return std::nullopt;
        auto done = loop.request(id, std::move(request));
        if (!done->wait_for(20s) || done->status() != ostrand::ua::status::Good) return std::nullopt;
        return done->response();
    }

    std::string url_;
};

} // namespace quorvane::test
