// The model half of the application object: the OPC server handle and names,
// the point map, the open groups in opening order and the parameters of the
// group being opened. The frame owns one and wires it to its windows.
//
// Threads. Groups are opened and closed on the user-interface thread only. The
// data-change thread and the slave library's threads find the groups in an
// immutable snapshot of the group list, which keeps every group it holds
// alive, so a group closing on the user-interface thread is never freed under
// them.
#pragma once

#include "model/point_map.h"
#include "model/quorvane_doc.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvane {

// The parameters OpenGroupDocument stores and a new group document reads.
struct PendingGroup {
    std::string name;
    int32_t updateRate = 0;
    float deadband = 0.0f;
    int32_t groupHandle = -1;
};

// Told when a group document opens or is about to close (user-interface
// thread), so that a window layer can create or drop the group's window.
class CGroupSetObserver {
public:
    virtual ~CGroupSetObserver() = default;
    virtual void OnGroupOpened(const std::shared_ptr<CQuorvaneDoc>& doc) = 0;
    virtual void OnGroupClosing(const std::shared_ptr<CQuorvaneDoc>& doc) = 0;
};

class CQuorvaneModel {
public:
    using GroupList = std::vector<std::shared_ptr<CQuorvaneDoc>>;

    explicit CQuorvaneModel(const ModelServices& services = ModelServices());
    // Closes every group, removes every data block and stops being the
    // callbacks' target if it was.
    virtual ~CQuorvaneModel();
    CQuorvaneModel(const CQuorvaneModel&) = delete;
    CQuorvaneModel& operator=(const CQuorvaneModel&) = delete;

    const ModelServices& Services() const { return services_; }

    // OPC server connection: -1 when not connected.
    int32_t ServerHandle() const { return serverHandle_.load(); }
    void SetServerHandle(int32_t handle) { serverHandle_.store(handle); }
    const std::string& MachineName() const { return machineName_; }
    void SetMachineName(const std::string& name) { machineName_ = name; }
    const std::string& ServerName() const { return serverName_; }
    void SetServerName(const std::string& name) { serverName_ = name; }

    // Point map (members of the application object).
    CPointMap& PointMap() { return pointMap_; }
    const CPointMap& PointMap() const { return pointMap_; }
    int MapPoint(uint8_t slaveId, int32_t pointType, uint16_t address) {
        return pointMap_.MapPoint(slaveId, pointType, address);
    }
    int UnmapPoint(uint8_t slaveId, int32_t pointType, uint16_t address) {
        return pointMap_.UnmapPoint(slaveId, pointType, address);
    }
    int StoreRegister(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t value) {
        return pointMap_.StoreRegister(slaveId, pointType, address, value);
    }
    int LoadRegister(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t* value) const {
        return pointMap_.LoadRegister(slaveId, pointType, address, value);
    }
    int32_t NextFreeAddress(uint8_t slaveId, int32_t pointType) const {
        return pointMap_.NextFreeAddress(slaveId, pointType);
    }
    // 1 when address .. address + count - 1 overlaps the register(s) of any
    // item of any group with the same slave id and point type. `exclude`, when
    // given, is left out (the item whose mapping is being edited).
    int MappingOverlaps(uint8_t slaveId, int32_t pointType, uint16_t address, int count,
                        const COpcItem* exclude = nullptr) const;
    // The first such item as "its id at 1:40100" (its own point); empty when
    // none overlaps.
    std::string DescribeOverlap(uint8_t slaveId, int32_t pointType, uint16_t address, int count,
                                const COpcItem* exclude = nullptr) const;
    // The "Modbus Data Representation" text of a mapping: "1:40100 = 4999".
    std::string FormatPointReference(const PointMapping& mapping) const;
    std::string FormatPointReference(const COpcItem& item) const { return FormatPointReference(item.Mapping()); }

    // Groups.
    // Stores the four values as the pending group and opens a group document
    // from them. 1.
    int OpenGroupDocument(const std::string& name, int32_t updateRate, float deadband, int32_t groupHandle);
    // Opens one more document from the pending group (the framework's "new
    // document"); returns it.
    std::shared_ptr<CQuorvaneDoc> NewGroupDocument();
    const PendingGroup& Pending() const { return pendingGroup_; }
    // The open groups in opening order (a snapshot).
    std::shared_ptr<const GroupList> Groups() const;
    // 1 when at least one group is open.
    int GroupsExist() const;
    // Closes one group: the teardown of its items and RemoveGroup.
    void CloseGroup(const std::shared_ptr<CQuorvaneDoc>& doc);
    // Closes the first group until none is left.
    void CloseAllGroups();
    // Every group's section with its 1-based number in opening order; groups
    // left out (their line would not be read back) take no number. Texts left
    // out go to `omitted`. Returns the number of sections written.
    int SaveAllGroups(std::string& out, std::vector<std::string>* omitted = nullptr) const;
    int SaveAllGroups(FILE* file, std::vector<std::string>* omitted = nullptr) const;
    // The first group named exactly `groupName` receives the item (mapped and
    // added at the server): 1; no such group: nothing added, 0.
    int FindGroupView(const std::string& groupName, std::shared_ptr<COpcItem> item);
    int FindGroupView(const std::string& groupName, const std::string& itemId, const PointMapping& mapping);

    void SetGroupSetObserver(CGroupSetObserver* observer) { groupSetObserver_ = observer; }

    // Data change from the OPC client service (any thread): ignored unless the
    // server is the connected one; every group with the handle takes it.
    void ApplyDataChange(int32_t server, int32_t group, int32_t item, const VARIANT* value, uint32_t timeLow,
                         uint32_t timeHigh, int32_t quality, std::string_view status = {});
    // A master's write from the slave library (any thread): the pending words
    // of every matching item of every group. Uses the low 16 bits of value.
    void ApplySlaveWrite(int32_t slaveId, int32_t pointType, int32_t address, int32_t value);
    // The refresh timer's flush: FlushPendingWrites of every group.
    void FlushAllPendingWrites();

    // The callbacks the libraries call (Ostrand's DataCallback and Pellacor's
    // WriteCallback) reach the installed model. Uninstall waits until no
    // callback is running in it.
    static void Install(CQuorvaneModel* model);
    static void Uninstall(CQuorvaneModel* model);
    static int32_t OnDataChange(int32_t server, int32_t group, int32_t item, VARIANT* value, uint32_t timeLow,
                                uint32_t timeHigh, int32_t quality);
    static int32_t OnSlaveWrite(int32_t slaveId, int32_t pointType, int32_t address, int32_t value);

private:
    void PublishGroups(std::shared_ptr<const GroupList> groups);

    ModelServices services_;
    std::atomic<int32_t> serverHandle_{-1};
    std::string machineName_;
    std::string serverName_;
    CPointMap pointMap_;
    PendingGroup pendingGroup_;
    mutable std::mutex groupsMutex_; // guards only the swap of groups_
    std::shared_ptr<const GroupList> groups_;
    CGroupSetObserver* groupSetObserver_ = nullptr;
};

} // namespace quorvane
