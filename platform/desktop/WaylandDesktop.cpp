#include "platform/desktop/WaylandDesktop.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/log/SystemLog.hpp"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace platform {
namespace {

// How long connect() waits for the compositor to describe its outputs.
constexpr auto kAnswerTime = std::chrono::seconds(5);
// Names longer than this are cut; no real output name comes near it.
constexpr std::size_t kMaxName = 128;
// The protocol versions this desktop knows: wl_output 4 adds the name,
// xdg-output 2 adds it there, 3 moves the end of a change to wl_output.done.
constexpr std::uint32_t kOutputVersion = 4;
constexpr std::uint32_t kXdgOutputVersion = 3;

// Handles that give their proxy (or the connection) back when they go.
template <typename T, void (*Release)(T*)>
struct Releaser {
    void operator()(T* p) const {
        if (p)
            Release(p);
    }
};
template <typename T, void (*Release)(T*)>
using Handle = std::unique_ptr<T, Releaser<T, Release>>;

void releaseOutput(wl_output* output) {
    if (wl_output_get_version(output) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
        wl_output_release(output);
    else
        wl_output_destroy(output);
}

using DisplayHandle = Handle<wl_display, wl_display_disconnect>;
using RegistryHandle = Handle<wl_registry, wl_registry_destroy>;
using CallbackHandle = Handle<wl_callback, wl_callback_destroy>;
using OutputHandle = Handle<wl_output, releaseOutput>;
using XdgManagerHandle = Handle<zxdg_output_manager_v1, zxdg_output_manager_v1_destroy>;
using XdgOutputHandle = Handle<zxdg_output_v1, zxdg_output_v1_destroy>;

// A descriptor of our own, closed when it goes.
class OwnedFd {
  public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

// A string the compositor sent, made safe to keep and to log: at most
// kMaxName bytes (cut at a character boundary), control characters replaced.
std::string compositorText(const char* s) {
    if (!s)
        return {};
    std::string text(s, strnlen(s, kMaxName + 1));
    if (text.size() > kMaxName) {
        std::size_t end = kMaxName;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        text.resize(end);
    }
    for (char& ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            ch = '?';
    }
    return text;
}

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string describe(const Output& o) {
    return "'" + o.name + "' " + number(o.frame.width) + "x" + number(o.frame.height) + " at " +
           number(o.frame.x) + "," + number(o.frame.y);
}

std::string describe(const std::vector<Output>& outputs) {
    if (outputs.empty())
        return "none";
    std::string text;
    for (const auto& o : outputs) {
        if (!text.empty())
            text += ", ";
        text += describe(o);
    }
    return text;
}

// libwayland's own complaints go to the system log.
void logFromLibrary(const char* format, va_list args) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, format, args);
    systemLog(LogLevel::Warning, std::string("Wayland: ") + buf);
}

// What one wl_output (and its xdg-output) has said.
struct OutputInfo {
    std::string name;     // wl_output.name (version 4)
    std::string xdgName;  // zxdg_output_v1.name (version 2)
    std::int32_t x = 0, y = 0;
    std::int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
    std::int32_t modeWidth = 0, modeHeight = 0;
    std::int32_t scale = 1;
    std::optional<std::pair<std::int32_t, std::int32_t>> logicalPosition;
    std::optional<std::pair<std::int32_t, std::int32_t>> logicalSize;

    // The logical frame: xdg-output's, else the current mode turned by the
    // transform and divided by the scale at the output's position.
    std::optional<Rect> frame() const {
        if (logicalPosition && logicalSize && logicalSize->first > 0 && logicalSize->second > 0)
            return Rect{double(logicalPosition->first), double(logicalPosition->second),
                        double(logicalSize->first), double(logicalSize->second)};
        if (modeWidth <= 0 || modeHeight <= 0)
            return std::nullopt;
        double w = modeWidth, h = modeHeight;
        // 90 and 270 degrees, flipped or not, are the odd transforms.
        if (transform >= 0 && transform <= 7 && (transform & 1))
            std::swap(w, h);
        const double s = scale > 0 ? scale : 1;
        return Rect{double(x), double(y), w / s, h / s};
    }
};

}  // namespace

struct WaylandDesktop::Impl : std::enable_shared_from_this<WaylandDesktop::Impl> {
    struct OutputState {
        Impl* impl = nullptr;
        std::uint32_t globalName = 0;
        OutputHandle output;
        XdgOutputHandle xdg;
        OutputInfo pending;  // as the events come
        OutputInfo current;  // as of the last done
        bool ready = false;  // a done has come
    };
    explicit Impl(RunLoop& l) : loop(l), screens(l) {}

    RunLoop& loop;
    Desktop* windows = nullptr;
    std::string socket;

