// Touch geometry: the centroid, mean angle and mean radius of a group of
// touches, and the step detector the gesture checks measure motion with.
//
// Positions are normalised screen coordinates (0..1, origin top left, y
// growing downwards); angles are radians.
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "agent/converter/ZyvTouchConverter.hpp"

namespace tact {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

// Room for the distinct groups measured between two resets; a gesture sees
// only a handful, so the maps never allocate once warmed up.
constexpr std::size_t kBaselineCapacity = 16;

// The baseline for a group, or null when none has been taken since the last
// reset.
template <typename Baseline>
Baseline* findBaseline(std::vector<std::pair<std::int64_t, Baseline>>& map, std::int64_t key) {
    for (auto& [k, baseline] : map) {
        if (k == key)
            return &baseline;
    }
    return nullptr;
}

}  // namespace

double getAngle(double x, double y) {
    return std::atan2(y, x);
}

// The step from a to b. When the two lie on opposite sides of zero they are
// added rather than subtracted: a mean angle that flips sign because one
// finger crossed the ±π seam then gives no step. Zero belongs to neither
// side. One wrap into [-π, π] at most.
double tlCGAngleDifference(double a, double b) {
    double d = b - a;
    if ((a < 0 && b > 0) || (a > 0 && b < 0))
        d = b + a;
    if (d < -kPi) {
        d += kTwoPi;
    } else if (d > kPi) {
        d -= kTwoPi;
    }
    return d;
}

void ZyvTouchConverter::initTouchesDelta() {
    touchesDelta.touchesMoveMap.clear();
    touchesDelta.touchesRadiusMap.clear();
    touchesDelta.touchesAngleMap.clear();
    touchesDelta.touchesMoveMap.reserve(kBaselineCapacity);
    touchesDelta.touchesRadiusMap.reserve(kBaselineCapacity);
    touchesDelta.touchesAngleMap.reserve(kBaselineCapacity);
}

void ZyvTouchConverter::finiTouchesDelta() {
    touchesDelta.touchesMoveMap = {};
    touchesDelta.touchesRadiusMap = {};
    touchesDelta.touchesAngleMap = {};
}

// The centroid measured last stays: only the sums and baselines go.
void ZyvTouchConverter::resetTouchesDelta() {
    touchesDelta.sumDeltaAngle = 0;
    touchesDelta.sumDeltaRadius = 0;
    touchesDelta.sumDeltaX = 0;
    touchesDelta.sumDeltaY = 0;
    touchesDelta.touchesMoveMap.clear();
    touchesDelta.touchesAngleMap.clear();
    touchesDelta.touchesRadiusMap.clear();
}

// Bits whose touch is absent are skipped; with none present the centroid is
// (0, 0).
void ZyvTouchConverter::calcCenter(TouchMask mask, double* x, double* y) const {
    if (!x || !y)
        return;
    *x = 0;
    *y = 0;
    double sumX = 0, sumY = 0;
    int count = 0;
    for (int i = 0; i < kTransducerCount; ++i) {
        if (!(mask & bitOf(i)) || !transducerTouches[std::size_t(i)])
            continue;
        sumX += transducerTouches[std::size_t(i)]->positionX;
        sumY += transducerTouches[std::size_t(i)]->positionY;
        ++count;
    }
    if (count > 0) {
        *x = sumX / count;
        *y = sumY / count;
    }
}

// The arithmetic (not circular) mean of each touch's angle about the centre.
// With y growing downwards it grows as the touches turn clockwise on screen.
double ZyvTouchConverter::calcAvgAngle(TouchMask mask, double cx, double cy) const {
    double sum = 0;
    int count = 0;
    for (int i = 0; i < kTransducerCount; ++i) {
        if (!(mask & bitOf(i)) || !transducerTouches[std::size_t(i)])
            continue;
        const Touch& t = *transducerTouches[std::size_t(i)];
        sum += getAngle(t.positionX - cx, t.positionY - cy);
        ++count;
    }
    return count > 0 ? sum / count : 0;
}

