#include "prefpane/MultitouchPrefsPane.hpp"
#include "prefpane/PaneLabels.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSlider>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/actions/DesktopActions.hpp"
#include "platform/desktop/ApplicationTable.hpp"
#include "platform/hid/FrameAccess.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/values/Value.hpp"
#include "prefpane/applications/ApplicationsTab.hpp"
#include "prefpane/calibration/CalibrationPreview.hpp"
#include "prefpane/gestures/GesturesTab.hpp"
#include "prefpane/host/Workspace.hpp"
#include "prefpane/log/LogTail.hpp"
#include "prefpane/tuning/ScreenLayoutPreview.hpp"
#include "prefpane/tuning/TuningUnits.hpp"
#include "qtsupport/FrameScreen.hpp"

namespace tact {
namespace {

// How long the agent has to answer before the pane says it is not running.
constexpr int kAgentAnswerMilliseconds = 3000;

// Where the uncalibrated mapping puts its four pairs: targets at a tenth and
// nine tenths of the screen, samples at a tenth and nine tenths of the
// frame's 0..32768 range, all as single-precision numbers widened.
constexpr double kTargetLow = static_cast<double>(0.1f);
constexpr double kTargetHigh = static_cast<double>(0.9f);
constexpr double kSampleLow = static_cast<double>(3276.8f);
constexpr double kSampleHigh = static_cast<double>(29491.2f);

void logNote(platform::LogLevel level, const QString& text) {
    platform::systemLog(level, ("settings pane: " + text).toStdString());
}

QString qString(const platform::String& s) {
    return QString::fromStdU16String(s.units());
}

platform::String pString(const QString& s) {
    return platform::String::fromUnits(s.toStdU16String());
}

// A text the agent sent; nullopt (noted) when the key holds something else.
std::optional<QString> textValue(const platform::Dictionary& info, std::string_view key) {
    const platform::Value* value = info.find(platform::String(key));
    if (!value)
        return std::nullopt;
    if (const platform::String* s = value->asString())
        return qString(*s);
    logNote(platform::LogLevel::Warning,
            QStringLiteral("ignored \"%1\" of the agent: %2 is no text")
                .arg(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())),
                     QString::fromStdString(platform::describe(*value))));
    return std::nullopt;
}

// A yes/no the agent sent: a boolean, or a number (nonzero is yes). nullopt
// when absent or of another type (noted).
std::optional<bool> flagValue(const platform::Dictionary& info, std::string_view key) {
    const platform::Value* value = info.find(platform::String(key));
    if (!value)
        return std::nullopt;
    if (auto b = value->asBoolean())
        return *b;
    if (auto n = value->asNumber())
        return *n != 0;
    logNote(platform::LogLevel::Warning,
            QStringLiteral("ignored \"%1\" of the agent: %2 is no yes or no")
                .arg(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())),
                     QString::fromStdString(platform::describe(*value))));
    return std::nullopt;
}

// The 16-byte boot-parameter block: code unit k of the text gives byte 2k
// (its low half) and 2k+1 (its high half). Missing units leave zeros; a
// block sent as raw data is taken as it is.
std::optional<std::array<std::uint8_t, 16>> bootParamBytes(const platform::Value& value) {
    std::array<std::uint8_t, 16> b{};
    if (const platform::String* s = value.asString()) {
        const std::u16string& units = s->units();
        for (std::size_t k = 0; k < 8 && k < units.size(); ++k) {
            b[2 * k] = static_cast<std::uint8_t>(units[k] & 0xFF);
            b[2 * k + 1] = static_cast<std::uint8_t>(units[k] >> 8);
        }
        return b;
    }
    if (const platform::Data* d = value.asData()) {
        for (std::size_t i = 0; i < b.size() && i < d->size(); ++i)
            b[i] = (*d)[i];
        return b;
    }
    logNote(platform::LogLevel::Warning,
            QStringLiteral("ignored \"BOOTPARAM\" of the agent: %1 is no boot-parameter block")
                .arg(QString::fromStdString(platform::describe(value))));
    return std::nullopt;
}

// The stored level of key, when the domain holds a number there.
std::optional<double> storedLevel(std::string_view key) {
    auto value = platform::CFPreferencesCopyAppValue(platform::String(key), kZyvTouchSetting);
    if (!value)
        return std::nullopt;
    if (auto n = value->asNumber())
        return *n;
    logNote(platform::LogLevel::Warning,
            QStringLiteral("ignored the stored \"%1\": %2 is no number")
                .arg(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())),
                     QString::fromStdString(platform::describe(*value))));
    return std::nullopt;
}

// The stored yes or no of key, when the domain holds a boolean there.
std::optional<bool> storedFlag(std::string_view key) {
    auto value = platform::CFPreferencesCopyAppValue(platform::String(key), kZyvTouchSetting);
    if (!value)
        return std::nullopt;
    if (auto b = value->asBoolean())
        return *b;
    logNote(platform::LogLevel::Warning,
            QStringLiteral("ignored the stored \"%1\": %2 is no yes or no")
                .arg(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())),
                     QString::fromStdString(platform::describe(*value))));
    return std::nullopt;
}

void setLevel(QSlider* slider, double level) {
    if (!slider)
        return;
    // Loading shows a level; it is no user action and writes nothing.
    const QSignalBlocker blocker(slider);
    slider->setValue(static_cast<int>(
        std::lround(std::clamp(level, double(slider->minimum()), double(slider->maximum())))));
}

void synchronize() {
    if (!platform::CFPreferencesAppSynchronize(kZyvTouchSetting))
        logNote(platform::LogLevel::Error, QStringLiteral("the settings could not be saved"));
}

