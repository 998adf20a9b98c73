// A picture of the stored calibration: the monitor, where the frame's edges
// land on it through the calibration map, and the four places the calibrator
// asks a finger to touch. With no calibration the frame spreads evenly over
// the monitor.
#pragma once

#include <QWidget>

#include <array>
#include <optional>

namespace tact::calibration {

// The stored map: normalised x = (KX1 * X + KX2 * Y + KX3) / width, and y the
// same with the KY coefficients and height, for frame positions X, Y in
// 0..32768.
struct CalibrationMap {
    std::array<double, 3> kx{};
    std::array<double, 3> ky{};
    double width = 0;
    double height = 0;
};

class CalibrationPreview : public QWidget {
    Q_OBJECT
  public:
    explicit CalibrationPreview(QWidget* parent = nullptr);

    // The map to draw; nullopt draws the frame spread evenly over a monitor
    // of the given shape.
    void setMap(const std::optional<CalibrationMap>& map, QSizeF monitor);

    QSize sizeHint() const override { return {480, 300}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::optional<CalibrationMap> map_;
    QSizeF monitor_{16, 9};
};

}  // namespace tact::calibration
