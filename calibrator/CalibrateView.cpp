#include "calibrator/CalibrateView.hpp"

#include <QColor>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPen>
#include <QResizeEvent>
#include <QScreen>

#include <climits>
#include <cmath>
#include <cstdlib>

#include "common/Notifications.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/values/Value.hpp"
#include "qtsupport/FrameScreen.hpp"

namespace tact {
namespace {

// Target centres as fractions of the view's bounds, origin bottom left: in
// screen terms top left, bottom left, bottom right, top right. The fractions
// are the single-precision 0.1 and 0.9, widened.
constexpr double kTargetLow = static_cast<double>(0.1f);
constexpr double kTargetHigh = static_cast<double>(0.9f);
constexpr double kTargetFractions[kCalibrationPointCount][2] = {
    {kTargetLow, kTargetHigh},
    {kTargetLow, kTargetLow},
    {kTargetHigh, kTargetLow},
    {kTargetHigh, kTargetHigh},
};

constexpr double kCrossHalfLength = 40.0;
constexpr double kCrossLineWidth = 2.0;
constexpr int kCounterFontSize = 30;
constexpr int kGuidanceFontSize = 18;
constexpr double kGuidanceGap = 20.0;  // between the counter and the first line
const QColor kGuidanceColor(220, 220, 220);
const QColor kWarningColor(255, 190, 90);

// The system's grey levels: dark grey is one third white, light grey two.
const QColor kDarkGray = QColor::fromRgbF(1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f);
const QColor kLightGray = QColor::fromRgbF(2.0f / 3.0f, 2.0f / 3.0f, 2.0f / 3.0f);

// The main screen is the one the frame covers.
QRectF mainScreenFrame() {
    if (QScreen* screen = frameScreen())
        return QRectF(screen->geometry());
    return {};
}

// A touch coordinate as the integer the agent meant: integers as they are
// (cut to 32 bits), reals truncated toward zero (saturating), booleans as 0
// or 1, a decimal text by its leading integer; anything else is 0.
int intValue(const platform::Value* value) {
    if (!value)
        return 0;
    if (auto i = value->asInteger())
        return static_cast<int>(static_cast<std::uint32_t>(*i));
    if (auto d = value->asReal()) {
        if (std::isnan(*d))
            return 0;
        if (*d >= static_cast<double>(INT_MAX))
            return INT_MAX;
        if (*d <= static_cast<double>(INT_MIN))
            return INT_MIN;
        return static_cast<int>(*d);
    }
    if (auto b = value->asBoolean())
        return *b ? 1 : 0;
    if (const platform::String* s = value->asString()) {
        const std::string text = s->toUtf8Lossy();
        const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
        if (parsed > INT_MAX)
            return INT_MAX;
        if (parsed < INT_MIN)
            return INT_MIN;
        return static_cast<int>(parsed);
    }
    return 0;
}

QFont guidanceFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(kGuidanceFontSize);
    return font;
}

QFont counterFont() {
    // Font sizes are in screen points, which Qt calls device-independent
    // pixels; a point size would be scaled by the screen's DPI.
    QFont font(QStringLiteral("Helvetica"));
    if (!QFontDatabase::hasFamily(QStringLiteral("Helvetica"))) {
        font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        font.setStyleHint(QFont::SansSerif);
    }
    font.setPixelSize(kCounterFontSize);
    return font;
}

}  // namespace

CalibrateView::CalibrateView(platform::NotificationCenter& center, QWidget* parent)
    : QWidget(parent), center_(center) {
    _screenRect = mainScreenFrame();
    _stage = -1;
    _isCalibrateOn = false;
    _downCounter.reset();
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    quitButton_ = new QPushButton(QStringLiteral("Quit"), this);
    quitButton_->hide();
    connect(quitButton_, &QPushButton::clicked, this, &CalibrateView::cancelRequested);
}

void CalibrateView::setAgentMissing(bool missing) {
    if (agentMissing_ == missing)
        return;
    agentMissing_ = missing;
    quitButton_->setVisible(missing);
    placeQuitButton();
    update();
}

