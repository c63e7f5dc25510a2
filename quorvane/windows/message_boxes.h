// Operator messages as modal message boxes: caption "Quorvane", an OK
// button, the stop icon where the message asks for it.
#pragma once

#include "frame/main_frame.h"

#include <functional>
#include <string>

namespace quorvane {

class CMessageBoxes : public CMessageSink {
  public:
    void ShowMessage(const std::string& text, MessageIcon icon) override;
    // The cause shows beneath the text, as the box's informative text.
    void ShowMessageWithCause(const std::string& text, const std::string& cause, MessageIcon icon) override;

    // Tests see each message here instead of a box that waits for a click.
    using Observer = std::function<void(const std::string& text, const std::string& cause, MessageIcon icon)>;
    void SetObserverInsteadOfBoxes(Observer observer) { observer_ = std::move(observer); }

  private:
    Observer observer_;
};

} // namespace quorvane
