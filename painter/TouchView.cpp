#include "painter/TouchView.hpp"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "common/Notifications.hpp"
#include "painter/ReportReader.hpp"
#include "platform/log/SystemLog.hpp"
#include "qtsupport/FrameScreen.hpp"

namespace tact {
namespace {

// The system's dark grey: one third white.
const QColor kDarkGray = QColor::fromRgbF(1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f);

// Ovals beyond this many points from the view's corner are no touch of any
// screen; painting them would only feed huge numbers to the rasteriser.
constexpr double kMaxCoordinate = 1.0e6;

// Malformed reports logged one by one before the log goes quiet about them.
constexpr int kMalformedReportsLogged = 10;

// The main screen is the one the frame covers.
QRectF mainScreenFrame() {
    if (QScreen* screen = frameScreen())
        return QRectF(screen->geometry());
    return {};
}

// The legend: fully there for a while, then fading out.
constexpr qint64 kLegendShownMilliseconds = 4000;
constexpr qint64 kLegendFadeMilliseconds = 1000;
constexpr int kLegendFadeStepMilliseconds = 40;
constexpr int kLegendFontSize = 16;
constexpr int kLegendMargin = 24;

int bit(unsigned value, int n) {
    return static_cast<int>((value >> n) & 1u);
}

}  // namespace

TouchView::TouchView(platform::NotificationCenter& center, platform::RunLoop& loop, QWidget* parent)
    : QWidget(parent), center_(center), loop_(loop) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    legendClock_.start();
    legendFade_.setInterval(kLegendFadeStepMilliseconds);
    connect(&legendFade_, &QTimer::timeout, this, [this] {
        if (legendClock_.elapsed() > kLegendShownMilliseconds + kLegendFadeMilliseconds)
            legendFade_.stop();
        update();
    });
    QTimer::singleShot(kLegendShownMilliseconds, this, [this] { legendFade_.start(); });
}

void TouchView::drawLegend(QPainter& painter) {
    const qint64 fading = legendClock_.elapsed() - kLegendShownMilliseconds;
    const double opacity =
        fading <= 0 ? 1.0 : 1.0 - static_cast<double>(fading) / kLegendFadeMilliseconds;
    if (opacity <= 0)
        return;
    QFont font = painter.font();
    font.setPixelSize(kLegendFontSize);
    painter.setFont(font);
    const QString text = QStringLiteral("double click clears, Esc quits");
    QRectF box = QFontMetricsF(font).boundingRect(text).adjusted(-12, -6, 12, 6);
    box.moveCenter(QPointF(width() / 2.0, height() - kLegendMargin - box.height() / 2));
    painter.save();
    painter.setOpacity(opacity);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 150));
    painter.drawRoundedRect(box, 6, 6);
    painter.setPen(QColor(235, 235, 235));
    painter.drawText(box, Qt::AlignCenter, text);
    painter.restore();
}

void TouchView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        window()->close();  // as closing the window: the painter quits
        return;
    }
    QWidget::keyPressEvent(event);
}

TouchView::~TouchView() = default;

void TouchView::awakeFromNib() {
    _screenRect = mainScreenFrame();
    updatePaintSize();
    clearPaintContent();
    _drawPending = 0;
    _touchesSet.clear();
    paintTimer_ = loop_.addTimer(kPaintingDelaySeconds, kPaintingIntervalSeconds,
                                 [this](platform::Timer& timer) { doUpdateDirtyRect(timer); });
    reportObservation_ = center_.addObserver(
        kMTouchReportNotification, kMultiTouchSupportObject,
        [this](const platform::Notification& n) { doReportWithNotification(n); });
}

void TouchView::doReportWithNotification(const platform::Notification& notification) {
    if (!notification.userInfo)
        return;
    const TouchReport report = readTouchReport(*notification.userInfo);
    if (!report.isClean())
        reportMalformed(report.problems());

    if (_touchesSet.size() + report.touches.size() > kMaxPendingTouches) {
        // The tick is late: paint what waits now, and redraw at the tick.
        updateDirtyRect(_touchesSet);
        paintedEarly_ += static_cast<std::int64_t>(_touchesSet.size());
        _touchesSet.clear();
    }
    for (const QuenralMTCalibratedTouch& touch : report.touches)
        _touchesSet.push_back(MyTouch::InitWithReport(touch));
    if (_drawPending < INT_MAX)
        ++_drawPending;
}

void TouchView::doUpdateDirtyRect(platform::Timer&) {
    doUpdateDirtyRect();
}

void TouchView::doUpdateDirtyRect() {
    if (_drawPending <= 0)
        return;
    updateDirtyRect(_touchesSet);
    const std::int64_t total = paintedEarly_ + static_cast<std::int64_t>(_touchesSet.size());
    const int touches = static_cast<int>(std::min<std::int64_t>(total, INT_MAX));
    const int reports = _drawPending;
    _touchesSet.clear();
    paintedEarly_ = 0;
    _drawPending = 0;
    update();
    emit painted(touches, reports);
}

