// The agent's central object: device information, touch tracking, the gesture
// state machine and the tuning values derived from the preferences.
//
// One class, as the rest of the suite knows it; its implementation is split
// into files by concern:
//   Setup.cpp      creation, preferences and thresholds, control notifications
//   Decoding.cpp   touch report layouts and the three tracking passes
//   Tracking.cpp   finger IDs to transducers, touch dictionaries, calibration
//   Cycle.cpp      the report cycle: touch sets, state step, calibration taps
//   Geometry.cpp   centroid, mean angle and radius, and the step detector
//   StateMachine.cpp  the state table, deadlines, cursor touch, idle states
//   OneFinger.cpp  pointer moves, clicks and drags
//   Classification.cpp  which two-finger gesture, and the per-frame checks
//   TwoFingers.cpp  right click, scroll with momentum, magnify, rotate
//   MultiFinger.cpp the states of three to five fingers, swipes and pinches
//   SwipeActions.cpp the desktop actions swipes and pinches carry out
//   Posting.cpp    the gesture queue turned into events
//   Publishing.cpp raw reports for the touch painter
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "agent/converter/Gesture.hpp"
#include "agent/converter/StateContext.hpp"
#include "agent/converter/Touch.hpp"
#include "agent/logger/ZyvtouchLogger.hpp"
#include "agent/protocol/FrameProtocol.hpp"
#include "platform/desktop/Desktop.hpp"
#include "platform/events/Events.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace tact {

// Baselines of the step detector, one per group of touches measured since
// the last reset.
struct MoveBaseline {
    double centerX = 0, centerY = 0;      // "center.x", "center.y"
    double sumDeltaX = 0, sumDeltaY = 0;  // "sum.delta.x", "sum.delta.y"
};
struct RadiusBaseline {
    double avgRadius = 0;       // "avg.radius"
    double sumDeltaRadius = 0;  // "sum.Delta.radius"
};
struct AngleBaseline {
    double avgAngle = 0;       // "avg.angle"
    double sumDeltaAngle = 0;  // "sum.Delta.angle"
};

// The touch-delta record: the centroid measured last, the running sums of
// accepted steps, and the baselines by touch mask.
struct touches_delta_t {
    double centerX = 0;
    double centerY = 0;
    double sumDeltaX = 0;
    double sumDeltaY = 0;
    double sumDeltaAngle = 0;
    double sumDeltaRadius = 0;
    std::vector<std::pair<std::int64_t, MoveBaseline>> touchesMoveMap;
    std::vector<std::pair<std::int64_t, RadiusBaseline>> touchesRadiusMap;
    std::vector<std::pair<std::int64_t, AngleBaseline>> touchesAngleMap;
};

// The angle step from a to b (see Geometry.cpp for the rule).
double tlCGAngleDifference(double a, double b);
double getAngle(double x, double y);

// The agent's own preference domain, the one its settings are stored in.
platform::PreferenceDomain& agentPreferences();

// The services the agent runs on: real ones in tactagent, virtual ones in
// tactreplay and the tests. The converter touches nothing else: the loop is
// its only clock, events go to and the pointer comes from `events`, its
// settings from `preferences`.
struct AgentEnvironment {
    platform::RunLoop& loop;
    platform::NotificationCenter& notifications;
    platform::Desktop& desktop;
    platform::events::EventService& events = platform::events::processEventService();
    platform::PreferenceDomain& preferences = agentPreferences();
};

class ZyvTouchConverter {
  public:
    // The one converter of the process, created on first use (needs
    // setSharedEnvironment first).
    static ZyvTouchConverter& sharedConverter();
    static void setSharedEnvironment(AgentEnvironment* environment);

    explicit ZyvTouchConverter(AgentEnvironment& environment);
    ~ZyvTouchConverter();
    ZyvTouchConverter(const ZyvTouchConverter&) = delete;
    ZyvTouchConverter& operator=(const ZyvTouchConverter&) = delete;

    // --- set-up, preferences, control notifications ---------------------
    bool initStateContext();
    void callbackWithNotification(const platform::Notification& notification);
    void appLaunchCallback(const std::string& bundleIdentifier);
    // The main screen moved, changed its size, or another monitor was chosen.
    void screenChanged();
    void contextLog();
    void resetToStateIdle();

    // --- report decoding -------------------------------------------------
    void submitMTReport(std::span<const std::uint8_t> report);
    void submitTimestamp(double t);
    void submitMTTouches6Points(std::span<const std::uint8_t> report);
    void submitMTFakeTouches10Points(std::span<const std::uint8_t> report);
    void submitMTTouches10Points(std::span<const std::uint8_t> report);

