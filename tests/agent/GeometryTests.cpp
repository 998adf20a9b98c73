// Touch geometry and the step detector: centroid, mean angle and radius, the
// angle-difference rule, and baselines per group with shared running sums.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/agent/ConverterFixture.hpp"

using namespace tact;
using namespace tact::test;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kDeg = kPi / 180;
constexpr double kUnset = -12345.0;  // marks an output that must stay untouched

struct AngleCase {
    double a, b, expected;
    const char* what;
};

TEST(AngleDifference, FollowsTheSignAndWrapRules) {
    const AngleCase cases[] = {
        {0.5, 0.2, 0.2 - 0.5, "same sign: b - a"},
        {0.1, -0.1, -0.1 + 0.1, "opposite signs: the values are added"},
        {3.0, -3.0, 0, "opposite signs across the seam"},
        {0, 2, 2, "zero has no sign"},
        {-0.5, 0, 0.5, "zero has no sign (b)"},
        {0, -kPi, -kPi, "exactly -pi is not corrected"},
        {0, kPi, kPi, "exactly pi is not corrected"},
        {-1, -5, -4 + kTwoPi, "below -pi: add 2 pi"},
        {0.1, 3.5, (3.5 - 0.1) - kTwoPi, "above pi: subtract 2 pi"},
        {-1, 5, (5.0 + -1.0) - kTwoPi, "added values above pi are corrected too"},
        {-10, -0.1, (-0.1 - -10.0) - kTwoPi, "one correction at most"},
        {80 * kDeg, -80 * kDeg, -80 * kDeg + 80 * kDeg, "mean angle flipping sign"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tlCGAngleDifference(c.a, c.b), c.expected)
            << c.what << ": (" << c.a << ", " << c.b << ")";
    }
    EXPECT_NEAR(tlCGAngleDifference(-1, -5), 2.283, 1e-3);
    EXPECT_EQ(getAngle(-1, 0), kPi);
    EXPECT_EQ(getAngle(0, 1), kPi / 2);
}

class GeometryTest : public ConverterFixture {
  protected:
    void SetUp() override {
        c = &makeConverter();
        c->gestureMoveThreshold = 0.01;
        c->gestureZoomThreshold = 0.01;
        c->gestureRotateThreshold = 0.04;
    }

    void place(int index, double x, double y) {
        Touch t;
        t.transducerIndex = index;
        t.positionX = x;
        t.positionY = y;
        c->transducerTouches[std::size_t(index)] = t;
    }
    // Puts a touch at an angle and distance about a centre.
    void placePolar(int index, double cx, double cy, double angle, double radius) {
        place(index, cx + radius * std::cos(angle), cy + radius * std::sin(angle));
    }

    struct Steps {
        double dx = kUnset, dy = kUnset, dAngle = kUnset, dRadius = kUnset;
    };
    Steps all(TouchMask mask) {
        Steps s;
        c->calcDeltas(mask, &s.dx, &s.dy, &s.dAngle, &s.dRadius);
        return s;
    }

    touches_delta_t& td() { return c->touchesDelta; }

    ZyvTouchConverter* c = nullptr;
};

constexpr TouchMask kPair = 0b11;

TEST_F(GeometryTest, TwoTouchesCentroidAngleAndRadius) {
    place(0, 0.4, 0.5);
    place(1, 0.6, 0.5);
    double x = kUnset, y = kUnset;
    c->calcCenter(kPair, &x, &y);
    EXPECT_DOUBLE_EQ(x, 0.5);
    EXPECT_DOUBLE_EQ(y, 0.5);
    EXPECT_DOUBLE_EQ(c->calcAvgAngle(kPair, x, y), kPi / 2);
    EXPECT_DOUBLE_EQ(c->calcAvgRadius(kPair, x, y), 0.1);

    // A bit whose touch is absent is skipped by every measure.
    const TouchMask withAbsent = kPair | bitOf(5) | bitOf(63);
    double x2 = kUnset, y2 = kUnset;
    c->calcCenter(withAbsent, &x2, &y2);
    EXPECT_EQ(x2, x);
    EXPECT_EQ(y2, y);
    EXPECT_EQ(c->calcAvgAngle(withAbsent, x, y), c->calcAvgAngle(kPair, x, y));
    EXPECT_EQ(c->calcAvgRadius(withAbsent, x, y), c->calcAvgRadius(kPair, x, y));

    // The highest bit counts like any other.
    place(63, 0.8, 0.2);
    c->calcCenter(bitOf(0) | bitOf(63), &x, &y);
    EXPECT_DOUBLE_EQ(x, 0.6);
    EXPECT_DOUBLE_EQ(y, 0.35);
}

