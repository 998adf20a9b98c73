// The X11 desktop and the XTest sink on a real X server (Xvfb) of the test's
// own, its monitors there and on Xwayland, and what they say when there is
// no display.
#include <gtest/gtest.h>

#include <poll.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/X11Desktop.hpp"
#include "platform/events/Events.hpp"
#include "platform/events/XTestSink.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/x11/XcbHandles.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/PrivateWeston.hpp"
#include "tests/support/PrivateXServer.hpp"
#include "tests/support/ResultChecks.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

using namespace platform;
using namespace platform::events;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

using tact::test::errorOf;
using tact::test::PrivateXServer;
using tact::test::valueOf;

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

    // Shows the server's one output in a mode of width x height at (x, y),
    // as a second monitor beside it would leave it (0 x 0 turns it off),
    // and makes it primary when asked.
    bool show(std::int16_t x, std::int16_t y, std::uint16_t width, std::uint16_t height,
              bool primary = false) {
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(get(), xcb_randr_query_version(get(), 1, 3), nullptr));
        Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
            xcb_randr_get_screen_resources_current_reply(
                get(), xcb_randr_get_screen_resources_current(get(), root()), nullptr));
        if (!version || !resources || resources->num_outputs < 1 || resources->num_crtcs < 1)
            return false;
        xcb_randr_output_t output =
            xcb_randr_get_screen_resources_current_outputs(resources.get())[0];
        const xcb_randr_crtc_t crtc =
            xcb_randr_get_screen_resources_current_crtcs(resources.get())[0];
        xcb_randr_mode_t mode = XCB_NONE;
        if (width > 0) {
            xcb_randr_mode_info_t info{};
            info.width = width;
            info.height = height;
            info.dot_clock = 25'000'000;
            info.htotal = width + 100;
            info.vtotal = height + 100;
            // Mode names are unique on a server.
            const std::string name = "tact-" + std::to_string(++modes_);
            info.name_len = name.size();
            Reply<xcb_randr_create_mode_reply_t> created(xcb_randr_create_mode_reply(
                get(), xcb_randr_create_mode(get(), root(), info, name.size(), name.c_str()),
                nullptr));
            if (!created)
                return false;
            mode = created->mode;
            xcb_randr_add_output_mode(get(), output, mode);
        }
        Reply<xcb_randr_set_crtc_config_reply_t> set(xcb_randr_set_crtc_config_reply(
            get(),
            xcb_randr_set_crtc_config(get(), crtc, XCB_CURRENT_TIME, XCB_CURRENT_TIME, x, y, mode,
                                      XCB_RANDR_ROTATION_ROTATE_0, mode ? 1 : 0, &output),
            nullptr));
        if (primary)
            xcb_randr_set_output_primary(get(), root(), output);
        sync();
        return set && set->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    }

    bool resizeScreen(std::uint16_t width, std::uint16_t height) {
        return !Reply<xcb_generic_error_t>(
            xcb_request_check(get(), xcb_randr_set_screen_size_checked(get(), root(), width, height,
                                                                       width / 4, height / 4)));
    }

    void sync() { free(xcb_get_input_focus_reply(get(), xcb_get_input_focus(get()), nullptr)); }

  private:
    platform::x11::ConnectionPtr c_;
    xcb_screen_t* screen_ = nullptr;
    int modes_ = 0;
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

// Runs the loop for a fifth of a second.
void settle(RunLoop& loop) {
    Timer end = loop.addTimer(0.2, 0, [&](Timer&) { loop.stop(0); });
    loop.run();
}

// Standard error, captured while it lives; the capture ends even when a
// test stops early.
class CapturedLog {
  public:
    CapturedLog() { testing::internal::CaptureStderr(); }
    ~CapturedLog() {
        if (!taken_)
            testing::internal::GetCapturedStderr();
    }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;
    std::string text() {
        taken_ = true;
        return testing::internal::GetCapturedStderr();
    }

  private:
    bool taken_ = false;
};

int occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
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
        return valueOf(X11Desktop::connect(*loop_, server_.display(),
                                           {defaultApplicationTablePaths().shipped, userTable()}));
    }

    std::unique_ptr<XTestSink> openSink() {
        return valueOf(XTestSink::open({0, 0, kWidth, kHeight}, server_.display()));
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

// Posts, then waits until the server has handled it.
bool postAndSync(XTestSink& sink, const CGEvent& event) {
    sink.post(event);
    return sink.sync();
}

CGPoint servicePointer() {
    return CGEventGetLocation(CGEventCreate(nullptr));
}

}  // namespace

TEST(X11DesktopTest, NoDisplayIsAClearError) {
    auto loop = makeRealRunLoop(false);
    const char* saved = std::getenv("DISPLAY");
    const std::string savedDisplay = saved ? saved : "";

    ::unsetenv("DISPLAY");
    EXPECT_EQ(errorOf(X11Desktop::connect(*loop)), "no display (DISPLAY is not set)");
    EXPECT_EQ(errorOf(XTestSink::open({0, 0, 100, 100})), "no display (DISPLAY is not set)");

    ::setenv("DISPLAY", "no-such-display", 1);
    EXPECT_EQ(errorOf(X11Desktop::connect(*loop)),
              "display 'no-such-display' is not a valid display name");

    // A display number nobody serves.
    std::string error = errorOf(X11Desktop::connect(*loop, ":6071"));
    EXPECT_NE(error.find("cannot connect to display ':6071'"), std::string::npos) << error;
    error = errorOf(XTestSink::open({0, 0, 100, 100}, ":6071"));
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
    ASSERT_TRUE(client_->show(100, 50, 640, 400, true));
    // The screen follows the server's configuration once RandR tells of it.
    ASSERT_TRUE(runLoopUntil(*loop_, [&] {
        return desktop->mainScreenFrame() == Rect{100, 50, 640, 400};
    }));
    const Rect frame = desktop->mainScreenFrame();

    // Positions are the main screen's: the sink and the pointer agree on
    // its corner.
    auto sink =
        valueOf(XTestSink::open({frame.x, frame.y, frame.width, frame.height}, server_.display()));
    ASSERT_TRUE(sink);
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventMouseMoved, 10, 20)));
    auto p = client_->pointer();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->root_x, 110);
    EXPECT_EQ(p->root_y, 70);
    EXPECT_EQ(desktop->pointerLocation(), (Point{10, 20}));
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventMouseMoved, 5000, 5000)));
    EXPECT_EQ(desktop->pointerLocation(), (Point{639, 399}));
}

TEST_F(X11Test, XTestMovesAndPressesTheServersPointer) {
    auto desktop = connectDesktop();
    auto sink = openSink();
    ASSERT_TRUE(desktop && sink);

    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventMouseMoved, 100, 200)));
    auto p = client_->pointer();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->root_x, 100);
    EXPECT_EQ(p->root_y, 200);
    EXPECT_EQ(desktop->pointerLocation(), (Point{100, 200}));
    // The event service follows the same pointer, once the desktop has
    // heard of the move.
    EXPECT_TRUE(runLoopUntil(*loop_, [&] {
        return CGEventGetLocation(CGEventCreate(nullptr)) == CGPoint{100, 200};
    }));

    // Held to the screen.
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventLeftMouseDragged, 5000, -30)));
    EXPECT_EQ(desktop->pointerLocation(), (Point{kWidth - 1, 0}));

    // A button goes down where the event is, and comes up again.
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventLeftMouseDown, 30, 40)));
    p = client_->pointer();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->root_x, 30);
    EXPECT_EQ(p->root_y, 40);
    EXPECT_TRUE(p->mask & XCB_BUTTON_MASK_1);
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventLeftMouseUp, 30, 40)));
    p = client_->pointer();
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->mask & XCB_BUTTON_MASK_1);
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventRightMouseDown, 30, 40)));
    EXPECT_TRUE(client_->pointer()->mask & XCB_BUTTON_MASK_3);
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventRightMouseUp, 30, 40)));
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

    ASSERT_TRUE(postAndSync(*sink, *CGEventCreateKeyboardEvent(nullptr, 0, true)));
    EXPECT_TRUE(client_->keyDown(38));
    ASSERT_TRUE(postAndSync(*sink, *CGEventCreateKeyboardEvent(nullptr, 0, false)));
    EXPECT_FALSE(client_->keyDown(38));
    ASSERT_TRUE(postAndSync(*sink, *CGEventCreateKeyboardEvent(nullptr, 123, true)));
    EXPECT_TRUE(client_->keyDown(113));
    ASSERT_TRUE(postAndSync(*sink, *CGEventCreateKeyboardEvent(nullptr, 123, false)));
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

