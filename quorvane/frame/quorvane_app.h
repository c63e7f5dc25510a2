// The application object: start-up and shutdown in their fixed order, the
// OPC server commands, and Save and Restore of the configuration file. It
// owns the item model (server handle, point map, groups) and the main frame.
// Everything runs on the user-interface thread, which runs the Qt event loop.
#pragma once

#include "frame/config/commands.h"
#include "frame/config/config_file.h"
#include "frame/config/file_io.h"
#include "frame/config/server_status.h"
#include "frame/main_frame.h"
#include "model/quorvane_model.h"

#include <memory>
#include <optional>
#include <string>

namespace quorvane {

class CQuorvaneApp {
public:
    CQuorvaneApp(CMessageSink& messages, std::string settingsPath);
    ~CQuorvaneApp(); // shuts down if that has not happened yet

    // Frame creation, OPC start-up, the write callback, then the restore of
    // `configFile` when it is not empty. Returns 0 when the message loop may
    // run, else the exit code (1 when the OPC service cannot start).
    int Startup(const std::string& configFile);
    // Groups closed; Modbus/TCP then COM1 to COM9 closed; OPC server
    // disconnected; OPC service and socket library stopped; velmarc.cfg
    // written; remaining data blocks removed. Runs once.
    void Shutdown();

    CQuorvaneModel& Model() { return *model_; }
    CMainFrame& Frame() { return *frame_; }
    CMessageSink& Messages() { return messages_; }

    // What the enable rules look at, and the rules themselves.
    FrameState State() const;
    bool IsEnabled(uint16_t commandId) const { return IsCommandEnabled(commandId, State()); }

    // Runs a command that needs no dialog (OPC Server Disconnect, the Modbus
    // Disconnect entries, Connect Modbus/TCP) when its rule allows it. False
    // for a grayed command and for commands a window layer runs itself.
    bool Execute(uint16_t commandId);

    // OPC server commands (after their dialogs ended with OK).
    void ConnectCommand(const std::string& machine, const std::string& server);
    void Disconnect();
    void ConnectFromConfiguration(const std::string& machine, const std::string& server);
    // nullopt when the server gave no status.
    std::optional<ServerStatusText> ServerStatusCommand();
    // Returns the group handle, -1 when AddGroup failed.
    int32_t AddGroupCommand(const std::string& name, int32_t updateRate, float deadband);

    // Configuration file. Save returns false when the file could not be written.
    bool Save(const std::string& path);
    void RestoreFrom(const std::string& path);
    // The system calls Save and Restore use (tests play a failing disk).
    void UseFileCalls(const FileCalls& calls) { fileCalls_ = calls; }

private:
    class Restorer;

    CMessageSink& messages_;
    std::unique_ptr<CQuorvaneModel> model_;
    std::unique_ptr<CMainFrame> frame_;
    bool opcStarted_ = false;
    bool shutDown_ = false;
    FileCalls fileCalls_ = SystemFileCalls();
};

} // namespace quorvane