TEST_F(GeometryTest, EmptyOrAbsentGroupsMeasureZero) {
    place(0, 0.4, 0.5);
    for (TouchMask mask : {TouchMask{0}, bitOf(7)}) {
        double x = kUnset, y = kUnset;
        c->calcCenter(mask, &x, &y);
        EXPECT_EQ(x, 0);
        EXPECT_EQ(y, 0);
        EXPECT_EQ(c->calcAvgAngle(mask, 0.3, 0.3), 0);
        EXPECT_EQ(c->calcAvgRadius(mask, 0.3, 0.3), 0);
    }

    // The step detector leaves (0, 0) as the centroid and reports no steps.
    td().centerX = 0.7;
    td().centerY = 0.7;
    for (int call = 0; call < 2; ++call) {
        Steps s = all(0);
        EXPECT_EQ(td().centerX, 0);
        EXPECT_EQ(td().centerY, 0);
        EXPECT_EQ(s.dx, 0);
        EXPECT_EQ(s.dy, 0);
        EXPECT_EQ(s.dAngle, 0);
        EXPECT_EQ(s.dRadius, 0);
    }
}

TEST_F(GeometryTest, NullOutputsAreSkipped) {
    place(0, 0.4, 0.5);
    place(1, 0.6, 0.5);

    double x = kUnset;
    c->calcCenter(kPair, &x, nullptr);
    EXPECT_EQ(x, kUnset);

    // Nothing requested: the centroid is still measured, no baselines taken.
    c->calcDeltas(kPair, nullptr, nullptr, nullptr, nullptr);
    EXPECT_DOUBLE_EQ(td().centerX, 0.5);
    EXPECT_DOUBLE_EQ(td().centerY, 0.5);
    EXPECT_TRUE(td().touchesMoveMap.empty());
    EXPECT_TRUE(td().touchesAngleMap.empty());
    EXPECT_TRUE(td().touchesRadiusMap.empty());

    // The position step needs both outputs.
    double dx = kUnset, dy = kUnset;
    c->calcDeltas(kPair, &dx, nullptr, nullptr, nullptr);
    c->calcDeltas(kPair, nullptr, &dy, nullptr, nullptr);
    EXPECT_EQ(dx, kUnset);
    EXPECT_EQ(dy, kUnset);
    EXPECT_TRUE(td().touchesMoveMap.empty());

    // Each of angle and radius alone takes only its own baseline.
    double dAngle = kUnset;
    c->calcDeltas(kPair, nullptr, nullptr, &dAngle, nullptr);
    EXPECT_EQ(dAngle, 0);
    EXPECT_EQ(td().touchesAngleMap.size(), 1u);
    EXPECT_TRUE(td().touchesRadiusMap.empty());
    double dRadius = kUnset;
    c->calcDeltas(kPair, nullptr, nullptr, nullptr, &dRadius);
    EXPECT_EQ(dRadius, 0);
    EXPECT_EQ(td().touchesRadiusMap.size(), 1u);
    EXPECT_TRUE(td().touchesMoveMap.empty());
}

