// What the gateway is doing, in numbers: a snapshot of the Modbus links'
// counters, the OPC server's health and the items' qualities, taken on the UI
// thread once a second; the one-line summary the service manager shows; the
// Prometheus text format of it; and the small HTTP server that hands that text
// to a scraper at /metrics from its own thread.
#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvane {

class CQuorvaneApp;

struct LinkCounts {
    std::string name; // "tcp", "com1" .. "com9"
    uint32_t requests = 0;
    uint32_t badFrames = 0;
    uint32_t exceptions[12] = {}; // by code; 0: codes above 11
    uint32_t masters = 0;
    uint32_t refused = 0;
    bool tcp = false;
};

struct GatewaySnapshot {
    std::vector<LinkCounts> links; // the open ones
    bool serverConfigured = false; // a server was named (connected or not)
    std::string server;            // its name or URL
    bool serverUp = false;
    uint32_t reconnects = 0;
    uint64_t secondsWithoutServer = 0;
    uint64_t dataChanges = 0;
    uint64_t writesFailed = 0;
    int itemsGood = 0;
    int itemsBad = 0; // reported bad or uncertain, or not reported yet
};

// Keeps what ostrand counts per connection across the operator's reconnects
// (each connection starts at 0) and since when the gateway is without a
// server. UI thread.
class CSnapshotTaker {
public:
    explicit CSnapshotTaker(CQuorvaneApp& app);
    GatewaySnapshot Take();

private:
    CQuorvaneApp& app_;
    int32_t lastHandle_ = -1;
    uint64_t carriedChanges_ = 0, carriedWrites_ = 0, lastChanges_ = 0, lastWrites_ = 0;
    uint32_t carriedReconnects_ = 0, lastReconnects_ = 0;
    int64_t withoutSince_ = 0; // steady seconds; 0 while a session is up
};

// "opc.tcp://plc7:4840 connected; 118 of 120 items good; 3 masters".
std::string StatusLine(const GatewaySnapshot& snapshot);

// The snapshot in the Prometheus text exposition format (version 0.0.4).
std::string FormatMetrics(const GatewaySnapshot& snapshot);

// Serves the latest text at GET /metrics on its own thread (libmicrohttpd);
// 404 elsewhere, 405 for other methods. Stopped and joined on destruction.
class CMetricsServer {
public:
    ~CMetricsServer();
    // "" once listening on address:port, else why not.
    std::string Start(const std::string& address, int port);
    void Publish(std::string text);

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Takes a snapshot once a second (UI thread) and on demand: its summary for
// the service manager and, when serving, its metrics text.
class CGatewayMonitor : public QObject {
public:
    explicit CGatewayMonitor(CQuorvaneApp& app);
    // "" once /metrics is served, else why not.
    std::string ServeMetrics(const std::string& address, int port);
    // A fresh snapshot, published; its summary.
    std::string Refresh();

private:
    CSnapshotTaker taker_;
    CMetricsServer server_;
    bool serving_ = false;
    QTimer timer_;
};

} // namespace quorvane
