#include "frame/quorvane_app.h"

#include "frame/config/file_io.h"
#include "frame/event_log.h"
#include "ostrand.h"

#include <cerrno>

namespace quorvane {

// The restore's operations on this application.
class CQuorvaneApp::Restorer : public RestoreTarget {
public:
    explicit Restorer(CQuorvaneApp& app) : app_(app) {}
    void CloseAllGroups() override { app_.model_->CloseAllGroups(); }
    void Disconnect() override { app_.Disconnect(); }
    void OpenSerialLink(const LinkLine& link) override { app_.frame_->OpenSerialFromConfiguration(link); }
    void OpenTcpLink() override { app_.frame_->OpenTcpFromConfiguration(); }
    void ConnectFromConfiguration(const std::string& machine, const std::string& server) override {
        app_.ConnectFromConfiguration(machine, server);
    }
    bool IsConnected() const override { return app_.model_->ServerHandle() != -1; }
    void AddGroupFromConfiguration(const GroupLine& group) override {
        int32_t rate = group.updateRate;
        float deadband = group.deadband;
        const int32_t handle = AddGroup(app_.model_->ServerHandle(), group.name.c_str(), &rate, &deadband);
        if (handle == -1) return;
        app_.model_->OpenGroupDocument(group.name, rate, deadband, handle);
        ++groups;
    }
    void AddItemFromConfiguration(const std::string& groupName, const ItemLine& item) override {
        if (app_.model_->FindGroupView(groupName, item.itemId, item.mapping) != 1) return;
        ++items;
        points += item.mapping.RegisterCount();
    }
    void SkipLine(const std::string& message) override { skipped.push_back(message); }

    std::vector<std::string> skipped;

    int groups = 0, items = 0, points = 0; // what the restore created

private:
    CQuorvaneApp& app_;
};

CQuorvaneApp::CQuorvaneApp(CMessageSink& messages, std::string settingsPath)
    : messages_(messages), model_(std::make_unique<CQuorvaneModel>()),
      frame_(std::make_unique<CMainFrame>(messages, std::move(settingsPath))) {}

CQuorvaneApp::~CQuorvaneApp() {
    if (opcStarted_) Shutdown();
}

int CQuorvaneApp::Startup(const std::string& configFile) {
    frame_->Create([this] { model_->FlushAllPendingWrites(); });
    if (OstrandInitialize() < 0) {
        messages_.ShowMessage("Error from CoInitialize", MessageIcon::Stop);
        return 1;
    }
    opcStarted_ = true;
    SetEventCallback(&LogOstrandEvent);
    CQuorvaneModel::Install(model_.get());
    EnableCallback(&CQuorvaneModel::OnSlaveWrite);
    if (!configFile.empty()) RestoreFrom(configFile);
    return 0;
}

void CQuorvaneApp::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    model_->CloseAllGroups();
    frame_->CloseAllLinks();
    Disconnect();
    SetEventCallback(nullptr);
    if (opcStarted_) OstrandUninitialize();
    opcStarted_ = false;
    UnInitializeWSock();
    frame_->StoreSettings();
    model_->PointMap().RemoveAll();
}

FrameState CQuorvaneApp::State() const {
    FrameState state;
    state.connected = model_->ServerHandle() != -1;
    state.groupsOpen = model_->GroupsExist() != 0;
    frame_->FillLinkState(state);
    return state;
}

bool CQuorvaneApp::Execute(uint16_t commandId) {
    const CommandEntry* command = FindCommand(commandId);
    if (command == nullptr || !RuleHolds(*command, State())) return false;
    if (commandId == kCmdServerDisconnect) {
        Disconnect();
    } else if (commandId == kCmdConnectTcp) {
        frame_->StartTcpServer();
    } else if (commandId == kCmdDisconnectTcp) {
        frame_->StopTcpServer();
    } else if (command->rule == EnableRule::SerialOpen) {
        frame_->DisconnectSerial(command->port);
    } else {
        return false;
    }
    return true;
}