// The event service's pointer follows the server without asking it: moves
// another client makes (a warp, seen as motion on the root window), moves
// over a window that takes its own motion (XInput2's raw motion), and the
// agent's own posted moves, whichever came last.
TEST_F(X11Test, ThePointerIsFollowedWithoutARoundTrip) {
    auto desktop = connectDesktop();
    auto sink = openSink();
    ASSERT_TRUE(desktop && sink);

    xcb_warp_pointer(client_->get(), XCB_NONE, client_->root(), 0, 0, 0, 0, 321, 123);
    client_->sync();
    EXPECT_TRUE(runLoopUntil(*loop_,
                             [&] {
                                 return servicePointer() == CGPoint{321, 123};
                             }))
        << servicePointer().x << "," << servicePointer().y;

    // The agent's own move is the newest until the server says otherwise.
    CGEventPost(kCGHIDEventTap, CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved, CGPoint{5, 6},
                                                        kCGMouseButtonLeft));
    EXPECT_EQ(servicePointer(), (CGPoint{5, 6}));
    settle(*loop_);
    EXPECT_EQ(servicePointer(), (CGPoint{5, 6}));

    // A window that takes its own motion: the root window hears nothing,
    // raw motion says the pointer moved, and where is asked without waiting.
    client_->window(XCB_EVENT_MASK_POINTER_MOTION);
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventMouseMoved, 700, 500)));
    EXPECT_TRUE(runLoopUntil(*loop_,
                             [&] {
                                 return servicePointer() == CGPoint{700, 500};
                             }))
        << servicePointer().x << "," << servicePointer().y;
}

// Fake input goes out without waiting: inside a batch not before it ends;
// a request the server refuses comes back later, read from the run loop,
// and is counted and logged once.
TEST_F(X11Test, XTestSendsWithoutWaitingAndHearsOfRefusalsLater) {
    struct MainLoop {
        explicit MainLoop(RunLoop& loop) { setMainRunLoop(&loop); }
        ~MainLoop() { setMainRunLoop(nullptr); }
    } main(*loop_);
    auto sink = openSink();
    ASSERT_TRUE(sink);
    setEventSink(sink.get());
    {
        PostBatch batch;
        CGEventPost(kCGHIDEventTap, CGEventCreateMouseEvent(nullptr, kCGEventMouseMoved,
                                                            CGPoint{200, 100}, kCGMouseButtonLeft));
        client_->sync();
        EXPECT_NE(client_->pointer()->root_x, 200) << "sent before the batch ended";
    }
    client_->sync();
    ASSERT_TRUE(sink->sync());
    EXPECT_EQ(client_->pointer()->root_x, 200);
    setEventSink(nullptr);

    // Each refusal is counted; each kind is said once (a second apart, so
    // that the log's own limit lets the second kind through).
    std::uint64_t logTime = 0;
    struct LogClock {
        explicit LogClock(std::uint64_t& t) {
            setSystemLogClock([&t] { return t; });
        }
        ~LogClock() { setSystemLogClock({}); }
    } logClock(logTime);
    CapturedLog log;
    const FakeInput buttonZero{kXButtonPress, 0, 0, 0};  // no such button
    const FakeInput keyZero{kXKeyPress, 0, 0, 0};        // no such key
    sink->sendFakeInput(std::span(&buttonZero, 1), kCGEventLeftMouseDown);
    EXPECT_TRUE(runLoopUntil(*loop_, [&] { return sink->failedEvents() == 1; }));
    logTime += 2'000'000'000;
    sink->sendFakeInput(std::span(&buttonZero, 1), kCGEventLeftMouseDown);
    sink->sendFakeInput(std::span(&keyZero, 1), kCGEventKeyDown);
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventMouseMoved, 10, 10)));
    settle(*loop_);
    EXPECT_EQ(sink->failedEvents(), 3u);
    const std::string text = log.text();
    EXPECT_EQ(occurrences(text, "the X server refused an event of type 1 (error 2"), 1) << text;
    EXPECT_EQ(occurrences(text, "the X server refused an event of type 10 (error 2"), 1) << text;
}

