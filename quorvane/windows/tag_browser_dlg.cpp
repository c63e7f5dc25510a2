#include "windows/tag_browser_dlg.h"

#include "windows/dialog_kit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quorvane {
namespace {

// Room the server's texts get, NUL included; a longer text is refused by the
// server (answer 0) and treated as a failed call.
constexpr int32_t kNameBuffer = 200;

// Per node: what it is, and for items the position of its id in ItemIds().
constexpr int kKindRole = Qt::UserRole;
constexpr int kIndexRole = Qt::UserRole + 1;
enum NodeKind { kRootNode = 0, kBranchNode = 1, kItemNode = 2 };

QTreeWidgetItem* AddNode(QTreeWidgetItem* parent, const std::string& text, NodeKind kind, int index) {
    auto* node = new QTreeWidgetItem(parent, QStringList(QString::fromStdString(text)));
    node->setData(0, kKindRole, kind);
    node->setData(0, kIndexRole, index);
    return node;
}

} // namespace

std::string LastComponent(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(dot + 1);
}

CTagBrowserDlg::CTagBrowserDlg(int32_t server, AddFunction add, BrowseTable browse, QWidget* parent)
    : QDialog(parent), server_(server), add_(std::move(add)), browse_(std::move(browse)) {
    setObjectName(QStringLiteral("tagBrowserDlg"));
    setWindowTitle(QStringLiteral("Dialog"));
    auto* layout = new QVBoxLayout(this);
    itemIdBox_ = MakeBox(QStringLiteral("itemIdBox"), this);
    layout->addWidget(itemIdBox_);
    layout->addWidget(new QLabel(QStringLiteral("Server Tag List:"), this));
    tree_ = new QTreeWidget(this);
    tree_->setObjectName(QStringLiteral("tagTree"));
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(true);
    tree_->setMinimumSize(360, 320);
    layout->addWidget(tree_);
    auto* buttons = new QHBoxLayout();
    addItemButton_ = new QPushButton(QStringLiteral("Add Item"), this);
    addItemButton_->setObjectName(QStringLiteral("addItemButton"));
    addBranchButton_ = new QPushButton(QStringLiteral("Add Branch"), this);
    addBranchButton_->setObjectName(QStringLiteral("addBranchButton"));
    auto* done = new QPushButton(QStringLiteral("Done"), this);
    done->setObjectName(QStringLiteral("doneButton"));
    for (QPushButton* b : {addItemButton_, addBranchButton_, done}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);
    addItemButton_->setEnabled(false);
    addBranchButton_->setEnabled(false);

    connect(addItemButton_, &QPushButton::clicked, this, [this] { AddItem(); });
    connect(addBranchButton_, &QPushButton::clicked, this, [this] { AddBranch(); });
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    connect(this, &QDialog::finished, this, [this] { itemIds_.clear(); });
    connect(itemIdBox_, &QLineEdit::textChanged, this, [this] { UpdateAddItem(); });
    connect(tree_, &QTreeWidget::itemSelectionChanged, this, [this] { OnSelectionChanged(); });
    tree_->installEventFilter(this);
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* node) { OnDoubleClicked(node); });
    // Expanding or collapsing a node browses its children, so that each
    // visible node shows an expand button exactly when it has children.
    connect(tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* node) { BrowseAhead(node); });
    connect(tree_, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* node) { BrowseAhead(node); });

    CWaitCursor wait(nullptr);
    browse_.moveTo(server_, "");
    root_ = new QTreeWidgetItem(tree_, QStringList(QStringLiteral("Root")));
    root_->setData(0, kKindRole, kRootNode);
    root_->setData(0, kIndexRole, 0);
    browse_.moveTo(server_, "");
    ExpandNode(root_);
    FitCaption(this);
}

bool CTagBrowserDlg::IsItemNode(const QTreeWidgetItem* node) {
    return node != nullptr && node->data(0, kKindRole).toInt() == kItemNode;
}

std::string CTagBrowserDlg::NodePath(const QTreeWidgetItem* node) const {
    std::string path;
    for (; node != nullptr && node != root_; node = node->parent()) {
        const std::string text = node->text(0).toStdString();
        path = path.empty() ? text : text + "." + path;
    }
    return path;
}