    // --- tracking ----------------------------------------------------------
    void fingerToTransducerMapInit();
    std::optional<std::int64_t> fingerToTransducerFind(std::int64_t fingerID) const {
        const std::int16_t index = transducerOfFinger(fingerID);
        if (index < 0)
            return std::nullopt;
        return index;
    }
    std::int64_t fingerToTransducerMap(std::int64_t fingerID);
    void fingerToTransducerUnmap(std::int64_t fingerID);
    void fingerToTransducerRemap(std::int64_t fingerID, std::int64_t transducerIndex);
    void submitMatchedTouch(const ContactRecord& record);
    void submitUnmatchedTouch(const ContactRecord& record);
    void submitArrivingTouch(const ContactRecord& record);
    void submitTouch(const ContactRecord& record);
    // Unit-square position of raw device coordinates (calibrated, clamped, logged).
    platform::Point unitSquarePosition(std::int64_t rawX, std::int64_t rawY) const;

    // --- the report cycle --------------------------------------------------
    void submitGesture();
    // Touch-set update at the start of a cycle; false when nothing was filed.
    bool updateTouchSets();
    void cleanupTouchSets();
    // Active finger count: live transducers less those leaving.
    int activeFingerCount() const;

    // --- touch geometry ------------------------------------------------------
    void initTouchesDelta();
    void finiTouchesDelta();
    void resetTouchesDelta();
    void calcCenter(TouchMask mask, double* x, double* y) const;
    double calcAvgAngle(TouchMask mask, double cx, double cy) const;
    double calcAvgRadius(TouchMask mask, double cx, double cy) const;
    void calcDeltas(TouchMask mask, double* dx, double* dy, double* dAngle, double* dRadius);
    static platform::Point pointFromTouch(const Touch& touch);
    touches_delta_t touchesDelta;

    // --- the state machine ---------------------------------------------------
    void registerStates();
    void timerSetDuration(double seconds, std::string_view durationName);
    void timerRestart(std::string_view deadline, std::string_view durationName);
    bool timerExpired(std::string_view deadline) const;
    void timerStop(std::string_view deadline);
    // The touch that drives the pointer, or nullptr.
    const Touch* touchForCursor();
    std::string_view stateIdleAction();
    std::string_view statePreIdleAction();
    // Runs the named operation of a state record; false when there is none.
    std::string_view runAction(std::string_view operation);
    void runOperation(std::string_view operation);

    // --- one finger ---------------------------------------------------------
    bool actionCursorMove(float x, float y);
    void actionCursorDrag(float x, float y, std::uint32_t phase);
    void actionLeftClick();
    void actionSecondClick();
    void actionThirdClick();
    void actionRightClick();
    void state1Finger0Entry();
    std::string_view state1Finger0Action();
    std::string_view state1FingerMoveAction();
    std::string_view state1FingerDragAction();

    // --- two fingers: classification -------------------------------------------
    // The touches of a gesture check: arriving, staying and moving.
    TouchMask gestureTouchMask() const {
        return arrivingTouchesIndexMask | stayingTouchesIndexMask | movingTouchesIndexMask;
    }
    void state2FingersGestureCheckPrepare();
    // The next state's name, or empty to stay.
    std::string_view state2Fingers0GestureCheck2(StateContext& context);
    bool state2FingersRotateCheck(StateContext& context);
    bool state2FingersMagnifyCheck(StateContext& context);
    bool state2FingersScrollCheck(StateContext& context, std::uint32_t phase);

    // --- two fingers: states and momentum ---------------------------------------
    void state2Fingers0Entry();
    void state2FingersRotateExit();
    void state2FingersMagnifyExit();
    void state2FingersScrollEntry();
    void state2FingersScrollExit();
    void state2FingersMomentumScrollEntry();
    void initMomentumScrollDeltaX(std::int32_t dx, std::int32_t dy);
    std::int32_t nextMomentumScrollDeltaX(std::int32_t current);
    std::int32_t nextMomentumScrollDeltaY(std::int32_t current);
    void postMomentumScroll(std::int32_t dx, std::int32_t dy, std::uint32_t phase);
    void doMomentumScroll(platform::Timer& timer);
    bool momentumRunning() const { return momentumTimer_.isValid(); }

    // --- three to five fingers ------------------------------------------------
    void state5FingersG5GestureCheckPrepare();
    void state3Fingers0Entry();
    void state4Fingers0Entry();
    void state5Fingers0Entry();
    void state3FingersG3Exit() {}
    void state4FingersG4Exit() {}
    void state5FingersG5Exit() {}
    bool state3FingersG3GestureCheck(StateContext& context);
    bool state4FingersG4GestureCheck(StateContext& context);
    bool state5FingersG5GestureCheck(StateContext& context);
    // Direction of a motion: up or down when it is more than twice as tall as wide.
    static SwipeDirection swipeDirection(double width, double height);
    static std::uint32_t classifyBasedOnSwipe(double width, double height, double magnification,
                                              double rotation);

