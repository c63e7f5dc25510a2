#include "windows/main_frame_wnd.h"

#include "windows/child_frame.h"

#include <QAction>
#include <QCloseEvent>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>

#include <algorithm>

namespace quorvane {
namespace {

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// "&Print" -> "menuPrint": a stable object name for tests and accessibility.
QString ObjectName(const char* prefix, std::string_view text) {
    QString name = QString::fromLatin1(prefix);
    for (char c : text.substr(0, text.find('\t'))) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            name += QLatin1Char(c);
    }
    return name;
}

} // namespace

CMainFrameWnd::CMainFrameWnd(CQuorvaneApp& app, CCommandHandlers& handlers) : app_(app), handlers_(handlers) {
    setObjectName(QStringLiteral("mainFrame"));
    setWindowTitle(QStringLiteral("Quorvane"));
    mdi_ = new QMdiArea(this);
    mdi_->setObjectName(QStringLiteral("mdiArea"));
    // Group windows that do not fit stay reachable, close buttons included.
    mdi_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdi_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(mdi_);
    connect(mdi_, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* w) { OnActivated(w); });
    BuildMenus();
    UpdateMenus();
    resize(960, 640);
    app_.Model().SetGroupSetObserver(this);
}

CMainFrameWnd::~CMainFrameWnd() {
    app_.Model().SetGroupSetObserver(nullptr);
    for (CChildFrame* child : Children())
        child->View()->Detach();
}

void CMainFrameWnd::BuildMenus() {
    std::map<std::string, QMenu*> byPath;
    for (const CommandEntry& entry : CommandTable()) {
        const std::string top(entry.menu);
        QMenu*& menu = byPath[top];
        if (menu == nullptr) {
            menu = menuBar()->addMenu(Text(entry.menu));
            menu->setObjectName(ObjectName("menu", entry.menu));
            menus_.push_back(menu);
        }
        QMenu* into = menu;
        if (!entry.submenu.empty()) {
            QMenu*& sub = byPath[top + "\n" + std::string(entry.submenu)];
            if (sub == nullptr) {
                sub = menu->addMenu(Text(entry.submenu));
                sub->setObjectName(ObjectName("menu", std::string(entry.menu) + std::string(entry.submenu)));
                menus_.push_back(sub);
            }
            into = sub;
        }
        QAction* action = into->addAction(Text(entry.text));
        action->setData(entry.id);
        action->setObjectName(QStringLiteral("command%1").arg(entry.id));
        const size_t tab = entry.text.find('\t');
        if (tab != std::string_view::npos)
            action->setShortcut(QKeySequence(Text(entry.text.substr(tab + 1))));
        const uint16_t id = entry.id;
        connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
        actions_[id] = action;
    }
    for (QMenu* menu : menus_) {
        connect(menu, &QMenu::aboutToShow, this, [this] { UpdateMenus(); });
        // A shortcut must reach RunCommand, which checks the rule again, even
        // when the menu last showed its command grayed.
        connect(menu, &QMenu::aboutToHide, this, [this] {
            for (auto& [id, action] : actions_)
                if (!action->shortcut().isEmpty()) action->setEnabled(true);
        });
    }
}

CChildFrame* CMainFrameWnd::ActiveChild() const {
    return dynamic_cast<CChildFrame*>(mdi_->currentSubWindow());
}

std::vector<CChildFrame*> CMainFrameWnd::Children() const {
    std::vector<CChildFrame*> children;
    for (const QPointer<CChildFrame>& child : children_)
        if (child && !child->isHidden()) children.push_back(child.data());
    return children;
}

FrameState CMainFrameWnd::State() const {
    FrameState state = app_.State();
    const CChildFrame* active = ActiveChild();
    state.itemSelected = active != nullptr && active->View()->HasSelectedItem();
    return state;
}

bool CMainFrameWnd::IsWindowCommand(uint16_t id) const {
    if (id == kCmdExit || id == kCmdServerDisconnect || id == kCmdGroupRemove || id == kCmdItemRemove ||
        id == kCmdConnectTcp || id == kCmdDisconnectTcp)
        return true;
    return id >= kCmdDisconnectCom1 && id < kCmdDisconnectCom1 + 9;
}