    // The connection goes last, after every proxy on it.
    DisplayHandle display;
    RegistryHandle registry;
    XdgManagerHandle xdgManager;
    std::uint32_t xdgManagerName = 0;
    std::vector<std::unique_ptr<OutputState>> states;  // in the order announced
    FdSource source;
    // While requests wait for room in the socket: the loop watches a
    // descriptor only once, so this one watches a copy.
    std::optional<OwnedFd> writeFd;
    FdSource writable;
    bool lost = false;

    std::vector<Output> outputs;
    std::string frameOutput;
    FrameOutputNotice notice;
    Rect frame;
    Rect bounds;
    std::string mainName;
    ScreenObservers screens;

    Point pointer;

    // --- the registry -----------------------------------------------------

    static void global(void* data, wl_registry*, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        auto* self = static_cast<Impl*>(data);
        if (!interface)
            return;
        if (std::strcmp(interface, wl_output_interface.name) == 0)
            self->addOutput(name, version);
        else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0)
            self->addXdgManager(name, version);
    }

    static void globalRemove(void* data, wl_registry*, std::uint32_t name) {
        static_cast<Impl*>(data)->removeGlobal(name);
    }

    static constexpr wl_registry_listener kRegistryListener = {
        .global = global,
        .global_remove = globalRemove,
    };

    void addOutput(std::uint32_t name, std::uint32_t version) {
        // Version 1 has no done event, so a change could never be told whole.
        if (version < 2) {
            systemLog(LogLevel::Debug, "Wayland: an output of version 1 is left out");
            return;
        }
        const std::uint32_t bound = std::min(
            {version, kOutputVersion, static_cast<std::uint32_t>(wl_output_interface.version)});
        auto state = std::make_unique<OutputState>();
        state->impl = this;
        state->globalName = name;
        state->output.reset(static_cast<wl_output*>(
            wl_registry_bind(registry.get(), name, &wl_output_interface, bound)));
        if (!state->output)
            return;
        wl_output_add_listener(state->output.get(), &kOutputListener, state.get());
        if (xdgManager)
            watchXdgOutput(*state);
        states.push_back(std::move(state));
    }

    void addXdgManager(std::uint32_t name, std::uint32_t version) {
        if (xdgManager)
            return;
        const std::uint32_t bound =
            std::min({version, kXdgOutputVersion,
                      static_cast<std::uint32_t>(zxdg_output_manager_v1_interface.version)});
        xdgManager.reset(static_cast<zxdg_output_manager_v1*>(
            wl_registry_bind(registry.get(), name, &zxdg_output_manager_v1_interface, bound)));
        if (!xdgManager)
            return;
        xdgManagerName = name;
        for (auto& state : states)
            watchXdgOutput(*state);
    }

    void watchXdgOutput(OutputState& state) {
        if (state.xdg)
            return;
        state.xdg.reset(
            zxdg_output_manager_v1_get_xdg_output(xdgManager.get(), state.output.get()));
        if (state.xdg)
            zxdg_output_v1_add_listener(state.xdg.get(), &kXdgOutputListener, &state);
    }

    void removeGlobal(std::uint32_t name) {
        if (xdgManager && name == xdgManagerName) {
            // The outputs' xdg-outputs stay as they are; new ones go without.
            xdgManager.reset();
            return;
        }
        const auto it = std::find_if(states.begin(), states.end(),
                                     [name](const auto& s) { return s->globalName == name; });
        if (it == states.end())
            return;
        const bool wasReady = (*it)->ready;
        states.erase(it);
        if (wasReady)
            changed();
    }

    // --- one output ---------------------------------------------------------

    static OutputInfo& pendingOf(void* data) { return static_cast<OutputState*>(data)->pending; }

    static void outputGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t,
                               std::int32_t, std::int32_t, const char*, const char*,
                               std::int32_t transform) {
        auto& info = pendingOf(data);
        info.x = x;
        info.y = y;
        info.transform = transform;
    }

    static void outputMode(void* data, wl_output*, std::uint32_t flags, std::int32_t width,
                           std::int32_t height, std::int32_t) {
        if (!(flags & WL_OUTPUT_MODE_CURRENT))
            return;
        auto& info = pendingOf(data);
        info.modeWidth = width;
        info.modeHeight = height;
    }

    static void outputScale(void* data, wl_output*, std::int32_t factor) {
        pendingOf(data).scale = factor;
    }

    static void outputName(void* data, wl_output*, const char* name) {
        pendingOf(data).name = compositorText(name);
    }

    static void outputDescription(void*, wl_output*, const char*) {}

    static void outputDone(void* data, wl_output*) {
        auto* state = static_cast<OutputState*>(data);
        state->current = state->pending;
        state->ready = true;
        state->impl->changed();
    }

    static constexpr wl_output_listener kOutputListener = {
        .geometry = outputGeometry,
        .mode = outputMode,
        .done = outputDone,
        .scale = outputScale,
        .name = outputName,
        .description = outputDescription,
    };

    static void xdgPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
        pendingOf(data).logicalPosition = std::pair{x, y};
    }

    static void xdgSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
        pendingOf(data).logicalSize = std::pair{width, height};
    }

    static void xdgName(void* data, zxdg_output_v1*, const char* name) {
        pendingOf(data).xdgName = compositorText(name);
    }

    static void xdgDescription(void*, zxdg_output_v1*, const char*) {}

    // Before version 3 the xdg-output ends its own changes; from 3 on the
    // compositor ends them with wl_output.done and this is never sent.
    static void xdgDone(void* data, zxdg_output_v1*) {
        auto* state = static_cast<OutputState*>(data);
        // Its wl_output has not described it yet: its done will come.
        if (!state->ready && state->pending.modeWidth <= 0)
            return;
        outputDone(data, nullptr);
    }

    static constexpr zxdg_output_v1_listener kXdgOutputListener = {
        .logical_position = xdgPosition,
        .logical_size = xdgSize,
        .done = xdgDone,
        .name = xdgName,
        .description = xdgDescription,
    };

    // --- the layout -----------------------------------------------------------

    void changed() {
        std::vector<Output> now;
        for (const auto& state : states) {
            if (!state->ready)
                continue;
            const auto f = state->current.frame();
            if (!f)
                continue;
            const std::string& name =
                state->current.name.empty() ? state->current.xdgName : state->current.name;
            now.push_back(Output{name, *f, now.empty()});
        }
        if (now == outputs)
            return;
        // A compositor without any output (the only monitor unplugged) keeps
        // the last layout: the frame is still where the touches go.
        if (now.empty() && !outputs.empty()) {
            systemLog(LogLevel::Info, "Wayland: the compositor has no output: keeping the last (" +
                                          describe(outputs) + ")");
            return;
        }
        outputs = std::move(now);
        if (systemLogEnabled(LogLevel::Debug))
            systemLog(LogLevel::Debug, "Wayland: outputs " + describe(outputs));
        choose();
    }

    void choose() {
        const Output* main = chooseOutput(outputs, frameOutput);
        frame = main ? main->frame : Rect{};
        mainName = main ? main->name : std::string();
        bounds = boundingBox(outputs);
        if (main)
            notice.update(frameOutput, main, "the first output");
        screens.changed(frame, bounds);
    }

    // --- the connection -----------------------------------------------------------

    wl_display* d() const { return display.get(); }

    void markLost() {
        if (lost)
            return;
        lost = true;
        source.remove();
        writable.remove();
        const int code = wl_display_get_error(d());
        std::string reason = "closed by the compositor";
        if (code == EPROTO)
            reason = "a protocol error";
        else if (code != 0 && code != EPIPE && code != ECONNRESET)
            reason = std::strerror(code);
        systemLog(LogLevel::Warning, "the connection to the Wayland compositor '" + socket +
                                         "' is gone (" + reason + "): keeping the last outputs (" +
                                         describe(outputs) + ")");
    }

    // Sends what is queued; when the socket is full, the rest goes once it
    // has room again.
    void flush() {
        if (lost)
            return;
        if (wl_display_flush(d()) >= 0) {
            writable.remove();
            return;
        }
        if (errno != EAGAIN) {
            markLost();
            return;
        }
        if (writable.isActive())
            return;
        if (!writeFd)
            writeFd.emplace(::fcntl(wl_display_get_fd(d()), F_DUPFD_CLOEXEC, 0));
        if (writeFd->get() < 0)
            return;  // the next event read flushes again
        writable = loop.addFd(writeFd->get(), POLLOUT, [weak = weak_from_this()](auto) {
            if (auto self = weak.lock())
                self->flush();
        });
    }

    // The descriptor is readable (or hung up): read what came, without
    // blocking, and hand it to the listeners.
    void readable() {
        if (lost)
            return;
        while (wl_display_prepare_read(d()) != 0) {
            if (wl_display_dispatch_pending(d()) < 0)
                return markLost();
        }
        if (wl_display_read_events(d()) < 0)
            return markLost();
        if (wl_display_dispatch_pending(d()) < 0)
            return markLost();
        flush();
    }

    // Waits until the compositor has answered everything asked so far, at
    // most until the deadline; false when it did not or the connection broke.
    bool roundtrip(std::chrono::steady_clock::time_point deadline) {
        bool done = false;
        CallbackHandle callback(wl_display_sync(d()));
        if (!callback)
            return false;
        static constexpr wl_callback_listener kSyncListener = {
            .done = [](void* data, wl_callback*,
                       std::uint32_t) { *static_cast<bool*>(data) = true; },
        };
        wl_callback_add_listener(callback.get(), &kSyncListener, &done);
        while (!done) {
            if (wl_display_prepare_read(d()) != 0) {
                if (wl_display_dispatch_pending(d()) < 0)
                    return false;
                continue;
            }
            short events = POLLIN;
            if (wl_display_flush(d()) < 0) {
                if (errno != EAGAIN) {
                    wl_display_cancel_read(d());
                    return false;
                }
                events |= POLLOUT;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{wl_display_get_fd(d()), events, 0};
            const int n = left.count() > 0 ? ::poll(&fd, 1, static_cast<int>(left.count())) : 0;
            if (n < 0 && errno == EINTR) {
                wl_display_cancel_read(d());
                continue;
            }
            if (n <= 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) {
                wl_display_cancel_read(d());
                if (n <= 0)
                    return false;
                continue;
            }
            if (wl_display_read_events(d()) < 0 || wl_display_dispatch_pending(d()) < 0)
                return false;
        }
        return true;
    }
};

