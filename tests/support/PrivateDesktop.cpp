#include "tests/support/PrivateDesktop.hpp"

#include <chrono>
#include <filesystem>
#include <utility>

#include "tests/support/PrivateBus.hpp"

namespace tact::test {
namespace {

using namespace std::chrono_literals;

std::string escapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string desktopName(int index) {
    return "tact-" + std::to_string(index + 1);
}

// "instance\0class\0" into its two strings; a missing second string is empty.
WmClass splitWmClass(const std::string& value) {
    WmClass result;
    const std::size_t end = value.find('\0');
    result.instance = value.substr(0, end);
    if (end != std::string::npos) {
        const std::string rest = value.substr(end + 1);
        result.cls = rest.substr(0, rest.find('\0'));
    }
    return result;
}

void changeProperty(XClient& x, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                    std::uint8_t format, std::uint32_t count, const void* data) {
    xcb_change_property(x.get(), XCB_PROP_MODE_REPLACE, window, property, type, format, count,
                        data);
}

void changeText(XClient& x, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                const std::string& text) {
    changeProperty(x, window, property, type, 8, static_cast<std::uint32_t>(text.size()),
                   text.data());
}

// A client message to the root window, as EWMH wants requests to the
// window manager sent.
void sendToWindowManager(XClient& x, xcb_window_t window, xcb_atom_t type,
                         std::initializer_list<std::uint32_t> data) {
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = window;
    ev.type = type;
    std::size_t i = 0;
    for (std::uint32_t d : data)
        ev.data.data32[i++] = d;
    xcb_send_event(x.get(), 0, x.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&ev));
    xcb_flush(x.get());
}

// The rc.xml openbox is started with. It names the desktops "tact-1"... so
// that the harness can tell that openbox loaded it.
std::string openboxConfig(const DesktopOptions& options) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<openbox_config xmlns=\"http://openbox.org/3.4/rc\">\n"
        // Focus stays where it is put: the pointer moving over a window
        // (a replay moves it) does not activate the window.
        "  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>\n"
        "  <desktops>\n"
        "    <number>" +
        std::to_string(options.desktops) +
        "</number><firstdesk>1</firstdesk><popupTime>0</popupTime>\n"
        "    <names>";
    for (int i = 0; i < options.desktops; ++i)
        xml += "<name>" + desktopName(i) + "</name>";
    xml +=
        "</names>\n"
        "  </desktops>\n"
        "  <keyboard>\n";
    for (const auto& binding : options.keys)
        xml += "    <keybind key=\"" + escapeXml(binding.key) + "\">" + binding.actions +
               "</keybind>\n";
    // No mouse bindings: a wheel turned over the root window reaches the
    // clients and switches no desktop.
    xml +=
        "  </keyboard>\n"
        "  <mouse></mouse>\n"
        "</openbox_config>\n";
    return xml;
}

}  // namespace

void PrintTo(const WmClass& wmClass, std::ostream* out) {
    *out << "{\"" << wmClass.instance << "\", \"" << wmClass.cls << "\"}";
}

KeyBinding goToDesktop(const std::string& key, const std::string& to, bool wrap) {
    return {key, "<action name=\"GoToDesktop\"><to>" + escapeXml(to) + "</to><wrap>" +
                     (wrap ? "yes" : "no") + "</wrap></action>"};
}

KeyBinding toggleShowDesktop(const std::string& key) {
    return {key, "<action name=\"ToggleShowDesktop\"/>"};
}

PrivateDesktop::PrivateDesktop(DesktopOptions options) {
    const std::string openbox = findOnPath("openbox");
    if (!server_.installed())
        missing_ = "Xvfb";
    else if (openbox.empty())
        missing_ = "openbox";
    if (!missing_.empty())
        return;
    if (server_.display().empty()) {
        error_ = "Xvfb did not report its display";
        return;
    }
    start(options, openbox);
}

PrivateDesktop::~PrivateDesktop() {
    // The window manager goes before the server it manages.
    client_.reset();
    windowManager_.reset();
}

