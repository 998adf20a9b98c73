#include "platform/desktop/X11Desktop.hpp"

#include <poll.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "platform/events/Events.hpp"
#include "platform/events/XTestSink.hpp"
#include "platform/log/SystemLog.hpp"

namespace platform {
namespace {

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using ConnectionPtr = std::unique_ptr<xcb_connection_t, Disconnect>;

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;

using Observers = std::vector<std::pair<int, Desktop::ActivationCallback>>;

void setError(std::string* error, std::string message) {
    if (error)
        *error = std::move(message);
}

std::string size(const Rect& r) {
    return std::to_string(static_cast<int>(r.width)) + "x" +
           std::to_string(static_cast<int>(r.height));
}

}  // namespace

std::string applicationFromWmClass(std::string_view value, bool latin1) {
    const std::size_t end = value.find('\0');
    std::string_view instance = value.substr(0, end);
    std::string_view cls;
    if (end != std::string_view::npos) {
        cls = value.substr(end + 1);
        cls = cls.substr(0, cls.find('\0'));
    }
    const std::string_view name = cls.empty() ? instance : cls;
    if (!latin1)
        return std::string(name);
    std::string utf8;
    utf8.reserve(name.size());
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            utf8 += ch;
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

struct X11Desktop::Impl : std::enable_shared_from_this<X11Desktop::Impl> {
    explicit Impl(RunLoop& l) : loop(l) {}

    RunLoop& loop;
    ConnectionPtr connection;
    std::string displayName;
    xcb_window_t root = 0;
    xcb_atom_t activeWindowAtom = XCB_NONE;
    xcb_atom_t utf8StringAtom = XCB_NONE;
    bool hasPrimary = false;  // RandR 1.3 or later: a primary output can be set
    bool lost = false;

    Rect frame;
    Point pointer;
    std::string activeApplication;
    xcb_window_t activeWindow = XCB_NONE;
    std::shared_ptr<Observers> observers = std::make_shared<Observers>();
    int nextObserver = 0;

    FdSource source;
    // Events xcb read while waiting for a reply: the descriptor no longer
    // shows them, so they are handed out from the loop.
    std::deque<Reply<xcb_generic_event_t>> pending;
    bool dispatchPosted = false;

    xcb_connection_t* c() const { return connection.get(); }

    bool alive() {
        if (lost)
            return false;
        if (xcb_connection_has_error(c())) {
            markLost();
            return false;
        }
        return true;
    }

    void markLost() {
        if (lost)
            return;
        lost = true;
        source.remove();
        pending.clear();
        systemLog(LogLevel::Warning, "the connection to display '" + displayName +
                                         "' is gone: keeping the last screen (" + size(frame) +
                                         ") and following the agent's own pointer moves");
    }

    // After a round trip: take over the events that came with the reply.
    void collectQueued() {
        if (lost)
            return;
        while (xcb_generic_event_t* ev = xcb_poll_for_queued_event(c()))
            pending.emplace_back(ev);
        if (pending.empty() || dispatchPosted)
            return;
        dispatchPosted = true;
        loop.post([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->dispatchPosted = false;
                self->drain();
            }
        });
    }

    void drain() {
        while (!lost) {
            Reply<xcb_generic_event_t> ev;
            if (!pending.empty()) {
                ev = std::move(pending.front());
                pending.pop_front();
            } else {
                ev.reset(xcb_poll_for_event(c()));
            }
            if (!ev)
                break;
            handle(*ev);
        }
        alive();
    }

    void handle(const xcb_generic_event_t& ev) {
        const std::uint8_t type = ev.response_type & 0x7F;
        if (type == 0) {
            const auto& err = reinterpret_cast<const xcb_generic_error_t&>(ev);
            if (systemLogEnabled(LogLevel::Debug)) {
                systemLog(LogLevel::Debug, "X11: error " + std::to_string(err.error_code) +
                                               " for request " + std::to_string(err.major_code) +
                                               "." + std::to_string(err.minor_code));
            }
            return;
        }
        if (type != XCB_PROPERTY_NOTIFY)
            return;
        const auto& notify = reinterpret_cast<const xcb_property_notify_event_t&>(ev);
        if (notify.window == root && notify.atom == activeWindowAtom)
            activeWindowChanged(true);
    }

    Reply<xcb_get_property_reply_t> property(xcb_window_t window, xcb_atom_t atom,
                                             std::uint32_t longs) {
        Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c(), xcb_get_property(c(), 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, longs),
            nullptr));
        collectQueued();
        return reply;
    }

    // The application of the window _NET_ACTIVE_WINDOW names; empty when
    // none (no active window, or one without WM_CLASS).
    std::string readActiveApplication() {
        auto active = property(root, activeWindowAtom, 1);
        xcb_window_t window = XCB_NONE;
        if (active && active->format == 32 && xcb_get_property_value_length(active.get()) >= 4)
            std::memcpy(&window, xcb_get_property_value(active.get()), sizeof window);
        activeWindow = window;
        if (window == XCB_NONE)
            return {};
        auto wmClass = property(window, XCB_ATOM_WM_CLASS, 256);
        if (!wmClass || wmClass->format != 8)
            return {};
        const std::string_view value(
            static_cast<const char*>(xcb_get_property_value(wmClass.get())),
            static_cast<std::size_t>(xcb_get_property_value_length(wmClass.get())));
        return applicationFromWmClass(value, wmClass->type != utf8StringAtom);
    }

    void activeWindowChanged(bool report) {
        std::string application = readActiveApplication();
        if (application.empty()) {
            if (systemLogEnabled(LogLevel::Debug))
                systemLog(LogLevel::Debug, "X11: the active window names no application");
            return;
        }
        if (application == activeApplication)
            return;
        activeApplication = application;
        if (!report)
            return;
        // Copy first: an observer may remove itself while being told.
        const Observers snapshot = *observers;
        for (const auto& [id, cb] : snapshot)
            cb(application);
    }

    void refreshFrame() {
        if (!alive())
            return;
        std::optional<Rect> found;
        if (hasPrimary) {
            Reply<xcb_randr_get_output_primary_reply_t> primary(xcb_randr_get_output_primary_reply(
                c(), xcb_randr_get_output_primary(c(), root), nullptr));
            if (primary && primary->output != XCB_NONE) {
                Reply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
                    c(), xcb_randr_get_output_info(c(), primary->output, XCB_CURRENT_TIME),
                    nullptr));
                if (output && output->crtc != XCB_NONE) {
                    Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
                        c(), xcb_randr_get_crtc_info(c(), output->crtc, XCB_CURRENT_TIME),
                        nullptr));
                    if (crtc && crtc->width > 0 && crtc->height > 0)
                        found = Rect{double(crtc->x), double(crtc->y), double(crtc->width),
                                     double(crtc->height)};
                }
            }
        }
        if (!found) {
            Reply<xcb_get_geometry_reply_t> geometry(
                xcb_get_geometry_reply(c(), xcb_get_geometry(c(), root), nullptr));
            if (geometry)
                found = Rect{0, 0, double(geometry->width), double(geometry->height)};
        }
        collectQueued();
        if (found)
            frame = *found;
        else
            alive();
    }

    std::optional<events::CGPoint> queryPointer() {
        if (!alive())
            return std::nullopt;
        Reply<xcb_query_pointer_reply_t> reply(
            xcb_query_pointer_reply(c(), xcb_query_pointer(c(), root), nullptr));
        collectQueued();
        if (!reply) {
            alive();
            return std::nullopt;
        }
        pointer = Point{reply->root_x - frame.x, reply->root_y - frame.y};
        return events::CGPoint{pointer.x, pointer.y};
    }
};