// A path the agent can log into: the text as a local path (a file URL is
// taken as its local path), absolute, naming a regular file that is there
// or can be made. The file is made (empty) when it is missing, because the
// agent opens only files that exist.
std::optional<QString> usableLogPath(const QString& text) {
    QString path = text.trimmed();
    if (path.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        path = QUrl(path).toLocalFile();
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return std::nullopt;
    const QFileInfo info(path);
    if (info.exists())
        return info.isFile() && info.isWritable() ? std::optional(path) : std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return std::nullopt;
    return path;
}

QString documentsFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty())
        folder = QDir::homePath() + QStringLiteral("/Documents");
    return folder;
}

// <documents>/multitouch_<seconds since 1970>.log
QString defaultLogPath() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return QString::asprintf("%s/multitouch_%f.log", documentsFolder().toUtf8().constData(),
                             seconds);
}

// Makes the default log file (and its folder); false when it cannot be made.
bool createLogFile(const QString& path) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.close();
    return true;
}

std::unique_ptr<QMessageBox> makeAlert(const QString& informativeText, QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QStringLiteral("Tactpane"));
    box->setInformativeText(informativeText);
    box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    return box;
}

QSlider* makeLevelSlider(QWidget* parent) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setRange(MultitouchPrefsPane::kMinimumLevel, MultitouchPrefsPane::kMaximumLevel);
    slider->setPageStep(1);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(1);
    // Dragging sends one value, when the slider is let go.
    slider->setTracking(false);
    return slider;
}

QLabel* makeField(QWidget* parent) {
    auto* field = new QLabel(parent);
    field->setTextInteractionFlags(Qt::TextSelectableByMouse);
    field->setMinimumWidth(220);
    return field;
}

}  // namespace

MultitouchPrefsPane::MultitouchPrefsPane(const PaneContext& context, QObject* parent)
    : QObject(parent), PreferencePane(context) {}

MultitouchPrefsPane::~MultitouchPrefsPane() {
    observation_.remove();
}

QString MultitouchPrefsPane::label() const {
    return tr("Touch Frame");
}

