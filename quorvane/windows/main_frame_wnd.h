// The main window: a multiple-document area with one child window per open
// group, and the menus built from the command table. Menu 128 (no group
// window active) and menu 129 (a group window active) are the same actions
// shown or hidden; each action's data is its command id.
#pragma once

#include "frame/quorvane_app.h"
#include "windows/command_handlers.h"

#include <QMainWindow>
#include <QPointer>

#include <map>
#include <memory>
#include <vector>

class QAction;
class QMdiArea;
class QMdiSubWindow;
class QMenu;

namespace quorvane {

class CChildFrame;

class CMainFrameWnd : public QMainWindow, public CGroupSetObserver {
  public:
    // Follows the model's groups from now on; does not show itself.
    CMainFrameWnd(CQuorvaneApp& app, CCommandHandlers& handlers);
    ~CMainFrameWnd() override;

    QMdiArea* MdiArea() const { return mdi_; }
    // The active group window, null when none is.
    CChildFrame* ActiveChild() const;
    std::vector<CChildFrame*> Children() const;

    // The application's state plus the active view's selection.
    FrameState State() const;
    // The enable rule holds and, for a dialog command, a handler exists.
    bool IsAvailable(uint16_t commandId) const;
    // Runs a command when it is available; false otherwise.
    bool RunCommand(uint16_t commandId);

    QAction* Action(uint16_t commandId) const;
    // Shows the entries of the current menu (128 or 129) and grays those
    // not available; runs before every menu shows.
    void UpdateMenus();

    void OnGroupOpened(const std::shared_ptr<CQuorvaneDoc>& doc) override;
    void OnGroupClosing(const std::shared_ptr<CQuorvaneDoc>& doc) override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildMenus();
    void ArrangeChildren();
    void OnActivated(QMdiSubWindow* window);
    bool IsWindowCommand(uint16_t commandId) const;
    void RunWindowCommand(uint16_t commandId);

    CQuorvaneApp& app_;
    CCommandHandlers& handlers_;
    QMdiArea* mdi_ = nullptr;
    std::map<uint16_t, QAction*> actions_;
    std::vector<QMenu*> menus_; // every menu and submenu, top-level ones first
    std::vector<QPointer<CChildFrame>> children_;
};

} // namespace quorvane
