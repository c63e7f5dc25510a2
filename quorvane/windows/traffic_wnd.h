// "Modbus Traffic": every open link with its good and bad frame counters, and
// the selected link's frames, one line each: time, direction, the bytes and
// what they mean. Pellacor's traffic callback only notes where each ring was
// written and when (CTrafficTap); this window reads the rings on its own
// thread from a timer, so a busy link never waits for it. The callback stays
// registered while the window exists, shown or not, so the frames a link's
// ring still holds are there when the window opens.
#pragma once

#include "frame/traffic_monitor.h"

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QSpinBox;
class QTableView;
class QTableWidget;

namespace quorvane {

class CQuorvaneApp;

// The frame lines shown: those of the follower's lines the filter lets
// through, at most `cap`, the newest last.
class CTrafficLines : public QAbstractTableModel {
public:
    enum Column { kTime, kDirection, kBytes, kDecoded, kColumns };
    struct Filter {
        int slave = -1;    // -1: every slave
        int function = -1; // -1: every function
        bool Passes(const TrafficLine& line) const;
    };

    explicit CTrafficLines(size_t cap, QObject* parent) : QAbstractTableModel(parent), cap_(cap) {}

    void Add(const std::deque<TrafficLine>& lines);
    void Reset(const std::deque<TrafficLine>& lines, Filter filter);
    const std::deque<TrafficLine>& Lines() const { return lines_; }
    const Filter& CurrentFilter() const { return filter_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    size_t cap_;
    Filter filter_;
    std::deque<TrafficLine> lines_;
};

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
    // Shows only the frames of that slave and function (-1: any).
    void SetFilter(int slave, int function);
    // Writes the shown lines to `path` as text and, for Modbus/TCP, the same
    // frames as a capture file beside it (the name with ".pcap"). Returns the
    // names written; on failure an empty list, after saying why.
    std::vector<std::string> SaveTo(const std::string& path);

    const CTrafficFollower& Follower() const { return follower_; }
    const CTrafficLines& Shown() const { return *lines_; }
    QTableView* FrameView() const { return frames_; }
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
    void ApplyFilter();
    void AskAndSave();

    CQuorvaneApp& app_;
    QTimer timer_;
    int ticks_ = 0;
    bool paused_ = false;
    std::array<Link, CTrafficTap::kSlots> shown_{};
    CTrafficFollower follower_{kMaxLines};
    int followedSlot_ = -1;
    QTableWidget* links_ = nullptr;
    QTableView* frames_ = nullptr;
    CTrafficLines* lines_ = nullptr;
    QCheckBox* pause_ = nullptr;
    QSpinBox* slaveFilter_ = nullptr;
    QComboBox* functionFilter_ = nullptr;
};

} // namespace quorvane