void CTagBrowserDlg::ExpandNode(QTreeWidgetItem* node) {
    // Items are leaves: only the root and branches are listed.
    if (node->childCount() > 0 || IsItemNode(node)) return;
    if (browse_.moveTo(server_, NodePath(node).c_str()) == 0) return;

    char name[kNameBuffer];
    char id[kNameBuffer];
    const int32_t leaves = browse_.count(server_, kBrowseLeaves);
    for (int32_t i = 0; i < leaves; ++i) {
        if (browse_.name(server_, i, name, kNameBuffer) == 0) continue;
        const std::string leaf = LastComponent(name);
        itemIds_.push_back(browse_.itemId(server_, leaf.c_str(), id, kNameBuffer) != 0 ? std::string(id)
                                                                                       : std::string(name));
        AddNode(node, leaf, kItemNode, static_cast<int>(itemIds_.size() - 1));
    }

    uint16_t organization = kOrganizationHierarchical;
    browse_.organization(server_, &organization);
    if (organization == kOrganizationFlat) return;
    std::vector<std::string> branches;
    const int32_t count = browse_.count(server_, kBrowseBranches);
    for (int32_t i = 0; i < count; ++i)
        if (browse_.name(server_, i, name, kNameBuffer) != 0) branches.emplace_back(name);
    for (const std::string& branch : branches) AddNode(node, LastComponent(branch), kBranchNode, 0);
}

void CTagBrowserDlg::BrowseAhead(QTreeWidgetItem* node) {
    CWaitCursor wait(this);
    for (int i = 0; i < node->childCount(); ++i) ExpandNode(node->child(i));
}

void CTagBrowserDlg::OnSelectionChanged() {
    const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
    QTreeWidgetItem* node = selected.isEmpty() ? nullptr : selected.front();
    if (IsItemNode(node)) {
        const int index = node->data(0, kIndexRole).toInt();
        if (index >= 0 && static_cast<size_t>(index) < itemIds_.size())
            itemIdBox_->setText(QString::fromStdString(itemIds_[static_cast<size_t>(index)]));
    } else {
        itemIdBox_->clear();
    }
    addBranchButton_->setEnabled(node != nullptr && !IsItemNode(node));
    UpdateAddItem();
}

void CTagBrowserDlg::UpdateAddItem() {
    const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
    addItemButton_->setEnabled(!selected.isEmpty() && IsItemNode(selected.front()) && !itemIdBox_->text().isEmpty());
}

void CTagBrowserDlg::AddItem() {
    const std::string id = itemIdBox_->text().toStdString();
    if (!id.empty() && add_) add_(id, std::string());
}

bool CTagBrowserDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == tree_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && IsItemNode(tree_->currentItem())) {
            // The button's own rule: an item selected and an id in the box.
            if (addItemButton_->isEnabled()) AddItem();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CTagBrowserDlg::OnDoubleClicked(QTreeWidgetItem* node) {
    if (!IsItemNode(node) || !add_) return;
    const int index = node->data(0, kIndexRole).toInt();
    if (index >= 0 && static_cast<size_t>(index) < itemIds_.size()) add_(itemIds_[static_cast<size_t>(index)], {});
}

void CTagBrowserDlg::AddBranch() {
    const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
    if (selected.isEmpty() || IsItemNode(selected.front()) || !add_) return;
    std::vector<std::string> ids;
    {
        CWaitCursor wait(this);
        // A position that cannot be reached adds nothing (the server would
        // otherwise list wherever it was left).
        if (browse_.moveTo(server_, NodePath(selected.front()).c_str()) == 0) return;
        char name[kNameBuffer];
        const int32_t count = browse_.count(server_, kBrowseFlat);
        for (int32_t i = 0; i < count; ++i)
            if (browse_.name(server_, i, name, kNameBuffer) != 0) ids.emplace_back(name);
    }
    // Each item passes through its own mapping dialog; cancelling one skips it.
    for (const std::string& id : ids) add_(id, std::string());
}

} // namespace quorvane
