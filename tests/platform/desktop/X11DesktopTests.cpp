// The X11 desktop and the XTest sink on a real X server (Xvfb) of the test's
// own, and what they say when there is no display.
#include <gtest/gtest.h>

#include <poll.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/X11Desktop.hpp"
#include "platform/events/Events.hpp"
#include "platform/events/XTestSink.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/x11/XcbHandles.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateXServer.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

using namespace platform;
using namespace platform::events;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

using tact::test::PrivateXServer;

using platform::x11::Reply;

// The test's own client of the server: windows, properties, and what the
// server says about the pointer and the keys.
class Client {
  public:
    explicit Client(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
        if (xcb_connection_has_error(c_.get()))
            return;
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_.get())).data;
    }
    bool ok() const { return screen_ != nullptr; }
    xcb_connection_t* get() const { return c_.get(); }
    xcb_window_t root() const { return screen_->root; }

    xcb_atom_t atom(const char* name) {
        Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
            get(), xcb_intern_atom(get(), 0, std::strlen(name), name), nullptr));
        return r ? r->atom : XCB_NONE;
    }

    // A window covering the screen, mapped, with the events of mask chosen.
    xcb_window_t window(std::uint32_t mask = 0) {
        const xcb_window_t w = xcb_generate_id(get());
        const std::uint32_t values[] = {mask};
        xcb_create_window(get(), XCB_COPY_FROM_PARENT, w, root(), 0, 0, kWidth, kHeight, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_EVENT_MASK,
                          values);
        xcb_map_window(get(), w);
        sync();
        return w;
    }

    void setWmClass(xcb_window_t w, std::string_view value) {
        xcb_change_property(get(), XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            value.size(), value.data());
        sync();
    }

    void setUtf8(xcb_window_t w, const char* property, std::string_view value) {
        xcb_change_property(get(), XCB_PROP_MODE_REPLACE, w, atom(property), atom("UTF8_STRING"), 8,
                            value.size(), value.data());
        sync();
    }

    void activate(xcb_window_t w) {
        xcb_change_property(get(), XCB_PROP_MODE_REPLACE, root(), atom("_NET_ACTIVE_WINDOW"),
                            XCB_ATOM_WINDOW, 32, 1, &w);
        sync();
    }

    Reply<xcb_query_pointer_reply_t> pointer() {
        return Reply<xcb_query_pointer_reply_t>(
            xcb_query_pointer_reply(get(), xcb_query_pointer(get(), root()), nullptr));
    }

    bool keyDown(std::uint8_t keycode) {
        Reply<xcb_query_keymap_reply_t> r(
            xcb_query_keymap_reply(get(), xcb_query_keymap(get()), nullptr));
        return r && (r->keys[keycode / 8] & (1 << (keycode % 8)));
    }

    std::uint32_t keysym(std::uint8_t keycode) {
        Reply<xcb_get_keyboard_mapping_reply_t> r(xcb_get_keyboard_mapping_reply(
            get(), xcb_get_keyboard_mapping(get(), keycode, 1), nullptr));
        return r && r->keysyms_per_keycode ? xcb_get_keyboard_mapping_keysyms(r.get())[0] : 0;
    }

    // The next event, waiting at most ten seconds for it.
    Reply<xcb_generic_event_t> nextEvent() {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            if (auto* ev = xcb_poll_for_event(get()))
                return Reply<xcb_generic_event_t>(ev);
            if (std::chrono::steady_clock::now() > limit || xcb_connection_has_error(get()))
                return nullptr;
            pollfd p{xcb_get_file_descriptor(get()), POLLIN, 0};
            ::poll(&p, 1, 100);
        }
    }

    // Makes the server's one output primary and shows it as a smaller
    // screen at (x, y) on the root window, as a second monitor beside it would.
    bool setPrimary(std::int16_t x, std::int16_t y, std::uint16_t width, std::uint16_t height) {
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(get(), xcb_randr_query_version(get(), 1, 3), nullptr));
        Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
            xcb_randr_get_screen_resources_current_reply(
                get(), xcb_randr_get_screen_resources_current(get(), root()), nullptr));
        if (!version || !resources || resources->num_outputs < 1 || resources->num_crtcs < 1)
            return false;
        const xcb_randr_output_t output =
            xcb_randr_get_screen_resources_current_outputs(resources.get())[0];
        const xcb_randr_crtc_t crtc =
            xcb_randr_get_screen_resources_current_crtcs(resources.get())[0];
        xcb_randr_mode_info_t info{};
        info.width = width;
        info.height = height;
        info.dot_clock = 25'000'000;
        info.htotal = width + 100;
        info.vtotal = height + 100;
        const std::string name = "tact-" + std::to_string(width) + "x" + std::to_string(height);
        info.name_len = name.size();
        Reply<xcb_randr_create_mode_reply_t> mode(xcb_randr_create_mode_reply(
            get(), xcb_randr_create_mode(get(), root(), info, name.size(), name.c_str()), nullptr));
        if (!mode)
            return false;
        xcb_randr_add_output_mode(get(), output, mode->mode);
        Reply<xcb_randr_set_crtc_config_reply_t> set(xcb_randr_set_crtc_config_reply(
            get(),
            xcb_randr_set_crtc_config(get(), crtc, XCB_CURRENT_TIME, XCB_CURRENT_TIME, x, y,
                                      mode->mode, XCB_RANDR_ROTATION_ROTATE_0, 1, &output),
            nullptr));
        xcb_randr_set_output_primary(get(), root(), output);
        sync();
        return set && set->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    }

    void sync() { free(xcb_get_input_focus_reply(get(), xcb_get_input_focus(get()), nullptr)); }

  private:
    platform::x11::ConnectionPtr c_;
    xcb_screen_t* screen_ = nullptr;
};