void PrivateDesktop::start(const DesktopOptions& options, const std::string& openbox) {
    configFile_ = dir_.file("rc.xml");
    logFile_ = dir_.file("openbox.log");
    writeFile(configFile_, openboxConfig(options));
    // Its own configuration, cache and data folders, so nothing of the
    // user's (menus, themes, sessions) comes in.
    for (const char* sub : {"config", "cache", "data"})
        std::filesystem::create_directories(dir_.file(sub));
    // Standard output and error go to a file that the harness reads.
    windowManager_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" \"$@\" >\"$TACT_WM_LOG\" 2>&1",
                                 openbox, "--sm-disable", "--config-file", configFile_},
        std::vector<std::string>{
            environment(), "TACT_WM_LOG=" + logFile_, "XDG_CONFIG_HOME=" + dir_.file("config"),
            "XDG_CACHE_HOME=" + dir_.file("cache"), "XDG_DATA_HOME=" + dir_.file("data")});
    client_ = std::make_unique<XClient>(display());
    XClient& x = *client_;
    if (!x.ok()) {
        error_ = "cannot connect to " + display();
        return;
    }

    // It has taken the screen over once the root window names its check
    // window and that window names itself.
    const bool managing = waitUntil([&] {
        auto check = x.word(x.root(), "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW);
        return check && x.word(*check, "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW) == check;
    });
    if (!managing) {
        error_ = "openbox did not take over " + display() + ": " + windowManagerOutput();
        return;
    }

    // Its key grabs are in place once it answers requests from its event
    // loop: ask for the frame extents of a window of ours.
    const xcb_window_t probe = xcb_generate_id(x.get());
    xcb_create_window(x.get(), XCB_COPY_FROM_PARENT, probe, x.root(), 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    // It may drop requests that come while it starts up: asked again every
    // 100 ms.
    int polls = 0;
    const bool answering = waitUntil([&] {
        if (polls++ % 10 == 0)
            sendToWindowManager(x, probe, x.atom("_NET_REQUEST_FRAME_EXTENTS"), {});
        return x.words(probe, "_NET_FRAME_EXTENTS", XCB_ATOM_CARDINAL).has_value();
    });
    xcb_destroy_window(x.get(), probe);
    x.sync();
    if (!answering) {
        error_ = "openbox does not answer on " + display() + ": " + windowManagerOutput();
        return;
    }

    std::string names;
    for (int i = 0; i < options.desktops; ++i)
        names += desktopName(i) + '\0';
    const auto published = x.bytes(x.root(), "_NET_DESKTOP_NAMES");
    if (!published || !published->starts_with(names) ||
        numberOfDesktops() != static_cast<std::uint32_t>(options.desktops)) {
        error_ = "openbox did not load " + configFile_ + ": " + windowManagerOutput();
        return;
    }
    if (const std::string said = windowManagerOutput(); !said.empty())
        error_ = "openbox complained about " + configFile_ + ": " + said;
}

std::string PrivateDesktop::windowManagerOutput() const {
    return logFile_.empty() ? std::string() : readFile(logFile_);
}

std::optional<std::uint32_t> PrivateDesktop::currentDesktop() {
    return client_ ? client_->word(client_->root(), "_NET_CURRENT_DESKTOP", XCB_ATOM_CARDINAL)
                   : std::nullopt;
}

std::optional<std::uint32_t> PrivateDesktop::numberOfDesktops() {
    return client_ ? client_->word(client_->root(), "_NET_NUMBER_OF_DESKTOPS", XCB_ATOM_CARDINAL)
                   : std::nullopt;
}

std::optional<bool> PrivateDesktop::showingDesktop() {
    if (!client_)
        return std::nullopt;
    auto value = client_->word(client_->root(), "_NET_SHOWING_DESKTOP", XCB_ATOM_CARDINAL);
    if (!value)
        return std::nullopt;
    return *value != 0;
}

xcb_window_t PrivateDesktop::activeWindow() {
    if (!client_)
        return XCB_NONE;
    return client_->word(client_->root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW).value_or(XCB_NONE);
}

std::optional<WmClass> PrivateDesktop::wmClass(xcb_window_t window) {
    if (!client_ || window == XCB_NONE)
        return std::nullopt;
    auto value = client_->bytes(window, "WM_CLASS");
    if (!value)
        return std::nullopt;
    return splitWmClass(*value);
}

std::optional<WmClass> PrivateDesktop::activeWmClass() {
    return wmClass(activeWindow());
}

TestWindow::TestWindow(PrivateDesktop& desktop, WmClass wmClass,
                       std::optional<std::string> gtkApplicationId)
    : client_(desktop.display()) {
    XClient& x = client_;
    if (!x.ok())
        return;
    window_ = xcb_generate_id(x.get());
    const std::uint32_t values[] = {x.screen()->white_pixel};
    xcb_create_window(x.get(), XCB_COPY_FROM_PARENT, window_, x.root(), 100, 100, 480, 320, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, x.screen()->root_visual, XCB_CW_BACK_PIXEL,
                      values);
    changeText(x, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
               wmClass.instance + '\0' + wmClass.cls + '\0');
    changeText(x, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, wmClass.cls);
    changeText(x, window_, x.atom("_NET_WM_NAME"), x.atom("UTF8_STRING"), wmClass.cls);
    // Takes the keyboard focus when given it, starts in the normal state.
    const std::uint32_t hints[9] = {1 | 2, 1, 1, 0, 0, 0, 0, 0, 0};
    changeProperty(x, window_, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9, hints);
    if (gtkApplicationId)
        changeText(x, window_, x.atom("_GTK_APPLICATION_ID"), x.atom("UTF8_STRING"),
                   *gtkApplicationId);
    xcb_map_window(x.get(), window_);
    x.sync();
    // A new window gets the focus; should the window manager hold it back
    // (it does when it thinks the user is busy elsewhere), it is asked.
    active_ = waitActive(2s) || activate();
}

bool TestWindow::activate() {
    if (window_ == XCB_NONE)
        return false;
    // Source 2: a pager or task bar, which the window manager always obeys.
    sendToWindowManager(client_, window_, client_.atom("_NET_ACTIVE_WINDOW"),
                        {2, XCB_CURRENT_TIME, 0});
    active_ = waitActive(3s);
    return active_;
}

bool TestWindow::waitActive(std::chrono::milliseconds limit) {
    return waitUntil(
        [&] {
            return client_.word(client_.root(), "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW) == window_;
        },
        limit);
}

}  // namespace tact::test
