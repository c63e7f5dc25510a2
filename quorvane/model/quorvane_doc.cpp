#include "model/quorvane_doc.h"

#include "model/quorvane_model.h"

#include <algorithm>

namespace quorvane {

CQuorvaneDoc::CQuorvaneDoc(CQuorvaneModel& model, std::string name, int32_t updateRate, float deadband,
                           int32_t groupHandle)
    : model_(model), name_(std::move(name)), updateRate_(updateRate), deadband_(deadband),
      groupHandle_(groupHandle),
      title_("GROUP: " + name_ + " (Update Rate = " + std::to_string(updateRate) + ")"),
      snapshot_(std::make_shared<const ItemList>()) {}

CQuorvaneDoc::~CQuorvaneDoc() { Close(); }

int CQuorvaneDoc::Count() const {
    std::lock_guard lock(lock_);
    return static_cast<int>(items_.size());
}

std::shared_ptr<COpcItem> CQuorvaneDoc::ItemAt(int index) const {
    std::lock_guard lock(lock_);
    if (index < 0 || static_cast<size_t>(index) >= items_.size()) return nullptr;
    return items_[static_cast<size_t>(index)];
}

std::shared_ptr<const CQuorvaneDoc::ItemList> CQuorvaneDoc::Items() const {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

void CQuorvaneDoc::PublishItems() {
    auto next = std::make_shared<const ItemList>(items_);
    std::lock_guard lock(snapshotMutex_);
    snapshot_.swap(next);
}

std::string CQuorvaneDoc::FormatReferenceLocked(const COpcItem& item) const {
    return model_.FormatPointReference(item.Mapping());
}

bool CQuorvaneDoc::ReadItem(int index, ItemState* state) const {
    std::lock_guard lock(lock_);
    if (index < 0 || static_cast<size_t>(index) >= items_.size()) return false;
    const COpcItem& item = *items_[static_cast<size_t>(index)];
    state->itemId = item.itemId;
    state->accessPath = item.accessPath;
    state->itemHandle = item.ItemHandle();
    state->value = CVariant(item.Value());
    state->timestamp = item.Timestamp();
    state->quality = item.Quality();
    state->reported = item.Reported();
    state->status = item.Status();
    state->mapping = item.Mapping();
    state->pending = item.Pending();
    state->reference = FormatReferenceLocked(item);
    return true;
}

void CQuorvaneDoc::MapItemPoints(const PointMapping& m) {
    // Results ignored: an item without a backing block is still listed.
    model_.MapPoint(m.slaveId, m.pointType, m.address);
    if (m.dataType == DT_FLOAT) model_.MapPoint(m.slaveId, m.pointType, static_cast<uint16_t>(m.address + 1));
}

void CQuorvaneDoc::UnmapItemPoints(const PointMapping& m) {
    model_.UnmapPoint(m.slaveId, m.pointType, m.address);
    if (m.dataType == DT_FLOAT) model_.UnmapPoint(m.slaveId, m.pointType, static_cast<uint16_t>(m.address + 1));
}

int CQuorvaneDoc::AddItemToGroup(std::shared_ptr<COpcItem> item) {
    if (!item) return 1;
    // The item is added at the server under the lock, so that its first value,
    // which the server may deliver before AddItem returns here, waits until the
    // handle is indexed instead of finding no item (a value that never changes
    // would then never show). AddItem does not wait for data changes, so no
    // delivery it depends on can be waiting for this lock.
    std::lock_guard lock(lock_);
    item->handle_ = model_.Services().AddItem(model_.ServerHandle(), groupHandle_, item->itemId.c_str());
    byHandle_[item->handle_].push_back(item.get());
    items_.push_back(std::move(item));
    PublishItems();
    return 1;
}

int CQuorvaneDoc::AddRestoredItem(std::shared_ptr<COpcItem> item) {
    if (!item) return 1;
    MapItemPoints(item->Mapping());
    AddItemToGroup(std::move(item));
    NotifyObservers(GroupChange::Items);
    return 1;
}

int CQuorvaneDoc::AddRestoredItem(const std::string& itemId, const PointMapping& mapping,
                                  const std::string& accessPath) {
    auto item = std::make_shared<COpcItem>();
    item->itemId = itemId;
    item->accessPath = accessPath;
    item->SetMapping(mapping);
    return AddRestoredItem(std::move(item));
}

void CQuorvaneDoc::EraseFromIndex(const COpcItem* item) {
    auto found = byHandle_.find(item->handle_);
    if (found == byHandle_.end()) return;
    auto& list = found->second;
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
    if (list.empty()) byHandle_.erase(found);
}

void CQuorvaneDoc::RemoveItemAt(int index) {
    // Items are removed on the user-interface thread only, so the index still
    // designates the same item after the server call made without the lock.
    std::shared_ptr<COpcItem> item = ItemAt(index);
    if (!item) return;
    model_.Services().RemoveItem(model_.ServerHandle(), groupHandle_, item->handle_);
    {
        std::lock_guard lock(lock_);
        auto at = std::find(items_.begin(), items_.end(), item);
        if (at == items_.end()) return;
        items_.erase(at);
        EraseFromIndex(item.get());
        PublishItems();
        UnmapItemPoints(item->Mapping());
    }
    // The item itself goes with the last snapshot that still holds it.
    NotifyObservers(GroupChange::Items);
}

int CQuorvaneDoc::EditItemMapping(int index, const PointMapping& mapping) {
    {
        std::lock_guard lock(lock_);
        if (index < 0 || static_cast<size_t>(index) >= items_.size()) return 0;
        COpcItem& item = *items_[static_cast<size_t>(index)];
        UnmapItemPoints(item.Mapping());
        item.SetMapping(mapping);
        MapItemPoints(mapping);
        // The new registers show the value at once: a constant or deadbanded
        // item may send no data change for a long time.
        if (item.Value().vt != VT_EMPTY) StoreItemRegisters(item, item.Value());
    }
    NotifyObservers(GroupChange::Items);
    return 1;
}

int CQuorvaneDoc::WriteItemAt(int index, float value, bool asynchronous) {
    std::shared_ptr<COpcItem> item = ItemAt(index);
    if (!item) return 0;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R4;
    v.fltVal = value;
    int32_t result =
        model_.Services().WriteItem(model_.ServerHandle(), groupHandle_, item->handle_, &v, asynchronous ? 1 : 0);
    VariantClear(&v);
    return (asynchronous ? result != 0 : result >= 0) ? 1 : 0;
}

void CQuorvaneDoc::StoreItemRegisters(const COpcItem& item, const VARIANT& value) {
    const PointMapping& m = item.Mapping();
    RegisterWords words = OpcValueToRegisters(value, m);
    CPointMap& map = model_.PointMap();
    if (words.count == 2) // both words as one update: a master never reads half of each value
        map.StoreRegisterPair(m.slaveId, m.pointType, m.address, words.words[0], words.words[1]);
    else
        model_.StoreRegister(m.slaveId, m.pointType, m.address, words.words[0]);
}

void CQuorvaneDoc::OnDataChange(int32_t itemHandle, const VARIANT& value, uint64_t timestamp, uint32_t quality,
                                std::string_view status) {
    {
        std::lock_guard lock(lock_);
        auto found = byHandle_.find(itemHandle);
        if (found != byHandle_.end()) {
            for (COpcItem* item : found->second) {
                item->SetValue(value, timestamp, quality, status);
                StoreItemRegisters(*item, value);
            }
        }
    }
    NotifyObservers(GroupChange::Values);
}

void CQuorvaneDoc::OnSlaveWrite(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t value) {
    auto items = Items();
    for (const auto& item : *items) item->RecordSlaveWrite(slaveId, pointType, address, value);
}

void CQuorvaneDoc::FlushPendingWrites() {
    auto items = Items();
    bool flushed = false;
    for (const auto& item : *items) {
        PendingWrite pending = item->TakePending();
        if (!pending.flag) continue;
        flushed = true;
        PointMapping mapping;
        {
            std::lock_guard lock(lock_);
            mapping = item->Mapping();
        }
        VARIANT v;
        if (PendingToOpcValue(mapping, pending.first, pending.second, &v)) {
            model_.Services().WriteItem(model_.ServerHandle(), groupHandle_, item->handle_, &v, 0);
            VariantClear(&v);
        }
    }
    // Masters changed registers: the views show them without waiting for the
    // server's data change.
    if (flushed) NotifyObservers(GroupChange::Values);
}

int CQuorvaneDoc::WriteGroupSection(std::string& out, int sectionNumber, std::vector<std::string>* omitted) const {
    std::string groupLine = FormatGroupLine(name_, updateRate_, deadband_);
    if (groupLine.size() > kMaxConfigLineLength) {
        if (omitted) omitted->push_back(name_);
        return 0;
    }
    out += "\r\n[GROUP" + std::to_string(sectionNumber) + "]\r\n";
    out += groupLine + "\r\n";
    std::lock_guard lock(lock_);
    for (const auto& item : items_) {
        std::string line = FormatItemLine(item->itemId, item->Mapping());
        if (line.size() > kMaxConfigLineLength) {
            if (omitted) omitted->push_back(item->itemId);
            continue;
        }
        out += line + "\r\n";
    }
    return 1;
}

int CQuorvaneDoc::WriteGroupSection(FILE* file, int sectionNumber, std::vector<std::string>* omitted) const {
    std::string text;
    int written = WriteGroupSection(text, sectionNumber, omitted);
    if (!text.empty()) std::fwrite(text.data(), 1, text.size(), file);
    return written;
}

void CQuorvaneDoc::AttachObserver(CGroupObserver* observer) {
    std::lock_guard lock(observerMutex_);
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void CQuorvaneDoc::DetachObserver(CGroupObserver* observer) {
    std::lock_guard lock(observerMutex_);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void CQuorvaneDoc::NotifyObservers(GroupChange change) {
    // Held across the calls, so that a detached view is never called again.
    std::lock_guard lock(observerMutex_);
    for (CGroupObserver* observer : observers_) observer->OnGroupChanged(*this, change);
}

void CQuorvaneDoc::Close() {
    if (closed_) return;
    closed_ = true;
    const int32_t server = model_.ServerHandle();
    // The group is already out of the model's list, so no flush or master
    // write reaches it; data changes for an item stop once RemoveItem returns.
    auto items = Items();
    for (const auto& item : *items) {
        model_.Services().RemoveItem(server, groupHandle_, item->handle_);
        UnmapItemPoints(item->Mapping());
    }
    {
        std::lock_guard lock(lock_);
        items_.clear();
        byHandle_.clear();
        PublishItems();
    }
    model_.Services().RemoveGroup(server, groupHandle_);
}

} // namespace quorvane
