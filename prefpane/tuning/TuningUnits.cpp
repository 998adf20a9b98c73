#include "prefpane/tuning/TuningUnits.hpp"

#include <cmath>

namespace tact::tuning {
namespace {

constexpr int kMillisecondsPerClickLevel = 25;
constexpr double kMillimetresPerInch = 25.4;
// The agent's threshold formula, with its single-precision constants.
constexpr double kThresholdStep = static_cast<double>(0.002f);
constexpr double kThresholdOffset = 0.002;
constexpr double kThresholdScale = 10.0 / 19.0;
constexpr double kThresholdFloor = 0.01;
constexpr int kLevels = 21;
constexpr int kReferenceInches = 32;

}  // namespace

int clickMilliseconds(int level) {
    return level * kMillisecondsPerClickLevel;
}

double screenWidthMillimetres(int inches, int widthPixels, int heightPixels) {
    if (widthPixels <= 0 || heightPixels <= 0) {
        widthPixels = 16;
        heightPixels = 9;
    }
    const double diagonal = std::hypot(double(widthPixels), double(heightPixels));
    return inches * kMillimetresPerInch * widthPixels / diagonal;
}

double movementMillimetres(double level, int inches, int widthPixels, int heightPixels) {
    if (inches <= 0)
        inches = kReferenceInches;
    const double ratio =
        static_cast<double>(static_cast<float>(kReferenceInches) / static_cast<float>(inches));
    double g = (kLevels - level) * kThresholdStep * ratio;
    g = (g - kThresholdOffset) * kThresholdScale + kThresholdFloor;
    return g * screenWidthMillimetres(inches, widthPixels, heightPixels);
}

}  // namespace tact::tuning
