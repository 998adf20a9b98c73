// The gesture paths the shipped-agent benchmark plays: touch reports, as the
// frame sends them, that keep the converter in one kind of gesture over and
// over (a tap, a drag, a scroll, a pinch, a swipe, ...).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/ShippedAgent.hpp"
#include "platform/values/Value.hpp"

namespace tact::bench {

struct GesturePath {
    std::string name;
    // Reports: each report is a measured cycle. Timers: the loop is an
    // episode that sets off a timer (the momentum tick); the firings are
    // the measured cycles.
    enum class Kind { Reports, Timers } kind = Kind::Reports;
    std::vector<Step> warmup;
    std::vector<Step> loop;
    // Control notifications sent before and after the path (a mode).
    std::optional<platform::Dictionary> before, after;
    bool inBrowser = false;   // a browser is the active application
    bool swipe = false;       // acts on the user's hot keys
    bool diagnostic = false;  // a mode allowed to allocate (touch test, calibration)
};

std::vector<GesturePath> gesturePaths();

}  // namespace tact::bench
