// Creation of the converter, the preferences and the thresholds derived from
// them, and the control notifications the other programs send.
#include <atomic>
#include <cmath>
#include <ctime>
#include <memory>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/runloop/Clock.hpp"

namespace tact {
namespace {

AgentEnvironment* gSharedEnvironment = nullptr;

// The pane stores click timings as levels; one level is 25 ms (8 -> 0.2 s).
constexpr double kClickLevelSeconds = 0.025;
constexpr double kDefaultClickDuration = 0.2;
constexpr double kDefaultSuccessiveClickDuration = 0.30000000000000004;
constexpr double kGestureMoveLevelMin = 1;
constexpr double kGestureMoveLevelMax = 20;

// A preference read as one type; a value of another type counts as absent
// and is logged.
template <class Read>
auto typedPreference(const ZyvTouchConverter& c, std::string_view key, const char* expected,
                     Read read) -> decltype(read(std::declval<const platform::Value&>())) {
    auto v = c.CFPreferencesCopyAppValue(key);
    if (!v)
        return std::nullopt;
    if (auto typed = read(*v))
        return typed;
    platform::systemLog(platform::LogLevel::Warning,
                        "preference " + std::string(key) + " ignored: " + expected +
                            " was expected, not " + platform::Value::typeName(v->type()));
    return std::nullopt;
}

std::optional<double> numberPreference(const ZyvTouchConverter& c, std::string_view key) {
    return typedPreference(c, key, "a number",
                           [](const platform::Value& v) { return v.asNumber(); });
}

std::optional<bool> booleanPreference(const ZyvTouchConverter& c, std::string_view key) {
    return typedPreference(c, key, "a boolean",
                           [](const platform::Value& v) { return v.asBoolean(); });
}

std::optional<std::string> textPreference(const ZyvTouchConverter& c, std::string_view key) {
    return typedPreference(c, key, "a string",
                           [](const platform::Value& v) -> std::optional<std::string> {
                               if (const auto* text = v.asString(); text && text->isPlainText())
                                   return text->utf8();
                               return std::nullopt;
                           });
}

void warnLevelOutOfRange(std::string_view key, double level) {
    platform::systemLog(platform::LogLevel::Warning, "preference " + std::string(key) + " level " +
                                                         std::to_string(level) +
                                                         " ignored: out of range");
}

// A click timing level in seconds. Levels that are not finite, negative, or
// longer than any click can last (over 10 s) are refused for the default.
double clickLevelSeconds(const ZyvTouchConverter& c, std::string_view key, double fallback) {
    auto level = numberPreference(c, key);
    if (!level)
        return fallback;
    const double seconds = *level * kClickLevelSeconds;
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 10) {
        warnLevelOutOfRange(key, *level);
        return fallback;
    }
    return seconds;
}

// The movement level, within the settings' own range (1 to 20); a level
// beyond it would make the threshold negative or absurd, so it counts as absent.
std::optional<double> gestureMoveLevel(const ZyvTouchConverter& c) {
    auto level = numberPreference(c, kZyvTouchGestureMoveThreshold);
    if (level && !(*level >= kGestureMoveLevelMin && *level <= kGestureMoveLevelMax)) {
        warnLevelOutOfRange(kZyvTouchGestureMoveThreshold, *level);
        return std::nullopt;
    }
    return level;
}

}  // namespace

platform::PreferenceDomain& agentPreferences() {
    static platform::PreferenceDomain domain{platform::String(kZyvTouchSetting)};
    return domain;
}

void ZyvTouchConverter::setSharedEnvironment(AgentEnvironment* env) {
    gSharedEnvironment = env;
}

ZyvTouchConverter& ZyvTouchConverter::sharedConverter() {
    static std::atomic<ZyvTouchConverter*> slot{nullptr};
    if (ZyvTouchConverter* existing = slot.load(std::memory_order_acquire))
        return *existing;
    if (!gSharedEnvironment) {
        platform::systemLog(platform::LogLevel::Error,
                            "the converter was asked for before its environment was set");
        std::abort();
    }
    auto mine = std::make_unique<ZyvTouchConverter>(*gSharedEnvironment);
    ZyvTouchConverter* expected = nullptr;
    if (slot.compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel)) {
        return *mine.release();  // published: lives for the whole process
    }
    return *expected;
}

