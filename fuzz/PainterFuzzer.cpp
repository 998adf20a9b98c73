// Raw touch reports of any shape ("MTouch Report") to the painter: through
// the local notification centre to its touch view, whose tick paints them on
// a window of Qt's offscreen platform; and through the report reader on its
// own, which must cap what it returns.
//
// Input: reports, each a dictionary (FuzzInput.hpp) and a byte of time to
// pass (in 1/100 s) before the next.
#include <QCoreApplication>

#include <cstdint>
#include <memory>

#include "common/Notifications.hpp"
#include "fuzz/FuzzInput.hpp"
#include "fuzz/QtOffscreen.hpp"
#include "painter/ReportReader.hpp"
#include "painter/TouchView.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/runloop/VirtualRunLoop.hpp"

using namespace tact;

namespace {

struct World {
    World() : loop(800000000.0), notifications(platform::makeLocalNotificationCenter(loop)) {
        platform::setSystemLogLevel(platform::LogLevel::Error);
        view = std::make_unique<TouchView>(*notifications, loop);
        view->resize(320, 240);
        view->show();
        view->awakeFromNib();
    }
    fuzz::OffscreenApp app;
    platform::VirtualRunLoop loop;
    std::unique_ptr<platform::NotificationCenter> notifications;
    std::unique_ptr<TouchView> view;
};

World& world() {
    static World w;
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World& w = world();
    fuzz::Reader in({data, size});
    for (int reports = 0; !in.atEnd() && reports < 256; ++reports) {
        const platform::Dictionary info = fuzz::decodeDictionary(in, 1);
        const TouchReport report = readTouchReport(info);
        if (report.touches.size() > static_cast<std::size_t>(kMaxTouchesPerReport))
            __builtin_trap();
        w.notifications->post(platform::String(kMTouchReportNotification),
                              platform::String(kMultiTouchSupportObject), info);
        w.loop.runUntil(w.loop.absoluteTime() + in.u8() / 100.0);
    }
    w.loop.runUntil(w.loop.absoluteTime() + 0.1);  // the next tick paints the rest
    QCoreApplication::processEvents();             // repaints, as Qt's own loop would
    return 0;
}
