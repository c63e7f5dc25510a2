#include "frame/commission.h"

#include "frame/quorvane_app.h"
#include "model/item_list.h"
#include "ostrand.h"

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <functional>
#include <thread>

namespace quorvane {
namespace {

using Clock = std::chrono::steady_clock;

// Bounds of a walk: no server's tree keeps a terminal busy for ever.
constexpr size_t kMaxBrowseNodes = 10000;
constexpr auto kPropertiesWait = std::chrono::seconds(15);

std::string NameAt(int32_t server, int32_t index) {
    std::vector<char> buffer(256);
    // A cut name (answer 0 with text) is asked again with room enough.
    while (BrowseName(server, index, buffer.data(), static_cast<int32_t>(buffer.size())) == 0 &&
           buffer.data()[0] != '\0' && buffer.size() < 65536)
        buffer.resize(buffer.size() * 4);
    return buffer.data();
}

std::vector<std::string> Names(int32_t server, int32_t type) {
    std::vector<std::string> names;
    const int32_t count = BrowseCount(server, type);
    for (int32_t i = 0; i < count; ++i) names.push_back(NameAt(server, i));
    return names;
}

std::string IdOf(int32_t server, const std::string& leafOrPath) {
    char buffer[1024] = {};
    return BrowseItemId(server, leafOrPath.c_str(), buffer, sizeof buffer) != 0 ? buffer : "";
}

std::string Join(const std::string& path, const std::string& name) { return path.empty() ? name : path + "." + name; }

// Branches first, then the variables at each position, depth first.
void Walk(int32_t server, const std::string& path, int level, int depth, std::vector<BrowseNode>& nodes) {
    if (nodes.size() >= kMaxBrowseNodes || BrowseMoveTo(server, path.c_str()) == 0) return;
    const std::vector<std::string> branches = Names(server, 1);
    const std::vector<std::string> leaves = Names(server, 2);
    std::vector<BrowseNode> here;
    for (const std::string& leaf : leaves) {
        BrowseNode n;
        n.level = level;
        n.name = leaf;
        n.id = IdOf(server, leaf);
        here.push_back(std::move(n));
    }
    for (const std::string& branch : branches) {
        if (nodes.size() >= kMaxBrowseNodes) return;
        BrowseNode n;
        n.level = level;
        n.name = branch;
        n.branch = true;
        n.id = IdOf(server, Join(path, branch));
        nodes.push_back(std::move(n));
        if (level + 1 < depth) Walk(server, Join(path, branch), level + 1, depth, nodes);
    }
    for (BrowseNode& n : here) {
        if (nodes.size() >= kMaxBrowseNodes) return;
        nodes.push_back(std::move(n));
    }
}

int32_t IgnoreChange(int32_t, int32_t, int32_t, VARIANT*, uint32_t, uint32_t, int32_t) { return 0; }

// Adds the variables as items of one group and waits (bounded) until the
// server told each one's type and access.
void AskProperties(int32_t server, std::vector<BrowseNode>& nodes) {
    int32_t rate = 1000;
    float deadband = 0;
    const int32_t group = AddGroup(server, "browse", &rate, &deadband);
    if (group == -1) return;
    std::vector<std::pair<BrowseNode*, int32_t>> items;
    for (BrowseNode& n : nodes) {
        if (n.branch || n.id.empty()) continue;
        const int32_t item = AddItem(server, group, n.id.c_str());
        if (item != -1) items.emplace_back(&n, item);
    }
    const auto deadline = Clock::now() + kPropertiesWait;
    size_t told = 0;
    while (told < items.size() && Clock::now() < deadline) {
        told = 0;
        for (auto& [n, item] : items) {
            if (n->access >= 0) {
                ++told;
                continue;
            }
            char type[64] = {};
            int32_t access = 0;
            if (GetItemProperties(server, group, item, type, sizeof type, &access) != 0) {
                n->type = type;
                n->access = access;
                ++told;
            }
        }
        if (told < items.size()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    RemoveGroup(server, group);
}

const char* AccessText(int access) {
    switch (access) {
    case 1:
        return "read";
    case 2:
        return "write";
    case 3:
        return "read/write";
    case 0:
        return "none";
    default:
        return "?";
    }
}

const char* QualityName(uint32_t quality) {
    if (quality >= 192) return "Good";
    if (quality >= 64) return "Uncertain";
    return "Bad";
}

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    while (!text.empty() && text.front() == ' ') text.erase(0, 1);
    return text;
}

// Runs the event loop (links, data changes, timers) until `done` holds or
// `deadline` passes; answers `done()`.
bool AwaitOnEventLoop(const std::function<bool()>& done, Clock::time_point deadline) {
    if (done()) return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || Clock::now() >= deadline) loop.quit();
    });
    poll.start();
    loop.exec();
    return done();
}

} // namespace