Result<std::unique_ptr<WaylandDesktop>> WaylandDesktop::connect(RunLoop& loop,
                                                                const std::string& socketName,
                                                                Desktop* windows) {
    std::string name = socketName;
    if (name.empty()) {
        const char* env = std::getenv("WAYLAND_DISPLAY");
        if (!env || !*env)
            return Error{Reason::Unavailable, "no Wayland session (WAYLAND_DISPLAY is not set)"};
        name = env;
    }
    if (name.find('/') == std::string::npos) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (!runtime || !*runtime) {
            return Error{Reason::Unavailable, "cannot connect to the Wayland compositor '" + name +
                                                  "' (XDG_RUNTIME_DIR is not set)"};
        }
    }
    wl_log_set_handler_client(logFromLibrary);

    auto impl = std::make_shared<Impl>(loop);
    impl->windows = windows;
    impl->socket = name;
    impl->display.reset(wl_display_connect(name.c_str()));
    if (!impl->display) {
        return Error{Reason::Unavailable, "cannot connect to the Wayland compositor '" + name +
                                              "' (" + std::strerror(errno) + ")"};
    }
    impl->registry.reset(wl_display_get_registry(impl->d()));
    if (!impl->registry) {
        return Error{Reason::Failed,
                     "cannot ask the Wayland compositor '" + name + "' for its outputs"};
    }
    wl_registry_add_listener(impl->registry.get(), &Impl::kRegistryListener, impl.get());

    // The globals, then what the outputs bound on them say.
    const auto deadline = std::chrono::steady_clock::now() + kAnswerTime;
    if (!impl->roundtrip(deadline) || !impl->roundtrip(deadline)) {
        const int code = wl_display_get_error(impl->d());
        if (code != 0) {
            return Error{Reason::Failed, "the connection to the Wayland compositor '" + name +
                                             "' broke while reading its outputs (" +
                                             std::strerror(code) + ")"};
        }
        return Error{Reason::Unavailable, "the Wayland compositor '" + name +
                                              "' did not answer within " +
                                              std::to_string(kAnswerTime.count()) + " seconds"};
    }
    // What connect learnt is not a change.
    impl->screens.settle(impl->frame, impl->bounds);

    std::weak_ptr<Impl> weak = impl;
    impl->source = loop.addFd(wl_display_get_fd(impl->d()), POLLIN, [weak](std::uint32_t) {
        if (auto self = weak.lock())
            self->readable();
    });
    return std::make_unique<WaylandDesktop>(Private{}, std::move(impl));
}