TEST_F(X11Test, ALostConnectionKeepsTheLastScreen) {
    auto desktop = connectDesktop();
    auto sink = openSink();
    ASSERT_TRUE(desktop && sink);
    ASSERT_TRUE(postAndSync(*sink, mouse(kCGEventMouseMoved, 300, 400)));
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

TEST_F(X11Test, ModesAndScreenSizesSetWhileConnectedAreFollowed) {
    auto desktop = connectDesktop();
    ASSERT_TRUE(desktop);
    int told = 0;
    Observation observation = desktop->observeScreenChanges([&] { ++told; });
    ASSERT_EQ(desktop->outputs().size(), 1u);
    EXPECT_EQ(desktop->outputs()[0].name, "screen");
    EXPECT_EQ(desktop->outputs()[0].frame, (Rect{0, 0, kWidth, kHeight}));
    CapturedLog captured;
    desktop->setFrameOutput("screen");
    EXPECT_EQ(desktop->mainOutputName(), "screen");

    // A new mode at another place: the main screen moves, the root stays.
    ASSERT_TRUE(client_->show(100, 50, 640, 400));
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return told == 1; }));
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{100, 50, 640, 400}));
    EXPECT_EQ(desktop->desktopBounds(), (Rect{0, 0, kWidth, kHeight}));

    // The root shrinks around it.
    ASSERT_TRUE(client_->resizeScreen(740, 450));
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return told == 2; }));
    EXPECT_EQ(desktop->desktopBounds(), (Rect{0, 0, 740, 450}));
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{100, 50, 640, 400}));

    // The output off: the root window serves, and the frame's output is
    // missed once; back on, it serves again.
    ASSERT_TRUE(client_->show(0, 0, 0, 0));
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return told == 3; }));
    EXPECT_TRUE(desktop->outputs().empty());
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, 740, 450}));
    EXPECT_EQ(desktop->mainOutputName(), "");
    desktop->setFrameOutput("screen");
    ASSERT_TRUE(client_->show(0, 0, 640, 400));
    ASSERT_TRUE(runLoopUntil(*loop_, [&] { return told == 4; }));
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, 640, 400}));
    // Each change was told once, however many notifications RandR sent.
    settle(*loop_);
    EXPECT_EQ(told, 4);
    const std::string log = captured.text();
    EXPECT_EQ(
        occurrences(log, "the frame's output screen is not connected: using the whole screen"), 1)
        << log;
    EXPECT_EQ(occurrences(log, "the frame's output screen is back"), 1) << log;
}

