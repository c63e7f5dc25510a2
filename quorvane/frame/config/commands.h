// The frame's command table: ids, menu places and texts, and the rule that
// decides whether each command is enabled. A window layer builds its menus
// from this table and asks IsCommandEnabled before it shows one; headless,
// the same rules guard the operations.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorvane {

enum CommandId : uint16_t {
    kCmdSave = 32781,
    kCmdRestore = 32808,
    kCmdPrint = 57607,
    kCmdPrintPreview = 57609,
    kCmdPrintSetup = 57606,
    kCmdExit = 57665,
    kCmdServerConnect = 32771,
    kCmdServerDisconnect = 32772,
    kCmdServerStatus = 32779,
    kCmdGroupAdd = 32773,
    kCmdGroupRemove = 32774,
    kCmdItemAdd = 32775,
    kCmdItemRemove = 32776,
    kCmdItemWrite = 32785,
    kCmdConnectCom1 = 32787, // to 32795 for COM9
    kCmdConnectTcp = 32796,
    kCmdDisconnectCom1 = 32797, // to 32805 for COM9
    kCmdDisconnectTcp = 32806,
    kCmdHelpTopics = 57667,
    kCmdAbout = 57664,
    // Additions to the original menus: the OPC call log and the Modbus
    // traffic window had no command that shows them.
    kCmdApiLog = 32810,
    kCmdTraffic = 32811,
};

enum class EnableRule : uint8_t {
    Always,
    NotConnected,          // server handle -1
    Connected,             // server handle not -1
    ConnectedWithoutGroups, // connected and no group window open
    GroupWindow,           // only while a group window is active
    ItemSelected,          // a group window is active and its selected row designates an item
    SerialClosed,          // link slot of `port` is -1
    SerialOpen,
    TcpClosed,             // TCP slot is -1
    TcpOpen,
};

enum MenuMask : uint8_t {
    kInMainMenu = 1,  // menu 128: no group window
    kInGroupMenu = 2, // menu 129: a group window is active
};

struct CommandEntry {
    uint16_t id;
    std::string_view menu;    // top-level menu text
    std::string_view submenu; // empty when the entry sits in the top-level menu
    std::string_view text;
    uint8_t menus; // MenuMask bits
    EnableRule rule;
    int8_t port; // 1 to 9 for the serial link commands, else 0
};

// What the enable rules look at.
struct FrameState {
    bool connected = false;
    bool groupsOpen = false;
    std::array<int32_t, 9> serialSlots{-1, -1, -1, -1, -1, -1, -1, -1, -1};
    int32_t tcpSlot = -1;
    bool itemSelected = false; // the active view's selected row designates an item
};

std::span<const CommandEntry> CommandTable();
const CommandEntry* FindCommand(uint16_t id);
// False for ids not in the table.
bool IsCommandEnabled(uint16_t id, const FrameState& state);
bool RuleHolds(const CommandEntry& command, const FrameState& state);

} // namespace quorvane
