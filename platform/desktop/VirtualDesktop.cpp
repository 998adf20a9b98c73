#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/desktop/Desktop.hpp"

namespace platform {

namespace {

// Removes an observer from its list when the observation ends.
template <class Callback>
Observation observe(std::shared_ptr<std::vector<std::pair<int, Callback>>>& list, int& next,
                    Callback cb) {
    const int id = next++;
    list->emplace_back(id, std::move(cb));
    std::weak_ptr<std::vector<std::pair<int, Callback>>> weak = list;
    return Observation([weak, id] {
        if (auto l = weak.lock())
            std::erase_if(*l, [id](const auto& entry) { return entry.first == id; });
    });
}

}  // namespace

VirtualDesktop::VirtualDesktop(double width, double height)
    : outputs_{Output{"virtual", Rect{0, 0, width, height}, true}},
      observers_(std::make_shared<std::vector<std::pair<int, ActivationCallback>>>()),
      screenObservers_(std::make_shared<std::vector<std::pair<int, ScreenCallback>>>()) {}

Rect VirtualDesktop::mainScreenFrame() const {
    const Output* output = chooseOutput(outputs_, frameOutput_);
    return output ? output->frame : Rect{};
}

std::string VirtualDesktop::mainOutputName() const {
    const Output* output = chooseOutput(outputs_, frameOutput_);
    return output ? output->name : std::string();
}

template <class Change>
void VirtualDesktop::changeScreens(Change change) {
    const Rect frame = mainScreenFrame();
    const Rect bounds = desktopBounds();
    change();
    if (mainScreenFrame() == frame && desktopBounds() == bounds)
        return;
    // Copy first: an observer may remove itself while being told.
    const auto snapshot = *screenObservers_;
    for (const auto& [id, cb] : snapshot)
        cb();
}

void VirtualDesktop::setScreenSize(double width, double height) {
    changeScreens([&] { outputs_ = {Output{"virtual", Rect{0, 0, width, height}, true}}; });
}

void VirtualDesktop::setOutputs(std::vector<Output> outputs) {
    changeScreens([&] { outputs_ = std::move(outputs); });
}

void VirtualDesktop::setFrameOutput(const std::string& name) {
    changeScreens([&] { frameOutput_ = name; });
}

Observation VirtualDesktop::observeScreenChanges(ScreenCallback cb) {
    return observe(screenObservers_, nextObserver_, std::move(cb));
}

Observation VirtualDesktop::observeApplicationActivation(ActivationCallback cb) {
    return observe(observers_, nextObserver_, std::move(cb));
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

events::ScreenGeometry screenGeometry(const Desktop& desktop) {
    const Rect main = desktop.mainScreenFrame();
    const Rect bounds = desktop.desktopBounds();
    return {main.x,   main.y,   main.width,   main.height,
            bounds.x, bounds.y, bounds.width, bounds.height};
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
