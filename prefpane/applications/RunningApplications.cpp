#include "prefpane/applications/RunningApplications.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace tact::applications {
namespace {

struct ConnectionDeleter {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
struct ReplyDeleter {
    void operator()(void* reply) const { std::free(reply); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;
template <class T>
using Reply = std::unique_ptr<T, ReplyDeleter>;

// A client list far longer than this is no desktop's.
constexpr std::uint32_t kMaxWindows = 4096;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

}  // namespace

QStringList runningApplicationClasses() {
    QStringList classes;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return classes;
    const Connection c(xcb_connect(display, nullptr));
    if (!c || xcb_connection_has_error(c.get()))
        return classes;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c.get())).data;
    const xcb_atom_t clientList = atom(c.get(), "_NET_CLIENT_LIST");
    if (!screen || clientList == XCB_ATOM_NONE)
        return classes;
    const Reply<xcb_get_property_reply_t> list(xcb_get_property_reply(
        c.get(),
        xcb_get_property(c.get(), 0, screen->root, clientList, XCB_ATOM_WINDOW, 0, kMaxWindows),
        nullptr));
    if (!list || list->format != 32 || list->type != XCB_ATOM_WINDOW)
        return classes;
    const int count = xcb_get_property_value_length(list.get()) / 4;
    const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(list.get()));
    for (int i = 0; i < count; ++i) {
        const Reply<xcb_get_property_reply_t> wmClass(xcb_get_property_reply(
            c.get(),
            xcb_get_property(c.get(), 0, windows[i], XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
            nullptr));
        if (!wmClass || wmClass->format != 8)
            continue;
        // "instance\0class\0", each ended by its NUL; read within the reply.
        const int length = xcb_get_property_value_length(wmClass.get());
        const auto* bytes = static_cast<const char*>(xcb_get_property_value(wmClass.get()));
        const std::string value(bytes, static_cast<std::size_t>(length));
        const std::size_t first = value.find('\0');
        if (first == std::string::npos)
            continue;
        std::string cls = value.substr(first + 1);
        if (const std::size_t end = cls.find('\0'); end != std::string::npos)
            cls.resize(end);
        if (!cls.empty())
            classes << QString::fromUtf8(cls.data(), static_cast<qsizetype>(cls.size()));
    }
    classes.removeDuplicates();
    classes.sort(Qt::CaseInsensitive);
    return classes;
}

}  // namespace tact::applications
