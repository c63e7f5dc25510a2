// The built-in simulation servers behind the backend seam: one connection's
// simulated address space, its writable values, its groups' sampling times
// and the values last reported to each group.
#pragma once

#include "backend.h"
#include "sim/space.h"

#include <map>
#include <mutex>

namespace ostrand {

class SimBackend final : public Backend {
public:
    explicit SimBackend(const AddressSpace& space);
    ~SimBackend() override;

    bool add_group(int32_t group, int32_t* rate, float deadband) override;
    void remove_group(int32_t group) override;
    bool add_item(int32_t group, int32_t item, const std::string& id) override;
    void remove_item(int32_t group, int32_t item) override;
    int32_t write(int32_t group, int32_t item, const VARIANT& value, int32_t mode) override;
    bool status(ServerStatus* status, int32_t vendor_size) override;
    bool browse_move_to(const std::string& path) override;
    std::vector<std::string> browse(int32_t type) override;
    std::optional<std::string> browse_item_id(const std::string& leaf) override;
    uint16_t organization() const override { return space_.flat ? 2 : 1; }
    void set_delivery(bool enabled) override;
    SteadyTime sample(SteadyTime now, int32_t server, ChangeSink& sink) override;

    uint64_t start_filetime() const { return start_filetime_; }

private:
    struct Item {
        const ItemDef* def;
        bool reported = false;
        VARIANT last{};
        int32_t last_quality = 0;
    };
    struct Group {
        int32_t rate;
        float deadband;
        SteadyTime next_due;
        std::map<int32_t, Item> items;
    };

    void sample_group(int32_t server, int32_t group, Group& g, SteadyTime now, uint64_t filetime, ChangeSink& sink);

    const AddressSpace& space_;
    mutable std::mutex mu_; // below the service's lock
    SteadyTime started_;
    uint64_t start_filetime_;
    bool delivery_ = false;
    std::vector<VARIANT> stored_; // values of writable items, by definition index
    std::map<int32_t, Group> groups_;
    std::string browse_path_;
};

} // namespace ostrand
