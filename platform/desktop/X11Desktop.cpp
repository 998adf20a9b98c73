#include "platform/desktop/X11Desktop.hpp"

#include <poll.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <tuple>
#include <unordered_map>
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

std::string size(const Rect& r) {
    return std::to_string(static_cast<int>(r.width)) + "x" +
           std::to_string(static_cast<int>(r.height));
}

// "HDMI-1 1920x1080+0+0 (primary), DP-1 ...", for the debug log.
std::string describe(const std::vector<Output>& outputs) {
    std::string text;
    for (const auto& o : outputs) {
        if (!text.empty())
            text += ", ";
        text += (o.name.empty() ? "(unnamed)" : o.name) + " " + size(o.frame) + "+" +
                std::to_string(static_cast<int>(o.frame.x)) + "+" +
                std::to_string(static_cast<int>(o.frame.y)) + (o.primary ? " (primary)" : "");
    }
    return text.empty() ? "none" : text;
}

// A reply's whole size as the server sent it: the 32 bytes every reply has,
// and its length in 4-byte units beyond them.
std::size_t replySize(const void* reply) {
    return 32 + 4 * std::size_t(static_cast<const xcb_generic_reply_t*>(reply)->length);
}

// Reads fixed-size items out of a reply, never past its end.
class ReplyReader {
  public:
    ReplyReader(const void* reply, std::size_t size)
        : bytes_(static_cast<const std::uint8_t*>(reply)), size_(size) {}
    bool fits(std::size_t offset, std::size_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }
    template <class T>
    std::optional<T> at(std::size_t offset) const {
        if (!fits(offset, sizeof(T)))
            return std::nullopt;
        T value;
        std::memcpy(&value, bytes_ + offset, sizeof value);
        return value;
    }
    std::optional<std::string> text(std::size_t offset, std::size_t length) const {
        if (!fits(offset, length))
            return std::nullopt;
        return std::string(reinterpret_cast<const char*>(bytes_ + offset), length);
    }

  private:
    const std::uint8_t* bytes_;
    std::size_t size_;
};

// The CRTCs and outputs of a GetScreenResources(Current) reply; both reply
// kinds begin alike.
template <class ResourcesReply>
std::pair<std::vector<xcb_randr_crtc_t>, std::vector<xcb_randr_output_t>> crtcsAndOutputs(
    const ResourcesReply* reply) {
    const ReplyReader in(reply, replySize(reply));
    const std::size_t crtcs = reply->num_crtcs;
    const std::size_t outputs = reply->num_outputs;
    if (!in.fits(sizeof *reply, 4 * (crtcs + outputs)))
        return {};
    std::vector<xcb_randr_crtc_t> c(crtcs);
    std::vector<xcb_randr_output_t> o(outputs);
    for (std::size_t i = 0; i < crtcs; ++i)
        c[i] = *in.at<std::uint32_t>(sizeof *reply + 4 * i);
    for (std::size_t i = 0; i < outputs; ++i)
        o[i] = *in.at<std::uint32_t>(sizeof *reply + 4 * (crtcs + i));
    return {std::move(c), std::move(o)};
}