std::unique_ptr<QWidget> MultitouchPrefsPane::loadInterface() {
    auto view = std::make_unique<QWidget>();
    view->setMinimumSize(600, 380);
    auto* outer = new QVBoxLayout(view.get());
    _tabViews = new QTabWidget(view.get());
    outer->addWidget(_tabViews);

    // Device: the agent's state, what it reports about the frame, how the
    // frame is connected, and where to go next.
    auto* device = new QWidget(_tabViews);
    auto* deviceLayout = new QVBoxLayout(device);
    agentState = new QLabel(tr("Asking the agent…"), device);
    {
        QFont font = agentState->font();
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * 1.2);
        agentState->setFont(font);
    }
    agentState->setWordWrap(true);
    deviceLayout->addWidget(agentState);
    agentRemedy = new QLabel(device);
    agentRemedy->setWordWrap(true);
    agentRemedy->setTextInteractionFlags(Qt::TextSelectableByMouse);
    agentRemedy->hide();
    deviceLayout->addWidget(agentRemedy);
    deviceLayout->addSpacing(8);
    auto* deviceColumns = new QHBoxLayout();
    auto* frameBox = new QGroupBox(tr("The frame, as the agent reports it"), device);
    auto* fields = new QFormLayout(frameBox);
    fields->setLabelAlignment(Qt::AlignRight);
    fields->setVerticalSpacing(10);
    _driverVersion = makeField(frameBox);
    _serialNumber = makeField(frameBox);
    _deviceType = makeField(frameBox);
    _shipDateTime = makeField(frameBox);
    _shipTime = makeField(frameBox);
    _maxTouchPoints = makeField(frameBox);
    _hardwareVersion = makeField(frameBox);
    _firmwareVersion = makeField(frameBox);
    fields->addRow(tr("Driver version:"), _driverVersion);
    fields->addRow(tr("Serial number:"), _serialNumber);
    fields->addRow(tr("Type:"), _deviceType);
    fields->addRow(tr("Ship date:"), _shipDateTime);
    fields->addRow(tr("Ship time:"), _shipTime);
    fields->addRow(tr("Touch points:"), _maxTouchPoints);
    fields->addRow(tr("Hardware version:"), _hardwareVersion);
    fields->addRow(tr("Firmware version:"), _firmwareVersion);
    deviceColumns->addWidget(frameBox, 1);
    auto* connectionBox = new QGroupBox(tr("Connection"), device);
    auto* connectionLayout = new QVBoxLayout(connectionBox);
    connectionDetails_ = new QLabel(connectionBox);
    connectionDetails_->setWordWrap(true);
    connectionDetails_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    connectionLayout->addWidget(connectionDetails_);
    connectionLayout->addWidget(
        makeNote(tr("The agent reads the frame through its hidraw node and takes its input "
                    "event nodes for itself, so that the desktop does not see the touches "
                    "twice. Both need the udev rule that comes with the driver."),
                 connectionBox));
    connectionLayout->addStretch(1);
    deviceColumns->addWidget(connectionBox, 1);
    deviceLayout->addLayout(deviceColumns, 1);
    auto* nextBox = new QGroupBox(tr("Next steps"), device);
    auto* nextLayout = new QGridLayout(nextBox);
    openCalibraterButton = new QPushButton(tr("Calibrate…"), nextBox);
    openPainterButton = new QPushButton(tr("Test Touches…"), nextBox);
    nextLayout->addWidget(openCalibraterButton, 0, 0);
    nextLayout->addWidget(
        makeNote(tr("When the pointer does not land under your finger: four crosses, one "
                    "touch each."),
                 nextBox),
        0, 1);
    nextLayout->addWidget(openPainterButton, 1, 0);
    nextLayout->addWidget(makeNote(tr("Paints every touch the frame reports, to check that all "
                                      "of the frame answers and where."),
                                   nextBox),
                          1, 1);
    nextLayout->setColumnStretch(1, 1);
    deviceLayout->addWidget(nextBox);
    _tabViews->addTab(device, tr("Device"));

    // Gestures: what each one does on this desktop, and the user's shortcuts.
    desktopActions_ = platform::actions::makeSessionDesktopActions(
        runLoop(), qEnvironmentVariable("DISPLAY").toStdString());
    gesturesTab = new gestures::GesturesTab(
        desktopActions_.get(),
        [this] {
            post(platform::Dictionary{{platform::String(kKeyPreferenceReload), true}});
        },
        _tabViews);
    _tabViews->addTab(gesturesTab, tr("Gestures"));

    // Applications: which count as browsers and as document viewers.
    applicationsTab =
        new applications::ApplicationsTab(platform::defaultApplicationTablePaths(), _tabViews);
    _tabViews->addTab(applicationsTab, tr("Applications"));

    // Tuning: timings in milliseconds, the movement as a distance, the
    // scroll's arrow key and the monitor the frame covers.
    auto* tuning = new QWidget(_tabViews);
    auto* tuningLayout = new QVBoxLayout(tuning);
    _clickDuration = makeLevelSlider(tuning);
    _successiveClickDuration = makeLevelSlider(tuning);
    _gestureMoveThreshold = makeLevelSlider(tuning);
    // A higher level is a shorter movement: shown the other way round, so
    // that the slider reads "shorter" to "longer" from left to right.
    _gestureMoveThreshold->setInvertedAppearance(true);
    _gestureMoveThreshold->setInvertedControls(true);
    clickDurationLevel_ = new QLabel(tuning);
    successiveClickDurationLevel_ = new QLabel(tuning);
    gestureMoveThresholdLevel_ = new QLabel(tuning);
    for (QLabel* level :
         {clickDurationLevel_, successiveClickDurationLevel_, gestureMoveThresholdLevel_})
        level->setMinimumWidth(110);
    // label: shorter [slider] longer  value
    auto addScale = [](QGridLayout* grid, int row, const QString& label, QSlider* slider,
                       QLabel* value) {
        QWidget* parent = grid->parentWidget();
        grid->addWidget(new QLabel(label, parent), row, 0, Qt::AlignRight);
        grid->addWidget(new QLabel(tr("shorter"), parent), row, 1);
        grid->addWidget(slider, row, 2);
        grid->addWidget(new QLabel(tr("longer"), parent), row, 3);
        grid->addWidget(value, row, 4);
        grid->setColumnStretch(2, 1);
    };
    auto* tapsBox = new QGroupBox(tr("Taps"), tuning);
    auto* taps = new QGridLayout(tapsBox);
    addScale(taps, 0, tr("Click duration:"), _clickDuration, clickDurationLevel_);
    addScale(taps, 1, tr("Double-click window:"), _successiveClickDuration,
             successiveClickDurationLevel_);
    taps->addWidget(
        makeNote(tr("A touch held longer than the click duration is no click but the start of "
                    "a drag. Two taps further apart than the double-click window are two single "
                    "clicks."),
                 tapsBox),
        2, 0, 1, 5);
    tuningLayout->addWidget(tapsBox);
    auto* movementBox = new QGroupBox(tr("Gestures"), tuning);
    auto* movement = new QGridLayout(movementBox);
    addScale(movement, 0, tr("Start gestures after:"), _gestureMoveThreshold,
             gestureMoveThresholdLevel_);
    movement->addWidget(
        makeNote(tr("Fingers move this far before a swipe starts, and about four times as far "
                    "before two fingers scroll. Longer keeps taps from turning into gestures; "
                    "shorter makes gestures quicker to start."),
                 movementBox),
        1, 0, 1, 5);
    _scrollArrowKey = new QCheckBox(tr("Arrow key at the start of a scroll"), movementBox);
    _scrollArrowKey->setToolTip(
        tr("When two fingers start scrolling sideways, also press one arrow key against the "
           "direction. In text this moves the caret and changes the selection."));
    movement->addWidget(_scrollArrowKey, 2, 0, 1, 5);
    movement->addWidget(
        makeNote(tr("Some applications page sideways with an arrow key; in text it moves the "
                    "caret, so leave it off unless an application needs it."),
                 movementBox),
        3, 0, 1, 5);
    tuningLayout->addWidget(movementBox);
    auto* screenBox = new QGroupBox(tr("Screen"), tuning);
    auto* screenRow = new QFormLayout(screenBox);
    _screenOutput = new QComboBox(screenBox);
    _screenOutput->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    _screenOutput->setToolTip(
        tr("The monitor the touch frame is mounted on. The calibrator and "
           "the touch painter open there."));
    screenRow->addRow(tr("The frame covers:"), _screenOutput);
    screenRow->addRow(
        makeNote(tr("Touches land on this monitor; calibrate again after choosing another one."),
                 screenBox));
    screenLayout_ = new tuning::ScreenLayoutPreview(screenBox);
    screenRow->addRow(screenLayout_);
    tuningLayout->addWidget(screenBox, 1);
    auto* tuningButtons = new QHBoxLayout();
    tuningButtons->addStretch(1);
    tuningResetButton = new QPushButton(tr("Reset to Defaults"), tuning);
    tuningButtons->addWidget(tuningResetButton);
    tuningLayout->addLayout(tuningButtons);
    _tabViews->addTab(tuning, tr("Tuning"));

    // Calibration.
    auto* calibration = new QWidget(_tabViews);
    auto* calibrationLayout = new QVBoxLayout(calibration);
    calibrationState_ = new QLabel(calibration);
    calibrationState_->setWordWrap(true);
    {
        QFont font = calibrationState_->font();
        font.setBold(true);
        calibrationState_->setFont(font);
    }
    calibrationLayout->addWidget(calibrationState_);
    calibrationLayout->addWidget(makeNote(
        tr("Calibrate when the pointer does not land under your finger: four crosses appear "
           "one after another on the monitor the frame covers (Tuning); hold a finger on each "
           "until its counter runs out. Run the calibrator again after changing monitors or "
           "their resolution."),
        calibration));
    calibrationLayout->addWidget(
        makeNote(tr("Resetting the calibration spreads the frame's whole range evenly over that "
                    "monitor, as if the frame were mounted exactly on its edges."),
                 calibration));
    calibrationPreview_ = new calibration::CalibrationPreview(calibration);
    calibrationLayout->addWidget(calibrationPreview_, 1);
    auto* calibrationButtons = new QHBoxLayout();
    calibrationButtons->addStretch(1);
    resetCoefficientButton = new QPushButton(tr("Reset Calibration"), calibration);
    calibrateButton = new QPushButton(tr("Calibrate…"), calibration);
    calibrationButtons->addWidget(resetCoefficientButton);
    calibrationButtons->addWidget(calibrateButton);
    calibrationLayout->addLayout(calibrationButtons);
    _tabViews->addTab(calibration, tr("Calibration"));

    // The agent's touch log.
    auto* log = new QWidget(_tabViews);
    auto* logLayout = new QVBoxLayout(log);
    _triggerLog = new QCheckBox(tr("Write the agent's touch log"), log);
    logLayout->addWidget(_triggerLog);
    auto* pathRow = new QHBoxLayout();
    pathRow->addWidget(new QLabel(tr("Log file:"), log));
    _logURL = new QLineEdit(log);
    _logURL->setPlaceholderText(tr("a new file in your Documents folder"));
    pathRow->addWidget(_logURL, 1);
    _selectLogURL = new QPushButton(tr("Choose…"), log);
    pathRow->addWidget(_selectLogURL);
    logLayout->addLayout(pathRow);
    logLayout->addWidget(makeNote(
        tr("The log holds positions outside the screen and gestures that were not recognised. "
           "Without a file, switching the log on starts a new one in your Documents folder."),
        log));
    logLayout->addWidget(
        makeNote(tr("The agent's other messages go to the journal: journalctl --user -u tactagent. "
                    "Switch the log off again when you are done; it grows with every touch."),
                 log));
    logLayout->addWidget(new QLabel(tr("The end of the log file:"), log));
    logTail_ = new log::LogTail(log);
    logLayout->addWidget(logTail_, 1);
    connect(_tabViews, &QTabWidget::currentChanged, this, [this, log](int index) {
        if (_tabViews->widget(index) == log)
            logTail_->showFile(_logURL->text());
    });
    _tabViews->addTab(log, tr("Log"));

    connect(_triggerLog, &QCheckBox::clicked, this, [this] { _LogTrigger(); });
    connect(_selectLogURL, &QPushButton::clicked, this, [this] { _selectLogURLAction(); });
    connect(openPainterButton, &QPushButton::clicked, this, [this] { _OpenZyvtPainter(); });
    connect(openCalibraterButton, &QPushButton::clicked, this,
            [this] { _OpenZyvtouchCalibrater(); });
    connect(calibrateButton, &QPushButton::clicked, this, [this] { _OpenZyvtouchCalibrater(); });
    connect(resetCoefficientButton, &QPushButton::clicked, this, [this] { _ResetCoefficient(); });
    connect(tuningResetButton, &QPushButton::clicked, this, [this] { _tuningReset(); });
    connect(_clickDuration, &QSlider::valueChanged, this,
            [this] { _setClickDuration(*_clickDuration); });
    connect(_successiveClickDuration, &QSlider::valueChanged, this,
            [this] { _setSuccessiveClickDuration(*_successiveClickDuration); });
    connect(_gestureMoveThreshold, &QSlider::valueChanged, this,
            [this] { _setGestureMoveThreshold(*_gestureMoveThreshold); });
    connect(_scrollArrowKey, &QCheckBox::clicked, this, [this] { _setScrollArrowKey(); });
    // Only a choice of the user's stores anything; refilling the list does not.
    connect(_screenOutput, &QComboBox::activated, this, [this] { _setScreenOutput(); });
    // The list follows monitors being plugged in and out, and changing size or place.
    connect(qGuiApp, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
        watchScreen(screen);
        loadScreenChoices();
    });
    connect(qGuiApp, &QGuiApplication::screenRemoved, this,
            [this](QScreen* screen) { loadScreenChoices(screen); });
    for (QScreen* screen : QGuiApplication::screens())
        watchScreen(screen);
    // While a level is dragged, its label follows.
    for (QSlider* slider : {_clickDuration, _successiveClickDuration, _gestureMoveThreshold})
        connect(slider, &QSlider::sliderMoved, this, [this] { showLevels(); });

    agentAnswerLimit_ = new QTimer(this);
    agentAnswerLimit_->setSingleShot(true);
    agentAnswerLimit_->setInterval(kAgentAnswerMilliseconds);
    connect(agentAnswerLimit_, &QTimer::timeout, this, [this] { showAgentState(std::nullopt); });

    // Until something is stored, the levels sit at their reset values.
    setLevel(_clickDuration, kResetClickDurationLevel);
    setLevel(_successiveClickDuration, kResetSuccessiveClickDurationLevel);
    setLevel(_gestureMoveThreshold, kResetGestureMoveThresholdLevel);
    showLevels();
    return view;
}

