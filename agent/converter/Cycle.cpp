// The report cycle: the touch sets are brought up to date, the gesture
// machine runs, and the cycle's leaving touches are forgotten.
#include <bit>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "common/Notifications.hpp"

namespace tact {

int ZyvTouchConverter::activeFingerCount() const {
    return std::popcount(frameTransducers) - static_cast<int>(leavingTouches.size());
}

bool ZyvTouchConverter::updateTouchSets() {
    const TouchMask filed = arrivingTouchesIndexMask | stayingTouchesIndexMask |
                            movingTouchesIndexMask | leavingTouchesIndexMask;
    if (filed == 0)
        return false;

    // Transducers without a record of their own are held in place for two
    // cycles, then leave.
    pendingTouchesIndexMask = 0;
    for (TouchMask left = frameTransducers & ~filed; left != 0; left &= left - 1) {
        const int index = std::countr_zero(left);
        auto& touch = transducerTouches[static_cast<std::size_t>(index)];
        if (!touch)
            continue;
        pendingTouchesIndexMask |= bitOf(index);
        if (touch->pendingCount < 2) {
            touch->pendingCount += 1;
            fileTouch(*touch, stayingTouchesIndexMask, stayingTouches);
        } else {
            fileTouch(*touch, leavingTouchesIndexMask, leavingTouches);
        }
    }

    activeTouchesIndexMask =
        arrivingTouchesIndexMask | stayingTouchesIndexMask | movingTouchesIndexMask;
    activeTouches.clear();
    activeTouches.insert(activeTouches.end(), arrivingTouches.begin(), arrivingTouches.end());
    activeTouches.insert(activeTouches.end(), stayingTouches.begin(), stayingTouches.end());
    activeTouches.insert(activeTouches.end(), movingTouches.begin(), movingTouches.end());

    // The separators after the first two pairs are full-width commas.
    _logger.logf(kLogStates,
                 "%02lu: %2lu(%16lx)\xEF\xBC\x8C%2lu(%16lx)\xEF\xBC\x8C%2lu(%16lx) %2lu(%16lx) "
                 "(%16lx) ",
                 static_cast<unsigned long>(activeTouches.size()),
                 static_cast<unsigned long>(arrivingTouches.size()),
                 static_cast<unsigned long>(arrivingTouchesIndexMask),
                 static_cast<unsigned long>(stayingTouches.size()),
                 static_cast<unsigned long>(stayingTouchesIndexMask),
                 static_cast<unsigned long>(movingTouches.size()),
                 static_cast<unsigned long>(movingTouchesIndexMask),
                 static_cast<unsigned long>(leavingTouches.size()),
                 static_cast<unsigned long>(leavingTouchesIndexMask),
                 static_cast<unsigned long>(pendingTouchesIndexMask));
    return true;
}

void ZyvTouchConverter::cleanupTouchSets() {
    for (const Touch& touch : leavingTouches) {
        fingerToTransducerUnmap(touch.identity);
        transducerTouches[static_cast<std::size_t>(touch.transducerIndex & 63)].reset();
        frameTransducers &= ~bitOf(touch.transducerIndex);
    }
    arrivingTouches.clear();
    movingTouches.clear();
    stayingTouches.clear();
    leavingTouches.clear();
    arrivingTouchesIndexMask = movingTouchesIndexMask = 0;
    stayingTouchesIndexMask = leavingTouchesIndexMask = 0;
}

void ZyvTouchConverter::submitGesture() {
    actions.clear();
    if (!updateTouchSets())
        return;

    // The current state's action chooses the next state; on a change the
    // current state's exit runs, then the next state's entry.
    // The record is copied: the operations below add entries to the context,
    // which may move what a pointer into it would point at.
    const std::string_view current = dictZyvStateContext.name(kStateCurrent);
    std::optional<StateRecord> record;
    if (const StateRecord* r = dictZyvStateContext.record(current))
        record = *r;
    stateRepeatTimes += 1;
    const std::string_view next = record ? runAction(record->selectorAction) : current;
    if (!next.empty() && next != current) {
        _logger.logf(kLogStates, "exit %.*s @ %d ", static_cast<int>(current.size()),
                     current.data(), static_cast<int>(stateRepeatTimes));
        stateRepeatTimes = 0;
        if (record)
            runOperation(record->selectorExit);
        dictZyvStateContext.set(kStateCurrent, next);
        _logger.logf(kLogStates, "enter %.*s", static_cast<int>(next.size()), next.data());
        if (const StateRecord* entered = dictZyvStateContext.record(next)) {
            const std::string_view entry = entered->selectorEntry;
            runOperation(entry);
        }
    }

    if (calibrateInProgress)
        postCalibrationTap();
    postGestures();
    cleanupTouchSets();
}

void ZyvTouchConverter::postCalibrationTap() {
    const Touch* cursor = touchForCursor();
    std::optional<platform::Dictionary> info;
    if (cursor && !(leavingTouchesIndexMask & bitOf(cursor->transducerIndex))) {
        info = platform::Dictionary{
            {kKeyTapLocation, cursor->toDictionary()},
            {kKeyActiveTouchCount, static_cast<std::int64_t>(activeFingerCount())}};
    }
    environment.notifications.post(platform::String(kZyvTouchEventNotification),
                                   platform::String(kMultiTouchSupportObject), info);
}

}  // namespace tact