TEST_F(GeometryTest, FirstCallAfterResetStoresBaselines) {
    place(0, 0.4, 0.5);
    place(1, 0.6, 0.5);
    td().sumDeltaX = 0.3;
    td().sumDeltaAngle = 0.2;
    c->resetTouchesDelta();

    Steps s = all(kPair);
    EXPECT_EQ(s.dx, 0);
    EXPECT_EQ(s.dy, 0);
    EXPECT_EQ(s.dAngle, 0);
    EXPECT_EQ(s.dRadius, 0);

    ASSERT_EQ(td().touchesMoveMap.size(), 1u);
    EXPECT_EQ(td().touchesMoveMap[0].first, std::int64_t(kPair));
    EXPECT_DOUBLE_EQ(td().touchesMoveMap[0].second.centerX, 0.5);
    EXPECT_DOUBLE_EQ(td().touchesMoveMap[0].second.centerY, 0.5);
    EXPECT_EQ(td().touchesMoveMap[0].second.sumDeltaX, 0);
    ASSERT_EQ(td().touchesAngleMap.size(), 1u);
    EXPECT_DOUBLE_EQ(td().touchesAngleMap[0].second.avgAngle, kPi / 2);
    ASSERT_EQ(td().touchesRadiusMap.size(), 1u);
    EXPECT_DOUBLE_EQ(td().touchesRadiusMap[0].second.avgRadius, 0.1);
}

TEST_F(GeometryTest, CounterClockwiseTurnIsAPositiveAngleStep) {
    placePolar(0, 0.5, 0.5, kPi, 0.1);
    placePolar(1, 0.5, 0.5, 0, 0.1);
    double dAngle = kUnset;
    c->calcDeltas(kPair, nullptr, nullptr, &dAngle, nullptr);
    EXPECT_EQ(dAngle, 0);

    // 0.1 rad counter-clockwise on screen (y grows downwards).
    placePolar(0, 0.5, 0.5, kPi - 0.1, 0.1);
    placePolar(1, 0.5, 0.5, -0.1, 0.1);
    c->calcDeltas(kPair, nullptr, nullptr, &dAngle, nullptr);
    EXPECT_NEAR(dAngle, 0.1, 1e-12);
    EXPECT_NEAR(td().sumDeltaAngle, 0.1, 1e-12);
    EXPECT_NEAR(td().touchesAngleMap[0].second.avgAngle, kPi / 2 - 0.1, 1e-12);
    EXPECT_EQ(td().touchesAngleMap[0].second.sumDeltaAngle, td().sumDeltaAngle);

    // Back again: clockwise, negative.
    placePolar(0, 0.5, 0.5, kPi, 0.1);
    placePolar(1, 0.5, 0.5, 0, 0.1);
    c->calcDeltas(kPair, nullptr, nullptr, &dAngle, nullptr);
    EXPECT_NEAR(dAngle, -0.1, 1e-12);
    EXPECT_NEAR(td().sumDeltaAngle, 0, 1e-12);
}

TEST_F(GeometryTest, SmallTurnsAccumulateAgainstTheOldAngleBaseline) {
    c->gestureRotateThreshold = 0.11;
    placePolar(0, 0.5, 0.5, kPi, 0.1);
    placePolar(1, 0.5, 0.5, 0, 0.1);
    double dAngle = kUnset;
    c->calcDeltas(kPair, nullptr, nullptr, &dAngle, nullptr);
    placePolar(0, 0.5, 0.5, kPi - 0.1, 0.1);
    placePolar(1, 0.5, 0.5, -0.1, 0.1);
    c->calcDeltas(kPair, nullptr, nullptr, &dAngle, nullptr);
    EXPECT_EQ(dAngle, 0);
    EXPECT_EQ(td().sumDeltaAngle, 0);
    EXPECT_DOUBLE_EQ(td().touchesAngleMap[0].second.avgAngle, kPi / 2);
    placePolar(0, 0.5, 0.5, kPi - 0.12, 0.1);
    placePolar(1, 0.5, 0.5, -0.12, 0.1);
    c->calcDeltas(kPair, nullptr, nullptr, &dAngle, nullptr);
    EXPECT_NEAR(dAngle, 0.12, 1e-12);
}

