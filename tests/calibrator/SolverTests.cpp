#include <gtest/gtest.h>

#include <cmath>

#include "calibrator/solver/CalibrationSolver.hpp"

namespace tact {
namespace {

struct Fit {
    CalibrationCoefficients KX{};
    CalibrationCoefficients KY{};
    bool result = false;
};

Fit fit(const CalibrationPoints& targets, const CalibrationPoints& samples) {
    Fit f;
    f.result = getCalibrateCoefficient(targets, samples, f.KX, f.KY);
    return f;
}

CalibrationPoint apply(const Fit& f, CalibrationPoint s) {
    return {f.KX[0] * s.x + f.KX[1] * s.y + f.KX[2], f.KY[0] * s.x + f.KY[1] * s.y + f.KY[2]};
}

// The single-precision fractions 0.1 and 0.9, widened.
constexpr double kLow = static_cast<double>(0.1f);
constexpr double kHigh = static_cast<double>(0.9f);

TEST(CalibrationSolver, UncalibratedMappingOfTheFullRangeOntoTheScreen) {
    // The four corners of the raw range at 0.1 and 0.9, onto the same
    // fractions of a 1920 x 1080 screen.
    const double lo = kLow * 32768.0;
    const double hi = kHigh * 32768.0;
    ASSERT_EQ(lo, 3276.800048828125);
    ASSERT_EQ(hi, 29491.19921875);
    const CalibrationPoints samples{{{lo, lo}, {hi, lo}, {lo, hi}, {hi, hi}}};
    const CalibrationPoints targets{{{kLow * 1920, kLow * 1080},
                                     {kHigh * 1920, kLow * 1080},
                                     {kLow * 1920, kHigh * 1080},
                                     {kHigh * 1920, kHigh * 1080}}};

    Fit f = fit(targets, samples);
    EXPECT_TRUE(f.result);
    EXPECT_NEAR(f.KX[0], 0.05859375, 1e-12);
    EXPECT_NEAR(f.KX[1], 0.0, 1e-12);
    EXPECT_NEAR(f.KX[2], 0.0, 1e-12);
    EXPECT_NEAR(f.KY[0], 0.0, 1e-12);
    EXPECT_NEAR(f.KY[1], 0.032958984375, 1e-12);
    EXPECT_NEAR(f.KY[2], 0.0, 1e-12);
}

TEST(CalibrationSolver, RecoversAnExactAffineMap) {
    // A frame mounted slightly rotated, sheared and offset.
    Fit truth;
    truth.KX = {0.0581, -0.0013, 12.5};
    truth.KY = {0.0021, 0.0334, -7.25};
    const CalibrationPoints samples{{{3301, 2950}, {3120, 29877}, {29650, 30011}, {29980, 3012}}};
    CalibrationPoints targets;
    for (int i = 0; i < kCalibrationPointCount; ++i)
        targets[i] = apply(truth, samples[i]);

    Fit f = fit(targets, samples);
    EXPECT_TRUE(f.result);
    for (int k = 0; k < 3; ++k) {
        const double scale = k == 2 ? 1.0 : 1e-3;
        EXPECT_NEAR(f.KX[k], truth.KX[k], 1e-9 * scale) << "KX" << k + 1;
        EXPECT_NEAR(f.KY[k], truth.KY[k], 1e-9 * scale) << "KY" << k + 1;
    }
    for (int i = 0; i < kCalibrationPointCount; ++i) {
        EXPECT_NEAR(apply(f, samples[i]).x, targets[i].x, 1e-6);
        EXPECT_NEAR(apply(f, samples[i]).y, targets[i].y, 1e-6);
    }
}

TEST(CalibrationSolver, InconsistentSamplesGiveTheLeastSquaresFit) {
    // One sample off by a few hundred units: no affine map fits all four, and
    // the least-squares residuals are orthogonal to 1, sx and sy.
    const CalibrationPoints samples{{{3276, 3276}, {3276, 29491}, {29491, 29491}, {29800, 3100}}};
    const CalibrationPoints targets{{{192, 108}, {192, 972}, {1728, 972}, {1728, 108}}};
    Fit f = fit(targets, samples);
    ASSERT_TRUE(f.result);

    double rx = 0, ry = 0, rxSx = 0, rxSy = 0, rySx = 0, rySy = 0, worst = 0;
    for (int i = 0; i < kCalibrationPointCount; ++i) {
        const CalibrationPoint m = apply(f, samples[i]);
        const double ex = m.x - targets[i].x;
        const double ey = m.y - targets[i].y;
        rx += ex;
        ry += ey;
        rxSx += ex * samples[i].x;
        rxSy += ex * samples[i].y;
        rySx += ey * samples[i].x;
        rySy += ey * samples[i].y;
        worst = std::max({worst, std::abs(ex), std::abs(ey)});
    }
    EXPECT_GT(worst, 1.0) << "the samples were meant not to fit exactly";
    EXPECT_NEAR(rx, 0.0, 1e-7);
    EXPECT_NEAR(ry, 0.0, 1e-7);
    EXPECT_NEAR(rxSx / 32768, 0.0, 1e-6);
    EXPECT_NEAR(rxSy / 32768, 0.0, 1e-6);
    EXPECT_NEAR(rySx / 32768, 0.0, 1e-6);
    EXPECT_NEAR(rySy / 32768, 0.0, 1e-6);
}

TEST(CalibrationSolver, DegenerateSamplesGiveNonFiniteCoefficients) {
    const CalibrationPoints targets{{{192, 108}, {192, 972}, {1728, 972}, {1728, 108}}};

    // Four samples on one line: the determinant is zero.
    const CalibrationPoints collinear{{{1000, 2000}, {2000, 4000}, {3000, 6000}, {4000, 8000}}};
    Fit f = fit(targets, collinear);
    EXPECT_TRUE(f.result);
    for (int k = 0; k < 3; ++k) {
        EXPECT_FALSE(std::isfinite(f.KX[k])) << "KX" << k + 1 << " = " << f.KX[k];
        EXPECT_FALSE(std::isfinite(f.KY[k])) << "KY" << k + 1 << " = " << f.KY[k];
    }

    // No touch at all on one axis (every raw x is 0): the x-weighted pair
    // divides by zero.
    const CalibrationPoints noX{{{0, 100}, {0, 30000}, {0, 30000}, {0, 100}}};
    f = fit(targets, noX);
    EXPECT_TRUE(f.result);
    EXPECT_FALSE(std::isfinite(f.KX[0]));
    EXPECT_FALSE(std::isfinite(f.KY[0]));
}

}  // namespace
}  // namespace tact
