// What a connection's server does for the service. The service owns the
// handles, the revisions, the change queue, the callback rules and the removal
// guarantees for every backend; a backend owns what its server knows.
//
// Contract:
// - Group and item calls (add_group, remove_group, add_item, remove_item) and
//   sample() are made with the service lock held: they never wait on the
//   network. Everything else may wait on the network and is made without the
//   service lock; a backend therefore guards its own state.
// - Handles come from the service; a backend never invents one.
// - Changes go into a ChangeSink, from any thread; the service delivers them
//   on its own thread, and drops those for handles removed meanwhile.
#pragma once

#include "clock.h"
#include "ostrand.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrand {

// The status a change carries when its server has none to tell (the
// simulation); otherwise an OPC UA status code.
constexpr uint32_t kNoStatus = 0xFFFFFFFFu;

// Notes the calling thread's status for GetLastStatusName: a backend that
// knows why a connection or a write failed names it before it answers.
void set_last_status(const std::string& name);
// GetLastStatusName.
int32_t last_status_name(char* buffer, int32_t size);

// Copies `text` into a caller's buffer of `size` bytes, cutting it to size - 1
// characters. 1 when the whole text fit, 0 when it was cut or there is no
// buffer.
int32_t copy_text(const std::string& text, char* buffer, int32_t size);
// A UTC file time into its two halves.
void set_filetime(FILETIME* out, int64_t value);

// Where a backend hands its data changes over. The value is moved in (the
// sink owns it afterwards). A newer change of an item replaces one still
// pending, so a slow callback costs memory bounded by the item count.
class ChangeSink {
public:
    // One change of a batch; push_all takes its value (VT_EMPTY afterwards).
    struct Batched {
        int32_t group = 0, item = 0;
        VARIANT value{};
        uint64_t filetime = 0;
        int32_t quality = 0;
        uint32_t status = kNoStatus;
    };

    virtual ~ChangeSink() = default;
    virtual void push(int32_t server, int32_t group, int32_t item, VARIANT&& value, uint64_t filetime,
                      int32_t quality, uint32_t status = kNoStatus) = 0;
    // The changes of one message from a server at once, in order (one lock
    // and one wake-up instead of one per change); empties `changes`.
    // `received`: steady-clock nanoseconds at which the message's last byte
    // was read off the network (0 when unknown), for the delay figures.
    virtual void push_all(int32_t server, std::vector<Batched>& changes, int64_t received) {
        (void)received;
        for (Batched& c : changes) push(server, c.group, c.item, std::move(c.value), c.filetime, c.quality, c.status);
        changes.clear();
    }
};

class Backend {
public:
    virtual ~Backend() = default;
    // `rate` and `deadband` come already revised by the service; a backend
    // may revise the rate further.
    virtual bool add_group(int32_t group, int32_t* rate, float deadband) = 0;
    // After add_group, without the service lock: may wait (bounded) for the
    // server to grant the rate, and revise `rate` to what it granted.
    virtual void settle_group(int32_t /*group*/, int32_t* /*rate*/) {}
    virtual void remove_group(int32_t group) = 0;
    // False: an id this backend refuses at once (malformed, or unknown where
    // that can be known without the network).
    virtual bool add_item(int32_t group, int32_t item, const std::string& id) = 0;
    virtual void remove_item(int32_t group, int32_t item) = 0;
    // S_OK once written (mode 0) or queued (mode 1), else the HRESULT that
    // WriteItem answers in mode 0; the service turns mode 1 into an id or 0.
    virtual int32_t write(int32_t group, int32_t item, const VARIANT& value, int32_t mode) = 0;
    // Fills everything but groupCount, bandWidth and lastUpdateTime, which
    // the service keeps. False: no answer.
    virtual bool status(ServerStatus* status, int32_t vendor_size) = 0;
    virtual bool browse_move_to(const std::string& path) = 0;
    virtual std::vector<std::string> browse(int32_t type) = 0;
    virtual std::optional<std::string> browse_item_id(const std::string& leaf) = 0;
    virtual uint16_t organization() const = 0;
    // The connection's health for monitoring: whether its session is up,
    // how often it came back after a loss, and since when it is down.
    struct Health {
        bool up = true;
        uint32_t reconnects = 0;
        SteadyTime down_since{};
    };
    virtual Health health() const { return {}; }
    // What the server said of an added item once it was looked up: its data
    // type's name and whether it may be read (1) and written (2). False while
    // not known yet, for unknown items, and where the backend cannot tell.
    virtual bool item_properties(int32_t /*item*/, std::string* /*type*/, int32_t* /*access*/) { return false; }
    // Whether a DataCallback exists: the simulation samples nothing without one.
    virtual void set_delivery(bool enabled) = 0;
    // The simulation only: samples what is due at `now` into `sink` (server
    // handle `server`), and answers when it is next due.
    virtual SteadyTime sample(SteadyTime /*now*/, int32_t /*server*/, ChangeSink& /*sink*/) {
        return SteadyTime::max();
    }
};

} // namespace ostrand