std::unique_ptr<X11Desktop> X11Desktop::connect(RunLoop& loop, std::string* error) {
    return connect(loop, std::string(), error);
}

std::unique_ptr<X11Desktop> X11Desktop::connect(RunLoop& loop, const std::string& displayName,
                                                std::string* error) {
    int screenNumber = 0;
    ConnectionPtr c(
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
    if (const int code = xcb_connection_has_error(c.get())) {
        setError(error, events::xConnectionError(code, displayName));
        return nullptr;
    }
    auto impl = std::make_shared<Impl>(loop);
    impl->displayName = events::xDisplayName(displayName);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem) {
        setError(error, "display '" + impl->displayName + "' has no screen " +
                            std::to_string(screenNumber));
        return nullptr;
    }
    impl->root = it.data->root;

    // Everything asked at once, the answers collected after.
    auto intern = [&](const char* name) {
        return xcb_intern_atom(c.get(), 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    };
    const auto activeCookie = intern("_NET_ACTIVE_WINDOW");
    const auto utf8Cookie = intern("UTF8_STRING");
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    const auto selectCookie =
        xcb_change_window_attributes_checked(c.get(), impl->root, XCB_CW_EVENT_MASK, &mask);
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c.get(), &xcb_randr_id);
    std::optional<xcb_randr_query_version_cookie_t> versionCookie;
    if (randr && randr->present)
        versionCookie = xcb_randr_query_version(c.get(), 1, 3);

    for (auto [cookie, atom] : {std::pair{activeCookie, &impl->activeWindowAtom},
                                std::pair{utf8Cookie, &impl->utf8StringAtom}}) {
        Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c.get(), cookie, nullptr));
        if (reply)
            *atom = reply->atom;
    }
    if (Reply<xcb_generic_error_t> err{xcb_request_check(c.get(), selectCookie)}) {
        systemLog(LogLevel::Warning, "X11: cannot watch the root window of display '" +
                                         impl->displayName +
                                         "'; the frontmost application is not followed");
    }
    if (versionCookie) {
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c.get(), *versionCookie, nullptr));
        impl->hasPrimary = version && (version->major_version > 1 || (version->major_version == 1 &&
                                                                      version->minor_version >= 3));
    }
    if (const int code = xcb_connection_has_error(c.get())) {
        setError(error, events::xConnectionError(code, displayName));
        return nullptr;
    }
    impl->connection = std::move(c);

    impl->refreshFrame();
    impl->activeWindowChanged(false);
    impl->queryPointer();
    std::weak_ptr<Impl> weak = impl;
    impl->source = loop.addFd(xcb_get_file_descriptor(impl->c()), POLLIN, [weak](std::uint32_t) {
        if (auto self = weak.lock())
            self->drain();
    });
    // Events read while connecting are handed out from the loop too.
    impl->collectQueued();
    return std::make_unique<X11Desktop>(Private{}, std::move(impl));
}