ZyvTouchConverter::ZyvTouchConverter(AgentEnvironment& env)
    : _logger(ZyvtouchLogger::shared()), environment(env) {
    _logger.setLogTypeMask(kLogStartupMask);
    initTouchesDelta();
    _inchSize = kDefaultInchSize;
    _deviceSerialNumber = platform::String(kNotAvailable);
    _deviceType = platform::String(kNotAvailable);
    _ShipDate = platform::String(kNotAvailable);
    _ShipTime = platform::String(kNotAvailable);
    _bootparamStr.reset();
    _deviceIsReady = false;
    deviceID = kDefaultProductID;

    fingerToTransducerMapInit();
    arrivingTouchesIndexMask = movingTouchesIndexMask = stayingTouchesIndexMask = 0;
    leavingTouchesIndexMask = pendingTouchesIndexMask = 0;
    for (auto* list :
         {&arrivingTouches, &movingTouches, &stayingTouches, &leavingTouches, &activeTouches}) {
        list->reserve(kTransducerCount);
    }
    calibrateInProgress = false;
    _bTouchTestMode = false;
    _activeApplicationBundleId.reset();

    initStateContext();

    controlObservation_ = environment.notifications.addObserver(
        platform::String(kControlNotification), platform::String(kControlObject),
        [this](const platform::Notification& n) { callbackWithNotification(n); });
    activationObservation_ = environment.desktop.observeApplicationActivation(
        [this](const std::string& bundleId) { appLaunchCallback(bundleId); });
    screenObservation_ = environment.desktop.observeScreenChanges([this] { screenChanged(); });
    systemVersion = environment.desktop.systemVersion();
}

ZyvTouchConverter::~ZyvTouchConverter() = default;

bool ZyvTouchConverter::set_inchSize(std::int32_t inches) {
    if (inches < 1) {
        platform::systemLog(platform::LogLevel::Warning,
                            "screen diagonal of " + std::to_string(inches) +
                                " inches ignored; keeping " + std::to_string(_inchSize));
        return false;
    }
    _inchSize = inches;
    return true;
}

bool ZyvTouchConverter::initStateContext() {
    CFPreferencesAppSynchronize();
    // The monitor the frame covers is the main screen.
    environment.desktop.setFrameOutput(textPreference(*this, kZyvTouchScreenOutput).value_or(""));
    screenRect = environment.desktop.mainScreenFrame();
    KWIDTH = screenRect.width;
    KHEIGHT = screenRect.height;

    isCalibrated = false;
    if (auto coefficients = CFPreferencesCopyAppValue(kZyvTouchCoefficients);
        coefficients && coefficients->isDictionary()) {
        const platform::Dictionary& d = *coefficients->asDictionary();
        const std::pair<std::string_view, double*> fields[] = {
            {kZyvTouchCoefficientKX1, &KX1},       {kZyvTouchCoefficientKX2, &KX2},
            {kZyvTouchCoefficientKX3, &KX3},       {kZyvTouchCoefficientKY1, &KY1},
            {kZyvTouchCoefficientKY2, &KY2},       {kZyvTouchCoefficientKY3, &KY3},
            {kZyvTouchCoefficientKWIDTH, &KWIDTH}, {kZyvTouchCoefficientKHEIGHT, &KHEIGHT}};
        std::size_t read = 0;
        for (const auto& [key, field] : fields) {
            auto n = d.number(platform::String(key));
            if (!n)
                break;
            *field = *n;
            ++read;
        }
        isCalibrated = read == std::size(fields);
        // A map that divides by zero, or whose numbers are not finite (four
        // samples on one line), would pin every touch to an edge: no calibration.
        if (isCalibrated) {
            bool finite = true;
            for (const auto& field : fields)
                finite = finite && std::isfinite(*field.second);
            if (!finite || KWIDTH == 0 || KHEIGHT == 0) {
                platform::systemLog(platform::LogLevel::Warning,
                                    "stored calibration ignored: it is degenerate (recalibrate)");
                isCalibrated = false;
            }
        }
    } else if (coefficients) {
        platform::systemLog(platform::LogLevel::Warning,
                            "stored calibration ignored: a dictionary was expected");
    }

    dictZyvStateContext.clear();
    dictZyvStateContext.set(kStateCurrent, kStateIdle);

    maxReportInterval = 1.0;
    readPreferences();

    timerSetDuration(timerClickDuration, kTimerClickDuration);
    timerSetDuration(timerClickDuration, kTimerDragDuration);
    timerSetDuration(timerSecondClickPendingDuration, kTimerSecondClickPendingDuration);
    timerSetDuration(timerSecondClickPendingDuration, kTimerThirdClickPendingDuration);
    timerMomentumPendingDuration = 0.1;
    timerSetDuration(timerMomentumPendingDuration, kTimerMomentumPendingDuration);
    dictZyvStateContext.set(kStateTimestamp, 0.0);
    registerStates();
    return true;
}

