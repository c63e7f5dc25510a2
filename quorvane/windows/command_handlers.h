// The plug point for commands that run a dialog. The main window grays every
// such command that has no handler and runs the registered one when the
// operator picks it; the dialogs register themselves here, so adding one
// never touches the menu code.
//
//     handlers.Register(kCmdServerConnect, [](const CommandContext& c) {
//         CServerSelectDlg dlg(c.parent);               // preset from c.app
//         if (dlg.exec() == QDialog::Accepted) c.app.ConnectCommand(...);
//     });
//
// A handler runs on the user-interface thread after the command's enable rule
// held; `view` is the active group window's view, null when none is active.
// Commands that need no dialog (Exit, the Disconnect entries, Modbus/TCP
// Connect, Group Remove, Item Remove) are the main window's own and are not
// looked up here.
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>

namespace quorvane {

class CQuorvaneApp;
class CQuorvaneView;

// Not a menu command: the view's double click, which edits the selected
// item's Modbus mapping.
constexpr uint16_t kCmdEditItemMapping = 1;

struct CommandContext {
    CQuorvaneApp& app;
    QWidget* parent;
    CQuorvaneView* view;
};

class CCommandHandlers {
  public:
    using Handler = std::function<void(const CommandContext&)>;

    // Replaces a handler registered before; an empty handler removes it.
    void Register(uint16_t commandId, Handler handler) {
        if (handler)
            handlers_[commandId] = std::move(handler);
        else
            handlers_.erase(commandId);
    }
    bool Has(uint16_t commandId) const { return handlers_.count(commandId) != 0; }
    // False when no handler is registered.
    bool Run(uint16_t commandId, const CommandContext& context) const {
        auto found = handlers_.find(commandId);
        if (found == handlers_.end()) return false;
        const Handler handler = found->second; // may re-register itself while it runs
        handler(context);
        return true;
    }

  private:
    std::map<uint16_t, Handler> handlers_;
};

// The handlers this layer brings: Save and Restore with the platform's file
// dialogs, About, and Connect COM n with the port's stored settings (until
// the port setup dialog takes that place).
void RegisterStandardHandlers(CCommandHandlers& handlers);

} // namespace quorvane
