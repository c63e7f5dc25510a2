// One OPC group: its parameters, its items in the order they were added, the
// data changes that update them and the Modbus image, and the writes to them.
//
// Threads. Items are added, removed and remapped on the user-interface thread
// only. The group's lock (recursive) guards the item list and every item's
// value and mapping fields; it is never held while the OPC client service is
// called, because that service waits for running data changes when items or
// groups are removed. Master writes (any thread) and the flush read the list
// from a snapshot that keeps its items alive, without the lock.
#pragma once

#include "model/opc_item.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorvane {

class CQuorvaneModel;
class CQuorvaneDoc;

// What changed in a group.
enum class GroupChange {
    Values, // a data change arrived: repaint
    Items,  // items were added, removed or remapped: reset column widths, repaint
};

// A view of a group. Notifications come from the data-change thread as well as
// from the user-interface thread, so they must not block and must not change
// the model: a window posts an update, the headless program ignores them. Do
// not attach or detach from inside a notification.
class CGroupObserver {
public:
    virtual ~CGroupObserver() = default;
    virtual void OnGroupChanged(CQuorvaneDoc& doc, GroupChange change) = 0;
};

// Everything a view shows of one item, copied under the group's lock.
struct ItemState {
    std::string itemId;
    std::string accessPath;
    int32_t itemHandle = 0;
    CVariant value;
    uint64_t timestamp = 0;
    uint32_t quality = 0;
    bool reported = false; // COpcItem::Reported
    std::string status; // COpcItem::Status
    PointMapping mapping;
    PendingWrite pending;
    std::string reference; // FormatPointReference
};

class CQuorvaneDoc {
public:
    using ItemList = std::vector<std::shared_ptr<COpcItem>>;

    // Made by CQuorvaneModel::OpenGroupDocument from the pending group.
    CQuorvaneDoc(CQuorvaneModel& model, std::string name, int32_t updateRate, float deadband,
                 int32_t groupHandle);
    virtual ~CQuorvaneDoc(); // Close() if the model has not closed it
    CQuorvaneDoc(const CQuorvaneDoc&) = delete;
    CQuorvaneDoc& operator=(const CQuorvaneDoc&) = delete;

    const std::string& Name() const { return name_; }
    int32_t UpdateRate() const { return updateRate_; }
    float Deadband() const { return deadband_; }
    int32_t GroupHandle() const { return groupHandle_; }
    // "GROUP: Line1 (Update Rate = 1000)"
    const std::string& Title() const { return title_; }

    // The group's lock.
    void Lock() { lock_.lock(); }
    void Unlock() { lock_.unlock(); }
    std::unique_lock<std::recursive_mutex> Guard() { return std::unique_lock(lock_); }

    // Number of items; the item at a list index, or null outside 0..count-1.
    int Count() const;
    std::shared_ptr<COpcItem> ItemAt(int index) const;
    // The list as it is now, without the lock (a snapshot).
    std::shared_ptr<const ItemList> Items() const;
    // A copy of everything shown for the item at `index`; false when none.
    bool ReadItem(int index, ItemState* state) const;

    // Adds the item at the server (AddItem) and appends it; the caller has
    // mapped its point(s). 1 in every case (the handle is not checked).
    int AddItemToGroup(std::shared_ptr<COpcItem> item);
    // Maps the item's point(s), adds it and tells the views (a restored or a
    // browsed item with its mapping filled in). 1.
    int AddRestoredItem(std::shared_ptr<COpcItem> item);
    int AddRestoredItem(const std::string& itemId, const PointMapping& mapping,
                        const std::string& accessPath = std::string());
    // RemoveItem at the server, removal from the list, UnmapPoint of its
    // point(s). Nothing when no item is at `index`.
    void RemoveItemAt(int index);
    // Unmaps the item's old point(s), takes the new mapping, maps its
    // point(s) and converts its current value (when it has one) into them.
    // 0 when no item is at `index`.
    int EditItemMapping(int index, const PointMapping& mapping);
    // Writes `value` as VT_R4. 1 on success; 0 for no item at `index` or a
    // failed write (asynchronous: nonzero is success; synchronous: >= 0).
    int WriteItemAt(int index, float value, bool asynchronous);

    // A data change for `itemHandle`: every item with that handle takes the
    // value, timestamp, quality and status and converts it into its
    // register(s); then the views are told, also when no item matched.
    void OnDataChange(int32_t itemHandle, const VARIANT& value, uint64_t timestamp, uint32_t quality,
                      std::string_view status = {});
    // A master's write: the pending words of every matching item.
    void OnSlaveWrite(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t value);
    // Writes every pending master write to its OPC item, in list order, and
    // clears each flag whatever the result; then tells the views when there
    // was any.
    void FlushPendingWrites();

    // "\r\n[GROUP<n>]\r\n", the group line and one line per item. A line that
    // would not be read back (over 199 characters) is left out and its text
    // is added to `omitted`; when the group line itself is too long nothing
    // is written and 0 is returned, else 1.
    int WriteGroupSection(std::string& out, int sectionNumber, std::vector<std::string>* omitted = nullptr) const;
    int WriteGroupSection(FILE* file, int sectionNumber, std::vector<std::string>* omitted = nullptr) const;

    void AttachObserver(CGroupObserver* observer);
    void DetachObserver(CGroupObserver* observer); // no notification runs for it afterwards
    void NotifyObservers(GroupChange change);

    // The teardown of a closing group: for each item RemoveItem and
    // UnmapPoint, then RemoveGroup. Idempotent; called by the model.
    void Close();
    bool IsClosed() const { return closed_; }

private:
    void MapItemPoints(const PointMapping& m);
    void UnmapItemPoints(const PointMapping& m);
    void StoreItemRegisters(const COpcItem& item, const VARIANT& value);
    void PublishItems(); // under lock_
    void EraseFromIndex(const COpcItem* item); // under lock_
    std::string FormatReferenceLocked(const COpcItem& item) const;

    CQuorvaneModel& model_;
    const std::string name_;
    const int32_t updateRate_;
    const float deadband_;
    const int32_t groupHandle_;
    const std::string title_;

    mutable std::recursive_mutex lock_;
    ItemList items_;                                                  // under lock_
    std::unordered_map<int32_t, std::vector<COpcItem*>> byHandle_;    // under lock_, list order
    mutable std::mutex snapshotMutex_;
    std::shared_ptr<const ItemList> snapshot_;

    std::recursive_mutex observerMutex_;
    std::vector<CGroupObserver*> observers_;
    bool closed_ = false; // user-interface thread only
};

} // namespace quorvane