X11Desktop::X11Desktop(Private, std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {
    std::weak_ptr<Impl> weak = impl_;
    events::setPointerReader([weak]() -> std::optional<events::CGPoint> {
        if (auto self = weak.lock())
            return self->queryPointer();
        return std::nullopt;
    });
}

X11Desktop::~X11Desktop() {
    events::setPointerReader(nullptr);
}

Rect X11Desktop::mainScreenFrame() const {
    impl_->refreshFrame();
    return impl_->frame;
}

Point X11Desktop::pointerLocation() const {
    impl_->queryPointer();
    return impl_->pointer;
}

void X11Desktop::setPointerLocation(Point p) {
    // The server knows better while it is there.
    if (impl_->lost)
        impl_->pointer = p;
}

Observation X11Desktop::observeApplicationActivation(ActivationCallback cb) {
    const int id = impl_->nextObserver++;
    impl_->observers->emplace_back(id, std::move(cb));
    std::weak_ptr<Observers> weak = impl_->observers;
    return Observation([weak, id] {
        if (auto list = weak.lock())
            std::erase_if(*list, [id](const auto& entry) { return entry.first == id; });
    });
}

const std::string& X11Desktop::displayName() const {
    return impl_->displayName;
}

const std::string& X11Desktop::activeApplication() const {
    return impl_->activeApplication;
}

std::uint32_t X11Desktop::activeWindow() const {
    return impl_->activeWindow;
}

bool X11Desktop::connected() const {
    return impl_->alive();
}

}  // namespace platform