void CQuorvaneApp::ConnectCommand(const std::string& machine, const std::string& server) {
    model_->SetMachineName(machine);
    model_->SetServerName(server);
    const int32_t handle = ConnectServer(machine.c_str(), server.c_str(), 0);
    model_->SetServerHandle(handle);
    if (handle == -1) {
        messages_.ShowMessageWithCause(
            "Connection Failure", CauseOfLastCall(server + " on " + (machine.empty() ? "this machine" : machine)),
            MessageIcon::None);
        return;
    }
    EnableDataCallback(handle, &CQuorvaneModel::OnDataChange);
}

void CQuorvaneApp::Disconnect() {
    const int32_t handle = model_->ServerHandle();
    if (handle != -1) DisconnectServer(handle);
    model_->SetServerHandle(-1);
}

void CQuorvaneApp::ConnectFromConfiguration(const std::string& machine, const std::string& server) {
    // No server listing first: it would ask the machine on the network from
    // this thread. A server that cannot be reached yet is connected in the
    // background; the groups and items restored meanwhile follow once it is.
    model_->SetMachineName(machine);
    model_->SetServerName(server);
    const int32_t handle = ConnectServer(machine.c_str(), server.c_str(), OSTRAND_CONNECT_KEEP_TRYING);
    model_->SetServerHandle(handle);
    if (handle != -1) EnableDataCallback(handle, &CQuorvaneModel::OnDataChange);
}

std::optional<ServerStatusText> CQuorvaneApp::ServerStatusCommand() {
    char vendor[200] = {};
    ServerStatus status{};
    status.vendorInfo = vendor;
    if (GetServerStatus(model_->ServerHandle(), &status, sizeof vendor) == 0) return std::nullopt;
    vendor[sizeof vendor - 1] = '\0';
    return FormatServerStatus(status, vendor, model_->MachineName(), model_->ServerName());
}

int32_t CQuorvaneApp::AddGroupCommand(const std::string& name, int32_t updateRate, float deadband) {
    const int32_t handle = AddGroup(model_->ServerHandle(), name.c_str(), &updateRate, &deadband);
    if (handle == -1) {
        messages_.ShowMessage("Connection Failure -- Could Not Create Group", MessageIcon::None);
        return -1;
    }
    frame_->Log().AddLogLine("IOPCServer->AddGroup()", 0);
    model_->OpenGroupDocument(name, updateRate, deadband, handle);
    return handle;
}

bool CQuorvaneApp::Save(const std::string& path) {
    SaveSnapshot snapshot;
    snapshot.serialLinks = frame_->OpenSerialLinks();
    snapshot.tcpOpen = frame_->TcpSlot() != -1;
    snapshot.connected = model_->ServerHandle() != -1;
    snapshot.machine = model_->MachineName();
    snapshot.server = model_->ServerName();
    snapshot.writeGroups = [this](std::string& out, std::vector<std::string>& leftOut) {
        model_->SaveAllGroups(out, &leftOut);
    };
    const SaveOutput output = WriteConfiguration(snapshot);

    // A crash or a full disk half way must leave the previous file whole and
    // must not pass for a saved configuration.
    if (!ReplaceFile(path, output.bytes, fileCalls_)) {
        messages_.ShowMessageWithCause("File Creation Error", FileCause(path, errno), MessageIcon::None);
        return false;
    }
    if (!output.leftOut.empty()) messages_.ShowMessage(DescribeLeftOut(output.leftOut), MessageIcon::None);
    return true;
}

void CQuorvaneApp::RestoreFrom(const std::string& path) {
    std::string bytes;
    // A read that fails part way is no shorter file: nothing is restored.
    if (ReadWholeFile(path, bytes, fileCalls_) != ReadOutcome::Whole) {
        messages_.ShowMessageWithCause("File Open Error", FileCause(path, errno), MessageIcon::None);
        return;
    }
    Restorer restorer(*this);
    RestoreConfiguration(bytes, restorer);
    ProgramLog().Restored(path, restorer.groups, restorer.items, restorer.points);
    // One message for every line left out, so a long list is one click.
    if (!restorer.skipped.empty()) {
        std::string cause;
        for (const std::string& line : restorer.skipped) cause += (cause.empty() ? "" : "\n") + line;
        messages_.ShowMessageWithCause(std::to_string(restorer.skipped.size()) + " item line(s) skipped", cause,
                              MessageIcon::None);
    }
}

} // namespace quorvane