TEST_F(GeometryTest, MeanAngleFlippingSignAcrossTheSeamGivesNoStep) {
    // Opposite fingers at 170 and -10 degrees (mean 80); turning 20 degrees
    // clockwise takes them to -170 and 10 (mean -80).
    placePolar(0, 0.5, 0.5, 170 * kDeg, 0.1);
    placePolar(1, 0.5, 0.5, -10 * kDeg, 0.1);
    double dAngle = kUnset;
    c->calcDeltas(kPair, nullptr, nullptr, &dAngle, nullptr);
    placePolar(0, 0.5, 0.5, -170 * kDeg, 0.1);
    placePolar(1, 0.5, 0.5, 10 * kDeg, 0.1);
    c->calcDeltas(kPair, nullptr, nullptr, &dAngle, nullptr);
    EXPECT_NEAR(c->calcAvgAngle(kPair, 0.5, 0.5), -80 * kDeg, 1e-9);
    EXPECT_NEAR(dAngle, 0, 1e-9);
    EXPECT_EQ(td().sumDeltaAngle, 0);
}

TEST_F(GeometryTest, SpreadingApartIsAPositiveRadiusStep) {
    placePolar(0, 0.5, 0.5, kPi, 0.1);
    placePolar(1, 0.5, 0.5, 0, 0.1);
    double dRadius = kUnset;
    c->calcDeltas(kPair, nullptr, nullptr, nullptr, &dRadius);
    EXPECT_EQ(dRadius, 0);

    placePolar(0, 0.5, 0.5, kPi, 0.105);  // below the 0.01 threshold
    placePolar(1, 0.5, 0.5, 0, 0.105);
    c->calcDeltas(kPair, nullptr, nullptr, nullptr, &dRadius);
    EXPECT_EQ(dRadius, 0);

    placePolar(0, 0.5, 0.5, kPi, 0.13);
    placePolar(1, 0.5, 0.5, 0, 0.13);
    c->calcDeltas(kPair, nullptr, nullptr, nullptr, &dRadius);
    EXPECT_NEAR(dRadius, 0.03, 1e-12);
    EXPECT_NEAR(td().sumDeltaRadius, 0.03, 1e-12);

    placePolar(0, 0.5, 0.5, kPi, 0.08);
    placePolar(1, 0.5, 0.5, 0, 0.08);
    c->calcDeltas(kPair, nullptr, nullptr, nullptr, &dRadius);
    EXPECT_NEAR(dRadius, -0.05, 1e-12);
    EXPECT_NEAR(td().sumDeltaRadius, -0.02, 1e-12);
}

TEST_F(GeometryTest, SubThresholdMovesAreReportedTogether) {
    place(0, 0.5, 0.5);
    Steps s = all(bitOf(0));

    place(0, 0.506, 0.503);
    s = all(bitOf(0));
    EXPECT_EQ(s.dx, 0);
    EXPECT_EQ(s.dy, 0);
    EXPECT_EQ(td().touchesMoveMap[0].second.centerX, 0.5);  // the old baseline stays
    EXPECT_EQ(td().sumDeltaX, 0);

    place(0, 0.512, 0.506);
    s = all(bitOf(0));
    EXPECT_EQ(s.dx, 0.512 - 0.5);
    EXPECT_EQ(s.dy, 0.506 - 0.5);
    EXPECT_EQ(td().sumDeltaX, s.dx);
    EXPECT_EQ(td().sumDeltaY, s.dy);
    EXPECT_EQ(td().touchesMoveMap[0].second.centerX, 0.512);
    EXPECT_EQ(td().touchesMoveMap[0].second.sumDeltaX, td().sumDeltaX);

    s = all(bitOf(0));  // no further motion
    EXPECT_EQ(s.dx, 0);
    EXPECT_EQ(s.dy, 0);
}

TEST_F(GeometryTest, StepOfExactlyTheThresholdIsAccepted) {
    c->gestureMoveThreshold = 0.25;
    place(0, 0.25, 0.5);
    all(bitOf(0));
    place(0, 0.5, 0.5);
    Steps s = all(bitOf(0));
    EXPECT_EQ(s.dx, 0.25);
    EXPECT_EQ(s.dy, 0);
}