void MultitouchPrefsPane::mainViewDidLoad() {
    _tabViews->setCurrentIndex(0);

    synchronize();
    if (auto logFile = platform::CFPreferencesCopyAppValue(platform::String(kZyvTouchLogFile),
                                                           kZyvTouchSetting)) {
        if (const platform::String* path = logFile->asString())
            _logURL->setText(qString(*path));
        else
            logNote(platform::LogLevel::Warning,
                    QStringLiteral("ignored the stored \"LogFile\": %1 is no path")
                        .arg(QString::fromStdString(platform::describe(*logFile))));
    }
    if (auto logStart = platform::CFPreferencesCopyAppValue(platform::String(kZyvTouchLogStart),
                                                            kZyvTouchSetting)) {
        const std::optional<bool> on = logStart->asBoolean() ? logStart->asBoolean()
                                       : logStart->asNumber()
                                           ? std::optional<bool>(*logStart->asNumber() != 0)
                                           : std::nullopt;
        if (on && *on) {
            _triggerLog->setChecked(true);
            setLogControlsLocked(true);
        }
    }
    loadTuningSettings();
    loadScreenChoices();

    showCalibrationState();
    showConnection(platform::hid::checkFrameAccess());

    alert = makeAlert(QString::fromUtf8(kDeviceAlertText), mainView());
}

