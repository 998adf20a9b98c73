#include "prefpane/calibration/CalibrationPreview.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <cmath>

namespace tact::calibration {
namespace {

constexpr double kFrameRange = 32768.0;
constexpr double kTargetLow = 0.1;
constexpr double kTargetHigh = 0.9;
constexpr int kMargin = 24;

}  // namespace

CalibrationPreview::CalibrationPreview(QWidget* parent) : QWidget(parent) {
    setMinimumSize(320, 200);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void CalibrationPreview::setMap(const std::optional<CalibrationMap>& map, QSizeF monitor) {
    map_ = map;
    if (map && map->width > 0 && map->height > 0)
        monitor = QSizeF(map->width, map->height);
    if (monitor.width() > 0 && monitor.height() > 0)
        monitor_ = monitor;
    update();
}

void CalibrationPreview::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // The monitor, as large as fits with its shape, with room for the
    // frame's edges beyond it.
    const QRectF room = QRectF(rect()).adjusted(kMargin, kMargin, -kMargin, -kMargin);
    const double scale =
        std::min(room.width() / monitor_.width(), room.height() / monitor_.height()) * 0.8;
    const QSizeF size = monitor_ * scale;
    const QRectF screen(room.center() - QPointF(size.width(), size.height()) / 2, size);
    p.setPen(QPen(QColor(60, 60, 60), 2));
    p.setBrush(QColor(225, 232, 240));
    p.drawRect(screen);

    auto onScreen = [&](double fx, double fy) {
        if (!map_)
            return QPointF(screen.left() + fx / kFrameRange * screen.width(),
                           screen.top() + fy / kFrameRange * screen.height());
        const double x = (map_->kx[0] * fx + map_->kx[1] * fy + map_->kx[2]) / map_->width;
        const double y = (map_->ky[0] * fx + map_->ky[1] * fy + map_->ky[2]) / map_->height;
        return QPointF(screen.left() + x * screen.width(), screen.top() + y * screen.height());
    };
    QPolygonF frame{onScreen(0, 0), onScreen(kFrameRange, 0), onScreen(kFrameRange, kFrameRange),
                    onScreen(0, kFrameRange)};
    bool finite = true;
    for (const QPointF& corner : frame)
        finite &= std::isfinite(corner.x()) && std::isfinite(corner.y());
    if (finite) {
        p.setPen(QPen(QColor(20, 90, 170), 2, Qt::DashLine));
        p.setBrush(QColor(20, 90, 170, 40));
        p.drawPolygon(frame);
    }

    // The calibrator's four targets.
    p.setPen(QPen(QColor(170, 30, 30), 2));
    for (double tx : {kTargetLow, kTargetHigh}) {
        for (double ty : {kTargetLow, kTargetHigh}) {
            const QPointF c(screen.left() + tx * screen.width(),
                            screen.top() + ty * screen.height());
            p.drawLine(c - QPointF(8, 0), c + QPointF(8, 0));
            p.drawLine(c - QPointF(0, 8), c + QPointF(0, 8));
        }
    }

    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(screen.adjusted(8, 8, -8, -8), Qt::AlignCenter,
               tr("the monitor\n(%1 × %2)")
                   .arg(std::lround(monitor_.width()))
                   .arg(std::lround(monitor_.height())));
    p.drawText(QRectF(rect()).adjusted(4, 0, -4, -2), Qt::AlignBottom | Qt::AlignHCenter,
               tr("dashed: where the frame's edges land     crosses: where the calibrator asks "
                  "for a touch"));
}

}  // namespace tact::calibration
