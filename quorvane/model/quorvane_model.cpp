#include "model/quorvane_model.h"

#include <algorithm>
#include <thread>

namespace quorvane {

namespace {

// The model the libraries' callbacks reach, and how many callbacks are in it.
std::atomic<CQuorvaneModel*> g_installed{nullptr};
std::atomic<int> g_callbacksRunning{0};

class CallbackScope {
public:
    CallbackScope() { g_callbacksRunning.fetch_add(1); }
    ~CallbackScope() { g_callbacksRunning.fetch_sub(1); }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;
};

} // namespace

CQuorvaneModel::CQuorvaneModel(const ModelServices& services)
    : services_(services), pointMap_(services), groups_(std::make_shared<const GroupList>()) {}

CQuorvaneModel::~CQuorvaneModel() {
    Uninstall(this);
    CloseAllGroups();
    pointMap_.RemoveAll();
}

void CQuorvaneModel::Install(CQuorvaneModel* model) { g_installed.store(model); }

void CQuorvaneModel::Uninstall(CQuorvaneModel* model) {
    CQuorvaneModel* expected = model;
    if (!g_installed.compare_exchange_strong(expected, nullptr)) return;
    // A callback that loaded the pointer before it was cleared is counted.
    while (g_callbacksRunning.load() != 0) std::this_thread::yield();
}

int32_t CQuorvaneModel::OnDataChange(int32_t server, int32_t group, int32_t item, VARIANT* value, uint32_t timeLow,
                                     uint32_t timeHigh, int32_t quality) {
    CallbackScope scope;
    if (CQuorvaneModel* model = g_installed.load()) {
        // The status of the value being delivered, asked on this thread.
        char status[64] = {};
        if (model->Services().GetLastStatusName) model->Services().GetLastStatusName(status, sizeof status);
        model->ApplyDataChange(server, group, item, value, timeLow, timeHigh, quality, status);
    }
    return 0;
}

int32_t CQuorvaneModel::OnSlaveWrite(int32_t slaveId, int32_t pointType, int32_t address, int32_t value) {
    CallbackScope scope;
    if (CQuorvaneModel* model = g_installed.load()) model->ApplySlaveWrite(slaveId, pointType, address, value);
    return 0;
}

std::shared_ptr<const CQuorvaneModel::GroupList> CQuorvaneModel::Groups() const {
    std::lock_guard lock(groupsMutex_);
    return groups_;
}

void CQuorvaneModel::PublishGroups(std::shared_ptr<const GroupList> groups) {
    std::lock_guard lock(groupsMutex_);
    groups_.swap(groups);
}

int CQuorvaneModel::GroupsExist() const { return Groups()->empty() ? 0 : 1; }

int CQuorvaneModel::OpenGroupDocument(const std::string& name, int32_t updateRate, float deadband,
                                      int32_t groupHandle) {
    pendingGroup_ = PendingGroup{name, updateRate, deadband, groupHandle};
    NewGroupDocument();
    return 1;
}

std::shared_ptr<CQuorvaneDoc> CQuorvaneModel::NewGroupDocument() {
    auto doc = std::make_shared<CQuorvaneDoc>(*this, pendingGroup_.name, pendingGroup_.updateRate,
                                              pendingGroup_.deadband, pendingGroup_.groupHandle);
    auto next = std::make_shared<GroupList>(*Groups());
    next->push_back(doc);
    PublishGroups(std::move(next));
    if (groupSetObserver_) groupSetObserver_->OnGroupOpened(doc);
    return doc;
}

void CQuorvaneModel::CloseGroup(const std::shared_ptr<CQuorvaneDoc>& doc) {
    if (!doc) return;
    auto groups = Groups();
    auto at = std::find(groups->begin(), groups->end(), doc);
    if (at == groups->end()) return;
    if (groupSetObserver_) groupSetObserver_->OnGroupClosing(doc);
    auto next = std::make_shared<GroupList>(*groups);
    next->erase(next->begin() + (at - groups->begin()));
    PublishGroups(std::move(next));
    doc->Close();
}

void CQuorvaneModel::CloseAllGroups() {
    for (;;) {
        auto groups = Groups();
        if (groups->empty()) break;
        CloseGroup(groups->front());
    }
}

int CQuorvaneModel::SaveAllGroups(std::string& out, std::vector<std::string>* omitted) const {
    int written = 0;
    const auto groups = Groups(); // held for the whole walk
    for (const auto& doc : *groups) written += doc->WriteGroupSection(out, written + 1, omitted);
    return written;
}

int CQuorvaneModel::SaveAllGroups(FILE* file, std::vector<std::string>* omitted) const {
    std::string text;
    int written = SaveAllGroups(text, omitted);
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), file);
    return written;
}