std::string FormatBrowseTree(const std::vector<BrowseNode>& nodes) {
    std::string out;
    for (const BrowseNode& n : nodes) {
        out.append(static_cast<size_t>(n.level) * 2, ' ');
        out += n.name;
        out += "  ";
        out += n.id.empty() ? "?" : n.id;
        if (n.branch) {
            out += "  (object)";
        } else {
            out += "  ";
            out += n.type.empty() ? "?" : n.type;
            out += "  ";
            out += AccessText(n.access);
        }
        out += '\n';
    }
    return out;
}

int RunBrowse(const std::string& url, const std::string& node, int depth, std::FILE* out, std::FILE* err) {
    if (OstrandInitialize() < 0) {
        std::fprintf(err, "quorvane: the OPC client service cannot start\n");
        return kCommissionNoServer;
    }
    int code = kCommissionAllGood;
    const int32_t server = ConnectServer("", url.c_str(), 0);
    if (server == -1) {
        std::fprintf(err, "quorvane: cannot connect to %s\n", url.c_str());
        code = kCommissionNoServer;
    } else {
        EnableDataCallback(server, &IgnoreChange);
        if (BrowseMoveTo(server, node.c_str()) == 0) {
            std::fprintf(err, "quorvane: %s is no object below the Objects folder of %s\n", node.c_str(), url.c_str());
            code = kCommissionNotGood;
        } else {
            std::vector<BrowseNode> nodes;
            Walk(server, node, 0, depth, nodes);
            AskProperties(server, nodes);
            std::fputs(FormatBrowseTree(nodes).c_str(), out);
            if (nodes.size() >= kMaxBrowseNodes)
                std::fprintf(err, "quorvane: stopped after %zu nodes\n", nodes.size());
        }
        DisconnectServer(server);
    }
    OstrandUninitialize();
    return code;
}

std::vector<CheckRow> CollectCheckRows(const CQuorvaneModel& model) {
    std::vector<CheckRow> rows;
    const int32_t server = model.ServerHandle();
    ServerHealth health{};
    const bool up = server != -1 && GetServerHealth(server, &health) != 0 && health.up != 0;
    const auto groups = model.Groups();
    for (const auto& doc : *groups) {
        ItemState item;
        for (int index = 0; doc->ReadItem(index, &item); ++index) {
            CheckRow row;
            row.group = doc->Name();
            row.itemId = item.itemId;
            row.point = item.reference;
            row.good = item.reported && item.quality >= 192;
            if (!item.reported) {
                row.status = "NoAnswer";
            } else {
                row.status = QualityName(item.quality);
                char type[64];
                int32_t access = 0;
                // A session that is up and knows nothing of the item: the server has no such node.
                if (item.quality == 0 && up && item.value.Type() == VT_EMPTY &&
                    GetItemProperties(server, doc->GroupHandle(), item.itemHandle, type, sizeof type, &access) == 0)
                    row.status = "BadNodeIdUnknown";
            }
            row.value = item.reported ? Trimmed(FormatItemValue(item.value.Get())) : "";
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

bool EveryItemReported(const CQuorvaneModel& model) {
    const auto groups = model.Groups();
    for (const auto& doc : *groups) {
        ItemState item;
        for (int index = 0; doc->ReadItem(index, &item); ++index)
            if (!item.reported) return false;
    }
    return true;
}

std::string FormatCheckRows(const std::vector<CheckRow>& rows) {
    std::string out = "GROUP\tITEM\tSTATUS\tVALUE\tMODBUS POINT\n";
    for (const CheckRow& r : rows) out += r.group + "\t" + r.itemId + "\t" + r.status + "\t" + r.value + "\t" + r.point + "\n";
    return out;
}

int RunCheck(CQuorvaneApp& app, const std::string& file, int seconds, std::FILE* out, std::FILE* err) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    app.RestoreFrom(file);
    CQuorvaneModel& model = app.Model();
    if (model.ServerName().empty()) {
        std::fprintf(err, "quorvane: %s names no OPC server\n", file.c_str());
        return kCommissionNoServer;
    }
    // A configuration's server is connected in the background: reachable
    // once its session is up, not once it has a handle.
    const auto up = [&model] {
        ServerHealth health{};
        return model.ServerHandle() != -1 && GetServerHealth(model.ServerHandle(), &health) == 1 && health.up == 1;
    };
    if (!AwaitOnEventLoop(up, deadline)) {
        std::fprintf(err, "quorvane: the OPC server %s cannot be reached\n", model.ServerName().c_str());
        return kCommissionNoServer;
    }
    if (!AwaitOnEventLoop([&model] { return EveryItemReported(model); }, deadline))
        std::fprintf(err, "quorvane: not every item answered within %d s\n", seconds);
    const std::vector<CheckRow> rows = CollectCheckRows(model);
    std::fputs(FormatCheckRows(rows).c_str(), out);
    std::fflush(out);
    for (const CheckRow& r : rows)
        if (!r.good) return kCommissionNotGood;
    return kCommissionAllGood;
}

} // namespace quorvane
