#include "platform/desktop/X11Desktop.hpp"

#include <poll.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/events/Events.hpp"
#include "platform/events/XTestSink.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/x11/XcbHandles.hpp"

namespace platform {
namespace {

using x11::ConnectionPtr;
using x11::Reply;

struct Observer {
    int id;
    Desktop::ActivationCallback cb;
    bool waiting;  // not yet told of any application
};
using Observers = std::vector<Observer>;

// The longest application id read; longer ones name no application we know.
constexpr std::uint32_t kApplicationIdLongs = 64;

void setError(std::string* error, std::string message) {
    if (error)
        *error = std::move(message);
}

std::string size(const Rect& r) {
    return std::to_string(static_cast<int>(r.width)) + "x" +
           std::to_string(static_cast<int>(r.height));
}

// Property text as UTF-8: a STRING value is Latin-1.
std::string text(std::string_view s, bool latin1) {
    if (!latin1)
        return std::string(s);
    std::string utf8;
    utf8.reserve(s.size());
    for (char ch : s) {
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

}  // namespace

std::pair<std::string, std::string> wmClassNames(std::string_view value, bool latin1) {
    const std::size_t end = value.find('\0');
    const std::string_view instance = value.substr(0, end);
    std::string_view cls;
    if (end != std::string_view::npos) {
        cls = value.substr(end + 1);
        cls = cls.substr(0, cls.find('\0'));
    }
    return {text(instance, latin1), text(cls, latin1)};
}

std::string applicationFromWmClass(std::string_view value, bool latin1) {
    auto [instance, cls] = wmClassNames(value, latin1);
    return cls.empty() ? instance : cls;
}

struct X11Desktop::Impl : std::enable_shared_from_this<X11Desktop::Impl> {
    explicit Impl(RunLoop& l) : loop(l) {}

    RunLoop& loop;
    ConnectionPtr connection;
    std::string displayName;
    xcb_window_t root = 0;
    xcb_atom_t activeWindowAtom = XCB_NONE;
    xcb_atom_t utf8StringAtom = XCB_NONE;
    xcb_atom_t gtkApplicationIdAtom = XCB_NONE;
    xcb_atom_t kdeDesktopFileAtom = XCB_NONE;
    bool hasPrimary = false;  // RandR 1.3 or later: a primary output can be set
    bool lost = false;

    Rect frame;
    Point pointer;
    std::optional<ApplicationTableFiles> tables;
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

    // The text of a STRING or UTF8_STRING property up to its first NUL;
    // nullopt for another type, or when there was more than was asked for.
    std::optional<std::string> textProperty(const xcb_get_property_reply_t* reply) const {
        if (!reply || reply->format != 8 || reply->bytes_after != 0 ||
            (reply->type != XCB_ATOM_STRING && reply->type != utf8StringAtom))
            return std::nullopt;
        std::string_view value(static_cast<const char*>(xcb_get_property_value(reply)),
                               static_cast<std::size_t>(xcb_get_property_value_length(reply)));
        return text(value.substr(0, value.find('\0')), reply->type == XCB_ATOM_STRING);
    }

    // What the window _NET_ACTIVE_WINDOW names says about its application;
    // all empty when there is none.
    WindowApplication readActiveWindow() {
        auto active = property(root, activeWindowAtom, 1);
        xcb_window_t window = XCB_NONE;
        if (active && active->format == 32 && xcb_get_property_value_length(active.get()) >= 4)
            std::memcpy(&window, xcb_get_property_value(active.get()), sizeof window);
        activeWindow = window;
        WindowApplication names;
        if (window == XCB_NONE)
            return names;
        // All three asked at once, the answers collected after.
        const auto ask = [&](xcb_atom_t atom, std::uint32_t longs) {
            return xcb_get_property(c(), 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, longs);
        };
        const auto classCookie = ask(XCB_ATOM_WM_CLASS, 256);
        const auto gtkCookie = ask(gtkApplicationIdAtom, kApplicationIdLongs);
        const auto kdeCookie = ask(kdeDesktopFileAtom, kApplicationIdLongs);
        Reply<xcb_get_property_reply_t> wmClass(xcb_get_property_reply(c(), classCookie, nullptr));
        for (const auto& cookie : {gtkCookie, kdeCookie}) {
            Reply<xcb_get_property_reply_t> id(xcb_get_property_reply(c(), cookie, nullptr));
            if (auto value = textProperty(id.get()); value && !value->empty())
                names.applicationIds.push_back(std::move(*value));
        }
        collectQueued();
        if (wmClass && wmClass->format == 8) {
            const std::string_view value(
                static_cast<const char*>(xcb_get_property_value(wmClass.get())),
                static_cast<std::size_t>(xcb_get_property_value_length(wmClass.get())));
            std::tie(names.instance, names.className) =
                wmClassNames(value, wmClass->type != utf8StringAtom);
        }
        return names;
    }

    void activeWindowChanged(bool report) {
        const WindowApplication window = readActiveWindow();
        std::string application = tables->table().identify(window);
        if (application.empty()) {
            if (systemLogEnabled(LogLevel::Debug))
                systemLog(LogLevel::Debug, "X11: the active window names no application");
            return;
        }
        if (application == activeApplication)
            return;
        if (systemLogEnabled(LogLevel::Debug)) {
            systemLog(LogLevel::Debug, "X11: active application " + application + " (class '" +
                                           window.className + "', instance '" + window.instance +
                                           "')");
        }
        activeApplication = application;
        if (!report)
            return;
        for (auto& o : *observers)
            o.waiting = false;
        // Copy first: an observer may remove itself while being told.
        const Observers snapshot = *observers;
        for (const auto& o : snapshot)
            o.cb(application);
    }

    // A new observer hears of the application already active, unless a
    // change has reached it since it came.
    void tellWaiting(int id) {
        const auto it = std::find_if(observers->begin(), observers->end(),
                                     [id](const Observer& o) { return o.id == id; });
        if (it == observers->end() || !it->waiting || activeApplication.empty())
            return;
        it->waiting = false;
        const auto cb = it->cb;
        cb(activeApplication);
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
                                                std::string* error,
                                                const ApplicationTablePaths& tables) {
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
    const auto gtkCookie = intern("_GTK_APPLICATION_ID");
    const auto kdeCookie = intern("_KDE_NET_WM_DESKTOP_FILE");
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    const auto selectCookie =
        xcb_change_window_attributes_checked(c.get(), impl->root, XCB_CW_EVENT_MASK, &mask);
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c.get(), &xcb_randr_id);
    std::optional<xcb_randr_query_version_cookie_t> versionCookie;
    if (randr && randr->present)
        versionCookie = xcb_randr_query_version(c.get(), 1, 3);

    for (auto [cookie, atom] : {std::pair{activeCookie, &impl->activeWindowAtom},
                                std::pair{utf8Cookie, &impl->utf8StringAtom},
                                std::pair{gtkCookie, &impl->gtkApplicationIdAtom},
                                std::pair{kdeCookie, &impl->kdeDesktopFileAtom}}) {
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
    impl->tables.emplace(tables);

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
    impl_->observers->push_back(Observer{id, std::move(cb), true});
    if (!impl_->activeApplication.empty()) {
        impl_->loop.post([weak = std::weak_ptr<Impl>(impl_), id] {
            if (auto self = weak.lock())
                self->tellWaiting(id);
        });
    }
    std::weak_ptr<Observers> weak = impl_->observers;
    return Observation([weak, id] {
        if (auto list = weak.lock())
            std::erase_if(*list, [id](const Observer& o) { return o.id == id; });
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
