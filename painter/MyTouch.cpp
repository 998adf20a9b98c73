#include "painter/MyTouch.hpp"

namespace tact {

MyTouch MyTouch::InitWithReport(const QuenralMTCalibratedTouch& report) {
    MyTouch touch;
    touch.identity = report.identity;
    touch.normalizedPosition = QPointF(report.x, report.y);
    touch._width = report.width;
    touch._height = report.height;
    return touch;
}

}  // namespace tact