// Runs the loop until stop (true) or ten seconds have gone by (false).
bool runLoopUntilStopped(RunLoop& loop) {
    Timer limit = loop.addTimer(10, 0, [&](Timer&) { loop.stop(1); });
    return loop.run() == 0;
}

// Runs the loop until done() holds, looking every few milliseconds.
bool runLoopUntil(RunLoop& loop, const std::function<bool()>& done) {
    Timer look = loop.addTimer(0.005, 0.005, [&](Timer&) {
        if (done())
            loop.stop(0);
    });
    return runLoopUntilStopped(loop);
}

class X11Test : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!server_.installed())
            GTEST_SKIP() << "Xvfb is not installed";
        ASSERT_FALSE(server_.display().empty()) << "Xvfb did not report its display";
        client_ = std::make_unique<Client>(server_.display());
        ASSERT_TRUE(client_->ok());
        loop_ = makeRealRunLoop(false);
    }

    // With the shipped table of the build tree, and a user's file of the
    // test's own.
    std::unique_ptr<X11Desktop> connectDesktop() {
        std::string error;
        auto desktop = X11Desktop::connect(*loop_, server_.display(), &error,
                                           {defaultApplicationTablePaths().shipped, userTable()});
        EXPECT_TRUE(desktop) << error;
        return desktop;
    }

    std::unique_ptr<XTestSink> openSink() {
        std::string error;
        auto sink = XTestSink::open({0, 0, kWidth, kHeight}, &error, server_.display());
        EXPECT_TRUE(sink) << error;
        return sink;
    }

    std::string userTable() const { return config_.file("applications.table"); }

    PrivateXServer server_;
    tact::test::TempDir config_;
    std::unique_ptr<Client> client_;
    std::unique_ptr<RunLoop> loop_;
};

CGEvent mouse(CGEventType type, double x, double y) {
    return *CGEventCreateMouseEvent(nullptr, type, CGPoint{x, y}, 0);
}

}  // namespace

TEST(X11DesktopTest, NoDisplayIsAClearError) {
    auto loop = makeRealRunLoop(false);
    const char* saved = std::getenv("DISPLAY");
    const std::string savedDisplay = saved ? saved : "";

    ::unsetenv("DISPLAY");
    std::string error;
    EXPECT_FALSE(X11Desktop::connect(*loop, &error));
    EXPECT_EQ(error, "no display (DISPLAY is not set)");
    error.clear();
    EXPECT_FALSE(XTestSink::open({0, 0, 100, 100}, &error));
    EXPECT_EQ(error, "no display (DISPLAY is not set)");
    EXPECT_FALSE(X11Desktop::connect(*loop, nullptr));

    ::setenv("DISPLAY", "no-such-display", 1);
    EXPECT_FALSE(X11Desktop::connect(*loop, &error));
    EXPECT_EQ(error, "display 'no-such-display' is not a valid display name");

    // A display number nobody serves.
    EXPECT_FALSE(X11Desktop::connect(*loop, ":6071", &error));
    EXPECT_NE(error.find("cannot connect to display ':6071'"), std::string::npos) << error;
    EXPECT_FALSE(XTestSink::open({0, 0, 100, 100}, &error, ":6071"));
    EXPECT_NE(error.find("cannot connect to display ':6071'"), std::string::npos) << error;

    if (saved)
        ::setenv("DISPLAY", savedDisplay.c_str(), 1);
    else
        ::unsetenv("DISPLAY");
}