void TouchView::updateDirtyRect(const std::vector<MyTouch>& touches) {
    if (touches.empty() || anImage.isNull())
        return;
    QPainter painter(&anImage);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF bufferRect(QPointF(0, 0), anImage.deviceIndependentSize());
    for (const MyTouch& touch : touches) {
        const QRectF rect = rectForTouch(touch).normalized();
        if (rect.isEmpty() || !rect.intersects(bufferRect))
            continue;
        if (std::abs(rect.left()) > kMaxCoordinate || std::abs(rect.right()) > kMaxCoordinate ||
            std::abs(rect.top()) > kMaxCoordinate || std::abs(rect.bottom()) > kMaxCoordinate)
            continue;
        painter.setBrush(colorForIdentity(touch.identity));
        painter.drawEllipse(rect);
    }
}

void TouchView::clearPaintContent() {
    if (anImage.isNull())
        return;
    QPainter painter(&anImage);
    painter.fillRect(QRectF(QPointF(0, 0), anImage.deviceIndependentSize()), kDarkGray);
}

void TouchView::updatePaintSize() {
    const qreal ratio = devicePixelRatioF() > 0 ? devicePixelRatioF() : 1.0;
    const int width =
        std::clamp(static_cast<int>(std::ceil(this->width() * ratio)), 0, kMaxBufferSide);
    const int height =
        std::clamp(static_cast<int>(std::ceil(this->height() * ratio)), 0, kMaxBufferSide);
    if (width == 0 || height == 0) {
        anImage = QImage();
        return;
    }
    if (!anImage.isNull() && anImage.width() == width && anImage.height() == height &&
        anImage.devicePixelRatio() == ratio)
        return;
    anImage = QImage(width, height, QImage::Format_RGB32);
    if (anImage.isNull()) {
        platform::systemLog(platform::LogLevel::Error, "painter: no memory for a paint buffer of " +
                                                           std::to_string(width) + " x " +
                                                           std::to_string(height) + " pixels");
        return;
    }
    anImage.setDevicePixelRatio(ratio);
    anImage.fill(kDarkGray);
}

void TouchView::resizeWithNotification() {
    _screenRect = mainScreenFrame();
    updatePaintSize();
    clearPaintContent();
    update();
}

void TouchView::mouseDown(int clickCount) {
    if (clickCount != 2)
        return;
    clearPaintContent();
    update();
}

std::array<float, 3> TouchView::colorComponents(std::int64_t identity) {
    const unsigned b = static_cast<unsigned>(static_cast<std::uint64_t>(identity) & 0xFFu);
    const float red = static_cast<float>(4 * bit(b, 1) + 2 * bit(b, 4) + bit(b, 7)) / 7.0f;
    const float green = static_cast<float>(4 * bit(b, 0) + 2 * bit(b, 3) + bit(b, 6)) / 7.0f;
    const float blue = static_cast<float>(2 * bit(b, 2) + bit(b, 5)) / 3.0f;
    return {red, green, blue};
}

QColor TouchView::colorForIdentity(std::int64_t identity) {
    const auto [red, green, blue] = colorComponents(identity);
    return QColor::fromRgbF(red, green, blue, 1.0f);
}

QRectF TouchView::rectForTouch(const MyTouch& touch) const {
    const QWidget* top = window();
    if (!top || !top->windowHandle())
        return {};
    // The centre in screen points: the fractions count from the screen's
    // bottom-left corner, Qt's screen coordinates from its top left.
    const QRectF& s = _screenRect;
    const double cx = s.x() + touch.normalizedPosition.x() * s.width();
    const double cy = s.y() + s.height() - touch.normalizedPosition.y() * s.height();
    const double w = static_cast<double>(touch._width) * s.width();
    const double h = static_cast<double>(touch._height) * s.height();
    const QRectF onScreen(cx - w / 2, cy - h / 2, w, h);
    return onScreen.translated(-mapToGlobal(QPointF(0, 0)));
}

void TouchView::paintEvent(QPaintEvent* event) {
    drawRect(QRectF(event->rect()));
}

void TouchView::drawRect(const QRectF& dirtyRect) {
    QPainter painter(this);
    if (anImage.isNull()) {
        painter.fillRect(dirtyRect, kDarkGray);
        return;
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setOpacity(1.0);
    painter.drawImage(QPointF(0, 0), anImage);
    // Whatever the buffer does not cover (while a resize is on its way).
    const QRectF covered(QPointF(0, 0), anImage.deviceIndependentSize());
    if (!covered.contains(dirtyRect)) {
        painter.save();
        painter.setClipRegion(QRegion(dirtyRect.toAlignedRect()) -
                              QRegion(covered.toAlignedRect()));
        painter.fillRect(dirtyRect, kDarkGray);
        painter.restore();
    }
    drawLegend(painter);
}

void TouchView::mousePressEvent(QMouseEvent* event) {
    mouseDown(1);
    QWidget::mousePressEvent(event);
}

void TouchView::mouseDoubleClickEvent(QMouseEvent* event) {
    // Qt reports the second press of a double click as an event of its own.
    mouseDown(2);
    event->accept();
}

void TouchView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    resizeWithNotification();
}

void TouchView::reportMalformed(const std::string& problems) {
    if (malformedReports_ > kMalformedReportsLogged)
        return;
    ++malformedReports_;
    if (malformedReports_ > kMalformedReportsLogged) {
        platform::systemLog(platform::LogLevel::Warning,
                            "painter: further malformed touch reports are not logged");
        return;
    }
    platform::systemLog(platform::LogLevel::Warning,
                        "painter: malformed touch report: " + problems);
}

}  // namespace tact
