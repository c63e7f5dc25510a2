#include "fake_services.h"

namespace quorvane::test {

Recorder& TheRecorder() {
    static Recorder recorder;
    return recorder;
}

void Recorder::Reset() {
    std::lock_guard lock(mutex);
    calls.clear();
    nextBlockHandle = 1;
    blockLimit = 250;
    liveBlocks = 0;
    nextItemHandle = 1000;
    writeResult = 0;
    recordWrites = true;
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

double NumberOf(const VARIANT& v) {
    VARIANT r;
    VariantInit(&r);
    if (VariantChangeType(&r, &v, 0, VT_R8) < 0) return -1e300;
    return r.dblVal;
}

namespace {

void Record(Call call) {
    Recorder& r = TheRecorder();
    std::lock_guard lock(r.mutex);
    r.calls.push_back(std::move(call));
}

int32_t FakeDefine(uint8_t slave, uint8_t type, uint16_t start, uint16_t count, void*) {
    Recorder& r = TheRecorder();
    int32_t handle;
    {
        std::lock_guard lock(r.mutex);
        handle = r.liveBlocks < r.blockLimit ? r.nextBlockHandle++ : 0;
        if (handle != 0) ++r.liveBlocks;
    }
    Record({"DefineDataBlock", slave, type, start, count});
    return handle;
}

int32_t FakeRemoveBlock(int32_t handle) {
    {
        Recorder& r = TheRecorder();
        std::lock_guard lock(r.mutex);
        --r.liveBlocks;
    }
    Record({"RemoveDataBlock", handle});
    return 1;
}

int32_t FakeAddItem(int32_t server, int32_t group, const char* id) {
    Recorder& r = TheRecorder();
    int32_t handle;
    {
        std::lock_guard lock(r.mutex);
        handle = r.nextItemHandle++;
    }
    Record({"AddItem", server, group, handle, 0, id});
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
    Recorder& r = TheRecorder();
    int32_t result;
    bool record;
    {
        std::lock_guard lock(r.mutex);
        result = r.writeResult;
        record = r.recordWrites;
    }
    if (record) {
        Call c{"WriteItem", server, group, item};
        c.vt = value->vt;
        c.number = NumberOf(*value);
        c.mode = mode;
        Record(std::move(c));
    }
    return result;
}

} // namespace

ModelServices RecordingServices() {
    ModelServices s;
    s.DefineDataBlock = &FakeDefine;
    s.RemoveDataBlock = &FakeRemoveBlock;
    s.AddItem = &FakeAddItem;
    s.RemoveItem = &FakeRemoveItem;
    s.RemoveGroup = &FakeRemoveGroup;
    s.WriteItem = &FakeWriteItem;
    return s;
}

} // namespace quorvane::test