void ZyvTouchConverter::readPreferences() {
    // "InchSize" divides below: it is read as a whole number (a real is
    // truncated); a value of another type counts as absent, and one below one
    // inch is refused, keeping the diagonal we have.
    if (auto v = CFPreferencesCopyAppValue(kZyvTouchInchSize); v && v->isNumber()) {
        const double inches = *v->asNumber();
        if (std::isfinite(inches) && inches >= 1 && inches < 2147483648.0) {
            _inchSize = static_cast<std::int32_t>(inches);
        } else {
            platform::systemLog(platform::LogLevel::Warning,
                                "preference InchSize " + platform::describe(*v) +
                                    " ignored; keeping " + std::to_string(_inchSize));
        }
    } else {
        if (v) {
            platform::systemLog(platform::LogLevel::Warning,
                                std::string("preference InchSize ignored: a number was "
                                            "expected, not ") +
                                    platform::Value::typeName(v->type()));
        }
        _inchSize = kDefaultInchSize;
    }

    timerClickDuration = clickLevelSeconds(*this, kZyvTouchClickDuration, kDefaultClickDuration);
    timerSecondClickPendingDuration =
        clickLevelSeconds(*this, kZyvTouchSuccessiveClickDuration, kDefaultSuccessiveClickDuration);

    double g = 0.024;
    if (auto level = gestureMoveLevel(*this)) {
        g = (21 - *level) * static_cast<double>(0.002f);
    }
    const float r = 32.0f / static_cast<float>(_inchSize);
    g = g * r;
    g = (g - 0.002) * 0.5263157894736842 + 0.01;
    gestureMoveThreshold = g;
    cursorMoveThreshold = 0.02;
    gestureZoomThreshold = static_cast<double>(0.004f) * r;
    gestureRotateThreshold = static_cast<double>(0.04f);
    scrollArrowKey =
        booleanPreference(*this, kZyvTouchScrollArrowKey).value_or(kResetScrollArrowKey);

    char line[128];
    std::snprintf(line, sizeof line, "%f %f %f", gestureMoveThreshold, gestureZoomThreshold,
                  gestureRotateThreshold);
    platform::systemLog(platform::LogLevel::Info, line);
}

void ZyvTouchConverter::screenChanged() {
    // Positions are fractions of the main screen, and a stored calibration
    // maps onto fractions too: only the screen's size is taken over, so a
    // calibration survives a new mode or a move to another place.
    const platform::Rect before = screenRect;
    screenRect = environment.desktop.mainScreenFrame();
    if (screenRect == before)
        return;
    char line[160];
    std::snprintf(line, sizeof line, "main screen now %gx%g at %g,%g", screenRect.width,
                  screenRect.height, screenRect.x, screenRect.y);
    platform::systemLog(platform::LogLevel::Info, line);
}

void ZyvTouchConverter::resetToStateIdle() {
    stateRepeatTimes = 0;
    frameTransducers = 0;
    for (auto& t : transducerTouches)
        t.reset();
    fingerToTransducerMapInit();
    initStateContext();
}

void ZyvTouchConverter::callbackWithNotification(const platform::Notification& notification) {
    if (!notification.userInfo)
        return;
    const platform::Dictionary& info = *notification.userInfo;

    // Each key is acted on only when it holds the type it should; anything
    // else is logged and changes nothing.
    auto warnType = [](std::string_view key, const platform::Value& v) {
        platform::systemLog(platform::LogLevel::Warning,
                            "control " + std::string(key) + " ignored: unexpected " +
                                platform::Value::typeName(v.type()) + " value");
    };
    auto flag = [&](std::string_view key) -> std::optional<bool> {
        const platform::Value* v = info.find(platform::String(key));
        if (!v)
            return std::nullopt;
        if (auto b = v->asBoolean())
            return b;
        if (auto i = v->asInteger())
            return *i != 0;
        warnType(key, *v);
        return std::nullopt;
    };

    if (auto on = flag(kKeyCalibrateInProgress)) {
        if (*on) {
            calibrateInProgress = true;
        } else {
            calibrateInProgress = false;
            resetToStateIdle();
        }
    }
    if (auto reload = flag(kKeyPreferenceReload); reload && *reload)
        resetToStateIdle();

    if (const platform::Value* trigger = info.find(platform::String(kKeyLogTrigger))) {
        std::optional<std::int64_t> mask;
        if (auto b = trigger->asBoolean())
            mask = *b ? 1 : 0;
        if (auto i = trigger->asInteger())
            mask = *i;
        if (auto d = trigger->asReal(); d && std::isfinite(*d) && std::fabs(*d) < 2147483648.0) {
            mask = static_cast<std::int64_t>(*d);
        }
        std::optional<std::string> path;
        bool pathOk = true;
        if (const platform::Value* url = info.find(platform::String(kKeyLogURL))) {
            const platform::String* s = url->asString();
            if (s && s->isPlainText()) {
                path = *s->utf8();
            } else {
                warnType(kKeyLogURL, *url);
                pathOk = false;
            }
        }
        if (!mask || *mask < INT32_MIN || *mask > INT32_MAX) {
            warnType(kKeyLogTrigger, *trigger);
        } else if (pathOk) {
            _logger.setLogFile(path);
            _logger.setLogTypeMask(static_cast<std::int32_t>(*mask));
            contextLog();
        }
    }

    if (info.contains(platform::String(kKeyNeedSerialNumber)))
        postInformationReply();

    if (auto on = flag(kKeyTouchTestMode))
        _bTouchTestMode = *on;
}

