#include "frame/config/commands.h"

namespace quorvane {
namespace {

constexpr uint8_t kBoth = kInMainMenu | kInGroupMenu;

#define QV_SERIAL_COMMANDS(base, sub, rule)                                                  \
    {base + 0, "&Modbus", sub, "COMM &1", kBoth, rule, 1},                                  \
        {base + 1, "&Modbus", sub, "COMM &2", kBoth, rule, 2},                              \
        {base + 2, "&Modbus", sub, "COMM &3", kBoth, rule, 3},                              \
        {base + 3, "&Modbus", sub, "COMM &4", kBoth, rule, 4},                              \
        {base + 4, "&Modbus", sub, "COMM &5", kBoth, rule, 5},                              \
        {base + 5, "&Modbus", sub, "COMM &6", kBoth, rule, 6},                              \
        {base + 6, "&Modbus", sub, "COMM &7", kBoth, rule, 7},                              \
        {base + 7, "&Modbus", sub, "COMM &8", kBoth, rule, 8},                              \
        {base + 8, "&Modbus", sub, "COMM &9", kBoth, rule, 9}

constexpr CommandEntry kCommands[] = {
    {kCmdSave, "&File", "", "&Save", kInGroupMenu, EnableRule::Always, 0},
    {kCmdRestore, "&File", "", "&Restore", kBoth, EnableRule::Always, 0},
    {kCmdPrint, "&File", "", "&Print...\tCtrl+P", kInGroupMenu, EnableRule::GroupWindow, 0},
    {kCmdPrintPreview, "&File", "", "Print Pre&view", kInGroupMenu, EnableRule::GroupWindow, 0},
    {kCmdPrintSetup, "&File", "", "Print Set&up...", kInGroupMenu, EnableRule::Always, 0},
    {kCmdExit, "&File", "", "E&xit", kBoth, EnableRule::Always, 0},
    {kCmdServerConnect, "OPC&Server", "", "&Connect", kBoth, EnableRule::NotConnected, 0},
    {kCmdServerDisconnect, "OPC&Server", "", "&Disconnect", kBoth, EnableRule::ConnectedWithoutGroups, 0},
    {kCmdServerStatus, "OPC&Server", "", "&Svr Status", kBoth, EnableRule::Connected, 0},
    {kCmdGroupAdd, "OPC&Server", "&Group", "&Add", kBoth, EnableRule::Connected, 0},
    {kCmdGroupRemove, "OPC&Server", "&Group", "&Remove", kBoth, EnableRule::GroupWindow, 0},
    {kCmdApiLog, "OPC&Server", "", "OPC API &Log", kBoth, EnableRule::Always, 0},
    {kCmdItemAdd, "&Item", "", "&Add", kInGroupMenu, EnableRule::GroupWindow, 0},
    {kCmdItemRemove, "&Item", "", "&Remove", kInGroupMenu, EnableRule::ItemSelected, 0},
    {kCmdItemWrite, "&Item", "", "&Write", kInGroupMenu, EnableRule::ItemSelected, 0},
    QV_SERIAL_COMMANDS(kCmdConnectCom1, "&Connect", EnableRule::SerialClosed),
    {kCmdConnectTcp, "&Modbus", "&Connect", "Modbus/TCP", kBoth, EnableRule::TcpClosed, 0},
    QV_SERIAL_COMMANDS(kCmdDisconnectCom1, "&Disconnect", EnableRule::SerialOpen),
    {kCmdDisconnectTcp, "&Modbus", "&Disconnect", "Modbus/TCP", kBoth, EnableRule::TcpOpen, 0},
    {kCmdTraffic, "&Modbus", "", "&Traffic", kBoth, EnableRule::Always, 0},
    {kCmdHelpTopics, "&Help", "", "&Help Topics", kBoth, EnableRule::Always, 0},
    {kCmdAbout, "&Help", "", "&About Quorvane...", kBoth, EnableRule::Always, 0},
};

#undef QV_SERIAL_COMMANDS

} // namespace

std::span<const CommandEntry> CommandTable() { return kCommands; }

const CommandEntry* FindCommand(uint16_t id) {
    for (const CommandEntry& c : kCommands) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

bool RuleHolds(const CommandEntry& command, const FrameState& state) {
    auto slot = [&]() { return state.serialSlots[static_cast<size_t>(command.port - 1)]; };
    switch (command.rule) {
    case EnableRule::Always: return true;
    case EnableRule::NotConnected: return !state.connected;
    case EnableRule::Connected: return state.connected;
    case EnableRule::ConnectedWithoutGroups: return state.connected && !state.groupsOpen;
    case EnableRule::GroupWindow: return state.groupsOpen;
    case EnableRule::ItemSelected: return state.groupsOpen && state.itemSelected;
    case EnableRule::SerialClosed: return slot() == -1;
    case EnableRule::SerialOpen: return slot() != -1;
    case EnableRule::TcpClosed: return state.tcpSlot == -1;
    case EnableRule::TcpOpen: return state.tcpSlot != -1;
    }
    return false;
}

bool IsCommandEnabled(uint16_t id, const FrameState& state) {
    const CommandEntry* command = FindCommand(id);
    return command != nullptr && RuleHolds(*command, state);
}

} // namespace quorvane