void MultitouchPrefsPane::loadTuningSettings() {
    if (auto level = storedLevel(kZyvTouchClickDuration))
        setLevel(_clickDuration, *level);
    if (auto level = storedLevel(kZyvTouchSuccessiveClickDuration))
        setLevel(_successiveClickDuration, *level);
    if (auto level = storedLevel(kZyvTouchGestureMoveThreshold))
        setLevel(_gestureMoveThreshold, *level);
    _scrollArrowKey->setChecked(storedFlag(kZyvTouchScrollArrowKey).value_or(kResetScrollArrowKey));
    showLevels();
}

void MultitouchPrefsPane::loadScreenChoices(const QScreen* leaving) {
    const QString stored = storedScreenOutput();
    // Filling the list is no choice of the user's.
    const QSignalBlocker blocker(_screenOutput);
    _screenOutput->clear();
    _screenOutput->addItem(tr("Primary monitor (default)"), QString());
    for (QScreen* screen : QGuiApplication::screens()) {
        // A screen without a name cannot be stored; it serves only as the primary.
        if (screen == leaving || screen->name().isEmpty())
            continue;
        const QRect g = screen->geometry();
        _screenOutput->addItem(tr("%1 — %2×%3 at %4,%5")
                                   .arg(screen->name())
                                   .arg(g.width())
                                   .arg(g.height())
                                   .arg(g.x())
                                   .arg(g.y()),
                               screen->name());
    }
    int current = _screenOutput->findData(stored);
    if (current < 0) {
        // Kept as stored: the agent keeps waiting for that monitor too.
        _screenOutput->addItem(tr("%1 (not connected)").arg(stored), stored);
        current = _screenOutput->count() - 1;
    }
    _screenOutput->setCurrentIndex(current);
    screenLayout_->setChosen(stored);
}

void MultitouchPrefsPane::watchScreen(QScreen* screen) {
    connect(screen, &QScreen::geometryChanged, this, [this] { loadScreenChoices(); });
}

void MultitouchPrefsPane::didSelect() {
    _isSerialNumberAlive = false;
    agentState->setText(tr("Asking the agent…"));
    agentRemedy->hide();
    agentAnswerLimit_->start();
    showCalibrationState();
    observation_ = notificationCenter().addObserver(
        platform::String(kZyvTouchEventNotification), platform::String(kMultiTouchSupportObject),
        [this](const platform::Notification& n) { callbackWithNotification(n); });
    post(platform::Dictionary{{platform::String(kKeyNeedSerialNumber), true}});
}

void MultitouchPrefsPane::didUnselect() {
    observation_.remove();
    agentAnswerLimit_->stop();
    platform::CFPreferencesSetAppValue(platform::String(kZyvTouchLogStart),
                                       platform::Value(_triggerLog && _triggerLog->isChecked()),
                                       kZyvTouchSetting);
    synchronize();
}

void MultitouchPrefsPane::callbackWithNotification(const platform::Notification& notification) {
    if (!notification.userInfo)
        return;
    const platform::Dictionary& info = *notification.userInfo;
    // Calibration taps and the like carry nothing the pane shows.
    if (!info.contains(platform::String(kKeyDriverVersion)) &&
        !info.contains(platform::String(kKeyIsDeviceReady)))
        return;

    if (auto version = textValue(info, kKeyDriverVersion))
        _driverVersion->setText(*version);

    const std::optional<bool> ready = flagValue(info, kKeyIsDeviceReady);
    // Any answer says the agent runs; without "IsDeviceReady" it knows no frame yet.
    agentAnswerLimit_->stop();
    showAgentState(ready.value_or(false));
    if (!ready) {
        traceDeviceFields();
        return;
    }
    if (!*ready) {
        _serialNumber->setText(QString());
        const QString none =
            QString::fromUtf8(kNotAvailable.data(), static_cast<qsizetype>(kNotAvailable.size()));
        for (QLabel* field : {_deviceType, _shipDateTime, _shipTime, _maxTouchPoints,
                              _hardwareVersion, _firmwareVersion})
            field->setText(none);
        _isSerialNumberAlive = false;
        traceDeviceFields();
        return;
    }

    _isSerialNumberAlive = true;
    if (info.contains(platform::String(kKeySerialNumber))) {
        // A reply that ends early leaves the fields of the missing keys as
        // they were.
        const std::pair<std::string_view, QLabel*> shown[] = {
            {kKeySerialNumber, _serialNumber},
            {kKeyType, _deviceType},
            {kKeyShipDate, _shipDateTime},
            {kKeyShipTime, _shipTime},
        };
        for (const auto& [key, field] : shown) {
            if (auto text = textValue(info, key))
                field->setText(*text);
        }
    }

    if (const platform::Value* param = info.find(platform::String(kKeyBootParam))) {
        if (auto b = bootParamBytes(*param)) {
            const unsigned h = (*b)[8] + 256u * (*b)[9];
            const unsigned f = (*b)[10] + 256u * (*b)[11];
            const unsigned c = (*b)[0] & 0x7Fu;
            _maxTouchPoints->setText(QString::asprintf("%u", unsigned((*b)[15] >> 4)));
            _hardwareVersion->setText(QString::asprintf("%u.%u", h / 100, h % 100));
            _firmwareVersion->setText(QString::asprintf("%u.%u.%u - %u.%u", f / 1000,
                                                        (f / 10) % 100, f % 10, c / 10, c % 10));
        }
    }
    traceDeviceFields();
}

