// Test doubles for the subscription set: a request port that records what is
// sent and hands out ids, and a sink that records what comes out.
#pragma once

#include "ua/client/subscriptions.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace ostrand::ua::test {

class FakePort final : public RequestPort {
  public:
    struct Sent {
        uint32_t id;
        Request request;
        std::optional<Millis> timeout;
    };

    uint32_t request(Request r, SteadyTime, std::optional<Millis> timeout) override {
        if (refuse) return 0;
        sent.push_back({next_id, std::move(r), timeout});
        return next_id++;
    }

    // Removes and returns the requests of type T sent so far, in order.
    template <class T> std::vector<std::pair<uint32_t, T>> take() {
        std::vector<std::pair<uint32_t, T>> out;
        std::vector<Sent> rest;
        for (Sent& s : sent) {
            if (auto* r = std::get_if<T>(&s.request))
                out.emplace_back(s.id, std::move(*r));
            else
                rest.push_back(std::move(s));
        }
        sent = std::move(rest);
        return out;
    }

    std::vector<Sent> sent;
    uint32_t next_id = 1;
    bool refuse = false;
};

class FakeSink final : public NotificationSink {
  public:
    struct Change {
        uint32_t group, handle;
        DataValue value;
    };
    struct Failure {
        uint32_t group, handle;
        StatusCode why;
    };
    void data_change(uint32_t group, uint32_t handle, const DataValue& value) override {
        changes.push_back({group, handle, value});
    }
    void item_failed(uint32_t group, uint32_t handle, StatusCode why) override {
        failures.push_back({group, handle, why});
    }
    void connection_lost() override { ++lost; }
    void deadband_revised(uint32_t group, uint32_t handle, float percent, bool none) override {
        deadbands.push_back({group, handle, percent, none});
    }
    struct Deadband {
        uint32_t group, handle;
        float percent;
        bool none;
        bool operator==(const Deadband&) const = default;
    };

    std::vector<Change> changes;
    std::vector<Deadband> deadbands;
    std::vector<Failure> failures;
    int lost = 0;
};

inline UaEvent answer(uint32_t id, Response r) {
    UaEvent e;
    e.kind = UaEvent::Kind::Response;
    e.request_id = id;
    e.response = std::move(r);
    return e;
}

inline UaEvent fault(uint32_t id, StatusCode st, UaEvent::Kind kind = UaEvent::Kind::ServiceFault) {
    UaEvent e;
    e.kind = kind;
    e.request_id = id;
    e.status = st;
    return e;
}

} // namespace ostrand::ua::test
