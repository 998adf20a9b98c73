// The states of three, four and five fingers. Until their gestures are
// recognised they follow only the finger count and queue nothing.
#include "agent/converter/ZyvTouchConverter.hpp"

namespace tact {
namespace {

// The common transition of the multi-finger base states by finger count.
std::string_view byFingerCount(int n, std::string_view same) {
    switch (n) {
        case 0: return kStateIdle;
        case 1: return kState1FingerMove;
        case 2: return kState2Fingers0;
        case 3: return kState3Fingers0;
        case 4: return kState4Fingers0;
        default: return n < 0 ? same : kState5Fingers0;
    }
}

}  // namespace

std::string_view ZyvTouchConverter::state3Fingers0Action() {
    return byFingerCount(activeFingerCount(), kState3Fingers0);
}

std::string_view ZyvTouchConverter::state4Fingers0Action() {
    return byFingerCount(activeFingerCount(), kState4Fingers0);
}

std::string_view ZyvTouchConverter::state5Fingers0Action() {
    return byFingerCount(activeFingerCount(), kState5Fingers0);
}

// A recognised gesture keeps its state until every finger has lifted.
std::string_view ZyvTouchConverter::state3FingersG3Action() {
    return activeFingerCount() == 0 ? kStateIdle : kState3FingersG3;
}

std::string_view ZyvTouchConverter::state4FingersG4Action() {
    return activeFingerCount() == 0 ? kStateIdle : kState4FingersG4;
}

std::string_view ZyvTouchConverter::state5FingersG5Action() {
    return activeFingerCount() == 0 ? kStateIdle : kState5FingersG5;
}

}  // namespace tact