// An output's name in its GetOutputInfo reply: after its CRTCs, modes and
// clones.
std::optional<std::string> outputName(const xcb_randr_get_output_info_reply_t* reply) {
    const ReplyReader in(reply, replySize(reply));
    const std::size_t before =
        4 * (std::size_t(reply->num_crtcs) + reply->num_modes + reply->num_clones);
    return in.text(sizeof *reply + before, reply->name_len);
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

std::vector<RandrMonitor> randrMonitors(const void* reply, std::size_t size) {
    std::vector<RandrMonitor> monitors;
    const ReplyReader in(reply, size);
    const auto count = in.at<std::uint32_t>(offsetof(xcb_randr_get_monitors_reply_t, nMonitors));
    if (!count)
        return monitors;
    std::size_t offset = sizeof(xcb_randr_get_monitors_reply_t);
    for (std::uint32_t i = 0; i < *count; ++i) {
        const auto info = in.at<xcb_randr_monitor_info_t>(offset);
        if (!info)
            break;
        offset += sizeof *info;
        const std::size_t outputs = 4 * std::size_t(info->nOutput);
        if (!in.fits(offset, outputs))
            break;
        offset += outputs;
        monitors.push_back(RandrMonitor{
            info->name, info->primary != 0,
            Rect{double(info->x), double(info->y), double(info->width), double(info->height)}});
    }
    return monitors;
}

struct X11Desktop::Impl : std::enable_shared_from_this<X11Desktop::Impl> {
    explicit Impl(RunLoop& l) : loop(l), screens(l) {}

    RunLoop& loop;
    ConnectionPtr connection;
    std::string displayName;
    xcb_window_t root = 0;
    xcb_atom_t activeWindowAtom = XCB_NONE;
    xcb_atom_t utf8StringAtom = XCB_NONE;
    xcb_atom_t gtkApplicationIdAtom = XCB_NONE;
    xcb_atom_t kdeDesktopFileAtom = XCB_NONE;
    bool lost = false;

    // RandR: its minor version (1.x; 0 without RandR), the code of its first
    // event, and whether it tells us of every change (else the screens are
    // read anew each time they are asked for).
    std::uint32_t randrMinor = 0;
    std::uint8_t randrFirstEvent = 0;
    bool watchingScreens = false;
    bool screensStale = true;
    bool refreshPosted = false;

    std::vector<Output> outputs;
    Rect bounds;              // the root window
    std::string frameOutput;  // the output the frame covers; empty: the primary
    FrameOutputNotice notice;
    Rect frame;  // the main screen
    std::string mainOutput;
    ScreenObservers screens;
    std::unordered_map<xcb_atom_t, std::string> atomNames;

    // The pointer on the root window as the server last told it; the
    // reader gives it relative to the main screen. Motion on the root
    // window says where it went; XInput2's raw motion (from any device,
    // over any window) says that it moved, and an asynchronous QueryPointer
    // says where. Nothing on the input path waits for the server.
    Point pointer;
    Point rootPointer;
    std::uint8_t xinputOpcode = 0;  // 0: no raw motion
    std::optional<xcb_query_pointer_cookie_t> pointerQuery;
    bool movedSinceQuery = false;
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

    bool isRandrEvent(const xcb_generic_event_t& ev) const {
        const std::uint8_t type = ev.response_type & 0x7F;
        return randrMinor > 0 && (type == randrFirstEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                  type == randrFirstEvent + XCB_RANDR_NOTIFY);
    }

    // An event xcb has read outside the loop's own reading: RandR's make the
    // screens stale at once, so that the next question reads them anew; the
    // others wait for the loop, in order.
    void take(xcb_generic_event_t* ev) {
        Reply<xcb_generic_event_t> owned(ev);
        if (isRandrEvent(*owned))
            screensChanged();
        else
            pending.push_back(std::move(owned));
    }

    // After a round trip: take over the events that came with the reply.
    void collectQueued() {
        if (lost)
            return;
        while (xcb_generic_event_t* ev = xcb_poll_for_queued_event(c()))
            take(ev);
        takePointerAnswer();
        postDrain();
    }

    // Takes over what has arrived on the connection, without asking the
    // server anything.
    void collectArrived() {
        if (lost)
            return;
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c()))
            take(ev);
        postDrain();
    }

    void postDrain() {
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

    // The server told where the pointer is on the root window.
    void pointerAt(double rootX, double rootY) {
        rootPointer = Point{rootX, rootY};
        events::notePointerMotion();
    }

    // Asks where the pointer is without waiting: the answer is taken in by
    // takePointerAnswer() once it has arrived. One question at a time; moves
    // meanwhile ask again after the answer.
    void askPointer() {
        if (pointerQuery) {
            movedSinceQuery = true;
            return;
        }
        movedSinceQuery = false;
        pointerQuery = xcb_query_pointer(c(), root);
        xcb_flush(c());
    }

    void takePointerAnswer() {
        if (!pointerQuery || lost)
            return;
        xcb_query_pointer_reply_t* raw = nullptr;
        xcb_generic_error_t* rawError = nullptr;
        if (!xcb_poll_for_reply(c(), pointerQuery->sequence, reinterpret_cast<void**>(&raw),
                                &rawError))
            return;
        pointerQuery.reset();
        Reply<xcb_query_pointer_reply_t> reply(raw);
        Reply<xcb_generic_error_t> error(rawError);
        if (reply && reply->same_screen)
            pointerAt(reply->root_x, reply->root_y);
        if (movedSinceQuery)
            askPointer();
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
        takePointerAnswer();
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
        if (isRandrEvent(ev)) {
            screensChanged();
            return;
        }
        if (type == XCB_MOTION_NOTIFY) {
            const auto& motion = reinterpret_cast<const xcb_motion_notify_event_t&>(ev);
            if (motion.same_screen)
                pointerAt(motion.root_x, motion.root_y);
            return;
        }
        if (type == XCB_GE_GENERIC) {
            const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(ev);
            if (xinputOpcode != 0 && generic.extension == xinputOpcode &&
                generic.event_type == XCB_INPUT_RAW_MOTION)
                askPointer();
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

    // RandR said something changed: read the screens again from the loop
    // (or before, when someone asks).
    void screensChanged() {
        screensStale = true;
        if (refreshPosted)
            return;
        refreshPosted = true;
        loop.post([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->refreshPosted = false;
                self->updateScreens();
            }
        });
    }

    // The screens as they are now: read again when RandR said they changed
    // (or always, when it does not say), the main screen chosen again.
    void updateScreens() {
        if (alive()) {
            collectArrived();
            if (screensStale || !watchingScreens)
                readScreens();
        }
        chooseMainScreen();
    }

    // Names of atoms, asked at once for those not known yet.
    void nameAtoms(const std::vector<xcb_atom_t>& atoms) {
        std::vector<std::pair<xcb_atom_t, xcb_get_atom_name_cookie_t>> asked;
        for (xcb_atom_t atom : atoms) {
            if (!atomNames.contains(atom) &&
                std::none_of(asked.begin(), asked.end(),
                             [atom](const auto& a) { return a.first == atom; }))
                asked.emplace_back(atom, xcb_get_atom_name(c(), atom));
        }
        for (const auto& [atom, cookie] : asked) {
            Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c(), cookie, nullptr));
            if (!reply)
                continue;
            const ReplyReader in(reply.get(), replySize(reply.get()));
            if (auto name = in.text(sizeof *reply, reply->name_len))
                atomNames[atom] = std::move(*name);
        }
    }

    // RandR 1.5: the active monitors, with the rotation applied.
    std::optional<std::vector<Output>> readMonitors() {
        Reply<xcb_randr_get_monitors_reply_t> reply(
            xcb_randr_get_monitors_reply(c(), xcb_randr_get_monitors(c(), root, 1), nullptr));
        if (!reply)
            return std::nullopt;
        const std::vector<RandrMonitor> monitors =
            randrMonitors(reply.get(), replySize(reply.get()));
        std::vector<xcb_atom_t> names;
        for (const auto& m : monitors)
            names.push_back(m.name);
        nameAtoms(names);
        std::vector<Output> found;
        for (const auto& m : monitors) {
            const auto name = atomNames.find(m.name);
            found.push_back(
                Output{name == atomNames.end() ? std::string() : name->second, m.frame, m.primary});
        }
        return found;
    }

    // RandR 1.2 to 1.4: every connected output that shows a CRTC, at that
    // CRTC's place.
    std::optional<std::vector<Output>> readOutputs() {
        std::vector<xcb_randr_output_t> ids;
        if (randrMinor >= 3) {
            Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
                xcb_randr_get_screen_resources_current_reply(
                    c(), xcb_randr_get_screen_resources_current(c(), root), nullptr));
            if (!resources)
                return std::nullopt;
            ids = crtcsAndOutputs(resources.get()).second;
        } else {
            Reply<xcb_randr_get_screen_resources_reply_t> resources(
                xcb_randr_get_screen_resources_reply(c(), xcb_randr_get_screen_resources(c(), root),
                                                     nullptr));
            if (!resources)
                return std::nullopt;
            ids = crtcsAndOutputs(resources.get()).second;
        }
        std::optional<xcb_randr_get_output_primary_cookie_t> primaryCookie;
        if (randrMinor >= 3)
            primaryCookie = xcb_randr_get_output_primary(c(), root);
        std::vector<xcb_randr_get_output_info_cookie_t> infoCookies;
        for (xcb_randr_output_t id : ids)
            infoCookies.push_back(xcb_randr_get_output_info(c(), id, XCB_CURRENT_TIME));
        xcb_randr_output_t primary = XCB_NONE;
        if (primaryCookie) {
            Reply<xcb_randr_get_output_primary_reply_t> reply(
                xcb_randr_get_output_primary_reply(c(), *primaryCookie, nullptr));
            if (reply)
                primary = reply->output;
        }
        struct Shown {
            Output output;
            xcb_randr_crtc_t crtc;
        };
        std::vector<Shown> shown;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            Reply<xcb_randr_get_output_info_reply_t> info(
                xcb_randr_get_output_info_reply(c(), infoCookies[i], nullptr));
            // An output that went between the two questions is left out;
            // RandR tells of that change too.
            if (!info || info->status != XCB_RANDR_SET_CONFIG_SUCCESS ||
                info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE)
                continue;
            shown.push_back(Shown{
                Output{outputName(info.get()).value_or(""), {}, ids[i] == primary}, info->crtc});
        }
        std::vector<xcb_randr_get_crtc_info_cookie_t> crtcCookies;
        for (const auto& s : shown)
            crtcCookies.push_back(xcb_randr_get_crtc_info(c(), s.crtc, XCB_CURRENT_TIME));
        std::vector<Output> found;
        for (std::size_t i = 0; i < shown.size(); ++i) {
            Reply<xcb_randr_get_crtc_info_reply_t> crtc(
                xcb_randr_get_crtc_info_reply(c(), crtcCookies[i], nullptr));
            if (!crtc || crtc->status != XCB_RANDR_SET_CONFIG_SUCCESS || crtc->mode == XCB_NONE ||
                crtc->width == 0 || crtc->height == 0)
                continue;
            Output output = std::move(shown[i].output);
            output.frame =
                Rect{double(crtc->x), double(crtc->y), double(crtc->width), double(crtc->height)};
            found.push_back(std::move(output));
        }
        return found;
    }

    // Reads the root window's size and the outputs on it.
    void readScreens() {
        // Stale again if RandR speaks while we read.
        screensStale = false;
        const auto geometryCookie = xcb_get_geometry(c(), root);
        std::optional<std::vector<Output>> found;
        if (randrMinor >= 5)
            found = readMonitors();
        else if (randrMinor >= 2)
            found = readOutputs();
        Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c(), geometryCookie, nullptr));
        collectQueued();
        if (!geometry) {
            alive();
            return;
        }
        bounds = Rect{0, 0, double(geometry->width), double(geometry->height)};
        if (randrMinor < 2)
            found = std::vector<Output>{Output{"screen", bounds, true}};
        // A RandR question the server would not answer keeps the outputs
        // known before.
        if (found && *found != outputs) {
            outputs = std::move(*found);
            if (systemLogEnabled(LogLevel::Debug))
                systemLog(LogLevel::Debug, "X11: outputs " + describe(outputs));
        }
    }

    // The main screen among the outputs; observers are told from the loop
    // when it or the root window changed.
    void chooseMainScreen() {
        const Output* chosen = chooseOutput(outputs, frameOutput);
        frame = chosen ? chosen->frame : bounds;
        mainOutput = chosen ? chosen->name : std::string();
        notice.update(frameOutput, chosen, "the whole screen");
        screens.changed(frame, bounds);
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
        // Relative to the main screen as it is now.
        updateScreens();
        rootPointer = Point{double(reply->root_x), double(reply->root_y)};
        pointer = Point{rootPointer.x - frame.x, rootPointer.y - frame.y};
        return events::CGPoint{pointer.x, pointer.y};
    }

    // The pointer as last told, relative to the main screen as last known:
    // no question to the server.
    events::CGPoint followedPointer() const {
        return events::CGPoint{rootPointer.x - frame.x, rootPointer.y - frame.y};
    }
};

