// The window of one open group: holds its item list. Closing it closes the
// group (Group Remove); when the group closes first (a restore, the
// shutdown), the window closes without closing it again.
#pragma once

#include "model/quorvane_model.h"
#include "windows/quorvane_view.h"

#include <QMdiSubWindow>

#include <memory>

namespace quorvane {

class CChildFrame : public QMdiSubWindow {
  public:
    CChildFrame(CQuorvaneModel& model, std::shared_ptr<CQuorvaneDoc> doc, QWidget* parent = nullptr);

    CQuorvaneView* View() const { return view_; }
    const std::shared_ptr<CQuorvaneDoc>& Doc() const { return doc_; }

    // The group is closing elsewhere: stop following it and close the window.
    void GroupClosing();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    CQuorvaneModel& model_;
    std::shared_ptr<CQuorvaneDoc> doc_;
    CQuorvaneView* view_ = nullptr;
    bool groupClosed_ = false;
};

} // namespace quorvane