    // --- swipe actions ----------------------------------------------------------
    // The action of a three-finger swipe; empty for none.
    std::string_view actionForSwipe(std::uint32_t direction) const;
    std::string_view actionFor4FingersSwipe(std::uint32_t direction) const;
    std::string_view actionFor5FingersSwipe(std::uint32_t direction) const;
    void actionWithSwipe(std::uint32_t direction);
    void actionWith4FingersSwipe(std::uint32_t direction);
    void actionWith5FingersSwipe(std::uint32_t direction);
    // The action of a display name ("Exposé" -> "32"); empty for none.
    static std::string_view actionWithName(std::string_view name);
    void actionWithPinch(std::int64_t direction);

    std::string_view state2Fingers0Action();
    std::string_view state2FingersRotateAction();
    std::string_view state2FingersMagnifyAction();
    std::string_view state2FingersScrollAction();
    std::string_view state2FingersMomentumScrollAction();
    std::string_view state3Fingers0Action();
    std::string_view state3FingersG3Action();
    std::string_view state4Fingers0Action();
    std::string_view state4FingersG4Action();
    std::string_view state5Fingers0Action();
    std::string_view state5FingersG5Action();

    // --- posting ------------------------------------------------------------
    void postGestures();
    void postCalibrationTap();

    // --- raw report publishing ----------------------------------------------
    bool isPostReport() const { return _bTouchTestMode; }
    void postReport(std::span<const std::uint8_t> report);
    void postTouch(const ContactRecord& record, int index, platform::Dictionary& dict) const;

    // --- properties ----------------------------------------------------------
    const BootParam_& bootparam() const { return _bootparam; }
    void set_bootparam(const BootParam_& b) { _bootparam = b; }
    const std::optional<platform::String>& bootparamStr() const { return _bootparamStr; }
    void set_bootparamStr(std::optional<platform::String> s) { _bootparamStr = std::move(s); }
    const std::optional<platform::String>& ShipTime() const { return _ShipTime; }
    void set_ShipTime(std::optional<platform::String> s) { _ShipTime = std::move(s); }
    const std::optional<platform::String>& ShipDate() const { return _ShipDate; }
    void set_ShipDate(std::optional<platform::String> s) { _ShipDate = std::move(s); }
    const std::optional<platform::String>& deviceType() const { return _deviceType; }
    void set_deviceType(std::optional<platform::String> s) { _deviceType = std::move(s); }
    bool deviceIsReady() const { return _deviceIsReady; }
    void set_deviceIsReady(bool ready) { _deviceIsReady = ready; }
    const std::optional<platform::String>& deviceSerialNumber() const {
        return _deviceSerialNumber;
    }
    void set_deviceSerialNumber(std::optional<platform::String> s) {
        _deviceSerialNumber = std::move(s);
    }
    std::uint16_t getDeviceID() const { return deviceID; }
    void setDeviceID(std::uint16_t id) { deviceID = id; }
    std::int32_t inchSize() const { return _inchSize; }
    // Sets the diagonal; a size below 1 inch is refused (it is a divisor).
    bool set_inchSize(std::int32_t inches);

    // Everything the tests and the later stages read.
    double cursorMoveThreshold = 0;
    double gestureMoveThreshold = 0;
    double gestureZoomThreshold = 0;
    double gestureRotateThreshold = 0;
    // "ScrollArrowKey": an arrow keystroke when a two-finger scroll is recognised.
    bool scrollArrowKey = false;
    double timerClickDuration = 0;
    double timerSecondClickPendingDuration = 0;
    double timerMomentumPendingDuration = 0.1;
    double maxReportInterval = 1.0;
    platform::Rect screenRect;
    bool calibrateInProgress = false;
    bool _bTouchTestMode = false;
    std::optional<std::string> _activeApplicationBundleId;

    // Calibration.
    bool isCalibrated = false;
    double KX1 = 0, KX2 = 0, KX3 = 0, KY1 = 0, KY2 = 0, KY3 = 0;
    double KWIDTH = 0, KHEIGHT = 0;

