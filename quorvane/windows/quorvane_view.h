// The item list of one group: one text row per item in three columns, a
// selection by mouse and keys, scrolling by rows; rows of bad and uncertain
// values in their colours, each row's quality, status, time and point in
// its tooltip. The rows and the scroll arithmetic
// are the model's (CItemListState, BuildScreenDrawList); this widget feeds
// them its events and paints the draw list in a fixed font.
//
// Threads. Data changes arrive on the OPC service thread. The view never
// touches a widget from there: the first change after a paint queues one
// repaint to the user-interface thread and later ones only note that the
// columns must close up, so a burst of changes costs at most one pending
// repaint.
#pragma once

#include "model/item_list.h"
#include "model/quorvane_doc.h"
#include "model/view_metrics.h"

#include <QAbstractScrollArea>
#include <QColor>

#include <atomic>
#include <memory>

namespace quorvane {

class CQuorvaneView : public QAbstractScrollArea, public CGroupObserver {
  public:
    explicit CQuorvaneView(std::shared_ptr<CQuorvaneDoc> doc, QWidget* parent = nullptr);
    ~CQuorvaneView() override;

    CQuorvaneDoc& Doc() const { return *doc_; }
    const std::shared_ptr<CQuorvaneDoc>& DocPtr() const { return doc_; }
    const CItemListState& ListState() const { return state_; }
    // True when the selected row designates an item.
    bool HasSelectedItem() const;
    int SelectedRow() const { return state_.selectedRow; }

    // Item Remove: the selected item leaves the group; the selection stays on
    // its index.
    void RemoveSelectedItem();
    // A scroll request as the scroll bar sends it.
    void ScrollBy(ScrollCode code, int thumbPos = 0);

    // Stops following the group (before it closes); idempotent.
    void Detach();

    // What the last paint drew, and how many paints ran.
    const DrawList& LastDrawList() const { return lastDrawList_; }
    int PaintCount() const { return paintCount_; }
    // How many repaints the data-change bridge delivered.
    int BridgedRepaints() const { return bridgedRepaints_; }

    // Called by a double click on an item; the main window runs the mapping
    // edit through its handlers.
    void SetEditMappingHandler(std::function<void()> handler) { editMapping_ = std::move(handler); }
    // Called by the Delete key; the main window runs Item Remove, whose rule
    // decides.
    void SetRemoveHandler(std::function<void()> handler) { remove_ = std::move(handler); }

    // The tooltip of the row at viewport y: empty in the header or below the
    // last item.
    QString ToolTipAt(int y) const;

    // The text colour of a row drawn with `flags` (kDrawBad, kDrawUncertain,
    // kDrawInverted) on this view's palette: the window text, or red and
    // amber in the shade that stands out from the background it sits on.
    QColor TextColor(uint32_t flags) const;

    // CGroupObserver, any thread.
    void OnGroupChanged(CQuorvaneDoc& doc, GroupChange change) override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

  private:
    void OnScrollAction(int action);
    void SyncScrollBar();
    void Repaint(); // user-interface thread: apply a noted reset, repaint

    std::shared_ptr<CQuorvaneDoc> doc_;
    bool attached_ = false;
    CItemListState state_;
    DrawList lastDrawList_;
    int paintCount_ = 0;
    int bridgedRepaints_ = 0;
    int ascent_ = 0;
    std::function<void()> editMapping_;
    std::function<void()> remove_;

    // The bridge from the data-change thread.
    std::atomic<bool> repaintQueued_{false};
    std::atomic<bool> itemsChanged_{false};
};

} // namespace quorvane