void CalibrateView::placeQuitButton() {
    quitButton_->adjustSize();
    const QSize size = quitButton_->size();
    quitButton_->move((width() - size.width()) / 2,
                      height() / 2 + static_cast<int>(kGuidanceGap) + 3 * (kGuidanceFontSize + 10));
}

void CalibrateView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeQuitButton();
}

void CalibrateView::drawGuidance(QPainter& painter, const QRectF& frame) {
    const QFont font = guidanceFont();
    const double lineHeight = QFontMetricsF(font).height() + 6;
    QRectF line(0, frame.height() / 2 + kGuidanceGap, frame.width(), lineHeight);
    painter.setFont(font);
    auto say = [&](const QColor& colour, const QString& text) {
        painter.setPen(colour);
        painter.drawText(line, Qt::AlignHCenter | Qt::AlignTop, text);
        line.translate(0, lineHeight);
    };
    if (agentMissing_) {
        say(kWarningColor, QStringLiteral("The touch agent is not running"));
        say(kGuidanceColor, QStringLiteral("Start it (systemctl --user start tactagent) or quit"));
    } else {
        say(kGuidanceColor, QStringLiteral("Touch and hold the centre of the cross"));
        say(kGuidanceColor, QStringLiteral("Esc cancels"));
    }
}

void CalibrateView::calibrateOn() {
    if (_isCalibrateOn)
        return;
    _stage = 0;
    _samplePoints[0] = {0.0, 0.0};
    _sampleSumX = 0;
    _sampleSumY = 0;
    _tapToggle = true;
    _tapCount = kSamplesPerTarget;
    setDownCounter(_tapCount);
    _isCalibrateOn = true;
    postControl(kKeyCalibrateInProgress, true);
    update();
}

void CalibrateView::calibrateOff() {
    if (!_isCalibrateOn)
        return;
    _tapCount = kSamplesPerTarget;
    _stage = -1;
    _isCalibrateOn = false;
    postControl(kKeyCalibrateInProgress, false);
}

bool CalibrateView::Tap(const platform::Dictionary* location) {
    if (_stage < 0 || _stage >= kCalibrationPointCount)
        return false;

    if (!location) {
        // The finger left: this target starts over.
        _tapToggle = true;
        _sampleSumX = 0;
        _sampleSumY = 0;
        _tapCount = kSamplesPerTarget;
        setDownCounter(_tapCount);
        update();
        return false;
    }

    // After a target's last sample nothing counts until the finger lifts.
    if (!_tapToggle)
        return false;

    --_tapCount;
    _sampleSumX += static_cast<std::uint32_t>(intValue(location->find("touchX")));
    _sampleSumY += static_cast<std::uint32_t>(intValue(location->find("touchY")));
    setDownCounter(_tapCount);

    if (_tapCount == 0) {
        _tapCount = kSamplesPerTarget;
        setDownCounter(_tapCount);
        _samplePoints[_stage] = {static_cast<double>(_sampleSumX / kSamplesPerTarget),
                                 static_cast<double>(_sampleSumY / kSamplesPerTarget)};
        ++_stage;
        if (_stage < kCalibrationPointCount)
            _samplePoints[_stage] = {0.0, 0.0};
        _tapToggle = false;
        if (_stage >= kCalibrationPointCount) {
            _stage = -1;
            getCalibrateCoefficient();
            updateCoefficient();
            calibrateOff();
            setStatus(QStringLiteral("OK"));
            update();
            return true;
        }
    }
    update();
    return false;
}

void CalibrateView::setDownCounter(int count) {
    _downCounter = QString::number(count);
}

void CalibrateView::setStatus(const QString& status) {
    _downCounter = status;
}

bool CalibrateView::getCalibrateCoefficient() {
    CalibrationCoefficients KX{};
    CalibrationCoefficients KY{};
    const bool result = tact::getCalibrateCoefficient(_referencePoints, _samplePoints, KX, KY);
    KX1 = KX[0];
    KX2 = KX[1];
    KX3 = KX[2];
    KY1 = KY[0];
    KY2 = KY[1];
    KY3 = KY[2];
    return result;
}

