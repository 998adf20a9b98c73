// What a screenshot test looks at: dark (text) pixels on the light window.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>

namespace tact::test {

inline bool isDark(QRgb pixel) {
    return qRed(pixel) < 100 && qGreen(pixel) < 100 && qBlue(pixel) < 100;
}

// How many dark pixels lie in the rectangle.
inline int darkIn(const QImage& image, const QRect& area) {
    int count = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            count += isDark(image.pixel(x, y)) ? 1 : 0;
    return count;
}

}  // namespace tact::test