WaylandDesktop::WaylandDesktop(Private, std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

WaylandDesktop::~WaylandDesktop() = default;

Rect WaylandDesktop::mainScreenFrame() const {
    return impl_->frame;
}

std::string WaylandDesktop::mainOutputName() const {
    return impl_->mainName;
}

std::vector<Output> WaylandDesktop::outputs() const {
    return impl_->outputs;
}

Rect WaylandDesktop::desktopBounds() const {
    return impl_->bounds;
}

void WaylandDesktop::setFrameOutput(const std::string& name) {
    if (name == impl_->frameOutput)
        return;
    impl_->frameOutput = name;
    impl_->notice.forget();
    impl_->choose();
}

Observation WaylandDesktop::observeScreenChanges(ScreenCallback cb) {
    return impl_->screens.add(std::move(cb));
}

Point WaylandDesktop::pointerLocation() const {
    return impl_->pointer;
}

void WaylandDesktop::setPointerLocation(Point p) {
    impl_->pointer = p;
}

Observation WaylandDesktop::observeApplicationActivation(ActivationCallback cb) {
    if (!impl_->windows)
        return Observation();
    return impl_->windows->observeApplicationActivation(std::move(cb));
}

const std::string& WaylandDesktop::socketName() const {
    return impl_->socket;
}

bool WaylandDesktop::connected() const {
    return !impl_->lost;
}

}  // namespace platform
