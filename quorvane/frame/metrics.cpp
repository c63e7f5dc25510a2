#include "frame/metrics.h"

#include "frame/quorvane_app.h"
#include "ostrand.h"
#include "pellacor.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>

namespace quorvane {
namespace {

int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void AddLink(std::vector<LinkCounts>& links, int32_t handle, std::string name) {
    PellacorLinkCounters counters{};
    if (handle == -1 || LinkCounters(handle, &counters) == 0) return;
    LinkCounts link;
    link.name = std::move(name);
    link.requests = counters.requests;
    link.badFrames = counters.badFrames;
    std::memcpy(link.exceptions, counters.exceptions, sizeof link.exceptions);
    link.masters = counters.masters;
    link.refused = counters.refused;
    link.tcp = handle == PELLACOR_TCP_HANDLE;
    links.push_back(std::move(link));
}

} // namespace

CSnapshotTaker::CSnapshotTaker(CQuorvaneApp& app) : app_(app), withoutSince_(SteadySeconds()) {}

GatewaySnapshot CSnapshotTaker::Take() {
    GatewaySnapshot s;
    CMainFrame& frame = app_.Frame();
    AddLink(s.links, frame.TcpSlot(), "tcp");
    for (int port = 1; port <= kSerialPorts; ++port)
        AddLink(s.links, frame.SerialSlot(port), "com" + std::to_string(port));

    CQuorvaneModel& model = app_.Model();
    const int32_t handle = model.ServerHandle();
    s.server = model.ServerName();
    s.serverConfigured = !s.server.empty();
    // Counts of an earlier connection carry over: the counters never go back.
    if (handle != lastHandle_) {
        carriedChanges_ += lastChanges_;
        carriedWrites_ += lastWrites_;
        carriedReconnects_ += lastReconnects_;
        lastChanges_ = lastWrites_ = 0;
        lastReconnects_ = 0;
        lastHandle_ = handle;
    }
    ServerHealth health{};
    if (handle != -1 && GetServerHealth(handle, &health) != 0) {
        s.serverUp = health.up != 0;
        lastChanges_ = health.changesDelivered;
        lastWrites_ = health.writesFailed;
        lastReconnects_ = health.reconnects;
    }
    s.dataChanges = carriedChanges_ + lastChanges_;
    s.writesFailed = carriedWrites_ + lastWrites_;
    s.reconnects = carriedReconnects_ + lastReconnects_;
    const int64_t now = SteadySeconds();
    if (s.serverUp) {
        withoutSince_ = 0;
    } else {
        // A connection that is reconnecting knows since when; without a
        // connection, since this taker first saw none.
        if (handle != -1 && health.secondsDown > 0 && (withoutSince_ == 0 || now - health.secondsDown < withoutSince_))
            withoutSince_ = now - health.secondsDown;
        if (withoutSince_ == 0) withoutSince_ = now;
        s.secondsWithoutServer = static_cast<uint64_t>(now - withoutSince_);
    }

    const auto groups = model.Groups();
    for (const auto& doc : *groups) {
        ItemState item;
        for (int index = 0; doc->ReadItem(index, &item); ++index) {
            if (item.reported && item.quality >= 192) ++s.itemsGood;
            else ++s.itemsBad;
        }
    }
    return s;
}

std::string StatusLine(const GatewaySnapshot& s) {
    std::string line;
    if (!s.serverConfigured) line = "no OPC server";
    else if (s.serverUp) line = s.server + " connected";
    else line = s.server + " unreachable for " + std::to_string(s.secondsWithoutServer) + " s";
    const int items = s.itemsGood + s.itemsBad;
    line += "; " + std::to_string(s.itemsGood) + " of " + std::to_string(items) + " items good";
    uint32_t masters = 0;
    for (const LinkCounts& link : s.links) masters += link.masters;
    line += "; " + std::to_string(masters) + (masters == 1 ? " master" : " masters");
    return line;
}

namespace {

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    void Header(const char* name, const char* type, const char* help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    void Sample(const char* name, const std::string& labels, uint64_t value) {
        out_ += name;
        if (!labels.empty()) out_ += "{" + labels + "}";
        out_ += ' ';
        out_ += std::to_string(value);
        out_ += '\n';
    }

private:
    std::string& out_;
};

std::string LinkLabel(const LinkCounts& link) { return "link=\"" + link.name + "\""; }

} // namespace

std::string FormatMetrics(const GatewaySnapshot& s) {
    std::string out;
    Writer w(out);
    w.Header("quorvane_modbus_requests_total", "counter", "Frames with a good check received on a Modbus link.");
    for (const LinkCounts& link : s.links) w.Sample("quorvane_modbus_requests_total", LinkLabel(link), link.requests);
    w.Header("quorvane_modbus_exceptions_total", "counter", "Modbus exception replies sent, by exception code.");
    for (const LinkCounts& link : s.links) {
        for (int code = 1; code < 12; ++code)
            w.Sample("quorvane_modbus_exceptions_total", LinkLabel(link) + ",code=\"" + std::to_string(code) + "\"",
                     link.exceptions[code]);
        if (link.exceptions[0] != 0)
            w.Sample("quorvane_modbus_exceptions_total", LinkLabel(link) + ",code=\"other\"", link.exceptions[0]);
    }
    w.Header("quorvane_modbus_bad_frames_total", "counter", "Frames with a bad check or framing on a Modbus link.");
    for (const LinkCounts& link : s.links)
        w.Sample("quorvane_modbus_bad_frames_total", LinkLabel(link), link.badFrames);
    w.Header("quorvane_modbus_masters_connected", "gauge", "Modbus/TCP masters connected now.");
    for (const LinkCounts& link : s.links)
        if (link.tcp) w.Sample("quorvane_modbus_masters_connected", LinkLabel(link), link.masters);
    w.Header("quorvane_modbus_connections_refused_total", "counter",
             "Modbus/TCP connections closed because the master is in no allowed network.");
    for (const LinkCounts& link : s.links)
        if (link.tcp) w.Sample("quorvane_modbus_connections_refused_total", LinkLabel(link), link.refused);

    w.Header("quorvane_opc_server_up", "gauge", "1 while the session with the OPC server is up.");
    w.Sample("quorvane_opc_server_up", "", s.serverUp ? 1 : 0);
    w.Header("quorvane_opc_reconnects_total", "counter", "Sessions with the OPC server that came back after a loss.");
    w.Sample("quorvane_opc_reconnects_total", "", s.reconnects);
    w.Header("quorvane_opc_seconds_without_server", "gauge", "Seconds since the OPC server was last reachable.");
    w.Sample("quorvane_opc_seconds_without_server", "", s.secondsWithoutServer);
    w.Header("quorvane_opc_data_changes_total", "counter", "Data changes received from the OPC server.");
    w.Sample("quorvane_opc_data_changes_total", "", s.dataChanges);
    w.Header("quorvane_opc_items", "gauge", "Items by quality: good, or bad (bad, uncertain or not reported yet).");
    w.Sample("quorvane_opc_items", "quality=\"good\"", static_cast<uint64_t>(s.itemsGood));
    w.Sample("quorvane_opc_items", "quality=\"bad\"", static_cast<uint64_t>(s.itemsBad));
    w.Header("quorvane_opc_writes_failed_total", "counter", "Writes to the OPC server that failed.");
    w.Sample("quorvane_opc_writes_failed_total", "", s.writesFailed);
    return out;
}

// ---------------------------------------------------------------------------
// HTTP

struct CMetricsServer::State {
    std::mutex mutex;
    std::string text;
    MHD_Daemon* daemon = nullptr;
};

namespace {

MHD_Result Reply(MHD_Connection* connection, unsigned int code, const std::string& body) {
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    if (code == MHD_HTTP_OK) MHD_add_response_header(response, "Content-Type", "text/plain; version=0.0.4; charset=utf-8");
    else MHD_add_response_header(response, "Content-Type", "text/plain; charset=utf-8");
    const MHD_Result result = MHD_queue_response(connection, code, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result OnRequest(void* context, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*upload*/, size_t* /*uploadSize*/, void** /*request*/) {
    auto* state = static_cast<CMetricsServer::State*>(context);
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "GET only\n");
    if (std::strcmp(url, "/metrics") != 0) return Reply(connection, MHD_HTTP_NOT_FOUND, "see /metrics\n");
    std::string text;
    {
        std::lock_guard lock(state->mutex);
        text = state->text;
    }
    return Reply(connection, MHD_HTTP_OK, text);
}

} // namespace

CMetricsServer::~CMetricsServer() {
    if (state_ && state_->daemon != nullptr) MHD_stop_daemon(state_->daemon); // joins its thread
}

std::string CMetricsServer::Start(const std::string& address, int port) {
    state_ = std::make_shared<State>();
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* where = nullptr;
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD;
    if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(port));
        where = reinterpret_cast<const sockaddr*>(&v4);
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        where = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        return address + " is no numeric address";
    }
    // A scraper needs few connections; a slow one must not hold the thread.
    state_->daemon = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, &OnRequest, state_.get(),
                                      MHD_OPTION_SOCK_ADDR, where, MHD_OPTION_CONNECTION_LIMIT, 8u,
                                      MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (state_->daemon == nullptr) return "cannot listen on " + address + " port " + std::to_string(port);
    return "";
}

void CMetricsServer::Publish(std::string text) {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->text = std::move(text);
}

CGatewayMonitor::CGatewayMonitor(CQuorvaneApp& app) : taker_(app) {
    timer_.setInterval(1000);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Refresh(); });
}

std::string CGatewayMonitor::ServeMetrics(const std::string& address, int port) {
    std::string why = server_.Start(address, port);
    if (!why.empty()) return why;
    serving_ = true;
    Refresh();
    timer_.start();
    return "";
}

std::string CGatewayMonitor::Refresh() {
    const GatewaySnapshot snapshot = taker_.Take();
    if (serving_) server_.Publish(FormatMetrics(snapshot));
    return StatusLine(snapshot);
}

} // namespace quorvane
