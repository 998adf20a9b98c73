#include "prefpane/tuning/ScreenLayoutPreview.hpp"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <algorithm>

namespace tact::tuning {
namespace {
constexpr int kMargin = 16;
}

ScreenLayoutPreview::ScreenLayoutPreview(QWidget* parent) : QWidget(parent) {
    setMinimumSize(240, 120);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void ScreenLayoutPreview::setChosen(const QString& name) {
    chosen_ = name;
    update();
}

void ScreenLayoutPreview::paintEvent(QPaintEvent*) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty())
        return;
    QRect desktop;
    for (const QScreen* screen : screens)
        desktop = desktop.united(screen->geometry());
    if (desktop.isEmpty())
        return;
    const QRectF room = QRectF(rect()).adjusted(kMargin, kMargin, -kMargin, -kMargin);
    const double scale = std::min(room.width() / desktop.width(), room.height() / desktop.height());
    const QPointF origin = room.center() - QPointF(desktop.width(), desktop.height()) * scale / 2;
    // The chosen one, else the primary serves (as the agent does).
    const QScreen* covered = QGuiApplication::primaryScreen();
    for (QScreen* screen : screens) {
        if (!chosen_.isEmpty() && screen->name() == chosen_)
            covered = screen;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    for (const QScreen* screen : screens) {
        const QRect g = screen->geometry().translated(-desktop.topLeft());
        const QRectF box(origin + QPointF(g.x(), g.y()) * scale, QSizeF(g.size()) * scale);
        const bool isCovered = screen == covered;
        p.setPen(QPen(QColor(60, 60, 60), 2));
        p.setBrush(isCovered ? QColor(20, 90, 170, 70) : QColor(225, 225, 225));
        p.drawRect(box.adjusted(2, 2, -2, -2));
        p.setPen(palette().color(QPalette::WindowText));
        QString text = tr("%1\n%2 × %3").arg(screen->name()).arg(g.width()).arg(g.height());
        if (isCovered)
            text += tr("\nthe frame");
        p.drawText(box, Qt::AlignCenter, text);
    }
}

}  // namespace tact::tuning