// A step exactly at its threshold counts; one just below it does not.
TEST_F(GeometryTest, AngleAndRadiusStepsAtTheirThresholds) {
    struct Case {
        bool angle;
        bool atThreshold;
    };
    for (Case k : {Case{true, true}, Case{true, false}, Case{false, true}, Case{false, false}}) {
        c->resetTouchesDelta();
        placePolar(0, 0.5, 0.5, kPi, 0.1);
        placePolar(1, 0.5, 0.5, 0, 0.1);
        const double angle0 = c->calcAvgAngle(kPair, 0.5, 0.5);
        const double radius0 = c->calcAvgRadius(kPair, 0.5, 0.5);
        Steps s = all(kPair);
        placePolar(0, 0.5, 0.5, kPi - 0.07, 0.13);
        placePolar(1, 0.5, 0.5, -0.07, 0.13);
        double cx = 0, cy = 0;
        c->calcCenter(kPair, &cx, &cy);
        const double expected = k.angle
                                    ? tlCGAngleDifference(c->calcAvgAngle(kPair, cx, cy), angle0)
                                    : c->calcAvgRadius(kPair, cx, cy) - radius0;
        ASSERT_GT(expected, 0.02);
        double& threshold = k.angle ? c->gestureRotateThreshold : c->gestureZoomThreshold;
        threshold =
            k.atThreshold ? expected : std::nextafter(expected, std::numeric_limits<double>::max());
        s = all(kPair);
        EXPECT_EQ(k.angle ? s.dAngle : s.dRadius, k.atThreshold ? expected : 0)
            << (k.angle ? "angle" : "radius") << (k.atThreshold ? " at" : " below");
        c->gestureRotateThreshold = 0.04;
        c->gestureZoomThreshold = 0.01;
    }
}

TEST_F(GeometryTest, StepPassingOnOneAxisAddsBothAxes) {
    place(0, 0.5, 0.5);
    all(bitOf(0));
    place(0, 0.52, 0.504);
    Steps s = all(bitOf(0));
    EXPECT_EQ(s.dx, 0.52 - 0.5);
    EXPECT_EQ(s.dy, 0.504 - 0.5);
    EXPECT_EQ(td().sumDeltaY, 0.504 - 0.5);
    EXPECT_EQ(td().touchesMoveMap[0].second.centerY, 0.504);
    EXPECT_EQ(td().touchesMoveMap[0].second.sumDeltaY, td().sumDeltaY);

    // And the other way round: passing on y only.
    place(0, 0.524, 0.524);
    s = all(bitOf(0));
    EXPECT_NEAR(s.dx, 0.004, 1e-12);
    EXPECT_NEAR(s.dy, 0.02, 1e-12);
}

TEST_F(GeometryTest, MasksKeepSeparateBaselinesButShareSums) {
    const TouchMask a = bitOf(0) | bitOf(1);
    const TouchMask b = bitOf(2) | bitOf(3);
    place(0, 0.2, 0.2);
    place(1, 0.4, 0.2);  // a: centroid (0.3, 0.2)
    place(2, 0.6, 0.6);
    place(3, 0.8, 0.6);  // b: centroid (0.7, 0.6)

    all(a);
    place(0, 0.22, 0.2);
    place(1, 0.42, 0.2);
    Steps s = all(a);
    EXPECT_NEAR(s.dx, 0.02, 1e-12);
    const double sumAfterA = td().sumDeltaX;

    // b's first measurement takes its own baseline, with the sums as they are.
    s = all(b);
    EXPECT_EQ(s.dx, 0);
    EXPECT_DOUBLE_EQ(td().centerX, 0.7);
    ASSERT_EQ(td().touchesMoveMap.size(), 2u);
    EXPECT_EQ(td().touchesMoveMap[1].first, std::int64_t(b));
    EXPECT_EQ(td().touchesMoveMap[1].second.sumDeltaX, sumAfterA);
    EXPECT_EQ(td().touchesAngleMap.size(), 2u);
    EXPECT_EQ(td().touchesRadiusMap.size(), 2u);

    // b moving adds to the same sums; what a added before does not count.
    place(2, 0.63, 0.6);
    place(3, 0.83, 0.6);
    s = all(b);
    EXPECT_NEAR(s.dx, 0.03, 1e-12);
    EXPECT_NEAR(td().sumDeltaX, 0.05, 1e-12);

    // a, unmoved since its baseline, now sees what b added since then.
    s = all(a);
    EXPECT_NEAR(s.dx, -0.03, 1e-12);
    EXPECT_NEAR(td().sumDeltaX, 0.02, 1e-12);
    EXPECT_DOUBLE_EQ(td().centerX, 0.32);
    EXPECT_EQ(td().touchesMoveMap.size(), 2u);
}

