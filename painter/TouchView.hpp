// The painter's only view: every touch the agent reports is painted as a
// coloured oval into a paint buffer the size of the view, which is shown as
// it is. Reports are collected as they come and painted together by a tick
// that runs every 1/30 s, starting one second after the view is set up. The
// paint stays until a double click or a resize of the window clears it.
//
// Touch positions are fractions of the main screen (the one the frame covers,
// anywhere on the desktop) with the origin at the bottom left, as the agent
// publishes them; the view turns them into screen points and then into its
// own (top-left) coordinates.
#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QRectF>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "painter/MyTouch.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace tact {

class TouchView : public QWidget {
    Q_OBJECT
  public:
    // The painting tick: first one second after set-up, then 30 times a second.
    static constexpr double kPaintingDelaySeconds = 1.0;
    static constexpr double kPaintingIntervalSeconds = 1.0 / 30.0;
    // Touches waiting for the tick beyond this are painted at once, so that a
    // flood of reports (or a stalled tick) cannot grow the set without limit.
    static constexpr std::size_t kMaxPendingTouches = 4096;
    // The paint buffer never gets larger than this many pixels on a side.
    static constexpr int kMaxBufferSide = 8192;

    // Reports come from center; the tick runs on loop. Both must outlive the
    // view.
    TouchView(platform::NotificationCenter& center, platform::RunLoop& loop,
              QWidget* parent = nullptr);
    ~TouchView() override;

    // Takes the main screen's frame, makes and clears the paint buffer,
    // starts the painting tick and observes the agent's reports.
    void awakeFromNib();

    // One "MTouch Report": its touches join the set to paint at the next tick.
    void doReportWithNotification(const platform::Notification& notification);
    // The painting tick: paints what came since the last one and redraws.
    void doUpdateDirtyRect(platform::Timer& timer);
    void doUpdateDirtyRect();
    // Paints these touches into the buffer.
    void updateDirtyRect(const std::vector<MyTouch>& touches);
    // Fills the buffer with dark grey.
    void clearPaintContent();
    // Makes the buffer the size of the view (its old paint is dropped).
    void updatePaintSize();
    // The window changed size: new screen frame, new buffer, cleared.
    void resizeWithNotification();
    // A click with this click count: a double click clears the paint.
    void mouseDown(int clickCount);

    // The colour of a finger, from the low eight bits of its identifier: its
    // red, green and blue in single precision, and as the sRGB colour painted.
    static std::array<float, 3> colorComponents(std::int64_t identity);
    static QColor colorForIdentity(std::int64_t identity);
    // Where a touch is painted, in view coordinates; empty while the view is
    // not in a window on the screen.
    QRectF rectForTouch(const MyTouch& touch) const;

    // State, for the program's trace and for tests.
    const QImage& paintBuffer() const { return anImage; }
    const std::vector<MyTouch>& pendingTouches() const { return _touchesSet; }
    int drawPending() const { return _drawPending; }
    QRectF screenRect() const { return _screenRect; }
    bool isPaintingScheduled() const { return paintTimer_.isValid(); }

  signals:
    // A tick painted what reports had come since the last one: the number of
    // touches they held (those off the window leave no paint) and of reports.
    void painted(int touches, int reports);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void drawRect(const QRectF& dirtyRect);
    // The legend over the paint (never into it): shown at start, then faded.
    void drawLegend(QPainter& painter);
    void reportMalformed(const std::string& problems);

    platform::NotificationCenter& center_;
    platform::RunLoop& loop_;

    // The main screen's frame in screen points (Qt's top-left origin).
    QRectF _screenRect;
    QImage anImage;
    std::vector<MyTouch> _touchesSet;
    int _drawPending = 0;

    platform::Timer paintTimer_;
    platform::Observation reportObservation_;
    // Touches painted early (kMaxPendingTouches) since the last tick.
    std::int64_t paintedEarly_ = 0;
    int malformedReports_ = 0;

    QElapsedTimer legendClock_;
    QTimer legendFade_;
};

}  // namespace tact