void MultitouchPrefsPane::_LogTrigger() {
    if (!_isSerialNumberAlive) {
        if (alert)
            alert->exec();
        _triggerLog->setChecked(false);
        return;
    }

    if (!_triggerLog->isChecked()) {
        setLogControlsLocked(false);
        post(platform::Dictionary{{platform::String(kKeyLogTrigger), false}});
        return;
    }

    std::optional<QString> path = usableLogPath(_logURL->text());
    if (!path) {
        // No file to log into: start a new one in the documents folder.
        const QString fresh = defaultLogPath();
        _logURL->setText(fresh);
        if (!createLogFile(fresh)) {
            logNote(platform::LogLevel::Error,
                    QStringLiteral("cannot create the log file %1").arg(fresh));
            auto failed =
                makeAlert(QStringLiteral("log file: %1 cannot be created!").arg(fresh), mainView());
            failed->exec();
            _triggerLog->setChecked(false);
            _logURL->setText(QString());
            return;
        }
        path = fresh;
    }
    _logURL->setText(*path);
    setLogControlsLocked(true);
    // Kept, so that the field names the file again when the pane comes back.
    platform::CFPreferencesSetAppValue(platform::String(kZyvTouchLogFile),
                                       platform::Value(pString(*path)), kZyvTouchSetting);
    synchronize();
    post(platform::Dictionary{{platform::String(kKeyLogTrigger), true},
                              {platform::String(kKeyLogURL), pString(*path)}});
}

void MultitouchPrefsPane::_selectLogURLAction() {
    QFileDialog panel(mainView(), tr("Choose the log file"));
    // Our own dialog on every desktop, so that it behaves the same everywhere.
    panel.setOption(QFileDialog::DontUseNativeDialog, true);
    panel.setFileMode(QFileDialog::ExistingFile);
    panel.setAcceptMode(QFileDialog::AcceptOpen);
    const QString current = _logURL->text().trimmed();
    if (QDir::isAbsolutePath(current))
        panel.setDirectory(QFileInfo(current).absolutePath());
    else
        panel.setDirectory(documentsFolder());
    if (panel.exec() != QDialog::Accepted)
        return;
    const QList<QUrl> urls = panel.selectedUrls();
    if (urls.isEmpty())
        return;
    // The local path itself: no scheme, no percent-encoding.
    const QString path = urls.first().toLocalFile();
    if (path.isEmpty()) {
        logNote(platform::LogLevel::Warning,
                QStringLiteral("%1 is no local file; the log path stays as it was")
                    .arg(urls.first().toString()));
        return;
    }
    _logURL->setText(path);
    platform::CFPreferencesSetAppValue(platform::String(kZyvTouchLogFile),
                                       platform::Value(pString(path)), kZyvTouchSetting);
    synchronize();
}

void MultitouchPrefsPane::_OpenZyvtPainter() {
    launch(kPainterApplication);
}

void MultitouchPrefsPane::_OpenZyvtouchCalibrater() {
    launch(kCalibratorApplication);
}

void MultitouchPrefsPane::launch(const char* applicationPath) {
    if (!_isSerialNumberAlive) {
        if (alert)
            alert->exec();
        return;
    }
    QString error;
    if (!workspace().launchApplication(QString::fromUtf8(applicationPath), &error)) {
        auto failed = makeAlert(
            QStringLiteral("%1 cannot be started: %2").arg(applicationPath, error), mainView());
        failed->exec();
    }
}

void MultitouchPrefsPane::_ResetCoefficient() {
    QScreen* screen = frameScreen();
    const double W = screen ? screen->geometry().width() : 0.0;
    const double H = screen ? screen->geometry().height() : 0.0;
    const CalibrationPoints targets{{{kTargetLow * W, kTargetLow * H},
                                     {kTargetHigh * W, kTargetLow * H},
                                     {kTargetLow * W, kTargetHigh * H},
                                     {kTargetHigh * W, kTargetHigh * H}}};
    const CalibrationPoints samples{{{kSampleLow, kSampleLow},
                                     {kSampleHigh, kSampleLow},
                                     {kSampleLow, kSampleHigh},
                                     {kSampleHigh, kSampleHigh}}};
    CalibrationCoefficients KXs{};
    CalibrationCoefficients KYs{};
    if (getCalibrateCoefficient(targets, samples, KXs, KYs))
        updateCoefficient(KXs, KYs);
}

