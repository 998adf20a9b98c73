// The coefficient solver shared by the calibrator and the settings pane: the
// least-squares affine map from four raw frame positions (device units) to
// four screen targets (points, origin top-left).
//
//   screen x = KX1 * touchX + KX2 * touchY + KX3
//   screen y = KY1 * touchX + KY2 * touchY + KY3
//
// The fit goes through the normal equations in one fixed arithmetic form, so
// both programs compute bit-identical coefficients for the same input, the
// non-finite ones of degenerate input included. No validation: a zero sum or
// collinear samples give infinite or NaN coefficients, returned as they are.
#pragma once

#include <array>

namespace tact {

struct CalibrationPoint {
    double x = 0.0;
    double y = 0.0;
    friend bool operator==(const CalibrationPoint&, const CalibrationPoint&) = default;
};

// The number of sample/target pairs of a calibration.
inline constexpr int kCalibrationPointCount = 4;

using CalibrationPoints = std::array<CalibrationPoint, kCalibrationPointCount>;
using CalibrationCoefficients = std::array<double, 3>;

// Fits KXs = {KX1, KX2, KX3} and KYs = {KY1, KY2, KY3} so that the map sends
// samples[i] as close as possible to targets[i]. Always returns true.
bool getCalibrateCoefficient(const CalibrationPoints& targets, const CalibrationPoints& samples,
                             CalibrationCoefficients& KXs, CalibrationCoefficients& KYs);

}  // namespace tact
