// "Modbus Traffic": every open link with its good and bad frame counters, and
// a live hex view of the selected link's traffic. Pellacor's traffic callback
// only notes where each ring was written (CTrafficTap); this window reads the
// rings on its own thread from a timer, so a busy link never waits for it.
// The callback is registered only while the window is shown.
#pragma once

#include "frame/traffic_monitor.h"

#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>

class QCheckBox;
class QPlainTextEdit;
class QTableWidget;

namespace quorvane {

class CQuorvaneApp;

class CTrafficWnd : public QWidget {
public:
    static constexpr int kTickMs = 100;
    static constexpr int kCounterMs = 500;
    static constexpr int kMaxLines = 1000;

    CTrafficWnd(CQuorvaneApp& app, QWidget* owner);
    ~CTrafficWnd() override;

    // One timer tick: the link list, the counters (every 500 ms) and the
    // selected link's new traffic. Tests call it directly.
    void Tick();
    // Selects the row of the link named "COM3" or "Modbus/TCP"; false when
    // that link is not open.
    bool SelectLink(const QString& name);
    void SetPaused(bool paused);
    const CTrafficFollower& Follower() const { return follower_; }
    QPlainTextEdit* HexView() const { return hex_; }
    QTableWidget* LinkTable() const { return links_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct Link {
        int32_t handle = -1;
        TrafficFraming framing = TrafficFraming::Tcp;
    };
    // Slot 0..8 = COM1..COM9, 9 = Modbus/TCP.
    std::array<Link, CTrafficTap::kSlots> OpenLinks() const;
    void UpdateLinks();
    void UpdateCounters();
    void ResetCounters();
    void FollowSelected();
    int SelectedRow() const; // -1 when no link is chosen
    void ReadTraffic();

    CQuorvaneApp& app_;
    QTimer timer_;
    int ticks_ = 0;
    bool paused_ = false;
    std::array<Link, CTrafficTap::kSlots> shown_{};
    CTrafficFollower follower_{kMaxLines};
    int followedSlot_ = -1;
    QTableWidget* links_ = nullptr;
    QPlainTextEdit* hex_ = nullptr;
    QCheckBox* pause_ = nullptr;
};

} // namespace quorvane