bool MultitouchPrefsPane::getCalibrateCoefficient(const CalibrationPoints& targets,
                                                  const CalibrationPoints& samples,
                                                  CalibrationCoefficients& KXs,
                                                  CalibrationCoefficients& KYs) {
    return tact::getCalibrateCoefficient(targets, samples, KXs, KYs);
}

void MultitouchPrefsPane::updateCoefficient(const CalibrationCoefficients& KXs,
                                            const CalibrationCoefficients& KYs) {
    QScreen* screen = frameScreen();
    const double W = screen ? screen->geometry().width() : 0.0;
    const double H = screen ? screen->geometry().height() : 0.0;
    platform::Dictionary coefficients{
        {platform::String(kZyvTouchCoefficientKX1), KXs[0]},
        {platform::String(kZyvTouchCoefficientKX2), KXs[1]},
        {platform::String(kZyvTouchCoefficientKX3), KXs[2]},
        {platform::String(kZyvTouchCoefficientKY1), KYs[0]},
        {platform::String(kZyvTouchCoefficientKY2), KYs[1]},
        {platform::String(kZyvTouchCoefficientKY3), KYs[2]},
        {platform::String(kZyvTouchCoefficientKWIDTH), W},
        {platform::String(kZyvTouchCoefficientKHEIGHT), H},
    };
    platform::CFPreferencesSetAppValue(platform::String(kZyvTouchCoefficients),
                                       platform::Value(std::move(coefficients)), kZyvTouchSetting);
    synchronize();
    showCalibrationState();
    post(platform::Dictionary{{platform::String(kKeyPreferenceReload), true}});
}

void MultitouchPrefsPane::_tuningReset() {
    platform::CFPreferencesSetAppValue(platform::String(kZyvTouchClickDuration),
                                       platform::Value(kResetClickDurationLevel), kZyvTouchSetting);
    platform::CFPreferencesSetAppValue(platform::String(kZyvTouchSuccessiveClickDuration),
                                       platform::Value(kResetSuccessiveClickDurationLevel),
                                       kZyvTouchSetting);
    platform::CFPreferencesSetAppValue(platform::String(kZyvTouchGestureMoveThreshold),
                                       platform::Value(kResetGestureMoveThresholdLevel),
                                       kZyvTouchSetting);
    platform::CFPreferencesSetAppValue(platform::String(kZyvTouchScrollArrowKey),
                                       platform::Value(kResetScrollArrowKey), kZyvTouchSetting);
    synchronize();
    loadTuningSettings();
    post(platform::Dictionary{{platform::String(kKeyPreferenceReload), true}});
}

void MultitouchPrefsPane::_setClickDuration(const QAbstractSlider& sender) {
    writeTuning(kZyvTouchClickDuration, sender);
}

void MultitouchPrefsPane::_setSuccessiveClickDuration(const QAbstractSlider& sender) {
    writeTuning(kZyvTouchSuccessiveClickDuration, sender);
}

void MultitouchPrefsPane::_setGestureMoveThreshold(const QAbstractSlider& sender) {
    writeTuning(kZyvTouchGestureMoveThreshold, sender);
}

void MultitouchPrefsPane::_setScrollArrowKey() {
    platform::CFPreferencesSetAppValue(platform::String(kZyvTouchScrollArrowKey),
                                       platform::Value(_scrollArrowKey->isChecked()),
                                       kZyvTouchSetting);
    synchronize();
    loadTuningSettings();
    post(platform::Dictionary{{platform::String(kKeyPreferenceReload), true}});
}

void MultitouchPrefsPane::_setScreenOutput() {
    const QString name = _screenOutput->currentData().toString();
    if (name == storedScreenOutput())
        return;
    // The primary monitor is the default: no key at all.
    platform::CFPreferencesSetAppValue(
        platform::String(kZyvTouchScreenOutput),
        name.isEmpty() ? std::nullopt : std::optional<platform::Value>(pString(name)),
        kZyvTouchSetting);
    synchronize();
    // A monitor that is not connected and no longer chosen leaves the list.
    loadScreenChoices();
    post(platform::Dictionary{{platform::String(kKeyPreferenceReload), true}});
}

void MultitouchPrefsPane::writeTuning(std::string_view key, const QAbstractSlider& sender) {
    platform::CFPreferencesSetAppValue(platform::String(key),
                                       platform::Value(static_cast<double>(sender.value())),
                                       kZyvTouchSetting);
    synchronize();
    loadTuningSettings();
    post(platform::Dictionary{{platform::String(kKeyPreferenceReload), true}});
}

void MultitouchPrefsPane::post(const platform::Dictionary& userInfo) {
    notificationCenter().post(platform::String(kControlNotification),
                              platform::String(kControlObject), userInfo);
}

void MultitouchPrefsPane::setLogControlsLocked(bool locked) {
    _selectLogURL->setEnabled(!locked);
    _logURL->setReadOnly(locked);
}

void MultitouchPrefsPane::showLevels() {
    auto position = [](const QSlider* slider) {
        return slider->isSliderDown() ? slider->sliderPosition() : slider->value();
    };
    clickDurationLevel_->setText(
        tr("%1 ms").arg(tuning::clickMilliseconds(position(_clickDuration))));
    successiveClickDurationLevel_->setText(
        tr("%1 ms").arg(tuning::clickMilliseconds(position(_successiveClickDuration))));
    // The agent scales the threshold by the stored diagonal, not the measured one.
    int inches = kDefaultInchSize;
    if (auto stored = storedLevel(kZyvTouchInchSize); stored && *stored >= 1 && *stored < 1000)
        inches = static_cast<int>(*stored);
    const QScreen* screen = frameScreen();
    const QSize size = screen ? screen->geometry().size() : QSize();
    const double mm = tuning::movementMillimetres(position(_gestureMoveThreshold), inches,
                                                  size.width(), size.height());
    gestureMoveThresholdLevel_->setText(tr("about %1 mm").arg(std::lround(mm)));
    gestureMoveThresholdLevel_->setToolTip(tr("On a %1-inch screen; level %2 of %3")
                                               .arg(inches)
                                               .arg(position(_gestureMoveThreshold))
                                               .arg(kMaximumLevel));
}

