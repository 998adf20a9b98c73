// One QApplication on Qt's offscreen platform for a fuzz target's lifetime,
// with a runtime folder of its own: no display is needed.
#pragma once

#include <QApplication>
#include <QPointingDevice>

#include <memory>

#include "fuzz/FuzzInput.hpp"

namespace tact::fuzz {

class OffscreenApp {
  public:
    OffscreenApp() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_RUNTIME_DIR", runtime_.path().c_str());
        app_ = std::make_unique<QApplication>(argc_, argv_);
        // Qt makes its core pointer, a child of the application, when a window
        // first needs one, and with it the list every input device joins. Made
        // now, that list outlives this object at exit; made later, it is gone
        // before the application's children are, and their destructors crash.
        QPointingDevice::primaryPointingDevice();
    }

  private:
    ScratchDir runtime_;
    static inline int argc_ = 1;
    static inline char name_[] = "tact-fuzz";
    static inline char* argv_[] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

}  // namespace tact::fuzz