TEST_F(X11Test, MainScreenIsTheServersScreen) {
    auto desktop = connectDesktop();
    ASSERT_TRUE(desktop);
    // Xvfb has RandR; its one output is the screen, whether or not it is
    // called primary.
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, kWidth, kHeight}));
    EXPECT_EQ(desktop->displayName(), server_.display());
    EXPECT_TRUE(desktop->connected());
    EXPECT_EQ(desktop->systemVersion().major, 10);
    EXPECT_EQ(desktop->systemVersion().minor, 15);
}

TEST_F(X11Test, APrimaryOutputIsTheMainScreen) {
    auto desktop = connectDesktop();
    ASSERT_TRUE(desktop);
    ASSERT_TRUE(client_->setPrimary(100, 50, 640, 400));
    // Read anew each time: the screen follows the server's configuration.
    const Rect frame = desktop->mainScreenFrame();
    EXPECT_EQ(frame, (Rect{100, 50, 640, 400}));

    // Positions are the main screen's: the sink and the pointer agree on
    // its corner.
    std::string error;
    auto sink =
        XTestSink::open({frame.x, frame.y, frame.width, frame.height}, &error, server_.display());
    ASSERT_TRUE(sink) << error;
    sink->post(mouse(kCGEventMouseMoved, 10, 20));
    auto p = client_->pointer();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->root_x, 110);
    EXPECT_EQ(p->root_y, 70);
    EXPECT_EQ(desktop->pointerLocation(), (Point{10, 20}));
    sink->post(mouse(kCGEventMouseMoved, 5000, 5000));
    EXPECT_EQ(desktop->pointerLocation(), (Point{639, 399}));
}

TEST_F(X11Test, XTestMovesAndPressesTheServersPointer) {
    auto desktop = connectDesktop();
    auto sink = openSink();
    ASSERT_TRUE(desktop && sink);

    sink->post(mouse(kCGEventMouseMoved, 100, 200));
    auto p = client_->pointer();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->root_x, 100);
    EXPECT_EQ(p->root_y, 200);
    EXPECT_EQ(desktop->pointerLocation(), (Point{100, 200}));
    // The event service reads the same pointer.
    EXPECT_EQ(CGEventGetLocation(CGEventCreate(nullptr)), (CGPoint{100, 200}));

    // Held to the screen.
    sink->post(mouse(kCGEventLeftMouseDragged, 5000, -30));
    EXPECT_EQ(desktop->pointerLocation(), (Point{kWidth - 1, 0}));

    // A button goes down where the event is, and comes up again.
    sink->post(mouse(kCGEventLeftMouseDown, 30, 40));
    p = client_->pointer();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->root_x, 30);
    EXPECT_EQ(p->root_y, 40);
    EXPECT_TRUE(p->mask & XCB_BUTTON_MASK_1);
    sink->post(mouse(kCGEventLeftMouseUp, 30, 40));
    p = client_->pointer();
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->mask & XCB_BUTTON_MASK_1);
    sink->post(mouse(kCGEventRightMouseDown, 30, 40));
    EXPECT_TRUE(client_->pointer()->mask & XCB_BUTTON_MASK_3);
    sink->post(mouse(kCGEventRightMouseUp, 30, 40));
    EXPECT_FALSE(client_->pointer()->mask & XCB_BUTTON_MASK_3);
    EXPECT_EQ(sink->failedEvents(), 0u);

    // Without the desktop the service goes back to its own pointer.
    desktop.reset();
    setPointerLocation(CGPoint{7, 8});
    EXPECT_EQ(CGEventGetLocation(CGEventCreate(nullptr)), (CGPoint{7, 8}));
}

