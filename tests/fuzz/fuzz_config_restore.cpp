// Restores arbitrary bytes as a configuration file against a target that
// checks what the reader hands over, and writes back what it restored.
#include "frame/config/config_file.h"

#include "../quorvane/frame/config_fixtures.h"

#include <cstdlib>

namespace {

using namespace quorvane;

class CheckingTarget : public RestoreTarget {
public:
    SaveSnapshot saved;
    void CloseAllGroups() override {}
    void Disconnect() override { saved.connected = false; }
    void OpenSerialLink(const LinkLine& link) override {
        if (link.port < 1 || link.port > 9) std::abort();
        saved.serialLinks.push_back({link.port, link.protocol,
                                     test::Settings(link.baudRate, link.dataBits, link.parity, link.stopBits,
                                                    link.ctsFlow, link.dsrFlow)});
    }
    void OpenTcpLink() override { saved.tcpOpen = true; }
    void ConnectFromConfiguration(const std::string& machine, const std::string& server) override {
        if (machine.size() > kMaxConfigLineLength || server.size() > kMaxConfigLineLength) std::abort();
        saved.connected = true;
        saved.machine = machine;
        saved.server = server;
    }
    bool IsConnected() const override { return saved.connected; }
    void AddGroupFromConfiguration(const GroupLine& group) override {
        if (group.name.size() > kMaxConfigLineLength) std::abort();
    }
    void AddItemFromConfiguration(const std::string&, const ItemLine& item) override {
        if (item.itemId.size() > kMaxConfigLineLength) std::abort();
        const PointMapping& m = item.mapping;
        if (m.pointType < PT_COIL_STATUS || m.pointType > PT_INPUT_REGISTER) std::abort();
        if (m.pointType <= PT_INPUT_STATUS && m.dataType != DT_BOOL) std::abort();
    }
    void SkipLine(const std::string& message) override {
        if (message.rfind("Line ", 0) != 0) std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view file(reinterpret_cast<const char*>(data), size);
    CheckingTarget target;
    RestoreConfiguration(file, target);
    SaveOutput out = WriteConfiguration(target.saved);
    // What the writer produced is read back without stopping early.
    size_t pos = 0;
    std::string line;
    while (ReadConfigLine(out.bytes, pos, line)) {
        if (line.size() > kMaxConfigLineLength) std::abort();
    }
    (void)DescribeLeftOut(out.leftOut);
    return 0;
}