double ZyvTouchConverter::calcAvgRadius(TouchMask mask, double cx, double cy) const {
    double sum = 0;
    int count = 0;
    for (int i = 0; i < kTransducerCount; ++i) {
        if (!(mask & bitOf(i)) || !transducerTouches[std::size_t(i)])
            continue;
        const Touch& t = *transducerTouches[std::size_t(i)];
        const double dx = t.positionX - cx;
        const double dy = t.positionY - cy;
        sum += std::sqrt(dx * dx + dy * dy);
        ++count;
    }
    return count > 0 ? sum / count : 0;
}

// Compares the group's measures with its baseline. A baseline moves only when
// a step is accepted, so slow motion builds up against it until it reaches the
// threshold and is reported in one step. The sums are shared by all groups;
// the second term of each step removes what other groups added to them since
// this group's baseline was taken.
void ZyvTouchConverter::calcDeltas(TouchMask mask, double* dx, double* dy, double* dAngle,
                                   double* dRadius) {
    touches_delta_t& td = touchesDelta;
    const auto key = static_cast<std::int64_t>(mask);

    calcCenter(mask, &td.centerX, &td.centerY);
    const double angle = calcAvgAngle(mask, td.centerX, td.centerY);
    const double radius = calcAvgRadius(mask, td.centerX, td.centerY);

    if (dAngle) {
        double step = 0;
        if (AngleBaseline* base = findBaseline(td.touchesAngleMap, key)) {
            step = tlCGAngleDifference(angle, base->avgAngle) -
                   tlCGAngleDifference(td.sumDeltaAngle, base->sumDeltaAngle);
            if (std::fabs(step) >= gestureRotateThreshold) {
                td.sumDeltaAngle += step;
                base->avgAngle = angle;
                base->sumDeltaAngle = td.sumDeltaAngle;
            } else {
                step = 0;
            }
        } else {
            td.touchesAngleMap.emplace_back(key, AngleBaseline{angle, td.sumDeltaAngle});
        }
        *dAngle = step;
    }

    if (dRadius) {
        double step = 0;
        if (RadiusBaseline* base = findBaseline(td.touchesRadiusMap, key)) {
            step = (radius - base->avgRadius) - (td.sumDeltaRadius - base->sumDeltaRadius);
            if (std::fabs(step) >= gestureZoomThreshold) {
                td.sumDeltaRadius += step;
                base->avgRadius = radius;
                base->sumDeltaRadius = td.sumDeltaRadius;
            } else {
                step = 0;
            }
        } else {
            td.touchesRadiusMap.emplace_back(key, RadiusBaseline{radius, td.sumDeltaRadius});
        }
        *dRadius = step;
    }

    if (dx && dy) {
        double stepX = 0, stepY = 0;
        if (MoveBaseline* base = findBaseline(td.touchesMoveMap, key)) {
            stepX = (td.centerX - base->centerX) - (td.sumDeltaX - base->sumDeltaX);
            stepY = (td.centerY - base->centerY) - (td.sumDeltaY - base->sumDeltaY);
            if (std::fabs(stepX) >= gestureMoveThreshold ||
                std::fabs(stepY) >= gestureMoveThreshold) {
                td.sumDeltaX += stepX;
                td.sumDeltaY += stepY;
                *base = MoveBaseline{td.centerX, td.centerY, td.sumDeltaX, td.sumDeltaY};
            } else {
                stepX = 0;
                stepY = 0;
            }
        } else {
            td.touchesMoveMap.emplace_back(
                key, MoveBaseline{td.centerX, td.centerY, td.sumDeltaX, td.sumDeltaY});
        }
        *dx = stepX;
        *dy = stepY;
    }
}

platform::Point ZyvTouchConverter::pointFromTouch(const Touch& t) {
    return {t.positionX, t.positionY};
}

}  // namespace tact