Result<std::unique_ptr<X11Desktop>> X11Desktop::connect(RunLoop& loop) {
    return connect(loop, std::string());
}

Result<std::unique_ptr<X11Desktop>> X11Desktop::connect(RunLoop& loop,
                                                        const std::string& displayName,
                                                        const ApplicationTablePaths& tables) {
    int screenNumber = 0;
    ConnectionPtr c(
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
    if (const int code = xcb_connection_has_error(c.get()))
        return events::xConnectionError(code, displayName);
    auto impl = std::make_shared<Impl>(loop);
    impl->displayName = events::xDisplayName(displayName);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem)
        return events::xNoScreenError(displayName, screenNumber);
    impl->root = it.data->root;

    // Everything asked at once, the answers collected after.
    auto intern = [&](const char* name) {
        return xcb_intern_atom(c.get(), 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    };
    const auto activeCookie = intern("_NET_ACTIVE_WINDOW");
    const auto utf8Cookie = intern("UTF8_STRING");
    const auto gtkCookie = intern("_GTK_APPLICATION_ID");
    const auto kdeCookie = intern("_KDE_NET_WM_DESKTOP_FILE");
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_POINTER_MOTION;
    const auto selectCookie =
        xcb_change_window_attributes_checked(c.get(), impl->root, XCB_CW_EVENT_MASK, &mask);
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c.get(), &xcb_randr_id);
    std::optional<xcb_randr_query_version_cookie_t> versionCookie;
    if (randr && randr->present)
        versionCookie = xcb_randr_query_version(c.get(), 1, 5);
    const xcb_query_extension_reply_t* xinput = xcb_get_extension_data(c.get(), &xcb_input_id);
    std::optional<xcb_input_xi_query_version_cookie_t> xinputCookie;
    if (xinput && xinput->present)
        xinputCookie = xcb_input_xi_query_version(c.get(), 2, 0);

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
        if (version && version->major_version >= 1) {
            impl->randrMinor = version->major_version > 1 ? 5 : version->minor_version;
            impl->randrFirstEvent = randr->first_event;
        }
    }
    if (xinputCookie) {
        Reply<xcb_input_xi_query_version_reply_t> version(
            xcb_input_xi_query_version_reply(c.get(), *xinputCookie, nullptr));
        if (version && version->major_version >= 2) {
            // Raw motion of every pointer, whatever window it is over.
            struct {
                xcb_input_event_mask_t head;
                std::uint32_t bits;
            } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
            Reply<xcb_generic_error_t> err{xcb_request_check(
                c.get(),
                xcb_input_xi_select_events_checked(c.get(), impl->root, 1, &selection.head))};
            if (!err)
                impl->xinputOpcode = xinput->major_opcode;
        }
    }
    if (impl->randrMinor > 0) {
        // Every change of the screen, its CRTCs and outputs, and (1.4) its
        // resources: a monitor plugged in or out, a new mode, a rotation,
        // another primary.
        std::uint16_t events = XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE;
        if (impl->randrMinor >= 2)
            events |= XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE;
        if (impl->randrMinor >= 4)
            events |= XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE;
        Reply<xcb_generic_error_t> err{xcb_request_check(
            c.get(), xcb_randr_select_input_checked(c.get(), impl->root, events))};
        impl->watchingScreens = !err;
    } else {
        // Without RandR the root window never changes.
        impl->watchingScreens = true;
    }
    if (const int code = xcb_connection_has_error(c.get()))
        return events::xConnectionError(code, displayName);
    impl->connection = std::move(c);
    impl->tables.emplace(tables);

    impl->readScreens();
    impl->chooseMainScreen();
    impl->screens.settle(impl->frame, impl->bounds);
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
            return self->followedPointer();
        return std::nullopt;
    });
}

X11Desktop::~X11Desktop() {
    events::setPointerReader(nullptr);
}

Rect X11Desktop::mainScreenFrame() const {
    impl_->updateScreens();
    return impl_->frame;
}

std::string X11Desktop::mainOutputName() const {
    impl_->updateScreens();
    return impl_->mainOutput;
}

std::vector<Output> X11Desktop::outputs() const {
    impl_->updateScreens();
    return impl_->outputs;
}

Rect X11Desktop::desktopBounds() const {
    impl_->updateScreens();
    return impl_->bounds;
}

void X11Desktop::setFrameOutput(const std::string& name) {
    if (name != impl_->frameOutput) {
        impl_->frameOutput = name;
        impl_->notice.forget();
    }
    impl_->updateScreens();
}

Observation X11Desktop::observeScreenChanges(ScreenCallback cb) {
    return impl_->screens.add(std::move(cb));
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