TEST_F(X11Test, XTestKeysAreTheServersEvdevKeys) {
    auto sink = openSink();
    ASSERT_TRUE(sink);
    // The server numbers its keys as evdev does, plus 8.
    EXPECT_EQ(client_->keysym(38), 0x61u);     // a
    EXPECT_EQ(client_->keysym(113), 0xff51u);  // Left
    EXPECT_EQ(client_->keysym(133), 0xffebu);  // Super_L, for command

    sink->post(*CGEventCreateKeyboardEvent(nullptr, 0, true));
    EXPECT_TRUE(client_->keyDown(38));
    sink->post(*CGEventCreateKeyboardEvent(nullptr, 0, false));
    EXPECT_FALSE(client_->keyDown(38));
    sink->post(*CGEventCreateKeyboardEvent(nullptr, 123, true));
    EXPECT_TRUE(client_->keyDown(113));
    sink->post(*CGEventCreateKeyboardEvent(nullptr, 123, false));
    EXPECT_FALSE(client_->keyDown(113));

    // Gestures are counted and dropped.
    auto gesture = CGEventCreate(nullptr);
    CGEventSetType(gesture, kCGEventGesture);
    sink->post(*gesture);
    EXPECT_EQ(sink->droppedGestures(), 1u);
    EXPECT_EQ(sink->failedEvents(), 0u);
}

TEST_F(X11Test, XTestScrollsWithTheWheelButtons) {
    auto sink = openSink();
    ASSERT_TRUE(sink);
    client_->window(XCB_EVENT_MASK_BUTTON_PRESS);
    sink->post(mouse(kCGEventMouseMoved, 50, 50));

    auto pressed = [&]() -> int {
        auto ev = client_->nextEvent();
        if (!ev || (ev->response_type & 0x7F) != XCB_BUTTON_PRESS)
            return -1;
        return reinterpret_cast<xcb_button_press_event_t*>(ev.get())->detail;
    };
    // 100 pixels up: two steps, 20 kept; 20 more make a third.
    sink->post(*CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 1, 100, 0));
    EXPECT_EQ(pressed(), 4);
    EXPECT_EQ(pressed(), 4);
    sink->post(*CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 1, 20, 0));
    EXPECT_EQ(pressed(), 4);
    // Down, left, right.
    sink->post(*CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitPixel, 2, -40, 40));
    EXPECT_EQ(pressed(), 5);
    EXPECT_EQ(pressed(), 6);
    sink->post(*CGEventCreateScrollWheelEvent(nullptr, kCGScrollEventUnitLine, 2, 0, -1));
    EXPECT_EQ(pressed(), 7);
}

TEST_F(X11Test, ActiveWindowNamesTheFrontmostApplication) {
    auto desktop = connectDesktop();
    ASSERT_TRUE(desktop);
    std::vector<std::string> activated;
    std::size_t wanted = 1;
    Observation observation = desktop->observeApplicationActivation([&](const std::string& id) {
        activated.push_back(id);
        if (activated.size() >= wanted)
            loop_->stop(0);
    });

    const xcb_window_t first = client_->window();
    client_->setWmClass(first, std::string_view("tact-test\0TactTest\0", 19));
    client_->activate(first);
    ASSERT_TRUE(runLoopUntilStopped(*loop_)) << "no activation reported";
    EXPECT_EQ(activated, (std::vector<std::string>{"TactTest"}));
    EXPECT_EQ(desktop->activeApplication(), "TactTest");

    // Another window of the same application is no new application.
    const xcb_window_t sameApp = client_->window();
    client_->setWmClass(sameApp, std::string_view("other-instance\0TactTest\0", 24));
    client_->activate(sameApp);
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return desktop->activeWindow() == sameApp; }));
    EXPECT_EQ(activated.size(), 1u);

    // A window of another one is. A round trip of the desktop's own may read
    // the notification before its loop sees it; it still arrives.
    const xcb_window_t other = client_->window();
    client_->setWmClass(other, std::string_view("editor\0Editor\0", 14));
    client_->activate(other);
    desktop->pointerLocation();
    wanted = 2;
    ASSERT_TRUE(runLoopUntilStopped(*loop_)) << "no second activation reported";
    EXPECT_EQ(activated, (std::vector<std::string>{"TactTest", "Editor"}));

    // No active window, or one that names no application, changes nothing.
    const xcb_window_t anonymous = client_->window();
    client_->activate(anonymous);
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return desktop->activeWindow() == anonymous; }));
    client_->activate(XCB_NONE);
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return desktop->activeWindow() == XCB_NONE; }));
    EXPECT_EQ(activated.size(), 2u);
    EXPECT_EQ(desktop->activeApplication(), "Editor");

    // Observers that are gone hear nothing.
    observation.remove();
    client_->activate(first);
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return desktop->activeApplication() == "TactTest"; }));
    EXPECT_EQ(activated.size(), 2u);
}