int CQuorvaneModel::FindGroupView(const std::string& groupName, std::shared_ptr<COpcItem> item) {
    const auto groups = Groups();
    for (const auto& doc : *groups) {
        if (doc->Name() == groupName) {
            doc->AddRestoredItem(std::move(item));
            return 1;
        }
    }
    return 0;
}

int CQuorvaneModel::FindGroupView(const std::string& groupName, const std::string& itemId,
                                  const PointMapping& mapping) {
    auto item = std::make_shared<COpcItem>();
    item->itemId = itemId;
    item->SetMapping(mapping);
    return FindGroupView(groupName, std::move(item));
}

int CQuorvaneModel::MappingOverlaps(uint8_t slaveId, int32_t pointType, uint16_t address, int count,
                                    const COpcItem* exclude) const {
    return DescribeOverlap(slaveId, pointType, address, count, exclude).empty() ? 0 : 1;
}

std::string CQuorvaneModel::DescribeOverlap(uint8_t slaveId, int32_t pointType, uint16_t address, int count,
                                            const COpcItem* exclude) const {
    const int32_t first = address;
    const int32_t last = first + count - 1;
    const auto groups = Groups();
    for (const auto& doc : *groups) {
        auto guard = doc->Guard();
        const auto items = doc->Items();
        for (const auto& item : *items) {
            if (item.get() == exclude) continue;
            const PointMapping& m = item->Mapping();
            if (m.slaveId != slaveId || m.pointType != pointType) continue;
            const int32_t itemFirst = m.address;
            const int32_t itemLast = itemFirst + m.RegisterCount() - 1;
            if (last >= itemFirst && first <= itemLast)
                return item->itemId + " at " + std::to_string(m.slaveId) + ":" +
                       FormatReferenceNumber(m.pointType, m.address);
        }
    }
    return {};
}

std::string CQuorvaneModel::FormatPointReference(const PointMapping& m) const {
    // A register without a backing block shows as 0.
    uint16_t first = 0, second = 0;
    pointMap_.LoadRegister(m.slaveId, m.pointType, m.address, &first);
    if (m.dataType == DT_FLOAT)
        pointMap_.LoadRegister(m.slaveId, m.pointType, static_cast<uint16_t>(m.address + 1), &second);
    return FormatPointReferenceText(m, first, second);
}

void CQuorvaneModel::ApplyDataChange(int32_t server, int32_t group, int32_t item, const VARIANT* value,
                                     uint32_t timeLow, uint32_t timeHigh, int32_t quality, std::string_view status) {
    if (value == nullptr || server != ServerHandle()) return;
    const uint64_t timestamp = (uint64_t{timeHigh} << 32) | timeLow;
    const auto groups = Groups();
    for (const auto& doc : *groups)
        if (doc->GroupHandle() == group) doc->OnDataChange(item, *value, timestamp, static_cast<uint32_t>(quality), status);
}

void CQuorvaneModel::ApplySlaveWrite(int32_t slaveId, int32_t pointType, int32_t address, int32_t value) {
    const auto groups = Groups();
    for (const auto& doc : *groups)
        doc->OnSlaveWrite(static_cast<uint8_t>(slaveId), pointType & 0xFF, static_cast<uint16_t>(address),
                          static_cast<uint16_t>(value));
}

void CQuorvaneModel::FlushAllPendingWrites() {
    const auto groups = Groups();
    for (const auto& doc : *groups) doc->FlushPendingWrites();
}

} // namespace quorvane
