// The connected server's address space as a tree, browsed one level ahead of
// what is shown, from which the operator adds one item ("Add Item", or a
// double click on an item) or every item below a node ("Add Branch"). Each
// addition goes to the caller, which runs the point mapping for it.
#pragma once

#include "ostrand.h"

#include <QDialog>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace quorvane {

// The browse operations the dialog calls, Ostrand's by default; tests put a
// fake server's answers here.
struct BrowseTable {
    std::function<int32_t(int32_t server, const char* path)> moveTo = &::BrowseMoveTo;
    std::function<int32_t(int32_t server, int32_t type)> count = &::BrowseCount;
    std::function<int32_t(int32_t server, int32_t index, char* buffer, int32_t size)> name = &::BrowseName;
    std::function<int32_t(int32_t server, const char* leaf, char* buffer, int32_t size)> itemId = &::BrowseItemId;
    std::function<int32_t(int32_t server, uint16_t* organization)> organization = &::QueryOrganization;
};

// The browse types of BrowseCount and the organization codes.
enum : int32_t { kBrowseBranches = 1, kBrowseLeaves = 2, kBrowseFlat = 3 };
enum : uint16_t { kOrganizationHierarchical = 1, kOrganizationFlat = 2 };

// The part after the last "." of a name; the whole name when it has none.
std::string LastComponent(const std::string& name);

class CTagBrowserDlg : public QDialog {
public:
    // Receives (item id, access path) for each item the operator adds.
    using AddFunction = std::function<void(const std::string& itemId, const std::string& accessPath)>;

    CTagBrowserDlg(int32_t server, AddFunction add, BrowseTable browse = BrowseTable(), QWidget* parent = nullptr);

    QTreeWidgetItem* Root() const { return root_; }
    QTreeWidget* Tree() const { return tree_; }
    // The dot-joined texts from below the root down to `node`; "" for the root.
    std::string NodePath(const QTreeWidgetItem* node) const;
    // Item ids in the order their nodes were inserted.
    const std::vector<std::string>& ItemIds() const { return itemIds_; }
    // True for a node inserted as an item (never the root or a branch).
    static bool IsItemNode(const QTreeWidgetItem* node);

    void AddItem();   // "Add Item"
    void AddBranch(); // "Add Branch"

protected:
    // Enter on an item in the tree adds it as "Add Item" does.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Inserts the items, then (hierarchical servers) the branches under
    // `node`, once: a node with children is not browsed again.
    void ExpandNode(QTreeWidgetItem* node);
    void BrowseAhead(QTreeWidgetItem* node); // ExpandNode on each child
    void OnSelectionChanged();
    void OnDoubleClicked(QTreeWidgetItem* node);
    void UpdateAddItem();

    int32_t server_;
    AddFunction add_;
    BrowseTable browse_;
    std::vector<std::string> itemIds_;
    QLineEdit* itemIdBox_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QTreeWidgetItem* root_ = nullptr;
    QPushButton* addItemButton_ = nullptr;
    QPushButton* addBranchButton_ = nullptr;
};

} // namespace quorvane