void MultitouchPrefsPane::showAgentState(std::optional<bool> deviceReady) {
    namespace hid = platform::hid;
    QString state;
    QString remedy;
    const hid::FrameAccess access = hid::checkFrameAccess();
    showConnection(access);
    if (deviceReady == true) {
        state = tr("The agent is running and the frame is ready.");
    } else {
        const bool answered = deviceReady.has_value();
        if (access.hidrawAccess() == hid::NodeAccess::PermissionDenied) {
            QString summary = QString::fromStdString(hid::frameAccessSummary(access));
            if (!summary.isEmpty())
                summary[0] = summary[0].toUpper();
            state = answered ? summary + QLatin1Char('.')
                             : tr("The agent is not running. %1.").arg(summary);
            remedy = QString::fromUtf8(hid::frameAccessRemedy().data(),
                                       static_cast<qsizetype>(hid::frameAccessRemedy().size()));
        } else if (!answered) {
            state = tr("The agent is not running.");
            remedy =
                tr("Start it with: systemctl --user start tactagent.service (or run "
                   "tactagent in a terminal to see why it stops).");
        } else if (!access.present()) {
            state = tr("The agent is running, but no frame is connected.");
            remedy = tr("Plug the frame's USB cable in; the agent finds it at once.");
        } else {
            QString summary = QString::fromStdString(hid::frameAccessSummary(access));
            if (!summary.isEmpty())
                summary[0] = summary[0].toUpper();
            state = tr("The agent is running, but the frame is not ready. %1.").arg(summary);
        }
    }
    agentState->setText(state);
    agentRemedy->setText(remedy);
    agentRemedy->setVisible(!remedy.isEmpty());
}

void MultitouchPrefsPane::showConnection(const platform::hid::FrameAccess& access) {
    if (!access.present()) {
        connectionDetails_->setText(tr("No frame (USB vendor 23c9) is on this system."));
        return;
    }
    QStringList lines;
    for (const auto& interface : access.interfaces) {
        lines << tr("Product %1: %2 — %3")
                     .arg(QString::asprintf("%04x", interface.productID),
                          QString::fromStdString(interface.hidraw.devnode),
                          QString::fromStdString(platform::hid::nodeAccessText(interface.hidraw)));
        for (const auto& event : interface.events)
            lines << tr("    input %1 — %2")
                         .arg(QString::fromStdString(event.devnode),
                              QString::fromStdString(platform::hid::nodeAccessText(event)));
    }
    connectionDetails_->setText(lines.join(QLatin1Char('\n')));
}

void MultitouchPrefsPane::showCalibrationState() {
    auto value = platform::CFPreferencesCopyAppValue(platform::String(kZyvTouchCoefficients),
                                                     kZyvTouchSetting);
    const platform::Dictionary* stored = value ? value->asDictionary() : nullptr;
    const QScreen* screen = frameScreen();
    const QSizeF monitor = screen ? QSizeF(screen->geometry().size()) : QSizeF();
    // The agent uses a calibration only when all eight numbers are there.
    std::array<double, 8> k{};
    const std::string_view keys[] = {kZyvTouchCoefficientKX1,    kZyvTouchCoefficientKX2,
                                     kZyvTouchCoefficientKX3,    kZyvTouchCoefficientKY1,
                                     kZyvTouchCoefficientKY2,    kZyvTouchCoefficientKY3,
                                     kZyvTouchCoefficientKWIDTH, kZyvTouchCoefficientKHEIGHT};
    bool complete = stored != nullptr;
    for (std::size_t i = 0; complete && i < k.size(); ++i) {
        const auto number = stored->number(platform::String(keys[i]));
        complete = number.has_value();
        k[i] = number.value_or(0);
    }
    if (!complete) {
        calibrationState_->setText(
            tr("Not calibrated: the frame is spread evenly over the monitor it covers."));
        calibrationPreview_->setMap(std::nullopt, monitor);
        return;
    }
    calibrationState_->setText(
        tr("Calibrated for a screen of %1 × %2.").arg(std::lround(k[6])).arg(std::lround(k[7])));
    calibrationPreview_->setMap(
        calibration::CalibrationMap{{k[0], k[1], k[2]}, {k[3], k[4], k[5]}, k[6], k[7]}, monitor);
}

void MultitouchPrefsPane::traceDeviceFields() const {
    // A developer trace of what the device tab shows now.
    auto quoted = [](const QLabel* field) { return ("\"" + field->text() + "\"").toStdString(); };
    std::printf(
        "MultitouchPrefsPane: driver=%s serial=%s type=%s shipDate=%s shipTime=%s "
        "touchPoints=%s hardware=%s firmware=%s alive=%d\n",
        quoted(_driverVersion).c_str(), quoted(_serialNumber).c_str(), quoted(_deviceType).c_str(),
        quoted(_shipDateTime).c_str(), quoted(_shipTime).c_str(), quoted(_maxTouchPoints).c_str(),
        quoted(_hardwareVersion).c_str(), quoted(_firmwareVersion).c_str(),
        _isSerialNumberAlive ? 1 : 0);
    std::fflush(stdout);
}

}  // namespace tact