    // Tracker state.
    std::array<std::int16_t, 256> fingerToTransducerMapTable{};  // finger ID -> index, -1 none
    std::uint32_t fingerToTransducerMapChanges = 0;              // counts every change of the table
    std::uint64_t transducerIndexPool = ~std::uint64_t{0};
    std::uint8_t transducerAllocatedIndex = 0;
    std::array<std::optional<Touch>, kTransducerCount> transducerTouches;
    TouchMask frameTransducers = 0;  // the live transducers, bit per index
    TouchMask arrivingTouchesIndexMask = 0;
    TouchMask movingTouchesIndexMask = 0;
    TouchMask stayingTouchesIndexMask = 0;
    TouchMask leavingTouchesIndexMask = 0;
    TouchMask pendingTouchesIndexMask = 0;
    TouchMask activeTouchesIndexMask = 0;
    std::vector<Touch> arrivingTouches;
    std::vector<Touch> movingTouches;
    std::vector<Touch> stayingTouches;
    std::vector<Touch> leavingTouches;
    std::vector<Touch> activeTouches;

    // Split reports: the first half of a report of more than six contacts.
    std::array<std::uint8_t, kTouchReportSize> prevMTReport{};
    std::size_t prevMTReportLength = 0;
    std::uint8_t prevActualCount = 0;

    // The state machine.
    StateContext dictZyvStateContext;
    std::uint32_t stateRepeatTimes = 0;
    std::vector<GestureRecord> actions;  // the gesture queue of the cycle
    platform::Dictionary gestureInfo;    // payload of the next system gesture event

    // The running system's version.
    platform::SystemVersion systemVersion;

    ZyvtouchLogger& _logger;
    AgentEnvironment& environment;

    // --- the platform calls the converter makes, by their usual names, ------
    // --- answered by its environment rather than by the process --------------
    double CFAbsoluteTimeGetCurrent() const { return environment.loop.absoluteTime(); }
    void CGEventPost(platform::events::CGEventTapLocation /*tap*/,
                     const platform::events::CGEventRef& event) const {
        environment.events.post(event);
    }
    platform::events::CGEventRef CGEventCreate(
        const platform::events::CGEventSourceRef& /*source*/) const {
        return environment.events.create();
    }
    std::optional<platform::Value> CFPreferencesCopyAppValue(std::string_view key) const {
        return environment.preferences.copyAppValue(platform::String(key));
    }
    bool CFPreferencesAppSynchronize() const { return environment.preferences.synchronize(); }

  private:
    platform::Point pointerLocation() const;
    void queue(GestureRecord record) { actions.push_back(record); }
    void postAgentNotification(const platform::Dictionary& userInfo);
    void postInformationReply();
    void fileTouch(const Touch& touch, TouchMask& mask, std::vector<Touch>& list);
    void readPreferences();
    // Hands every record of a report to the three tracking passes, looking
    // each finger up once.
    void runTrackingPasses(std::span<const ContactRecord> records);
    // The transducer index the table holds for fingerID, or -1.
    std::int16_t transducerOfFinger(std::int64_t fingerID) const {
        if (fingerID < 0 || fingerID > 255)
            return -1;
        return fingerToTransducerMapTable[static_cast<std::size_t>(fingerID)];
    }
    // Takes a transducer index for a finger the table does not hold.
    std::int64_t fingerToTransducerAllocate(std::int64_t fingerID);
    // The passes and the hand-over, given what the table holds for the
    // record's finger now (-1: nothing).
    void submitMatchedTouch(const ContactRecord& record, std::int16_t transducer);
    void submitUnmatchedTouch(const ContactRecord& record, std::int16_t transducer);
    void submitArrivingTouch(const ContactRecord& record, std::int16_t transducer);
    void submitTouch(const ContactRecord& record, std::int16_t transducer);

    BootParam_ _bootparam;
    std::optional<platform::String> _bootparamStr;
    std::optional<platform::String> _ShipTime;
    std::optional<platform::String> _ShipDate;
    std::optional<platform::String> _deviceType;
    bool _deviceIsReady = false;
    std::optional<platform::String> _deviceSerialNumber;
    std::uint16_t deviceID = 22118;
    std::int32_t _inchSize = 32;

    // Ends the gesture whose begin record was queued (end record, type 15).
    void endTwoFingerGesture();
    void stopMomentum();
    // Emits a swipe record on the first detection and on each reversal.
    void swipeDirectionStep(StateContext& context, double accX, double accY, std::int64_t type,
                            const char* label);
    // Adds the position steps to the accumulators; true once past limit.
    bool accumulateMotion(StateContext& context, double limit, double* accX, double* accY,
                          const char* label);
    void performSwipe(std::string_view action, std::uint32_t direction, bool noneIsGesture);
    platform::Timer momentumTimer_;
    platform::Observation controlObservation_;
    platform::Observation activationObservation_;
    platform::Observation screenObservation_;
};

}  // namespace tact
