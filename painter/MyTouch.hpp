// One touch as the agent reported it, and the record it is made from.
#pragma once

#include <QPointF>

#include <cstdint>

namespace tact {

// A touch as read from one report: the finger identifier cut to eight bits,
// then the centre and the size as fractions of the main screen (origin at the
// bottom left, as the agent publishes them).
struct QuenralMTCalibratedTouch {
    std::uint8_t identity = 0;
    float x = 0;
    float y = 0;
    float width = 0;
    float height = 0;
};

class MyTouch {
  public:
    static MyTouch InitWithReport(const QuenralMTCalibratedTouch& report);

    // Finger identifier, 0..255.
    std::int64_t identity = 0;
    // Touch centre as fractions of the main screen, origin bottom left.
    QPointF normalizedPosition;
    // Touch size as fractions of the screen's width and height.
    float _width = 0;
    float _height = 0;
};

}  // namespace tact
