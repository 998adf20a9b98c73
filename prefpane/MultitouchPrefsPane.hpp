// The touch frame's settings pane: the frame's identity and versions as the
// agent reports them, the click timings, the gesture move threshold and the
// scroll arrow key, the monitor the frame covers, the agent's touch log, the calibration reset,
// and buttons that start the calibrator and the touch painter.
//
// The pane never talks to the frame. It asks the agent with control
// notifications, listens to the agent's notifications while it is shown, and
// writes the shared preferences domain, synchronising it before every
// "PreferenceReload" it sends.
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

#include "calibrator/solver/CalibrationSolver.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "prefpane/host/PreferencePane.hpp"

class QAbstractSlider;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QScreen;
class QSlider;
class QTabWidget;
class QTimer;

namespace platform::actions {
class DesktopActions;
}
namespace platform::hid {
struct FrameAccess;
}

namespace tact {

namespace gestures {
class GesturesTab;
}
namespace applications {
class ApplicationsTab;
}
namespace calibration {
class CalibrationPreview;
}
namespace log {
class LogTail;
}
namespace tuning {
class ScreenLayoutPreview;
}

class MultitouchPrefsPane : public QObject, public PreferencePane {
    Q_OBJECT
  public:
    // The level controls' range; the reset levels 8, 12 and 10 lie inside.
    static constexpr int kMinimumLevel = 1;
    static constexpr int kMaximumLevel = 20;

    // The application paths the launch buttons start.
    static constexpr const char* kPainterApplication = "/Applications/Tactpaint.app";
    static constexpr const char* kCalibratorApplication = "/Applications/Tactcalib.app";

    static constexpr const char* kDeviceAlertText =
        "Please make sure Zyvtouch Screen is connected!";

    explicit MultitouchPrefsPane(const PaneContext& context, QObject* parent = nullptr);
    ~MultitouchPrefsPane() override;

    QString label() const override;
    void mainViewDidLoad() override;
    void didSelect() override;
    void didUnselect() override;

    // Outlets.
    QTabWidget* _tabViews = nullptr;
    QLabel* _driverVersion = nullptr;
    QLabel* _serialNumber = nullptr;
    QLabel* _deviceType = nullptr;
    QLabel* _shipDateTime = nullptr;
    QLabel* _shipTime = nullptr;
    QLabel* _maxTouchPoints = nullptr;
    QLabel* _hardwareVersion = nullptr;
    QLabel* _firmwareVersion = nullptr;
    QLineEdit* _logURL = nullptr;
    QCheckBox* _triggerLog = nullptr;
    QPushButton* _selectLogURL = nullptr;
    QSlider* _clickDuration = nullptr;
    QSlider* _successiveClickDuration = nullptr;
    QSlider* _gestureMoveThreshold = nullptr;
    // "ScrollArrowKey": an arrow key at the start of a two-finger scroll.
    QCheckBox* _scrollArrowKey = nullptr;
    // "ScreenOutput": the monitor the frame covers. Each entry's data is the
    // output name it stores; the first, the primary monitor, stores none.
    QComboBox* _screenOutput = nullptr;
    // The buttons bound to the remaining actions.
    QPushButton* tuningResetButton = nullptr;
    QPushButton* resetCoefficientButton = nullptr;
    QPushButton* openCalibraterButton = nullptr;
    QPushButton* openPainterButton = nullptr;
    // What each gesture does, and the user's own shortcuts for them.
    gestures::GesturesTab* gesturesTab = nullptr;
    // Which applications count as browsers and as document viewers.
    applications::ApplicationsTab* applicationsTab = nullptr;
    // The calibration tab's own way to the calibrator.
    QPushButton* calibrateButton = nullptr;
    // The device tab's first line: is the agent running, is a frame
    // connected, can it be opened; and what to do about it.
    QLabel* agentState = nullptr;
    QLabel* agentRemedy = nullptr;

    // Actions.
    void _LogTrigger();
    // The action of the _selectLogURL button (a member cannot share the name).
    void _selectLogURLAction();
    void _OpenZyvtPainter();
    void _OpenZyvtouchCalibrater();
    void _ResetCoefficient();
    void _tuningReset();
    void _setClickDuration(const QAbstractSlider& sender);
    void _setSuccessiveClickDuration(const QAbstractSlider& sender);
    void _setGestureMoveThreshold(const QAbstractSlider& sender);
    void _setScrollArrowKey();
    // The action of the _screenOutput choice.
    void _setScreenOutput();

    void loadTuningSettings();
    // Lists the primary monitor, every connected screen but leaving (one on
    // its way out) and, when the stored output is not among them, that one
    // too; selects the stored one.
    void loadScreenChoices(const QScreen* leaving = nullptr);
    void callbackWithNotification(const platform::Notification& notification);
    bool getCalibrateCoefficient(const CalibrationPoints& targets, const CalibrationPoints& samples,
                                 CalibrationCoefficients& KXs, CalibrationCoefficients& KYs);
    void updateCoefficient(const CalibrationCoefficients& KXs, const CalibrationCoefficients& KYs);

    bool isSerialNumberAlive() const { return _isSerialNumberAlive; }
    // The alert shown when the frame is not connected (after mainViewDidLoad).
    QMessageBox* deviceAlert() const { return alert.get(); }

  protected:
    std::unique_ptr<QWidget> loadInterface() override;

  private:
    void post(const platform::Dictionary& userInfo);
    void writeTuning(std::string_view key, const QAbstractSlider& sender);
    void launch(const char* applicationPath);
    void setLogControlsLocked(bool locked);
    void showLevels();
    void watchScreen(QScreen* screen);
    void traceDeviceFields() const;
    // The state line from the agent's answer (nullopt: no answer in time).
    void showAgentState(std::optional<bool> deviceReady);
    void showCalibrationState();
    void showConnection(const platform::hid::FrameAccess& access);

    QLabel* clickDurationLevel_ = nullptr;
    QLabel* successiveClickDurationLevel_ = nullptr;
    QLabel* gestureMoveThresholdLevel_ = nullptr;
    QLabel* calibrationState_ = nullptr;
    calibration::CalibrationPreview* calibrationPreview_ = nullptr;
    QLabel* connectionDetails_ = nullptr;
    log::LogTail* logTail_ = nullptr;
    tuning::ScreenLayoutPreview* screenLayout_ = nullptr;
    // Runs from each question to the agent until its answer.
    QTimer* agentAnswerLimit_ = nullptr;

    // How the desktop does each action, for the gestures tab.
    std::unique_ptr<platform::actions::DesktopActions> desktopActions_;

    bool _isSerialNumberAlive = false;
    std::unique_ptr<QMessageBox> alert;
    platform::Observation observation_;
};

}  // namespace tact
