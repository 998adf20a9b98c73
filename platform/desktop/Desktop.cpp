// What every desktop shares: choosing the frame's output, the desktop's
// bounds, the sinks' geometry, and telling the user about a missing output.
#include <algorithm>
#include <cstdio>

#include "platform/desktop/Desktop.hpp"
#include "platform/log/SystemLog.hpp"

namespace platform {

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

void FrameOutputNotice::update(const std::string& frameOutput, const Output* chosen,
                               std::string_view otherwise) {
    if (frameOutput.empty())
        return;
    const bool there = chosen && chosen->name == frameOutput;
    if (!there && !missing_) {
        missing_ = true;
        systemLog(LogLevel::Warning,
                  "the frame's output " + frameOutput + " is not connected: using " +
                      (chosen && !chosen->name.empty() ? chosen->name : std::string(otherwise)));
    } else if (there && missing_) {
        missing_ = false;
        systemLog(LogLevel::Info, "the frame's output " + frameOutput + " is back");
    }
}

struct ScreenObservers::State {
    explicit State(RunLoop& l) : loop(l) {}
    RunLoop& loop;
    std::vector<std::pair<int, std::function<void()>>> list;
    int nextId = 0;
    Rect frame, bounds;          // as it is now
    Rect toldFrame, toldBounds;  // as the observers were last told
    bool posted = false;
};

ScreenObservers::ScreenObservers(RunLoop& loop) : state_(std::make_shared<State>(loop)) {}

Observation ScreenObservers::add(std::function<void()> cb) {
    const int id = state_->nextId++;
    state_->list.emplace_back(id, std::move(cb));
    return Observation([weak = std::weak_ptr<State>(state_), id] {
        if (auto state = weak.lock())
            std::erase_if(state->list, [id](const auto& entry) { return entry.first == id; });
    });
}

void ScreenObservers::settle(const Rect& frame, const Rect& bounds) {
    state_->frame = state_->toldFrame = frame;
    state_->bounds = state_->toldBounds = bounds;
}

void ScreenObservers::changed(const Rect& frame, const Rect& bounds) {
    State& s = *state_;
    s.frame = frame;
    s.bounds = bounds;
    if (s.posted || (frame == s.toldFrame && bounds == s.toldBounds))
        return;
    s.posted = true;
    s.loop.post([weak = std::weak_ptr<State>(state_)] {
        auto state = weak.lock();
        if (!state)
            return;
        state->posted = false;
        if (state->frame == state->toldFrame && state->bounds == state->toldBounds)
            return;
        state->toldFrame = state->frame;
        state->toldBounds = state->bounds;
        // Copy first: an observer may remove itself, or another, while told.
        const auto snapshot = state->list;
        for (const auto& [id, cb] : snapshot) {
            const bool still =
                std::any_of(state->list.begin(), state->list.end(),
                            [id = id](const auto& entry) { return entry.first == id; });
            if (still)
                cb();
        }
    });
}

}  // namespace platform
