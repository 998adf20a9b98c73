// The states of two fingers. Until scrolling, magnify and rotate are
// recognised they follow only the finger count and queue nothing.
#include "agent/converter/ZyvTouchConverter.hpp"

namespace tact {
namespace {

std::string_view upward(int n) {
    switch (n) {
        case 3: return kState3Fingers0;
        case 4: return kState4Fingers0;
        default: return kState5Fingers0;
    }
}

}  // namespace

std::string_view ZyvTouchConverter::state2Fingers0Action() {
    const int n = activeFingerCount();
    if (n <= 1) return kStateIdle;
    if (n == 2) return kState2Fingers0;
    return upward(n);
}

std::string_view ZyvTouchConverter::state2FingersRotateAction() {
    const int n = activeFingerCount();
    if (n <= 0) return kStateIdle;
    return n == 1 ? kState1FingerMove : kState2FingersRotate;
}

std::string_view ZyvTouchConverter::state2FingersMagnifyAction() {
    return activeFingerCount() <= 1 ? kStateIdle : kState2FingersMagnify;
}

std::string_view ZyvTouchConverter::state2FingersScrollAction() {
    return activeFingerCount() == 2 ? kState2FingersScroll : kStateIdle;
}

// Without momentum the momentum state behaves as the idle state.
std::string_view ZyvTouchConverter::state2FingersMomentumScrollAction() {
    return stateIdleAction();
}

}  // namespace tact
