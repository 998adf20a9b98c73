#include "calibrator/solver/CalibrationSolver.hpp"

namespace tact {
namespace {

// One row of the affine map that sends the three points P[j] exactly to the
// target coordinates w[j] (the targets' x or their y), by Cramer's rule.
void solveThroughThreePairs(const CalibrationPoint (&P)[3], const double (&w)[3],
                            CalibrationCoefficients& K) {
    const double x0 = P[0].x, y0 = P[0].y;
    const double x1 = P[1].x, y1 = P[1].y;
    const double x2 = P[2].x, y2 = P[2].y;
    const double u0 = w[0], u1 = w[1], u2 = w[2];

    const double det = (x0 - x2) * (y1 - y2) - (x1 - x2) * (y0 - y2);
    K[0] = ((u0 - u2) * (y1 - y2) - (u1 - u2) * (y0 - y2)) / det;
    K[1] = ((u1 - u2) * (x0 - x2) - (u0 - u2) * (x1 - x2)) / det;
    K[2] = (y0 * (x2 * u1 - x1 * u2) + y1 * (x0 * u2 - x2 * u0) + y2 * (x1 * u0 - x0 * u1)) / det;
}

}  // namespace

bool getCalibrateCoefficient(const CalibrationPoints& targets, const CalibrationPoints& samples,
                             CalibrationCoefficients& KXs, CalibrationCoefficients& KYs) {
    const int n = kCalibrationPointCount;

    double sumSx = 0.0, sumSy = 0.0, sumRx = 0.0, sumRy = 0.0;
    double sumSxSx = 0.0, sumSxSy = 0.0, sumSySy = 0.0;
    double sumSxRx = 0.0, sumSyRx = 0.0, sumSxRy = 0.0, sumSyRy = 0.0;
    for (int i = 0; i < n; ++i) {
        const double sx = samples[i].x;
        const double sy = samples[i].y;
        const double rx = targets[i].x;
        const double ry = targets[i].y;
        sumSx += sx;
        sumSy += sy;
        sumRx += rx;
        sumRy += ry;
        sumSxSx += sx * sx;
        sumSxSy += sx * sy;
        sumSySy += sy * sy;
        sumSxRx += sx * rx;
        sumSyRx += sy * rx;
        sumSxRy += sx * ry;
        sumSyRy += sy * ry;
    }

    // Three derived pairs whose exact affine map is the least-squares fit:
    // the sums weighted by sx, the sums weighted by sy, and the centroids.
    const CalibrationPoint P[3] = {
        {sumSxSx / sumSx, sumSxSy / sumSx},
        {sumSxSy / sumSy, sumSySy / sumSy},
        {sumSx / n, sumSy / n},
    };
    const double u[3] = {sumSxRx / sumSx, sumSyRx / sumSy, sumRx / n};
    const double v[3] = {sumSxRy / sumSx, sumSyRy / sumSy, sumRy / n};

    solveThroughThreePairs(P, u, KXs);
    solveThroughThreePairs(P, v, KYs);
    return true;
}

}  // namespace tact
