#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/desktop/Desktop.hpp"

namespace platform {

VirtualDesktop::VirtualDesktop(double width, double height)
    : screen_{0, 0, width, height},
      observers_(std::make_shared<std::vector<std::pair<int, ActivationCallback>>>()) {}

void VirtualDesktop::setScreenSize(double width, double height) {
    screen_ = Rect{0, 0, width, height};
}

Observation VirtualDesktop::observeApplicationActivation(ActivationCallback cb) {
    int id = nextObserver_++;
    observers_->emplace_back(id, std::move(cb));
    std::weak_ptr<std::vector<std::pair<int, ActivationCallback>>> weak = observers_;
    return Observation([weak, id] {
        if (auto list = weak.lock()) {
            std::erase_if(*list, [id](const auto& entry) { return entry.first == id; });
        }
    });
}

void VirtualDesktop::activateApplication(const std::string& bundleIdentifier) {
    // Copy first: an observer may remove itself while being told.
    auto snapshot = *observers_;
    for (const auto& [id, cb] : snapshot)
        cb(bundleIdentifier);
}

const Output* chooseOutput(const std::vector<Output>& outputs, const std::string& name) {
    if (outputs.empty())
        return nullptr;
    if (!name.empty()) {
        for (const auto& output : outputs) {
            if (output.name == name)
                return &output;
        }
    }
    for (const auto& output : outputs) {
        if (output.primary)
            return &output;
    }
    return &outputs.front();
}

Rect boundingBox(const std::vector<Output>& outputs) {
    if (outputs.empty())
        return {};
    double left = outputs.front().frame.x, top = outputs.front().frame.y;
    double right = left + outputs.front().frame.width, bottom = top + outputs.front().frame.height;
    for (const auto& output : outputs) {
        left = std::min(left, output.frame.x);
        top = std::min(top, output.frame.y);
        right = std::max(right, output.frame.x + output.frame.width);
        bottom = std::max(bottom, output.frame.y + output.frame.height);
    }
    return Rect{left, top, right - left, bottom - top};
}

std::optional<std::pair<double, double>> parseScreenSize(const std::string& text) {
    unsigned w = 0, h = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%ux%u%c", &w, &h, &extra) != 2)
        return std::nullopt;
    if (w == 0 || h == 0 || w > 100000 || h > 100000)
        return std::nullopt;
    return std::make_pair(double(w), double(h));
}

}  // namespace platform
