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

}  // namespace platform