bool CMainFrameWnd::IsAvailable(uint16_t id) const {
    const CommandEntry* entry = FindCommand(id);
    if (entry == nullptr || !RuleHolds(*entry, State())) return false;
    const uint8_t menu = ActiveChild() != nullptr ? kInGroupMenu : kInMainMenu;
    if ((entry->menus & menu) == 0) return false;
    if ((id == kCmdGroupRemove || id == kCmdItemRemove) && ActiveChild() == nullptr) return false;
    return IsWindowCommand(id) || handlers_.Has(id);
}

bool CMainFrameWnd::RunCommand(uint16_t id) {
    if (!IsAvailable(id)) return false;
    if (IsWindowCommand(id)) {
        RunWindowCommand(id);
    } else {
        CChildFrame* active = ActiveChild();
        handlers_.Run(id, CommandContext{app_, this, active != nullptr ? active->View() : nullptr});
    }
    return true;
}

void CMainFrameWnd::RunWindowCommand(uint16_t id) {
    if (id == kCmdExit) {
        close();
    } else if (id == kCmdGroupRemove) {
        ActiveChild()->close();
    } else if (id == kCmdItemRemove) {
        ActiveChild()->View()->RemoveSelectedItem();
    } else {
        app_.Execute(id);
    }
}

QAction* CMainFrameWnd::Action(uint16_t id) const {
    auto found = actions_.find(id);
    return found != actions_.end() ? found->second : nullptr;
}

void CMainFrameWnd::UpdateMenus() {
    const uint8_t menu = ActiveChild() != nullptr ? kInGroupMenu : kInMainMenu;
    for (auto& [id, action] : actions_) {
        const CommandEntry* entry = FindCommand(id);
        action->setVisible((entry->menus & menu) != 0);
        action->setEnabled(IsAvailable(id));
    }
    // Submenus first (they come after their menus), so a menu sees whether
    // its submenus stay.
    for (auto it = menus_.rbegin(); it != menus_.rend(); ++it) {
        bool any = false;
        for (QAction* action : (*it)->actions())
            any = any || action->isVisible();
        (*it)->menuAction()->setVisible(any);
    }
}

void CMainFrameWnd::OnActivated(QMdiSubWindow* window) {
    const auto* child = dynamic_cast<CChildFrame*>(window);
    setWindowTitle(child != nullptr ? QStringLiteral("Quorvane - ") + child->windowTitle()
                                    : QStringLiteral("Quorvane"));
    UpdateMenus();
}

void CMainFrameWnd::OnGroupOpened(const std::shared_ptr<CQuorvaneDoc>& doc) {
    auto* child = new CChildFrame(app_.Model(), doc);
    CQuorvaneView* view = child->View();
    view->SetEditMappingHandler([this, view] {
        handlers_.Run(kCmdEditItemMapping, CommandContext{app_, this, view});
    });
    view->SetRemoveHandler([this] { RunCommand(kCmdItemRemove); });
    mdi_->addSubWindow(child);
    children_.emplace_back(child);
    child->show();
    ArrangeChildren();
    mdi_->setActiveSubWindow(child);
    OnActivated(child);
}

void CMainFrameWnd::ArrangeChildren() {
    // There is no window menu to arrange them: up to four group windows are
    // stacked at full width, so that every column stays readable; more are
    // cascaded.
    const std::vector<CChildFrame*> children = Children();
    const int count = static_cast<int>(children.size());
    const int width = std::max(480, mdi_->viewport()->width());
    const int height = std::max(480, mdi_->viewport()->height());
    for (int i = 0; i < count; ++i) {
        if (count <= 4)
            children[static_cast<size_t>(i)]->setGeometry(0, i * height / count, width, height / count);
        else
            children[static_cast<size_t>(i)]->setGeometry(24 * (i % 8), 24 * (i % 8), width * 3 / 4,
                                                          height / 2);
    }
}

void CMainFrameWnd::OnGroupClosing(const std::shared_ptr<CQuorvaneDoc>& doc) {
    for (CChildFrame* child : Children()) {
        if (child->Doc() == doc) child->GroupClosing();
    }
    children_.erase(std::remove_if(children_.begin(), children_.end(),
                                   [](const QPointer<CChildFrame>& c) { return !c || c->isHidden(); }),
                    children_.end());
}

void CMainFrameWnd::closeEvent(QCloseEvent* event) {
    // Group windows close first (each closes its group), then links, the
    // server connection and the settings file; a second close finds it done.
    app_.Shutdown();
    event->accept();
}

} // namespace quorvane
