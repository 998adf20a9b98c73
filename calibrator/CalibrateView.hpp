// The calibrator's only view: four crosshair targets shown one after another,
// the count of samples still to take for the current one, and the sample
// collection and coefficient fit behind them.
//
// The view works in the coordinates the calibration is defined in: the
// target table's fractions have their origin at the bottom left of the view,
// and the recorded target positions are screen points with the origin at the
// top left of the main screen, the one the frame covers (which need not be at
// the desktop's origin). Drawing converts to Qt's top-left widget coordinates
// at the last moment.
#pragma once

#include <QPointF>
#include <QPushButton>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string_view>

#include "calibrator/solver/CalibrationSolver.hpp"

namespace platform {
class Dictionary;
class NotificationCenter;
}  // namespace platform

namespace tact {

class CalibrateView : public QWidget {
    Q_OBJECT
  public:
    // Samples averaged for each target.
    static constexpr int kSamplesPerTarget = 100;

    // Takes the main screen's frame now: the frame's screen in desktop
    // coordinates (a zero rectangle without a screen).
    // Control notifications go to center, which must outlive the view.
    explicit CalibrateView(platform::NotificationCenter& center, QWidget* parent = nullptr);

    // Starts a run at the first target and tells the agent to send taps.
    void calibrateOn();
    // Ends a run (if one is on) and tells the agent to stop sending taps.
    void calibrateOff();
    // One calibration tap: the touch dictionary the agent sent, or nullptr
    // when the finger was lifted. True only when this tap completed the run.
    bool Tap(const platform::Dictionary* location);

    void setDownCounter(int count);
    void setStatus(const QString& status);
    bool getCalibrateCoefficient();
    void updateCoefficient();

    // The state, for the program's trace and for tests.
    int stage() const { return _stage; }
    int tapCount() const { return _tapCount; }
    bool tapToggle() const { return _tapToggle; }
    bool isCalibrateOn() const { return _isCalibrateOn; }
    const std::optional<QString>& downCounter() const { return _downCounter; }
    const CalibrationPoints& referencePoints() const { return _referencePoints; }
    const CalibrationPoints& samplePoints() const { return _samplePoints; }
    QRectF screenRect() const { return _screenRect; }
    CalibrationCoefficients coefficientsX() const { return {KX1, KX2, KX3}; }
    CalibrationCoefficients coefficientsY() const { return {KY1, KY2, KY3}; }

    // Says on screen that no agent answers, with a button that quits (and
    // takes it back once one does).
    void setAgentMissing(bool missing);
    bool agentMissing() const { return agentMissing_; }

  signals:
    // A target's screen position was recorded for the first time, or moved.
    void targetRecorded(int stage, QPointF screenPoint);
    // Escape: the user wants to leave without finishing.
    void cancelRequested();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void drawRect(const QRectF& dirtyRect);
    // What to do, under the counter, while a run is on.
    void drawGuidance(QPainter& painter, const QRectF& frame);
    void placeQuitButton();
    void postControl(std::string_view key, bool value);

    platform::NotificationCenter& center_;

    bool _tapToggle = false;
    int _tapCount = kSamplesPerTarget;
    bool _isCalibrateOn = false;
    int _stage = -1;
    QRectF _screenRect;
    QRectF baseOverScreen;
    std::optional<QString> _downCounter;
    CalibrationPoints _referencePoints{};
    CalibrationPoints _samplePoints{};
    std::uint64_t _sampleSumX = 0;
    std::uint64_t _sampleSumY = 0;
    double KX1 = 0, KX2 = 0, KX3 = 0;
    double KY1 = 0, KY2 = 0, KY3 = 0;

    bool agentMissing_ = false;
    QPushButton* quitButton_ = nullptr;  // a child of the view

    // The last target position announced with targetRecorded.
    int announcedStage_ = -1;
    QPointF announcedPoint_;
};

}  // namespace tact