void CalibrateView::updateCoefficient() {
    platform::Dictionary coefficients{
        {kZyvTouchCoefficientKX1, KX1},
        {kZyvTouchCoefficientKX2, KX2},
        {kZyvTouchCoefficientKX3, KX3},
        {kZyvTouchCoefficientKY1, KY1},
        {kZyvTouchCoefficientKY2, KY2},
        {kZyvTouchCoefficientKY3, KY3},
        {kZyvTouchCoefficientKWIDTH, _screenRect.width()},
        {kZyvTouchCoefficientKHEIGHT, _screenRect.height()},
    };
    platform::CFPreferencesSetAppValue(kZyvTouchCoefficients, platform::Value(coefficients),
                                       kZyvTouchSetting);
    if (!platform::CFPreferencesAppSynchronize(kZyvTouchSetting)) {
        platform::systemLog(platform::LogLevel::Error,
                            "calibrator: the new calibration could not be saved");
    }
    postControl(kKeyPreferenceReload, true);
}

void CalibrateView::postControl(std::string_view key, bool value) {
    center_.post(kControlNotification, kControlObject,
                 platform::Dictionary{{platform::String(key), platform::Value(value)}});
}

void CalibrateView::paintEvent(QPaintEvent* event) {
    drawRect(QRectF(event->rect()));
}

void CalibrateView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        emit cancelRequested();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CalibrateView::drawRect(const QRectF& dirtyRect) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(dirtyRect, kDarkGray);

    // Geometry below is in view coordinates with the origin at the bottom
    // left; flipY turns such a y into Qt's.
    const QRectF frame(QPointF(0, 0), QSizeF(size()));
    const QRectF bounds = frame;
    auto flipY = [&](double y) { return bounds.height() - y; };

    if (_downCounter) {
        // The point is the text's lower-left corner; Qt draws from the
        // baseline, which sits the font's descent above it.
        const QFont font = counterFont();
        painter.setFont(font);
        painter.setPen(Qt::white);
        const QPointF lowerLeft(frame.width() / 2, frame.height() / 2);
        painter.drawText(
            QPointF(lowerLeft.x(), flipY(lowerLeft.y()) - QFontMetricsF(font).descent()),
            *_downCounter);
    }

    if ((_stage >= 0 && _stage < kCalibrationPointCount) || agentMissing_)
        drawGuidance(painter, frame);

    painter.setPen(QPen(kLightGray, kCrossLineWidth, Qt::SolidLine, Qt::FlatCap));
    if (_stage < 0 || _stage >= kCalibrationPointCount)
        return;

    const QPointF c(bounds.x() + kTargetFractions[_stage][0] * bounds.width(),
                    bounds.y() + kTargetFractions[_stage][1] * bounds.height());

    // The view's bounds on the screen, as the screen's own bottom-left
    // coordinates measured from the main screen's corner.
    const QPoint topLeft = mapToGlobal(QPoint(0, 0));
    baseOverScreen =
        QRectF(topLeft.x() - _screenRect.x(),
               _screenRect.height() - (topLeft.y() - _screenRect.y()) - bounds.height(),
               bounds.width(), bounds.height());
    _referencePoints[_stage] = {c.x() + baseOverScreen.x(),
                                _screenRect.height() - c.y() - baseOverScreen.y()};

    painter.drawLine(QPointF(c.x() - kCrossHalfLength, flipY(c.y())),
                     QPointF(c.x() + kCrossHalfLength, flipY(c.y())));
    painter.drawLine(QPointF(c.x(), flipY(c.y() - kCrossHalfLength)),
                     QPointF(c.x(), flipY(c.y() + kCrossHalfLength)));

    const QPointF recorded(_referencePoints[_stage].x, _referencePoints[_stage].y);
    if (_stage != announcedStage_ || recorded != announcedPoint_) {
        announcedStage_ = _stage;
        announcedPoint_ = recorded;
        emit targetRecorded(_stage, recorded);
    }
}

}  // namespace tact
