// Touch tracking: the frame's contact IDs become transducers that persist
// from report to report, raw positions become unit-square positions through
// the calibration, and every touch of a cycle is filed into one set.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>

#include "agent/converter/ZyvTouchConverter.hpp"

namespace tact {

platform::Dictionary Touch::toDictionary() const {
    return platform::Dictionary{
        {"type", type},
        {"options", options},
        {"touchX", touchX},
        {"touchY", touchY},
        {"transducerIndex", transducerIndex},
        {"transducerType", transducerType},
        {"identity", identity},
        {"quality", quality},
        {"delta.x", deltaX},
        {"delta.y", deltaY},
        {"position.x", positionX},
        {"position.y", positionY},
        {"eventMask", eventMask},
        {"pending.count", pendingCount},
    };
}

void ZyvTouchConverter::fingerToTransducerMapInit() {
    transducerIndexPool = ~std::uint64_t{0};
    transducerAllocatedIndex = 0;
    fingerToTransducerMapTable.fill(-1);
    ++fingerToTransducerMapChanges;
}

std::int64_t ZyvTouchConverter::fingerToTransducerMap(std::int64_t fingerID) {
    if (const std::int16_t index = transducerOfFinger(fingerID); index >= 0)
        return index;
    return fingerToTransducerAllocate(fingerID);
}

std::int64_t ZyvTouchConverter::fingerToTransducerAllocate(std::int64_t fingerID) {
    // Step through every other index after the last one handed out, so that
    // new fingers get consecutive indices while the pool is fresh.
    int candidate = (transducerAllocatedIndex + 1) % kTransducerCount;
    bool found = false;
    for (int tries = 0; tries < kTransducerCount / 2; ++tries) {
        if (transducerIndexPool & bitOf(candidate)) {
            found = true;
            break;
        }
        candidate = (candidate + 2) % kTransducerCount;
    }
    // All indices of that parity are taken: take the lowest free one instead.
    if (!found && transducerIndexPool != 0) {
        candidate = std::countr_zero(transducerIndexPool);
        found = true;
    }
    if (!found)
        candidate = transducerAllocatedIndex;  // nothing is free: share the last
    transducerIndexPool &= ~bitOf(candidate);
    transducerAllocatedIndex = static_cast<std::uint8_t>(candidate);
    fingerToTransducerMapTable[static_cast<std::size_t>(fingerID & 0xFF)] =
        static_cast<std::int16_t>(candidate);
    ++fingerToTransducerMapChanges;
    return candidate;
}

void ZyvTouchConverter::fingerToTransducerUnmap(std::int64_t fingerID) {
    const std::int16_t index = transducerOfFinger(fingerID);
    if (index < 0)
        return;
    transducerIndexPool |= bitOf(index);
    fingerToTransducerMapTable[static_cast<std::size_t>(fingerID)] = -1;
    ++fingerToTransducerMapChanges;
}

void ZyvTouchConverter::fingerToTransducerRemap(std::int64_t fingerID,
                                                std::int64_t transducerIndex) {
    if (fingerID < 0 || fingerID > 255 || transducerIndex < 0 ||
        transducerIndex >= kTransducerCount) {
        return;
    }
    fingerToTransducerMapTable[static_cast<std::size_t>(fingerID)] =
        static_cast<std::int16_t>(transducerIndex);
    transducerIndexPool &= ~bitOf(transducerIndex);
    ++fingerToTransducerMapChanges;
}

platform::Point ZyvTouchConverter::unitSquarePosition(std::int64_t rawX, std::int64_t rawY) const {
    float x, y;
    if (isCalibrated) {
        x = static_cast<float>((KX1 * rawX + KX2 * rawY + KX3) / KWIDTH);
        y = static_cast<float>((KY1 * rawX + KY2 * rawY + KY3) / KHEIGHT);
    } else {
        x = static_cast<float>(rawX) / 32768.0f;
        y = static_cast<float>(rawY) / 32768.0f;
    }
    // Off the unit square (or not a number at all, from a degenerate
    // calibration): logged, then held at the nearest edge (0 for NaN).
    auto clamp = [&](float& v, const char* format, std::int64_t raw) {
        if (v >= 0 && v < 1)
            return;
        _logger.logf(kLogOutOfRange, format, static_cast<double>(v), static_cast<int>(raw));
        v = (v >= 1) ? 1.0f : 0.0f;
    };
    clamp(x, "invalid coordinate x:%f, touchX:%d", rawX);
    clamp(y, "invalid coordinate y:%f, touchY:%d", rawY);
    return {x, y};
}

void ZyvTouchConverter::runTrackingPasses(std::span<const ContactRecord> records) {
    // One look-up per finger: what the table said holds until the table
    // changes, which only arrivals, departures and hand-overs do. Then every
    // finger is looked up again.
    std::array<std::int16_t, 12> transducers{};
    records = records.first(std::min(records.size(), transducers.size()));
    std::optional<std::uint32_t> lookedUp;  // the table's change count then
    auto refresh = [&] {
        if (lookedUp == fingerToTransducerMapChanges)
            return;
        for (std::size_t i = 0; i < records.size(); ++i)
            transducers[i] = transducerOfFinger(records[i].contactID);
        lookedUp = fingerToTransducerMapChanges;
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        refresh();
        submitMatchedTouch(records[i], transducers[i]);
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        refresh();
        submitUnmatchedTouch(records[i], transducers[i]);
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        refresh();
        submitArrivingTouch(records[i], transducers[i]);
    }
}

void ZyvTouchConverter::submitMatchedTouch(const ContactRecord& record) {
    submitMatchedTouch(record, transducerOfFinger(record.contactID));
}

void ZyvTouchConverter::submitUnmatchedTouch(const ContactRecord& record) {
    submitUnmatchedTouch(record, transducerOfFinger(record.contactID));
}

void ZyvTouchConverter::submitArrivingTouch(const ContactRecord& record) {
    submitArrivingTouch(record, transducerOfFinger(record.contactID));
}

void ZyvTouchConverter::submitTouch(const ContactRecord& record) {
    submitTouch(record, transducerOfFinger(record.contactID));
}

void ZyvTouchConverter::submitMatchedTouch(const ContactRecord& record, std::int16_t transducer) {
    if (record.valid() && transducer >= 0)
        submitTouch(record, transducer);
}

void ZyvTouchConverter::submitUnmatchedTouch(const ContactRecord& record, std::int16_t transducer) {
    const TouchMask filed = arrivingTouchesIndexMask | stayingTouchesIndexMask |
                            movingTouchesIndexMask | leavingTouchesIndexMask;
    if (!record.valid() || transducer >= 0 || filed == 0)
        return;

    platform::Point p = unitSquarePosition(record.x, record.y);
    double best = 1e9;
    const Touch* nearest = nullptr;
    for (TouchMask left = frameTransducers & ~filed; left != 0; left &= left - 1) {
        const auto& touch = transducerTouches[static_cast<std::size_t>(std::countr_zero(left))];
        if (!touch)
            continue;
        double d = std::hypot(touch->positionX - p.x, touch->positionY - p.y);
        if (d < best) {
            best = d;
            nearest = &*touch;
        }
    }
    if (!nearest || !(gestureMoveThreshold >= best))
        return;
    // The finger came back under a new contact ID: it keeps its transducer.
    std::int64_t index = nearest->transducerIndex;
    fingerToTransducerUnmap(nearest->identity);
    fingerToTransducerRemap(record.contactID, index);
    submitTouch(record, transducerOfFinger(record.contactID));
}

void ZyvTouchConverter::submitArrivingTouch(const ContactRecord& record, std::int16_t transducer) {
    if (record.valid() && transducer < 0)
        submitTouch(record, transducer);
}

void ZyvTouchConverter::fileTouch(const Touch& touch, TouchMask& mask, std::vector<Touch>& list) {
    mask |= bitOf(touch.transducerIndex);
    list.push_back(touch);
}

void ZyvTouchConverter::submitTouch(const ContactRecord& record, std::int16_t transducer) {
    if (!record.valid())
        return;
    const std::int64_t index =
        transducer >= 0 ? transducer : fingerToTransducerAllocate(record.contactID);

    Touch touch;
    touch.options = kTouchOptionBase | (record.touching() ? kTouchOptionTouching : 0) |
                    (record.inRange() ? kTouchOptionInRange : 0);
    touch.touchX = record.x;
    touch.touchY = record.y;
    const platform::Point p = unitSquarePosition(record.x, record.y);
    const float x = static_cast<float>(p.x);
    const float y = static_cast<float>(p.y);
    touch.transducerIndex = index;
    touch.identity = record.contactID;
    touch.quality = record.valid() ? 1 : 0;
    touch.positionX = x;
    touch.positionY = y;

    TouchMask* mask = nullptr;
    std::vector<Touch>* list = nullptr;
    const auto& previous = transducerTouches[static_cast<std::size_t>(index)];
    if (previous) {
        const float px = static_cast<float>(previous->positionX);
        const float py = static_cast<float>(previous->positionY);
        const bool moved = x != px || y != py;
        std::int64_t eventMask = 0;
        if (touch.identity != previous->identity)
            eventMask |= kTouchChangedIdentity;
        if (record.touching() && record.inRange() && moved)
            eventMask |= kTouchChangedPosition;
        if ((touch.options ^ previous->options) & kTouchOptionInRange) {
            eventMask |= kTouchChangedRange;
        }
        if ((touch.options ^ previous->options) & kTouchOptionTouching) {
            eventMask |= kTouchChangedTouch;
        }
        touch.eventMask = eventMask;
        if (!record.touching()) {
            mask = &leavingTouchesIndexMask;
            list = &leavingTouches;
            _logger.logf(kLogTouches, "Touch leaving, index=%i, id=%i", static_cast<int>(index),
                         static_cast<int>(record.contactID));
        } else if (!moved) {
            mask = &stayingTouchesIndexMask;
            list = &stayingTouches;
        } else {
            touch.deltaX = x - px;
            touch.deltaY = y - py;
            mask = &movingTouchesIndexMask;
            list = &movingTouches;
        }
    } else {
        if (!record.touching()) {
            fingerToTransducerUnmap(record.contactID);  // nothing lasting for a lifted stranger
            return;
        }
        touch.eventMask = kTouchNewMask;
        mask = &arrivingTouchesIndexMask;
        list = &arrivingTouches;
        _logger.logf(kLogTouches, "Touch arriving, index=%i, id=%i", static_cast<int>(index),
                     static_cast<int>(record.contactID));
    }

    touch.pendingCount = 0;
    fileTouch(touch, *mask, *list);
    frameTransducers |= bitOf(index);
    transducerTouches[static_cast<std::size_t>(index)] = touch;
    _logger.logf(kLogTouches, "Index:%i, option:0x%08x, eventMask:0x%08x", static_cast<int>(index),
                 static_cast<unsigned>(touch.options), static_cast<unsigned>(touch.eventMask));
}

}  // namespace tact