TEST(RandrMonitorsTest, AReplyIsReadNoFurtherThanItGoes) {
    // Two monitors, the second with two outputs: 32 + (24 + 4) + (24 + 8)
    // bytes when whole; the count and the second's number of outputs as
    // given.
    const auto reply = [](std::uint32_t count, std::uint16_t secondOutputs) {
        std::vector<std::uint8_t> bytes(sizeof(xcb_randr_get_monitors_reply_t));
        std::memcpy(&bytes[offsetof(xcb_randr_get_monitors_reply_t, nMonitors)], &count,
                    sizeof count);
        const auto add = [&](std::uint32_t name, bool primary, std::int16_t x, std::uint16_t width,
                             std::uint16_t outputs, std::size_t sent) {
            xcb_randr_monitor_info_t m{};
            m.name = name;
            m.primary = primary;
            m.nOutput = outputs;
            m.x = x;
            m.width = width;
            m.height = 600;
            const auto* raw = reinterpret_cast<const std::uint8_t*>(&m);
            bytes.insert(bytes.end(), raw, raw + sizeof m);
            bytes.resize(bytes.size() + 4 * sent);
        };
        add(71, false, 0, 800, 1, 1);
        add(72, true, 800, 1024, secondOutputs, 2);
        return bytes;
    };
    const RandrMonitor first{71, false, Rect{0, 0, 800, 600}};
    const RandrMonitor second{72, true, Rect{800, 0, 1024, 600}};
    const auto whole = reply(2, 2);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::size_t size;
        std::vector<RandrMonitor> expected;
    };
    const Case cases[] = {
        {"as sent", whole, whole.size(), {first, second}},
        {"a count beyond the monitors", reply(7, 2), whole.size(), {first, second}},
        {"the second's outputs cut short", whole, whole.size() - 1, {first}},
        {"the second's own record cut short", whole, 32 + 28 + 20, {first}},
        {"more outputs than the reply holds", reply(2, 0xFFFF), whole.size(), {first}},
        {"no room for the count", whole, 12, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(randrMonitors(c.bytes.data(), c.size), c.expected) << c.what;
}

// Xwayland under a weston of the test's own: two outputs of 800x600 side by
// side, named by the compositor.
TEST(XwaylandScreensTest, TheFrameCoversTheOutputNamed) {
    const std::string xrandr = tact::test::findOnPath("xrandr");
    tact::test::PrivateWeston weston;
    if (!weston.installed() || xrandr.empty())
        GTEST_SKIP() << "weston, Xwayland, Xvfb or xrandr is not installed";
    ASSERT_TRUE(weston.ok()) << weston.error();
    auto loop = makeRealRunLoop(false);
    auto desktop = valueOf(X11Desktop::connect(*loop, weston.xwaylandDisplay()));
    ASSERT_TRUE(desktop);
    int told = 0;
    Observation observation = desktop->observeScreenChanges([&] { ++told; });

    ASSERT_TRUE(runLoopUntil(*loop, [&] { return desktop->outputs().size() == 2; }));
    const auto outputs = desktop->outputs();
    EXPECT_EQ(outputs[0].name, "XWAYLAND0");
    EXPECT_EQ(outputs[0].frame, (Rect{0, 0, 800, 600}));
    EXPECT_EQ(outputs[1].name, "XWAYLAND1");
    EXPECT_EQ(outputs[1].frame, (Rect{800, 0, 800, 600}));
    EXPECT_EQ(desktop->desktopBounds(), (Rect{0, 0, 1600, 600}));
    EXPECT_EQ(desktop->mainOutputName(), "XWAYLAND0");

    // Chosen at once; the observer hears of it from the loop.
    told = 0;
    desktop->setFrameOutput("XWAYLAND1");
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{800, 0, 800, 600}));
    EXPECT_EQ(desktop->mainOutputName(), "XWAYLAND1");
    EXPECT_EQ(told, 0);
    ASSERT_TRUE(runLoopUntil(*loop, [&] { return told == 1; }));

    // An output that is not there: the first serves, and it is said once.
    CapturedLog captured;
    desktop->setFrameOutput("HDMI-9");
    desktop->setFrameOutput("HDMI-9");
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, 800, 600}));
    ASSERT_TRUE(runLoopUntil(*loop, [&] { return told == 2; }));

    // Meanwhile the primary serves, as the server says while connected.
    const auto set = tact::test::runProcess({xrandr, "--output", "XWAYLAND1", "--primary"},
                                            {"DISPLAY=" + weston.xwaylandDisplay()});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    ASSERT_TRUE(runLoopUntil(*loop, [&] { return told == 3; }));
    EXPECT_EQ(desktop->mainOutputName(), "XWAYLAND1");
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{800, 0, 800, 600}));
    settle(*loop);
    EXPECT_EQ(told, 3);
    const std::string log = captured.text();
    EXPECT_EQ(occurrences(log, "the frame's output HDMI-9 is not connected: using XWAYLAND0"), 1)
        << log;
    EXPECT_EQ(occurrences(log, "HDMI-9"), 1) << log;
}
