#include "fake_services.h"

#include <atomic>

namespace quorvane::test {

Recorder& TheRecorder() {
    static Recorder recorder;
    return recorder;
}

void Recorder::Reset() {
    std::lock_guard lock(mutex);
    calls.clear();
    activations.clear();
    knobs = Knobs{};
}

void Recorder::Set(int32_t Knobs::*knob, int32_t value) {
    std::lock_guard lock(mutex);
    knobs.*knob = value;
}

std::vector<Call> Recorder::Calls() {
    std::lock_guard lock(mutex);
    return calls;
}

std::vector<std::string> Recorder::Names() {
    std::vector<std::string> names;
    for (const Call& c : Calls()) names.push_back(c.name);
    return names;
}

namespace {

// Records the call under the recorder's lock, after `update` has seen the knobs.
template <typename F> void Record(Call call, F update) {
    Recorder& r = TheRecorder();
    std::lock_guard lock(r.mutex);
    update(r.knobs, call);
    r.calls.push_back(std::move(call));
}
void Record(Call call) {
    Record(std::move(call), [](Recorder::Knobs&, Call&) {});
}

int32_t FakeDefine(uint8_t slave, uint8_t type, uint16_t start, uint16_t count, void*) {
    int32_t handle = 0;
    Record({"DefineDataBlock", slave, type, start, count}, [&](Recorder::Knobs& k, Call&) {
        if (k.liveBlocks < k.blockLimit) {
            handle = k.nextBlockHandle++;
            ++k.liveBlocks;
        }
    });
    return handle;
}

int32_t FakeRemoveBlock(int32_t handle) {
    Record({"RemoveDataBlock", handle}, [](Recorder::Knobs& k, Call&) { --k.liveBlocks; });
    return 1;
}

int32_t FakeActivate(uint8_t slave, int32_t active) {
    Recorder& r = TheRecorder();
    std::lock_guard lock(r.mutex);
    r.activations.emplace_back(slave, active);
    return 8000;
}

int32_t FakeAddItem(int32_t server, int32_t group, const char* id) {
    int32_t handle = 0;
    Record({"AddItem", server, group, 0, 0, id},
           [&](Recorder::Knobs& k, Call& c) { c.c = handle = k.nextItemHandle++; });
    return handle;
}

int32_t FakeRemoveItem(int32_t server, int32_t group, int32_t item) {
    Record({"RemoveItem", server, group, item});
    return 0;
}

int32_t FakeRemoveGroup(int32_t server, int32_t group) {
    Record({"RemoveGroup", server, group});
    return 0;
}

int32_t FakeWriteItem(int32_t server, int32_t group, int32_t item, VARIANT* value, int32_t mode) {
    VARIANT number;
    VariantInit(&number);
    Call call{"WriteItem", server, group, item, 0, "", value->vt, -1e300, mode};
    if (VariantChangeType(&number, value, 0, VT_R8) >= 0) call.number = number.dblVal;
    int32_t result = 0;
    Record(std::move(call), [&](Recorder::Knobs& k, Call&) { result = k.writeResult; });
    return result;
}

// Not recorded: stores only, as the slave library would (fake handles are not
// its entries).
int32_t FakeStoreWords(const PellacorWordStore* stores, int32_t count) {
    for (int32_t k = 0; k < count; ++k) std::atomic_ref<uint16_t>(*stores[k].target).store(stores[k].value);
    return 1;
}

} // namespace

ModelServices RecordingServices() {
    ModelServices s;
    s.DefineDataBlock = &FakeDefine;
    s.RemoveDataBlock = &FakeRemoveBlock;
    s.StoreDataBlockWords = &FakeStoreWords;
    s.ActivateSlaveId = &FakeActivate;
    s.AddItem = &FakeAddItem;
    s.RemoveItem = &FakeRemoveItem;
    s.RemoveGroup = &FakeRemoveGroup;
    s.WriteItem = &FakeWriteItem;
    return s;
}

} // namespace quorvane::test