TEST_F(X11Test, BrowsersAndViewersAreNamedThroughTheTable) {
    auto desktop = connectDesktop();
    ASSERT_TRUE(desktop);
    std::vector<std::string> activated;
    Observation observation = desktop->observeApplicationActivation([&](const std::string& id) {
        activated.push_back(id);
        loop_->stop(0);
    });
    const auto activate = [&](xcb_window_t w) {
        client_->activate(w);
        return runLoopUntilStopped(*loop_);
    };

    const xcb_window_t firefox = client_->window();
    client_->setWmClass(firefox, std::string_view("Navigator\0firefox\0", 19));
    ASSERT_TRUE(activate(firefox));
    EXPECT_EQ(desktop->activeApplication(), "com.apple.Safari");

    // The application id comes before the class.
    const xcb_window_t viewer = client_->window();
    client_->setWmClass(viewer, std::string_view("viewer\0Viewer\0", 15));
    client_->setUtf8(viewer, "_GTK_APPLICATION_ID", "org.gnome.Evince");
    ASSERT_TRUE(activate(viewer));

    // The user's file is read again when it has changed.
    tact::test::writeFile(userTable(), "firefox org.example.Browser\n");
    ASSERT_TRUE(activate(firefox));
    EXPECT_EQ(activated, (std::vector<std::string>{"com.apple.Safari", "com.apple.Preview",
                                                   "org.example.Browser"}));
}

TEST_F(X11Test, TheApplicationActiveAtStartIsToldToNewObservers) {
    const xcb_window_t w = client_->window();
    client_->setWmClass(w, std::string_view("tact-test\0TactTest\0", 19));
    client_->activate(w);
    auto desktop = connectDesktop();
    ASSERT_TRUE(desktop);
    EXPECT_EQ(desktop->activeApplication(), "TactTest");

    std::vector<std::string> told;
    Observation gone = desktop->observeApplicationActivation(
        [&](const std::string& id) { told.push_back("removed observer told " + id); });
    Observation observation = desktop->observeApplicationActivation([&](const std::string& id) {
        told.push_back(id);
        loop_->stop(0);
    });
    gone.remove();
    // From the loop, not from inside the call.
    EXPECT_TRUE(told.empty());
    ASSERT_TRUE(runLoopUntilStopped(*loop_));
    EXPECT_EQ(told, (std::vector<std::string>{"TactTest"}));
}

TEST_F(X11Test, ALostConnectionKeepsTheLastScreen) {
    auto desktop = connectDesktop();
    auto sink = openSink();
    ASSERT_TRUE(desktop && sink);
    sink->post(mouse(kCGEventMouseMoved, 300, 400));
    EXPECT_EQ(desktop->pointerLocation(), (Point{300, 400}));

    client_.reset();
    server_.stop();
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return !desktop->connected(); }));
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, kWidth, kHeight}));
    EXPECT_EQ(desktop->pointerLocation(), (Point{300, 400}));
    // The agent's own moves are the pointer now, for the desktop and the
    // event service alike.
    desktop->setPointerLocation(Point{1, 2});
    EXPECT_EQ(desktop->pointerLocation(), (Point{1, 2}));
    setPointerLocation(CGPoint{3, 4});
    EXPECT_EQ(CGEventGetLocation(CGEventCreate(nullptr)), (CGPoint{3, 4}));

    // The sink drops what it cannot send, and counts it.
    sink->post(mouse(kCGEventMouseMoved, 1, 1));
    EXPECT_EQ(sink->failedEvents(), 1u);
    sink->post(*CGEventCreateKeyboardEvent(nullptr, 0, true));
    EXPECT_EQ(sink->failedEvents(), 2u);
}