TEST_F(GeometryTest, AngleAndRadiusSumsAreSharedToo) {
    const TouchMask a = bitOf(0) | bitOf(1);
    const TouchMask b = bitOf(2) | bitOf(3);
    placePolar(0, 0.3, 0.3, kPi, 0.1);
    placePolar(1, 0.3, 0.3, 0, 0.1);
    placePolar(2, 0.7, 0.7, kPi, 0.1);
    placePolar(3, 0.7, 0.7, 0, 0.1);
    all(a);
    all(b);

    // b spreads and turns counter-clockwise.
    placePolar(2, 0.7, 0.7, kPi - 0.1, 0.15);
    placePolar(3, 0.7, 0.7, -0.1, 0.15);
    Steps s = all(b);
    EXPECT_NEAR(s.dRadius, 0.05, 1e-12);
    EXPECT_NEAR(s.dAngle, 0.1, 1e-12);

    // a has not moved, but the sums have since its baselines were taken. The
    // angle's sum term goes through the angle-difference rule like the angle
    // itself (baseline minus current), so it enters with the opposite sense to
    // the radius's.
    s = all(a);
    EXPECT_NEAR(s.dRadius, -0.05, 1e-12);
    EXPECT_NEAR(s.dAngle, 0.1, 1e-12);
    EXPECT_NEAR(td().sumDeltaRadius, 0, 1e-12);
    EXPECT_NEAR(td().sumDeltaAngle, 0.2, 1e-12);
}

TEST_F(GeometryTest, ResetClearsSumsAndBaselinesButKeepsTheCentroid) {
    place(0, 0.3, 0.4);
    all(bitOf(0));
    place(0, 0.4, 0.5);
    all(bitOf(0));
    td().sumDeltaAngle = 0.5;
    td().sumDeltaRadius = 0.5;
    ASSERT_NE(td().sumDeltaX, 0);

    c->resetTouchesDelta();
    EXPECT_EQ(td().sumDeltaX, 0);
    EXPECT_EQ(td().sumDeltaY, 0);
    EXPECT_EQ(td().sumDeltaAngle, 0);
    EXPECT_EQ(td().sumDeltaRadius, 0);
    EXPECT_TRUE(td().touchesMoveMap.empty());
    EXPECT_TRUE(td().touchesAngleMap.empty());
    EXPECT_TRUE(td().touchesRadiusMap.empty());
    EXPECT_EQ(td().centerX, 0.4);
    EXPECT_EQ(td().centerY, 0.5);

    // The next call measures afresh: no step for the move made before.
    Steps s = all(bitOf(0));
    EXPECT_EQ(s.dx, 0);
    EXPECT_EQ(s.dy, 0);
}

TEST_F(GeometryTest, BaselinesDoNotReallocateOnceWarm) {
    place(0, 0.3, 0.4);
    const auto* move = td().touchesMoveMap.data();
    const auto* angle = td().touchesAngleMap.data();
    const auto* radius = td().touchesRadiusMap.data();
    ASSERT_GE(td().touchesMoveMap.capacity(), 16u);
    for (int round = 0; round < 3; ++round) {
        c->resetTouchesDelta();
        for (TouchMask m = 1; m <= 16; ++m) {
            all(m);
            all(m);
        }
        EXPECT_EQ(td().touchesMoveMap.size(), 16u);
    }
    EXPECT_EQ(td().touchesMoveMap.data(), move);
    EXPECT_EQ(td().touchesAngleMap.data(), angle);
    EXPECT_EQ(td().touchesRadiusMap.data(), radius);
}

TEST_F(GeometryTest, PointFromTouch) {
    Touch t;
    t.positionX = 0.25;
    t.positionY = 0.75;
    EXPECT_EQ(ZyvTouchConverter::pointFromTouch(t), (platform::Point{0.25, 0.75}));
}

}  // namespace