void ZyvTouchConverter::postAgentNotification(const platform::Dictionary& userInfo) {
    environment.notifications.post(platform::String(kZyvTouchEventNotification),
                                   platform::String(kMultiTouchSupportObject), userInfo);
}

void ZyvTouchConverter::postInformationReply() {
    platform::Dictionary reply;
    reply.set(platform::String(kKeyDriverVersion), platform::String(kDriverVersion));
    reply.set(platform::String(kKeyIsDeviceReady), _deviceIsReady);
    // The reply ends at the first value that is missing.
    const std::pair<std::string_view, const std::optional<platform::String>*> texts[] = {
        {kKeySerialNumber, &_deviceSerialNumber},
        {kKeyBootParam, &_bootparamStr},
        {kKeyType, &_deviceType},
        {kKeyShipTime, &_ShipTime},
        {kKeyShipDate, &_ShipDate}};
    bool complete = true;
    for (const auto& [key, value] : texts) {
        if (!*value) {
            complete = false;
            break;
        }
        reply.set(platform::String(key), **value);
    }
    if (complete)
        reply.set(platform::String(kKeyProductID), static_cast<std::int64_t>(deviceID));
    postAgentNotification(reply);
}

void ZyvTouchConverter::appLaunchCallback(const std::string& bundleIdentifier) {
    if (bundleIdentifier.empty())
        return;
    _activeApplicationBundleId = bundleIdentifier;
}

void ZyvTouchConverter::contextLog() {
    if (!_logger.isEnabled(kLogReports))
        return;
    auto text = [](const std::optional<platform::String>& s) {
        return s ? s->toUtf8Lossy() : std::string("(null)");
    };
    std::time_t now = static_cast<std::time_t>(CFAbsoluteTimeGetCurrent() +
                                               platform::kAbsoluteTimeIntervalSince1970);
    std::tm local{};
    localtime_r(&now, &local);
    char date[32], time[32];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
    // The ship date and time share the "ShipTime" field, and the boot
    // parameters are shown as hex, so every value appears once and in ASCII.
    std::string ship = text(_ShipDate) + " " + text(_ShipTime);
    std::string bootparam = "(null)";
    if (_bootparamStr) {
        bootparam.clear();
        char hex[8];
        for (char16_t unit : _bootparamStr->units()) {
            std::snprintf(hex, sizeof hex, "%04x", static_cast<unsigned>(unit));
            bootparam += hex;
        }
    }
    _logger.logf(kLogReports,
                 "\nLog Date: %s,Time:%s,\nSerial Number: %s, Type:%s,ShipTime:%s, bootparam:%s "
                 "\nFirmware: 0x%x,0x%x, Driver Version: %s\n",
                 date, time, text(_deviceSerialNumber).c_str(), text(_deviceType).c_str(),
                 ship.c_str(), bootparam.c_str(), 9161, 22118, std::string(kDriverVersion).c_str());
    _logger.logf(kLogReports, "System version:%f, Screen:%f,%f\n",
                 double(systemVersion.major) + systemVersion.minor / 100.0, screenRect.width,
                 screenRect.height);
    _logger.logf(kLogReports, "Caliberated:%d, KX1~3:%f,%f,%f, KY1~3:%f,%f,%f, W,H:%f,%f\n",
                 isCalibrated ? 1 : 0, KX1, KX2, KX3, KY1, KY2, KY3, KWIDTH, KHEIGHT);
    _logger.logf(kLogReports, "Preferences:gesture:%f, click:%f, second click:%f\n",
                 gestureMoveThreshold, timerClickDuration, timerSecondClickPendingDuration);
}

}  // namespace tact
